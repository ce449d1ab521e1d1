// The planner by invariant: the calls' steps add up to the rounded absolute end points, no call
// reaches 32000 steps or lands Z on a z code, arcs end on their end points and stay within
// tolerance, soft limits refuse the whole job, and the auxiliary state rides on the z codes.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <sstream>

#include "plan/planner.h"
#include "report/report.h"
#include "report/script_writer.h"

namespace {

using gcode::CallKind;
using gcode::Plan;
using gcode::Purpose;

gcode::Machine TestMachine(double stepsPerMm = 20.0, double tolerance = 0.01) {
  gcode::Machine m = gcode::BuiltinMachine();
  for (auto& axis : m.axes) {
    axis.stepsPerMm = stepsPerMm;
    axis.minMm = -5000;
    axis.maxMm = 5000;
  }
  m.arcToleranceMm = tolerance;
  return m;
}

Plan PlanText(const std::string& text, const gcode::Machine& machine = TestMachine(),
              gcode::PlanOptions options = {}) {
  return gcode::PlanProgram(gcode::ParseProgram(text), machine, options);
}

// What the table does with the calls: the sum of the vectorOut distances (z codes move nothing);
// reference calls put the position to 0 (machine coordinates after homing).
std::array<std::int64_t, 3> Replay(const Plan& plan) {
  std::array<std::int64_t, 3> at{};
  for (const auto& call : plan.calls) {
    if (call.kind == CallKind::reference) {
      if (call.args[2] != 0) at[2] = 0;
      if (call.args[0] != 0) at[0] = 0;
      if (call.args[1] != 0) at[1] = 0;
    }
    if (call.kind != CallKind::vectorOut) continue;
    at[0] += call.args[0];
    at[1] += call.args[1];
    const int z = call.args[2];
    if (z != 32000 && z != -32000 && z != 32222) at[2] += z;
    EXPECT_EQ(at, call.endSteps) << "line " << call.line;
  }
  return at;
}

void ExpectCallsBelowLimit(const Plan& plan) {
  for (const auto& call : plan.calls) {
    if (call.kind != CallKind::vectorOut) continue;
    EXPECT_LT(std::abs(call.args[0]), 32000);
    EXPECT_LT(std::abs(call.args[1]), 32000);
    const int z = call.args[2];
    const bool code = z == 32000 || z == -32000 || z == 32222;
    if (code) {
      EXPECT_TRUE(call.purpose == Purpose::aux || call.purpose == Purpose::reapply || z == 32222);
      if (z != 32222) {
        EXPECT_EQ(call.args[0] | call.args[1], 0);
      }
    } else {
      EXPECT_LT(std::abs(z), 32000);
    }
  }
}

TEST(GcodePlanner, AbsoluteRoundingDoesNotDrift) {
  // 4000 segments of 0.0125 mm (a quarter step each at 20 steps/mm) out and back, mixed with
  // relative moves: rounding increments would drift by hundreds of steps.
  std::ostringstream text;
  text << "G21 G90 G1\n";
  for (int i = 1; i <= 4000; ++i) text << "X" << i * 0.0125 << " Y" << i * 0.0375 << "\n";
  text << "G91\n";
  for (int i = 0; i < 3000; ++i) text << "X-0.0166667 Z0.001\n";
  const Plan plan = PlanText(text.str());
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  const auto end = Replay(plan);
  EXPECT_EQ(end[0], std::llround((50.0 - 3000 * 0.0166667) * 20));
  EXPECT_EQ(end[1], 3000);  // 150 mm
  EXPECT_EQ(end[2], 60);    // 3 mm
  EXPECT_EQ(end, plan.endSteps);
  ExpectCallsBelowLimit(plan);
}

TEST(GcodePlanner, RoundsHalfAwayFromZero) {
  const gcode::Axis axis{20.0, -100, 100, false};
  EXPECT_EQ(gcode::MmToSteps(0.025, axis), 1);
  EXPECT_EQ(gcode::MmToSteps(-0.025, axis), -1);
  EXPECT_EQ(gcode::MmToSteps(0.0249, axis), 0);
  EXPECT_EQ(gcode::MmToSteps(0.075, axis), 2);
  const gcode::Axis inverted{20.0, -100, 100, true};
  EXPECT_EQ(gcode::MmToSteps(1.0, inverted), -20);
  EXPECT_DOUBLE_EQ(gcode::StepsToMm(-20, inverted), 1.0);
}

TEST(GcodePlanner, LongMovesSplitBelow32000) {
  // 2000 mm at 100 steps/mm: 200000 steps on X, 31999.5 on Y, Z 64000.
  const Plan plan = PlanText("G0 X2000 Y319.995 Z640\nG1 X0 Y0 Z0\n", TestMachine(100.0));
  ASSERT_TRUE(plan.ok());
  ExpectCallsBelowLimit(plan);
  EXPECT_GE(plan.vectorOutCalls, 14);
  EXPECT_EQ(Replay(plan), (std::array<std::int64_t, 3>{0, 0, 0}));
  EXPECT_EQ(plan.calls[6].endSteps[0], 200000);
  EXPECT_EQ(plan.calls[6].endSteps[1], 32000);
  EXPECT_EQ(plan.stepsPerAxis[0], 400000u);
}

TEST(GcodePlanner, ZDistanceNeverLandsOnACode) {
  // Exactly 32000 and 32222 steps of Z: split, so no call carries them as a distance.
  for (const char* text : {"G1 Z320\n", "G1 Z-320\n", "G1 Z322.22\n", "G1 X0.01 Z322.22\n"}) {
    const Plan plan = PlanText(text, TestMachine(100.0));
    ASSERT_TRUE(plan.ok());
    for (const auto& call : plan.calls) {
      EXPECT_NE(call.args[2], 32000);
      EXPECT_NE(call.args[2], -32000);
      EXPECT_NE(call.args[2], 32222);
    }
    EXPECT_EQ(Replay(plan), plan.endSteps);
  }
}

// Distance of a point from the circle (centre, radius) in the XY plane.
double OffCircle(double x, double y, double cx, double cy, double r) {
  return std::fabs(std::hypot(x - cx, y - cy) - r);
}

struct ArcCase {
  const char* text;
  double cx, cy, r;         // the true circle
  double endX, endY, endZ;  // mm
  double minSweep;          // radians the arc must at least cover
};

class GcodeArc : public testing::TestWithParam<ArcCase> {};

TEST_P(GcodeArc, EndsOnItsEndPointWithinTolerance) {
  const ArcCase& arc = GetParam();
  const gcode::Machine machine = TestMachine(200.0, 0.01);
  const Plan plan = PlanText(std::string("G21 G90 G17\nG0 X10 Y0\n") + arc.text + "\n", machine);
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  const auto end = Replay(plan);
  EXPECT_EQ(end[0], gcode::MmToSteps(arc.endX, machine.axes[0]));
  EXPECT_EQ(end[1], gcode::MmToSteps(arc.endY, machine.axes[1]));
  EXPECT_EQ(end[2], gcode::MmToSteps(arc.endZ, machine.axes[2]));
  // Every chord end is on the circle within the tolerance plus half a step's rounding; every
  // chord's middle within the tolerance too.
  const double halfStep = 0.5 * std::sqrt(2.0) / 200.0;
  int arcLine = 0;
  for (const auto& call : plan.calls) arcLine = std::max(arcLine, call.line);
  std::array<double, 2> previous{10, 0};
  int chords = 0;
  double sweep = 0;
  for (const auto& call : plan.calls) {
    if (call.line < arcLine) previous = {call.endSteps[0] / 200.0, call.endSteps[1] / 200.0};
    if (call.line != arcLine || call.kind != CallKind::vectorOut || call.purpose != Purpose::cut)
      continue;
    const double x = call.endSteps[0] / 200.0, y = call.endSteps[1] / 200.0;
    EXPECT_LE(OffCircle(x, y, arc.cx, arc.cy, arc.r), halfStep + 1e-9);
    EXPECT_LE(OffCircle((x + previous[0]) / 2, (y + previous[1]) / 2, arc.cx, arc.cy, arc.r),
              0.01 + halfStep);
    const double a0 = std::atan2(previous[1] - arc.cy, previous[0] - arc.cx);
    const double a1 = std::atan2(y - arc.cy, x - arc.cx);
    sweep += std::fabs(std::remainder(a1 - a0, 2 * std::numbers::pi));
    previous = {x, y};
    ++chords;
  }
  EXPECT_GT(chords, 0);
  EXPECT_GE(sweep, arc.minSweep - 0.01);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, GcodeArc,
    testing::Values(
        // Quarter circle counter-clockwise around the origin, by I/J and by R.
        ArcCase{"G3 X0 Y10 I-10 J0", 0, 0, 10, 0, 10, 0, std::numbers::pi / 2},
        ArcCase{"G3 X0 Y10 R10", 0, 0, 10, 0, 10, 0, std::numbers::pi / 2},
        // Clockwise the long way: three quarters, by I/J and by a negative R.
        ArcCase{"G2 X0 Y10 I-10 J0", 0, 0, 10, 0, 10, 0, 3 * std::numbers::pi / 2},
        ArcCase{"G2 X0 Y10 R-10", 0, 0, 10, 0, 10, 0, 3 * std::numbers::pi / 2},
        // Full circles both ways, with and without the end point written.
        ArcCase{"G2 X10 Y0 I-10 J0", 0, 0, 10, 10, 0, 0, 2 * std::numbers::pi},
        ArcCase{"G3 I-10", 0, 0, 10, 10, 0, 0, 2 * std::numbers::pi},
        // Helical: Z moves along the arc.
        ArcCase{"G3 X10 Y0 Z-3 I-10 J0", 0, 0, 10, 10, 0, -3, 2 * std::numbers::pi},
        // Tiny arc: 0.02 mm radius.
        ArcCase{"G1 X0.02 Y0\nG3 X0 Y0.02 I-0.02", 0, 0, 0.02, 0, 0.02, 0, 0},
        // Absolute centre (G90.1) after a G92 offset: centre at work (0,0) = machine (0,0).
        ArcCase{"G90.1 G3 X-10 Y0 I0 J0", 0, 0, 10, -10, 0, 0, std::numbers::pi}));

TEST(GcodePlanner, ArcPlanesG18AndG19) {
  const Plan zx = PlanText("G0 X10\nG18 G2 X0 Z10 I-10 K0\n");
  ASSERT_TRUE(zx.ok()) << zx.errors[0].message;
  EXPECT_EQ(Replay(zx), (std::array<std::int64_t, 3>{0, 0, 200}));
  // G18: the arc from +X to +Z clockwise (seen from +Y) passes through neither -X nor -Z.
  for (const auto& call : zx.calls) EXPECT_GE(call.endSteps[0], 0);
  const Plan yz = PlanText("G0 Y10\nG19 G3 Y0 Z10 J-10 K0\n");
  ASSERT_TRUE(yz.ok()) << yz.errors[0].message;
  EXPECT_EQ(Replay(yz), (std::array<std::int64_t, 3>{0, 0, 200}));
  for (const auto& call : yz.calls) EXPECT_GE(call.endSteps[2], 0);
}

TEST(GcodePlanner, ArcRefusals) {
  const struct {
    const char* text;
    const char* fragment;
  } cases[] = {{"G0 X10\nG2 X0 Y10 I-5 J0\n", "not on the arc"},
               {"G0 X10\nG2 X-10 Y0 R2\n", "too small"},
               {"G0 X10\nG2 X10 R5\n", "full circle"},
               {"G0 X10\nG2 X0 Y10\n", "centre"},
               {"G0 X10\nG2 X0 Y10 I-10 K1\n", "'K' is not used"},
               {"G0 X10\nG1 X0 Y10 I-10\n", "without an arc"}};
  for (const auto& c : cases) {
    const Plan plan = PlanText(c.text);
    ASSERT_EQ(plan.errors.size(), 1u) << c.text;
    EXPECT_EQ(plan.errors[0].line, 2);
    EXPECT_NE(plan.errors[0].message.find(c.fragment), std::string::npos) << plan.errors[0].message;
    EXPECT_TRUE(plan.calls.size() <= 1u);  // nothing after the refusal is kept
  }
}

TEST(GcodePlanner, ZeroStepChordsAreMerged) {
  // A 0.1 mm radius circle at 20 steps/mm: most chords round to no step at all.
  const Plan plan = PlanText("G0 X0.1\nG2 I-0.1\n");
  ASSERT_TRUE(plan.ok());
  for (const auto& call : plan.calls) {
    EXPECT_FALSE(call.args[0] == 0 && call.args[1] == 0 && call.args[2] == 0);
  }
  EXPECT_EQ(Replay(plan), (std::array<std::int64_t, 3>{2, 0, 0}));
}

TEST(GcodePlanner, SoftLimitsRefuseEveryBreachBeforeAnyCall) {
  gcode::Machine machine = gcode::BuiltinMachine();  // X, Y 0..600, Z -50..50
  const Plan plan = PlanText(
      "G0 X10 Y10\nG1 X700\nG1 X10\nG1 Z-60\nG1 Z0\nG2 X10 Y10 I-20 J0\nG0 X600.02\n"
      "G0 X600.025\n",
      machine);
  EXPECT_FALSE(plan.ok());
  EXPECT_FALSE(plan.limitsOk);
  ASSERT_EQ(plan.errors.size(), 4u);
  EXPECT_EQ(plan.errors[0].line, 2);
  EXPECT_NE(plan.errors[0].message.find("max_mm 600"), std::string::npos);
  EXPECT_EQ(plan.errors[1].line, 4);
  EXPECT_EQ(plan.errors[2].line, 6);  // a chord of the circle leaves X 0..600
  // 600.02 mm is 12000.4 steps, rounded 12000: inside; 600.025 mm rounds to 12001: beyond.
  EXPECT_EQ(plan.errors[3].line, 8);
  EXPECT_NE(plan.errors[3].message.find("12001"), std::string::npos) << plan.errors[3].message;
}

TEST(GcodePlanner, UnitsModesAndOffsets) {
  const Plan plan = PlanText(
      "G20 G0 X1\n"      // 25.4 mm
      "G21 G91 X1 Y2\n"  // +1, +2
      "G90 G92 X0 Y0\n"  // work 0 = machine 26.4, 2
      "G0 X10\n"         // machine 36.4
      "G92.1\nG0 Y0\n");
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan.endSteps, (std::array<std::int64_t, 3>{728, 0, 0}));
  EXPECT_EQ(Replay(plan), plan.endSteps);
}

