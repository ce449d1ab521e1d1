// The kinds of backend that can serve the PortTalk device, one table in backend_choice.cpp: each
// kind's name in STEPLINK_DEVICE, its address parser and its maker. STEPLINK_DEVICE's parser and
// the process's choice of backend both read it. Adding a backend: its own file, one line there.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "device/device_select.h"
#include "device/port_backend.h"

namespace sim {

struct BackendKind {
  const char* name;   // "parport": STEPLINK_DEVICE's text before ':' (or all of it)
  const char* forms;  // "parport:/dev/parportN, parport:N, parport:0xBASE": for error messages
  const char* what;   // "the simulated table": for error messages
  // A real table: the runner's clock is real time, only record= and status= of the settings
  // apply, and the ",timer=" option may follow.
  bool hardware;
  // Reads the text after "name:"; nullptr for a kind named without an address.
  bool (*parseAddress)(std::string_view address, hw::DeviceSpec& spec, std::string& error);
  // The backend for a parsed spec; nullptr and a one-line reason when it cannot be set up.
  std::unique_ptr<PortBackend> (*make)(const hw::DeviceSpec& spec, std::string& error);
};

// The kind of that name; nullptr when there is none.
const BackendKind* FindBackendKind(std::string_view name);

// "sim, parport:/dev/parportN, ... or direct:0xBASE": every kind's forms.
std::string DeviceForms();

}  // namespace sim
