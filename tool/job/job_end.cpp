// The end of a job: outcome lines, auxiliary output off, record, summary, exit code.
#include "job/job_end.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cli/exit_codes.h"
#include "contract/steplink_contract.h"
#include "job/script_source.h"
#include "outputs/summary.h"

namespace tool {
namespace {
std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}
}  // namespace

std::string PortFailureMessage(const DeviceTally& device) {
  const SteplinkDeviceCounts& counts = device.last;
  const std::uint32_t error = counts.firstRefusalError;
  // The first failure as the library reported it on standard output.
  const std::string first = std::string("Error occured during ") +
                            (counts.firstRefusalWrite != 0 ? "outportb" : "inportb") +
                            " while talking to PortTalk driver " + std::to_string(error);
  std::string why;
  switch (error) {
    case 6:  // ERROR_INVALID_HANDLE
      why = "the channel was not open: call openConn first and check its result";
      break;
    case 5:  // ERROR_ACCESS_DENIED
      why = "the device refused port 0x" + Hex(counts.firstRefusalPort) +
            ": only the table's own ports are served";
      break;
    default:
      why = "the device failed the request";
      break;
  }
  return std::to_string(device.refusedOps) + " port operation(s) failed, first: '" + first + "' (" +
         std::to_string(error) + ": " + why + ")";
}

JobVerdict DecideJobEnd(const JobFacts& facts) {
  JobVerdict verdict;
  if (facts.refused) {
    verdict = {exitRefused, JobStatus::refused, "refused"};
  } else if (facts.stopSignal != 0) {
    const int code = facts.stopSignal == SIGINT ? exitInterrupted : 128 + facts.stopSignal;
    verdict = {code == exitInterrupted && facts.outputFailed ? exitRunFailed : code,
               JobStatus::interrupted, "interrupted by " + SignalName(facts.stopSignal)};
  } else if (facts.runFailed || facts.outputFailed || facts.stdoutFailed) {
    verdict = {
        exitRunFailed, JobStatus::fault,
        "stopped: " + (facts.faultMessage.empty() ? std::string("a fault") : facts.faultMessage)};
  } else {
    verdict = {exitOk, JobStatus::completed, "ran to its end"};
  }
  return verdict;
}

int JobExitCode(const JobFacts& facts) {
  return DecideJobEnd(facts).exitCode;
}

