// Test controls of the kernel32/advapi32 substitutes: the service manager's state, the files the
// driver installation sees, and the backend that serves the PortTalk device.
#pragma once

#include <string>

#include "device/port_backend.h"

namespace sim {

enum class ServiceState { absent, stopped, running };

// The in-process service control manager and file system that the driver service code meets.
struct ServiceModel {
  bool managerAccessDenied = false;  // OpenSCManagerA fails with ERROR_ACCESS_DENIED
  bool managerUnavailable = false;   // OpenSCManagerA fails with another error
  bool serviceAccessDenied = false;  // OpenServiceA fails with ERROR_ACCESS_DENIED
  bool invalidName = false;          // OpenServiceA fails with ERROR_INVALID_NAME
  int openServiceOtherErrors =
      0;  // this many OpenServiceA calls fail with an unnamed error; -1 always
  bool serviceNeverRegisters = false;  // CreateServiceA reports success, the service stays absent
  ServiceState service = ServiceState::running;
  bool driverFileInCurrentDir = true;  // "PortTalk.sys" beside the program
  bool driverFileAtTarget = true;      // the copy in the system's Drivers folder
  bool startFails = false;             // StartServiceA fails with another error even with the file
  bool deviceMissing = false;          // the device does not open even while the service runs
  // The driver cannot serve the device (on Linux: the backend could not be set up, e.g. a bad
  // STEPLINK_SIM). As on Windows when a driver fails to load: the service is not running and
  // StartServiceA fails, so the library reports a start failure rather than a running driver.
  bool driverCannotServe = false;
  std::string systemDirectory = "C:\\WINDOWS\\system32";

  // Calls seen, for tests.
  int openServiceCalls = 0;
  int createServiceCalls = 0;
  int startServiceCalls = 0;
  int copyCalls = 0;
  std::string lastCopyTarget;
  std::string lastImagePath;
  int openHandles = 0;  // service manager and service handles not yet closed
};

// The substitute's state; tests change it freely between calls.
ServiceModel& Services();
// Puts the device (with the given backend, or the default one when nullptr) and the service
// manager back to their start state (the service state STEPLINK_SIM's service key gives).
// Closes nothing the library holds.
void ResetSubstitute(PortBackend* backend = nullptr);
// The last request the device was sent, for request-layout tests: its code, input bytes and
// output length. Fixed size, so that recording it costs the hot path no allocation.
struct DeviceRequest {
  unsigned long code = 0;
  unsigned char inBytes[4] = {};
  unsigned long inLength = 0;
  unsigned long outLength = 0;
};
const DeviceRequest& LastDeviceRequest();

}  // namespace sim
