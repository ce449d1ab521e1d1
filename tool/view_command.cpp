// steplink view --status NAME [--port PORT] [--ipv6]: serves the live view of /dev/shm/NAME, a
// status block that another process writes (a Java program started with
// STEPLINK_SIM=...,status=NAME). No job of ours runs here, so the page offers no Stop. Serves
// until Ctrl-C; the block may appear and end while it serves. Calls view/ only.

#include <signal.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "exit_codes.h"
#include "server.h"

namespace tool {

int ViewCommand(const ViewArgs& args) {
  const std::string* name = &args.status;
  const int port = args.port;
  std::string error;
  if (name->empty() || name->find('/') != std::string::npos) {
    std::fprintf(stderr, "steplink view: --status: a block name has no '/' and is not empty\n");
    return exitRefused;
  }

  // Ctrl-C and friends are taken by sigwait below; block them before the server's threads start,
  // so that they inherit the mask.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&endSignals, signal);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

  view::ServerOptions options;
  options.port = port;
  options.ipv6 = args.ipv6;
  view::Server server(view::MakeSharedMemorySource(*name),
                      view::JobInfo{*name, false, false, false}, view::Controls{}, options);
  if (!server.Start(error)) {
    std::fprintf(stderr, "steplink view: %s\n", error.c_str());
    return exitRefused;
  }
  std::fprintf(stderr,
               "steplink: live view of the status block %s at %s\n"
               "  (watch only: stop the job in the program that runs it; Ctrl-C ends the view)\n",
               name->c_str(), server.Url().c_str());
  std::fflush(stderr);
  int received = 0;
  sigwait(&endSignals, &received);
  server.Finish("view closed", exitOk, std::chrono::milliseconds(200));
  server.Shutdown();
  return exitOk;
}

}  // namespace tool
