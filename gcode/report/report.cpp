// Builds the job report's JSON document from the plan and the run's outcome.
#include "report/report.h"

namespace gcode {
namespace {

nlohmann::json Messages(const std::vector<Message>& messages) {
  nlohmann::json list = nlohmann::json::array();
  for (const Message& m : messages) {
    nlohmann::json entry = {{"line", m.line}, {"message", m.message}};
    if (!m.code.empty()) entry["code"] = m.code;  // errors: the kind of refusal
    list.push_back(std::move(entry));
  }
  return list;
}

nlohmann::json Xyz(double x, double y, double z) {
  return {{"x", x}, {"y", y}, {"z", z}};
}

}  // namespace

std::array<std::int64_t, 3> EndSteps(const Plan& plan, const RunOutcome& outcome) {
  if (outcome.refused) return {0, 0, 0};
  if (outcome.checkOnly) return plan.endSteps;
  if (outcome.done) return outcome.done->endSteps;
  const std::size_t done = std::min(outcome.callsDone, plan.calls.size());
  return done == 0 ? std::array<std::int64_t, 3>{} : plan.calls[done - 1].endSteps;
}

nlohmann::json MakeReport(const std::string& file, const Machine& machine, const Plan& plan,
                          const RunOutcome& outcome) {
  const auto end = EndSteps(plan, outcome);
  std::vector<Message> notes = plan.notes;
  notes.insert(notes.end(), outcome.notes.begin(), outcome.notes.end());
  // A plan with its calls (PlanProgram), or counters and the outcome's progress (streamed).
  const std::size_t entries =
      plan.calls.empty() ? static_cast<std::size_t>(plan.callCount) : plan.calls.size();
  const std::size_t done = std::min(outcome.callsDone, entries);
  int lastLine = 0;
  std::size_t callsMade = 0;
  if (outcome.done) {
    lastLine = outcome.done->lastLine;
    callsMade = outcome.done->callsMade;
  } else if (plan.calls.empty() && outcome.checkOnly) {
    lastLine = plan.lastEntryLine;
    callsMade = static_cast<std::size_t>(plan.vectorOutCalls) +
                static_cast<std::size_t>(plan.referenceCalls);
  } else {
    if (done > 0 && done <= plan.calls.size()) lastLine = plan.calls[done - 1].line;
    for (std::size_t i = 0; i < done && i < plan.calls.size(); ++i) {
      if (plan.calls[i].kind == CallKind::vectorOut || plan.calls[i].kind == CallKind::reference) {
        ++callsMade;
      }
    }
  }
  nlohmann::json machineJson = {{"name", machine.name},
                                {"arc_tolerance_mm", machine.arcToleranceMm}};
  for (int axis = 0; axis < 3; ++axis) {
    const Axis& spec = machine.axes[axis];
    machineJson["axis"][std::string(1, "xyz"[axis])] = {{"steps_per_mm", spec.stepsPerMm},
                                                        {"min_mm", spec.minMm},
                                                        {"max_mm", spec.maxMm},
                                                        {"invert", spec.invert}};
  }
  machineJson["reference"] =
      machine.reference ? nlohmann::json(*machine.reference) : nlohmann::json();
  machineJson["positions"] = {
      {"g28", machine.g28 ? nlohmann::json(*machine.g28) : nlohmann::json()},
      {"g30", machine.g30 ? nlohmann::json(*machine.g30) : nlohmann::json()}};
  nlohmann::json tools = nlohmann::json::object();
  for (const auto& [tool, length] : machine.toolLengths) tools[std::to_string(tool)] = length;
  machineJson["tools"] = tools;

  nlohmann::json report = {
      {"file", file},
      {"program", plan.program ? nlohmann::json(*plan.program) : nlohmann::json()},
      {"machine", machineJson},
      {"status", outcome.refused       ? "refused"
                 : outcome.checkOnly   ? "checked"
                 : outcome.interrupted ? "interrupted"
                 : outcome.fault       ? "fault"
                                       : "completed"},
      {"exit_code", outcome.exitCode},
      {"lines", plan.lines},
      {"blocks_executed", plan.blocksExecuted},
      {"moves", plan.moves},
      {"calls", outcome.refused ? 0 : plan.vectorOutCalls + plan.referenceCalls},
      {"calls_made", callsMade},
      {"last_line", lastLine},
      {"percent",
       entries == 0 ? 0.0 : 100.0 * static_cast<double>(done) / static_cast<double>(entries)},
      {"planned_duration_s", plan.durationSeconds},
      {"duration_s", outcome.durationSeconds},
      {"wall_s", outcome.wallSeconds},
      {"aux_reapplications", plan.reapplications},
      {"end_line", plan.endLine},
      {"skipped_lines", plan.skippedLines},
      {"steps_per_axis",
       Xyz(static_cast<double>(plan.stepsPerAxis[0]), static_cast<double>(plan.stepsPerAxis[1]),
           static_cast<double>(plan.stepsPerAxis[2]))},
      {"end",
       {{"mm", Xyz(StepsToMm(end[0], machine.axes[0]), StepsToMm(end[1], machine.axes[1]),
                   StepsToMm(end[2], machine.axes[2]))},
        {"steps", Xyz(static_cast<double>(end[0]), static_cast<double>(end[1]),
                      static_cast<double>(end[2]))}}},
      {"limits_ok", plan.limitsOk},
      {"errors", Messages(plan.errors)},  // the first maxListedErrors
      {"error_count", plan.errorCount},
      {"notes", Messages(notes)},
      {"interrupted", outcome.interrupted},
      {"fault", outcome.fault ? nlohmann::json(outcome.faultMessage) : nlohmann::json()},
  };
  nlohmann::json offsets;
  for (int system = 0; system < 6; ++system) {
    const auto& o = plan.workOffsets[static_cast<std::size_t>(system)];
    offsets["g5" + std::to_string(4 + system)] = Xyz(o[0], o[1], o[2]);
  }
  offsets["g92"] = Xyz(plan.g92Offset[0], plan.g92Offset[1], plan.g92Offset[2]);
  offsets["active"] = "G5" + std::to_string(4 + plan.activeWorkOffset);
  offsets["tool_length_mm"] = plan.toolLengthMm;
  report["offsets"] = offsets;
  if (outcome.tableSteps) {
    const auto& t = *outcome.tableSteps;
    report["table_steps"] =
        Xyz(static_cast<double>(t[0]), static_cast<double>(t[1]), static_cast<double>(t[2]));
  }
  return report;
}

}  // namespace gcode
