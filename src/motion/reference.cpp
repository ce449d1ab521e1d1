// Reference run: leave move, auxiliary state, then X, Y, Z stages of creep, back-off and pause.
// Calls inportb (limit input), the vector move, the auxiliary states and WaitTicks.
#include "motion/reference.h"

#include "contract/steplink_contract.h"
#include "motion/board.h"
#include "motion/ramp.h"
#include "motion/vector.h"
#include "port/port_channel.h"
#include "timing/timer.h"

std::uint8_t referenceActive = 0;

void ResetReferenceState() {
  referenceActive = 0;
}

namespace {
constexpr std::uint16_t statusPort = STEPLINK_PORT_STATUS;
constexpr std::uint8_t limitReleasedBit = 0x80;  // status bit 7: set released, clear engaged

bool LimitReleased() {
  return (inportb(statusPort) & limitReleasedBit) != 0;
}

// One stage: creep one step at a time in the negative direction until the input engages or the
// creep limit is reached, then back off and pause. The creep reads the input once more than it
// steps.
void ReferenceStage(std::int32_t creepX, std::int32_t creepY, std::int32_t creepZ,
                    std::int32_t backX, std::int32_t backY, std::int32_t backZ) {
  std::int32_t creepSteps = 0;
  while (LimitReleased() && creepSteps < creepStepLimit) {
    MoveVector(creepX, creepY, creepZ);
    ++creepSteps;
  }
  MoveVector(backX, backY, backZ);
  WaitTicks(referencePauseTicks);
}
}  // namespace

void ReferenceRun(std::int32_t x, std::int32_t y, std::int32_t z) {
  referenceActive = 1;
  if (!LimitReleased()) MoveVector(x, y, z);  // leave the switch first

  // The pairing is the reverse of the vector move's: +32000 selects state 0 here.
  std::uint8_t auxSelector = 3;
  if (z == motionParams.auxCodePlus) {
    SetAuxState0();
    auxSelector = 0;
  } else if (z == motionParams.auxCodeMinus) {
    SetAuxState1();
    auxSelector = 1;
  }
  const std::int32_t carriedZ = auxSelector <= 1 ? z : 0;

  if (x != 0) ReferenceStage(-1, 0, carriedZ, x, 0, carriedZ);
  if (y != 0) ReferenceStage(0, -1, carriedZ, 0, y, carriedZ);
  if (z != 0 && z > -STEPLINK_MOVE_STEP_LIMIT && z < STEPLINK_MOVE_STEP_LIMIT)
    ReferenceStage(0, 0, -1, 0, 0, z);
  referenceActive = 0;
}
