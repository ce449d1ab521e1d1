// Coordinate systems by invariant on the emitted calls: G28/G30 pass their intermediate point and
// end on the stored position (only the named axes), G53 ignores every offset, G10 L2/L20 set the
// work offsets, G43/G43.1/G49 the tool length, each refusal names its line before anything moves
// (the stored-position safety included), --from-line rebuilds it all, the machine file's
// [positions], [offsets] and [tools] are read and checked, and the report lists the offsets.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "gcode_support.h"
#include "plan/planner.h"
#include "report/report.h"

namespace {

using gcode::CallKind;
using gcode::Plan;
using gcode::PlannedCall;
using gcode::Purpose;
using Mm = std::array<double, 3>;

gcode::Machine TestMachine() {
  gcode::Machine m = test::ScaledMachine(20.0, 5000);
  m.toolLengths = {{2, 10.0}, {5, -2.5}};
  return m;
}

Plan PlanText(const std::string& text, bool home = true,
              const gcode::Machine& machine = TestMachine(), int fromLine = 0) {
  gcode::PlanOptions options;
  options.home = home;
  options.fromLine = fromLine;
  return gcode::PlanProgram(gcode::ParseProgram(text), machine, options);
}

Mm EndMm(const PlannedCall& call) {
  return {call.endSteps[0] / 20.0, call.endSteps[1] / 20.0, call.endSteps[2] / 20.0};
}

// The motion calls of one line.
std::vector<PlannedCall> Moves(const Plan& plan, int line) {
  std::vector<PlannedCall> moves;
  for (const auto& call : plan.calls) {
    if (call.line == line && call.kind == CallKind::vectorOut) moves.push_back(call);
  }
  return moves;
}

Mm PlanEndMm(const Plan& plan) {
  return {plan.endMm[0], plan.endMm[1], plan.endMm[2]};
}

// The single error of a refused plan: its line and a part of its message.
void ExpectRefused(const std::string& text, int line, const std::string& fragment, bool home = true,
                   const gcode::Machine& machine = TestMachine()) {
  const Plan plan = PlanText(text, home, machine);
  ASSERT_FALSE(plan.ok()) << text;
  EXPECT_EQ(plan.errors[0].line, line) << text;
  EXPECT_NE(plan.errors[0].message.find(fragment), std::string::npos)
      << text << ": " << plan.errors[0].message;
}

TEST(GcodeStored, G28PassesTheIntermediatePointThenMovesTheNamedAxes) {
  gcode::Machine machine = TestMachine();
  machine.g28 = Mm{100, 50, 5};
  // The intermediate point is in program coordinates (G54 X+7), the stored one in machine mm.
  const Plan plan = PlanText("G10 L2 P1 X7\nG0 X10 Y10 Z1\nG28 X20 Z3\n", false, machine);
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  const auto moves = Moves(plan, 3);
  ASSERT_GE(moves.size(), 2u);
  EXPECT_EQ(moves.front().purpose, Purpose::rapid);
  EXPECT_EQ(EndMm(moves.front()), (Mm{27, 10, 3}));
  EXPECT_EQ(moves.back().purpose, Purpose::stored);
  EXPECT_EQ(EndMm(moves.back()), (Mm{100, 10, 5}));  // Y not named: it stays
  EXPECT_EQ(PlanEndMm(plan), (Mm{100, 10, 5}));

  // G91: the words are increments (Z0: no intermediate move), then Z alone to its position.
  const Plan lift = PlanText("G0 X10 Y10 Z-3\nG28 G91 Z0\n", false, machine);
  ASSERT_TRUE(lift.ok()) << lift.errors[0].message;
  const auto up = Moves(lift, 2);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].args, (std::array<std::int32_t, 3>{0, 0, 160}));
  EXPECT_EQ(up[0].purpose, Purpose::stored);

  // Bare G28 after --home without a stored position: every axis to machine zero at once.
  const Plan bare = PlanText("G0 X10 Y20 Z3\nG28\n");
  ASSERT_TRUE(bare.ok()) << bare.errors[0].message;
  const auto all = Moves(bare, 2);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].args, (std::array<std::int32_t, 3>{-200, -400, -60}));
  EXPECT_EQ(bare.referenceCalls, 2);  // the --home run only; G28 never homes
}

