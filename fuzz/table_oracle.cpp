// The checking table model: counter 0 with read-back and latch commands, the latch board with its
// settle and strobe rules, motors that follow step patterns one phase at a time, and the limit
// input. Serves port writes and reads from the substitute device; calls nothing of the library.
#include "table_oracle.h"

namespace fuzz {
namespace {
constexpr std::uint16_t counterPort = 0x40;
constexpr std::uint16_t commandPort = 0x43;
constexpr std::uint16_t dataPort = 0x3BC;
constexpr std::uint16_t statusPort = 0x3BD;
constexpr std::uint16_t controlPort = 0x3BE;
constexpr std::uint64_t settleTicks = 119;

constexpr std::uint8_t stepPatterns[8] = {39, 45, 28, 13, 3, 9, 56, 41};
constexpr std::uint8_t holdPatterns[8] = {55, 54, 30, 22, 19, 18, 58, 50};
constexpr std::uint8_t auxPatterns[2] = {0x1B, 0x07};  // Z latch only

int IndexOf(const std::uint8_t (&table)[8], std::uint8_t pattern) {
  for (int i = 0; i < 8; ++i) {
    if (table[i] == pattern) return i;
  }
  return -1;
}
}  // namespace

void TableOracle::Reset(const OracleConfig& config) {
  *this = TableOracle{};
  config_ = config;
}

std::uint16_t TableOracle::Count() const {
  // Reload value 0 (65536): the count runs 0, 65535, ..., 1 and again; mode 3 drops by two a tick.
  const std::uint64_t dropped =
      ticks_ * static_cast<std::uint64_t>(config_.counterMode == 3 ? 2 : 1);
  return static_cast<std::uint16_t>(65536u - (dropped & 0xFFFFu));
}

std::uint8_t TableOracle::LimitByte() const {
  for (int axis = 0; axis < 3; ++axis) {
    if (position_[axis] <= config_.limit[axis]) return 0x7F;  // bit 7 clear: engaged
  }
  return 0xFF;
}

std::uint8_t TableOracle::MotorPhase(int axis) const {
  const std::int64_t phase = (position_[axis] + phaseOffset_[axis]) % 8;
  return static_cast<std::uint8_t>(phase < 0 ? phase + 8 : phase);
}

void TableOracle::Resync(const std::uint8_t phase[3]) {
  for (int axis = 0; axis < 3; ++axis) {
    const std::int64_t offset = (static_cast<std::int64_t>(phase[axis]) - position_[axis]) % 8;
    phaseOffset_[axis] = static_cast<std::uint8_t>(offset < 0 ? offset + 8 : offset);
  }
}

void TableOracle::Out(std::uint16_t port, std::uint8_t value) {
  Advance();
  switch (port) {
    case commandPort:
      if (value == 0x00) {
        latchedCount_ = Count();
        latched_ = Latched::countLow;
      } else if (value == 0xE2) {
        latched_ = Latched::status;
      } else {
        ++faults_.protocol;  // the library only latches and reads back; it never programs
      }
      return;
    case dataPort:
      data_ = value;
      dataTick_ = ticks_;
      return;
    case controlPort:
      if (value > 1) ++faults_.protocol;
      if ((value & 1) != 0 && (control_ & 1) == 0) Strobe();
      control_ = value;
      return;
    default:
      ++faults_.protocol;
  }
}

std::uint8_t TableOracle::In(std::uint16_t port) {
  Advance();
  switch (port) {
    case counterPort:
      switch (latched_) {
        case Latched::status: {
          latched_ = Latched::none;
          if (config_.statusOverride >= 0) return static_cast<std::uint8_t>(config_.statusOverride);
          return static_cast<std::uint8_t>(0x30 | (config_.counterMode << 1));
        }
        case Latched::countLow:
          latched_ = Latched::countHigh;
          return static_cast<std::uint8_t>(latchedCount_ & 0xFF);
        case Latched::countHigh:
          latched_ = Latched::none;
          return static_cast<std::uint8_t>(latchedCount_ >> 8);
        case Latched::none:
          ++faults_.protocol;
          return static_cast<std::uint8_t>(Count() & 0xFF);
      }
      return 0;
    case statusPort:
      return LimitByte();
    case dataPort:
      return data_;
    default:
      ++faults_.protocol;
      return 0xFF;
  }
}

void TableOracle::Strobe() {
  if (settleEnforced && ticks_ - dataTick_ < settleTicks) ++faults_.settle;
  const int axis = data_ >> 6;
  const std::uint8_t pattern = data_ & 0x3F;
  if (axis == 3) {
    ++faults_.pattern;
    return;
  }
  if (axis == 2 && (pattern == auxPatterns[0] || pattern == auxPatterns[1])) return;
  const std::uint8_t motor = MotorPhase(axis);
  const int step = IndexOf(stepPatterns, pattern);
  if (step >= 0) {
    if (step == (motor + 1) % 8) {
      ++position_[axis];
      ++steps_;
    } else if (step == (motor + 7) % 8) {
      --position_[axis];
      ++steps_;
    } else {
      ++faults_.lostStep;  // a jump of two or more phases, or a step onto the phase it holds
    }
    return;
  }
  const int hold = IndexOf(holdPatterns, pattern);
  if (hold < 0) {
    ++faults_.pattern;
  } else if (hold != motor) {
    ++faults_.lostStep;
  }
}

}  // namespace fuzz
