// SVG plot writer: two panels (rate over time, X-Y path), decimated curves so that long jobs stay
// small files. The scale (tick steps and positions, escaping) is gcode/svg_scale's.
#include "outputs/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "report/svg_scale.h"

namespace tool {
namespace {

using svg::Escape;
using svg::NiceRange;
using svg::NiceStep;
using svg::Ticks;

constexpr int maxPointsPerCurve = 3000;
// A following axis steps at uneven intervals (integer error accumulation); its rate is averaged
// over this many steps so the curve shows the speed, not the interpolation pattern.
constexpr std::size_t rateWindowSteps = 12;
// A gap longer than this between two steps of an axis ends its curve (the axis stood still).
constexpr double standstillSeconds = 0.05;
constexpr const char* axisColours[3] = {"#1f77b4", "#d62728", "#2ca02c"};
constexpr const char* axisNames[3] = {"X", "Y", "Z"};

struct Point {
  double x;
  double y;
};

struct Frame {  // a panel's plot area in SVG units and its data ranges
  double left, top, width, height;
  double xMin, xMax, yMin, yMax;
  double SvgX(double value) const { return left + (value - xMin) / (xMax - xMin) * width; }
  double SvgY(double value) const { return top + height - (value - yMin) / (yMax - yMin) * height; }
};

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", value);
  return text;
}

std::string Coord(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", value);
  return text;
}

// wholeUnits: the axis counts whole steps, so no tick falls between two.
void Axes(std::ostream& out, const Frame& frame, const std::string& xLabel,
          const std::string& yLabel, bool wholeUnits = false) {
  out << "<rect x='" << Coord(frame.left) << "' y='" << Coord(frame.top) << "' width='"
      << Coord(frame.width) << "' height='" << Coord(frame.height)
      << "' fill='none' stroke='#444'/>\n";
  const double minStep = wholeUnits ? 1 : 0;
  const double xStep = NiceStep(frame.xMax - frame.xMin, 8, minStep);
  for (const double v : Ticks(frame.xMin, frame.xMax, xStep)) {
    const double x = frame.SvgX(v);
    out << "<line x1='" << Coord(x) << "' y1='" << Coord(frame.top) << "' x2='" << Coord(x)
        << "' y2='" << Coord(frame.top + frame.height) << "' stroke='#ddd'/>\n";
    out << "<text class='tick-x' x='" << Coord(x) << "' y='" << Coord(frame.top + frame.height + 16)
        << "' text-anchor='middle'>" << Number(v) << "</text>\n";
  }
  const double yStep = NiceStep(frame.yMax - frame.yMin, 6, minStep);
  for (const double v : Ticks(frame.yMin, frame.yMax, yStep)) {
    const double y = frame.SvgY(v);
    out << "<line x1='" << Coord(frame.left) << "' y1='" << Coord(y) << "' x2='"
        << Coord(frame.left + frame.width) << "' y2='" << Coord(y) << "' stroke='#ddd'/>\n";
    out << "<text class='tick-y' x='" << Coord(frame.left - 6) << "' y='" << Coord(y + 4)
        << "' text-anchor='end'>" << Number(v) << "</text>\n";
  }
  out << "<text x='" << Coord(frame.left + frame.width / 2) << "' y='"
      << Coord(frame.top + frame.height + 36) << "' text-anchor='middle'>" << xLabel << "</text>\n";
  const double yLabelX = frame.left - 52;
  const double yLabelY = frame.top + frame.height / 2;
  out << "<text x='" << Coord(yLabelX) << "' y='" << Coord(yLabelY)
      << "' text-anchor='middle' transform='rotate(-90 " << Coord(yLabelX) << " " << Coord(yLabelY)
      << ")'>" << yLabel << "</text>\n";
}

void Polyline(std::ostream& out, const Frame& frame, const std::vector<Point>& points,
              const char* colour) {
  if (points.empty()) return;
  if (points.size() == 1) {
    out << "<circle cx='" << Coord(frame.SvgX(points[0].x)) << "' cy='"
        << Coord(frame.SvgY(points[0].y)) << "' r='2' fill='" << colour << "'/>\n";
    return;
  }
  out << "<polyline fill='none' stroke='" << colour << "' stroke-width='1.5' points='";
  for (const Point& p : points)
    out << Coord(frame.SvgX(p.x)) << "," << Coord(frame.SvgY(p.y)) << " ";
  out << "'/>\n";
}

// Step rate curves of one axis: one segment per stretch of motion, each point the mean rate over
// a group of steps (one step per point for short moves).
std::vector<std::vector<Point>> RateSegments(const std::vector<double>& times) {
  std::vector<std::vector<Point>> segments;
  if (times.size() < 2) return segments;
  const std::size_t group =
      std::max<std::size_t>(1, times.size() / static_cast<std::size_t>(maxPointsPerCurve));
  std::vector<Point> current;
  std::size_t start = 0;
  for (std::size_t i = 1; i < times.size(); ++i) {
    if (times[i] - times[i - 1] > standstillSeconds) {
      if (!current.empty()) segments.push_back(std::move(current));
      current.clear();
      start = i;
      continue;
    }
    // Every group-th step, and always a move's last step, so that a short move is drawn too.
    const bool lastOfMove = i + 1 == times.size() || times[i + 1] - times[i] > standstillSeconds;
    if ((i - start) % group != 0 && !lastOfMove) continue;
    const std::size_t window = std::max(group, rateWindowSteps);
    const std::size_t from = i >= window ? std::max(start, i - window) : start;
    const double span = times[i] - times[from];
    if (span <= 0) continue;
    current.push_back({(times[i] + times[from]) / 2, static_cast<double>(i - from) / span});
  }
  if (!current.empty()) segments.push_back(std::move(current));
  return segments;
}

}  // namespace

