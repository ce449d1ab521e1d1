// Status block views: a read-only mapping copied under each section's sequence lock, and the job
// section's writer over a read-write mapping.
#include "status_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace tool {

StatusView::~StatusView() {
  if (block_ != nullptr) {
    munmap(const_cast<SteplinkStatusBlock*>(block_), STEPLINK_STATUS_SIZE);
  }
}

bool StatusView::Open(const std::string& name) {
  if (block_ != nullptr) return true;
  const int fd = shm_open(("/" + name).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || info.st_size != static_cast<off_t>(STEPLINK_STATUS_SIZE)) {
    close(fd);
    return false;
  }
  void* mapped = mmap(nullptr, STEPLINK_STATUS_SIZE, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return false;
  auto* block = static_cast<SteplinkStatusBlock*>(mapped);
  // The creator stores the magic last (release), once the header is complete.
  const std::uint32_t magic =
      std::atomic_ref<std::uint32_t>(block->magic).load(std::memory_order_acquire);
  if (magic != STEPLINK_STATUS_MAGIC || block->version != STEPLINK_STATUS_VERSION) {
    munmap(mapped, STEPLINK_STATUS_SIZE);
    return false;
  }
  block_ = block;
  return true;
}

std::optional<SteplinkStatusTable> StatusView::ReadTable() const {
  if (block_ == nullptr) return std::nullopt;
  return sim::ReadSection(block_->table);
}

std::optional<SteplinkStatusJob> StatusView::ReadJob() const {
  if (block_ == nullptr) return std::nullopt;
  return sim::ReadSection(block_->job);
}

bool JobStatusWriter::Open(const std::string& name, std::string& error) {
  file_ = sim::StatusBlockFile::Attach(name, error);
  return file_ != nullptr;
}

void JobStatusWriter::Write(const SteplinkStatusJob& job) {
  job_ = job;
  if (file_ != nullptr) sim::WriteSection(file_->Block().job, job_);
}

}  // namespace tool
