// The gcode command: reads the machine, opens the program for the two passes, checks it whole in
// pass 1 (every refusal reported, nothing called; counters, and the planned path when a plot or
// the view wants it), then streams pass 2 into RunJob with the report, the path plot and the
// emitted call script (a third pass, written as it is made) as its outputs. Memory does not grow
// with the program.
#include <cstdio>
#include <sstream>

#include "calls/call_child.h"
#include "calls/descriptors.h"
#include "cli/cli.h"
#include "cli/exit_codes.h"
#include "contract/steplink_contract.h"
#include "job/gcode_job.h"
#include "job/gcode_source.h"
#include "job/job_inputs.h"
#include "job/run_job.h"
#include "plan/two_pass.h"
#include "read/program_input.h"
#include "report/path_plot.h"
#include "report/script_writer.h"
#include "serve/view_plan.h"

namespace tool {
namespace {

// The first errors with their line, then how many more there are (the report lists the same).
void PrintErrors(const std::vector<gcode::Message>& errors, std::size_t errorCount,
                 const std::string& source) {
  for (const auto& bad : errors) {
    if (bad.line > 0) {
      std::fprintf(stderr, "%s:%d: %s\n", source.c_str(), bad.line, bad.message.c_str());
    } else {
      std::fprintf(stderr, "%s: %s\n", source.c_str(), bad.message.c_str());
    }
  }
  const std::size_t total = std::max(errorCount, errors.size());
  if (total > errors.size()) {
    std::fprintf(stderr, "%s: and %zu more\n", source.c_str(), total - errors.size());
  }
  std::fprintf(stderr, "steplink gcode: %zu error(s); refused, nothing moved\n", total);
}

gcode::PlanOptions MakePlanOptions(const GcodeArgs& args) {
  gcode::PlanOptions planOptions;
  planOptions.fromLine = args.fromLine.value_or(0);
  planOptions.home = args.home;
  planOptions.subroutinesDir = args.subroutines.value_or("");
  if (args.maxBlocks) planOptions.maxBlocks = *args.maxBlocks;
  // The variant's start speed, never guessed from the library's name.
  planOptions.profile.startSpeed = args.table.variant == Variant::start200
                                       ? STEPLINK_START_SPEED_START200
                                       : STEPLINK_START_SPEED_STANDARD;
  planOptions.profile.maxSpeed = STEPLINK_MAX_SPEED;
  planOptions.profile.referenceSpeed = STEPLINK_REFERENCE_SPEED;
  planOptions.profile.acceleration = STEPLINK_ACCELERATION;
  planOptions.profile.deceleration = STEPLINK_DECELERATION;
  return planOptions;
}

// The job as --check shows it to RunJob: pass 1's counters, no step (nothing is called).
class CheckedJobSource final : public JobSource {
 public:
  CheckedJobSource(const gcode::Plan& plan, std::string name)
      : info_(GcodeJobInfo(plan, std::move(name))) {}
  const JobInfo& Info() const override { return info_; }
  std::optional<JobStep> Next() override { return std::nullopt; }

