// `steplink plot RECORD OUT.svg`, and the plot file writer the run command shares.
#pragma once

#include <string>

#include "record.h"

namespace tool {

// Writes the SVG; false (with a message on standard error) when the file is not written fully.
bool WritePlotFile(const Record& record, const std::string& path, const std::string& title);

int PlotCommand(int argc, const char* const* argv);

}  // namespace tool
