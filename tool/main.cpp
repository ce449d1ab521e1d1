// steplink: runs scripts of entry calls through the library's exported JNI entries on the
// simulated table, and plots the table's record. Loads the library with dlopen, as a JVM does;
// learns the table's state from its record file and status block.
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "args.h"
#include "plot.h"
#include "record.h"
#include "script.h"
#include "sim/config.h"
#include "status_block.h"

namespace {

using tool::ArgParser;
using tool::Entry;

// Exit codes.
constexpr int exitOk = 0;
constexpr int exitRunFailed = 1;  // simulator faults, openConn failed, the library crashed
constexpr int exitUsage = 2;      // bad command line, bad script, library not loadable

// Exit codes of the child process that makes the calls.
constexpr int childOk = 0;
constexpr int childOpenFailed = 10;
constexpr int childLoadFailed = 20;

constexpr char usageText[] =
    "usage: steplink run [options] SCRIPT   run a script of entry calls ('-' = standard input)\n"
    "       steplink plot RECORD OUT.svg    plot a record file of the simulated table\n"
    "       steplink --help\n";

constexpr char scriptHelp[] =
    "Script: one call per line, '#' starts a comment:\n"
    "  openConn | closeConn | initTimer | vectorOut X Y Z | reference X Y Z\n"
    "X, Y and Z are 32-bit signed decimal integers.\n\n"
    "The run prints each call with its result and the library's own lines, then a summary of\n"
    "the simulated table: positions, aux state, faults by kind, simulated and wall time.\n"
    "Exit status: 0 success; 1 simulator faults, openConn failed or the library crashed;\n"
    "2 bad command line or script, or the library could not be loaded.\n";

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

// The five exports, typed as a JVM calls them: (JNIEnv*, jclass, args...).
struct Entries {
  using NoArgs = int (*)(void*, void*);
  using Move = int (*)(void*, void*, int, int, int);
  using Reference = void (*)(void*, void*, int, int, int);
  NoArgs openConn = nullptr;
  NoArgs closeConn = nullptr;
  NoArgs initTimer = nullptr;
  Move vectorOut = nullptr;
  Reference reference = nullptr;
};

bool LoadEntries(const std::string& libraryPath, Entries& entries) {
  void* library = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "steplink: cannot load %s: %s\n", libraryPath.c_str(), dlerror());
    return false;
  }
  bool complete = true;
  auto resolve = [&](const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
      std::fprintf(stderr, "steplink: %s does not export %s\n", libraryPath.c_str(), name);
      complete = false;
    }
    return symbol;
  };
  entries.openConn = reinterpret_cast<Entries::NoArgs>(resolve("Java_JavaToC_openConn"));
  entries.closeConn = reinterpret_cast<Entries::NoArgs>(resolve("Java_JavaToC_closeConn"));
  entries.initTimer = reinterpret_cast<Entries::NoArgs>(resolve("Java_JavaToC_initTimer"));
  entries.vectorOut = reinterpret_cast<Entries::Move>(resolve("Java_JavaToC_vectorOut"));
  entries.reference = reinterpret_cast<Entries::Reference>(resolve("Java_JavaToC_reference"));
  return complete;
}

