// What the runner says to its user: each call's line with the meaning of its result after the
// unchanged "NAME ARGS -> RESULT", the table of meanings itself (and README's copy of it), one
// line for a G-code program given to `run`, and plots titled with the file's own name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "calls/result_meaning.h"
#include "job/script.h"
#include "run_support.h"

namespace {

using test::ReadFile;
using test::WriteFile;

namespace fs = std::filesystem;
using tool::Entry;
using tool::MeaningOf;

TEST(ResultMeaning, EachCallsResultsAsTheLibraryGivesThem) {
  EXPECT_EQ(MeaningOf(Entry::openConn, {}, 124), "device open");
  EXPECT_EQ(MeaningOf(Entry::openConn, {}, 255), "device not opened");
  EXPECT_EQ(MeaningOf(Entry::closeConn, {}, 1), "device closed");
  EXPECT_EQ(MeaningOf(Entry::closeConn, {}, 0), "nothing closed: no device was open");
  EXPECT_EQ(MeaningOf(Entry::initTimer, {}, 2), "counter 0 in mode 2");
  EXPECT_EQ(MeaningOf(Entry::initTimer, {}, 3), "counter 0 in mode 3");
  // A measured count: up to 30000 paces at 1 count per tick, from 30100 at 2.
  EXPECT_NE(MeaningOf(Entry::initTimer, {}, 30000).find("1 count per tick"), std::string::npos);
  EXPECT_NE(MeaningOf(Entry::initTimer, {}, 30100).find("2 counts per tick"), std::string::npos);
  EXPECT_NE(MeaningOf(Entry::initTimer, {}, 0).find("a measured count"), std::string::npos);
  EXPECT_EQ(MeaningOf(Entry::initTimer, {}, 1234), "not a result this call gives");

  EXPECT_EQ(MeaningOf(Entry::vectorOut, {10, -5, 0}, 3), "move done");
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {0, 0, 0}, 3), "nothing to move");
  // 32000 steps on any axis (or an out-of-range z) refuse the whole move.
  for (const std::array<std::int32_t, 3> refused :
       {std::array<std::int32_t, 3>{32000, 0, 0}, {0, -32000, 5}, {1, 1, 40000}, {0, 0, -32001}})
    EXPECT_EQ(MeaningOf(Entry::vectorOut, refused, 3),
              "move refused: a distance of 32000 steps or more");
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {0, 0, -32000}, 0), "auxiliary state 0 set");
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {0, 0, 32000}, 1), "auxiliary state 1 set");
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {7, 0, 32000}, 1), "auxiliary state 1 set; move done");
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {0, 0, 32222}, 2), "Z latch left as it was");
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {40000, 0, 32222}, 2),
            "Z latch left as it was; move refused: a distance of 32000 steps or more");
  // A code the call cannot give for these arguments is said to be one, not explained away.
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {1, 0, 0}, 1), "not a result this call gives");
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {0, 0, 32000}, 3), "not a result this call gives");
  EXPECT_EQ(MeaningOf(Entry::vectorOut, {1, 0, 0}, 7), "not a result this call gives");

  EXPECT_EQ(MeaningOf(Entry::reference, {10, 0, 5}, 0), "homed X, Z");
  EXPECT_EQ(MeaningOf(Entry::reference, {0, 3, 32000}, 0), "homed Y");  // z an auxiliary code
  EXPECT_EQ(MeaningOf(Entry::reference, {0, 0, 0}, 0), "nothing to home");
}

TEST(ResultMeaning, EveryCallHasRowsAndReadmeListsEveryMeaning) {
  const std::string readme = ReadFile(fs::path(STEPLINK_SOURCE_DIR) / "README.md");
  ASSERT_FALSE(readme.empty());
  bool callHasRow[5] = {};
  for (const tool::ResultMeaning& row : tool::ResultMeanings()) {
    callHasRow[static_cast<int>(row.entry)] = true;
    // README's table of printed meanings quotes each one as code.
    EXPECT_NE(readme.find("`" + std::string(row.meaning)), std::string::npos)
        << "README.md does not give " << tool::EntryName(row.entry) << "'s meaning \""
        << row.meaning << "\" (for " << row.results << ")";
  }
  for (const bool has : callHasRow) EXPECT_TRUE(has);
}

using test::RunResult;

class RunnerOutput : public test::ScratchDirTest {
 protected:
  RunnerOutput() : ScratchDirTest("steplink-runner-output") {}

  RunResult Runner(const std::string& arguments) {
    return test::RunShell(std::string(STEPLINK_RUNNER) + " " + arguments, dir_);
  }
  RunResult Run(const std::string& name, const std::string& text, const std::string& options) {
    WriteFile(dir_ / name, text);
    return Runner("run --sim clock=virtual " + options + " '" + (dir_ / name).string() + "'");
  }
};