 private:
  JobInfo info_;
};

}  // namespace

int GcodeCommand(const GcodeArgs& args) {
  GcodeJob job;
  job.name = InputName(args.file);
  job.file = args.file;
  job.machineFile = args.machine;
  job.machine = gcode::BuiltinMachine();
  job.variant = args.table.variant;
  job.variantGiven = args.table.variantGiven;
  job.keepAux = args.keepAux;
  const gcode::PlanOptions planOptions = MakePlanOptions(args);
  std::unique_ptr<gcode::ProgramInput> input;

  RunJobOptions options;
  options.command = "gcode";
  options.table = args.table;
  options.view = args.view;
  options.display = args.display;
  options.checkOnly = args.check;
  options.keepAux = args.keepAux;
  options.printCalls = false;
  options.keys = args.file != "-";
  options.stopSequence = {true, true};
  options.keepRecordSteps = false;  // its outputs come from the plan, not the record's events
  options.inputs.push_back({"program", args.file});
  if (args.machine) options.inputs.push_back({"machine file", *args.machine});
  if (args.emitScript) {
    // A third pass over the program, written as it is planned: the script is never held whole.
    JobOutput script;
    script.file = {"call script", *args.emitScript};
    script.stream = [&](const JobResult&, std::ostream& out, std::string& error) {
      gcode::WriteCallScriptHead(static_cast<std::uint64_t>(job.plan.vectorOutCalls) +
                                     static_cast<std::uint64_t>(job.plan.referenceCalls),
                                 job.name, out);
      // Its own reader of the same file: pass 2 may still be reading (a stopped job).
      const std::unique_ptr<gcode::ProgramInput> again = input->Again(error);
      const bool planned = again && gcode::ReplanProgram(
                                        *again, job.machine, planOptions, job.plan,
                                        [&out](const gcode::PlannedCall& call) {
                                          gcode::WriteCallScriptEntry(call, out);
                                        },
                                        error);
      gcode::WriteCallScriptTail(out);
      return planned;
    };
    options.outputs.push_back(std::move(script));
  }
  if (args.plot) {
    options.outputs.push_back({{"plot", *args.plot}, [&job](const JobResult& result) {
                                 std::ostringstream out;
                                 gcode::WritePathPlotSvg(*job.trace, job.machine,
                                                         GcodeOutcome(job, result).callsDone,
                                                         "steplink gcode " + job.name, out);
                                 return out.str();
                               }});
  }
  if (args.report) {
    options.outputs.push_back({{"report", *args.report},
                               [&job](const JobResult& result) { return GcodeReport(job, result); },
                               true});
  }
  options.summary = [&job](const JobResult& result) { PrintGcodeSummary(job, result); };

  JobResult result;
  if (args.machine) {
    const gcode::MachineResult loaded = gcode::LoadMachineFile(*args.machine);
    if (!loaded.machine) {
      job.machine.name = *args.machine;
      job.refusal = loaded.errors;
      PrintErrors(loaded.errors, loaded.errors.size(), *args.machine);
      return RefuseJob(options, result);
    }
    job.machine = *loaded.machine;
  }
  // From the reading of the program on, a job-ending signal ends the command with its report
  // (`interrupted`, nothing moved): one stop flag, which RunJob's own handlers keep.
  struct SignalScope {
    SignalScope() { InstallJobSignalHandlers(); }
    ~SignalScope() { RestoreJobSignalHandlers(); }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;
  } signals;
  std::string error;
  if (args.file == "-" && StandardInputWasClosed()) {
    error = "standard input is closed; there is no program to read ('-')";
  } else {
    input = gcode::ProgramInput::Open(args.file, error, &JobStopFlag());
  }
  if (const int signal = ReceivedJobSignal(); signal != 0) {
    return InterruptedBeforeCalls(options, result, signal);
  }
  if (!input) {
    job.refusal = {{0, error}};
    PrintErrors(job.refusal, 1, job.name);
    return RefuseJob(options, result);
  }
  // Pass 1: every line checked and planned into counters; the path kept bounded for the plot
  // and the view (only then: without a sink a very long move is counted, not split).
  if (args.plot || args.view.wanted) job.trace = std::make_unique<gcode::PathTrace>(job.machine);
  gcode::PathTrace* trace = job.trace.get();
  job.plan = trace ? gcode::CheckProgram(
                         *input, job.machine, planOptions,
                         [trace](const gcode::PlannedCall& call) { trace->Add(call); },
                         JobStopFlag(), error)
                   : gcode::CheckProgram(*input, job.machine, planOptions, gcode::CallSink{},
                                         JobStopFlag(), error);
  if (const int signal = ReceivedJobSignal(); signal != 0) {
    return InterruptedBeforeCalls(options, result, signal);
  }
  if (!error.empty()) job.plan.AddError(0, error, "input");
  if (!job.plan.ok()) {
    PrintErrors(job.plan.errors, job.plan.errorCount, job.name);
    return RefuseJob(options, result);
  }
  if (!args.display.quiet) {
    for (const auto& note : job.plan.notes) {
      std::fprintf(stderr, "%s:%d: note: %s\n", job.name.c_str(), note.line, note.message.c_str());
    }
  }
  if (args.view.wanted && trace) options.viewPlan = MakeViewPlan(*trace, job.machine, job.plan);
  if (args.check) {
    CheckedJobSource checked(job.plan, job.name);
    return RunJob(checked, options, result);
  }
  // Pass 2: planned again while the call process takes the steps, a bounded queue ahead.
  StreamJobSource source(*input, job.machine, planOptions, job.plan, job.name);
  job.source = &source;
  const int code = RunJob(source, options, result);
  job.source = nullptr;
  return code;
}

}  // namespace tool
