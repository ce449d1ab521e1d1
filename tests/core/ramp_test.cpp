// Velocity profile and step pacing: ramp planning (distances, fitting rules, clamping), the pacing
// wait's poll count and wrap handling, and the speed updates while accelerating and decelerating.
#include "motion/ramp.h"

#include <gtest/gtest.h>

#include <cmath>

#include "motion/reference.h"
#include "port/port_channel.h"
#include "test_support.h"
#include "timing/timer.h"

namespace {

using test::CoreTest;

// Counts per step at a rate, with countsPerTick 1: ((1 / rate) / tick).
double Counts(double rate) {
  return (1.0 / rate) / 8.38e-7;
}

// The planner estimates jobs from the contract header's values; the standard variant's load-time
// parameters (linked into this test) are those values, the auxiliary codes included.
TEST(LoadTimeParams, StandardVariantMatchesTheContractHeader) {
  ResetMotionParams();
  EXPECT_EQ(motionParams.auxCodePlus, STEPLINK_Z_AUX_PLUS);
  EXPECT_EQ(motionParams.auxCodeMinus, STEPLINK_Z_AUX_MINUS);
  EXPECT_EQ(motionParams.startSpeed, STEPLINK_START_SPEED_STANDARD);
  EXPECT_EQ(motionParams.maxSpeed, STEPLINK_MAX_SPEED);
  EXPECT_EQ(motionParams.referenceSpeed, STEPLINK_REFERENCE_SPEED);
  EXPECT_EQ(motionParams.acceleration, STEPLINK_ACCELERATION);
  EXPECT_EQ(motionParams.deceleration, STEPLINK_DECELERATION);
  EXPECT_NEAR(STEPLINK_AUX_STATE_WAIT_SECONDS, 0.165, 0.001);
  EXPECT_NEAR(STEPLINK_REFERENCE_PAUSE_SECONDS, 0.55, 0.001);
}

struct PlanCase {
  std::uint32_t steps;
  double decelDistance;
};

class PlanRampTest : public CoreTest, public ::testing::WithParamInterface<PlanCase> {};

TEST_P(PlanRampTest, LoadTimeParametersGiveHalfTheMoveOr250) {
  backend.counterScript = {4321};
  paceRemainder = 17.5;
  decelActive = 1;
  PlanRamp(GetParam().steps);
  EXPECT_EQ(accelDistance, 1250.0);
  EXPECT_EQ(decelDistance, GetParam().decelDistance);
  EXPECT_EQ(decelActive, 0);
  EXPECT_EQ(currentSpeed, 300.0);
  EXPECT_EQ(decelRate, 500.0);
  EXPECT_EQ(moveSteps, GetParam().steps);
  EXPECT_EQ(paceRemainder, 17.5);  // carried from move to move
  EXPECT_EQ(baseCount, 4321);
  EXPECT_EQ(test::CounterReadings(backend.ops), 1);
}

INSTANTIATE_TEST_SUITE_P(Steps, PlanRampTest,
                         ::testing::Values(PlanCase{1, 0}, PlanCase{2, 1}, PlanCase{400, 200},
                                           PlanCase{999, 499}, PlanCase{1249, 624},
                                           PlanCase{1250, 250}, PlanCase{1499, 250},
                                           PlanCase{1500, 250}, PlanCase{31999, 250}));

struct FitCase {
  MotionParams params;
  std::uint32_t steps;
  double accelDistance;
  double decelDistance;
};

class PlanRampFitTest : public CoreTest, public ::testing::WithParamInterface<FitCase> {};

TEST_P(PlanRampFitTest, FittingRulesWithOtherParameters) {
  motionParams = GetParam().params;
  PlanRamp(GetParam().steps);
  EXPECT_EQ(accelDistance, GetParam().accelDistance);
  EXPECT_EQ(decelDistance, GetParam().decelDistance);
}

INSTANTIATE_TEST_SUITE_P(
    Params, PlanRampFitTest,
    ::testing::Values(
        // 550 / 100 truncates to 5: 1250, not 1512.5; decel 302500 / 1000.
        FitCase{{32000, -32000, 300, 550, 400, 100, 500}, 20000, 1250, 302.5},
        // accel 300, decel 1800: 1000 < 2100 and 500 < 1800, so 1000 - 1800.
        FitCase{{32000, -32000, 300, 600, 400, 600, 100}, 1000, 300, -800},
        // accel 1800, decel 300: 2000 < 2100 but 1000 is not below 300: unchanged.
        FitCase{{32000, -32000, 300, 600, 400, 100, 600}, 2000, 1800, 300}));

TEST_F(CoreTest, PlanRampClampsAndWritesBackButLeavesReferenceSpeed) {
  motionParams = {32000, -32000, 0, 601, 0, -7, 100000};
  PlanRamp(10);
  EXPECT_EQ(motionParams.startSpeed, 1);
  EXPECT_EQ(motionParams.maxSpeed, 600);
  EXPECT_EQ(motionParams.acceleration, 1);
  EXPECT_EQ(motionParams.deceleration, 600);
  EXPECT_EQ(motionParams.referenceSpeed, 0);
  EXPECT_EQ(currentSpeed, 1.0);
}

TEST_F(CoreTest, ReferenceSpeedZeroPacesAtOneStepPerSecondAndLeavesTheRampAlone) {
  motionParams.referenceSpeed = 0;
  referenceActive = 1;
  countsPerTick = 1;
  backend.recording = false;
  backend.runningCount = 50000;
  backend.runningStep = 5000;
  baseCount = 50000;
  currentSpeed = 123.0;
  decelActive = 1;
  decelRate = 77.0;
  paceRemainder = 9.0;

  PaceStep(3);

  // 1 / 8.38e-7 = 1193317.4 counts; polled in 5000-count strides, wraps one count short each.
  const double elapsed = (backend.counterValues.size() - 1) * 5000.0;
  EXPECT_GE(elapsed, Counts(1.0));
  EXPECT_LT(elapsed, Counts(1.0) + 5000 + 20);
  EXPECT_EQ(baseCount, backend.counterValues.back());
  EXPECT_EQ(currentSpeed, 123.0);
  EXPECT_EQ(decelActive, 1);
  EXPECT_EQ(decelRate, 77.0);
  EXPECT_EQ(paceRemainder, 9.0);
}

// One pacing wait at 300 steps/s (3977.72 counts) over a scripted counter that wraps: the poll
// count and the elapsed count must agree poll for poll with the wrap rule.
TEST_F(CoreTest, PacingWaitPollsUntilTheIntervalHasPassed) {
  countsPerTick = 1;
  currentSpeed = 300.0;
  decelDistance = 0.0;
  baseCount = 2000;
  backend.counterScript = {1500, 1000, 500, 0, 65035, 64535, 64035, 63535, 63035};
  PaceStep(5);
  EXPECT_EQ(test::CounterReadings(backend.ops), 8);
  EXPECT_EQ(baseCount, 63535);
  EXPECT_EQ(paceRemainder, 4000.0);  // 2000 + (2000 - 65035 + 0xFFFF) + 1500: below one increment
  EXPECT_EQ(currentSpeed, 300.0);
}

TEST_F(CoreTest, PacingWaitCountsFirstLoopReadingAgainstBaseOnly) {
  countsPerTick = 1;
  currentSpeed = 400.0;  // 2983.29 counts
  decelDistance = 0.0;
  baseCount = 10000;
  // 9000 is 1000 in; 9500 in the loop is below base, so a plain decrease (500), not a wrap;
  // 9600 after it is above the previous reading, so a wrap.
  backend.counterScript = {9000, 9500, 9600};
  PaceStep(5);
  EXPECT_EQ(test::CounterReadings(backend.ops), 3);
  EXPECT_EQ(baseCount, 9600);
  const double elapsed = 10000.0 - 9600.0 + 65535.0;
  EXPECT_EQ(currentSpeed, 405.0);
  EXPECT_NEAR(paceRemainder, elapsed - 5 * Counts(100.0), 1e-6);
}

struct AccelCase {
  const char* name;
  double speed;
  double remainder;  // paceRemainder before the step
  std::int32_t elapsed;
  double speedAfter;
  double remainderAfter;
};

class AccelerationUpdateTest : public CoreTest, public ::testing::WithParamInterface<AccelCase> {};

// Elapsed counts are given by the first reading alone (it lies beyond the step's interval).
TEST_P(AccelerationUpdateTest, SpeedGrowsByWholeIncrements) {
  const AccelCase& c = GetParam();
  countsPerTick = 1;
  decelDistance = 0.0;
  currentSpeed = c.speed;
  paceRemainder = c.remainder;
  baseCount = 60000;
  backend.counterScript = {60000 - c.elapsed};
  PaceStep(5);
  EXPECT_EQ(test::CounterReadings(backend.ops), 1);
  EXPECT_EQ(currentSpeed, c.speedAfter);
  EXPECT_NEAR(paceRemainder, c.remainderAfter, 1e-6);
  EXPECT_EQ(decelActive, 0);
}

const double ti = Counts(100.0);  // 11933.17 counts per 1 step/s at 100 steps/s^2

INSTANTIATE_TEST_SUITE_P(
    Cases, AccelerationUpdateTest,
    ::testing::Values(AccelCase{"BelowOneIncrementIsCarried", 300, 100, 5000, 300, 5100},
                      AccelCase{"ExactlyOneIncrement", 300, ti - 5000, 5000, 301, 0},
                      AccelCase{"JustBelowOneIncrement", 300, std::nextafter(ti - 5000, 0.0), 5000,
                                300, std::nextafter(ti - 5000, 0.0) + 5000},
                      AccelCase{"OvershootIsNotCapped", 499, 0, 40000, 502, 40000 - 3 * ti},
                      AccelCase{"AtMaxSpeedNothingChanges", 500, 42, 40000, 500, 42}),
    test::CaseName());

TEST_F(CoreTest, OneStepMoveDeceleratesAtDecelerationOnItsOnlyStep) {
  countsPerTick = 1;
  backend.counterScript = {60000, 55000};
  PlanRamp(1);
  paceRemainder = 1234.0;
  PaceStep(0);
  // 5000 counts at 500 steps/s^2 (2386.63 counts each): two whole decrements.
  EXPECT_EQ(decelActive, 1);
  EXPECT_EQ(decelRate, 500.0);
  EXPECT_EQ(currentSpeed, 298.0);
  EXPECT_NEAR(paceRemainder, 5000.0 - 2 * Counts(500.0), 1e-6);
}

// Deceleration begins at stepsToGo 250 in both moves; only the one whose ramps do not fit
// re-aims the rate first (400^2 / 500 = 320, 3729 counts a decrement instead of 2387).
TEST_F(CoreTest, DecelerationRateIsReaimedAtTheStartOnlyWhenTheRampsDoNotFit) {
  countsPerTick = 1;
  for (const auto& [steps, speedAfter] : {std::pair{1600u, 399.0}, std::pair{1300u, 400.0}}) {
    backend.counterScript = {60000, 57000};
    PlanRamp(steps);
    currentSpeed = 400.0;
    PaceStep(250);
    EXPECT_EQ(decelActive, 1) << steps;
    EXPECT_EQ(currentSpeed, speedAfter) << steps;
    EXPECT_EQ(decelRate, speedAfter * speedAfter / 500.0) << steps;  // re-aimed after the step
  }
}

// Before calibration the increment interval is 0 counts and taken as 1: every elapsed count is a
// whole decrement. The speed may go below zero; the last step keeps its rate, others re-aim it.
TEST_F(CoreTest, DecrementsAreNotFlooredAndOnlyStepsBeforeTheLastReaimTheRate) {
  for (const auto& [stepsToGo, rateAfter] : {std::pair{0, 1000.0}, std::pair{4, 64.0 / 8.0}}) {
    countsPerTick = 0;
    decelActive = 1;
    currentSpeed = 2.0;
    decelRate = 1000.0;
    paceRemainder = 0.0;
    baseCount = 60000;
    backend.counterScript = {59990};
    PaceStep(stepsToGo);
    EXPECT_EQ(currentSpeed, -8.0) << stepsToGo;
    EXPECT_EQ(decelRate, rateAfter) << stepsToGo;
  }
}

// A rate far above any real one (left by a move paced before calibration) makes the decrement
// count exceed 32 bits: it saturates, so the speed still falls instead of jumping up.
TEST_F(CoreTest, OversizedDecrementSaturates) {
  countsPerTick = 1;
  decelActive = 1;
  currentSpeed = 1e7;
  decelRate = 1e15;
  baseCount = 60000;
  backend.counterScript = {59000};
  PaceStep(0);
  EXPECT_EQ(currentSpeed, 1e7 - 2147483647.0);
}

TEST_F(CoreTest, DeceleratingStepFromZeroSpeedRestartsAtStartSpeed) {
  countsPerTick = 0;
  decelActive = 1;
  currentSpeed = -3.0;
  decelRate = 7.0;
  paceRemainder = 123.0;
  PaceStep(5);
  EXPECT_EQ(currentSpeed, 300.0);
  EXPECT_EQ(decelRate, 7.0);
  EXPECT_EQ(paceRemainder, 123.0);
}

TEST_F(CoreTest, PacingOnClosedChannelEndsAfterOneReading) {
  ClosePortDevice();
  countsPerTick = 1;
  currentSpeed = 300.0;
  baseCount = 0x4040;  // the reading every failed read gives: nothing has elapsed
  test::StdoutCapture capture;
  PaceStep(5);
  const std::string text = capture.Text();
  EXPECT_EQ(text,
            "Error occured during outportb while talking to PortTalk driver 6\n"
            "Error occured during inportb while talking to PortTalk driver 6\n"
            "Error occured during inportb while talking to PortTalk driver 6\n");
  EXPECT_EQ(baseCount, 0x4040);
}

TEST_F(CoreTest, PacingOnStuckCounterGivesUpWithOneLine) {
  countsPerTick = 1;
  currentSpeed = 300.0;
  backend.recording = false;
  backend.runningCount = 777;
  baseCount = 777;
  test::StdoutCapture capture;
  PaceStep(5);
  EXPECT_EQ(backend.counterValues.size(), 1u + 65536u);
  PaceStep(5);
  EXPECT_EQ(capture.Text(),
            "Timer: counter 0 showed one value for 65536 readings; wait ended early.\n");
  EXPECT_EQ(backend.counterValues.size(), 2u * (1u + 65536u));  // the line once, each wait whole
  EXPECT_EQ(paceRemainder, 0.0);
}

// A whole move under a free-running counter: the speed starts at startSpeed, rises while the
// ramps run, and the deceleration phase begins at decelDistance and never turns back.
TEST_F(CoreTest, ProfileOfALongMoveRisesCruisesAndFalls) {
  countsPerTick = 1;
  backend.recording = false;
  backend.runningStep = 400;
  PlanRamp(2000);
  double previous = currentSpeed;
  double peak = currentSpeed;
  int firstDecelStep = -1;
  for (std::int32_t stepsToGo = 1999; stepsToGo >= 0; --stepsToGo) {
    const std::uint8_t wasDecelerating = decelActive;
    PaceStep(stepsToGo);
    if (decelActive && !wasDecelerating) firstDecelStep = stepsToGo;
    if (decelActive) {
      EXPECT_LE(currentSpeed, previous) << stepsToGo;
    } else {
      EXPECT_GE(currentSpeed, previous) << stepsToGo;
    }
    peak = std::max(peak, currentSpeed);
    previous = currentSpeed;
  }
  EXPECT_EQ(firstDecelStep, 250);
  EXPECT_GE(peak, 500.0);
  EXPECT_LT(peak, 503.0);
  EXPECT_LT(currentSpeed, 60.0);
}

}  // namespace
