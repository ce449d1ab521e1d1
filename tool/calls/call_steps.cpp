// The call process's side of a job: loads the entries, reads the steps one at a time from the
// step channel and executes them (calls, dwells, program pauses, a feed hold between steps, the
// stop sequence when stopped while paused), and keeps the status block's job section up to date.
// It is the only writer of that section. After each call it hands the call's result and the
// device seam's counts back over the channel. Calls the library's entries, status_block and the
// system.
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "calls/call_child.h"
#include "calls/plan_status.h"
#include "calls/result_meaning.h"
#include "calls/step_channel.h"
#include "contract/steplink_contract.h"
#include "status/status_block.h"
#include "status/status_view.h"

// The device seam in the loaded library counts into this, found by its name in the program's
// dynamic symbol table (tool/CMakeLists.txt exports it); read after each call.
extern "C" {
__attribute__((visibility("default")))
SteplinkDeviceCounts hostDeviceCounts __asm__(STEPLINK_DEVICE_COUNTS_SYMBOL) = {};
}

namespace tool {
namespace {

// A pause was requested (SIGUSR1) and not yet resumed (SIGUSR2).
volatile std::sig_atomic_t pauseWanted = 0;
// The one "stop at the next call boundary" of the call process: Ctrl-C (SIGINT) while paused,
// or the runner's stop request (SIGUSR1 queued with stopRequestValue). Either ends a pause.
volatile std::sig_atomic_t stopWanted = 0;
// The stop came from the runner, for a fault: the job section then says failed, not interrupted.
volatile std::sig_atomic_t faultStop = 0;

void OnPauseOrStop(int, siginfo_t* info, void*) {
  if (info != nullptr && info->si_code == SI_QUEUE &&
      info->si_value.sival_int == stopRequestValue) {
    stopWanted = 1;
    faultStop = 1;
    pauseWanted = 0;
  } else {
    pauseWanted = 1;
  }
}
void OnResume(int) {
  pauseWanted = 0;
}
void OnStopWhilePaused(int) {
  stopWanted = 1;
  pauseWanted = 0;
}

constexpr std::uint32_t callCodes[] = {STEPLINK_CALL_OPEN_CONN, STEPLINK_CALL_CLOSE_CONN,
                                       STEPLINK_CALL_INIT_TIMER, STEPLINK_CALL_VECTOR_OUT,
                                       STEPLINK_CALL_REFERENCE};

// The job section as this job shows it: the step in progress, its line, percent and position.
class JobPublisher {
 public:
  explicit JobPublisher(const ChildOptions& options) : info_(options.info) {
    std::string ignored;  // no block (none made): nothing to keep up to date, the job goes on
    writer_.Open(options.statusName, ignored);
    if (writer_.IsOpen()) table_.Open(options.statusName);
  }
  void Step(std::uint64_t index, const JobStep& step, bool begins) {
    if (!writer_.IsOpen()) return;
    SteplinkStatusJob job = writer_.Current();
    job.state = STEPLINK_JOB_RUNNING;
    job.callEntry = begins && step.kind == StepKind::call ? callCodes[static_cast<int>(step.entry)]
                                                          : STEPLINK_CALL_NONE;
    for (int axis = 0; axis < 3; ++axis) job.callArgs[axis] = begins ? step.args[axis] : 0;
    // Where the table stood as the call began: with the table's position when it is stopped,
    // the part of the call that was made (an interrupted job's summary).
    const auto table = table_.ReadTable();
    if (table && begins) {
      job.callFromSteps[0] = table->positionX;
      job.callFromSteps[1] = table->positionY;
      job.callFromSteps[2] = table->positionZ;
    }
    PublishPlanEntry(job, step, begins, table);
    job.callIndex = static_cast<std::uint32_t>(index + 1);
    job.callCount = static_cast<std::uint32_t>(info_.stepCount);
    job.planCount = static_cast<std::uint32_t>(info_.entryCount);
    if (info_.gcode && step.line > 0) job.gcodeLine = static_cast<std::uint32_t>(step.line);
    const double at = begins ? step.startSeconds : step.endSeconds;
    if (info_.plannedSeconds > 0 && at >= 0) {
      job.percent = 100.0 * at / info_.plannedSeconds;
      job.etaSeconds = info_.plannedSeconds > at ? info_.plannedSeconds - at : 0.0;
    } else if (!info_.gcode) {
      job.percent = job.etaSeconds = -1;
    }
    if (step.hasMm) {
      for (int axis = 0; axis < 3; ++axis)
        job.mm[axis] = begins ? step.mmFrom[axis] : step.mmTo[axis];
    }
    writer_.Write(job);
  }
  void State(std::uint32_t state) {
    if (!writer_.IsOpen()) return;
    SteplinkStatusJob job = writer_.Current();
    job.state = state;
    if (state == STEPLINK_JOB_ENDED && info_.gcode) {
      job.percent = 100.0;
      job.etaSeconds = 0.0;
    }
    writer_.Write(job);
  }

