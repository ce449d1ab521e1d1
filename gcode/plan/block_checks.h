// The checks of one block before it runs, each group of rules in a function of its own (as
// LinuxCNC's check_g_codes and check_other_codes): the coordinate codes, the words only some
// codes take, polar coordinates and the motion the axis words need. Calls the reader's types,
// the modal state, the coordinates and the cycles' word rules; moves nothing.
#pragma once

#include <string>

#include "plan/coordinates.h"
#include "plan/modal_state.h"
#include "read/program.h"

namespace gcode {

struct Refusal {
  std::string code;  // the kind of refusal (Message::code)
  std::string message;
};

// What a block is checked against besides its own words.
struct BlockContext {
  const Coordinates& coordinates;
  ModalState next;         // the modes the block runs in (its own codes applied)
  int loadedTool = -1;     // the T of the last M6 (after the block's own), -1 none
  std::string polarWhere;  // why its polar words cannot be placed from where the tool stands
};

// True when the block may run; false with its first refusal in `refusal`.
bool CheckBlock(const Block& block, const BlockContext& context, Refusal& refusal);

// Whether the line's I, J, K or R are arc words (R is a cycle's retract level in a cycle).
bool HasArcWords(const Block& block, std::optional<Code> motion);

}  // namespace gcode