void WritePlotSvg(const Record& record, const std::string& title, std::ostream& out) {
  constexpr double width = 1000;
  constexpr double rateHeight = 300;
  constexpr double pathHeight = 420;
  constexpr double totalHeight = 60 + rateHeight + 80 + pathHeight + 70;

  std::vector<double> times[3];
  for (const StepEvent& step : record.steps) times[step.axis].push_back(step.tick * secondsPerTick);
  std::vector<std::vector<Point>> rates[3];
  double maxRate = 0;
  for (int axis = 0; axis < 3; ++axis) {
    rates[axis] = RateSegments(times[axis]);
    for (const auto& segment : rates[axis]) {
      for (const Point& p : segment) maxRate = std::max(maxRate, p.y);
    }
  }
  double endTime = record.LastTick() * secondsPerTick;
  // A spike (one very short interval) must not flatten every other curve: above 1.5 times the
  // 99th percentile of the rates, the scale is clipped and the clipped points are marked.
  std::vector<double> allRates;
  for (int axis = 0; axis < 3; ++axis) {
    for (const auto& segment : rates[axis]) {
      for (const Point& p : segment) allRates.push_back(p.y);
    }
  }
  double rateTop = maxRate;
  bool clipped = false;
  if (allRates.size() >= 20) {
    std::sort(allRates.begin(), allRates.end());
    const double p99 = allRates[allRates.size() * 99 / 100];
    if (maxRate > 1.5 * p99 && p99 > 0) {
      rateTop = p99 * 1.2;
      clipped = true;
    }
  }

  out << "<?xml version='1.0' encoding='UTF-8'?>\n"
      << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << totalHeight
      << "' viewBox='0 0 " << width << " " << totalHeight
      << "' font-family='sans-serif' font-size='12'>\n"
      << "<rect width='100%' height='100%' fill='white'/>\n"
      << "<text x='" << width / 2 << "' y='24' text-anchor='middle' font-size='16'>"
      << Escape(title) << "</text>\n";

  // Panel 1: step rate over time.
  double tLow = 0, tHigh = std::max(endTime, 1e-3);
  NiceRange(tLow, tHigh, 8);
  tLow = 0;
  double rLow = 0, rHigh = std::max(rateTop * 1.08, 1.0);
  NiceRange(rLow, rHigh, 6);
  rLow = 0;
  const Frame rateFrame{80, 60, width - 300, rateHeight, tLow, tHigh, rLow, rHigh};
  out << "<text x='80' y='52' font-weight='bold'>Step rate of each axis</text>\n";
  // Auxiliary state 1 as shaded bands behind the curves, from each change to the next.
  for (std::size_t i = 0; i < record.aux.size(); ++i) {
    if (record.aux[i].state != 1) continue;
    const double from = record.aux[i].tick * secondsPerTick;
    const double to = i + 1 < record.aux.size() ? record.aux[i + 1].tick * secondsPerTick : tHigh;
    const double x1 = rateFrame.SvgX(from);
    const double x2 = std::max(rateFrame.SvgX(std::min(to, tHigh)), x1 + 1.5);
    out << "<rect class='aux-on' x='" << Coord(x1) << "' y='" << Coord(rateFrame.top) << "' width='"
        << Coord(x2 - x1) << "' height='" << Coord(rateFrame.height)
        << "' fill='#9467bd' fill-opacity='0.15'><title>aux state 1 from " << Number(from)
        << " s</title></rect>\n";
  }
  Axes(out, rateFrame, "time (s)", "step rate (steps/s)");
  for (const AuxEvent& event : record.aux) {
    const double x = rateFrame.SvgX(event.tick * secondsPerTick);
    out << "<line x1='" << Coord(x) << "' y1='" << Coord(rateFrame.top) << "' x2='" << Coord(x)
        << "' y2='" << Coord(rateFrame.top + rateFrame.height)
        << "' stroke='#9467bd' stroke-dasharray='4 3'><title>aux " << AuxStateName(event.state)
        << "</title></line>\n";
  }
  // Faults: a red line through the panel and a cross on top, one colour for every kind.
  std::vector<std::pair<std::string, int>> faultKinds;
  for (const auto& [kind, count] : record.FaultsByKind()) faultKinds.emplace_back(kind, count);
  constexpr const char* faultColours[] = {"#d62728", "#ff7f0e", "#8c564b", "#e377c2", "#7f7f7f"};
  auto faultColour = [&](const std::string& kind) {
    std::size_t index = 0;
    while (index < faultKinds.size() && faultKinds[index].first != kind) ++index;
    return faultColours[std::min<std::size_t>(index, 4)];
  };
  std::size_t faultMarks = 0;
  for (const FaultEvent& fault : record.faults) {
    if (++faultMarks > 2000) break;  // a broken run's every fault would only blacken the panel
    const double x = rateFrame.SvgX(fault.tick * secondsPerTick);
    const char* colour = faultColour(fault.kind);
    const double top = rateFrame.top;
    out << "<g class='fault'><title>" << Escape(fault.kind) << " fault at "
        << Number(fault.tick * secondsPerTick) << " s</title><line x1='" << Coord(x) << "' y1='"
        << Coord(top) << "' x2='" << Coord(x) << "' y2='" << Coord(top + rateFrame.height)
        << "' stroke='" << colour << "' stroke-opacity='0.6'/><path d='M" << Coord(x - 4) << ","
        << Coord(top - 4) << "l8,8m0,-8l-8,8' stroke='" << colour << "' stroke-width='2'/></g>\n";
  }
  double legendY = rateFrame.top + 10;
  const double legendX = rateFrame.left + rateFrame.width + 15;
  for (int axis = 0; axis < 3; ++axis) {
    if (times[axis].empty()) continue;
    // One group per moving axis, so that a reader (or a test) can tell the curves apart.
    out << "<g class='rate-"
        << "xyz"[axis] << "'>\n";
    for (const auto& segment : rates[axis]) {
      std::vector<Point> shown = segment;
      for (Point& p : shown) {
        if (p.y > rHigh) {
          out << "<path class='clipped' d='M" << Coord(rateFrame.SvgX(p.x) - 4) << ","
              << Coord(rateFrame.top + 6) << "l4,-6l4,6z' fill='" << axisColours[axis] << "'/>\n";
          p.y = rHigh;
        }
      }
      Polyline(out, rateFrame, shown, axisColours[axis]);
    }
    out << "</g>\n";
    out << "<line x1='" << Coord(legendX) << "' y1='" << Coord(legendY) << "' x2='"
        << Coord(legendX + 25) << "' y2='" << Coord(legendY) << "' stroke='" << axisColours[axis]
        << "' stroke-width='2'/>\n"
        << "<text x='" << Coord(legendX + 30) << "' y='" << Coord(legendY + 4) << "'>"
        << axisNames[axis] << " (" << times[axis].size() << " steps)</text>\n";
    legendY += 18;
  }
  if (clipped) {
    out << "<path d='M" << Coord(legendX + 8) << "," << Coord(legendY + 4)
        << "l4,-6l4,6z' fill='#444'/>\n"
        << "<text x='" << Coord(legendX + 30) << "' y='" << Coord(legendY + 4) << "'>clipped (max "
        << Number(std::round(maxRate)) << " steps/s)</text>\n";
    legendY += 18;
  }
  if (!record.aux.empty()) {
    out << "<rect x='" << Coord(legendX) << "' y='" << Coord(legendY - 6)
        << "' width='25' height='12' fill='#9467bd' fill-opacity='0.15' stroke='#9467bd' "
           "stroke-dasharray='4 3'/>\n"
        << "<text x='" << Coord(legendX + 30) << "' y='" << Coord(legendY + 4) << "'>aux state 1 ("
        << record.aux.size() << " changes)</text>\n";
    legendY += 18;
  }
  for (const auto& [kind, count] : faultKinds) {
    out << "<path d='M" << Coord(legendX + 8) << "," << Coord(legendY - 4)
        << "l8,8m0,-8l-8,8' stroke='" << faultColour(kind) << "' stroke-width='2'/>\n"
        << "<text class='legend-fault' x='" << Coord(legendX + 30) << "' y='" << Coord(legendY + 4)
        << "'>" << Escape(kind) << " fault (" << count << ")</text>\n";
    legendY += 18;
  }
  if (record.steps.empty()) {
    out << "<text x='" << Coord(rateFrame.left + rateFrame.width / 2) << "' y='"
        << Coord(rateFrame.top + rateFrame.height / 2)
        << "' text-anchor='middle' fill='#888'>no steps recorded</text>\n";
  }

  // Panel 2: X-Y path, equal scale on both axes.
  std::vector<Point> path{{0, 0}};
  std::vector<bool> moveEnd{true};  // kept however long the path: a short move stays visible
  std::int32_t x = 0, y = 0;
  std::uint64_t lastTick = 0;
  for (const StepEvent& step : record.steps) {
    if (step.axis == 2) continue;
    if ((step.tick - lastTick) * secondsPerTick > standstillSeconds) moveEnd.back() = true;
    lastTick = step.tick;
    (step.axis == 0 ? x : y) = step.position;
    path.push_back({static_cast<double>(x), static_cast<double>(y)});
    moveEnd.push_back(false);
  }
  moveEnd.back() = true;
  double xLow = 0, xHigh = 0, yLow = 0, yHigh = 0;
  for (const Point& p : path) {
    xLow = std::min(xLow, p.x);
    xHigh = std::max(xHigh, p.x);
    yLow = std::min(yLow, p.y);
    yHigh = std::max(yHigh, p.y);
  }
  const double pathTop = 60 + rateHeight + 80;
  const double plotSize = pathHeight;
  const double span = std::max({xHigh - xLow, yHigh - yLow, 2.0});
  double xMid = (xLow + xHigh) / 2, yMid = (yLow + yHigh) / 2;
  double pxLow = xMid - span / 2 * 1.05, pxHigh = xMid + span / 2 * 1.05;
  double pyLow = yMid - span / 2 * 1.05, pyHigh = yMid + span / 2 * 1.05;
  const Frame pathFrame{
      80 + (width - 300 - plotSize) / 2, pathTop, plotSize, plotSize, pxLow, pxHigh, pyLow, pyHigh};
  out << "<text x='80' y='" << Coord(pathTop - 8) << "' font-weight='bold'>X-Y path</text>\n";
  Axes(out, pathFrame, "X position (steps)", "Y position (steps)", true);
  std::vector<Point> shown;
  const std::size_t stride =
      std::max<std::size_t>(1, path.size() / static_cast<std::size_t>(maxPointsPerCurve));
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i % stride == 0 || moveEnd[i] || (i + 1 < path.size() && moveEnd[i + 1])) {
      shown.push_back(path[i]);
    }
  }
  if (shown.back().x != path.back().x || shown.back().y != path.back().y)
    shown.push_back(path.back());
  Polyline(out, pathFrame, shown, "#333");
  out << "<circle cx='" << Coord(pathFrame.SvgX(path.front().x)) << "' cy='"
      << Coord(pathFrame.SvgY(path.front().y))
      << "' r='5' fill='#2ca02c'><title>start</title></circle>\n"
      << "<circle cx='" << Coord(pathFrame.SvgX(path.back().x)) << "' cy='"
      << Coord(pathFrame.SvgY(path.back().y))
      << "' r='5' fill='#d62728'><title>end</title></circle>\n"
      << "<text x='" << Coord(pathFrame.left + pathFrame.width + 15) << "' y='"
      << Coord(pathTop + 14) << "'><tspan fill='#2ca02c'>&#9679;</tspan> start (0, 0)</text>\n"
      << "<text x='" << Coord(pathFrame.left + pathFrame.width + 15) << "' y='"
      << Coord(pathTop + 32) << "'><tspan fill='#d62728'>&#9679;</tspan> end (" << x << ", " << y
      << ")</text>\n";
  out << "</svg>\n";
}

}  // namespace tool
