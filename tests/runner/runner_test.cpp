// Tests of the steplink runner: the script parser (errors with line numbers), the record reader,
// the nearest command, and end-to-end runs of the runner binary through the library's exports
// on the simulated table, with a golden port trace and the trace format's invariants.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "entry/entry.h"
#include "job/script.h"
#include "outputs/plot.h"
#include "outputs/record.h"
#include "run_support.h"

namespace {

using test::ReadFile;
using test::WriteFile;

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// --- script parser ---------------------------------------------------------------------------

TEST(RunnerScript, CallsCommentsAndBlankLines) {
  const tool::Script script = tool::ParseScript(
      "# job\n"
      "openConn\n"
      "\n"
      "  initTimer   # once\n"
      "vectorOut 10 -20 32000\r\n"
      "reference\t-2147483648 +5 2147483647\n"
      "closeConn");

  EXPECT_TRUE(script.errors.empty());
  ASSERT_EQ(script.calls.size(), 5u);
  EXPECT_EQ(script.calls[0].entry, tool::Entry::openConn);
  EXPECT_EQ(script.calls[2].entry, tool::Entry::vectorOut);
  EXPECT_EQ(script.calls[2].line, 5);
  EXPECT_EQ(script.calls[2].args, (std::array<std::int32_t, 3>{10, -20, 32000}));
  EXPECT_EQ(script.calls[3].args, (std::array<std::int32_t, 3>{INT32_MIN, 5, INT32_MAX}));
  EXPECT_EQ(script.calls[4].line, 7);
  EXPECT_EQ(tool::FormatCall(script.calls[3]), "reference -2147483648 5 2147483647");
}

TEST(RunnerScript, EveryBadLineIsReportedWithItsNumber) {
  const tool::Script script = tool::ParseScript(
      "openConn\n"
      "vectorout 1 2 3\n"
      "vectorOut 1 2\n"
      "initTimer 5\n"
      "reference 1 2 2147483648\n"
      "vectorOut 1 -2147483649 0\n"
      "vectorOut 1.5 0 0\n"
      "vectorOut 0x10 0 0\n"
      "vectorOut - 0 0\n"
      "closeConn\n");

  std::vector<int> lines;
  for (const tool::ScriptError& error : script.errors) lines.push_back(error.line);
  EXPECT_EQ(lines, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9}));
  ASSERT_EQ(script.errors.size(), 8u);
  EXPECT_NE(script.errors[0].message.find("unknown call 'vectorout'"), std::string::npos);
  EXPECT_NE(script.errors[1].message.find("takes 3 arguments"), std::string::npos);
  EXPECT_NE(script.errors[2].message.find("takes 0 arguments, got 1"), std::string::npos);
  EXPECT_NE(script.errors[3].message.find("'2147483648' is not a 32-bit integer"),
            std::string::npos);
}

TEST(RunnerScript, OddBytesAndSignsAreNamedWithTheirLine) {
  static constexpr char text[] =
      "\xEF\xBB\xBFopenConn\n"
      "vectorOut +-10 0 0\n"
      "vectorOut --5 0 0\n"
      "vectorOut 1 ++2 0\n"
      "initTimer\rvectorOut 1 2 3\n"
      "vector\0Out 1 2 3\n"
      "closeConn\r\n"
      "openC\xC3\xB6nn\n";
  const tool::Script script = tool::ParseScript(std::string(text, sizeof(text) - 1));

  std::vector<std::pair<int, std::string>> got;
  for (const tool::ScriptError& error : script.errors) got.emplace_back(error.line, error.message);
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[0].first, 1);
  EXPECT_NE(got[0].second.find("byte-order mark"), std::string::npos);
  EXPECT_NE(got[1].second.find("'+-10' is not a 32-bit integer"), std::string::npos);
  EXPECT_EQ(got[2].first, 3);
  EXPECT_EQ(got[3].first, 4);
  EXPECT_EQ(got[4].first, 5);
  EXPECT_NE(got[4].second.find("carriage return inside the line at column 10"), std::string::npos)
      << got[4].second;
  EXPECT_EQ(got[5].first, 6);
  EXPECT_NE(got[5].second.find("NUL byte at column 7"), std::string::npos) << got[5].second;
  EXPECT_EQ(got[6].first, 8);
  EXPECT_NE(got[6].second.find("unknown call 'openC\\xC3\\xB6nn'"), std::string::npos)
      << got[6].second;
  // The BOM's line still counts its call; the CRLF line is good.
  ASSERT_EQ(script.calls.size(), 2u);
  EXPECT_EQ(script.calls[1].entry, tool::Entry::closeConn);
}

