// Arc geometry: the R arc's centre left of the chord for a short counter-clockwise arc (or a
// long clockwise one), LinuxCNC's end-point rule, the sweep and the chord count. The arc runs
// to the programmed end with its radius changing along the way (the emitter interpolates r1 to
// r2), as LinuxCNC's does.
#include "arc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace gcode {
namespace {

constexpr double samePointMm = 1e-6;
constexpr double inchMm = 25.4;

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

bool Refuse(ArcRefusal& refusal, const char* code, std::string message) {
  refusal = {code, std::move(message)};
  return false;
}

}  // namespace

bool MakeArc(const ArcRequest& request, bool checkEnd, ArcPath& arc, ArcRefusal& refusal) {
  const int a = request.a, b = request.b;
  const double sa = request.from[a], sb = request.from[b];
  const double ea = request.to[a], eb = request.to[b];
  const double chord = std::hypot(ea - sa, eb - sb);
  double ca = request.centre[0], cb = request.centre[1];
  if (request.radiusMm) {
    const double radius = *request.radiusMm;
    if (chord < samePointMm) {
      return Refuse(refusal, "arc-r-full-circle",
                    "an R arc needs an end point away from its start (a full circle takes I/J/K)");
    }
    const double r = std::fabs(radius);
    const double tolerance = request.inches ? radiusToleranceInch * inchMm : radiusToleranceMm;
    if (checkEnd && chord / 2 - r > tolerance) {
      return Refuse(refusal, "arc-r-too-small",
                    Format("R %.4f mm is too small for an end point %.4f mm away", r, chord));
    }
    const double h = std::sqrt(std::max(0.0, r * r - chord * chord / 4));
    const double ma = (sa + ea) / 2, mb = (sb + eb) / 2;
    const double side = (request.ccw == (radius > 0)) ? 1.0 : -1.0;
    ca = ma - side * h * (eb - sb) / std::max(chord, samePointMm);
    cb = mb + side * h * (ea - sa) / std::max(chord, samePointMm);
  }
  const double r1 = std::hypot(sa - ca, sb - cb);
  const double r2 = std::hypot(ea - ca, eb - cb);
  if (checkEnd && r1 < samePointMm)
    return Refuse(refusal, "arc-centre-at-start", "the arc's centre is its start point");
  const double apart = std::fabs(r2 - r1);
  const double tolerance = request.inches ? centreToleranceInch * inchMm : centreToleranceMm;
  if (checkEnd && !request.radiusMm &&
      (apart > 100 * tolerance || (apart > tolerance && apart > centreRelativeTolerance * r1))) {
    return Refuse(refusal, "arc-end-off-circle",
                  Format("the end point is not on the arc: radius %.4f mm at the start, %.4f mm "
                         "at the end (%.4f mm apart: more than LinuxCNC's arc end-point rule "
                         "allows)",
                         r1, r2, apart));
  }
  const double start = std::atan2(sb - cb, sa - ca);
  double sweep = std::atan2(eb - cb, ea - ca) - start;
  if (chord < samePointMm) {
    sweep = request.ccw ? 2 * std::numbers::pi : -2 * std::numbers::pi;
  } else if (request.ccw && sweep <= 0) {
    sweep += 2 * std::numbers::pi;
  } else if (!request.ccw && sweep >= 0) {
    sweep -= 2 * std::numbers::pi;
  }
  const double chordTolerance = request.chordToleranceMm;
  const double rMax = std::max(r1, r2);
  double maxAngle = std::numbers::pi / 2;
  if (chordTolerance < rMax)
    maxAngle = std::min(maxAngle, 2 * std::acos(1 - chordTolerance / rMax));
  const double chords = std::max(1.0, std::ceil(std::fabs(sweep) / maxAngle));
  if (!(chords <= 1'000'000))
    return Refuse(refusal, "arc-too-many-chords", "the arc needs more than a million chords");
  arc = {a,
         b,
         request.l,
         ca,
         cb,
         start,
         sweep,
         r1,
         r2,
         static_cast<std::int64_t>(chords),
         request.from,
         request.to};
  return true;
}

}  // namespace gcode
