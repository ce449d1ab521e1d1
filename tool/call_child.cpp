// The call process and its supervision: fork, the child's signal set-up (dies with the parent,
// pauses at call boundaries on SIGUSR1 until SIGUSR2), loading the entries, the calls, and the
// parent's wait loop that passes the signals ending a run on to the child.
#include "call_child.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "realtime_stage.h"

namespace tool {
namespace {

// Exit codes of the call process.
constexpr int childOk = 0;
constexpr int childOpenFailed = 10;
constexpr int childLoadFailed = 20;

// Signals that end a run when they reach the runner (Ctrl-C, kill, a closed terminal, a closed
// output pipe).
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Parent: the first stop signal that arrived (0 none); written by the handler only.
volatile std::sig_atomic_t receivedSignal = 0;

void OnStopSignal(int signal) {
  if (receivedSignal == 0) receivedSignal = signal;
}

// Child: a pause was requested (SIGUSR1) and not yet resumed (SIGUSR2).
volatile std::sig_atomic_t pauseWanted = 0;

void OnPause(int) {
  pauseWanted = 1;
}
void OnResume(int) {
  pauseWanted = 0;
}

void InstallParentHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the wait loop's sleep ends at once
  for (const int signal : stopSignals) sigaction(signal, &action, nullptr);
}

// In the child right after fork: default actions for the stop signals (the library installs no
// handler of its own, as under a JVM), pause and resume handlers, and death with the parent.
void SetUpChildSignals(pid_t parent) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  for (const int signal : stopSignals) sigaction(signal, &action, nullptr);
  action.sa_flags = SA_RESTART;
  action.sa_handler = OnPause;
  sigaction(SIGUSR1, &action, nullptr);
  action.sa_handler = OnResume;
  sigaction(SIGUSR2, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(childOk);  // the parent ended before the line above
}

// Between two calls: waits while a pause is wanted. The pause signals are blocked around the
// test so that a resume cannot slip in between the test and the wait.
void PauseIfWanted(const CallHooks& hooks) {
  sigset_t pauseSignals, previous;
  sigemptyset(&pauseSignals);
  sigaddset(&pauseSignals, SIGUSR1);
  sigaddset(&pauseSignals, SIGUSR2);
  sigprocmask(SIG_BLOCK, &pauseSignals, &previous);
  if (pauseWanted != 0) {
    if (hooks.pauseChanged) hooks.pauseChanged(true);
    while (pauseWanted != 0) sigsuspend(&previous);
    if (hooks.pauseChanged) hooks.pauseChanged(false);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

[[noreturn]] void RunCalls(const ChildOptions& options, const std::vector<ScriptCall>& calls,
                           const CallHooks& hooks) {
  for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
  Entries entries;
  std::string error;
  if (!LoadEntries(options.libraryPath, entries, error)) {
    std::fprintf(stderr, "%s", error.c_str());
    std::fflush(stderr);
    std::exit(childLoadFailed);
  }
  bool openFailed = false;
  for (std::size_t index = 0; index < calls.size(); ++index) {
    const ScriptCall& call = calls[index];
    PauseIfWanted(hooks);
    if (hooks.beforeCall) hooks.beforeCall(index, call);
    const int result = MakeCall(entries, call);
    if (call.entry == Entry::openConn && result == 255) openFailed = true;
    if (options.printCalls) {
      if (call.entry == Entry::reference) {
        std::printf("%s -> done\n", FormatCall(call).c_str());
      } else {
        std::printf("%s -> %d\n", FormatCall(call).c_str(), result);
      }
    }
    std::fflush(stdout);  // the library never flushes; its lines and ours stay in order
    if (hooks.afterCall) hooks.afterCall(index, call, result);
    if (openFailed && options.stopWhenOpenFails) break;
  }
  std::fflush(stdout);
  // exit(), not _exit(): the library's static destructors close the record and the status block.
  std::exit(openFailed ? childOpenFailed : childOk);
}

}  // namespace

bool LoadEntries(const std::string& libraryPath, Entries& entries, std::string& error) {
  void* library = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    error = "steplink: cannot load " + libraryPath + ": " + dlerror() + "\n";
    return false;
  }
  bool complete = true;
  auto resolve = [&](const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
      error += "steplink: " + libraryPath + " does not export " + name + "\n";
      complete = false;
    }
    return symbol;
  };
  entries.openConn = reinterpret_cast<Entries::NoArgs>(resolve("Java_JavaToC_openConn"));
  entries.closeConn = reinterpret_cast<Entries::NoArgs>(resolve("Java_JavaToC_closeConn"));
  entries.initTimer = reinterpret_cast<Entries::NoArgs>(resolve("Java_JavaToC_initTimer"));
  entries.vectorOut = reinterpret_cast<Entries::Move>(resolve("Java_JavaToC_vectorOut"));
  entries.reference = reinterpret_cast<Entries::Reference>(resolve("Java_JavaToC_reference"));
  return complete;
}

