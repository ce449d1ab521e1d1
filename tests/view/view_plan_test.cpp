// The live view's picture of a G-code job: the plan's JSON (bounded whatever the program's
// length, the machine's scales, the plan's extent and end), the report's numbering of calls, the
// /plan endpoint's access rules, the snapshot's call numbers and the machine origin a reference
// moves.
#include "serve/view_plan.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "live_state.h"
#include "plan/planner.h"
#include "server.h"
#include "view_support.h"

namespace {

using nlohmann::json;

gcode::Machine WideMachine() {
  gcode::Machine machine = gcode::BuiltinMachine();
  for (auto& axis : machine.axes) {
    axis.minMm = -5000;
    axis.maxMm = 5000;
  }
  machine.axes[0].stepsPerMm = 40.0;
  machine.axes[1].invert = true;
  return machine;
}

gcode::Plan PlanText(const std::string& text, const gcode::Machine& machine, bool home = false) {
  gcode::PlanOptions options;
  options.home = home;
  return gcode::PlanProgram(gcode::ParseProgram(text), machine, options);
}

// A long program: a zigzag of short cuts with an arc and a dwell every 100 lines.
std::string LongProgram(int lines) {
  std::ostringstream text;
  text << "G21 G90\nG0 Z2\nG0 X0 Y0\nM3\nG1 Z0 F600\n";
  for (int i = 0; i < lines; ++i) {
    text << "G1 X" << (i % 2 ? 100 : 0) << " Y" << i * 0.05 << "\n";
    if (i % 100 == 50)
      text << "G2 X" << (i % 2 ? 100 : 0) << " Y" << i * 0.05 + 4 << " R2\nG4 P0.01\n";
  }
  text << "M5\nG0 Z2\nG0 X0 Y0\n";
  return text.str();
}

TEST(ViewPlan, JsonIsBoundedAndCarriesScalesExtentAndEnd) {
  // Setup: a program far longer than the cap.
  const gcode::Machine machine = WideMachine();
  const gcode::Plan plan = PlanText(LongProgram(40000), machine);
  ASSERT_TRUE(plan.ok());
  // Exercise
  const tool::ViewPlan view = tool::MakeViewPlan(plan, machine);
  const json doc = json::parse(view.json);
  // Verify: bounded in points and bytes, the end kept, the scales as the machine has them.
  const auto& points = doc["points"];
  EXPECT_LE(points.size(), tool::viewPlanMaxPoints);
  EXPECT_GT(points.size(), 1000u);
  EXPECT_LT(view.json.size(), 64u * tool::viewPlanMaxPoints);
  EXPECT_EQ(doc["units"], "mm");
  EXPECT_DOUBLE_EQ(doc["axes"]["x"]["steps_per_mm"].get<double>(), 40.0);
  EXPECT_EQ(doc["axes"]["y"]["invert"], true);
  EXPECT_EQ(doc["axes"]["x"]["invert"], false);
  EXPECT_DOUBLE_EQ(doc["axes"]["z"]["steps_per_mm"].get<double>(), 20.0);
  const auto& last = points.back();
  EXPECT_NEAR(last[0].get<double>(), 0.0, 1e-9);
  EXPECT_NEAR(last[1].get<double>(), 0.0, 1e-9);
  EXPECT_NEAR(last[2].get<double>(), 2.0, 1e-9);
  EXPECT_NEAR(doc["max"][0].get<double>(), 100.0, 1e-6);
  EXPECT_NEAR(doc["max"][1].get<double>(), 40000 * 0.05, 5.0);
  EXPECT_EQ(doc["calls"].get<std::uint64_t>(), plan.vectorOutCalls + plan.referenceCalls);
  EXPECT_EQ(doc["entries"].get<std::uint64_t>(), plan.calls.size());
  // Every point in the extent, its purpose a known name.
  const auto names = doc["purposes"];
  for (const auto& point : points) {
    ASSERT_EQ(point.size(), 6u);
    EXPECT_GE(point[0].get<double>(), doc["min"][0].get<double>() - 1e-6);
    EXPECT_LE(point[1].get<double>(), doc["max"][1].get<double>() + 1e-6);
    ASSERT_LT(point[3].get<std::size_t>(), names.size());
  }
}

TEST(ViewPlan, ShortProgramKeepsItsCornersInMachineMm) {
  const gcode::Machine machine = WideMachine();
  const gcode::Plan plan = PlanText("G21 G90\nG0 X10 Y5\nG1 X30 F600\nG1 Y-20\n", machine);
  ASSERT_TRUE(plan.ok());
  const json doc = json::parse(tool::MakeViewPlan(plan, machine).json);
  // mm, not steps: x at 40 steps/mm and the inverted y come back as the program's numbers.
  bool sawCorner = false;
  for (const auto& point : doc["points"]) {
    if (std::abs(point[0].get<double>() - 30.0) < 1e-9 &&
        std::abs(point[1].get<double>() - 5.0) < 1e-9) {
      sawCorner = true;
      EXPECT_EQ(doc["purposes"][point[3].get<std::size_t>()], "cut");
    }
  }
  EXPECT_TRUE(sawCorner) << doc["points"].dump();
  EXPECT_NEAR(doc["min"][1].get<double>(), -20.0, 1e-9);
  EXPECT_EQ(doc["purposes"][doc["points"][1][3].get<std::size_t>()], "rapid");
}

TEST(ViewPlan, EntriesCarryTheReportsNumberingAndTheirPlannedStart) {
  // Setup: homing (reference calls), moves, a dwell and a pause between them.
  const gcode::Machine machine = gcode::BuiltinMachine();
  const gcode::Plan plan =
      PlanText("G21 G90\n(homed)\nG0 X10\nG4 P0.5\nG1 X20 F600\nM0\nG1 Y10\n", machine, true);
  ASSERT_TRUE(plan.ok());
  // Verify: entries numbered in order, each library call the next number among the calls
  // (dwells and pauses none), each entry starting where the one before it ended, the first at
  // machine zero; the last number is the report's `calls`.
  std::uint64_t calls = 0;
  std::array<std::int64_t, 3> at{};
  for (std::size_t entry = 0; entry < plan.calls.size(); ++entry) {
    const gcode::PlannedCall& call = plan.calls[entry];
    const bool isCall =
        call.kind == gcode::CallKind::vectorOut || call.kind == gcode::CallKind::reference;
    if (isCall) ++calls;
    EXPECT_EQ(call.index, entry);
    EXPECT_EQ(call.callNumber, isCall ? calls : 0u) << "entry " << entry;
    EXPECT_EQ(call.fromSteps, at) << "entry " << entry;
    at = call.endSteps;
  }
  const std::uint64_t total = static_cast<std::uint64_t>(plan.vectorOutCalls + plan.referenceCalls);
  EXPECT_EQ(calls, total);
  EXPECT_EQ(tool::MakeViewPlan(plan, machine).calls, total);
}

// --- the endpoint and the snapshot --------------------------------------------------------------

struct Block {
  std::mutex mutex;
  std::optional<view::StatusCopy> copy;
};

class BlockSource final : public view::StateSource {
 public:
  explicit BlockSource(std::shared_ptr<Block> block) : block_(std::move(block)) {}
  std::optional<view::StatusCopy> Read() override {
    std::lock_guard lock(block_->mutex);
    return block_->copy;
  }

