// Coordinate systems as LinuxCNC keeps them, in machine mm: a block's tool length and work
// offset selection take effect before its G10/G92/G28.1 and before its motion, so a line such
// as "G54 G10 L20 P0 X0" sets the offset it selects.
#include "plan/coordinates.h"

#include <cmath>
#include <cstdio>

#include "plan/emitter.h"

namespace gcode {
namespace {

std::string Format(const char* format, double a, double b = 0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

bool Whole(double value) {
  return value == std::floor(value);
}

int SystemOf(Code code) {
  return (static_cast<int>(code) - static_cast<int>(Code::G54)) / 10;
}

}  // namespace

bool ClaimsAxisWords(const ModalBlock& modal) {
  const std::optional<Code> n = modal.nonModal;
  return n == Code::G10 || n == Code::G28 || n == Code::G30 || n == Code::G92 ||
         modal.toolLength == Code::G43_1;
}

Coordinates::Coordinates(const Machine& machine, bool homed)
    : machine_(machine), homed_(homed), work_(machine.workOffsets) {
  if (machine.g28) stored_[0] = *machine.g28;
  if (machine.g30) stored_[1] = *machine.g30;
}

double Coordinates::ToMachine(int axis, double programMm) const {
  const auto a = static_cast<std::size_t>(axis);
  return programMm + work_[static_cast<std::size_t>(active_)][a] + g92_[a] +
         (axis == 2 ? toolLength_ : 0.0);
}

double Coordinates::ToProgram(int axis, double machineMm) const {
  const auto a = static_cast<std::size_t>(axis);
  return machineMm - work_[static_cast<std::size_t>(active_)][a] - g92_[a] -
         (axis == 2 ? toolLength_ : 0.0);
}

bool Coordinates::StoredKnown(int which) const {
  const auto& fromFile = which == 0 ? machine_.g28 : machine_.g30;
  return homed_ || storedHere_[static_cast<std::size_t>(which)] || fromFile.has_value();
}

bool Coordinates::MachineZeroKnown() const {
  return homed_ || machine_.g28 || machine_.g30;
}

std::string Coordinates::Refusal(const Block& block, bool relative, std::optional<Code> motion,
                                 int loadedTool) const {
  const ModalBlock& m = block.modal;
  const std::optional<Code> n = m.nonModal;
  const bool nonModalClaims = n == Code::G10 || n == Code::G28 || n == Code::G30 || n == Code::G92;
  if (nonModalClaims && m.motion && block.HasAxisWord())
    return CodeName('G', Info(*n).tenths) + " and a motion on one line both claim the axis words";
  if (block.h && m.toolLength != Code::G43)
    return "H is used only with G43 (tool length of tool H)";
  if (block.HasPolar() && (nonModalClaims || n == Code::G53 || m.toolLength == Code::G43_1))
    return "polar coordinates (@, ^) are used only by moves and drilling cycles";
  if (n == Code::G10) {
    if (!block.l) return "G10 needs L2 or L20 (setting a work offset)";
    if (block.q) return "Q is not used by G10";
    const double l = *block.l;
    if (l == 1 || l == 10 || l == 11)
      return Format(
          "G10 L%g (the tool table) is not supported: tool lengths come from the machine file's "
          "[tools]",
          l);
    if (l != 2 && l != 20) return Format("G10 L%g is not supported: L2 or L20 only", l);
    if (block.r) return "G10 R (a rotated coordinate system) is not supported";
    if (!block.p) return "G10 needs P (0: the active work offset, 1-6: G54-G59)";
    if (!Whole(*block.p) || *block.p < 0 || *block.p > 6)
      return "G10 P must be 0-6 (0: the active work offset, 1-6: G54-G59; G59.1-G59.3 are not "
             "supported)";
  }
  if ((n == Code::G28_1 || n == Code::G30_1) && block.HasAxisWord())
    return CodeName('G', Info(*n).tenths) + " takes no axis words: it stores where the table is";
  if (n == Code::G28 || n == Code::G30) {
    const int which = n == Code::G28 ? 0 : 1;
    if (!StoredKnown(which)) {
      if (which == 0 && !block.HasAxisWord())
        return "G28 moves to the stored home position and no longer homes: use --home to home "
               "first";
      const std::string name = which == 0 ? "G28" : "G30";
      return name + " moves to the stored " + name +
             " position, and machine zero is not known: use --home to home first (or store it "
             "with " +
             name + ".1, or give [positions] " + (which == 0 ? "g28" : "g30") +
             " in the machine file)";
    }
  }
  if (n == Code::G53) {
    if (!block.HasAxisWord()) return "G53 needs axis words (the machine coordinates to move to)";
    if (motion != Code::G0 && motion != Code::G1) return "G53 moves only with G0 or G1";
    if (relative) return "G53 needs absolute distances (G90): its words are machine coordinates";
    if (!MachineZeroKnown())
      return "G53 moves in machine coordinates, and machine zero is not known: use --home to "
             "home first (or give [positions] in the machine file)";
  }
  if (m.toolLength == Code::G43) {
    int tool = loadedTool;
    if (block.h) {
      if (!Whole(*block.h) || *block.h < 0) return "H needs a whole tool number";
      tool = static_cast<int>(*block.h);
    } else if (tool < 0) {
      return "G43 without H needs a tool loaded by M6 (T2 M6) earlier, or H";
    }
    // Tool 0 is no tool: length 0 unless the machine file lists it (LinuxCNC's G43 H0).
    if (tool != 0 && machine_.toolLengths.count(tool) == 0) {
      return block.h ? Format("G43 H%g: the machine file lists no tool %g ([tools])", tool, tool)
                     : Format(
                           "G43: tool %g (loaded by the last M6) is not listed in the machine "
                           "file's [tools]",
                           tool);
    }
  }
  if (m.toolLength == Code::G43_1) {
    if (m.motion && m.motion != Code::G80)
      return "G43.1 and a motion on one line: G43.1 takes Z as the tool length, so its line "
             "cannot move";
    if (nonModalClaims)
      return CodeName('G', Info(*n).tenths) + " and G43.1 on one line both claim the axis words";
    if (block.x || block.y) return "G43.1 takes only Z here (the tool length along Z)";
    if (!block.z) return "G43.1 needs Z (the tool length)";
  }
  return {};
}

void Coordinates::Apply(const Block& block, const Mm3& at, double unit, int loadedTool) {
  const ModalBlock& m = block.modal;
  const std::optional<double> words[3] = {block.x, block.y, block.z};
  if (m.toolLength == Code::G43) {
    const int tool = block.h ? static_cast<int>(*block.h) : loadedTool;
    const auto listed = machine_.toolLengths.find(tool);
    toolLength_ = listed != machine_.toolLengths.end() ? listed->second : 0.0;
  } else if (m.toolLength == Code::G43_1) {
    toolLength_ = unit * *block.z;
  } else if (m.toolLength == Code::G49) {
    toolLength_ = 0.0;
  }
  if (m.coordSystem) active_ = SystemOf(*m.coordSystem);
  switch (m.nonModal.value_or(Code::G4)) {
    case Code::G10: {
      // G91 does not apply: L2 values are the offsets themselves, L20 values the coordinates
      // the current position is to have.
      const int p = static_cast<int>(*block.p);
      Mm3& offset = work_[static_cast<std::size_t>(p == 0 ? active_ : p - 1)];
      for (std::size_t axis = 0; axis < 3; ++axis) {
        if (!words[axis]) continue;
        const double value = unit * *words[axis];
        offset[axis] =
            *block.l == 2 ? value : at[axis] - g92_[axis] - (axis == 2 ? toolLength_ : 0.0) - value;
      }
      break;
    }
    case Code::G92:
      for (std::size_t axis = 0; axis < 3; ++axis) {
        if (!words[axis]) continue;
        g92_[axis] = at[axis] - work_[static_cast<std::size_t>(active_)][axis] -
                     (axis == 2 ? toolLength_ : 0.0) - unit * *words[axis];
      }
      break;
    case Code::G92_1:
      g92_ = {0.0, 0.0, 0.0};
      break;
    case Code::G28_1:
    case Code::G30_1: {
      const std::size_t which = m.nonModal == Code::G28_1 ? 0 : 1;
      stored_[which] = at;
      storedHere_[which] = true;
      break;
    }
    default:
      break;
  }
}

void MoveToStored(const Block& block, const Coordinates& coordinates, bool relative, double unit,
                  Emitter& emitter, Mm3& at) {
  const int which = block.modal.nonModal == Code::G28 ? 0 : 1;
  const std::optional<double> words[3] = {block.x, block.y, block.z};
  Mm3 through = at;
  for (int axis = 0; axis < 3; ++axis) {
    const auto a = static_cast<std::size_t>(axis);
    if (!words[a]) continue;
    through[a] =
        relative ? at[a] + unit * *words[a] : coordinates.ToMachine(axis, unit * *words[a]);
  }
  emitter.Traverse(through, block.line);
  Mm3 end = through;
  const bool all = !block.HasAxisWord();
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (all || words[axis]) end[axis] = coordinates.Stored(which)[axis];
  }
  emitter.TraverseStored(end, block.line);
  at = end;
}

}  // namespace gcode
