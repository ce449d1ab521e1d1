// Tests of the runner's job pipeline below the command line: the job builders (script and plan
// to steps), the step channel (records intact, the runner bounded ahead of the call process),
// the output checks and write-by-replace, the collapsing of repeated library lines, and the exit
// code computed from what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "calls/line_collapse.h"
#include "calls/step_channel.h"
#include "cli/exit_codes.h"
#include "job/gcode_source.h"
#include "job/job_end.h"
#include "job/script_source.h"
#include "machine.h"
#include "outputs/job_outputs.h"
#include "plan/planner.h"
#include "plan/two_pass.h"
#include "read/program.h"
#include "run_support.h"

namespace {

using test::ReadFile;

namespace fs = std::filesystem;

class JobFiles : public test::ScratchDirTest {
 protected:
  JobFiles() : ScratchDirTest("steplink-job-test") {}
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
};

// --- job builders ------------------------------------------------------------------------------

TEST(JobBuilders, ScriptBecomesOneCallStepPerLine) {
  const tool::Script script = tool::ParseScript("openConn\n# c\nvectorOut 1 -2 3\ncloseConn\n");
  tool::ScriptJobSource source("s", script.calls);

  EXPECT_EQ(source.Info().stepCount, 3u);
  EXPECT_TRUE(source.Info().hasWork);
  EXPECT_FALSE(source.Info().gcode);
  std::vector<tool::JobStep> steps;
  while (auto step = source.Next()) steps.push_back(*step);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[1].kind, tool::StepKind::call);
  EXPECT_EQ(steps[1].entry, tool::Entry::vectorOut);
  EXPECT_EQ(steps[1].args, (std::array<std::int32_t, 3>{1, -2, 3}));
  EXPECT_EQ(steps[1].line, 3);
  EXPECT_FALSE(source.Next());

  // openConn, initTimer and closeConn move nothing: no work; a reference alone is work.
  tool::ScriptJobSource openOnly(
      "o", tool::ParseScript("openConn\ninitTimer\ncloseConn\ncloseConn\n").calls);
  EXPECT_FALSE(openOnly.Info().hasWork);
  tool::ScriptJobSource referenceOnly("r", tool::ParseScript("reference 1 1 1\n").calls);
  EXPECT_TRUE(referenceOnly.Info().hasWork);
  tool::ScriptJobSource empty("e", {});
  EXPECT_FALSE(empty.Info().hasWork);
}

TEST(JobBuilders, PlanBecomesFramedStepsWithProgress) {
  const gcode::Machine machine = gcode::BuiltinMachine();
  const std::string text = "G0 X1\nG4 P0.5\nM0\nM3\nG1 X2\nM30\n";
  const gcode::Plan plan = gcode::PlanProgram(gcode::ParseProgram(text), machine, {});
  ASSERT_TRUE(plan.ok());
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("steplink_framed_" + std::to_string(getpid()) + ".nc"))
                               .string();
  std::ofstream(path) << text;
  std::string error;
  const auto input = gcode::ProgramInput::Open(path, error);
  ASSERT_TRUE(input) << error;
  const gcode::Plan checked = gcode::CheckProgram(*input, machine, {}, error);
  ASSERT_TRUE(checked.ok());
  tool::StreamJobSource source(*input, machine, {}, checked, "p.nc");

  EXPECT_TRUE(source.Info().gcode);
  EXPECT_TRUE(source.Info().hasWork);
  EXPECT_EQ(source.Info().stepCount, plan.calls.size() + 3);
  EXPECT_EQ(source.Info().entryCount, plan.calls.size());
  EXPECT_DOUBLE_EQ(source.Info().plannedSeconds, plan.durationSeconds);
  std::vector<tool::JobStep> steps;
  while (auto step = source.Next()) steps.push_back(*step);
  std::filesystem::remove(path);
  ASSERT_EQ(steps.size(), plan.calls.size() + 3);
  EXPECT_EQ(steps.front().entry, tool::Entry::openConn);
  EXPECT_EQ(steps[1].entry, tool::Entry::initTimer);
  EXPECT_EQ(steps.back().entry, tool::Entry::closeConn);
  EXPECT_FALSE(steps.front().plan || steps[1].plan || steps.back().plan);
  int dwells = 0, pauses = 0;
  double lastStart = -1;
  for (std::size_t i = 2; i + 1 < steps.size(); ++i) {
    const tool::JobStep& step = steps[i];
    const gcode::PlannedCall& planned = plan.calls[i - 2];
    EXPECT_GT(step.line, 0);
    EXPECT_TRUE(step.hasMm);
    // The planner's entry, carried as it was made.
    ASSERT_TRUE(step.plan);
    EXPECT_EQ(step.plan->index, i - 2);
    EXPECT_EQ(step.plan->callNumber, planned.callNumber);
    EXPECT_EQ(step.plan->fromSteps, planned.fromSteps);
    EXPECT_EQ(step.plan->endSteps, planned.endSteps);
    EXPECT_GE(step.startSeconds, lastStart);  // planned times never go back
    EXPECT_GE(step.endSeconds, step.startSeconds);
    lastStart = step.startSeconds;
    if (step.kind == tool::StepKind::dwell) {
      ++dwells;
      EXPECT_DOUBLE_EQ(step.seconds, 0.5);
    }
    if (step.kind == tool::StepKind::pause) {
      ++pauses;
      EXPECT_EQ(step.line, 3);
      EXPECT_FALSE(step.text.empty());
    }
  }
  EXPECT_EQ(dwells, 1);
  EXPECT_EQ(pauses, 1);
  EXPECT_EQ(steps[steps.size() - 2].auxAfter, 1);  // after M3
  EXPECT_EQ(steps[2].auxAfter, -1);
  // The first entry starts at machine zero, where the job starts (not at its own end).
  EXPECT_EQ(steps[2].mmFrom, (std::array<double, 3>{0, 0, 0}));
  EXPECT_EQ(tool::PlanEntriesDone(plan, 0), 0u);
  EXPECT_EQ(tool::PlanEntriesDone(plan, 3), 1u);
  EXPECT_EQ(tool::PlanEntriesDone(plan, steps.size()), plan.calls.size());
  EXPECT_FALSE(tool::GcodeJobInfo(gcode::Plan{}, "c.nc").hasWork);
}

