// The option groups run and gcode share: the table and device, the live view, the display.
// Calls CLI11 only.
#include "cli/option_groups.h"

#include <string>

#include "cli/cli.h"

namespace tool {

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

}  // namespace tool
