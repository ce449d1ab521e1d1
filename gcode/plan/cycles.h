// The drilling cycles (G73 G81 G82 G83 G85 G89) as LinuxCNC's interpreter expands them: the
// sticky R, Z, P and Q a cycle keeps from line to line, the check of one cycle line, and its
// expansion into rapid, feed and dwell moves in program coordinates (mm, the current coordinate
// system). Written for G17 (X, Y over the hole, Z along it); G18 and G19 hand in their axes
// permuted (the plane's two axes, then the one along it). Plain computation; calls nothing below.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "read/codes.h"
#include "read/program.h"

namespace gcode {

// Z a G73 backs off between pecks, and a G83's rapid down stops above the last depth (LinuxCNC's
// 0.010 inch, in mm whatever the program's units).
inline constexpr double peckClearanceMm = 0.254;
// Most moves one cycle line may expand into (L repeats times the pecks of a hole).
inline constexpr double maxCycleMoves = 1'000'000;

// The words of a cycle as written on its lines, in mm: G91 values stay increments. Kept from
// line to line while the cycle is in force; G80 or another motion code drops them.
struct CycleSticky {
  std::optional<Code> code;  // the cycle they were given for
  std::optional<double> r, z, p, q;
};

// One line that runs a cycle: its own words (mm; P in seconds) and the modes in force.
struct CycleLine {
  Code code = Code::G81;
  std::optional<double> x, y, z, r, p, q;
  int repeats = 1;          // L (1 when absent)
  bool relative = false;    // G91
  bool retractToR = false;  // G99 (G98: to the Z the cycle began at, if above R)
  char drillAxis = 'Z';     // the axis along the hole, for messages (G18: Y, G19: X)
  // G91 polar words (G17): each repeat turns the position about the XY origin by this angle
  // and moves it out by this radius, after LinuxCNC.
  double radiusStepMm = 0.0, angleStepRad = 0.0;
  // G98's level: program Z where the first line of this run of cycles began (kept from cycle to
  // cycle until G80 or another motion code), as LinuxCNC keeps it.
  double startZ = 0.0;
};

struct CycleMove {
  enum class Kind { rapid, feed, dwell };
  Kind kind = Kind::rapid;
  std::array<double, 3> to{};  // program coordinates, mm (dwell: where it stands)
  double seconds = 0.0;        // dwell
};

// Whether a code is one of the drilling cycles.
bool IsCycle(Code code);

// The refusal of a block's P, Q and L words where nothing takes them, of G64's negative ones and
// of a cycle line the cycles cannot run (no axis word, with G4/G28/G92); or empty. `motion` is
// the motion mode the block runs in.
std::string CycleWordsRefusal(const Block& block, std::optional<Code> motion);

// The modes a cycle line runs in, after its own codes.
struct CycleModes {
  Code code = Code::G81;
  bool inches = false;
  bool relative = false;
  bool retractToR = false;
  double startZ = 0.0;  // see CycleLine
  // The plane's axes then the one along the hole: G17 {X, Y, Z}, G18 {Z, X, Y}, G19 {Y, Z, X}.
  std::array<int, 3> axes{0, 1, 2};
  std::array<double, 2> atXy{};  // program X, Y mm where the tool stands (G90 polar words)
};
// The axes of a plane (G17, G18, G19) as CycleModes keeps them.
std::array<int, 3> CycleAxes(Code plane);
// Program coordinates permuted to a cycle's axes (the plane's two, then the one along the hole),
// and back.
std::array<double, 3> ToCycle(const std::array<double, 3>& program, const std::array<int, 3>& axes);
std::array<double, 3> FromCycle(const std::array<double, 3>& cycle, const std::array<int, 3>& axes);
// A block's words as the cycle line they run (lengths in mm, permuted to the plane's axes).
// Polar words (G17 only, checked before) give X and Y as LinuxCNC's cycles take them: in G90
// about the XY origin, one alone keeping the other from `atXy`; in G91 turned and moved out at
// every repeat.
CycleLine MakeCycleLine(const Block& block, const CycleModes& modes);

// Merges the line's words into the sticky ones and checks the result; the refusal, or empty.
// `sticky` is updated only when the line is accepted. `levelsKnown` false: where the tool stands
// along the hole is not known (a refused line before), so G91 levels are not checked.
std::string CheckCycle(const CycleLine& line, CycleSticky& sticky,
                       const std::array<double, 3>& from, bool levelsKnown = true);

// The moves of an accepted line from `from` (program coordinates, mm), in order, each handed
// to `out`; none is kept. Returns where the cycle leaves the tool.
std::array<double, 3> ExpandCycle(const CycleLine& line, const CycleSticky& sticky,
                                  const std::array<double, 3>& from,
                                  const std::function<void(const CycleMove&)>& out);

}  // namespace gcode
