// Parameters and expressions: every operator at its precedence, the functions in degrees, each
// error with its kind; the store's ranges, call frames and bound on names; in a plan, the
// set-after-the-line rule, the interpreter's own parameters and refusals with their line, alike
// in memory and through both passes from a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plan/planner.h"
#include "plan/two_pass.h"
#include "read/expression.h"
#include "read/parameters.h"
#include "read/program_input.h"

namespace {

using gcode::EvalError;
using gcode::Parameters;

bool Eval(const std::string& text, double& value, EvalError& error,
          const Parameters& parameters = Parameters()) {
  std::size_t pos = 0;
  const bool ok = gcode::ReadValue(text, pos, parameters, value, error);
  if (ok) {
    EXPECT_EQ(pos, text.size()) << text;
  }
  return ok;
}

double Value(const std::string& text, const Parameters& parameters = Parameters()) {
  double value = 0.0;
  EvalError error;
  EXPECT_TRUE(Eval(text, value, error, parameters)) << text << ": " << error.message;
  return value;
}

TEST(GcodeExpression, OperatorsAtLinuxCncsPrecedence) {
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"[1 + 2 * 3]", 7},    {"[2 ** 3 ** 2]", 64},  // left to right, as LinuxCNC
      {"[-2 ** 2]", 4},      {"[0 - 2 ** 2]", -4},
      {"[8 / 2 ** 2]", 2},   {"[10 / 4 * 2]", 5},
      {"[1 - 2 - 3]", -4},   {"[7 MOD 3]", 1},
      {"[-7 MOD 3]", 2},     {"[5.5 MOD -2]", 1.5},
      {"[2 * 3 MOD 4]", 2},  {"[2 + 3 GT 4]", 1},
      {"[1 OR 2 EQ 3]", 1},  {"[1 OR 0 AND 0]", 0},
      {"[1 EQ 1.00005]", 1}, {"[1 EQ 1.0002]", 0},
      {"[1 NE 1.00005]", 0}, {"[1 GT 0.99999]", 1},
      {"[1 GE 1.00001]", 0}, {"[1 LT 1.00001]", 1},
      {"[1 LE 1]", 1},       {"[3 XOR 0]", 1},
      {"[1 XOR 1]", 0},      {"[1 and 2]", 1},
      {"[ - [3 + 4] ]", -7}, {"--3", 3},
      {"[[[[1]]]]", 1},      {"1.", 1},
      {".5", 0.5},
  };
  for (const auto& c : cases) EXPECT_NEAR(Value(c.text), c.value, 1e-12) << c.text;
}

TEST(GcodeExpression, FunctionsTakeAndGiveDegrees) {
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"SIN[30]", 0.5},  {"COS[60]", 0.5},      {"TAN[45]", 1},          {"ASIN[0.5]", 30},
      {"ACOS[0.5]", 60}, {"ATAN[1]/[-1]", 135}, {"ATAN[-1]/[-1]", -135}, {"ATAN [0] / [-2]", 180},
      {"ABS[-3]", 3},    {"EXP[0]", 1},         {"LN[EXP[2]]", 2},       {"SQRT[16]", 4},
      {"FIX[-1.5]", -2}, {"FUP[-1.5]", -1},     {"ROUND[2.5]", 3},       {"ROUND[-2.5]", -3},
      {"round[0.4]", 0},
  };
  for (const auto& c : cases) EXPECT_NEAR(Value(c.text), c.value, 1e-9) << c.text;
  Parameters parameters;
  EvalError error;
  ASSERT_TRUE(parameters.Assign({0, "here"}, 1, error));
  parameters.EndLine();
  EXPECT_EQ(Value("EXISTS[#<here>]", parameters), 1);
  EXPECT_EQ(Value("EXISTS[#<HE RE>]", parameters), 1);
  EXPECT_EQ(Value("EXISTS[#<nowhere>]", parameters), 0);
}

TEST(GcodeExpression, ErrorsSayWhatAndNeverCrash) {
  const struct {
    const char* text;
    const char* code;
  } cases[] = {
      {"[1/0]", "division-by-zero"},
      {"[1 MOD 0]", "division-by-zero"},
      {"SQRT[-1]", "domain"},
      {"LN[0]", "domain"},
      {"ASIN[1.5]", "domain"},
      {"ACOS[-2]", "domain"},
      {"[-8 ** 0.5]", "domain"},
      {"EXP[1000]", "domain"},
      {"[0 ** -1]", "domain"},
      {"[1 + 2", "expression"},
      {"[1 +]", "expression"},
      {"FOO[1]", "expression"},
      {"[1 FOO 2]", "expression"},
      {"ATAN[1]", "expression"},
      {"#<nowhere>", "parameter-unset"},
      {"#5602", "parameter-range"},
      {"#0", "parameter-range"},
      {"#1.5", "parameter-range"},
      {"ABS 1", "expression"},
      {"", "expression"},
  };
  for (const auto& c : cases) {
    double value = 0.0;
    EvalError error;
    EXPECT_FALSE(Eval(c.text, value, error)) << c.text;
    EXPECT_EQ(error.code, c.code) << c.text << ": " << error.message;
    EXPECT_FALSE(error.message.empty()) << c.text;
  }
  // Nesting a hostile line as deep as it may be long is an error, not a stack overflow.
  for (const std::string opener : {"[", "-", "ABS[", "#"}) {
    std::string deep;
    for (int i = 0; i < 30000; ++i) deep += opener;
    double value = 0.0;
    EvalError error;
    EXPECT_FALSE(Eval(deep + "1", value, error)) << opener;
  }
}

