// Velocity profile and step pacing: PlanRamp and PaceStep. The wait polls counter 0 back to back
// through ReadTimerCount (three port operations a poll); T is computed once before the loop and
// the loop only subtracts, adds and compares. Calls the interval timer and the port-channel query.
#include "motion/ramp.h"

#include "motion/reference.h"
#include "port/port_channel.h"
#include "timing/timer.h"

double currentSpeed = 1.0;
std::uint8_t decelActive = 0;
double decelRate = 0.0;
double accelDistance = 0.0;
double decelDistance = 0.0;
std::uint32_t moveSteps = 0;
double paceRemainder = 0.0;
std::int32_t baseCount = 0;

void ResetRampState() {
  ResetMotionParams();
  currentSpeed = 1.0;
  decelActive = 0;
  decelRate = 0.0;
  accelDistance = 0.0;
  decelDistance = 0.0;
  moveSteps = 0;
  paceRemainder = 0.0;
  baseCount = 0;
}

namespace {
constexpr std::int32_t paramMin = 1;
constexpr std::int32_t paramMax = 600;

std::int32_t Clamp(std::int32_t value) {
  if (value < paramMin) return paramMin;
  if (value > paramMax) return paramMax;
  return value;
}

// Counts per whole step of a rate (steps/s or steps/s^2): ((1 / rate) / tick) * countsPerTick,
// in exactly this order.
double CountsPer(double rate) {
  return ((1.0 / rate) / tickSeconds) * countsPerTick;
}

// Truncation towards zero to 32 bits; saturates instead of leaving the range undefined.
std::int32_t TruncToInt32(double value) {
  if (value >= 2147483647.0) return 2147483647;
  if (value <= -2147483648.0) return -2147483647 - 1;
  return static_cast<std::int32_t>(value);
}

// Turns elapsed counts into whole speed steps of one increment interval; returns the step count k
// and leaves the fraction in paceRemainder.
std::int32_t WholeIncrements(double total, double incrementCounts) {
  if (incrementCounts == 0.0) incrementCounts = 1.0;
  const double quotient = total / incrementCounts;
  const std::int32_t k = TruncToInt32(quotient);
  paceRemainder = incrementCounts * (quotient - k);
  return k;
}

// The rate that takes the present speed to zero over the steps still to go; 1.0 if not above 0.
double ReaimedDecelRate(std::int32_t stepsToGo) {
  const double rate = currentSpeed * currentSpeed / (2.0 * stepsToGo);
  return rate > 0.0 ? rate : 1.0;
}
}  // namespace

void PlanRamp(std::uint32_t n) {
  decelActive = 0;
  motionParams.startSpeed = Clamp(motionParams.startSpeed);
  motionParams.maxSpeed = Clamp(motionParams.maxSpeed);
  motionParams.acceleration = Clamp(motionParams.acceleration);
  motionParams.deceleration = Clamp(motionParams.deceleration);

  currentSpeed = motionParams.startSpeed;
  decelRate = motionParams.deceleration;
  moveSteps = n;
  // The integer division is part of the rule: 550 / 100 gives 5, so 1250 steps, not 1512.5.
  const std::int32_t q = motionParams.maxSpeed / motionParams.acceleration;
  accelDistance = static_cast<double>(q * q) * (motionParams.acceleration * 0.5);
  decelDistance = static_cast<double>(motionParams.maxSpeed * motionParams.maxSpeed) /
                  (2 * motionParams.deceleration);

  const std::uint32_t half = n >> 1;
  if (n < decelDistance + accelDistance && half < decelDistance) decelDistance = n - decelDistance;
  if (n < accelDistance) decelDistance = half;

  baseCount = ReadTimerCount();
}

void PaceStep(std::int32_t stepsToGo) {
  double speed;
  if (referenceActive == 1) {
    speed = motionParams.referenceSpeed;
  } else {
    if (decelActive == 0 && stepsToGo <= decelDistance) {
      if (accelDistance + decelDistance > moveSteps && stepsToGo > 0) {
        decelRate = ReaimedDecelRate(stepsToGo);
      }
      paceRemainder = 0.0;
      decelActive = 1;
    }
    speed = currentSpeed;
  }
  if (!(speed > 0.0)) speed = 1.0;
  const double intervalCounts = CountsPer(speed);

  // The interval runs from the reading that ended the previous wait, so the time spent on this
  // step's latch writes already counts towards it. The poll is WaitTicks' own, kept apart on
  // purpose: one reading against the carried baseCount and double sums here, two fresh readings
  // and integer sums there; sharing one loop would change readings or arithmetic in the trace.
  std::int32_t reading = ReadTimerCount();
  double wrapped = 0.0;
  double segment = 0.0;
  if (reading > baseCount) {
    wrapped = baseCount - reading + counterWrapCounts;
    baseCount = reading;
  } else {
    segment = baseCount - reading;
  }
  // No device: the counter cannot move, so the time counts as passed with what was seen.
  if (wrapped + segment < intervalCounts && PortChannelOpen()) {
    std::int32_t previous = noPreviousReading;
    std::int32_t sameReadings = 0;
    do {
      reading = ReadTimerCount();
      if (reading > baseCount || reading > previous) {
        wrapped += baseCount - reading + counterWrapCounts;
        baseCount = reading;
        segment = 0.0;
      } else {
        segment = baseCount - reading;
      }
      if (CounterStuck(reading, previous, sameReadings)) break;
      previous = reading;
    } while (wrapped + segment < intervalCounts);
  }
  baseCount = reading;
  const double elapsedCounts = wrapped + segment;

  if (referenceActive == 1) return;  // reference steps leave the ramp alone

  if (decelActive == 0) {
    if (motionParams.maxSpeed <= currentSpeed) return;
    const double incrementCounts = CountsPer(motionParams.acceleration);
    const double total = paceRemainder + elapsedCounts;
    if (total < incrementCounts) {
      paceRemainder = total;
      return;
    }
    // Whole steps/s only, and not capped: one update may carry the speed past maxSpeed.
    currentSpeed += WholeIncrements(total, incrementCounts);
    return;
  }

  if (!(currentSpeed > 0.0)) {
    // The last decrement took the speed to zero or below. Not lowered further, the rate and the
    // remainder kept; the speed restarts at startSpeed, the rate the motor can always start from,
    // rather than pacing the rest at the 1 step/s fallback.
    currentSpeed = motionParams.startSpeed;
    return;
  }
  const double incrementCounts = CountsPer(decelRate);
  const double total = paceRemainder + elapsedCounts;
  if (total < incrementCounts) {
    paceRemainder = total;
  } else {
    currentSpeed -= WholeIncrements(total, incrementCounts);  // not floored at zero
  }
  if (stepsToGo > 0) decelRate = ReaimedDecelRate(stepsToGo);
}
