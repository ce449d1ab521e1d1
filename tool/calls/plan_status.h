// The plan entry in the status block's job section: its numbers, the planned position as it
// began, and machine zero in the table's steps. Used by the call process, the section's only
// writer; plain data in, plain data out (the contract header's layout, job/job.h's steps).
#pragma once

#include <optional>

#include "contract/steplink_contract.h"
#include "job/job.h"

namespace tool {

// Fills the plan fields of `job` for `step` as it begins or ends, the table as `table` shows it
// then. Machine zero is the table's position less the plan's where the two are known to agree:
// as the first entry begins (the job starts where the table stands) and as each reference call
// ends (machine zero is where the plan has homing leave the table). It is never taken from
// motion, so steps lost later show as a gap between the table and the plan.
void PublishPlanEntry(SteplinkStatusJob& job, const JobStep& step, bool begins,
                      const std::optional<SteplinkStatusTable>& table);

}  // namespace tool
