// Interpreter and planner. Positions are kept in machine mm as commanded and turned into whole
// motor steps from the absolute position at every segment end, so rounding never accumulates.
// Segments become vectorOut calls below the library's 32000-step limit; arcs become chords
// within the machine's tolerance; the auxiliary state rides on the z codes.
#include "planner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <optional>

#include "contract/steplink_contract.h"

namespace gcode {
namespace {

constexpr std::int64_t maxCallSteps = STEPLINK_MOVE_STEP_LIMIT - 1;  // 31999
constexpr double limitSlackMm = 1e-9;
constexpr double samePointMm = 1e-6;
constexpr const char* axisNames[3] = {"X", "Y", "Z"};

std::int64_t Abs(std::int64_t value) {
  return value < 0 ? -value : value;
}

bool Has(const Block& block, int code, bool m = false) {
  const auto& codes = m ? block.mCodes : block.gCodes;
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

class Planner {
 public:
  Planner(const Program& program, const Machine& machine, const PlanOptions& options)
      : program_(program), machine_(machine), options_(options), model_(options.profile) {}

  Plan Run() {
    plan_.lines = program_.lineCount;
    emitting_ = options_.fromLine <= 0;
    if (options_.fromLine > 0) CheckFromLine();
    for (const Block& block : program_.blocks) {
      if (ended_) break;
      // Refusals of the reader up to this line: the job is refused, so no calls are kept.
      while (parseErrorsSeen_ < program_.errors.size() &&
             program_.errors[parseErrorsSeen_].line <= block.line) {
        ++parseErrorsSeen_;
      }
      if (!emitting_ && block.line >= options_.fromLine) Resume(block.line);
      Interpret(block);
      if (tooMany_) break;
    }
    // The reader's refusals, but not those after the end: those lines are never run.
    for (const Message& m : program_.errors) {
      if (!ended_ || m.line <= plan_.endLine) plan_.errors.push_back(m);
    }
    if (ended_) {
      for (const Block& block : program_.blocks) plan_.skippedLines += block.line > plan_.endLine;
      for (const Message& m : program_.errors) plan_.skippedLines += m.line > plan_.endLine;
    }
    if (ended_ && plan_.skippedLines > 0) {
      Note(plan_.endLine, std::to_string(plan_.skippedLines) +
                              " line(s) after the program end are not run (nor checked)");
    }
    if (!emitting_ && options_.fromLine > 0 && plan_.errors.empty()) {
      Error(0,
            "--from-line " + std::to_string(options_.fromLine) + ": no line to run at or after it");
    }
    std::stable_sort(plan_.errors.begin(), plan_.errors.end(),
                     [](const Message& a, const Message& b) { return a.line < b.line; });
    plan_.endSteps = steps_;
    for (int axis = 0; axis < 3; ++axis)
      plan_.endMm[axis] = StepsToMm(steps_[axis], machine_.axes[axis]);
    return std::move(plan_);
  }

 private:
  // ---- messages ----
  void Error(int line, std::string message) { plan_.errors.push_back({line, std::move(message)}); }
  void Note(int line, std::string message) { plan_.notes.push_back({line, std::move(message)}); }
  void NoteOnce(bool& done, int line, std::string message) {
    if (done || !emitting_) return;
    done = true;
    Note(line, std::move(message));
  }

  void CheckFromLine() {
    if (!machine_.reference) {
      Error(0,
            "--from-line needs the machine file's [job] reference: a new process cannot know "
            "where the table stands without homing first");
    }
    if (options_.fromLine > program_.lineCount) {
      Error(0, "--from-line " + std::to_string(options_.fromLine) + " is past the last line (" +
                   std::to_string(program_.lineCount) + ")");
    }
  }

  // ---- emitting calls ----
  void Emit(PlannedCall call) {
    if (!emitting_) return;
    if (plan_.calls.size() >= options_.maxCalls) {
      if (!tooMany_) {
        Error(call.line, "the program needs more than " + std::to_string(options_.maxCalls) +
                             " calls; it is refused");
      }
      tooMany_ = true;
      return;
    }
    call.endSteps = steps_;
    call.aux = auxSelected_;
    call.startSeconds = plan_.durationSeconds;
    plan_.durationSeconds += call.seconds;
    if (call.kind == CallKind::vectorOut) ++plan_.vectorOutCalls;
    if (call.kind == CallKind::reference) ++plan_.referenceCalls;
    plan_.calls.push_back(std::move(call));
  }

  int AuxCode() const { return auxSelected_ == 1 ? STEPLINK_Z_AUX_PLUS : STEPLINK_Z_AUX_MINUS; }

  void ApplyAux(int line, Purpose purpose) {
    PlannedCall call;
    call.purpose = purpose;
    call.line = line;
    call.args = {0, 0, AuxCode()};
    call.seconds = model_.MoveSeconds(0, true, false);
    if (purpose == Purpose::reapply && emitting_) ++plan_.reapplications;
    Emit(std::move(call));
  }

  // Moves in a straight line (in steps) to a position in motor steps, in calls below 32000
  // steps on every axis; returns whether Z moved.
  bool StepTo(const std::array<std::int64_t, 3>& target, Purpose purpose, int line) {
    const std::array<std::int64_t, 3> start = steps_;
    std::int64_t longest = 0;
    for (int axis = 0; axis < 3; ++axis)
      longest = std::max(longest, Abs(target[axis] - start[axis]));
    if (longest == 0) return false;  // a zero-step segment is merged into the next
    if (!emitting_ || !plan_.errors.empty() || parseErrorsSeen_ > 0) {
      // Not run (before --from-line, or refused): only the position matters.
      const bool zMotion = target[2] != start[2];
      steps_ = target;
      return zMotion;
    }
    const std::int64_t parts = (longest + maxCallSteps - 1) / maxCallSteps;
    bool zMoved = false;
    for (std::int64_t part = 1; part <= parts && !tooMany_; ++part) {
      std::array<std::int64_t, 3> next{};
      for (int axis = 0; axis < 3; ++axis) {
        // Integer interpolation: every part's end is rounded from the whole distance.
        const std::int64_t distance = target[axis] - start[axis];
        next[axis] = part == parts ? target[axis] : start[axis] + (distance * part) / parts;
      }
      PlannedCall call;
      call.purpose = purpose;
      call.line = line;
      std::int64_t lead = 0;
      for (int axis = 0; axis < 3; ++axis) {
        const std::int64_t delta = next[axis] - steps_[axis];
        lead = std::max(lead, Abs(delta));
        call.args[axis] = static_cast<std::int32_t>(delta);
        plan_.stepsPerAxis[axis] += static_cast<std::uint64_t>(Abs(delta));
      }
      const bool zMotion = call.args[2] != 0;
      if (!zMotion && auxSelected_ >= 0) call.args[2] = STEPLINK_Z_KEEP_LATCH;
      zMoved = zMoved || zMotion;
      call.seconds = model_.MoveSeconds(lead, false, auxSelected_ < 0 || zMotion);
      steps_ = next;
      Emit(std::move(call));
    }
    return zMoved;
  }

  // Soft limits on the rounded steps; one message per line.
  bool WithinLimits(const std::array<std::int64_t, 3>& target, int line) {
    for (int axis = 0; axis < 3; ++axis) {
      const Axis& spec = machine_.axes[axis];
      const double mm = StepsToMm(target[axis], spec);
      if (mm < spec.minMm - limitSlackMm || mm > spec.maxMm + limitSlackMm) {
        plan_.limitsOk = false;
        if (limitLine_ != line) {
          limitLine_ = line;
          const bool low = mm < spec.minMm;
          Error(line, std::string(axisNames[axis]) +
                          Format(" %.4f mm (%.0f steps) is beyond the soft limit ", mm,
                                 static_cast<double>(target[axis])) +
                          (low ? "min_mm " : "max_mm ") +
                          Format("%g", low ? spec.minMm : spec.maxMm));
        }
        return false;
      }
    }
    return true;
  }

  // Moves to a point in machine mm: rounded, checked, stepped; false past a soft limit.
  bool MoveToMm(const std::array<double, 3>& mm, Purpose purpose, int line, bool& zMoved) {
    std::array<std::int64_t, 3> target{};
    for (int axis = 0; axis < 3; ++axis) target[axis] = MmToSteps(mm[axis], machine_.axes[axis]);
    const bool inside = WithinLimits(target, line);
    // Past a limit the position still follows the program, so later lines are judged as written.
    if (!inside) {
      steps_ = target;
      return false;
    }
    zMoved = StepTo(target, purpose, line) || zMoved;
    return true;
  }

  // ---- the interpreter ----
  double Length(double value) const { return value * (inches_ ? 25.4 : 1.0); }

  void Interpret(const Block& block) {
    const int line = block.line;
    if (block.f)
      NoteOnce(fNoted_, line,
               "F is not honoured: the library's own speed profile runs every move (later F words "
               "are not noted)");
    if (block.s)
      NoteOnce(sNoted_, line,
               "S is not honoured: the auxiliary output is on or off only (later S words are not "
               "noted)");
    if (block.t) tool_ = *block.t;
    for (const int code : {70, 80, 90}) {
      if (Has(block, code, true))
        NoteOnce(coolantNoted_, line,
                 CodeName('M', code) + " (coolant) is ignored (later ones are not noted)");
    }
    const bool dwell = Has(block, 40);
    const bool home = Has(block, 280);
    const bool setOffset = Has(block, 920);
    const bool clearOffset = Has(block, 921);
    int motion = -1;
    for (const int code : {0, 10, 20, 30, 800}) {
      if (Has(block, code)) motion = code;
    }
    if ((home || setOffset) && motion >= 0 && block.HasAxisWord()) {
      Error(line, "G28/G92 and a motion on one line both claim the axis words");
      return;
    }
    if (block.p && !dwell) {
      Error(line, "P is used only with G4 (dwell)");
      return;
    }
    const bool arcWords = block.i || block.j || block.k || block.r;
    const int activeMotion = motion >= 0 ? motion : motion_;
    if (arcWords && !(activeMotion == 20 || activeMotion == 30)) {
      Error(line, "I, J, K or R without an arc (G2/G3)");
      return;
    }
    if (arcWords && (home || setOffset)) {
      Error(line, "I, J, K or R with G28/G92");
      return;
    }

    // M6: a pause for a manual tool change.
    if (Has(block, 60, true))
      Pause(line, "M6: change the tool" +
                      (tool_ >= 0 ? " to T" + std::to_string(tool_) : std::string()) +
                      ", then press Enter");
    // Auxiliary output.
    if (Has(block, 30, true) || Has(block, 40, true)) {
      auxSelected_ = 1;
      ApplyAux(line, Purpose::aux);
    } else if (Has(block, 50, true)) {
      auxSelected_ = 0;
      ApplyAux(line, Purpose::aux);
    }
    if (dwell) {
      if (!block.p) {
        Error(line, "G4 needs P (the dwell in seconds)");
        return;
      }
      if (*block.p < 0) {
        Error(line, "G4 P must not be negative");
        return;
      }
      PlannedCall call;
      call.kind = CallKind::dwell;
      call.purpose = Purpose::dwell;
      call.line = line;
      call.seconds = *block.p;
      call.text = Format("dwell %g s", *block.p);
      Emit(std::move(call));
    }
    if (Has(block, 170)) plane_ = 17;
    if (Has(block, 180)) plane_ = 18;
    if (Has(block, 190)) plane_ = 19;
    if (Has(block, 200)) inches_ = true;
    if (Has(block, 210)) inches_ = false;
    if (Has(block, 900)) relative_ = false;
    if (Has(block, 910)) relative_ = true;
    if (Has(block, 901)) arcAbsolute_ = true;
    if (Has(block, 911)) arcAbsolute_ = false;

    if (home) {
      if (block.HasAxisWord()) {
        Error(line, "G28 with axis words (an intermediate point) is not supported: use G28 alone");
        return;
      }
      Home(line);
    } else if (setOffset) {
      if (!block.HasAxisWord()) {
        Error(line, "G92 needs at least one axis word");
        return;
      }
      const std::optional<double> words[3] = {block.x, block.y, block.z};
      for (int axis = 0; axis < 3; ++axis) {
        if (words[axis]) offset_[axis] = mm_[axis] - Length(*words[axis]);
      }
    } else if (clearOffset) {
      offset_ = {0.0, 0.0, 0.0};
    }

    if (motion >= 0) motion_ = motion;
    // A full circle may name no end point, only its centre.
    if ((block.HasAxisWord() || arcWords) && !home && !setOffset) {
      if (motion_ < 0) {
        Error(line, "axis words with no motion mode (G0, G1, G2 or G3) in force");
      } else if (motion_ == 800) {
        Error(line, "axis words after G80 (motion mode cancelled)");
      } else {
        Motion(block, motion_ == 30 ? 20 : motion_, motion_ == 30);
      }
    }

    if (Has(block, 0, true) || Has(block, 10, true)) {
      Pause(line,
            CodeName('M', Has(block, 0, true) ? 0 : 10) + ": program pause, press Enter to go on");
    }
    if (Has(block, 20, true) || Has(block, 300, true)) {
      ended_ = true;
      plan_.endLine = line;
    }
  }

  void Pause(int line, std::string text) {
    PlannedCall call;
    call.kind = CallKind::pause;
    call.purpose = Purpose::pause;
    call.line = line;
    call.text = std::move(text);
    Emit(std::move(call));
  }

  void Home(int line) {
    if (!machine_.reference) {
      Error(line, "G28 needs a reference run: the machine file names none ([job] reference)");
      return;
    }
    const auto& backOff = *machine_.reference;
    // Z first, so the tool is lifted clear before X and Y creep; the auxiliary codes are never
    // passed to reference (its pairing of codes and states differs from vectorOut's).
    for (int stage = 0; stage < 2; ++stage) {
      PlannedCall call;
      call.kind = CallKind::reference;
      call.purpose = Purpose::reference;
      call.line = line;
      if (stage == 0) {
        call.args = {0, 0, backOff[2]};
        call.seconds = model_.ReferenceStageSeconds(CreepEstimate(2), backOff[2]);
        steps_[2] = 0;
      } else {
        call.args = {backOff[0], backOff[1], 0};
        call.seconds = model_.ReferenceStageSeconds(CreepEstimate(0), backOff[0]) +
                       model_.ReferenceStageSeconds(CreepEstimate(1), backOff[1]);
        steps_[0] = steps_[1] = 0;
      }
      Emit(std::move(call));
    }
    mm_ = {0.0, 0.0, 0.0};
    if (auxSelected_ >= 0) ApplyAux(line, Purpose::reapply);
  }

  // Steps the creep makes: from where the axis stands down to the switch, which lies the
  // back-off below machine 0 (before the first G28, the start is taken as the reference point).
  std::int64_t CreepEstimate(int axis) const {
    return std::max<std::int64_t>(0, steps_[axis] + (*machine_.reference)[axis]);
  }

  // Resuming at a line: home, then Z up to the highest Z so far, X/Y over, Z down, aux state.
  void Resume(int line) {
    emitting_ = true;
    if (!machine_.reference) return;  // refused in CheckFromLine
    const std::array<double, 3> target = mm_;
    const double safeZ = std::max(highestZ_, target[2]);
    const int auxBefore = auxSelected_;
    auxSelected_ = -1;
    Home(line);
    bool zMoved = false;
    MoveToMm({0.0, 0.0, safeZ}, Purpose::resume, line, zMoved);
    MoveToMm({target[0], target[1], safeZ}, Purpose::resume, line, zMoved);
    MoveToMm(target, Purpose::resume, line, zMoved);
    mm_ = target;
    auxSelected_ = auxBefore;
    if (auxSelected_ >= 0) ApplyAux(line, Purpose::aux);
    Note(line, "resumed here: homed, then moved to the position the lines before leave (Z up to " +
                   Format("%.3f mm first)", safeZ));
  }

  // The end point of a block in machine mm.
  std::array<double, 3> EndPoint(const Block& block) const {
    std::array<double, 3> end = mm_;
    const std::optional<double> words[3] = {block.x, block.y, block.z};
    for (int axis = 0; axis < 3; ++axis) {
      if (!words[axis]) continue;
      end[axis] =
          relative_ ? mm_[axis] + Length(*words[axis]) : Length(*words[axis]) + offset_[axis];
    }
    return end;
  }

  void Motion(const Block& block, int code, bool counterClockwise) {
    const int line = block.line;
    const std::array<double, 3> end = EndPoint(block);
    const Purpose purpose = code == 0 ? Purpose::rapid : Purpose::cut;
    bool zMoved = false;
    const std::size_t callsBefore = plan_.calls.size();
    if (code == 20) {
      if (!Arc(block, end, counterClockwise, zMoved)) return;
    } else {
      MoveToMm(end, purpose, line, zMoved);
    }
    mm_ = end;
    if (emitting_ && plan_.calls.size() > callsBefore) ++plan_.moves;
    if (!emitting_) highestZ_ = std::max(highestZ_, mm_[2]);
    if (zMoved && auxSelected_ >= 0) ApplyAux(line, Purpose::reapply);
  }

  // G2/G3 in the selected plane (G17 XY, G18 ZX, G19 YZ), centre by I/J/K or radius by R.
  bool Arc(const Block& block, const std::array<double, 3>& end, bool ccw, bool& zMoved) {
    const int line = block.line;
    int a = 0, b = 1, l = 2;
    if (plane_ == 18) a = 2, b = 0, l = 1;
    if (plane_ == 19) a = 1, b = 2, l = 0;
    const std::optional<double> offsets[3] = {block.i, block.j, block.k};
    if (offsets[l]) {
      Error(line, std::string("the word '") + "IJK"[l] + "' is not used by arcs in the G" +
                      std::to_string(plane_) + " plane");
      return false;
    }
    const double tolerance = machine_.arcToleranceMm;
    const double sa = mm_[a], sb = mm_[b];
    const double ea = end[a], eb = end[b];
    const double chord = std::hypot(ea - sa, eb - sb);
    double ca = 0, cb = 0;
    if (block.r) {
      if (offsets[a] || offsets[b]) {
        Error(line, "an arc takes either R or I/J/K, not both");
        return false;
      }
      const double radius = Length(*block.r);
      if (chord < samePointMm) {
        Error(line, "an R arc needs an end point away from its start (a full circle takes I/J/K)");
        return false;
      }
      const double r = std::fabs(radius);
      if (r < chord / 2 - tolerance) {
        Error(line, Format("R %.4f mm is too small for an end point %.4f mm away", r, chord));
        return false;
      }
      const double h = std::sqrt(std::max(0.0, r * r - chord * chord / 4));
      const double ma = (sa + ea) / 2, mb = (sb + eb) / 2;
      // Left of the chord for a short counter-clockwise arc or a long clockwise one.
      const double side = (ccw == (radius > 0)) ? 1.0 : -1.0;
      ca = ma - side * h * (eb - sb) / chord;
      cb = mb + side * h * (ea - sa) / chord;
    } else {
      if (!offsets[a] && !offsets[b]) {
        Error(line, "an arc needs its centre (I/J/K) or its radius (R)");
        return false;
      }
      const double oa = offsets[a] ? Length(*offsets[a]) : 0.0;
      const double ob = offsets[b] ? Length(*offsets[b]) : 0.0;
      ca = arcAbsolute_ ? oa + offset_[a] : sa + oa;
      cb = arcAbsolute_ ? ob + offset_[b] : sb + ob;
    }
    const double r1 = std::hypot(sa - ca, sb - cb);
    const double r2 = std::hypot(ea - ca, eb - cb);
    if (r1 < samePointMm) {
      Error(line, "the arc's centre is its start point");
      return false;
    }
    if (std::fabs(r1 - r2) > tolerance) {
      Error(line, Format("the end point is not on the arc: radius %.4f mm at the start, %.4f mm at "
                         "the end (more than arc_tolerance_mm apart)",
                         r1, r2));
      return false;
    }
    const double start = std::atan2(sb - cb, sa - ca);
    double sweep = std::atan2(eb - cb, ea - ca) - start;
    const bool fullCircle = chord < samePointMm;
    if (fullCircle) {
      sweep = ccw ? 2 * std::numbers::pi : -2 * std::numbers::pi;
    } else if (ccw && sweep <= 0) {
      sweep += 2 * std::numbers::pi;
    } else if (!ccw && sweep >= 0) {
      sweep -= 2 * std::numbers::pi;
    }
    const double rMax = std::max(r1, r2);
    double maxAngle = std::numbers::pi / 2;
    if (tolerance < rMax) maxAngle = std::min(maxAngle, 2 * std::acos(1 - tolerance / rMax));
    const auto chords =
        static_cast<std::int64_t>(std::max(1.0, std::ceil(std::fabs(sweep) / maxAngle)));
    if (chords > 1'000'000) {
      Error(line, "the arc needs more than a million chords");
      return false;
    }
    bool inside = true;
    for (std::int64_t i = 1; i <= chords && !tooMany_; ++i) {
      std::array<double, 3> point = end;
      if (i < chords) {
        const double f = static_cast<double>(i) / static_cast<double>(chords);
        const double angle = start + sweep * f;
        const double radius = r1 + (r2 - r1) * f;
        point[a] = ca + radius * std::cos(angle);
        point[b] = cb + radius * std::sin(angle);
        point[l] = mm_[l] + (end[l] - mm_[l]) * f;
      }
      inside = MoveToMm(point, Purpose::cut, line, zMoved) && inside;
    }
    return true;
  }

  const Program& program_;
  const Machine& machine_;
  const PlanOptions& options_;
  DurationModel model_;
  Plan plan_;

  std::array<double, 3> mm_{};           // commanded position, machine mm
  std::array<std::int64_t, 3> steps_{};  // its whole motor steps
  std::array<double, 3> offset_{};       // G92: machine = work + offset
  bool inches_ = false;
  bool relative_ = false;
  bool arcAbsolute_ = false;
  int plane_ = 17;
  int motion_ = -1;  // none until the first G0/G1/G2/G3
  int auxSelected_ = -1;
  int tool_ = -1;
  bool ended_ = false;
  bool emitting_ = true;
  bool tooMany_ = false;
  double highestZ_ = 0.0;
  int limitLine_ = -1;
  std::size_t parseErrorsSeen_ = 0;
  bool fNoted_ = false, sNoted_ = false, coolantNoted_ = false;
};

}  // namespace

std::int64_t MmToSteps(double mm, const Axis& axis) {
  const double exact = mm * axis.stepsPerMm;
  // Half away from zero, with a hair of slack so that 0.025 mm at 20 steps/mm is the tie it
  // was written as rather than whatever its binary neighbour is.
  const double magnitude = std::floor(std::fabs(exact) + 0.5 + 1e-9);
  const auto steps = static_cast<std::int64_t>(exact < 0 ? -magnitude : magnitude);
  return axis.invert ? -steps : steps;
}

double StepsToMm(std::int64_t steps, const Axis& axis) {
  return static_cast<double>(axis.invert ? -steps : steps) / axis.stepsPerMm;
}

Plan PlanProgram(const Program& program, const Machine& machine, const PlanOptions& options) {
  return Planner(program, machine, options).Run();
}

}  // namespace gcode
