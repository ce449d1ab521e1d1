// Status block v2 reader for the live view: a read-only mapping, copies under the sequence lock.
// Called from the view's sampler thread only.
#include "status_source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace view {
namespace {

std::uint64_t LoadSequence(const std::uint64_t& sequence, std::memory_order order) {
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(sequence)).load(order);
}

// The writer makes the sequence odd, writes, makes it even (release each). A copy is good when
// the sequence was even before and unchanged after.
template <typename Section>
bool CopySection(const Section& shared, Section& out, int attempts) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const std::uint64_t before = LoadSequence(shared.sequence, std::memory_order_acquire);
    if ((before & 1u) != 0) {
      if (attempt % 64 == 63) std::this_thread::yield();
      continue;
    }
    std::memcpy(&out, &shared, sizeof(Section));
    std::atomic_thread_fence(std::memory_order_acquire);
    if (LoadSequence(shared.sequence, std::memory_order_relaxed) == before) return true;
  }
  return false;
}

class SharedMemorySource final : public StateSource {
 public:
  explicit SharedMemorySource(std::string name) : name_(std::move(name)) {}
  ~SharedMemorySource() override {
    if (block_ != nullptr) {
      munmap(const_cast<SteplinkStatusBlock*>(block_), sizeof(SteplinkStatusBlock));
    }
  }
  SharedMemorySource(const SharedMemorySource&) = delete;
  SharedMemorySource& operator=(const SharedMemorySource&) = delete;

  std::optional<StatusCopy> Read() override {
    if (block_ == nullptr && !Open()) return std::nullopt;
    StatusCopy copy;
    if (!CopyTable(block_->table, copy.table) || !CopyJob(block_->job, copy.job)) {
      return std::nullopt;  // a writer stuck inside an update: no torn copy is shown
    }
    copy.ownerPid = block_->ownerPid;
    copy.ownerStartTime = block_->ownerStartTime;
    return copy;
  }

 private:
  bool Open() {
    const int fd = shm_open(("/" + name_).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(SteplinkStatusBlock))) {
      close(fd);
      return false;
    }
    void* mapped = mmap(nullptr, sizeof(SteplinkStatusBlock), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) return false;
    const auto* block = static_cast<const SteplinkStatusBlock*>(mapped);
    if (block->magic != STEPLINK_STATUS_MAGIC || block->version != STEPLINK_STATUS_VERSION) {
      munmap(mapped, sizeof(SteplinkStatusBlock));
      return false;
    }
    block_ = block;
    return true;
  }

  std::string name_;
  const SteplinkStatusBlock* block_ = nullptr;
};

}  // namespace

bool CopyTable(const SteplinkStatusTable& shared, SteplinkStatusTable& out, int attempts) {
  return CopySection(shared, out, attempts);
}

bool CopyJob(const SteplinkStatusJob& shared, SteplinkStatusJob& out, int attempts) {
  return CopySection(shared, out, attempts);
}

std::unique_ptr<StateSource> MakeSharedMemorySource(const std::string& name) {
  return std::make_unique<SharedMemorySource>(name);
}

}  // namespace view
