// The job of a planned G-code program: openConn, initTimer, the plan's entries (calls, dwells,
// pauses) with their line, text, planned times and position in mm, closeConn. The one place that
// turns the planner's result into steps; calls the planner's types only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "job.h"
#include "machine.h"
#include "planner.h"

namespace tool {

// The plan and the machine must outlive the source (it reads them as it goes).
std::unique_ptr<JobSource> MakePlanJobSource(const gcode::Plan& plan, const gcode::Machine& machine,
                                             std::string name);

// Planned entries done once `stepsDone` steps of the job have ended (openConn and initTimer come
// first, closeConn last).
std::size_t PlanEntriesDone(const gcode::Plan& plan, std::uint64_t stepsDone);

}  // namespace tool
