// Script → job: one call step per script call.
#include "job/script_source.h"

#include <algorithm>

namespace tool {

ScriptJobSource::ScriptJobSource(std::string name, std::vector<ScriptCall> calls)
    : calls_(std::move(calls)) {
  info_.name = std::move(name);
  info_.stepCount = calls_.size();
  // openConn, initTimer and closeConn alone move nothing: such a script is nothing to run.
  info_.hasWork = std::any_of(calls_.begin(), calls_.end(), [](const ScriptCall& call) {
    return call.entry == Entry::vectorOut || call.entry == Entry::reference;
  });
}

std::optional<JobStep> ScriptJobSource::Next() {
  if (next_ >= calls_.size()) return std::nullopt;
  const ScriptCall& call = calls_[next_++];
  JobStep step;
  step.kind = StepKind::call;
  step.entry = call.entry;
  step.args = call.args;
  step.line = call.line;
  return step;
}

}  // namespace tool
