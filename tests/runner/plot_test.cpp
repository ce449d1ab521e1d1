// Tests of the SVG plot: everything taken from the record escaped (valid XML and UTF-8 for any
// record), ticks at equal nice steps (whole steps on the path's axes), a spike clipped and
// marked, faults and auxiliary states in the legend, short moves drawn.
#include "outputs/plot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "outputs/record.h"

namespace {

std::string Plot(const std::string& records, const std::string& title = "t") {
  std::ostringstream svg;
  tool::WritePlotSvg(tool::ParseRecord("# steplink sim record 1\n" + records), title, svg);
  return svg.str();
}

// Well-formed UTF-8 with no raw control byte but tab and newline.
bool ValidUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80             ? 1
                         : (c & 0xE0) == 0xC0 ? 2
                         : (c & 0xF0) == 0xE0 ? 3
                         : (c & 0xF8) == 0xF0 ? 4
                                              : 0;
    if (length == 0 || i + length > text.size()) return false;
    if (c < 0x20 && c != '\n' && c != '\t') return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

std::vector<double> TickValues(const std::string& svg, const std::string& cls) {
  std::vector<double> values;
  const std::regex tick("class='" + cls + "'[^>]*>([-0-9.e+]+)</text>");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), tick); it != std::sregex_iterator();
       ++it) {
    values.push_back(std::stod((*it)[1]));
  }
  return values;
}

TEST(PlotSafety, EverythingFromTheRecordIsEscaped) {
  const std::string svg = Plot(
      "step 10 x + 1\nfault 20 <script>alert(1)</script> 3be 01\n"
      "fault 30 \xff\xfe\x01kind&'\" 3bc 02\nfault 40 settle 3be 01\n",
      "title \xc3\x28 <b>");

  EXPECT_EQ(svg.find("<script"), std::string::npos);
  EXPECT_EQ(svg.find("<b>"), std::string::npos);
  EXPECT_NE(svg.find("&lt;script&gt;alert(1)&lt;/script&gt; fault (1)"), std::string::npos);
  EXPECT_NE(svg.find("&#xFFFD;&#xFFFD;&#xFFFD;kind&amp;&apos;&quot; fault (1)"), std::string::npos);
  EXPECT_NE(svg.find("title &#xFFFD;( &lt;b&gt;"), std::string::npos);
  EXPECT_TRUE(ValidUtf8(svg));
  // Every kind has its own legend line with its count.
  EXPECT_NE(svg.find("settle fault (1)"), std::string::npos);
}

TEST(PlotReadability, TicksAtEqualNiceStepsAndWholeStepsOnThePath) {
  std::string records;
  for (int i = 1; i <= 3; ++i)
    records += "step " + std::to_string(i * 3000) + " x + " + std::to_string(i) + "\n";
  const std::string svg = Plot(records);

  const std::vector<double> time = TickValues(svg, "tick-x");
  ASSERT_GE(time.size(), 4u);
  std::set<std::string> steps;
  for (std::size_t i = 1; i < time.size(); ++i) {
    const double step = time[i] - time[i - 1];
    if (step <= 0) continue;  // the second panel's ticks start again
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-6 || std::fabs(mantissa - 2) < 1e-6 ||
                std::fabs(mantissa - 5) < 1e-6)
        << step;
  }
  // A path of 3 steps: its ticks are whole steps, never half steps.
  const std::size_t pathStart = svg.find("X-Y path");
  const std::vector<double> pathY = TickValues(svg.substr(pathStart), "tick-y");
  ASSERT_GE(pathY.size(), 2u);
  for (const double v : pathY) EXPECT_EQ(v, std::round(v)) << v;
}

TEST(PlotReadability, SpikeIsClippedShortMovesAndAuxStatesAreVisible) {
  std::string records = "aux 5 1\n";
  std::uint64_t tick = 10;
  for (int i = 1; i <= 7000; ++i) {  // a long X move at about 600 steps/s
    tick += 2000;
    records += "step " + std::to_string(tick) + " x + " + std::to_string(i) + "\n";
  }
  records += "aux " + std::to_string(tick + 100) + " 0\n";
  tick += 1'000'000;  // a two-step Z move 17 us apart: 60000 steps/s
  records +=
      "step " + std::to_string(tick) + " z + 1\nstep " + std::to_string(tick + 20) + " z + 2\n";
  tick += 2'000'000;  // 1.7 s later, a two-step X move: drawn although the curve is decimated
  for (int i = 1; i <= 2; ++i) {
    records +=
        "step " + std::to_string(tick + i * 3000) + " x + " + std::to_string(7000 + i) + "\n";
  }
  const std::string svg = Plot(records);

  EXPECT_NE(svg.find("class='clipped'"), std::string::npos);
  EXPECT_NE(svg.find("clipped (max "), std::string::npos);
  const std::vector<double> rate = TickValues(svg.substr(0, svg.find("X-Y path")), "tick-y");
  ASSERT_FALSE(rate.empty());
  EXPECT_LT(rate.back(), 2000);  // the scale follows the move, not the spike (60000 steps/s)
  const std::size_t xGroup = svg.find("<g class='rate-x'>");
  ASSERT_NE(xGroup, std::string::npos);
  const std::string xCurves = svg.substr(xGroup, svg.find("</g>", xGroup) - xGroup);
  const std::regex curve("<polyline|<circle");
  EXPECT_EQ(std::distance(std::sregex_iterator(xCurves.begin(), xCurves.end(), curve),
                          std::sregex_iterator()),
            2)
      << "the short move is not drawn";
  EXPECT_NE(svg.find("class='aux-on'"), std::string::npos);
  EXPECT_NE(svg.find("aux state 1 (2 changes)"), std::string::npos);
}

}  // namespace
