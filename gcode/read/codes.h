// The G and M codes the reader knows, named, in tenths as LinuxCNC's interpreter keeps them
// (G90.1 is 901, M30 is 300), with their modal groups; and the block of named modal slots the
// reader fills, one code per slot, as grbl's parser block does. Plain data; calls nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace gcode {

enum class Code : int {
  // G codes (letter G), in tenths.
  G0 = 0,
  G1 = 10,
  G2 = 20,
  G3 = 30,
  G4 = 40,
  G10 = 100,
  G17 = 170,
  G18 = 180,
  G19 = 190,
  G20 = 200,
  G21 = 210,
  G28 = 280,
  G28_1 = 281,
  G30 = 300,
  G30_1 = 301,
  G40 = 400,
  G43 = 430,
  G43_1 = 431,
  G49 = 490,
  G53 = 530,
  G54 = 540,
  G55 = 550,
  G56 = 560,
  G57 = 570,
  G58 = 580,
  G59 = 590,
  G61 = 610,
  G61_1 = 611,
  G64 = 640,
  G73 = 730,
  G80 = 800,
  G81 = 810,
  G82 = 820,
  G83 = 830,
  G85 = 850,
  G89 = 890,
  G90 = 900,
  G90_1 = 901,
  G91 = 910,
  G91_1 = 911,
  G92 = 920,
  G92_1 = 921,
  G94 = 940,
  G98 = 980,
  G99 = 990,
  // M codes (letter M), in tenths too, offset so that they never meet a G code.
  M0 = 100000,
  M1 = 100010,
  M2 = 100020,
  M3 = 100030,
  M4 = 100040,
  M5 = 100050,
  M6 = 100060,
  M7 = 100070,
  M8 = 100080,
  M9 = 100090,
  M30 = 100300,
};

enum class Group : std::uint8_t {
  none,      // may share a line with any other (coolant: ignored)
  nonModal,  // G4, G10, G28, G28.1, G30, G30.1, G53, G92, G92.1
  motion,
  plane,
  distance,
  arcDistance,
  feedMode,
  units,
  cutterComp,
  toolLength,
  coordSystem,
  pathControl,
  cycleReturn,  // G98 G99
  stopping,     // M0 M1 M2 M30
  toolChange,
  spindle,
};

struct CodeInfo {
  Code code;
  char letter;  // 'G' or 'M'
  int tenths;   // as written: G92.1 is 921
  Group group;
  const char* name;  // what it does, for messages and listings
};

// The reader's table: the accepted code of a letter and value in tenths, or null.
const CodeInfo* FindCode(char letter, int tenths);
const CodeInfo& Info(Code code);
const char* GroupName(Group group);

// The named modal slots of one block; a slot is empty when the line has no code of its group.
struct ModalBlock {
  std::optional<Code> nonModal;     // G4 G10 G28 G28.1 G30 G30.1 G53 G92 G92.1
  std::optional<Code> motion;       // G0 G1 G2 G3 G80, the drilling cycles
  std::optional<Code> plane;        // G17 G18 G19
  std::optional<Code> distance;     // G90 G91
  std::optional<Code> arcDistance;  // G90.1 G91.1
  std::optional<Code> units;        // G20 G21
  std::optional<Code> coordSystem;  // G54-G59
  std::optional<Code> pathMode;     // G61 G61.1 G64
  std::optional<Code> cycleReturn;  // G98 G99
  std::optional<Code> feedMode;     // G94
  std::optional<Code> cutterComp;   // G40
  std::optional<Code> toolLength;   // G43 G43.1 G49
  std::optional<Code> spindle;      // M3 M4 M5
  std::optional<Code> stop;         // M0 M1 M2 M30
  std::optional<Code> toolChange;   // M6
  std::uint8_t coolant = 0;         // bit 0 M7, bit 1 M8, bit 2 M9 (ignored, noted)
};

// The slot of a group in a block (null for Group::none).
std::optional<Code>* Slot(ModalBlock& block, Group group);

}  // namespace gcode