// --- the step channel --------------------------------------------------------------------------

// Counts how many steps the feeder has taken from it.
class CountingSource final : public tool::JobSource {
 public:
  explicit CountingSource(std::uint64_t total) : total_(total) {
    info_.stepCount = total;
    info_.hasWork = true;
  }
  const tool::JobInfo& Info() const override { return info_; }
  std::optional<tool::JobStep> Next() override {
    if (taken >= total_) return std::nullopt;
    tool::JobStep step;
    step.kind = tool::StepKind::call;
    step.entry = tool::Entry::vectorOut;
    step.args = {static_cast<std::int32_t>(taken), -1, 2};
    step.line = static_cast<int>(taken) + 1;
    step.text = std::string(200, 'x');  // longer than a record holds
    ++taken;
    return step;
  }
  std::uint64_t taken = 0;

 private:
  std::uint64_t total_;
  tool::JobInfo info_;
};

TEST(StepChannel, StepsArriveIntactAndTheRunnerStaysBoundedAhead) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  CountingSource source(1'000'000);
  tool::StepFeeder feeder(source, pair[0]);

  feeder.Pump();  // nobody reads: it must stop when the channel is full, not block

  EXPECT_GT(source.taken, 10u);
  EXPECT_LT(source.taken, 20'000u) << "the whole job went into the channel";
  for (std::int32_t i = 0; i < 10; ++i) {
    const auto step = tool::ReadStep(pair[1]);
    ASSERT_TRUE(step);
    EXPECT_EQ(step->args, (std::array<std::int32_t, 3>{i, -1, 2}));
    EXPECT_EQ(step->line, i + 1);
    EXPECT_EQ(step->text.size(), tool::maxStepTextBytes);
  }
  feeder.Close();
  while (tool::ReadStep(pair[1])) {
  }
  EXPECT_FALSE(tool::ReadStep(pair[1]));  // the end of the job
  close(pair[1]);
}

TEST(StepChannel, AGoneReaderEndsTheFeedQuietly) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  close(pair[1]);
  CountingSource source(10);
  tool::StepFeeder feeder(source, pair[0]);
  feeder.Pump();  // no SIGPIPE (it would end the test binary)
  EXPECT_EQ(feeder.Fd(), -1);
}

// --- outputs -----------------------------------------------------------------------------------

