// steplink view --status NAME [--port PORT] [--ipv6]: serves the live view of /dev/shm/NAME, a
// status block that another process writes (a Java program started with
// STEPLINK_SIM=...,status=NAME). No job of ours runs here, so the page offers no Stop. Serves
// until Ctrl-C; the block may appear, go away and come back while it serves. Calls view/ only.
#include "view_command.h"

#include <signal.h>

#include <cstdio>
#include <string>

#include "args.h"
#include "exit_codes.h"
#include "live_view.h"
#include "server.h"
#include "status_source.h"

namespace tool {

int ViewCommand(int argc, const char* const* argv) {
  ArgParser parser;
  parser.AddOption("status", "NAME", "the status block to watch (/dev/shm/NAME)");
  parser.AddOption("port", "PORT", "port to listen on (default: a free one)");
  parser.AddFlag("ipv6", "listen on ::1 instead of 127.0.0.1");
  parser.AddFlag("help", "show this help");
  std::string error;
  const bool parsed = parser.Parse(argc, argv, 2, error);
  if (parsed && parser.Flag("help")) {
    std::printf("usage: steplink view --status NAME [--port PORT] [--ipv6]\n%s",
                parser.OptionHelp().c_str());
    return exitOk;
  }
  int port = 0;
  const auto name = parser.Value("status");
  if (parsed && !name) error = "--status NAME is required";
  if (std::string why; parsed && name && !view::ValidStatusName(*name, why)) {
    error = "--status: " + why;
  }
  if (parsed && !parser.Positional().empty()) error = "unexpected '" + parser.Positional()[0] + "'";
  if (const auto text = parser.Value("port"); parsed && text && !ParsePort(*text, true, port)) {
    error = "--port: '" + *text + "' is no port number (0 to 65535)";
  }
  if (!error.empty()) {
    std::fprintf(stderr, "steplink view: %s\nusage: steplink view --status NAME [--port PORT]\n",
                 error.c_str());
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
  options.ipv6 = parser.Flag("ipv6");
  // A block cut short, replaced or removed under the view is said once; the view waits for it.
  auto notice = [](const std::string& line) {
    std::fprintf(stderr, "steplink view: %s\n", line.c_str());
    std::fflush(stderr);
  };
  view::Server server(view::MakeSharedMemorySource(*name, notice),
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
