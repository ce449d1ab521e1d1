// RunJob: one job from its checks to its clean-up. The stages run in order; what they make
// (the signal handlers, the temporary record, the status block, the trace, the live view) is
// owned by one JobScope that removes it on every way out; the outcome comes from DecideJobEnd.
#include "job/run_job.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "calls/call_child.h"
#include "cli/exit_codes.h"
#include "job/device_stage.h"
#include "job/job_end.h"
#include "job/job_watch.h"
#include "job/realtime_stage.h"
#include "job/settings_stage.h"
#include "outputs/summary.h"
#include "serve/live_view.h"
#include "status/status_block.h"

namespace tool {
namespace {

// Everything a job makes, removed (or put into place) on every way out.
struct JobScope {
  JobScope() { InstallJobSignalHandlers(); }
  ~JobScope() {
    if (view) FinishJobView(*view, exitCode);
    view.reset();
    trace.reset();  // what the trace holds is put into place, unless it failed
    // The record of a job that ran (completed, failed or interrupted) is put into place; one
    // that never started leaves none.
    if (record && !callsStarted) record->Abort();
    record.reset();
    RemoveRunFiles(settings);
    block.reset();
    RestoreJobSignalHandlers();
  }
  JobScope(const JobScope&) = delete;
  JobScope& operator=(const JobScope&) = delete;
  RunSettings settings;
  std::unique_ptr<OutputFile> trace;
  std::unique_ptr<OutputFile> record;  // the user's record, written by replace
  bool callsStarted = false;
  std::unique_ptr<status::StatusBlockFile> block;
  std::unique_ptr<view::Server> view;
  int exitCode = exitRefused;
};

int Refuse(const RunJobOptions& options, JobResult& result, const std::string& message,
           bool writeOutputs) {
  std::fprintf(stderr, "steplink: %s\n", message.c_str());
  result.status = JobStatus::refused;
  result.exitCode = exitRefused;
  result.faultMessage = message;
  if (writeOutputs) {
    for (const JobOutput& output : options.outputs) {
      if (output.alsoWhenRefused) WriteJobOutput(output, result);
    }
  }
  return exitRefused;
}

// Inputs and outputs, before anything else: a refusal here writes no output at all.
bool CheckFiles(const RunJobOptions& options, std::string& error) {
  std::vector<JobFile> outputs;
  if (const std::string record = NamedRecord(options.table, std::getenv("STEPLINK_SIM"));
      !record.empty()) {
    outputs.push_back({"record", record});
  }
  if (options.table.trace) outputs.push_back({"trace", *options.table.trace});
  for (const JobOutput& output : options.outputs) outputs.push_back(output.file);
  return CheckJobFiles(options.inputs, outputs, error);
}

bool WriteOutputs(const RunJobOptions& options, const JobResult& result) {
  bool good = true;
  for (const JobOutput& output : options.outputs) {
    good = WriteJobOutput(output, result) && good;
  }
  return good;
}

}  // namespace

bool WriteJobOutput(const JobOutput& output, const JobResult& result) {
  if (output.stream) {
    return WriteOutputStream(
        output.file.path, output.file.what,
        [&](std::ostream& out, std::string& error) { return output.stream(result, out, error); });
  }
  return WriteOutputText(output.file.path, output.file.what, output.make(result));
}

int RefuseJob(const RunJobOptions& options, JobResult& result) {
  std::string error;
  if (!CheckFiles(options, error)) return Refuse(options, result, error, false);
  result.status = JobStatus::refused;
  result.exitCode = exitRefused;
  for (const JobOutput& output : options.outputs) {
    if (output.alsoWhenRefused) WriteJobOutput(output, result);
  }
  return exitRefused;
}

int InterruptedBeforeCalls(const RunJobOptions& options, JobResult& result, int signal) {
  JobFacts facts;
  facts.stopSignal = signal;
  const JobVerdict verdict = DecideJobEnd(facts);
  result.status = verdict.status;
  result.exitCode = verdict.exitCode;
  result.stopSignal = signal;
  result.ended = verdict.headline;
  std::fprintf(stderr, "steplink: %s during the check; nothing moved\n", verdict.headline.c_str());
  for (const JobOutput& output : options.outputs) {
    if (output.alsoWhenRefused && !WriteJobOutput(output, result)) {
      facts.outputFailed = true;
      result.exitCode = DecideJobEnd(facts).exitCode;
    }
  }
  return result.exitCode;
}

int RunJob(JobSource& source, const RunJobOptions& options, JobResult& result) {
  const JobInfo& info = source.Info();
  std::string error;
  // 1. Every input and output, before anything moves.
  if (!CheckFiles(options, error)) return Refuse(options, result, error, false);
  if (!info.hasWork) {
    return Refuse(options, result,
                  info.name + " has no vectorOut, reference, dwell or pause; nothing to run " +
                      "(openConn, initTimer and closeConn alone move nothing)",
                  true);
  }
  if (options.checkOnly) {
    result.status = JobStatus::checked;
    if (options.summary && !options.display.quiet) options.summary(result);
    // A summary that did not reach standard output (a closed pipe) fails the check, and the
    // report, written after it, says so rather than "checked".
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      result.status = JobStatus::fault;
      result.faultMessage = std::string("cannot write to standard output: ") +
                            std::strerror(errno != 0 ? errno : EIO);
      std::fprintf(stderr, "steplink: %s\n", result.faultMessage.c_str());
      __fpurge(stdout);  // said once: what could not be written is dropped, not tried again
      std::clearerr(stdout);
    }
    result.exitCode = result.status == JobStatus::checked ? exitOk : exitRunFailed;
    if (!WriteOutputs(options, result)) result.exitCode = exitRunFailed;
    return result.exitCode;
  }

