// The jobs folder: names checked before any file call, the file opened relative to the folder's
// descriptor without following a link, checked to be a regular file on the descriptor itself (so
// a swap between a check and the open changes nothing). Calls POSIX and program_input only.
#include "job_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace panel {
namespace {

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

std::string JobNameRefusal(const std::string& name) {
  if (name.empty()) return "a job name is needed";
  if (name.size() > maxJobNameBytes) {
    return "the job name is longer than " + std::to_string(maxJobNameBytes) + " bytes";
  }
  if (name.find('\0') != std::string::npos) return "the job name holds a NUL byte";
  if (name.find('/') != std::string::npos) {
    return "a job is picked by its file name in the jobs folder, not by a path";
  }
  if (name == "." || name == "..") return "'" + name + "' is no job name";
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return "the job name holds a control character";
    }
  }
  return {};
}

bool IsGcodeName(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == "nc" || extension == "ngc" || extension == "gcode" || extension == "gc" ||
         extension == "tap";
}

std::unique_ptr<JobFolder> JobFolder::Open(const std::string& path, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = Errno("--jobs " + path);
    return nullptr;
  }
  return std::unique_ptr<JobFolder>(new JobFolder(fd, path));
}

JobFolder::~JobFolder() {
  close(fd_);
}

JobList JobFolder::List() const {
  JobList list;
  // A directory stream of its own: readdir moves the descriptor's offset.
  const int fd = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return list;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return list;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (!JobNameRefusal(name).empty() || !IsGcodeName(name)) continue;
    struct stat info {};
    // Links are not listed: they may lead out of the folder, and OpenJob refuses them.
    if (fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
      continue;
    }
    list.jobs.push_back({name, static_cast<std::uint64_t>(info.st_size)});
  }
  closedir(dir);
  std::sort(list.jobs.begin(), list.jobs.end(),
            [](const JobEntry& a, const JobEntry& b) { return a.name < b.name; });
  if (list.jobs.size() > maxListedJobs) {
    list.jobs.resize(maxListedJobs);
    list.truncated = true;
  }
  return list;
}

std::unique_ptr<gcode::ProgramInput> JobFolder::OpenJob(const std::string& name,
                                                        std::string& error) const {
  error = JobNameRefusal(name);
  if (!error.empty()) return nullptr;
  // O_NONBLOCK: a FIFO planted in the folder must not hang the open; O_NOFOLLOW: a link (which
  // may leave the folder) fails with ELOOP.
  const int fd = openat(fd_, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    error = errno == ELOOP ? name + " is a symbolic link: only files inside the jobs folder run"
                           : Errno("cannot open " + name + " in the jobs folder");
    return nullptr;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    error = name + " is not a regular file";
    return nullptr;
  }
  // Back to blocking reads for the passes.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return gcode::ProgramInput::Adopt(fd, name, error);
}

}  // namespace panel
