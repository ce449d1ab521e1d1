// The command line of steplink, with CLI11: the list of commands, the top-level help and version,
// the unknown-command message, and one App per command, set up by the command's own file (cli/).
#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/exit_codes.h"

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

// Every command, in the order the help lists them; each is written once, in its own file.
constexpr const CommandLine* commands[] = {&runCommandLine,  &gcodeCommandLine, &plotCommandLine,
                                           &viewCommandLine, &panelCommandLine, &probeCommandLine};

// The help's list of commands: "  SYNOPSIS  summary" in two columns.
std::string CommandList() {
  std::string text = "Commands:\n";
  for (const CommandLine* command : commands) {
    const std::string synopsis =
        std::string(command->name) + (command->operands[0] != '\0' ? " " : "") + command->operands;
    char line[160];
    std::snprintf(line, sizeof line, "  %-18s%s\n", synopsis.c_str(), command->summary);
    text += line;
  }
  return text + "steplink COMMAND --help lists a command's options.";
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
  for (const CommandLine* command : commands) {
    const std::size_t distance = EditDistance(typed, command->name);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = command->name;
    }
  }
  return best;
}

int Main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const auto known = std::find_if(std::begin(commands), std::end(commands),
                                  [&](const CommandLine* line) { return command == line->name; });
  if (known == std::end(commands)) {
    CLI::App top("steplink: runs jobs on a stepper-motor table through libsteplink", "steplink");
    top.set_version_flag("--version", "steplink " STEPLINK_VERSION);
    top.footer(CommandList());
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
  const std::function<int()> run = (*known)->setup(app);
  std::string error;
  if ((*known)->liveView && ViewPortGivenTheOldWay(argc, argv, error)) {
    std::fprintf(stderr, "steplink %s: %s\n", command.c_str(), error.c_str());
    return exitRefused;
  }
  const int code = Parse(app, argc, argv);
  return code >= 0 ? code : run();
}

}  // namespace tool