  // 2. The settings merge and the device rules.
  JobScope scope;
  const std::string device = ChosenDevice(options.table);
  if (!CheckDeviceValue(device, error)) return Refuse(options, result, error, true);
  const bool realDevice = RealTableChosen(device);
  RunSettings& settings = scope.settings;
  if (!BuildRunSettings(options.table, std::getenv("STEPLINK_SIM"), realDevice, settings, error) ||
      !CheckDeviceSettings(device, options.table, settings, error)) {
    return Refuse(options, result, error, true);
  }
  std::string libraryPath;
  if (!ResolveLibrary(options.table, libraryPath, error)) {
    return Refuse(options, result, error, true);
  }
  result.realtimeClock = RealtimeClock(settings);
  result.settings = DescribeSettings(settings) + ", variant=" + VariantName(options.table.variant) +
                    " (" + (options.table.variantGiven ? "--variant" : "runner default") + ")";
  if (settings.recordFd < 0) {
    scope.record = std::make_unique<OutputFile>();
    if (!scope.record->Open(settings.recordPath, error)) {
      scope.record.reset();
      return Refuse(options, result,
                    "cannot write the record " + settings.recordPath + ": " + error, true);
    }
    WriteRecordAt(settings, scope.record->WritePath());
  }
  if (options.table.trace) {
    scope.trace = std::make_unique<OutputFile>();
    if (!scope.trace->Open(*options.table.trace, error)) {
      scope.trace.reset();
      return Refuse(options, result,
                    "cannot write the trace " + *options.table.trace + ": " + error, true);
    }
  }
  ChildOptions child;
  child.libraryPath = libraryPath;
  child.printCalls = options.printCalls && !options.display.quiet;
  child.environment.emplace_back("STEPLINK_SIM", settings.simSpec);
  if (!device.empty()) {
    setenv("STEPLINK_DEVICE", device.c_str(), 1);  // for the runner's own messages too
    child.environment.emplace_back("STEPLINK_DEVICE", device);
  }
  child.traceFd = scope.trace ? scope.trace->Fd() : -1;
  child.traceMaxBytes = options.table.traceMaxBytes;
  child.stopWhenOpenFails = !options.keepGoing;
  child.stopWhenHomingFails = !options.keepGoing;
  child.realtime = options.table.rt;
  child.cpu = options.table.cpu.value_or(-1);
  child.statusName = settings.statusName;
  child.info = info;
  child.waitDwells = result.realtimeClock;
  child.pauseAtProgramStops = options.keys && isatty(STDIN_FILENO) != 0;
  child.stopSequence = options.stopSequence;
  child.collapseRepeats = !options.display.verbatim;
  if (options.table.rt) {
    if (const std::string warning = RealtimeThrottleWarning(); !warning.empty()) {
      std::fprintf(stderr, "%s\n", warning.c_str());
    }
  }
  if (!options.display.quiet) {
    std::printf("steplink: %s with the library %s\n  settings: %s\n", info.name.c_str(),
                libraryPath.c_str(), result.settings.c_str());
    std::fflush(stdout);
  }

