// O-word control flow and M98/M99 through the two passes: every refusal names its line and kind,
// the blocks run are counted each time they run, loops whose bodies outgrow the reader's buffer
// still go back to the right line, pass 2 runs only the subroutine file bytes pass 1 read, and
// --from-line is refused inside a loop or subroutine and rebuilds the parameters outside one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plan/two_pass.h"
#include "read/oword.h"
#include "read/program_input.h"

namespace {

namespace fs = std::filesystem;

struct Fixture {
  fs::path dir;
  Fixture() {
    dir = fs::temp_directory_path() / ("steplink_oword_" + std::to_string(getpid()));
    fs::create_directories(dir / "subs");
  }
  ~Fixture() { fs::remove_all(dir); }
  Fixture(const Fixture&) = delete;
  Fixture& operator=(const Fixture&) = delete;
  std::string Write(const std::string& name, const std::string& text) const {
    const fs::path path = dir / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
};

struct Checked {
  gcode::Plan plan;
  std::vector<gcode::CanonMove> moves;
  std::string error;
};

gcode::Machine Wide() {
  gcode::Machine machine = gcode::BuiltinMachine();
  for (auto& axis : machine.axes) {
    axis.minMm = -1e4;
    axis.maxMm = 1e4;
  }
  machine.reference = std::array<int, 3>{50, 50, 20};
  return machine;
}

Checked Check(const Fixture& f, const std::string& text, gcode::PlanOptions options = {}) {
  Checked run;
  options.subroutinesDir = (f.dir / "subs").string();
  options.onMove = [&](const gcode::CanonMove& move) { run.moves.push_back(move); };
  std::string error;
  auto input = gcode::ProgramInput::Open(f.Write("program.ngc", text), error);
  EXPECT_TRUE(input) << error;
  run.plan = gcode::CheckProgram(*input, Wide(), options, run.error);
  return run;
}

TEST(GcodeOword, LinesAreReadAsLinuxCncWritesThem) {
  struct Case {
    const char* line;
    const char* label;
    gcode::OKeyword keyword;
    const char* rest;
  };
  const std::vector<Case> cases = {
      {"O 0100 End Sub", "100", gcode::OKeyword::endsub, ""},
      {"N10 o<My Sub> CALL [1] [2]", "<mysub>", gcode::OKeyword::call, "[1] [2]"},
      {"/o1 if [#1 GT 2] (why)", "1", gcode::OKeyword::ifThen, "[#1 GT 2] (why)"},
      {"o2 elseif[1]", "2", gcode::OKeyword::elseIf, "[1]"},
      {"O1001 (pocket)", "1001", gcode::OKeyword::none, "(pocket)"},
      {"o0 repeat [3]", "0", gcode::OKeyword::repeat, "[3]"},
  };
  for (const Case& c : cases) {
    gcode::OWordLine word;
    bool ok = false;
    std::string error;
    ASSERT_TRUE(gcode::IsOWordLine(c.line, word, ok, error)) << c.line;
    ASSERT_TRUE(ok) << c.line << ": " << error;
    EXPECT_EQ(word.label, c.label) << c.line;
    EXPECT_EQ(word.keyword, c.keyword) << c.line;
    EXPECT_EQ(word.rest, c.rest) << c.line;
  }
  gcode::OWordLine word;
  bool ok = true;
  std::string error;
  ASSERT_TRUE(gcode::IsOWordLine("o[#5 + 1] while [1]", word, ok, error));
  EXPECT_TRUE(ok && word.label.empty() && word.labelExpression == "[#5 + 1]");
  for (const char* bad : {"o<open call", "o call", "o1 endsubs", "o[1 call"}) {
    ok = true;
    EXPECT_TRUE(gcode::IsOWordLine(bad, word, ok, error)) << bad;
    EXPECT_FALSE(ok) << bad;
  }
  EXPECT_FALSE(gcode::IsOWordLine("G0 X1 (o1 call)", word, ok, error));

  gcode::FanucLine fanuc;
  ASSERT_TRUE(gcode::IsFanucLine("N5 M98 P[100 + 1] L#2 (twice)", fanuc, ok, error));
  EXPECT_TRUE(ok && fanuc.call && fanuc.p == "[100 + 1]" && fanuc.l == "#2");
  ASSERT_TRUE(gcode::IsFanucLine("M98 P#<sub> L#[1 + 1]", fanuc, ok, error));
  EXPECT_TRUE(ok && fanuc.p == "#<sub>" && fanuc.l == "#[1 + 1]") << error;
  ASSERT_TRUE(gcode::IsFanucLine("m99", fanuc, ok, error));
  EXPECT_TRUE(ok && !fanuc.call);
  EXPECT_FALSE(gcode::IsFanucLine("G1 X98.99 M3", fanuc, ok, error));
  EXPECT_FALSE(gcode::IsFanucLine("M9", fanuc, ok, error));
  EXPECT_EQ(gcode::SubroutineFileError("<peck>"), "");
  EXPECT_NE(gcode::SubroutineFileError("<a\\b>"), "");
  EXPECT_NE(gcode::SubroutineFileError("<..>"), "");
}

// Where rs274 is not installed the referee is skipped; these hold the forms' meanings here too.
// Each program leaves X at the number of passes its structure makes (G91 X1 once a pass).
TEST(GcodeOword, EachFormRunsItsPassesAndPassTwoMakesTheSameCalls) {
  Fixture f;
  struct Case {
    const char* name;
    const char* body;
    double x;
  };
  const std::vector<Case> cases = {
      {"while with continue",
       "#1=0\no1 while [#1 LT 5]\n#1=[#1+1]\no2 if [#1 EQ 3]\n"
       "o1 continue\no2 endif\nX1\no1 endwhile\n",
       4},
      {"do tests last", "o1 do\nX1\no1 while [0]\n", 1},
      {"do with continue tests",
       "#1=0\no1 do\n#1=[#1+1]\nX1\no1 continue\nX100\n"
       "o1 while [#1 LT 3]\n",
       3},
      {"repeat rounds", "o1 repeat [2.5]\nX1\no1 endrepeat\n", 3},
      {"break", "o1 while [1]\nX1\no1 break\no1 endwhile\n", 1},
      {"elseif and else", "o1 if [0]\nX9\no1 elseif [1]\nX1\no1 else\nX9\no1 endif\n", 1},
      {"return value",
       "o5 sub\no5 return [#1 * 2]\no5 endsub\no5 call [1.5]\n"
       "X#<_value>\n",
       3},
      {"indirect label", "#2=7\no[#2] repeat [2]\nX1\no7 endrepeat\n", 2},
      {"M98 L", "M98 P10 L4\nM2\nO10\nX1\nM99\n", 4},
      {"M99 ends the main program", "X1\nM99\nX100\n", 1},
      {"M2 inside a sub", "o5 sub\nX1\nM2\no5 endsub\no5 call\nX100\n", 1},
  };
  const gcode::Machine machine = Wide();
  for (const Case& c : cases) {
    gcode::PlanOptions options;
    std::string error;
    auto input = gcode::ProgramInput::Open(
        f.Write("form.ngc", std::string("G21 G91 G0\n") + c.body + "M2\n"), error);
    ASSERT_TRUE(input) << error;
    const gcode::Plan plan = gcode::CheckProgram(*input, machine, options, error);
    ASSERT_TRUE(plan.ok() && error.empty())
        << c.name << ": " << error << (plan.ok() ? "" : plan.errors.front().message);
    EXPECT_DOUBLE_EQ(plan.endMm[0], c.x) << c.name;
    gcode::CallStream stream(*input, machine, options, plan, 4);
    std::uint64_t calls = 0;
    while (stream.Next()) ++calls;
    EXPECT_EQ(stream.Error(), "") << c.name;
    EXPECT_EQ(calls, plan.callCount) << c.name;
  }
}

TEST(GcodeOword, EachRefusalNamesItsLineAndKind) {
  Fixture f;
  f.Write("subs/selfish.ngc", "o<other> sub\nG0 X1\no<other> endsub\n");
  std::string deep = "G21\n";
  for (int i = 1; i <= 10; ++i) {
    deep += "o" + std::to_string(i) + " sub\n";
    if (i < 10) deep += "o" + std::to_string(i + 1) + " call\n";
    deep += "o" + std::to_string(i) + " endsub\n";
  }
  deep += "o1 call\nM2\n";
  struct Case {
    const char* name;
    std::string program;
    int line;
    const char* code;
    const char* says;
    std::uint64_t maxBlocks = 0;
  };
  const std::vector<Case> cases = {
      {"runaway", "#1=0\no1 while [1]\n#1=[#1+1]\no1 endwhile\nM2\n", 2, "runaway",
       "more than 1000 blocks", 1000},
      {"endif alone", "G0 X1\no5 endif\nM2\n", 2, "oword-unmatched", "no open o5 if"},
      {"crossed", "o1 while [1]\no2 if [1]\no1 endwhile\n", 3, "oword-unmatched",
       "does not close o2 if"},
      {"return outside", "o1 return\n", 1, "oword-return-outside", "outside a subroutine"},
      {"missing sub", "o<gone> call\nM2\n", 1, "oword-missing-sub", "subs/gone.ngc"},
      {"slash", "o<../etc/x> call\nM2\n", 1, "subroutine-name", "never given as a path"},
      {"file without its sub", "o<selfish> call\nM2\n", 1, "oword-missing-sub",
       "does not define o<selfish>"},
      {"depth 11", deep, 31, "call-depth", "too many subroutine levels"},
      {"sub without endsub", "o1 sub\nG0 X1\nM2\n", 1, "oword-unmatched", "no o1 endsub"},
      {"if without endif", "o1 if [0]\nG0 X1\nM2\n", 1, "oword-unmatched", "no o1 elseif"},
      {"while open at the end", "o1 while [0.5]\nG0 X1\n", 1, "oword-unmatched", "is not closed"},
      {"label used twice", "o2 if [1]\no2 endif\no2 if [1]\no2 endif\n", 3, "oword-duplicate",
       "line 1"},
      {"called before defined", "o1 call\no1 sub\nG0 X1\no1 endsub\nM2\n", 2, "oword-order",
       "defined after its first call"},
      {"M99 in an o-sub", "o1 sub\nM99\no1 endsub\no1 call\nM2\n", 4, "oword-return-outside",
       "M99 inside o1"},
      {"M98 to an o-sub", "o1 sub\no1 endsub\nM98 P1\nM2\n", 3, "oword-kind", "o1 call"},
      {"M98 to nothing", "M98 P7\nM2\n", 1, "oword-missing-sub", "no O7"},
      {"M98 beside a move", "M98 P7 G0 X1\nM2\n", 1, "oword-syntax", "line of its own"},
      {"unknown keyword", "o1 loop\n", 1, "oword-syntax", "unknown O-word keyword 'loop'"},
      {"continue outside", "o1 if [1]\no1 continue\no1 endif\n", 2, "oword-unmatched",
       "not inside the loop"},
  };
  for (const Case& c : cases) {
    gcode::PlanOptions options;
    if (c.maxBlocks) options.maxBlocks = c.maxBlocks;
    const Checked run = Check(f, c.program, options);
    ASSERT_FALSE(run.plan.ok()) << c.name;
    const gcode::Message& error = run.plan.errors.front();
    EXPECT_EQ(error.line, c.line) << c.name << ": " << error.message;
    EXPECT_EQ(error.code, c.code) << c.name << ": " << error.message;
    EXPECT_NE(error.message.find(c.says), std::string::npos) << c.name << ": " << error.message;
    EXPECT_EQ(run.plan.errorCount, 1u) << c.name << ": one fault, one error";
  }
}

TEST(GcodeOword, BlocksAreCountedEachTimeTheyRunAndLoopsJumpBackAcrossChunks) {
  Fixture f;
  // 3 blocks before the loop, 1000 passes of while + 2 body lines + endwhile, the last while
  // test, M2. Blank and comment-free lines only: each is a block.
  const Checked counted =
      Check(f,
            "G21 G91\n#31=0\nG0 Y1\no1 while [#31 LT 1000]\n#31=[#31+1]\nG0 X1\n"
            "o1 endwhile\nM2\n");
  ASSERT_TRUE(counted.plan.ok()) << counted.plan.errors.front().message;
  EXPECT_EQ(counted.plan.blocksExecuted, 3u + 1000u * 4u + 1u + 1u);
  EXPECT_EQ(counted.moves.size(), 1001u);
  EXPECT_DOUBLE_EQ(counted.moves.back().end[0], 1000.0);
  EXPECT_EQ(counted.plan.lines, 8);

  // A loop body of ~200 KiB (several 64 KiB chunks), a subroutine defined at the top and
  // called from the bottom: every jump lands on its line, whatever the reader still holds.
  std::string padding;
  for (int i = 0; i < 4000; ++i) padding += "(" + std::string(48, 'p') + ")\n";
  const std::string text = "G21 G91\no9 sub\nG0 Y#1\no9 endsub\no1 repeat [3]\nG0 X1\n" + padding +
                           "G0 Z1\n" + padding + "o1 endrepeat\n" + padding +
                           "o9 call [2]\no9 call [3]\nM2\n";
  const Checked jumped = Check(f, text);
  ASSERT_TRUE(jumped.plan.ok()) << jumped.plan.errors.front().message;
  ASSERT_EQ(jumped.moves.size(), 8u);
  EXPECT_DOUBLE_EQ(jumped.moves[5].end[0], 3.0);
  EXPECT_DOUBLE_EQ(jumped.moves[5].end[2], 3.0);
  EXPECT_DOUBLE_EQ(jumped.moves[7].end[1], 5.0);
  EXPECT_EQ(jumped.moves[6].line, jumped.plan.lines - 2);  // a sub's moves carry the call's line
}

TEST(GcodeOword, PassTwoRunsOnlyTheSubroutineBytesPassOneRead) {
  Fixture f;
  const std::string sub = f.Write("subs/side.ngc", "o<side> sub\nG1 X#1\no<side> endsub\n");
  gcode::PlanOptions options;
  options.subroutinesDir = (f.dir / "subs").string();
  const gcode::Machine machine = Wide();
  std::string error;
  auto input = gcode::ProgramInput::Open(
      f.Write("p.ngc", "G21\no<side> call [4]\no<side> call [5]\nG0 X0\nM2\n"), error);
  ASSERT_TRUE(input) << error;
  const gcode::Plan checked = gcode::CheckProgram(*input, machine, options, error);
  ASSERT_TRUE(checked.ok() && error.empty()) << error;
  std::uint64_t calls = 0;
  const auto count = [&](const gcode::PlannedCall&) { ++calls; };
  EXPECT_TRUE(gcode::ReplanProgram(*input, machine, options, checked, count, error)) << error;
  EXPECT_EQ(calls, checked.callCount);

  // The same length, other bytes: the job stops, whatever the file's size and time say.
  std::ofstream(sub, std::ios::binary) << "o<side> sub\nG1 X#2\no<side> endsub\n";
  EXPECT_FALSE(gcode::ReplanProgram(*input, machine, options, checked, count, error));
  EXPECT_NE(error.find("changed after it was checked"), std::string::npos) << error;

  // A file the check never opened is not run either.
  auto other = gcode::ProgramInput::Open(
      f.Write("q.ngc", "G21\no1 if [#<_x> GT 100]\no<never> call\no1 endif\nM2\n"), error);
  ASSERT_TRUE(other);
  f.Write("subs/never.ngc", "o<never> sub\nG0 X1\no<never> endsub\n");
  const gcode::Plan plain = gcode::CheckProgram(*other, machine, options, error);
  ASSERT_TRUE(plain.ok());
  std::string first;
  auto readAgain = other->Again(first);
  ASSERT_TRUE(readAgain) << first;
  std::string opened;
  ASSERT_TRUE(readAgain->Rewind(opened));
  auto late = readAgain->OpenSubroutineFile((f.dir / "subs/never.ngc").string(), opened);
  ASSERT_TRUE(late) << opened;
  std::string_view line;
  bool tooLong = false;
  EXPECT_FALSE(late->NextLine(line, tooLong));
  EXPECT_NE(late->ReadError().find("not when checked"), std::string::npos) << late->ReadError();
}

TEST(GcodeOword, FromLineIsRefusedInsideLoopsAndSubsAndRebuildsParametersOutside) {
  Fixture f;
  const std::string program =
      "G21\n#31=0\no1 sub\nG0 Y#1\no1 endsub\no2 while [#31 LT 4]\n#31=[#31+1]\n"
      "o2 endwhile\nG0 X#31\no1 call [7]\nM2\n";
  for (const int inside : {4, 7}) {
    gcode::PlanOptions options;
    options.fromLine = inside;
    const Checked run = Check(f, program, options);
    ASSERT_FALSE(run.plan.ok()) << inside;
    EXPECT_EQ(run.plan.errors.front().code, "from-line-inside") << run.plan.errors.front().message;
    EXPECT_EQ(run.plan.errors.front().line, inside);
  }
  gcode::PlanOptions options;
  options.fromLine = 9;
  const Checked resumed = Check(f, program, options);
  ASSERT_TRUE(resumed.plan.ok()) << resumed.plan.errors.front().message;
  ASSERT_FALSE(resumed.moves.empty());
  EXPECT_DOUBLE_EQ(resumed.moves.back().end[1], 7.0);
  bool toFour = false;
  for (const auto& move : resumed.moves) toFour |= move.line == 9 && move.end[0] == 4.0;
  EXPECT_TRUE(toFour) << "#31 rebuilt by the loop before line 9";
}

}  // namespace
