// steplink gcode end to end on the simulated table (virtual clock): the example jobs run to
// their end where the plan says, refusals move nothing (judged by the table's record), exit
// codes and the report tell the cases apart, the emitted script makes the same steps.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "outputs/record.h"
#include "run_support.h"
#include "status/status_view.h"

namespace fs = std::filesystem;

namespace {

using test::ReadFile;
using test::WriteFile;

struct Result {
  int exitCode;
  std::string out;
  std::string err;
  nlohmann::json report;
};

class GcodeRun : public test::ScratchDirTest {
 protected:
  GcodeRun() : ScratchDirTest("steplink-gcode-test") {}

  std::string Command(const std::string& args) const {
    return std::string(STEPLINK_RUNNER) + " gcode " + args + " --library " +
           STEPLINK_STANDARD_LIBRARY + " --report " + (dir_ / "report.json").string() +
           " --sim record=" + (dir_ / "record.txt").string() + " </dev/null >" +
           (dir_ / "out.txt").string() + " 2>" + (dir_ / "err.txt").string();
  }

  Result Finish(int status) const {
    Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir_ / "out.txt"),
                  ReadFile(dir_ / "err.txt"), nullptr};
    const std::string report = ReadFile(dir_ / "report.json");
    if (!report.empty()) result.report = nlohmann::json::parse(report);
    return result;
  }

  Result Gcode(const std::string& args) const { return Finish(std::system(Command(args).c_str())); }

  Result Program(const std::string& text, const std::string& args = "") const {
    WriteFile(dir_ / "job.nc", text);
    return Gcode((dir_ / "job.nc").string() + " " + args);
  }

  tool::Record TableRecord() const { return tool::ReadRecordFile((dir_ / "record.txt").string()); }
};

const std::string jobs = STEPLINK_JOBS_DIR;
const std::string exampleMachine = " --machine " + jobs + "/example.toml";

TEST_F(GcodeRun, ExampleJobsRunToTheirEnd) {
  // After --home machine 0 is the switch plus the back-off: the simulated table's switches are at
  // -200, -150, -100 steps, the back-off 50, 50, 20.
  const std::array<std::int64_t, 3> home{-150, -100, -80};
  const struct {
    const char* file;
    std::array<std::int64_t, 3> endSteps;
  } cases[] = {{"example.nc", {0, 0, 60}}, {"pocket.nc", {0, 0, 0}}, {"engraving.nc", {0, 0, 0}}};
  for (const auto& job : cases) {
    const Result result = Gcode(jobs + "/" + job.file + exampleMachine + " --home --quiet");
    ASSERT_EQ(result.exitCode, 0) << job.file << result.err;
    EXPECT_EQ(result.report["status"], "completed");
    EXPECT_EQ(result.report["calls_made"], result.report["calls"]);
    for (int axis = 0; axis < 3; ++axis) {
      const std::string name(1, "xyz"[axis]);
      EXPECT_EQ(result.report["end"]["steps"][name].get<std::int64_t>(), job.endSteps[axis])
          << job.file;
      EXPECT_EQ(result.report["table_steps"][name].get<std::int64_t>(),
                home[axis] + job.endSteps[axis])
          << job.file << " axis " << name;
    }
    const tool::Record record = TableRecord();
    EXPECT_TRUE(record.faults.empty()) << job.file;
    EXPECT_GT(record.steps.size(), 1000u);
    // The estimate against the virtual-clock run: within 3 % (most of it the first homing creep,
    // which the plan cannot know).
    const double planned = result.report["planned_duration_s"].get<double>();
    const double simulated = result.report["duration_s"].get<double>();
    EXPECT_NEAR(planned, simulated, 0.03 * simulated) << job.file;
  }
}

