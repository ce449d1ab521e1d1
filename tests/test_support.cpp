// Test support: the scripted backend, stdout capture, the core reset and the latch-stream decoder.
// Reaches the core through its headers and the substitute's test controls.
#include "test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "motion/board.h"
#include "motion/ramp.h"
#include "motion/reference.h"
#include "motion/vector.h"
#include "port/port_channel.h"
#include "sim/substitute.h"
#include "timing/timer.h"

namespace test {

void ScriptedBackend::Out(std::uint16_t port, std::uint8_t value) {
  if (recording) ops.push_back({false, port, value});
  if (port != timerCommandPort) return;
  pendingCounterBytes_.clear();
  if (value == 0xE2) {
    pendingCounterBytes_.push_back(statusByte);
  } else if (value == 0x00) {
    std::int32_t count = runningCount;
    if (!counterScript.empty()) {
      count = counterScript.front();
      counterScript.pop_front();
    } else {
      runningCount = ((runningCount - runningStep) % 65536 + 65536) % 65536;
    }
    counterValues.push_back(count);
    pendingCounterBytes_.push_back(static_cast<std::uint8_t>(count & 0xFF));
    pendingCounterBytes_.push_back(static_cast<std::uint8_t>((count >> 8) & 0xFF));
  }
}

std::uint8_t ScriptedBackend::In(std::uint16_t port) {
  std::uint8_t value = 0xFF;
  if (port == counter0Port && !pendingCounterBytes_.empty()) {
    value = pendingCounterBytes_.front();
    pendingCounterBytes_.pop_front();
  } else if (port == statusPort) {
    ++limitReads;
    if (onLimitRead) onLimitRead();
    value = limitAfterScript;
    if (!limitScript.empty()) {
      value = limitScript.front();
      limitScript.pop_front();
    }
  }
  if (recording) ops.push_back({true, port, value});
  return value;
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  file_ = std::tmpfile();
  savedFd_ = dup(1);
  dup2(fileno(file_), 1);
}

StdoutCapture::~StdoutCapture() {
  Text();
}

std::string StdoutCapture::Text() {
  if (file_ == nullptr) return text_;
  std::fflush(stdout);
  dup2(savedFd_, 1);
  close(savedFd_);
  std::rewind(file_);
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file_)) > 0) text_.append(chunk, got);
  std::fclose(file_);
  file_ = nullptr;
  return text_;
}

void ResetCore(sim::PortBackend* backend) {
  ClosePortDevice();
  sim::ResetSubstitute(backend);
  ResetTimerState();
  ResetRampState();
  ResetVectorState();
  ResetReferenceState();
}

std::vector<std::uint8_t> LatchBytes(const std::vector<PortOp>& ops) {
  std::vector<std::uint8_t> bytes;
  for (const PortOp& op : ops) {
    if (!op.isRead && op.port == dataPort) bytes.push_back(op.value);
  }
  return bytes;
}

int CounterReadings(const std::vector<PortOp>& ops) {
  return static_cast<int>(std::count_if(ops.begin(), ops.end(), [](const PortOp& op) {
    return !op.isRead && op.port == timerCommandPort && op.value == 0x00;
  }));
}

namespace {
// The driver board's step and hold patterns by phase and the Z latch's auxiliary bytes, written
// out here on purpose: decoding with the library's own table could not catch a wrong entry in it.
constexpr std::uint8_t boardStepPatterns[8] = {0x27, 0x2D, 0x1C, 0x0D, 0x03, 0x09, 0x38, 0x29};
constexpr std::uint8_t boardHoldPatterns[8] = {0x37, 0x36, 0x1E, 0x16, 0x13, 0x12, 0x3A, 0x32};
constexpr std::uint8_t boardAux0Byte = 0x9B;  // Z latch, auxiliary state 0
constexpr std::uint8_t boardAux1Byte = 0x87;  // Z latch, auxiliary state 1

int IndexIn(const std::uint8_t* table, std::uint8_t pattern) {
  for (int i = 0; i < 8; ++i) {
    if (table[i] == pattern) return i;
  }
  return -1;
}
}  // namespace