int MakeCall(const Entries& entries, const ScriptCall& call) {
  const auto [x, y, z] = call.args;
  switch (call.entry) {
    case Entry::openConn:
      return entries.openConn(nullptr, nullptr);
    case Entry::closeConn:
      return entries.closeConn(nullptr, nullptr);
    case Entry::initTimer:
      return entries.initTimer(nullptr, nullptr);
    case Entry::vectorOut:
      return entries.vectorOut(nullptr, nullptr, x, y, z);
    case Entry::reference:
      entries.reference(nullptr, nullptr, x, y, z);
      return 0;
  }
  return 0;
}

namespace {
// STEPLINK_DEVICE names a real port (the runner sets it for --device as well).
bool RealDeviceChosen() {
  const char* device = std::getenv("STEPLINK_DEVICE");
  return device != nullptr && *device != '\0' && std::strcmp(device, "sim") != 0 &&
         std::strncmp(device, "sim,", 4) != 0;
}
}  // namespace

std::string Explain(const ChildOutcome& outcome) {
  using End = ChildOutcome::End;
  switch (outcome.end) {
    case End::completed:
      return {};
    case End::openFailed:
      return RealDeviceChosen()
                 ? "openConn failed (255): the device (STEPLINK_DEVICE) did not open; the "
                   "steplink-hw line above says why, steplink probe shows what there is"
                 : "openConn failed (255): the simulated table did not open";
    case End::loadFailed:
      return "the library could not be loaded; nothing was called";
    case End::exited:
      return "the call process ended early with exit status " + std::to_string(outcome.code) +
             " (an exit() inside the library?); the calls after it were not made";
    case End::signalled:
      if (outcome.stopSignal != 0 && outcome.code == outcome.stopSignal) {
        return std::string("the run was stopped by SIG") + sigabbrev_np(outcome.code);
      }
      return "the call process ended on signal " + std::to_string(outcome.code) + " (" +
             strsignal(outcome.code) + ")";
    case End::startFailed:
      return "the call process could not be started";
  }
  return {};
}

