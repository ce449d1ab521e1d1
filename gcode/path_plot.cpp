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
  const auto mm = [&](const std::array<std::int64_t, 3>& steps, int axis) {
    return StepsToMm(steps[axis], machine.axes[axis]);
  };
  double minX = 0, maxX = 0, minY = 0, maxY = 0, minZ = 0, maxZ = 0;
  for (const PlannedCall& call : plan.calls) {
    minX = std::min(minX, mm(call.endSteps, 0));
    maxX = std::max(maxX, mm(call.endSteps, 0));
    minY = std::min(minY, mm(call.endSteps, 1));
    maxY = std::max(maxY, mm(call.endSteps, 1));
    minZ = std::min(minZ, mm(call.endSteps, 2));
    maxZ = std::max(maxZ, mm(call.endSteps, 2));
  }
  const double spanX = std::max(maxX - minX, 1.0), spanY = std::max(maxY - minY, 1.0);
  const double scale = std::min((width - 2 * margin) / spanX, (pathHeight - 2 * margin) / spanY);
  const auto px = [&](double x) { return margin + (x - minX) * scale; };
  const auto py = [&](double y) { return pathHeight - margin - (y - minY) * scale; };
  const double total = std::max(plan.durationSeconds, 1e-9);
  const double spanZ = std::max(maxZ - minZ, 1.0);
  const auto tx = [&](double t) { return margin + t / total * (width - 2 * margin); };
  const auto tz = [&](double z) {
    return pathHeight + zHeight - 30 - (z - minZ) / spanZ * (zHeight - 50);
  };

  char buffer[256];
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\""
      << pathHeight + zHeight << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  out << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  out << "<text x=\"" << margin << "\" y=\"24\" font-size=\"15\">" << Escape(title) << "</text>\n";
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%g\" y=\"42\">X-Y path in mm (machine coordinates); %zu of %zu "
                "entries run</text>\n",
                margin, std::min(callsDone, plan.calls.size()), plan.calls.size());
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
  std::array<std::int64_t, 3> previous{};
  std::string points;
  std::string style;
  const auto flush = [&]() {
    if (!points.empty())
      out << "<polyline fill=\"none\" " << style << " points=\"" << points << "\"/>\n";
    points.clear();
  };
  for (std::size_t i = 0; i < plan.calls.size(); ++i) {
    const PlannedCall& call = plan.calls[i];
    if (call.kind != CallKind::vectorOut && call.kind != CallKind::reference) continue;
    if (call.endSteps == previous && call.kind == CallKind::vectorOut) continue;
    std::snprintf(buffer, sizeof buffer, "stroke=\"%s\" stroke-width=\"%s\"%s%s",
                  Colour(call.purpose, call.aux), call.purpose == Purpose::rapid ? "1" : "1.6",
                  call.purpose == Purpose::rapid ? " stroke-dasharray=\"5,4\"" : "",
                  i < callsDone ? "" : " stroke-opacity=\"0.3\"");
    if (style != buffer) {
      flush();
      style = buffer;
      std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", px(mm(previous, 0)), py(mm(previous, 1)));
      points += buffer;
    }
    std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", px(mm(call.endSteps, 0)),
                  py(mm(call.endSteps, 1)));
    points += buffer;
    previous = call.endSteps;
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
                pathHeight + 8, plan.durationSeconds);
  out << buffer;
  std::snprintf(buffer, sizeof buffer,
                "<text x=\"%g\" y=\"%.1f\" text-anchor=\"end\">%g</text><text x=\"%g\" y=\"%.1f\" "
                "text-anchor=\"end\">%g</text>\n",
                margin - 6, tz(maxZ) + 4, maxZ, margin - 6, tz(minZ) + 4, minZ);
  out << buffer;
  out << "<polyline fill=\"none\" stroke=\"#444444\" points=\"";
  double z = 0;
  std::snprintf(buffer, sizeof buffer, "%.2f,%.2f ", tx(0), tz(0));
  out << buffer;
  for (const PlannedCall& call : plan.calls) {
    const double nz = mm(call.endSteps, 2);
    if (nz == z) continue;
    std::snprintf(buffer, sizeof buffer, "%.2f,%.2f %.2f,%.2f ", tx(call.startSeconds), tz(z),
                  tx(call.startSeconds + call.seconds), tz(nz));
    out << buffer;
    z = nz;
  }
  std::snprintf(buffer, sizeof buffer, "%.2f,%.2f", tx(total), tz(z));
  out << buffer << "\"/>\n</svg>\n";
}

}  // namespace gcode