TEST(GcodeStored, G28AndG30StoreAndReturn) {
  // G28.1 stores the machine position, so G28 is known without --home.
  const Plan plan = PlanText("G0 X30 Y20 Z2\nG28.1\nG0 X0 Y0 Z0\nG28\n", false);
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  EXPECT_EQ(PlanEndMm(plan), (Mm{30, 20, 2}));
  EXPECT_EQ(plan.referenceCalls, 0);

  gcode::Machine machine = TestMachine();
  machine.g30 = Mm{150, 100, 5};
  const Plan g30 = PlanText("G0 X10 Y10\nG30 Z4\nG0 X1 Y2 Z3\nG30.1\nG0 X0\nG30\n", false, machine);
  ASSERT_TRUE(g30.ok()) << g30.errors[0].message;
  EXPECT_EQ(EndMm(Moves(g30, 2).back()), (Mm{10, 10, 5}));
  EXPECT_EQ(PlanEndMm(g30), (Mm{1, 2, 3}));
}

TEST(GcodeStored, RefusedBeforeAnythingMovesWithoutAKnownMachineZero) {
  ExpectRefused("G0 X5\nG28\n", 2,
                "G28 moves to the stored home position and no longer homes: use --home to home "
                "first",
                false);
  ExpectRefused("G0 X5\nG28 G91 Z0\n", 2, "machine zero is not known", false);
  ExpectRefused("G0 X5\nG30\n", 2, "G30.1", false);
  ExpectRefused("G0 X5\nG53 G0 Z0\n", 2, "G53 moves in machine coordinates", false);
  const Plan plan = PlanText("G0 X5\nG1 Y5\nG28\n", false);
  EXPECT_FALSE(plan.ok());  // the runner makes no call of a refused plan
  // A machine file's stored position makes them known.
  gcode::Machine machine = TestMachine();
  machine.g28 = Mm{0, 0, 10};
  EXPECT_TRUE(PlanText("G0 X5\nG28\nG53 G0 Z0\n", false, machine).ok());
  // Stored positions still refuse what breaks the soft limits.
  machine.g28 = Mm{0, 0, 6000};
  EXPECT_FALSE(PlanText("G28\n", false, machine).ok());
}

TEST(GcodeStored, G53IgnoresEveryOffset) {
  const Plan plan = PlanText(
      "G10 L2 P1 X50 Y40 Z-5\nG54\nG92 X1\nT2 M6\nG43 H2\nG0 X0 Y0 Z0\n"
      "G53 G0 X10 Y20 Z3\nG53 G1 X12\nG0 X0\n");
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  EXPECT_EQ(EndMm(Moves(plan, 6).back()), (Mm{-1, 40, 5}));  // G92 X1 at machine 0: -51
  EXPECT_EQ(EndMm(Moves(plan, 7).back()), (Mm{10, 20, 3}));
  EXPECT_EQ(EndMm(Moves(plan, 8).back()), (Mm{12, 20, 3}));
  EXPECT_EQ(PlanEndMm(plan), (Mm{-1, 20, 3}));  // G53 is not modal

  ExpectRefused("G91\nG53 G0 X1\n", 2, "absolute distances");
  ExpectRefused("G53 G2 X1 I1\n", 1, "G0 or G1");
  ExpectRefused("G53\n", 1, "axis words");
}