TEST_F(GcodeRun, RefusalsMoveNothing) {
  const Result limits = Program("G0 X10\nG1 X700\nG1 Y-1\nG28 X0\n");
  EXPECT_EQ(limits.exitCode, 2);
  EXPECT_NE(limits.err.find("job.nc:2: X 700.0000 mm"), std::string::npos) << limits.err;
  EXPECT_NE(limits.err.find("job.nc:3: "), std::string::npos);
  EXPECT_NE(limits.err.find("job.nc:4: G28 moves to the stored G28 position"), std::string::npos);
  EXPECT_EQ(limits.report["status"], "refused");
  EXPECT_EQ(limits.report["limits_ok"], false);
  EXPECT_EQ(limits.report["errors"].size(), 3u);
  EXPECT_EQ(limits.report["calls_made"], 0);
  EXPECT_TRUE(TableRecord().steps.empty());  // no record, or one without a step

  WriteFile(dir_ / "bad.toml", "[axis.x]\nsteps_per_mm = 0\nmin_mm = 0\nmax_mm = 1\n");
  const Result machine = Program("G0 X1\n", "--machine " + (dir_ / "bad.toml").string());
  EXPECT_EQ(machine.exitCode, 2);
  EXPECT_NE(machine.err.find("bad.toml:2: 'axis.x.steps_per_mm' must be above 0"),
            std::string::npos)
      << machine.err;
  EXPECT_NE(machine.err.find("[axis.y] is missing"), std::string::npos);
  EXPECT_EQ(machine.report["status"], "refused");

  EXPECT_EQ(Program("G0 X1\n", "--device /dev/parport0").exitCode, 2);  // no such device form
  // A real table runs on real time only.
  EXPECT_EQ(Program("G0 X1\n", "--device parport:/dev/parport0 --virtual").exitCode, 2);
  EXPECT_EQ(Program("G0 X1\n", "--from-line x").exitCode, 2);
}

// --device reaches the call process: a port that does not exist fails openConn, as in run, after
// the backend has said why; nothing moves.
// A program on standard input is named once in what is wrong with it ("<stdin>: line 1: ...").
TEST_F(GcodeRun, StandardInputIsNamedOnceInItsErrors) {
  const std::string command = std::string(STEPLINK_RUNNER) + " gcode - --machine " +
                              STEPLINK_JOBS_DIR + "/example.toml --library " +
                              STEPLINK_STANDARD_LIBRARY + " </dev/zero >/dev/null 2>" +
                              (dir_ / "err.txt").string();
  const int status = std::system(command.c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 2);
  const std::string err = test::ReadFile(dir_ / "err.txt");
  EXPECT_NE(err.find("<stdin>: line 1: the line is longer than"), std::string::npos) << err;
  EXPECT_EQ(err.find("<stdin>", err.find("<stdin>") + 1), std::string::npos) << err;
}

TEST_F(GcodeRun, DeviceReachesTheLibrary) {
  const Result missing = Program("G0 X1\n", "--device parport:/dev/steplink-no-such-port");
  EXPECT_EQ(missing.exitCode, 1) << missing.err;
  EXPECT_NE(missing.err.find("steplink-no-such-port"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.report["calls_made"], 0);
}

TEST_F(GcodeRun, CheckPlansWithoutCalls) {
  const Result result = Program("G0 X10 Y5\nG4 P2\nM0\nG1 X0\nM2\nG0 X1\n",
                                "--check --plot " + (dir_ / "p.svg").string());
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.report["status"], "checked");
  EXPECT_EQ(result.report["skipped_lines"], 1);
  EXPECT_FALSE(fs::exists(dir_ / "record.txt"));
  EXPECT_NE(ReadFile(dir_ / "p.svg").find("<polyline"), std::string::npos);
}

