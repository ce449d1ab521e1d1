// The call process and its supervision: fork, the child's signal set-up (dies with the parent,
// pauses at call boundaries on SIGUSR1 until SIGUSR2), loading the entries, the calls, and the
// parent's wait loop that passes the signals ending a run on to the child.
#include "call_child.h"

#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

std::string Explain(const ChildOutcome& outcome) {
  using End = ChildOutcome::End;
  switch (outcome.end) {
    case End::completed:
      return {};
    case End::openFailed:
      return "openConn failed (255): the simulated table did not open";
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
}

bool CallChild::Start(const ChildOptions& options, const std::vector<ScriptCall>& calls,
                      const CallHooks& hooks, std::string& error) {
  receivedSignal = 0;
  InstallParentHandlers();
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    error = std::string("cannot start the call process: ") + std::strerror(errno);
    return false;
  }
  if (child == 0) {
    SetUpChildSignals(parent);
    RunCalls(options, calls, hooks);
  }
  std::lock_guard lock(mutex_);
  pid_ = child;
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

ChildOutcome CallChild::Wait(const std::function<void()>& tick) {
  ChildOutcome outcome;
  int forwarded = 0;
  timespec forwardedAt{};
  for (;;) {
    if (receivedSignal != 0 && forwarded == 0) {
      int none = 0;
      stopSignal_.compare_exchange_strong(none, static_cast<int>(receivedSignal));
      forwarded = receivedSignal;
      clock_gettime(CLOCK_MONOTONIC, &forwardedAt);
      Signal(forwarded == SIGPIPE ? SIGTERM : forwarded);
    }
    int status = 0;
    pid_t reaped = 0;
    {
      std::lock_guard lock(mutex_);
      if (pid_ <= 0) return outcome;
      reaped = waitpid(pid_, &status, WNOHANG);
      if (reaped == pid_) pid_ = 0;
    }
    if (reaped > 0) {
      outcome.stopSignal = stopSignal_;
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
    if (forwarded != 0) {
      // A child that does not end within 2 s of the signal (stopped, or one that blocks it) is
      // killed: the runner must not hang on its way out.
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (now.tv_sec - forwardedAt.tv_sec >= 2) Signal(SIGKILL);
    }
    if (tick) tick();
    const timespec slice{0, 20'000'000};
    nanosleep(&slice, nullptr);
  }
}

}  // namespace tool