TEST(GcodeOffsets, G10L2AndL20SetTheWorkOffsets) {
  // L2: the offset itself; P0 the active system; unnamed axes keep their value; G91 ignored.
  const Plan l2 = PlanText(
      "G10 L2 P1 X50 Y40\nG0 X0 Y0\nG55\nG10 L2 P0 X100\nG0 X1 Y1\nG91\nG10 L2 P2 Y7\nG90\n"
      "G0 X0 Y0\nG54\nG10 L2 P1 Y3\nG0 X0 Y0\n");
  ASSERT_TRUE(l2.ok()) << l2.errors[0].message;
  EXPECT_EQ(EndMm(Moves(l2, 2).back()), (Mm{50, 40, 0}));
  EXPECT_EQ(EndMm(Moves(l2, 5).back()), (Mm{101, 1, 0}));
  EXPECT_EQ(EndMm(Moves(l2, 9).back()), (Mm{100, 7, 0}));
  EXPECT_EQ(PlanEndMm(l2), (Mm{50, 3, 0}));
  EXPECT_EQ(l2.workOffsets[0], (Mm{50, 3, 0}));
  EXPECT_EQ(l2.workOffsets[1], (Mm{100, 7, 0}));
  EXPECT_EQ(l2.activeWorkOffset, 0);

  // L20: the current position gets the given coordinates (G92 and tool length included).
  const Plan l20 = PlanText(
      "G0 X30 Y20 Z5\nG10 L20 P1 X10\nG0 X0\nT2 M6\nG43\nG10 L20 P0 Z0\nG0 Z1\nG92 Y0\n"
      "G10 L20 P0 Y2\nG0 Y0\n");
  ASSERT_TRUE(l20.ok()) << l20.errors[0].message;
  EXPECT_EQ(EndMm(Moves(l20, 3).back()), (Mm{20, 20, 5}));
  EXPECT_EQ(EndMm(Moves(l20, 7).back()), (Mm{20, 20, 6}));
  EXPECT_EQ(PlanEndMm(l20), (Mm{20, 18, 6}));

  // Inches and the machine file's start values.
  gcode::Machine machine = TestMachine();
  machine.workOffsets[1] = Mm{100, 20, -2};
  const Plan inch = PlanText("G20\nG10 L2 P1 X1\nG0 X0\nG55\nG0 X0 Y0 Z0\n", true, machine);
  ASSERT_TRUE(inch.ok()) << inch.errors[0].message;
  EXPECT_DOUBLE_EQ(EndMm(Moves(inch, 3).back())[0], 25.4);
  EXPECT_EQ(PlanEndMm(inch), (Mm{100, 20, -2}));

  ExpectRefused("G10 P1 X1\n", 1, "L2 or L20");
  ExpectRefused("G10 L1 P1 Z1\n", 1, "tool table");
  ExpectRefused("G10 L3 P1 X1\n", 1, "L2 or L20 only");
  ExpectRefused("G10 L2 X1\n", 1, "needs P");
  ExpectRefused("G10 L2 P7 X1\n", 1, "0-6");
  ExpectRefused("G10 L2 P1.5 X1\n", 1, "0-6");
  ExpectRefused("G10 L2 P1 R30\n", 1, "rotated");
  ExpectRefused("G0 G10 L2 P1 X1\n", 1, "claim the axis words");
  ExpectRefused("G1 X1 L2\n", 1, "L is used only with G10");
  ExpectRefused("G10 L2 P1 Q1 X1\n", 1, "Q is not used by G10");
  ExpectRefused("G59.1\n", 1, "G54-G59 only");
}

TEST(GcodeOffsets, ToolLengthG43G431AndG49) {
  const Plan plan = PlanText(
      "G0 Z1\nT2 M6\nG43 H2\nG0 Z1\nG43\nG0 Z0\nG43.1 Z2.5\nG0 Z1\nG49\nG0 Z1\nG43 H5 G0 Z0\n");
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  EXPECT_EQ(EndMm(Moves(plan, 4).back())[2], 11.0);  // machine Z = programmed Z + length
  EXPECT_EQ(EndMm(Moves(plan, 6).back())[2], 10.0);  // G43 alone: the tool of the last M6
  EXPECT_EQ(EndMm(Moves(plan, 8).back())[2], 3.5);
  EXPECT_EQ(EndMm(Moves(plan, 10).back())[2], 1.0);
  EXPECT_EQ(PlanEndMm(plan)[2], -2.5);  // G43 and the move on one line: the length first
  EXPECT_TRUE(Moves(plan, 3).empty());  // a new length moves nothing
  EXPECT_DOUBLE_EQ(plan.toolLengthMm, -2.5);

  ExpectRefused("G43 H3\n", 1, "lists no tool 3");
  ExpectRefused("G43\n", 1, "needs a tool loaded by M6");
  ExpectRefused("T3 M6\nG43\n", 2, "tool 3");
  ExpectRefused("G43.1 Z2 G0\n", 1, "cannot move");
  ExpectRefused("G43.1 X1 Z2\n", 1, "only Z");
  ExpectRefused("G43.1\n", 1, "needs Z");
  ExpectRefused("G0 X1 H2\n", 1, "H is used only with G43");
}

TEST(GcodeOffsets, FromLineRebuildsOffsetsToolLengthAndStoredPositions) {
  const std::string text =
      "G10 L2 P1 X50\nG54\nT2 M6\nG43 H2\nG0 X10 Z1\nG28.1\nG92 Y5\nG0 X20\nG0 X30 Z2\nG28\n";
  const Plan whole = PlanText(text);
  ASSERT_TRUE(whole.ok()) << whole.errors[0].message;
  const Plan resumed = PlanText(text, false, TestMachine(), 8);
  ASSERT_TRUE(resumed.ok()) << resumed.errors[0].message;
  // The approach ends where line 7 leaves the table, then X20 is machine X70.
  EXPECT_EQ(EndMm(Moves(resumed, 8).back()), (Mm{70, 0, 11}));
  EXPECT_EQ(resumed.endSteps, whole.endSteps);
  EXPECT_EQ(PlanEndMm(resumed), (Mm{60, 0, 11}));  // the G28.1 of line 6
  EXPECT_EQ(resumed.g92Offset, whole.g92Offset);
}

