// Program coordinates and machine mm: the work offsets G54-G59 (set by G10 L2/L20 or the machine
// file), G92 on top, the tool length along Z (G43, G43.1, G49), the G28/G30 stored positions and
// whether machine zero is known for them and G53. Checks and applies a block's coordinate codes;
// the moves to stored positions go through the emitter. Calls the machine description, the
// reader's types and the emitter.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "machine.h"
#include "read/program.h"

namespace gcode {

class Emitter;

using Mm3 = std::array<double, 3>;

// The offsets of one job. machine = program + work offset + G92 (+ the tool length on Z).
class Coordinates {
 public:
  // `homed`: --home (or --from-line) runs the reference run, so machine zero is known.
  Coordinates(const Machine& machine, bool homed);

  double ToMachine(int axis, double programMm) const;
  double ToProgram(int axis, double machineMm) const;

  int Active() const { return active_; }  // 0..5: G54..G59
  const Mm3& WorkOffset(int system) const { return work_[static_cast<std::size_t>(system)]; }
  const Mm3& G92() const { return g92_; }
  double ToolLength() const { return toolLength_; }
  // The G28 (0) or G30 (1) position, machine mm: the machine file's, the last G28.1/G30.1's,
  // or machine zero.
  const Mm3& Stored(int which) const { return stored_[static_cast<std::size_t>(which)]; }
  // Whether a move to the stored position goes where the program means.
  bool StoredKnown(int which) const;
  // Whether G53's machine coordinates mean a repeatable place (homed, or [positions] given).
  bool MachineZeroKnown() const;

  // The offsets an earlier program left (the panel's MDI lines and jobs).
  void Restore(const std::array<Mm3, 6>& work, const Mm3& g92, int active, double toolLength) {
    work_ = work;
    g92_ = g92;
    active_ = active;
    toolLength_ = toolLength;
  }

  // Why the block's coordinate codes cannot run, or empty. `relative`: G91 in force for the
  // block; `motion`: the motion mode in force for it; `loadedTool`: the tool after the block's
  // M6, -1 none.
  std::string Refusal(const Block& block, bool relative, std::optional<Code> motion,
                      int loadedTool) const;
  // G10, G28.1/G30.1, G43/G43.1/G49, G54-G59, G92/G92.1 on the state, at the machine position
  // `at`; `unit` mm per program unit. Moves nothing.
  void Apply(const Block& block, const Mm3& at, double unit, int loadedTool);

 private:
  const Machine& machine_;
  bool homed_;
  int active_ = 0;
  std::array<Mm3, 6> work_{};
  Mm3 g92_{};
  double toolLength_ = 0.0;
  std::array<Mm3, 2> stored_{};
  std::array<bool, 2> storedHere_{};  // by G28.1/G30.1 earlier in the program
};

// Whether the block's codes claim its axis words (G10, G28, G30, G43.1, G92): no motion then.
bool ClaimsAxisWords(const ModalBlock& modal);

// G28/G30: a rapid through the intermediate point (program coordinates, `relative` as in force),
// then the named axes (all when none is named) to the stored position. `at` is the machine
// position before, and after the call.
void MoveToStored(const Block& block, const Coordinates& coordinates, bool relative, double unit,
                  Emitter& emitter, Mm3& at);

}  // namespace gcode
