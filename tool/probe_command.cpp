// `steplink probe [--device VALUE]`: reports what this machine offers a real table and whether
// the device (the option, else STEPLINK_DEVICE, else the first parallel port) opens. Exit 0 when
// it does, 1 when not, 2 for a bad command line. Calls the hardware probe.
#include "probe_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hw/probe.h"
#include "hw/system_calls.h"

int ProbeCommand(int argc, const char* const* argv) {
  std::string device;
  if (const char* fromEnvironment = std::getenv("STEPLINK_DEVICE")) device = fromEnvironment;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
      device = argv[++i];
    } else if (std::strncmp(argv[i], "--device=", 9) == 0) {
      device = argv[i] + 9;
    } else {
      std::fprintf(stderr, "usage: steplink probe [--device VALUE]\n");
      return 2;
    }
  }
  return hw::Probe(device, hw::RealSystemCalls(), stdout);
}
