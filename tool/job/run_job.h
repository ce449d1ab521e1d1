// RunJob: the one runner of jobs that `run` and `gcode` feed. It owns, in this order: the checks
// of every input and output before anything moves, the settings merge and the device rules, the
// status block, the live view, the call process, the record, the summary, the outputs (plots,
// reports) and the clean-up, and computes the exit code in one place. Calls the stages
// (settings, device, outputs, record, summary, live view) and the call process.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "job/job.h"
#include "job/job_options.h"
#include "outputs/job_outputs.h"
#include "outputs/record_stage.h"

namespace tool {

enum class JobStatus { refused, checked, completed, fault, interrupted };

// What happened to a job, for the command's summary and report.
struct JobResult {
  JobStatus status = JobStatus::refused;
  int exitCode = 0;
  std::uint64_t stepsDone = 0;  // steps ended (dwells and pauses included)
  int stopSignal = 0;           // the signal that ended it (SIGINT for Ctrl-C and Stop), or 0
  bool cleanStop = false;       // stopped while paused: the stop sequence was made
  std::string faultMessage;     // why it failed, empty when it did not
  bool homingFailed = false;    // a reference's creep never met its switch: no machine zero
  std::string ended;            // "interrupted by SIGINT", for the summary's head line
  std::vector<std::pair<int, std::string>> notes;  // (line, message): pauses passed, ...
  bool haveRecord = false;
  RunRecord run;  // the record and the table's final state
  double wallSeconds = 0.0;
  bool realtimeClock = false;  // the merged settings' clock (dwells waited, not counted)
  std::string settings;        // "clock=virtual (runner default), ..., variant=standard (default)"
  // The auxiliary output turned off after a stopped G-code job: nothing when not tried.
  std::optional<bool> auxOffAfterStop;
};

// An output made from the job's result once it has ended (a plot, a report, an emitted script):
// `make` returns it whole; `stream`, when set instead, writes it as it is produced (an output
// that grows with the job). Either way it is written by replace.
struct JobOutput {
  JobFile file;
  std::function<std::string(const JobResult&)> make;
  bool alsoWhenRefused = false;  // the report: written for a refusal too (not one about outputs)
  std::function<bool(const JobResult&, std::ostream&, std::string& error)> stream{};
};

// Writes one output by replace, whole or streamed; false (with a message) when it fails.
bool WriteJobOutput(const JobOutput& output, const JobResult& result);

// A G-code job's plan for the live view: the planned path (GET /plan) and the report's numbering
// of calls for the page's "call N of M". Empty for a script job: the page draws in steps.
struct ViewPlan {
  std::string json;                    // tool/serve/view_plan.h's ViewPlanJson
  std::uint64_t calls = 0;             // the report's `calls`
  std::array<double, 3> stepsPerMm{};  // the machine's scales (0: no plan)
  std::array<bool, 3> invert{};
};

struct RunJobOptions {
  std::string command;  // "run", "gcode": how messages name the command
  TableOptions table;
  ViewOptions view;
  ViewPlan viewPlan;  // a G-code job's planned path for --view
  DisplayOptions display;
  std::vector<JobFile> inputs;     // the script, the program, the machine file
  std::vector<JobOutput> outputs;  // written at the end, by replace
  bool checkOnly = false;          // gcode --check: everything but the calls
  bool keepGoing = false;          // run --keep-going: calls go on after a failed openConn
  bool keepAux = false;            // gcode --keep-aux: no auxiliary state 0 after a stop
  bool printCalls = true;          // "vectorOut 1 2 3 -> 0" for each call
  bool keys = false;               // a terminal's keys pause (feed hold), resume and stop
  StopSequence stopSequence;       // made by the call process when stopped while paused
  // The record's every step read back for the outputs (run's plot); gcode needs the counts only.
  bool keepRecordSteps = true;
  // The command's own summary (gcode's); the table's summary when not set.
  std::function<void(const JobResult&)> summary;
};

// Runs the job; the exit code follows the runner's table (0, 1, 2, 130, 128+N).
int RunJob(JobSource& source, const RunJobOptions& options, JobResult& result);

// A job refused before RunJob could start (a program's errors): checks the outputs and writes
// those written for refusals (the report). Returns exitRefused.
int RefuseJob(const RunJobOptions& options, JobResult& result);

// A job stopped by `signal` before anything was called (during the check of its program):
// writes the outputs written for refusals (the report, `interrupted`, nothing moved) and returns
// the signal's exit code.
int InterruptedBeforeCalls(const RunJobOptions& options, JobResult& result, int signal);

// The library to load: --library PATH, else the variant's build beside the runner's build tree,
// else the installed one. False with a reason naming every place tried.
bool ResolveLibrary(const TableOptions& table, std::string& path, std::string& error);

}  // namespace tool
