// A G-code job's report and summary from RunJob's result.
#include "gcode_job.h"

#include <cinttypes>
#include <cstdio>

#include "contract/steplink_contract.h"
#include "gcode_source.h"

namespace tool {

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
      outcome.callsDone = job.plan.calls.size();
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
  if (!result.haveRecord) return outcome;
  const auto& run = result.run;
  const std::uint64_t ticks =
      run.status ? std::max(run.status->ticks, run.record.LastTick()) : run.record.LastTick();
  double dwellSeconds = 0;
  for (std::size_t i = 0; i < outcome.callsDone; ++i) {
    if (job.plan.calls[i].kind == gcode::CallKind::dwell) dwellSeconds += job.plan.calls[i].seconds;
  }
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
      errors.push_back({{"line", bad.line}, {"message", bad.message}});
    if (job.refusal.empty() && !result.faultMessage.empty()) {
      errors.push_back({{"line", 0}, {"message", result.faultMessage}});
    }
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
  const char* how = result.status == JobStatus::checked       ? "checked, planned time"
                    : result.status == JobStatus::completed   ? "ran to its end"
                    : result.status == JobStatus::interrupted ? "interrupted"
                                                              : "failed";
  std::printf("gcode summary (%s)\n", how);
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
  std::printf("  planned    %.3f s (estimate); wall %.3f s; %zu of %zu entries done\n",
              plan.durationSeconds, result.wallSeconds, outcome.callsDone, plan.calls.size());
  if (outcome.tableSteps) {
    const auto& t = *outcome.tableSteps;
    std::printf("  table      x %" PRId64 "  y %" PRId64 "  z %" PRId64
                " (steps from where it stood at the start)\n",
                t[0], t[1], t[2]);
  }
  if (!result.settings.empty()) std::printf("  settings   %s\n", result.settings.c_str());
}

}  // namespace tool
