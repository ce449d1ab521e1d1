// The live status block in POSIX shared memory (/dev/shm/NAME, layout in the contract header):
// exclusive creation with an owner, the sequence-locked writes and reads of its two sections, and
// its removal. Used by the substitute (table section), the runner and the tools (job section).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "contract/steplink_contract.h"

namespace sim {

// ---- Sequence lock over one section (its first word is the sequence) ----------------------------
// Every word is accessed atomically, so a reader running beside the writer is free of data races,
// not only of torn copies. Release stores of the fields keep them after the odd sequence, acquire
// loads keep the second sequence load after them: the same order as fences would give, without
// standalone fences (which ThreadSanitizer cannot check); on x86 all of them are plain moves.

template <typename Section>
constexpr std::size_t sectionWords = sizeof(Section) / sizeof(std::uint64_t);

// Writes values (its sequence field is ignored) into section: sequence odd, fields, sequence even.
template <typename Section>
void WriteSection(Section& section, const Section& values) {
  static_assert(sizeof(Section) % sizeof(std::uint64_t) == 0);
  auto* words = reinterpret_cast<std::uint64_t*>(&section);
  const auto* source = reinterpret_cast<const std::uint64_t*>(&values);
  std::atomic_ref<std::uint64_t> sequence(words[0]);
  const std::uint64_t before = sequence.load(std::memory_order_relaxed);
  const std::uint64_t odd = before | 1u;  // already odd after a writer that died inside an update
  sequence.store(odd, std::memory_order_relaxed);
  for (std::size_t i = 1; i < sectionWords<Section>; ++i) {
    std::atomic_ref<std::uint64_t>(words[i]).store(source[i], std::memory_order_release);
  }
  sequence.store(odd + 1, std::memory_order_release);
}

// A consistent copy of section, or nothing when the writer stayed inside an update for all of
// maxAttempts tries (a writer that died there, or one that never pauses).
template <typename Section>
std::optional<Section> ReadSection(const Section& section, int maxAttempts = 100000) {
  static_assert(sizeof(Section) % sizeof(std::uint64_t) == 0);
  auto* words = const_cast<std::uint64_t*>(reinterpret_cast<const std::uint64_t*>(&section));
  std::uint64_t copy[sectionWords<Section>];
  std::atomic_ref<std::uint64_t> sequence(words[0]);
  for (int attempt = 0; attempt < maxAttempts; ++attempt) {
    const std::uint64_t before = sequence.load(std::memory_order_acquire);
    if ((before & 1u) != 0) continue;
    copy[0] = before;
    for (std::size_t i = 1; i < sectionWords<Section>; ++i) {
      copy[i] = std::atomic_ref<std::uint64_t>(words[i]).load(std::memory_order_acquire);
    }
    if (sequence.load(std::memory_order_relaxed) == before) {
      Section result;
      static_assert(sizeof(result) == sizeof(copy));
      __builtin_memcpy(&result, copy, sizeof(result));
      return result;
    }
  }
  return std::nullopt;
}

// ---- The block in shared memory
// ------------------------------------------------------------------

// Field 22 of /proc/PID/stat: the process's start time in clock ticks since boot; 0 when the
// process does not exist (or /proc cannot be read).
std::uint64_t ProcessStartTime(pid_t pid);

// A mapping of /dev/shm/NAME, read-write.
class StatusBlockFile {
 public:
  // Creates the block exclusively with this process as its owner. An existing object is taken
  // only when it is a status block whose owner is this process or its parent (a runner that made
  // it for the calls it starts), and replaced when it is a status block whose owner is gone;
  // anything else is refused. nullptr and a one-line reason on failure.
  static std::unique_ptr<StatusBlockFile> Create(const std::string& name, std::string& error);
  // Maps an existing block of this layout version read-write without owning it (the job
  // section's writer). nullptr and a reason when there is none.
  static std::unique_ptr<StatusBlockFile> Attach(const std::string& name, std::string& error);

  // Unmaps; removes the name when this process created the block.
  ~StatusBlockFile();
  StatusBlockFile(const StatusBlockFile&) = delete;
  StatusBlockFile& operator=(const StatusBlockFile&) = delete;

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

}  // namespace sim
