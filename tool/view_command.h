// The view command: a live view of a status block that another process writes.
#pragma once

namespace tool {

int ViewCommand(int argc, const char* const* argv);

}  // namespace tool
