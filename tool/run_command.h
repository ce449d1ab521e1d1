// `steplink run [options] SCRIPT`: the stages of a run in order (script, settings, call process,
// record, summary, plot) and its exit status.
#pragma once

#include "args.h"

namespace tool {

ArgParser MakeRunParser();
int RunCommand(int argc, const char* const* argv);

}  // namespace tool
