// Device stage of a run: a real table chosen with --device (or STEPLINK_DEVICE) takes only the
// settings that make sense on hardware (record, status, real time); the simulated table's own
// keys and its virtual clock are refused before anything runs.
#pragma once

#include <string>

#include "job/job_options.h"
#include "job/settings_stage.h"

namespace tool {

// The device in force: --device over STEPLINK_DEVICE, empty when neither is given.
std::string ChosenDevice(const TableOptions& table);

// False with the parser's reason when the value is malformed.
bool CheckDeviceValue(const std::string& device, std::string& error);
// True for no device, the simulated table, or a real one with acceptable settings; otherwise
// false with a one-line reason.
bool CheckDeviceSettings(const std::string& device, const TableOptions& table,
                         const RunSettings& settings, std::string& error);

// True when the value names a real table (not empty, not the simulated table).
bool RealTableChosen(const std::string& device);

}  // namespace tool