TEST_F(JobFiles, OutputsThatClashOrCannotBeMadeAreRefusedNamingBothSides) {
  std::ofstream(Path("job.steplink")) << "openConn\n";
  fs::create_hard_link(Path("job.steplink"), Path("link.steplink"));
  fs::create_directories(dir_ / "folder");
  const std::vector<tool::JobFile> inputs{{"script", Path("job.steplink")}};
  const auto refused = [&](const std::vector<tool::JobFile>& outputs) {
    std::string error;
    EXPECT_FALSE(tool::CheckJobFiles(inputs, outputs, error));
    return error;
  };

  std::string error = refused({{"plot", Path("job.steplink")}});
  EXPECT_NE(error.find("the plot " + Path("job.steplink") + " is the same file as the script"),
            std::string::npos)
      << error;
  EXPECT_NE(refused({{"report", Path("link.steplink")}}).find("same file as the script"),
            std::string::npos);  // another name of the same file
  error = refused({{"record", Path("r")}, {"plot", Path("folder/../r")}});
  EXPECT_NE(error.find("same file as the record " + Path("r")), std::string::npos) << error;
  EXPECT_NE(refused({{"plot", Path("folder")}}).find("is a directory"), std::string::npos);
  EXPECT_NE(refused({{"plot", Path("missing/x.svg")}}).find("there is no folder"),
            std::string::npos);
  EXPECT_NE(refused({{"trace", ""}}).find("empty name"), std::string::npos);

  EXPECT_TRUE(
      tool::CheckJobFiles(inputs, {{"plot", Path("p.svg")}, {"report", Path("r.json")}}, error))
      << error;
  EXPECT_TRUE(tool::CheckJobFiles(inputs, {{"plot", "/dev/null"}, {"report", "/dev/null"}}, error))
      << error;  // a character device takes any number of outputs
}

