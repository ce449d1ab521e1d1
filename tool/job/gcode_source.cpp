// Plan → job: the planner's entries as steps, framed by openConn, initTimer and closeConn; the
// one place that knows that framing.
#include "job/gcode_source.h"

#include <algorithm>
#include <cstdio>

namespace tool {
namespace {

// Steps before the first planned entry: openConn, initTimer; closeConn follows the last.
constexpr std::size_t leadingSteps = 2;

// The one converter: a planned entry as the step that makes it, the entry itself carried along.
JobStep StepOf(const gcode::PlannedCall& planned, const gcode::Machine& machine) {
  JobStep step;
  switch (planned.kind) {
    case gcode::CallKind::vectorOut:
    case gcode::CallKind::reference:
      step.kind = StepKind::call;
      step.entry = planned.kind == gcode::CallKind::vectorOut ? Entry::vectorOut : Entry::reference;
      step.args = planned.args;
      break;
    case gcode::CallKind::dwell:
      step.kind = StepKind::dwell;
      step.seconds = planned.seconds;
      break;
    case gcode::CallKind::pause:
      step.kind = StepKind::pause;
      break;
  }
  step.line = planned.line;
  step.text = planned.text.substr(0, maxStepTextBytes);
  step.startSeconds = planned.startSeconds;
  step.endSeconds = planned.startSeconds + planned.seconds;
  step.auxAfter = static_cast<std::int8_t>(planned.aux);
  step.hasMm = true;
  for (int axis = 0; axis < 3; ++axis) {
    step.mmFrom[axis] = gcode::StepsToMm(planned.fromSteps[axis], machine.axes[axis]);
    step.mmTo[axis] = gcode::StepsToMm(planned.endSteps[axis], machine.axes[axis]);
  }
  step.plan = static_cast<const gcode::PlanEntry&>(planned);
  return step;
}

}  // namespace

JobInfo GcodeJobInfo(const gcode::Plan& checked, std::string name) {
  JobInfo info;
  info.name = std::move(name);
  info.gcode = true;
  info.stepCount = checked.callCount + leadingSteps + 1;
  info.plannedSeconds = checked.durationSeconds;
  info.sourceLines = checked.lines;
  info.entryCount = checked.callCount;
  info.hasWork = checked.callCount > 0;
  return info;
}

StreamJobSource::StreamJobSource(gcode::ProgramInput& input, const gcode::Machine& machine,
                                 const gcode::PlanOptions& options, const gcode::Plan& checked,
                                 std::string name, std::size_t queueCalls)
    : stream_(input, machine, options, checked, queueCalls),
      marks_(keptEntries),
      machine_(machine),
      info_(GcodeJobInfo(checked, std::move(name))) {}

std::optional<JobStep> StreamJobSource::Next() {
  const std::size_t at = next_++;
  JobStep step;
  if (at == 0 || at == 1) {
    step.entry = at == 0 ? Entry::openConn : Entry::initTimer;
    return step;
  }
  if (closed_) return std::nullopt;
  const std::optional<gcode::PlannedCall> planned = stream_.Next();
  if (!planned) {
    closed_ = true;
    // Stopped: no closeConn as if complete; the runner stops the job with StopReason().
    if (!stream_.Error().empty()) return std::nullopt;
    step.entry = Entry::closeConn;
    step.startSeconds = step.endSeconds = endSeconds_;
    step.auxAfter = static_cast<std::int8_t>(aux_);
    return step;
  }
  step = StepOf(*planned, machine_);
  endSeconds_ = step.endSeconds;
  aux_ = planned->aux;
  const Mark* before = produced_ > 0 ? &marks_[(produced_ - 1) % keptEntries] : nullptr;
  Mark& mark = marks_[produced_ % keptEntries];
  mark.line = planned->line;
  mark.kind = planned->kind;
  mark.callsMade = planned->callNumber > 0 ? planned->callNumber : (before ? before->callsMade : 0);
  mark.dwellSeconds = (before ? before->dwellSeconds : 0.0) +
                      (planned->kind == gcode::CallKind::dwell ? planned->seconds : 0.0);
  mark.endSteps = planned->endSteps;
  ++produced_;
  return step;
}

GcodeProgress StreamJobSource::Progress(std::uint64_t entriesDone) const {
  GcodeProgress progress;
  progress.entriesDone = std::min(entriesDone, produced_);
  const std::uint64_t oldest = produced_ > keptEntries ? produced_ - keptEntries : 0;
  progress.known = progress.entriesDone == 0 || progress.entriesDone > oldest;
  if (!progress.known || progress.entriesDone == 0) {
    if (progress.entriesDone == 0 && produced_ > 0) {
      progress.nextLine = marks_[0].line;
      progress.nextKind = marks_[0].kind;  // begun at machine zero, where the job starts
    }
    return progress;
  }
  const Mark& last = marks_[(progress.entriesDone - 1) % keptEntries];
  progress.callsMade = last.callsMade;
  progress.dwellSeconds = last.dwellSeconds;
  progress.endSteps = last.endSteps;
  progress.lastLine = last.line;
  progress.nextFromSteps = last.endSteps;
  if (progress.entriesDone < produced_) {
    const Mark& next = marks_[progress.entriesDone % keptEntries];
    progress.nextLine = next.line;
    progress.nextKind = next.kind;
  }
  return progress;
}

std::size_t PlanEntriesDone(const gcode::Plan& plan, std::uint64_t stepsDone) {
  if (stepsDone <= leadingSteps) return 0;
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(plan.callCount, stepsDone - leadingSteps));
}

}  // namespace tool
