// The bounded planned path: corners of the path in machine mm, points on the line from the last
// corner merged, a doubling stride past the cap. Calls the planner's step conversion only.
#include "report/path_trace.h"

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

// The style of the path changes from `a` to `b` (how the table moves, or the auxiliary state).
bool StyleChanges(const TracePoint& a, const TracePoint& b) {
  return a.purpose != b.purpose || a.aux != b.aux;
}

}  // namespace

PathTrace::PathTrace(const Machine& machine, std::size_t maxPoints,
                     const std::array<double, 3>& startMm)
    : machine_(machine),
      maxPoints_(std::max<std::size_t>(maxPoints, 16)),
      min_(startMm),
      max_(startMm) {
  TracePoint start;
  start.mm = startMm;
  start.purpose = Purpose::rapid;
  points_.push_back(start);
  lastMove_ = start;
}

bool PathTrace::Keep(const TracePoint& point) {
  const bool important = IsMark(point.purpose) || StyleChanges(lastMove_, point);
  if (!IsMark(point.purpose)) lastMove_ = point;
  const bool take =
      important ? (markCandidate_++ % markStride_) == 0 : (candidate_++ % stride_) == 0;
  if (!take) return false;
  points_.push_back(point);
  if (points_.size() >= maxPoints_) Halve();
  return true;
}

// Every other plain corner goes; marks and changes of style (from the move before, marks
// between them left out) stay unless they alone fill half the cap (a drilling program
// alternates rapid and cutting at every entry), then every other of them goes too. The first
// and the last point always stay; at least a quarter of the points go.
void PathTrace::Halve() {
  std::vector<bool> important(points_.size(), false);
  std::size_t importantCount = 0;
  const TracePoint* previousMove = &points_.front();
  for (std::size_t i = 1; i < points_.size(); ++i) {
    const bool mark = IsMark(points_[i].purpose);
    important[i] = mark || StyleChanges(*previousMove, points_[i]);
    if (!mark) previousMove = &points_[i];
    importantCount += important[i] ? 1 : 0;
  }
  const bool thinImportant = importantCount >= maxPoints_ / 2;
  std::vector<TracePoint> kept;
  kept.reserve(points_.size() / 2 + 8);
  kept.push_back(points_.front());
  std::size_t plainIndex = 0, importantIndex = 0;
  for (std::size_t i = 1; i < points_.size(); ++i) {
    const bool last = i + 1 == points_.size();
    const bool keep =
        important[i] ? (!thinImportant || importantIndex++ % 2 == 0) : plainIndex++ % 2 == 0;
    if (last || keep) kept.push_back(points_[i]);
  }
  points_ = std::move(kept);
  stride_ *= 2;
  if (thinImportant) markStride_ *= 2;
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
  if (static_cast<std::size_t>(call.purpose) < seen_.size())
    seen_[static_cast<std::size_t>(call.purpose)] = true;
  if (call.purpose == Purpose::cut) seenCut_[call.aux == 1 ? 1 : 0] = true;
  if (IsMark(call.purpose)) {
    if (haveTip_) Keep(tip_);
    haveTip_ = false;
    haveDroppedMark_ = !Keep(point);
    if (haveDroppedMark_) droppedMark_ = point;
    return;
  }
  // Only moves make the path; an auxiliary code leaves the table where it is (its state rides on
  // the moves after it).
  if (call.kind != CallKind::vectorOut && call.kind != CallKind::reference) return;
  if (call.purpose == Purpose::aux || call.purpose == Purpose::reapply) return;
  haveDroppedMark_ = false;
  if (haveTip_) {
    const TracePoint& corner = points_.back();
    // The tip may go when it and the new end are drawn alike and it lies on the line from the
    // corner (the corner's own style belongs to the segment before it).
    if (StyleChanges(tip_, point) || OffLine(corner.mm, point.mm, tip_.mm) > mergeToleranceMm)
      Keep(tip_);
  }
  tip_ = point;
  haveTip_ = true;
}

std::vector<TracePoint> PathTrace::Points() const {
  std::vector<TracePoint> all = points_;
  if (haveTip_) all.push_back(tip_);
  if (haveDroppedMark_) all.push_back(droppedMark_);
  return all;
}

}  // namespace gcode
