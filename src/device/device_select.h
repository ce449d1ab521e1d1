// STEPLINK_DEVICE: what serves the device on Linux (the device layer's choice; the kernel's port
// listing beside it is the hardware backends'). "sim" (or unset) the simulated table;
// "parport:/dev/parport0", "parport:N" (the Nth port) or "parport:0x378" (the port at that base)
// through ppdev; "direct:0x378" through ioperm; each optionally with ",timer=clock" or
// ",timer=pit".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hw/system_calls.h"

namespace hw {

enum class DeviceKind { simulated, parport, direct };
enum class TimerKind { clock, pit };

struct DeviceSpec {
  DeviceKind kind = DeviceKind::simulated;
  // parport: exactly one of the three forms.
  std::string parportPath;                   // "/dev/parport0"
  std::optional<unsigned> parportIndex;      // "0"
  std::optional<std::uint32_t> parportBase;  // "0x378"
  std::uint16_t directBase = 0;              // direct:
  TimerKind timer = TimerKind::clock;
};

struct DeviceSpecResult {
  std::optional<DeviceSpec> spec;  // empty when the text has an error
  std::string error;               // one line naming what is wrong and what is expected
};

DeviceSpecResult ParseDeviceSpec(std::string_view text);

// One parallel port the kernel knows (/proc/sys/dev/parport/parportN).
struct ParportInfo {
  unsigned index = 0;
  std::string devicePath;             // /dev/parportN
  std::optional<std::uint32_t> base;  // from base-addr
  std::vector<std::string> devices;   // drivers registered on it (lp0, ppdev0, ...)
};
std::vector<ParportInfo> ListParports(SystemCalls& calls);
// "parport0 at 0x378 (/dev/parport0); parport1 ..." or "none".
std::string DescribeParports(const std::vector<ParportInfo>& ports);

// The device file a parport spec names: the path as given, /dev/parportN, or the port whose base
// matches. Empty (and `error` set, listing the ports there are) when no port matches.
std::string ResolveParportPath(const DeviceSpec& spec, SystemCalls& calls, std::string& error);

}  // namespace hw
