// What the device seam counts for the program that makes the calls: port operations the device
// refused, counter 0 seen standing still, and reference creeps that never met the limit switch. Fed
// by the substitute's device I/O control on every request; read by that program after each call
// (see SteplinkDeviceCounts). Calls the system's symbol lookup only.
#pragma once

#include <cstdint>

#include "contract/steplink_contract.h"

namespace sim {

class DeviceCounter {
 public:
  // A request the device refused with a Win32 error; port 0 when the request carried none.
  void Refused(bool write, std::uint16_t port, std::uint32_t win32Error);
  // A port write and a port read the device carried out: counter 0's readings (a latch command,
  // then low and high byte) are followed for runs of one value.
  void Wrote(std::uint16_t port, std::uint8_t value);
  void Read(std::uint16_t port, std::uint8_t value);
  // A reference creep gave up without the limit input engaging (the table's observer saw it).
  void UnmetCreep();
  void Reset();
  const SteplinkDeviceCounts& Current() { return Counts(); }

 private:
  SteplinkDeviceCounts& Counts();

  SteplinkDeviceCounts* counts_ = nullptr;  // the host's, or own_; found at the first count
  SteplinkDeviceCounts own_{};
  int latchedBytesLeft_ = 0;  // 2: the low byte comes next, 1: the high byte
  std::uint8_t lowByte_ = 0;
  std::int32_t lastReading_ = -1;
  std::int32_t sameReadings_ = 0;
};

// The process's counter, the one the substitute's device feeds.
DeviceCounter& ProcessDeviceCounter();
// What it has counted so far (for a program that links the substitute itself, e.g. a test).
const SteplinkDeviceCounts& DeviceCounts();

}  // namespace sim
