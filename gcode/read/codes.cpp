// The reader's table of accepted codes and the modal slot of each group. Adding a code means a
// line here, its enumerator, and its handler in the planner.
#include "read/codes.h"

#include <array>

namespace gcode {
namespace {

constexpr std::array<CodeInfo, 56> table = {{
    {Code::G0, 'G', 0, Group::motion, "rapid move"},
    {Code::G1, 'G', 10, Group::motion, "linear move"},
    {Code::G2, 'G', 20, Group::motion, "clockwise arc"},
    {Code::G3, 'G', 30, Group::motion, "counter-clockwise arc"},
    {Code::G4, 'G', 40, Group::nonModal, "dwell"},
    {Code::G10, 'G', 100, Group::nonModal, "set a work offset (L2, L20)"},
    {Code::G17, 'G', 170, Group::plane, "XY plane"},
    {Code::G18, 'G', 180, Group::plane, "ZX plane"},
    {Code::G19, 'G', 190, Group::plane, "YZ plane"},
    {Code::G20, 'G', 200, Group::units, "inches"},
    {Code::G21, 'G', 210, Group::units, "millimetres"},
    {Code::G28, 'G', 280, Group::nonModal, "rapid to the G28 stored position"},
    {Code::G28_1, 'G', 281, Group::nonModal, "store the G28 position"},
    {Code::G30, 'G', 300, Group::nonModal, "rapid to the G30 stored position"},
    {Code::G30_1, 'G', 301, Group::nonModal, "store the G30 position"},
    {Code::G40, 'G', 400, Group::cutterComp, "cutter compensation off"},
    {Code::G43, 'G', 430, Group::toolLength, "tool length offset from the tool table"},
    {Code::G43_1, 'G', 431, Group::toolLength, "tool length offset given directly"},
    {Code::G49, 'G', 490, Group::toolLength, "tool length offset off"},
    {Code::G53, 'G', 530, Group::nonModal, "move in machine coordinates"},
    {Code::G54, 'G', 540, Group::coordSystem, "work offset 1"},
    {Code::G55, 'G', 550, Group::coordSystem, "work offset 2"},
    {Code::G56, 'G', 560, Group::coordSystem, "work offset 3"},
    {Code::G57, 'G', 570, Group::coordSystem, "work offset 4"},
    {Code::G58, 'G', 580, Group::coordSystem, "work offset 5"},
    {Code::G59, 'G', 590, Group::coordSystem, "work offset 6"},
    {Code::G61, 'G', 610, Group::pathControl, "exact path"},
    {Code::G61_1, 'G', 611, Group::pathControl, "exact stop"},
    {Code::G64, 'G', 640, Group::pathControl, "path blending"},
    {Code::G73, 'G', 730, Group::motion, "drilling cycle, chip breaking"},
    {Code::G80, 'G', 800, Group::motion, "motion mode cancelled"},
    {Code::G81, 'G', 810, Group::motion, "drilling cycle"},
    {Code::G82, 'G', 820, Group::motion, "drilling cycle, dwell"},
    {Code::G83, 'G', 830, Group::motion, "peck drilling cycle"},
    {Code::G85, 'G', 850, Group::motion, "boring cycle, feed out"},
    {Code::G89, 'G', 890, Group::motion, "boring cycle, dwell, feed out"},
    {Code::G90, 'G', 900, Group::distance, "absolute distances"},
    {Code::G90_1, 'G', 901, Group::arcDistance, "absolute arc centres"},
    {Code::G91, 'G', 910, Group::distance, "relative distances"},
    {Code::G91_1, 'G', 911, Group::arcDistance, "relative arc centres"},
    {Code::G92, 'G', 920, Group::nonModal, "set work offset"},
    {Code::G92_1, 'G', 921, Group::nonModal, "clear work offset"},
    {Code::G94, 'G', 940, Group::feedMode, "units per minute feed"},
    {Code::G98, 'G', 980, Group::cycleReturn, "cycles retract to the starting Z"},
    {Code::G99, 'G', 990, Group::cycleReturn, "cycles retract to R"},
    {Code::M0, 'M', 0, Group::stopping, "program pause"},
    {Code::M1, 'M', 10, Group::stopping, "optional pause"},
    {Code::M2, 'M', 20, Group::stopping, "program end"},
    {Code::M3, 'M', 30, Group::spindle, "auxiliary output on"},
    {Code::M4, 'M', 40, Group::spindle, "auxiliary output on (reverse)"},
    {Code::M5, 'M', 50, Group::spindle, "auxiliary output off"},
    {Code::M6, 'M', 60, Group::toolChange, "tool change"},
    {Code::M7, 'M', 70, Group::none, "mist coolant"},
    {Code::M8, 'M', 80, Group::none, "flood coolant"},
    {Code::M9, 'M', 90, Group::none, "coolant off"},
    {Code::M30, 'M', 300, Group::stopping, "program end and rewind"},
}};

}  // namespace

const CodeInfo* FindCode(char letter, int tenths) {
  for (const CodeInfo& info : table) {
    if (info.letter == letter && info.tenths == tenths) return &info;
  }
  return nullptr;
}

const CodeInfo& Info(Code code) {
  for (const CodeInfo& info : table) {
    if (info.code == code) return info;
  }
  return table[0];  // unreachable: every enumerator has its row
}

const char* GroupName(Group group) {
  switch (group) {
    case Group::nonModal:
      return "non-modal (G4, G10, G28, G30, G53, G92)";
    case Group::motion:
      return "motion";
    case Group::plane:
      return "plane selection";
    case Group::distance:
      return "distance mode";
    case Group::arcDistance:
      return "arc centre mode";
    case Group::feedMode:
      return "feed rate mode";
    case Group::units:
      return "units";
    case Group::cutterComp:
      return "cutter compensation";
    case Group::toolLength:
      return "tool length offset";
    case Group::coordSystem:
      return "coordinate system";
    case Group::pathControl:
      return "path control";
    case Group::cycleReturn:
      return "canned cycle return mode";
    case Group::stopping:
      return "stopping";
    case Group::toolChange:
      return "tool change";
    case Group::spindle:
      return "spindle (auxiliary output)";
    case Group::none:
      break;
  }
  return "";
}

std::optional<Code>* Slot(ModalBlock& block, Group group) {
  switch (group) {
    case Group::nonModal:
      return &block.nonModal;
    case Group::motion:
      return &block.motion;
    case Group::plane:
      return &block.plane;
    case Group::distance:
      return &block.distance;
    case Group::arcDistance:
      return &block.arcDistance;
    case Group::feedMode:
      return &block.feedMode;
    case Group::units:
      return &block.units;
    case Group::cutterComp:
      return &block.cutterComp;
    case Group::toolLength:
      return &block.toolLength;
    case Group::coordSystem:
      return &block.coordSystem;
    case Group::pathControl:
      return &block.pathMode;
    case Group::cycleReturn:
      return &block.cycleReturn;
    case Group::stopping:
      return &block.stop;
    case Group::toolChange:
      return &block.toolChange;
    case Group::spindle:
      return &block.spindle;
    case Group::none:
      break;
  }
  return nullptr;
}

}  // namespace gcode
