// Fault matrix through the exported entries: every entry on a channel never opened, failed and
// closed, with its exact lines and result; and every timer and motion entry on an open channel
// whose counter does not move. Calls the Java_JavaToC_* shells on the substitute device. The
// device seam's counts are checked beside the lines: one refusal per failure line, a stall in
// every call that printed the stuck-counter line, and nothing counted where nothing failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "entry/entry.h"
#include "motion/reference.h"
#include "motion/vector.h"
#include "port/port_channel.h"
#include "sim/device_counts.h"
#include "sim/substitute.h"
#include "test_support.h"
#include "timing/timer.h"

namespace {

using test::StdoutCapture;

const std::string outLine = "Error occured during outportb while talking to PortTalk driver 6\n";
const std::string inLine = "Error occured during inportb while talking to PortTalk driver 6\n";
const std::string stuckLine =
    "Timer: counter 0 showed one value for 65536 readings; wait ended early.\n";
const std::string openFailedLines =
    "PortTalk: The PortTalk driver is already running.\n"
    "PortTalk: Couldn't access PortTalk Driver, Please ensure driver is loaded.\n\n";

// The failure lines of a sequence of port operations: 'o' a write, 'i' a read; other characters
// only group the sequence for the reader.
std::string Lines(const std::string& ops) {
  std::string text;
  for (const char op : ops) {
    if (op == 'o') text += outLine;
    if (op == 'i') text += inLine;
  }
  return text;
}

// Port operations on a channel that is not open: a counter reading is a latch command and two
// reads; a wait takes two readings and ends (the counter cannot move); a latch write is the data
// write, the settle wait and the two strobe writes.
const std::string reading = "oii ";
const std::string wait = reading + reading;
const std::string latch = "o " + wait + "oo ";

enum class Channel { neverOpened, failed, closed };

struct EntryCase {
  const char* name;
  jint (*call)();
  jint result;
  std::string ops;
};

jint CallCloseConn() {
  return Java_JavaToC_closeConn(nullptr, nullptr);
}
jint CallInitTimer() {
  return Java_JavaToC_initTimer(nullptr, nullptr);
}
jint CallHoldOnly() {
  return Java_JavaToC_vectorOut(nullptr, nullptr, 0, 0, 0);
}
jint CallOneStep() {
  return Java_JavaToC_vectorOut(nullptr, nullptr, 1, 0, 0);
}
jint CallAuxCode() {
  return Java_JavaToC_vectorOut(nullptr, nullptr, 0, 0, 32000);
}
jint CallKeepZ() {
  return Java_JavaToC_vectorOut(nullptr, nullptr, 0, 0, 32222);
}
jint CallRefused() {
  return Java_JavaToC_vectorOut(nullptr, nullptr, 5, 0, 40000);
}
jint CallReferenceNothing() {
  Java_JavaToC_reference(nullptr, nullptr, 0, 0, 0);
  return referenceActive;
}
jint CallReferenceAux() {
  Java_JavaToC_reference(nullptr, nullptr, 0, 0, -32000);
  return referenceActive;
}

class ChannelFaultTest : public ::testing::TestWithParam<std::tuple<Channel, EntryCase>> {
 protected:
  void SetUp() override { test::ResetCore(&backend); }
  void TearDown() override { test::ResetCore(nullptr); }
  test::ScriptedBackend backend;
};

TEST_P(ChannelFaultTest, EntryPrintsOneLinePerPortOperationAndGivesItsResult) {
  const auto& [channel, entry] = GetParam();
  if (channel == Channel::failed) {
    sim::Services().deviceMissing = true;
    StdoutCapture openCapture;
    EXPECT_EQ(Java_JavaToC_openConn(nullptr, nullptr), 255);
    EXPECT_EQ(openCapture.Text(), openFailedLines);
  } else if (channel == Channel::closed) {
    ASSERT_NE(Java_JavaToC_openConn(nullptr, nullptr), 255);
    ASSERT_EQ(Java_JavaToC_closeConn(nullptr, nullptr), 1);
  }

  const SteplinkDeviceCounts before = sim::DeviceCounts();
  StdoutCapture capture;
  const jint result = entry.call();
  const std::string text = capture.Text();
  const SteplinkDeviceCounts after = sim::DeviceCounts();

  EXPECT_EQ(result, entry.result);
  EXPECT_EQ(text, Lines(entry.ops));
  EXPECT_TRUE(backend.ops.empty()) << "nothing may reach the table";
  EXPECT_EQ(referenceActive, 0);
  // Counted at the seam, one for each line the library printed, the first as it names it.
  const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
  EXPECT_EQ(after.refusedOps - before.refusedOps, lines);
  EXPECT_EQ(after.counterStalls, 0u);
  if (before.refusedOps == 0 && lines > 0) {
    EXPECT_EQ(after.firstRefusalError, 6u);  // ERROR_INVALID_HANDLE: the channel is not open
    EXPECT_EQ(after.firstRefusalWrite, text.rfind(outLine, 0) == 0 ? 1 : 0) << text;
  }
}

const EntryCase entryCases[] = {
    {"closeConn", CallCloseConn, 0, ""},
    // Status read-back fails (mode 0 from the port's low byte), so it measures: a reading, one
    // pacing step that reads once and ends, a reading; nothing elapsed.
    {"initTimer", CallInitTimer, 0, "oi " + reading + reading + reading},
    {"vectorOutHold", CallHoldOnly, 3, latch + latch + latch},
    {"vectorOutOneStep", CallOneStep, 3, reading + latch + reading + latch + latch + latch},
    {"vectorOutAuxCode", CallAuxCode, 1, latch + wait + latch + latch},
    {"vectorOutKeepZ", CallKeepZ, 2, latch + latch},
    {"vectorOutRefused", CallRefused, 3, latch + latch + latch},
    // The failed status read gives 0xBD: bit 7 set, the input reads released, so no leave move.
    {"referenceNothing", CallReferenceNothing, 0, "i"},
    {"referenceAuxCode", CallReferenceAux, 0, "i " + latch + wait},
};

std::string ChannelCaseName(const ::testing::TestParamInfo<std::tuple<Channel, EntryCase>>& param) {
  static const char* const channelNames[] = {"NeverOpened", "Failed", "Closed"};
  return std::string(channelNames[static_cast<int>(std::get<0>(param.param))]) + "_" +
         std::get<1>(param.param).name;
}

INSTANTIATE_TEST_SUITE_P(Entries, ChannelFaultTest,
                         ::testing::Combine(::testing::Values(Channel::neverOpened, Channel::failed,
                                                              Channel::closed),
                                            ::testing::ValuesIn(entryCases)),
                         ChannelCaseName);

// A creep that cannot see the input on a closed channel runs to its limit, then backs off and
// pauses: 32000 one-step moves, every port operation reported, and the run still ends.
TEST(ChannelFault, ReferenceOnClosedChannelCreepsToTheLimitAndEnds) {
  test::ScriptedBackend backend;
  test::ResetCore(&backend);
  countsPerTick = 1;
  const std::string creepMove = Lines("i " + reading + latch + reading + latch + latch + latch);

  StdoutCapture capture;
  Java_JavaToC_reference(nullptr, nullptr, 2, 0, 0);
  const std::string text = capture.Text();

  const std::size_t expectedSize =
      Lines("i").size() + 32000 * creepMove.size() +
      Lines("i " + reading + latch + reading + latch + reading + latch + latch + latch + wait)
          .size();
  EXPECT_EQ(text.size(), expectedSize);
  EXPECT_EQ(text.find("Timer:"), std::string::npos);
  EXPECT_EQ(phaseX, (32000 * 7 + 2) % 8);  // 32000 down, 2 up
  EXPECT_EQ(referenceActive, 0);
  EXPECT_TRUE(backend.ops.empty());
  test::ResetCore(nullptr);
}

TEST(ChannelFault, OpenConnAfterAFailureOpensAgainAndMovesWork) {
  test::ScriptedBackend backend;
  test::ResetCore(&backend);
  sim::Services().deviceMissing = true;
  EXPECT_EQ(Java_JavaToC_openConn(nullptr, nullptr), 255);
  sim::Services().deviceMissing = false;

  StdoutCapture capture;
  const jint handle = Java_JavaToC_openConn(nullptr, nullptr);
  const jint moved = Java_JavaToC_vectorOut(nullptr, nullptr, 1, 0, 0);
  const jint closed = Java_JavaToC_closeConn(nullptr, nullptr);

  EXPECT_NE(handle, 255);
  EXPECT_NE(handle & 0xFF, 0xFF);
  EXPECT_EQ(moved, 3);
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(capture.Text(), "");
  // A failed open refuses no port operation, and a move on a running counter counts nothing.
  EXPECT_EQ(sim::DeviceCounts().refusedOps, 0u);
  EXPECT_EQ(sim::DeviceCounts().counterStalls, 0u);
  EXPECT_EQ(test::LatchBytes(backend.ops).front(), 0x2D);  // X step to phase 1
  test::ResetCore(nullptr);
}

// An open channel whose counter shows one value for ever (a dead timer, or a driver that answers
// without reading the hardware). Every wait gives up; each entry call prints the line once and
// gives its ordinary result; a call with many waits stays short.
class StuckCounterTest : public test::CoreTest {
 protected:
  void SetUp() override {
    test::CoreTest::SetUp();
    backend.recording = false;
    backend.runningStep = 0;
    backend.runningCount = 4242;
    countsPerTick = 1;
  }
  std::size_t Readings() const { return backend.counterValues.size(); }
};

TEST_F(StuckCounterTest, InitTimerReadsTheModeWithoutWaiting) {
  StdoutCapture capture;
  EXPECT_EQ(Java_JavaToC_initTimer(nullptr, nullptr), 2);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(Readings(), 0u);
  EXPECT_EQ(sim::DeviceCounts().counterStalls, 0u);
}

TEST_F(StuckCounterTest, InitTimerMeasuringGivesUpAndMeasuresNothing) {
  backend.statusByte = 0x30;  // no mode: measure
  StdoutCapture capture;
  EXPECT_EQ(Java_JavaToC_initTimer(nullptr, nullptr), 0);
  EXPECT_EQ(capture.Text(), stuckLine);
  EXPECT_EQ(countsPerTick, 1);
}

TEST_F(StuckCounterTest, VectorOutEndsWithOneLinePerCallAndItsResult) {
  struct Call {
    jint x, y, z, result;
  };
  for (const Call call : {Call{1, 0, 0, 3}, Call{0, 0, 32000, 1}, Call{0, 0, -32000, 0},
                          Call{3, -2, 32222, 2}, Call{0, 0, 0, 3}}) {
    SCOPED_TRACE(testing::Message() << call.x << "," << call.y << "," << call.z);
    const std::uint64_t stallsBefore = sim::DeviceCounts().counterStalls;
    StdoutCapture capture;
    EXPECT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, call.x, call.y, call.z), call.result);
    EXPECT_EQ(capture.Text(), stuckLine);
    // The seam saw the counter stand still in this call too, and refused nothing.
    EXPECT_GT(sim::DeviceCounts().counterStalls, stallsBefore);
    EXPECT_EQ(sim::DeviceCounts().refusedOps, 0u);
  }
  EXPECT_EQ(phaseX, 4);
  EXPECT_EQ(phaseY, 6);
}

