// Tests of the settings text shared by the library's substitute and the runner (splitting,
// escapes, merging by precedence) and of the runner's settings stage built on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job/job_options.h"
#include "job/settings_stage.h"
#include "sim/config.h"

namespace {

TEST(SettingsText, BlanksEscapesAndRoundTrip) {
  const sim::SettingsText split =
      sim::SplitSettings(" clock = virtual ,, record = a\\,b\\\\c.rec ,mode=3", "--sim");

  ASSERT_EQ(split.error, "");
  ASSERT_EQ(split.items.size(), 3u);
  EXPECT_EQ(split.items[0].key, "clock");
  EXPECT_EQ(split.items[0].value, "virtual");
  EXPECT_EQ(split.items[1].value, "a,b\\c.rec");
  EXPECT_EQ(split.items[2].source, "--sim");
  const sim::SettingsText again = sim::SplitSettings(sim::JoinSettings(split.items), "x");
  ASSERT_EQ(again.items.size(), 3u);
  EXPECT_EQ(again.items[1].value, "a,b\\c.rec");
  // The clock is a key, never a substring of another value.
  const sim::ConfigResult config = sim::ParseSimConfig("record=d/myclock=1/r.rec");
  ASSERT_TRUE(config.config) << config.error;
  EXPECT_EQ(config.config->recordPath, "d/myclock=1/r.rec");
  EXPECT_EQ(config.config->table.clock, sim::ClockKind::realtime);
  EXPECT_EQ(sim::ParseSimConfig(" clock = virtual ").config->table.clock,
            sim::ClockKind::virtualTicks);
}

TEST(SettingsText, ErrorsNameTheSourceAndBothItems) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"mode=2, mode = 3", "key 'mode' given twice in --sim: 'mode=2' and 'mode=3'"},
      {"record=a\\b", "item 'record=a\\b' in --sim has a bad escape"},
      {"record=a\\", "has a bad escape"},
      {"=3", "item '=3' in --sim is not key=value"},
      {"clock", "item 'clock' in --sim is not key=value"},
  };
  for (const auto& [text, expected] : cases) {
    const sim::SettingsText split = sim::SplitSettings(text, "--sim");
    EXPECT_NE(split.error.find(expected), std::string::npos) << text << ": " << split.error;
  }
  const sim::ConfigResult bad = sim::ApplySimSettings({{"mode", "5", "STEPLINK_SIM"}});
  EXPECT_EQ(bad.error, "bad value '5' for key 'mode' in STEPLINK_SIM (expected 2 or 3)");
}

TEST(SettingsText, LaterSourcesWinKeyByKey) {
  sim::SettingsMerge merge;
  merge.Layer({{"clock", "virtual", "default"}});
  merge.Layer({{"mode", "3", "env"}, {"clock", "realtime", "env"}});
  merge.Layer({{"clock", "virtual", "--virtual"}});

  ASSERT_EQ(merge.InForce().size(), 2u);
  EXPECT_EQ(merge.Find("clock")->value, "virtual");
  EXPECT_EQ(merge.Find("clock")->source, "--virtual");
  EXPECT_EQ(merge.Find("mode")->source, "env");
  EXPECT_EQ(merge.Find("limit-x"), nullptr);
}

struct Built {
  bool ok;
  std::string error;
  tool::RunSettings settings;
};

// The table options as the command line sets them, from run's spelling of them.
Built Build(std::vector<const char*> args, const char* environment) {
  tool::TableOptions table;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string arg = args[i];
    if (arg == "--sim" && i + 1 < args.size()) {
      table.sim = args[++i];
    } else if (arg == "--record" && i + 1 < args.size()) {
      table.record = args[++i];
    } else if (arg == "--realtime") {
      table.realtime = true;
    } else if (arg == "--virtual") {
      table.virtualClock = true;
    } else {
      ADD_FAILURE() << "unexpected " << arg;
    }
  }
  Built built{};
  built.ok = tool::BuildRunSettings(table, environment, false, built.settings, built.error);
  return built;
}

TEST(RunSettingsStage, PrecedenceDefaultsEnvironmentSimFlags) {
  Built built = Build({"--sim", "mode=3, clock=realtime", "--virtual"}, "limit-x=-5,mode=2");

  ASSERT_TRUE(built.ok) << built.error;
  const std::string described = tool::DescribeSettings(built.settings);
  EXPECT_NE(described.find("clock=virtual (--virtual)"), std::string::npos) << described;
  EXPECT_NE(described.find("limit-x=-5 (STEPLINK_SIM)"), std::string::npos) << described;
  EXPECT_NE(described.find("mode=3 (--sim)"), std::string::npos) << described;
  EXPECT_NE(described.find("record=temporary (runner)"), std::string::npos) << described;
  const sim::ConfigResult child = sim::ParseSimConfig(built.settings.simSpec);
  ASSERT_TRUE(child.config) << child.error;
  EXPECT_EQ(child.config->table.clock, sim::ClockKind::virtualTicks);
  EXPECT_EQ(child.config->table.counterMode, 3);
  EXPECT_EQ(child.config->table.limitSteps[0], -5);
  tool::RemoveRunFiles(built.settings);

  Built plain = Build({}, nullptr);
  ASSERT_TRUE(plain.ok) << plain.error;
  EXPECT_NE(tool::DescribeSettings(plain.settings).find("clock=virtual (runner default)"),
            std::string::npos);
  tool::RemoveRunFiles(plain.settings);
}

TEST(RunSettingsStage, RecordWithACommaThroughItsOwnOption) {
  const std::string path = testing::TempDir() + "/a,b.rec";
  Built built = Build({"--record", path.c_str(), "--sim", "record=other.rec"}, nullptr);

  ASSERT_TRUE(built.ok) << built.error;
  EXPECT_EQ(built.settings.recordPath, path);
  const sim::ConfigResult child = sim::ParseSimConfig(built.settings.simSpec);
  ASSERT_TRUE(child.config) << child.error;
  EXPECT_EQ(child.config->recordPath, path);
}

TEST(RunSettingsStage, ContradictionsAndUnusableRecordsAreRefused) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"--realtime", "--virtual"}, "--realtime and --virtual contradict each other"},
      {{"--sim", "clock=virtual,clock=realtime"}, "key 'clock' given twice in --sim"},
      {{"--record", "/dev/full"}, "is not a regular file"},
      {{"--sim", "record=/"}, "is a directory"},
      {{"--record", "/nonexistent-dir/r.rec"}, "no folder '/nonexistent-dir'"},
      {{"--sim", "mode=4"}, "bad value '4' for key 'mode' in --sim"},
  };
  for (const auto& [args, expected] : cases) {
    Built built = Build(args, nullptr);
    EXPECT_FALSE(built.ok);
    EXPECT_NE(built.error.find(expected), std::string::npos) << built.error;
  }
  Built environment = Build({}, "clock=realtime,clock=virtual");
  EXPECT_FALSE(environment.ok);
  EXPECT_NE(environment.error.find("given twice in STEPLINK_SIM"), std::string::npos);
}

}  // namespace
