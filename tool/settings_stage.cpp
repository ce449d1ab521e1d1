// Settings stage: parses --sim with the substitute's own parser, adds the runner's clock, a
// temporary record and a status block of its own where the user gave none.
#include "settings_stage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "sim/config.h"

namespace tool {
namespace {

std::string TempRecordPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/steplink-record-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return {};
  close(fd);
  return pattern;
}

}  // namespace

bool BuildRunSettings(const ArgParser& parser, RunSettings& settings, std::string& error) {
  std::string spec = parser.Value("sim").value_or("");
  const sim::ConfigResult parsed = sim::ParseSimConfig(spec);
  if (!parsed.config) {
    error = "--sim: " + parsed.error;
    return false;
  }
  const bool specHasClock = spec.find("clock=") != std::string::npos;
  if (parser.Flag("realtime") && specHasClock) {
    error = "--realtime and a clock in --sim contradict each other";
    return false;
  }
  auto addKey = [&spec](const std::string& item) { spec += (spec.empty() ? "" : ",") + item; };
  if (!specHasClock) addKey(parser.Flag("realtime") ? "clock=realtime" : "clock=virtual");
  settings.recordPath = parsed.config->recordPath;
  settings.ownRecord = settings.recordPath.empty();
  if (settings.ownRecord) {
    settings.recordPath = TempRecordPath();
    if (settings.recordPath.empty()) {
      error = "cannot create a temporary record file";
      return false;
    }
    addKey("record=" + settings.recordPath);
  }
  settings.statusName = parsed.config->statusName;
  settings.ownStatus = settings.statusName.empty();
  if (settings.ownStatus) {
    settings.statusName = "steplink-run-" + std::to_string(getpid());
    addKey("status=" + settings.statusName);
  }
  settings.simSpec = spec;
  return true;
}

void RemoveRunFiles(const RunSettings& settings) {
  if (settings.ownStatus) shm_unlink(("/" + settings.statusName).c_str());
  if (settings.ownRecord) std::remove(settings.recordPath.c_str());
}

}  // namespace tool
