// The call emitter. Every end is rounded to whole steps from its absolute position in mm, so
// rounding never accumulates; a segment is cut into calls below the library's 32000-step limit
// by integer interpolation, so a Z distance never lands on a z code (+-32000, 32222).
#include "plan/emitter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "contract/steplink_contract.h"

namespace gcode {
namespace {

constexpr std::int64_t maxCallSteps = STEPLINK_MOVE_STEP_LIMIT - 1;  // 31999
constexpr double limitSlackMm = 1e-9;
constexpr const char* axisNames[3] = {"X", "Y", "Z"};

__extension__ typedef __int128 Wide;
// Above this many calls in one move, counting (pass 1) takes the closed form.
constexpr std::int64_t countedPartsAbove = 64;  // distance times part of a split move

std::int64_t Abs(std::int64_t value) {
  return value < 0 ? -value : value;
}

std::string Format(const char* format, double a, double b = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

}  // namespace

Emitter::Emitter(const Machine& machine, const Profile& profile, Plan& plan, const CallSink& sink,
                 std::size_t maxCalls)
    : machine_(machine), plan_(plan), sink_(sink), maxCalls_(maxCalls), model_(profile) {}

void Emitter::Emit(PlannedCall call) {
  if (!emitting_) return;
  if (maxCalls_ > 0 && callsEmitted_ >= maxCalls_) {
    if (callsEmitted_ == maxCalls_) {
      plan_.AddError(
          call.line,
          "the program needs more than " + std::to_string(maxCalls_) + " calls; it is refused",
          "too-many-calls");
      ++callsEmitted_;  // reported once
    }
    return;
  }
  call.index = plan_.callCount;
  call.fromSteps = entryFrom_;
  call.endSteps = steps_;
  entryFrom_ = steps_;
  call.aux = aux_;
  call.startSeconds = plan_.durationSeconds;
  plan_.durationSeconds += call.seconds;
  if (call.kind == CallKind::vectorOut) ++plan_.vectorOutCalls;
  if (call.kind == CallKind::reference) ++plan_.referenceCalls;
  if (call.kind == CallKind::vectorOut || call.kind == CallKind::reference)
    call.callNumber = static_cast<std::uint64_t>(plan_.vectorOutCalls) +
                      static_cast<std::uint64_t>(plan_.referenceCalls);
  ++plan_.callCount;
  plan_.lastEntryLine = call.line;
  ++callsEmitted_;
  if (sink_) sink_(call);
}

void Emitter::ApplyAux(int line, Purpose purpose) {
  PlannedCall call;
  call.purpose = purpose;
  call.line = line;
  call.args = {0, 0, aux_ == 1 ? STEPLINK_Z_AUX_PLUS : STEPLINK_Z_AUX_MINUS};
  call.seconds = model_.MoveSeconds(0, true, false);
  if (purpose == Purpose::reapply && emitting_) ++plan_.reapplications;
  Emit(std::move(call));
}

void Emitter::StepTo(const std::array<std::int64_t, 3>& target, Purpose purpose, int line) {
  const std::array<std::int64_t, 3> start = steps_;
  std::int64_t longest = 0;
  for (int axis = 0; axis < 3; ++axis) longest = std::max(longest, Abs(target[axis] - start[axis]));
  if (longest == 0) return;  // a zero-step segment is merged into the next
  if (!emitting_ || Refused()) {
    // Not run (before --from-line, or refused): only the position matters.
    zMoved_ = zMoved_ || target[2] != start[2];
    steps_ = target;
    return;
  }
  const std::int64_t parts = (longest + maxCallSteps - 1) / maxCallSteps;
  if (!sink_ && maxCalls_ == 0 && parts > countedPartsAbove) {
    CountParts(start, target, longest, parts, purpose);
    plan_.lastEntryLine = line;
    return;
  }
  for (std::int64_t part = 1; part <= parts && !Refused(); ++part) {
    std::array<std::int64_t, 3> next{};
    for (int axis = 0; axis < 3; ++axis) {
      // Integer interpolation: every part's end is rounded from the whole distance.
      const std::int64_t distance = target[axis] - start[axis];
      next[axis] =
          part == parts
              ? target[axis]
              : start[axis] + static_cast<std::int64_t>(static_cast<Wide>(distance) * part / parts);
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
    if (!zMotion && aux_ >= 0) call.args[2] = STEPLINK_Z_KEEP_LATCH;
    zMoved_ = zMoved_ || zMotion;
    call.seconds = model_.MoveSeconds(lead, false, aux_ < 0 || zMotion);
    steps_ = next;
    Emit(std::move(call));
  }
}

// Counters only (pass 1) for a move of very many calls: the parts in closed form, so that a
// check takes no longer for a million-mm move than for a short one. The leading axis makes q or
// q + 1 steps a part; the estimate takes it as the lead of every part (another axis may lead a
// part by one step, a few microseconds of ramp), and the calls are counted exactly.
void Emitter::CountParts(const std::array<std::int64_t, 3>& start,
                         const std::array<std::int64_t, 3>& target, std::int64_t longest,
                         std::int64_t parts, Purpose purpose) {
  (void)purpose;
  const std::int64_t q = longest / parts;
  const std::int64_t longParts = longest % parts;
  const bool zMotion = target[2] != start[2];
  const bool zHold = aux_ < 0 || zMotion;
  const double seconds =
      static_cast<double>(parts - longParts) * model_.MoveSeconds(q, false, zHold) +
      static_cast<double>(longParts) * model_.MoveSeconds(q + 1, false, zHold);
  for (int axis = 0; axis < 3; ++axis)
    plan_.stepsPerAxis[axis] += static_cast<std::uint64_t>(Abs(target[axis] - start[axis]));
  zMoved_ = zMoved_ || zMotion;
  plan_.durationSeconds += seconds;
  plan_.vectorOutCalls += parts;
  plan_.callCount += static_cast<std::uint64_t>(parts);
  callsEmitted_ += static_cast<std::uint64_t>(parts);
  steps_ = target;
}

bool Emitter::WithinLimits(const std::array<std::int64_t, 3>& target, int line) {
  std::string breaches;
  for (int axis = 0; axis < 3; ++axis) {
    const Axis& spec = machine_.axes[axis];
    const double mm = StepsToMm(target[axis], spec);
    if (!known_[axis] || (mm >= spec.minMm - limitSlackMm && mm <= spec.maxMm + limitSlackMm))
      continue;
    const bool low = mm < spec.minMm;
    if (!breaches.empty()) breaches += "; ";
    breaches += std::string(axisNames[axis]) +
                Format(" %.4f mm (%.0f steps) is beyond the soft limit ", mm,
                       static_cast<double>(target[axis])) +
                (low ? "min_mm " : "max_mm ") + Format("%g", low ? spec.minMm : spec.maxMm);
  }
  if (breaches.empty()) return true;
  plan_.limitsOk = false;
  if (limitLine_ != line) {  // one error a line, naming every axis its first breach breaks
    limitLine_ = line;
    plan_.AddError(line, breaches, "soft-limit");
  }
  return false;
}

bool Emitter::MoveToMm(const std::array<double, 3>& mm, Purpose purpose, int line) {
  for (int axis = 0; axis < 3; ++axis) {
    if (!StepsFit(mm[axis], machine_.axes[axis])) {
      if (limitLine_ != line) {
        limitLine_ = line;
        plan_.limitsOk = false;
        plan_.AddError(line,
                       std::string(axisNames[axis]) +
                           Format(" %g mm is beyond what 64-bit step counts hold", mm[axis]),
                       "steps-overflow");
      }
      return false;
    }
  }
  std::array<std::int64_t, 3> target{};
  for (int axis = 0; axis < 3; ++axis) target[axis] = MmToSteps(mm[axis], machine_.axes[axis]);
  // Past a limit the position still follows the program, so later lines are judged as written.
  if (!WithinLimits(target, line)) {
    steps_ = target;
    return false;
  }
  StepTo(target, purpose, line);
  return true;
}

void Emitter::AfterMotion(int line) {
  if (zMoved_ && aux_ >= 0) ApplyAux(line, Purpose::reapply);
  zMoved_ = false;
}

void Emitter::Traverse(const std::array<double, 3>& mm, int line) {
  if (observer_) observer_(CanonMove::Kind::traverse, mm, nullptr, line);
  MoveToMm(mm, Purpose::rapid, line);
  AfterMotion(line);
}

void Emitter::TraverseStored(const std::array<double, 3>& mm, int line) {
  if (observer_) observer_(CanonMove::Kind::traverse, mm, nullptr, line);
  MoveToMm(mm, Purpose::stored, line);
  AfterMotion(line);
}

void Emitter::Feed(const std::array<double, 3>& mm, int line) {
  if (observer_) observer_(CanonMove::Kind::feed, mm, nullptr, line);
  MoveToMm(mm, Purpose::cut, line);
  AfterMotion(line);
}

void Emitter::Reposition(const std::array<double, 3>& mm, int line) {
  MoveToMm(mm, Purpose::resume, line);
  zMoved_ = false;
}

void Emitter::ArcFeed(const ArcPath& arc, int line) {
  if (observer_) observer_(CanonMove::Kind::arc, arc.to, &arc, line);
  for (std::int64_t i = 1; i <= arc.chords; ++i) {
    std::array<double, 3> point = arc.to;
    if (i < arc.chords) {
      const double f = static_cast<double>(i) / static_cast<double>(arc.chords);
      const double angle = arc.startAngle + arc.sweep * f;
      const double radius = arc.r1 + (arc.r2 - arc.r1) * f;
      point[arc.a] = arc.ca + radius * std::cos(angle);
      point[arc.b] = arc.cb + radius * std::sin(angle);
      point[arc.l] = arc.from[arc.l] + (arc.to[arc.l] - arc.from[arc.l]) * f;
    }
    MoveToMm(point, Purpose::cut, line);
  }
  AfterMotion(line);
}

void Emitter::Dwell(double seconds, int line) {
  PlannedCall call;
  call.kind = CallKind::dwell;
  call.purpose = Purpose::dwell;
  call.line = line;
  call.seconds = seconds;
  call.text = Format("dwell %g s", seconds);
  Emit(std::move(call));
}

void Emitter::Pause(std::string text, int line, Purpose purpose) {
  PlannedCall call;
  call.kind = CallKind::pause;
  call.purpose = purpose;
  call.line = line;
  call.text = std::move(text);
  Emit(std::move(call));
}

void Emitter::SelectAux(int state, int line) {
  aux_ = state;
  ApplyAux(line, Purpose::aux);
}

// Steps the creep makes: from where the axis stands down to the switch, which lies the
// back-off below machine 0 (before the first G28, the start is taken as the reference point).
std::int64_t Emitter::CreepEstimate(int axis, const std::array<int, 3>& backOff) const {
  return std::max<std::int64_t>(0, steps_[axis] + backOff[axis]);
}

void Emitter::Home(int line, const std::array<int, 3>& backOff) {
  // Z first, so the tool is lifted clear before X and Y creep; the auxiliary codes are never
  // passed to reference (its pairing of codes and states differs from vectorOut's).
  for (int stage = 0; stage < 2; ++stage) {
    PlannedCall call;
    call.kind = CallKind::reference;
    call.purpose = Purpose::reference;
    call.line = line;
    if (stage == 0) {
      call.args = {0, 0, backOff[2]};
      call.seconds = model_.ReferenceStageSeconds(CreepEstimate(2, backOff), backOff[2]);
      steps_[2] = 0;
    } else {
      call.args = {backOff[0], backOff[1], 0};
      call.seconds = model_.ReferenceStageSeconds(CreepEstimate(0, backOff), backOff[0]) +
                     model_.ReferenceStageSeconds(CreepEstimate(1, backOff), backOff[1]);
      steps_[0] = steps_[1] = 0;
    }
    Emit(std::move(call));
  }
  if (aux_ >= 0) ApplyAux(line, Purpose::reapply);
}

}  // namespace gcode
