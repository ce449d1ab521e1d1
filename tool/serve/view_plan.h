// A G-code job as the live view draws it: the planned path in machine mm as JSON (GET /plan)
// with the axis scales the view turns the table's steps into mm with, and the report's count of
// calls. Calls the G-code library's trace and planner types only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "job/run_job.h"
#include "machine.h"
#include "plan/planner.h"
#include "report/path_trace.h"

namespace tool {

// Points the plan's JSON holds at most, whatever the program's length (about 40 bytes each).
constexpr std::size_t viewPlanMaxPoints = 8000;

// {"units":"mm","axes":{"x":{"steps_per_mm","invert","min_mm","max_mm"},...},"min":[x,y,z],
//  "max":[...],"entries","calls","planned_s","purposes":[...],"points":[[x,y,z,purpose,aux,line],
//  ...]}: purpose indexes "purposes" (how the table got to the point; dwell, pause and
// toolChange are marks at the point), aux the auxiliary state after it (-1 none set).
std::string ViewPlanJson(const gcode::PathTrace& trace, const gcode::Machine& machine,
                         std::uint64_t calls, double plannedSeconds);

// What RunJobOptions::viewPlan carries for a checked plan (pass 1's counters, its trace).
ViewPlan MakeViewPlan(const gcode::PathTrace& trace, const gcode::Machine& machine,
                      const gcode::Plan& checked);
// The same from a plan held whole in memory.
ViewPlan MakeViewPlan(const gcode::Plan& plan, const gcode::Machine& machine);

}  // namespace tool
