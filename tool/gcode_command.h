// The gcode command: checks and plans a G-code program with the gcode library, then runs its
// calls on the table through the call process, with progress, feed hold, report and plot.
#pragma once

#include "args.h"

namespace tool {

ArgParser MakeGcodeParser();
int GcodeCommand(int argc, const char* const* argv);

}  // namespace tool
