// The run command: reads and checks the script, builds the table's settings, runs the calls in
// the call process with progress display, then reports the record, the summary and the plot,
// and removes what it made on every way out.
#include "run_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "call_child.h"
#include "descriptors.h"
#include "device_stage.h"
#include "exit_codes.h"
#include "live_view.h"
#include "plot_command.h"
#include "progress.h"
#include "realtime_stage.h"
#include "record_stage.h"
#include "script.h"
#include "settings_stage.h"
#include "status/status_block.h"
#include "status/status_view.h"
#include "summary.h"
#include "usage.h"

namespace tool {
namespace {

// Scripts are small; anything longer is taken for something else (a device such as /dev/zero).
constexpr std::size_t maxScriptBytes = std::size_t{16} << 20;
// Bad lines listed before the rest are only counted.
constexpr std::size_t maxListedErrors = 20;

std::filesystem::path ExecutableDir() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : self.parent_path();
}

// Reads the whole script ('-' standard input); false with the reason.
bool ReadScript(const std::string& path, std::string& text, std::string& error) {
  int fd = STDIN_FILENO;
  if (path == "-") {
    if (StandardInputWasClosed()) {
      error = "standard input is closed; there is no script to read ('-')";
      return false;
    }
  } else {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = "cannot read the script " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    error = "the script " + path + " is a directory; give a file of calls";
    if (fd != STDIN_FILENO) close(fd);
    return false;
  }
  char buffer[1 << 16];
  bool good = true;
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read the script " + path + ": " + std::strerror(errno);
      good = false;
      break;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > maxScriptBytes) {
      error = "the script " + path + " is longer than 16 MiB; is it a script of calls?";
      good = false;
      break;
    }
  }
  if (fd != STDIN_FILENO) close(fd);
  return good;
}

// The library to load: the build's standard variant by default. A name with no slash is a file
// in the current directory, as any other path (not a search of the system's library path).
std::string ResolveLibrary(const ArgParser& parser, std::string& error) {
  std::filesystem::path path = parser.Value("library")
                                   ? std::filesystem::path(*parser.Value("library"))
                                   : ExecutableDir() / ".." / "lib" / "standard" / "libsteplink.so";
  std::error_code code;
  const std::filesystem::path absolute = std::filesystem::absolute(path, code).lexically_normal();
  if (!std::filesystem::exists(absolute, code)) {
    error = "no library at " + absolute.string() + " (use --library PATH)";
    return {};
  }
  if (!std::filesystem::is_regular_file(absolute, code)) {
    error = "the library " + absolute.string() + " is not a file";
    return {};
  }
  return absolute.string();
}

std::string SignalName(int signal) {
  const char* name = sigabbrev_np(signal);
  return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(signal);
}

}  // namespace

