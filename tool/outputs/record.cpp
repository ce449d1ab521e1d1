// Record file reader: one event per line, '#' comments, tolerant of a cut-off last line and of
// the zero bytes a killed writer leaves; refuses what is no record in bounded time and memory.
#include "outputs/record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "status/record_format.h"

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
  if (f[0] == status::recordStepKind && f.size() == 5) {
    StepEvent step{};
    if (!ParseNumber(f[1], step.tick) || !ParseNumber(f[4], step.position)) return false;
    if (f[2].size() != 1 || f[2][0] < 'x' || f[2][0] > 'z') return false;
    if (f[3] != "+" && f[3] != "-") return false;
    step.axis = f[2][0] - 'x';
    step.direction = f[3] == "+" ? 1 : -1;
    ++record.stepCount;
    record.lastStepTick = std::max(record.lastStepTick, step.tick);
    record.lastPositions[step.axis] = step.position;
    if (record.keepSteps) record.steps.push_back(step);
    return true;
  }
  if (f[0] == status::recordAuxKind && f.size() == 3) {
    AuxEvent aux{};
    if (!ParseNumber(f[1], aux.tick) ||
        (f[2] != "0" && f[2] != "1" && f[2] != status::recordAuxNone)) {
      return false;
    }
    aux.state = f[2] == status::recordAuxNone ? noAuxState : f[2][0] - '0';
    record.aux.push_back(aux);
    return true;
  }
  if (f[0] == status::recordFaultKind && f.size() == 5) {
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

// Shows a line in a message: printable ASCII as it is, other bytes as \xNN, cut at 80.
std::string Shown(std::string_view line) {
  std::string shown;
  for (const char c : line.substr(0, 80)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", byte);
      shown += hex;
    }
  }
  if (line.size() > 80) shown += "...";
  return shown;
}

// Takes the input piece by piece and keeps only the line being assembled.
class RecordParser {
 public:
  explicit RecordParser(std::string name, bool keepSteps = true) : name_(std::move(name)) {
    record_.keepSteps = keepSteps;
  }

  // False once the input is refused (no point reading further).
  bool Feed(std::string_view data) {
    for (const char c : data) {
      if (!record_.refused.empty()) return false;
      if (zeroTail_) {
        if (c != '\0')
          return Refuse("binary data (a zero byte) at line " + std::to_string(lineNumber_ + 1));
        ++record_.zeroTailBytes;
        continue;
      }
      if (c == '\0') {
        zeroTail_ = true;
        ++record_.zeroTailBytes;
        continue;
      }
      if (c == '\n') {
        EndLine();
        continue;
      }
      if (line_.size() >= maxRecordLineBytes) {
        return Refuse("line " + std::to_string(lineNumber_ + 1) + " is longer than " +
                      std::to_string(maxRecordLineBytes) + " bytes");
      }
      line_ += c;
    }
    return record_.refused.empty();
  }

  Record Finish() {
    // A last line without its newline was cut off (a crash): read, or reported, as any line.
    if (record_.refused.empty() && !line_.empty()) EndLine();
    return std::move(record_);
  }

 private:
  bool Refuse(const std::string& why) {
    record_.refused = "'" + name_ + "' is not a record of the simulated table: " + why +
                      " (expected text lines after '" + status::recordHeader + "')";
    return false;
  }

  void EndLine() {
    ++lineNumber_;
    std::string_view line = line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (lineNumber_ == 1) {
      if (line != status::recordHeader) {
        Refuse("its first line is '" + Shown(line) + "'");
        return;
      }
      record_.headerSeen = true;
    } else if (!line.empty() && line.front() != status::recordCommentMark &&
               !ParseLine(line, record_)) {
      record_.errors.push_back("line " + std::to_string(lineNumber_) + ": '" + Shown(line) + "'");
      if (record_.errors.size() > maxRecordBadLines) {
        Refuse("more than " + std::to_string(maxRecordBadLines) + " lines are unreadable");
      }
    }
    line_.clear();
  }

  std::string name_;
  Record record_;
  std::string line_;
  int lineNumber_ = 0;
  bool zeroTail_ = false;
};

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
  std::uint64_t last = keepSteps ? 0 : lastStepTick;
  for (const StepEvent& step : steps) last = std::max(last, step.tick);
  for (const AuxEvent& event : aux) last = std::max(last, event.tick);
  for (const FaultEvent& fault : faults) last = std::max(last, fault.tick);
  return last;
}

std::array<std::int32_t, 3> Record::FinalPositions() const {
  if (!keepSteps) return lastPositions;
  std::array<std::int32_t, 3> positions{};
  for (const StepEvent& step : steps) positions[step.axis] = step.position;
  return positions;
}

Record ParseRecord(std::string_view text) {
  RecordParser parser("record");
  parser.Feed(text);
  return parser.Finish();
}

Record ReadRecordFd(int fd, const std::string& name, bool keepSteps) {
  RecordParser parser(name, keepSteps);
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      Record record = parser.Finish();
      record.refused = "cannot read '" + name + "': " + std::strerror(errno);
      return record;
    }
    if (got == 0 || !parser.Feed(std::string_view(buffer, static_cast<std::size_t>(got)))) break;
  }
  return parser.Finish();
}

Record ReadRecordFile(const std::string& path, bool keepSteps) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    Record record;
    if (fd < 0) {
      record.refused = "cannot read the record file '" + path + "': " + std::strerror(errno);
    } else {
      record.refused = "'" + path + "' is not a regular file (" +
                       (S_ISDIR(info.st_mode) ? "a directory" : "a device, pipe or socket") +
                       "); expected a record file of the simulated table";
      ::close(fd);
    }
    return record;
  }
  Record record = ReadRecordFd(fd, path, keepSteps);
  ::close(fd);
  return record;
}

}  // namespace tool
