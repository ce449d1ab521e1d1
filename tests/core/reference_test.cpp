// Reference run: status reads, the creep and its limit, stage order and arguments, the leave move,
// which z values reference Z or select an auxiliary state, and what the Z latch holds at the end.
// The moves are recovered from the latch stream; pacing is instantaneous (countsPerTick 0).
#include "motion/reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "motion/vector.h"
#include "port/port_channel.h"
#include "test_support.h"
#include "timing/timer.h"

namespace {

using test::CoreTest;

constexpr std::uint8_t released = 0x80;
constexpr std::uint8_t engaged = 0x7F;  // every bit but 7: only bit 7 is the input

// Limit readings, one letter each: R released, E engaged; `after` once the script is used up.
void ScriptLimit(test::ScriptedBackend& backend, const std::string& letters, char after) {
  backend.limitScript.clear();
  for (const char c : letters) backend.limitScript.push_back(c == 'R' ? released : engaged);
  backend.limitAfterScript = after == 'R' ? released : engaged;
}

std::string Moves(const test::ScriptedBackend& backend) {
  return test::Describe(test::DecodeMoves(test::LatchBytes(backend.ops)));
}

struct RunCase {
  const char* name;
  std::int32_t x, y, z;
  const char* limit;
  char limitAfter;
  int limitReads;
  const char* moves;
};

class ReferenceRunTest : public CoreTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(ReferenceRunTest, MovesAndStatusReads) {
  const RunCase& c = GetParam();
  ScriptLimit(backend, c.limit, c.limitAfter);
  int readsWhileInactive = 0;
  backend.onLimitRead = [&] { readsWhileInactive += referenceActive != 1; };
  ReferenceRun(c.x, c.y, c.z);
  EXPECT_EQ(Moves(backend), c.moves);
  EXPECT_EQ(backend.limitReads, c.limitReads);
  EXPECT_EQ(readsWhileInactive, 0);
  EXPECT_EQ(referenceActive, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ReferenceRunTest,
    ::testing::Values(
        RunCase{"NothingReleased", 0, 0, 0, "", 'R', 1, ""},
        RunCase{"NothingEngagedLeavesOnly", 0, 0, 0, "", 'E', 1, "(0,0,0)+zhold"},
        RunCase{"SevenCreepSteps", 100, 0, 0, "RRRRRRRR", 'E', 9,
                "7*(-1,0,0)+zhold (100,0,0)+zhold"},
        RunCase{"EngagedAtStartLeavesThenXYZ", 10, 20, 30, "", 'E', 4,
                "(10,20,30)+zhold (10,0,0)+zhold (0,20,0)+zhold (0,0,30)+zhold"},
        RunCase{"YThenZ", 0, 50, 20, "RRRERRE", 'E', 7,
                "2*(0,-1,0)+zhold (0,50,0)+zhold 2*(0,0,-1)+zhold (0,0,20)+zhold"},
        RunCase{"XThenZ", 50, 0, 20, "RRE", 'E', 4, "(-1,0,0)+zhold (50,0,0)+zhold (0,0,20)+zhold"},
        RunCase{"BackOffTooFarMakesNoStep", 40000, 0, 0, "RRR", 'E', 4,
                "2*(-1,0,0)+zhold (0,0,0)+zhold"},
        RunCase{"NegativeBackOffPassedOn", -5, 0, 0, "RR", 'E', 3, "(-1,0,0)+zhold (-5,0,0)+zhold"},
        RunCase{"Z31999IsReferenced", 1, 0, 31999, "R", 'E', 3, "(1,0,0)+zhold (0,0,31999)+zhold"},
        RunCase{"ZMinus31999IsReferenced", 1, 0, -31999, "R", 'E', 3,
                "(1,0,0)+zhold (0,0,-31999)+zhold"},
        RunCase{"Z32000SelectsAuxNotZ", 1, 0, 32000, "R", 'E', 2, "aux155 aux135 (1,0,0)"},
        RunCase{"ZMinus32000SelectsAuxNotZ", 1, 0, -32000, "R", 'E', 2, "aux135 aux155 (1,0,0)"},
        RunCase{"Z32001NeitherReferencesNorSelects", 1, 0, 32001, "R", 'E', 2, "(1,0,0)+zhold"},
        RunCase{"ZMinus32001NeitherReferencesNorSelects", 1, 0, -32001, "R", 'E', 2,
                "(1,0,0)+zhold"},
        RunCase{"Z32222CarriesNothing", 1, 0, 32222, "E", 'E', 2, "(1,0,0) (1,0,0)+zhold"},
        // The leave move passes the code on before the run's own auxiliary write.
        RunCase{"AuxCodeWithInputEngagedAtStart", 10, 0, 32000, "E", 'E', 2,
                "aux135 (10,0,0) aux155 (10,0,0)"}),
    test::CaseName());

TEST_F(CoreTest, CreepNeverEngagingStopsAt32000Steps) {
  ScriptLimit(backend, "", 'R');
  ReferenceRun(3, 0, 0);
  EXPECT_EQ(Moves(backend), "32000*(-1,0,0)+zhold (3,0,0)+zhold");
  EXPECT_EQ(backend.limitReads, 1 + 1 + 32000);
  EXPECT_EQ(phaseX, 3);
}

// The run's own write for +32000 is state 0 (155); the vector move applies state 1 (135) for the
// same code, but only in the first reference run of the process that passes it on.
TEST_F(CoreTest, AuxCodeLeavesTheZLatchAt135FirstAndAt155Later) {
  for (const int expected : {135, 155}) {
    backend.ops.clear();
    ScriptLimit(backend, "RRE", 'E');
    ReferenceRun(10, 0, 32000);
    EXPECT_EQ(test::LastZLatchByte(test::LatchBytes(backend.ops)), expected);
  }
  EXPECT_EQ(phaseZ, 0);
}

TEST_F(CoreTest, PauseFollowsEveryBackOff) {
  countsPerTick = 1;
  backend.runningStep = 1000;
  ScriptLimit(backend, "R", 'E');
  ReferenceRun(2, 3, 0);
  // After the last back-off only the pause reads the counter.
  const auto pause = test::CounterValuesFrom(backend.ops, test::LastStrobeIndex(backend.ops));
  ASSERT_FALSE(pause.empty());
  const std::int64_t elapsed = (pause.size() - 1) * std::int64_t{1000};
  EXPECT_GE(elapsed, 656324);
  EXPECT_LT(elapsed, 656324 + 1000 + 12);
  EXPECT_EQ(Moves(backend), "(2,0,0)+zhold (0,3,0)+zhold");
  // Two pauses of about 656 readings each, plus the settle and reference-speed step waits.
  EXPECT_GT(test::CounterReadings(backend.ops), 2 * 656);
}

// On a closed channel every read gives the port's low byte: 0xBD, bit 7 set, so the input reads
// released, and every wait ends at once instead of spinning on a counter that cannot move.
TEST_F(CoreTest, MoveOnClosedChannelEndsWithOneLinePerPortOperation) {
  ClosePortDevice();
  countsPerTick = 1;
  test::StdoutCapture capture;
  EXPECT_EQ(MoveVector(1, 0, 0), 3);
  const std::string text = capture.Text();
  // PlanRamp 3; step latch 1 + 6 (settle) + 2; pacing 3; three holds of 9 each.
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = text.find("Error occured during", at)) != std::string::npos;
       ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, 42u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 42);
  EXPECT_EQ(phaseX, 1);
}

}  // namespace
