// The runner with --view on the simulated table, for the view's tests: starts
// `steplink run SCRIPT --realtime --view`, reads the port and token from the URL line it prints,
// waits for its exit status. Calls only the runner's executable.
#pragma once

#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace runner {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct RunningJob {
  pid_t pid = -1;
  fs::path dir;
  std::string url;
  int port = 0;
  std::string token;
  int maxFiles = 0;  // the runner's descriptor limit (soft and hard); 0 leaves it

  // Starts `steplink run SCRIPT --realtime --view` with the record in dir; waits (at most 10 s)
  // for the URL on standard error.
  bool Start(const std::string& name, const std::string& script) {
    dir = fs::temp_directory_path() / ("steplink-view-" + name + "-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "job.steplink") << script;
    pid = fork();
    if (pid == 0) {
      const std::string out = (dir / "out.txt").string(), err = (dir / "err.txt").string();
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(99);
      // Under AddressSanitizer freed blocks wait in a quarantine (256 MB by default) before
      // reuse; the memory tests measure the view, not that.
      if (const char* asan = std::getenv("ASAN_OPTIONS")) {
        const std::string options = std::string(asan) + ":quarantine_size_mb=1";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
      }
      if (maxFiles > 0) {
        const rlimit files{static_cast<rlim_t>(maxFiles), static_cast<rlim_t>(maxFiles)};
        if (setrlimit(RLIMIT_NOFILE, &files) != 0) _exit(97);
      }
      const std::string sim = "record=" + (dir / "record.txt").string();
      execl(STEPLINK_RUNNER, STEPLINK_RUNNER, "run", (dir / "job.steplink").c_str(), "--realtime",
            "--view", "--sim", sim.c_str(), "--library", STEPLINK_STANDARD_LIBRARY,
            static_cast<char*>(nullptr));
      _exit(98);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream err(dir / "err.txt");
      std::string text((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
      const auto at = text.find("http://127.0.0.1:");
      const auto end = text.find('\n', at);
      if (at != std::string::npos && end != std::string::npos) {
        url = text.substr(at, end - at);
        port = std::stoi(url.substr(17));
        token = url.substr(url.find("token=") + 6);
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  bool Running() const {
    return pid > 0 && kill(pid, 0) == 0 && waitpid(pid, nullptr, WNOHANG) == 0;
  }
  // The exit status, waiting at most `limit`; -1 when it did not end (it is then killed).
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
    return -1;
  }
  std::string Output() const {
    std::ifstream out(dir / "out.txt");
    return {(std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>()};
  }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    return client;
  }
  ~RunningJob() {
    if (pid > 0) Wait(1ms);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

}  // namespace runner