TEST_F(RunnerOutput, EachCallLineKeepsItsBeginningAndAddsTheMeaning) {
  const std::string script =
      "openConn\ninitTimer\nvectorOut 4 -2 0\nvectorOut 0 0 32000\nvectorOut 0 0 -32000\n"
      "vectorOut 3 0 32222\nvectorOut 32000 0 0\nreference 2 0 0\ncloseConn\ncloseConn\n";
  const RunResult result = Run("job.steplink", script, "");
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;

  // Every call has its line, in order: the old "NAME ARGS -> RESULT" and " (meaning)".
  const std::regex callLine(R"re(^((\w+)((?: -?\d+)*) -> (\d+|done)) \((.+)\)$)re");
  std::istringstream out(result.out);
  std::vector<std::string> beginnings, meanings;
  for (std::string line; std::getline(out, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, callLine)) continue;
    beginnings.push_back(m[1]);
    meanings.push_back(m[5]);
  }
  EXPECT_EQ(beginnings, (std::vector<std::string>{
                            "openConn -> 124", "initTimer -> 2", "vectorOut 4 -2 0 -> 3",
                            "vectorOut 0 0 32000 -> 1", "vectorOut 0 0 -32000 -> 0",
                            "vectorOut 3 0 32222 -> 2", "vectorOut 32000 0 0 -> 3",
                            "reference 2 0 0 -> done", "closeConn -> 1", "closeConn -> 0"}))
      << result.out;
  EXPECT_EQ(meanings,
            (std::vector<std::string>{"device open", "counter 0 in mode 2", "move done",
                                      "auxiliary state 1 set", "auxiliary state 0 set",
                                      "Z latch left as it was; move done",
                                      "move refused: a distance of 32000 steps or more", "homed X",
                                      "device closed", "nothing closed: no device was open"}));

  // --quiet prints no call lines at all, as before.
  const RunResult quiet = Run("job.steplink", script, "--quiet");
  EXPECT_EQ(quiet.exitCode, 0) << quiet.err;
  EXPECT_EQ(quiet.out.find(" -> "), std::string::npos) << quiet.out;
}

TEST_F(RunnerOutput, GcodeGivenToRunGetsOneLinePointingToTheGcodeCommand) {
  const std::string program = "%\n(a drawing)\nG21 G90\nG0 X10 Y10\nG1 X20 F300\nG1 Y20\nM30\n%\n";
  const RunResult result = Run("door.nc", program, "");

  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_NE(result.err.find("is a G-code program (line 3: G21 G90)"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("steplink gcode " + (dir_ / "door.nc").string()), std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("unknown call"), std::string::npos);
  // A name with a space is quoted so that the command can be pasted as it stands.
  const RunResult spaced = Run("my door.nc", program, "");
  EXPECT_NE(spaced.err.find("steplink gcode '" + (dir_ / "my door.nc").string() + "'"),
            std::string::npos)
      << spaced.err;

  // A script with a mistyped call is still a script: its bad lines are listed, no hint.
  const RunResult typo = Run("job.steplink", "openConn\nvectorout 1 2 3\nG1 X5\n", "");
  EXPECT_EQ(typo.exitCode, 2);
  EXPECT_NE(typo.err.find("unknown call 'vectorout'"), std::string::npos) << typo.err;
  EXPECT_NE(typo.err.find("unknown call 'G1'"), std::string::npos) << typo.err;
  EXPECT_EQ(typo.err.find("steplink gcode"), std::string::npos) << typo.err;
}

TEST_F(RunnerOutput, PlotsAreTitledWithTheFilesOwnName) {
  const fs::path record = dir_ / "kept.record";
  const RunResult run =
      Run("house.steplink", "openConn\ninitTimer\nvectorOut 40 10 0\n",
          "--plot " + (dir_ / "run.svg").string() + " --record " + record.string());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string runSvg = ReadFile(dir_ / "run.svg");
  EXPECT_NE(runSvg.find(">steplink run house.steplink</text>"), std::string::npos) << runSvg;
  EXPECT_EQ(runSvg.find(dir_.string()), std::string::npos);

  const RunResult plot = Runner("plot " + record.string() + " " + (dir_ / "p.svg").string());
  ASSERT_EQ(plot.exitCode, 0) << plot.err;
  const std::string plotSvg = ReadFile(dir_ / "p.svg");
  EXPECT_NE(plotSvg.find(">record kept.record</text>"), std::string::npos) << plotSvg;
  EXPECT_EQ(plotSvg.find(dir_.string()), std::string::npos);
}

}  // namespace
