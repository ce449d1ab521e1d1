// Where the live view learns the table's state: a source of status-block copies. The shared-memory
// source maps /dev/shm/NAME (status block v2) read-only and copies each section through its
// sequence lock; it never writes to the block and takes no lock the writers take.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "contract/steplink_contract.h"

namespace view {

// One consistent copy of each section (each copied under its own sequence lock; the two
// sections may be a few updates apart).
struct StatusCopy {
  SteplinkStatusTable table{};
  SteplinkStatusJob job{};
  std::uint32_t ownerPid = 0;
  std::uint64_t ownerStartTime = 0;
};

class StateSource {
 public:
  virtual ~StateSource() = default;
  // A copy, or nothing while no block is there (not created yet, or a foreign one).
  virtual std::optional<StatusCopy> Read() = 0;
};

// The block at /dev/shm/NAME; opens it lazily, so a view may start before the block exists.
std::unique_ptr<StateSource> MakeSharedMemorySource(const std::string& name);

// Copies a section of the block under its sequence lock: retries while the writer is inside an
// update, gives up after `attempts` (returns false; `out` then holds the last torn copy).
bool CopyTable(const SteplinkStatusTable& shared, SteplinkStatusTable& out, int attempts = 1000);
bool CopyJob(const SteplinkStatusJob& shared, SteplinkStatusJob& out, int attempts = 1000);

}  // namespace view