// Runs in the child process: loads the library, makes every call, and exits through exit() so
// that the library's static destructors flush the record file.
[[noreturn]] void RunCalls(const std::string& libraryPath, const tool::Script& script, bool quiet) {
  Entries entries;
  if (!LoadEntries(libraryPath, entries)) std::exit(childLoadFailed);
  bool openFailed = false;
  for (const tool::ScriptCall& call : script.calls) {
    const auto [x, y, z] = call.args;
    int result = 0;
    switch (call.entry) {
      case Entry::openConn:
        result = entries.openConn(nullptr, nullptr);
        if (result == 255) openFailed = true;
        break;
      case Entry::closeConn:
        result = entries.closeConn(nullptr, nullptr);
        break;
      case Entry::initTimer:
        result = entries.initTimer(nullptr, nullptr);
        break;
      case Entry::vectorOut:
        result = entries.vectorOut(nullptr, nullptr, x, y, z);
        break;
      case Entry::reference:
        entries.reference(nullptr, nullptr, x, y, z);
        break;
    }
    if (!quiet) {
      if (call.entry == Entry::reference) {
        std::printf("%s -> done\n", tool::FormatCall(call).c_str());
      } else {
        std::printf("%s -> %d\n", tool::FormatCall(call).c_str(), result);
      }
    }
    std::fflush(stdout);  // the library never flushes; its lines and ours stay in order
  }
  std::fflush(stdout);
  std::exit(openFailed ? childOpenFailed : childOk);
}

// Prints the table's position every second while the child runs.
class Progress {
 public:
  Progress(std::string statusName, bool enabled) : statusName_(std::move(statusName)) {
    if (enabled) thread_ = std::thread([this] { Loop(); });
  }
  ~Progress() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  void Loop() {
    const bool terminal = isatty(STDERR_FILENO) != 0;
    tool::StatusView view;
    bool printed = false;
    int slices = 0;
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (++slices % 10 != 0) continue;
      if (!view.Open(statusName_)) continue;
      const auto status = view.ReadTable();
      if (!status) continue;
      std::fprintf(
          stderr,
          "%s  x %" PRId32 "  y %" PRId32 "  z %" PRId32 "  steps %" PRIu64 "  simulated %.2f s%s",
          terminal ? "\r" : "", status->positionX, status->positionY, status->positionZ,
          status->totalSteps, status->ticks * tool::secondsPerTick, terminal ? "\033[K" : "\n");
      printed = true;
    }
    if (printed && terminal) std::fprintf(stderr, "\r\033[K");
  }

  std::string statusName_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string TempRecordPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/steplink-record-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return {};
  close(fd);
  return pattern;
}

void PrintSummary(const tool::Record& record, const std::optional<SteplinkStatusTable>& status,
                  double wallSeconds) {
  const auto finals = record.FinalPositions();
  const std::int32_t x = status ? status->positionX : finals[0];
  const std::int32_t y = status ? status->positionY : finals[1];
  const std::int32_t z = status ? status->positionZ : finals[2];
  const int aux = status ? status->auxState : (record.aux.empty() ? -1 : record.aux.back().state);
  const std::uint64_t ticks =
      status ? std::max(status->ticks, record.LastTick()) : record.LastTick();
  std::printf("summary\n");
  std::printf("  position   x %" PRId32 "  y %" PRId32 "  z %" PRId32 " (steps)\n", x, y, z);
  std::printf("  aux state  %s\n", aux < 0 ? "none set" : std::to_string(aux).c_str());
  std::printf("  steps      %zu\n", record.steps.size());
  std::string faults;
  for (const auto& [kind, count] : record.FaultsByKind()) {
    faults += (faults.empty() ? "" : ", ") + kind + " " + std::to_string(count);
  }
  std::printf("  faults     %s\n", faults.empty() ? "none" : faults.c_str());
  std::printf("  simulated  %.3f s (%" PRIu64 " ticks)\n", ticks * tool::secondsPerTick, ticks);
  std::printf("  wall time  %.3f s\n", wallSeconds);
}

bool WritePlot(const tool::Record& record, const std::string& path, const std::string& title) {
  std::ofstream out(path, std::ios::binary);
  if (out) tool::WritePlotSvg(record, title, out);
  out.close();
  if (!out) {
    std::fprintf(stderr, "steplink: cannot write the plot %s\n", path.c_str());
    return false;
  }
  return true;
}

