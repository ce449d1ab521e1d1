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
  // Not a record at all (a device, a directory, binary data, no header, a huge line): why, and
  // what was expected. The events read before the refusal are kept.
  std::string refused;
  bool headerSeen = false;
  // Zero bytes at the end: the writer's reserved space, left when its process was killed.
  std::uint64_t zeroTailBytes = 0;

  // Steps read, kept or not (a long job's end needs the counts only, not every event); with
  // keepSteps false, `steps` stays empty and these carry the end.
  bool keepSteps = true;
  std::uint64_t stepCount = 0;
  std::uint64_t lastStepTick = 0;
  std::array<std::int32_t, 3> lastPositions{};

  std::map<std::string, int> FaultsByKind() const;
  std::uint64_t StepCount() const { return keepSteps ? steps.size() : stepCount; }
  std::uint64_t LastTick() const;
  // Positions after the last step of each axis (0 for an axis that never moved).
  std::array<std::int32_t, 3> FinalPositions() const;
};

// Longest line a record has (its lines are under 64 bytes); a longer one is no record.
inline constexpr std::size_t maxRecordLineBytes = 256;
// Unreadable lines after which the input is taken for something else.
inline constexpr std::size_t maxRecordBadLines = 20;

// Parses record text; memory stays bounded by the events, not by the input's shape.
Record ParseRecord(std::string_view text);
// Reads an open descriptor to its end in bounded pieces; `keepSteps` false keeps the steps'
// counts and the end only (memory that does not grow with the job).
Record ReadRecordFd(int fd, const std::string& name, bool keepSteps = true);
// Reads a record file; anything but a regular file is refused, as is a file that cannot be read.
Record ReadRecordFile(const std::string& path, bool keepSteps = true);

}  // namespace tool
