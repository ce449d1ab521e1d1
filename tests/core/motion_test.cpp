// Driver board output and vector move: the latch write sequence and auxiliary states, then the
// move's latch stream (lead choice, follower distribution, z codes, refusals, phase wraps).
// Pacing is instantaneous here (countsPerTick 0) unless a wait is what is being checked.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <set>

#include "motion/board.h"
#include "motion/reference.h"
#include "motion/vector.h"
#include "test_support.h"
#include "timing/timer.h"

namespace {

using test::CoreTest;
using test::PortOp;
using Bytes = std::vector<std::uint8_t>;

bool IsWrite(const PortOp& op, std::uint16_t port, std::uint8_t value) {
  return !op.isRead && op.port == port && op.value == value;
}

TEST_F(CoreTest, WriteLatchPutsDataSettlesThenPulsesTheStrobe) {
  countsPerTick = 2;
  backend.runningCount = 1000;
  backend.runningStep = 1;
  WriteLatch(0x27);

  const auto& ops = backend.ops;
  ASSERT_GE(ops.size(), 4u);
  EXPECT_TRUE(IsWrite(ops.front(), test::dataPort, 0x27));
  EXPECT_TRUE(IsWrite(ops[ops.size() - 2], test::controlPort, 1));
  EXPECT_TRUE(IsWrite(ops.back(), test::controlPort, 0));
  const std::vector<PortOp> between(ops.begin() + 1, ops.end() - 2);
  EXPECT_EQ(static_cast<std::size_t>(test::CounterReadings(between)) * 3, between.size());
  const auto values = test::CounterValuesFrom(ops, 0);
  EXPECT_EQ(values.front() - values.back(), 238);  // 119 ticks at 2 counts a tick
}

TEST_F(CoreTest, AuxiliaryStatesWriteTheirByteThenWaitAbout165Milliseconds) {
  countsPerTick = 1;
  backend.runningStep = 1000;
  for (const auto& [setState, byte] :
       {std::pair{&SetAuxState0, 0x9B}, std::pair{&SetAuxState1, 0x87}}) {
    backend.ops.clear();
    setState();
    EXPECT_EQ(test::LatchBytes(backend.ops), Bytes{static_cast<std::uint8_t>(byte)});
    const auto after = test::CounterValuesFrom(backend.ops, test::LastStrobeIndex(backend.ops));
    ASSERT_FALSE(after.empty());
    const std::int64_t elapsed = (after.size() - 1) * std::int64_t{1000};
    EXPECT_GE(elapsed, 196897);
    EXPECT_LT(elapsed, 196897 + 1000 + 5);
  }
}

TEST_F(CoreTest, WorkedExampleFromPhaseZero) {
  const std::uint8_t result = MoveVector(2, -1, 0);
  EXPECT_EQ(result, 3);
  EXPECT_EQ(test::LatchBytes(backend.ops), (Bytes{0x2D, 0x69, 0x1C, 0x1E, 0x72, 0xB7}));
  EXPECT_EQ(phaseX, 2);
  EXPECT_EQ(phaseY, 7);
  EXPECT_EQ(phaseZ, 0);
  // Two readings per latch write, one for PlanRamp and one per paced cycle.
  EXPECT_EQ(test::CounterReadings(backend.ops), 2 * 6 + 1 + 2);
}

struct ZCase {
  const char* name;
  std::int32_t x, y, z;
  std::uint8_t result;
  Bytes latch;
};

class MoveVectorZTest : public CoreTest, public ::testing::WithParamInterface<ZCase> {};

TEST_P(MoveVectorZTest, ResultAndLatchBytes) {
  const ZCase& c = GetParam();
  const std::uint8_t result = MoveVector(c.x, c.y, c.z);
  EXPECT_EQ(result, c.result);
  const Bytes latch = test::LatchBytes(backend.ops);
  EXPECT_EQ(latch, c.latch);
  const bool stepped = std::any_of(latch.begin(), latch.end(), [](std::uint8_t b) {
    return std::find(stepPatterns, stepPatterns + 8, b & 0x3F) != stepPatterns + 8;
  });
  if (!stepped) {  // no PlanRamp, no PaceStep: only settle and auxiliary-state waits read the
                   // counter
    const auto aux = std::count_if(latch.begin(), latch.end(), [](std::uint8_t b) {
      return b == auxState0Byte || b == auxState1Byte;
    });
    EXPECT_EQ(test::CounterReadings(backend.ops), 2 * static_cast<int>(latch.size() + aux));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, MoveVectorZTest,
    ::testing::Values(ZCase{"Nothing", 0, 0, 0, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"AuxState1", 0, 0, 32000, 1, {135, 0x37, 0x77}},
                      ZCase{"AuxState0", 0, 0, -32000, 0, {155, 0x37, 0x77}},
                      ZCase{"KeepZLatch", 0, 0, 32222, 2, {0x37, 0x77}},
                      ZCase{"KeepZLatchWithXMove", 2, 0, 32222, 2, {0x2D, 0x1C, 0x1E, 0x77}},
                      ZCase{"AuxThenXMove", 1, 0, 32000, 1, {135, 0x2D, 0x36, 0x77}},
                      ZCase{"AuxThenRefusedMove", 40000, 0, 32000, 1, {135, 0x37, 0x77}},
                      ZCase{"ZAboveCodesRefusesAll", 10, 0, 40000, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"ZBelowCodesRefusesAll", 10, 0, -40000, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"ZJustAboveAuxRefusesAll", 0, 10, 32001, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"ZJustBelowAuxRefusesAll", 0, 10, -32001, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"X32000Refused", 32000, 0, 0, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"XMinus32000Refused", -32000, 0, 0, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"XIntMinRefused", INT_MIN, 0, 0, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"YIntMinRefused", 5, INT_MIN, 3, 3, {0x37, 0x77, 0xB7}},
                      ZCase{"ZLeadsDown", 0, 0, -3, 3, {0xA9, 0xB8, 0x89, 0x37, 0x77, 0x92}}),
    test::CaseName());

TEST_F(CoreTest, AuxiliaryStateStaysOnZLatchUntilAnOrdinaryZ) {
  EXPECT_EQ(MoveVector(0, 0, 32000), 1);
  EXPECT_EQ(MoveVector(0, 0, 32222), 2);
  EXPECT_EQ(test::LastZLatchByte(test::LatchBytes(backend.ops)), 135);
  EXPECT_EQ(MoveVector(0, 0, 0), 3);
  EXPECT_EQ(test::LastZLatchByte(test::LatchBytes(backend.ops)), 0xB7);
}

TEST_F(CoreTest, LongestAllowedMoveRunsAndLeavesThePhase) {
  backend.recording = false;
  for (const auto& [x, phase] : {std::pair{31999, 7}, std::pair{-31999, 0}}) {
    EXPECT_EQ(MoveVector(x, 0, 0), 3);
    EXPECT_EQ(phaseX, phase) << x;
  }
  // Per move: PlanRamp's reading, two settle readings and one pacing reading per step, 3 holds.
  EXPECT_EQ(backend.counterValues.size(), 2u * (1 + 31999 * 3 + 3 * 2));
}

TEST_F(CoreTest, TiesGoToXThenY) {
  MoveVector(5, 5, 5);
  const auto all = test::DecodeMoves(test::LatchBytes(backend.ops));
  ASSERT_EQ(all.size(), 1u);
  Bytes axes;
  for (const std::uint8_t b : all[0].stepBytes) axes.push_back(b >> 6);
  EXPECT_EQ(axes, (Bytes{0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}));

  backend.ops.clear();
  MoveVector(3, 5, 5);  // Y leads, X first and Z second follower
  const auto yLead = test::DecodeMoves(test::LatchBytes(backend.ops), 5, 5, 5);
  ASSERT_EQ(yLead.size(), 1u);
  EXPECT_EQ(test::Describe(yLead), "(3,5,5)+zhold");
  axes.clear();
  for (const std::uint8_t b : yLead[0].stepBytes) axes.push_back(b >> 6);
  EXPECT_EQ(axes, (Bytes{1, 0, 2, 1, 2, 1, 0, 2, 1, 0, 2, 1, 2}));
}

struct Distribution {
  std::int32_t lead, first, second;
};

class FollowerDistributionTest : public CoreTest,
                                 public ::testing::WithParamInterface<Distribution> {};

// Cycle (from 1) of every step of each axis; the j-th of d follower steps falls in cycle
// ceil(j * M / d) - 1, so never in the last one; within a cycle the first follower steps first.
TEST_P(FollowerDistributionTest, FollowerStepsFallInTheirCycles) {
  const auto [m, d1, d2] = GetParam();
  MoveVector(m, d1, d2);
  std::vector<int> cycles[3];
  int cycle = 0;
  int lastAxis = -1;
  for (const std::uint8_t b : test::LatchBytes(backend.ops)) {
    const int axis = b >> 6;
    if (std::find(stepPatterns, stepPatterns + 8, b & 0x3F) == stepPatterns + 8) break;
    if (axis == 0) {
      cycle++;
    } else {
      EXPECT_GT(axis, lastAxis) << "follower order in cycle " << cycle;
    }
    lastAxis = axis;
    cycles[axis].push_back(cycle);
  }
  for (const auto& [axis, d] : {std::pair{1, d1}, std::pair{2, d2}}) {
    std::vector<int> expected;
    for (int j = 1; j <= d; ++j) {
      expected.push_back(d == m ? j : static_cast<int>(std::ceil(double(j) * m / d)) - 1);
    }
    EXPECT_EQ(cycles[axis], expected) << "axis " << axis << " M " << m << " d " << d;
  }
  EXPECT_EQ(cycles[0].size(), static_cast<std::size_t>(m));
}

INSTANTIATE_TEST_SUITE_P(Moves, FollowerDistributionTest,
                         ::testing::Values(Distribution{10, 3, 5}, Distribution{10, 5, 3},
                                           Distribution{7, 1, 6}, Distribution{13, 4, 12},
                                           Distribution{100, 37, 99}, Distribution{9, 9, 0},
                                           Distribution{1, 1, 1}, Distribution{2, 0, 1}));

struct WrapCase {
  std::int32_t x, y, z;
  std::uint8_t startPhase;
  std::uint8_t stepByte;
  std::uint8_t endPhase;
};

class PhaseWrapTest : public CoreTest, public ::testing::WithParamInterface<WrapCase> {};

TEST_P(PhaseWrapTest, WrapsBothWays) {
  const WrapCase& c = GetParam();
  phaseX = phaseY = phaseZ = c.startPhase;
  MoveVector(c.x, c.y, c.z);
  EXPECT_EQ(test::LatchBytes(backend.ops).front(), c.stepByte);
  const std::uint8_t phase = c.x != 0 ? phaseX : c.y != 0 ? phaseY : phaseZ;
  EXPECT_EQ(phase, c.endPhase);
}

// Up from 7 and down from 0 (Z down from 0 is ZLeadsDown above).
INSTANTIATE_TEST_SUITE_P(Steps, PhaseWrapTest,
                         ::testing::Values(WrapCase{1, 0, 0, 7, 0x27, 0},
                                           WrapCase{-1, 0, 0, 0, 0x29, 7},
                                           WrapCase{0, -1, 0, 0, 0x69, 7},
                                           WrapCase{0, 0, 1, 7, 0xA7, 0}));

// During a reference run each auxiliary code is applied by the vector move once per process;
// outside one, every time.
TEST_F(CoreTest, AuxiliaryCodesDuringReferenceRunApplyOncePerProcess) {
  for (const auto& [z, byte, code] : {std::tuple{-32000, 155, 0}, std::tuple{32000, 135, 1}}) {
    referenceActive = 1;
    backend.ops.clear();
    EXPECT_EQ(MoveVector(0, 0, z), code);
    EXPECT_EQ(MoveVector(0, 0, z), 3);
    EXPECT_EQ(test::LatchBytes(backend.ops),
              (Bytes{static_cast<std::uint8_t>(byte), 0x37, 0x77, 0x37, 0x77}));

    referenceActive = 0;
    backend.ops.clear();
    EXPECT_EQ(MoveVector(0, 0, z), code);
    EXPECT_EQ(test::LatchBytes(backend.ops), (Bytes{static_cast<std::uint8_t>(byte), 0x37, 0x77}));
  }
  EXPECT_EQ(refAux0Done, 1);
  EXPECT_EQ(refAux1Done, 1);
}

}  // namespace
