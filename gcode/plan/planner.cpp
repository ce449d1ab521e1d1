// Interpreter: runs each block through the modal state (modal_state.h; offsets and tool length
// in coordinates.h) in two steps, as grbl does: check the block whole (block_checks.h), then
// execute its slots in a fixed order, handing every motion to the call emitter in machine mm;
// after a refused line it goes on from where that line would have left the table. Calls the
// reader's types, the checks, the arc and cycle geometry, the coordinates and the emitter.
#include "plan/planner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "plan/arc.h"
#include "plan/block_checks.h"
#include "plan/coordinates.h"
#include "plan/cycles.h"
#include "plan/emitter.h"
#include "plan/machine_parameters.h"
#include "plan/modal_state.h"
#include "read/block_notes.h"

namespace gcode {
namespace {

std::string Format(const char* format, double a, double b = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

}  // namespace

void Plan::AddError(int line, std::string message, std::string code) {
  ++errorCount;
  if (errors.size() < maxListedErrors)
    errors.push_back({line, std::move(message), std::move(code)});
}

class StreamPlanner::Impl {
 public:
  Impl(const Machine& machine, const PlanOptions& options, CallSink sink)
      : machine_(machine),
        options_(options),
        sink_(std::move(sink)),
        emitter_(machine, options.profile, plan_, sink_, options.maxCalls),
        homing_(!options.start && (options.home || options.fromLine > 0)),
        coords_(machine, options.start || (homing_ && machine.reference)) {
    emitter_.SetEmitting(options_.fromLine <= 0);
    if (options_.start) Restore(*options_.start);
    if (options_.onMove) {
      emitter_.SetObserver([this](CanonMove::Kind kind, const std::array<double, 3>& mm,
                                  const ArcPath* arc, int line) { Observe(kind, mm, arc, line); });
    }
    if (options_.fromLine > 0 && !machine_.reference && !options_.start) {
      plan_.AddError(0,
                     "--from-line needs the machine file's [job] reference: a new process cannot "
                     "know where the table stands without homing first",
                     "option");
    } else if (options_.home && !machine_.reference) {
      plan_.AddError(0, "--home needs the machine file's [job] reference (the back-off steps)",
                     "option");
    }
  }

  // A line that names parameters or expressions is read now, with the parameters the lines
  // before it left; its settings take effect once it has run (dropped when it cannot be read).
  void Line(LineKind kind, const Block& block, const std::string& error, int line) {
    lastLine_ = line;
    if (kind != LineKind::block || block.unevaluated.empty() || ended_) {
      Run(kind, block, error, line);
      if (!ended_) parameters_.Ran(kind, block);
      return;
    }
    std::string failed;
    Params();
    const Block& read = parameters_.Read(block, kind, failed);
    Run(kind, read, failed, line);
    parameters_.Ran(kind, read);
  }

  // The parameters, with the interpreter as it stands before the next line.
  Parameters& Params() {
    InterpreterView& view = parameters_.View();
    view = {modes_, mm_, tool_, loadedTool_, emitter_.Aux(), lastLine_ + 1, view.feed, view.rpm};
    return parameters_.Store();
  }

  void Run(LineKind kind, const Block& block, const std::string& error, int line) {
    if (kind == LineKind::empty) return;
    if (ended_) {
      ++plan_.skippedLines;  // not run nor checked
      return;
    }
    if (kind == LineKind::error) {
      begun_ = true;
      plan_.AddError(line, error, block.errorCode);
      ForgetAxes(block.refusedAxes, line);
      return;
    }
    if (block.programName) {
      ProgramNumber(block);
      return;
    }
    begun_ = true;
    if (homing_ && !homed_ && machine_.reference) {
      // Before the first line: machine zero is where the reference run leaves the table.
      homed_ = true;
      emitter_.Home(block.line, *machine_.reference);
      mm_ = {0.0, 0.0, 0.0};
    }
    if (!emitter_.Emitting() && block.line >= options_.fromLine) Resume(block.line);
    Refusal refusal;
    Notes(block);
    if (cycleRefused_ && !block.modal.motion && modes_.motion && IsCycle(*modes_.motion) &&
        block.HasAxisWord()) {
      // The run of cycles whose first line was refused: its words are not known, so its holes
      // are not checked one by one (one fault, one error).
      AfterRefusal(block);
      return;
    }
    if (!Check(block, refusal) || !CheckCycleLine(block, refusal)) {
      plan_.AddError(block.line, refusal.message, refusal.code);
      AfterRefusal(block);
      return;
    }
    Execute(block);
  }

