// The simulated table as a port backend: the hardware model of table_model.h on the host's
// clock, with the record file and the status block of device/recording_backend.h. Built from a
// parsed STEPLINK_SIM.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "device/port_backend.h"
#include "sim/config.h"
#include "status/record_format.h"

namespace sim {

// First line of a record file.
inline constexpr const char* recordHeader = status::recordHeader;

// Creates the table with its record file and status block; nullptr and a one-line reason when
// one of them cannot be set up.
std::unique_ptr<PortBackend> MakeSimulatedTable(const SimConfig& config, std::string& error);

// The default backend's simulated table: as MakeSimulatedTable, plus a status block of the
// process's own (steplink-proc-PID-HEX) when config names none; failing to make that block is
// one warning line on standard error, never a failure.
std::unique_ptr<PortBackend> MakeProcessSimulatedTable(const SimConfig& config, std::string& error);

}  // namespace sim