TEST(GcodeOffsets, UnsupportedCodesAreNamedWithTheirLine) {
  for (const char* text : {"G41 D1", "G42 D1", "G38.2 Z-5", "G33 Z-1 K1", "G76 P1 Z-1", "G93",
                           "#5420=5", "G1 X[1/0]", "M98 P100", "G7", "G92.3"}) {
    SCOPED_TRACE(text);
    const Plan plan = PlanText(std::string("G0 X1\n") + text + "\nG0 X2\n");
    ASSERT_EQ(plan.errors.size(), 1u);
    EXPECT_EQ(plan.errors[0].line, 2);
  }
}

TEST(GcodeOffsets, ReportListsTheFinalOffsets) {
  const Plan plan = PlanText("G10 L2 P3 X1 Y2 Z3\nG56\nG92 X0\nT2 M6\nG43\n");
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  const auto report = gcode::MakeReport("job.nc", TestMachine(), plan, {});
  const auto& offsets = report["offsets"];
  EXPECT_EQ(offsets["g56"], (nlohmann::json{{"x", 1.0}, {"y", 2.0}, {"z", 3.0}}));
  EXPECT_EQ(offsets["g54"]["x"], 0.0);
  EXPECT_EQ(offsets["g92"]["x"], -1.0);
  EXPECT_EQ(offsets["active"], "G56");
  EXPECT_EQ(offsets["tool_length_mm"], 10.0);
  EXPECT_EQ(report["machine"]["tools"]["2"], 10.0);
}

TEST(GcodeMachineTables, PositionsOffsetsAndToolsAreReadAndChecked) {
  const std::string axes =
      "[axis.x]\nsteps_per_mm = 20\nmin_mm = 0\nmax_mm = 100\n"
      "[axis.y]\nsteps_per_mm = 20\nmin_mm = 0\nmax_mm = 100\n"
      "[axis.z]\nsteps_per_mm = 20\nmin_mm = -10\nmax_mm = 10\n";
  const auto good = gcode::ParseMachine(axes +
                                            "[positions]\ng28 = [1, 2, 3.5]\ng30 = [4, 5, 6]\n"
                                            "[offsets]\ng54 = [10, 20, -1]\ng59 = [1, 1, 1]\n"
                                            "[tools]\n2 = 10.0\n7 = -1\n",
                                        "m.toml");
  ASSERT_TRUE(good.machine) << good.errors[0].message;
  EXPECT_EQ(*good.machine->g28, (Mm{1, 2, 3.5}));
  EXPECT_EQ(*good.machine->g30, (Mm{4, 5, 6}));
  EXPECT_EQ(good.machine->workOffsets[0], (Mm{10, 20, -1}));
  EXPECT_EQ(good.machine->workOffsets[5], (Mm{1, 1, 1}));
  EXPECT_EQ(good.machine->toolLengths.at(2), 10.0);
  EXPECT_EQ(good.machine->toolLengths.at(7), -1.0);

  for (const char* bad :
       {"[positions]\ng28 = [nan, 0, 0]\n", "[positions]\ng28 = [0, 0]\n",
        "[positions]\ng29 = [0, 0, 0]\n", "[positions]\ng30 = [0, 'a', 0]\n",
        "[offsets]\ng53 = [0, 0, 0]\n", "[offsets]\ng54 = [inf, 0, 0]\n",
        "[offsets]\ng55 = [2e6, 0, 0]\n", "[tools]\nx = 1.0\n", "[tools]\n2 = nan\n",
        "[tools]\n-1 = 1.0\n", "[tools]\n3 = 'long'\n", "positions = 3\n"}) {
    SCOPED_TRACE(bad);
    const auto result = gcode::ParseMachine(axes + bad, "m.toml");
    EXPECT_FALSE(result.machine);
    ASSERT_FALSE(result.errors.empty());
    EXPECT_GT(result.errors[0].line, 0);
  }
}

}  // namespace
