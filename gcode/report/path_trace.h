// The planned path of a G-code job in machine mm, kept bounded whatever the program's length:
// fed every planned entry in order (pass 1's sink), it keeps the corners of the path, merging
// points that lie on the line from the last corner and thinning by a doubling stride past its
// cap (marks and changes of style are thinned too, last, when they alone would fill it). The plot
// and the live view draw from it. Calls the planner's types only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "machine.h"
#include "plan/planner.h"

namespace gcode {

struct TracePoint {
  std::array<double, 3> mm{};      // machine mm after the entry
  double endSeconds = 0.0;         // planned job time when the entry ends
  Purpose purpose = Purpose::cut;  // how the table got here (dwell/pause/toolChange: a mark)
  std::int8_t aux = -1;            // auxiliary state selected after the entry
  int line = 0;                    // source line
  std::uint64_t entry = 0;         // index of the planned entry, 0-based (PlanEntriesDone's count)
};

class PathTrace {
 public:
  // Corners kept at most (marks for dwells and pauses count too).
  static constexpr std::size_t defaultMaxPoints = 6000;
  // `startMm`: where the table stands before the first entry (machine zero for a job of its own).
  explicit PathTrace(const Machine& machine, std::size_t maxPoints = defaultMaxPoints,
                     const std::array<double, 3>& startMm = {});

  void Add(const PlannedCall& call);  // every planned entry, in plan order
  // The path from the start position on; the last point is always the last end.
  // Never more than maxPoints + 2 points, whatever the number of entries.
  std::vector<TracePoint> Points() const;
  std::size_t MaxPoints() const { return maxPoints_; }
  std::array<double, 3> Min() const {
    return min_;
  }  // extent of every end, mm (the start included)
  std::array<double, 3> Max() const { return max_; }
  std::uint64_t Entries() const { return entries_; }
  double EndSeconds() const { return endSeconds_; }
  // Whether any entry had this purpose (cutting: with the auxiliary output on, or not on).
  bool Has(Purpose purpose) const {
    return static_cast<std::size_t>(purpose) < seen_.size() &&
           seen_[static_cast<std::size_t>(purpose)];
  }
  bool HasCut(bool auxOn) const { return seenCut_[auxOn ? 1 : 0]; }

 private:
  bool Keep(const TracePoint& point);  // true when kept
  void Halve();

  const Machine& machine_;
  std::size_t maxPoints_;
  std::vector<TracePoint> points_;  // committed corners
  bool haveTip_ = false;
  TracePoint tip_;       // the latest end, not yet known to be a corner
  TracePoint lastMove_;  // the latest move kept or offered (changes of style are counted from it)
  bool haveDroppedMark_ = false;
  TracePoint droppedMark_;  // the latest entry, a mark the stride left out
  // Plain corners and (once they alone filled half the cap) marks and changes of style are kept
  // one in `stride`, the stride doubling at each halving.
  std::uint64_t stride_ = 1, candidate_ = 0;
  std::uint64_t markStride_ = 1, markCandidate_ = 0;
  std::array<double, 3> min_{}, max_{};
  std::uint64_t entries_ = 0;
  double endSeconds_ = 0.0;
  std::array<bool, 32> seen_{};  // by Purpose, room for purposes added later
  std::array<bool, 2> seenCut_{};
};

}  // namespace gcode
