// Interval timer: mode detection and measurement, counter byte order, and the busy-wait's wrap
// rule, first-loop-reading quirk and its give-up paths on a closed channel or a stuck counter.
#include <gtest/gtest.h>

#include <string>

#include "motion/ramp.h"
#include "port/port_channel.h"
#include "test_support.h"
#include "timing/timer.h"

namespace {

using test::CoreTest;
using test::StdoutCapture;

struct ModeCase {
  std::uint8_t status;
  std::int32_t result;
  std::int32_t countsPerTick;
};

class CalibrateModeTest : public CoreTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(CalibrateModeTest, StatusByteSelectsCountsPerTick) {
  backend.statusByte = GetParam().status;
  const std::int32_t result = CalibrateTimer();
  EXPECT_EQ(result, GetParam().result);
  EXPECT_EQ(countsPerTick, GetParam().countsPerTick);
  ASSERT_GE(backend.ops.size(), 2u);
  EXPECT_EQ(backend.ops[0].port, test::timerCommandPort);
  EXPECT_EQ(backend.ops[0].value, 0xE2);
  EXPECT_EQ(test::CounterReadings(backend.ops), 0);  // no measurement in mode 2 or 3
}

INSTANTIATE_TEST_SUITE_P(Modes, CalibrateModeTest,
                         ::testing::Values(ModeCase{0x34, 2, 1}, ModeCase{0x36, 3, 2},
                                           ModeCase{0x04, 2, 1}, ModeCase{0xF6, 3, 2}));

struct MeasureCase {
  std::int32_t first;
  std::int32_t second;
  std::int32_t result;
  std::int32_t countsPerTick;
};

class CalibrateMeasureTest : public CoreTest, public ::testing::WithParamInterface<MeasureCase> {};

// Mode 6 measures the counter across one pacing step; on the first calibration countsPerTick is
// still 0, so that step takes exactly one reading of its own.
TEST_P(CalibrateMeasureTest, RoundsDownToHundredsAndChoosesCountsPerTick) {
  backend.statusByte = 0x3C;
  backend.counterScript = {GetParam().first, 20000, GetParam().second};
  const std::int32_t result = CalibrateTimer();
  EXPECT_EQ(result, GetParam().result);
  EXPECT_EQ(countsPerTick, GetParam().countsPerTick);
  EXPECT_EQ(test::CounterReadings(backend.ops), 3);
}

// Comments give the diff; a wrap adds 65535 counts, not 65536.
INSTANTIATE_TEST_SUITE_P(Diffs, CalibrateMeasureTest,
                         ::testing::Values(MeasureCase{40000, 9901, 30000, 1},  // 30099
                                           MeasureCase{40000, 9900, 30100, 2},  // 30100
                                           MeasureCase{100, 65000, 600, 1},     // 635
                                           MeasureCase{0, 65436, 0, 1},         // 99
                                           MeasureCase{5000, 5000, 0, 1},       // 0
                                           MeasureCase{65535, 0, 65500, 2}));   // 65535

TEST_F(CoreTest, ReadTimerCountLatchesThenReadsLowByteFirst) {
  backend.counterScript = {0x1234};
  EXPECT_EQ(ReadTimerCount(), 0x1234);
  ASSERT_EQ(backend.ops.size(), 3u);
  EXPECT_EQ(backend.ops[0].isRead, false);
  EXPECT_EQ(backend.ops[0].value, 0x00);
  EXPECT_EQ(backend.ops[1].value, 0x34);
  EXPECT_EQ(backend.ops[2].value, 0x12);
}

// Each case scripts the counter and names how many readings the wait takes in all.
struct WaitCase {
  const char* name;
  std::int32_t countsPerTick;
  std::int32_t ticks;
  std::vector<std::int32_t> script;
  int readings;
};

class WaitTicksTest : public CoreTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTicksTest, ReadingsTaken) {
  const WaitCase& c = GetParam();
  countsPerTick = c.countsPerTick;
  backend.counterScript.assign(c.script.begin(), c.script.end());
  backend.runningCount = 30000;  // far from the script: reading past it would end any wait
  WaitTicks(c.ticks);
  EXPECT_EQ(test::CounterReadings(backend.ops), c.readings);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, WaitTicksTest,
    ::testing::Values(
        WaitCase{"ZeroTicks", 1, 0, {1000, 999}, 2},
        WaitCase{"NotCalibrated", 0, 196897, {1000, 1000}, 2},
        WaitCase{"DoneAfterTwoReadings", 1, 5, {1000, 995}, 2},
        // 5 then 65530: a wrap of 10 counts, measured on from 65530.
        WaitCase{"WrapBetweenFirstReadings", 1, 20, {5, 65530, 65525, 65520}, 4},
        WaitCase{"WrapInLoop", 1, 100, {1000, 990, 950, 960}, 4},
        WaitCase{"EqualReadingIsNoWrap", 1, 50, {1000, 990, 980, 980, 950}, 5},
        // The first loop reading is compared with base only: 950 after 900 is a plain decrease.
        WaitCase{"FirstLoopReadingAgainstBaseOnly", 1, 200, {1000, 900, 950, 800}, 4},
        WaitCase{"ReadingAboveBaseInLoopIsWrap", 1, 200, {1000, 900, 1100}, 3}),
    test::CaseName());

