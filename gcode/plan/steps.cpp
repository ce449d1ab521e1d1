// Millimetres and motor steps: whole steps from an absolute position (half away from zero), and
// back. Declared in planner.h, which every layer above uses; plain arithmetic.
#include <cmath>

#include "plan/planner.h"

namespace gcode {
namespace {

constexpr double maxStepsMagnitude = 4.611686018427387904e18;  // 2^62

}  // namespace

std::int64_t MmToSteps(double mm, const Axis& axis) {
  const double exact = mm * axis.stepsPerMm;
  // Half away from zero, with a hair of slack so that 0.025 mm at 20 steps/mm is the tie it
  // was written as rather than whatever its binary neighbour is.
  const double magnitude = std::floor(std::fabs(exact) + 0.5 + 1e-9);
  const auto steps = static_cast<std::int64_t>(exact < 0 ? -magnitude : magnitude);
  return axis.invert ? -steps : steps;
}

double StepsToMm(std::int64_t steps, const Axis& axis) {
  return static_cast<double>(axis.invert ? -steps : steps) / axis.stepsPerMm;
}

bool StepsFit(double mm, const Axis& axis) {
  return std::fabs(mm * axis.stepsPerMm) < maxStepsMagnitude;
}

}  // namespace gcode
