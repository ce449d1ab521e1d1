// The end of a job, after the call process has ended: how it ended in one line, the auxiliary
// output turned off after a stopped G-code job, the record, the summary, and the exit code,
// computed in one place (JobExitCode) from what happened. Calls the record and summary stages
// and, for the auxiliary output, one more short call process.
#pragma once

#include <string>

#include "call_child.h"
#include "job_watch.h"
#include "run_job.h"
#include "settings_stage.h"

namespace tool {

// What happened, as far as the exit code is concerned.
struct JobFacts {
  bool refused = false;       // nothing was called (the library did not load, ...)
  int stopSignal = 0;         // the signal that ended the job, 0 none
  bool runFailed = false;     // a fault while running: table, port, openConn, the call process
  bool outputFailed = false;  // the trace, a plot or a report could not be written
  bool stdoutFailed = false;  // standard output could not be written
};

// 2 refused; 130 for SIGINT, 128+N for signal N (an output that failed turns 130 into 1);
// 1 for any failure; 0 otherwise.
int JobExitCode(const JobFacts& facts);

class JobEnd {
 public:
  JobEnd(const RunJobOptions& options, const JobInfo& info, RunSettings& settings,
         const ChildOutcome& outcome, const JobWatch& watch, JobResult& result);
  // After a stopped G-code job that had selected an auxiliary state: openConn, the auxiliary
  // state 0 (as M5), closeConn on the same device; --keep-aux leaves it.
  void AuxOffAfterStop(const std::string& libraryPath, const std::string& device);
  void TraceFailed(const std::string& message);
  void CollectRecord();
  void Summarize();  // the summary; the result's exit code as it stands
  void OutputFailed();
  void Finish();  // the final exit code

 private:
  const RunJobOptions& options_;
  const JobInfo& info_;
  RunSettings& settings_;
  const ChildOutcome& outcome_;
  JobResult& result_;
  JobFacts facts_;
  bool auxToTurnOff_ = false;
};

}  // namespace tool
