// The option groups that more than one command takes (run and gcode): the table and device, the
// live view, the display. Each adds its options to a command's App, into the typed fields of
// job/job_options.h; nothing reads an option by name.
#pragma once

#include <CLI/CLI.hpp>

#include "job/job_options.h"

namespace tool {

void AddTableGroup(CLI::App& app, TableOptions& table);
void AddViewGroup(CLI::App& app, ViewOptions& view);
void AddDisplayGroup(CLI::App& app, DisplayOptions& display);

}  // namespace tool
