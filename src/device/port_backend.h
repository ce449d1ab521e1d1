// The device layer's seam: what serves the PortTalk device on systems without the real driver, an
// object that takes port writes and answers port reads as the hardware behind the driver would.
// Implemented by the simulated table (sim/) and the hardware backends (hw/); chosen in
// device/backend_choice.cpp.
#pragma once

#include <cstdint>

namespace sim {

class PortBackend {
 public:
  virtual ~PortBackend() = default;
  virtual void Out(std::uint16_t port, std::uint8_t value) = 0;
  virtual std::uint8_t In(std::uint16_t port) = 0;
  // The device is being opened (openConn): false keeps it closed, as a missing device is. A
  // backend that holds hardware claims it here and says on standard error why it could not.
  virtual bool DeviceOpened() { return true; }
  // The device handle was closed: a backend that buffers output writes it out now, one that
  // holds hardware releases it.
  virtual void DeviceClosed() {}

  // Why the last Out or In was not carried out, as a Win32 error number (0: it was). The device
  // I/O control then fails with it and the library prints its line; a refused read leaves the
  // request buffer as it was. Taken (and cleared) by the device after every request.
  std::uint32_t TakeRefusal() {
    const std::uint32_t error = refusal_;
    refusal_ = 0;
    return error;
  }

 protected:
  // Called from Out or In: this request fails with the given Win32 error number.
  void Refuse(std::uint32_t win32Error) { refusal_ = win32Error; }

 private:
  std::uint32_t refusal_ = 0;
};

// The backend that serves the device when no test has put its own in place: the one
// STEPLINK_DEVICE names (unset: the simulated table configured by STEPLINK_SIM). nullptr when it
// cannot be set up (a bad STEPLINK_SIM, for one), and the device then does not open.
PortBackend* DefaultBackend();

}  // namespace sim
