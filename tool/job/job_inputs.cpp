// Reading a job's input text.
#include "job/job_inputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "calls/descriptors.h"

namespace tool {

std::string InputName(const std::string& path) {
  return path == "-" ? "<stdin>" : path;
}

std::string DisplayName(const std::string& name) {
  if (name == "<stdin>" || name == "-") return "<stdin>";
  const std::string base = std::filesystem::path(name).filename().string();
  return base.empty() ? name : base;
}

bool ReadInputText(const std::string& path, const std::string& what, std::size_t maxBytes,
                   std::string& text, std::string& error) {
  int fd = STDIN_FILENO;
  if (path == "-") {
    if (StandardInputWasClosed()) {
      error = "standard input is closed; there is no " + what + " to read ('-')";
      return false;
    }
  } else {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = "cannot read the " + what + " " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    error = "the " + what + " " + path + " is a directory; give a file";
    if (fd != STDIN_FILENO) close(fd);
    return false;
  }
  char buffer[1 << 16];
  bool good = true;
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read the ";
      error.append(what).append(" ").append(path).append(": ").append(std::strerror(errno));
      good = false;
      break;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > maxBytes) {
      error = "the ";
      error.append(what).append(" ").append(path).append(" is longer than ");
      error.append(std::to_string(maxBytes >> 20))
          .append(" MiB; is it a ")
          .append(what)
          .append("?");
      good = false;
      break;
    }
  }
  if (fd != STDIN_FILENO) close(fd);
  return good;
}

}  // namespace tool
