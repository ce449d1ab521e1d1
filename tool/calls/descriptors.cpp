// Standard descriptor check, run first thing in main.
#include "calls/descriptors.h"

#include <fcntl.h>
#include <unistd.h>

namespace tool {
namespace {
bool inputClosed = false;
}

void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    if (fd == 0) inputClosed = true;
    // open() returns the lowest free descriptor: this one.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

bool StandardInputWasClosed() {
  return inputClosed;
}

}  // namespace tool
