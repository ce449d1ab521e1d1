// The plan entry's numbers, planned start and machine zero as the job section carries them.
#include "calls/plan_status.h"

namespace tool {

void PublishPlanEntry(SteplinkStatusJob& job, const JobStep& step, bool begins,
                      const std::optional<SteplinkStatusTable>& table) {
  if (!step.plan) {
    job.planEntry = job.planCall = 0;
    return;
  }
  const gcode::PlanEntry& entry = *step.plan;
  job.planEntry = static_cast<std::uint32_t>(entry.index + 1);
  job.planCall = static_cast<std::uint32_t>(entry.callNumber);
  for (int axis = 0; axis < 3; ++axis)
    job.planFromSteps[axis] = static_cast<std::int32_t>(entry.fromSteps[axis]);
  const bool firstBegins = begins && job.machineZeroKnown == 0;
  const bool homed = !begins && entry.kind == gcode::CallKind::reference;
  if (!table || !(firstBegins || homed)) return;
  const std::int32_t now[3] = {table->positionX, table->positionY, table->positionZ};
  const auto& planned = begins ? entry.fromSteps : entry.endSteps;
  for (int axis = 0; axis < 3; ++axis)
    job.machineZeroSteps[axis] = now[axis] - static_cast<std::int32_t>(planned[axis]);
  job.machineZeroKnown = 1;
}

}  // namespace tool
