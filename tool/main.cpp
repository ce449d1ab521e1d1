// steplink: runs scripts of entry calls and G-code jobs through the library's exported JNI
// entries, plots records, serves live views and probes for a real table. The command line is
// cli/cli.cpp's; every command is a file of its own.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "calls/call_child.h"
#include "calls/descriptors.h"
#include "cli/cli.h"
#include "cli/exit_codes.h"

int main(int argc, char** argv) {
  tool::OpenStandardDescriptors();
  // A closed pipe on standard output or error is a failed write (exit 1, said on the other
  // stream), not a silent death by SIGPIPE.
  tool::InstallSigpipeGuard();
  int exitCode = tool::Main(argc, argv);
  // Output that could not be written (a full disk, a closed pipe) is a failure, not a success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "steplink: cannot write to standard output: %s\n", std::strerror(errno));
    if (exitCode == tool::exitOk) exitCode = tool::exitRunFailed;
  }
  return exitCode;
}
