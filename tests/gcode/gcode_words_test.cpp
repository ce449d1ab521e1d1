// The words CAM posts put around the moves: line ends (LF, CR LF, CR CR LF; any other CR is
// white space) with the line numbers an editor shows, the program number line and the refusal
// of every other O-word, and the path control words G64 P Q and G61.1 (accepted, noted).
#include <gtest/gtest.h>

#include <string>

#include "plan/planner.h"
#include "read/program.h"
#include "report/report.h"

namespace {

using gcode::ParseProgram;
using gcode::Plan;

Plan PlanText(const std::string& text, gcode::PlanOptions options = {}) {
  return gcode::PlanProgram(ParseProgram(text), gcode::BuiltinMachine(), options);
}

TEST(GcodeLineEnds, EveryEndingEndsOneLineAndBlankLinesKeepTheirNumbers) {
  // LF, CR LF and CR CR LF (PyCAM) each end one line; a CR inside a line separates words.
  const auto program = ParseProgram("G21\r\r\nG0 X1\r\n\r\n\r\r\n\nG0\rX2\r\nG1 X3 \r(done)\r\r\n");
  ASSERT_TRUE(program.errors.empty()) << program.errors[0].message;
  ASSERT_EQ(program.blocks.size(), 4u);
  EXPECT_EQ(program.lineCount, 7);
  EXPECT_EQ(program.blocks[1].line, 2);
  EXPECT_EQ(program.blocks[2].line, 6);
  EXPECT_DOUBLE_EQ(*program.blocks[2].x, 2.0);
  EXPECT_EQ(program.blocks[3].line, 7);
  // A refusal after blank CR CR LF lines names the editor's line.
  const auto refused = ParseProgram("G0 X1\r\r\n\r\r\n\r\r\nG7\r\r\n");
  ASSERT_EQ(refused.errors.size(), 1u);
  EXPECT_EQ(refused.errors[0].line, 4);
  EXPECT_EQ(refused.errors[0].message.find("0x0D"), std::string::npos);
  // The streaming reader's lines come through ReadLine alike.
  gcode::Block block;
  std::string error;
  EXPECT_EQ(gcode::ReadLine("G1 X4\r\r", 9, block, error), gcode::LineKind::block) << error;
  EXPECT_DOUBLE_EQ(*block.x, 4.0);
  EXPECT_EQ(gcode::ReadLine("\r\r", 10, block, error), gcode::LineKind::empty);
  EXPECT_EQ(gcode::ReadLine("%\r", 11, block, error), gcode::LineKind::empty);
}

TEST(GcodeLineEnds, FromLineCountsTheLinesAnEditorShows) {
  gcode::PlanOptions options;
  options.fromLine = 4;
  const Plan plan = PlanText("G21\r\r\nG0 Z5\r\r\n\r\r\nG0 X10\r\r\nG0 X20\r\r\n", options);
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  ASSERT_FALSE(plan.calls.empty());
  EXPECT_EQ(plan.calls.front().line, 4);
  bool resumedNote = false;
  for (const auto& note : plan.notes) resumedNote |= note.line == 4;
  EXPECT_TRUE(resumedNote);
}

TEST(GcodeProgramNumber, NamesTheProgramInTheReport) {
  const Plan named = PlanText("%\n(header)\nO1001 ( pocket )\nG0 X1\nM30\n%\n");
  ASSERT_TRUE(named.ok()) << named.errors[0].message;
  ASSERT_TRUE(named.program);
  EXPECT_EQ(*named.program, "O1001 (pocket)");
  EXPECT_EQ(*PlanText("o0042\nG0 X1\n").program, "O0042");
  const Plan unnamed = PlanText("G0 X1\n");
  EXPECT_FALSE(unnamed.program);

  gcode::RunOutcome outcome;
  outcome.checkOnly = true;
  const auto report = gcode::MakeReport("p.nc", gcode::BuiltinMachine(), named, outcome);
  EXPECT_EQ(report.at("program"), "O1001 (pocket)");
  EXPECT_TRUE(
      gcode::MakeReport("p.nc", gcode::BuiltinMachine(), unnamed, outcome).at("program").is_null());
}

TEST(GcodeProgramNumber, SubroutinesCallsAndControlFlowAreRefusedWithTheirLine) {
  for (const char* line :
       {"o100 sub", "O100 endsub", "O100 call", "o<drill> call", "O101 if [#1 GT 0]",
        "O102 while [1]", "O103 repeat [2]", "G0 O1", "O", "O1001 G0 X1"}) {
    SCOPED_TRACE(line);
    const Plan plan = PlanText(std::string("G0 X1\n") + line + "\nG0 X2\n");
    ASSERT_EQ(plan.errors.size(), 1u);
    EXPECT_EQ(plan.errors[0].line, 2);
    EXPECT_NE(plan.errors[0].message.find("O"), std::string::npos);
  }
  // A program number is the program's first line with words, and there is one.
  const Plan late = PlanText("G0 X1\nO1001\n");
  ASSERT_EQ(late.errors.size(), 1u);
  EXPECT_EQ(late.errors[0].line, 2);
  EXPECT_FALSE(late.program);
  const Plan twice = PlanText("O1001\nO1002\nG0 X1\n");
  ASSERT_EQ(twice.errors.size(), 1u);
  EXPECT_EQ(twice.errors[0].line, 2);
  EXPECT_EQ(*twice.program, "O1001");
}

TEST(GcodePathControl, G64WithTolerancesAndG61_1AreAcceptedAndNoted) {
  const Plan plan = PlanText("G64 P0.01 Q0.01\nG0 X1\nG61.1\nG0 X2\nG64 Q0.02\nG64\n");
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  int g64 = 0, g61 = 0;
  for (const auto& note : plan.notes) {
    if (note.message.find("G64 P/Q") != std::string::npos) g64 += note.line;
    if (note.message.find("G61.1") != std::string::npos) g61 += note.line;
  }
  EXPECT_EQ(g64, 1);  // noted once, on its first line
  EXPECT_EQ(g61, 3);
  const Plan negative = PlanText("G64 P-1\n");
  ASSERT_EQ(negative.errors.size(), 1u);
  EXPECT_NE(negative.errors[0].message.find("negative"), std::string::npos);
  // P and Q stay refused where nothing takes them.
  EXPECT_FALSE(PlanText("G1 X1 Q1\n").ok());
  EXPECT_FALSE(PlanText("G1 X1 P1\n").ok());
}

}  // namespace