TEST(GcodePlanner, AuxStateRidesOnZCodes) {
  const Plan plan = PlanText("G0 X1\nM3\nG1 X2\nG1 Z-1\nG1 X3 Z-2\nM5\nG0 X0\nG1 Z0\n");
  ASSERT_TRUE(plan.ok());
  std::vector<std::array<std::int32_t, 3>> args;
  for (const auto& call : plan.calls) args.push_back(call.args);
  const std::vector<std::array<std::int32_t, 3>> expected = {
      {20, 0, 0},                                      // before any M3: Z hold pattern written
      {0, 0, 32000},                                   // M3
      {20, 0, 32222},                                  // X only: the state stays on the Z latch
      {0, 0, -20},                                     // Z move replaces it...
      {0, 0, 32000},                                   // ...so it is applied again
      {20, 0, -20},    {0, 0, 32000}, {0, 0, -32000},  // M5
      {-60, 0, 32222}, {0, 0, 40},    {0, 0, -32000}};
  EXPECT_EQ(args, expected);
  EXPECT_EQ(plan.reapplications, 3);
}

TEST(GcodePlanner, HomeNeverPassesAuxCodesToReference) {
  // --home: the reference run before the first line, Z alone first, then X and Y.
  gcode::PlanOptions home;
  home.home = true;
  const Plan plan = PlanText("M4\nG0 X5 Z5\nG0 X1\n", TestMachine(), home);
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  ASSERT_GE(plan.calls.size(), 3u);
  EXPECT_EQ(plan.calls[0].args, (std::array<std::int32_t, 3>{0, 0, 20}));
  EXPECT_EQ(plan.calls[1].args, (std::array<std::int32_t, 3>{50, 50, 0}));
  EXPECT_EQ(plan.calls[0].line, 1);
  EXPECT_EQ(plan.calls[2].args, (std::array<std::int32_t, 3>{0, 0, 32000}));  // M4 after it
  EXPECT_EQ(plan.referenceCalls, 2);
  EXPECT_EQ(plan.endSteps, (std::array<std::int64_t, 3>{20, 0, 100}));

  // Resuming with an auxiliary state selected: it is never passed to reference, only applied
  // again after the approach.
  gcode::PlanOptions resume;
  resume.fromLine = 3;
  const Plan resumed = PlanText("M4\nG0 X5 Z5\nG0 X1\n", TestMachine(), resume);
  ASSERT_TRUE(resumed.ok()) << resumed.errors[0].message;
  int references = 0;
  for (const auto& call : resumed.calls) {
    if (call.kind != CallKind::reference) continue;
    ++references;
    EXPECT_NE(std::abs(call.args[2]), 32000);
    EXPECT_NE(call.args[2], 32222);
  }
  EXPECT_EQ(references, 2);

  gcode::Machine noReference = TestMachine();
  noReference.reference.reset();
  const Plan refused = PlanText("G0 X1\n", noReference, home);
  ASSERT_EQ(refused.errors.size(), 1u);
  EXPECT_EQ(refused.errors[0].line, 0);
  EXPECT_NE(refused.errors[0].message.find("--home needs"), std::string::npos);
}

