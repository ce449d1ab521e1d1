// The call process's standard output as the runner passes it on: counts the library's port
// failure lines, and shows a run of more than 20 identical lines as the first one plus "(the same
// line N more times)" (a failed openConn makes millions of them). The trace and the record are
// never shortened; --verbatim turns the collapsing off. Pure text handling.
#pragma once

#include <cstddef>
#include <string>

namespace tool {

// Lines of one run shown as they are; a longer run is shown as its first line and a count.
inline constexpr std::size_t maxRepeatsShown = 20;

class LineCollapser {
 public:
  explicit LineCollapser(bool collapse) : collapse_(collapse) {}
  // Takes output as it comes; returns what to show now.
  std::string Feed(const char* data, std::size_t length);
  // The end of the output: what is still held back.
  std::string Finish();

  std::size_t portErrorLines = 0;   // "Error occured during ..." lines
  std::size_t timerStallLines = 0;  // "Timer: counter 0 showed one value ..." lines
  std::string firstPortError;
  std::string firstHwLine;  // the first "steplink-hw: ..." line (why a real device did not open)

 private:
  void EndLine(std::string& out);
  void FlushRun(std::string& out);
  bool collapse_;
  std::string line_;  // the line being read
  std::string last_;  // the last whole line shown
  bool haveLast_ = false;
  std::size_t held_ = 0;  // copies of last_ after it, not shown yet
};

}  // namespace tool
