// Test support for the tests that run `steplink panel` as a process: started with its standard
// error on a pipe (standard output dropped) until it prints its address, then killed at the end if
// it still runs. Test code only; calls POSIX and the standard library.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace test {

struct PanelProcess {
  pid_t pid = -1;
  int errFd = -1;
  std::string err;  // what it printed on standard error so far
  int port = 0;
  std::string token;

  // `runner` with `args` (after "panel"); the address within 15 s or an exception.
  PanelProcess(const char* runner, const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> argv{const_cast<char*>(runner), const_cast<char*>("panel")};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn(&pid, runner, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    errFd = pipeFds[0];
    const std::regex url(R"(panel at http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+))");
    std::smatch found;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!std::regex_search(err, found, url) && std::chrono::steady_clock::now() < deadline) {
      ReadErr(100);
    }
    if (found.empty()) throw std::runtime_error("no URL: " + err);
    port = std::stoi(found[1]);
    token = found[2];
  }
  PanelProcess(const PanelProcess&) = delete;
  PanelProcess& operator=(const PanelProcess&) = delete;
  ~PanelProcess() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (errFd >= 0) close(errFd);
  }
  // Appends what standard error has after up to `waitMs` of waiting.
  void ReadErr(int waitMs) {
    pollfd fd{errFd, POLLIN, 0};
    if (poll(&fd, 1, waitMs) <= 0) return;
    char buffer[4096];
    const ssize_t got = read(errFd, buffer, sizeof buffer);
    if (got > 0) err.append(buffer, static_cast<std::size_t>(got));
  }
};

}  // namespace test