TEST(GcodePlanner, DwellPauseEndAndNotes) {
  const Plan plan = PlanText("G1 X1 F100 S2000\nG4 P1.5\nM0\nM6 T3\nM8\nM30\nG1 X500\nG81\n");
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;  // the lines after M30 are not checked
  EXPECT_EQ(plan.endLine, 6);
  EXPECT_EQ(plan.skippedLines, 2);
  int dwells = 0, pauses = 0;
  for (const auto& call : plan.calls) {
    if (call.kind == CallKind::dwell) {
      ++dwells;
      EXPECT_DOUBLE_EQ(call.seconds, 1.5);
    }
    if (call.kind == CallKind::pause) ++pauses;
  }
  EXPECT_EQ(dwells, 1);
  EXPECT_EQ(pauses, 2);
  EXPECT_GE(plan.durationSeconds, 1.5);
  EXPECT_EQ(plan.notes.size(), 4u);  // F, S, M8, lines after M30
  EXPECT_EQ(plan.endSteps[0], 20);
  // The refused line after M30 must not cost the moves before it.
  EXPECT_EQ(Replay(plan), plan.endSteps);
}

TEST(GcodePlanner, ModalRefusals) {
  const Plan plan = PlanText("X1\nG80 X1\nG4\nG1 P2\nG28 X0\nG92\nG1 G92 X1\n");
  ASSERT_EQ(plan.errors.size(), 7u);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(plan.errors[i].line, i + 1);
}

