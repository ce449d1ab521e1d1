// The gcode command. Stages: read the program and the machine, plan it whole (every refusal
// reported, nothing called), write the call script, then run the calls in the call process:
// dwells and program pauses at the call boundaries, progress from the child over a pipe, a key
// on the terminal pauses (feed hold), Enter resumes, q or Ctrl-C while paused stops cleanly
// (auxiliary state 0, closeConn). Ends with the summary, the report and the plot.
#include "gcode_command.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "call_child.h"
#include "contract/steplink_contract.h"
#include "device_stage.h"
#include "exit_codes.h"
#include "live_view.h"
#include "machine.h"
#include "path_plot.h"
#include "planner.h"
#include "record_stage.h"
#include "report.h"
#include "script_writer.h"
#include "settings_stage.h"
#include "status/status_block.h"
#include "status/status_view.h"

namespace tool {
namespace {

constexpr char gcodeUsage[] =
    "usage: steplink gcode FILE [--machine M.toml] [--report R.json] [--plot OUT.svg]\n"
    "                      [--emit-script OUT] [--check] [--from-line N] [--quiet] [--realtime]\n"
    "                      [--library PATH] [--sim SPEC]\n";

constexpr char gcodeHelp[] =
    "Checks and plans the whole G-code program (FILE, '-' for standard input) before the first\n"
    "call, then runs it on the simulated table. While it runs: any key pauses at the next call\n"
    "boundary, Enter resumes, q while paused stops (auxiliary state 0 applied, as M5, then\n"
    "closeConn); Ctrl-C during a call stops the table where it is.\n"
    "Exit status: 0 ran to its end (or --check passed); 1 a fault while running; 2 refused\n"
    "before anything moved (a bad line, a soft-limit breach, a bad machine file or option);\n"
    "130 interrupted or stopped.\n";

// Events from the call process to the runner, over a pipe.
struct Event {
  std::uint32_t kind;     // the kinds below
  std::uint32_t entries;  // planned entries done / the pause entry's index
};
constexpr std::uint32_t eventProgress = 0;
constexpr std::uint32_t eventPause = 1;            // a program pause (M0, M1, M6) began
constexpr std::uint32_t eventPauseNoTerminal = 2;  // one passed without a terminal
constexpr std::uint32_t eventCleanStop = 3;        // stopped while paused: aux 0, closeConn

std::filesystem::path ExecutableDir() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : self.parent_path();
}

bool ReadAll(const std::string& path, std::string& text) {
  std::ostringstream content;
  if (path == "-") {
    content << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content << in.rdbuf();
  }
  text = content.str();
  return true;
}

bool WriteFile(const std::string& path, const std::string& what,
               const std::function<void(std::ostream&)>& write) {
  std::ofstream out(path, std::ios::binary);
  if (out) write(out);
  out.close();
  if (!out) {
    std::fprintf(stderr, "steplink: cannot write the %s %s\n", what.c_str(), path.c_str());
    return false;
  }
  return true;
}

// The terminal in key-at-a-time mode for the job's keys, restored on every way out.
class KeyInput {
 public:
  explicit KeyInput(bool enabled) {
    if (!enabled || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~KeyInput() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  KeyInput(const KeyInput&) = delete;
  KeyInput& operator=(const KeyInput&) = delete;
  // The keys typed since the last call.
  std::string Read() const {
    std::string keys;
    if (!active_) return keys;
    char buffer[64];
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    while (poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0) {
      const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) break;
      keys.append(buffer, static_cast<std::size_t>(got));
    }
    return keys;
  }

 private:
  termios saved_{};
  bool active_ = false;
};

// Child side of a stop while paused: Ctrl-C or q (SIGINT) ends the pause instead of the process.
volatile std::sig_atomic_t stopWhilePaused = 0;
void OnStopWhilePaused(int) {
  stopWhilePaused = 1;
  raise(SIGUSR2);  // ends the pause; the call process then stops cleanly
}

void SendEvent(int fd, std::uint32_t kind, std::size_t entries) {
  const Event event{kind, static_cast<std::uint32_t>(entries)};
  ssize_t ignored = write(fd, &event, sizeof event);
  (void)ignored;
}

std::string Seconds(double seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%dh%02dm", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60) % 60);
  } else if (seconds >= 60) {
    std::snprintf(text, sizeof text, "%dm%02ds", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds) % 60);
  } else {
    std::snprintf(text, sizeof text, "%.1fs", seconds);
  }
  return text;
}

