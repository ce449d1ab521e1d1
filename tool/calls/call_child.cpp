// Supervision of the call process: the job-ending signals, fork and the child's set-up (dies with
// the parent, default actions) and loading the entries. The wait loop is in call_wait.cpp.
#include "calls/call_child.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "calls/step_channel.h"
#include "job/device_stage.h"
#include "job/realtime_stage.h"

namespace tool {
namespace {

// Parent: the one "a stop was asked" of a job: the first job-ending signal that arrived, or
// SIGINT for a stop request (a key, the live view); 0 none. Lock-free, so a handler may set it.
std::atomic<int> stopAsked{0};
static_assert(std::atomic<int>::is_always_lock_free);
int handlerDepth = 0;  // nested installs (pass 1, then the job): the outermost one counts

// A SIGPIPE this process raised on itself by writing to a closed pipe: the write fails with
// EPIPE and is handled as a failed output; only one sent from outside ends the job.
bool OwnSigpipe(int signal, const siginfo_t* info) {
  return signal == SIGPIPE && info != nullptr && info->si_code == SI_USER &&
         info->si_pid == getpid();
}

void OnJobSignal(int signal, siginfo_t* info, void*) {
  if (OwnSigpipe(signal, info)) return;
  int none = 0;
  stopAsked.compare_exchange_strong(none, signal);
}

void OnSigpipeOutsideJob(int signal, siginfo_t* info, void*) {
  if (OwnSigpipe(signal, info)) return;
  ::signal(SIGPIPE, SIG_DFL);  // from outside: ends the runner as it would any program (141)
  raise(SIGPIPE);
}

std::map<int, struct sigaction>& SavedActions() {
  static std::map<int, struct sigaction> saved;
  return saved;
}

// In the child right after fork: default actions for the job-ending signals (the library
// installs no handler of its own, as under a JVM), and death with the parent.
void SetUpChildSignals(pid_t parent) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  for (const int signal : JobEndingSignals()) sigaction(signal, &action, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(childOk);  // the parent ended before the line above
}

}  // namespace

const std::vector<int>& JobEndingSignals() {
  static const std::vector<int> signals = [] {
    std::vector<int> list = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1,
                             SIGUSR2, SIGPIPE, SIGALRM, SIGVTALRM, SIGPROF,
                             SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,    SIGSYS};
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) list.push_back(signal);
    return list;
  }();
  return signals;
}

void InstallJobSignalHandlers() {
  if (handlerDepth++ > 0) return;
  stopAsked = 0;
  struct sigaction action {};
  action.sa_sigaction = OnJobSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART: the wait loop's poll ends at once
  for (const int signal : JobEndingSignals()) {
    struct sigaction previous {};
    if (sigaction(signal, &action, &previous) == 0) SavedActions().emplace(signal, previous);
  }
}

void RestoreJobSignalHandlers() {
  if (handlerDepth == 0 || --handlerDepth > 0) return;
  for (const auto& [signal, previous] : SavedActions()) sigaction(signal, &previous, nullptr);
  SavedActions().clear();
}

void InstallSigpipeGuard() {
  struct sigaction action {};
  action.sa_sigaction = OnSigpipeOutsideJob;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

int ReceivedJobSignal() {
  return stopAsked;
}

const std::atomic<int>& JobStopFlag() {
  return stopAsked;
}

void AskJobStop(int signal) {
  int none = 0;
  stopAsked.compare_exchange_strong(none, signal);
}

void ClearReceivedJobSignal() {
  stopAsked = 0;
}

std::string SignalName(int signal) {
  const char* name = sigabbrev_np(signal);
  if (signal >= SIGRTMIN && signal <= SIGRTMAX) {
    return "SIGRTMIN+" + std::to_string(signal - SIGRTMIN);
  }
  return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(signal);
}

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

int MakeCall(const Entries& entries, Entry entry, const std::array<std::int32_t, 3>& args) {
  const auto [x, y, z] = args;
  switch (entry) {
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
// STEPLINK_DEVICE names a real port (the runner sets it for --device as well); the table of
// backend kinds says which kinds are real.
bool RealDeviceChosen() {
  const char* device = std::getenv("STEPLINK_DEVICE");
  return device != nullptr && RealTableChosen(device);
}
}  // namespace

std::string Explain(const ChildOutcome& outcome) {
  using End = ChildOutcome::End;
  switch (outcome.end) {
    case End::completed:
    case End::cleanStop:
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
      if (outcome.stopSignal != 0)
        return "the run was stopped by " + SignalName(outcome.stopSignal);
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
  for (int* fd : {&outPipe_, &errPipe_, &tracePipe_, &stepSocket_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

bool CallChild::Start(const ChildOptions& options, std::string& error) {
  int out[2] = {-1, -1}, err[2] = {-1, -1}, trace[2] = {-1, -1}, steps[2] = {-1, -1};
  auto closeAll = [&] {
    for (int fd : {out[0], out[1], err[0], err[1], trace[0], trace[1], steps[0], steps[1]}) {
      if (fd >= 0) close(fd);
    }
  };
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
      (options.traceFd >= 0 && pipe2(trace, O_CLOEXEC) != 0) ||
      socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, steps) != 0) {
    error = std::string("cannot make the call process's pipes: ") + std::strerror(errno);
    closeAll();
    return false;
  }
  setsockopt(steps[0], SOL_SOCKET, SO_SNDBUF, &stepChannelBytes, sizeof stepChannelBytes);
  // A larger trace pipe lets the library run ahead of the copy without blocking on every buffer.
  if (trace[0] >= 0) fcntl(trace[0], F_SETPIPE_SZ, 1 << 20);
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
    for (int fd : {out[0], out[1], err[0], err[1], trace[0], trace[1], steps[0]}) {
      if (fd >= 0) close(fd);
    }
    if (childOptions.realtime || childOptions.cpu >= 0) {
      ApplyRealtime(childOptions.realtime, childOptions.cpu);
    }
    // The pause handlers are set before the mask lets the pause signals in.
    RunSteps(childOptions, steps[1]);
  }
  for (int fd : {out[1], err[1], trace[1], steps[1]}) {
    if (fd >= 0) close(fd);
  }
  std::lock_guard lock(mutex_);
  pid_ = child;
  outPipe_ = out[0];
  errPipe_ = err[0];
  tracePipe_ = trace[0];
  stepSocket_ = steps[0];
  traceFd_ = options.traceFd;
  traceMaxBytes_ = options.traceMaxBytes;
  collapse_ = options.collapseRepeats;
  stopWhenHomingFails_ = options.stopWhenHomingFails;
  return true;
}

void CallChild::Signal(int signal) {
  std::lock_guard lock(mutex_);
  if (pid_ > 0) kill(pid_, signal);
}

void CallChild::RequestStop() {
  // The same flag a job-ending signal sets: the wait loop passes it on within one poll. Once
  // the call process has ended there is nothing to stop (a late click must not turn a job
  // that ran to its end into an interrupted one).
  std::lock_guard lock(mutex_);
  if (pid_ > 0) AskJobStop(SIGINT);
}

void CallChild::EndCallsNow() {
  Signal(SIGINT);
}

void CallChild::RequestStopAtBoundary() {
  std::lock_guard lock(mutex_);
  if (pid_ <= 0) return;
  sigval value{};
  value.sival_int = stopRequestValue;
  sigqueue(pid_, SIGUSR1, value);
}

void CallChild::RequestPause() {
  paused_ = true;
  Signal(SIGUSR1);
}

void CallChild::RequestResume() {
  paused_ = false;
  Signal(SIGUSR2);
}

}  // namespace tool
