// The scale of an SVG plot: round tick steps, tick positions computed from their index, and
// XML-safe text. Calls the standard library only.
#include "report/svg_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace svg {

double NiceStep(double span, int wantedTicks, double minStep) {
  const double raw = std::max({std::max(span, 1e-9) / std::max(wantedTicks, 1), minStep, 1e-12});
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double factor : {1.0, 2.0, 5.0}) {
    if (raw <= factor * magnitude) return factor * magnitude;
  }
  return 10 * magnitude;
}

void NiceRange(double& low, double& high, int wantedTicks) {
  if (high - low < 1e-12) {
    low -= 1;
    high += 1;
  }
  const double step = NiceStep(high - low, wantedTicks);
  low = std::floor(low / step) * step;
  high = std::ceil(high / step) * step;
}

std::vector<double> Ticks(double low, double high, double step) {
  std::vector<double> ticks;
  const double first = std::ceil(low / step - 1e-9);
  for (double k = first; k * step <= high + step * 1e-9 && ticks.size() < maxTicks; k += 1) {
    const double v = k * step;
    ticks.push_back(std::fabs(v) < step * 1e-9 ? 0 : v);
  }
  return ticks;
}

std::string Escape(const std::string& text) {
  std::string escaped;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    const unsigned char c = bytes[i];
    if (c < 0x80) {
      if (c == '&') {
        escaped += "&amp;";
      } else if (c == '<') {
        escaped += "&lt;";
      } else if (c == '>') {
        escaped += "&gt;";
      } else if (c == '\'') {
        escaped += "&apos;";
      } else if (c == '"') {
        escaped += "&quot;";
      } else if (c < 0x20 && c != '\t' && c != '\n') {
        escaped += "&#xFFFD;";
      } else {
        escaped += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // Length and lowest code point of the sequence this lead byte starts.
    std::size_t length = 0;
    std::uint32_t code = 0, lowest = 0;
    if ((c & 0xE0) == 0xC0) {
      length = 2, code = c & 0x1F, lowest = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, code = c & 0x0F, lowest = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, code = c & 0x07, lowest = 0x10000;
    }
    bool good = length != 0 && i + length <= size;
    for (std::size_t k = 1; good && k < length; ++k) {
      good = (bytes[i + k] & 0xC0) == 0x80;
      code = (code << 6) | (bytes[i + k] & 0x3F);
    }
    good = good && code >= lowest && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) &&
           code != 0xFFFE && code != 0xFFFF;
    if (good) {
      escaped.append(text, i, length);
      i += length;
    } else {
      escaped += "&#xFFFD;";
      ++i;
    }
  }
  return escaped;
}

}  // namespace svg
