// The simulated table's hardware: counter 0 of an 8254, the parallel port with the three-latch
// driver board, three stepper motors and the shared limit input, on a tick clock (8.38e-7 s).
// Freestanding: no heap, exceptions, containers, streams or libc, so a kernel-mode driver can
// build it unchanged; the host supplies the realtime source and the event sink. The latch board
// itself is the device layer's BoardObserver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "contract/steplink_contract.h"
#include "device/board_observer.h"

namespace sim {

enum class ClockKind : std::uint8_t { realtime, virtualTicks };

// Counter 0 of the 8254 and its command port.
constexpr std::uint16_t counter0Port = STEPLINK_PORT_TIMER_COUNT;
constexpr std::uint16_t timerCommandPort = STEPLINK_PORT_TIMER_COMMAND;

// Timer commands understood on the command port.
constexpr std::uint8_t readBackStatusCommand = STEPLINK_TIMER_READ_STATUS;  // count not latched
constexpr std::uint8_t latchCountCommand = STEPLINK_TIMER_LATCH_COUNT;      // counter 0

// Status bytes of counter 0 (bits 3..1 carry the mode).
constexpr std::uint8_t mode2Status = 0x34;
constexpr std::uint8_t mode3Status = 0x36;

// Status register bits 6..0, which always read 1 (bit 7 is the limit input).
constexpr std::uint8_t statusFixedBits = 0x7F;

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
  // A dead counter 0 (counter=frozen): every reading shows the count it had at tick 0, while the
  // table's clock runs on, so the library's waits give up on it.
  bool counterFrozen = false;
  std::int32_t limitSteps[axisCount] = {defaultLimitX, defaultLimitY, defaultLimitZ};
};

// Host source of monotonic time in ticks (any origin); used by the realtime clock.
using TickSource = std::uint64_t (*)(void* context);

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
  // What counter 0 shows now: CountAt(now), or its count at tick 0 when frozen.
  std::uint16_t Counter() const { return CountAt(settings_.counterFrozen ? 0 : now_); }

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
