// Lines LinuxCNC runs and the checker used to refuse, by the positions they reach: G80 beside a
// motion code, LinuxCNC's arc end-point rule on both sides of its limit, drilling cycles in G18
// and G19, G43 H0 and T0 M6, polar coordinates in moves and cycles, and one error for one fault
// (no cascade after a refused line), with each error's code.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "gcode_support.h"
#include "plan/block_checks.h"
#include "plan/modal_state.h"
#include "plan/planner.h"
#include "report/report.h"

namespace {

using gcode::CallKind;
using gcode::Plan;
using gcode::Purpose;

constexpr double stepsPerMm = 1000.0;

using test::Errors;

gcode::Machine TestMachine() {
  gcode::Machine m = test::ScaledMachine(stepsPerMm, 10000);
  m.arcToleranceMm = 0.01;
  m.toolLengths[2] = 10.0;
  return m;
}

Plan PlanText(const std::string& text) {
  return test::PlanOn(TestMachine(), text);
}

// The end of the last call, machine mm.
std::array<double, 3> EndMm(const Plan& plan) {
  return {plan.endMm[0], plan.endMm[1], plan.endMm[2]};
}

void ExpectNear(const std::array<double, 3>& got, const std::array<double, 3>& want) {
  for (int axis = 0; axis < 3; ++axis)
    EXPECT_NEAR(got[axis], want[axis], 1.5 / stepsPerMm) << "axis "
                                                         << "XYZ"[axis];
}

// The ends of the feed moves of a line, machine mm.
std::vector<std::array<double, 3>> Feeds(const Plan& plan, int line) {
  std::vector<std::array<double, 3>> feeds;
  for (const auto& call : plan.calls) {
    if (call.line != line || call.kind != CallKind::vectorOut || call.purpose != Purpose::cut)
      continue;
    feeds.push_back({call.endSteps[0] / stepsPerMm, call.endSteps[1] / stepsPerMm,
                     call.endSteps[2] / stepsPerMm});
  }
  return feeds;
}

TEST(GcodeLinuxCnc, G80BesideAMotionCodeIsIgnoredThere) {
  const Plan safety = PlanText("G80 G0 X5 Y6\nG0 G80 Z7\n");
  ASSERT_TRUE(safety.ok()) << Errors(safety);
  ExpectNear(EndMm(safety), {5, 6, 7});
  // G80 G81 runs the cycle; the line after it is still in the cycle.
  const Plan cycle = PlanText("G0 Z5\nG80 G81 X1 Y1 R2 Z-1\nX3\n");
  ASSERT_TRUE(cycle.ok()) << Errors(cycle);
  ExpectNear(EndMm(cycle), {3, 1, 2});
  // Two other codes of the motion group, or G80 twice, are still refused by the reader.
  const gcode::Program twice = gcode::ParseProgram("G0 G1 X1\nG80 G80\nG80 G0 G1 X1\n");
  ASSERT_EQ(twice.errors.size(), 3u);
  for (const auto& e : twice.errors) EXPECT_EQ(e.code, "modal-group") << e.message;
}

TEST(GcodeLinuxCnc, ArcEndPointRuleOnBothSidesOfItsLimit) {
  // r = 10 mm: T = 0.02828 mm; 0.1 % of the radius is below it, so T decides.
  const Plan inside = PlanText("G21 G0 X10 Y0\nG3 X-10.028 Y0 I-10 J0\n");
  ASSERT_TRUE(inside.ok()) << Errors(inside);
  // The arc runs to the programmed end point, its radius changing along the way.
  ExpectNear(EndMm(inside), {-10.028, 0, 0});
  const Plan outside = PlanText("G21 G0 X10 Y0\nG3 X-10.029 Y0 I-10 J0\n");
  ASSERT_EQ(outside.errors.size(), 1u) << Errors(outside);
  EXPECT_EQ(outside.errors[0].code, "arc-end-off-circle");
  // r = 100 mm: 0.09 mm apart is within 0.1 % of the radius; 0.11 mm is not.
  EXPECT_TRUE(PlanText("G0 X100\nG3 X-100.09 I-100\n").ok());
  EXPECT_FALSE(PlanText("G0 X100\nG3 X-100.11 I-100\n").ok());
  // r = 5000 mm: 3 mm is within 0.1 % but beyond 100 x T.
  EXPECT_FALSE(PlanText("G0 X5000\nG3 X-5003 I-5000\n").ok());
  // G20: T is 0.002828 in (an inch post rounding to 0.001 in passes).
  EXPECT_TRUE(PlanText("G20 G0 X1\nG3 X-1.0028 I-1\n").ok());
  EXPECT_FALSE(PlanText("G20 G0 X1\nG3 X-1.0029 I-1\n").ok());
  // The chord tolerance of the machine file no longer decides: 0.02 mm off at 0.01 mm chords.
  EXPECT_TRUE(PlanText("G0 X10\nG2 X0 Y10.02 I-10\n").ok());
}

TEST(GcodeLinuxCnc, DrillingCyclesInG18AndG19DrillAlongTheThirdAxis) {
  // G18: X and Z over the hole, drilling along Y with R and the bottom on Y.
  const Plan zx = PlanText("G18 G0 X5 Y10 Z5\nG99 G81 X6 Z7 R2 Y-3\n");
  ASSERT_TRUE(zx.ok()) << Errors(zx);
  const auto zxFeeds = Feeds(zx, 2);
  ASSERT_EQ(zxFeeds.size(), 1u);
  ExpectNear(zxFeeds[0], {6, -3, 7});
  ExpectNear(EndMm(zx), {6, 2, 7});
  // G19: Y and Z over the hole, drilling along X; G98 returns to where X began.
  const Plan yz = PlanText("G19 G0 X10 Y1 Z1\nG98 G83 Y4 Z5 R2 X-3 Q2\n");
  ASSERT_TRUE(yz.ok()) << Errors(yz);
  const auto yzFeeds = Feeds(yz, 2);
  ASSERT_EQ(yzFeeds.size(), 3u);  // pecks to 0, -2, then the bottom
  ExpectNear(yzFeeds.back(), {-3, 4, 5});
  ExpectNear(EndMm(yz), {10, 4, 5});
  // The rules along the third axis: the bottom is needed, R must not be below it.
  const Plan noBottom = PlanText("G18 G0 Y5\nG81 X1 Z1 R2\n");
  ASSERT_EQ(noBottom.errors.size(), 1u);
  EXPECT_NE(noBottom.errors[0].message.find("needs Y"), std::string::npos);
  const Plan rBelow = PlanText("G19 G0 X5\nG81 Y1 Z1 R-4 X-2\n");
  ASSERT_EQ(rBelow.errors.size(), 1u);
  EXPECT_NE(rBelow.errors[0].message.find("below X"), std::string::npos);
}

TEST(GcodeLinuxCnc, ToolZeroHasLengthZero) {
  const Plan h0 = PlanText("G43 H2\nG43 H0\nG0 Z1\n");
  ASSERT_TRUE(h0.ok()) << Errors(h0);
  EXPECT_DOUBLE_EQ(h0.toolLengthMm, 0.0);
  ExpectNear(EndMm(h0), {0, 0, 1});
  const Plan t0 = PlanText("T0 M6\nG43\nG0 Z1\n");
  ASSERT_TRUE(t0.ok()) << Errors(t0);
  EXPECT_DOUBLE_EQ(t0.toolLengthMm, 0.0);
  // A tool the machine file does not list is still refused.
  EXPECT_FALSE(PlanText("G43 H3\n").ok());
}

TEST(GcodeLinuxCnc, PolarCoordinatesInMoves) {
  ExpectNear(EndMm(PlanText("G0 @1.5 ^0\n")), {1.5, 0, 0});
  ExpectNear(EndMm(PlanText("G0 @2 ^90\n")), {0, 2, 0});
  // About the program's origin, not the machine's.
  ExpectNear(EndMm(PlanText("G92 X0 Y0\nG0 X10 Y10\nG92 X0 Y0\nG0 @1 ^180\n")), {9, 10, 0});
  // One word keeps the other from where the tool stands.
  ExpectNear(EndMm(PlanText("G0 X3 Y4\n^0\n")), {5, 0, 0});
  ExpectNear(EndMm(PlanText("G0 X3 Y4\n@10\n")), {6, 8, 0});
  // G91: ^ turns about the origin, @ moves out along the radius.
  ExpectNear(EndMm(PlanText("G0 X1 Y0\nG91 ^90\n")), {0, 1, 0});
  ExpectNear(EndMm(PlanText("G0 X1 Y0\nG91 @1\n^180\n")), {-2, 0, 0});
  // G20: @ is in inches.
  ExpectNear(EndMm(PlanText("G20 G0 @1 ^0\n")), {25.4, 0, 0});
  const struct {
    const char* text;
    const char* fragment;
  } refused[] = {{"G1 @1 X1\n", "X or Y"},
                 {"G18 G0 @1 ^0\n", "G17"},
                 {"G91 G0 ^10\n", "indeterminate"},
                 {"G0 @1\n", "angle"},
                 {"G92 @1 ^0\n", "only by moves"}};
  for (const auto& c : refused) {
    const Plan plan = PlanText(c.text);
    ASSERT_EQ(plan.errors.size(), 1u) << c.text << Errors(plan);
    EXPECT_NE(plan.errors[0].message.find(c.fragment), std::string::npos) << Errors(plan);
  }
}

TEST(GcodeLinuxCnc, PolarBoltCircleInACycle) {
  // LinuxCNC's bolt circle: six holes 60 degrees apart on a 5 mm radius.
  const Plan plan = PlanText("G0 X0 Y0 Z1\nG0 @5 ^0\nG91 G81 R.1 Z-.5 ^60 L6\n");
  ASSERT_TRUE(plan.ok()) << Errors(plan);
  const auto holes = Feeds(plan, 3);
  ASSERT_EQ(holes.size(), 6u);
  for (std::size_t i = 0; i < holes.size(); ++i) {
    const double angle = std::numbers::pi / 3 * static_cast<double>(i + 1);
    ExpectNear(holes[i], {5 * std::cos(angle), 5 * std::sin(angle), 0.6});
  }
  // G90: the hole is at @, ^ about the origin.
  const Plan absolute = PlanText("G0 Z1\nG81 @2 ^90 R.5 Z-1\n");
  ASSERT_TRUE(absolute.ok()) << Errors(absolute);
  ExpectNear(Feeds(absolute, 2).at(0), {0, 2, -1});
}

TEST(GcodeLinuxCnc, OneFaultOneError) {
  // An arc off its circle, then 48 arcs that go on from where it ends.
  std::string text = "G0 X10 Y0\nG3 X-10.5 Y0 I-10 J0\n";
  for (int i = 0; i < 24; ++i) text += "G3 X10.5 Y0 I10.5 J0\nG3 X-10.5 Y0 I-10.5 J0\n";
  const Plan plan = PlanText(text);
  ASSERT_EQ(plan.errorCount, 1u) << Errors(plan);
  EXPECT_EQ(plan.errors[0].line, 2);
  // A line the reader refuses with an axis word: its end is not known, said once; the arcs and
  // limits that depend on it are not reported until the axis is given again.
  gcode::Machine machine = TestMachine();
  machine.axes[0].maxMm = 100;
  const Plan unknown =
      gcode::PlanProgram(gcode::ParseProgram("G0 X10 Y0\nG1 X[1/0]\nG91 G3 X-20 I-5\nG1 X500\n"
                                             "G90 G0 X10 Y0\nG3 X-10 Y0 I-15 J0\nG0 X500\n"),
                         machine);
  ASSERT_EQ(unknown.errorCount, 3u) << Errors(unknown);
  EXPECT_EQ(unknown.errors[0].line, 2);
  EXPECT_EQ(unknown.errors[0].code, "division-by-zero");
  EXPECT_EQ(unknown.errors[1].line, 6);  // X known again on line 5
  EXPECT_EQ(unknown.errors[1].code, "arc-end-off-circle");
  EXPECT_EQ(unknown.errors[2].line, 7);
  EXPECT_EQ(unknown.errors[2].code, "soft-limit");
  int unknownNotes = 0;
  for (const auto& note : unknown.notes)
    unknownNotes += note.message.find("not known") != std::string::npos ? 1 : 0;
  EXPECT_EQ(unknownNotes, 1);
  // A refused straight move still moves the checker: the next relative move is judged from it.
  const Plan after = PlanText("G0 X10\nG1 X5 I1\nG3 X-5 I-5\n");
  ASSERT_EQ(after.errorCount, 1u) << Errors(after);
  // A cycle's first line refused (no R): its later holes are not refused again one by one.
  const Plan cycle = PlanText("G0 Z5\nG81 X1 Y1 Z-1\nX2\nX3\nG80 G0 X0 Y0 Z5\nG1 X1\n");
  ASSERT_EQ(cycle.errorCount, 1u) << Errors(cycle);
  EXPECT_EQ(cycle.errors[0].code, "cycle");
}

TEST(GcodeLinuxCnc, EveryErrorHasACodeInTheReport) {
  const Plan plan = PlanText("G0 X10\nG3 X-11 I-10\nG5 X1\nG4\n");
  ASSERT_EQ(plan.errors.size(), 3u);
  gcode::RunOutcome outcome;
  outcome.refused = true;
  const nlohmann::json report = gcode::MakeReport("t.nc", TestMachine(), plan, outcome);
  ASSERT_EQ(report["errors"].size(), 3u);
  EXPECT_EQ(report["errors"][0]["code"], "arc-end-off-circle");
  EXPECT_EQ(report["errors"][1]["code"], "unsupported-code");
  EXPECT_EQ(report["errors"][2]["code"], "words");
  for (const auto& note : report["notes"]) EXPECT_FALSE(note.contains("code"));
}

TEST(GcodeLinuxCnc, ModalStateIsOneValueStepPerBlock) {
  // A block's codes give the state it runs in; the state before is left as it was.
  const gcode::ModalState start;
  const gcode::Program program = gcode::ParseProgram("G20 G91 G18 G91.1 G98 G81 X1 Y1 R1\n");
  ASSERT_EQ(program.blocks.size(), 1u);
  const gcode::ModalState next = start.After(program.blocks[0].modal);
  EXPECT_TRUE(next.inches && next.relative && !next.arcAbsolute && !next.cycleToR);
  EXPECT_EQ(next.plane, gcode::Code::G18);
  EXPECT_EQ(next.motion, gcode::Code::G81);
  EXPECT_DOUBLE_EQ(next.MmPerUnit(), 25.4);
  EXPECT_FALSE(start.inches || start.relative || start.motion);
  // A block without codes of these groups keeps them all.
  const gcode::ModalState same = next.After(gcode::ParseProgram("X2\n").blocks.at(0).modal);
  EXPECT_EQ(same.plane, gcode::Code::G18);
  EXPECT_EQ(same.motion, gcode::Code::G81);
  // R is a cycle's retract level in a cycle, an arc's radius elsewhere.
  const gcode::Block r = gcode::ParseProgram("X1 R2\n").blocks.at(0);
  EXPECT_FALSE(gcode::HasArcWords(r, gcode::Code::G81));
  EXPECT_TRUE(gcode::HasArcWords(r, gcode::Code::G1));
}

}  // namespace
