// Reader of the simulated table's record file ("step", "aux" and "fault" lines with their tick)
// and what the runner's summary and plots take from it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "contract/steplink_contract.h"

namespace tool {

inline constexpr double secondsPerTick = STEPLINK_TICK_SECONDS;

struct StepEvent {
  std::uint64_t tick;
  int axis;       // 0 x, 1 y, 2 z
  int direction;  // +1 or -1
  std::int32_t position;
};

// "aux TICK none": the Z latch no longer holds an auxiliary byte.
inline constexpr int noAuxState = -1;

struct AuxEvent {
  std::uint64_t tick;
  int state;  // 0, 1 or noAuxState
};

// "0", "1" or "none", as the record spells an auxiliary state.
const char* AuxStateName(int state);

struct FaultEvent {
  std::uint64_t tick;
  std::string kind;  // lost-step, settle, protocol, pattern
  unsigned port;
  unsigned value;
};

struct Record {
  std::vector<StepEvent> steps;
  std::vector<AuxEvent> aux;
  std::vector<FaultEvent> faults;
  std::vector<std::string> errors;  // lines that could not be read, with their number

  std::map<std::string, int> FaultsByKind() const;
  std::uint64_t LastTick() const;
  // Positions after the last step of each axis (0 for an axis that never moved).
  std::array<std::int32_t, 3> FinalPositions() const;
};

Record ParseRecord(std::string_view text);
// Reads and parses a record file; a file that cannot be read gives one error.
Record ReadRecordFile(const std::string& path);

}  // namespace tool
