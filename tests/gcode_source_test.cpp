// The G-code job source streamed from pass 2: every step of the checked plan arrives framed by
// openConn, initTimer and closeConn, never more than the queue's calls are alive, and a program
// changed after its check ends the steps without a closeConn that would mark the job complete.
#include "gcode_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

std::string WriteProgram(const std::string& name, int lines) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("steplink_gcode_source_" + std::to_string(getpid()) + name))
                               .string();
  std::ofstream out(path);
  out << "G21 G90 G17\nG0 X10 Y10\nM3\n";
  for (int i = 0; i < lines; ++i) out << "G1 X" << 10 + i % 40 << " Y" << 10 + i % 7 << "\n";
  out << "M5\nM30\n";
  return path;
}

TEST(GcodeStreamSource, StepsArriveInOrderWithinTheQueue) {
  const std::string path = WriteProgram("whole.nc", 20'000);
  std::string error;
  auto input = gcode::ProgramInput::Open(path, error);
  ASSERT_TRUE(input) << error;
  const gcode::Machine machine = gcode::BuiltinMachine();
  const gcode::Plan checked = gcode::CheckProgram(*input, machine, {}, error);
  ASSERT_TRUE(checked.ok());
  tool::StreamJobSource source(*input, machine, {}, checked, "whole.nc", 64);
  EXPECT_EQ(source.Info().stepCount, checked.callCount + 3);
  std::uint64_t steps = 0;
  std::array<std::int64_t, 3> at{};
  std::optional<tool::JobStep> last;
  while (auto step = source.Next()) {
    if (steps == 0) {
      EXPECT_EQ(step->entry, tool::Entry::openConn);
    } else if (steps == 1) {
      EXPECT_EQ(step->entry, tool::Entry::initTimer);
    }
    if (step->kind == tool::StepKind::call && step->entry == tool::Entry::vectorOut) {
      at[0] += step->args[0];
      at[1] += step->args[1];
      const int z = step->args[2];
      if (z != 32000 && z != -32000 && z != 32222) at[2] += z;
    }
    ++steps;
    last = step;
  }
  ASSERT_TRUE(last);
  EXPECT_EQ(last->entry, tool::Entry::closeConn);
  EXPECT_EQ(steps, source.Info().stepCount);
  EXPECT_EQ(at, checked.endSteps);
  EXPECT_EQ(source.StreamError(), "");
  EXPECT_LE(source.PeakQueued(), 64u);  // the steps alive: never more than the queue
  std::filesystem::remove(path);
}

TEST(GcodeStreamSource, AChangedProgramEndsWithoutCloseConn) {
  const std::string path = WriteProgram("changed.nc", 2000);
  std::string error;
  auto input = gcode::ProgramInput::Open(path, error);
  ASSERT_TRUE(input) << error;
  const gcode::Machine machine = gcode::BuiltinMachine();
  const gcode::Plan checked = gcode::CheckProgram(*input, machine, {}, error);
  tool::StreamJobSource source(*input, machine, {}, checked, "changed.nc", 16);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(source.Next());
  std::ofstream(path, std::ios::app) << "G1 X500\n";
  std::optional<tool::JobStep> step;
  while ((step = source.Next())) EXPECT_NE(step->entry, tool::Entry::closeConn);
  EXPECT_NE(source.StreamError().find("changed after it was checked"), std::string::npos);
  std::filesystem::remove(path);
}

}  // namespace
