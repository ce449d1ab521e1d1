// What a G-code job adds to RunJob: its report (the planner's report with how the run went, the
// variant and the auxiliary output after a stop), its summary in mm, and its outcome as the
// report's terms. Calls the G-code library's report and the planner's types.
#pragma once

#include <string>
#include <vector>

#include "machine.h"
#include "planner.h"
#include "report.h"
#include "run_job.h"

namespace tool {

struct GcodeJob {
  std::string name;  // "<stdin>" or the path
  gcode::Machine machine;
  gcode::Plan plan;
  std::vector<gcode::Message> refusal;  // errors that refused the job before the plan (machine)
  Variant variant = Variant::standard;
  bool variantGiven = false;
};

// The report's view of a job's result.
gcode::RunOutcome GcodeOutcome(const GcodeJob& job, const JobResult& result);
// The report as JSON text.
std::string GcodeReport(const GcodeJob& job, const JobResult& result);
// "gcode summary (...)": lines, moves, calls, steps, time, end position.
void PrintGcodeSummary(const GcodeJob& job, const JobResult& result);

}  // namespace tool