void PrintPlanSummary(const gcode::Plan& plan, const gcode::Machine& machine,
                      const std::array<std::int64_t, 3>& end, double seconds, const char* what) {
  std::printf("gcode summary (%s)\n", what);
  std::printf(
      "  lines      %d (%d moves, %d vectorOut and %d reference calls, %d aux re-applied)\n",
      plan.lines, plan.moves, plan.vectorOutCalls, plan.referenceCalls, plan.reapplications);
  std::printf("  steps      x %" PRIu64 "  y %" PRIu64 "  z %" PRIu64 "\n", plan.stepsPerAxis[0],
              plan.stepsPerAxis[1], plan.stepsPerAxis[2]);
  std::printf("  time       %.3f s\n", seconds);
  std::printf("  end        x %.4f  y %.4f  z %.4f mm;  x %" PRId64 "  y %" PRId64 "  z %" PRId64
              " steps\n",
              gcode::StepsToMm(end[0], machine.axes[0]), gcode::StepsToMm(end[1], machine.axes[1]),
              gcode::StepsToMm(end[2], machine.axes[2]), end[0], end[1], end[2]);
}

}  // namespace

ArgParser MakeGcodeParser() {
  ArgParser parser;
  parser.AddOption("machine", "M.toml", "machine file (default: the built-in machine)");
  parser.AddOption("report", "R.json", "write the job report (also on refusal or fault)");
  parser.AddOption("plot", "OUT.svg", "write the path in mm (rapid, cutting, aux state) as SVG");
  parser.AddOption("emit-script", "OUT", "write the job's calls as a script for steplink run");
  parser.AddFlag("check", "check and plan only; no call is made");
  parser.AddOption("from-line", "N",
                   "resume at line N: home, move to where the lines before N end");
  parser.AddFlag("quiet", "no progress and no summary unless something goes wrong");
  parser.AddFlag("realtime", "pace with the wall clock (clock=realtime); dwells are waited");
  parser.AddOption("sim", "SPEC", "simulated table settings, as STEPLINK_SIM");
  parser.AddFlag("virtual", "time advances by port accesses only (clock=virtual, the default)");
  parser.AddOption("record", "FILE", "keep the table's record of every step in FILE");
  parser.AddOption("device", "VALUE",
                   "a real table's port (sets STEPLINK_DEVICE; e.g. parport:/dev/parport0)");
  parser.AddOption("library", "PATH",
                   "library to load (default: lib/standard/libsteplink.so of this build)");
  AddViewOptions(parser);
  parser.AddFlag("help", "show this help");
  return parser;
}

