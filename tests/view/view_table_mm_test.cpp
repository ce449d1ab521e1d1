// The live view's table position against the plan: a G-code job with homing, a work offset, a
// tool length and a drilling cycle is streamed from pass 2 and published as the call process
// does, over a simulated table that starts away from machine zero; at every call boundary /state's
// table_mm lies on /plan's path and its call number is the report's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "calls/plan_status.h"
#include "job/gcode_source.h"
#include "live_state.h"
#include "plan/two_pass.h"
#include "report/path_trace.h"
#include "serve/view_plan.h"

namespace {

using nlohmann::json;

// Distance in mm from `p` to the polyline of the plan's points ([x, y, z, ...] each).
double DistanceToPath(const json& points, const std::array<double, 3>& p) {
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < points.size(); ++i) {
    const json& b = points[i];
    const json& a = points[i > 0 ? i - 1 : 0];
    double ab[3], ap[3], length2 = 0, dot = 0;
    for (int axis = 0; axis < 3; ++axis) {
      ab[axis] = b[axis].get<double>() - a[axis].get<double>();
      ap[axis] = p[axis] - a[axis].get<double>();
      length2 += ab[axis] * ab[axis];
      dot += ab[axis] * ap[axis];
    }
    const double t = length2 > 0 ? std::clamp(dot / length2, 0.0, 1.0) : 0.0;
    double distance2 = 0;
    for (int axis = 0; axis < 3; ++axis) distance2 += std::pow(ap[axis] - t * ab[axis], 2);
    best = std::min(best, std::sqrt(distance2));
  }
  return best;
}

std::array<double, 3> Mm(const json& value) {
  if (value.is_array()) return {value[0], value[1], value[2]};
  return {value["x"], value["y"], value["z"]};
}

bool IsZCode(std::int32_t z) {
  return z == STEPLINK_Z_AUX_PLUS || z == STEPLINK_Z_AUX_MINUS || z == STEPLINK_Z_KEEP_LATCH;
}

// The job as the runner streams it, the status block as the call process and the table write it.
struct PublishedJob {
  gcode::Machine machine = gcode::BuiltinMachine();
  gcode::PlanOptions options;
  std::string path;
  std::unique_ptr<gcode::ProgramInput> input;
  gcode::Plan checked;
  json plan;
  std::unique_ptr<view::LiveState> live;
  std::array<std::int32_t, 3> table{};  // the table's step counters
  SteplinkStatusJob job{};
  std::uint64_t sequence = 0;

  PublishedJob(const std::string& name, const std::string& program, bool home) {
    machine.toolLengths[1] = 4.0;
    options.home = home;
    path = (std::filesystem::temp_directory_path() /
            ("steplink_table_mm_" + std::to_string(getpid()) + name))
               .string();
    std::ofstream(path) << program;
    std::string error;
    input = gcode::ProgramInput::Open(path, error);
    EXPECT_TRUE(input) << error;
    gcode::PathTrace trace(machine);
    checked = gcode::CheckProgram(
        *input, machine, options, [&trace](const gcode::PlannedCall& call) { trace.Add(call); },
        error);
    EXPECT_TRUE(checked.ok() && error.empty()) << error;
    const tool::ViewPlan viewPlan = tool::MakeViewPlan(trace, machine, checked);
    plan = json::parse(viewPlan.json);
    view::JobInfo info;
    info.gcode = true;
    info.callTotal = viewPlan.calls;
    for (int axis = 0; axis < 3; ++axis) {
      info.stepsPerMm[axis] = viewPlan.stepsPerMm[axis];
      info.invert[axis] = viewPlan.invert[axis];
    }
    live = std::make_unique<view::LiveState>(info);
    job.state = STEPLINK_JOB_RUNNING;
    job.planCount = static_cast<std::uint32_t>(checked.callCount);
  }
  ~PublishedJob() { std::filesystem::remove(path); }

