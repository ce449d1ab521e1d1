// Plan → job: the planner's entries as steps, framed by openConn, initTimer and closeConn.
#include "gcode_source.h"

#include <algorithm>

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

std::size_t PlanEntriesDone(const gcode::Plan& plan, std::uint64_t stepsDone) {
  if (stepsDone <= leadingSteps) return 0;
  return std::min<std::size_t>(plan.calls.size(), stepsDone - leadingSteps);
}

}  // namespace tool
