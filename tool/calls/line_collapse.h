// The call process's standard output as the runner passes it on: shows a run of more than 20
// identical lines as the first one plus "(the same line N more times)", and a group of up to 128
// lines repeated more than 20 times as the group once plus "(the same G lines N more times)". A
// failed openConn makes millions of failure lines, and the library's loops alternate between its
// read and write failures in groups (43 lines a step of a vectorOut, 87 of a reference run). The
// trace and the record are never shortened;
// --verbatim turns the collapsing off. Pure text handling that decides nothing about the job (the
// runner learns of faults from the call reports); memory bounded by 3 * 128 lines.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace tool {

// Repetitions of one line or group shown as they are; more are shown as the first and a count.
inline constexpr std::size_t maxRepeatsShown = 20;
// The longest repeating group of lines recognised.
inline constexpr std::size_t maxGroupLines = 128;

class LineCollapser {
 public:
  explicit LineCollapser(bool collapse) : collapse_(collapse) {}
  // Takes output as it comes; returns what to show now.
  std::string Feed(const char* data, std::size_t length);
  // The end of the output: what is still held back.
  std::string Finish();

  // The first "steplink-hw: ..." line (why a real device did not open), kept to be shown again
  // as the last line before the summary.
  std::string firstHwLine;

 private:
  void EndLine(std::string& out);
  void Take(const std::string& line, std::string& out);
  void Show(const std::string& line, std::string& out);
  void FlushHeld(std::string& out);
  bool Track(const std::string& line);
  const std::string& Held(std::size_t index) const { return group_[index % group_.size()]; }

  bool collapse_;
  std::string line_;                // the line being read
  std::deque<std::string> shown_;   // the last lines shown, at most 2 * maxGroupLines
  std::vector<std::string> group_;  // the repeating group (shown once), empty when none
  std::size_t held_ = 0;            // lines after the group that repeat it, not shown yet
};

}  // namespace tool
