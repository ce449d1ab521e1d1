// Parser of STEPLINK_SIM. Every error names the key or value at fault, so a half-configured
// table never runs.
#include "sim/config.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>

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

std::string Where(std::string_view source) {
  return "in " + std::string(source);
}

// Removes the escapes of a value; false on a lone or unknown escape.
bool Unescape(std::string_view raw, std::string& value) {
  value.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      value += raw[i];
      continue;
    }
    if (i + 1 >= raw.size() || (raw[i + 1] != ',' && raw[i + 1] != '\\')) return false;
    value += raw[++i];
  }
  return true;
}

}  // namespace

SettingsText SplitSettings(std::string_view text, std::string_view source) {
  SettingsText result;
  const std::string where = Where(source);
  while (!text.empty()) {
    // The item ends at the first comma that no backslash escapes.
    std::size_t end = 0;
    while (end < text.size() && text[end] != ',') end += text[end] == '\\' ? 2 : 1;
    end = std::min(end, text.size());
    const std::string_view item = Trim(text.substr(0, end));
    text = end >= text.size() ? std::string_view{} : text.substr(end + 1);
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos || Trim(item.substr(0, equals)).empty()) {
      result.error = "item '" + std::string(item) + "' " + where + " is not key=value";
      return result;
    }
    SettingItem parsed{std::string(Trim(item.substr(0, equals))), {}, std::string(source)};
    if (!Unescape(Trim(item.substr(equals + 1)), parsed.value)) {
      result.error = "item '" + std::string(item) + "' " + where +
                     " has a bad escape (only \\, for a comma and \\\\ for a backslash)";
      return result;
    }
    for (const SettingItem& earlier : result.items) {
      if (earlier.key == parsed.key) {
        result.error = "key '" + parsed.key + "' given twice " + where + ": '" + earlier.key + "=" +
                       earlier.value + "' and '" + parsed.key + "=" + parsed.value + "'";
        return result;
      }
    }
    result.items.push_back(std::move(parsed));
  }
  return result;
}

std::string JoinSettings(const std::vector<SettingItem>& items) {
  std::string text;
  for (const SettingItem& item : items) {
    if (!text.empty()) text += ',';
    text += item.key + "=";
    for (const char c : item.value) {
      if (c == ',' || c == '\\') text += '\\';
      text += c;
    }
  }
  return text;
}

void SettingsMerge::Layer(const std::vector<SettingItem>& items) {
  for (const SettingItem& item : items) {
    auto found = std::find_if(inForce_.begin(), inForce_.end(),
                              [&](const SettingItem& have) { return have.key == item.key; });
    if (found == inForce_.end()) {
      inForce_.push_back(item);
    } else {
      *found = item;
    }
  }
}

const SettingItem* SettingsMerge::Find(std::string_view key) const {
  for (const SettingItem& item : inForce_) {
    if (item.key == key) return &item;
  }
  return nullptr;
}

ConfigResult ParseSimConfig(std::string_view text, std::string_view source) {
  const SettingsText split = SplitSettings(text, source);
  if (!split.error.empty()) return {std::nullopt, split.error};
  return ApplySimSettings(split.items);
}

ConfigResult ApplySimSettings(const std::vector<SettingItem>& items) {
  SimConfig config;
  for (const SettingItem& item : items) {
    const std::string_view key = item.key;
    const std::string_view value = item.value;
    auto badValue = [&](std::string_view, std::string_view, std::string_view expected) {
      return "bad value '" + item.value + "' for key '" + item.key + "' " + Where(item.source) +
             " (expected " + std::string(expected) + ")";
    };
    if (key == "clock") {
      if (value == "realtime") {
        config.table.clock = ClockKind::realtime;
      } else if (value == "virtual") {
        config.table.clock = ClockKind::virtualTicks;
      } else {
        return {std::nullopt, badValue(key, value, "realtime or virtual")};
      }
    } else if (key == "access-ticks") {
      const auto number = ParseInteger(value);
      if (!number || *number < 1 || *number > maxAccessTicks) {
        return {std::nullopt, badValue(key, value, "an integer from 1 to 65535")};
      }
      config.table.accessTicks = static_cast<std::uint32_t>(*number);
    } else if (key == "mode") {
      if (value == "2" || value == "3") {
        config.table.counterMode = static_cast<std::uint8_t>(value[0] - '0');
      } else {
        return {std::nullopt, badValue(key, value, "2 or 3")};
      }
    } else if (key == "counter") {
      if (value == "running" || value == "frozen") {
        config.table.counterFrozen = value == "frozen";
      } else {
        return {std::nullopt, badValue(key, value, "running or frozen")};
      }
    } else if (key == "status-byte") {
      const auto number = ParseInteger(value);
      if (!number || *number < 0 || *number > 0xFF) {
        return {std::nullopt, badValue(key, value, "a byte such as 0x30")};
      }
      config.table.statusOverride = true;
      config.table.overrideStatus = static_cast<std::uint8_t>(*number);
    } else if (key == "limit-x" || key == "limit-y" || key == "limit-z") {
      const auto number = ParseInteger(value);
      if (!number || *number < std::numeric_limits<std::int32_t>::min() ||
          *number > std::numeric_limits<std::int32_t>::max()) {
        return {std::nullopt, badValue(key, value, "a 32-bit integer of steps")};
      }
      config.table.limitSteps[key.back() - 'x'] = static_cast<std::int32_t>(*number);
    } else if (key == "record") {
      if (value.empty()) return {std::nullopt, badValue(key, value, "a file name")};
      config.recordPath = std::string(value);
    } else if (key == "status") {
      if (value.empty() || value.find('/') != std::string_view::npos || value.size() > 200) {
        return {std::nullopt, badValue(key, value, "a name without '/'")};
      }
      config.statusName = std::string(value);
    } else if (key == "service") {
      if (value == "running") {
        config.service = ServiceState::running;
      } else if (value == "stopped") {
        config.service = ServiceState::stopped;
      } else if (value == "absent") {
        config.service = ServiceState::absent;
      } else if (value == "no-device") {
        config.service = ServiceState::running;
        config.deviceMissing = true;
      } else {
        return {std::nullopt, badValue(key, value, "running, stopped, absent or no-device")};
      }
    } else {
      return {std::nullopt, "unknown key '" + item.key + "' " + Where(item.source)};
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
