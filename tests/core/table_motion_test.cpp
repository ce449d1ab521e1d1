// Moves and reference runs through the entries on the simulated table (virtual clock), judged by
// what the table itself saw: exact end positions and no fault, an X-Y path on its line, the ramp's
// shape, a move's duration against the intervals the pacing chose, and homing onto the switches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "entry/entry.h"
#include "motion/ramp.h"
#include "motion/reference.h"
#include "sim/table_model.h"
#include "test_support.h"
#include "timing/timer.h"

namespace {

// One step as the table saw it, with the speed the library was about to pace it at.
struct StepSample {
  std::uint64_t tick;
  sim::Axis axis;
  std::int32_t position;
  double pacedSpeed;
};

class StepRecorder final : public sim::TableEvents {
 public:
  void OnStep(std::uint64_t tick, sim::Axis axis, int, std::int32_t position) override {
    // A cycle's step bytes are written before its PaceStep, so currentSpeed is this cycle's speed.
    steps.push_back({tick, axis, position, currentSpeed});
  }
  std::vector<StepSample> steps;
};

class TableBackend final : public sim::PortBackend {
 public:
  TableBackend(const sim::TableSettings& settings, sim::TableEvents* events)
      : model(settings, nullptr, nullptr, events) {}
  void Out(std::uint16_t port, std::uint8_t value) override { model.Out(port, value); }
  std::uint8_t In(std::uint16_t port) override { return model.In(port); }
  sim::TableModel model;
};

sim::TableSettings VirtualTable() {
  sim::TableSettings settings;
  settings.clock = sim::ClockKind::virtualTicks;
  settings.accessTicks = 2;
  return settings;
}

class TableMotionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetCore(&table);
    ASSERT_NE(Java_JavaToC_openConn(nullptr, nullptr), 255);
    ASSERT_EQ(Java_JavaToC_initTimer(nullptr, nullptr), 2);
  }
  void TearDown() override {
    EXPECT_EQ(table.model.FaultCount(), 0u);
    test::ResetCore(nullptr);
  }
  std::vector<StepSample> StepsOf(sim::Axis axis) const {
    std::vector<StepSample> only;
    for (const StepSample& step : recorder.steps) {
      if (step.axis == axis) only.push_back(step);
    }
    return only;
  }

  StepRecorder recorder;
  TableBackend table{VirtualTable(), &recorder};
};

// Counts of one step interval at a speed: what the pacing waits for with countsPerTick 1.
double IntervalCounts(double speed) {
  return ((1.0 / speed) / tickSeconds) * 1;
}

TEST_F(TableMotionTest, ThreeAxisMovesEndExactlyWhereCommanded) {
  EXPECT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, 3000, -2000, 1500), 3);
  EXPECT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, -7, 2500, -31999), 3);
  EXPECT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, 40000, 5, 0), 3);  // refused: nothing moves

  EXPECT_EQ(table.model.Position(sim::axisX), 3000 - 7);
  EXPECT_EQ(table.model.Position(sim::axisY), -2000 + 2500);
  EXPECT_EQ(table.model.Position(sim::axisZ), 1500 - 31999);
  EXPECT_EQ(table.model.TotalSteps(), 3000u + 2000 + 1500 + 7 + 2500 + 31999);
}

TEST_F(TableMotionTest, XyPathStaysWithinOneStepOfTheLine) {
  constexpr std::int32_t dx = 1000;
  constexpr std::int32_t dy = -377;
  ASSERT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, dx, dy, 0), 3);

  std::int32_t x = 0;
  std::int32_t y = 0;
  for (const StepSample& step : recorder.steps) {
    (step.axis == sim::axisX ? x : y) = step.position;
    // Distance of (x, y) from the line through (0, 0) and (dx, dy), in steps.
    const double offLine = std::abs(static_cast<double>(x) * dy - static_cast<double>(y) * dx) /
                           std::hypot(static_cast<double>(dx), static_cast<double>(dy));
    ASSERT_LE(offLine, 1.0) << "at x " << x << ", y " << y;
  }
  EXPECT_EQ(x, dx);
  EXPECT_EQ(y, dy);
}

