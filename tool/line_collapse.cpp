// Collapsing of repeated output lines and the count of the library's port failure lines.
#include "line_collapse.h"

namespace tool {
namespace {
// A line longer than this is passed on in pieces (it is no library line).
constexpr std::size_t maxLineBytes = 4096;
}  // namespace

std::string LineCollapser::Feed(const char* data, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    line_ += data[i];
    if (data[i] == '\n' || line_.size() >= maxLineBytes) EndLine(out);
  }
  return out;
}

std::string LineCollapser::Finish() {
  std::string out;
  if (!line_.empty()) EndLine(out);
  FlushRun(out);
  return out;
}

void LineCollapser::FlushRun(std::string& out) {
  if (held_ > maxRepeatsShown - 1) {
    out += "(the same line " + std::to_string(held_) + " more times)\n";
  } else {
    for (std::size_t i = 0; i < held_; ++i) out += last_;
  }
  held_ = 0;
}

void LineCollapser::EndLine(std::string& out) {
  const bool portError = line_.rfind("Error occured during ", 0) == 0;
  if (portError) {
    ++portErrorLines;
    if (firstPortError.empty()) {
      firstPortError = line_.substr(0, line_.find('\n'));
      if (firstPortError.size() > 160) firstPortError.resize(160);
    }
  }
  if (firstHwLine.empty() && line_.rfind("steplink-hw: ", 0) == 0) {
    firstHwLine = line_.substr(0, line_.find('\n'));
  }
  if (line_.rfind("Timer: counter 0 showed one value", 0) == 0) ++timerStallLines;
  if (collapse_ && haveLast_ && line_ == last_ && line_.back() == '\n') {
    ++held_;
  } else {
    FlushRun(out);
    out += line_;
    last_ = line_;
    haveLast_ = true;
  }
  line_.clear();
}

}  // namespace tool
