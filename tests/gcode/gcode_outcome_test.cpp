// How a G-code job ends, end to end on the simulated table: a program changed while its job runs
// (appended, truncated, rewritten in place with its time put back) stops at a call boundary with
// the stop sequence and exit 1; a /proc program runs what was read; a signal during the reading
// of the program still writes the report; a closed standard output is a fault, said on stderr.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "file_support.h"
#include "outputs/record.h"
#include "rewrite_in_place.h"

namespace fs = std::filesystem;

namespace {

struct Ended {
  int exitCode = -1;
  std::string out, err, trace;
  nlohmann::json report;
  int lastAux = -1;  // the record's last auxiliary event, -1 none
};

class GcodeOutcome : public testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() / ("steplink-outcome-" + std::to_string(getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The runner on `program` with a report, a record and a trace; standard output to `out`
  // unless `stdoutTo` replaces the redirection.
  std::string Command(const std::string& program, const std::string& args,
                      const std::string& stdoutTo = "") const {
    return std::string(STEPLINK_RUNNER) + " gcode " + program + " " + args + " --library " +
           STEPLINK_STANDARD_LIBRARY + " --report " + (dir_ / "report.json").string() +
           " --trace " + (dir_ / "trace.txt").string() +
           " --sim record=" + (dir_ / "record.txt").string() + " </dev/null 2>" +
           (dir_ / "err.txt").string() +
           (stdoutTo.empty() ? " >" + (dir_ / "out.txt").string() : stdoutTo);
  }

  // stdoutFd: the child's standard output (-1: as the test's).
  pid_t Start(const std::string& command, int stdoutFd = -1) const {
    const pid_t child = fork();
    if (child == 0) {
      if (stdoutFd >= 0 && dup2(stdoutFd, STDOUT_FILENO) < 0) _exit(127);
      execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
      _exit(127);
    }
    return child;
  }

  Ended Wait(pid_t child) const {
    int status = 0;
    waitpid(child, &status, 0);
    return Collect(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }

  Ended Collect(int exitCode) const {
    Ended ended;
    ended.exitCode = exitCode;
    ended.out = test::ReadFile(dir_ / "out.txt");
    ended.err = test::ReadFile(dir_ / "err.txt");
    ended.trace = test::ReadFile(dir_ / "trace.txt");
    const std::string report = test::ReadFile(dir_ / "report.json");
    if (!report.empty()) ended.report = nlohmann::json::parse(report);
    if (fs::exists(dir_ / "record.txt")) {
      const tool::Record record = tool::ReadRecordFile((dir_ / "record.txt").string());
      if (!record.aux.empty()) ended.lastAux = record.aux.back().state;
    }
    return ended;
  }

  fs::path dir_;
};

// The last entry call the library traced ("call closeConn"), empty when none.
std::string LastCall(const std::string& trace) {
  const std::size_t at = trace.rfind("call ");
  if (at == std::string::npos) return {};
  return trace.substr(at, trace.find_first_of(" \n", at + 5) - at);
}

// Every early end is a fault with the stop sequence: exit 1, `fault` with the reason, the
// summary's "stopped: ...", the auxiliary output off last, closeConn the last call.
void ExpectStoppedByFault(const Ended& ended, const std::string& reason) {
  EXPECT_EQ(ended.exitCode, 1) << ended.err;
  EXPECT_EQ(ended.report["status"], "fault") << ended.report.dump(2);
  EXPECT_NE(ended.report["fault"].dump().find(reason), std::string::npos)
      << ended.report["fault"].dump();
  EXPECT_NE(ended.out.find("gcode summary (stopped: "), std::string::npos) << ended.out;
  EXPECT_EQ(ended.out.find("ran to its end"), std::string::npos) << ended.out;
  EXPECT_NE(ended.lastAux, 1);  // never left on (-1: the job stopped before it was set)
  EXPECT_EQ(LastCall(ended.trace), "call closeConn") << ended.trace.size();
}

// The quick ways a job ends, each with its exit code, report status, fault and summary headline:
// only the job that all ran says "ran to its end".
TEST_F(GcodeOutcome, EveryEndHasOneOutcome) {
  struct Case {
    const char* program;
    const char* environment;  // before the command
    const char* args;
    int exitCode;
    const char* status;
    const char* headline;  // in the summary; "" none printed
    const char* fault;     // in the report's fault; "" null
  };
  const Case cases[] = {
      {"M3\nG1 X5\nM5\n", "", "", 0, "completed", "gcode summary (ran to its end)", ""},
      {"M3\nG1 X5\nM5\n", "", "--check", 0, "checked", "gcode summary (checked", ""},
      {"G1 X100000\n", "", "", 2, "refused", "", ""},
      {"M3\nG1 X5\nM5\n", "STEPLINK_SIM=service=no-device ", "", 1, "fault",
       "gcode summary (stopped: openConn failed", "openConn failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + c.environment + c.args);
    std::ofstream(dir_ / "job.nc", std::ios::binary) << c.program;
    fs::remove(dir_ / "report.json");
    const int status =
        std::system((c.environment + Command((dir_ / "job.nc").string(), c.args)).c_str());
    const Ended ended = Collect(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    EXPECT_EQ(ended.exitCode, c.exitCode) << ended.err;
    EXPECT_EQ(ended.report["status"], c.status) << ended.report.dump(2);
    EXPECT_EQ(ended.report["exit_code"], c.exitCode);
    if (*c.headline != '\0') {
      EXPECT_NE(ended.out.find(c.headline), std::string::npos) << ended.out;
    }
    EXPECT_EQ(ended.out.find("ran to its end") != std::string::npos,
              std::string(c.status) == "completed")
        << ended.out;
    if (*c.fault == '\0') {
      EXPECT_TRUE(ended.report["fault"].is_null()) << ended.report["fault"];
    } else {
      EXPECT_NE(ended.report["fault"].dump().find(c.fault), std::string::npos);
    }
    EXPECT_NE(ended.lastAux, 1);  // the auxiliary output is never left on
  }
}

// A 4 s move with the auxiliary output on, then 40 000 zero dwells (about 240 KB, several
// read chunks: far more than pass 2 plans ahead) and a last move the rewrite changes.
std::string LongProgram() {
  std::string text = "M3\nG1 X100\n";
  for (int i = 0; i < 40'000; ++i) text += "G4 P0\n";
  return text + "G0 X5.000\n";
}

TEST_F(GcodeOutcome, AProgramChangedWhileItRunsStopsWithTheStopSequence) {
  enum class Change { append, truncate, rewriteInPlace };
  for (const Change change : {Change::append, Change::truncate, Change::rewriteInPlace}) {
    SCOPED_TRACE(static_cast<int>(change));
    const std::string text = LongProgram();
    std::ofstream(dir_ / "job.nc", std::ios::binary) << text;
    // The last case's progress lines must not count for this one: its shell may open err.txt late.
    fs::remove(dir_ / "err.txt");
    const pid_t child = Start(Command((dir_ / "job.nc").string(), "--realtime"));
    // Pass 2 in the long move (the progress display on line 2), whatever the machine's load.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (test::ReadFile(dir_ / "err.txt").find("line 2/") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t lastLine = text.size() - 10;
    if (change == Change::append) std::ofstream(dir_ / "job.nc", std::ios::app) << "G0 X9\n";
    if (change == Change::truncate) fs::resize_file(dir_ / "job.nc", lastLine);
    if (change == Change::rewriteInPlace)
      test::RewriteKeepingTime(dir_ / "job.nc", lastLine, "G0 X50.00\n");
    const Ended ended = Wait(child);
    ExpectStoppedByFault(ended, "changed after it was checked");
    EXPECT_EQ(ended.lastAux, 0);  // M3 had turned it on; the stop sequence turned it off
    EXPECT_EQ(ended.report["aux_off_after_stop"], true);
    // Stopped at the boundary after the long move: the table stands at X 100 mm, where that
    // move ended; the rewritten last line (X 50) never ran, nor did most dwells queued.
    EXPECT_NEAR(ended.report["end"]["mm"]["x"].get<double>(), 100.0, 1e-6) << ended.report.dump(2);
    EXPECT_EQ(ended.report["table_steps"]["x"], ended.report["end"]["steps"]["x"]);
    EXPECT_LT(ended.report["percent"].get<double>(), 99.0);
  }
}

// A program that keeps growing from before the runner opens it: the change is seen whether the
// check or the run reads it, and the job is never reported as complete.
TEST_F(GcodeOutcome, AProgramGrowingDuringTheCheckNeverEndsAsSuccess) {
  std::string text = "M3\n";
  for (int i = 0; i < 20'000; ++i) text += i % 2 ? "G1 X1\n" : "G1 X2\n";
  std::ofstream(dir_ / "job.nc", std::ios::binary) << text;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    while (!done) {
      std::ofstream(dir_ / "job.nc", std::ios::app) << "G1 X3\n";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const Ended ended = Wait(Start(Command((dir_ / "job.nc").string(), "")));
  done = true;
  writer.join();
  ExpectStoppedByFault(ended, "changed after it was checked");
}

// A /proc file says size 0 and never changes its time: what runs is still what was read.
TEST_F(GcodeOutcome, AProcProgramRunsTheBytesItWasCheckedWith) {
  const pid_t named = fork();
  ASSERT_GE(named, 0);
  if (named == 0) {
    prctl(PR_SET_NAME, "G0 X5", 0, 0, 0);  // its /proc/PID/comm: "G0 X5\n"
    pause();
    _exit(0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const Ended ended = Wait(Start(Command("/proc/" + std::to_string(named) + "/comm", "--quiet")));
  kill(named, SIGKILL);
  waitpid(named, nullptr, 0);
  EXPECT_EQ(ended.exitCode, 0) << ended.err;
  EXPECT_EQ(ended.report["status"], "completed") << ended.report.dump(2);
  EXPECT_GT(ended.report["table_steps"]["x"].get<std::int64_t>(), 0);
}

// SIGTERM while the program is still being read (a pipe whose writer is slow): the report is
// written, `interrupted`, nothing moved, 143.
TEST_F(GcodeOutcome, ASignalWhileTheProgramIsReadWritesTheReport) {
  const fs::path fifo = dir_ / "job.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int writer = open(fifo.c_str(), O_RDWR);  // held open: the reading never ends by itself
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "G1 X5\n", 6), 6);
  const pid_t child = Start(Command(fifo.string(), ""));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(child, SIGTERM);
  const Ended ended = Wait(child);
  close(writer);
  EXPECT_EQ(ended.exitCode, 143) << ended.err;
  EXPECT_EQ(ended.report["status"], "interrupted") << ended.report.dump(2);
  EXPECT_EQ(ended.report["interrupted"], true);
  EXPECT_NE(ended.err.find("nothing moved"), std::string::npos) << ended.err;
  EXPECT_EQ(ended.trace.find("call "), std::string::npos) << ended.trace;
}

// Standard output closed early (`| head -c 10`): no silent death by SIGPIPE; exit 1, the reason
// on standard error, the report a fault. A SIGPIPE sent from outside still ends it as 141.
TEST_F(GcodeOutcome, AClosedStandardOutputIsAFaultAndAnOutsideSigpipeASignal) {
  std::ofstream(dir_ / "job.nc") << "M3\nG1 X25\nM5\n";
  const std::string code = (dir_ / "code.txt").string();
  const std::string command = "(" + Command((dir_ / "job.nc").string(), "--realtime", " ") +
                              "; echo $? >" + code + ") | head -c 10 >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  Ended ended = Collect(std::stoi(test::ReadFile(code)));
  EXPECT_EQ(ended.exitCode, 1) << ended.err;
  EXPECT_NE(ended.err.find("cannot write to standard output"), std::string::npos) << ended.err;
  EXPECT_EQ(ended.report["status"], "fault") << ended.report.dump(2);
  EXPECT_NE(ended.report["fault"].dump().find("cannot write to standard output"),
            std::string::npos);

  const pid_t child = Start(Command((dir_ / "job.nc").string(), "--realtime"));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  kill(child, SIGPIPE);
  ended = Wait(child);
  EXPECT_EQ(ended.exitCode, 141) << ended.err;
  EXPECT_EQ(ended.report["status"], "interrupted") << ended.report.dump(2);
  // Turned off after the stop by a call process of its own (not in the job's record).
  EXPECT_EQ(ended.report["aux_off_after_stop"], true) << ended.err;
}

// A check whose summary cannot be written (the reader gone): exit 1 and a report that says so,
// never "checked" beside a failing exit.
TEST_F(GcodeOutcome, ACheckThatCannotWriteItsSummaryIsNoCheck) {
  std::ofstream(dir_ / "job.nc") << "M3\nG1 X25\nM5\n";
  // A pipe whose reader is gone before the check starts: its first write fails, however late.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  close(pipeFds[0]);
  const pid_t child = Start(Command((dir_ / "job.nc").string(), "--check", " "), pipeFds[1]);
  close(pipeFds[1]);
  const Ended ended = Wait(child);
  EXPECT_EQ(ended.exitCode, 1) << ended.err;
  EXPECT_NE(ended.err.find("cannot write to standard output"), std::string::npos) << ended.err;
  EXPECT_EQ(ended.report["status"], "fault") << ended.report.dump(2);
  EXPECT_EQ(ended.report["exit_code"], 1);
}

}  // namespace
