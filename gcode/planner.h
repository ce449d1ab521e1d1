// The G-code interpreter and planner: runs the blocks through the modal state (units, distance
// modes, plane, work offset, motion mode, auxiliary state) and turns them into the library's
// calls in motor steps, checked against the soft limits before anything moves. Calls the reader
// (program.h), the machine description and the duration model.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"
#include "profile.h"
#include "program.h"

namespace gcode {

enum class CallKind { vectorOut, reference, dwell, pause };

// What a call is for: the plot draws rapid and cutting moves apart.
enum class Purpose { rapid, cut, aux, reapply, reference, resume, dwell, pause };

struct PlannedCall {
  CallKind kind = CallKind::vectorOut;
  Purpose purpose = Purpose::cut;
  std::array<std::int32_t, 3> args{};      // x, y, z of vectorOut / reference
  int line = 0;                            // source line
  std::array<std::int64_t, 3> endSteps{};  // machine position after the call, motor steps
  int aux = -1;               // auxiliary state selected after the call: -1 none, 0 (M5), 1 (M3/M4)
  double seconds = 0.0;       // estimated duration (dwell: its time; pause: 0)
  double startSeconds = 0.0;  // estimated time of the job when the call begins
  std::string text;           // pause: why; dwell: empty
};

struct PlanOptions {
  Profile profile;
  int fromLine = 0;  // 0: from the start; N: resume at line N (needs the machine's reference)
  std::size_t maxCalls = 20'000'000;  // refuse a program that would need more
};

struct Plan {
  std::vector<PlannedCall> calls;
  std::vector<Message> errors;  // refusals and soft-limit breaches, in line order
  std::vector<Message> notes;
  int lines = 0;  // lines of the text
  int moves = 0;  // motion blocks that move (G0 G1 G2 G3 with axis words)
  int vectorOutCalls = 0;
  int referenceCalls = 0;
  int reapplications = 0;  // auxiliary state applied again after a move with Z motion
  int endLine = 0;         // line of the M2/M30 that ended the program, 0 none
  int skippedLines = 0;    // lines after it
  bool limitsOk = true;
  std::array<std::int64_t, 3> endSteps{};
  std::array<double, 3> endMm{};
  std::array<std::uint64_t, 3> stepsPerAxis{};  // steps each axis makes in all
  double durationSeconds = 0.0;                 // estimate, dwells included, pauses not
  bool ok() const { return errors.empty(); }
};

// Plans the whole program; every refusal is collected. The calls are only to be made when
// ok(); openConn and initTimer before them and closeConn after them are the caller's.
Plan PlanProgram(const Program& program, const Machine& machine, const PlanOptions& options = {});

// Whole steps of a position in mm: half away from zero, then the axis's direction.
std::int64_t MmToSteps(double mm, const Axis& axis);
double StepsToMm(std::int64_t steps, const Axis& axis);

}  // namespace gcode