TEST_F(GcodeRun, SubroutineFilesRunAndARunawayLoopIsRefusedBeforeAnyStep) {
  fs::create_directories(dir_ / "subs");
  WriteFile(dir_ / "subs" / "square.ngc",
            "o<square> sub\nG91 G1 X#1\nG1 Y#1\nG1 X-#1\nG1 Y-#1\nG90\no<square> endsub\n");
  const Result run = Program("G21\no1 repeat [2]\no<square> call [3]\no1 endrepeat\nM2\n",
                             "--subroutines " + (dir_ / "subs").string() + " --quiet");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.report["status"], "completed");
  // G21, repeat, 2 x (call, 5 body lines, endsub, endrepeat), M2.
  EXPECT_EQ(run.report["blocks_executed"], 19);
  EXPECT_EQ(run.report["calls"], 8);

  fs::remove(dir_ / "record.txt");
  const Result runaway =
      Program("G21\no1 while [1]\nG91 G0 X1\nG0 X-1\no1 endwhile\n", "--max-blocks 500 --quiet");
  EXPECT_EQ(runaway.exitCode, 2);
  EXPECT_EQ(runaway.report["status"], "refused");
  EXPECT_NE(runaway.err.find("--max-blocks"), std::string::npos) << runaway.err;
  EXPECT_FALSE(fs::exists(dir_ / "record.txt"));

  const Result noFolder = Program("o<square> call [1]\nM2\n", "--subroutines /nonexistent");
  EXPECT_EQ(noFolder.exitCode, 2) << noFolder.err;
}

TEST_F(GcodeRun, EmittedScriptMakesTheSameSteps) {
  const std::string script = (dir_ / "job.steplink").string();
  const Result job =
      Gcode(jobs + "/pocket.nc" + exampleMachine + " --home --quiet --emit-script " + script);
  ASSERT_EQ(job.exitCode, 0) << job.err;
  const tool::Record gcodeRecord = TableRecord();
  const std::string run =
      std::string(STEPLINK_RUNNER) + " run --quiet --library " + STEPLINK_STANDARD_LIBRARY +
      " --sim record=" + (dir_ / "run.txt").string() + " " + script + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(run.c_str()), 0);
  const tool::Record runRecord = tool::ReadRecordFile((dir_ / "run.txt").string());
  ASSERT_EQ(runRecord.steps.size(), gcodeRecord.steps.size());
  EXPECT_EQ(runRecord.FinalPositions(), gcodeRecord.FinalPositions());
  EXPECT_EQ(runRecord.aux.size(), gcodeRecord.aux.size());
}

TEST_F(GcodeRun, PausesWithoutTerminalGoOnAndAreNoted) {
  const Result result = Program("G0 X1\nM0\nG0 X2\nM6 T1\nG0 X0\nM30\n");
  EXPECT_EQ(result.exitCode, 0) << result.err;
  int noted = 0;
  for (const auto& note : result.report["notes"]) {
    if (note["message"].get<std::string>().find("no terminal") != std::string::npos) ++noted;
  }
  EXPECT_EQ(noted, 2);
}

TEST_F(GcodeRun, ResumeFromLineEndsWhereTheWholeJobEnds) {
  const Result whole = Gcode(jobs + "/example.nc" + exampleMachine + " --home --quiet");
  ASSERT_EQ(whole.exitCode, 0);
  const Result resumed = Gcode(jobs + "/example.nc" + exampleMachine + " --quiet --from-line 16");
  ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
  EXPECT_EQ(resumed.report["end"], whole.report["end"]);
  EXPECT_EQ(resumed.report["table_steps"], whole.report["table_steps"]);
  EXPECT_LT(resumed.report["calls"].get<int>(), whole.report["calls"].get<int>());
}

TEST_F(GcodeRun, CamPocketChecksAndRunsWithHome) {
  // The pocket as a CAM post writes it: G28 G91 Z0 lifts Z to machine zero, G53 G0 Z0 likewise,
  // G28 G91 X0 Y0 ends at the home position; without --home G28 is refused before anything moves.
  const std::string pocket = jobs + "/../tests/gcode_programs/cam_pocket.nc";
  const std::string machine = " --machine " + jobs + "/../tests/gcode_programs/cam.toml";
  const Result checked = Gcode(pocket + machine + " --home --check --quiet");
  ASSERT_EQ(checked.exitCode, 0) << checked.err;
  const Result run = Gcode(pocket + machine + " --home --quiet");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.report["status"], "completed");
  EXPECT_EQ(run.report["end"]["steps"], (nlohmann::json{{"x", 0}, {"y", 0}, {"z", 0}}));
  EXPECT_EQ(run.report["offsets"]["active"], "G54");
  EXPECT_DOUBLE_EQ(run.report["offsets"]["g54"]["x"].get<double>(), 50.0);
  const Result refused = Gcode(pocket + machine + " --quiet");
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.err.find(":5: G28 moves to the stored G28 position"), std::string::npos)
      << refused.err;
  const Result bare = Program("G0 X5\nG28\n");
  EXPECT_EQ(bare.exitCode, 2);
  EXPECT_NE(bare.err.find("job.nc:2: G28 moves to the stored home position and no longer homes: "
                          "use --home to home first"),
            std::string::npos)
      << bare.err;
  EXPECT_EQ(bare.report["calls_made"], 0);
}

