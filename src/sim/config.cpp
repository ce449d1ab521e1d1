// Parser of STEPLINK_SIM. Every error names the key or value at fault, so a half-configured
// table never runs.
#include "sim/config.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <set>

namespace sim {
namespace {

// Largest access cost accepted: one port access may not eat more than a counter period.
constexpr long long maxAccessTicks = 65535;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A whole-string integer: decimal with optional sign, or 0x-prefixed hex.
std::optional<long long> ParseInteger(std::string_view text) {
  int base = 10;
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  unsigned long long magnitude = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (magnitude > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
    return std::nullopt;
  }
  const auto value = static_cast<long long>(magnitude);
  return negative ? -value : value;
}

std::string BadValue(std::string_view key, std::string_view value, std::string_view expected) {
  return "bad value '" + std::string(value) + "' for key '" + std::string(key) +
         "' in STEPLINK_SIM (expected " + std::string(expected) + ")";
}

}  // namespace

ConfigResult ParseSimConfig(std::string_view text) {
  SimConfig config;
  std::set<std::string, std::less<>> seen;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      return {std::nullopt, "item '" + std::string(item) + "' in STEPLINK_SIM is not key=value"};
    }
    const std::string_view key = Trim(item.substr(0, equals));
    const std::string_view value = Trim(item.substr(equals + 1));
    if (!seen.insert(std::string(key)).second) {
      return {std::nullopt, "key '" + std::string(key) + "' given twice in STEPLINK_SIM"};
    }
    if (key == "clock") {
      if (value == "realtime") {
        config.table.clock = ClockKind::realtime;
      } else if (value == "virtual") {
        config.table.clock = ClockKind::virtualTicks;
      } else {
        return {std::nullopt, BadValue(key, value, "realtime or virtual")};
      }
    } else if (key == "access-ticks") {
      const auto number = ParseInteger(value);
      if (!number || *number < 1 || *number > maxAccessTicks) {
        return {std::nullopt, BadValue(key, value, "an integer from 1 to 65535")};
      }
      config.table.accessTicks = static_cast<std::uint32_t>(*number);
    } else if (key == "mode") {
      if (value == "2" || value == "3") {
        config.table.counterMode = static_cast<std::uint8_t>(value[0] - '0');
      } else {
        return {std::nullopt, BadValue(key, value, "2 or 3")};
      }
    } else if (key == "status-byte") {
      const auto number = ParseInteger(value);
      if (!number || *number < 0 || *number > 0xFF) {
        return {std::nullopt, BadValue(key, value, "a byte such as 0x30")};
      }
      config.table.statusOverride = true;
      config.table.overrideStatus = static_cast<std::uint8_t>(*number);
    } else if (key == "limit-x" || key == "limit-y" || key == "limit-z") {
      const auto number = ParseInteger(value);
      if (!number || *number < std::numeric_limits<std::int32_t>::min() ||
          *number > std::numeric_limits<std::int32_t>::max()) {
        return {std::nullopt, BadValue(key, value, "a 32-bit integer of steps")};
      }
      config.table.limitSteps[key.back() - 'x'] = static_cast<std::int32_t>(*number);
    } else if (key == "record") {
      if (value.empty()) return {std::nullopt, BadValue(key, value, "a file name")};
      config.recordPath = std::string(value);
    } else if (key == "status") {
      if (value.empty() || value.find('/') != std::string_view::npos || value.size() > 200) {
        return {std::nullopt, BadValue(key, value, "a name without '/'")};
      }
      config.statusName = std::string(value);
    } else if (key == "service") {
      if (value == "running") {
        config.service = ServiceState::running;
      } else if (value == "stopped") {
        config.service = ServiceState::stopped;
      } else if (value == "absent") {
        config.service = ServiceState::absent;
      } else {
        return {std::nullopt, BadValue(key, value, "running, stopped or absent")};
      }
    } else {
      return {std::nullopt, "unknown key '" + std::string(key) + "' in STEPLINK_SIM"};
    }
  }
  return {config, {}};
}

const ConfigResult& ProcessSimConfig() {
  static const ConfigResult result = [] {
    const char* text = std::getenv("STEPLINK_SIM");
    return ParseSimConfig(text == nullptr ? std::string_view{} : std::string_view{text});
  }();
  return result;
}

}  // namespace sim
