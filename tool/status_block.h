// Views of the live status block in POSIX shared memory (/dev/shm/NAME, layout v2 in the contract
// header): a read-only reader of both sections for progress and live views, and the writer of the
// job section that the runner's call process keeps up to date. Built on sim/status_block.h.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sim/status_block.h"

namespace tool {

class StatusView {
 public:
  StatusView() = default;
  ~StatusView();
  StatusView(const StatusView&) = delete;
  StatusView& operator=(const StatusView&) = delete;

  // Maps /dev/shm/NAME read-only if it exists and carries the block's magic and version 2.
  bool Open(const std::string& name);
  bool IsOpen() const { return block_ != nullptr; }
  // Consistent copies of one section (taken under its sequence lock), or nothing if not open or
  // the section's writer stayed inside an update (it died there).
  std::optional<SteplinkStatusTable> ReadTable() const;
  std::optional<SteplinkStatusJob> ReadJob() const;
  // The header's owner: the process that created the block.
  std::uint32_t OwnerPid() const { return block_ != nullptr ? block_->ownerPid : 0; }

 private:
  const SteplinkStatusBlock* block_ = nullptr;
};

// Writes the job section of an existing block (the one the simulated table or the runner made),
// each update under the section's sequence lock.
class JobStatusWriter {
 public:
  // false and a reason when there is no status block of this version under the name.
  bool Open(const std::string& name, std::string& error);
  bool IsOpen() const { return file_ != nullptr; }
  // Publishes job (its sequence field is ignored); nothing when not open.
  void Write(const SteplinkStatusJob& job);
  // The last values written, to change a field and write again.
  const SteplinkStatusJob& Current() const { return job_; }

 private:
  std::unique_ptr<sim::StatusBlockFile> file_;
  SteplinkStatusJob job_{};
};

}  // namespace tool