// Every wait on a stuck counter gives up after exactly stuckReadingLimit equal loop readings, so
// the time a call takes on a dead timer is predictable: a move of n steps on one axis makes
// 1 (plan) + n * (2 + limit + 1 + limit) + 3 * (2 + limit) readings, and prints one line.
TEST_F(StuckCounterTest, EveryWaitGivesUpAfterTheLimitWithOneLinePerCall) {
  constexpr std::size_t limit = stuckReadingLimit;
  StdoutCapture capture;
  EXPECT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, 3, 0, 0), 3);
  EXPECT_EQ(capture.Text(), stuckLine);
  EXPECT_EQ(phaseX, 3);
  EXPECT_EQ(Readings(), 1 + 3 * (2 + limit + 1 + limit) + 3 * (2 + limit));
}

TEST_F(StuckCounterTest, ReferenceRunEndsWithOneLine) {
  backend.limitScript = {0x80, 0x80, 0x80, 0x80};  // released: no leave move, 3 creep steps
  backend.limitAfterScript = 0x00;                 // then engaged
  StdoutCapture capture;
  Java_JavaToC_reference(nullptr, nullptr, 5, 0, 32000);
  EXPECT_EQ(capture.Text(), stuckLine);
  EXPECT_EQ(referenceActive, 0);
  EXPECT_EQ(phaseX, 2);  // 3 down, 5 up
}

}  // namespace
