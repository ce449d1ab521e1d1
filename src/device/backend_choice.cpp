// The table of backend kinds, and the choice of the backend that serves the PortTalk device, once
// per process: the kind STEPLINK_DEVICE names (unset or "sim": the simulated table). Adding a
// backend: its own file (address parser and maker) and one line in `kinds` below. The Windows
// build has the simulated table only (there the real port is the PortTalk driver's).
#include "device/backend_choice.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "sim/simulated_table.h"
#ifndef _WIN32
#include "device/observed_hardware.h"
#include "hw/hardware_backend.h"
#endif

namespace sim {
namespace {

// The simulated table of STEPLINK_SIM.
std::unique_ptr<PortBackend> MakeSimulated(const hw::DeviceSpec&, std::string& error) {
  const ConfigResult& parsed = ProcessSimConfig();
  error = parsed.error;
  return parsed.config ? MakeProcessSimulatedTable(*parsed.config, error) : nullptr;
}

#ifndef _WIN32
// A real port, watched: of STEPLINK_SIM only the record and the status block apply.
std::unique_ptr<PortBackend> MakeRealPort(const hw::DeviceSpec& spec, std::string& error) {
  const ConfigResult& parsed = ProcessSimConfig();
  error = parsed.error;
  if (!parsed.config) return nullptr;
  return MakeObservedPort(hw::MakeHardwareBackend(spec, hw::RealSystemCalls()),
                          parsed.config->recordPath, parsed.config->statusName, error);
}
#endif

// Every backend, one line each; the first is the one an unset STEPLINK_DEVICE chooses.
constexpr BackendKind kinds[] = {
    {hw::simulatedKind, "sim", "the simulated table", false, nullptr, MakeSimulated},
#ifndef _WIN32
    {hw::parportKind, "parport:/dev/parportN, parport:N, parport:0xBASE",
     "a parallel port through ppdev", true, hw::ParseParportAddress, MakeRealPort},
    {hw::directKind, "direct:0xBASE", "a parallel port through ioperm", true,
     hw::ParseDirectAddress, MakeRealPort},
#endif
};

std::unique_ptr<PortBackend> Choose() {
  hw::DeviceSpec spec;  // unset: the simulated table
#ifndef _WIN32
  if (const char* device = std::getenv("STEPLINK_DEVICE")) {
    const hw::DeviceSpecResult chosen = hw::ParseDeviceSpec(device);
    if (!chosen.spec) {
      std::fprintf(stderr, "steplink-hw: %s\n", chosen.error.c_str());
      return nullptr;
    }
    spec = *chosen.spec;
  }
#endif
  const BackendKind* kind = FindBackendKind(spec.kind);
  std::string error;
  std::unique_ptr<PortBackend> made = kind->make(spec, error);
  if (!made) std::fprintf(stderr, "steplink-sim: %s\n", error.c_str());
  return made;
}

}  // namespace

const BackendKind* FindBackendKind(std::string_view name) {
  for (const BackendKind& kind : kinds) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}

std::string DeviceForms() {
  std::string text;
  for (std::size_t i = 0; i < std::size(kinds); ++i) {
    if (i > 0) text += i + 1 == std::size(kinds) ? " or " : ", ";
    text += kinds[i].forms;
  }
  return text;
}

PortBackend* DefaultBackend() {
  static const std::unique_ptr<PortBackend> chosen = Choose();
  return chosen.get();
}

}  // namespace sim