  bool Ended() const { return ended_; }

  Plan Finish(int lineCount) {
    plan_.lines = lineCount;
    if (options_.home && !homed_ && plan_.errorCount == 0)
      Note(0, "--home: the program has no line to run, so the table was not homed");
    plan_.workOffsets = {coords_.WorkOffset(0), coords_.WorkOffset(1), coords_.WorkOffset(2),
                         coords_.WorkOffset(3), coords_.WorkOffset(4), coords_.WorkOffset(5)};
    plan_.g92Offset = coords_.G92();
    plan_.activeWorkOffset = coords_.Active();
    plan_.toolLengthMm = coords_.ToolLength();
    if (ended_ && plan_.skippedLines > 0) {
      Note(plan_.endLine, std::to_string(plan_.skippedLines) +
                              " line(s) after the program end are not run (nor checked)");
    }
    // Errors of the program as a whole (line 0) come first, as the listing is by line.
    if (options_.fromLine > lineCount) {
      FrontError("--from-line " + std::to_string(options_.fromLine) + " is past the last line (" +
                 std::to_string(lineCount) + ")");
    }
    if (!emitter_.Emitting() && options_.fromLine > 0 && plan_.errorCount == 0) {
      FrontError("--from-line " + std::to_string(options_.fromLine) +
                 ": no line to run at or after it");
    }
    plan_.endSteps = emitter_.Steps();
    plan_.end = Carried();
    for (int axis = 0; axis < 3; ++axis)
      plan_.endMm[axis] = StepsToMm(plan_.endSteps[axis], machine_.axes[axis]);
    return std::move(plan_);
  }

 private:
  void Note(int line, std::string message) { plan_.notes.push_back({line, std::move(message)}); }

  // A move in LinuxCNC's canonical frame: program coordinates, program units.
  void Observe(CanonMove::Kind kind, const std::array<double, 3>& mm, const ArcPath* arc,
               int line) const {
    const double unit = Length(1.0);
    CanonMove move;
    move.kind = kind;
    move.line = line;
    for (int axis = 0; axis < 3; ++axis) move.end[axis] = coords_.ToProgram(axis, mm[axis]) / unit;
    if (arc) {
      move.plane = arc->l == 2 ? 17 : arc->l == 1 ? 18 : 19;
      move.centre = {coords_.ToProgram(arc->a, arc->ca) / unit,
                     coords_.ToProgram(arc->b, arc->cb) / unit};
      move.ccw = arc->sweep > 0;
    }
    options_.onMove(move);
  }
  // A line-0 error known only at the end, listed after the other line-0 errors.
  void FrontError(std::string message) {
    auto at = std::find_if(plan_.errors.begin(), plan_.errors.end(),
                           [](const Message& m) { return m.line > 0; });
    plan_.errors.insert(at, {0, std::move(message), "option"});
    ++plan_.errorCount;
    if (plan_.errors.size() > maxListedErrors) plan_.errors.pop_back();
  }

  double Length(double value) const { return value * modes_.MmPerUnit(); }

  // F, S, T and coolant: noted once (from the resume line on), before the block is checked.
  void Notes(const Block& block) {
    if (emitter_.Emitting()) onceNotes_.Add(block, plan_.notes);
    if (block.t) tool_ = *block.t;
    if (block.modal.toolChange == Code::M6) loadedTool_ = tool_;
  }