int GcodeCommand(int argc, const char* const* argv) {
  ArgParser parser = MakeGcodeParser();
  std::string error;
  if (!parser.Parse(argc, argv, 2, error)) {
    std::fprintf(stderr, "steplink gcode: %s\n%s", error.c_str(), gcodeUsage);
    return exitRefused;
  }
  if (parser.Flag("help")) {
    std::printf("%s\nOptions of gcode:\n%s\n%s", gcodeUsage, parser.OptionHelp().c_str(),
                gcodeHelp);
    return exitOk;
  }
  if (parser.Positional().size() != 1) {
    std::fprintf(stderr, "steplink gcode: expected one FILE (or '-' for standard input)\n%s",
                 gcodeUsage);
    return exitRefused;
  }
  const bool quiet = parser.Flag("quiet");
  ViewRequest viewRequest;
  if (!ParseViewRequest(parser, viewRequest, error)) {
    std::fprintf(stderr, "steplink gcode: %s\n", error.c_str());
    return exitRefused;
  }
  const std::string path = parser.Positional()[0];
  const std::string name = path == "-" ? "<stdin>" : path;

  // Options that refuse before anything is read.
  gcode::PlanOptions planOptions;
  if (const auto from = parser.Value("from-line")) {
    char* end = nullptr;
    const long line = std::strtol(from->c_str(), &end, 10);
    if (end == from->c_str() || *end != '\0' || line < 1 || line > 100'000'000) {
      std::fprintf(stderr, "steplink gcode: --from-line takes a line number (1 or more)\n");
      return exitRefused;
    }
    planOptions.fromLine = static_cast<int>(line);
  }
  const std::string libraryPath = parser.Value("library").value_or(
      (ExecutableDir() / ".." / "lib" / "standard" / "libsteplink.so").lexically_normal().string());
  // The start200 variant starts every move at 200 steps/s: the estimate follows the library.
  if (libraryPath.find("start200") != std::string::npos) planOptions.profile.startSpeed = 200;

  // Stage 1: machine and program, planned whole.
  gcode::Machine machine = gcode::BuiltinMachine();
  gcode::Plan plan;
  gcode::RunOutcome outcome;
  const auto writeReport = [&]() {
    const auto reportPath = parser.Value("report");
    if (!reportPath) return true;
    const auto report = gcode::MakeReport(name, machine, plan, outcome);
    return WriteFile(*reportPath, "report",
                     [&](std::ostream& out) { out << report.dump(2) << '\n'; });
  };
  const auto refuse = [&](const std::vector<gcode::Message>& errors, const std::string& source) {
    for (const auto& bad : errors) {
      if (bad.line > 0) {
        std::fprintf(stderr, "%s:%d: %s\n", source.c_str(), bad.line, bad.message.c_str());
      } else {
        std::fprintf(stderr, "%s: %s\n", source.c_str(), bad.message.c_str());
      }
    }
    std::fprintf(stderr, "steplink gcode: %zu error(s); refused, nothing moved\n", errors.size());
    outcome.refused = true;
    outcome.exitCode = exitRefused;
    if (plan.errors.empty()) plan.errors = errors;
    writeReport();
    return exitRefused;
  };
  if (const auto machinePath = parser.Value("machine")) {
    const gcode::MachineResult loaded = gcode::LoadMachineFile(*machinePath);
    if (!loaded.machine) {
      machine.name = *machinePath;
      return refuse(loaded.errors, *machinePath);
    }
    machine = *loaded.machine;
  }
  std::string text;
  if (!ReadAll(path, text)) {
    return refuse({{0, "cannot read the program " + path}}, name);
  }
  plan = gcode::PlanProgram(gcode::ParseProgram(text), machine, planOptions);
  if (!plan.ok()) return refuse(plan.errors, name);
  for (const auto& note : plan.notes) {
    if (!quiet)
      std::fprintf(stderr, "%s:%d: note: %s\n", name.c_str(), note.line, note.message.c_str());
  }
  int exitCode = exitOk;
  if (const auto scriptPath = parser.Value("emit-script")) {
    if (!WriteFile(*scriptPath, "call script",
                   [&](std::ostream& out) { gcode::WriteCallScript(plan, name, out); })) {
      return refuse({{0, "cannot write the call script " + *scriptPath}}, name);
    }
  }
  const auto writePlot = [&](std::size_t done) {
    const auto plotPath = parser.Value("plot");
    if (!plotPath) return true;
    return WriteFile(*plotPath, "plot", [&](std::ostream& out) {
      gcode::WritePathPlotSvg(plan, machine, done, "steplink gcode " + name, out);
    });
  };
  if (parser.Flag("check")) {
    outcome.checkOnly = true;
    outcome.durationSeconds = plan.durationSeconds;
    outcome.callsDone = plan.calls.size();
    if (!quiet)
      PrintPlanSummary(plan, machine, plan.endSteps, plan.durationSeconds, "checked, planned time");
    if (!writePlot(plan.calls.size())) exitCode = exitRunFailed;
    outcome.exitCode = exitCode;
    if (!writeReport()) exitCode = exitRunFailed;
    return exitCode;
  }

  // Stage 2: the table's settings and the library.
  RunSettings settings;
  if (!BuildRunSettings(parser, std::getenv("STEPLINK_SIM"), settings, error)) {
    return refuse({{0, error}}, "steplink gcode");
  }
  if (!std::filesystem::exists(libraryPath)) {
    RemoveRunFiles(settings);
    return refuse({{0, "no library at " + libraryPath + " (use --library PATH)"}},
                  "steplink gcode");
  }
  // A real table (--device over STEPLINK_DEVICE): only the settings that make sense on hardware,
  // and real time (dwells are waited).
  const std::string device = ChosenDevice(parser);
  if (!CheckDeviceSettings(device, parser, settings, error)) {
    RemoveRunFiles(settings);
    return refuse({{0, error}}, "steplink gcode");
  }
  const bool hardware = RealTableChosen(device);
  const bool realtime = hardware || settings.simSpec.find("clock=realtime") != std::string::npos;

  // Stage 3: the calls. Script index s maps to plan entry planIndex[s] (openConn, initTimer and
  // closeConn to none); gapAfter[s] are the plan entries (dwells, pauses) between s and s + 1.
  std::vector<ScriptCall> calls;
  std::vector<std::size_t> planIndex;
  const std::size_t none = static_cast<std::size_t>(-1);
  calls.push_back({Entry::openConn, {}, 0});
  planIndex.push_back(none);
  calls.push_back({Entry::initTimer, {}, 0});
  planIndex.push_back(none);
  for (std::size_t i = 0; i < plan.calls.size(); ++i) {
    const auto& call = plan.calls[i];
    if (call.kind != gcode::CallKind::vectorOut && call.kind != gcode::CallKind::reference)
      continue;
    calls.push_back({call.kind == gcode::CallKind::vectorOut ? Entry::vectorOut : Entry::reference,
                     call.args, call.line});
    planIndex.push_back(i);
  }
  calls.push_back({Entry::closeConn, {}, 0});
  planIndex.push_back(none);
  // Entries done once script call s has ended.
  std::vector<std::size_t> doneAfter(calls.size(), 0);
  for (std::size_t s = 0; s < calls.size(); ++s) {
    if (planIndex[s] != none)
      doneAfter[s] = planIndex[s] + 1;
    else if (s > 0)
      doneAfter[s] = doneAfter[s - 1];
  }
  const auto gapEnd = [&](std::size_t s) {  // entries before script call s + 1 begins
    for (std::size_t next = s + 1; next < calls.size(); ++next) {
      if (planIndex[next] != none) return planIndex[next];
    }
    return plan.calls.size();
  };

  const bool terminal = path != "-" && isatty(STDIN_FILENO) != 0;
  int events[2];
  if (pipe(events) != 0) {
    RemoveRunFiles(settings);
    return refuse({{0, "cannot create a pipe for the job's progress"}}, "steplink gcode");
  }
  fcntl(events[0], F_SETFL, O_NONBLOCK);

  ChildOptions options;
  options.libraryPath = libraryPath;
  options.printCalls = false;
  options.environment.emplace_back("STEPLINK_SIM", settings.simSpec);
  if (!device.empty()) {
    setenv("STEPLINK_DEVICE", device.c_str(), 1);  // for the runner's own messages too
    options.environment.emplace_back("STEPLINK_DEVICE", device);
  }
  options.stopWhenOpenFails = true;
  CallHooks hooks;
  // The job section of the status block (for live views): written by the call process, opened
  // once openConn has made the block.
  status::JobStatusWriter jobStatus;
  const auto publish = [&](std::uint32_t state, std::size_t s, bool inCall) {
    if (!jobStatus.IsOpen()) {
      std::string ignored;
      if (s == 0 || !jobStatus.Open(settings.statusName, ignored)) return;
    }
    SteplinkStatusJob job = jobStatus.Current();
    job.state = state;
    job.callCount = static_cast<std::uint32_t>(calls.size());
    job.callIndex = static_cast<std::uint32_t>(s + 1);
    const ScriptCall& call = calls[std::min(s, calls.size() - 1)];
    job.callEntry = !inCall                          ? STEPLINK_CALL_NONE
                    : call.entry == Entry::vectorOut ? STEPLINK_CALL_VECTOR_OUT
                    : call.entry == Entry::reference ? STEPLINK_CALL_REFERENCE
                    : call.entry == Entry::closeConn ? STEPLINK_CALL_CLOSE_CONN
                    : call.entry == Entry::initTimer ? STEPLINK_CALL_INIT_TIMER
                                                     : STEPLINK_CALL_OPEN_CONN;
    for (int axis = 0; axis < 3; ++axis) job.callArgs[axis] = inCall ? call.args[axis] : 0;
    const std::size_t entry = planIndex[std::min(s, calls.size() - 1)];
    if (entry != none) {
      const auto& planned = plan.calls[entry];
      job.gcodeLine = static_cast<std::uint32_t>(planned.line);
      const double at = inCall ? planned.startSeconds : planned.startSeconds + planned.seconds;
      job.percent = plan.durationSeconds > 0 ? 100.0 * at / plan.durationSeconds : 100.0;
      job.etaSeconds = std::max(0.0, plan.durationSeconds - at);
      const auto& from = inCall && entry > 0 ? plan.calls[entry - 1].endSteps : planned.endSteps;
      for (int axis = 0; axis < 3; ++axis)
        job.mm[axis] = gcode::StepsToMm(from[axis], machine.axes[axis]);
    } else if (s + 1 >= calls.size()) {
      job.percent = 100.0;
      job.etaSeconds = 0.0;
    }
    jobStatus.Write(job);
  };
  // The hooks run in the call process, on its copy of everything above.
  hooks.beforeCall = [&](std::size_t s, const ScriptCall&) {
    if (s == 0) close(events[0]);
    publish(STEPLINK_JOB_RUNNING, s, true);
    if (s < 2 || !realtime) return;
    for (std::size_t i = doneAfter[s - 1]; i < gapEnd(s - 1); ++i) {
      if (plan.calls[i].kind != gcode::CallKind::dwell) continue;
      const double seconds = plan.calls[i].seconds;
      timespec wait{
          static_cast<time_t>(seconds),
          static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
      while (nanosleep(&wait, &wait) != 0) {
      }
    }
  };
  hooks.afterCall = [&](std::size_t s, const ScriptCall&, int) {
    publish(s + 1 >= calls.size() ? STEPLINK_JOB_ENDED : STEPLINK_JOB_RUNNING, s, false);
    SendEvent(events[1], eventProgress, doneAfter[s]);
    if (s == 0 || s + 1 >= calls.size()) return;
    for (std::size_t i = doneAfter[s]; i < gapEnd(s); ++i) {
      if (plan.calls[i].kind != gcode::CallKind::pause) continue;
      if (terminal) {
        SendEvent(events[1], eventPause, i);
        raise(SIGUSR1);  // pause before the next call, as a feed hold
        return;
      }
      SendEvent(events[1], eventPauseNoTerminal, i);
    }
  };
  hooks.pauseChanged = [&](bool paused) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = paused ? OnStopWhilePaused : SIG_DFL;
    sigaction(SIGINT, &action, nullptr);
    if (jobStatus.IsOpen()) {
      SteplinkStatusJob job = jobStatus.Current();
      job.state = paused ? STEPLINK_JOB_PAUSED : STEPLINK_JOB_RUNNING;
      jobStatus.Write(job);
    }
    if (paused || stopWhilePaused == 0) return;
    // Stopped while paused: the auxiliary output off (state 0, as M5), then closeConn.
    Entries entries;
    std::string loadError;
    if (LoadEntries(libraryPath, entries, loadError)) {
      entries.vectorOut(nullptr, nullptr, 0, 0, STEPLINK_Z_AUX_MINUS);
      entries.closeConn(nullptr, nullptr);
    }
    if (jobStatus.IsOpen()) {
      SteplinkStatusJob job = jobStatus.Current();
      job.state = STEPLINK_JOB_INTERRUPTED;
      jobStatus.Write(job);
    }
    SendEvent(events[1], eventCleanStop, 0);
    std::fflush(stdout);
    std::exit(0);
  };

  CallChild child;
  // The live view (if asked for) serves before the first call; Pause and Resume act at the next
  // call boundary, as the terminal's feed hold does.
  std::unique_ptr<view::Server> liveView;
  if (viewRequest.wanted) {
    liveView = StartJobView(viewRequest, settings.statusName, name, true, true, child, error);
    if (!liveView) {
      close(events[0]);
      close(events[1]);
      RemoveRunFiles(settings);
      std::fprintf(stderr, "steplink: --view: %s\n", error.c_str());
      return exitRefused;
    }
  }
  const auto wallStart = std::chrono::steady_clock::now();
  if (!child.Start(options, calls, hooks, error)) {
    close(events[0]);
    close(events[1]);
    RemoveRunFiles(settings);
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    outcome.exitCode = exitRunFailed;
    outcome.fault = true;
    outcome.faultMessage = error;
    writeReport();
    return exitRunFailed;
  }
  close(events[1]);

  std::size_t done = 0;
  bool paused = false;
  bool cleanStop = false;
  std::vector<std::size_t> pausesWithoutTerminal;
  const bool showProgress = !quiet;
  const bool stderrTerminal = isatty(STDERR_FILENO) != 0;
  auto lastPrint = std::chrono::steady_clock::now() - std::chrono::seconds(10);
  bool progressShown = false;
  const auto clearProgress = [&]() {
    if (progressShown && stderrTerminal) std::fprintf(stderr, "\r\033[K");
    progressShown = false;
  };
  ChildOutcome childOutcome;
  {
    KeyInput keys(terminal);
    if (terminal && !quiet) {
      std::fprintf(stderr, "steplink gcode: any key pauses (feed hold), Enter resumes, q stops\n");
    }
    const auto tick = [&]() {
      Event event{};
      while (read(events[0], &event, sizeof event) == sizeof event) {
        if (event.kind == eventProgress) done = event.entries;
        if (event.kind == eventCleanStop) cleanStop = true;
        if (event.kind == eventPauseNoTerminal) pausesWithoutTerminal.push_back(event.entries);
        if (event.kind == eventPause && event.entries < plan.calls.size()) {
          paused = true;
          clearProgress();
          std::fprintf(stderr, "steplink gcode: line %d: %s (q stops)\n",
                       plan.calls[event.entries].line, plan.calls[event.entries].text.c_str());
        }
      }
      for (const char key : keys.Read()) {
        if (paused && (key == '\n' || key == '\r')) {
          paused = false;
          child.RequestResume();
          std::fprintf(stderr, "steplink gcode: resumed\n");
        } else if (paused && (key == 'q' || key == 'Q')) {
          std::fprintf(stderr, "steplink gcode: stopping: auxiliary state 0, then closeConn\n");
          child.RequestStop();
        } else if (!paused) {
          paused = true;
          child.RequestPause();
          clearProgress();
          std::fprintf(stderr,
                       "steplink gcode: feed hold at the next call boundary: Enter "
                       "resumes, q stops\n");
        }
      }
      const auto now = std::chrono::steady_clock::now();
      if (!showProgress || paused || now - lastPrint < std::chrono::milliseconds(500)) return;
      lastPrint = now;
      const std::size_t at = std::min(done, plan.calls.size() - (plan.calls.empty() ? 0 : 1));
      if (plan.calls.empty()) return;
      const double planned = plan.calls[at].startSeconds;
      const double percent =
          plan.durationSeconds > 0 ? 100.0 * planned / plan.durationSeconds : 100.0;
      std::fprintf(stderr, "%sline %d/%d  %5.1f%%  ETA %s (job time)%s", stderrTerminal ? "\r" : "",
                   plan.calls[at].line, plan.lines, percent,
                   Seconds(plan.durationSeconds - planned).c_str(),
                   stderrTerminal ? "\033[K" : "\n");
      progressShown = true;
    };
    WaitHooks waitHooks;
    waitHooks.tick = tick;
    waitHooks.beforeOutput = clearProgress;
    childOutcome = child.Wait(waitHooks);
    tick();
    clearProgress();
  }
  close(events[0]);
  const double wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

  // Stage 4: how it ended.
  using End = ChildOutcome::End;
  if (childOutcome.end == End::loadFailed) {
    exitCode = exitRefused;
    outcome.refused = true;
  } else if (childOutcome.end != End::completed) {
    if (childOutcome.stopSignal == 0) {
      outcome.fault = true;
      outcome.faultMessage = Explain(childOutcome);
      std::fprintf(stderr, "steplink: %s\n", outcome.faultMessage.c_str());
    }
    exitCode = exitRunFailed;
  }
  if (childOutcome.stopSignal != 0) {
    exitCode = childOutcome.stopSignal == SIGINT ? exitInterrupted : 128 + childOutcome.stopSignal;
    outcome.interrupted = true;
  }
  outcome.callsDone = done;
  for (const std::size_t i : pausesWithoutTerminal) {
    outcome.notes.push_back({plan.calls[i].line, plan.calls[i].text.substr(0, 2) +
                                                     " passed: no terminal on standard input"});
  }
  if (cleanStop)
    outcome.notes.push_back({0, "stopped while paused: auxiliary state 0 applied, then closeConn"});

  if (childOutcome.portErrorLines > 0 || childOutcome.timerStallLines > 0) {
    outcome.fault = true;
    outcome.faultMessage = childOutcome.portErrorLines > 0
                               ? "port operation(s) failed, first: " + childOutcome.firstPortError
                               : "counter 0 stood still: the waits were not paced";
    std::fprintf(stderr, "steplink: %s\n", outcome.faultMessage.c_str());
    if (exitCode == exitOk) exitCode = exitRunFailed;
  }
  status::StatusView statusView;
  const RunRecord run = CollectRecord(settings, statusView);
  if (exitCode != exitRefused) {
    if (ReportRecordProblems(run)) {
      if (exitCode == exitOk) exitCode = exitRunFailed;
      outcome.fault = true;
      outcome.faultMessage =
          "the table saw " + std::to_string(run.record.faults.size()) + " fault(s)";
    }
    const std::uint64_t ticks =
        run.status ? std::max(run.status->ticks, run.record.LastTick()) : run.record.LastTick();
    double dwellSeconds = 0;
    for (std::size_t i = 0; i < std::min(done, plan.calls.size()); ++i) {
      if (plan.calls[i].kind == gcode::CallKind::dwell) dwellSeconds += plan.calls[i].seconds;
    }
    // On the virtual clock a dwell is counted, not waited; on the realtime clock it is in the
    // ticks.
    outcome.durationSeconds = ticks * STEPLINK_TICK_SECONDS + (realtime ? 0.0 : dwellSeconds);
    const auto finals = run.record.FinalPositions();
    outcome.tableSteps =
        run.status ? std::array<std::int64_t, 3>{run.status->positionX, run.status->positionY,
                                                 run.status->positionZ}
                   : std::array<std::int64_t, 3>{finals[0], finals[1], finals[2]};
  }
  outcome.wallSeconds = wallSeconds;
  outcome.exitCode = exitCode;
  if (!quiet || exitCode != exitOk) {
    const char* how = exitCode == exitOk    ? "ran to its end"
                      : outcome.interrupted ? "interrupted"
                                            : "failed";
    PrintPlanSummary(plan, machine, gcode::EndSteps(plan, outcome), outcome.durationSeconds, how);
    std::printf("  planned    %.3f s (estimate); wall %.3f s; %zu of %zu entries done\n",
                plan.durationSeconds, wallSeconds, std::min(done, plan.calls.size()),
                plan.calls.size());
    if (outcome.tableSteps) {
      const auto& t = *outcome.tableSteps;
      std::printf("  table      x %" PRId64 "  y %" PRId64 "  z %" PRId64
                  " (steps from where it stood at the start)\n",
                  t[0], t[1], t[2]);
    }
  }
  if (!writePlot(done) && exitCode == exitOk) exitCode = exitRunFailed;
  outcome.exitCode = exitCode;
  if (!writeReport() && exitCode == exitOk) exitCode = exitRunFailed;
  if (liveView) FinishJobView(*liveView, exitCode);
  RemoveRunFiles(settings);
  return exitCode;
}

}  // namespace tool
