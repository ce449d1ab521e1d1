// The run command: reads and checks the script, builds the table's settings, runs the calls in
// the call process with progress display, then reports the record, the summary and the plot,
// and removes what it made on every way out.
#include "run_command.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "call_child.h"
#include "exit_codes.h"
#include "plot_command.h"
#include "progress.h"
#include "record_stage.h"
#include "script.h"
#include "settings_stage.h"
#include "sim/status_block.h"
#include "summary.h"
#include "usage.h"

namespace tool {
namespace {

std::filesystem::path ExecutableDir() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : self.parent_path();
}

bool ReadAll(const std::string& path, std::string& text) {
  if (path == "-") {
    std::ostringstream in;
    in << std::cin.rdbuf();
    text = in.str();
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  text = content.str();
  return true;
}

}  // namespace

ArgParser MakeRunParser() {
  ArgParser parser;
  parser.AddOption("sim", "SPEC",
                   "simulated table settings, as STEPLINK_SIM (default clock=virtual)");
  parser.AddFlag("realtime", "pace with the wall clock (clock=realtime)");
  parser.AddOption("trace", "FILE", "write the library's port trace (sets STEPLINK_TRACE)");
  parser.AddOption("plot", "FILE.svg", "write step rates over time and the X-Y path as SVG");
  parser.AddOption("library", "PATH",
                   "library to load (default: lib/standard/libsteplink.so of this build)");
  parser.AddFlag("progress", "print the position every second to stderr (on by default on a tty)");
  parser.AddFlag("quiet", "print only errors and faults");
  parser.AddFlag("help", "show this help");
  return parser;
}

int RunCommand(int argc, const char* const* argv) {
  ArgParser parser = MakeRunParser();
  std::string error;
  if (!parser.Parse(argc, argv, 2, error)) {
    std::fprintf(stderr, "steplink run: %s\n%s", error.c_str(), usageText);
    return exitRefused;
  }
  if (parser.Flag("help")) {
    std::printf("%s\nOptions of run:\n%s\n%s", usageText, parser.OptionHelp().c_str(), scriptHelp);
    return exitOk;
  }
  if (parser.Positional().size() != 1) {
    std::fprintf(stderr, "steplink run: expected one SCRIPT (or '-' for standard input)\n%s",
                 usageText);
    return exitRefused;
  }
  const bool quiet = parser.Flag("quiet");
  const std::string scriptPath = parser.Positional()[0];
  const std::string scriptName = scriptPath == "-" ? "<stdin>" : scriptPath;

  // Stage 1: the script, parsed completely before anything runs.
  std::string text;
  if (!ReadAll(scriptPath, text)) {
    std::fprintf(stderr, "steplink: cannot read the script %s\n", scriptPath.c_str());
    return exitRefused;
  }
  const Script script = ParseScript(text);
  if (!script.errors.empty()) {
    for (const ScriptError& bad : script.errors) {
      std::fprintf(stderr, "%s:%d: %s\n", scriptName.c_str(), bad.line, bad.message.c_str());
    }
    std::fprintf(stderr, "steplink: the script has %zu error(s); nothing was run\n",
                 script.errors.size());
    return exitRefused;
  }

  // Stage 2: the table's settings and the library.
  RunSettings settings;
  if (!BuildRunSettings(parser, settings, error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    return exitRefused;
  }
  const std::string libraryPath = parser.Value("library").value_or(
      (ExecutableDir() / ".." / "lib" / "standard" / "libsteplink.so").lexically_normal().string());
  if (!std::filesystem::exists(libraryPath)) {
    std::fprintf(stderr, "steplink: no library at %s (use --library PATH)\n", libraryPath.c_str());
    RemoveRunFiles(settings);
    return exitRefused;
  }
  ChildOptions options;
  options.libraryPath = libraryPath;
  options.printCalls = !quiet;
  options.environment.emplace_back("STEPLINK_SIM", settings.simSpec);
  if (const auto trace = parser.Value("trace"))
    options.environment.emplace_back("STEPLINK_TRACE", *trace);
  if (!quiet) {
    std::printf("steplink: %s with %s\n  STEPLINK_SIM=%s\n", scriptName.c_str(),
                libraryPath.c_str(), settings.simSpec.c_str());
  }

  // The status block is the runner's: made before the calls start (the call process's table takes
  // over a block its parent made), read for the summary after they end, removed at the end.
  std::unique_ptr<sim::StatusBlockFile> statusBlock =
      sim::StatusBlockFile::Create(settings.statusName, error);
  if (statusBlock == nullptr) {
    std::fprintf(stderr, "steplink: status=%s: %s\n", settings.statusName.c_str(), error.c_str());
    RemoveRunFiles(settings);
    return exitRefused;
  }

  // Stage 3: the calls, in the call process.
  const auto wallStart = std::chrono::steady_clock::now();
  CallChild child;
  if (!child.Start(options, script.calls, {}, error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    RemoveRunFiles(settings);
    return exitRunFailed;
  }
  ChildOutcome outcome;
  {
    Progress progress(settings.statusName,
                      !quiet && (parser.Flag("progress") || isatty(STDERR_FILENO)));
    outcome = child.Wait();
  }
  const double wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

  int exitCode = exitOk;
  using End = ChildOutcome::End;
  if (outcome.end == End::loadFailed) {
    exitCode = exitRefused;
  } else if (outcome.end != End::completed) {
    std::fprintf(stderr, "steplink: %s\n", Explain(outcome).c_str());
    exitCode = exitRunFailed;
  }
  if (outcome.stopSignal != 0) {
    exitCode = outcome.stopSignal == SIGINT ? exitInterrupted : 128 + outcome.stopSignal;
  }

  // Stages 4-6: record, summary, plot.
  if (exitCode != exitRefused) {
    const RunRecord run = CollectRecord(settings.recordPath, settings.statusName);
    if (ReportRecordProblems(run.record) && exitCode == exitOk) exitCode = exitRunFailed;
    if (!quiet || exitCode != exitOk) PrintSummary(run.record, run.status, wallSeconds);
    if (const auto plot = parser.Value("plot")) {
      if (!WritePlotFile(run.record, *plot, "steplink run " + scriptName) && exitCode == exitOk) {
        exitCode = exitRunFailed;
      }
    }
  }
  RemoveRunFiles(settings);
  return exitCode;
}

}  // namespace tool