int Run(int argc, const char* const* argv) {
  ArgParser parser = MakeRunParser();
  std::string error;
  if (!parser.Parse(argc, argv, 2, error)) {
    std::fprintf(stderr, "steplink run: %s\n%s", error.c_str(), usageText);
    return exitUsage;
  }
  if (parser.Flag("help")) {
    std::printf("%s\nOptions of run:\n%s\n%s", usageText, parser.OptionHelp().c_str(), scriptHelp);
    return exitOk;
  }
  if (parser.Positional().size() != 1) {
    std::fprintf(stderr, "steplink run: expected one SCRIPT (or '-' for standard input)\n%s",
                 usageText);
    return exitUsage;
  }
  const bool quiet = parser.Flag("quiet");
  const std::string scriptPath = parser.Positional()[0];
  const std::string scriptName = scriptPath == "-" ? "<stdin>" : scriptPath;

  std::string text;
  if (!ReadAll(scriptPath, text)) {
    std::fprintf(stderr, "steplink: cannot read the script %s\n", scriptPath.c_str());
    return exitUsage;
  }
  const tool::Script script = tool::ParseScript(text);
  if (!script.errors.empty()) {
    for (const tool::ScriptError& bad : script.errors) {
      std::fprintf(stderr, "%s:%d: %s\n", scriptName.c_str(), bad.line, bad.message.c_str());
    }
    std::fprintf(stderr, "steplink: the script has %zu error(s); nothing was run\n",
                 script.errors.size());
    return exitUsage;
  }

  // The simulated table's settings: the user's, plus the runner's clock, record and status.
  std::string spec = parser.Value("sim").value_or("");
  const sim::ConfigResult parsed = sim::ParseSimConfig(spec);
  if (!parsed.config) {
    std::fprintf(stderr, "steplink: --sim: %s\n", parsed.error.c_str());
    return exitUsage;
  }
  const bool specHasClock = spec.find("clock=") != std::string::npos;
  if (parser.Flag("realtime") && specHasClock) {
    std::fprintf(stderr, "steplink: --realtime and a clock in --sim contradict each other\n");
    return exitUsage;
  }
  auto addKey = [&spec](const std::string& item) { spec += (spec.empty() ? "" : ",") + item; };
  if (!specHasClock) addKey(parser.Flag("realtime") ? "clock=realtime" : "clock=virtual");
  std::string recordPath = parsed.config->recordPath;
  const bool ownRecord = recordPath.empty();
  if (ownRecord) {
    recordPath = TempRecordPath();
    if (recordPath.empty()) {
      std::perror("steplink: cannot create a temporary record file");
      return exitUsage;
    }
    addKey("record=" + recordPath);
  }
  std::string statusName = parsed.config->statusName;
  const bool ownStatus = statusName.empty();
  if (ownStatus) {
    statusName = "steplink-run-" + std::to_string(getpid());
    addKey("status=" + statusName);
  }

  const std::string libraryPath = parser.Value("library").value_or(
      (ExecutableDir() / ".." / "lib" / "standard" / "libsteplink.so").lexically_normal().string());
  if (!std::filesystem::exists(libraryPath)) {
    std::fprintf(stderr, "steplink: no library at %s (use --library PATH)\n", libraryPath.c_str());
    if (ownRecord) std::remove(recordPath.c_str());
    return exitUsage;
  }

  // The status block is the runner's: made before the calls start (the call process's table takes
  // over a block its parent made), read for the summary after they end, removed at the end.
  std::unique_ptr<sim::StatusBlockFile> statusBlock =
      sim::StatusBlockFile::Create(statusName, error);
  if (statusBlock == nullptr) {
    std::fprintf(stderr, "steplink: status=%s: %s\n", statusName.c_str(), error.c_str());
    if (ownRecord) std::remove(recordPath.c_str());
    return exitUsage;
  }

  // Environment of the library, set before it is loaded.
  setenv("STEPLINK_SIM", spec.c_str(), 1);
  if (const auto trace = parser.Value("trace")) setenv("STEPLINK_TRACE", trace->c_str(), 1);
  if (!quiet) {
    std::printf("steplink: %s with %s\n  STEPLINK_SIM=%s\n", scriptName.c_str(),
                libraryPath.c_str(), spec.c_str());
  }

  std::fflush(stdout);
  std::fflush(stderr);
  const auto wallStart = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("steplink: fork");
    return exitUsage;
  }
  if (child == 0) RunCalls(libraryPath, script, quiet);
  // Ctrl-C stops the calls (the child) but not the report and the clean-up of record and status.
  std::signal(SIGINT, SIG_IGN);
  int waitStatus = 0;
  {
    Progress progress(statusName, !quiet && (parser.Flag("progress") || isatty(STDERR_FILENO)));
    while (waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
  }
  const double wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

  int exitCode = exitOk;
  if (WIFSIGNALED(waitStatus)) {
    std::fprintf(stderr, "steplink: the run ended on signal %d (%s)\n", WTERMSIG(waitStatus),
                 strsignal(WTERMSIG(waitStatus)));
    exitCode = exitRunFailed;
  } else if (WEXITSTATUS(waitStatus) == childLoadFailed) {
    exitCode = exitUsage;
  } else if (WEXITSTATUS(waitStatus) == childOpenFailed) {
    std::fprintf(stderr, "steplink: openConn failed (255): the simulated table did not open\n");
    exitCode = exitRunFailed;
  } else if (WEXITSTATUS(waitStatus) != childOk) {
    exitCode = exitRunFailed;
  }

  const tool::Record record = tool::ReadRecordFile(recordPath);
  const std::optional<SteplinkStatusTable> status = sim::ReadSection(statusBlock->Block().table);
  if (exitCode != exitUsage) {
    for (const std::string& bad : record.errors) {
      std::fprintf(stderr, "steplink: record %s\n", bad.c_str());
    }
    if (!record.faults.empty()) {
      std::fprintf(stderr, "steplink: the simulated table saw %zu fault(s); first: %s at %.6f s\n",
                   record.faults.size(), record.faults.front().kind.c_str(),
                   record.faults.front().tick * tool::secondsPerTick);
      exitCode = exitRunFailed;
    }
    if (!quiet || exitCode != exitOk) PrintSummary(record, status, wallSeconds);
    if (const auto plot = parser.Value("plot")) {
      if (!WritePlot(record, *plot, "steplink run " + scriptName)) exitCode = exitRunFailed;
    }
  }
  statusBlock.reset();  // removes it
  if (ownRecord) std::remove(recordPath.c_str());
  return exitCode;
}

