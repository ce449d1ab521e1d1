// Removal of the status blocks of runs that ended without removing theirs (SIGKILL).
#include "stale_blocks.h"

#include <signal.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "sim/status_block.h"

namespace tool {

void RemoveStaleRunBlocks() {
  constexpr char prefix[] = "steplink-run-";
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", code)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + sizeof prefix - 1, &end, 10);
    if (end == nullptr || *end != '\0' || pid <= 0) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // alive, or not ours
    // Taking it over proves it is a status block whose owner has ended; then its name goes.
    std::string error;
    if (sim::StatusBlockFile::Create(name, error) != nullptr) shm_unlink(("/" + name).c_str());
  }
}

}  // namespace tool
