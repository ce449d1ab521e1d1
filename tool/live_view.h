// The live view for the commands that run a job of ours (run, gcode): the --view options, the
// server over the run's status block with Stop (and Pause/Resume) wired to the call process, and
// the last word to the pages when the job is over. The server itself lives in view/.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "args.h"
#include "call_child.h"
#include "server.h"

namespace tool {

struct ViewRequest {
  bool wanted = false;
  int port = 0;  // 0: a free one chosen by the system
  bool ipv6 = false;
};

// --view [PORT] and --view-ipv6.
void AddViewOptions(ArgParser& parser);
// false with a message for a bad port or --view-ipv6 without --view.
bool ParseViewRequest(const ArgParser& parser, ViewRequest& request, std::string& error);

// Starts serving the block `statusName` and prints the URL to standard error; the job does not
// wait for a browser. Stop asks `child` to stop as Ctrl-C does; Pause and Resume only when
// `pausable`. Nothing (and a reason) when the server cannot listen.
std::unique_ptr<view::Server> StartJobView(const ViewRequest& request,
                                           const std::string& statusName,
                                           const std::string& jobName, bool gcode, bool pausable,
                                           CallChild& child, std::string& error);

// Tells the pages how the job ended (by the command's exit code), then closes the server.
void FinishJobView(view::Server& server, int exitCode);

// Hooks for the call process that keep the block's job section up to date: the call in progress
// (entry, arguments, index of count), running or paused. The job section is what the live view
// and other readers show as "the call"; it is written by the call process only. A G-code job
// passes `annotate` to fill in its line, percent, ETA and position in mm before each call.
using JobAnnotator = std::function<void(std::size_t index, SteplinkStatusJob& job)>;
CallHooks MakeJobStatusHooks(const std::string& statusName, std::size_t callCount,
                             JobAnnotator annotate = {});

// Parses a port number 1..65535 (or 0 when zeroAllowed).
bool ParsePort(const std::string& text, bool zeroAllowed, int& port);

}  // namespace tool