TEST_F(GcodeRun, CtrlCStopsTheTableWhereItIs) {
  // A 4 s move on the realtime clock, interrupted after about a second.
  WriteFile(dir_ / "job.nc", "G1 X100\nG1 X0\n");
  const std::string command = "exec " + Command((dir_ / "job.nc").string() + " --realtime --quiet");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setpgid(0, 0);
    execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  const Result result = Finish(status);
  EXPECT_EQ(result.exitCode, 130) << result.err;
  EXPECT_EQ(result.report["interrupted"], true);
  EXPECT_EQ(result.report["status"], "interrupted");
  const auto x = result.report["table_steps"]["x"].get<std::int64_t>();
  EXPECT_GT(x, 0);
  EXPECT_LT(x, 2000);
}

TEST_F(GcodeRun, JobSectionOfTheStatusBlock) {
  // A live view's reading while a 4 s move runs on the realtime clock.
  const std::string name = "steplink-gcode-test-" + std::to_string(getpid());
  WriteFile(dir_ / "job.nc", "G0 Y1\nG1 X100 Y3\nM30\n");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execl(STEPLINK_RUNNER, STEPLINK_RUNNER, "gcode", (dir_ / "job.nc").c_str(), "--realtime",
          "--quiet", "--library", STEPLINK_STANDARD_LIBRARY, "--sim", ("status=" + name).c_str(),
          nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  status::StatusView view;
  std::optional<SteplinkStatusJob> job;
  if (view.Open(name)) job = view.ReadJob();
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  shm_unlink(("/" + name).c_str());
  ASSERT_TRUE(job);
  EXPECT_EQ(job->state, STEPLINK_JOB_RUNNING);
  EXPECT_EQ(job->callEntry, STEPLINK_CALL_VECTOR_OUT);
  EXPECT_EQ(job->gcodeLine, 2u);
  EXPECT_EQ(job->callArgs[0], 2000);
  EXPECT_EQ(job->callIndex, 4u);  // openConn, initTimer, G0, this one
  EXPECT_EQ(job->callCount, 5u);
  EXPECT_GT(job->percent, 0.0);
  EXPECT_LT(job->percent, 100.0);
  EXPECT_GT(job->etaSeconds, 1.0);
  EXPECT_DOUBLE_EQ(job->mm[1], 1.0);  // the commanded position where the move began
  // The plan's own numbers: the second entry and call of two, begun at the plan's Y 1 mm
  // (20 steps); machine zero is where the table stood as the first entry began.
  EXPECT_EQ(job->planEntry, 2u);
  EXPECT_EQ(job->planCount, 2u);
  EXPECT_EQ(job->planCall, 2u);
  EXPECT_EQ(job->planFromSteps[0], 0);
  EXPECT_EQ(job->planFromSteps[1], 20);
  EXPECT_EQ(job->machineZeroKnown, 1u);
  for (int axis = 0; axis < 3; ++axis) EXPECT_EQ(job->machineZeroSteps[axis], 0);
}

TEST_F(GcodeRun, FeedHoldOnATerminalAndStopWhilePaused) {
  // On a pseudo-terminal: a key pauses at the next call boundary, q stops cleanly with the
  // auxiliary state 0 applied before closeConn; the table keeps the position it had.
  WriteFile(dir_ / "job.nc", "M3\nG1 X5\nG1 X10\nG1 X15\nG1 X20\nG1 X25\nG1 X30\n");
  const std::string report = (dir_ / "report.json").string();
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(STEPLINK_RUNNER, STEPLINK_RUNNER, "gcode", (dir_ / "job.nc").c_str(), "--realtime",
          "--quiet", "--library", STEPLINK_STANDARD_LIBRARY, "--report", report.c_str(), "--sim",
          ("record=" + (dir_ / "record.txt").string()).c_str(), nullptr);
    _exit(127);
  }
  std::string seen;
  const auto readFor = [&](int milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    char buffer[256];
    while (std::chrono::steady_clock::now() < until) {
      pollfd fd{terminal, POLLIN, 0};
      if (poll(&fd, 1, 20) > 0) {
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0) break;
        seen.append(buffer, static_cast<std::size_t>(got));
      }
    }
  };
  readFor(700);  // M3 (0.165 s) and the first moves
  ASSERT_EQ(write(terminal, "p", 1), 1);
  readFor(1500);
  EXPECT_NE(seen.find("feed hold"), std::string::npos) << seen;
  ASSERT_EQ(write(terminal, "q", 1), 1);
  readFor(1500);
  int status = 0;
  waitpid(child, &status, 0);
  close(terminal);
  const Result result = Finish(status);
  EXPECT_EQ(result.exitCode, 130) << seen;
  EXPECT_EQ(result.report["interrupted"], true);
  EXPECT_LT(result.report["calls_made"].get<int>(), result.report["calls"].get<int>());
  bool noted = false;
  for (const auto& note : result.report["notes"]) {
    noted = noted ||
            note["message"].get<std::string>().find("stopped while paused") != std::string::npos;
  }
  EXPECT_TRUE(noted) << result.report.dump(2);
  const tool::Record record = TableRecord();
  ASSERT_GE(record.aux.size(), 2u);
  EXPECT_EQ(record.aux.front().state, 1);  // M3
  EXPECT_EQ(record.aux.back().state, 0);   // the clean stop
  EXPECT_GT(record.FinalPositions()[0], 0);
  EXPECT_LT(record.FinalPositions()[0], 600);
}

