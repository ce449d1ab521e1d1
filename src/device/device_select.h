// STEPLINK_DEVICE: what serves the device on Linux (the device layer's choice; the kernel's port
// listing beside it is the hardware backends'). NAME[:ADDRESS][,timer=clock|pit], NAME one of
// the kinds in device/backend_choice.cpp: "sim" (or unset) the simulated table;
// "parport:/dev/parport0", "parport:N" (the Nth port) or "parport:0x378" (the port at that base)
// through ppdev; "direct:0x378" through ioperm. The timer option is a real port's only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hw/system_calls.h"

namespace hw {

enum class TimerKind { clock, pit };

// The kinds of device the hardware backends serve, and the simulated table's (their names in
// STEPLINK_DEVICE and in the table of device/backend_choice.cpp).
inline constexpr char simulatedKind[] = "sim";
inline constexpr char parportKind[] = "parport";
inline constexpr char directKind[] = "direct";

struct DeviceSpec {
  std::string kind = simulatedKind;  // the backend's name in the table of kinds
  bool hardware = false;             // a real table: real time, record= and status= only
  std::string address;               // the text after "kind:", as given
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

// Looks the kind up in the table of backends and lets its address parser read the rest.
DeviceSpecResult ParseDeviceSpec(std::string_view text);

// The address parsers of the hardware backends' kinds: false with the reason (for "STEPLINK_DEVICE
// 'TEXT': REASON").
bool ParseParportAddress(std::string_view address, DeviceSpec& spec, std::string& error);
bool ParseDirectAddress(std::string_view address, DeviceSpec& spec, std::string& error);

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
