// The one reader of the live status block (/dev/shm/NAME, layout in the contract header): a
// read-only mapping copied under each section's sequence lock, used by the runner's progress and
// record stages, the live view and the tests. It never faults on a block that shrinks under it:
// the size is checked before each copy, and a shrink between the check and the copy is caught
// (SIGBUS) and reported as the block having gone away.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "contract/steplink_contract.h"

namespace status {

// One consistent copy of each section (each under its own sequence lock; the two sections may be
// a few updates apart) and the header's owner.
struct StatusCopy {
  SteplinkStatusTable table{};
  SteplinkStatusJob job{};
  std::uint32_t ownerPid = 0;
  std::uint64_t ownerStartTime = 0;
};

class StatusView {
 public:
  StatusView() = default;
  ~StatusView();
  StatusView(const StatusView&) = delete;
  StatusView& operator=(const StatusView&) = delete;

  // Maps /dev/shm/NAME read-only if it exists and is a complete block of this layout version.
  bool Open(const std::string& name);
  // Why the last Open refused a complete block (another layout version), empty otherwise.
  const std::string& Refusal() const { return refusal_; }
  bool IsOpen() const { return block_ != nullptr; }
  // Unmaps; Open may then map the name again.
  void Close();
  // Whether the mapped block is no longer what the name holds: cut below its size, removed, or
  // replaced by another object. Two system calls; false when not open.
  bool Gone() const;

  // Consistent copies of one section, or nothing if not open, the block shrank (see Gone), or
  // the section's writer stayed inside an update (it died there).
  std::optional<SteplinkStatusTable> ReadTable() const;
  std::optional<SteplinkStatusJob> ReadJob() const;
  // Both sections and the owner.
  std::optional<StatusCopy> Read() const;
  // The header's owner: the process that created the block (0 when not open).
  std::uint32_t OwnerPid() const;

 private:
  // Whether the descriptor still spans the whole block.
  bool Intact() const;

  const SteplinkStatusBlock* block_ = nullptr;
  int fd_ = -1;
  std::string name_;
  std::string refusal_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace status
