// Record stage of a run: the table's record and final status after the call process ended,
// and the lines that report what the record says went wrong.
#pragma once

#include <optional>
#include <string>

#include "contract/steplink_contract.h"
#include "record.h"

namespace tool {

struct RunRecord {
  Record record;
  std::optional<SteplinkStatusTable> status;  // the block's last state, if it could be read
};

RunRecord CollectRecord(const std::string& recordPath, const std::string& statusName);

// Reports the record's unreadable lines and its faults on standard error; true when the table
// saw a fault.
bool ReportRecordProblems(const Record& record);

}  // namespace tool
