// Interval timer: reads counter 0 of the 8254, detects how it counts, and busy-waits in ticks
// (8.38e-7 s). Calls the port channel (outportb/inportb) and, to measure, the step pacing.
#pragma once

#include <cstdint>

#include "contract/steplink_contract.h"

// Counts by which counter 0 drops per input-clock tick: 1 in mode 2, 2 in mode 3, 0 until the
// first CalibrateTimer. Written only by CalibrateTimer; read by WaitTicks and PaceStep.
extern std::int32_t countsPerTick;

// The wrap allowance of every wait: a wrap from base b to reading r counts b - r + 0xFFFF.
constexpr std::int32_t counterWrapCounts = 0xFFFF;
// Sentinel for "no previous loop reading": above any 16-bit reading.
constexpr std::int32_t noPreviousReading = 99999999;
// A counting counter never shows one value this many loop readings in a row; a wait that sees
// it gives up as if its time had passed (a stuck or unreachable timer must not hang a move).
constexpr std::int32_t stuckReadingLimit = STEPLINK_COUNTER_STUCK_READINGS;

// Latches counter 0 and returns its 16-bit value, low byte read first.
std::int32_t ReadTimerCount();
// Finds counter 0's mode and sets countsPerTick: 2 or 3 (the mode), or a measured count / 100 *
// 100.
std::int32_t CalibrateTimer();
// Busy-waits until ticks * countsPerTick counts have passed since its first reading.
void WaitTicks(std::int32_t ticks);

// Counts the run of equal loop readings; true when the wait must give up. Prints the "Timer: "
// line the first time within an entry call. Used by WaitTicks and the pacing wait.
bool CounterStuck(std::int32_t reading, std::int32_t previous, std::int32_t& sameReadings);
// Called by each entry shell: the stuck-counter line may be printed once per entry call.
void ResetTimerNotice();
// Test-only: the calibration and the notice back to their load-time values.
void ResetTimerState();
