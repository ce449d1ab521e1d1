// Plans a program read whole in memory: its blocks and the reader's refused lines, merged back
// into line order, through the streaming planner, keeping every call. Calls the planner.
#include "plan/planner.h"

namespace gcode {

Plan PlanProgram(const Program& program, const Machine& machine, const PlanOptions& options) {
  std::vector<PlannedCall> calls;
  StreamPlanner planner(machine, options, [&](const PlannedCall& call) { calls.push_back(call); });
  // The reader's errors and blocks, merged back into line order.
  std::size_t nextError = 0;
  const auto refused = [&](std::size_t index) {
    const Message& m = program.errors[index];
    Block line;
    line.line = m.line;
    line.errorCode = m.code;
    if (index < program.errorAxes.size()) line.refusedAxes = program.errorAxes[index];
    planner.Line(LineKind::error, line, m.message, m.line);
  };
  for (const Block& block : program.blocks) {
    while (nextError < program.errors.size() && program.errors[nextError].line < block.line)
      refused(nextError++);
    planner.Line(LineKind::block, block, {}, block.line);
  }
  for (; nextError < program.errors.size(); ++nextError) refused(nextError);
  Plan plan = planner.Finish(program.lineCount);
  plan.calls = std::move(calls);
  return plan;
}

}  // namespace gcode