TEST(GcodeParameters, RangesFramesAndSettingsAfterTheLine) {
  Parameters p;
  EvalError error;
  double value = -1;
  ASSERT_TRUE(p.Read(4321, value, error));
  EXPECT_EQ(value, 0);  // unset numbered reads 0
  EXPECT_FALSE(p.Read(5602, value, error));
  EXPECT_EQ(error.code, "parameter-range");
  EXPECT_FALSE(p.Assign({5001, ""}, 1, error));
  EXPECT_EQ(error.code, "parameter-read-only");
  // Settings wait for the end of the line, in the order written.
  ASSERT_TRUE(p.Assign({1, ""}, 5, error));
  ASSERT_TRUE(p.Assign({1, ""}, 6, error));
  ASSERT_TRUE(p.Assign({0, "_g"}, 7, error));
  ASSERT_TRUE(p.Read(1, value, error));
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(p.Read({0, "_g"}, value, error)) << "named earlier on its line: 0, as LinuxCNC";
  EXPECT_EQ(value, 0);
  p.EndLine();
  ASSERT_TRUE(p.Read(1, value, error));
  EXPECT_EQ(value, 6);
  ASSERT_TRUE(p.Assign({31, ""}, 9, error));
  p.DropLine();
  ASSERT_TRUE(p.Read(31, value, error));
  EXPECT_EQ(value, 0);  // a refused line's settings are dropped
  ASSERT_TRUE(p.Assign({0, "local"}, 2, error) && p.Assign({31, ""}, 3, error));
  p.EndLine();
  // A call: its own #1-#30 and named locals; the globals are shared.
  const double args[] = {10, 20};
  ASSERT_TRUE(p.Call(args, error));
  EXPECT_EQ(p.Depth(), 1);
  ASSERT_TRUE(p.Read(2, value, error));
  EXPECT_EQ(value, 20);
  ASSERT_TRUE(p.Read(3, value, error));
  EXPECT_EQ(value, 0);
  EXPECT_FALSE(p.Read({0, "local"}, value, error));
  ASSERT_TRUE(p.Read({0, "_g"}, value, error));
  EXPECT_EQ(value, 7);
  ASSERT_TRUE(p.Assign({1, ""}, 99, error) && p.Assign({0, "inner"}, 1, error));
  p.EndLine();
  p.Return();
  ASSERT_TRUE(p.Read(1, value, error));
  EXPECT_EQ(value, 6);
  ASSERT_TRUE(p.Read({0, "local"}, value, error));
  EXPECT_EQ(value, 2);
  EXPECT_FALSE(p.Exists("inner"));
  // Ten calls deep at most.
  for (int depth = 1; depth <= gcode::maxCallDepth; ++depth) ASSERT_TRUE(p.Call({}, error));
  EXPECT_FALSE(p.Call({}, error));
  EXPECT_EQ(error.code, "call-depth");
}

TEST(GcodeParameters, NamesAreBoundedAndFreedWithTheirFrame) {
  Parameters p;
  EvalError error;
  std::size_t made = 0;
  for (std::size_t i = 0; i < gcode::maxNamedParameters + 5; ++i) {
    if (!p.Assign({0, "n" + std::to_string(i)}, 1, error)) break;
    p.EndLine();
    ++made;
  }
  EXPECT_LT(made, gcode::maxNamedParameters);
  EXPECT_EQ(error.code, "parameter-limit");
  // Setting a name that exists is never refused, and a call's locals go with it.
  EXPECT_TRUE(p.Assign({0, "n1"}, 2, error));
  p.EndLine();
  Parameters q;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(q.Call({}, error));
    for (std::size_t i = 0; i < gcode::maxNamedParameters / 2; ++i) {
      ASSERT_TRUE(q.Assign({0, "l" + std::to_string(i)}, 1, error)) << round << " " << i;
      q.EndLine();
    }
    q.Return();
  }
}

gcode::Machine TestMachine() {
  gcode::Machine machine = gcode::BuiltinMachine();
  for (auto& axis : machine.axes) {
    axis.minMm = -1000;
    axis.maxMm = 1000;
  }
  return machine;
}

std::vector<std::array<double, 3>> Ends(const std::string& text, gcode::Plan* out = nullptr) {
  std::vector<std::array<double, 3>> ends;
  gcode::PlanOptions options;
  options.onMove = [&](const gcode::CanonMove& move) { ends.push_back(move.end); };
  gcode::Plan plan = gcode::PlanProgram(gcode::ParseProgram(text), TestMachine(), options);
  if (out) *out = std::move(plan);
  return ends;
}

