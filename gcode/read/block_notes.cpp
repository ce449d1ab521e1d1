// The once-only notes, worded for the job report.
#include "read/block_notes.h"

namespace gcode {
namespace {

void Once(bool& done, int line, std::string message, std::vector<Message>& notes) {
  if (done) return;
  done = true;
  notes.push_back({line, std::move(message)});
}

}  // namespace

void OnceNotes::Add(const Block& block, std::vector<Message>& notes) {
  const int line = block.line;
  if (block.f)
    Once(feed_, line,
         "F is not honoured: the library's own speed profile runs every move (later F words are "
         "not noted)",
         notes);
  if (block.s)
    Once(speed_, line,
         "S is not honoured: the auxiliary output is on or off only (later S words are not noted)",
         notes);
  if (block.modal.pathMode == Code::G64 && (block.p || block.q))
    Once(blending_, line,
         "G64 P/Q (blending tolerances) have no effect: every call ends at a stop here", notes);
  if (block.modal.pathMode == Code::G61_1)
    Once(exactStop_, line,
         "G61.1 (exact stop) is what every move does here: every call ends at a stop", notes);
  for (int bit = 0; bit < 3; ++bit) {
    if (block.modal.coolant & (1u << bit))
      Once(coolant_, line,
           CodeName('M', 70 + 10 * bit) + " (coolant) is ignored (later ones are not noted)",
           notes);
  }
}

}  // namespace gcode
