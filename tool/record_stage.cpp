// Record stage: reads the record file and the status block once the calls have ended.
#include "record_stage.h"

#include <cstdio>

#include "status_block.h"

namespace tool {

RunRecord CollectRecord(const std::string& recordPath, const std::string& statusName) {
  RunRecord result;
  result.record = ReadRecordFile(recordPath);
  StatusView view;
  if (view.Open(statusName)) result.status = view.ReadTable();
  return result;
}

bool ReportRecordProblems(const Record& record) {
  for (const std::string& bad : record.errors) {
    std::fprintf(stderr, "steplink: record %s\n", bad.c_str());
  }
  if (record.faults.empty()) return false;
  std::fprintf(stderr, "steplink: the simulated table saw %zu fault(s); first: %s at %.6f s\n",
               record.faults.size(), record.faults.front().kind.c_str(),
               record.faults.front().tick * secondsPerTick);
  return true;
}

}  // namespace tool
