// The G-code job source streamed from pass 2: every step of the checked plan arrives framed by
// openConn, initTimer and closeConn, never more than the queue's calls are alive, and a program
// changed after its check ends the steps without a closeConn that would mark the job complete.
#include "job/gcode_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "job/gcode_job.h"
#include "report/report.h"

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

// The outcome and the report of a streamed job come from counters and the source's progress:
// after any number of entries done they say what the whole plan's calls say.
TEST(GcodeStreamSource, ProgressAndReportMatchTheWholePlan) {
  const std::string path =
      WriteProgram("progress.nc", 300);  // then a dwell, a pause and an arc on top
  std::ofstream(path, std::ios::app) << "G4 P1.5\nM0\nG2 X20 Y10 I5 J0\nG4 P0.25\n";
  std::string error;
  auto input = gcode::ProgramInput::Open(path, error);
  ASSERT_TRUE(input) << error;
  const gcode::Machine machine = gcode::BuiltinMachine();
  tool::GcodeJob job;
  job.name = job.file = path;
  job.machine = machine;
  job.plan = gcode::CheckProgram(*input, machine, {}, error);
  ASSERT_TRUE(job.plan.ok());
  std::ifstream text(path);
  std::stringstream whole;
  whole << text.rdbuf();
  const gcode::Plan plan = gcode::PlanProgram(gcode::ParseProgram(whole.str()), machine);
  ASSERT_EQ(plan.calls.size(), job.plan.callCount);

  tool::StreamJobSource source(*input, machine, {}, job.plan, "progress.nc", 16);
  job.source = &source;
  const std::uint64_t total = job.plan.callCount;
  std::uint64_t taken = 0;
  for (const std::uint64_t done :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{57}, total - 3, total - 1, total}) {
    while (taken < done + 2 + 1 && source.Next()) ++taken;  // the call process is ahead
    tool::JobResult result;
    result.status = done == total ? tool::JobStatus::completed : tool::JobStatus::interrupted;
    result.stepsDone = done + 2;
    const gcode::RunOutcome streamed = tool::GcodeOutcome(job, result);
    ASSERT_EQ(streamed.callsDone, done);
    gcode::RunOutcome inMemory = streamed;
    inMemory.done.reset();
    const auto a = gcode::MakeReport("p.nc", machine, job.plan, streamed);
    const auto b = gcode::MakeReport("p.nc", machine, plan, inMemory);
    for (const char* key : {"calls", "calls_made", "last_line", "percent", "end", "lines",
                            "steps_per_axis", "error_count"}) {
      EXPECT_EQ(a[key], b[key]) << key << " after " << done;
    }
    const tool::GcodeProgress progress = source.Progress(done);
    double dwell = 0;
    for (std::uint64_t i = 0; i < done; ++i) {
      if (plan.calls[i].kind == gcode::CallKind::dwell) dwell += plan.calls[i].seconds;
    }
    EXPECT_DOUBLE_EQ(progress.dwellSeconds, dwell);
    if (done < total) {
      EXPECT_EQ(progress.nextLine, plan.calls[done].line);
    }
  }
  // --check: everything planned is "done"; the last line from the counters.
  tool::JobResult checked;
  checked.status = tool::JobStatus::checked;
  job.source = nullptr;
  const auto report =
      gcode::MakeReport("p.nc", machine, job.plan, tool::GcodeOutcome(job, checked));
  EXPECT_EQ(report["last_line"], plan.calls.back().line);
  EXPECT_EQ(report["calls_made"], plan.vectorOutCalls + plan.referenceCalls);
  EXPECT_EQ(report["percent"], 100.0);
  std::filesystem::remove(path);
}

// The resume command reads back as the same words in a POSIX shell.
TEST(GcodeStreamSource, ResumeCommandQuotesForTheShell) {
  tool::GcodeJob job;
  job.file = "jobs/it's here.nc";
  job.machineFile = "jobs/example.toml";
  EXPECT_EQ(tool::ResumeCommand(job, 17),
            "steplink gcode 'jobs/it'\\''s here.nc' --from-line 17 --machine jobs/example.toml");
  job.file = "-";
  job.machineFile.reset();
  EXPECT_EQ(tool::ResumeCommand(job, 3), "steplink gcode - --from-line 3");
}

}  // namespace
