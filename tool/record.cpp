// Record file reader: one event per line, '#' comments, tolerant of a cut-off last line.
#include "record.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "lines.h"

namespace tool {
namespace {

template <typename Number>
bool ParseNumber(std::string_view text, Number& value, int base = 10) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc{} && end == text.data() + text.size();
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    const std::size_t space = line.find(' ');
    if (space != 0) fields.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return fields;
}

bool ParseLine(std::string_view line, Record& record) {
  const std::vector<std::string_view> f = Fields(line);
  if (f.empty()) return false;
  if (f[0] == "step" && f.size() == 5) {
    StepEvent step{};
    if (!ParseNumber(f[1], step.tick) || !ParseNumber(f[4], step.position)) return false;
    if (f[2].size() != 1 || f[2][0] < 'x' || f[2][0] > 'z') return false;
    if (f[3] != "+" && f[3] != "-") return false;
    step.axis = f[2][0] - 'x';
    step.direction = f[3] == "+" ? 1 : -1;
    record.steps.push_back(step);
    return true;
  }
  if (f[0] == "aux" && f.size() == 3) {
    AuxEvent aux{};
    if (!ParseNumber(f[1], aux.tick) || (f[2] != "0" && f[2] != "1" && f[2] != "none")) {
      return false;
    }
    aux.state = f[2] == "none" ? noAuxState : f[2][0] - '0';
    record.aux.push_back(aux);
    return true;
  }
  if (f[0] == "fault" && f.size() == 5) {
    FaultEvent fault{};
    if (!ParseNumber(f[1], fault.tick) || !ParseNumber(f[3], fault.port, 16) ||
        !ParseNumber(f[4], fault.value, 16)) {
      return false;
    }
    fault.kind = std::string(f[2]);
    record.faults.push_back(fault);
    return true;
  }
  return false;
}

}  // namespace

const char* AuxStateName(int state) {
  return state == 0 ? "0" : state == 1 ? "1" : "none";
}

std::map<std::string, int> Record::FaultsByKind() const {
  std::map<std::string, int> counts;
  for (const FaultEvent& fault : faults) ++counts[fault.kind];
  return counts;
}

std::uint64_t Record::LastTick() const {
  std::uint64_t last = 0;
  for (const StepEvent& step : steps) last = std::max(last, step.tick);
  for (const AuxEvent& event : aux) last = std::max(last, event.tick);
  for (const FaultEvent& fault : faults) last = std::max(last, fault.tick);
  return last;
}

std::array<std::int32_t, 3> Record::FinalPositions() const {
  std::array<std::int32_t, 3> positions{};
  for (const StepEvent& step : steps) positions[step.axis] = step.position;
  return positions;
}

Record ParseRecord(std::string_view text) {
  Record record;
  int lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    std::string_view line = TakeLine(text);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (!ParseLine(line, record)) {
      record.errors.push_back("line " + std::to_string(lineNumber) + ": '" + std::string(line) +
                              "'");
    }
  }
  return record;
}

Record ReadRecordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Record record;
    record.errors.push_back("cannot read the record file '" + path + "'");
    return record;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseRecord(text.str());
}

}  // namespace tool
