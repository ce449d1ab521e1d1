// Vector move: MoveVector and StepAxis. The cycle loop is integer-only and allocation-free; each
// cycle writes one to three latches (about 100 us settle each) before PaceStep waits out the rest
// of the step interval. Calls the board output and the step pacing.
#include "motion/vector.h"

#include "motion/board.h"
#include "motion/ramp.h"
#include "motion/reference.h"

std::uint8_t phaseX = 0;
std::uint8_t phaseY = 0;
std::uint8_t phaseZ = 0;
std::uint8_t auxCodeGiven = 0;
std::uint8_t refAux0Done = 0;
std::uint8_t refAux1Done = 0;

void ResetVectorState() {
  phaseX = phaseY = phaseZ = 0;
  auxCodeGiven = refAux0Done = refAux1Done = 0;
}

namespace {
// One axis of a move: its distance (magnitude, unsigned) and its step action.
struct AxisMove {
  std::uint32_t distance;
  std::uint8_t action;
};

// Two's-complement magnitude, so that -2147483648 gives 2147483648.
std::uint32_t Magnitude(std::int32_t count) {
  const auto bits = static_cast<std::uint32_t>(count);
  return count < 0 ? 0u - bits : bits;
}

// Applies an auxiliary state for a z code; during a reference run only the first time per process.
// Returns the result code: the state's number when applied, else 3.
std::uint8_t ApplyAuxCode(void (*setState)(), std::uint8_t& refDone, std::uint8_t stateResult) {
  if (referenceActive == 1) {
    if (refDone == 1) return 3;
    refDone = 1;
  }
  setState();
  return stateResult;
}

// Moves one axis's phase index one place and writes its step pattern.
void StepAxis(std::uint8_t action) {
  std::uint8_t* phase = &phaseX;
  std::uint8_t axisSelect = axisSelectX;
  if (action == stepYUp || action == stepYDown) {
    phase = &phaseY;
    axisSelect = axisSelectY;
  } else if (action == stepZUp || action == stepZDown) {
    phase = &phaseZ;
    axisSelect = axisSelectZ;
  }
  if (action % 2 == 1) {
    ++*phase;
    if (*phase > 7) *phase = 0;
  } else {
    --*phase;
    if (*phase > 7) *phase = 7;  // 0 - 1 wraps the byte to 255
  }
  WriteLatch(static_cast<std::uint8_t>(stepPatterns[*phase] + axisSelect));
}
}  // namespace

std::uint8_t MoveVector(std::int32_t x, std::int32_t y, std::int32_t z) {
  auxCodeGiven = (z == zAuxState0Code || z == zAuxState1Code) ? 1 : 0;
  std::uint8_t result = 3;
  const AxisMove moveX = {Magnitude(x), x >= 0 ? stepXUp : stepXDown};
  const AxisMove moveY = {Magnitude(y), y >= 0 ? stepYUp : stepYDown};
  AxisMove moveZ = {0, stepZUp};

  if (z == zAuxState0Code) {
    result = ApplyAuxCode(SetAuxState0, refAux0Done, 0);
  } else if (z == zAuxState1Code) {
    result = ApplyAuxCode(SetAuxState1, refAux1Done, 1);
  } else if (z == zKeepLatchCode) {
    result = 2;
  } else if (z > zAuxState0Code && z < zAuxState1Code) {
    moveZ = {Magnitude(z), z >= 0 ? stepZUp : stepZDown};
  } else {
    moveZ.distance = moveStepLimit;  // out of range: refuses the whole move
  }

  // Ties go to X over Y and Z, and to Y over Z.
  AxisMove lead = moveX;
  AxisMove first = moveY;
  AxisMove second = moveZ;
  if (!(moveX.distance >= moveY.distance && moveX.distance >= moveZ.distance)) {
    if (moveY.distance >= moveZ.distance) {
      lead = moveY;
      first = moveX;
    } else {
      lead = moveZ;
      first = moveX;
      second = moveY;
    }
  }

  const std::uint32_t leadSteps = lead.distance;
  if (leadSteps != 0 && leadSteps < moveStepLimit) {
    PlanRamp(leadSteps);
    // Each accumulator starts at its own distance, so a following axis never steps in the last
    // cycle: with M = 10 and d = 3 it steps in cycles 3, 6 and 9.
    std::uint32_t firstError = first.distance;
    std::uint32_t secondError = second.distance;
    std::uint32_t stepsToGo = leadSteps;
    do {
      StepAxis(lead.action);
      firstError += first.distance;
      secondError += second.distance;
      --stepsToGo;
      if (firstError >= leadSteps) {
        firstError -= leadSteps;
        StepAxis(first.action);
      }
      if (secondError >= leadSteps) {
        secondError -= leadSteps;
        StepAxis(second.action);
      }
      PaceStep(static_cast<std::int32_t>(stepsToGo));
    } while (stepsToGo != 0);
  }

  WriteLatch(static_cast<std::uint8_t>(holdPatterns[phaseX] + axisSelectX));
  WriteLatch(static_cast<std::uint8_t>(holdPatterns[phaseY] + axisSelectY));
  if (result <= 2 || auxCodeGiven == 1) return result;
  WriteLatch(static_cast<std::uint8_t>(holdPatterns[phaseZ] + axisSelectZ));
  return 3;
}