// --- record reader -----------------------------------------------------------------------------

TEST(RunnerRecord, EventsFaultCountsAndFinalPositions) {
  const tool::Record record = tool::ParseRecord(
      "# steplink sim record 1\n"
      "step 10 x + 1\n"
      "aux 20 1\n"
      "step 30 y - -1\n"
      "fault 40 settle 3be 01\n"
      "fault 50 pattern 3bc ff\n"
      "fault 60 pattern 3bc 00\n"
      "step 70 x + 2\n"
      "step 80 q + 2\n"
      "step 9");  // cut off at the end of a crashed run

  EXPECT_EQ(record.steps.size(), 3u);
  EXPECT_EQ(record.FinalPositions(), (std::array<std::int32_t, 3>{2, -1, 0}));
  EXPECT_EQ(record.LastTick(), 70u);
  EXPECT_EQ(record.FaultsByKind(), (std::map<std::string, int>{{"pattern", 2}, {"settle", 1}}));
  EXPECT_EQ(record.faults[0].port, 0x3BEu);
  EXPECT_EQ(record.faults[1].value, 0xFFu);
  ASSERT_EQ(record.errors.size(), 2u);
  EXPECT_NE(record.errors[0].find("line 9"), std::string::npos);
}

TEST(RunnerRecord, WhatIsNoRecordIsRefusedInBoundedTime) {
  EXPECT_NE(tool::ParseRecord("step 10 x + 1\n").refused.find("its first line is 'step 10 x + 1'"),
            std::string::npos);
  const tool::Record huge =
      tool::ParseRecord("# steplink sim record 1\n" + std::string(1 << 20, 'a') + "\n");
  EXPECT_NE(huge.refused.find("line 2 is longer than 256 bytes"), std::string::npos);
  constexpr char binaryBytes[] = "# steplink sim record 1\nstep 1 x + 1\n\0\0junk";
  const tool::Record binary = tool::ParseRecord(std::string(binaryBytes, sizeof binaryBytes - 1));
  EXPECT_NE(binary.refused.find("binary data"), std::string::npos) << binary.refused;
  std::string garbage = "# steplink sim record 1\n";
  for (int i = 0; i < 100; ++i) garbage += "nonsense\n";
  EXPECT_NE(tool::ParseRecord(garbage).refused.find("more than 20 lines are unreadable"),
            std::string::npos);
  for (const char* path : {"/dev/zero", "/", "/dev/null"}) {
    const tool::Record record = tool::ReadRecordFile(path);
    EXPECT_NE(record.refused.find("is not a regular file"), std::string::npos) << path;
  }
  // The zero bytes a killed writer leaves at the end are no error; the lines before them count.
  const tool::Record killed = tool::ParseRecord(
      std::string("# steplink sim record 1\nstep 1 x + 1\n") + std::string(4096, '\0'));
  EXPECT_EQ(killed.refused, "");
  EXPECT_TRUE(killed.errors.empty());
  EXPECT_EQ(killed.steps.size(), 1u);
  EXPECT_EQ(killed.zeroTailBytes, 4096u);
}

TEST(RunnerPlot, LabelsBothPanelsInUnitsAndEscapesTheTitle) {
  std::string text = "# steplink sim record 1\n";
  for (int i = 1; i <= 400; ++i) {
    text += "step " + std::to_string(i * 3000) + " x + " + std::to_string(i) + "\n";
    if (i % 2 == 0)
      text += "step " + std::to_string(i * 3000 + 10) + " y + " + std::to_string(i / 2) + "\n";
  }
  std::ostringstream svg;

  tool::WritePlotSvg(tool::ParseRecord(text), "a<b & c", svg);

  const std::string out = svg.str();
  EXPECT_EQ(out.rfind("<?xml", 0), 0u);
  EXPECT_NE(out.find("</svg>\n"), std::string::npos);
  EXPECT_NE(out.find("step rate (steps/s)"), std::string::npos);
  EXPECT_NE(out.find("time (s)"), std::string::npos);
  EXPECT_NE(out.find("X position (steps)"), std::string::npos);
  EXPECT_NE(out.find("Y position (steps)"), std::string::npos);
  EXPECT_NE(out.find("a&lt;b &amp; c"), std::string::npos);
  EXPECT_NE(out.find("end (400, 200)"), std::string::npos);
  EXPECT_EQ(out.find("nan"), std::string::npos);
  EXPECT_EQ(out.find("inf"), std::string::npos);
}

