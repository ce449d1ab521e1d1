// Parser of runner scripts: tokens per line, call names, 32-bit decimal arguments.
#include "job/script.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "job/lines.h"
#include "status/names.h"

namespace tool {
namespace {

constexpr std::array<Entry, 5> allEntries = {Entry::openConn, Entry::closeConn, Entry::initTimer,
                                             Entry::vectorOut, Entry::reference};

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    if (at >= line.size()) break;
    std::size_t end = at;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') ++end;
    tokens.push_back(line.substr(at, end - at));
    at = end;
  }
  return tokens;
}

// Decimal with at most one sign.
bool ParseInt32(std::string_view text, std::int32_t& value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  std::int64_t wide = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), wide);
  if (error != std::errc{} || end != text.data() + text.size()) return false;
  if (negative) wide = -wide;
  if (wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  value = static_cast<std::int32_t>(wide);
  return true;
}

// Shows a token in a message: printable ASCII as it is, other bytes as \xNN.
std::string Shown(std::string_view text) {
  std::string shown;
  for (const char c : text.substr(0, 60)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      constexpr char hex[] = "0123456789ABCDEF";
      shown += std::string("\\x") + hex[byte >> 4] + hex[byte & 15];
    }
  }
  if (text.size() > 60) shown += "...";
  return shown;
}

// A byte no script line holds (NUL, a carriage return not at the line's end, other control
// bytes): the message for it, or empty.
std::string BadByte(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    const std::string column = " at column " + std::to_string(i + 1);
    if (byte == 0) return "NUL byte" + column + " (is this a binary file?)";
    if (byte == '\r' && i + 1 < line.size()) {
      return "carriage return inside the line" + column +
             " (old Mac line ends? lines end with a newline)";
    }
    if (byte < 0x20 && byte != '\t' && byte != '\r') {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "0x%02X", byte);
      return std::string("control byte ") + hex + column;
    }
  }
  return {};
}

}  // namespace

// Entry is in STEPLINK_CALL_* order, from openConn.
static_assert(STEPLINK_CALL_OPEN_CONN + static_cast<unsigned>(Entry::reference) ==
              STEPLINK_CALL_REFERENCE);

std::string_view EntryName(Entry entry) {
  return status::CallName(STEPLINK_CALL_OPEN_CONN + static_cast<unsigned>(entry));
}

int ArgumentCount(Entry entry) {
  return entry == Entry::vectorOut || entry == Entry::reference ? 3 : 0;
}

std::string FormatCall(const ScriptCall& call) {
  std::string text(EntryName(call.entry));
  for (int i = 0; i < ArgumentCount(call.entry); ++i) text += " " + std::to_string(call.args[i]);
  return text;
}

Script ParseScript(std::string_view text) {
  Script script;
  int lineNumber = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    script.errors.push_back(
        {1, "the script starts with a byte-order mark (EF BB BF); save it without one"});
    text.remove_prefix(3);
  }
  while (!text.empty()) {
    ++lineNumber;
    std::string_view line = TakeLine(text);
    if (const std::string bad = BadByte(line); !bad.empty()) {
      script.errors.push_back({lineNumber, bad});
      continue;
    }
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    const std::vector<std::string_view> tokens = Tokens(line);
    if (tokens.empty()) continue;

    const Entry* found = nullptr;
    for (const Entry& entry : allEntries) {
      if (EntryName(entry) == tokens[0]) found = &entry;
    }
    if (found == nullptr) {
      script.errors.push_back({lineNumber, "unknown call '" + Shown(tokens[0]) +
                                               "' (expected openConn, closeConn, initTimer, "
                                               "vectorOut or reference)"});
      continue;
    }
    ScriptCall call{*found, {}, lineNumber};
    const int wanted = ArgumentCount(call.entry);
    const int given = static_cast<int>(tokens.size()) - 1;
    if (given != wanted) {
      script.errors.push_back({lineNumber, std::string(tokens[0]) + " takes " +
                                               std::to_string(wanted) +
                                               (wanted == 3 ? " arguments (X Y Z)" : " arguments") +
                                               ", got " + std::to_string(given)});
      continue;
    }
    bool good = true;
    for (int i = 0; i < wanted; ++i) {
      if (!ParseInt32(tokens[i + 1], call.args[i])) {
        script.errors.push_back(
            {lineNumber,
             "'" + Shown(tokens[i + 1]) + "' is not a 32-bit integer (decimal, at most one sign)"});
        good = false;
        break;
      }
    }
    if (good) script.calls.push_back(call);
  }
  return script;
}

}  // namespace tool
