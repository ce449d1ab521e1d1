// An independent model of the table behind the PortTalk device, built for checking: counter 0 on a
// virtual clock, the parallel port with the three axis latches, motors with positions and a shared
// limit input, and counters of every protocol, settle, pattern and lost-step fault it sees.
// Serves the substitute device as its port backend; used by the fuzz target and its replay tool.
#pragma once

#include <cstdint>

#include "device/port_backend.h"

namespace fuzz {

struct OracleConfig {
  std::uint32_t accessTicks = 2;         // virtual clock: ticks each port access costs
  int counterMode = 2;                   // 2: one count per tick; 3: two counts per tick
  int statusOverride = -1;               // status byte reported instead of the mode's (-1: none)
  std::int32_t limit[3] = {-5, -5, -5};  // switch positions in steps; engaged at or below
};

struct OracleFaults {
  std::uint32_t protocol =
      0;  // read of port 0x40 with nothing latched, unknown command or strobe value
  std::uint32_t settle = 0;    // strobe less than 119 ticks after the data write
  std::uint32_t pattern = 0;   // a latch byte that is no step, hold or auxiliary byte of its axis
  std::uint32_t lostStep = 0;  // a step or hold pattern more than one phase from the motor's
  std::uint32_t Total() const { return protocol + settle + pattern + lostStep; }
};

class TableOracle final : public sim::PortBackend {
 public:
  void Reset(const OracleConfig& config);
  void Out(std::uint16_t port, std::uint8_t value) override;
  std::uint8_t In(std::uint16_t port) override;

  // The motor phase is (position + phaseOffset) mod 8; a resync makes it equal to the library's
  // phase index again after moves whose output never reached the table (closed channel).
  void Resync(const std::uint8_t phase[3]);
  std::uint8_t MotorPhase(int axis) const;

  std::uint64_t ticks() const { return ticks_; }
  const std::int64_t* position() const { return position_; }
  std::uint64_t steps() const { return steps_; }
  const OracleFaults& faults() const { return faults_; }
  bool settleEnforced = true;  // settle faults are counted only while this is set

 private:
  void Advance() { ticks_ += config_.accessTicks; }
  std::uint16_t Count() const;
  std::uint8_t LimitByte() const;
  void Strobe();

  OracleConfig config_{};
  std::uint64_t ticks_ = 0;
  enum class Latched { none, status, countLow, countHigh } latched_ = Latched::none;
  std::uint16_t latchedCount_ = 0;
  std::uint8_t data_ = 0;
  std::uint64_t dataTick_ = 0;
  std::uint8_t control_ = 0;
  std::int64_t position_[3] = {};
  std::uint8_t phaseOffset_[3] = {};
  std::uint64_t steps_ = 0;
  OracleFaults faults_{};
};

}  // namespace fuzz
