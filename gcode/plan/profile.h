// Duration estimate of the library's calls: the trapezoidal step-rate profile of a move (start
// speed, acceleration to the maximum speed, deceleration aimed at the last step), the latch
// writes, the auxiliary wait and the reference run's creep, back-off and pause. Pure arithmetic.
#pragma once

#include <cstdint>
#include <vector>

namespace gcode {

// The library's load-time motion parameters (steps/s, steps/s^2). The standard variant starts
// every move at 300 steps/s, the start200 variant at 200.
struct Profile {
  int startSpeed = 300;
  int maxSpeed = 500;
  int referenceSpeed = 400;
  int acceleration = 100;
  int deceleration = 500;
};

class DurationModel {
 public:
  explicit DurationModel(const Profile& profile = {});

  // A vectorOut whose leading axis makes `steps` steps (0 to 31999); `auxWait` when z is an
  // auxiliary code the library applies; `zHold` when the Z hold pattern is written at the end.
  double MoveSeconds(std::int64_t steps, bool auxWait, bool zHold);
  // One reference stage: `creepSteps` one-step moves, the back-off, the pause.
  double ReferenceStageSeconds(std::int64_t creepSteps, std::int64_t backOffSteps) const;

 private:
  double RampTicks(std::int64_t steps);
  Profile profile_;
  std::vector<double> rampTicks_;  // memo by step count; < 0 not computed yet
};

}  // namespace gcode
