// The notes a job gets once, for words that have no effect here: F, S, G64's tolerances, G61.1
// and the coolant codes. Calls the reader's types only.
#pragma once

#include <vector>

#include "read/program.h"

namespace gcode {

class OnceNotes {
 public:
  // The block's notes, each kind only the first time, into `notes`.
  void Add(const Block& block, std::vector<Message>& notes);

 private:
  bool feed_ = false, speed_ = false, coolant_ = false, blending_ = false, exactStop_ = false;
};

}  // namespace gcode
