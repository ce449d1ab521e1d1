// MDI for the panel: one line of G-code planned whole from the session's carried state (position,
// units, distance mode, plane, offsets, tool) before anything moves, its calls held for the feed,
// and the history of the lines sent. Plain data and the planner; no I/O. Calls the G-code library.
#pragma once

#include <cstddef>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>

#include "machine.h"
#include "plan/planner.h"

namespace panel {

// Longest MDI line accepted, in bytes.
inline constexpr std::size_t maxMdiLineBytes = 256;
// Calls one MDI line may make at most (a full circle of fine chords stays well below).
inline constexpr std::size_t maxMdiCalls = 20000;
// Lines kept in the history the page shows.
inline constexpr std::size_t mdiHistoryLines = 50;

struct MdiPlan {
  bool ok = false;
  std::string message;  // refused: "why"; accepted: what it does
  std::deque<gcode::PlannedCall> calls;
  gcode::CarriedState end;  // the state after the line (steps: where its calls leave the table)
};

// Plans `line` from `state`.
MdiPlan PlanMdiLine(const std::string& line, const gcode::Machine& machine,
                    const gcode::Profile& profile, const gcode::CarriedState& state);

class MdiHistory {
 public:
  void Add(const std::string& line, bool ok, const std::string& message);
  nlohmann::json Json() const;

 private:
  struct Entry {
    std::string line;
    bool ok;
    std::string message;
  };
  std::deque<Entry> entries_;
};

}  // namespace panel
