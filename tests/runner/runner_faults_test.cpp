// The runner learns of faults from what the device seam counted and the calls returned, handed
// back by the call process after each call, never from the library's printed lines: a dead
// counter and refused port operations end the job as a fault with the library's lines as they
// were printed, lines that only look like faults decide nothing, a fault stop leaves the job
// section failed with the stop sequence's calls reported too, and a reference whose creep never
// met its switch ends the job right after it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "calls/call_child.h"
#include "contract/steplink_contract.h"
#include "job/script_source.h"
#include "run_support.h"
#include "status/status_block.h"
#include "status/status_view.h"

namespace {

namespace fs = std::filesystem;

const std::string stuckLine =
    "Timer: counter 0 showed one value for 65536 readings; wait ended early.";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t CountStartingWith(const std::string& text, const std::string& prefix) {
  const std::vector<std::string> lines = Lines(text);
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(),
                    [&](const std::string& line) { return line.starts_with(prefix); }));
}

class RunnerFaults : public test::ScratchDirTest {
 protected:
  RunnerFaults() : test::ScratchDirTest("steplink-faults-test") {}

  test::RunResult Steplink(const std::string& args) {
    return test::RunShell(
        "env -u STEPLINK_SIM " + std::string(STEPLINK_RUNNER) + " " + args + " </dev/null", dir_);
  }
  test::RunResult Run(const std::string& script, const std::string& args) {
    std::ofstream(dir_ / "job.steplink") << script;
    return Steplink("run " + (dir_ / "job.steplink").string() + " " + args);
  }
};

// counter=frozen: every wait of a move gives up. The job is a fault from the seam's stall count,
// one call for each line the library printed, and the lines stand where the library put them.
TEST_F(RunnerFaults, ADeadCounterIsAFaultAndTheLibrarysLinesStayAsPrinted) {
  const test::RunResult run =
      Run("openConn\ninitTimer\nvectorOut 3 0 0\nvectorOut 0 0 32000\ncloseConn\n",
          "--sim counter=frozen");
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.err.find("steplink: counter 0 stood still in 2 call(s); the waits were not "
                         "paced\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("summary (stopped: counter 0 stood still: the waits were not paced)"),
            std::string::npos)
      << run.out;
  // The library's line once in each move, just before the move's result.
  const std::vector<std::string> lines = Lines(run.out);
  std::vector<std::string> afterStuck;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i] == stuckLine) afterStuck.push_back(lines[i + 1]);
  }
  EXPECT_EQ(afterStuck, (std::vector<std::string>{"vectorOut 3 0 0 -> 3 (move done)",
                                                  "vectorOut 0 0 32000 -> 1 (auxiliary state 1 "
                                                  "set)"}))
      << run.out;

  // A G-code job the same: its report says fault, with the reason.
  std::ofstream(dir_ / "job.nc") << "M3\nM5\n";
  const test::RunResult gcode = Steplink("gcode " + (dir_ / "job.nc").string() + " --report " +
                                         (dir_ / "report.json").string() + " --sim counter=frozen");
  EXPECT_EQ(gcode.exitCode, 1) << gcode.err;
  const nlohmann::json report = nlohmann::json::parse(test::ReadFile(dir_ / "report.json"));
  EXPECT_EQ(report["status"], "fault") << report.dump(2);
  EXPECT_NE(report["fault"].dump().find("counter 0 stood still"), std::string::npos);
  EXPECT_NE(gcode.out.find("gcode summary (stopped: counter 0 stood still"), std::string::npos)
      << gcode.out;
}

