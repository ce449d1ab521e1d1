// A job: a stream of steps (entry calls, dwells, program pauses) read one at a time, each with
// where it came from (a script line, a G-code line and its text) and what the progress display
// needs. `run` makes one from a script, `gcode` from its planner; RunJob executes any of them.
// Plain data and one interface; depends on script.h for the entry names, the contract header for
// the auxiliary-off call and the planner's PlanEntry, the record a G-code step carries unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contract/steplink_contract.h"
#include "job/script.h"
#include "plan/planner.h"

namespace tool {

enum class StepKind : std::uint8_t {
  call,   // one entry call (entry, args)
  dwell,  // wait `seconds` (G4): waited on real time, counted on the virtual clock
  pause,  // a program stop (M0, M1, M6): waits for Resume on a terminal or the live view
};

// Longest source text a step carries (the rest is cut): the channel's records have a fixed size.
inline constexpr std::size_t maxStepTextBytes = 96;

struct JobStep {
  StepKind kind = StepKind::call;
  Entry entry = Entry::openConn;       // call
  std::array<std::int32_t, 3> args{};  // call: x, y, z of vectorOut / reference
  double seconds = 0.0;                // dwell: its time
  // Where it came from: the script's or the program's line (0: added by the job itself, such as
  // the openConn of a G-code job) and, for G-code, the line's text (a pause: why it stops).
  int line = 0;
  std::string text;
  // Progress (G-code): planned job time when the step begins and ends, -1 when unknown.
  double startSeconds = -1.0;
  double endSeconds = -1.0;
  // Commanded position in mm when the step begins and after it (G-code; hasMm false otherwise).
  bool hasMm = false;
  std::array<double, 3> mmFrom{};
  std::array<double, 3> mmTo{};
  // Auxiliary state the job has selected after this step: -1 none, 0 (M5), 1 (M3/M4).
  std::int8_t auxAfter = -1;
  // G-code: the planner's entry this step makes, as the emitter made it (none for openConn,
  // initTimer, closeConn and a script's steps).
  std::optional<gcode::PlanEntry> plan;
};

// What the runner knows about a job before its first step.
struct JobInfo {
  std::string name;             // "jobs/demo.steplink", "<stdin>"
  bool gcode = false;           // a G-code job: mm, line, percent in the live view; aux off on stop
  std::uint64_t stepCount = 0;  // steps in all, 0 when not known in advance
  double plannedSeconds = -1.0;  // the estimate of the whole job, -1 none
  int sourceLines = 0;           // lines of the program (for "line N/M")
  std::uint64_t entryCount = 0;  // G-code: the plan's entries (calls, dwells, pauses)
  // True when the job has a vectorOut, reference, dwell or pause: openConn, initTimer and
  // closeConn alone are nothing to run, and RunJob refuses such a job before openConn.
  bool hasWork = false;
};

// A source of steps. Next() gives the steps in order and nothing at the end; a source reads its
// input as it goes, so a job never needs to be held whole.
class JobSource {
 public:
  virtual ~JobSource() = default;
  virtual const JobInfo& Info() const = 0;
  virtual std::optional<JobStep> Next() = 0;
  // Why the job must stop now although steps may remain (its input is not what was checked),
  // empty while all is well. Asked between steps, on the thread that calls Next().
  virtual std::string StopReason() { return {}; }
  // Whether Next() has its answer now (a step, or the end). A source that waits for its steps
  // (the control panel's session) says false until it has one; the feeder then tries again on
  // its next round (at most 20 ms later) instead of blocking the runner's wait loop.
  virtual bool Ready() { return true; }
};

// The steps the call process makes when the job is stopped while paused (a clean stop at a call
// boundary): for G-code the auxiliary output off (as M5) and closeConn; none for a script.
struct StopSequence {
  bool auxOff = false;  // vectorOut 0 0 -32000
  bool closeConn = false;
};

// The stop sequence's calls in order: the one list both the call process (a stop at a call
// boundary) and the runner (a stop after the call process ended, on a device opened again) make.
inline std::vector<ScriptCall> StopSequenceCalls(const StopSequence& sequence) {
  std::vector<ScriptCall> calls;
  if (sequence.auxOff) calls.push_back({Entry::vectorOut, {0, 0, STEPLINK_Z_AUX_MINUS}, 0});
  if (sequence.closeConn) calls.push_back({Entry::closeConn, {}, 0});
  return calls;
}

}  // namespace tool
