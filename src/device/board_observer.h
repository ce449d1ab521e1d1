// The driver board as seen from its inputs (the device layer's observer of the latch writes):
// decodes the parallel port's data and control writes into latch loads, motor phases, positions
// and the auxiliary state, and reports each change and fault to a TableEvents sink. Used by the
// simulated table (sim/) and by the watcher of a real port (device/observed_hardware.h).
// Freestanding (the kernel-mode driver builds it with the table model); calls only the names of
// status/names.h.
#pragma once

#include <cstdint>

#include "contract/steplink_contract.h"

namespace sim {

enum Axis : std::uint8_t { axisX = 0, axisY = 1, axisZ = 2 };
constexpr int axisCount = 3;

// noSwitch is no fault of the board's input: a reference run's creep that gave up without the
// limit input engaging, so the axis's zero is not its switch.
enum class FaultKind : std::uint8_t {
  lostStep = 0,
  settle = 1,
  protocol = 2,
  pattern = 3,
  noSwitch = 4
};
constexpr int faultKindCount = 5;

// The status block's number of a fault kind (STEPLINK_FAULT_*).
constexpr unsigned StatusFaultKind(FaultKind kind) {
  return STEPLINK_FAULT_LOST_STEP + static_cast<unsigned>(kind);
}
static_assert(StatusFaultKind(FaultKind::pattern) == STEPLINK_FAULT_PATTERN);
static_assert(StatusFaultKind(FaultKind::noSwitch) == STEPLINK_FAULT_NO_SWITCH);
// "lost-step", "settle", "protocol", "pattern", "no-switch": the names in records and summaries.
const char* FaultKindName(FaultKind kind);

// The parallel port's registers as the library addresses them (0x3BC base).
constexpr std::uint16_t dataPort = STEPLINK_PORT_DATA;
constexpr std::uint16_t statusPort = STEPLINK_PORT_STATUS;
constexpr std::uint16_t controlPort = STEPLINK_PORT_CONTROL;

// Status register: bit 7 is the limit input (clear = engaged); bits 6..0 always read 1.
constexpr std::uint8_t limitReleasedBit = 0x80;

// Data lines must be stable this long before the strobe clocks them into a latch.
constexpr std::uint64_t settleTicks = 119;

// One-step creep moves of a reference run without the limit input engaging, after which the run
// backs off wherever the creep stands.
inline constexpr int creepStepsWithoutSwitch = STEPLINK_REFERENCE_CREEP_LIMIT;

// Drive patterns (low 6 bits of a latch byte) by phase, and the Z latch's two auxiliary patterns.
constexpr std::uint8_t stepPatterns[8] = {39, 45, 28, 13, 3, 9, 56, 41};
constexpr std::uint8_t holdPatterns[8] = {55, 54, 30, 22, 19, 18, 58, 50};
constexpr std::uint8_t auxState0Pattern = 0x1B;  // Z latch byte 0x9B
constexpr std::uint8_t auxState1Pattern = 0x07;  // Z latch byte 0x87

// AuxState() and TableEvents::OnAux when the Z latch holds no auxiliary byte.
constexpr int noAuxState = -1;

// Receives every state change as it happens. Default bodies do nothing; a recorder overrides.
class TableEvents {
 public:
  virtual void OnStep(std::uint64_t tick, Axis axis, int direction, std::int32_t position);
  // state 0 or 1, or noAuxState once another byte replaced the auxiliary byte in the Z latch.
  virtual void OnAux(std::uint64_t tick, int state);
  virtual void OnFault(std::uint64_t tick, FaultKind kind, std::uint16_t port, std::uint8_t value);

 protected:
  ~TableEvents() = default;
};

// The driver board as seen from its inputs: decodes the parallel port's data and control writes
// into latch loads, motor phases, positions and the auxiliary state, and flags what the board
// would not take (faults). Passive: it never answers a read, so it serves both the simulated
// table and a real port whose output it watches. Times are in ticks of the caller's clock.
class BoardObserver {
 public:
  // checkSettle: judge the data-to-strobe time (the simulated table, whose clock is the one the
  // library waits on). A watcher of a real port reads another clock than the board's timer, so it
  // leaves the settle time to the hardware.
  explicit BoardObserver(TableEvents* events, bool checkSettle = true)
      : events_(events), checkSettle_(checkSettle) {}

  void WriteData(std::uint64_t tick, std::uint8_t value);
  void WriteControl(std::uint64_t tick, std::uint8_t value);
  // A read of the status register (bit 7 the limit input). A reference run creeps one step down,
  // then reads, again and again; when creepStepsWithoutSwitch such reads in a row find the input
  // released, the creep gave up without the switch: one noSwitch fault for that creep.
  void ReadStatus(std::uint64_t tick, std::uint8_t value);
  // Counts a fault (also for faults of the caller's own, such as the timer's) and reports it.
  void Fault(std::uint64_t tick, FaultKind kind, std::uint16_t port, std::uint8_t value);

  std::uint8_t Data() const { return data_; }
  std::uint8_t Control() const { return control_; }
  std::int32_t Position(Axis axis) const { return position_[axis]; }
  std::uint8_t Phase(Axis axis) const { return phase_[axis]; }
  // 0 or 1 while the Z latch holds an auxiliary byte, noAuxState otherwise.
  int AuxState() const { return auxState_; }
  std::uint64_t TotalSteps() const { return totalSteps_; }
  std::uint32_t Faults(FaultKind kind) const { return faults_[static_cast<int>(kind)]; }
  std::uint32_t FaultCount() const;
  std::uint8_t Latch(Axis axis) const { return latch_[axis]; }
  // The axis of the last step: the one a creep moved.
  Axis LastStepAxis() const { return lastStepAxis_; }

 private:
  void ClockLatch(std::uint64_t tick);
  void LoadLatch(std::uint64_t tick, Axis axis, std::uint8_t value);

  TableEvents* events_;
  bool checkSettle_;
  std::uint8_t data_ = 0;
  std::uint64_t dataWrittenTick_ = 0;
  bool dataWritten_ = false;
  std::uint8_t control_ = 0;
  std::uint8_t latch_[axisCount] = {};
  std::uint8_t phase_[axisCount] = {};
  std::int32_t position_[axisCount] = {};
  int auxState_ = noAuxState;
  std::uint64_t totalSteps_ = 0;
  std::uint32_t faults_[faultKindCount] = {};
  int stepsSinceRead_ = 0;  // steps down since the last status read (2: more, or one step up)
  int creepReads_ = 0;      // status reads in a row that found the input released, each after
                            // exactly one step down
  Axis lastStepAxis_ = axisX;
};

}  // namespace sim
