// What serves the PortTalk device on systems without the real driver: an object that takes port
// writes and answers port reads, as the hardware behind the driver would.
#pragma once

#include <cstdint>

namespace sim {

class PortBackend {
 public:
  virtual ~PortBackend() = default;
  virtual void Out(std::uint16_t port, std::uint8_t value) = 0;
  virtual std::uint8_t In(std::uint16_t port) = 0;
  // The device handle was closed: a backend that buffers output writes it out now.
  virtual void DeviceClosed() {}
};

// The backend that serves the device when no test has put its own in place: the simulated table
// configured by STEPLINK_SIM. nullptr when it cannot be set up (a bad STEPLINK_SIM, for one), and
// the device then does not open.
PortBackend* DefaultBackend();

}  // namespace sim
