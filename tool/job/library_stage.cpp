// The library stage of a job: which libsteplink.so the call process loads. --library PATH as
// given (a name without '/' is a file in the current directory, never a search of the system's
// library path); else the chosen variant beside the runner's build tree (bin/../lib/VARIANT),
// else the installed one (STEPLINK_INSTALLED_LIBRARY_DIR/VARIANT). Calls only the file system.
#include <filesystem>
#include <vector>

#include "job/run_job.h"

#ifndef STEPLINK_INSTALLED_LIBRARY_DIR
#define STEPLINK_INSTALLED_LIBRARY_DIR "/usr/lib/steplink"
#endif

namespace tool {
namespace {

namespace fs = std::filesystem;

fs::path ExecutableDir() {
  std::error_code error;
  const auto self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::current_path() : self.parent_path();
}

}  // namespace

bool ResolveLibrary(const TableOptions& table, std::string& path, std::string& error) {
  std::error_code code;
  std::vector<fs::path> candidates;
  if (table.library) {
    candidates.push_back(fs::absolute(*table.library, code).lexically_normal());
  } else {
    const char* variant = VariantName(table.variant);
    candidates.push_back(
        (ExecutableDir() / ".." / "lib" / variant / "libsteplink.so").lexically_normal());
    candidates.push_back(fs::path(STEPLINK_INSTALLED_LIBRARY_DIR) / variant / "libsteplink.so");
  }
  std::string tried;
  for (const fs::path& candidate : candidates) {
    if (fs::is_regular_file(candidate, code)) {
      path = candidate.string();
      return true;
    }
    if (fs::exists(candidate, code)) {
      error = "the library " + candidate.string() + " is not a file";
      return false;
    }
    tried += (tried.empty() ? "" : ", ") + candidate.string();
  }
  error = "no library at " + tried + " (use --library PATH, or --variant standard|start200)";
  return false;
}

}  // namespace tool