TEST_F(JobFiles, WriteByReplaceKeepsTheOldFileUntilTheNewOneIsComplete) {
  std::ofstream(Path("out.svg")) << "old";
  chmod(Path("out.svg").c_str(), 0640);
  tool::OutputFile file;
  std::string error;
  ASSERT_TRUE(file.Open(Path("out.svg"), error)) << error;
  ASSERT_EQ(write(file.Fd(), "new", 3), 3);
  EXPECT_EQ(ReadFile(Path("out.svg")), "old");  // not touched while it is written

  ASSERT_TRUE(file.Commit(error)) << error;

  EXPECT_EQ(ReadFile(Path("out.svg")), "new");
  struct stat info {};
  ASSERT_EQ(stat(Path("out.svg").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 1);

  tool::OutputFile aborted;
  ASSERT_TRUE(aborted.Open(Path("out.svg"), error));
  aborted.Abort();
  EXPECT_EQ(ReadFile(Path("out.svg")), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 1)
      << "the temporary file was left";
}

TEST_F(JobFiles, ADeviceIsWrittenDirectlyAndNeverRemoved) {
  // /dev/full: every write fails. The output fails, and the device stays (as root the old
  // runner removed it).
  EXPECT_FALSE(tool::WriteOutputText("/dev/full", "plot", "<svg/>"));
  struct stat info {};
  ASSERT_EQ(stat("/dev/full", &info), 0) << "/dev/full was removed";
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_TRUE(tool::WriteOutputText("/dev/null", "plot", "<svg/>"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  const int reader = open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(tool::WriteOutputText(Path("fifo"), "report", "{}\n"));
  char got[8] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 3);
  close(reader);
  EXPECT_TRUE(fs::is_fifo(Path("fifo")));
}

// --- library lines -----------------------------------------------------------------------------

TEST(LineCollapse, ALongRunOfOneLineIsShownOnceWithItsCount) {
  const std::string failure = "Error occured during outportb while talking to PortTalk driver 6\n";
  std::string input = "openConn -> 255\n";
  for (int i = 0; i < 1000; ++i) input += failure;
  input += "closeConn -> 0\n";
  tool::LineCollapser collapser(true);
  std::string shown;
  for (std::size_t at = 0; at < input.size(); at += 7) {  // in odd pieces, as a pipe gives them
    shown += collapser.Feed(input.data() + at, std::min<std::size_t>(7, input.size() - at));
  }
  shown += collapser.Finish();

  EXPECT_EQ(shown, "openConn -> 255\n" + failure + "(the same line 999 more times)\n" +
                       "closeConn -> 0\n");

  // Twenty are shown as they are; --verbatim shows everything.
  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += "same\n";
  tool::LineCollapser few(true);
  std::string fewShown = few.Feed(twenty.data(), twenty.size());
  fewShown += few.Finish();
  EXPECT_EQ(fewShown, twenty);
  tool::LineCollapser verbatim(false);
  std::string all = verbatim.Feed(input.data(), input.size());
  all += verbatim.Finish();
  EXPECT_EQ(all, input);
}

// Fed in odd pieces, as a pipe gives them.
std::string Collapsed(const std::string& input) {
  tool::LineCollapser collapser(true);
  std::string shown;
  for (std::size_t at = 0; at < input.size(); at += 5) {
    shown += collapser.Feed(input.data() + at, std::min<std::size_t>(5, input.size() - at));
  }
  return shown + collapser.Finish();
}

// The lines the shown text stands for: each count line repeats the lines before it.
std::string Expanded(const std::string& shown) {
  std::vector<std::string> lines;
  std::istringstream in(shown);
  for (std::string line; std::getline(in, line);) {
    std::size_t group = 0, times = 0;
    char tail[16] = {};
    if (std::sscanf(line.c_str(), "(the same line %zu more times%15s", &times, tail) == 2) {
      group = 1;
    } else if (std::sscanf(line.c_str(), "(the same %zu lines %zu more times%15s", &group, &times,
                           tail) != 3) {
      lines.push_back(line);
      continue;
    }
    EXPECT_LE(group, lines.size()) << line;
    const std::vector<std::string> unit(lines.end() - static_cast<std::ptrdiff_t>(group),
                                        lines.end());
    for (std::size_t i = 0; i < times; ++i) lines.insert(lines.end(), unit.begin(), unit.end());
  }
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(LineCollapse, AGroupOfLinesRepeatedIsShownOnceWithItsCount) {
  // A failed call that alternates between two ports' failure lines.
  const std::string out = "Error occured during outportb while talking to PortTalk driver 6\n";
  const std::string in = "Error occured during inportb while talking to PortTalk driver 6\n";
  std::string input = "openConn -> 255\n";
  for (int i = 0; i < 1000; ++i) input += out + in;
  input += "closeConn -> 0\n";
  EXPECT_EQ(Collapsed(input), "openConn -> 255\n" + out + in +
                                  "(the same 2 lines 999 more times)\n" + "closeConn -> 0\n");

  // A step of a vectorOut on a device that never opened: 43 lines of both kinds, again and again.
  const std::string step = "ioiiooiioiioooiiooiioiiooooiioiiooooiioiioo";
  std::string steps = "vectorOut 1200 0 0 -> 3\n";
  for (int i = 0; i < 2000; ++i) {
    for (const char kind : step) steps += kind == 'o' ? out : in;
  }
  const std::string stepsShown = Collapsed(steps);
  EXPECT_EQ(Expanded(stepsShown), steps);
  EXPECT_NE(stepsShown.find("(the same 43 lines "), std::string::npos) << stepsShown;
  EXPECT_LT(stepsShown.size(), 200 * out.size()) << stepsShown;

  // A group with a line repeated inside it is found as the whole group.
  std::string aab;
  for (int i = 0; i < 100; ++i) aab += "A\nA\nB\n";
  EXPECT_EQ(Collapsed(aab), "A\nA\nB\n(the same 3 lines 99 more times)\n");

  // A repetition broken off part-way: the count, then the part shown as it is.
  std::string partial;
  for (int i = 0; i < 25; ++i) partial += "A\nB\n";
  EXPECT_EQ(Collapsed(partial + "A\nC\n"), "A\nB\n(the same 2 lines 24 more times)\nA\nC\n");

  // Twenty repetitions of a group are shown as they are; so is a group longer than the longest.
  std::string twenty, tooLong;
  for (int i = 0; i < 20; ++i) twenty += "A\nB\n";
  for (int i = 0; i < 30; ++i) {
    for (std::size_t line = 0; line <= tool::maxGroupLines; ++line) {
      tooLong += std::to_string(line) + "\n";
    }
  }
  EXPECT_EQ(Collapsed(twenty), twenty);
  EXPECT_EQ(Collapsed(tooLong), tooLong);
}

TEST(LineCollapse, WhatIsShownStandsForEveryLineInOrder) {
  // Mixed runs from a small alphabet: the shown text, expanded, is the input exactly.
  std::mt19937 random(20);
  for (int round = 0; round < 200; ++round) {
    std::string input;
    const int pieces = 1 + static_cast<int>(random() % 8);
    for (int piece = 0; piece < pieces; ++piece) {
      const std::size_t groupLines = 1 + random() % (random() % 4 == 0 ? 60 : 5);
      std::vector<std::string> group;
      for (std::size_t i = 0; i < groupLines; ++i)
        group.push_back(std::string(1, 'a' + random() % 3));
      const std::size_t times = random() % 3 == 0 ? 1 + random() % 4 : 15 + random() % 40;
      for (std::size_t t = 0; t < times; ++t) {
        for (const std::string& line : group) input += line + "\n";
      }
    }
    const std::string shown = Collapsed(input);
    ASSERT_EQ(Expanded(shown), input) << "round " << round << "\n" << shown;
    EXPECT_LE(shown.size(), input.size());
  }
}

TEST(LineCollapse, RemembersTheFirstHardwareLine) {
  tool::LineCollapser errors(false);
  const std::string text =
      "x\nsteplink-hw: there is no parallel port at 0x9990\nsteplink-hw: other\n";
  errors.Feed(text.data(), text.size());
  EXPECT_EQ(errors.firstHwLine, "steplink-hw: there is no parallel port at 0x9990");
}

// --- exit code ---------------------------------------------------------------------------------

TEST(JobExitCode, OneTableForEveryEnd) {
  using tool::JobFacts;
  EXPECT_EQ(tool::JobExitCode({}), tool::exitOk);
  EXPECT_EQ(tool::JobExitCode({.refused = true, .stopSignal = SIGINT}), tool::exitRefused);
  EXPECT_EQ(tool::JobExitCode({.stopSignal = SIGINT}), 130);
  EXPECT_EQ(tool::JobExitCode({.stopSignal = SIGTERM, .runFailed = true}), 143);
  EXPECT_EQ(tool::JobExitCode({.stopSignal = SIGUSR1}), 128 + SIGUSR1);
  EXPECT_EQ(tool::JobExitCode({.stopSignal = SIGINT, .outputFailed = true}), tool::exitRunFailed);
  EXPECT_EQ(tool::JobExitCode({.runFailed = true}), tool::exitRunFailed);
  EXPECT_EQ(tool::JobExitCode({.outputFailed = true}), tool::exitRunFailed);
  EXPECT_EQ(tool::JobExitCode({.stdoutFailed = true}), tool::exitRunFailed);
}

// Every way a job ends has one verdict: success only when nothing else happened; every fault is
// "stopped: REASON" with the reason; a signal is `interrupted` whatever else failed with it.
TEST(JobExitCode, OneVerdictForEveryEnd) {
  using tool::JobStatus;
  struct Case {
    tool::JobFacts facts;
    int exitCode;
    JobStatus status;
    std::string headline;
  };
  const Case cases[] = {
      {{}, 0, JobStatus::completed, "ran to its end"},
      {{.refused = true, .runFailed = true}, 2, JobStatus::refused, "refused"},
      {{.stopSignal = SIGINT}, 130, JobStatus::interrupted, "interrupted by SIGINT"},
      {{.stopSignal = SIGTERM, .runFailed = true},
       143,
       JobStatus::interrupted,
       "interrupted by SIGTERM"},
      {{.stopSignal = SIGPIPE}, 141, JobStatus::interrupted, "interrupted by SIGPIPE"},
      {{.stopSignal = SIGINT, .outputFailed = true},
       1,
       JobStatus::interrupted,
       "interrupted by SIGINT"},
      {{.runFailed = true, .faultMessage = "job.nc changed after it was checked"},
       1,
       JobStatus::fault,
       "stopped: job.nc changed after it was checked"},
      {{.runFailed = true}, 1, JobStatus::fault, "stopped: a fault"},
      {{.outputFailed = true, .faultMessage = "cannot write the plot"},
       1,
       JobStatus::fault,
       "stopped: cannot write the plot"},
      {{.stdoutFailed = true, .faultMessage = "cannot write to standard output: Broken pipe"},
       1,
       JobStatus::fault,
       "stopped: cannot write to standard output: Broken pipe"},
  };
  for (const Case& c : cases) {
    const tool::JobVerdict verdict = tool::DecideJobEnd(c.facts);
    EXPECT_EQ(verdict.exitCode, c.exitCode) << c.headline;
    EXPECT_EQ(verdict.status, c.status) << c.headline;
    EXPECT_EQ(verdict.headline, c.headline);
    EXPECT_EQ(verdict.headline.find("ran to its end") != std::string::npos,
              verdict.status == JobStatus::completed);
  }
}

}  // namespace
