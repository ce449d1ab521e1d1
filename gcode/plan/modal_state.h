// The interpreter's modal state as one value, copied per block as grbl's parser block keeps its
// modal struct: units, distance modes, plane, motion mode and the cycles' return level. A block
// runs in the state its own codes make of the one before (After). Plain data; calls nothing.
#pragma once

#include <optional>

#include "read/codes.h"

namespace gcode {

struct ModalState {
  bool inches = false;       // G20 (G21 mm)
  bool relative = false;     // G91 (G90 absolute)
  bool arcAbsolute = false;  // G90.1 (G91.1 relative centres)
  bool cycleToR = true;      // G99, LinuxCNC's initial return mode (G98: to the starting level)
  Code plane = Code::G17;
  std::optional<Code> motion;  // none until the first motion code

  // The state a block runs in: this one with the block's own codes of these groups.
  ModalState After(const ModalBlock& block) const;
  // Millimetres per program unit.
  double MmPerUnit() const { return inches ? 25.4 : 1.0; }
};

}  // namespace gcode
