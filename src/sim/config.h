// Settings as comma-separated key=value text (STEPLINK_SIM, --sim, and the same form for other
// devices), one parser for the library's substitute and the runner; merging of several sources
// key by key; and the simulated table's settings: its hardware settings plus what lives beside
// the model (record file, status block, the substitute service manager's state at load).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/substitute.h"
#include "sim/table_model.h"

namespace sim {

struct SimConfig {
  TableSettings table;
  std::string recordPath;  // empty: no record file
  std::string statusName;  // empty: no status block
  ServiceState service = ServiceState::running;
  // service=no-device: the driver runs but its device does not open (openConn fails), to watch
  // the library's own failure behaviour on the simulated table.
  bool deviceMissing = false;
};

// One key=value of one source ("STEPLINK_SIM", "--sim", "--realtime", "default", ...).
struct SettingItem {
  std::string key;
  std::string value;
  std::string source;
};

struct SettingsText {
  std::vector<SettingItem> items;  // in the order given
  std::string error;               // one line; empty when the text is good
};

// Splits settings text: items separated by commas, blanks around keys and values dropped,
// empty items skipped. Inside a value "\," is a comma and "\\" a backslash (no other escape).
// A missing '=', an empty key or a key given twice is an error naming the item(s).
SettingsText SplitSettings(std::string_view text, std::string_view source);

// The text SplitSettings reads back as these items (commas and backslashes escaped).
std::string JoinSettings(const std::vector<SettingItem>& items);

// Settings from several sources, lowest precedence first: a later source's key replaces an
// earlier one's, key by key; the first appearance decides the order.
class SettingsMerge {
 public:
  void Layer(const std::vector<SettingItem>& items);
  const std::vector<SettingItem>& InForce() const { return inForce_; }
  const SettingItem* Find(std::string_view key) const;

 private:
  std::vector<SettingItem> inForce_;
};

struct ConfigResult {
  std::optional<SimConfig> config;  // empty when the text has an error
  std::string error;                // one line naming the key or value at fault
};

// The simulated table's settings from items (every key at most once); an unknown key or a bad
// value is an error naming the item's source.
ConfigResult ApplySimSettings(const std::vector<SettingItem>& items);

// Parses a STEPLINK_SIM value (SplitSettings, then ApplySimSettings). Empty text gives the
// defaults; an unknown key, a bad value, a missing '=' or a key given twice is an error.
ConfigResult ParseSimConfig(std::string_view text, std::string_view source = "STEPLINK_SIM");

// The process's STEPLINK_SIM, parsed once on first use.
const ConfigResult& ProcessSimConfig();

}  // namespace sim