// --- command line --------------------------------------------------------------------------------

// The command line itself is CLI11's; what is ours: the nearest command to a mistyped one.
TEST(RunnerArgs, NearestCommandToAMistypedOne) {
  EXPECT_EQ(tool::NearestCommand("runn"), "run");
  EXPECT_EQ(tool::NearestCommand("gcod"), "gcode");
  EXPECT_EQ(tool::NearestCommand("prob"), "probe");
  EXPECT_EQ(tool::NearestCommand("vew"), "view");
  EXPECT_EQ(tool::NearestCommand("xyzzy"), "");
  EXPECT_EQ(tool::NearestCommand(""), "");
}

// --- end to end through the runner binary
// ----------------------------------------------------------

using test::RunResult;

class RunnerEndToEnd : public test::ScratchDirTest {
 protected:
  RunnerEndToEnd() : ScratchDirTest("steplink-runner-test") {}

  RunResult Run(const std::string& script, const std::string& options) {
    WriteFile(dir_ / "job.steplink", script);
    return test::RunShell(
        std::string(STEPLINK_RUNNER) + " run " + options + " " + (dir_ / "job.steplink").string(),
        dir_);
  }
};

TEST_F(RunnerEndToEnd, OpenInitCloseTraceMatchesTheGoldenFile) {
  // A script of openConn, initTimer and closeConn alone is nothing to run: one vectorOut goes
  // with them, and its calls are taken out of the trace before the comparison.
  const RunResult result = Run("openConn\ninitTimer\nvectorOut 0 0 0\ncloseConn\ncloseConn\n",
                               "--trace " + (dir_ / "trace.txt").string());

  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  std::string trace;
  bool inVectorOut = false;
  for (const std::string& line : Lines(ReadFile(dir_ / "trace.txt"))) {
    if (line.starts_with("call vectorOut")) inVectorOut = true;
    if (!inVectorOut) trace += line + "\n";
    if (line.starts_with("ret ")) inVectorOut = false;
  }
  EXPECT_EQ(trace, ReadFile(fs::path(STEPLINK_GOLDEN_DIR) / "open_init_close.trace"));
  EXPECT_NE(result.out.find("openConn -> 124 (device open)\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("closeConn -> 0 (nothing closed: no device was open)\n"),
            std::string::npos);
  EXPECT_NE(result.out.find("faults     none"), std::string::npos);
}

// --trace-max stops the trace at whole lines with a note; the job runs on to its end (every step
// in the record) and the run fails with "trace incomplete".
TEST_F(RunnerEndToEnd, TraceStopsAtItsBoundWithANoteAndTheJobRunsOn) {
  const std::string trace = (dir_ / "trace.txt").string();
  const std::string record = (dir_ / "r.rec").string();
  const RunResult result = Run("openConn\ninitTimer\nvectorOut 400 0 0\ncloseConn\n",
                               "--trace " + trace + " --trace-max 4K --record " + record);
  EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
  EXPECT_NE(result.err.find("the trace " + trace + " is incomplete: it reached --trace-max 4096"),
            std::string::npos)
      << result.err;
  const std::string text = ReadFile(trace);
  const std::vector<std::string> lines = Lines(text);
  ASSERT_GT(lines.size(), 10u);
  EXPECT_EQ(lines.back(),
            "# trace stopped: --trace-max 4096 bytes reached; the job ran on without it");
  EXPECT_LE(text.size() - lines.back().size() - 1, 4096u);
  const std::regex line(
      "(# steplink trace [0-9]+|call [A-Za-z]+( -?[0-9]+){0,3}|out [0-9a-f]+ [0-9a-f]{2}|"
      "in [0-9a-f]+ [0-9a-f]{2}|ret( -?[0-9]+)?)");
  for (std::size_t at = 0; at + 1 < lines.size(); ++at) {
    EXPECT_TRUE(std::regex_match(lines[at], line)) << "line " << at + 1 << ": " << lines[at];
  }
  EXPECT_EQ(tool::ReadRecordFile(record).steps.size(), 400u) << "the job ran on";
}

TEST(RunnerArgs, ByteSizesForTheTraceBound) {
  std::uint64_t bytes = 0;
  std::string error;
  EXPECT_TRUE(tool::ParseByteSize("4096", bytes, error));
  EXPECT_EQ(bytes, 4096u);
  EXPECT_TRUE(tool::ParseByteSize("512k", bytes, error));
  EXPECT_EQ(bytes, 512u << 10);
  EXPECT_TRUE(tool::ParseByteSize("2G", bytes, error));
  EXPECT_EQ(bytes, std::uint64_t{2} << 30);
  for (const char* bad : {"", "0", "K", "12T", "1.5G", "-3", "10MB", "99999999999999999999"}) {
    EXPECT_FALSE(tool::ParseByteSize(bad, bytes, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST_F(RunnerEndToEnd, ShortMoveTraceFollowsTheFormatAndDrivesTheTable) {
  const RunResult result = Run("openConn\ninitTimer\nvectorOut 3 -2 0\ncloseConn\n",
                               "--quiet --trace " + (dir_ / "trace.txt").string());

  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  const std::vector<std::string> lines = Lines(ReadFile(dir_ / "trace.txt"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "# steplink trace 1");
  const std::regex format(
      "call (openConn|closeConn|initTimer)|call (vectorOut|reference)( -?[0-9]+){3}|"
      "(out|in) (40|43|3bc|3bd|3be) [0-9a-f]{2}|ret -?[0-9]+|ret");
  std::vector<std::string> calls;
  bool inCall = false;
  std::vector<std::string> latchBytes;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], format)) << "line " << i + 1 << ": " << lines[i];
    if (lines[i].rfind("call ", 0) == 0) {
      EXPECT_FALSE(inCall) << "line " << i + 1;
      calls.push_back(lines[i]);
      inCall = true;
    } else if (lines[i].rfind("ret", 0) == 0) {
      EXPECT_TRUE(inCall) << "line " << i + 1;
      inCall = false;
    } else {
      EXPECT_TRUE(inCall) << "port operation outside a call, line " << i + 1;
      if (lines[i].rfind("out 3bc ", 0) == 0) latchBytes.push_back(lines[i].substr(8));
    }
  }
  EXPECT_FALSE(inCall);
  EXPECT_EQ(calls, (std::vector<std::string>{"call openConn", "call initTimer",
                                             "call vectorOut 3 -2 0", "call closeConn"}));
  // X steps to phases 1..3 (0x2d 0x1c 0x0d), Y down to phases 7, 6 (0x69 0x78); then the holds.
  std::vector<std::string> xBytes, yBytes;
  for (const std::string& byte : latchBytes) {
    const int value = std::stoi(byte, nullptr, 16);
    if (value >> 6 == 0) xBytes.push_back(byte);
    if (value >> 6 == 1) yBytes.push_back(byte);
  }
  EXPECT_EQ(xBytes, (std::vector<std::string>{"2d", "1c", "0d", "16"}));
  EXPECT_EQ(yBytes, (std::vector<std::string>{"69", "78", "7a"}));
  EXPECT_EQ(result.out, "");  // quiet, no faults: nothing to say
}

TEST_F(RunnerEndToEnd, SummaryReportsThePositionsAndAux) {
  const RunResult result =
      Run("openConn\ninitTimer\nvectorOut 40 10 32000\nvectorOut 0 0 -7\ncloseConn\n",
          "--plot " + (dir_ / "job.svg").string());

  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("position   x 40  y 10  z -7 (steps)"), std::string::npos)
      << result.out;
  // The Z move's bytes replaced the auxiliary byte in the Z latch.
  EXPECT_NE(result.out.find("aux state  none set"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("steps      57"), std::string::npos);
  EXPECT_NE(ReadFile(dir_ / "job.svg").find("X (40 steps)"), std::string::npos);
}

TEST_F(RunnerEndToEnd, BadScriptRunsNothingAndNamesTheLine) {
  const RunResult result =
      Run("openConn\n\nvectorOut 1 2\ncloseConn\n", "--trace " + (dir_ / "trace.txt").string());

  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.err.find("job.steplink:3: vectorOut takes 3 arguments"), std::string::npos)
      << result.err;
  EXPECT_FALSE(fs::exists(dir_ / "trace.txt"));
  EXPECT_EQ(result.out, "");
}

TEST_F(RunnerEndToEnd, BadSimSpecIsRefusedBeforeLoading) {
  const RunResult result = Run("openConn\nvectorOut 1 0 0\n", "--sim mode=5");

  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.err.find("bad value '5' for key 'mode'"), std::string::npos) << result.err;
}

