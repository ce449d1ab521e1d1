// The status block's life in /dev/shm: names, exclusive creation, the owner's identity (process
// id and start time), replacing a block whose owner is gone, and removal by its creator or, once
// the creator is dead, by the next run. System calls only.
#include "status/status_block.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace status {
namespace {

std::string Quoted(const std::string& name) {
  return "'" + name + "'";
}

// Whether the process that made a block still runs: same id and the same start time (an id can
// be reused by a later process).
bool OwnerAlive(const SteplinkStatusBlock& block) {
  if (block.ownerPid == 0) return false;
  const auto pid = static_cast<pid_t>(block.ownerPid);
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  const std::uint64_t started = ProcessStartTime(pid);
  return started != 0 && started == block.ownerStartTime;
}

bool IsOwner(const SteplinkStatusBlock& block, pid_t pid) {
  return block.ownerPid == static_cast<std::uint32_t>(pid) &&
         block.ownerStartTime == ProcessStartTime(pid);
}

SteplinkStatusBlock* MapBlock(int fd) {
  void* mapped = mmap(nullptr, STEPLINK_STATUS_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return mapped == MAP_FAILED ? nullptr : static_cast<SteplinkStatusBlock*>(mapped);
}

enum class Existing { adopted, stale, refused };

// Judges an object that is already there under the name: ours to take, ours to replace, or not.
Existing JudgeExisting(const std::string& path, const std::string& name, SteplinkStatusBlock*& out,
                       std::string& error) {
  const int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    if (errno == ENOENT) return Existing::stale;  // removed meanwhile: try to create it again
    error = "cannot open the existing status block " + Quoted(name) + ": " + std::strerror(errno);
    return Existing::refused;
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && info.st_uid != geteuid()) {
    close(fd);
    error = "the shared-memory object " + Quoted(name) + " belongs to another user (uid " +
            std::to_string(info.st_uid) + "); give each run a name of its own";
    return Existing::refused;
  }
  if (fstat(fd, &info) != 0 || info.st_size != static_cast<off_t>(STEPLINK_STATUS_SIZE)) {
    close(fd);
    error = "the shared-memory object " + Quoted(name) +
            " exists and is not a status block of this version; choose another name or remove "
            "/dev/shm/" +
            name;
    return Existing::refused;
  }
  SteplinkStatusBlock* block = MapBlock(fd);
  close(fd);
  if (block == nullptr) {
    error = "cannot map the status block " + Quoted(name) + ": " + std::strerror(errno);
    return Existing::refused;
  }
  if (block->magic != STEPLINK_STATUS_MAGIC || block->version != STEPLINK_STATUS_VERSION) {
    munmap(block, STEPLINK_STATUS_SIZE);
    error = "the shared-memory object " + Quoted(name) +
            " exists and is not a status block of this version; choose another name or remove "
            "/dev/shm/" +
            name;
    return Existing::refused;
  }
  if (IsOwner(*block, getpid()) || IsOwner(*block, getppid())) {
    out = block;
    return Existing::adopted;
  }
  const bool alive = OwnerAlive(*block);
  const std::uint32_t owner = block->ownerPid;
  munmap(block, STEPLINK_STATUS_SIZE);
  if (!alive) return Existing::stale;
  error = "the status block " + Quoted(name) + " is in use by process " + std::to_string(owner) +
          "; give each run a name of its own";
  return Existing::refused;
}

}  // namespace

std::uint64_t ProcessStartTime(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return 0;
  char text[1024];
  const std::size_t length = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  text[length] = '\0';
  // The command name (field 2) is in parentheses and may hold spaces or ')': count from the last.
  const char* cursor = std::strrchr(text, ')');
  if (cursor == nullptr) return 0;
  ++cursor;
  for (int field = 3; field < 22; ++field) {
    cursor = std::strchr(cursor + 1, ' ');
    if (cursor == nullptr) return 0;
  }
  return std::strtoull(cursor + 1, nullptr, 10);
}

std::string MakeBlockName(std::string_view prefix, std::string& error) {
  unsigned char bytes[8];
  std::size_t got = 0;
  while (got < sizeof(bytes)) {
    const ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::string("no random bytes for a status block name: ") + std::strerror(errno);
      return {};
    }
    got += static_cast<std::size_t>(n);
  }
  char hex[2 * sizeof(bytes) + 1];
  for (std::size_t i = 0; i < sizeof(bytes); ++i) {
    std::snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned>(bytes[i]));
  }
  return std::string(prefix) + "-" + std::to_string(getpid()) + "-" + hex;
}

