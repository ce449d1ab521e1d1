// Collapsing of repeated output lines and groups.
#include "calls/line_collapse.h"

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
  FlushHeld(out);
  return out;
}

void LineCollapser::Show(const std::string& line, std::string& out) {
  out += line;
  shown_.push_back(line);
  if (shown_.size() > 2 * maxGroupLines) shown_.pop_front();
}

// What is held is shown: as a count when the group came more than maxRepeatsShown times
// (then the part of one more repetition after it as it is), else line by line.
void LineCollapser::FlushHeld(std::string& out) {
  const std::size_t lines = group_.size();
  const std::size_t repeats = lines == 0 ? 0 : held_ / lines;
  std::size_t from = 0;
  if (repeats >= maxRepeatsShown) {
    out += lines == 1 ? "(the same line " + std::to_string(repeats) + " more times)\n"
                      : "(the same " + std::to_string(lines) + " lines " + std::to_string(repeats) +
                            " more times)\n";
    shown_.clear();  // the count breaks the lines shown before it off from those after
    from = repeats * lines;
  }
  for (std::size_t i = from; i < held_; ++i) Show(Held(i), out);
  group_.clear();
  held_ = 0;
}

// Whether the lines held and `line` repeat a group of the lines just shown: the shortest group
// for which each of them equals the line a group's length before it. On success the group is
// the one found and `line` is held.
bool LineCollapser::Track(const std::string& line) {
  const std::size_t pending = held_ + 1;  // held lines and this one, none of them shown
  for (std::size_t lines = 1; lines <= maxGroupLines && lines <= shown_.size(); ++lines) {
    if (lines == group_.size()) continue;  // the group in force: `line` broke it
    // The sequence: shown_ then the held lines then `line`; index i >= shown_.size() is pending.
    const auto at = [&](std::size_t i) -> const std::string& {
      if (i < shown_.size()) return shown_[i];
      const std::size_t k = i - shown_.size();
      return k < held_ ? Held(k) : line;
    };
    bool repeats = true;
    for (std::size_t i = shown_.size(); repeats && i < shown_.size() + pending; ++i) {
      repeats = at(i) == at(i - lines);
    }
    if (!repeats) continue;
    std::vector<std::string> group(shown_.end() - static_cast<std::ptrdiff_t>(lines), shown_.end());
    group_ = std::move(group);
    held_ = pending;
    return true;
  }
  return false;
}

void LineCollapser::Take(const std::string& line, std::string& out) {
  if (!collapse_ || line.empty() || line.back() != '\n') {
    FlushHeld(out);
    out += line;
    shown_.clear();  // a piece of a long line repeats nothing
    return;
  }
  if (!group_.empty()) {
    if (line == Held(held_)) {
      ++held_;
      return;
    }
    // A short run of one group may be the start of a longer group ("A A B A A B ...").
    if (held_ < 2 * maxGroupLines && Track(line)) return;
    FlushHeld(out);
  }
  if (!Track(line)) Show(line, out);
}

void LineCollapser::EndLine(std::string& out) {
  if (firstHwLine.empty() && line_.rfind("steplink-hw: ", 0) == 0) {
    firstHwLine = line_.substr(0, line_.find('\n'));
  }
  Take(line_, out);
  line_.clear();
}

}  // namespace tool
