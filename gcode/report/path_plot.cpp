// Path plot from the bounded planned path: the X-Y path in mm (one polyline per run of equal
// style: rapid, stored position, homing, resume, cutting with the auxiliary output on or off),
// dwells and pauses marked, a legend, and Z over the planned time with ticks in seconds under it.
// Calls the trace and the shared plot scale (svg_scale.h) only.
#include "report/path_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "report/svg_scale.h"

namespace gcode {
namespace {

using svg::Escape;
using svg::NiceStep;
using svg::Ticks;

// Page layout, SVG user units (px): the path's box, the legend column beside it, the Z strip.
constexpr double width = 960, pathLeft = 70, pathRight = 690, pathTop = 60, pathBottom = 520;
constexpr double legendX = 715;
constexpr double zTop = 585, zBottom = 745, zLeft = pathLeft, zRight = width - 30;
constexpr double height = 790;

struct Style {
  const char* colour;
  const char* dash;  // stroke-dasharray, or "" for a solid line
  double strokeWidth;
  const char* legend;
};

// How each kind of move is drawn; the legend lists the kinds that occur.
constexpr Style rapidStyle{"#888888", "5,4", 1.0, "rapid (G0)"};
constexpr Style storedStyle{"#ff7f0e", "2,3", 1.4, "to a stored position (G28/G30)"};
constexpr Style referenceStyle{"#228833", "", 2.0, "homing (reference run)"};
constexpr Style resumeStyle{"#aa66cc", "8,3", 1.4, "resume positioning (--from-line)"};
constexpr Style cutOffStyle{"#1f77b4", "", 1.6, "cutting, auxiliary output off / not set"};
constexpr Style cutOnStyle{"#d62728", "", 1.6, "cutting, auxiliary output on (M3/M4)"};

const Style& StyleOf(Purpose purpose, int aux) {
  switch (purpose) {
    case Purpose::rapid:
      return rapidStyle;
    case Purpose::stored:
      return storedStyle;
    case Purpose::reference:
      return referenceStyle;
    case Purpose::resume:
      return resumeStyle;
    default:
      return aux == 1 ? cutOnStyle : cutOffStyle;
  }
}

bool IsMark(Purpose purpose) {
  return purpose == Purpose::dwell || purpose == Purpose::pause || purpose == Purpose::toolChange;
}

// The symbol of a mark centred on (x, y): a circle for a dwell, a diamond for a tool change, a
// square for any other pause of the program.
std::string MarkShape(Purpose purpose, double x, double y, const std::string& tooltip) {
  char buffer[320];
  if (purpose == Purpose::dwell) {
    std::snprintf(buffer, sizeof buffer,
                  "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4.5\" fill=\"#ffcc00\" stroke=\"#7a5c00\">",
                  x, y);
  } else if (purpose == Purpose::toolChange) {
    std::snprintf(buffer, sizeof buffer,
                  "<path d=\"M%.1f %.1fl6 6l-6 6l-6 -6z\" fill=\"#17becf\" stroke=\"#0b5f68\">", x,
                  y - 6);
  } else {
    std::snprintf(buffer, sizeof buffer,
                  "<rect x=\"%.1f\" y=\"%.1f\" width=\"9\" height=\"9\" fill=\"#e377c2\" "
                  "stroke=\"#7a2c63\">",
                  x - 4.5, y - 4.5);
  }
  const std::string closing = purpose == Purpose::dwell        ? "</circle>"
                              : purpose == Purpose::toolChange ? "</path>"
                                                               : "</rect>";
  return std::string(buffer) + "<title>" + Escape(tooltip) + "</title>" + closing + "\n";
}

const char* MarkName(Purpose purpose) {
  return purpose == Purpose::dwell        ? "dwell (G4)"
         : purpose == Purpose::toolChange ? "tool change (M6)"
                                          : "program pause (M0/M1)";
}

void LegendLine(std::ostream& out, double y, const Style& style) {
  char buffer[400];
  std::snprintf(buffer, sizeof buffer,
                "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"%s\" stroke-width=\"2\"%s%s"
                "%s/><text x=\"%g\" y=\"%g\">%s</text>\n",
                legendX, y, legendX + 28, y, style.colour,
                *style.dash ? " stroke-dasharray=\"" : "", style.dash, *style.dash ? "\"" : "",
                legendX + 36, y + 4, style.legend);
  out << buffer;
}

// The X-Y grid in mm at round steps, both axes labelled with their unit.
void WriteGrid(std::ostream& out, double minX, double maxX, double minY, double maxY, double step,
               const auto& px, const auto& py) {
  char buffer[320];
  out << "<g stroke=\"#e6e6e6\" fill=\"#555555\">\n";
  for (const double x : Ticks(minX, maxX, step)) {
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/><text x=\"%.1f\" "
                  "y=\"%.1f\" stroke=\"none\" text-anchor=\"middle\">%g</text>\n",
                  px(x), py(minY), px(x), py(maxY), px(x), py(minY) + 16, x + 0.0);
    out << buffer;
  }
  for (const double y : Ticks(minY, maxY, step)) {
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/><text x=\"%.1f\" "
                  "y=\"%.1f\" stroke=\"none\" text-anchor=\"end\">%g</text>\n",
                  px(minX), py(y), px(maxX), py(y), px(minX) - 6, py(y) + 4, y + 0.0);
    out << buffer;
  }
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%.1f\" y=\"%.1f\" stroke=\"none\" text-anchor=\"middle\">X (mm)</text>"
                "<text x=\"%.1f\" y=\"%.1f\" stroke=\"none\" text-anchor=\"end\">Y (mm)</text>\n",
                (px(minX) + px(maxX)) / 2, py(minY) + 34, px(minX) - 6, py(maxY) - 12);
  out << buffer << "</g>\n";
}

