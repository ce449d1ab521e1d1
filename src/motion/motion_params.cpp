// The motion parameters' load-time values. The only file that differs between the library's two
// variants: STEPLINK_START_SPEED is 300 in the standard build and 200 in the second one.
#include "contract/steplink_contract.h"
#include "motion/ramp.h"

#ifndef STEPLINK_START_SPEED
#error "STEPLINK_START_SPEED must name the variant's load-time start speed (steps/s)"
#endif

namespace {
constexpr MotionParams loadTimeParams = {
    STEPLINK_Z_AUX_PLUS, STEPLINK_Z_AUX_MINUS, STEPLINK_START_SPEED, 500, 400, 100, 500,
};
// Planners read these values from the contract header; the two must never drift apart.
static_assert(STEPLINK_START_SPEED == STEPLINK_START_SPEED_STANDARD ||
              STEPLINK_START_SPEED == STEPLINK_START_SPEED_START200);
static_assert(loadTimeParams.maxSpeed == STEPLINK_MAX_SPEED);
static_assert(loadTimeParams.referenceSpeed == STEPLINK_REFERENCE_SPEED);
static_assert(loadTimeParams.acceleration == STEPLINK_ACCELERATION);
static_assert(loadTimeParams.deceleration == STEPLINK_DECELERATION);
}  // namespace

MotionParams motionParams = loadTimeParams;

void ResetMotionParams() {
  motionParams = loadTimeParams;
}