  // The whole block against the modes it runs in; the first refusal in `refusal`.
  bool Check(const Block& block, Refusal& refusal) const {
    BlockContext context{coords_, modes_.After(block.modal), loadedTool_, {}};
    const std::optional<Code> motion = context.next.motion;
    if (block.HasPolar() && motion && !IsCycle(*motion))
      PolarEnd(block, context.next.relative, nullptr, context.polarWhere);
    return CheckBlock(block, context, refusal);
  }

  // The position along `axes` (bit 0 X, 1 Y, 2 Z) is not known after a refused line: said once,
  // and errors that depend on it are not reported until the program gives the axis again.
  void ForgetAxes(std::uint8_t axes, int line) {
    bool forgot = false;
    for (int axis = 0; axis < 3; ++axis) {
      if (!(axes & (1u << axis)) || !known_[axis]) continue;
      known_[axis] = false;
      forgot = true;
    }
    if (!forgot) return;
    emitter_.SetKnownAxes(known_);
    if (unknownNoted_) return;
    unknownNoted_ = true;
    Note(line,
         "after this refused line the position is not known: errors that depend on it are not "
         "reported until the program gives the axis an absolute value again");
  }
  void KnowAxis(int axis) {
    if (known_[axis]) return;
    known_[axis] = true;
    emitter_.SetKnownAxes(known_);
  }

  // After a refused line, the checker goes on from where the line would have left the table:
  // its modes, and its end point where the words give it (the axes it names are forgotten where
  // they do not), so one fault is reported once rather than at every later line.
  void AfterRefusal(const Block& block) {
    const ModalBlock& m = block.modal;
    modes_ = modes_.After(m);
    if (m.motion) {
      if (!IsCycle(*m.motion)) {
        sticky_ = {};
        cycleStartZ_.reset();
      }
      cycleRefused_ = false;
    }
    if (!block.HasAxisWord() && m.nonModal != Code::G28 && m.nonModal != Code::G30) return;
    const std::uint8_t named = static_cast<std::uint8_t>(
        (block.x ? 1 : 0) | (block.y ? 2 : 0) | (block.z ? 4 : 0) | (block.HasPolar() ? 3 : 0));
    const bool plainMove = !ClaimsAxisWords(m) && m.toolLength != Code::G43_1 && modes_.motion &&
                           !IsCycle(*modes_.motion) && modes_.motion != Code::G80;
    std::string polarRefusal;
    if (plainMove &&
        (!block.HasPolar() || PolarEnd(block, modes_.relative, nullptr, polarRefusal))) {
      mm_ = EndPoint(block);
      LearnAxes(block);
      if (!emitter_.Emitting()) highestZ_ = std::max(highestZ_, mm_[2]);
      return;
    }
    if (m.nonModal == Code::G28 || m.nonModal == Code::G30) {
      ForgetAxes(block.HasAxisWord() ? named : 7, block.line);
    } else if (!ClaimsAxisWords(m)) {
      // A cycle line: where it leaves the tool along the hole depends on words that failed.
      ForgetAxes(static_cast<std::uint8_t>(named | 7), block.line);
      if (modes_.motion && IsCycle(*modes_.motion)) cycleRefused_ = true;
    }
  }