 private:
  std::shared_ptr<Block> block_;
};

struct PlanServer {
  std::shared_ptr<Block> block = std::make_shared<Block>();
  std::unique_ptr<view::Server> server;
  explicit PlanServer(std::string planJson) {
    view::JobInfo job;
    job.name = "job.nc";
    job.gcode = true;
    job.planJson = std::move(planJson);
    job.callTotal = 7;
    view::Controls controls;
    controls.stop = [] {};
    server = std::make_unique<view::Server>(std::make_unique<BlockSource>(block), job, controls);
    std::string error;
    EXPECT_TRUE(server->Start(error)) << error;
  }
  httplib::Client Client() const { return test::LocalClient(*server); }
  std::string Query() const { return test::TokenQuery(*server); }
};

TEST(ViewPlanEndpoint, TokenHostAndMethodRulesHold) {
  PlanServer f("{\"units\":\"mm\",\"points\":[]}");
  auto client = f.Client();
  const auto good = client.Get(("/plan" + f.Query()).c_str());
  ASSERT_TRUE(good);
  EXPECT_EQ(good->status, 200);
  EXPECT_EQ(good->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(json::parse(good->body)["units"], "mm");
  EXPECT_EQ(good->get_header_value("Cache-Control"), "no-store");
  // No token, a wrong one, one a byte short: refused, the plan not in the answer.
  for (const std::string& query :
       {std::string(), std::string("?token=00"), "?token=" + f.server->Token().substr(1)}) {
    const auto refused = client.Get(("/plan" + query).c_str());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403) << query;
    EXPECT_EQ(refused->body.find("units"), std::string::npos);
  }
  // Another site's host name (DNS rebinding): refused though the token is right.
  const auto rebound = client.Get(("/plan" + f.Query()).c_str(), {{"Host", "evil.example:80"}});
  ASSERT_TRUE(rebound);
  EXPECT_EQ(rebound->status, 403);
  const auto posted = client.Post(("/plan" + f.Query()).c_str(), "", "text/plain");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 405);
}

TEST(ViewPlanEndpoint, NoPlanIsNotFound) {
  PlanServer f("");
  auto client = f.Client();
  const auto missing = client.Get(("/plan" + f.Query()).c_str());
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

}  // namespace
