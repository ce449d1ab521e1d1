// Interval timer: counter 0 status and count reads (ports 0x43/0x40), calibration and WaitTicks.
// Calls the port channel, and PaceStep for the measuring path of calibration.
#include "timing/timer.h"

#include <cstdio>

#include "contract/steplink_contract.h"
#include "motion/ramp.h"
#include "port/port_channel.h"

std::int32_t countsPerTick = 0;

void ResetTimerState() {
  countsPerTick = 0;
  ResetTimerNotice();
}

namespace {
constexpr std::uint16_t timerCommandPort = STEPLINK_PORT_TIMER_COMMAND;
constexpr std::uint16_t timerCounter0Port = STEPLINK_PORT_TIMER_COUNT;
constexpr std::uint8_t latchCounter0 = STEPLINK_TIMER_LATCH_COUNT;
constexpr std::uint8_t readBackStatus0 = STEPLINK_TIMER_READ_STATUS;  // status only, counter 0

// 1 once the stuck-counter line was printed in the current entry call. Written by CounterStuck
// and ResetTimerNotice; read by CounterStuck.
bool stuckNoticePrinted = false;
}  // namespace

std::int32_t ReadTimerCount() {
  outportb(timerCommandPort, latchCounter0);
  const std::int32_t low = inportb(timerCounter0Port);
  const std::int32_t high = inportb(timerCounter0Port);
  return high * 256 + low;
}

std::int32_t CalibrateTimer() {
  outportb(timerCommandPort, readBackStatus0);
  const std::int32_t mode = (inportb(timerCounter0Port) >> 1) & 7;
  if (mode == 3) {
    countsPerTick = 2;  // square wave: the count drops by two per tick
    return 3;
  }
  if (mode == 2) {
    countsPerTick = 1;
    return 2;
  }
  // Unknown mode: measure how far the counter runs during one pacing step.
  const std::int32_t first = ReadTimerCount();
  PaceStep(14);
  const std::int32_t second = ReadTimerCount();
  std::int32_t diff = first - second;
  if (first < second) diff = first - second + counterWrapCounts;
  const std::int32_t result = (diff / 100) * 100;
  countsPerTick = result > 30000 ? 2 : 1;
  return result;
}

// The same poll as PaceStep's, kept apart on purpose: this wait starts from two fresh readings and
// sums whole counts against an integer target, PaceStep starts from the carried baseCount and sums
// in double against a double interval (and leaves baseCount at the last reading). Merging them
// would change the number of counter readings or the arithmetic of one of them, and so the trace.
void WaitTicks(std::int32_t ticks) {
  std::int32_t base = ReadTimerCount();
  std::int32_t reading = ReadTimerCount();
  // 32-bit product, computed unsigned so that no argument can make it undefined.
  const std::int32_t target = static_cast<std::int32_t>(static_cast<std::uint32_t>(ticks) *
                                                        static_cast<std::uint32_t>(countsPerTick));
  std::int32_t wrapped = 0;  // counts of completed segments
  std::int32_t segment = 0;  // counts since base in the current segment
  if (base < reading) {
    wrapped = base - reading + counterWrapCounts;
    base = reading;
  } else {
    segment = base - reading;
  }
  if (wrapped + segment >= target) return;
  if (!PortChannelOpen())
    return;  // no device: the counter cannot move, so the time counts as passed

  std::int32_t previous = noPreviousReading;
  std::int32_t sameReadings = 0;
  do {
    reading = ReadTimerCount();
    if (reading > base || reading > previous) {
      wrapped += base - reading + counterWrapCounts;
      base = reading;
      segment = 0;
    } else {
      segment = base - reading;
    }
    if (CounterStuck(reading, previous, sameReadings)) return;
    previous = reading;
  } while (wrapped + segment < target);
}

bool CounterStuck(std::int32_t reading, std::int32_t previous, std::int32_t& sameReadings) {
  sameReadings = reading == previous ? sameReadings + 1 : 1;
  if (sameReadings < stuckReadingLimit) return false;
  if (!stuckNoticePrinted) {
    stuckNoticePrinted = true;
    std::printf("Timer: counter 0 showed one value for %d readings; wait ended early.\n",
                stuckReadingLimit);
  }
  return true;
}

void ResetTimerNotice() {
  stuckNoticePrinted = false;
}