  // The slots in execution order: tool change, auxiliary state, dwell, modes, home and offsets,
  // motion, stops.
  void Execute(const Block& block) {
    const ModalBlock& m = block.modal;
    const int line = block.line;
    if (m.toolChange == Code::M6)
      emitter_.Pause("M6: change the tool" +
                         (tool_ >= 0 ? " to T" + std::to_string(tool_) : std::string()) +
                         ", then press Enter",
                     line, Purpose::toolChange);
    if (m.spindle) emitter_.SelectAux(m.spindle == Code::M5 ? 0 : 1, line);
    if (m.nonModal == Code::G4) emitter_.Dwell(*block.p, line);
    modes_ = modes_.After(m);
    coords_.Apply(block, mm_, Length(1.0), loadedTool_);
    if (m.nonModal == Code::G28 || m.nonModal == Code::G30) {
      const std::uint64_t callsBefore = emitter_.CallsEmitted();
      MoveToStored(block, coords_, modes_.relative, Length(1.0), emitter_, mm_);
      const std::optional<double> words[3] = {block.x, block.y, block.z};
      for (int axis = 0; axis < 3; ++axis) {
        if (!block.HasAxisWord() || words[axis]) KnowAxis(axis);  // at the stored position
      }
      if (emitter_.Emitting() && emitter_.CallsEmitted() > callsBefore) ++plan_.moves;
      if (!emitter_.Emitting()) highestZ_ = std::max(highestZ_, mm_[2]);
    }
    if (m.motion) {
      if (!IsCycle(*m.motion)) {
        sticky_ = {};
        cycleStartZ_.reset();
      }
      cycleRefused_ = false;
    }
    // A full circle may name no end point, only its centre.
    if ((block.HasAxisWord() || HasArcWords(block, {})) && !ClaimsAxisWords(m)) Motion(block);
    if (m.stop == Code::M0 || m.stop == Code::M1) {
      emitter_.Pause(
          CodeName('M', m.stop == Code::M0 ? 0 : 10) + ": program pause, press Enter to go on",
          line);
    }
    if (m.stop == Code::M2 || m.stop == Code::M30) {
      ended_ = true;
      plan_.endLine = line;
    }
  }

  // Runs on from an earlier program's state: its position, modes, offsets, tool, aux state.
  void Restore(const CarriedState& start) {
    for (int axis = 0; axis < 3; ++axis)
      mm_[axis] = StepsToMm(start.steps[axis], machine_.axes[axis]);
    highestZ_ = mm_[2];
    modes_ = start.modes;
    coords_.Restore(start.workOffsets, start.g92, start.activeWorkOffset, start.toolLengthMm);
    tool_ = start.tool;
    loadedTool_ = start.loadedTool;
    emitter_.StartAt(start.steps, start.aux);
  }
  CarriedState Carried() const {
    CarriedState state;
    state.steps = emitter_.Steps();
    state.modes = modes_;
    for (int system = 0; system < 6; ++system)
      state.workOffsets[system] = coords_.WorkOffset(system);
    state.g92 = coords_.G92();
    state.activeWorkOffset = coords_.Active();
    state.toolLengthMm = coords_.ToolLength();
    state.tool = tool_;
    state.loadedTool = loadedTool_;
    state.aux = emitter_.Aux();
    return state;
  }

  // Resuming at a line where the table stands, homed (the panel): the auxiliary output off for
  // the approach, Z up to the safe height (never down to it), X/Y over, Z down, then the aux
  // state the lines before selected.
  void ResumeHere(int line) {
    const std::array<double, 3> target = mm_;
    const int auxBefore = emitter_.Aux();
    CarriedState rebuilt = Carried();
    for (int axis = 0; axis < 3; ++axis)
      rebuilt.steps[axis] = MmToSteps(target[axis], machine_.axes[axis]);
    plan_.resumedFrom = rebuilt;
    emitter_.SetEmitting(true);
    const CarriedState& start = *options_.start;
    emitter_.StartAt(start.steps, start.aux);
    if (start.aux == 1) emitter_.SelectAux(0, line);
    const double safeZ =
        std::max(options_.resumeSafeZMm, StepsToMm(start.steps[2], machine_.axes[2]));
    const std::array<double, 3> here = {StepsToMm(start.steps[0], machine_.axes[0]),
                                        StepsToMm(start.steps[1], machine_.axes[1]), safeZ};
    emitter_.Reposition(here, line);
    emitter_.Reposition({target[0], target[1], safeZ}, line);
    emitter_.Reposition(target, line);
    mm_ = target;
    if (auxBefore >= 0) emitter_.SelectAux(auxBefore, line);
    Note(line, "resumed here: Z up to " + Format("%.3f mm, then X/Y over and Z down", safeZ));
  }

