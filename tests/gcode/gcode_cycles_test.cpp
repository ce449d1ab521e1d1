// The drilling cycles by their emitted calls: each cycle's path passes the hole bottom, the
// retract heights and the pecks LinuxCNC's documentation gives, in order, and ends where it
// must; G98/G99, G91 with L repeats, sticky R/Z/P/Q, G80, the refusals and --from-line inside a
// running cycle.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "gcode_support.h"
#include "plan/cycles.h"
#include "plan/planner.h"

namespace {

using gcode::CallKind;
using gcode::Plan;
using gcode::Purpose;

constexpr double stepsPerMm = 100.0;

gcode::Machine TestMachine() {
  return test::ScaledMachine(stepsPerMm, 500);
}

Plan PlanText(const std::string& text, gcode::PlanOptions options = {}) {
  return test::PlanOn(TestMachine(), text, options);
}

// One move of the path the calls make: 'r' rapid, 'f' feed, 'd' dwell (seconds in `at[0]`).
struct Move {
  char kind;
  std::array<double, 3> at;
};

std::vector<Move> PathOf(const Plan& plan, int fromLine = 0) {
  std::vector<Move> path;
  const gcode::Machine machine = TestMachine();
  for (const auto& call : plan.calls) {
    if (call.line < fromLine) continue;
    if (call.kind == CallKind::dwell) path.push_back({'d', {call.seconds, 0, 0}});
    if (call.kind != CallKind::vectorOut || call.purpose == Purpose::aux ||
        call.purpose == Purpose::reapply)
      continue;
    std::array<double, 3> mm{};
    for (int axis = 0; axis < 3; ++axis)
      mm[axis] = gcode::StepsToMm(call.endSteps[axis], machine.axes[axis]);
    path.push_back({call.purpose == Purpose::rapid ? 'r' : 'f', mm});
  }
  return path;
}

std::string Show(const std::vector<Move>& path) {
  std::string text;
  char line[96];
  for (const Move& m : path) {
    std::snprintf(line, sizeof line, "%c %.3f %.3f %.3f\n", m.kind, m.at[0], m.at[1], m.at[2]);
    text += line;
  }
  return text;
}

// The path after `skip` moves is `expected`, to within half a step.
void ExpectPath(const Plan& plan, std::size_t skip, const std::vector<Move>& expected,
                int fromLine = 0) {
  ASSERT_TRUE(plan.ok()) << plan.errors[0].line << ": " << plan.errors[0].message;
  const std::vector<Move> path = PathOf(plan, fromLine);
  ASSERT_EQ(path.size(), skip + expected.size()) << Show(path);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Move& got = path[skip + i];
    EXPECT_EQ(got.kind, expected[i].kind) << "move " << skip + i << "\n" << Show(path);
    for (int axis = 0; axis < 3; ++axis) {
      EXPECT_NEAR(got.at[axis], expected[i].at[axis], 0.5 / stepsPerMm + 1e-9)
          << "move " << skip + i << " axis " << axis << "\n"
          << Show(path);
    }
  }
}

const std::string start = "G21 G90 G17\nG0 X0 Y0 Z10\n";  // one rapid, to (0, 0, 10)

TEST(GcodeCycles, DrillAndDwellRetractToROrTheStartingLevel) {
  // G81, G99: over at the current Z, down to R, feed to the bottom, rapid back to R.
  ExpectPath(PlanText(start + "G99 G81 X5 Y5 Z-3 R2 F100\n"), 1,
             {{'r', {5, 5, 10}}, {'r', {5, 5, 2}}, {'f', {5, 5, -3}}, {'r', {5, 5, 2}}});
  // G98: back to the Z the cycle began at (above R).
  ExpectPath(PlanText(start + "G98 G81 X5 Y5 Z-3 R2\n"), 1,
             {{'r', {5, 5, 10}}, {'r', {5, 5, 2}}, {'f', {5, 5, -3}}, {'r', {5, 5, 10}}});
  // G82: the dwell P at the bottom.
  ExpectPath(PlanText(start + "G98 G82 X5 Y5 Z-3 R2 P1.5\n"), 1,
             {{'r', {5, 5, 10}},
              {'r', {5, 5, 2}},
              {'f', {5, 5, -3}},
              {'d', {1.5, 0, 0}},
              {'r', {5, 5, 10}}});
  // Starting below R: Z up to R first, where the tool stands; G98 then retracts to R.
  ExpectPath(PlanText("G0 X0 Y0 Z1\nG98 G81 X5 Y5 Z-3 R2\n"), 1,
             {{'r', {0, 0, 2}}, {'r', {5, 5, 2}}, {'f', {5, 5, -3}}, {'r', {5, 5, 2}}});
}

