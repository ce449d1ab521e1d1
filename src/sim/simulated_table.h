// The port backend that serves the PortTalk device on Linux: the hardware model of
// table_model.h plus what lives beside it in user mode (the realtime clock source, the event
// record file and the shared-memory status block). Built from a parsed STEPLINK_SIM.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/config.h"
#include "sim/port_backend.h"

namespace sim {

// First line of a record file.
inline constexpr char recordHeader[] = "# steplink sim record 1";

// Layout of the 64-byte status block at /dev/shm/NAME, little-endian.
struct StatusBlock {
  std::uint32_t magic;  // statusMagic
  std::uint32_t version;
  std::uint64_t sequence;  // incremented after each update
  std::int32_t positionX;
  std::int32_t positionY;
  std::int32_t positionZ;
  std::int32_t auxState;  // -1 none yet, 0 or 1
  std::uint64_t simTicks;
  std::uint64_t totalSteps;
  std::uint32_t faultCount;
  std::uint32_t limitEngaged;
  std::uint8_t reserved[8];
};
static_assert(sizeof(StatusBlock) == 64);
inline constexpr std::uint32_t statusMagic = 0x54534C53;  // "SLST"
inline constexpr std::uint32_t statusVersion = 1;

// Creates the table with its record file and status block; nullptr and a one-line reason when
// one of them cannot be set up.
std::unique_ptr<PortBackend> MakeSimulatedTable(const SimConfig& config, std::string& error);

}  // namespace sim
