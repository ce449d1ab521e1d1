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

// The length of the UTF-8 sequence at `at`, 0 when the bytes there are not one.
std::size_t SequenceAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range (overlongs and surrogates out)
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t index = at + 2; index < at + length; ++index) {
    if (byte(index) < 0x80 || byte(index) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = SequenceAt(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string Utf8Safe(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = SequenceAt(text, at);
    if (length == 0) {
      safe += '?';
      ++at;
    } else {
      safe.append(text.substr(at, length));
      at += length;
    }
  }
  return safe;
}

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
  if (!IsUtf8(name)) return "the job name is not valid UTF-8";
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
  // The list is answered on the server's loop thread: a folder of very many files is read only
  // so far.
  std::size_t scanned = 0;
  while (const dirent* entry = readdir(dir)) {
    if (++scanned > maxScannedEntries) {
      list.truncated = true;
      break;
    }
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