TEST(GcodeCycles, BoringCyclesFeedOut) {
  // G85: feed down, feed back out to R, then (G98) rapid to the starting level.
  ExpectPath(PlanText(start + "G98 G85 X2 Y2 Z-1 R1\n"), 1,
             {{'r', {2, 2, 10}},
              {'r', {2, 2, 1}},
              {'f', {2, 2, -1}},
              {'f', {2, 2, 1}},
              {'r', {2, 2, 10}}});
  // G89, G99: the dwell at the bottom, feed out, no rapid (already at R).
  ExpectPath(
      PlanText(start + "G99 G89 X3 Y3 Z-1 R3 P1\n"), 1,
      {{'r', {3, 3, 10}}, {'r', {3, 3, 3}}, {'f', {3, 3, -1}}, {'d', {1, 0, 0}}, {'f', {3, 3, 3}}});
  // G89, G98: fed out all the way to the starting level, as LinuxCNC's rs274 does (no rapid).
  ExpectPath(PlanText(start + "G98 G89 X3 Y3 Z-1 R3 P1\n"), 1,
             {{'r', {3, 3, 10}},
              {'r', {3, 3, 3}},
              {'f', {3, 3, -1}},
              {'d', {1, 0, 0}},
              {'f', {3, 3, 10}}});
}

TEST(GcodeCycles, PeckCyclesBackOutAndStopAboveTheLastDepth) {
  // G83: each peck Q deeper, back out to R, rapid down to 0.254 mm above the last depth.
  ExpectPath(PlanText(start + "G99 G83 X5 Y5 Z-1 R2 Q1\n"), 1,
             {{'r', {5, 5, 10}},
              {'r', {5, 5, 2}},
              {'f', {5, 5, 1}},
              {'r', {5, 5, 2}},
              {'r', {5, 5, 1.254}},
              {'f', {5, 5, 0}},
              {'r', {5, 5, 2}},
              {'r', {5, 5, 0.254}},
              {'f', {5, 5, -1}},
              {'r', {5, 5, 2}}});
  // G73: back off 0.254 mm between pecks only.
  ExpectPath(PlanText(start + "G98 G73 X7 Y4 Z-1 R1 Q0.5\n"), 1,
             {{'r', {7, 4, 10}},
              {'r', {7, 4, 1}},
              {'f', {7, 4, 0.5}},
              {'r', {7, 4, 0.754}},
              {'f', {7, 4, 0}},
              {'r', {7, 4, 0.254}},
              {'f', {7, 4, -0.5}},
              {'r', {7, 4, -0.246}},
              {'f', {7, 4, -1}},
              {'r', {7, 4, 10}}});
  // In inches the pecks are Q inches, the back-off still 0.254 mm (0.010 inch).
  ExpectPath(PlanText("G20 G90\nG0 X0 Y0 Z0.5\nG99 G73 Z-0.1 R0.1 Q0.1\n"), 1,
             {{'r', {0, 0, 2.54}},
              {'f', {0, 0, 0}},
              {'r', {0, 0, 0.254}},
              {'f', {0, 0, -2.54}},
              {'r', {0, 0, 2.54}}});
}

TEST(GcodeCycles, StickyWordsRunTheCycleOnEveryLineUntilG80) {
  // X6, then X7 under G98: the level the run of cycles began at (10) stays G98's level.
  const Plan plan = PlanText(start + "G99 G82 X5 Y5 Z-1 R2 P1\nX6\nG98 X7\nG80\nG0 Z4\n");
  ExpectPath(plan, 6,
             {{'r', {6, 5, 2}},
              {'f', {6, 5, -1}},
              {'d', {1, 0, 0}},
              {'r', {6, 5, 2}},
              {'r', {7, 5, 10}},
              {'r', {7, 5, 2}},
              {'f', {7, 5, -1}},
              {'d', {1, 0, 0}},
              {'r', {7, 5, 10}},
              {'r', {7, 5, 4}}});
  // After G80 axis words do not drill; after another motion code R must be given again.
  EXPECT_EQ(PlanText(start + "G81 X1 Z-1 R1\nG80\nX2\n").errors.at(0).line, 5);
  const Plan again = PlanText(start + "G81 X1 Z-1 R1\nG0 X0\nG81 X2\n");
  ASSERT_EQ(again.errors.size(), 1u);
  EXPECT_EQ(again.errors[0].line, 5);
  EXPECT_NE(again.errors[0].message.find("needs R"), std::string::npos);
  // Another cycle code starts afresh too (LinuxCNC asks for R again).
  EXPECT_FALSE(PlanText(start + "G81 X1 Z-1 R1\nG82 X2 P1\n").ok());
  // Q is sticky for the pecking cycles, P for the dwelling ones.
  EXPECT_TRUE(PlanText(start + "G83 X1 Z-1 R1 Q0.5\nX2\nG82 X3 Z-1 R1 P1\nX4\n").ok());
}

