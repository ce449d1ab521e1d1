// Summary stage of a run: what the table did (positions, aux state, steps, faults by kind,
// simulated and wall time), from the record and the status block's last state.
#pragma once

#include <optional>

#include "contract/steplink_contract.h"
#include "record.h"

namespace tool {

void PrintSummary(const Record& record, const std::optional<SteplinkStatusTable>& status,
                  double wallSeconds);

}  // namespace tool