ArgParser MakeRunParser() {
  ArgParser parser;
  parser.AddOption("sim", "SPEC",
                   "simulated table settings as in STEPLINK_SIM, key by key over it; '\\,' is a "
                   "comma in a value");
  parser.AddFlag("realtime", "pace with the wall clock (clock=realtime)");
  parser.AddFlag("virtual", "time advances by port accesses only (clock=virtual, the default)");
  parser.AddOption("record", "FILE",
                   "keep the table's record in FILE (record=FILE; any character allowed)");
  parser.AddOption("device", "VALUE",
                   "drive a real table (sets STEPLINK_DEVICE): parport:/dev/parportN, parport:N, "
                   "parport:0xBASE or direct:0xBASE, optionally ,timer=clock or ,timer=pit");
  parser.AddFlag("rt", "run the calls with SCHED_FIFO and locked memory (for a real table)");
  parser.AddOption("cpu", "N", "run the calls on CPU N only");
  parser.AddOption("trace", "FILE", "write the library's port trace (sets STEPLINK_TRACE)");
  parser.AddOption("plot", "FILE.svg", "write step rates over time and the X-Y path as SVG");
  parser.AddOption("library", "PATH",
                   "library to load (default: lib/standard/libsteplink.so of this build; a name "
                   "without '/' is a file in the current directory)");
  parser.AddFlag("progress", "print the position every second to stderr (on by default on a tty)");
  parser.AddFlag("quiet", "print only errors and faults");
  AddViewOptions(parser);
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
  ViewRequest viewRequest;
  if (!ParseViewRequest(parser, viewRequest, error)) {
    std::fprintf(stderr, "steplink run: %s\n", error.c_str());
    return exitRefused;
  }
  const std::string scriptPath = parser.Positional()[0];
  const std::string scriptName = scriptPath == "-" ? "<stdin>" : scriptPath;

  // Stage 1: the script, parsed completely before anything runs.
  std::string text;
  if (!ReadScript(scriptPath, text, error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    return exitRefused;
  }
  const Script script = ParseScript(text);
  if (!script.errors.empty()) {
    for (std::size_t i = 0; i < script.errors.size() && i < maxListedErrors; ++i) {
      std::fprintf(stderr, "%s:%d: %s\n", scriptName.c_str(), script.errors[i].line,
                   script.errors[i].message.c_str());
    }
    if (script.errors.size() > maxListedErrors) {
      std::fprintf(stderr, "%s: ... and %zu more\n", scriptName.c_str(),
                   script.errors.size() - maxListedErrors);
    }
    std::fprintf(stderr, "steplink: the script has %zu error(s); nothing was run\n",
                 script.errors.size());
    return exitRefused;
  }
  if (script.calls.empty()) {
    std::fprintf(stderr, "steplink: the script %s has no calls; nothing to run\n",
                 scriptName.c_str());
    return exitRefused;
  }

  // Stage 2: the table's settings, the library and the outputs, all checked before anything
  // moves.
  RunSettings settings;
  if (!BuildRunSettings(parser, std::getenv("STEPLINK_SIM"), settings, error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    return exitRefused;
  }
  if (const auto cpu = parser.Value("cpu");
      cpu && (cpu->empty() || cpu->find_first_not_of("0123456789") != std::string::npos ||
              cpu->size() > 4)) {
    std::fprintf(stderr, "steplink: --cpu takes a CPU number (0, 1, ...), not '%s'\n",
                 cpu->c_str());
    RemoveRunFiles(settings);
    return exitRefused;
  }
  // A real table (--device over STEPLINK_DEVICE): only the settings that make sense on hardware.
  const std::string device = ChosenDevice(parser);
  if (!CheckDeviceSettings(device, parser, settings, error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    RemoveRunFiles(settings);
    return exitRefused;
  }
  const std::string libraryPath = ResolveLibrary(parser, error);
  if (libraryPath.empty()) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    RemoveRunFiles(settings);
    return exitRefused;
  }
  const std::optional<std::string> tracePath = parser.Value("trace");
  int traceFd = -1;
  if (tracePath) {
    traceFd = open(tracePath->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (traceFd < 0) {
      std::fprintf(stderr, "steplink: cannot write the trace %s: %s\n", tracePath->c_str(),
                   std::strerror(errno));
      RemoveRunFiles(settings);
      return exitRefused;
    }
  }
  ChildOptions options;
  options.libraryPath = libraryPath;
  options.printCalls = !quiet;
  options.environment.emplace_back("STEPLINK_SIM", settings.simSpec);
  if (!device.empty()) {
    setenv("STEPLINK_DEVICE", device.c_str(), 1);  // for the runner's own messages too
    options.environment.emplace_back("STEPLINK_DEVICE", device);
  }
  options.traceFd = traceFd;
  options.realtime = parser.Flag("rt");
  if (const auto cpu = parser.Value("cpu")) options.cpu = std::atoi(cpu->c_str());
  if (options.realtime) {
    if (const std::string warning = RealtimeThrottleWarning(); !warning.empty()) {
      std::fprintf(stderr, "%s\n", warning.c_str());
    }
  }
  if (!quiet) {
    std::printf("steplink: %s with the library %s\n  settings: %s\n", scriptName.c_str(),
                libraryPath.c_str(), DescribeSettings(settings).c_str());
  }

  // The status block is the runner's: made before the calls start (the call process's table takes
  // over a block its parent made), read for the summary after they end, removed at the end.
  std::unique_ptr<status::StatusBlockFile> statusBlock =
      status::StatusBlockFile::Create(settings.statusName, error);
  if (statusBlock == nullptr) {
    std::fprintf(stderr, "steplink: status=%s: %s\n", settings.statusName.c_str(), error.c_str());
    if (traceFd >= 0) close(traceFd);
    RemoveRunFiles(settings);
    return exitRefused;
  }

  // Stage 3: the calls, in the call process, with the live view (if asked for) serving before
  // the first call.
  CallChild child;
  std::unique_ptr<view::Server> liveView;
  if (viewRequest.wanted) {
    liveView =
        StartJobView(viewRequest, settings.statusName, scriptName, false, false, child, error);
    if (!liveView) {
      std::fprintf(stderr, "steplink: --view: %s\n", error.c_str());
      RemoveRunFiles(settings);
      return exitRefused;
    }
  }
  const auto wallStart = std::chrono::steady_clock::now();
  if (!child.Start(options, script.calls,
                   MakeJobStatusHooks(settings.statusName, script.calls.size()), error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    if (traceFd >= 0) close(traceFd);
    RemoveRunFiles(settings);
    return exitRunFailed;
  }
  status::StatusView statusView;
  ChildOutcome outcome;
  {
    Progress progress(statusView, settings.statusName,
                      !quiet && (parser.Flag("progress") || isatty(STDERR_FILENO)));
    WaitHooks hooks;
    hooks.tick = [&] { progress.Tick(); };
    hooks.beforeOutput = [&] { progress.Erase(); };
    outcome = child.Wait(hooks);
  }
  const double wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

  // How the calls ended, in one line each.
  int exitCode = exitOk;
  using End = ChildOutcome::End;
  SummaryNotes notes;
  notes.settings = DescribeSettings(settings);
  if (outcome.end == End::loadFailed) {
    exitCode = exitRefused;
  } else if (outcome.end == End::signalled && outcome.stopSignal != 0) {
    notes.ended = "interrupted by " + SignalName(outcome.stopSignal);
    std::fprintf(stderr, "steplink: the run was %s; the record is kept up to there\n",
                 notes.ended.c_str());
    exitCode = outcome.stopSignal == SIGINT ? exitInterrupted : 128 + outcome.stopSignal;
  } else if (outcome.end != End::completed) {
    std::fprintf(stderr, "steplink: %s\n", Explain(outcome).c_str());
    if (outcome.end == End::signalled)
      notes.ended = "call process ended by " + SignalName(outcome.code);
    if (outcome.end == End::exited) notes.ended = "call process ended early";
    exitCode = exitRunFailed;
  }
  if (outcome.portErrorLines > 0) {
    std::fprintf(stderr,
                 "steplink: %zu port operation(s) failed, first: '%s' (6: the channel was not "
                 "open: call openConn first and check its result)\n",
                 outcome.portErrorLines, outcome.firstPortError.c_str());
    if (exitCode == exitOk) exitCode = exitRunFailed;
  }
  if (outcome.timerStallLines > 0) {
    std::fprintf(stderr,
                 "steplink: counter 0 stood still in %zu call(s); the waits were not paced\n",
                 outcome.timerStallLines);
    if (exitCode == exitOk) exitCode = exitRunFailed;
  }
  if (traceFd >= 0) {
    const int closed = close(traceFd) == 0 ? 0 : errno;
    const int traceError = outcome.traceError != 0 ? outcome.traceError : closed;
    if (traceError != 0) {
      std::fprintf(stderr, "steplink: the trace %s is incomplete: %s\n", tracePath->c_str(),
                   std::strerror(traceError));
      if (exitCode == exitOk || exitCode == exitInterrupted) exitCode = exitRunFailed;
    }
  }

  // Stages 4-6: record, summary, plot.
  if (exitCode != exitRefused) {
    const RunRecord run = CollectRecord(settings, statusView);
    if (ReportRecordProblems(run) && exitCode == exitOk) exitCode = exitRunFailed;
    if (!quiet || exitCode != exitOk) PrintSummary(run.record, run.status, wallSeconds, notes);
    if (const auto plot = parser.Value("plot")) {
      const std::string title =
          "steplink run " + scriptName + (notes.ended.empty() ? "" : " (" + notes.ended + ")");
      if (!WritePlotFile(run.record, *plot, title) &&
          (exitCode == exitOk || exitCode == exitInterrupted)) {
        exitCode = exitRunFailed;
      }
    }
  }
  if (outcome.stdoutError != 0) {
    std::fprintf(stderr, "steplink: cannot write to standard output: %s\n",
                 std::strerror(outcome.stdoutError));
    if (exitCode == exitOk) exitCode = exitRunFailed;
  }
  if (liveView) FinishJobView(*liveView, exitCode);
  RemoveRunFiles(settings);
  return exitCode;
}

}  // namespace tool