TEST(GcodeCycles, RepeatsAtIncrementsInG91AndInPlaceInG90) {
  // G91: R from the current Z (10 - 1 = 9), Z from R (9 - 1 = 8), holes 1 mm apart from X11.
  const std::string at = "G21 G90\nG0 X11 Y5 Z10\n";
  ExpectPath(PlanText(at + "G98 G91 G81 X1 Z-1 R-1 L2\n"), 1,
             {{'r', {12, 5, 10}},
              {'r', {12, 5, 9}},
              {'f', {12, 5, 8}},
              {'r', {12, 5, 10}},
              {'r', {13, 5, 10}},
              {'r', {13, 5, 9}},
              {'f', {13, 5, 8}},
              {'r', {13, 5, 10}}});
  // G90 L2: the same hole twice.
  ExpectPath(PlanText(at + "G98 G81 X20 Z-1 R2 L2\n"), 1,
             {{'r', {20, 5, 10}},
              {'r', {20, 5, 2}},
              {'f', {20, 5, -1}},
              {'r', {20, 5, 10}},
              {'r', {20, 5, 2}},
              {'f', {20, 5, -1}},
              {'r', {20, 5, 10}}});
  // G92 shifts the holes like any other move (program coordinates to machine).
  ExpectPath(PlanText(at + "G92 X0 Y0 Z0\nG99 G81 X1 Y1 Z-2 R1\n"), 1,
             {{'r', {11, 5, 11}}, {'r', {12, 6, 11}}, {'f', {12, 6, 8}}, {'r', {12, 6, 11}}});
}

TEST(GcodeCycles, RefusalsNameTheLineBeforeAnythingMoves) {
  struct Case {
    const char* line;
    const char* fragment;
  };
  for (const Case& c :
       {Case{"G81 X1 Z2 R1", "below Z"}, Case{"G81 X1 Z-1", "needs R"},
        Case{"G81 X1 R1", "needs Z"}, Case{"G83 X1 Z-1 R1", "needs Q"},
        Case{"G73 X1 Z-1 R1 Q0", "positive"}, Case{"G82 X1 Z-1 R1", "needs P"},
        Case{"G81 X1 Z-1 R1 L0", "at least 1"}, Case{"G81 R1 Z-1 Q1", "Q is used"},
        Case{"G81 R1 L2", "need X, Y or Z"}, Case{"G18 G81 X1 Z-1 R1", "needs Y"},
        Case{"G83 X1 Z-1000 R1 Q0.0001", "million"}, Case{"G1 X1 L2", "drilling cycles (repeats)"},
        Case{"G91 G81 X1 Z1 R-1", "below Z"}}) {
    SCOPED_TRACE(c.line);
    const Plan plan = PlanText(start + c.line + "\n");
    ASSERT_EQ(plan.errors.size(), 1u);
    EXPECT_EQ(plan.errors[0].line, 3);
    EXPECT_NE(plan.errors[0].message.find(c.fragment), std::string::npos) << plan.errors[0].message;
  }
}

TEST(GcodeCycles, FromLineInsideACycleRebuildsItsStickyWords) {
  const std::string text = start + "G99 G83 X5 Y5 Z-1 R2 Q1\nX6\nX7 Y6\nG80\n";
  gcode::PlanOptions options;
  options.fromLine = 5;
  const Plan resumed = PlanText(text, options);
  ASSERT_TRUE(resumed.ok()) << resumed.errors[0].message;
  const Plan whole = PlanText(text);
  EXPECT_EQ(resumed.endSteps, whole.endSteps);
  // From line 5 on, the moves are the whole program's, after the approach.
  const std::vector<Move> tail = PathOf(whole, 5);
  const std::vector<Move> got = PathOf(resumed, 5);
  ASSERT_GE(got.size(), tail.size());
  std::vector<Move> expected(tail.begin(), tail.end());
  ExpectPath(resumed, got.size() - tail.size(), expected, 5);
  EXPECT_EQ(tail.back().at[0], 7.0);
}

TEST(GcodeCycles, ExpansionIsStreamedAndStopsAtTheBottom) {
  // Rounding of repeated Q never adds a peck at the bottom: 0.1 mm pecks to 1 mm are ten.
  gcode::CycleLine line;
  line.code = gcode::Code::G73;
  line.z = -1;
  line.r = 0;
  line.q = 0.1;
  line.retractToR = true;
  gcode::CycleSticky sticky;
  ASSERT_EQ(gcode::CheckCycle(line, sticky, {0, 0, 0}), "");
  int feeds = 0;
  double deepest = 0;
  const auto end = gcode::ExpandCycle(line, sticky, {0, 0, 0}, [&](const gcode::CycleMove& m) {
    if (m.kind == gcode::CycleMove::Kind::feed) ++feeds;
    deepest = std::min(deepest, m.to[2]);
  });
  EXPECT_EQ(feeds, 10);
  EXPECT_DOUBLE_EQ(deepest, -1.0);
  EXPECT_EQ(end, (std::array<double, 3>{0, 0, 0}));
}

}  // namespace
