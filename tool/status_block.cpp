// Status block reader: maps the block read-only and copies it between two equal sequence reads.
#include "status_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace tool {

StatusView::~StatusView() {
  if (block_ != nullptr) munmap(const_cast<sim::StatusBlock*>(block_), sizeof(sim::StatusBlock));
}

bool StatusView::Open(const std::string& name) {
  if (block_ != nullptr) return true;
  const int fd = shm_open(("/" + name).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(sim::StatusBlock))) {
    close(fd);
    return false;
  }
  void* mapped = mmap(nullptr, sizeof(sim::StatusBlock), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return false;
  const auto* block = static_cast<const sim::StatusBlock*>(mapped);
  if (block->magic != sim::statusMagic || block->version != sim::statusVersion) {
    munmap(mapped, sizeof(sim::StatusBlock));
    return false;
  }
  block_ = block;
  return true;
}

std::optional<sim::StatusBlock> StatusView::Read() const {
  if (block_ == nullptr) return std::nullopt;
  auto& sequence = const_cast<std::uint64_t&>(block_->sequence);
  sim::StatusBlock copy{};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::uint64_t before =
        std::atomic_ref<std::uint64_t>(sequence).load(std::memory_order_acquire);
    std::memcpy(&copy, block_, sizeof(copy));
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::uint64_t after =
        std::atomic_ref<std::uint64_t>(sequence).load(std::memory_order_relaxed);
    if (before == after) break;
  }
  return copy;
}

}  // namespace tool
