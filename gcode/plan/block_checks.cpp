// The block checks, in the order their refusals are reported: coordinate codes, then the words
// only some codes take (cycle words, polar coordinates, arc words, G4's P, G92's axes), then the
// motion mode the axis words need.
#include "plan/block_checks.h"

#include "plan/cycles.h"

namespace gcode {
namespace {

std::string PolarRefusal(const Block& block, const BlockContext& context) {
  if (!block.HasPolar()) return {};
  if (context.next.plane != Code::G17)
    return "polar coordinates (@, ^) are used only in the XY plane (G17)";
  if (block.x || block.y) return "polar coordinates (@, ^) and X or Y on one line";
  return context.polarWhere;
}

std::string WordRefusal(const Block& block, std::optional<Code> motion) {
  const ModalBlock& m = block.modal;
  const bool claimed = ClaimsAxisWords(m);
  const bool arcWords = HasArcWords(block, motion);
  const bool arcMode = motion == Code::G2 || motion == Code::G3;
  const bool dwell = m.nonModal == Code::G4;
  if (arcWords && !arcMode) return "I, J, K or R without an arc (G2/G3)";
  if (arcWords && claimed) return "I, J, K or R with G10, G28, G30, G43.1 or G92";
  if (dwell && !block.p) return "G4 needs P (the dwell in seconds)";
  if (dwell && *block.p < 0) return "G4 P must not be negative";
  if (m.nonModal == Code::G92 && !block.HasAxisWord()) return "G92 needs at least one axis word";
  return {};
}

std::string MotionRefusal(const Block& block, std::optional<Code> motion) {
  const bool moves =
      (block.HasAxisWord() || HasArcWords(block, motion)) && !ClaimsAxisWords(block.modal);
  if (moves && !motion) return "axis words with no motion mode (G0, G1, G2 or G3) in force";
  if (moves && motion == Code::G80) return "axis words after G80 (motion mode cancelled)";
  return {};
}

}  // namespace

bool HasArcWords(const Block& block, std::optional<Code> motion) {
  if (motion && IsCycle(*motion)) return block.i || block.j || block.k;
  return block.i || block.j || block.k || block.r;
}

bool CheckBlock(const Block& block, const BlockContext& context, Refusal& refusal) {
  const std::optional<Code> motion = context.next.motion;
  std::string message =
      context.coordinates.Refusal(block, context.next.relative, motion, context.loadedTool);
  if (!message.empty()) {
    refusal = {"coordinates", std::move(message)};
    return false;
  }
  // G10's P and L are its own (checked with the coordinates).
  if (block.modal.nonModal != Code::G10 && !(message = CycleWordsRefusal(block, motion)).empty()) {
    refusal = {"cycle-words", std::move(message)};
  } else if (!(message = PolarRefusal(block, context)).empty()) {
    refusal = {"polar", std::move(message)};
  } else if (!(message = WordRefusal(block, motion)).empty() ||
             !(message = MotionRefusal(block, motion)).empty()) {
    refusal = {"words", std::move(message)};
  } else {
    return true;
  }
  return false;
}

}  // namespace gcode
