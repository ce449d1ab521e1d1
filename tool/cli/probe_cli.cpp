// The probe command's line: its name, help and options (the device check, or --latency and its
// options). Calls ProbeCommand (probe/probe_command.cpp).
#include <memory>

#include "cli/cli.h"
#include "cli/command_line.h"

namespace tool {
namespace {

std::function<int()> Setup(CLI::App& app) {
  auto args = std::make_shared<ProbeArgs>();
  app.description(
      "Checks this machine for a real table: parallel ports, modules, ioperm, the "
      "8254's counter 0, then claims the chosen port once. Exit 0 when the device "
      "opens, 1 when not, 2 for a bad command line.");
  app.add_option("--device", args->device,
                 "the device to check (default: STEPLINK_DEVICE, else the first parallel port)")
      ->type_name("VALUE");
  // --latency: how late this machine's busy-waits end (probe/latency_probe.h).
  auto* latency =
      app.add_flag("--latency", args->latency,
                   "measure how late busy-waits end here, as the library paces a step, and judge "
                   "it against the table's speeds (no device is opened)");
  latency->excludes("--device");
  app.add_option("--seconds", args->seconds, "with --latency: how long to measure (default 10)")
      ->type_name("N")
      ->check(CLI::Range(0.001, 86400.0))
      ->needs(latency);
  app.add_flag("--rt", args->rt, "with --latency: measure under SCHED_FIFO and locked memory")
      ->needs(latency);
  app.add_option("--cpu", args->cpu, "with --latency: measure on CPU N only")
      ->type_name("N")
      ->check(CLI::Range(0, 4095))
      ->needs(latency);
  return [args] { return ProbeCommand(*args); };
}

}  // namespace

const CommandLine probeCommandLine{"probe", "", "check this machine's parallel ports and timer",
                                   false, Setup};

}  // namespace tool
