// The choice of the backend that serves the PortTalk device, once per process: the kind
// STEPLINK_DEVICE names (unset or "sim": the simulated table) looked up in the table below.
// Adding a backend: its own file, its kind in device_select.h, and one line in `backends`.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "device/device_select.h"
#include "device/port_backend.h"
#include "hw/hardware_backend.h"
#include "sim/simulated_table.h"

namespace sim {
namespace {

using MakeBackend = std::unique_ptr<PortBackend> (*)(const hw::DeviceSpec& spec,
                                                     std::string& error);

// The simulated table of STEPLINK_SIM.
std::unique_ptr<PortBackend> MakeSimulated(const hw::DeviceSpec&, std::string& error) {
  const ConfigResult& parsed = ProcessSimConfig();
  error = parsed.error;
  return parsed.config ? MakeProcessSimulatedTable(*parsed.config, error) : nullptr;
}

// A real port, watched: of STEPLINK_SIM only the record and the status block apply.
std::unique_ptr<PortBackend> MakeRealPort(const hw::DeviceSpec& spec, std::string& error) {
  const ConfigResult& parsed = ProcessSimConfig();
  error = parsed.error;
  if (!parsed.config) return nullptr;
  return MakeObservedPort(hw::MakeHardwareBackend(spec, hw::RealSystemCalls()), *parsed.config,
                          error);
}

struct Backend {
  hw::DeviceKind kind;
  MakeBackend make;
};

// Every backend, one line each.
constexpr Backend backends[] = {
    {hw::DeviceKind::simulated, MakeSimulated},
    {hw::DeviceKind::parport, MakeRealPort},
    {hw::DeviceKind::direct, MakeRealPort},
};

std::unique_ptr<PortBackend> Choose() {
  hw::DeviceSpec spec;  // unset: the simulated table
  if (const char* device = std::getenv("STEPLINK_DEVICE")) {
    const hw::DeviceSpecResult chosen = hw::ParseDeviceSpec(device);
    if (!chosen.spec) {
      std::fprintf(stderr, "steplink-hw: %s\n", chosen.error.c_str());
      return nullptr;
    }
    spec = *chosen.spec;
  }
  for (const Backend& backend : backends) {
    if (backend.kind != spec.kind) continue;
    std::string error;
    std::unique_ptr<PortBackend> made = backend.make(spec, error);
    if (!made) std::fprintf(stderr, "steplink-sim: %s\n", error.c_str());
    return made;
  }
  std::fprintf(stderr, "steplink-hw: no backend serves this kind of device\n");
  return nullptr;
}

}  // namespace

PortBackend* DefaultBackend() {
  static const std::unique_ptr<PortBackend> chosen = Choose();
  return chosen.get();
}

}  // namespace sim
