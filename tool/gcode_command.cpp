// The gcode command: reads the machine and the program, plans it whole (every refusal reported,
// nothing called), makes the plan's job and hands it to RunJob with the report, the path plot and
// the emitted call script as its outputs.
#include <cstdio>
#include <sstream>

#include "cli.h"
#include "contract/steplink_contract.h"
#include "exit_codes.h"
#include "gcode_job.h"
#include "gcode_source.h"
#include "job_inputs.h"
#include "path_plot.h"
#include "run_job.h"
#include "script_writer.h"
#include "view_plan.h"

namespace tool {
namespace {

// Programs are read whole by today's planner; a bigger input is taken for something else.
constexpr std::size_t maxProgramBytes = std::size_t{512} << 20;

void PrintErrors(const std::vector<gcode::Message>& errors, const std::string& source) {
  for (const auto& bad : errors) {
    if (bad.line > 0) {
      std::fprintf(stderr, "%s:%d: %s\n", source.c_str(), bad.line, bad.message.c_str());
    } else {
      std::fprintf(stderr, "%s: %s\n", source.c_str(), bad.message.c_str());
    }
  }
  std::fprintf(stderr, "steplink gcode: %zu error(s); refused, nothing moved\n", errors.size());
}

}  // namespace

int GcodeCommand(const GcodeArgs& args) {
  GcodeJob job;
  job.name = InputName(args.file);
  job.machine = gcode::BuiltinMachine();
  job.variant = args.table.variant;
  job.variantGiven = args.table.variantGiven;

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
  options.inputs.push_back({"program", args.file});
  if (args.machine) options.inputs.push_back({"machine file", *args.machine});
  if (args.emitScript) {
    options.outputs.push_back({{"call script", *args.emitScript}, [&job](const JobResult&) {
                                 std::ostringstream out;
                                 gcode::WriteCallScript(job.plan, job.name, out);
                                 return out.str();
                               }});
  }
  if (args.plot) {
    options.outputs.push_back({{"plot", *args.plot}, [&job](const JobResult& result) {
                                 std::ostringstream out;
                                 gcode::WritePathPlotSvg(job.plan, job.machine,
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
      PrintErrors(loaded.errors, *args.machine);
      return RefuseJob(options, result);
    }
    job.machine = *loaded.machine;
  }
  std::string text, error;
  if (!ReadInputText(args.file, "program", maxProgramBytes, text, error)) {
    job.refusal = {{0, error}};
    PrintErrors(job.refusal, job.name);
    return RefuseJob(options, result);
  }
  gcode::PlanOptions planOptions;
  planOptions.fromLine = args.fromLine.value_or(0);
  // The variant's start speed, never guessed from the library's name.
  planOptions.profile.startSpeed = args.table.variant == Variant::start200
                                       ? STEPLINK_START_SPEED_START200
                                       : STEPLINK_START_SPEED_STANDARD;
  planOptions.profile.maxSpeed = STEPLINK_MAX_SPEED;
  planOptions.profile.referenceSpeed = STEPLINK_REFERENCE_SPEED;
  planOptions.profile.acceleration = STEPLINK_ACCELERATION;
  planOptions.profile.deceleration = STEPLINK_DECELERATION;
  job.plan = gcode::PlanProgram(gcode::ParseProgram(text), job.machine, planOptions);
  text = std::string();  // the plan holds what is needed
  if (!job.plan.ok()) {
    PrintErrors(job.plan.errors, job.name);
    return RefuseJob(options, result);
  }
  if (!args.display.quiet) {
    for (const auto& note : job.plan.notes) {
      std::fprintf(stderr, "%s:%d: note: %s\n", job.name.c_str(), note.line, note.message.c_str());
    }
  }
  if (args.view.wanted) options.viewPlan = MakeViewPlan(job.plan, job.machine);
  const auto source = MakePlanJobSource(job.plan, job.machine, job.name);
  return RunJob(*source, options, result);
}

}  // namespace tool
