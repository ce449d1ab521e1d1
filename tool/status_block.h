// Read-only view of the simulated table's status block in POSIX shared memory (/dev/shm/NAME):
// live positions, aux state, step and fault counts and simulated time while a job runs.
#pragma once

#include <optional>
#include <string>

#include "sim/simulated_table.h"

namespace tool {

class StatusView {
 public:
  StatusView() = default;
  ~StatusView();
  StatusView(const StatusView&) = delete;
  StatusView& operator=(const StatusView&) = delete;

  // Maps /dev/shm/NAME if it exists and carries the block's magic and version.
  bool Open(const std::string& name);
  // A copy taken between two equal sequence reads (exact once the table is idle; while it runs a
  // field may be one update ahead, which progress display tolerates), or nothing if not open.
  std::optional<sim::StatusBlock> Read() const;

 private:
  const sim::StatusBlock* block_ = nullptr;
};

}  // namespace tool
