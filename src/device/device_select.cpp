// Parser of STEPLINK_DEVICE (its kinds from the table of backends) and the parallel ports the
// kernel lists under /proc/sys/dev/parport. Every error names the part at fault and the forms
// accepted, so a half-chosen device never opens.
#include "device/device_select.h"

#include <charconv>
#include <cstdio>

#include "device/backend_choice.h"

namespace hw {
namespace {

constexpr char parportRoot[] = "/proc/sys/dev/parport";

std::optional<std::uint32_t> ParseNumber(std::string_view text, bool hexOnly) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (hexOnly) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

DeviceSpecResult Error(std::string text) {
  return {std::nullopt, std::move(text)};
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

DeviceSpecResult ParseDeviceSpec(std::string_view text) {
  DeviceSpec spec;
  const std::size_t comma = text.find(',');
  const std::string_view device = text.substr(0, comma);
  std::string_view options =
      comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
  const std::string head = "STEPLINK_DEVICE '" + std::string(text) + "': ";

  const std::size_t colon = device.find(':');
  const std::string_view name = device.empty() ? simulatedKind : device.substr(0, colon);
  const sim::BackendKind* kind = sim::FindBackendKind(name);
  const bool addressGiven = colon != std::string_view::npos;
  if (kind == nullptr || addressGiven != (kind->parseAddress != nullptr)) {
    return Error(head + "expected " + sim::DeviceForms() +
                 ", optionally followed by ,timer=clock or ,timer=pit");
  }
  spec.kind = kind->name;
  spec.hardware = kind->hardware;
  if (addressGiven) {
    spec.address = std::string(device.substr(colon + 1));
    std::string error;
    if (!kind->parseAddress(spec.address, spec, error)) return Error(head + error);
  }
  if (!kind->hardware && !options.empty()) {
    return Error(head + kind->what + " takes no options (its settings are in STEPLINK_SIM)");
  }

  bool timerGiven = false;
  while (!options.empty()) {
    const std::size_t next = options.find(',');
    const std::string_view option = options.substr(0, next);
    options = next == std::string_view::npos ? std::string_view{} : options.substr(next + 1);
    if (option == "timer=clock" || option == "timer=pit") {
      if (timerGiven) return Error(head + "timer given twice");
      timerGiven = true;
      spec.timer = option == "timer=pit" ? TimerKind::pit : TimerKind::clock;
    } else {
      return Error(head + "unknown option '" + std::string(option) +
                   "' (expected timer=clock or timer=pit)");
    }
  }
  return {spec, ""};
}

bool ParseParportAddress(std::string_view address, DeviceSpec& spec, std::string& error) {
  if (address.starts_with("/")) {
    spec.parportPath = std::string(address);
  } else if (address.starts_with("0x") || address.starts_with("0X")) {
    spec.parportBase = ParseNumber(address, true);
    if (!spec.parportBase) error = "bad base address";
  } else if (const auto index = ParseNumber(address, false); index && *index < 256) {
    spec.parportIndex = *index;
  } else {
    error = std::string("expected ") + sim::DeviceForms();
  }
  return error.empty();
}

bool ParseDirectAddress(std::string_view address, DeviceSpec& spec, std::string& error) {
  const auto base = ParseNumber(address, true);
  // A parallel port's three registers, aligned, clear of the system's own devices below 0x100.
  if (!base || *base < 0x100 || *base > 0xFFF8 || *base % 4 != 0) {
    error =
        "direct: needs the port's base address in hex, 0x100 to 0xfff8 and a multiple of 4 (e.g. "
        "direct:0x378)";
    return false;
  }
  spec.directBase = static_cast<std::uint16_t>(*base);
  return true;
}

std::vector<ParportInfo> ListParports(SystemCalls& calls) {
  std::vector<ParportInfo> ports;
  for (const std::string& name : calls.ListDirectory(parportRoot)) {
    if (!name.starts_with("parport")) continue;
    const auto index = ParseNumber(std::string_view(name).substr(7), false);
    if (!index) continue;
    ParportInfo info;
    info.index = *index;
    info.devicePath = "/dev/parport" + std::to_string(*index);
    const std::string dir = std::string(parportRoot) + "/" + name;
    if (const auto text = calls.ReadText(dir + "/base-addr")) {
      // "888\t1912\n": the base and the ECP registers' base, decimal.
      std::uint32_t base = 0;
      const char* begin = text->data();
      const auto [end, error] = std::from_chars(begin, begin + text->size(), base);
      if (error == std::errc{} && end != begin) info.base = base;
    }
    for (const std::string& device : calls.ListDirectory(dir + "/devices")) {
      if (device != "active") info.devices.push_back(device);
    }
    ports.push_back(std::move(info));
  }
  return ports;
}

std::string DescribeParports(const std::vector<ParportInfo>& ports) {
  if (ports.empty()) return "none";
  std::string text;
  for (const ParportInfo& port : ports) {
    if (!text.empty()) text += "; ";
    text += "parport" + std::to_string(port.index);
    if (port.base) text += " at " + Hex(*port.base);
    text += " (" + port.devicePath + ")";
  }
  return text;
}

std::string ResolveParportPath(const DeviceSpec& spec, SystemCalls& calls, std::string& error) {
  if (!spec.parportPath.empty()) return spec.parportPath;
  const std::vector<ParportInfo> ports = ListParports(calls);
  for (const ParportInfo& port : ports) {
    if (spec.parportIndex && port.index == *spec.parportIndex) return port.devicePath;
    if (spec.parportBase && port.base == spec.parportBase) return port.devicePath;
  }
  const std::string wanted = spec.parportIndex  ? "parport" + std::to_string(*spec.parportIndex)
                             : spec.parportBase ? "parallel port at " + Hex(*spec.parportBase)
                                                : "parallel port in '" + spec.address + "'";
  error = "there is no " + wanted + "; the kernel lists: " + DescribeParports(ports) +
          (ports.empty() ? " (load the drivers: sudo modprobe -a parport_pc ppdev)" : "");
  return {};
}

}  // namespace hw
