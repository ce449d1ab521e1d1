// Record stage of a run: the table's record and final status after the call process ended,
// and the lines that report what the record says went wrong.
#pragma once

#include <optional>
#include <string>

#include "contract/steplink_contract.h"
#include "job/settings_stage.h"
#include "outputs/record.h"
#include "status/status_view.h"

namespace tool {

struct RunRecord {
  Record record;
  std::optional<SteplinkStatusTable> status;  // the block's last state, if it could be read
  std::optional<SteplinkStatusJob> job;       // its job section's, likewise
};

// Reads the record (the runner's own through its descriptor) and the status block's last state.
// A record the killed call process left with reserved zero bytes at its end is cut to its lines.
// `keepSteps` false: the steps' counts and end only (a G-code job; nothing grows with it).
RunRecord CollectRecord(const RunSettings& settings, status::StatusView& status,
                        bool keepSteps = true);

// Reports on standard error what the record shows went wrong: unreadable lines, a record that
// holds fewer steps or faults than the table counted (it could not be written), the table's
// faults. True when the run must count as failed.
bool ReportRecordProblems(const RunRecord& run);

// Whether the record holds everything the table did: a header, every line readable, no fewer
// steps and faults than the table counted. Only a whole record replaces the user's old file (a
// full disk must not turn a good record into a torn or empty one).
bool RecordIsWhole(const RunRecord& run);

}  // namespace tool
