// A G-code job's report and summary from RunJob's result, pass 1's counters and the streamed
// source's progress.
#include "job/gcode_job.h"

#include <cinttypes>
#include <cstdio>

#include "contract/steplink_contract.h"

namespace tool {
namespace {

// The progress of the entries done, or nothing when the job was not streamed (refused, checked).
std::optional<GcodeProgress> ProgressOf(const GcodeJob& job, std::size_t entriesDone) {
  if (job.source == nullptr) return std::nullopt;
  return job.source->Progress(entriesDone);
}

// A word as a POSIX shell reads it back unchanged.
std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_-+./=:,@%") == std::string::npos;
  if (plain) return word;
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

void PrintStoppedState(const GcodeJob& job, const JobResult& result,
                       const gcode::RunOutcome& outcome) {
  const std::optional<GcodeProgress> progress = ProgressOf(job, outcome.callsDone);
  if (!progress) return;
  if (const auto at = TableMachineSteps(*progress, result)) {
    const auto& s = *at;
    std::printf("  stands at  x %.4f  y %.4f  z %.4f mm;  x %" PRId64 "  y %" PRId64 "  z %" PRId64
                " steps (machine coordinates, where the table stopped)\n",
                gcode::StepsToMm(s[0], job.machine.axes[0]),
                gcode::StepsToMm(s[1], job.machine.axes[1]),
                gcode::StepsToMm(s[2], job.machine.axes[2]), s[0], s[1], s[2]);
  } else if (result.homingFailed) {
    std::printf(
        "  stands at  unknown in machine coordinates: a reference run did not find its "
        "switch\n");
  } else if (result.run.job && result.run.job->callEntry == STEPLINK_CALL_REFERENCE) {
    std::printf("  stands at  unknown in machine coordinates: stopped during a reference run\n");
  }
  const bool auxOn = result.run.status && result.run.status->auxState == 1;
  const char* aux = result.auxOffAfterStop
                        ? (*result.auxOffAfterStop
                               ? "off (turned off after the stop)"
                               : "may still be on: the device did not open again; switch it off "
                                 "at the machine")
                    : auxOn ? (job.keepAux ? "still on (--keep-aux): switch it off when done"
                                           : "still on: switch it off at the machine")
                            : "off";
  std::printf("  aux now    %s\n", aux);
  if (outcome.callsDone >= job.plan.callCount) return;
  // The first entry not completed; when it had not been handed out yet, the line of the last
  // one done again (never a line skipped).
  const int line = progress->nextLine > 0 ? progress->nextLine : progress->lastLine;
  if (line <= 0) return;
  std::printf("  resume     %s\n", ResumeCommand(job, line).c_str());
  if (!job.machine.reference) {
    std::printf(
        "             (--from-line needs a machine file with a [job] reference: the "
        "table is homed first)\n");
  }
  if (job.file == "-") std::printf("             (with the same program on standard input)\n");
}

}  // namespace

std::optional<std::array<std::int64_t, 3>> TableMachineSteps(const GcodeProgress& progress,
                                                             const JobResult& result) {
  if (!result.haveRecord || !result.run.status || !progress.known || result.homingFailed)
    return std::nullopt;
  const SteplinkStatusTable& table = *result.run.status;
  const std::array<std::int64_t, 3> now{table.positionX, table.positionY, table.positionZ};
  std::array<std::int64_t, 3> at = progress.endSteps;
  if (!result.run.job || result.run.job->callEntry == STEPLINK_CALL_NONE) return at;
  const SteplinkStatusJob& job = *result.run.job;
  // The call in progress must be the entry after the completed ones: then the table moved from
  // its call's start by what the call made.
  const std::uint64_t entryInProgress = job.planEntry > 0 ? job.planEntry - 1u : UINT64_MAX;
  if (entryInProgress != progress.entriesDone) {
    return job.callEntry == STEPLINK_CALL_VECTOR_OUT ? std::nullopt : std::optional(at);
  }
  if (job.callEntry == STEPLINK_CALL_REFERENCE) return std::nullopt;
  if (job.callEntry != STEPLINK_CALL_VECTOR_OUT) return at;
  for (int axis = 0; axis < 3; ++axis) at[axis] += now[axis] - job.callFromSteps[axis];
  return at;
}

std::string ResumeCommand(const GcodeJob& job, int line) {
  std::string command =
      "steplink gcode " + ShellWord(job.file) + " --from-line " + std::to_string(line);
  if (job.machineFile) command += " --machine " + ShellWord(*job.machineFile);
  if (job.variantGiven) command += std::string(" --variant ") + VariantName(job.variant);
  return command;
}

gcode::RunOutcome GcodeOutcome(const GcodeJob& job, const JobResult& result) {
  gcode::RunOutcome outcome;
  outcome.exitCode = result.exitCode;
  outcome.wallSeconds = result.wallSeconds;
  for (const auto& [line, message] : result.notes) outcome.notes.push_back({line, message});
  switch (result.status) {
    case JobStatus::refused:
      outcome.refused = true;
      return outcome;
    case JobStatus::checked:
      outcome.checkOnly = true;
      outcome.durationSeconds = job.plan.durationSeconds;
      outcome.callsDone = static_cast<std::size_t>(job.plan.callCount);
      return outcome;
    case JobStatus::interrupted:
      outcome.interrupted = true;
      break;
    case JobStatus::fault:
      outcome.fault = true;
      outcome.faultMessage = result.faultMessage;
      break;
    case JobStatus::completed:
      break;
  }
  outcome.callsDone = PlanEntriesDone(job.plan, result.stepsDone);
  const std::optional<GcodeProgress> progress = ProgressOf(job, outcome.callsDone);
  if (progress) {
    outcome.done = gcode::RunOutcome::Done{progress->endSteps, progress->lastLine,
                                           static_cast<std::size_t>(progress->callsMade)};
  } else {
    outcome.done = gcode::RunOutcome::Done{};
  }
  if (!result.haveRecord) return outcome;
  const auto& run = result.run;
  const std::uint64_t ticks =
      run.status ? std::max(run.status->ticks, run.record.LastTick()) : run.record.LastTick();
  const double dwellSeconds = progress ? progress->dwellSeconds : 0.0;
  // On the virtual clock a dwell is counted, not waited; on the realtime clock it is in the
  // ticks.
  outcome.durationSeconds = static_cast<double>(ticks) * STEPLINK_TICK_SECONDS +
                            (result.realtimeClock ? 0.0 : dwellSeconds);
  const auto finals = run.record.FinalPositions();
  outcome.tableSteps =
      run.status ? std::array<std::int64_t, 3>{run.status->positionX, run.status->positionY,
                                               run.status->positionZ}
                 : std::array<std::int64_t, 3>{finals[0], finals[1], finals[2]};
  return outcome;
}

std::string GcodeReport(const GcodeJob& job, const JobResult& result) {
  nlohmann::json report =
      gcode::MakeReport(job.name, job.machine, job.plan, GcodeOutcome(job, result));
  if (result.status == JobStatus::refused && job.plan.errors.empty()) {
    auto& errors = report["errors"];
    for (const auto& bad : job.refusal)
      errors.push_back({{"line", bad.line},
                        {"message", bad.message},
                        {"code", bad.code.empty() ? "machine-file" : bad.code}});
    if (job.refusal.empty() && !result.faultMessage.empty()) {
      errors.push_back({{"line", 0}, {"message", result.faultMessage}, {"code", "job"}});
    }
    if (job.plan.errorCount == 0) report["error_count"] = errors.size();
  }
  report["variant"] = {{"name", VariantName(job.variant)},
                       {"source", job.variantGiven ? "--variant" : "runner default"}};
  report["aux_off_after_stop"] =
      result.auxOffAfterStop ? nlohmann::json(*result.auxOffAfterStop) : nlohmann::json(nullptr);
  return report.dump(2) + "\n";
}

void PrintGcodeSummary(const GcodeJob& job, const JobResult& result) {
  const gcode::Plan& plan = job.plan;
  const gcode::RunOutcome outcome = GcodeOutcome(job, result);
  const auto end = gcode::EndSteps(plan, outcome);
  // The headline is RunJob's verdict; only a check has its own.
  const std::string how = result.status == JobStatus::checked     ? "checked, planned time"
                          : result.status == JobStatus::completed ? "ran to its end"
                                                                  : result.ended;
  std::printf("gcode summary (%s)\n", how.c_str());
  std::printf(
      "  lines      %d (%d moves, %d vectorOut and %d reference calls, %d aux re-applied)\n",
      plan.lines, plan.moves, plan.vectorOutCalls, plan.referenceCalls, plan.reapplications);
  std::printf("  steps      x %" PRIu64 "  y %" PRIu64 "  z %" PRIu64 "\n", plan.stepsPerAxis[0],
              plan.stepsPerAxis[1], plan.stepsPerAxis[2]);
  std::printf("  time       %.3f s\n", outcome.durationSeconds);
  std::printf("  end        x %.4f  y %.4f  z %.4f mm;  x %" PRId64 "  y %" PRId64 "  z %" PRId64
              " steps\n",
              gcode::StepsToMm(end[0], job.machine.axes[0]),
              gcode::StepsToMm(end[1], job.machine.axes[1]),
              gcode::StepsToMm(end[2], job.machine.axes[2]), end[0], end[1], end[2]);
  if (result.status == JobStatus::checked) return;
  std::printf("  planned    %.3f s (estimate); wall %.3f s; %zu of %" PRIu64 " entries done\n",
              plan.durationSeconds, result.wallSeconds, outcome.callsDone, plan.callCount);
  if (outcome.tableSteps) {
    const auto& t = *outcome.tableSteps;
    std::printf("  table      x %" PRId64 "  y %" PRId64 "  z %" PRId64
                " (steps from where it stood at the start)\n",
                t[0], t[1], t[2]);
  }
  if (result.status == JobStatus::interrupted || result.status == JobStatus::fault)
    PrintStoppedState(job, result, outcome);
  if (!result.settings.empty()) std::printf("  settings   %s\n", result.settings.c_str());
}

}  // namespace tool
