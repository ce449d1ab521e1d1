// The call process: a child that loads the library with dlopen (as a JVM does), resolves the five
// JNI entries and makes a list of calls, so that a crash of the library is reported, not
// inherited. The parent supervises it: forwards the signals that end a run, and asks it to stop,
// pause or resume at the next call boundary. Used by every command that runs calls on the table.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "entry/entry.h"
#include "script.h"

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
int MakeCall(const Entries& entries, const ScriptCall& call);

// Run in the call process, around each call. Pauses happen between calls, before beforeCall.
struct CallHooks {
  std::function<void(std::size_t index, const ScriptCall& call)> beforeCall;
  std::function<void(std::size_t index, const ScriptCall& call, int result)> afterCall;
  std::function<void(bool paused)> pauseChanged;  // true when a pause begins, false when it ends
};

struct ChildOptions {
  std::string libraryPath;
  bool printCalls = true;  // "vectorOut 1 2 3 -> 0" after each call on standard output
  // Set in the call process before the library is loaded (STEPLINK_SIM, ...).
  std::vector<std::pair<std::string, std::string>> environment;
  // Where the library's port trace goes (an open descriptor of the parent's), or -1 for none.
  // The library writes into a pipe (STEPLINK_TRACE=/dev/fd/N) and the parent copies it here, so
  // that a write error on the destination is seen and reported.
  int traceFd = -1;
  // A job (G-code) makes no call after an openConn that gave 255: its moves would only fail
  // port operation after port operation. A script (run) goes on, as a Java caller would.
  bool stopWhenOpenFails = false;
  bool realtime = false;  // --rt: SCHED_FIFO and mlockall in the call process
  int cpu = -1;           // --cpu N: the call process on that CPU only
};

// What the parent does while it waits; all of it on the waiting thread.
struct WaitHooks {
  std::function<void()> tick;          // about every 20 ms (progress display, live view)
  std::function<void()> beforeOutput;  // before the child's output is passed on (erase progress)
};

// How the call process ended.
struct ChildOutcome {
  enum class End {
    completed,    // every call made
    openFailed,   // every call made, but an openConn gave 255
    loadFailed,   // the library did not load or lacks an entry; nothing was called
    exited,       // ended by exit() with another status (code), e.g. from inside the library
    signalled,    // ended by a signal (code)
    startFailed,  // fork failed
  };
  End end = End::startFailed;
  int code = 0;
  // A signal that reached the runner and ended the run (SIGINT, SIGTERM, SIGHUP, SIGPIPE), or
  // SIGINT for RequestStop(); 0 when the run ended by itself.
  int stopSignal = 0;
  // What the library printed that means the port did not work: "Error occured during ..." lines
  // (a channel not open) and "Timer: counter 0 showed one value ..." lines (a dead counter).
  std::size_t portErrorLines = 0;
  std::size_t timerStallLines = 0;
  std::string firstPortError;  // the first such line
  int stdoutError = 0;         // errno of a failed write of the child's output to standard output
  int stderrError = 0;
  int traceError = 0;  // errno of a failed write of the trace
};

// One line that explains an end other than completed (empty for completed).
std::string Explain(const ChildOutcome& outcome);

class CallChild {
 public:
  CallChild() = default;
  ~CallChild();
  CallChild(const CallChild&) = delete;
  CallChild& operator=(const CallChild&) = delete;

  // Installs the runner's handlers for SIGINT, SIGTERM, SIGHUP and SIGPIPE (they end the run,
  // not the runner, so that it can report and clean up) and forks the call process. False with a
  // reason when fork fails.
  bool Start(const ChildOptions& options, const std::vector<ScriptCall>& calls,
             const CallHooks& hooks, std::string& error);

  // Waits until the call process has ended, passing its standard output and error on (the
  // runner's are the child's only through the parent) and its trace to the trace descriptor. A
  // signal that reaches the runner is passed on to the call process.
  ChildOutcome Wait(const WaitHooks& hooks = {});

  // Safe from any thread while the child runs; no effect once it has ended.
  void RequestStop();    // what Ctrl-C does: ends the calls now; the record is kept
  void RequestPause();   // pause before the next call
  void RequestResume();  // go on after a pause
  bool PauseRequested() const { return paused_; }
  pid_t Pid() const { return pid_; }

 private:
  void Signal(int signal);

  pid_t pid_ = 0;
  int outPipe_ = -1;    // the child's standard output, read end
  int errPipe_ = -1;    // the child's standard error, read end
  int tracePipe_ = -1;  // the library's trace, read end
  int traceFd_ = -1;
  std::mutex mutex_;  // pid_ is not signalled after it was reaped
  std::atomic<bool> paused_{false};
  std::atomic<int> stopSignal_{0};
};

}  // namespace tool