TEST_F(TableMotionTest, StepRateRampsUpCruisesAndRampsDown) {
  constexpr int steps = 3000;
  ASSERT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, steps, 0, 0), 3);
  const std::vector<StepSample> x = StepsOf(sim::axisX);
  ASSERT_EQ(x.size(), static_cast<std::size_t>(steps));

  // Rate between step i and i + 1, as the table saw it.
  std::vector<double> rate;
  for (std::size_t i = 1; i < x.size(); ++i) {
    rate.push_back(1.0 / ((x[i].tick - x[i - 1].tick) * tickSeconds));
  }
  const double start = motionParams.startSpeed;
  const double top = *std::max_element(rate.begin(), rate.end());
  // The first interval is paced at the start speed (a poll is 6 ticks of the ~3978 it takes).
  EXPECT_NEAR(rate.front(), start, start * 0.01);
  // It cruises no faster than the maximum plus the overshoot of one whole-number update (a few
  // steps/s), and gets there: 1250 steps accelerate from 300 to 500 at 100 steps/s^2.
  EXPECT_GT(top, motionParams.maxSpeed * 0.98);
  EXPECT_LT(top, (motionParams.maxSpeed + 5) * 1.01);
  // Ramp down over the last 250 steps: the last interval is about the slowest of the move.
  EXPECT_LT(rate.back(), start);
  EXPECT_LE(rate.back(), *std::min_element(rate.begin(), rate.end()) * 1.01);
  // The speed the library paced at never falls while accelerating and never rises once it falls.
  std::size_t i = 1;
  while (i < x.size() && x[i].pacedSpeed >= x[i - 1].pacedSpeed) ++i;
  for (; i < x.size(); ++i) ASSERT_LE(x[i].pacedSpeed, x[i - 1].pacedSpeed) << "step " << i;
}

TEST_F(TableMotionTest, MoveTakesItsPlannedIntervalsPlusLessThanAPollEach) {
  constexpr int steps = 1800;
  ASSERT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, steps, steps / 3, 0), 3);
  const std::vector<StepSample> x = StepsOf(sim::axisX);
  ASSERT_EQ(x.size(), static_cast<std::size_t>(steps));

  // From the first X step to the last, each wait ran its interval from the reading that ended the
  // previous one, and overran it by less than one counter poll (three accesses, 6 ticks).
  double plannedCounts = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) plannedCounts += IntervalCounts(x[i].pacedSpeed);
  const double actualTicks = static_cast<double>(x.back().tick - x.front().tick);
  constexpr double pollTicks = 6.0;
  EXPECT_GE(actualTicks, plannedCounts - pollTicks);
  EXPECT_LE(actualTicks, plannedCounts + pollTicks * steps);
}

TEST_F(TableMotionTest, ReferenceRunHomesEachAxisOnItsSwitchPlusBackOff) {
  Java_JavaToC_reference(nullptr, nullptr, 25, 40, -12);
  EXPECT_EQ(referenceActive, 0);
  EXPECT_EQ(table.model.Position(sim::axisX), sim::defaultLimitX + 25);
  EXPECT_EQ(table.model.Position(sim::axisY), sim::defaultLimitY + 40);
  EXPECT_EQ(table.model.Position(sim::axisZ), sim::defaultLimitZ - 12);
}

TEST_F(TableMotionTest, ReferenceRunFromASwitchLeavesItFirst) {
  ASSERT_EQ(Java_JavaToC_vectorOut(nullptr, nullptr, 0, -160, 0), 3);  // Y past its switch
  Java_JavaToC_reference(nullptr, nullptr, 0, 30, 0);
  // The leave move (0, 30, 0) took Y off the switch; the Y stage then crept back onto it.
  EXPECT_EQ(table.model.Position(sim::axisY), sim::defaultLimitY + 30);
  EXPECT_EQ(table.model.Position(sim::axisX), 0);
  EXPECT_EQ(table.model.Position(sim::axisZ), 0);
}

}  // namespace
