// Settings stage: merges the sources with the substitute's own parser, checks the record's
// destination, and adds a temporary record and a status block of the runner's own where the
// user gave none.
#include "job/settings_stage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "status/status_block.h"

namespace tool {
namespace {

constexpr char ownSource[] = "runner";

// A descriptor of a temporary file already removed from its folder.
int AnonymousRecord() {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/steplink-record-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd >= 0) unlink(pattern.c_str());
  return fd;
}

// The record must go to a regular file (it is read back after the run, and a device such as
// /dev/full or /dev/stdout is no place to read a record from).
bool CheckRecordDestination(const sim::SettingItem& record, std::string& error) {
  struct stat info {};
  const std::string& path = record.value;
  if (stat(path.c_str(), &info) == 0) {
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
      struct stat stream {};
      if (fstat(fd, &stream) == 0 && stream.st_dev == info.st_dev && stream.st_ino == info.st_ino) {
        error = "the record '" + path + "' (" + record.source + ") is the runner's standard " +
                (fd == STDOUT_FILENO ? "output" : "error") + "; give a file of its own";
        return false;
      }
    }
    if (S_ISREG(info.st_mode)) return true;
    error = "the record '" + path + "' (" + record.source + ") is " +
            (S_ISDIR(info.st_mode) ? "a directory" : "not a regular file (a device or a pipe)") +
            "; give a file, e.g. --record run.rec";
    return false;
  }
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code code;
  if (!parent.empty() && !std::filesystem::is_directory(parent, code)) {
    error = "the record '" + path + "' (" + record.source + ") cannot be written: no folder '" +
            parent.string() + "'";
    return false;
  }
  return true;
}

}  // namespace

bool BuildRunSettings(const TableOptions& table, const char* environmentSim, bool realDevice,
                      RunSettings& settings, std::string& error) {
  sim::SettingsMerge merge;
  merge.Layer({realDevice ? sim::SettingItem{"clock", "realtime", "device"}
                          : sim::SettingItem{"clock", "virtual", "runner default"}});
  if (environmentSim != nullptr) {
    const sim::SettingsText fromEnvironment = sim::SplitSettings(environmentSim, "STEPLINK_SIM");
    if (!fromEnvironment.error.empty()) {
      error = fromEnvironment.error;
      return false;
    }
    merge.Layer(fromEnvironment.items);
  }
  const sim::SettingsText fromOption = sim::SplitSettings(table.sim.value_or(""), "--sim");
  if (!fromOption.error.empty()) {
    error = fromOption.error;
    return false;
  }
  merge.Layer(fromOption.items);
  // The runner's flags, one source: two of them that set one key contradict each other.
  std::vector<sim::SettingItem> flags;
  if (table.realtime && table.virtualClock) {
    error = "--realtime and --virtual contradict each other (both set the clock)";
    return false;
  }
  if (table.realtime) flags.push_back({"clock", "realtime", "--realtime"});
  if (table.virtualClock) flags.push_back({"clock", "virtual", "--virtual"});
  if (table.record) flags.push_back({"record", *table.record, "--record"});
  merge.Layer(flags);

  const sim::ConfigResult checked = sim::ApplySimSettings(merge.InForce());
  if (!checked.config) {
    error = checked.error;
    return false;
  }
  if (const sim::SettingItem* record = merge.Find("record")) {
    if (!CheckRecordDestination(*record, error)) return false;
    settings.recordPath = record->value;
  } else {
    settings.recordFd = AnonymousRecord();
    if (settings.recordFd < 0) {
      error = std::string("cannot create a temporary record file: ") + std::strerror(errno);
      return false;
    }
    settings.recordPath = "/dev/fd/" + std::to_string(settings.recordFd);
    merge.Layer({{"record", settings.recordPath, ownSource}});
  }
  if (const sim::SettingItem* status = merge.Find("status")) {
    settings.statusName = status->value;
  } else {
    status::RemoveStaleBlocks(status::runBlockPrefix);  // what runs ended by SIGKILL left
    settings.statusName = status::MakeBlockName(status::runBlockPrefix, error);
    if (settings.statusName.empty()) return false;
    settings.ownStatus = true;
    merge.Layer({{"status", settings.statusName, ownSource}});
  }
  settings.inForce = merge.InForce();
  settings.simSpec = sim::JoinSettings(settings.inForce);
  return true;
}

std::string NamedRecord(const TableOptions& table, const char* environmentSim) {
  if (table.record) return *table.record;
  for (const sim::SettingsText& text :
       {sim::SplitSettings(table.sim.value_or(""), "--sim"),
        sim::SplitSettings(environmentSim != nullptr ? environmentSim : "", "STEPLINK_SIM")}) {
    for (const sim::SettingItem& item : text.items) {
      if (item.key == "record") return item.value;
    }
  }
  return {};
}

void WriteRecordAt(RunSettings& settings, const std::string& path) {
  settings.recordPath = path;
  std::vector<sim::SettingItem> items = settings.inForce;
  for (sim::SettingItem& item : items) {
    if (item.key == "record") item.value = path;
  }
  settings.simSpec = sim::JoinSettings(items);
}

bool RealtimeClock(const RunSettings& settings) {
  for (const sim::SettingItem& item : settings.inForce) {
    if (item.key == "clock") return item.value == "realtime";
  }
  return true;  // the library's own default
}

std::string DescribeSettings(const RunSettings& settings) {
  std::string text;
  for (const sim::SettingItem& item : settings.inForce) {
    if (!text.empty()) text += ", ";
    if (item.key == "record" && settings.recordFd >= 0) {
      text += "record=temporary (runner)";
      continue;
    }
    text += item.key + "=" + item.value + " (" + item.source + ")";
  }
  return text;
}

void RemoveStatusName(RunSettings& settings) {
  if (!settings.ownStatus || settings.statusNameRemoved) return;
  shm_unlink(("/" + settings.statusName).c_str());
  settings.statusNameRemoved = true;
}

void RemoveRunFiles(RunSettings& settings) {
  RemoveStatusName(settings);
  if (settings.recordFd >= 0) close(settings.recordFd);
  settings.recordFd = -1;
}

}  // namespace tool
