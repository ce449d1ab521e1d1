// `steplink probe [--device VALUE]`: reports what this machine offers a real table and whether
// the device (the option, else STEPLINK_DEVICE, else the first parallel port) opens. Exit 0 when
// it does, 1 when not, 2 for a bad command line or a malformed device value. `--latency` measures
// this machine's pacing instead. Calls the hardware and latency probes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/cli.h"
#include "cli/exit_codes.h"
#include "hw/probe.h"
#include "hw/system_calls.h"
#include "job/device_stage.h"
#include "probe/latency_probe.h"

namespace tool {

int ProbeCommand(const ProbeArgs& args) {
  if (args.latency) {
    LatencyOptions options;
    options.seconds = args.seconds.value_or(options.seconds);
    options.realtime = args.rt;
    options.cpu = args.cpu.value_or(-1);
    return RunLatencyProbe(options);
  }
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
