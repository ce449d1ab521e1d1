// The runner's command line (CLI11): the commands' options as typed fields, generated --help, the
// version, and the unknown-command message; each command's name, help and options are set up in
// its own file (cli/*_cli.cpp). Calls the commands; nothing reads an option by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "job/job_options.h"

namespace tool {

struct RunArgs {
  std::string script;
  TableOptions table;
  ViewOptions view;
  DisplayOptions display;
  std::optional<std::string> plot;
  bool keepGoing = false;
};

struct GcodeArgs {
  std::string file;
  TableOptions table;
  ViewOptions view;
  DisplayOptions display;
  std::optional<std::string> machine;
  std::optional<std::string> report;
  std::optional<std::string> plot;
  std::optional<std::string> emitScript;
  bool check = false;
  std::optional<int> fromLine;
  std::optional<std::string> subroutines;  // --subroutines DIR
  std::optional<std::uint64_t> maxBlocks;  // --max-blocks N
  bool home = false;
  bool keepAux = false;
};

struct ViewArgs {
  std::string status;
  int port = 0;
  bool ipv6 = false;
};

struct PanelArgs {
  std::optional<std::string> machine;
  TableOptions table;
  int port = 0;                     // --view-port
  bool ipv6 = false;                // --view-ipv6
  std::optional<std::string> jobs;  // --jobs DIR: the folder the page picks G-code jobs from
  std::optional<std::string> job;   // FILE.nc: one of them, checked at start
};

struct PlotArgs {
  std::string record;
  std::string out;
};

struct ProbeArgs {
  std::optional<std::string> device;
  bool latency = false;           // --latency: measure this machine's pacing instead
  std::optional<double> seconds;  // --seconds N (latency only; default 10)
  bool rt = false;                // --rt (latency only)
  std::optional<int> cpu;         // --cpu N (latency only)
};

// The nearest command to a mistyped one ("runn" -> "run"), or empty when none is close.
std::string NearestCommand(const std::string& typed);

// A size such as 4096, 512K, 64M or 2G (suffixes in 1024s) into bytes; false with a reason for
// anything else, zero, or more than 2^62 bytes.
bool ParseByteSize(const std::string& text, std::uint64_t& bytes, std::string& error);

// Parses the command line and runs the command; the exit code.
int Main(int argc, char** argv);

int RunCommand(const RunArgs& args);
int GcodeCommand(const GcodeArgs& args);
int ViewCommand(const ViewArgs& args);
int PlotCommand(const PlotArgs& args);
int PanelCommand(const PanelArgs& args);
int ProbeCommand(const ProbeArgs& args);

}  // namespace tool
