// Settings stage of a run: the simulated table's settings as the call process gets them
// (STEPLINK_SIM), merged key by key from, lowest first: the runner's defaults, STEPLINK_SIM of
// the environment, --sim, and the runner's own flags (--realtime, --virtual, --record).
#pragma once

#include <string>
#include <vector>

#include "job/job_options.h"
#include "sim/config.h"

namespace tool {

struct RunSettings {
  std::string simSpec;                    // the STEPLINK_SIM value for the call process
  std::vector<sim::SettingItem> inForce;  // every setting given, with its source
  // Where the table writes its record: the user's record's temporary file beside it (see
  // WriteRecordAt), the runner's own record, or the user's file itself until then.
  std::string recordPath;
  // The runner's own record: a temporary file removed at once, written by the call process as
  // /dev/fd/N and read back through this descriptor, so it is never left behind.
  int recordFd = -1;
  std::string statusName;  // the status block's name in /dev/shm
  bool ownStatus = false;  // the runner's own block, removed at the end
  bool statusNameRemoved = false;
};

// False with a one-line reason (for "steplink: REASON") when the settings are refused;
// environmentSim is STEPLINK_SIM as the runner found it (nullptr when unset).
// realDevice: a real table is chosen, whose clock is real time ("clock=realtime (device)").
bool BuildRunSettings(const TableOptions& table, const char* environmentSim, bool realDevice,
                      RunSettings& settings, std::string& error);
// The record the user named (--record, or record= of --sim or STEPLINK_SIM), in the order the
// settings merge takes them; empty when none is named. Read before the merge, for the output
// checks (malformed settings text is left for BuildRunSettings to refuse).
std::string NamedRecord(const TableOptions& table, const char* environmentSim);

// The table writes its record at `path` (the temporary file the record is written by replace
// through) instead of the path in force; the settings line still names the user's file.
void WriteRecordAt(RunSettings& settings, const std::string& path);

// True when the merged settings run the table on the realtime clock.
bool RealtimeClock(const RunSettings& settings);

// "clock=virtual (runner default), mode=3 (--sim)": the settings in force and their sources.
std::string DescribeSettings(const RunSettings& settings);

// Removes the name of the runner's own status block (a mapping of it stays readable).
void RemoveStatusName(RunSettings& settings);

// Removes what the runner made for the run (its temporary record, its status block).
void RemoveRunFiles(RunSettings& settings);

}  // namespace tool
