// Arc geometry after LinuxCNC's interpreter: the centre of an R arc, its end-point rule (the
// radius at the end against the radius at the start) and the chords that follow the arc within
// the machine's chord tolerance. Plain computation on machine mm; calls nothing below it.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "emitter.h"

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

// The arc as chords; false with the refusal. `checkEnd` false: the start is not known (a refused
// line before it), so the end-point rule is not applied.
bool MakeArc(const ArcRequest& request, bool checkEnd, ArcPath& arc, ArcRefusal& refusal);

}  // namespace gcode