TEST_F(CoreTest, SettleWaitInSquareWaveModeWaitsTwiceTheTicks) {
  countsPerTick = 2;
  backend.runningCount = 1000;
  backend.runningStep = 1;
  WaitTicks(119);
  ASSERT_FALSE(backend.counterValues.empty());
  EXPECT_EQ(backend.counterValues.front() - backend.counterValues.back(), 238);
}

TEST_F(CoreTest, WaitOnClosedChannelEndsAfterItsTwoReadings) {
  ClosePortDevice();
  countsPerTick = 1;
  StdoutCapture capture;
  WaitTicks(196897);
  const std::string text = capture.Text();
  const std::string readLine = "Error occured during inportb while talking to PortTalk driver 6\n";
  const std::string writeLine =
      "Error occured during outportb while talking to PortTalk driver 6\n";
  const std::string reading = writeLine + readLine + readLine;
  EXPECT_EQ(text, reading + reading);
}

TEST_F(CoreTest, StuckCounterEndsWaitAfter65536EqualLoopReadingsWithOneLinePerEntry) {
  countsPerTick = 1;
  backend.recording = false;
  backend.runningCount = 4242;  // never moves
  const std::string line =
      "Timer: counter 0 showed one value for 65536 readings; wait ended early.\n";

  StdoutCapture capture;
  WaitTicks(10);
  const std::size_t firstWait = backend.counterValues.size();
  WaitTicks(10);
  const std::string sameEntry = capture.Text();

  EXPECT_EQ(firstWait, 2u + 65536u);
  // Every wait runs through the whole limit; only the line is once per entry call.
  EXPECT_EQ(backend.counterValues.size(), 2 * firstWait);
  EXPECT_EQ(sameEntry, line);

  ResetTimerNotice();
  backend.counterValues.clear();
  StdoutCapture next;
  WaitTicks(10);
  EXPECT_EQ(next.Text(), line);
  EXPECT_EQ(backend.counterValues.size(), 2u + 65536u);
}

TEST_F(CoreTest, CounterThatMovesOnceInAWhileIsNotStuck) {
  countsPerTick = 1;
  backend.recording = false;
  // 70000 loop readings, each value held 60000 times: a slow counter is waited on to the end.
  backend.counterScript = {5000, 5000};
  for (int value : {5000, 4999})
    backend.counterScript.insert(backend.counterScript.end(), 60000, value);
  backend.counterScript.push_back(4998);
  StdoutCapture capture;
  WaitTicks(2);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(backend.counterValues.size(), 2u + 120001u);
}

}  // namespace
