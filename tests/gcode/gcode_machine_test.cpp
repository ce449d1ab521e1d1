// The machine file: a complete file reads, every mistake names its key and line, the built-in
// machine is the documented one.
#include <gtest/gtest.h>

#include "machine.h"

namespace {

constexpr char goodFile[] = R"(# a table
[axis.x]
steps_per_mm = 20.0
min_mm = 0.0
max_mm = 600.0
[axis.y]
steps_per_mm = 40
min_mm = -10
max_mm = 300
invert = true
[axis.z]
steps_per_mm = 80.0
min_mm = -50.0
max_mm = 0.0
[job]
arc_tolerance_mm = 0.005
reference = [50, 50, 20]
)";

TEST(GcodeMachine, ReadsEveryKey) {
  const auto result = gcode::ParseMachine(goodFile, "m.toml");
  ASSERT_TRUE(result.machine) << result.errors[0].message;
  const auto& m = *result.machine;
  EXPECT_EQ(m.name, "m.toml");
  EXPECT_DOUBLE_EQ(m.axes[1].stepsPerMm, 40.0);
  EXPECT_DOUBLE_EQ(m.axes[1].minMm, -10.0);
  EXPECT_TRUE(m.axes[1].invert);
  EXPECT_FALSE(m.axes[0].invert);
  EXPECT_DOUBLE_EQ(m.axes[2].maxMm, 0.0);
  EXPECT_DOUBLE_EQ(m.arcToleranceMm, 0.005);
  ASSERT_TRUE(m.reference);
  EXPECT_EQ((*m.reference)[2], 20);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

struct BadFile {
  std::string text;
  int line;
  const char* fragment;
};

class GcodeMachineError : public testing::TestWithParam<BadFile> {};

TEST_P(GcodeMachineError, NamesKeyAndLine) {
  const auto result = gcode::ParseMachine(GetParam().text, "m.toml");
  EXPECT_FALSE(result.machine);
  ASSERT_FALSE(result.errors.empty());
  bool found = false;
  for (const auto& error : result.errors) {
    if (error.line == GetParam().line &&
        error.message.find(GetParam().fragment) != std::string::npos) {
      found = true;
    }
  }
  EXPECT_TRUE(found) << result.errors[0].line << ": " << result.errors[0].message;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, GcodeMachineError,
    testing::Values(
        BadFile{Replace(goodFile, "steps_per_mm = 40", "steps_per_mm = 0"), 7,
                "axis.y.steps_per_mm"},
        BadFile{Replace(goodFile, "steps_per_mm = 40", "steps_per_mm = -2"), 7, "above 0"},
        BadFile{Replace(goodFile, "steps_per_mm = 40", "steps_per_mm = \"40\""), 7,
                "must be a number"},
        BadFile{Replace(goodFile, "invert = true", "invert = 1"), 10, "axis.y.invert"},
        BadFile{Replace(goodFile, "invert = true", "inverted = true"), 10,
                "unknown key 'axis.y.inverted'"},
        BadFile{Replace(goodFile, "min_mm = -10\n", ""), 6, "axis.y.min_mm' is missing"},
        BadFile{Replace(goodFile, "[axis.z]", "[axis.w]"), 11, "unknown axis 'axis.w'"},
        BadFile{Replace(goodFile, "arc_tolerance_mm = 0.005", "arc_tolerance_mm = 0"), 16,
                "job.arc_tolerance_mm"},
        BadFile{Replace(goodFile, "[50, 50, 20]", "[50, 50]"), 17, "job.reference"},
        BadFile{Replace(goodFile, "[50, 50, 20]", "[50, 0, 20]"), 17, "1 to 31999"},
        BadFile{Replace(goodFile, "[job]", "[jobs]"), 15, "unknown key 'jobs'"},
        BadFile{Replace(goodFile, "max_mm = 300", "max_mm = -300"), 6, "above"},
        BadFile{Replace(goodFile, "max_mm = 600.0", "max_mm = 6000000.0"), 5, "out of range"},
        BadFile{Replace(goodFile, "max_mm = 600.0", "max_mm = = 1"), 5, ""},
        // The safe height is checked against Z's limits (-50..0 here), whichever table comes
        // first in the file.
        BadFile{Replace(goodFile, "reference = [50, 50, 20]", "safe_z_mm = 5.0"), 17,
                "job.safe_z_mm' must be inside Z's limits"},
        BadFile{Replace(goodFile, "reference = [50, 50, 20]", "safe_z_mm = nan"), 17, "finite"}));

TEST(GcodeMachine, SafeHeightDefaultsToTheTopOfZ) {
  auto result = gcode::ParseMachine(goodFile, "m.toml");
  ASSERT_TRUE(result.machine);
  EXPECT_FALSE(result.machine->safeZMm);
  EXPECT_DOUBLE_EQ(gcode::SafeZMm(*result.machine), 0.0);
  result = gcode::ParseMachine(Replace(goodFile, "[job]", "[job]\nsafe_z_mm = -50"), "m.toml");
  ASSERT_TRUE(result.machine) << result.errors[0].message;
  EXPECT_DOUBLE_EQ(gcode::SafeZMm(*result.machine), -50.0);
  EXPECT_DOUBLE_EQ(gcode::SafeZMm(gcode::BuiltinMachine()), 50.0);
}

TEST(GcodeMachine, EmptyFileNamesTheMissingTables) {
  const auto result = gcode::ParseMachine("", "empty.toml");
  ASSERT_EQ(result.errors.size(), 1u);
  EXPECT_NE(result.errors[0].message.find("[axis.x]"), std::string::npos);
  EXPECT_FALSE(gcode::LoadMachineFile("/nonexistent/m.toml").machine);
}

TEST(GcodeMachine, BuiltinIsTheDocumentedOne) {
  const auto m = gcode::BuiltinMachine();
  for (const auto& axis : m.axes) EXPECT_DOUBLE_EQ(axis.stepsPerMm, 20.0);
  EXPECT_DOUBLE_EQ(m.axes[0].maxMm, 600.0);
  EXPECT_DOUBLE_EQ(m.axes[2].minMm, -50.0);
  EXPECT_DOUBLE_EQ(m.arcToleranceMm, 0.01);
  EXPECT_EQ(*m.reference, (std::array<int, 3>{50, 50, 20}));
}

}  // namespace