// A channel never opened, and a device that did not open (--keep-going): the count in the
// runner's line is the number of failure lines the library printed, the first one quoted.
TEST_F(RunnerFaults, RefusedPortOperationsAreCountedOnceForEachLineTheLibraryPrints) {
  struct Case {
    const char* script;
    const char* args;
    bool firstFault;  // the summary's headline names it (else the failed openConn)
  };
  const Case cases[] = {
      {"initTimer\nvectorOut 5 0 0\n", "--verbatim", true},
      {"openConn\ninitTimer\nvectorOut 20 0 0\ncloseConn\n",
       "--verbatim --keep-going --sim service=no-device", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const test::RunResult run = Run(c.script, c.args);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const std::string tail =
        " port operation(s) failed, first: 'Error occured during outportb while talking to "
        "PortTalk driver 6' (6: the channel was not open: call openConn first and check its "
        "result)";
    const std::size_t at = run.err.find(tail);
    ASSERT_NE(at, std::string::npos) << run.err;
    const std::size_t start = run.err.rfind("steplink: ", at) + 10;
    const std::size_t counted = std::stoul(run.err.substr(start, at - start));
    EXPECT_GT(counted, 10u);
    EXPECT_EQ(CountStartingWith(run.out, "Error occured during "), counted) << run.out;
    const std::string headline =
        c.firstFault ? std::to_string(counted) + tail + ")" : std::string("openConn failed");
    EXPECT_NE(run.out.find("summary (stopped: " + headline), std::string::npos) << run.out;
  }
}

// A library that prints the failure lines while nothing failed ran to its end; one that has a
// port write refused without a word is a fault all the same.
TEST_F(RunnerFaults, PrintedLinesDecideNothing) {
  const std::string library = std::string("--library ") + STEPLINK_FAULT_LIBRARY;
  const test::RunResult printed = Run("vectorOut 5 0 0\n", library);
  EXPECT_EQ(printed.exitCode, 0) << printed.err;
  EXPECT_EQ(CountStartingWith(printed.out, "Error occured during "), 1u) << printed.out;
  EXPECT_EQ(CountStartingWith(printed.out, "Timer: counter 0"), 1u) << printed.out;
  EXPECT_EQ(printed.err.find("port operation"), std::string::npos) << printed.err;
  EXPECT_EQ(printed.err.find("stood still"), std::string::npos) << printed.err;
  EXPECT_EQ(printed.out.find("summary (stopped"), std::string::npos) << printed.out;

  const test::RunResult silent = Run("vectorOut 6 0 0\n", library);
  EXPECT_EQ(silent.exitCode, 1) << silent.err;
  EXPECT_EQ(CountStartingWith(silent.out, "Error occured"), 0u) << silent.out;
  EXPECT_NE(silent.err.find("steplink: 1 port operation(s) failed, first: 'Error occured during "
                            "outportb while talking to PortTalk driver 6'"),
            std::string::npos)
      << silent.err;
}

// The runner stops a job at a call boundary for a fault: the call process makes the stop
// sequence, says failed (not interrupted) in the job section, and reports every call it made,
// the stop sequence's included, although the runner has ended the steps by then.
TEST_F(RunnerFaults, AFaultStopIsFailedInTheBlockAndEveryCallIsReported) {
  const std::string name = "steplink-faults-test-" + std::to_string(getpid());
  std::string error;
  const auto block = status::StatusBlockFile::Create(name, error);
  ASSERT_TRUE(block) << error;

  std::vector<tool::ScriptCall> calls{{tool::Entry::openConn, {}, 1},
                                      {tool::Entry::initTimer, {}, 2}};
  for (int i = 0; i < 400; ++i) calls.push_back({tool::Entry::vectorOut, {20, 0, 0}, 3 + i});
  calls.push_back({tool::Entry::closeConn, {}, 403});
  tool::ScriptJobSource source("faults", std::move(calls));

  tool::ChildOptions options;
  options.libraryPath = STEPLINK_STANDARD_LIBRARY;
  options.printCalls = false;
  options.statusName = name;
  options.environment.emplace_back("STEPLINK_SIM", "clock=virtual,status=" + name);
  options.stopSequence = {true, true};  // auxiliary output off, then closeConn
  tool::CallChild child;
  ASSERT_TRUE(child.Start(options, error)) << error;
  // The fault once the device is open and a few moves were made.
  status::StatusView view;
  ASSERT_TRUE(view.Open(name));
  tool::WaitHooks hooks;
  hooks.stopReason = [&] {
    const auto now = view.ReadJob();
    return now && now->callIndex >= 5 ? std::string("a test fault") : std::string();
  };
  const tool::ChildOutcome outcome = child.Wait(source, hooks);

  EXPECT_EQ(outcome.end, tool::ChildOutcome::End::cleanStop) << tool::Explain(outcome);
  EXPECT_EQ(outcome.faultStop, "a test fault");
  const auto job = view.ReadJob();
  ASSERT_TRUE(job);
  EXPECT_EQ(job->state, STEPLINK_JOB_FAILED);
  // The job's calls up to the boundary, then the auxiliary output off and closeConn.
  EXPECT_GE(job->callIndex, 5u);
  EXPECT_LT(job->callIndex, 400u);
  EXPECT_EQ(outcome.device.calls, job->callIndex + 2u);
  EXPECT_EQ(outcome.device.refusedOps, 0u);
  EXPECT_EQ(outcome.device.stalledCalls, 0u);
  EXPECT_EQ(outcome.device.failedResults, 0u);
}

// A switch beyond the creep's reach: the reference homed nothing, so nothing moves after it (the
// stop sequence aside); --keep-going goes on and still fails. A G-code job homed by --home the
// same, its report a fault.
TEST_F(RunnerFaults, AReferenceThatNeverMetItsSwitchEndsTheJobThere) {
  const std::string script =
      "openConn\ninitTimer\nreference 0 0 20\nvectorOut 100 0 0\ncloseConn\n";
  const std::string noSwitch = "--sim clock=virtual,limit-z=-100000";
  const std::string reason =
      "1 reference creep(s) made 32000 steps and the limit input never engaged: the axis is not "
      "homed";

  const test::RunResult stopped = Run(script, noSwitch);
  EXPECT_EQ(stopped.exitCode, 1) << stopped.err;
  EXPECT_NE(stopped.out.find("reference 0 0 20 -> done (not homed: a creep made 32000 steps and "
                             "the limit input never engaged)"),
            std::string::npos)
      << stopped.out;
  EXPECT_EQ(stopped.out.find("vectorOut 100 0 0"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("summary (stopped: " + reason), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("faults     no-switch 1"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("position   x 0  y 0  z -31980"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.err.find("the job stopped"), std::string::npos) << stopped.err;

  const test::RunResult goneOn = Run(script, noSwitch + " --keep-going");
  EXPECT_EQ(goneOn.exitCode, 1) << goneOn.err;
  EXPECT_NE(goneOn.out.find("vectorOut 100 0 0 -> 3"), std::string::npos) << goneOn.out;
  EXPECT_NE(goneOn.err.find("steplink: " + reason), std::string::npos) << goneOn.err;

  // The switch within reach: the same script runs to its end.
  const test::RunResult found = Run(script, "--sim clock=virtual,limit-z=-300");
  EXPECT_EQ(found.exitCode, 0) << found.err;
  EXPECT_NE(found.out.find("reference 0 0 20 -> done (homed Z)"), std::string::npos) << found.out;

  std::ofstream(dir_ / "job.nc") << "G21\nG0 X10\nG0 Y5\n";
  const test::RunResult gcode =
      Steplink("gcode " + (dir_ / "job.nc").string() + " --home --report " +
               (dir_ / "report.json").string() + " --sim clock=virtual,limit-x=-100000");
  EXPECT_EQ(gcode.exitCode, 1) << gcode.err;
  const nlohmann::json report = nlohmann::json::parse(test::ReadFile(dir_ / "report.json"));
  EXPECT_EQ(report["status"], "fault") << report.dump(2);
  EXPECT_NE(report["fault"].dump().find("never engaged"), std::string::npos) << report.dump(2);
  EXPECT_EQ(report["calls_made"], 2) << report.dump(2);  // the two references, no move
  EXPECT_NE(gcode.out.find("stands at  unknown in machine coordinates: a reference run did not "
                           "find its switch"),
            std::string::npos)
      << gcode.out;
}

}  // namespace