// Z over the planned time: ticks in seconds and mm, the marks at their times.
void WriteZChart(std::ostream& out, const std::vector<TracePoint>& points, const PathTrace& trace) {
  char buffer[400];
  const double total = std::max(trace.EndSeconds(), 1e-9);
  double minZ = trace.Min()[2], maxZ = trace.Max()[2];
  if (maxZ - minZ < 1.0) maxZ = minZ + 1.0;
  const auto tx = [&](double t) { return zLeft + t / total * (zRight - zLeft); };
  const auto tz = [&](double z) { return zBottom - (z - minZ) / (maxZ - minZ) * (zBottom - zTop); };
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%g\" y=\"%g\">Z in mm over the planned time (%.1f s)</text>\n", zLeft,
                zTop - 14, trace.EndSeconds());
  out << buffer << "<g stroke=\"#e6e6e6\" fill=\"#555555\">\n";
  const double tStep = NiceStep(total, 10);
  for (const double t : Ticks(0, total, tStep)) {
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%.1f\" y1=\"%g\" x2=\"%.1f\" y2=\"%g\"/><text x=\"%.1f\" y=\"%g\" "
                  "stroke=\"none\" text-anchor=\"middle\">%g s</text>\n",
                  tx(t), zTop, tx(t), zBottom + 4, tx(t), zBottom + 18, t);
    out << buffer;
  }
  const double zStep = NiceStep(maxZ - minZ, 4);
  for (const double z : Ticks(minZ, maxZ, zStep)) {
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\"/><text x=\"%g\" y=\"%.1f\" "
                  "stroke=\"none\" text-anchor=\"end\">%g</text>\n",
                  zLeft, tz(z), zRight, tz(z), zLeft - 6, tz(z) + 4, z + 0.0);
    out << buffer;
  }
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%g\" y=\"%g\" stroke=\"none\" text-anchor=\"end\">time (s)</text>\n",
                zRight, zBottom + 34);
  out << buffer << "</g>\n";
  // Z changes over each entry's planned time: a ramp from where the previous entry ended.
  out << "<polyline fill=\"none\" stroke=\"#444444\" points=\"";
  double z = 0, t = 0;
  std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", tx(0), tz(0));
  out << buffer;
  for (const TracePoint& point : points) {
    if (point.mm[2] != z) {
      std::snprintf(buffer, sizeof buffer, "%.2f,%.2f %.2f,%.2f ", tx(t), tz(z),
                    tx(point.endSeconds), tz(point.mm[2]));
      out << buffer;
      z = point.mm[2];
    }
    t = point.endSeconds;
  }
  std::snprintf(buffer, sizeof buffer, "%.2f,%.2f\"/>\n", tx(total), tz(z));
  out << buffer;
  for (const TracePoint& point : points) {
    if (!IsMark(point.purpose)) continue;
    const double at = point.endSeconds;  // a dwell's end; a pause takes no planned time
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%.1f\" y1=\"%g\" x2=\"%.1f\" y2=\"%g\" stroke=\"#bbbbbb\" "
                  "stroke-dasharray=\"2,2\"/>\n",
                  tx(at), zTop, tx(at), zBottom);
    out << buffer;
    out << MarkShape(point.purpose, tx(at), tz(point.mm[2]),
                     std::string(MarkName(point.purpose)) + ", line " + std::to_string(point.line));
  }
}

}  // namespace

void WritePathPlotSvg(const Plan& plan, const Machine& machine, std::size_t callsDone,
                      const std::string& title, std::ostream& out) {
  PathTrace trace(machine, plan.calls.size() + 16);
  for (const PlannedCall& call : plan.calls) trace.Add(call);
  WritePathPlotSvg(trace, machine, callsDone, title, out);
}

