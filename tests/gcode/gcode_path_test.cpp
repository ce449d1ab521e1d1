// The bounded planned path (gcode::PathTrace) and the G-code plot drawn from it: the trace's cap
// whatever the job's length and pattern, what merging keeps (corners, marks, the last end), and
// the plot's joins, legend, marks and ticks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "plan/planner.h"
#include "read/program.h"
#include "report/path_plot.h"
#include "report/path_trace.h"
#include "report/svg_scale.h"

namespace {

using gcode::CallKind;
using gcode::PlannedCall;
using gcode::Purpose;

const gcode::Machine machine = gcode::BuiltinMachine();

// A planned entry that ends at `mm` (machine mm) after `seconds`.
PlannedCall Entry(Purpose purpose, std::array<double, 3> mm, double startSeconds = 0,
                  double seconds = 0.1, int aux = -1) {
  PlannedCall call;
  call.kind = purpose == Purpose::dwell                                     ? CallKind::dwell
              : purpose == Purpose::pause || purpose == Purpose::toolChange ? CallKind::pause
              : purpose == Purpose::reference                               ? CallKind::reference
                                                                            : CallKind::vectorOut;
  call.purpose = purpose;
  call.aux = aux;
  call.startSeconds = startSeconds;
  call.seconds = seconds;
  for (int i = 0; i < 3; ++i) call.endSteps[i] = gcode::MmToSteps(mm[i], machine.axes[i]);
  return call;
}

// Feeds `count` entries of a zigzag (every end a corner), purposes from `purposeOf(i)`.
template <typename PurposeOf>
void FeedZigzag(gcode::PathTrace& trace, std::uint64_t count, PurposeOf purposeOf) {
  for (std::uint64_t i = 0; i < count; ++i) {
    const double x = static_cast<double>(i % 500), y = (i % 2 == 0) ? 0.0 : 10.0;
    trace.Add(Entry(purposeOf(i), {x, y, 0}, static_cast<double>(i) * 0.01, 0.01));
  }
}

std::string Svg(const gcode::PathTrace& trace, std::size_t callsDone = SIZE_MAX) {
  std::ostringstream out;
  gcode::WritePathPlotSvg(trace, machine, callsDone, "job", out);
  return out.str();
}

std::string SvgOf(const std::string& program, bool home = false) {
  gcode::PlanOptions options;
  options.home = home;
  const gcode::Plan plan = gcode::PlanProgram(gcode::ParseProgram(program), machine, options);
  EXPECT_TRUE(plan.errors.empty()) << (plan.errors.empty() ? "" : plan.errors.front().message);
  std::ostringstream out;
  gcode::WritePathPlotSvg(plan, machine, plan.calls.size(), "job", out);
  return out.str();
}

struct Pixel {
  double x, y;
};
// The points of every X-Y polyline, in order (the Z chart's line, stroke #444444, left out).
std::vector<std::vector<Pixel>> PathPolylines(const std::string& svg) {
  std::vector<std::vector<Pixel>> lines;
  const std::regex polyline(
      R"re(<polyline fill="none" stroke="(#[0-9a-f]+)"[^>]*points="([^"]*)")re");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), polyline);
       it != std::sregex_iterator(); ++it) {
    if ((*it)[1] == "#444444") continue;
    std::vector<Pixel> points;
    std::istringstream text((*it)[2].str());
    Pixel p{};
    char comma = 0;
    while (text >> p.x >> comma >> p.y) points.push_back(p);
    lines.push_back(points);
  }
  return lines;
}

TEST(PathTraceBound, TenMillionEntriesKeepNoMoreThanTheCapAndPlotAsSmallAsTenThousand) {
  gcode::PathTrace small(machine), large(machine);
  const auto cutting = [](std::uint64_t) { return Purpose::cut; };
  FeedZigzag(small, 10'000, cutting);
  FeedZigzag(large, 10'000'000, cutting);

  EXPECT_EQ(large.Entries(), 10'000'000u);
  EXPECT_LE(large.Points().size(), large.MaxPoints() + 2);
  EXPECT_GE(large.Points().size(), large.MaxPoints() / 4);  // thinned, not emptied
  const std::string smallSvg = Svg(small), largeSvg = Svg(large);
  EXPECT_LE(largeSvg.size(), smallSvg.size() * 3 / 2) << smallSvg.size();
  EXPECT_LE(largeSvg.size(), std::size_t{1} << 20);
}

TEST(PathTraceBound, AlternatingStylesAndMarksAloneStayWithinTheCap) {
  // A drilling job changes style at every entry; a loop of dwells is nothing but marks. Neither
  // may grow the trace (nor make every entry rewrite it).
  gcode::PathTrace drilling(machine), dwells(machine);
  FeedZigzag(drilling, 1'000'000,
             [](std::uint64_t i) { return i % 2 == 0 ? Purpose::rapid : Purpose::cut; });
  for (int i = 0; i < 1'000'000; ++i) dwells.Add(Entry(Purpose::dwell, {5, 5, 0}, i, 1.0));

  EXPECT_LE(drilling.Points().size(), drilling.MaxPoints() + 2);
  EXPECT_LE(dwells.Points().size(), dwells.MaxPoints() + 2);
  EXPECT_EQ(dwells.Points().back().endSeconds, 1'000'000.0);  // the last mark is there
}

TEST(PathTraceMerge, CollinearPointsMergeCornersMarksAndTheLastEndStay) {
  gcode::PathTrace trace(machine);
  // 0,0 -> 50,0 in 50 steps of 1 mm (one straight line), a dwell at 50,0, then on to 100,0 and
  // up to 100,40 in 40 steps.
  double t = 0;
  for (int x = 1; x <= 50; ++x) trace.Add(Entry(Purpose::cut, {double(x), 0, 0}, t++));
  trace.Add(Entry(Purpose::dwell, {50, 0, 0}, t++, 1.0));
  for (int x = 51; x <= 100; ++x) trace.Add(Entry(Purpose::cut, {double(x), 0, 0}, t++));
  for (int y = 1; y <= 40; ++y) trace.Add(Entry(Purpose::cut, {100, double(y), 0}, t++));

  const std::vector<gcode::TracePoint> points = trace.Points();
  std::vector<std::array<double, 3>> ends;
  for (const auto& p : points) ends.push_back(p.mm);
  // start, the line's end, the dwell, the corner, the last end.
  ASSERT_EQ(points.size(), 5u);
  EXPECT_EQ(ends[1], (std::array<double, 3>{50, 0, 0}));
  EXPECT_EQ(points[2].purpose, Purpose::dwell);
  EXPECT_EQ(ends[3], (std::array<double, 3>{100, 0, 0}));
  EXPECT_EQ(ends[4], (std::array<double, 3>{100, 40, 0}));
  EXPECT_EQ(points.back().entry, trace.Entries() - 1);
}

TEST(PathTraceMerge, ThinningKeepsMarksAndTheLastEnd) {
  gcode::PathTrace trace(machine, 64);
  for (int i = 0; i < 20'000; ++i) {
    const double x = i % 7, y = i % 3;
    trace.Add(Entry(i % 1000 == 500 ? Purpose::toolChange : Purpose::cut, {x, y, 0}, i));
  }
  trace.Add(Entry(Purpose::rapid, {321, 123, 3}, 20'000));
  const std::vector<gcode::TracePoint> points = trace.Points();
  int toolChanges = 0;
  for (const auto& p : points) toolChanges += p.purpose == Purpose::toolChange ? 1 : 0;
  EXPECT_EQ(toolChanges, 20);
  EXPECT_LE(points.size(), trace.MaxPoints() + 2);
  EXPECT_EQ(points.back().mm, (std::array<double, 3>{321, 123, 3}));
}

TEST(PathPlot, EveryMoveIsJoinedToTheOneBeforeItAndAZFirstReturnIsNotADiagonal) {
  // Lift, rapid to the start, cut a line, lift, return: the return runs from the end of the cut
  // (not from the first rapid's start) back to machine zero.
  gcode::PathTrace trace(machine);
  trace.Add(Entry(Purpose::rapid, {0, 0, 3}, 0));
  trace.Add(Entry(Purpose::rapid, {20, 20, 3}, 1));
  trace.Add(Entry(Purpose::cut, {20, 20, 0}, 2, 0.1, 1));
  trace.Add(Entry(Purpose::cut, {60, 20, 0}, 3, 0.1, 1));
  trace.Add(Entry(Purpose::rapid, {60, 20, 3}, 4));
  trace.Add(Entry(Purpose::rapid, {0, 0, 3}, 5));
  const std::vector<std::vector<Pixel>> lines = PathPolylines(Svg(trace));

  ASSERT_EQ(lines.size(), 3u);  // rapid, cut, rapid
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_DOUBLE_EQ(lines[i].front().x, lines[i - 1].back().x) << i;
    EXPECT_DOUBLE_EQ(lines[i].front().y, lines[i - 1].back().y) << i;
  }
  // The return starts where the cut ended (the right of the first rapid's end), at the cut's Y.
  EXPECT_GT(lines[2].front().x, lines[0].back().x);
  EXPECT_DOUBLE_EQ(lines[2].front().y, lines[0].back().y);
  EXPECT_DOUBLE_EQ(lines[2].back().x, lines[0].front().x);
}

TEST(PathPlot, LegendListsWhatOccursAndMarksAreDrawn) {
  const std::string plain = SvgOf("G21 G90\nG0 X10 Y10\nG1 X20 F300\nM30\n");
  EXPECT_NE(plain.find("rapid (G0)"), std::string::npos);
  EXPECT_NE(plain.find("cutting, auxiliary output off"), std::string::npos);
  for (const char* absent : {"auxiliary output on", "dwell (G4)", "tool change (M6)",
                             "program pause", "homing", "stored position", "resume"}) {
    EXPECT_EQ(plain.find(absent), std::string::npos) << absent;
  }

  const std::string marked = SvgOf(
      "G21 G90\n(homed)\nG0 X10 Y10\nG4 P2\nM3\nG1 X20 F300\nM6 T1\nG1 Y20\nM0\nM5\nM30\n", true);
  for (const char* present : {"homing (reference run)", "auxiliary output on", "dwell (G4)",
                              "tool change (M6)", "program pause (M0/M1)"}) {
    EXPECT_NE(marked.find(present), std::string::npos) << present;
  }
  // Each mark on the path and on the Z chart, with its line in the tooltip.
  const auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = marked.find(what); at != std::string::npos;
         at = marked.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("<title>dwell (G4), line 4</title>"), 2u);
  EXPECT_EQ(count("<title>tool change (M6), line 7</title>"), 2u);
  EXPECT_EQ(count("<title>program pause (M0/M1), line 9</title>"), 2u);
}

TEST(PathPlot, StoredPositionMovesAreDrawnApartFromRapids) {
  gcode::PathTrace trace(machine);
  trace.Add(Entry(Purpose::rapid, {10, 10, 0}, 0));
  trace.Add(Entry(Purpose::stored, {40, 30, 0}, 1));
  const std::string svg = Svg(trace);
  EXPECT_NE(svg.find("to a stored position (G28/G30)"), std::string::npos);
  const std::vector<std::vector<Pixel>> lines = PathPolylines(svg);
  ASSERT_EQ(lines.size(), 2u);
  const std::regex stroke(R"re(<polyline fill="none" stroke="(#[0-9a-f]+)")re");
  std::vector<std::string> colours;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), stroke); it != std::sregex_iterator();
       ++it)
    colours.push_back((*it)[1]);
  ASSERT_GE(colours.size(), 2u);
  EXPECT_NE(colours[0], colours[1]);
}

TEST(PathPlot, ZChartHasTimeTicksInSecondsAndTheGridItsUnits) {
  gcode::PathTrace trace(machine);
  trace.Add(Entry(Purpose::rapid, {0, 0, 5}, 0, 2));
  trace.Add(Entry(Purpose::cut, {30, 0, 5}, 2, 38));
  const std::string svg = Svg(trace);
  // 40 s in round steps of 5 s, each labelled.
  for (const char* tick : {">0 s<", ">5 s<", ">20 s<", ">40 s<"})
    EXPECT_NE(svg.find(tick), std::string::npos) << tick;
  EXPECT_EQ(svg.find(">45 s<"), std::string::npos);
  EXPECT_NE(svg.find("X (mm)"), std::string::npos);
  EXPECT_NE(svg.find("Y (mm)"), std::string::npos);
  EXPECT_NE(svg.find("time (s)"), std::string::npos);
}

// The scale both plots share: round steps, ticks computed from their index (a running sum of
// 0.1 drifts to 0.30000000000000004 and, over a long axis, off the grid), a bounded tick count,
// and a zero or degenerate span that still gives a usable step.
TEST(SvgScale, RoundStepsAndTicksThatDoNotDrift) {
  EXPECT_DOUBLE_EQ(svg::NiceStep(7.3, 8), 1);
  EXPECT_DOUBLE_EQ(svg::NiceStep(40, 10), 5);
  EXPECT_DOUBLE_EQ(svg::NiceStep(0.9, 6), 0.2);
  EXPECT_DOUBLE_EQ(svg::NiceStep(3, 8, 1), 1) << "an axis in whole steps";
  EXPECT_GT(svg::NiceStep(0, 8), 0);

  const std::vector<double> ticks = svg::Ticks(0, 4.95, 0.1);
  ASSERT_EQ(ticks.size(), 50u);
  for (std::size_t k = 0; k < ticks.size(); ++k)
    EXPECT_EQ(ticks[k], static_cast<double>(k) * 0.1) << k;
  EXPECT_EQ(svg::Ticks(-1e-12, 1, 0.5).front(), 0.0) << "no -0 label";
  EXPECT_EQ(svg::Ticks(0, 1e6, 1).size(), svg::maxTicks);

  double low = 3, high = 3;
  svg::NiceRange(low, high, 4);
  EXPECT_LT(low, 3);
  EXPECT_GT(high, 3);
}

// A title from the command line (the G-code file's name) may hold any bytes: the path plot stays
// well-formed XML, as the record plot always was.
TEST(PathPlot, TitleWithMarkupAndBadBytesIsEscaped) {
  gcode::PathTrace trace(machine);
  trace.Add(Entry(Purpose::cut, {10, 10, 0}, 0, 1));
  std::ostringstream out;
  gcode::WritePathPlotSvg(trace, machine, 1, "a<b>'\x01\xff.nc", out);
  const std::string svg = out.str();
  EXPECT_NE(svg.find("a&lt;b&gt;&apos;&#xFFFD;&#xFFFD;.nc"), std::string::npos);
  EXPECT_EQ(svg.find('\x01'), std::string::npos);
  EXPECT_EQ(svg.find('\xff'), std::string::npos);
}

// Ticks on a long time axis stay on round values: 0.1 s steps over 4.9 s read 0.3 s, not a sum.
TEST(PathPlot, TimeTicksAreRoundValues) {
  gcode::PathTrace trace(machine);
  trace.Add(Entry(Purpose::cut, {10, 0, 1}, 0, 0.95));
  const std::string svg = Svg(trace);
  EXPECT_NE(svg.find(">0.3 s<"), std::string::npos);
  EXPECT_NE(svg.find(">0.9 s<"), std::string::npos);
  EXPECT_EQ(svg.find("0.30000"), std::string::npos);
}

}  // namespace
