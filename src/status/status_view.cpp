// Status block reader: the mapping, the size and identity checks, and the guard that turns a bus
// error from a block cut under a copy into a failed read. The guard's handler is installed once
// per process and passes every other bus error on to what was there before.
#include "status/status_view.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "status/seqlock.h"

namespace status {
namespace {

// Armed while this thread copies from a mapping; the handler jumps back through it.
thread_local sigjmp_buf* armedJump = nullptr;
struct sigaction previousBusAction {};

void OnBusError(int signal, siginfo_t* info, void* context) {
  if (sigjmp_buf* jump = armedJump) {
    armedJump = nullptr;
    siglongjmp(*jump, 1);
  }
  // Not a copy of ours: the handling there was before, and for the default a return that makes
  // the faulting access fault again, now fatal as it always was.
  sigaction(SIGBUS, &previousBusAction, nullptr);
  if ((previousBusAction.sa_flags & SA_SIGINFO) != 0) {
    if (previousBusAction.sa_sigaction != nullptr) {
      previousBusAction.sa_sigaction(signal, info, context);
    }
  } else if (previousBusAction.sa_handler != SIG_DFL && previousBusAction.sa_handler != SIG_IGN) {
    previousBusAction.sa_handler(signal);
  }
}

void InstallGuard() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;  // the jump leaves the handler: keep SIGBUS open
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previousBusAction);
  });
}

// Runs copy(out) with bus errors caught; false when one came (the block shrank meanwhile).
template <typename Result, typename Copy>
bool GuardedCopy(Result& out, const Copy& copy) {
  InstallGuard();
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) return false;
  armedJump = &jump;
  out = copy();
  armedJump = nullptr;
  return true;
}

}  // namespace

StatusView::~StatusView() {
  Close();
}

void StatusView::Close() {
  if (block_ != nullptr) munmap(const_cast<SteplinkStatusBlock*>(block_), STEPLINK_STATUS_SIZE);
  if (fd_ >= 0) close(fd_);
  block_ = nullptr;
  fd_ = -1;
}

bool StatusView::Open(const std::string& name) {
  if (block_ != nullptr) return true;
  // Non-blocking: a FIFO planted under the name must not hold the reader in open.
  const int fd = shm_open(("/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size != static_cast<off_t>(STEPLINK_STATUS_SIZE)) {
    close(fd);
    return false;
  }
  void* mapped = mmap(nullptr, STEPLINK_STATUS_SIZE, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    close(fd);
    return false;
  }
  const auto* block = static_cast<const SteplinkStatusBlock*>(mapped);
  // The creator stores the magic last (release), once the header is complete; 0: no block yet.
  std::uint32_t version = 0;
  GuardedCopy(version, [block]() -> std::uint32_t {
    auto& magic = const_cast<std::uint32_t&>(block->magic);
    return std::atomic_ref<std::uint32_t>(magic).load(std::memory_order_acquire) ==
                   STEPLINK_STATUS_MAGIC
               ? block->version
               : 0u;
  });
  refusal_.clear();
  if (version != 0 && version != STEPLINK_STATUS_VERSION) {
    // Fields at other offsets: read as ours they would be wrong, never merely old.
    refusal_ = "the status block " + name + " has layout version " + std::to_string(version) +
               "; this steplink reads version " + std::to_string(STEPLINK_STATUS_VERSION) +
               " (it was written by another release of steplink)";
  }
  if (version != STEPLINK_STATUS_VERSION) {
    munmap(mapped, STEPLINK_STATUS_SIZE);
    close(fd);
    return false;
  }
  block_ = block;
  fd_ = fd;
  name_ = name;
  device_ = info.st_dev;
  inode_ = info.st_ino;
  return true;
}

bool StatusView::Intact() const {
  struct stat info {};
  return fd_ >= 0 && fstat(fd_, &info) == 0 &&
         info.st_size >= static_cast<off_t>(STEPLINK_STATUS_SIZE);
}

bool StatusView::Gone() const {
  if (block_ == nullptr) return false;
  if (!Intact()) return true;
  struct stat named {};
  if (stat(("/dev/shm/" + name_).c_str(), &named) != 0) return true;
  return named.st_dev != device_ || named.st_ino != inode_;
}

std::optional<SteplinkStatusTable> StatusView::ReadTable() const {
  std::optional<SteplinkStatusTable> table;
  if (block_ == nullptr || !Intact()) return table;
  const SteplinkStatusBlock* block = block_;
  if (!GuardedCopy(table, [block] { return ReadSection(block->table); })) return std::nullopt;
  return table;
}

std::optional<SteplinkStatusJob> StatusView::ReadJob() const {
  std::optional<SteplinkStatusJob> job;
  if (block_ == nullptr || !Intact()) return job;
  const SteplinkStatusBlock* block = block_;
  if (!GuardedCopy(job, [block] { return ReadSection(block->job); })) return std::nullopt;
  return job;
}

std::optional<StatusCopy> StatusView::Read() const {
  std::optional<StatusCopy> copy;
  if (block_ == nullptr || !Intact()) return copy;
  const SteplinkStatusBlock* block = block_;
  const bool whole = GuardedCopy(copy, [block]() -> std::optional<StatusCopy> {
    const auto table = ReadSection(block->table);
    const auto job = ReadSection(block->job);
    if (!table || !job) return std::nullopt;  // a writer stuck inside an update
    return StatusCopy{*table, *job, block->ownerPid, block->ownerStartTime};
  });
  if (!whole) return std::nullopt;
  return copy;
}

std::uint32_t StatusView::OwnerPid() const {
  std::uint32_t owner = 0;
  if (block_ == nullptr || !Intact()) return owner;
  const SteplinkStatusBlock* block = block_;
  if (!GuardedCopy(owner, [block] { return block->ownerPid; })) return 0;
  return owner;
}

}  // namespace status
