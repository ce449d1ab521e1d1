// The device stage: parses the device value as the library will, and refuses the simulated
// table's keys with a real table. Calls the hardware backends' parser only.
#include "job/device_stage.h"

#include <cstdlib>

#include "device/device_select.h"

namespace tool {

std::string ChosenDevice(const TableOptions& table) {
  if (table.device) return *table.device;
  const char* fromEnvironment = std::getenv("STEPLINK_DEVICE");
  return fromEnvironment != nullptr ? fromEnvironment : "";
}

bool CheckDeviceSettings(const std::string& device, const TableOptions& table,
                         const RunSettings& settings, std::string& error) {
  if (device.empty()) return true;
  const hw::DeviceSpecResult parsed = hw::ParseDeviceSpec(device);
  if (!parsed.spec) {
    error = parsed.error;
    return false;
  }
  if (!parsed.spec->hardware) return true;
  if (table.virtualClock) {
    error = "--virtual belongs to the simulated table; a real table (--device " + device +
            ") runs on real time";
    return false;
  }
  for (const sim::SettingItem& item : settings.inForce) {
    if (item.key == "record" || item.key == "status") continue;
    if (item.source == "runner default" || item.source == "device") continue;
    if (item.key == "clock" && item.value == "realtime") continue;
    error = "the simulated table's setting " + item.key + "=" + item.value + " (" + item.source +
            ") does not apply to a real table (--device " + device +
            "); drop it: on hardware only record= and status= are kept";
    return false;
  }
  return true;
}

bool CheckDeviceValue(const std::string& device, std::string& error) {
  if (device.empty()) return true;
  const hw::DeviceSpecResult parsed = hw::ParseDeviceSpec(device);
  if (!parsed.spec) error = parsed.error;
  return parsed.spec.has_value();
}

bool RealTableChosen(const std::string& device) {
  if (device.empty()) return false;
  const hw::DeviceSpecResult parsed = hw::ParseDeviceSpec(device);
  return parsed.spec && parsed.spec->hardware;
}

}  // namespace tool
