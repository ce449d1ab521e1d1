// The live view's picture of a G-code job: the plan's JSON (bounded whatever the program's
// length, the machine's scales, the plan's extent and end), the report's numbering of calls, the
// /plan endpoint's access rules, the snapshot's call numbers and the machine origin a reference
// moves.
#include "view_plan.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "live_state.h"
#include "planner.h"
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

TEST(ViewPlan, CallsNumberedAsTheReportCountsThem) {
  // Setup: homing (two reference calls), moves, a dwell and a pause between them.
  const gcode::Machine machine = gcode::BuiltinMachine();
  const gcode::Plan plan =
      PlanText("G21 G90\n(homed)\nG0 X10\nG4 P0.5\nG1 X20 F600\nM0\nG1 Y10\n", machine, true);
  ASSERT_TRUE(plan.ok());
  tool::CallNumbering numbering;
  for (const auto& call : plan.calls) numbering.Add(call);
  // Verify: openConn (1) and initTimer (2) are none, each plan call has the next number,
  // dwells, pauses and closeConn none; the last number is the report's `calls`.
  const std::uint64_t total = plan.vectorOutCalls + plan.referenceCalls;
  EXPECT_EQ(numbering.Calls(), total);
  EXPECT_EQ(numbering.Number(1), 0u);
  EXPECT_EQ(numbering.Number(2), 0u);
  std::uint64_t expected = 0;
  for (std::size_t entry = 0; entry < plan.calls.size(); ++entry) {
    const auto kind = plan.calls[entry].kind;
    const bool isCall = kind == gcode::CallKind::vectorOut || kind == gcode::CallKind::reference;
    if (isCall) ++expected;
    EXPECT_EQ(numbering.Number(static_cast<std::uint32_t>(entry + 3)), isCall ? expected : 0u)
        << "entry " << entry;
  }
  EXPECT_EQ(expected, total);
  EXPECT_EQ(numbering.Number(static_cast<std::uint32_t>(plan.calls.size() + 3)), 0u);  // closeConn
  const tool::ViewPlan view = tool::MakeViewPlan(plan, machine);
  EXPECT_EQ(view.calls, total);
  EXPECT_EQ(view.callNumber(3), 1u);
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
    job.callNumber = [](std::uint32_t index) { return index > 2 ? index - 2u : 0u; };
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

view::StatusCopy Copy(std::uint32_t callIndex, std::uint32_t entry, std::int32_t x,
                      std::uint64_t sequence, const double mm[3]) {
  view::StatusCopy copy;
  copy.ownerPid = static_cast<std::uint32_t>(getpid());
  copy.table.auxState = -1;
  copy.table.positionX = x;
  copy.table.sequence = sequence;
  copy.table.ticks = sequence * 1000;
  copy.job.state = STEPLINK_JOB_RUNNING;
  copy.job.callEntry = entry;
  copy.job.callIndex = callIndex;
  copy.job.callCount = 10;
  copy.job.gcodeLine = 3;
  for (int axis = 0; axis < 3; ++axis) copy.job.mm[axis] = mm[axis];
  return copy;
}

TEST(ViewLiveState, CallNumbersAndTheOriginAReferenceMoves) {
  view::JobInfo info;
  info.gcode = true;
  info.callNumber = [](std::uint32_t index) { return index == 4 ? 2u : 0u; };
  info.callTotal = 5;
  info.stepsPerMm[0] = info.stepsPerMm[1] = info.stepsPerMm[2] = 20.0;
  view::LiveState live(info);
  const double zero[3] = {0, 0, 0}, ten[3] = {10, 0, 0};
  // The reference (step 3) creeps to -140 steps and backs off to -100: machine zero.
  live.Update(Copy(3, STEPLINK_CALL_REFERENCE, -140, 1, zero), true);
  live.Update(Copy(3, STEPLINK_CALL_REFERENCE, -100, 2, zero), true);
  // The next call begins where the table stood: its start is the plan's 0 mm.
  live.Update(Copy(4, STEPLINK_CALL_VECTOR_OUT, -100, 2, zero), true);
  json state = live.State();
  EXPECT_EQ(state["call"]["number"], 2);
  EXPECT_EQ(state["call"]["total"], 5);
  ASSERT_EQ(state["origins"].size(), 1u);
  EXPECT_EQ(state["origins"][0][1], -100.0);
  EXPECT_EQ(state["origins"][0][2], 0.0);
  // A boundary crossed while moving (positions differ) takes no origin; one that agrees with
  // the origin in force adds none.
  live.Update(Copy(4, STEPLINK_CALL_VECTOR_OUT, 50, 3, zero), true);
  live.Update(Copy(5, STEPLINK_CALL_VECTOR_OUT, 60, 4, ten), true);
  live.Update(Copy(5, STEPLINK_CALL_VECTOR_OUT, 100, 5, ten), true);
  live.Update(Copy(6, STEPLINK_CALL_VECTOR_OUT, 100, 5, ten), true);
  state = live.State();
  EXPECT_EQ(state["origins"].size(), 1u);
  EXPECT_EQ(state["call"]["number"], nullptr);  // a step that is no call of the plan
}

TEST(ViewLiveState, EachAxisTakesItsOriginWhenItStandsAcrossABoundary) {
  view::JobInfo info;
  info.gcode = true;
  info.stepsPerMm[0] = info.stepsPerMm[1] = info.stepsPerMm[2] = 20.0;
  view::LiveState live(info);
  const double zero[3] = {0, 0, 0};
  auto at = [](std::uint32_t index, std::uint32_t entry, std::int32_t x, std::int32_t z,
               std::uint64_t sequence, const double mm[3]) {
    view::StatusCopy copy = Copy(index, entry, x, sequence, mm);
    copy.table.positionZ = z;
    return copy;
  };
  // Homed at x -100, z -80; the first move after it lifts Z (x stands, z moves at once).
  live.Update(at(4, STEPLINK_CALL_REFERENCE, -100, -80, 1, zero), true);
  live.Update(at(5, STEPLINK_CALL_VECTOR_OUT, -100, -78, 2, zero), true);
  json state = live.State();
  ASSERT_EQ(state["origins"].size(), 1u);
  EXPECT_EQ(state["origins"][0][1], -100.0);
  EXPECT_EQ(state["origins"][0][3], 0.0);  // z not seen standing yet
  // The lift ends at z -20 (3 mm); the next move starts with z standing.
  const double lifted[3] = {0, 0, 3};
  live.Update(at(5, STEPLINK_CALL_VECTOR_OUT, -100, -20, 3, zero), true);
  live.Update(at(6, STEPLINK_CALL_VECTOR_OUT, -98, -20, 4, lifted), true);
  state = live.State();
  ASSERT_EQ(state["origins"].size(), 2u);
  EXPECT_EQ(state["origins"][1][1], -100.0);
  EXPECT_EQ(state["origins"][1][3], -80.0);
  // Both hold from the reference on (its last sample's table time).
  EXPECT_DOUBLE_EQ(state["origins"][1][0].get<double>(), state["origins"][0][0].get<double>());
}

}  // namespace
