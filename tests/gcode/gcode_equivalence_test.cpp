// The planner emits, call for call, what the recorded planner did for the example jobs and a set
// of realistic programs (tests/golden/gcode, made by steplink_gcode_golden): same arguments,
// lines, end positions, auxiliary states, errors and notes, and estimates within the records'
// time tolerance. A difference is shown field by field.
#include <gtest/gtest.h>

#include <sstream>

#include "gcode_digest.h"

namespace {

std::vector<std::string> GoldenLines(const std::string& name) {
  std::istringstream in(
      test::ReadFile(std::string(STEPLINK_GOLDEN_DIR) + "/gcode/" + name + ".digest"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

TEST(GcodeEquivalence, CallsMatchTheRecordedPlanner) {
  for (const auto& c : gcode_digest::Cases()) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> golden = GoldenLines(c.name);
    ASSERT_FALSE(golden.empty()) << "no golden record for " << c.name;
    const std::vector<std::string> differences = gcode_digest::Differences(
        golden, gcode_digest::Digest(gcode_digest::PlanCase(c, STEPLINK_SOURCE_DIR)));
    EXPECT_TRUE(differences.empty()) << Joined(differences);
  }
}

// The comparison itself: a time inside the tolerance passes, one outside it and any other field
// is named with both values, a changed pause text too, and a record of another length is said so.
TEST(GcodeEquivalence, DifferencesNameTheFieldAndTolerateSmallTimeChanges) {
  const std::vector<std::string> was = {
      "lines 3 moves 1", "seconds 10", "calls 2",
      "2 v 1 2 3 purpose=4 end=1,2,3 aux=-1 start=0 seconds=1.5 text=",
      "3 p 0 0 0 purpose=7 end=1,2,3 aux=-1 start=1.5 seconds=0 text=change the tool"};
  EXPECT_TRUE(gcode_digest::Differences(was, was).empty());

  std::vector<std::string> close = was;
  close[1] = "seconds 10.005";  // 0.05 %
  close[3] = "2 v 1 2 3 purpose=4 end=1,2,3 aux=-1 start=0.0004 seconds=1.5009 text=";
  EXPECT_TRUE(gcode_digest::Differences(was, close).empty())
      << Joined(gcode_digest::Differences(was, close));

  std::vector<std::string> changed = was;
  changed[1] = "seconds 10.5";
  changed[3] = "2 v 1 2 3 purpose=4 end=1,2,4 aux=1 start=0 seconds=1.6 text=";
  changed[4] = "3 p 0 0 0 purpose=7 end=1,2,3 aux=-1 start=1.5 seconds=0 text=change the bit";
  const std::vector<std::string> found = gcode_digest::Differences(was, changed);
  const std::string all = Joined(found);
  ASSERT_EQ(found.size(), 5u) << all;
  EXPECT_NE(all.find("planned seconds was 10 now 10.5"), std::string::npos) << all;
  EXPECT_NE(all.find("record line 4 (G-code line 2, call 1): end was '1,2,3' now '1,2,4'"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("aux was '-1' now '1'"), std::string::npos) << all;
  EXPECT_NE(all.find("seconds was '1.5' now '1.6'"), std::string::npos) << all;
  EXPECT_NE(all.find("text was 'change the tool' now 'change the bit'"), std::string::npos) << all;

  std::vector<std::string> shorter(was.begin(), was.end() - 1);
  EXPECT_NE(
      Joined(gcode_digest::Differences(was, shorter)).find("record length was 5 lines, now 4"),
      std::string::npos);
}

}  // namespace