CallChild::~CallChild() {
  // A child still running here (an exception in the parent) must not outlive the runner.
  std::lock_guard lock(mutex_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  for (int* fd : {&outPipe_, &errPipe_, &tracePipe_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

bool CallChild::Start(const ChildOptions& options, const std::vector<ScriptCall>& calls,
                      const CallHooks& hooks, std::string& error) {
  receivedSignal = 0;
  int out[2] = {-1, -1}, err[2] = {-1, -1}, trace[2] = {-1, -1};
  auto closeAll = [&] {
    for (int fd : {out[0], out[1], err[0], err[1], trace[0], trace[1]}) {
      if (fd >= 0) close(fd);
    }
  };
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
      (options.traceFd >= 0 && pipe2(trace, O_CLOEXEC) != 0)) {
    error = std::string("cannot make the call process's pipes: ") + std::strerror(errno);
    closeAll();
    return false;
  }
  // A larger trace pipe lets the library run ahead of the copy without blocking on every buffer.
  if (trace[0] >= 0) fcntl(trace[0], F_SETPIPE_SZ, 1 << 20);
  InstallParentHandlers();
  std::fflush(stdout);
  std::fflush(stderr);
  // Pause and resume stay blocked across fork until the child has its handlers: a request
  // that comes at once must not meet the default action (which ends the process).
  sigset_t pauseSignals, previousMask;
  sigemptyset(&pauseSignals);
  sigaddset(&pauseSignals, SIGUSR1);
  sigaddset(&pauseSignals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &pauseSignals, &previousMask);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child != 0) pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  if (child < 0) {
    error = std::string("cannot start the call process: ") + std::strerror(errno);
    closeAll();
    return false;
  }
  if (child == 0) {
    SetUpChildSignals(parent);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    ChildOptions childOptions = options;
    if (trace[1] >= 0) {
      // The write end without close-on-exec, so that /dev/fd/N opens it in this process.
      const int traceEnd = fcntl(trace[1], F_DUPFD, 3);
      childOptions.environment.emplace_back("STEPLINK_TRACE",
                                            "/dev/fd/" + std::to_string(traceEnd));
    }
    for (int fd : {out[0], out[1], err[0], err[1], trace[0], trace[1]}) {
      if (fd >= 0) close(fd);
    }
    if (childOptions.realtime || childOptions.cpu >= 0) {
      ApplyRealtime(childOptions.realtime, childOptions.cpu);
    }
    RunCalls(childOptions, calls, hooks);
  }
  for (int fd : {out[1], err[1], trace[1]}) {
    if (fd >= 0) close(fd);
  }
  std::lock_guard lock(mutex_);
  pid_ = child;
  outPipe_ = out[0];
  errPipe_ = err[0];
  tracePipe_ = trace[0];
  traceFd_ = options.traceFd;
  return true;
}

void CallChild::Signal(int signal) {
  std::lock_guard lock(mutex_);
  if (pid_ > 0) kill(pid_, signal);
}

void CallChild::RequestStop() {
  int none = 0;
  stopSignal_.compare_exchange_strong(none, SIGINT);
  Signal(SIGINT);
}

void CallChild::RequestPause() {
  paused_ = true;
  Signal(SIGUSR1);
}

void CallChild::RequestResume() {
  paused_ = false;
  Signal(SIGUSR2);
}

namespace {

// Scans the child's standard output line by line for the library's port failure lines; keeps
// only the start of the current line.
class OutputScanner {
 public:
  explicit OutputScanner(ChildOutcome& outcome) : outcome_(outcome) {}
  void Feed(const char* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
      if (data[i] == '\n') {
        EndLine();
      } else if (line_.size() < 160) {
        line_ += data[i];
      }
    }
  }
  void Finish() {
    if (!line_.empty()) EndLine();
  }

 private:
  void EndLine() {
    const bool portError = line_.rfind("Error occured during ", 0) == 0;
    if (portError) ++outcome_.portErrorLines;
    if (line_.rfind("Timer: counter 0 showed one value", 0) == 0) ++outcome_.timerStallLines;
    if (portError && outcome_.firstPortError.empty()) outcome_.firstPortError = line_;
    line_.clear();
  }
  ChildOutcome& outcome_;
  std::string line_;
};

// Passes data on to a descriptor; after the first error it only counts (errno kept).
void PassOn(int fd, const char* data, std::size_t length, int& error) {
  if (error != 0) return;
  int code = 0;
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      code = errno;
      break;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  error = code;
}

}  // namespace

ChildOutcome CallChild::Wait(const WaitHooks& hooks) {
  ChildOutcome outcome;
  OutputScanner scanner(outcome);
  int forwarded = 0;
  timespec forwardedAt{};
  bool reapedChild = false;
  int status = 0;
  timespec reapedAt{};
  char buffer[1 << 16];
  for (;;) {
    if (receivedSignal != 0 && forwarded == 0 && !reapedChild) {
      int none = 0;
      stopSignal_.compare_exchange_strong(none, static_cast<int>(receivedSignal));
      forwarded = receivedSignal;
      clock_gettime(CLOCK_MONOTONIC, &forwardedAt);
      Signal(forwarded == SIGPIPE ? SIGTERM : forwarded);
    }
    if (!reapedChild) {
      std::lock_guard lock(mutex_);
      if (pid_ <= 0) break;  // never started
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        reapedChild = true;
        clock_gettime(CLOCK_MONOTONIC, &reapedAt);
      }
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const bool pipesOpen = outPipe_ >= 0 || errPipe_ >= 0 || tracePipe_ >= 0;
    // After the child's end its pipes are drained to their end; a descendant that keeps one open
    // is not waited for longer than a second.
    if (reapedChild && (!pipesOpen || now.tv_sec - reapedAt.tv_sec >= 1)) break;
    if (forwarded != 0 && !reapedChild && now.tv_sec - forwardedAt.tv_sec >= 2) {
      // A child that does not end within 2 s of the signal (stopped, or one that blocks it) is
      // killed: the runner must not hang on its way out.
      Signal(SIGKILL);
    }
    pollfd fds[3] = {{outPipe_, POLLIN, 0}, {errPipe_, POLLIN, 0}, {tracePipe_, POLLIN, 0}};
    const int ready = poll(fds, 3, reapedChild ? 100 : 20);
    if (ready > 0) {
      int* pipes[3] = {&outPipe_, &errPipe_, &tracePipe_};
      for (int i = 0; i < 3; ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
          close(*pipes[i]);
          *pipes[i] = -1;
          continue;
        }
        const auto length = static_cast<std::size_t>(got);
        if (i == 2) {
          PassOn(traceFd_, buffer, length, outcome.traceError);
          continue;
        }
        if (hooks.beforeOutput) hooks.beforeOutput();
        if (i == 0) {
          scanner.Feed(buffer, length);
          PassOn(STDOUT_FILENO, buffer, length, outcome.stdoutError);
        } else {
          PassOn(STDERR_FILENO, buffer, length, outcome.stderrError);
        }
      }
    }
    if (hooks.tick) hooks.tick();
  }
  scanner.Finish();
  for (int* fd : {&outPipe_, &errPipe_, &tracePipe_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  outcome.stopSignal = stopSignal_;
  if (!reapedChild) return outcome;
  if (WIFSIGNALED(status)) {
    outcome.end = ChildOutcome::End::signalled;
    outcome.code = WTERMSIG(status);
  } else if (WEXITSTATUS(status) == childOk) {
    outcome.end = ChildOutcome::End::completed;
  } else if (WEXITSTATUS(status) == childOpenFailed) {
    outcome.end = ChildOutcome::End::openFailed;
  } else if (WEXITSTATUS(status) == childLoadFailed) {
    outcome.end = ChildOutcome::End::loadFailed;
  } else {
    outcome.end = ChildOutcome::End::exited;
    outcome.code = WEXITSTATUS(status);
  }
  return outcome;
}

}  // namespace tool