TEST(GcodePlanner, ResumeFromLineHomesAndRebuildsState) {
  const std::string text = "G0 Z5\nG0 X10 Y10\nM3\nG1 Z-1\nG1 X20\nG1 Y20\nG0 Z5\n";
  gcode::PlanOptions options;
  options.fromLine = 6;
  const Plan resumed = PlanText(text, TestMachine(), options);
  ASSERT_TRUE(resumed.ok()) << resumed.errors[0].message;
  ASSERT_GE(resumed.calls.size(), 6u);
  EXPECT_EQ(resumed.calls[0].kind, CallKind::reference);
  EXPECT_EQ(resumed.calls[1].kind, CallKind::reference);
  EXPECT_EQ(resumed.calls[2].args, (std::array<std::int32_t, 3>{0, 0, 100}));    // Z up to 5
  EXPECT_EQ(resumed.calls[3].args, (std::array<std::int32_t, 3>{400, 200, 0}));  // X20 Y10
  EXPECT_EQ(resumed.calls[4].args, (std::array<std::int32_t, 3>{0, 0, -120}));   // Z down to -1
  EXPECT_EQ(resumed.calls[5].args, (std::array<std::int32_t, 3>{0, 0, 32000}));  // M3 again
  EXPECT_EQ(resumed.endSteps, PlanText(text).endSteps);
  EXPECT_EQ(Replay(resumed), resumed.endSteps);

  gcode::Machine noReference = TestMachine();
  noReference.reference.reset();
  EXPECT_FALSE(PlanText(text, noReference, options).ok());
  options.fromLine = 99;
  EXPECT_FALSE(PlanText(text, TestMachine(), options).ok());
  options.fromLine = 3;
  EXPECT_FALSE(PlanText("G0 X1\nM2\nG0 X2\nG0 X3\n", TestMachine(), options).ok());
}

