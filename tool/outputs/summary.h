// Summary stage of a run: what the table did (positions, aux state, steps, faults by kind,
// simulated and wall time), from the record and the status block's last state.
#pragma once

#include <optional>
#include <string>

#include "contract/steplink_contract.h"
#include "outputs/record.h"

namespace tool {

struct SummaryNotes {
  std::string settings;  // the settings in force with their sources
  std::string ended;     // how the run ended, when not by itself ("interrupted by SIGINT")
};

void PrintSummary(const Record& record, const std::optional<SteplinkStatusTable>& status,
                  double wallSeconds, const SummaryNotes& notes = {});

}  // namespace tool
