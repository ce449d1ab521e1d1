// The planner emits, call for call, what the recorded planner did for the example jobs and a set
// of realistic programs (tests/golden/gcode, made by steplink_gcode_golden): same arguments,
// lines, end positions, auxiliary states, estimates, errors and notes.
#include <gtest/gtest.h>

#include <sstream>

#include "gcode_digest.h"

namespace {

std::vector<std::string> GoldenLines(const std::string& name) {
  std::istringstream in(
      gcode_digest::ReadText(std::string(STEPLINK_GOLDEN_DIR) + "/gcode/" + name + ".digest"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(GcodeEquivalence, CallsMatchTheRecordedPlanner) {
  for (const auto& c : gcode_digest::Cases()) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> golden = GoldenLines(c.name);
    ASSERT_FALSE(golden.empty()) << "no golden record for " << c.name;
    const std::vector<std::string> now =
        gcode_digest::Digest(gcode_digest::PlanCase(c, STEPLINK_SOURCE_DIR));
    const std::size_t common = std::min(golden.size(), now.size());
    std::size_t first = 0;
    while (first < common && golden[first] == now[first]) ++first;
    EXPECT_EQ(first, common) << "first difference at record line " << first + 1 << ":\n  was "
                             << golden[first] << "\n  now " << now[first];
    EXPECT_EQ(golden.size(), now.size());
  }
}

}  // namespace