TEST_F(RunnerEndToEnd, RealDeviceTakesOnlyHardwareSettings) {
  // The simulated table's keys, its virtual clock and a malformed device are refused before
  // anything runs; a port that is not there fails openConn with the backend's line.
  for (const char* options : {"--device parport:0x9990 --sim limit-x=-5",
                              "--device parport:0x9990 --virtual", "--device lpt1"}) {
    const RunResult refused = Run("openConn\nvectorOut 1 0 0\ncloseConn\n", options);
    EXPECT_EQ(refused.exitCode, 2) << options;
    EXPECT_TRUE(refused.out.empty() || refused.out.find("openConn") == std::string::npos)
        << options << ": " << refused.out;
  }
  EXPECT_NE(Run("openConn\nvectorOut 1 0 0\n", "--device parport:0 --sim mode=3")
                .err.find("mode=3 (--sim) does not apply to a real table"),
            std::string::npos);
  const RunResult missing =
      Run("openConn\nvectorOut 1 0 0\ncloseConn\n",
          "--device parport:0x9990 --realtime --record " + (dir_ / "record.txt").string());
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.out.find("openConn -> 255"), std::string::npos) << missing.out;
  EXPECT_NE(missing.err.find("steplink-hw: there is no parallel port at 0x9990"), std::string::npos)
      << missing.err;
  EXPECT_NE(missing.err.find("the device (STEPLINK_DEVICE) did not open"), std::string::npos)
      << missing.err;
}