// Nothing to run is a refusal before openConn, --check too: an empty program, comments only, a
// directory, a closed standard input.
TEST_F(GcodeRun, NothingToRunIsRefused) {
  for (const char* text : {"", "(only a comment)\n; and another\n%\n"}) {
    for (const char* check : {"", "--check"}) {
      const Result result = Program(text, check);
      EXPECT_EQ(result.exitCode, 2) << text << check << result.err;
      EXPECT_NE(result.err.find("nothing to run"), std::string::npos) << result.err;
      EXPECT_EQ(result.report["status"], "refused") << result.report.dump(2);
      EXPECT_TRUE(TableRecord().steps.empty());
    }
  }
  EXPECT_EQ(Gcode(dir_.string()).exitCode, 2);
  const std::string closed = std::string(STEPLINK_RUNNER) + " gcode - --library " +
                             STEPLINK_STANDARD_LIBRARY + " <&- >/dev/null 2>&1";
  EXPECT_EQ(WEXITSTATUS(std::system(closed.c_str())), 2);
}

// The variant is chosen, not guessed from the library's path: its start speed makes the
// estimate, and the report says which one and where it came from.
TEST_F(GcodeRun, VariantSetsTheEstimateAndIsReported) {
  const Result standard = Program("G1 X50\nM30\n", "--check");
  const Result start200 = Program("G1 X50\nM30\n", "--check --variant start200");
  ASSERT_EQ(standard.exitCode, 0) << standard.err;
  ASSERT_EQ(start200.exitCode, 0) << start200.err;
  EXPECT_GT(start200.report["planned_duration_s"].get<double>(),
            standard.report["planned_duration_s"].get<double>());
  EXPECT_EQ(standard.report["variant"]["name"], "standard");
  EXPECT_EQ(standard.report["variant"]["source"], "runner default");
  EXPECT_EQ(start200.report["variant"]["name"], "start200");
  EXPECT_EQ(start200.report["variant"]["source"], "--variant");
  EXPECT_EQ(Program("G1 X1\n", "--variant start300").exitCode, 2);
}