TEST(GcodeParametersInAPlan, ValuesAndTheInterpretersOwn) {
  gcode::Plan plan;
  const auto ends = Ends(
      "#3=4\n#3=6 G0 X#3\nG0 X#3 Y[#3*2] Z-[#3/2]\n"
      "G10 L2 P1 X5\nG0 X[#5221] Y[#5420]\n"  // G54's X; X in program units (1, not 6)
      "G20 G0 X[#5420] Y[#5221]\n"            // 1 mm in inches; the offset stays in mm
      // Read before the line's own G21: in inches, and not metric.
      "G21 G0 X[#<_x>] Y[#<_metric>] Z[#<_coord_system>/10]\n",
      &plan);
  ASSERT_TRUE(plan.ok()) << plan.errors[0].message;
  ASSERT_EQ(ends.size(), 5u);
  EXPECT_EQ(ends[0], (std::array<double, 3>{4, 0, 0}));
  EXPECT_EQ(ends[1], (std::array<double, 3>{6, 12, -3}));
  EXPECT_EQ(ends[2], (std::array<double, 3>{5, 1, -3}));
  EXPECT_NEAR(ends[3][0], 5, 1e-12);
  EXPECT_NEAR(ends[3][1], 5, 1e-12);
  EXPECT_NEAR(ends[4][0], 5, 1e-9);
  EXPECT_EQ(ends[4][1], 0);
  EXPECT_EQ(ends[4][2], 54);
}

TEST(GcodeParametersInAPlan, RefusalsNameTheirLineAndTheRestGoesOn) {
  gcode::Plan plan;
  Ends(
      "G0 X1\n#1=[1/0]\nG0 X#<unset>\n#5420=3\n#1=2 G0 X[SQRT[-#1 - 1]]\nG0 X[SQRT[-#1]]\n"
      "G0 X[1e3]\nG0 X[10**10]\n",
      &plan);
  ASSERT_EQ(plan.errorCount, 6u);
  const struct {
    int line;
    const char* code;
  } expected[] = {{2, "division-by-zero"}, {3, "parameter-unset"}, {4, "parameter-read-only"},
                  {5, "domain"},           {7, "expression"},      {8, "word-value"}};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(plan.errors[i].line, expected[i].line) << plan.errors[i].message;
    EXPECT_EQ(plan.errors[i].code, expected[i].code) << plan.errors[i].message;
  }
  // Line 5's setting was dropped with the line: #1 reads 0 on line 6, not 2, so its SQRT is fine.
  EXPECT_EQ(plan.errors[4].line, 7);
}

TEST(GcodeParametersInAPlan, FromLineRebuildsTheParameters) {
  const std::string text =
      "G21 G90\n#<x> = 4\n#31 = 2\nG0 X#<x> Y#31\n#<x> = [#<x> * 2] #31 = [#31 + 1]\n"
      "G0 X#<x> Y#31\nG0 X[#<x> + 1] Y[#5421 + 1]\n";
  gcode::Machine machine = TestMachine();
  machine.reference = std::array<int, 3>{10, 10, 10};
  gcode::PlanOptions whole;
  whole.home = true;
  gcode::PlanOptions resumed;
  resumed.fromLine = 7;
  const gcode::Plan a = gcode::PlanProgram(gcode::ParseProgram(text), machine, whole);
  const gcode::Plan b = gcode::PlanProgram(gcode::ParseProgram(text), machine, resumed);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.endSteps, b.endSteps);
  EXPECT_EQ(b.endMm[0], 9.0);
  EXPECT_EQ(b.endMm[1], 4.0);
}

TEST(GcodeParametersInAPlan, BothPassesFromAFileMatchTheInMemoryPlan) {
  std::string text = "G21 G90\n#<step> = 0.5\n";
  for (int i = 0; i < 200; ++i)
    text += "#1 = [#1 + #<step>] G1 F100 X[#1] Y[SIN[#1 * 10] * 5] Z-[#1 MOD 2]\n";
  text += "M2\n";
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("steplink_gcode_params_" + std::to_string(getpid()) + ".nc"))
                               .string();
  std::ofstream(path, std::ios::binary) << text;
  const gcode::Plan memory = gcode::PlanProgram(gcode::ParseProgram(text), TestMachine());
  ASSERT_TRUE(memory.ok()) << memory.errors[0].message;
  std::string error;
  auto input = gcode::ProgramInput::Open(path, error);
  ASSERT_TRUE(input) << error;
  const gcode::Plan checked = gcode::CheckProgram(*input, TestMachine(), {}, error);
  ASSERT_TRUE(checked.ok() && error.empty()) << error;
  EXPECT_EQ(checked.callCount, memory.callCount);
  EXPECT_EQ(checked.endSteps, memory.endSteps);
  gcode::CallStream stream(*input, TestMachine(), {}, checked, 16);
  std::size_t index = 0;
  while (const auto call = stream.Next()) {
    ASSERT_LT(index, memory.calls.size());
    EXPECT_EQ(call->args, memory.calls[index].args) << index;
    ++index;
  }
  EXPECT_EQ(stream.Error(), "");
  EXPECT_EQ(index, memory.calls.size());
  std::filesystem::remove(path);
}

}  // namespace
