// The machine description of a G-code job: steps per millimetre, soft limits and direction of
// each axis, the chord tolerance of arcs and the reference run's back-off. Read from TOML
// (toml++); errors name the key and its line. Calls nothing below it.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "read/program.h"

namespace gcode {

struct Axis {
  double stepsPerMm = 20.0;  // motor steps of the library per millimetre
  double minMm = 0.0;        // soft limits, machine coordinates
  double maxMm = 600.0;
  bool invert = false;  // positive mm is negative steps
};

struct Machine {
  std::string name = "built-in";
  std::array<Axis, 3> axes{};
  double arcToleranceMm = 0.01;
  // Back-off steps of X, Y, Z for --home; the reference run creeps each axis to its negative end.
  std::optional<std::array<int, 3>> reference;
  // [job] safe_z_mm: machine Z (mm) that the panel's own moves lift to before they travel in X/Y;
  // unset: Z's max_mm (the top of its travel, +Z being away from the work).
  std::optional<double> safeZMm;
  // [positions]: the G28 and G30 stored positions, machine mm (machine zero is then taken as
  // known: where the table stands at the start, or where --home leaves it).
  std::optional<std::array<double, 3>> g28, g30;
  // [offsets]: start values of the work offsets G54..G59, mm (machine = work + offset).
  std::array<std::array<double, 3>, 6> workOffsets{};
  // [tools]: tool number to its length in mm for G43 H (+Z away from the work).
  std::map<int, double> toolLengths;
};

// The machine used without --machine: 20 steps/mm on every axis, X and Y 0..600 mm, Z -50..50 mm
// (0 is where the table stands at the start), arcs within 0.01 mm, reference back-off 50, 50, 20.
Machine BuiltinMachine();

// The safe height in machine mm: [job] safe_z_mm, or Z's max_mm when the file gives none.
double SafeZMm(const Machine& machine);

struct MachineResult {
  std::optional<Machine> machine;
  std::vector<Message> errors;  // line 0 when the file as a whole is wrong
};

// Parses a machine file's text; `name` is what reports call it (its path).
MachineResult ParseMachine(std::string_view text, const std::string& name);
// Largest machine file read (a machine description is a few hundred bytes).
inline constexpr std::size_t maxMachineFileBytes = std::size_t{1024} * 1024;

// Reads and parses a file; a file that cannot be read, or is larger than the limit, gives one
// error.
MachineResult LoadMachineFile(const std::string& path);

}  // namespace gcode