 private:
  JobInfo info_;
  status::JobStatusWriter writer_;
  status::StatusView table_;
};

void SetHandler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  action.sa_handler = handler;
  sigaction(signal, &action, nullptr);
}

void SetInfoHandler(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  action.sa_sigaction = handler;
  sigaction(signal, &action, nullptr);
}

// Between two steps: waits while a pause is wanted. The pause signals are blocked around the
// test so that a resume cannot slip in between the test and the wait. True when the job is to
// stop here (stopped while paused, or asked to by the runner).
bool PauseIfWanted(const ChildOptions& options, JobPublisher& job) {
  sigset_t pauseSignals, previous;
  sigemptyset(&pauseSignals);
  sigaddset(&pauseSignals, SIGUSR1);
  sigaddset(&pauseSignals, SIGUSR2);
  sigaddset(&pauseSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &pauseSignals, &previous);
  const bool cleanStop = options.stopSequence.auxOff || options.stopSequence.closeConn;
  if (pauseWanted != 0) {
    if (cleanStop) SetHandler(SIGINT, OnStopWhilePaused);
    job.State(STEPLINK_JOB_PAUSED);
    while (pauseWanted != 0) sigsuspend(&previous);
    if (cleanStop) SetHandler(SIGINT, SIG_DFL);
    if (stopWanted == 0) job.State(STEPLINK_JOB_RUNNING);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return stopWanted != 0;
}

void Dwell(double seconds) {
  if (!(seconds > 0)) return;
  timespec wait{
      static_cast<time_t>(seconds),
      static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// After a call: its result and the counts so far, back to the runner.
void Report(int stepFd, std::uint64_t index, Entry entry, int result) {
  CallReport report{};
  report.index = index;
  report.entry = static_cast<std::uint8_t>(entry);
  report.result = result;
  report.counts = hostDeviceCounts;
  SendCallReport(stepFd, report);
}

}  // namespace

[[noreturn]] void RunSteps(const ChildOptions& options, int stepFd) {
  SetInfoHandler(SIGUSR1, OnPauseOrStop);
  SetHandler(SIGUSR2, OnResume);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);  // blocked across fork, until the handlers were set
  for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
  Entries entries;
  std::string error;
  if (!LoadEntries(options.libraryPath, entries, error)) {
    std::fprintf(stderr, "%s", error.c_str());
    std::fflush(stderr);
    std::exit(childLoadFailed);
  }
  JobPublisher job(options);
  bool openFailed = false;
  bool open = false;  // an openConn succeeded and no closeConn followed
  for (std::uint64_t index = 0;; ++index) {
    const std::optional<JobStep> step = ReadStep(stepFd);
    // The runner asks for a stop before it ends the channel, so a stop is seen before the end.
    if (stopWanted != 0 || (step && PauseIfWanted(options, job))) {
      // At a call boundary: the steps still queued are dropped; the stop sequence is made (for
      // a G-code job the auxiliary output off, as M5, then closeConn on a device left open).
      StopSequence sequence = options.stopSequence;
      sequence.closeConn = sequence.closeConn || open;
      for (const ScriptCall& call : StopSequenceCalls(sequence)) {
        const int result = MakeCall(entries, call.entry, call.args);
        Report(stepFd, index, call.entry, result);
      }
      std::fflush(stdout);
      job.State(faultStop != 0 ? STEPLINK_JOB_FAILED : STEPLINK_JOB_INTERRUPTED);
      std::exit(childCleanStop);
    }
    if (!step) break;
    job.Step(index, *step, true);
    if (step->kind == StepKind::call) {
      const std::uint32_t unmetBefore = hostDeviceCounts.unmetCreeps;
      const int result = MakeCall(entries, step->entry, step->args);
      // A creep that gave up without the switch: this reference homed nothing.
      const bool homingFailed = hostDeviceCounts.unmetCreeps != unmetBefore;
      const bool failed = ResultIsFailure(step->entry, result);
      if (step->entry == Entry::openConn && failed) openFailed = true;
      if (step->entry == Entry::openConn && !failed) open = true;
      if (step->entry == Entry::closeConn) open = false;
      if (options.printCalls) {
        const std::string call = FormatCall({step->entry, step->args, step->line});
        // "NAME ARGS -> RESULT" stays as it was (scripts match it); the meaning follows it.
        const std::string meaning = homingFailed
                                        ? "not homed: a creep made " +
                                              std::to_string(STEPLINK_REFERENCE_CREEP_LIMIT) +
                                              " steps and the limit input never engaged"
                                        : MeaningOf(step->entry, step->args, result);
        if (step->entry == Entry::reference) {
          std::printf("%s -> done (%s)\n", call.c_str(), meaning.c_str());
        } else {
          std::printf("%s -> %d (%s)\n", call.c_str(), result, meaning.c_str());
        }
      }
      std::fflush(stdout);  // the library never flushes; its lines and ours stay in order
      Report(stepFd, index, step->entry, result);
      if (homingFailed && options.stopWhenHomingFails) {
        // Nothing more moves from a zero that is not the switch: the stop sequence comes next,
        // and the job section says failed.
        stopWanted = 1;
        faultStop = 1;
      }
    } else if (step->kind == StepKind::dwell) {
      if (options.waitDwells) Dwell(step->seconds);
    } else if (step->kind == StepKind::pause && options.pauseAtProgramStops) {
      pauseWanted = 1;  // waits before the next step, as a feed hold does
    }
    job.Step(index, *step, false);
    if (openFailed && options.stopWhenOpenFails) break;
  }
  std::fflush(stdout);
  job.State(openFailed ? STEPLINK_JOB_FAILED : STEPLINK_JOB_ENDED);
  // exit(), not _exit(): the library's static destructors close the record and the status block.
  std::exit(openFailed ? childOpenFailed : childOk);
}

}  // namespace tool