// A G-code job stopped by a signal gets its auxiliary output turned off afterwards (one more
// openConn, auxiliary state 0, closeConn); --keep-aux leaves it.
TEST_F(GcodeRun, StoppedJobTurnsTheAuxiliaryOutputOff) {
  WriteFile(dir_ / "job.nc", "M3\nG1 X100\nM30\n");
  for (const bool keep : {false, true}) {
    const std::string command =
        Command((dir_ / "job.nc").string() + " --realtime" + (keep ? " --keep-aux" : ""));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // M3, then the move
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    const Result result = Finish(status);
    EXPECT_EQ(result.exitCode, 143) << result.err;
    EXPECT_EQ(result.report["status"], "interrupted");
    if (keep) {
      EXPECT_TRUE(result.report["aux_off_after_stop"].is_null()) << result.report.dump(2);
    } else {
      EXPECT_EQ(result.report["aux_off_after_stop"], true) << result.err;
      EXPECT_NE(result.err.find("auxiliary output was turned off after the stop"),
                std::string::npos)
          << result.err;
      EXPECT_NE(result.out.find("aux off    turned off"), std::string::npos) << result.out;
    }
  }
}

// A program with more errors than are listed: the first 100 with their line, then one line for
// the rest; the report lists the same 100 and counts them all.
TEST_F(GcodeRun, ErrorsPastTheFirstHundredAreCountedInOneLine) {
  std::string text;
  for (int i = 0; i < 150; ++i) text += "G1 X700\n";
  const Result result = Program(text);
  EXPECT_EQ(result.exitCode, 2);
  std::istringstream lines(result.err);
  int listed = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("job.nc:") != std::string::npos && line.find("more") == std::string::npos)
      ++listed;
  }
  EXPECT_EQ(listed, 100) << result.err;
  EXPECT_NE(result.err.find("job.nc: and 50 more\n"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("150 error(s); refused"), std::string::npos) << result.err;
  EXPECT_EQ(result.report["errors"].size(), 100u);
  EXPECT_EQ(result.report["error_count"], 150);
}

