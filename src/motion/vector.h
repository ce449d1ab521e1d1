// Vector move: one relative straight-line move of X, Y and Z, the leading axis stepping every
// cycle and the others by error accumulation, paced by the ramp. Calls the board output and pacing.
#pragma once

#include <cstdint>

#include "contract/steplink_contract.h"

// Phase index 0..7 of each axis; zero at load, never reset. Written only by StepAxis; read by
// MoveVector's standstill output.
extern std::uint8_t phaseX;
extern std::uint8_t phaseY;
extern std::uint8_t phaseZ;
// 1 when the current call's z is +32000 or -32000. Written at the start of MoveVector, read at its
// end.
extern std::uint8_t auxCodeGiven;
// Set when a call made during a reference run applies auxiliary state 0 / 1; never cleared.
extern std::uint8_t refAux0Done;
extern std::uint8_t refAux1Done;

// One step of one axis: 1/2 X up/down, 3/4 Y up/down, 5/6 Z up/down.
enum StepAction : std::uint8_t {
  stepXUp = 1,
  stepXDown = 2,
  stepYUp = 3,
  stepYDown = 4,
  stepZUp = 5,
  stepZDown = 6,
};

// z codes: the auxiliary states, and "leave the Z latch alone".
constexpr std::int32_t zAuxState1Code = STEPLINK_Z_AUX_PLUS;
constexpr std::int32_t zAuxState0Code = STEPLINK_Z_AUX_MINUS;
constexpr std::int32_t zKeepLatchCode = STEPLINK_Z_KEEP_LATCH;
// Distances of this many steps or more are refused.
constexpr std::uint32_t moveStepLimit = STEPLINK_MOVE_STEP_LIMIT;

// Test-only: phases and auxiliary-code flags back to their load-time values.
void ResetVectorState();

// Moves the axes by x, y, z steps; returns 0/1 (auxiliary state applied), 2 (z = 32222) or 3.
std::uint8_t MoveVector(std::int32_t x, std::int32_t y, std::int32_t z);