JobEnd::JobEnd(const RunJobOptions& options, const JobInfo& info, RunSettings& settings,
               const ChildOutcome& outcome, const JobWatch& watch, JobResult& result)
    : options_(options), settings_(settings), result_(result) {
  using End = ChildOutcome::End;
  // A signal that came after the calls had ended ends the job the same way.
  facts_.stopSignal = outcome.stopSignal != 0 ? outcome.stopSignal : ReceivedJobSignal();
  facts_.refused = outcome.end == End::loadFailed;
  result.stopSignal = facts_.stopSignal;
  result.cleanStop = outcome.end == End::cleanStop;
  if (facts_.stopSignal != 0 && !facts_.refused) {
    std::fprintf(stderr,
                 "steplink: the run was interrupted by %s; the record is kept up to there\n",
                 SignalName(facts_.stopSignal).c_str());
  } else if (!outcome.faultStop.empty()) {
    // Stopped by the runner at a call boundary; the reason goes where it can still be read.
    result.faultMessage = outcome.faultStop;
    std::fprintf(outcome.stderrError != 0 || std::ferror(stderr) != 0 ? stdout : stderr,
                 "steplink: %s; the job stopped\n", outcome.faultStop.c_str());
    facts_.runFailed = true;
  } else if (outcome.end != End::completed && !facts_.refused) {
    result.faultMessage = Explain(outcome);
    std::fprintf(stderr, "steplink: %s\n", result.faultMessage.c_str());
    if (outcome.end == End::openFailed && !outcome.firstHwLine.empty()) {
      // The reason, again as the last line before the summary: above, the library's lines may
      // have buried it.
      std::fprintf(stderr, "%s\n", outcome.firstHwLine.c_str());
      result.faultMessage += ": " + outcome.firstHwLine;
    }
    facts_.runFailed = true;
  }
  // From the device seam's counts, never from the library's lines.
  const DeviceTally& device = outcome.device;
  result.homingFailed = device.unmetCreeps > 0;
  if (device.refusedOps > 0) {
    const std::string message = PortFailureMessage(device);
    std::fprintf(stderr, "steplink: %s\n", message.c_str());
    if (result.faultMessage.empty()) result.faultMessage = message;
    facts_.runFailed = true;
  }
  if (device.stalledCalls > 0) {
    std::fprintf(stderr,
                 "steplink: counter 0 stood still in %llu call(s); the waits were not paced\n",
                 static_cast<unsigned long long>(device.stalledCalls));
    if (result.faultMessage.empty())
      result.faultMessage = "counter 0 stood still: the waits were not paced";
    facts_.runFailed = true;
  }
  if (device.unmetCreeps > 0 && outcome.faultStop.empty()) {
    // --keep-going: the job went on from a zero that is not the switch, and still failed.
    const std::string message = UnmetCreepMessage(device);
    std::fprintf(stderr, "steplink: %s\n", message.c_str());
    if (result.faultMessage.empty()) result.faultMessage = message;
    facts_.runFailed = true;
  }
  // The runner's own lines (stdio) and the call process's output passed on (raw writes).
  const bool stdioFailed = std::ferror(stdout) != 0 || std::ferror(stderr) != 0;
  facts_.stdoutFailed = outcome.stdoutError != 0 || outcome.stderrError != 0 || stdioFailed;
  if (outcome.faultStop.empty() && facts_.stdoutFailed) {
    // Found after the calls had ended (the last of the output passed on).
    const bool out = outcome.stdoutError != 0 || std::ferror(stdout) != 0;
    const int code = out ? outcome.stdoutError : outcome.stderrError;
    const std::string message = std::string("cannot write to standard ") +
                                (out ? "output" : "error") +
                                (code != 0 ? std::string(": ") + std::strerror(code) : "");
    std::fprintf(out ? stderr : stdout, "steplink: %s\n", message.c_str());
    if (result.faultMessage.empty()) result.faultMessage = message;
  }
  if (!options.keys || isatty(STDIN_FILENO) == 0) {
    for (const auto& [line, text] : watch.PausesBefore(result.stepsDone)) {
      result.notes.push_back({line, text.substr(0, 2) + " passed: no terminal on standard input"});
    }
  }
  const bool auxSelected = info.gcode && watch.AuxSelectedBefore(result.stepsDone);
  if (result.cleanStop && outcome.faultStop.empty()) {
    result.notes.push_back({0, "stopped while paused: auxiliary state 0 applied, then closeConn"});
  } else if (result.cleanStop && auxSelected && options.stopSequence.auxOff) {
    result.auxOffAfterStop = true;  // the call process made the stop sequence at the boundary
  }
  // Ended without the stop sequence: by a signal, a crash, or a fault stop the call process
  // did not see before the steps ran out.
  const bool stopped = outcome.end == End::exited || outcome.end == End::signalled ||
                       outcome.end == End::startFailed ||
                       (outcome.end == End::completed && !outcome.faultStop.empty());
  auxToTurnOff_ = auxSelected && stopped;
  Decide();
}

void JobEnd::AuxOffAfterStop(const std::string& libraryPath, const std::string& device) {
  if (!auxToTurnOff_ || options_.keepAux) return;
  std::vector<ScriptCall> stopCalls{{Entry::openConn, {}, 0}};
  for (const ScriptCall& call : StopSequenceCalls({true, true})) stopCalls.push_back(call);
  ScriptJobSource sequence("aux off", std::move(stopCalls));
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

void JobEnd::Decide() {
  facts_.faultMessage = result_.faultMessage;
  JobVerdict verdict = DecideJobEnd(facts_);
  result_.exitCode = verdict.exitCode;
  result_.status = verdict.status;
  // The run's summary names only an end that is not the plain one.
  result_.ended = verdict.status == JobStatus::completed ? "" : verdict.headline;
}

void JobEnd::Summarize() {
  Decide();
  if (facts_.refused) return;
  if (!options_.display.quiet || result_.exitCode != exitOk) {
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
  // Before the report is written: a summary that did not reach standard output (a closed pipe,
  // a full disk) makes the job a fault there too.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    if (!facts_.stdoutFailed) {
      const std::string message = std::string("cannot write to standard output: ") +
                                  std::strerror(errno != 0 ? errno : EIO);
      std::fprintf(stderr, "steplink: %s\n", message.c_str());
      facts_.stdoutFailed = true;
      if (result_.faultMessage.empty()) result_.faultMessage = message;
      Decide();
    }
    __fpurge(stdout);  // said once: what could not be written is dropped, not tried again
    std::clearerr(stdout);
  }
}

void JobEnd::OutputFailed(const std::string& message) {
  facts_.outputFailed = true;
  if (result_.faultMessage.empty() && facts_.stopSignal == 0) result_.faultMessage = message;
  Decide();
}

void JobEnd::Finish() {
  Decide();
}

}  // namespace tool