  SteplinkStatusTable Table() const {
    SteplinkStatusTable section{};
    section.positionX = table[0];
    section.positionY = table[1];
    section.positionZ = table[2];
    section.auxState = -1;
    section.sequence = 2 * sequence;
    section.ticks = 1000 * sequence;
    return section;
  }
  // The call process's write as a step begins or ends.
  void Publish(std::uint64_t index, const tool::JobStep& step, bool begins) {
    constexpr std::uint32_t codes[] = {STEPLINK_CALL_OPEN_CONN, STEPLINK_CALL_CLOSE_CONN,
                                       STEPLINK_CALL_INIT_TIMER, STEPLINK_CALL_VECTOR_OUT,
                                       STEPLINK_CALL_REFERENCE};
    job.callEntry = begins && step.kind == tool::StepKind::call
                        ? codes[static_cast<int>(step.entry)]
                        : STEPLINK_CALL_NONE;
    for (int axis = 0; axis < 3; ++axis) job.callArgs[axis] = begins ? step.args[axis] : 0;
    job.callIndex = static_cast<std::uint32_t>(index + 1);
    tool::PublishPlanEntry(job, step, begins, Table());
  }
  json Sample() {
    ++sequence;
    view::StatusCopy copy;
    copy.table = Table();
    copy.job = job;
    live->Update(copy, true);
    return live->State();
  }
};

TEST(ViewTableMm, LiesOnThePlanAtEveryCallBoundary) {
  PublishedJob f("homed.nc",
                 "G21 G90 G17\nG10 L2 P1 X15 Y10 Z-2\nG54\nT1 M6\nG43 H1\nG0 X0 Y0 Z5\nM3\n"
                 "G1 X20 F600\nG99 G81 X5 Y5 Z-3 R2 F100\nX10\nG80\nG4 P0.2\nG0 Z10\nM5\nM30\n",
                 true);
  ASSERT_TRUE(f.checked.ok());
  // The table stands far from machine zero at the start; homing finds machine zero here.
  f.table = {437, -251, 913};
  const std::array<std::int32_t, 3> homedZero{-1200, -800, -300};
  tool::StreamJobSource source(*f.input, f.machine, f.options, f.checked, "homed.nc");
  std::uint64_t callsMade = 0, boundaries = 0, references = 0;
  for (std::uint64_t index = 0;; ++index) {
    const std::optional<tool::JobStep> step = source.Next();
    if (!step) break;
    f.Publish(index, *step, true);
    json state = f.Sample();
    const bool call = step->kind == tool::StepKind::call;
    if (step->plan && call) {
      // The call in progress numbered as the report counts, by the plan itself.
      EXPECT_EQ(state["call"]["number"], callsMade + 1) << "step " << index;
      EXPECT_EQ(state["call"]["entry"], step->plan->index + 1);
      EXPECT_EQ(state["call"]["total"], f.checked.vectorOutCalls + f.checked.referenceCalls);
    } else if (call) {
      EXPECT_EQ(state["call"]["number"], nullptr);  // openConn, initTimer, closeConn
    }
    if (call && step->entry == tool::Entry::reference) {
      ++references;
      // Creeping to the switches: no machine position to show, none drawn.
      for (int axis = 0; axis < 3; ++axis) {
        if (step->args[axis] != 0) f.table[axis] = homedZero[axis] - 700;
      }
      EXPECT_EQ(f.Sample()["table_mm"], nullptr);
      for (int axis = 0; axis < 3; ++axis) {
        if (step->args[axis] != 0)
          f.table[axis] = homedZero[axis] + static_cast<std::int32_t>(step->plan->endSteps[axis]);
      }
    } else if (call && step->entry == tool::Entry::vectorOut) {
      for (int axis = 0; axis < 3; ++axis) {
        if (axis < 2 || !IsZCode(step->args[2])) f.table[axis] += step->args[axis];
      }
    }
    f.Publish(index, *step, false);
    state = f.Sample();
    if (!step->plan) continue;
    ASSERT_FALSE(state["table_mm"].is_null()) << "step " << index;
    const std::array<double, 3> at = Mm(state["table_mm"]);
    EXPECT_LE(DistanceToPath(f.plan["points"], at), 1e-3)
        << "step " << index << " line " << step->line;
    for (int axis = 0; axis < 3; ++axis) {
      EXPECT_NEAR(at[axis], gcode::StepsToMm(step->plan->endSteps[axis], f.machine.axes[axis]),
                  1e-9);
    }
    if (call) ++callsMade;
    ++boundaries;
  }
  EXPECT_EQ(references, 2u);
  EXPECT_EQ(callsMade, f.checked.vectorOutCalls + f.checked.referenceCalls);
  EXPECT_EQ(boundaries, f.checked.callCount);
  // The done path: every corner with a machine position lies on the plan, none drawn from where
  // the table stood before homing (those corners carry no mm).
  const json history = f.live->History();
  std::size_t withMm = 0, without = 0;
  for (const json& point : history["points"]) {
    if (point[5].is_null()) {
      ++without;
      continue;
    }
    ++withMm;
    EXPECT_LE(DistanceToPath(f.plan["points"], Mm(point[5])), 1e-3) << point.dump();
  }
  EXPECT_GT(withMm, 5u);
  EXPECT_GT(without, 0u);
}

