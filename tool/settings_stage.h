// Settings stage of a run: the simulated table's settings as the call process gets them
// (STEPLINK_SIM), from the user's --sim plus the runner's own clock, record and status block.
#pragma once

#include <string>

#include "args.h"

namespace tool {

struct RunSettings {
  std::string simSpec;     // the STEPLINK_SIM value for the call process
  std::string recordPath;  // where the table writes its record
  bool ownRecord = false;  // a temporary record of the runner's, removed at the end
  std::string statusName;  // the status block's name in /dev/shm
  bool ownStatus = false;  // the runner's own block, removed at the end
};

// False with a one-line reason (for "steplink: REASON") when the settings are refused.
bool BuildRunSettings(const ArgParser& parser, RunSettings& settings, std::string& error);

// Removes what the runner made for the run (its temporary record, its status block).
void RemoveRunFiles(const RunSettings& settings);

}  // namespace tool
