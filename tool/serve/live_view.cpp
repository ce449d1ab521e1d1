// --view for run and gcode: the live view over the run's status block, controls to the call
// process. Calls view/ for the server and call_child for the signals.
#include "serve/live_view.h"

#include <cstdio>

#include "cli/exit_codes.h"

namespace tool {

bool ParsePort(const std::string& text, bool zeroAllowed, int& port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 65535 || (value == 0 && !zeroAllowed)) return false;
  port = value;
  return true;
}

std::unique_ptr<view::Server> StartJobView(const ViewOptions& request, const ViewPlan& plan,
                                           const std::string& statusName,
                                           const std::string& jobName, bool gcode, bool pausable,
                                           CallChild& child, std::string& error) {
  view::Controls controls;
  // Each only signals the call process, from a server thread; the call path shares no lock.
  controls.stop = [&child] { child.RequestStop(); };
  if (pausable) {
    controls.pause = [&child] { child.RequestPause(); };
    controls.resume = [&child] { child.RequestResume(); };
  }
  view::ServerOptions options;
  options.ipv6 = request.ipv6;
  options.port = request.port;
  view::JobInfo info;
  info.name = jobName;
  info.gcode = gcode;
  info.planJson = plan.json;
  info.callTotal = plan.calls;
  for (int axis = 0; axis < 3; ++axis) {
    info.stepsPerMm[axis] = plan.stepsPerMm[axis];
    info.invert[axis] = plan.invert[axis];
  }
  auto server = std::make_unique<view::Server>(view::MakeSharedMemorySource(statusName),
                                               std::move(info), std::move(controls), options);
  if (!server->Start(error)) return nullptr;
  std::fprintf(stderr, "steplink: live view at %s\n", server->Url().c_str());
  std::fflush(stderr);
  return server;
}

void FinishJobView(view::Server& server, int exitCode) {
  const char* outcome = exitCode == exitOk            ? "ended"
                        : exitCode == exitInterrupted ? "stopped"
                                                      : "failed";
  server.Finish(outcome, exitCode);
  server.Shutdown();
}

}  // namespace tool
