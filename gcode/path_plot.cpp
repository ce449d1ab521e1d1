// Path plot: one polyline per run of calls with the same kind (rapid, cutting with the
// auxiliary output on, cutting with it off), scaled to the path's bounding box with a grid in
// mm, and a Z-over-time strip underneath.
#include "path_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace gcode {
namespace {

constexpr double width = 900, pathHeight = 560, zHeight = 160, margin = 60;

struct Point {
  double x, y;
};

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else
      out += c;
  }
  return out;
}

// A round grid step for a span in mm.
double GridStep(double span) {
  const double raw = span / 8;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= raw) return factor * power;
  }
  return 10 * power;
}

const char* Colour(Purpose purpose, int aux) {
  switch (purpose) {
    case Purpose::rapid:
      return "#999999";
    case Purpose::resume:
      return "#aa66cc";
    case Purpose::reference:
      return "#228833";
    default:
      return aux == 1 ? "#d62728" : "#1f77b4";
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
  const double minZ = trace.Min()[2], maxZ = trace.Max()[2];
  const double spanX = std::max(maxX - minX, 1.0), spanY = std::max(maxY - minY, 1.0);
  const double scale = std::min((width - 2 * margin) / spanX, (pathHeight - 2 * margin) / spanY);
  const auto px = [&](double x) { return margin + (x - minX) * scale; };
  const auto py = [&](double y) { return pathHeight - margin - (y - minY) * scale; };
  const double total = std::max(trace.EndSeconds(), 1e-9);
  const double spanZ = std::max(maxZ - minZ, 1.0);
  const auto tx = [&](double t) { return margin + t / total * (width - 2 * margin); };
  const auto tz = [&](double z) {
    return pathHeight + zHeight - 30 - (z - minZ) / spanZ * (zHeight - 50);
  };
  const std::uint64_t entries = trace.Entries();

  char buffer[256];
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\""
      << pathHeight + zHeight << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  out << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  out << "<text x=\"" << margin << "\" y=\"24\" font-size=\"15\">" << Escape(title) << "</text>\n";
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%g\" y=\"42\">X-Y path in mm (machine coordinates); %llu of %llu "
                "entries run</text>\n",
                margin,
                static_cast<unsigned long long>(std::min<std::uint64_t>(callsDone, entries)),
                static_cast<unsigned long long>(entries));
  out << buffer;
  // Grid in mm.
  const double step = GridStep(std::max(spanX, spanY));
  out << "<g stroke=\"#eeeeee\" fill=\"#666666\">\n";
  for (double x = std::ceil(minX / step) * step; x <= maxX + 1e-9; x += step) {
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/><text x=\"%.1f\" "
                  "y=\"%.1f\" stroke=\"none\" text-anchor=\"middle\">%g</text>\n",
                  px(x), py(minY), px(x), py(maxY), px(x), py(minY) + 16, x);
    out << buffer;
  }
  for (double y = std::ceil(minY / step) * step; y <= maxY + 1e-9; y += step) {
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/><text x=\"%.1f\" "
                  "y=\"%.1f\" stroke=\"none\" text-anchor=\"end\">%g</text>\n",
                  px(minX), py(y), px(maxX), py(y), px(minX) - 6, py(y) + 4, y);
    out << buffer;
  }
  out << "</g>\n";

  // The path, one polyline per run of equal style.
  std::array<double, 3> previous{};
  std::string pointText;
  std::string style;
  const auto flush = [&]() {
    if (!pointText.empty())
      out << "<polyline fill=\"none\" " << style << " points=\"" << pointText << "\"/>\n";
    pointText.clear();
  };
  for (const TracePoint& point : points) {
    if (point.purpose == Purpose::dwell || point.purpose == Purpose::pause ||
        point.purpose == Purpose::toolChange)
      continue;
    if (point.mm == previous) continue;
    std::snprintf(buffer, sizeof buffer, "stroke=\"%s\" stroke-width=\"%s\"%s%s",
                  Colour(point.purpose, point.aux), point.purpose == Purpose::rapid ? "1" : "1.6",
                  point.purpose == Purpose::rapid ? " stroke-dasharray=\"5,4\"" : "",
                  point.entry < callsDone ? "" : " stroke-opacity=\"0.3\"");
    if (style != buffer) {
      flush();
      style = buffer;
      std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", px(previous[0]), py(previous[1]));
      pointText += buffer;
    }
    std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", px(point.mm[0]), py(point.mm[1]));
    pointText += buffer;
    previous = point.mm;
  }
  flush();

  // Legend.
  const struct {
    const char* colour;
    const char* text;
    bool dashed;
  } legend[] = {{"#999999", "rapid (G0)", true},
                {"#1f77b4", "cutting, auxiliary output off / not set", false},
                {"#d62728", "cutting, auxiliary output on (M3/M4)", false},
                {"#228833", "reference run (G28)", false},
                {"#aa66cc", "resume positioning (--from-line)", false}};
  double ly = 60;
  for (const auto& item : legend) {
    std::snprintf(
        buffer, sizeof buffer,
        "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"%s\" stroke-width=\"2\"%s/>"
        "<text x=\"%g\" y=\"%g\">%s</text>\n",
        width - 300, ly, width - 270, ly, item.colour,
        item.dashed ? " stroke-dasharray=\"5,4\"" : "", width - 262, ly + 4, item.text);
    out << buffer;
    ly += 16;
  }

  // Z over the job's planned time.
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%g\" y=\"%g\">Z in mm over the planned time (%.1f s)</text>\n", margin,
                pathHeight + 8, trace.EndSeconds());
  out << buffer;
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%g\" y=\"%.1f\" text-anchor=\"end\">%g</text><text x=\"%g\" y=\"%.1f\" "
                "text-anchor=\"end\">%g</text>\n",
                margin - 6, tz(maxZ) + 4, maxZ, margin - 6, tz(minZ) + 4, minZ);
  out << buffer;
  out << "<polyline fill=\"none\" stroke=\"#444444\" points=\"";
  double z = 0, t = 0;
  std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", tx(0), tz(0));
  out << buffer;
  for (const TracePoint& point : points) {
    const double nz = point.mm[2];
    if (nz != z) {
      std::snprintf(buffer, sizeof buffer, "%.2f,%.2f %.2f,%.2f ", tx(t), tz(z),
                    tx(point.endSeconds), tz(nz));
      out << buffer;
      z = nz;
    }
    t = point.endSeconds;
  }
  std::snprintf(buffer, sizeof buffer, "%.2f,%.2f", tx(total), tz(z));
  out << buffer << "\"/>\n</svg>\n";
}

}  // namespace gcode
