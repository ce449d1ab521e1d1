// Driver board output: the step/hold pattern table, latch writes (data, settle, strobe) and the
// two auxiliary states of the Z latch. Calls the port channel and WaitTicks.
#pragma once

#include <cstdint>

#include "contract/steplink_contract.h"

// Latch byte bits 7..6: which axis latch takes the byte.
constexpr std::uint8_t axisSelectX = 0x00;
constexpr std::uint8_t axisSelectY = 0x40;
constexpr std::uint8_t axisSelectZ = 0x80;

// Step patterns (phase p at p) and hold patterns (phase p at p + 8), back to back; all below 0x40.
inline constexpr std::uint8_t latchPatterns[16] = {
    39, 45, 28, 13, 3,  9,  56, 41,  // stepPatterns: written when an axis steps to a phase
    55, 54, 30, 22, 19, 18, 58, 50,  // holdPatterns: written when an axis comes to rest
};
static_assert(sizeof(latchPatterns) == 16);
inline constexpr const std::uint8_t* stepPatterns = latchPatterns;
inline constexpr const std::uint8_t* holdPatterns = latchPatterns + 8;

// Z latch bytes of the auxiliary states, and the wait after each (196897 ticks, about 0.165 s).
constexpr std::uint8_t auxState0Byte = 155;  // 0x9B: Z select, pattern 0x1B
constexpr std::uint8_t auxState1Byte = 135;  // 0x87: Z select, pattern 0x07
constexpr std::int32_t auxStateWaitTicks = 196897;
// Data-line settle time before the strobe: 119 ticks, about 100 us.
constexpr std::int32_t latchSettleTicks = 119;
static_assert(auxStateWaitTicks == STEPLINK_AUX_STATE_WAIT_TICKS);
static_assert(latchSettleTicks == STEPLINK_LATCH_SETTLE_TICKS);

// Clocks one byte into the latch its top two bits select: data, settle, strobe 1, strobe 0.
void WriteLatch(std::uint8_t value);
// Puts the Z latch into auxiliary state 0 and waits about 0.165 s.
void SetAuxState0();
// Puts the Z latch into auxiliary state 1 and waits about 0.165 s.
void SetAuxState1();