std::vector<DecodedMove> DecodeMoves(const std::vector<std::uint8_t>& latchBytes, int phaseX0,
                                     int phaseY0, int phaseZ0) {
  std::vector<DecodedMove> moves;
  int phases[3] = {phaseX0, phaseY0, phaseZ0};
  DecodedMove current;
  for (std::size_t i = 0; i < latchBytes.size(); ++i) {
    const std::uint8_t byte = latchBytes[i];
    const int axis = byte >> 6;
    const std::uint8_t pattern = byte & 0x3F;
    if (byte == boardAux0Byte || byte == boardAux1Byte) {
      current.auxBytes.push_back(byte);
      continue;
    }
    EXPECT_LT(axis, 3) << "latch byte " << int{byte} << " selects no axis";
    if (axis >= 3) continue;
    if (const int step = IndexIn(boardStepPatterns, pattern); step >= 0) {
      int& phase = phases[axis];
      int* delta = axis == 0 ? &current.x : axis == 1 ? &current.y : &current.z;
      if (step == (phase + 1) % 8) {
        ++*delta;
      } else if (step == (phase + 7) % 8) {
        --*delta;
      } else {
        ADD_FAILURE() << "axis " << axis << " jumped from phase " << phase << " to " << step;
      }
      phase = step;
      current.stepBytes.push_back(byte);
      continue;
    }
    const int hold = IndexIn(boardHoldPatterns, pattern);
    EXPECT_GE(hold, 0) << "latch byte " << int{byte} << " is no table pattern";
    EXPECT_EQ(hold, phases[axis]) << "hold pattern of axis " << axis << " at the wrong phase";
    if (axis == 1) {  // the Y hold ends a move, followed by the Z hold when z was no code
      if (i + 1 < latchBytes.size() && (latchBytes[i + 1] >> 6) == 2 &&
          IndexIn(boardHoldPatterns, latchBytes[i + 1] & 0x3F) >= 0) {
        current.zHold = true;
        ++i;
      }
      moves.push_back(current);
      current = DecodedMove{};
    }
  }
  if (!current.stepBytes.empty() || !current.auxBytes.empty()) moves.push_back(current);
  return moves;
}

std::string Describe(const std::vector<DecodedMove>& moves) {
  std::vector<std::string> parts;
  for (const DecodedMove& move : moves) {
    std::string part;
    for (const std::uint8_t aux : move.auxBytes) part += "aux" + std::to_string(aux) + " ";
    part += "(" + std::to_string(move.x) + "," + std::to_string(move.y) + "," +
            std::to_string(move.z) + ")";
    if (move.zHold) part += "+zhold";
    parts.push_back(part);
  }
  std::string text;
  for (std::size_t i = 0; i < parts.size();) {
    std::size_t run = 1;
    while (i + run < parts.size() && parts[i + run] == parts[i]) ++run;
    if (!text.empty()) text += " ";
    text += run > 1 ? std::to_string(run) + "*" + parts[i] : parts[i];
    i += run;
  }
  return text;
}

int LastZLatchByte(const std::vector<std::uint8_t>& latchBytes) {
  for (auto it = latchBytes.rbegin(); it != latchBytes.rend(); ++it) {
    if ((*it >> 6) == 2) return *it;
  }
  return -1;
}

std::vector<std::int32_t> CounterValuesFrom(const std::vector<PortOp>& ops, std::size_t from) {
  std::vector<std::int32_t> values;
  for (std::size_t i = from; i + 2 < ops.size(); ++i) {
    const PortOp& op = ops[i];
    if (!op.isRead && op.port == timerCommandPort && op.value == 0x00 && ops[i + 1].isRead &&
        ops[i + 2].isRead) {
      values.push_back(ops[i + 1].value + 256 * ops[i + 2].value);
      i += 2;
    }
  }
  return values;
}

std::size_t LastStrobeIndex(const std::vector<PortOp>& ops) {
  for (std::size_t i = ops.size(); i > 0; --i) {
    if (!ops[i - 1].isRead && ops[i - 1].port == controlPort) return i - 1;
  }
  return 0;
}

void CoreTest::SetUp() {
  ResetCore(&backend);
  ASSERT_NE(OpenPortDevice(), 255);
  backend.ops.clear();
}

void CoreTest::TearDown() {
  ResetCore(nullptr);
}

}  // namespace test
