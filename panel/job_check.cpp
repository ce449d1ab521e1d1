// Pass 1 of a panel job with a path trace from where the table stands, and the answer the page
// draws: refusals by line, extents against the soft limits, time, a path of at most
// checkPathMaxPoints points, the approach of a run from a line. Calls two_pass.h and
// path_trace.h.
#include "job_check.h"

#include <algorithm>

#include "plan/two_pass.h"
#include "report/path_trace.h"

namespace panel {
namespace {

constexpr const char* axisNames[3] = {"x", "y", "z"};

// Index into "kinds" of the path's points: the planner's purposes, in its order.
constexpr const char* purposeNames[] = {"rapid",  "cut",   "aux",   "reapply", "reference",
                                        "resume", "dwell", "pause", "stored",  "tool_change"};

std::array<double, 3> MmOf(const std::array<std::int64_t, 3>& steps,
                           const gcode::Machine& machine) {
  std::array<double, 3> mm{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    mm[axis] = gcode::StepsToMm(steps[axis], machine.axes[axis]);
  }
  return mm;
}

nlohmann::json Messages(const std::vector<gcode::Message>& messages) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& message : messages) {
    list.push_back({{"line", message.line}, {"message", message.message}});
  }
  return list;
}

// The approach of a run from a line as the page lists it: one step per kind of move, merged over
// the calls a long move is split into.
class Approach {
 public:
  explicit Approach(const gcode::Machine& machine) : machine_(machine) {}
  void Add(const gcode::PlannedCall& call) {
    if (done_) return;
    if (call.purpose == gcode::Purpose::aux) {
      Push(call.args[2] > 0 ? "auxiliary output on (the state the lines before select)"
                            : "auxiliary output off for the approach",
           call.endSteps);
      return;
    }
    if (call.purpose != gcode::Purpose::resume) {
      done_ = true;
      return;
    }
    const bool xy = call.endSteps[0] != call.fromSteps[0] || call.endSteps[1] != call.fromSteps[1];
    const double fromZ = gcode::StepsToMm(call.fromSteps[2], machine_.axes[2]);
    const double toZ = gcode::StepsToMm(call.endSteps[2], machine_.axes[2]);
    Push(xy            ? "X/Y over to the line's start"
         : toZ > fromZ ? "Z up to the safe height"
                       : "Z down to the line's start",
         call.endSteps);
  }
  nlohmann::json Json() const { return steps_; }

 private:
  void Push(const std::string& what, const std::array<std::int64_t, 3>& endSteps) {
    const auto mm = MmOf(endSteps, machine_);
    if (!steps_.empty() && steps_.back()["what"] == what) {
      steps_.back()["to_mm"] = mm;
      return;
    }
    steps_.push_back({{"what", what}, {"to_mm", mm}});
  }
  const gcode::Machine& machine_;
  nlohmann::json steps_ = nlohmann::json::array();
  bool done_ = false;
};

}  // namespace

gcode::PlanOptions JobPlanOptions(const gcode::Machine& machine, const CheckRequest& request) {
  gcode::PlanOptions options;
  options.profile = request.profile;
  options.start = request.start;
  options.fromLine = request.fromLine;
  options.resumeSafeZMm = gcode::SafeZMm(machine);
  return options;
}

std::string ModalText(const gcode::CarriedState& state) {
  const auto& modes = state.modes;
  std::string text = modes.inches ? "G20" : "G21";
  text += modes.relative ? " G91" : " G90";
  text += modes.plane == gcode::Code::G18   ? " G18"
          : modes.plane == gcode::Code::G19 ? " G19"
                                            : " G17";
  text += " G5" + std::to_string(4 + std::clamp(state.activeWorkOffset, 0, 5));
  text += modes.arcAbsolute ? " G90.1" : " G91.1";
  text += modes.cycleToR ? " G99" : " G98";
  if (modes.motion) text += " " + gcode::CodeName('G', static_cast<int>(*modes.motion));
  if (state.toolLengthMm != 0.0) text += " G43";
  if (state.g92 != std::array<double, 3>{}) text += " G92";
  if (state.loadedTool >= 0) text += " T" + std::to_string(state.loadedTool);
  if (state.aux >= 0) text += state.aux == 1 ? " M3" : " M5";
  return text;
}

CheckResult CheckJob(const JobFolder& folder, const gcode::Machine& machine,
                     const CheckRequest& request, const std::atomic<int>& stop) {
  CheckResult result;
  result.request = request;
  result.options = JobPlanOptions(machine, request);
  nlohmann::json json = {{"name", request.name}, {"serial", request.serial}, {"state", "done"}};
  // Planner messages may quote a program's bytes: whatever is not UTF-8 goes as U+FFFD.
  const auto answer = [&json] {
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  result.input = folder.OpenJob(request.name, result.error);
  if (result.input == nullptr) {
    json["ok"] = false;
    json["refusals"] = nlohmann::json::array({{{"line", 0}, {"message", result.error}}});
    json["refusal_count"] = 1;
    result.json = answer();
    return result;
  }
  const auto startMm = MmOf(request.start.steps, machine);
  gcode::PathTrace trace(machine, checkPathMaxPoints, startMm);
  Approach approach(machine);
  const bool fromLine = request.fromLine > 0;
  const gcode::CallSink sink = [&](const gcode::PlannedCall& call) {
    trace.Add(call);
    if (fromLine) approach.Add(call);
  };
  std::string readError;
  result.plan = gcode::CheckProgram(*result.input, machine, result.options, sink, stop, readError);
  const gcode::Plan& plan = result.plan;
  result.ok = plan.ok() && readError.empty();
  if (!readError.empty()) result.error = readError;

  nlohmann::json refusals = Messages(plan.errors);
  if (!readError.empty()) refusals.insert(refusals.begin(), {{"line", 0}, {"message", readError}});
  nlohmann::json limits = nlohmann::json::object();
  bool inside = true;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const auto& spec = machine.axes[axis];
    limits[axisNames[axis]] = {spec.minMm, spec.maxMm};
    inside =
        inside && trace.Min()[axis] >= spec.minMm - 1e-9 && trace.Max()[axis] <= spec.maxMm + 1e-9;
  }
  nlohmann::json points = nlohmann::json::array();
  for (const auto& point : trace.Points()) {
    points.push_back(
        {point.mm[0], point.mm[1], point.mm[2], static_cast<int>(point.purpose), point.line});
  }
  json["ok"] = result.ok;
  json["refusals"] = std::move(refusals);
  json["refusal_count"] = plan.errorCount + (readError.empty() ? 0 : 1);
  json["notes"] = Messages(plan.notes);
  json["lines"] = plan.lines;
  json["calls"] = plan.callCount;
  json["planned_seconds"] = plan.durationSeconds;
  json["start_mm"] = startMm;
  json["offsets"] = {
      {"x", request.offsetsMm[0]}, {"y", request.offsetsMm[1]}, {"z", request.offsetsMm[2]}};
  json["extents_mm"] = {{"min", trace.Min()}, {"max", trace.Max()}};
  json["limits"] = limits;
  json["inside_limits"] = inside;
  json["path"] = {{"kinds", purposeNames}, {"points", std::move(points)}};
  json["from_line"] = nullptr;
  if (fromLine) {
    json["from_line"] = {{"line", request.fromLine},
                         {"approach", approach.Json()},
                         {"modal", plan.resumedFrom ? ModalText(*plan.resumedFrom) : ""},
                         {"aux", plan.resumedFrom ? plan.resumedFrom->aux : -1}};
  }
  result.json = answer();
  return result;
}

}  // namespace panel
