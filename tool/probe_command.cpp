// `steplink probe [--device VALUE]`: reports what this machine offers a real table and whether
// the device (the option, else STEPLINK_DEVICE, else the first parallel port) opens. Exit 0 when
// it does, 1 when not, 2 for a bad command line or a malformed device value. Calls the
// hardware probe.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "device_stage.h"
#include "exit_codes.h"
#include "hw/probe.h"
#include "hw/system_calls.h"

namespace tool {

int ProbeCommand(const ProbeArgs& args) {
  TableOptions table;
  table.device = args.device;
  const std::string device = ChosenDevice(table);
  std::string error;
  if (!CheckDeviceValue(device, error)) {
    std::fprintf(stderr, "steplink probe: %s\n", error.c_str());
    return exitRefused;
  }
  return hw::Probe(device, hw::RealSystemCalls(), stdout);
}

}  // namespace tool