int RemoveStaleBlocks(std::string_view prefix) {
  DIR* folder = opendir("/dev/shm");
  if (folder == nullptr) return 0;
  const std::string start = std::string(prefix) + "-";
  int removed = 0;
  while (const dirent* entry = readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name.substr(0, start.size()) != start) continue;
    const std::string path = "/" + std::string(name);
    // No O_CREAT: nothing is made; O_NOFOLLOW: a link planted there is not followed.
    const int fd = shm_open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) continue;
    struct stat info {};
    bool stale = false;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        info.st_size == static_cast<off_t>(STEPLINK_STATUS_SIZE)) {
      SteplinkStatusBlock block{};
      stale = pread(fd, &block, sizeof(block), 0) == static_cast<ssize_t>(sizeof(block)) &&
              block.magic == STEPLINK_STATUS_MAGIC && !OwnerAlive(block);
    }
    close(fd);
    if (stale && shm_unlink(path.c_str()) == 0) ++removed;
  }
  closedir(folder);
  return removed;
}

std::unique_ptr<StatusBlockFile> StatusBlockFile::Create(const std::string& name,
                                                         std::string& error) {
  if (!ValidBlockName(name, error)) return nullptr;
  const std::string path = "/" + name;
  // A stale block is replaced by removing it and creating anew; two tries cover a racing peer.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
      SteplinkStatusBlock* adopted = nullptr;
      switch (JudgeExisting(path, name, adopted, error)) {
        case Existing::adopted:
          return std::unique_ptr<StatusBlockFile>(new StatusBlockFile(name, adopted, false));
        case Existing::stale:
          shm_unlink(path.c_str());
          continue;
        case Existing::refused:
          return nullptr;
      }
    }
    if (fd < 0) {
      error = "cannot create the status block " + Quoted(name) + ": " + std::strerror(errno);
      return nullptr;
    }
    SteplinkStatusBlock* block = nullptr;
    if (ftruncate(fd, STEPLINK_STATUS_SIZE) != 0 || (block = MapBlock(fd)) == nullptr) {
      error = "cannot set up the status block " + Quoted(name) + ": " + std::strerror(errno);
      close(fd);
      shm_unlink(path.c_str());
      return nullptr;
    }
    close(fd);
    std::memset(block, 0, STEPLINK_STATUS_SIZE);
    block->ownerPid = static_cast<std::uint32_t>(getpid());
    block->ownerStartTime = ProcessStartTime(getpid());
    block->version = STEPLINK_STATUS_VERSION;
    block->table.auxState = -1;
    std::atomic_ref<std::uint32_t>(block->magic)
        .store(STEPLINK_STATUS_MAGIC, std::memory_order_release);
    return std::unique_ptr<StatusBlockFile>(new StatusBlockFile(name, block, true));
  }
  error = "cannot replace the stale status block " + Quoted(name);
  return nullptr;
}

std::unique_ptr<StatusBlockFile> StatusBlockFile::Attach(const std::string& name,
                                                         std::string& error) {
  const int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    error = "no status block " + Quoted(name) + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat info {};
  SteplinkStatusBlock* block = nullptr;
  if (fstat(fd, &info) == 0 && info.st_size == static_cast<off_t>(STEPLINK_STATUS_SIZE)) {
    block = MapBlock(fd);
  }
  close(fd);
  if (block == nullptr || block->magic != STEPLINK_STATUS_MAGIC ||
      block->version != STEPLINK_STATUS_VERSION) {
    if (block != nullptr) munmap(block, STEPLINK_STATUS_SIZE);
    error = Quoted(name) + " is not a status block of this version";
    return nullptr;
  }
  return std::unique_ptr<StatusBlockFile>(new StatusBlockFile(name, block, false));
}

StatusBlockFile::~StatusBlockFile() {
  if (owned_) RemoveStatusBlock(name_);
  munmap(block_, STEPLINK_STATUS_SIZE);
}

bool RemoveStatusBlock(const std::string& name) {
  const std::string path = "/" + name;
  const int fd = shm_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat info {};
  bool ours = false;
  if (fstat(fd, &info) == 0 && info.st_size == static_cast<off_t>(STEPLINK_STATUS_SIZE)) {
    void* mapped = mmap(nullptr, STEPLINK_STATUS_SIZE, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped != MAP_FAILED) {
      const auto* block = static_cast<const SteplinkStatusBlock*>(mapped);
      ours = block->magic == STEPLINK_STATUS_MAGIC && IsOwner(*block, getpid());
      munmap(mapped, STEPLINK_STATUS_SIZE);
    }
  }
  close(fd);
  return ours && shm_unlink(path.c_str()) == 0;
}

}  // namespace status
