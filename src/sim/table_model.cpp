// The simulated table's hardware: port decoding, counter 0, the latch board and the motors.
// Freestanding (no heap, exceptions or libc); reaches the outside only through the host's tick
// source and the TableEvents sink.
#include "sim/table_model.h"

#include "status/names.h"

namespace sim {

namespace {
constexpr std::uint8_t axisSelectMask = 0xC0;
constexpr std::uint8_t patternMask = 0x3F;
constexpr std::uint8_t strobeBit = 0x01;
constexpr int noPhase = -1;

int PhaseOfPattern(std::uint8_t pattern) {
  for (int phase = 0; phase < 8; ++phase) {
    if (stepPatterns[phase] == pattern || holdPatterns[phase] == pattern) return phase;
  }
  return noPhase;
}
}  // namespace

const char* FaultKindName(FaultKind kind) {
  return status::FaultKindName(StatusFaultKind(kind));
}

void TableEvents::OnStep(std::uint64_t, Axis, int, std::int32_t) {}
void TableEvents::OnAux(std::uint64_t, int) {}
void TableEvents::OnFault(std::uint64_t, FaultKind, std::uint16_t, std::uint8_t) {}

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
        latchedCount_ = CountAt(now_);
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
      const std::uint8_t low = static_cast<std::uint8_t>(CountAt(now_) & 0xFF);
      Fault(FaultKind::protocol, port, low);
      return low;
    }
    case dataPort:
      return board_.Data();
    case statusPort:
      return static_cast<std::uint8_t>(statusFixedBits | (LimitEngaged() ? 0 : limitReleasedBit));
    case controlPort:
      return board_.Control();
    default:
      Fault(FaultKind::protocol, port, 0xFF);
      return 0xFF;
  }
}

std::uint32_t BoardObserver::FaultCount() const {
  std::uint32_t total = 0;
  for (const std::uint32_t count : faults_) total += count;
  return total;
}

void BoardObserver::Fault(std::uint64_t tick, FaultKind kind, std::uint16_t port,
                          std::uint8_t value) {
  ++faults_[static_cast<int>(kind)];
  if (events_ != nullptr) events_->OnFault(tick, kind, port, value);
}

void BoardObserver::WriteData(std::uint64_t tick, std::uint8_t value) {
  data_ = value;
  dataWrittenTick_ = tick;
  dataWritten_ = true;
}

void BoardObserver::WriteControl(std::uint64_t tick, std::uint8_t value) {
  if (value == strobeBit) {
    if ((control_ & strobeBit) != 0) {
      Fault(tick, FaultKind::protocol, controlPort, value);  // strobe never returned to 0
      return;
    }
    control_ = value;
    if (checkSettle_ && dataWritten_ && tick - dataWrittenTick_ < settleTicks) {
      Fault(tick, FaultKind::settle, controlPort, value);
    }
    ClockLatch(tick);
  } else if (value == 0) {
    control_ = 0;
  } else {
    Fault(tick, FaultKind::protocol, controlPort, value);
  }
}

void BoardObserver::ClockLatch(std::uint64_t tick) {
  const std::uint8_t select = static_cast<std::uint8_t>((data_ & axisSelectMask) >> 6);
  if (select == 3) {
    Fault(tick, FaultKind::protocol, dataPort, data_);
    return;
  }
  LoadLatch(tick, static_cast<Axis>(select), data_);
}

void BoardObserver::LoadLatch(std::uint64_t tick, Axis axis, std::uint8_t value) {
  latch_[axis] = value;
  const std::uint8_t pattern = value & patternMask;
  if (axis == axisZ && (pattern == auxState0Pattern || pattern == auxState1Pattern)) {
    const int state = pattern == auxState0Pattern ? 0 : 1;
    if (state != auxState_) {
      auxState_ = state;
      if (events_ != nullptr) events_->OnAux(tick, state);
    }
    return;
  }
  // The latch holds one byte: a step, hold or stray byte in the Z latch ends the auxiliary state.
  if (axis == axisZ && auxState_ != noAuxState) {
    auxState_ = noAuxState;
    if (events_ != nullptr) events_->OnAux(tick, noAuxState);
  }
  const int phase = PhaseOfPattern(pattern);
  if (phase == noPhase) {
    Fault(tick, FaultKind::pattern, dataPort, value);
    return;
  }
  const int change = (phase - phase_[axis] + 8) % 8;
  phase_[axis] = static_cast<std::uint8_t>(phase);
  if (change == 0) return;
  if (change != 1 && change != 7) {
    Fault(tick, FaultKind::lostStep, dataPort, value);
    return;
  }
  const int direction = change == 1 ? 1 : -1;
  position_[axis] += direction;
  ++totalSteps_;
  if (events_ != nullptr) events_->OnStep(tick, axis, direction, position_[axis]);
}

}  // namespace sim
