// Checking a job for the panel: pass 1 over the whole program from the session's state (where the
// table stands, its offsets, modal state and tool), its refusals, extents against the soft
// limits, planned time and a bounded path in mm, and for a run from a line the approach and the
// modal state rebuilt from the lines before. Runs on a worker thread: touches nothing shared.
// Calls the G-code library (two_pass.h, path_trace.h) and the jobs folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "job_folder.h"
#include "machine.h"
#include "plan/planner.h"
#include "read/program_input.h"

namespace panel {

// Points of a checked job's path at most (the page draws them).
inline constexpr std::size_t checkPathMaxPoints = 2000;

struct CheckRequest {
  std::string name;
  int fromLine = 0;  // 0: the whole program; N: run from line N (the preview)
  gcode::CarriedState start;
  std::array<double, 3> offsetsMm{};  // the active system's origin the start holds, for the answer
  gcode::Profile profile;             // the library variant's speeds
  bool toRun = false;                 // a Run waits for it
  std::uint64_t serial = 0;
};

struct CheckResult {
  CheckRequest request;
  bool ok = false;
  std::string error;  // the file could not be opened or read (ok is false)
  gcode::Plan plan;
  gcode::PlanOptions options;                  // what pass 2 must plan with
  std::unique_ptr<gcode::ProgramInput> input;  // kept open for pass 2
  std::string json;                            // GET /jobs/check
};

// The options a job is planned with from `request` (pass 1 and pass 2 alike).
gcode::PlanOptions JobPlanOptions(const gcode::Machine& machine, const CheckRequest& request);

// Pass 1 of the named job; `stop` set ends it early (a Stop, a newer check).
CheckResult CheckJob(const JobFolder& folder, const gcode::Machine& machine,
                     const CheckRequest& request, const std::atomic<int>& stop);

// The modal state as G-code words: "G21 G90 G17 G54 G99 G91.1 T2 M5".
std::string ModalText(const gcode::CarriedState& state);

}  // namespace panel
