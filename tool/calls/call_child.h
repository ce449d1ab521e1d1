// The call process: a child that loads the library with dlopen (as a JVM does), resolves the five
// JNI entries and executes a job's steps as they arrive through the step channel, so that a crash
// of the library is reported, not inherited. The parent feeds the steps, supervises the child
// (ends it on every signal that ends a job) and asks it to stop, pause or resume at the next
// step boundary. Calls step_channel, call_steps (the child's side) and the system.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "calls/step_channel.h"
#include "entry/entry.h"
#include "job/job.h"
#include "job/script.h"

namespace tool {

// The five exports, typed as a JVM calls them: (JNIEnv*, jclass, args...).
struct Entries {
  // The exact types of the exports, so that a call through them is well-defined (sanitizers
  // check the function type of an indirect call).
  using NoArgs = decltype(&Java_JavaToC_openConn);
  using Move = decltype(&Java_JavaToC_vectorOut);
  using Reference = decltype(&Java_JavaToC_reference);
  NoArgs openConn = nullptr;
  NoArgs closeConn = nullptr;
  NoArgs initTimer = nullptr;
  Move vectorOut = nullptr;
  Reference reference = nullptr;
};

// Loads the library and resolves all five entries; false with one line per problem in error.
bool LoadEntries(const std::string& libraryPath, Entries& entries, std::string& error);

// Makes one call; the result is the entry's (0 for reference, which returns nothing).
int MakeCall(const Entries& entries, Entry entry, const std::array<std::int32_t, 3>& args);

struct ChildOptions {
  std::string libraryPath;
  bool printCalls = true;  // "vectorOut 1 2 3 -> 0" after each call on standard output
  // Set in the call process before the library is loaded (STEPLINK_SIM, ...).
  std::vector<std::pair<std::string, std::string>> environment;
  // Where the library's port trace goes (an open descriptor of the parent's), or -1 for none.
  // The library writes into a pipe (STEPLINK_TRACE=/dev/fd/N) and the parent copies it here, so
  // that a write error on the destination is seen and reported.
  int traceFd = -1;
  // Bytes of trace copied at most (0: no bound); then a note ends it and the rest is dropped.
  std::uint64_t traceMaxBytes = 0;
  // No call after an openConn that gave 255: the moves would only fail port operation after
  // port operation (run --keep-going turns it off on the simulated table).
  bool stopWhenOpenFails = true;
  // A reference whose creep never met the limit switch left its axes at no known place: the job
  // stops after that call (the stop sequence made) instead of moving from a wrong zero. The panel
  // keeps its call process and distrusts the position instead.
  bool stopWhenHomingFails = true;
  bool realtime = false;  // --rt: SCHED_FIFO and mlockall in the call process
  int cpu = -1;           // --cpu N: the call process on that CPU only
  // The job section of this status block is written by the call process, and by it only.
  std::string statusName;
  JobInfo info;
  bool waitDwells = false;           // real time: a dwell is waited; virtual: only counted
  bool pauseAtProgramStops = false;  // a terminal to resume from: M0/M1/M6 pause the job
  StopSequence stopSequence;         // made when the job is stopped while paused
  bool collapseRepeats = true;       // a run of >20 identical library lines shown as one
};

// What the parent does while it waits; all of it on the waiting thread.
struct WaitHooks {
  std::function<void()> tick;          // about every 20 ms (progress display, live view)
  std::function<void()> beforeOutput;  // before the child's output is passed on (erase progress)
  std::function<void(std::uint64_t index, const JobStep& step)> onSend;  // each step fed
  // Why the job must stop now, beyond the source's own reason (empty: go on).
  std::function<std::string()> stopReason;
};

// How the call process ended.
struct ChildOutcome {
  enum class End {
    completed,    // every step made
    openFailed,   // an openConn gave 255 (and the job ended there, unless --keep-going)
    cleanStop,    // stopped while paused: the stop sequence made, then ended
    loadFailed,   // the library did not load or lacks an entry; nothing was called
    exited,       // ended by exit() with another status (code), e.g. from inside the library
    signalled,    // ended by a signal (code)
    startFailed,  // fork failed
  };
  End end = End::startFailed;
  int code = 0;
  // A signal that reached the runner and ended the job, or SIGINT for RequestStop(); 0 when the
  // job ended by itself.
  int stopSignal = 0;
  // What the calls met, from the call process's reports: the device seam's counts (refused port
  // operations, counter 0 standing still, creeps that never met the switch) and the calls'
  // failed results.
  DeviceTally device;
  std::string firstHwLine;  // the first "steplink-hw:" line of its standard error (shown again)
  int stdoutError = 0;      // errno of a failed write of the child's output to standard output
  int stderrError = 0;
  int traceError = 0;     // errno of a failed write of the trace
  bool traceCut = false;  // the trace reached traceMaxBytes and was ended there
  std::uint64_t stepsSent = 0;
  // Why the runner stopped the job at a call boundary (the program changed, standard output
  // could not be written), empty when it did not.
  std::string faultStop;
};

// One line that explains an end other than completed (empty for completed).
std::string Explain(const ChildOutcome& outcome);

// Every signal whose default action ends a process, but KILL and STOP: they end a job the same
// way (the call process stopped, the record kept, what the runner made removed, 128+N).
const std::vector<int>& JobEndingSignals();
// Installs the runner's handlers for all of them (they end the job, not the runner); the first
// one that arrives is kept. Restore puts the previous actions back.
void InstallJobSignalHandlers();
void RestoreJobSignalHandlers();
// Nested installs (pass 1, then the job) keep the outermost's: one flag for the whole command.
int ReceivedJobSignal();        // the first that arrived since the handlers were installed, or 0
void ClearReceivedJobSignal();  // before a call process that must run after the job's end
void AskJobStop(int signal);    // a stop asked without a signal (RequestStop): as if it arrived
const std::atomic<int>& JobStopFlag();  // the same, for a reading loop to poll
// For the whole command: a SIGPIPE raised by its own write to a closed pipe does not end it (the
// write fails and is reported); one sent from outside does, with the default action.
void InstallSigpipeGuard();

// "SIGINT", or "signal 40".
std::string SignalName(int signal);

class CallChild {
 public:
  CallChild() = default;
  ~CallChild();
  CallChild(const CallChild&) = delete;
  CallChild& operator=(const CallChild&) = delete;

