// The PortTalk device's backend on a real table: the library's five ports served by the parallel
// port (ppdev or ioperm) and a counter 0 source, everything else refused as the driver refuses a
// port. Calls the parallel port, counter 0 and the system-call seam.
#pragma once

#include <memory>

#include "device/device_select.h"
#include "device/port_backend.h"
#include "hw/system_calls.h"

namespace hw {

// Win32 error numbers the device fails a request with.
constexpr std::uint32_t refusedError = 5;  // ERROR_ACCESS_DENIED: a port or value not served
constexpr std::uint32_t failedError = 31;  // ERROR_GEN_FAILURE: the port access itself failed

// A backend for a parport or direct spec (not for the simulated table). Claims nothing until the
// device is opened; releases what it holds on close and when destroyed (process exit).
std::unique_ptr<sim::PortBackend> MakeHardwareBackend(const DeviceSpec& spec, SystemCalls& calls);

}  // namespace hw
