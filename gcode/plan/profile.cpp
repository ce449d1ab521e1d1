// Duration estimate: replays the ramp rules of the library's step pacing with every step taking
// exactly its interval (the real wait ends on the first counter poll past it), plus the fixed
// costs of the latch writes and waits. The remainder the library carries from one move into the
// next is not modelled (at most one speed increment, about 10 ms of a move).
#include "plan/profile.h"

#include <cmath>

#include "contract/steplink_contract.h"
#include "motion/board.h"
#include "motion/reference.h"

namespace gcode {
namespace {

// One latch write: the data byte, the settle wait, strobe up and down, about 130 ticks on the
// simulated table's virtual clock (2 ticks per port access).
constexpr double latchWriteTicks = latchSettleTicks + 11.0;
// The counter reading that ends each ramp plan, and the start of each call.
constexpr double callOverheadTicks = 6.0;

double TicksPerStep(double speed) {
  return (1.0 / speed) / STEPLINK_TICK_SECONDS;
}

}  // namespace

DurationModel::DurationModel(const Profile& profile)
    : profile_(profile), rampTicks_(STEPLINK_MOVE_STEP_LIMIT, -1.0) {}

double DurationModel::RampTicks(std::int64_t steps) {
  if (steps <= 0 || steps >= STEPLINK_MOVE_STEP_LIMIT) return 0.0;
  double& memo = rampTicks_[static_cast<std::size_t>(steps)];
  if (memo >= 0.0) return memo;
  const auto n = static_cast<std::uint32_t>(steps);
  const double startSpeed = profile_.startSpeed;
  const double maxSpeed = profile_.maxSpeed;
  const double acceleration = profile_.acceleration;
  const int q = profile_.maxSpeed / profile_.acceleration;
  const double accelDistance = static_cast<double>(q * q) * (acceleration * 0.5);
  double decelDistance =
      static_cast<double>(profile_.maxSpeed * profile_.maxSpeed) / (2 * profile_.deceleration);
  const std::uint32_t half = n >> 1;
  if (n < decelDistance + accelDistance && half < decelDistance) decelDistance = n - decelDistance;
  if (n < accelDistance) decelDistance = half;

  double speed = startSpeed;
  double decelRate = profile_.deceleration;
  bool decelerating = false;
  double remainder = 0.0;
  double ticks = 0.0;
  const double accelIncrement = TicksPerStep(acceleration);
  for (std::int64_t toGo = steps - 1; toGo >= 0; --toGo) {
    if (!decelerating && toGo <= decelDistance) {
      if (accelDistance + decelDistance > n && toGo > 0) {
        decelRate = speed * speed / (2.0 * toGo);
        if (!(decelRate > 0.0)) decelRate = 1.0;
      }
      remainder = 0.0;
      decelerating = true;
    }
    const double interval = TicksPerStep(speed > 0.0 ? speed : 1.0);
    ticks += interval;
    if (!decelerating) {
      if (maxSpeed <= speed) continue;
      const double total = remainder + interval;
      if (total < accelIncrement) {
        remainder = total;
      } else {
        const double whole = std::trunc(total / accelIncrement);
        remainder = total - whole * accelIncrement;
        speed += whole;
      }
      continue;
    }
    if (!(speed > 0.0)) {
      speed = startSpeed;
      continue;
    }
    const double increment = TicksPerStep(decelRate);
    const double total = remainder + interval;
    if (total < increment) {
      remainder = total;
    } else {
      const double whole = std::trunc(total / increment);
      remainder = total - whole * increment;
      speed -= whole;
    }
    if (toGo > 0) {
      decelRate = speed * speed / (2.0 * toGo);
      if (!(decelRate > 0.0)) decelRate = 1.0;
    }
  }
  memo = ticks;
  return ticks;
}

double DurationModel::MoveSeconds(std::int64_t steps, bool auxWait, bool zHold) {
  double ticks = callOverheadTicks + RampTicks(steps) + latchWriteTicks * (zHold ? 3 : 2);
  if (auxWait) ticks += auxStateWaitTicks + latchWriteTicks;
  return ticks * STEPLINK_TICK_SECONDS;
}

double DurationModel::ReferenceStageSeconds(std::int64_t creepSteps,
                                            std::int64_t backOffSteps) const {
  const double stepTicks = TicksPerStep(profile_.referenceSpeed);
  const double creepMoveTicks = callOverheadTicks + stepTicks + 3 * latchWriteTicks + 6.0;
  const double creep =
      static_cast<double>(creepSteps < creepStepLimit ? creepSteps : creepStepLimit);
  const double backOff = static_cast<double>(backOffSteps < 0 ? -backOffSteps : backOffSteps);
  const double ticks = creep * creepMoveTicks + backOff * stepTicks + callOverheadTicks +
                       3 * latchWriteTicks + referencePauseTicks;
  return ticks * STEPLINK_TICK_SECONDS;
}

}  // namespace gcode