TEST_F(RunnerEndToEnd, RealtimeOptions) {
  const RunResult badCpu = Run("openConn\nvectorOut 1 0 0\n", "--cpu one");
  EXPECT_EQ(badCpu.exitCode, 2);
  EXPECT_NE(badCpu.err.find("--cpu takes a CPU number"), std::string::npos) << badCpu.err;
  // Granted or not, --rt never stops the run: a refusal is explained and the calls go on.
  const RunResult rt = Run("openConn\ninitTimer\nvectorOut 3 0 0\ncloseConn\n", "--rt --cpu 0");
  EXPECT_EQ(rt.exitCode, 0) << rt.err;
  EXPECT_NE(rt.out.find("vectorOut 3 0 0 -> 3"), std::string::npos) << rt.out;
  for (const char* refusal : {"SCHED_FIFO:", "mlockall:"}) {
    if (const auto at = rt.err.find(refusal); at != std::string::npos) {
      EXPECT_NE(rt.err.find("needs CAP_", at), std::string::npos) << rt.err;
    }
  }
}

TEST_F(RunnerEndToEnd, SimulatorFaultGivesAFailingExit) {
  const RunResult result = Run("openConn\nvectorOut 1 0 0\ncloseConn\n",
                               std::string("--library ") + STEPLINK_FAULT_LIBRARY);

  EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
  EXPECT_NE(result.out.find("faults     protocol 1"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("1 fault(s); first: protocol"), std::string::npos) << result.err;
}

TEST_F(RunnerEndToEnd, PlotCommandWritesAnSvgFromARecord) {
  WriteFile(dir_ / "record.txt", "# steplink sim record 1\nstep 100 x + 1\nstep 2000 x + 2\n");
  const std::string command = std::string(STEPLINK_RUNNER) + " plot " +
                              (dir_ / "record.txt").string() + " " + (dir_ / "p.svg").string();

  const int status = std::system(command.c_str());

  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(ReadFile(dir_ / "p.svg").find("</svg>"), std::string::npos);
}

// The library itself, loaded as a JVM loads it, with a bad STEPLINK_SIM: the device does not open,
// openConn gives 255 and the sim names the key on stderr.
TEST(RunnerLibrary, BadSimSpecMakesOpenConnFailVisibly) {
  EXPECT_EXIT(
      {
        setenv("STEPLINK_SIM", "clock=virtual,foo=1", 1);
        void* library = dlopen(STEPLINK_STANDARD_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) std::_Exit(1);
        // The entry's own type: a call through another function type is undefined.
        auto open = reinterpret_cast<decltype(&Java_JavaToC_openConn)>(
            dlsym(library, "Java_JavaToC_openConn"));
        std::_Exit(open(nullptr, nullptr) == 255 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "steplink-sim: unknown key 'foo' in STEPLINK_SIM");
}

}  // namespace