  // Resuming at a line: home, then Z up to the highest Z so far, X/Y over, Z down, aux state.
  void Resume(int line) {
    if (options_.start) {
      ResumeHere(line);
      return;
    }
    emitter_.SetEmitting(true);
    if (!machine_.reference) return;  // refused at the start
    const std::array<double, 3> target = mm_;
    const double safeZ = std::max(highestZ_, target[2]);
    const int auxBefore = emitter_.Aux();
    emitter_.ForgetAux();
    emitter_.Home(line, *machine_.reference);
    emitter_.Reposition({0.0, 0.0, safeZ}, line);
    emitter_.Reposition({target[0], target[1], safeZ}, line);
    emitter_.Reposition(target, line);
    mm_ = target;
    if (auxBefore >= 0) emitter_.SelectAux(auxBefore, line);
    Note(line, "resumed here: homed, then moved to the position the lines before leave (Z up to " +
                   Format("%.3f mm first)", safeZ));
  }

  // The XY end of a polar move in program mm; false with the refusal where it is indeterminate.
  bool PolarEnd(const Block& block, bool relative, std::array<double, 2>* xy,
                std::string& refusal) const {
    const std::array<double, 3> at = ProgramPosition();
    std::array<double, 2> end{};
    const bool ok =
        PolarPoint({at[0], at[1]}, known_[0] && known_[1],
                   {block.polarRadius ? std::optional(Length(*block.polarRadius)) : std::nullopt,
                    block.polarAngleDeg, relative},
                   end, refusal);
    if (ok && xy) *xy = end;
    return ok;
  }

  // The end point of a block in machine mm (G53: the words are machine mm already).
  std::array<double, 3> EndPoint(const Block& block) const {
    std::array<double, 3> end = mm_;
    const std::optional<double> words[3] = {block.x, block.y, block.z};
    const bool machine = block.modal.nonModal == Code::G53;
    if (block.HasPolar()) {
      std::array<double, 2> xy{};
      std::string refusal;
      PolarEnd(block, modes_.relative, &xy, refusal);  // checked before
      for (int axis = 0; axis < 2; ++axis) end[axis] = coords_.ToMachine(axis, xy[axis]);
    }
    for (int axis = 0; axis < 3; ++axis) {
      if (!words[axis]) continue;
      const double mm = Length(*words[axis]);
      end[axis] = machine ? mm : modes_.relative ? mm_[axis] + mm : coords_.ToMachine(axis, mm);
    }
    return end;
  }

  // After a move to EndPoint: the axes it gave absolute values are known again.
  void LearnAxes(const Block& block) {
    const std::optional<double> words[3] = {block.x, block.y, block.z};
    const bool absolute = !modes_.relative || block.modal.nonModal == Code::G53;
    for (int axis = 0; axis < 3; ++axis) {
      if (words[axis] && absolute) KnowAxis(axis);
    }
    if (!modes_.relative && block.polarRadius && block.polarAngleDeg) {
      KnowAxis(0);
      KnowAxis(1);
    }
  }

