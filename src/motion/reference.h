// Reference run: for X, Y, Z in turn, creep onto the limit input, back off by the caller's
// distance and pause. Moves only through the vector move; reads the limit input on port 0x3BD.
#pragma once

#include <cstdint>

#include "contract/steplink_contract.h"

// 1 exactly while a reference run is in progress. Written only by ReferenceRun; read by PaceStep
// (fixed referenceSpeed, no ramp) and MoveVector (auxiliary codes applied once per process).
extern std::uint8_t referenceActive;

// Most one-step creep moves of one axis in one run.
constexpr std::int32_t creepStepLimit = 32000;
// Pause after every back-off move: 656324 ticks, about 0.55 s.
constexpr std::int32_t referencePauseTicks = 656324;
static_assert(creepStepLimit == STEPLINK_REFERENCE_CREEP_LIMIT);
static_assert(referencePauseTicks == STEPLINK_REFERENCE_PAUSE_TICKS);

// Test-only: referenceActive back to its load-time value.
void ResetReferenceState();

// References the axes whose back-off distance is not 0; z may instead carry an auxiliary code.
void ReferenceRun(std::int32_t x, std::int32_t y, std::int32_t z);
