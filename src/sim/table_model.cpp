// The simulated table's hardware: port decoding, counter 0, the limit input, and the latch
// board (device/board_observer.h) and the motors behind it. Freestanding (no heap, exceptions or
// libc); reaches the outside only through the host's tick source and the TableEvents sink.
#include "sim/table_model.h"

namespace sim {

TableModel::TableModel(const TableSettings& settings, TickSource tickSource, void* tickContext,
                       TableEvents* events)
    : settings_(settings), tickSource_(tickSource), tickContext_(tickContext), board_(events) {
  if (settings_.clock == ClockKind::realtime && tickSource_ != nullptr) {
    originTicks_ = tickSource_(tickContext_);
  }
}

std::uint64_t TableModel::Now() {
  if (settings_.clock == ClockKind::realtime && tickSource_ != nullptr) {
    return tickSource_(tickContext_) - originTicks_;
  }
  return virtualTicks_;
}

void TableModel::Advance() {
  virtualTicks_ += settings_.accessTicks;
  now_ = Now();
}

std::uint16_t TableModel::CountAt(std::uint64_t tick) const {
  const std::uint64_t counts = settings_.counterMode == 3 ? 2 * tick : tick;
  return static_cast<std::uint16_t>(0u - counts);
}

std::uint8_t TableModel::CounterStatus() const {
  if (settings_.statusOverride) return settings_.overrideStatus;
  return settings_.counterMode == 3 ? mode3Status : mode2Status;
}

bool TableModel::LimitEngaged() const {
  for (int axis = 0; axis < axisCount; ++axis) {
    if (board_.Position(static_cast<Axis>(axis)) <= settings_.limitSteps[axis]) return true;
  }
  return false;
}

void TableModel::Fault(FaultKind kind, std::uint16_t port, std::uint8_t value) {
  board_.Fault(now_, kind, port, value);
}

void TableModel::Out(std::uint16_t port, std::uint8_t value) {
  Advance();
  switch (port) {
    case timerCommandPort:
      if (value == readBackStatusCommand) {
        statusPending_ = true;
      } else if (value == latchCountCommand) {
        latchedCount_ = Counter();
        latchedBytesLeft_ = 2;
      } else {
        Fault(FaultKind::protocol, port, value);
      }
      return;
    case dataPort:
      board_.WriteData(now_, value);
      return;
    case controlPort:
      board_.WriteControl(now_, value);
      return;
    default:
      Fault(FaultKind::protocol, port, value);  // includes 0x40 (never programmed) and 0x3BD
      return;
  }
}

std::uint8_t TableModel::In(std::uint16_t port) {
  Advance();
  switch (port) {
    case counter0Port: {
      if (statusPending_) {
        statusPending_ = false;
        return CounterStatus();
      }
      if (latchedBytesLeft_ == 2) {
        latchedBytesLeft_ = 1;
        return static_cast<std::uint8_t>(latchedCount_ & 0xFF);
      }
      if (latchedBytesLeft_ == 1) {
        latchedBytesLeft_ = 0;
        return static_cast<std::uint8_t>(latchedCount_ >> 8);
      }
      const std::uint8_t low = static_cast<std::uint8_t>(Counter() & 0xFF);
      Fault(FaultKind::protocol, port, low);
      return low;
    }
    case dataPort:
      return board_.Data();
    case statusPort: {
      const auto status =
          static_cast<std::uint8_t>(statusFixedBits | (LimitEngaged() ? 0 : limitReleasedBit));
      board_.ReadStatus(now_, status);
      return status;
    }
    case controlPort:
      return board_.Control();
    default:
      Fault(FaultKind::protocol, port, 0xFF);
      return 0xFF;
  }
}

}  // namespace sim
