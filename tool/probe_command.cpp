// `steplink probe [--device VALUE]`: reports what this machine offers a real table and whether
// the device (the option, else STEPLINK_DEVICE, else the first parallel port) opens. Exit 0 when
// it does, 1 when not, 2 for a bad command line. `steplink probe --latency [--seconds N] [--rt]
// [--cpu N]` measures this machine's pacing instead. Calls the hardware and latency probes.
#include "probe_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hw/probe.h"
#include "hw/system_calls.h"
#include "latency_probe.h"

namespace {

constexpr const char* usage =
    "usage: steplink probe [--device VALUE]\n"
    "       steplink probe --latency [--seconds N] [--rt] [--cpu N]\n";
constexpr double longestProbeSeconds = 86400;

// A number from start to end of text, or false.
bool ParseNumber(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0';
}

}  // namespace

int ProbeCommand(int argc, const char* const* argv) {
  std::string device;
  bool deviceGiven = false;
  bool latency = false;
  bool latencyOnlyGiven = false;
  tool::LatencyOptions options;
  for (int i = 2; i < argc; ++i) {
    const char* value = nullptr;
    if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
      device = argv[++i];
      deviceGiven = true;
    } else if (std::strncmp(argv[i], "--device=", 9) == 0) {
      device = argv[i] + 9;
      deviceGiven = true;
    } else if (std::strcmp(argv[i], "--latency") == 0) {
      latency = true;
    } else if (std::strcmp(argv[i], "--rt") == 0) {
      options.realtime = latencyOnlyGiven = true;
    } else if ((std::strcmp(argv[i], "--seconds") == 0 || std::strcmp(argv[i], "--cpu") == 0) &&
               i + 1 < argc) {
      value = argv[i + 1];
      double number = 0;
      const bool seconds = argv[i][2] == 's';
      if (!ParseNumber(value, number) ||
          (seconds ? !(number > 0 && number <= longestProbeSeconds)
                   : !(number >= 0 && number < 4096 && number == int(number)))) {
        std::fprintf(stderr,
                     seconds ? "steplink: --seconds takes a number of seconds above 0 "
                               "and up to 86400, not '%s'\n"
                             : "steplink: --cpu takes a CPU number (0, 1, ...), not '%s'\n",
                     value);
        return 2;
      }
      if (seconds) {
        options.seconds = number;
      } else {
        options.cpu = static_cast<int>(number);
      }
      latencyOnlyGiven = true;
      ++i;
    } else {
      std::fputs(usage, stderr);
      return 2;
    }
  }
  if (latency) {
    if (deviceGiven) {
      std::fprintf(stderr,
                   "steplink: probe --latency measures the waits of timer=clock on this "
                   "machine and opens no device; leave out --device\n");
      return 2;
    }
    return tool::RunLatencyProbe(options);
  }
  if (latencyOnlyGiven) {
    std::fprintf(stderr, "steplink: --seconds, --rt and --cpu belong to probe --latency\n%s",
                 usage);
    return 2;
  }
  if (!deviceGiven) {
    if (const char* fromEnvironment = std::getenv("STEPLINK_DEVICE")) device = fromEnvironment;
  }
  return hw::Probe(device, hw::RealSystemCalls(), stdout);
}
