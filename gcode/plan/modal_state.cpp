// The modal state's step from one block to the next.
#include "plan/modal_state.h"

namespace gcode {

ModalState ModalState::After(const ModalBlock& block) const {
  ModalState next = *this;
  if (block.plane) next.plane = *block.plane;
  if (block.units) next.inches = block.units == Code::G20;
  if (block.distance) next.relative = block.distance == Code::G91;
  if (block.arcDistance) next.arcAbsolute = block.arcDistance == Code::G90_1;
  if (block.cycleReturn) next.cycleToR = block.cycleReturn == Code::G99;
  if (block.motion) next.motion = block.motion;
  return next;
}

}  // namespace gcode
