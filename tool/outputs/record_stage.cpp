// Record stage: reads the record file and the status block once the calls have ended.
#include "outputs/record_stage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace tool {

RunRecord CollectRecord(const RunSettings& settings, status::StatusView& status, bool keepSteps) {
  RunRecord result;
  if (settings.recordFd >= 0) {
    lseek(settings.recordFd, 0, SEEK_SET);
    result.record = ReadRecordFd(settings.recordFd, "the run's record", keepSteps);
  } else {
    result.record = ReadRecordFile(settings.recordPath, keepSteps);
    struct stat info {};
    if (result.record.refused.empty() && result.record.zeroTailBytes > 0 &&
        stat(settings.recordPath.c_str(), &info) == 0 &&
        static_cast<std::uint64_t>(info.st_size) >= result.record.zeroTailBytes) {
      // The call process was killed with space reserved beyond its last line: cut it off.
      if (truncate(settings.recordPath.c_str(),
                   info.st_size - static_cast<off_t>(result.record.zeroTailBytes)) == 0) {
        result.record.zeroTailBytes = 0;
      }
    }
  }
  if (status.Open(settings.statusName)) {
    result.status = status.ReadTable();
    result.job = status.ReadJob();
  }
  return result;
}

bool RecordIsWhole(const RunRecord& run) {
  const Record& record = run.record;
  if (!record.refused.empty() || !record.headerSeen || !record.errors.empty()) return false;
  return !run.status || (record.StepCount() >= run.status->totalSteps &&
                         record.faults.size() >= run.status->faultCount);
}

bool ReportRecordProblems(const RunRecord& run) {
  const Record& record = run.record;
  bool failed = false;
  if (!record.refused.empty()) {
    std::fprintf(stderr, "steplink: %s\n", record.refused.c_str());
    failed = true;
  }
  for (const std::string& bad : record.errors) {
    std::fprintf(stderr, "steplink: record %s\n", bad.c_str());
    failed = true;
  }
  if (run.status && (record.StepCount() < run.status->totalSteps ||
                     record.faults.size() < run.status->faultCount)) {
    std::fprintf(stderr,
                 "steplink: the record is incomplete: it holds %zu of the %" PRIu64
                 " steps and %zu of the %" PRIu32
                 " faults the table counted (see the simulated table's line above)\n",
                 static_cast<std::size_t>(record.StepCount()), run.status->totalSteps,
                 record.faults.size(), run.status->faultCount);
    failed = true;
  }
  if (!record.faults.empty()) {
    std::fprintf(stderr, "steplink: the simulated table saw %zu fault(s); first: %s at %.6f s\n",
                 record.faults.size(), record.faults.front().kind.c_str(),
                 record.faults.front().tick * secondsPerTick);
    failed = true;
  }
  return failed;
}

}  // namespace tool
