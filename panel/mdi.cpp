// One MDI line through the planner from the carried state: refused whole (nothing queued) on any
// refusal or an over-long line; otherwise its calls in order (an M0/M6 pause among them). Calls
// program.h and planner.h.
#include "mdi.h"

#include <utility>

#include "job_folder.h"
#include "read/program.h"

namespace panel {

MdiPlan PlanMdiLine(const std::string& line, const gcode::Machine& machine,
                    const gcode::Profile& profile, const gcode::CarriedState& state) {
  MdiPlan result;
  if (line.size() > maxMdiLineBytes) {
    result.message = "the line is longer than " + std::to_string(maxMdiLineBytes) + " bytes";
    return result;
  }
  if (line.find_first_of("\r\n") != std::string::npos || line.find('\0') != std::string::npos) {
    result.message = "one line at a time (no line breaks, no NUL)";
    return result;
  }
  const gcode::Program program = gcode::ParseProgram(line);
  gcode::PlanOptions options;
  options.profile = profile;
  options.start = state;
  options.maxCalls = maxMdiCalls;
  gcode::Plan plan = gcode::PlanProgram(program, machine, options);
  if (!plan.ok()) {
    result.message = Utf8Safe(plan.errors.empty() ? "refused" : plan.errors.front().message);
    return result;
  }
  result.ok = true;
  result.end = plan.end;
  result.message = plan.calls.empty() ? "done (no motion)" : "running";
  for (auto& call : plan.calls) result.calls.push_back(std::move(call));
  return result;
}

void MdiHistory::Add(const std::string& line, bool ok, const std::string& message) {
  entries_.push_back({Utf8Safe(line.substr(0, maxMdiLineBytes)), ok, Utf8Safe(message)});
  while (entries_.size() > mdiHistoryLines) entries_.pop_front();
}

nlohmann::json MdiHistory::Json() const {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& entry : entries_) {
    list.push_back({{"line", entry.line}, {"ok", entry.ok}, {"message", entry.message}});
  }
  return list;
}

}  // namespace panel
