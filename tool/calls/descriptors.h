// Standard descriptors at start: any of 0-2 that is closed is opened on /dev/null, so that no
// file the runner opens later (a record, a trace) becomes standard output by accident.
#pragma once

namespace tool {

void OpenStandardDescriptors();
// Whether standard input was closed when the runner started ("-" then has nothing to read).
bool StandardInputWasClosed();

}  // namespace tool
