// The live status block in POSIX shared memory (/dev/shm/NAME, layout in the contract header):
// the one writer API (exclusive creation with an owner, the sequence-locked section updates,
// removal by the creator), the names a block may have, and the clean-up of blocks whose owner
// died. Used by the simulated table (table section), the runner and the tools (job section).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "contract/steplink_contract.h"
#include "status/seqlock.h"

namespace status {

// Longest block name: a shared-memory object is a file in /dev/shm, whose names stop at 255 bytes.
inline constexpr std::size_t maxBlockNameBytes = 250;

// Whether name can name a shared-memory object: 1 to 250 bytes, no '/', not "." nor "..". false
// with a one-line reason otherwise.
bool ValidBlockName(std::string_view name, std::string& error);

// Prefixes of the names the runner and the simulated table make for their blocks.
inline constexpr std::string_view runBlockPrefix = "steplink-run";
inline constexpr std::string_view processBlockPrefix = "steplink-proc";

// "PREFIX-PID-HEX": this process's id and 16 hex digits from getrandom, so that another user can
// neither predict the name nor create it first. Empty (and error set) when no random bytes came.
std::string MakeBlockName(std::string_view prefix, std::string& error);

// Removes the blocks "PREFIX-*" of this user whose owner process has ended (what a SIGKILL or a
// power cut leaves); objects that are not complete status blocks are left alone. The count.
int RemoveStaleBlocks(std::string_view prefix);

// Field 22 of /proc/PID/stat: the process's start time in clock ticks since boot; 0 when the
// process does not exist (or /proc cannot be read).
std::uint64_t ProcessStartTime(pid_t pid);

// A mapping of /dev/shm/NAME, read-write: the writer of either section.
class StatusBlockFile {
 public:
  // Creates the block exclusively (mode 0600) with this process as its owner. An existing object
  // is taken only when it is a status block of this user whose owner is this process or its
  // parent (a runner that made it for the calls it starts), and replaced when it is a status
  // block whose owner is gone; anything else is refused. nullptr and a one-line reason on failure.
  static std::unique_ptr<StatusBlockFile> Create(const std::string& name, std::string& error);
  // Maps an existing block of this layout version read-write without owning it (the job
  // section's writer). nullptr and a reason when there is none.
  static std::unique_ptr<StatusBlockFile> Attach(const std::string& name, std::string& error);

  // Unmaps; removes the name when this process created the block.
  ~StatusBlockFile();
  StatusBlockFile(const StatusBlockFile&) = delete;
  StatusBlockFile& operator=(const StatusBlockFile&) = delete;

  // Publishes a section under its sequence lock (the sequence field of values is ignored).
  void WriteTable(const SteplinkStatusTable& values) { WriteSection(block_->table, values); }
  void WriteJob(const SteplinkStatusJob& values) { WriteSection(block_->job, values); }

  SteplinkStatusBlock& Block() { return *block_; }
  const std::string& Name() const { return name_; }
  bool Owned() const { return owned_; }

 private:
  StatusBlockFile(std::string name, SteplinkStatusBlock* block, bool owned)
      : name_(std::move(name)), block_(block), owned_(owned) {}

  std::string name_;
  SteplinkStatusBlock* block_;
  bool owned_;
};

// Removes /dev/shm/NAME if it is a status block this process created (for exit paths that do not
// run destructors); true when it was removed.
bool RemoveStatusBlock(const std::string& name);

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
  std::unique_ptr<StatusBlockFile> file_;
  SteplinkStatusJob job_{};
};

}  // namespace status