  void Motion(const Block& block) {
    const int line = block.line;
    if (modes_.motion && IsCycle(*modes_.motion)) {
      if (block.HasAxisWord()) Cycle(block);
      return;
    }
    const std::array<double, 3> end = EndPoint(block);
    const std::uint64_t callsBefore = emitter_.CallsEmitted();
    if (modes_.motion == Code::G2 || modes_.motion == Code::G3) {
      ArcPath arc;
      const bool ok = Arc(block, end, modes_.motion == Code::G3, arc);
      LearnAxes(block);  // the end is known whatever the start was
      if (!ok) {
        mm_ = end;  // where the line would have left the table: no cascade of errors after it
        return;
      }
      emitter_.ArcFeed(arc, line);
    } else {
      LearnAxes(block);
      if (modes_.motion == Code::G0) {
        emitter_.Traverse(end, line);
      } else {
        emitter_.Feed(end, line);
      }
    }
    mm_ = end;
    if (emitter_.Emitting() && emitter_.CallsEmitted() > callsBefore) ++plan_.moves;
    if (!emitter_.Emitting()) highestZ_ = std::max(highestZ_, mm_[2]);
  }

  // A program number: the program's name, on its first line with words.
  void ProgramNumber(const Block& block) {
    if (begun_ || plan_.program) {
      plan_.AddError(block.line,
                     "a program number (" + *block.programName +
                         ") is accepted only before the program's first block",
                     "program-number");
      return;
    }
    plan_.program = *block.programName;
  }

  // The current position in program coordinates (work offset, G92 and tool length taken off).
  std::array<double, 3> ProgramPosition() const {
    return {coords_.ToProgram(0, mm_[0]), coords_.ToProgram(1, mm_[1]),
            coords_.ToProgram(2, mm_[2])};
  }
  std::array<double, 3> ToMachine(const std::array<double, 3>& program) const {
    return {coords_.ToMachine(0, program[0]), coords_.ToMachine(1, program[1]),
            coords_.ToMachine(2, program[2])};
  }

  // A drilling cycle line as it will run, with the modes its own codes set.
  CycleLine CycleLineOf(const Block& block) const {
    const ModalState next = modes_.After(block.modal);
    const std::array<int, 3> axes = CycleAxes(next.plane);
    const std::array<double, 3> at = ProgramPosition();
    return MakeCycleLine(block, {next.motion.value_or(Code::G80),
                                 next.inches,
                                 next.relative,
                                 next.cycleToR,
                                 cycleStartZ_.value_or(at[axes[2]]),
                                 axes,
                                 {at[0], at[1]}});
  }

  // The cycle's sticky words and levels of a line that runs one; the refusal in `refusal`.
  bool CheckCycleLine(const Block& block, Refusal& refusal) {
    const ModalState next = modes_.After(block.modal);
    if (!next.motion || !IsCycle(*next.motion) || !block.HasAxisWord()) return true;
    CycleSticky sticky = sticky_;  // empty unless a cycle is in force
    const CycleLine line = CycleLineOf(block);
    const std::array<int, 3> axes = CycleAxes(next.plane);
    if (line.relative && block.HasPolar() && known_[0] && known_[1] &&
        ProgramPosition()[0] == 0.0 && ProgramPosition()[1] == 0.0) {
      refusal = {"polar", "polar coordinates in G91 are indeterminate at the XY origin"};
      return false;
    }
    refusal.message = CheckCycle(line, sticky, ToCycle(ProgramPosition(), axes), known_[axes[2]]);
    if (!refusal.message.empty()) {
      refusal.code = "cycle";
      return false;
    }
    pendingSticky_ = sticky;
    return true;
  }

