// Arc geometry: the R arc's centre left of the chord for a short counter-clockwise arc (or a
// long clockwise one), LinuxCNC's end-point rule, the sweep and the chord count. The arc runs
// to the programmed end with its radius changing along the way (the emitter interpolates r1 to
// r2), as LinuxCNC's does.
#include "plan/arc.h"

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

bool ArcRequestOf(const ArcWords& words, Code plane, double mmPerUnit, bool centreAbsolute,
                  const std::array<double, 3>& programZeroMm, ArcRequest& request,
                  ArcRefusal& refusal) {
  const int number = plane == Code::G18 ? 18 : plane == Code::G19 ? 19 : 17;
  request.a = number == 17 ? 0 : number == 18 ? 2 : 1;
  request.b = number == 17 ? 1 : number == 18 ? 0 : 2;
  request.l = number == 17 ? 2 : number == 18 ? 1 : 0;
  const int a = request.a, b = request.b;
  const std::optional<double> offsets[3] = {words.i, words.j, words.k};
  if (offsets[request.l]) {
    return Refuse(refusal, "arc-words",
                  std::string("the word '") + "IJK"[request.l] + "' is not used by arcs in the G" +
                      std::to_string(number) + " plane");
  }
  if (words.r) {
    if (offsets[a] || offsets[b])
      return Refuse(refusal, "arc-words", "an arc takes either R or I/J/K, not both");
    request.radiusMm = *words.r * mmPerUnit;
    return true;
  }
  if (!offsets[a] && !offsets[b])
    return Refuse(refusal, "arc-words", "an arc needs its centre (I/J/K) or its radius (R)");
  const double oa = offsets[a].value_or(0.0) * mmPerUnit;
  const double ob = offsets[b].value_or(0.0) * mmPerUnit;
  request.centre = {(centreAbsolute ? programZeroMm[a] : request.from[a]) + oa,
                    (centreAbsolute ? programZeroMm[b] : request.from[b]) + ob};
  return true;
}

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

bool PolarPoint(const std::array<double, 2>& at, bool atKnown, const PolarWords& words,
                std::array<double, 2>& xy, std::string& refusal) {
  const bool atOrigin = atKnown && at[0] == 0.0 && at[1] == 0.0;
  double radius = std::hypot(at[0], at[1]);
  double angle = std::atan2(at[1], at[0]);
  const double toRad = std::numbers::pi / 180.0;
  if (words.relative) {
    if (atOrigin) {
      refusal = "polar coordinates in G91 are indeterminate at the XY origin";
      return false;
    }
    if (words.radiusMm) radius += *words.radiusMm;
    if (words.angleDeg) angle += *words.angleDeg * toRad;
  } else {
    if (words.radiusMm && !words.angleDeg && atOrigin) {
      refusal = "@ without ^ at the XY origin: the angle is not known";
      return false;
    }
    if (words.radiusMm) radius = *words.radiusMm;
    if (words.angleDeg) angle = *words.angleDeg * toRad;
  }
  xy = {radius * std::cos(angle), radius * std::sin(angle)};
  return true;
}

}  // namespace gcode
