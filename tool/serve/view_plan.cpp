// The live view's plan of a G-code job: the bounded planned path as JSON in mm with the axis
// scales and the report's count of calls.
#include "serve/view_plan.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace tool {
namespace {

const char* const purposeNames[] = {"rapid",  "cut",   "aux",   "reapply", "reference",
                                    "resume", "dwell", "pause", "stored",  "toolChange"};

// Micrometres are finer than any table's step; fewer digits keep the JSON small.
double Rounded(double mm) {
  return std::round(mm * 1e4) / 1e4;
}

}  // namespace

std::string ViewPlanJson(const gcode::PathTrace& trace, const gcode::Machine& machine,
                         std::uint64_t calls, double plannedSeconds) {
  nlohmann::json plan;
  plan["units"] = "mm";
  for (int axis = 0; axis < 3; ++axis) {
    const gcode::Axis& spec = machine.axes[axis];
    plan["axes"][std::string(1, "xyz"[axis])] = {{"steps_per_mm", spec.stepsPerMm},
                                                 {"invert", spec.invert},
                                                 {"min_mm", spec.minMm},
                                                 {"max_mm", spec.maxMm}};
  }
  const auto low = trace.Min(), high = trace.Max();
  plan["min"] = {low[0], low[1], low[2]};
  plan["max"] = {high[0], high[1], high[2]};
  plan["entries"] = trace.Entries();
  plan["calls"] = calls;
  plan["planned_s"] = plannedSeconds;
  plan["purposes"] = purposeNames;
  const std::vector<gcode::TracePoint> points = trace.Points();
  // The trace is bounded in corners but keeps every mark; past the cap the JSON keeps every
  // stride-th point and the last one (the table's end).
  const std::size_t stride =
      points.size() <= viewPlanMaxPoints
          ? 1
          : (points.size() - 1 + viewPlanMaxPoints - 2) / (viewPlanMaxPoints - 1);
  nlohmann::json list = nlohmann::json::array();
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i % stride != 0 && i + 1 != points.size()) continue;
    const gcode::TracePoint& point = points[i];
    list.push_back({Rounded(point.mm[0]), Rounded(point.mm[1]), Rounded(point.mm[2]),
                    static_cast<int>(point.purpose), point.aux, point.line});
  }
  plan["points"] = std::move(list);
  return plan.dump();
}

ViewPlan MakeViewPlan(const gcode::PathTrace& trace, const gcode::Machine& machine,
                      const gcode::Plan& checked) {
  ViewPlan plan;
  plan.calls = static_cast<std::uint64_t>(checked.vectorOutCalls) +
               static_cast<std::uint64_t>(checked.referenceCalls);
  plan.json = ViewPlanJson(trace, machine, plan.calls, checked.durationSeconds);
  for (int axis = 0; axis < 3; ++axis) {
    plan.stepsPerMm[axis] = machine.axes[axis].stepsPerMm;
    plan.invert[axis] = machine.axes[axis].invert;
  }
  return plan;
}

ViewPlan MakeViewPlan(const gcode::Plan& plan, const gcode::Machine& machine) {
  gcode::PathTrace trace(machine);
  for (const gcode::PlannedCall& call : plan.calls) trace.Add(call);
  return MakeViewPlan(trace, machine, plan);
}

}  // namespace tool