  // Forks the call process, which then waits for its steps. False with a reason when a pipe or
  // fork fails.
  bool Start(const ChildOptions& options, std::string& error);

  // Feeds the source's steps to the call process and waits until it has ended, passing its
  // standard output and error on (collapsing long runs of one line) and its trace to the trace
  // descriptor. A signal that reaches the runner ends the call process.
  ChildOutcome Wait(JobSource& source, const WaitHooks& hooks = {});

  // Safe from any thread while the child runs; no effect once it has ended.
  void RequestStop();  // what Ctrl-C does: ends the calls now; the record is kept
  // The control panel's Stop: ends this call process now without marking the runner as
  // stopped (the session goes on with a new call process; a real Ctrl-C still ends it).
  void EndCallsNow();
  // A fault stop: the call process drops the steps queued, makes the stop sequence at the next
  // call boundary and ends (ChildOutcome::End::cleanStop). Before the channel is closed.
  void RequestStopAtBoundary();
  void RequestPause();   // pause before the next step
  void RequestResume();  // go on after a pause
  bool PauseRequested() const { return paused_; }
  pid_t Pid() const { return pid_; }

 private:
  void Signal(int signal);

  pid_t pid_ = 0;
  int outPipe_ = -1;     // the child's standard output, read end
  int errPipe_ = -1;     // the child's standard error, read end
  int tracePipe_ = -1;   // the library's trace, read end
  int stepSocket_ = -1;  // the step channel, the parent's end
  int traceFd_ = -1;
  std::uint64_t traceMaxBytes_ = 0;
  struct TraceCopy {
    std::uint64_t written = 0;  // bytes copied to the trace's destination
    bool atLineStart = true;
  };
  // Copies a piece of the trace within traceMaxBytes_; past it, a note and nothing more.
  void PassOnTrace(const char* data, std::size_t length, TraceCopy& copy,
                   ChildOutcome& outcome) const;
  bool collapse_ = true;
  bool stopWhenHomingFails_ = true;
  std::mutex mutex_;  // pid_ is not signalled after it was reaped
  std::atomic<bool> paused_{false};
};

// The call process's side, run in the child after fork: loads the entries and executes the
// steps from `stepFd` until the channel ends. Never returns.
[[noreturn]] void RunSteps(const ChildOptions& options, int stepFd);

// Exit codes of the call process.
inline constexpr int childOk = 0;
inline constexpr int childOpenFailed = 10;
inline constexpr int childCleanStop = 11;
inline constexpr int childLoadFailed = 20;
// The value SIGUSR1 is queued with (sigqueue) to ask for a stop at the next call boundary; a
// plain SIGUSR1 pauses.
inline constexpr int stopRequestValue = 1;

}  // namespace tool