void WritePathPlotSvg(const PathTrace& trace, const Machine& machine, std::size_t callsDone,
                      const std::string& title, std::ostream& out) {
  (void)machine;
  const std::vector<TracePoint> points = trace.Points();
  const double minX = trace.Min()[0], maxX = trace.Max()[0];
  const double minY = trace.Min()[1], maxY = trace.Max()[1];
  const double spanX = std::max(maxX - minX, 1.0), spanY = std::max(maxY - minY, 1.0);
  const double scale = std::min((pathRight - pathLeft) / spanX, (pathBottom - pathTop) / spanY);
  const auto px = [&](double x) { return pathLeft + (x - minX) * scale; };
  const auto py = [&](double y) { return pathBottom - (y - minY) * scale; };
  const std::uint64_t entries = trace.Entries();

  char buffer[400];
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  out << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  out << "<text x=\"" << pathLeft << "\" y=\"24\" font-size=\"15\">" << Escape(title)
      << "</text>\n";
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%g\" y=\"42\">X-Y path in mm (machine coordinates); %llu of %llu "
                "entries run</text>\n",
                pathLeft,
                static_cast<unsigned long long>(std::min<std::uint64_t>(callsDone, entries)),
                static_cast<unsigned long long>(entries));
  out << buffer;
  WriteGrid(out, minX, maxX, minY, maxY, NiceStep(std::max(spanX, spanY), 8), px, py);

  // The path: every point is joined to the point before it (a Z-only move adds no X-Y length,
  // so a lift and the rapid after it stay two moves), one polyline per run of equal style.
  std::array<double, 2> previous{points.empty() ? 0.0 : points.front().mm[0],
                                 points.empty() ? 0.0 : points.front().mm[1]};
  std::string pointText, style;
  const auto flush = [&]() {
    if (!pointText.empty())
      out << "<polyline fill=\"none\" " << style << " points=\"" << pointText << "\"/>\n";
    pointText.clear();
  };
  for (const TracePoint& point : points) {
    if (IsMark(point.purpose)) continue;
    const std::array<double, 2> at{point.mm[0], point.mm[1]};
    if (at == previous) continue;
    const Style& s = StyleOf(point.purpose, point.aux);
    std::snprintf(buffer, sizeof buffer, "stroke=\"%s\" stroke-width=\"%g\"%s%s%s%s", s.colour,
                  s.strokeWidth, *s.dash ? " stroke-dasharray=\"" : "", s.dash, *s.dash ? "\"" : "",
                  point.entry < callsDone ? "" : " stroke-opacity=\"0.3\"");
    if (style != buffer) {
      flush();
      style = buffer;
      std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", px(previous[0]), py(previous[1]));
      pointText += buffer;
    }
    std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", px(at[0]), py(at[1]));
    pointText += buffer;
    previous = at;
  }
  flush();
  // Where each homing stage ended (often no X-Y length to draw): a ring in the homing colour.
  for (const TracePoint& point : points) {
    if (point.purpose != Purpose::reference) continue;
    std::snprintf(buffer, sizeof buffer,
                  "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"6\" fill=\"none\" stroke=\"%s\" "
                  "stroke-width=\"2\"><title>homed, line %d</title></circle>\n",
                  px(point.mm[0]), py(point.mm[1]), referenceStyle.colour, point.line);
    out << buffer;
  }
  for (const TracePoint& point : points) {
    if (!IsMark(point.purpose)) continue;
    out << MarkShape(point.purpose, px(point.mm[0]), py(point.mm[1]),
                     std::string(MarkName(point.purpose)) + ", line " + std::to_string(point.line));
  }

  // Legend: only what this job does.
  double ly = pathTop;
  out << "<g font-size=\"12\">\n";
  const std::pair<Purpose, const Style*> moves[] = {{Purpose::rapid, &rapidStyle},
                                                    {Purpose::stored, &storedStyle},
                                                    {Purpose::reference, &referenceStyle},
                                                    {Purpose::resume, &resumeStyle}};
  for (const auto& [purpose, moveStyle] : moves) {
    if (!trace.Has(purpose)) continue;
    LegendLine(out, ly, *moveStyle);
    ly += 18;
  }
  for (const bool auxOn : {false, true}) {
    if (!trace.HasCut(auxOn)) continue;
    LegendLine(out, ly, auxOn ? cutOnStyle : cutOffStyle);
    ly += 18;
  }
  for (const Purpose mark : {Purpose::dwell, Purpose::toolChange, Purpose::pause}) {
    if (!trace.Has(mark)) continue;
    out << MarkShape(mark, legendX + 14, ly, MarkName(mark));
    std::snprintf(buffer, sizeof buffer, "<text x=\"%g\" y=\"%g\">%s</text>\n", legendX + 36,
                  ly + 4, MarkName(mark));
    out << buffer;
    ly += 18;
  }
  out << "</g>\n";

  WriteZChart(out, points, trace);
  out << "</svg>\n";
}

}  // namespace gcode
