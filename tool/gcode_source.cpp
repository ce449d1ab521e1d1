// Plan → job: the planner's entries as steps, framed by openConn, initTimer and closeConn.
#include "gcode_source.h"

#include <algorithm>
#include <cstdio>

namespace tool {
namespace {

// Steps before the first planned entry: openConn, initTimer.
constexpr std::size_t leadingSteps = 2;

class PlanJobSource final : public JobSource {
 public:
  PlanJobSource(const gcode::Plan& plan, const gcode::Machine& machine, std::string name)
      : plan_(plan), machine_(machine) {
    info_.name = std::move(name);
    info_.gcode = true;
    info_.stepCount = plan.calls.size() + leadingSteps + 1;
    info_.plannedSeconds = plan.durationSeconds;
    info_.sourceLines = plan.lines;
    info_.hasWork = !plan.calls.empty();
  }
  const JobInfo& Info() const override { return info_; }

  std::optional<JobStep> Next() override {
    const std::size_t at = next_++;
    JobStep step;
    if (at == 0 || at == 1) {
      step.entry = at == 0 ? Entry::openConn : Entry::initTimer;
      return step;
    }
    const std::size_t entry = at - leadingSteps;
    if (entry == plan_.calls.size()) {
      step.entry = Entry::closeConn;
      step.startSeconds = step.endSeconds = plan_.durationSeconds;
      step.auxAfter = plan_.calls.empty() ? -1 : static_cast<std::int8_t>(plan_.calls.back().aux);
      return step;
    }
    if (entry > plan_.calls.size()) return std::nullopt;
    const gcode::PlannedCall& planned = plan_.calls[entry];
    switch (planned.kind) {
      case gcode::CallKind::vectorOut:
      case gcode::CallKind::reference:
        step.kind = StepKind::call;
        step.entry =
            planned.kind == gcode::CallKind::vectorOut ? Entry::vectorOut : Entry::reference;
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
    const auto& from = entry > 0 ? plan_.calls[entry - 1].endSteps : planned.endSteps;
    for (int axis = 0; axis < 3; ++axis) {
      step.mmFrom[axis] = gcode::StepsToMm(from[axis], machine_.axes[axis]);
      step.mmTo[axis] = gcode::StepsToMm(planned.endSteps[axis], machine_.axes[axis]);
    }
    return step;
  }

 private:
  const gcode::Plan& plan_;
  const gcode::Machine& machine_;
  JobInfo info_;
  std::size_t next_ = 0;
};

}  // namespace

std::unique_ptr<JobSource> MakePlanJobSource(const gcode::Plan& plan, const gcode::Machine& machine,
                                             std::string name) {
  return std::make_unique<PlanJobSource>(plan, machine, std::move(name));
}

StreamJobSource::StreamJobSource(gcode::ProgramInput& input, const gcode::Machine& machine,
                                 const gcode::PlanOptions& options, const gcode::Plan& checked,
                                 std::string name, std::size_t queueCalls)
    : stream_(input, machine, options, checked, queueCalls),
      marks_(keptEntries),
      machine_(machine) {
  info_.name = std::move(name);
  info_.gcode = true;
  info_.stepCount = checked.callCount + leadingSteps + 1;
  info_.plannedSeconds = checked.durationSeconds;
  info_.sourceLines = checked.lines;
  info_.hasWork = checked.callCount > 0;
}

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
  switch (planned->kind) {
    case gcode::CallKind::vectorOut:
    case gcode::CallKind::reference:
      step.kind = StepKind::call;
      step.entry =
          planned->kind == gcode::CallKind::vectorOut ? Entry::vectorOut : Entry::reference;
      step.args = planned->args;
      break;
    case gcode::CallKind::dwell:
      step.kind = StepKind::dwell;
      step.seconds = planned->seconds;
      break;
    case gcode::CallKind::pause:
      step.kind = StepKind::pause;
      break;
  }
  step.line = planned->line;
  step.text = planned->text.substr(0, maxStepTextBytes);
  step.startSeconds = planned->startSeconds;
  step.endSeconds = planned->startSeconds + planned->seconds;
  step.auxAfter = static_cast<std::int8_t>(planned->aux);
  step.hasMm = true;
  const auto& from = at == leadingSteps ? planned->endSteps : at_;
  for (int axis = 0; axis < 3; ++axis) {
    step.mmFrom[axis] = gcode::StepsToMm(from[axis], machine_.axes[axis]);
    step.mmTo[axis] = gcode::StepsToMm(planned->endSteps[axis], machine_.axes[axis]);
  }
  at_ = planned->endSteps;
  endSeconds_ = step.endSeconds;
  aux_ = planned->aux;
  const Mark* before = produced_ > 0 ? &marks_[(produced_ - 1) % keptEntries] : nullptr;
  Mark& mark = marks_[produced_ % keptEntries];
  const bool call =
      planned->kind == gcode::CallKind::vectorOut || planned->kind == gcode::CallKind::reference;
  mark.line = planned->line;
  mark.kind = planned->kind;
  mark.callsMade = (before ? before->callsMade : 0) + (call ? 1 : 0);
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