TEST(ViewTableMm, MachineZeroIsTheStartWithoutHomingAndLostStepsShowAsAGap) {
  PublishedJob f("plain.nc", "G21 G90\nG0 X10 Y5\nG1 X20 F600\nG1 Y10\n", false);
  ASSERT_TRUE(f.checked.ok());
  f.table = {-300, 120, 40};
  tool::StreamJobSource source(*f.input, f.machine, f.options, f.checked, "plain.nc");
  json state;
  int moves = 0;
  for (std::uint64_t index = 0;; ++index) {
    const std::optional<tool::JobStep> step = source.Next();
    if (!step) break;
    f.Publish(index, *step, true);
    state = f.Sample();
    if (index < 2) {
      EXPECT_EQ(state["table_mm"], nullptr);  // before the plan's first entry
    }
    if (step->kind == tool::StepKind::call && step->entry == tool::Entry::vectorOut) {
      for (int axis = 0; axis < 2; ++axis) f.table[axis] += step->args[axis];
      // The table loses 3 X steps on the first move: machine zero stays where the plan put it.
      if (++moves == 1) f.table[0] -= 3;
    }
    f.Publish(index, *step, false);
    state = f.Sample();
  }
  const std::array<double, 3> end = Mm(state["table_mm"]);
  EXPECT_NEAR(end[0], 20.0 - 3 / 20.0, 1e-9);
  EXPECT_NEAR(end[1], 10.0, 1e-9);
  EXPECT_EQ(f.job.machineZeroSteps[0], -300);
  EXPECT_EQ(f.job.machineZeroSteps[1], 120);
}

// The move in progress starts at its plan entry's planned start, in the table's steps, however
// seldom the view samples (here only as each move begins) and whatever steps the table lost.
TEST(ViewTableMm, TheMoveInProgressStartsWhereThePlanHasIt) {
  PublishedJob f("move.nc", "G21 G90\nG0 X10 Y5\nG1 X20 F600\nG1 Y10\nG1 X0 Y0\n", false);
  ASSERT_TRUE(f.checked.ok());
  f.table = {-300, 120, 40};
  tool::StreamJobSource source(*f.input, f.machine, f.options, f.checked, "move.nc");
  int moves = 0;
  for (std::uint64_t index = 0;; ++index) {
    const std::optional<tool::JobStep> step = source.Next();
    if (!step) break;
    f.Publish(index, *step, true);
    const bool move = step->kind == tool::StepKind::call && step->entry == tool::Entry::vectorOut;
    if (move && step->plan) {
      const json state = f.Sample();
      const json& from = state["move"]["from"];
      const char* const names[] = {"x", "y", "z"};
      for (int axis = 0; axis < 3; ++axis) {
        const std::int64_t planned = step->plan->fromSteps[axis] + f.job.machineZeroSteps[axis];
        EXPECT_EQ(from[names[axis]].get<std::int64_t>(), planned) << "move " << moves;
        if (axis < 2 || !IsZCode(step->args[2])) {
          EXPECT_EQ(state["move"]["to"][names[axis]].get<std::int64_t>(),
                    planned + step->args[axis]);
        }
      }
      ++moves;
    }
    if (move) {
      for (int axis = 0; axis < 2; ++axis) f.table[axis] += step->args[axis];
      if (moves == 1) f.table[0] -= 3;  // lost on the first move: the plan's start stays
    }
    f.Publish(index, *step, false);
  }
  EXPECT_GE(moves, 3);
}

}  // namespace
