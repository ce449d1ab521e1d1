// The bounded planned path: corners of the path in machine mm, points on the line from the last
// corner merged, a doubling stride past the cap. Calls the planner's step conversion only.
#include "path_trace.h"

#include <algorithm>
#include <cmath>

namespace gcode {
namespace {

// A point within this distance (mm) of the line from the corner to the new end is merged.
constexpr double mergeToleranceMm = 1e-3;

bool IsMark(Purpose purpose) {
  return purpose == Purpose::dwell || purpose == Purpose::pause || purpose == Purpose::toolChange;
}

// Distance of `p` from the segment a-b, mm.
double OffLine(const std::array<double, 3>& a, const std::array<double, 3>& b,
               const std::array<double, 3>& p) {
  std::array<double, 3> ab{}, ap{};
  double len2 = 0, dot = 0;
  for (int i = 0; i < 3; ++i) {
    ab[i] = b[i] - a[i];
    ap[i] = p[i] - a[i];
    len2 += ab[i] * ab[i];
    dot += ab[i] * ap[i];
  }
  const double t = len2 > 0 ? std::clamp(dot / len2, 0.0, 1.0) : 0.0;
  double d2 = 0;
  for (int i = 0; i < 3; ++i) d2 += (ap[i] - t * ab[i]) * (ap[i] - t * ab[i]);
  return std::sqrt(d2);
}

}  // namespace

PathTrace::PathTrace(const Machine& machine, std::size_t maxPoints)
    : machine_(machine), maxPoints_(std::max<std::size_t>(maxPoints, 16)) {
  TracePoint start;
  start.purpose = Purpose::rapid;
  points_.push_back(start);
}

void PathTrace::Keep(const TracePoint& point) {
  // Marks and changes of style are always kept; plain corners past the cap by the stride.
  const bool styleChange =
      points_.empty() || points_.back().purpose != point.purpose || points_.back().aux != point.aux;
  if (!IsMark(point.purpose) && !styleChange && (candidate_++ % stride_) != 0) return;
  points_.push_back(point);
  if (points_.size() < maxPoints_) return;
  // Halve: keep every other plain corner, all marks and style changes, the first and last.
  std::vector<TracePoint> kept;
  kept.reserve(points_.size() / 2 + 8);
  for (std::size_t i = 0; i < points_.size(); ++i) {
    const bool edge = i == 0 || i + 1 == points_.size();
    const bool change = i > 0 && (points_[i - 1].purpose != points_[i].purpose ||
                                  points_[i - 1].aux != points_[i].aux);
    if (edge || change || IsMark(points_[i].purpose) || i % 2 == 0) kept.push_back(points_[i]);
  }
  points_ = std::move(kept);
  stride_ *= 2;
}

void PathTrace::Add(const PlannedCall& call) {
  TracePoint point;
  point.entry = entries_++;
  point.endSeconds = call.startSeconds + call.seconds;
  endSeconds_ = std::max(endSeconds_, point.endSeconds);
  point.purpose = call.purpose;
  point.aux = static_cast<std::int8_t>(call.aux);
  point.line = call.line;
  for (int i = 0; i < 3; ++i) point.mm[i] = StepsToMm(call.endSteps[i], machine_.axes[i]);
  if (call.kind == CallKind::vectorOut || call.kind == CallKind::reference) {
    for (int i = 0; i < 3; ++i) {
      min_[i] = std::min(min_[i], point.mm[i]);
      max_[i] = std::max(max_[i], point.mm[i]);
    }
  }
  seen_[static_cast<std::size_t>(call.purpose)] = true;
  if (IsMark(call.purpose)) {
    if (haveTip_) Keep(tip_);
    haveTip_ = false;
    Keep(point);
    return;
  }
  if (call.kind != CallKind::vectorOut && call.kind != CallKind::reference) return;
  if (haveTip_) {
    const TracePoint& corner = points_.back();
    const bool sameStyle = tip_.purpose == point.purpose && tip_.aux == point.aux &&
                           corner.purpose == point.purpose && corner.aux == point.aux;
    if (!sameStyle || OffLine(corner.mm, point.mm, tip_.mm) > mergeToleranceMm) Keep(tip_);
  }
  tip_ = point;
  haveTip_ = true;
}

std::vector<TracePoint> PathTrace::Points() const {
  std::vector<TracePoint> all = points_;
  if (haveTip_) all.push_back(tip_);
  return all;
}

}  // namespace gcode
