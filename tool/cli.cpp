// The command line of steplink, with CLI11: one App per command, the shared option groups.
#include "cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "exit_codes.h"

#ifndef STEPLINK_VERSION
#define STEPLINK_VERSION "unknown"
#endif

namespace tool {

bool ParseByteSize(const std::string& text, std::uint64_t& bytes, std::string& error) {
  error = "'" + text + "' is no size; give bytes, or a number with K, M or G (e.g. 512M)";
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 18 || text.size() - digits > 1) return false;
  std::uint64_t value = std::stoull(text.substr(0, digits));
  int shift = 0;
  if (digits < text.size()) {
    const char unit = static_cast<char>(text[digits] | 0x20);
    shift = unit == 'k' ? 10 : unit == 'm' ? 20 : unit == 'g' ? 30 : -1;
    if (shift < 0) return false;
  }
  if (value == 0) {
    error = "a trace bound of 0 bytes keeps nothing; leave --trace out instead";
    return false;
  }
  if (value > (std::uint64_t{1} << (62 - shift))) return false;
  bytes = value << shift;
  error.clear();
  return true;
}

namespace {

constexpr const char* commands[] = {"run", "gcode", "plot", "view", "probe"};

void AddTableGroup(CLI::App& app, TableOptions& table) {
  CLI::Option_group* group = app.add_option_group("Table and device");
  group->add_option("--sim", table.sim,
                    "simulated table settings as in STEPLINK_SIM, key by key over it; '\\,' is a "
                    "comma in a value");
  group->add_flag("--realtime", table.realtime, "pace with the wall clock (clock=realtime)");
  group->add_flag("--virtual", table.virtualClock,
                  "time advances by port accesses only (clock=virtual, the default)");
  group
      ->add_option("--record", table.record,
                   "keep the table's record in FILE (record=FILE; any character allowed)")
      ->type_name("FILE");
  group
      ->add_option("--device", table.device,
                   "drive a real table (sets STEPLINK_DEVICE): parport:/dev/parportN, parport:N, "
                   "parport:0xBASE or direct:0xBASE, optionally ,timer=clock or ,timer=pit")
      ->type_name("VALUE");
  group->add_flag("--rt", table.rt,
                  "run the calls with SCHED_FIFO and locked memory (for a real table)");
  group
      ->add_option_function<std::string>(
          "--cpu",
          [&table](const std::string& value) {
            if (value.empty() || value.size() > 4 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
              throw CLI::ValidationError("--cpu takes a CPU number (0, 1, ...), not '" + value +
                                         "'");
            }
            table.cpu = std::stoi(value);
          },
          "run the calls on CPU N only")
      ->type_name("N");
  group->add_option("--trace", table.trace, "write the library's port trace (STEPLINK_TRACE)")
      ->type_name("FILE");
  group
      ->add_option_function<std::string>(
          "--trace-max",
          [&table](const std::string& value) {
            std::string error;
            if (!ParseByteSize(value, table.traceMaxBytes, error)) {
              throw CLI::ValidationError("--trace-max: " + error);
            }
          },
          "stop the trace at SIZE bytes (K, M, G: 1024s; default 16G); the job runs on")
      ->type_name("SIZE");
  group
      ->add_option("--library", table.library,
                   "library to load (default: the variant's libsteplink.so of this build, then "
                   "the installed one; a name without '/' is a file in the current directory)")
      ->type_name("PATH");
  group
      ->add_option_function<std::string>(
          "--variant",
          [&table](const std::string& value) {
            table.variant = value == "start200" ? Variant::start200 : Variant::standard;
            table.variantGiven = true;
          },
          "the library's variant: standard (moves start at 300 steps/s, the default) or "
          "start200 (200 steps/s); also sets the time estimate's start speed")
      ->type_name("NAME")
      ->check(CLI::IsMember({"standard", "start200"}));
}

void AddViewGroup(CLI::App& app, ViewOptions& view) {
  CLI::Option_group* group = app.add_option_group("Live view");
  CLI::Option* wanted = group->add_flag(
      "--view", view.wanted,
      "serve a live view of the job in the browser on 127.0.0.1; prints the URL to open");
  group->add_option("--view-port", view.port, "the live view's port (default: a free one)")
      ->type_name("N")
      ->check(CLI::Range(0, 65535))
      ->needs(wanted);
  group->add_flag("--view-ipv6", view.ipv6, "serve the live view on ::1 instead of 127.0.0.1")
      ->needs(wanted);
}

void AddDisplayGroup(CLI::App& app, DisplayOptions& display) {
  CLI::Option_group* group = app.add_option_group("Display");
  group->add_flag("--quiet", display.quiet,
                  "only errors, faults and, when something went wrong, the summary");
  group->add_flag("--progress", display.progress,
                  "progress every second on standard error (on by default on a terminal)");
  group->add_flag("--verbatim", display.verbatim,
                  "show every library line (a run of more than 20 identical lines is otherwise "
                  "shown once with its count; trace and record are never shortened)");
}

// `--view 8080` (the old form): refused, never taken as the script.
bool ViewPortGivenTheOldWay(int argc, char** argv, std::string& error) {
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) return false;
    const bool next = std::strcmp(arg, "--view") == 0 && i + 1 < argc && argv[i + 1][0] != '\0' &&
                      std::strspn(argv[i + 1], "0123456789") == std::strlen(argv[i + 1]);
    if (next || std::strncmp(arg, "--view=", 7) == 0) {
      error = std::string("--view takes no port: use --view-port N");
      return true;
    }
  }
  return false;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Parses one command's options; the exit code when it ends there (help, an error), or -1.
int Parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc - 1, argv + 1);
  } catch (const CLI::Success& success) {
    return app.exit(success);  // --help: printed on standard output, exit 0
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s: %s\nRun with --help for the options.\n", app.get_name().c_str(),
                 error.what());
    return exitRefused;
  }
  return -1;
}

}  // namespace

std::string NearestCommand(const std::string& typed) {
  std::string best;
  std::size_t bestDistance = 3;  // at most two edits away
  for (const char* command : commands) {
    const std::size_t distance = EditDistance(typed, command);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = command;
    }
  }
  return best;
}

int Main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const auto known = std::find_if(std::begin(commands), std::end(commands),
                                  [&](const char* name) { return command == name; });
  if (known == std::end(commands)) {
    CLI::App top("steplink: runs jobs on a stepper-motor table through libsteplink", "steplink");
    top.set_version_flag("--version", "steplink " STEPLINK_VERSION);
    top.footer(
        "Commands:\n"
        "  run SCRIPT        run a script of entry calls ('-' = standard input)\n"
        "  gcode FILE        check, plan and run a G-code program\n"
        "  plot RECORD OUT   plot a record file of the table\n"
        "  view --status N   live view of a status block another program writes\n"
        "  probe             check this machine's parallel ports and timer\n"
        "steplink COMMAND --help lists a command's options.");
    if (command.empty() || command[0] == '-') {
      try {
        top.parse(argc, argv);
      } catch (const CLI::Success& success) {
        return top.exit(success);
      } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "steplink: %s\n%s", error.what(), top.help().c_str());
        return exitRefused;
      }
      std::fprintf(stderr, "%s", top.help().c_str());
      return exitRefused;  // no command
    }
    const std::string nearest = NearestCommand(command);
    std::fprintf(stderr, "steplink: unknown command '%s'%s; steplink --help lists them\n",
                 command.c_str(),
                 nearest.empty() ? "" : (" (did you mean '" + nearest + "'?)").c_str());
    return exitRefused;
  }
  CLI::App app;
  app.name("steplink " + command);
  int code = -1;
  if (command == "run") {
    RunArgs args;
    app.description(
        "Runs a script of entry calls through the library, on the simulated table or "
        "a real one. Script: one call per line (openConn, closeConn, initTimer, "
        "vectorOut X Y Z, reference X Y Z), '#' comments. Exit status: 0 success; 1 a "
        "fault while running; 2 refused before anything moved; 130 interrupted; "
        "128+N ended by signal N.");
    app.add_option("SCRIPT", args.script, "the script ('-' for standard input)")->required();
    AddTableGroup(app, args.table);
    app.add_option("--plot", args.plot, "write step rates over time and the X-Y path as SVG")
        ->type_name("FILE.svg");
    AddViewGroup(app, args.view);
    AddDisplayGroup(app, args.display);
    app.add_flag("--keep-going", args.keepGoing,
                 "make every call even after openConn failed (to watch the library's own "
                 "failure behaviour; simulated table only)");
    std::string error;
    if (ViewPortGivenTheOldWay(argc, argv, error)) {
      std::fprintf(stderr, "steplink run: %s\n", error.c_str());
      return exitRefused;
    }
    code = Parse(app, argc, argv);
    return code >= 0 ? code : RunCommand(args);
  }
  if (command == "gcode") {
    GcodeArgs args;
    app.description(
        "Checks and plans the whole G-code program before the first call, then runs "
        "it. On a terminal any key pauses at the next call boundary (feed hold), "
        "Enter resumes, q while paused stops (auxiliary state 0, closeConn). A job "
        "stopped otherwise gets its auxiliary output turned off after the stop. Exit "
        "status: 0 ran to its end (or --check passed); 1 a fault; 2 refused before "
        "anything moved; 130 interrupted or stopped; 128+N ended by signal N.");
    app.add_option("FILE", args.file, "the program ('-' for standard input)")->required();
    app.add_option("--machine", args.machine, "machine file (default: the built-in machine)")
        ->type_name("M.toml");
    app.add_flag("--check", args.check, "check and plan only; no call is made");
    app.add_flag("--home", args.home,
                 "run the reference run (Z, then X and Y) before the first line; machine zero "
                 "is where it leaves the table (G28, G30 and G53 need a known machine zero)");
    app.add_option("--from-line", args.fromLine,
                   "resume at line N: home (implies --home), move to where the lines before N "
                   "end")
        ->type_name("N")
        ->check(CLI::Range(1, 100'000'000));
    app.add_flag("--keep-aux", args.keepAux,
                 "leave the auxiliary output as it is when the job is stopped");
    CLI::Option_group* outputs = app.add_option_group("Outputs");
    outputs->add_option("--report", args.report, "write the job report (also on refusal or fault)")
        ->type_name("R.json");
    outputs->add_option("--plot", args.plot, "write the path in mm (rapid, cutting, aux) as SVG")
        ->type_name("OUT.svg");
    outputs
        ->add_option("--emit-script", args.emitScript,
                     "write the job's calls as a script for steplink run")
        ->type_name("OUT");
    AddTableGroup(app, args.table);
    AddViewGroup(app, args.view);
    AddDisplayGroup(app, args.display);
    std::string error;
    if (ViewPortGivenTheOldWay(argc, argv, error)) {
      std::fprintf(stderr, "steplink gcode: %s\n", error.c_str());
      return exitRefused;
    }
    code = Parse(app, argc, argv);
    return code >= 0 ? code : GcodeCommand(args);
  }
  if (command == "view") {
    ViewArgs args;
    app.description(
        "Serves the live view of /dev/shm/NAME, a status block that another program "
        "writes (watch only: no Stop). Ctrl-C ends it.");
    app.add_option("--status", args.status, "the status block to watch (/dev/shm/NAME)")
        ->type_name("NAME")
        ->required();
    app.add_option("--port", args.port, "port to listen on (default: a free one)")
        ->type_name("PORT")
        ->check(CLI::Range(0, 65535));
    app.add_flag("--ipv6", args.ipv6, "listen on ::1 instead of 127.0.0.1");
    code = Parse(app, argc, argv);
    return code >= 0 ? code : ViewCommand(args);
  }
  if (command == "plot") {
    PlotArgs args;
    app.description("Plots a record file of the table: step rates over time and the X-Y path.");
    app.add_option("RECORD", args.record, "the record file")->required();
    app.add_option("OUT", args.out, "the SVG to write")->required();
    code = Parse(app, argc, argv);
    return code >= 0 ? code : PlotCommand(args);
  }
  ProbeArgs args;
  app.description(
      "Checks this machine for a real table: parallel ports, modules, ioperm, the "
      "8254's counter 0, then claims the chosen port once. Exit 0 when the device "
      "opens, 1 when not, 2 for a bad command line.");
  app.add_option("--device", args.device,
                 "the device to check (default: STEPLINK_DEVICE, else the first parallel port)")
      ->type_name("VALUE");
  // --latency: how late this machine's busy-waits end (latency_probe.h).
  auto* latency =
      app.add_flag("--latency", args.latency,
                   "measure how late busy-waits end here, as the library paces a step, and judge "
                   "it against the table's speeds (no device is opened)");
  latency->excludes("--device");
  app.add_option("--seconds", args.seconds, "with --latency: how long to measure (default 10)")
      ->type_name("N")
      ->check(CLI::Range(0.001, 86400.0))
      ->needs(latency);
  app.add_flag("--rt", args.rt, "with --latency: measure under SCHED_FIFO and locked memory")
      ->needs(latency);
  app.add_option("--cpu", args.cpu, "with --latency: measure on CPU N only")
      ->type_name("N")
      ->check(CLI::Range(0, 4095))
      ->needs(latency);
  code = Parse(app, argc, argv);
  return code >= 0 ? code : ProbeCommand(args);
}

}  // namespace tool
