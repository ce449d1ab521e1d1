// The device seam's counts: refused port operations, counter 0 runs of one value and reference
// creeps without the switch, kept in the host program's SteplinkDeviceCounts when it defines one,
// else in the seam's own.
#include "sim/device_counts.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace sim {

SteplinkDeviceCounts& DeviceCounter::Counts() {
  if (counts_ == nullptr) {
#ifndef _WIN32
    // The program that loaded the library, when it wants the counts (the runner's call
    // process): looked up once, as the first count is made.
    counts_ =
        static_cast<SteplinkDeviceCounts*>(dlsym(RTLD_DEFAULT, STEPLINK_DEVICE_COUNTS_SYMBOL));
#endif
    if (counts_ == nullptr) counts_ = &own_;
  }
  return *counts_;
}

void DeviceCounter::Refused(bool write, std::uint16_t port, std::uint32_t win32Error) {
  SteplinkDeviceCounts& counts = Counts();
  if (counts.refusedOps == 0) {
    counts.firstRefusalError = win32Error;
    counts.firstRefusalPort = port;
    counts.firstRefusalWrite = write ? 1 : 0;
  }
  ++counts.refusedOps;
  latchedBytesLeft_ = 0;  // a reading broken off is no reading
}

void DeviceCounter::Wrote(std::uint16_t port, std::uint8_t value) {
  if (port != STEPLINK_PORT_TIMER_COMMAND) return;
  latchedBytesLeft_ = value == STEPLINK_TIMER_LATCH_COUNT ? 2 : 0;
}

void DeviceCounter::Read(std::uint16_t port, std::uint8_t value) {
  if (port != STEPLINK_PORT_TIMER_COUNT || latchedBytesLeft_ == 0) return;
  if (latchedBytesLeft_ == 2) {
    lowByte_ = value;
    latchedBytesLeft_ = 1;
    return;
  }
  latchedBytesLeft_ = 0;
  const std::int32_t reading = value * 256 + lowByte_;
  sameReadings_ = reading == lastReading_ ? sameReadings_ + 1 : 1;
  lastReading_ = reading;
  // Each full run counts once, and the run starts over: a counter that stays dead is counted
  // again in every call that waits on it.
  if (sameReadings_ >= STEPLINK_COUNTER_STUCK_READINGS) {
    ++Counts().counterStalls;
    sameReadings_ = 0;
  }
}

void DeviceCounter::UnmetCreep() {
  ++Counts().unmetCreeps;
}

void DeviceCounter::Reset() {
  Counts() = SteplinkDeviceCounts{};
  latchedBytesLeft_ = 0;
  lastReading_ = -1;
  sameReadings_ = 0;
}

namespace {
DeviceCounter processCounter;  // constant-initialised: no guard on the device's hot path
}  // namespace

DeviceCounter& ProcessDeviceCounter() {
  return processCounter;
}

const SteplinkDeviceCounts& DeviceCounts() {
  return processCounter.Current();
}

}  // namespace sim
