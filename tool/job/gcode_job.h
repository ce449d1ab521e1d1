// What a G-code job adds to RunJob: its report (the planner's report with how the run went, the
// variant and the auxiliary output after a stop), its summary in mm (after a stop: where the
// table stands, the auxiliary output, the command that resumes), and its outcome as the report's
// terms, all from pass 1's counters and the streamed source's progress (no calls are kept).
// Calls the G-code library's report and the planner's types.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "job/gcode_source.h"
#include "job/run_job.h"
#include "machine.h"
#include "plan/planner.h"
#include "report/path_trace.h"
#include "report/report.h"

namespace tool {

struct GcodeJob {
  std::string name;                        // "<stdin>" or the path
  std::string file;                        // as given ("-": standard input), for the resume
  std::optional<std::string> machineFile;  // --machine, likewise
  gcode::Machine machine;
  gcode::Plan plan;                     // pass 1: counters, the first errors, notes; no calls
  std::vector<gcode::Message> refusal;  // errors that refused the job before the plan (machine)
  Variant variant = Variant::standard;
  bool variantGiven = false;
  bool keepAux = false;
  std::unique_ptr<gcode::PathTrace> trace;  // the planned path, when a plot or the view wants it
  const StreamJobSource* source = nullptr;  // pass 2, while the job runs
};

// The report's view of a job's result.
gcode::RunOutcome GcodeOutcome(const GcodeJob& job, const JobResult& result);
// The report as JSON text.
std::string GcodeReport(const GcodeJob& job, const JobResult& result);
// "gcode summary (...)": lines, moves, calls, steps, time, end position; after a stop also
// where the table stands, the auxiliary output and the resume command.
void PrintGcodeSummary(const GcodeJob& job, const JobResult& result);

// Where a stopped job left the table, in machine steps: the end of the completed entries plus
// the part of the call in progress that was made (the status block's position against the one
// its call began at). Nothing when it cannot be known (a reference run in progress, no block).
std::optional<std::array<std::int64_t, 3>> TableMachineSteps(const GcodeProgress& progress,
                                                             const JobResult& result);
// "steplink gcode FILE --from-line N --machine M", the words quoted for a POSIX shell.
std::string ResumeCommand(const GcodeJob& job, int line);

}  // namespace tool
