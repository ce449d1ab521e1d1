// The end of a job: outcome lines, auxiliary output off, record, summary, exit code.
#include "job_end.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "contract/steplink_contract.h"
#include "exit_codes.h"
#include "script_source.h"
#include "summary.h"

namespace tool {

int JobExitCode(const JobFacts& facts) {
  if (facts.refused) return exitRefused;
  if (facts.stopSignal != 0) {
    const int code = facts.stopSignal == SIGINT ? exitInterrupted : 128 + facts.stopSignal;
    return code == exitInterrupted && facts.outputFailed ? exitRunFailed : code;
  }
  if (facts.runFailed || facts.outputFailed || facts.stdoutFailed) return exitRunFailed;
  return exitOk;
}

JobEnd::JobEnd(const RunJobOptions& options, const JobInfo& info, RunSettings& settings,
               const ChildOutcome& outcome, const JobWatch& watch, JobResult& result)
    : options_(options), settings_(settings), outcome_(outcome), result_(result) {
  using End = ChildOutcome::End;
  // A signal that came after the calls had ended ends the job the same way.
  facts_.stopSignal = outcome.stopSignal != 0 ? outcome.stopSignal : ReceivedJobSignal();
  facts_.refused = outcome.end == End::loadFailed;
  result.stopSignal = facts_.stopSignal;
  result.cleanStop = outcome.end == End::cleanStop;
  if (facts_.stopSignal != 0 && !facts_.refused) {
    result.ended = "interrupted by " + SignalName(facts_.stopSignal);
    std::fprintf(stderr, "steplink: the run was %s; the record is kept up to there\n",
                 result.ended.c_str());
  } else if (outcome.end != End::completed && !facts_.refused) {
    result.faultMessage = Explain(outcome);
    std::fprintf(stderr, "steplink: %s\n", result.faultMessage.c_str());
    if (outcome.end == End::openFailed && !outcome.firstHwLine.empty()) {
      // The reason, again as the last line before the summary: above, the library's lines may
      // have buried it.
      std::fprintf(stderr, "%s\n", outcome.firstHwLine.c_str());
      result.faultMessage += ": " + outcome.firstHwLine;
    }
    if (outcome.end == End::signalled)
      result.ended = "call process ended by " + SignalName(outcome.code);
    if (outcome.end == End::exited) result.ended = "call process ended early";
    if (outcome.end == End::openFailed) result.ended = "openConn failed";
    facts_.runFailed = true;
  }
  if (outcome.portErrorLines > 0) {
    const std::string message =
        std::to_string(outcome.portErrorLines) + " port operation(s) failed, first: '" +
        outcome.firstPortError +
        "' (6: the channel was not open: call openConn first and check its result)";
    std::fprintf(stderr, "steplink: %s\n", message.c_str());
    if (result.faultMessage.empty()) result.faultMessage = message;
    facts_.runFailed = true;
  }
  if (outcome.timerStallLines > 0) {
    std::fprintf(stderr,
                 "steplink: counter 0 stood still in %zu call(s); the waits were not paced\n",
                 outcome.timerStallLines);
    if (result.faultMessage.empty())
      result.faultMessage = "counter 0 stood still: the waits were not paced";
    facts_.runFailed = true;
  }
  facts_.stdoutFailed = outcome.stdoutError != 0;
  if (!options.keys || isatty(STDIN_FILENO) == 0) {
    for (const auto& [line, text] : watch.PausesBefore(result.stepsDone)) {
      result.notes.push_back({line, text.substr(0, 2) + " passed: no terminal on standard input"});
    }
  }
  if (result.cleanStop) {
    result.notes.push_back({0, "stopped while paused: auxiliary state 0 applied, then closeConn"});
  }
  const bool stopped = outcome.end != End::completed && outcome.end != End::cleanStop &&
                       outcome.end != End::loadFailed && outcome.end != End::openFailed;
  auxToTurnOff_ = info.gcode && stopped && watch.AuxSelectedBefore(result.stepsDone);
}

void JobEnd::AuxOffAfterStop(const std::string& libraryPath, const std::string& device) {
  if (!auxToTurnOff_ || options_.keepAux) return;
  ScriptJobSource sequence("aux off", {{Entry::openConn, {}, 0},
                                       {Entry::vectorOut, {0, 0, STEPLINK_Z_AUX_MINUS}, 0},
                                       {Entry::closeConn, {}, 0}});
  ChildOptions child;
  child.libraryPath = libraryPath;
  child.printCalls = !options_.display.quiet;
  // The same device, but neither the job's record nor its status block: they hold the job.
  std::vector<sim::SettingItem> kept;
  for (const sim::SettingItem& item : settings_.inForce) {
    if (item.key != "record" && item.key != "status") kept.push_back(item);
  }
  child.environment.emplace_back("STEPLINK_SIM", sim::JoinSettings(kept));
  if (!device.empty()) child.environment.emplace_back("STEPLINK_DEVICE", device);
  ClearReceivedJobSignal();  // the signal that stopped the job must not stop this too
  CallChild calls;
  std::string error;
  ChildOutcome outcome;
  if (calls.Start(child, error)) outcome = calls.Wait(sequence);
  result_.auxOffAfterStop = outcome.end == ChildOutcome::End::completed;
  if (*result_.auxOffAfterStop) {
    std::fprintf(stderr,
                 "steplink: the auxiliary output was turned off after the stop (openConn, "
                 "vectorOut 0 0 %d, closeConn)\n",
                 STEPLINK_Z_AUX_MINUS);
  } else {
    std::fprintf(stderr,
                 "steplink: the device could not be opened again to turn the auxiliary output "
                 "off: it may still be on; switch it off at the machine\n");
  }
}

void JobEnd::TraceFailed(const std::string& message) {
  std::fprintf(stderr, "steplink: %s\n", message.c_str());
  facts_.outputFailed = true;
}

void JobEnd::CollectRecord() {
  if (facts_.refused) return;
  status::StatusView statusView;
  result_.run = tool::CollectRecord(settings_, statusView, options_.keepRecordSteps);
  result_.haveRecord = true;
  if (ReportRecordProblems(result_.run)) {
    facts_.runFailed = true;
    if (result_.faultMessage.empty() && !result_.run.record.faults.empty()) {
      result_.faultMessage =
          "the table saw " + std::to_string(result_.run.record.faults.size()) + " fault(s)";
    } else if (result_.faultMessage.empty()) {
      result_.faultMessage = "the record is incomplete or unreadable";
    }
  }
}

void JobEnd::Summarize() {
  result_.exitCode = JobExitCode(facts_);
  result_.status = facts_.refused               ? JobStatus::refused
                   : facts_.stopSignal != 0     ? JobStatus::interrupted
                   : result_.exitCode != exitOk ? JobStatus::fault
                                                : JobStatus::completed;
  if (facts_.refused || (options_.display.quiet && result_.exitCode == exitOk)) return;
  if (options_.summary) {
    options_.summary(result_);
  } else {
    PrintSummary(result_.run.record, result_.run.status, result_.wallSeconds,
                 {result_.settings, result_.ended});
  }
  if (result_.auxOffAfterStop) {
    std::printf("  aux off    %s\n", *result_.auxOffAfterStop
                                         ? "turned off after the stop (auxiliary state 0)"
                                         : "the device did not open again: it may still be on");
  }
}

void JobEnd::OutputFailed() {
  facts_.outputFailed = true;
}

void JobEnd::Finish() {
  if (outcome_.stdoutError != 0) {
    std::fprintf(stderr, "steplink: cannot write to standard output: %s\n",
                 std::strerror(outcome_.stdoutError));
  }
  result_.exitCode = JobExitCode(facts_);
}

}  // namespace tool
