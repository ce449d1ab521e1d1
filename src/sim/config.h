// STEPLINK_SIM: the simulated table's settings as comma-separated key=value pairs, parsed into
// the table's hardware settings plus what lives beside the model (record file, status block,
// the substitute service manager's state at load).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim/substitute.h"
#include "sim/table_model.h"

namespace sim {

struct SimConfig {
  TableSettings table;
  std::string recordPath;  // empty: no record file
  std::string statusName;  // empty: no status block
  ServiceState service = ServiceState::running;
};

struct ConfigResult {
  std::optional<SimConfig> config;  // empty when the text has an error
  std::string error;                // one line naming the key or value at fault
};

// Parses a STEPLINK_SIM value. Empty text gives the defaults; an unknown key, a bad value, a
// missing '=' or a key given twice is an error.
ConfigResult ParseSimConfig(std::string_view text);

// The process's STEPLINK_SIM, parsed once on first use.
const ConfigResult& ProcessSimConfig();

}  // namespace sim
