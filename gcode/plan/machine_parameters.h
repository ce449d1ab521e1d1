// The interpreter's own parameters as a program reads them: #5161- stored positions, G92 and
// work offsets, the active system, the tool and the current position (#5001 up), and the
// predefined named ones (#<_x>, #<_metric>, ...) with LinuxCNC's meanings: stored positions and
// offsets in machine mm, positions in program units.
// Calls the coordinates and the modal state; the planner keeps its view current.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "plan/coordinates.h"
#include "plan/modal_state.h"
#include "read/parameters.h"
#include "read/program.h"

namespace gcode {

// What the planner knows before a line runs, copied in before the line is read.
struct InterpreterView {
  ModalState modes;
  std::array<double, 3> machineMm{};  // commanded position
  int selectedTool = -1;              // the last T word, -1 none
  int loadedTool = -1;                // the T of the last M6, -1 none
  int aux = -1;                       // -1 none, 0 M5, 1 M3/M4
  int line = 0;                       // the line being read
  double feed = 0.0;                  // the last F, program units per minute
  double rpm = 0.0;                   // the last S
};

class MachineParameters : public SystemParameters {
 public:
  MachineParameters(const Coordinates& coordinates, const Parameters& store)
      : coordinates_(coordinates), store_(store) {}

  InterpreterView& View() { return view_; }

  double Numbered(int number) const override;
  std::optional<double> Named(std::string_view name) const override;

 private:
  double Unit() const { return view_.modes.MmPerUnit(); }
  double ProgramPosition(int axis) const;

  const Coordinates& coordinates_;
  const Parameters& store_;  // for the call level
  InterpreterView view_;
};

// A job's parameters as the planner uses them: the store, the interpreter's own parameters over
// it, and a line kept unevaluated (Block::unevaluated) read when it runs.
class JobParameters {
 public:
  explicit JobParameters(const Coordinates& coordinates);
  JobParameters(const JobParameters&) = delete;
  JobParameters& operator=(const JobParameters&) = delete;

  Parameters& Store() { return store_; }
  // What the interpreter parameters read; the planner sets it before a line is read (the last F
  // and S are kept here).
  InterpreterView& View() { return machine_.View(); }
  // Reads `block`'s text with the parameters; `kind` becomes what the line is, `error` why it is
  // refused. A refused read sets nothing.
  const Block& Read(const Block& block, LineKind& kind, std::string& error);
  // The line has been run or refused after it was read: its settings take effect.
  void Ran(LineKind kind, const Block& block);

 private:
  Parameters store_;
  MachineParameters machine_;
  Block evaluated_;
};

}  // namespace gcode