  // Runs an accepted cycle line: each move through the program-to-machine conversion and the
  // emitter.
  void Cycle(const Block& block) {
    const int line = block.line;
    CycleLine cycle = CycleLineOf(block);
    const std::array<int, 3> axes = CycleAxes(modes_.plane);
    sticky_ = pendingSticky_;
    if (!cycleStartZ_) cycleStartZ_ = cycle.startZ;
    const std::uint64_t callsBefore = emitter_.CallsEmitted();
    if (!cycle.relative) {
      // Absolute words give where the holes are; a G99 run ends at R, known too.
      if (cycle.x || block.HasPolar()) KnowAxis(axes[0]);
      if (cycle.y || block.HasPolar()) KnowAxis(axes[1]);
      if (cycle.retractToR) KnowAxis(axes[2]);
    }
    const std::array<double, 3> end = FromCycle(
        ExpandCycle(cycle, sticky_, ToCycle(ProgramPosition(), axes),
                    [&](const CycleMove& move) {
                      const std::array<double, 3> machine = ToMachine(FromCycle(move.to, axes));
                      if (move.kind == CycleMove::Kind::rapid) emitter_.Traverse(machine, line);
                      if (move.kind == CycleMove::Kind::feed) emitter_.Feed(machine, line);
                      if (move.kind == CycleMove::Kind::dwell) emitter_.Dwell(move.seconds, line);
                      if (!emitter_.Emitting()) highestZ_ = std::max(highestZ_, machine[2]);
                    }),
        axes);
    mm_ = ToMachine(end);
    if (emitter_.Emitting() && emitter_.CallsEmitted() > callsBefore) ++plan_.moves;
  }

  // G2/G3 in the selected plane (G17 XY, G18 ZX, G19 YZ), centre by I/J/K or radius by R.
  bool Arc(const Block& block, const std::array<double, 3>& end, bool ccw, ArcPath& arc) {
    ArcRequest request;
    request.from = mm_;
    request.to = end;
    request.ccw = ccw;
    request.inches = modes_.inches;
    request.chordToleranceMm = machine_.arcToleranceMm;
    const std::array<double, 3> programZero = ToMachine({0.0, 0.0, 0.0});
    ArcRefusal refusal;
    const bool words =
        ArcRequestOf({block.i, block.j, block.k, block.r}, modes_.plane, modes_.MmPerUnit(),
                     modes_.arcAbsolute, programZero, request, refusal);
    // Where the start is not known (a refused line before), the end-point rule would only repeat
    // that line's fault.
    const bool startKnown = known_[request.a] && known_[request.b];
    if (words && MakeArc(request, startKnown, arc, refusal)) return true;
    if (words && !startKnown) return false;  // moved without a call: the plan is refused already
    plan_.AddError(block.line, refusal.message, refusal.code);
    return false;
  }

  const Machine& machine_;
  const PlanOptions& options_;
  CallSink sink_;
  Plan plan_;
  Emitter emitter_;

  bool homing_;         // --home or --from-line: the reference run before the first line
  bool homed_ = false;  // it has been planned
  Coordinates coords_;
  std::array<double, 3> mm_{};  // commanded position, machine mm
  ModalState modes_;            // units, distance modes, plane, motion mode, cycle return level
  int tool_ = -1;               // the last T word
  int loadedTool_ = -1;         // the T of the last M6
  bool ended_ = false;
  bool begun_ = false;  // a block or a refused line was read (a program number comes first)
  CycleSticky sticky_, pendingSticky_;
  std::optional<double> cycleStartZ_;  // program Z where this run of cycles began
  double highestZ_ = 0.0;
  OnceNotes onceNotes_;
  std::array<bool, 3> known_{true, true, true};  // false after a refused line names the axis
  bool unknownNoted_ = false;
  bool cycleRefused_ = false;  // a line of the cycles in force was refused
  JobParameters parameters_{coords_};
  int lastLine_ = 0;
};

StreamPlanner::StreamPlanner(const Machine& machine, const PlanOptions& options, CallSink sink)
    : impl_(std::make_unique<Impl>(machine, options, std::move(sink))) {}
StreamPlanner::~StreamPlanner() = default;

void StreamPlanner::Line(LineKind kind, const Block& block, const std::string& error, int line) {
  impl_->Line(kind, block, error, line);
}
bool StreamPlanner::Ended() const {
  return impl_->Ended();
}
Parameters& StreamPlanner::Params() {
  return impl_->Params();
}
Plan StreamPlanner::Finish(int lineCount) {
  return impl_->Finish(lineCount);
}

}  // namespace gcode
