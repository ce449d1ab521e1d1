// --view for run and gcode: the live view over the run's status block, controls to the call
// process. Calls view/ for the server and call_child for the signals.
#include "live_view.h"

#include <cstdio>

#include "exit_codes.h"
#include "status/status_block.h"

namespace tool {

void AddViewOptions(ArgParser& parser) {
  parser.AddOptionalNumber("view", "PORT",
                           "serve a live view of the job in the browser on 127.0.0.1 (port: a "
                           "free one unless given); prints the URL to open");
  parser.AddFlag("view-ipv6", "serve the live view on ::1 instead of 127.0.0.1");
}

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

bool ParseViewRequest(const ArgParser& parser, ViewRequest& request, std::string& error) {
  request.wanted = parser.Flag("view");
  request.ipv6 = parser.Flag("view-ipv6");
  if (request.ipv6 && !request.wanted) {
    error = "--view-ipv6 needs --view";
    return false;
  }
  if (const auto port = parser.Value("view"); port && !ParsePort(*port, true, request.port)) {
    error = "--view: '" + *port + "' is no port number (0 to 65535)";
    return false;
  }
  return true;
}

std::unique_ptr<view::Server> StartJobView(const ViewRequest& request,
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
  auto server = std::make_unique<view::Server>(view::MakeSharedMemorySource(statusName),
                                               view::JobInfo{jobName, gcode, false, false},
                                               std::move(controls), options);
  if (!server->Start(error)) return nullptr;
  std::fprintf(stderr, "steplink: live view at %s\n", server->Url().c_str());
  std::fflush(stderr);
  return server;
}

CallHooks MakeJobStatusHooks(const std::string& statusName, std::size_t callCount,
                             JobAnnotator annotate) {
  // Opened lazily in the call process (the hooks run there, the parent never writes the section).
  auto writer = std::make_shared<status::JobStatusWriter>();
  auto write = [writer, statusName](auto&& change) {
    if (!writer->IsOpen()) {
      std::string ignored;  // no block: nothing to keep up to date, the calls go on
      if (!writer->Open(statusName, ignored)) return;
    }
    SteplinkStatusJob job = writer->Current();
    change(job);
    writer->Write(job);
  };
  CallHooks hooks;
  hooks.beforeCall = [write, callCount, annotate](std::size_t index, const ScriptCall& call) {
    write([&](SteplinkStatusJob& job) {
      static constexpr std::uint32_t entries[] = {
          STEPLINK_CALL_OPEN_CONN, STEPLINK_CALL_CLOSE_CONN, STEPLINK_CALL_INIT_TIMER,
          STEPLINK_CALL_VECTOR_OUT, STEPLINK_CALL_REFERENCE};
      job.state = STEPLINK_JOB_RUNNING;
      job.callEntry = entries[static_cast<int>(call.entry)];
      for (int axis = 0; axis < 3; ++axis) job.callArgs[axis] = call.args[axis];
      job.callIndex = static_cast<std::uint32_t>(index + 1);
      job.callCount = static_cast<std::uint32_t>(callCount);
      if (job.gcodeLine == 0) job.percent = job.etaSeconds = -1;
      if (annotate) annotate(index, job);
    });
  };
  hooks.afterCall = [write](std::size_t, const ScriptCall&, int) {
    write([](SteplinkStatusJob& job) { job.callEntry = STEPLINK_CALL_NONE; });
  };
  hooks.pauseChanged = [write](bool paused) {
    write([paused](SteplinkStatusJob& job) {
      job.state = paused ? STEPLINK_JOB_PAUSED : STEPLINK_JOB_RUNNING;
    });
  };
  return hooks;
}

void FinishJobView(view::Server& server, int exitCode) {
  const char* outcome = exitCode == exitOk            ? "ended"
                        : exitCode == exitInterrupted ? "stopped"
                                                      : "failed";
  server.Finish(outcome, exitCode);
  server.Shutdown();
}

}  // namespace tool
