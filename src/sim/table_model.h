// The simulated table's hardware: counter 0 of an 8254, the parallel port with the three-latch
// driver board, three stepper motors and the shared limit input, on a tick clock (8.38e-7 s).
// Freestanding: no heap, exceptions, containers, streams or libc, so a kernel-mode driver can
// build it unchanged; the host supplies the realtime source and the event sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "contract/steplink_contract.h"

namespace sim {

enum class ClockKind : std::uint8_t { realtime, virtualTicks };

enum Axis : std::uint8_t { axisX = 0, axisY = 1, axisZ = 2 };
constexpr int axisCount = 3;

enum class FaultKind : std::uint8_t { lostStep = 0, settle = 1, protocol = 2, pattern = 3 };
constexpr int faultKindCount = 4;

// The status block's number of a fault kind (STEPLINK_FAULT_*).
constexpr unsigned StatusFaultKind(FaultKind kind) {
  return STEPLINK_FAULT_LOST_STEP + static_cast<unsigned>(kind);
}
static_assert(StatusFaultKind(FaultKind::pattern) == STEPLINK_FAULT_PATTERN);
// "lost-step", "settle", "protocol", "pattern": the names used in records and summaries.
const char* FaultKindName(FaultKind kind);

// Hardware ports the board and the timer answer on.
constexpr std::uint16_t counter0Port = STEPLINK_PORT_TIMER_COUNT;
constexpr std::uint16_t timerCommandPort = STEPLINK_PORT_TIMER_COMMAND;
constexpr std::uint16_t dataPort = STEPLINK_PORT_DATA;
constexpr std::uint16_t statusPort = STEPLINK_PORT_STATUS;
constexpr std::uint16_t controlPort = STEPLINK_PORT_CONTROL;

// Timer commands understood on the command port.
constexpr std::uint8_t readBackStatusCommand = STEPLINK_TIMER_READ_STATUS;  // count not latched
constexpr std::uint8_t latchCountCommand = STEPLINK_TIMER_LATCH_COUNT;      // counter 0

// Status bytes of counter 0 (bits 3..1 carry the mode).
constexpr std::uint8_t mode2Status = 0x34;
constexpr std::uint8_t mode3Status = 0x36;

// Status register: bit 7 is the limit input (clear = engaged); bits 6..0 always read 1.
constexpr std::uint8_t limitReleasedBit = 0x80;
constexpr std::uint8_t statusFixedBits = 0x7F;

// Data lines must be stable this long before the strobe clocks them into a latch.
constexpr std::uint64_t settleTicks = 119;

// Drive patterns (low 6 bits of a latch byte) by phase, and the Z latch's two auxiliary patterns.
constexpr std::uint8_t stepPatterns[8] = {39, 45, 28, 13, 3, 9, 56, 41};
constexpr std::uint8_t holdPatterns[8] = {55, 54, 30, 22, 19, 18, 58, 50};
constexpr std::uint8_t auxState0Pattern = 0x1B;  // Z latch byte 0x9B
constexpr std::uint8_t auxState1Pattern = 0x07;  // Z latch byte 0x87

// AuxState() and TableEvents::OnAux when the Z latch holds no auxiliary byte.
constexpr int noAuxState = -1;

// Default switch positions in steps from the start position: short demo homing runs.
constexpr std::int32_t defaultLimitX = -200;
constexpr std::int32_t defaultLimitY = -150;
constexpr std::int32_t defaultLimitZ = -100;

struct TableSettings {
  ClockKind clock = ClockKind::realtime;
  std::uint32_t accessTicks = 2;  // virtual clock: ticks each port access costs
  std::uint8_t counterMode = 2;   // 2 or 3
  bool statusOverride = false;    // report overrideStatus, still counting in counterMode
  std::uint8_t overrideStatus = 0;
  std::int32_t limitSteps[axisCount] = {defaultLimitX, defaultLimitY, defaultLimitZ};
};

// Host source of monotonic time in ticks (any origin); used by the realtime clock.
using TickSource = std::uint64_t (*)(void* context);

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
};

class TableModel {
 public:
  // tickSource may be null for the virtual clock; events may be null.
  TableModel(const TableSettings& settings, TickSource tickSource, void* tickContext,
             TableEvents* events);

  void Out(std::uint16_t port, std::uint8_t value);
  std::uint8_t In(std::uint16_t port);

  // Ticks since the table was created (the realtime clock reads its source).
  std::uint64_t Now();

  std::int32_t Position(Axis axis) const { return board_.Position(axis); }
  std::uint8_t Phase(Axis axis) const { return board_.Phase(axis); }
  // 0 or 1 while the Z latch holds an auxiliary byte, noAuxState otherwise.
  int AuxState() const { return board_.AuxState(); }
  std::uint64_t TotalSteps() const { return board_.TotalSteps(); }
  std::uint32_t Faults(FaultKind kind) const { return board_.Faults(kind); }
  std::uint32_t FaultCount() const { return board_.FaultCount(); }
  bool LimitEngaged() const;
  std::uint8_t Latch(Axis axis) const { return board_.Latch(axis); }
  const BoardObserver& Board() const { return board_; }
  // The counter's reading at a given tick: (-t) mod 65536 in mode 2, (-2t) mod 65536 in mode 3.
  std::uint16_t CountAt(std::uint64_t tick) const;
  std::uint8_t CounterStatus() const;

 private:
  void Advance();
  void Fault(FaultKind kind, std::uint16_t port, std::uint8_t value);

  TableSettings settings_;
  TickSource tickSource_;
  void* tickContext_;
  std::uint64_t originTicks_ = 0;
  std::uint64_t virtualTicks_ = 0;
  std::uint64_t now_ = 0;  // time of the access being served

  // Counter 0 read-out state.
  bool statusPending_ = false;
  int latchedBytesLeft_ = 0;  // 2: low byte next, 1: high byte next
  std::uint16_t latchedCount_ = 0;

  // Parallel port, board and motors.
  BoardObserver board_;
};

}  // namespace sim
