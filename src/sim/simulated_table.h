// The port backend that serves the PortTalk device on Linux: the hardware model of
// table_model.h plus what lives beside it in user mode (the realtime clock source, the event
// record file and the shared-memory status block of status_block.h). Built from a parsed
// STEPLINK_SIM.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/config.h"
#include "sim/port_backend.h"

namespace sim {

// First line of a record file.
inline constexpr char recordHeader[] = "# steplink sim record 1";

// Creates the table with its record file and status block; nullptr and a one-line reason when
// one of them cannot be set up.
std::unique_ptr<PortBackend> MakeSimulatedTable(const SimConfig& config, std::string& error);

}  // namespace sim
