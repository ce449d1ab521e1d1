// A G-code job as the live view draws it: the planned path in machine mm as JSON (GET /plan)
// with the axis scales the page turns the status block's steps into mm with, and the numbering
// of calls the job's report uses. Calls the G-code library's trace and planner types only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"
#include "path_trace.h"
#include "planner.h"
#include "run_job.h"

namespace tool {

// Points the plan's JSON holds at most, whatever the program's length (about 40 bytes each).
constexpr std::size_t viewPlanMaxPoints = 8000;

// {"units":"mm","axes":{"x":{"steps_per_mm","invert","min_mm","max_mm"},...},"min":[x,y,z],
//  "max":[...],"entries","calls","planned_s","purposes":[...],"points":[[x,y,z,purpose,aux,line],
//  ...]}: purpose indexes "purposes" (how the table got to the point; dwell, pause and
// toolChange are marks at the point), aux the auxiliary state after it (-1 none set).
std::string ViewPlanJson(const gcode::PathTrace& trace, const gcode::Machine& machine,
                         std::uint64_t calls, double plannedSeconds);

// Numbers the plan's library calls (vectorOut, reference) as the report's `calls` counts them,
// fed every planned entry in order. Keeps only the entries that are no call (dwells, pauses).
class CallNumbering {
 public:
  void Add(const gcode::PlannedCall& call);
  std::uint64_t Calls() const { return entries_ - others_.size(); }
  // The 1-based number among the plan's calls of the runner's step `callIndex` (the status
  // block's 1-based index: openConn, initTimer, the plan's entries, closeConn); 0 for a step that
  // is no call of the plan.
  std::uint64_t Number(std::uint64_t callIndex) const;

 private:
  std::vector<std::uint64_t> others_;  // entry indices of dwells and pauses, ascending
  std::uint64_t entries_ = 0;
};

// What RunJobOptions::viewPlan carries for a plan: the JSON and the numbering (shared, so the
// server's copy outlives nothing it needs).
ViewPlan MakeViewPlan(const gcode::PathTrace& trace, const gcode::Machine& machine,
                      CallNumbering numbering, double plannedSeconds);
// The same from a plan held whole in memory.
ViewPlan MakeViewPlan(const gcode::Plan& plan, const gcode::Machine& machine);

}  // namespace tool