TEST(GcodePlanner, DurationEstimateFollowsTheRamp) {
  gcode::DurationModel model;
  // One step at 300 steps/s, plus the hold writes.
  EXPECT_NEAR(model.MoveSeconds(1, false, true), 1.0 / 300, 0.0005);
  // A long move cruises at 500 steps/s after 1250 steps of ramp: 31999 steps take about 64.9 s.
  const double seconds = model.MoveSeconds(31999, false, true);
  EXPECT_GT(seconds, 31999 / 500.0);
  EXPECT_LT(seconds, 31999 / 500.0 + 3.0);
  // The auxiliary state's wait is 0.165 s.
  EXPECT_NEAR(model.MoveSeconds(0, true, false), 0.165, 0.001);
  gcode::Profile slow;
  slow.startSpeed = 200;
  EXPECT_GT(gcode::DurationModel(slow).MoveSeconds(100, false, true),
            model.MoveSeconds(100, false, true));
}

TEST(GcodeOutput, ScriptAndReport) {
  const Plan plan = PlanText("G0 X1\nG4 P2\nM0\nM3\nG1 X2\n");
  std::ostringstream script;
  gcode::WriteCallScript(plan, "job.nc", script);
  const std::string text = script.str();
  EXPECT_NE(text.find("openConn\ninitTimer\nvectorOut 20 0 0  # line 1\n"), std::string::npos);
  EXPECT_NE(text.find("# line 2: dwell 2 s"), std::string::npos);
  EXPECT_NE(text.find("vectorOut 0 0 32000  # line 4\nvectorOut 20 0 32222  # line 5\ncloseConn\n"),
            std::string::npos);

  gcode::RunOutcome outcome;
  outcome.callsDone = 1;
  outcome.interrupted = true;
  outcome.exitCode = 130;
  const auto report = gcode::MakeReport("job.nc", TestMachine(), plan, outcome);
  EXPECT_EQ(report["file"], "job.nc");
  EXPECT_EQ(report["status"], "interrupted");
  EXPECT_EQ(report["interrupted"], true);
  EXPECT_EQ(report["calls"], 3);
  EXPECT_EQ(report["calls_made"], 1);
  EXPECT_EQ(report["end"]["steps"]["x"], 20);
  EXPECT_DOUBLE_EQ(report["end"]["mm"]["x"].get<double>(), 1.0);
  EXPECT_EQ(report["lines"], 5);
  EXPECT_TRUE(report["errors"].empty());
  EXPECT_EQ(report["limits_ok"], true);
  for (const char* key : {"machine", "moves", "duration_s", "notes"})
    EXPECT_TRUE(report.contains(key));
}

}  // namespace
