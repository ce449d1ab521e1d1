// Plane geometry after LinuxCNC's interpreter: an arc's R centre, its end-point rule (the radius
// at the end against the radius at the start) and the chords that follow the arc within the
// machine's chord tolerance; polar coordinates. Plain computation; calls nothing below it.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "plan/emitter.h"
#include "read/codes.h"

namespace gcode {

// LinuxCNC's end-point rule: an I/J/K arc is refused when its radius at the end differs from the
// one at the start by more than 100 x T, or by more than T and more than 0.1 % of the radius;
// T is 0.02828 mm under G21 and 0.002828 in under G20.
inline constexpr double centreToleranceMm = 0.02828;
inline constexpr double centreToleranceInch = 0.002828;
inline constexpr double centreRelativeTolerance = 0.001;
// How far an R arc's end may lie beyond its diameter (LinuxCNC's 0.005 mm, 0.0005 in).
inline constexpr double radiusToleranceMm = 0.005;
inline constexpr double radiusToleranceInch = 0.0005;

struct ArcRequest {
  int a = 0, b = 1, l = 2;             // the plane's axes, and the one along it
  std::array<double, 3> from{}, to{};  // machine mm
  bool ccw = false;                    // G3
  bool inches = false;                 // G20: the tolerances are LinuxCNC's inch ones
  std::optional<double> radiusMm;      // R, signed (negative: the long way round)
  std::array<double, 2> centre{};      // machine mm on a and b, when R is not given
  double chordToleranceMm = 0.01;      // the machine file's arc_tolerance_mm
};

struct ArcRefusal {
  std::string code, message;
};

// A G2/G3 line's I, J, K and R, program units.
struct ArcWords {
  std::optional<double> i, j, k, r;
};

// Fills the request's plane axes, and its R or centre from the words (`from` set: relative
// centres are from it; absolute ones (G90.1) from `programZeroMm`, where program zero is in
// machine mm); false with the refusal of words the arc cannot take.
bool ArcRequestOf(const ArcWords& words, Code plane, double mmPerUnit, bool centreAbsolute,
                  const std::array<double, 3>& programZeroMm, ArcRequest& request,
                  ArcRefusal& refusal);

// The arc as chords; false with the refusal. `checkEnd` false: the start is not known (a refused
// line before it), so the end-point rule is not applied.
bool MakeArc(const ArcRequest& request, bool checkEnd, ArcPath& arc, ArcRefusal& refusal);

// Polar words (@ the radius, ^ the angle in degrees; lengths in mm) of one line.
struct PolarWords {
  std::optional<double> radiusMm, angleDeg;
  bool relative = false;  // G91
};

// The XY end of a polar move, program mm, from the program position `at` (LinuxCNC's rules:
// about the program's XY origin; G91 adds @ to the radius and ^ to the angle of `at`); false
// with the refusal where it is indeterminate. `atKnown` false: a refused line before left `at`
// unknown, so the origin rules are not applied.
bool PolarPoint(const std::array<double, 2>& at, bool atKnown, const PolarWords& words,
                std::array<double, 2>& xy, std::string& refusal);

}  // namespace gcode
