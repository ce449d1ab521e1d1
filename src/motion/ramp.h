// Velocity profile and step pacing: the motion parameters, the trapezoidal ramp planned per move
// and the busy-wait that paces every step on counter 0. Calls the interval timer only.
#pragma once

#include <cstdint>

#include "contract/steplink_contract.h"

// The seven motion parameters, in this order, with load-time values; PlanRamp's clamping is the
// only write. Speeds in steps/s, rates in steps/s^2.
struct MotionParams {
  std::int32_t auxCodePlus;     // Z auxiliary code the reference run compares with (+32000)
  std::int32_t auxCodeMinus;    // the other one (-32000)
  std::int32_t startSpeed;      // speed of a move's first step; clamped to 1..600
  std::int32_t maxSpeed;        // acceleration stops once reached; clamped to 1..600
  std::int32_t referenceSpeed;  // every step of a reference run; never clamped
  std::int32_t acceleration;    // clamped to 1..600
  std::int32_t deceleration;    // planned rate of decrease; clamped to 1..600
};
extern MotionParams motionParams;
// Test-only: motionParams back to the variant's load-time values (motion_params.cpp).
void ResetMotionParams();

// Ramp state. Written by PlanRamp (all but paceRemainder) and PaceStep; read by PaceStep.
extern double currentSpeed;       // steps/s at which the next step is paced; 1.0 at load
extern std::uint8_t decelActive;  // 1 once the current move's deceleration phase has begun
extern double decelRate;          // steps/s^2 in force while decelerating
extern double accelDistance;      // steps from standstill to maxSpeed
extern double decelDistance;      // steps-to-go at or below which deceleration begins
extern std::uint32_t moveSteps;   // step count of the planned move
extern double paceRemainder;      // counts not yet turned into a whole speed change; carried
extern std::int32_t baseCount;    // counter reading from which the current interval runs

// Seconds per interval-timer tick.
constexpr double tickSeconds = STEPLINK_TICK_SECONDS;

// Test-only: the ramp state and the motion parameters back to their load-time values. No entry
// calls it (the library never resets); the shared library does not export it.
void ResetRampState();

// Plans the ramp for a move of n leading-axis steps (1..31999) and takes the first base reading.
void PlanRamp(std::uint32_t n);
// Waits out the current step's interval from baseCount, then updates the speed for the next step.
void PaceStep(std::int32_t stepsToGo);
