// Output checks and write-by-replace.
#include "outputs/job_outputs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <streambuf>
#include <vector>

namespace tool {
namespace {

namespace fs = std::filesystem;

// What a path names: the file's device and inode where it exists, else the resolved path.
struct Identity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  bool characterDevice = false;  // /dev/null may take several outputs
  std::string resolved;
  bool operator==(const Identity& other) const {
    if (exists != other.exists) return false;
    return exists ? device == other.device && inode == other.inode : resolved == other.resolved;
  }
};

Identity Identify(const std::string& path) {
  Identity identity;
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    identity.exists = true;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.characterDevice = S_ISCHR(info.st_mode);
  }
  std::error_code code;
  identity.resolved = fs::weakly_canonical(fs::absolute(path, code), code).string();
  return identity;
}

// Whether an output can be made where it is named; empty when it can.
std::string CheckDestination(const JobFile& output) {
  const std::string& path = output.path;
  const std::string head = "cannot write the " + output.what + " " + path + ": ";
  if (path.empty()) return "the " + output.what + " has an empty name; give a file";
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return head + "it is a directory; give a file";
    if (!S_ISREG(info.st_mode)) return {};  // a device or a FIFO: written directly
    if (access(path.c_str(), W_OK) != 0) return head + std::strerror(errno);
  }
  std::error_code code;
  const fs::path folder = fs::absolute(path, code).parent_path();
  if (!fs::is_directory(folder, code)) return head + "there is no folder " + folder.string();
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return head + "the folder " + folder.string() + " is not writable (" + std::strerror(errno) +
           ")";
  }
  return {};
}

// Write every byte of `data` to `fd`; errno's reason when it cannot.
bool WriteAll(int fd, const char* data, std::size_t size, std::string& error) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = std::strerror(written < 0 ? errno : ENOSPC);
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// An output stream over a descriptor: 64 KiB buffered, the first write error kept.
class FdBuffer final : public std::streambuf {
 public:
  explicit FdBuffer(int fd) : fd_(fd), buffer_(std::size_t{64} << 10) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
  }
  bool Flush() {
    const auto pending = static_cast<std::size_t>(pptr() - pbase());
    if (error_.empty() && pending > 0) WriteAll(fd_, pbase(), pending, error_);
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return error_.empty();
  }
  const std::string& Error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (!Flush()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Flush() ? 0 : -1; }

 private:
  int fd_;
  std::vector<char> buffer_;
  std::string error_;
};

// The temporary files of this user's dead runs beside `target` (".NAME.steplink-PID-XXXXXX",
// or ".NAME.steplink-XXXXXX" from before names carried the process): each is removed when no
// process holds its lock and the process its name gives has gone. Another user's file, a live
// run's, or anything but a regular file is left alone.
void RemoveDeadTemporaries(const fs::path& target) {
  const std::string prefix = "." + target.filename().string() + ".steplink-";
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::error_code code;
  for (fs::directory_iterator entry(folder, code), end; !code && entry != end;
       entry.increment(code)) {
    const std::string name = entry->path().filename().string();
    if (name.size() < prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const std::size_t dash = rest.rfind('-');
    if (dash != std::string::npos) {
      const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
      if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) continue;
    }
    const int fd = open(entry->path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        flock(fd, LOCK_EX | LOCK_NB) == 0) {
      unlink(entry->path().c_str());
    }
    close(fd);
  }
}

}  // namespace

bool CheckJobFiles(const std::vector<JobFile>& inputs, const std::vector<JobFile>& outputs,
                   std::string& error) {
  std::vector<Identity> inputIds;
  inputIds.reserve(inputs.size());
  for (const JobFile& input : inputs) {
    inputIds.push_back(input.path == "-" ? Identity{} : Identify(input.path));
  }
  std::vector<Identity> outputIds;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const JobFile& output = outputs[i];
    if (const std::string problem = CheckDestination(output); !problem.empty()) {
      error = problem;
      return false;
    }
    const Identity id = Identify(output.path);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      if (inputs[k].path != "-" && id == inputIds[k] && !id.characterDevice) {
        error = "the " + output.what + " " + output.path + " is the same file as the " +
                inputs[k].what + " " + inputs[k].path +
                "; an output never replaces an input: give another name";
        return false;
      }
    }
    for (std::size_t k = 0; k < i; ++k) {
      if (id == outputIds[k] && !id.characterDevice) {
        error = "the " + output.what + " " + output.path + " is the same file as the " +
                outputs[k].what + " " + outputs[k].path + "; give each output a file of its own";
        return false;
      }
    }
    outputIds.push_back(id);
  }
  return true;
}

OutputFile::~OutputFile() {
  std::string ignored;
  if (fd_ >= 0) Commit(ignored);
}

bool OutputFile::Open(const std::string& path, std::string& error) {
  path_ = path;
  struct stat info {};
  std::error_code code;
  std::string target = path;
  if (stat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      // A device or FIFO: written directly, never replaced nor removed.
      fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd_ < 0) error = std::strerror(errno);
      return fd_ >= 0;
    }
    target = fs::canonical(path, code).string();  // a symbolic link: replace what it names
    if (code) target = path;
  }
  const fs::path where(target);
  RemoveDeadTemporaries(where);
  // The name says whose it is (this process); the lock, held for as long as any process has it
  // open (the call process too), says it is still being written.
  temp_ = (where.parent_path() /
           ("." + where.filename().string() + ".steplink-" + std::to_string(getpid()) + "-XXXXXX"))
              .string();
  fd_ = mkostemp(temp_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    error = std::strerror(errno);
    temp_.clear();
    return false;
  }
  flock(fd_, LOCK_EX | LOCK_NB);
  // mkostemp makes 0600; the output gets the mode the replaced file had, or 0644 less the umask.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd_, S_ISREG(info.st_mode) ? (info.st_mode & 07777) : (0644 & ~mask));
  path_ = target;
  return true;
}

bool OutputFile::Commit(std::string& error) {
  if (fd_ < 0) return true;
  int problem = close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  if (temp_.empty()) {
    if (problem != 0) error = std::strerror(problem);
    return problem == 0;
  }
  if (problem == 0 && rename(temp_.c_str(), path_.c_str()) != 0) problem = errno;
  if (problem != 0) {
    unlink(temp_.c_str());
    error = std::strerror(problem);
  }
  temp_.clear();
  return problem == 0;
}

void OutputFile::Abort() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

bool WriteOutputText(const std::string& path, const std::string& what, const std::string& text) {
  OutputFile file;
  std::string error;
  bool good = file.Open(path, error);
  if (good && !WriteAll(file.Fd(), text.data(), text.size(), error)) {
    file.Abort();
    good = false;
  }
  if (good) good = file.Commit(error);
  if (!good)
    std::fprintf(stderr, "steplink: cannot write the %s %s: %s\n", what.c_str(), path.c_str(),
                 error.c_str());
  return good;
}

bool WriteOutputStream(const std::string& path, const std::string& what,
                       const OutputProducer& produce) {
  OutputFile file;
  std::string error;
  bool good = file.Open(path, error);
  if (good) {
    FdBuffer buffer(file.Fd());
    std::ostream out(&buffer);
    good = produce(out, error);
    if (!buffer.Flush()) {
      error = buffer.Error();
      good = false;
    }
    if (good) {
      good = file.Commit(error);
    } else {
      file.Abort();
    }
  }
  if (!good)
    std::fprintf(stderr, "steplink: cannot write the %s %s: %s\n", what.c_str(), path.c_str(),
                 error.c_str());
  return good;
}

}  // namespace tool
