// The latch board decoded from the port writes: latch loads, phases, steps, the auxiliary state
// and faults. Freestanding (no heap, exceptions or libc), like the table model that embeds it.
#include "device/board_observer.h"

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

void BoardObserver::ReadStatus(std::uint64_t tick, std::uint8_t value) {
  const bool creepStep = stepsSinceRead_ == 1;
  stepsSinceRead_ = 0;
  if ((value & limitReleasedBit) == 0 || !creepStep) {
    creepReads_ = 0;
    return;
  }
  // Once per creep: the next stage's first read follows a back-off (no creep step) and starts
  // over. A creep whose last read engaged made creepStepsWithoutSwitch - 1 released reads.
  if (++creepReads_ == creepStepsWithoutSwitch) Fault(tick, FaultKind::noSwitch, statusPort, value);
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
  stepsSinceRead_ = direction < 0 ? stepsSinceRead_ + 1 : 2;
  lastStepAxis_ = axis;
  if (events_ != nullptr) events_->OnStep(tick, axis, direction, position_[axis]);
}

}  // namespace sim
