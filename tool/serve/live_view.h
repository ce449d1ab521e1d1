// The live view for the commands that run a job of ours (run, gcode): the server over the run's
// status block with Stop (and Pause/Resume) wired to the call process, and the last word to the
// pages when the job is over. The server itself lives in view/.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "calls/call_child.h"
#include "job/job_options.h"
#include "job/run_job.h"
#include "server.h"

namespace tool {

// Starts serving the block `statusName` and prints the URL to standard error; the job does not
// wait for a browser. Stop asks `child` to stop as Ctrl-C does; Pause and Resume only when
// `pausable`. `plan`: a G-code job's planned path and call numbering (empty for a script).
// Nothing (and a reason) when the server cannot listen.
std::unique_ptr<view::Server> StartJobView(const ViewOptions& request, const ViewPlan& plan,
                                           const std::string& statusName,
                                           const std::string& jobName, bool gcode, bool pausable,
                                           CallChild& child, std::string& error);

// Tells the pages how the job ended (by the command's exit code), then closes the server.
void FinishJobView(view::Server& server, int exitCode);

// Parses a port number 1..65535 (or 0 when zeroAllowed).
bool ParsePort(const std::string& text, bool zeroAllowed, int& port);

}  // namespace tool
