// The planned path of a G-code job in machine mm, kept bounded whatever the program's length:
// fed every planned entry in order (pass 1's sink), it keeps the corners of the path, merging
// points that lie on the line from the last corner and thinning by a doubling stride past its
// cap. The plot and the live view draw from it. Calls the planner's types only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "machine.h"
#include "planner.h"

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
  explicit PathTrace(const Machine& machine, std::size_t maxPoints = defaultMaxPoints);

  void Add(const PlannedCall& call);  // every planned entry, in plan order
  // The path from the start position (machine zero) on; the last point is always the last end.
  std::vector<TracePoint> Points() const;
  std::array<double, 3> Min() const { return min_; }  // extent of every end, mm (0 included)
  std::array<double, 3> Max() const { return max_; }
  std::uint64_t Entries() const { return entries_; }
  double EndSeconds() const { return endSeconds_; }
  bool Has(Purpose purpose) const { return seen_[static_cast<std::size_t>(purpose)]; }

 private:
  void Keep(const TracePoint& point);

  const Machine& machine_;
  std::size_t maxPoints_;
  std::vector<TracePoint> points_;  // committed corners
  bool haveTip_ = false;
  TracePoint tip_;  // the latest end, not yet known to be a corner
  std::uint64_t stride_ = 1, candidate_ = 0;
  std::array<double, 3> min_{}, max_{};
  std::uint64_t entries_ = 0;
  double endSeconds_ = 0.0;
  std::array<bool, 10> seen_{};
};

}  // namespace gcode
