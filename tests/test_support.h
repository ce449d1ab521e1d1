// Test support for the core's unit tests: a scripted port backend standing in for the 8254 and the
// driver board, a capture of the library's stdout, a reset of the core's process-wide state, and a
// decoder that turns the latch bytes written into moves. Test code only; nothing here is exported.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "device/port_backend.h"

namespace test {

constexpr std::uint16_t timerCommandPort = 0x43;
constexpr std::uint16_t counter0Port = 0x40;
constexpr std::uint16_t dataPort = 0x3BC;
constexpr std::uint16_t statusPort = 0x3BD;
constexpr std::uint16_t controlPort = 0x3BE;

struct PortOp {
  bool isRead;
  std::uint16_t port;
  std::uint8_t value;
};

// Answers the ports the core uses. Counter 0: after a latch command (0x00 to 0x43) the next two
// reads of 0x40 give the low and high byte of the next counter value, taken from `counterScript`
// while it lasts and from a free-running down-counter (`runningCount`, `runningStep` per latch)
// after that. After a read-back command (0xE2) the next read gives `statusByte`. Reads of 0x3BD
// come from `limitScript` while it lasts, then from `limitAfterScript`.
class ScriptedBackend final : public sim::PortBackend {
 public:
  void Out(std::uint16_t port, std::uint8_t value) override;
  std::uint8_t In(std::uint16_t port) override;

  std::deque<std::int32_t> counterScript;
  std::int32_t runningCount = 60000;
  std::int32_t runningStep = 0;
  std::uint8_t statusByte = 0x34;
  std::deque<std::uint8_t> limitScript;
  std::uint8_t limitAfterScript = 0x80;  // released
  // Called at every read of 0x3BD, before it is answered.
  std::function<void()> onLimitRead;

  bool recording = true;
  std::vector<PortOp> ops;
  std::vector<std::int32_t> counterValues;  // every counter value latched, in order
  int limitReads = 0;

 private:
  std::deque<std::uint8_t> pendingCounterBytes_;
};

// Captures what is written to file descriptor 1 (the library's printf lines) between construction
// and Text(). Flushes stdout at both ends, as the library never does.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  // Ends the capture (once) and returns everything printed.
  std::string Text();

 private:
  int savedFd_ = -1;
  std::FILE* file_ = nullptr;
  std::string text_;
};

// Puts every process-wide variable of the core back to its load-time value, closes the channel and
// resets the substitute with `backend` serving the device.
void ResetCore(sim::PortBackend* backend);

// Latch data bytes written to 0x3BC, in order.
std::vector<std::uint8_t> LatchBytes(const std::vector<PortOp>& ops);
// Number of counter readings (latch commands) in ops.
int CounterReadings(const std::vector<PortOp>& ops);

// One vector move seen from the latch stream: the net steps per axis (up positive), the latch
// bytes of its step writes, the auxiliary bytes written before it, and whether it ended with a Z
// hold byte. Moves are delimited by their X and Y hold bytes.
struct DecodedMove {
  int x = 0, y = 0, z = 0;
  std::vector<std::uint8_t> stepBytes;
  std::vector<std::uint8_t> auxBytes;
  bool zHold = false;
  bool operator==(const DecodedMove&) const = default;
};
// Decodes a latch byte stream into moves, tracking the phases from the given start phases.
std::vector<DecodedMove> DecodeMoves(const std::vector<std::uint8_t>& latchBytes, int phaseX = 0,
                                     int phaseY = 0, int phaseZ = 0);

// The moves in a compact form for comparisons: "aux155 (1,0,-2)+zhold", runs of equal moves as
// "7*(-1,0,0)+zhold", separated by spaces.
std::string Describe(const std::vector<DecodedMove>& moves);
// The last byte written to the Z latch (axis select 10), or -1.
int LastZLatchByte(const std::vector<std::uint8_t>& latchBytes);
// Counter values read (low/high byte pairs after a latch command) in ops from index `from` on.
std::vector<std::int32_t> CounterValuesFrom(const std::vector<PortOp>& ops, std::size_t from);
// Index of the last write to the control register (the end of the last latch write), or 0.
std::size_t LastStrobeIndex(const std::vector<PortOp>& ops);

// Names parameterised cases by their `name` field.
struct CaseName {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& param) const {
    return param.param.name;
  }
};

// The fixture of every core test: a fresh core with a scripted backend and the channel open.
class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  ScriptedBackend backend;
};

}  // namespace test