// After a stop the summary says where the table stands (the status block's position, in
// machine coordinates), whether the auxiliary output is on, and the command that resumes; that
// command, run, ends where the whole job ends.
TEST_F(GcodeRun, InterruptSummaryTellsWhereTheTableIsAndHowToResume) {
  WriteFile(dir_ / "job.nc", "(homed by --home)\nM3\nG1 X100\nG1 X0 Y20\nM5\n");
  const std::string machine = jobs + "/example.toml";
  const std::string name = "steplink-gcode-stop-" + std::to_string(getpid());
  for (const bool keep : {false, true}) {
    // Command() with the status block named, to see when line 3 runs.
    const std::string command =
        "exec " + std::string(STEPLINK_RUNNER) + " gcode " + (dir_ / "job.nc").string() +
        " --machine " + machine + " --home --realtime" + (keep ? " --keep-aux" : "") +
        " --library " + STEPLINK_STANDARD_LIBRARY + " --report " + (dir_ / "report.json").string() +
        " --sim record=" + (dir_ / "record.txt").string() + ",status=" + name + " </dev/null >" +
        (dir_ / "out.txt").string() + " 2>" + (dir_ / "err.txt").string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setpgid(0, 0);
      execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
      _exit(127);
    }
    // After the homing and M3, 0.6 s into line 3's 4 s move along X.
    status::StatusView view;
    bool onLine3 = false;
    for (int i = 0; i < 300 && !onLine3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!view.IsOpen()) view.Open(name);
      const auto job = view.IsOpen() ? view.ReadJob() : std::nullopt;
      onLine3 = job && job->gcodeLine == 3 && job->callEntry == STEPLINK_CALL_VECTOR_OUT;
    }
    view.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    kill(child, SIGINT);
    EXPECT_TRUE(onLine3) << "line 3 never ran within 15 s";
    int status = 0;
    waitpid(child, &status, 0);
    const Result result = Finish(status);
    ASSERT_EQ(result.exitCode, 130) << result.err << result.out;
    ASSERT_EQ(result.report["last_line"], 2) << result.report.dump(2);
    const std::size_t at = result.out.find("  stands at  x ");
    ASSERT_NE(at, std::string::npos) << result.out;
    double xMm = 0;
    long long xSteps = 0;
    ASSERT_EQ(std::sscanf(result.out.c_str() + at, "  stands at  x %lf  y %*f  z %*f mm;  x %lld",
                          &xMm, &xSteps),
              2)
        << result.out;
    // Part of line 3's move, not the last finished move's end (x 0).
    EXPECT_GT(xSteps, 0) << result.out;
    EXPECT_LT(xSteps, 2000) << result.out;
    EXPECT_DOUBLE_EQ(xMm, xSteps / 20.0);
    // The table's own count is from where it stood; the homing put machine 0 at -150.
    EXPECT_EQ(result.report["table_steps"]["x"].get<long long>(), xSteps - 150) << result.out;
    EXPECT_NE(result.out.find(keep ? "  aux now    still on (--keep-aux)"
                                   : "  aux now    off (turned off after the stop)"),
              std::string::npos)
        << result.out;
    const std::string resume = "  resume     steplink gcode " + (dir_ / "job.nc").string() +
                               " --from-line 3 --machine " + machine + "\n";
    ASSERT_NE(result.out.find(resume), std::string::npos) << result.out;
    if (keep) continue;
    const Result whole = Gcode((dir_ / "job.nc").string() + " --machine " + machine + " --quiet");
    const Result resumed =
        Gcode(resume.substr(resume.find("gcode ") + 6, resume.size() - resume.find("gcode ") - 7) +
              " --quiet");
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_EQ(resumed.report["end"], whole.report["end"]);
  }
  shm_unlink(("/" + name).c_str());
}

// Every command's --help is generated and exits 0; gcode takes run's real-time options.
TEST_F(GcodeRun, HelpVersionAndUnknownCommands) {
  const auto run = [&](const std::string& args) {
    const int status =
        std::system((std::string(STEPLINK_RUNNER) + " " + args + " >" +
                     (dir_ / "out.txt").string() + " 2>" + (dir_ / "err.txt").string())
                        .c_str());
    return WEXITSTATUS(status);
  };
  for (const char* command : {"run", "gcode", "plot", "view", "probe"}) {
    EXPECT_EQ(run(std::string(command) + " --help"), 0) << command;
    EXPECT_NE(ReadFile(dir_ / "out.txt").find("--help"), std::string::npos) << command;
  }
  EXPECT_EQ(run("gcode --help"), 0);
  const std::string help = ReadFile(dir_ / "out.txt");
  for (const char* option : {"--rt", "--cpu", "--trace", "--variant", "--keep-aux", "--view-port",
                             "--machine", "--report", "--from-line", "--device"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option << "\n" << help;
  }
  EXPECT_EQ(run("--help"), 0);
  EXPECT_EQ(run("--version"), 0);
  EXPECT_EQ(ReadFile(dir_ / "out.txt"), std::string("steplink ") + STEPLINK_PROJECT_VERSION + "\n");
  EXPECT_EQ(run("runn"), 2);
  EXPECT_NE(ReadFile(dir_ / "err.txt").find("unknown command 'runn' (did you mean 'run'?)"),
            std::string::npos)
      << ReadFile(dir_ / "err.txt");
  EXPECT_EQ(run("frobnicate"), 2);
  EXPECT_EQ(ReadFile(dir_ / "err.txt").find("did you mean"), std::string::npos);
  EXPECT_EQ(run("probe --device bogus"), 2);
  EXPECT_EQ(run("gcode x.nc --bogus"), 2);
  EXPECT_EQ(run("gcode x.nc --quiet=1"), 2);
  EXPECT_EQ(run("gcode x.nc --machine"), 2);
}

}  // namespace