  // 3. The status block: made before the calls start (the call process's table takes over a
  // block its parent made), read for the summary, removed at the end. (The settings stage named
  // it, after removing the blocks that runs ended by SIGKILL left.)
  scope.block = status::StatusBlockFile::Create(settings.statusName, error);
  if (scope.block == nullptr) {
    return Refuse(options, result, "status=" + settings.statusName + ": " + error, true);
  }

  // 4. The live view, serving before the first call.
  CallChild calls;
  if (options.view.wanted) {
    scope.view = StartJobView(options.view, options.viewPlan, settings.statusName, info.name,
                              info.gcode, info.gcode, calls, error);
    if (!scope.view) return Refuse(options, result, "--view: " + error, true);
  }

  // 5. The call process.
  const auto wallStart = std::chrono::steady_clock::now();
  scope.callsStarted = calls.Start(child, error);
  if (!scope.callsStarted) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    result.status = JobStatus::fault;
    result.faultMessage = error;
    scope.exitCode = result.exitCode = exitRunFailed;
    WriteOutputs(options, result);
    return result.exitCode;
  }
  ChildOutcome outcome;
  JobWatch watch(calls, settings.statusName, info, options.display, options.keys);
  {
    WaitHooks hooks;
    hooks.tick = [&] { watch.Tick(); };
    hooks.beforeOutput = [&] { watch.Erase(); };
    hooks.onSend = [&](std::uint64_t index, const JobStep& step) { watch.Sent(index, step); };
    // The runner's own lines (the heading above, the progress display) that could not be
    // written end the job as the call process's output would.
    hooks.stopReason = [] {
      if (std::ferror(stdout) != 0) return std::string("cannot write to standard output");
      if (std::ferror(stderr) != 0) return std::string("cannot write to standard error");
      return std::string();
    };
    outcome = calls.Wait(source, hooks);
    watch.Erase();
  }
  result.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  result.stepsDone =
      outcome.end == ChildOutcome::End::completed ? outcome.stepsSent : watch.StepsDone();

  // 6. The end: the auxiliary output off after a stop, the record, the summary, the outputs.
  JobEnd end(options, info, settings, outcome, watch, result);
  if (scope.trace) {
    std::string traceError;
    if (outcome.traceError != 0) {
      scope.trace->Abort();
      traceError = std::strerror(outcome.traceError);
    } else {
      scope.trace->Commit(traceError);
    }
    if (!traceError.empty()) {
      end.TraceFailed("the trace " + *options.table.trace + " is incomplete: " + traceError);
    } else if (outcome.traceCut) {
      end.TraceFailed("the trace " + *options.table.trace + " is incomplete: it reached " +
                      "--trace-max " + std::to_string(options.table.traceMaxBytes) +
                      " bytes and ends there with a note; the job ran on");
    }
  }
  end.AuxOffAfterStop(libraryPath, device);
  end.CollectRecord();
  if (scope.record && !result.haveRecord) {
    scope.record->Abort();  // the library did not load: nothing ran, nothing to keep
  } else if (scope.record && !RecordIsWhole(result.run)) {
    // A record the table could not write whole (a full disk) never replaces the old file.
    scope.record->Abort();
    const std::string note = "the record " + scope.record->Path() +
                             " was not replaced: it could not be written whole; the file there "
                             "before the run is kept";
    std::fprintf(stderr, "steplink: %s\n", note.c_str());
    result.notes.push_back({0, note});
    end.OutputFailed(note);
  }
  end.Summarize();
  // In order, each one seeing the failures before it: a report after a call script that could
  // not be written says so.
  for (const JobOutput& output : options.outputs) {
    if (!WriteJobOutput(output, result)) {
      end.OutputFailed("the " + output.file.what + " " + output.file.path + " is incomplete");
    }
  }
  if (std::string recordError; scope.record && !scope.record->Commit(recordError)) {
    std::fprintf(stderr, "steplink: cannot write the record %s: %s\n", scope.record->Path().c_str(),
                 recordError.c_str());
    end.OutputFailed("cannot write the record " + scope.record->Path());
  }
  end.Finish();
  scope.exitCode = result.exitCode;
  return result.exitCode;
}

}  // namespace tool
