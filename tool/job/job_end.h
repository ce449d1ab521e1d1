// The end of a job, after the call process has ended: how it ended in one line, the auxiliary
// output turned off after a stopped G-code job, the record, the summary, and the outcome (exit
// code, status, headline), decided in one place (DecideJobEnd) from what happened. Calls the record
// and summary stages and, for the auxiliary output, one more short call process.
#pragma once

#include <string>

#include "calls/call_child.h"
#include "job/job_watch.h"
#include "job/run_job.h"
#include "job/settings_stage.h"

namespace tool {

// How a job ended, as far as its outcome is concerned.
struct JobFacts {
  bool refused = false;        // nothing was called (the library did not load, ...)
  int stopSignal = 0;          // the signal that ended it (SIGINT for a stop request), 0 none
  bool runFailed = false;      // a fault while running: table, port, openConn, the call process,
                               // a program not as checked
  bool outputFailed = false;   // the trace, a plot or a report could not be written
  bool stdoutFailed = false;   // standard output (or error) could not be written
  std::string faultMessage{};  // why, when it failed
};

// The outcome of a job: exit code, the report's status and the summary's headline.
struct JobVerdict {
  int exitCode = 0;
  JobStatus status = JobStatus::refused;
  std::string headline;  // "ran to its end", "interrupted by SIGTERM", "stopped: REASON", ...
};

// The one place that turns how a job ended into its outcome: 2 refused; 130 for SIGINT, 128+N
// for signal N (an output that failed turns 130 into 1), `interrupted`; 1 for any failure,
// `fault`, "stopped: ..."; 0 `completed`, "ran to its end" only when none of these happened.
JobVerdict DecideJobEnd(const JobFacts& facts);
int JobExitCode(const JobFacts& facts);  // DecideJobEnd's exit code

// The line that explains refused port operations, from the device seam's counts: how many, the
// first as the library reported it, and what its error number means.
std::string PortFailureMessage(const DeviceTally& device);

class JobEnd {
 public:
  JobEnd(const RunJobOptions& options, const JobInfo& info, RunSettings& settings,
         const ChildOutcome& outcome, const JobWatch& watch, JobResult& result);
  // After a stopped G-code job that had selected an auxiliary state: openConn, the auxiliary
  // state 0 (as M5), closeConn on the same device; --keep-aux leaves it.
  void AuxOffAfterStop(const std::string& libraryPath, const std::string& device);
  void TraceFailed(const std::string& message);
  void CollectRecord();
  // The summary, flushed: standard output that cannot take it is a fault like any other.
  void Summarize();
  void OutputFailed(const std::string& message);  // the outcome decided again with it
  void Finish();                                  // the final exit code

 private:
  void Decide();  // result's exit code, status and headline from the facts as they stand

  const RunJobOptions& options_;
  RunSettings& settings_;
  JobResult& result_;
  JobFacts facts_;
  bool auxToTurnOff_ = false;
};

}  // namespace tool
