// The interpreter's parameters, answered from the planner's view: numbered from #5161 (stored
// positions, G92, systems, tool, position) and the predefined names; stored positions and
// offsets in machine mm, positions in program units. Calls the coordinates and the codes' table.
#include "plan/machine_parameters.h"

#include <string>

namespace gcode {
namespace {

// The version of LinuxCNC whose language this is (#<_vmajor>, #<_vminor>).
constexpr double languageMajor = 2.9;
constexpr double languageMinor = 0.0;

}  // namespace

double MachineParameters::ProgramPosition(int axis) const {
  return coordinates_.ToProgram(axis, view_.machineMm[static_cast<std::size_t>(axis)]) / Unit();
}

double MachineParameters::Numbered(int number) const {
  const auto xyz = [](int n, int first) { return n >= first && n <= first + 2 ? n - first : -1; };
  // Stored positions and offsets are kept in machine units (mm), as LinuxCNC keeps them: a G20
  // program reads them unconverted. Positions (#5420-) are in program units.
  if (const int axis = xyz(number, 5161); axis >= 0) return coordinates_.Stored(0)[axis];
  if (const int axis = xyz(number, 5181); axis >= 0) return coordinates_.Stored(1)[axis];
  const auto& g92 = coordinates_.G92();
  if (number == 5210) return g92[0] != 0.0 || g92[1] != 0.0 || g92[2] != 0.0 ? 1.0 : 0.0;
  if (const int axis = xyz(number, 5211); axis >= 0) return g92[axis];
  if (number == 5220) return coordinates_.Active() + 1;
  // G54..G59: #5221 + 20 per system, X Y Z first (G59.1-G59.3 are not held: 0).
  if (number >= 5221 && number <= 5330 && (number - 5221) % 20 < 3)
    return coordinates_.WorkOffset((number - 5221) / 20)[(number - 5221) % 20];
  if (number == 5400) return view_.loadedTool > 0 ? view_.loadedTool : 0;
  if (number == 5403) return coordinates_.ToolLength();  // along Z only
  if (const int axis = xyz(number, 5420); axis >= 0) return ProgramPosition(axis);
  return 0.0;  // A B C U V W, rotations, probing and the rest: not on this machine
}

std::optional<double> MachineParameters::Named(std::string_view name) const {
  const ModalState& m = view_.modes;
  const double unit = Unit();
  const auto flag = [](bool set) { return set ? 1.0 : 0.0; };
  if (name == "_x") return ProgramPosition(0);
  if (name == "_y") return ProgramPosition(1);
  if (name == "_z") return ProgramPosition(2);
  if (name == "_abs_x") return view_.machineMm[0] / unit;
  if (name == "_abs_y") return view_.machineMm[1] / unit;
  if (name == "_abs_z") return view_.machineMm[2] / unit;
  if (name == "_a" || name == "_b" || name == "_c" || name == "_u" || name == "_v" || name == "_w")
    return 0.0;  // axes this table does not have
  if (name == "_metric") return flag(!m.inches);
  if (name == "_imperial") return flag(m.inches);
  if (name == "_absolute") return flag(!m.relative);
  if (name == "_incremental") return flag(m.relative);
  if (name == "_ijk_absolute_mode") return flag(m.arcAbsolute);
  if (name == "_retract_r_plane") return flag(m.cycleToR);
  if (name == "_retract_old_z") return flag(!m.cycleToR);
  if (name == "_inverse_time") return 0.0;
  if (name == "_units_per_minute") return 1.0;
  if (name == "_plane") return Info(m.plane).tenths;
  if (name == "_motion_mode") return m.motion ? Info(*m.motion).tenths : Info(Code::G80).tenths;
  if (name == "_coord_system") return 540 + 10 * coordinates_.Active();
  if (name == "_tool_offset") return flag(coordinates_.ToolLength() != 0.0);
  if (name == "_current_tool") return view_.loadedTool > 0 ? view_.loadedTool : 0;
  if (name == "_selected_tool") return view_.selectedTool > 0 ? view_.selectedTool : 0;
  if (name == "_spindle_on") return flag(view_.aux == 1);
  if (name == "_feed") return view_.feed;
  if (name == "_rpm") return view_.rpm;
  if (name == "_line") return view_.line;
  if (name == "_call_level") return store_.Depth();
  if (name == "_vmajor") return languageMajor;
  if (name == "_vminor") return languageMinor;
  if (name == "_task") return 0.0;  // not LinuxCNC's task: a preview, as rs274 is
  return std::nullopt;
}

JobParameters::JobParameters(const Coordinates& coordinates) : machine_(coordinates, store_) {
  store_.SetSystem(&machine_);
}

const Block& JobParameters::Read(const Block& block, LineKind& kind, std::string& error) {
  View().line = block.line;
  kind = ReadLine(block.unevaluated, block.line, evaluated_, error, &store_);
  if (kind == LineKind::error) store_.DropLine();
  return evaluated_;
}

void JobParameters::Ran(LineKind kind, const Block& block) {
  store_.EndLine();
  if (kind != LineKind::block) return;
  if (block.f) View().feed = *block.f;
  if (block.s) View().rpm = *block.s;
}

}  // namespace gcode
