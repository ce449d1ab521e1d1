// The G-code interpreter and planner: runs the blocks through the modal state (units, distance
// modes, plane, work offset, motion mode, auxiliary state) and turns them into the library's
// calls in motor steps, checked against the soft limits before anything moves. Calls the reader
// (program.h), the machine description and the duration model.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"
#include "plan/modal_state.h"
#include "plan/profile.h"
#include "read/program.h"

namespace gcode {

enum class CallKind { vectorOut, reference, dwell, pause };

// What a call is for: the plot and the live view draw each kind apart. `stored`: a rapid move
// to a stored position (G28, G30); `toolChange`: the pause of an M6.
enum class Purpose {
  rapid,
  cut,
  aux,
  reapply,
  reference,
  resume,
  dwell,
  pause,
  stored,
  toolChange
};

// One planned entry as the emitter makes it: the record that travels unchanged from the planner
// through pass 2's queue and the runner's step channel to the call process, which publishes it
// in the status block. Plain bytes (no heap), so it crosses a socket as it is.
struct PlanEntry {
  CallKind kind = CallKind::vectorOut;
  Purpose purpose = Purpose::cut;
  std::array<std::int32_t, 3> args{};  // x, y, z of vectorOut / reference
  int line = 0;                        // source line
  std::uint64_t index = 0;             // 0-based among the plan's entries (dwells, pauses too)
  // 1-based among the plan's library calls (vectorOut, reference) as the report counts them;
  // 0 for a dwell or a pause.
  std::uint64_t callNumber = 0;
  std::array<std::int64_t, 3> fromSteps{};  // machine position before the entry, motor steps
  std::array<std::int64_t, 3> endSteps{};   // machine position after the entry, motor steps
  int aux = -1;               // auxiliary state selected after the call: -1 none, 0 (M5), 1 (M3/M4)
  std::int32_t spare = 0;     // fills the hole before the doubles: the record travels as bytes
  double seconds = 0.0;       // estimated duration (dwell: its time; pause: 0)
  double startSeconds = 0.0;  // estimated time of the job when the call begins
};

struct PlannedCall : PlanEntry {
  std::string text;  // pause: why; dwell: empty
};

// A move as the interpreter asks for it, before it becomes steps, in the frame LinuxCNC's canonical
// calls use (what rs274 prints): program coordinates of the system in force, program units.
struct CanonMove {
  enum class Kind { traverse, feed, arc };
  Kind kind = Kind::feed;
  int line = 0;
  std::array<double, 3> end{};
  // Arcs: the plane (17, 18, 19), its two axes' centre (G17 X Y, G18 Z X, G19 Y Z), direction.
  int plane = 17;
  std::array<double, 2> centre{};
  bool ccw = false;
};

// The interpreter's state carried from one program to the next (the control panel's MDI lines and
// jobs): where the table stands, its modal state, offsets, tool and auxiliary state.
struct CarriedState {
  std::array<std::int64_t, 3> steps{};  // machine position, motor steps from machine zero
  ModalState modes;
  std::array<std::array<double, 3>, 6> workOffsets{};  // G54..G59, machine mm
  std::array<double, 3> g92{};
  int activeWorkOffset = 0;  // 0: G54
  double toolLengthMm = 0.0;
  int tool = -1;        // the last T word
  int loadedTool = -1;  // the T of the last M6
  int aux = -1;         // -1 none selected, 0 (M5), 1 (M3/M4)
};

struct PlanOptions {
  Profile profile;
  int fromLine = 0;  // 0: from the start; N: resume at line N (needs the machine's reference)
  // --home: the reference run before the first line (Z, then X and Y); machine zero is where it
  // leaves the table. --from-line implies it.
  bool home = false;
  // 0: no limit (a long job is a long job; nothing is kept per call). The fuzz target bounds its
  // time with it.
  std::size_t maxCalls = 0;
  // O-word subroutine files: o<name> call runs name.ngc from this folder (empty: none).
  std::string subroutinesDir;
  // Blocks a streamed pass may run (loops and calls counted each time): past it, a runaway.
  std::uint64_t maxBlocks = 100000000;
  // Set: the program runs on from this state on a table whose machine zero is known (the panel,
  // homed), not from machine zero; no reference run. With fromLine, the approach to the line is
  // Z up to resumeSafeZMm (never down to it), X/Y over, Z down, instead of homing first.
  std::optional<CarriedState> start;
  double resumeSafeZMm = 0.0;
  // Sees every move as the interpreter asks for it (the LinuxCNC comparison test); may be empty.
  std::function<void(const CanonMove&)> onMove;
};

// Errors listed in a plan and its report; the rest are counted only.
inline constexpr std::size_t maxListedErrors = 100;

struct Plan {
  std::vector<PlannedCall> calls;  // PlanProgram only: the streaming planner keeps none
  std::vector<Message> errors;     // the first maxListedErrors refusals and breaches, line order
  std::size_t errorCount = 0;      // all of them
  std::vector<Message> notes;
  std::optional<std::string> program;  // the program number line's text ("O1001 (pocket)")
  int lines = 0;                       // lines of the text
  int moves = 0;                       // motion blocks that move (G0 G1 G2 G3 with axis words)
  int vectorOutCalls = 0;
  int referenceCalls = 0;
  int reapplications = 0;  // auxiliary state applied again after a move with Z motion
  int endLine = 0;         // line of the M2/M30 that ended the program, 0 none
  int skippedLines = 0;    // lines after it
  bool limitsOk = true;
  std::array<std::int64_t, 3> endSteps{};
  std::array<double, 3> endMm{};
  std::array<std::uint64_t, 3> stepsPerAxis{};  // steps each axis makes in all
  std::uint64_t callCount = 0;                  // entries of the plan (dwells and pauses too)
  // The offsets at the end, mm: G54..G59, G92 on top, the active system (0: G54), tool length.
  std::array<std::array<double, 3>, 6> workOffsets{};
  std::array<double, 3> g92Offset{};
  int activeWorkOffset = 0;
  double toolLengthMm = 0.0;
  int lastEntryLine = 0;             // source line of the last entry, 0 none
  double durationSeconds = 0.0;      // estimate, dwells included, pauses not
  std::uint64_t blocksExecuted = 0;  // lines run, loops and calls counted each time (streamed)
  CarriedState end;                  // the state the program leaves (its steps: the last entry's)
  std::optional<CarriedState> resumedFrom;  // fromLine: the state rebuilt before that line
  bool ok() const { return errorCount == 0; }
  // Listed while fewer than maxListedErrors; `code` names the kind of refusal (Message::code).
  void AddError(int line, std::string message, std::string code);
};

// Receives each planned entry as it is produced.
using CallSink = std::function<void(const PlannedCall&)>;

// The streaming planner: fed every line of a program in order, it checks each block, then runs
// it through the emitter, which hands each call to the sink as it is made. Memory does not grow
// with the program: only counters and the first errors are kept.
class StreamPlanner {
 public:
  StreamPlanner(const Machine& machine, const PlanOptions& options, CallSink sink = {});
  ~StreamPlanner();
  StreamPlanner(const StreamPlanner&) = delete;
  StreamPlanner& operator=(const StreamPlanner&) = delete;

  // One line as the reader saw it (ReadLine); lines after the program's end are only counted.
  void Line(LineKind kind, const Block& block, const std::string& error, int line);
  bool Ended() const;
  // The program's parameters, as the lines fed so far left them (O-word conditions and call
  // arguments are evaluated against them; calls push and pop their frames here).
  Parameters& Params();
  // The counters, errors and notes once every line has been fed (`lineCount` lines in all).
  Plan Finish(int lineCount);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Plans a program read in memory, keeping every call (small programs, tests). The calls are only
// to be made when ok(); openConn and initTimer before them and closeConn after them are the
// caller's.
Plan PlanProgram(const Program& program, const Machine& machine, const PlanOptions& options = {});

// Whole steps of a position in mm: half away from zero, then the axis's direction.
std::int64_t MmToSteps(double mm, const Axis& axis);
double StepsToMm(std::int64_t steps, const Axis& axis);
// Whether a position in mm has whole steps that 64-bit counts hold with room for a move (2^62).
bool StepsFit(double mm, const Axis& axis);

}  // namespace gcode
