// The port backend that serves the PortTalk device on Linux: the hardware model of
// table_model.h plus what lives beside it in user mode (the realtime clock source, the event
// record file and the shared-memory status block of status/status_block.h). Built from a parsed
// STEPLINK_SIM.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "contract/steplink_contract.h"
#include "sim/config.h"
#include "sim/port_backend.h"
#include "status/record_format.h"

namespace sim {

// First line of a record file.
inline constexpr const char* recordHeader = status::recordHeader;

// Creates the table with its record file and status block; nullptr and a one-line reason when
// one of them cannot be set up.
std::unique_ptr<PortBackend> MakeSimulatedTable(const SimConfig& config, std::string& error);

// A real port's backend, watched: the record and status block of config (its other keys are the
// simulated table's and do not apply) come from the latch writes that went out and the status
// reads that came back. nullptr and a reason when the record or the block cannot be set up.
std::unique_ptr<PortBackend> MakeObservedPort(std::unique_ptr<PortBackend> port,
                                              const SimConfig& config, std::string& error);

// A reference run creeps one step, then reads the limit input, at most this many times.
inline constexpr int creepStepsWithoutSwitch = STEPLINK_MOVE_STEP_LIMIT;

}  // namespace sim