int Plot(int argc, const char* const* argv) {
  ArgParser parser;
  parser.AddFlag("help", "show this help");
  std::string error;
  if (!parser.Parse(argc, argv, 2, error) || parser.Flag("help") ||
      parser.Positional().size() != 2) {
    std::fprintf(parser.Flag("help") ? stdout : stderr, "%s%s",
                 error.empty() ? "" : (error + "\n").c_str(), usageText);
    return parser.Flag("help") ? exitOk : exitUsage;
  }
  const std::string& recordPath = parser.Positional()[0];
  const tool::Record record = tool::ReadRecordFile(recordPath);
  for (const std::string& bad : record.errors) {
    std::fprintf(stderr, "steplink: record %s\n", bad.c_str());
  }
  if (!std::filesystem::exists(recordPath)) return exitUsage;
  return WritePlot(record, parser.Positional()[1], recordPath) ? exitOk : exitRunFailed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "run") return Run(argc, argv);
  if (command == "plot") return Plot(argc, argv);
  if (command == "--help" || command == "-h" || command == "help") {
    std::printf("%s\nOptions of run:\n%s\n%s", usageText, MakeRunParser().OptionHelp().c_str(),
                scriptHelp);
    return exitOk;
  }
  std::fprintf(stderr, "%s", usageText);
  return exitUsage;
}
