// steplink view --status NAME [--port PORT] [--ipv6]: serves the live view of /dev/shm/NAME, a
// status block that another process writes (a Java program started with
// STEPLINK_SIM=...,status=NAME). No job of ours runs here, so the page offers no Stop. Serves
// until Ctrl-C; the block may appear, go away and come back while it serves. Calls view/ only.

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "cli/exit_codes.h"
#include "server.h"
#include "status_source.h"

namespace tool {

int ViewCommand(const ViewArgs& args) {
  const std::string* name = &args.status;
  const int port = args.port;
  std::string error;
  if (std::string why; !view::ValidStatusName(*name, why)) {
    std::fprintf(stderr, "steplink view: --status: %s\n", why.c_str());
    return exitRefused;
  }
  // Something else planted under the name (a FIFO would hold a reader in open): refused now; a
  // block of the name that is not there yet is waited for.
  if (struct stat info{};
      lstat(("/dev/shm/" + *name).c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    std::fprintf(stderr,
                 "steplink view: --status: /dev/shm/%s is not a status block (%s, not a regular "
                 "file); give the name a runner or Java program uses (status=NAME)\n",
                 name->c_str(),
                 S_ISFIFO(info.st_mode)  ? "a FIFO"
                 : S_ISDIR(info.st_mode) ? "a directory"
                 : S_ISLNK(info.st_mode) ? "a symbolic link"
                                         : "a device or socket");
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
