// Program input for the passes. A regular file is read in place, other inputs are spooled to an
// unlinked temporary file first, refusing a line over the limit as it arrives (so `< /dev/zero`
// stops after 64 KiB, not when the disk is full). Either way what runs is what was checked: each
// chunk is read whole and its digest compared before any of its lines is handed out.
#include "read/program_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "read/program.h"

namespace gcode {
namespace {

constexpr std::size_t chunkBytes = ReadPrint::chunkBytes;
constexpr std::size_t bufferBytes = maxLineBytes + 2 + chunkBytes;  // a whole line, CR, LF, more

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Copies `from` to an unlinked temporary file; -1 with `error` on a failure or a long line.
int Spool(int from, const std::string& name, std::string& error, const std::atomic<int>* stop) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/steplink-gcode-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    error = Errno("cannot make a temporary copy of " + name + " in " + path);
    return -1;
  }
  unlink(path.c_str());  // only this process reads it; gone when it ends
  std::vector<char> chunk(chunkBytes);
  std::size_t lineBytes = 0;
  int line = 1;
  while (true) {
    const ssize_t got = read(from, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR && stop != nullptr && stop->load() != 0) {
      error = "the reading of " + name + " was stopped";
      close(fd);
      return -1;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = Errno("cannot read " + name);
      close(fd);
      return -1;
    }
    if (got == 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      if (chunk[static_cast<std::size_t>(i)] == '\n') {
        lineBytes = 0;
        ++line;
      } else if (++lineBytes > maxLineBytes + 1) {  // + 1: a CR before the newline
        error = "line " + std::to_string(line) + ": the line is longer than " +
                std::to_string(maxLineBytes) + " bytes";
        close(fd);
        return -1;
      }
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(fd, chunk.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        error = Errno("cannot write the temporary copy of " + name);
        close(fd);
        return -1;
      }
      done += put;
    }
  }
  return fd;
}

}  // namespace

ProgramInput::ProgramInput(int fd, std::string name, bool copied)
    : fd_(fd),
      name_(std::move(name)),
      copied_(copied),
      buffer_(bufferBytes),
      print_(std::make_shared<ReadPrint>()),
      files_(std::make_shared<SubroutinePrints>()) {
  fstat(fd_, &opened_);
}

ProgramInput::~ProgramInput() {
  close(fd_);
}

std::unique_ptr<ProgramInput> ProgramInput::Open(const std::string& path, std::string& error,
                                                 const std::atomic<int>* stop) {
  const bool stdinInput = path == "-";
  const std::string name = stdinInput ? "<stdin>" : path;
  const int fd = stdinInput ? dup(0) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = Errno("cannot open " + name);
    return nullptr;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    error = Errno("cannot read " + name);
    close(fd);
    return nullptr;
  }
  if (S_ISDIR(info.st_mode)) {
    error = name + " is a directory, not a G-code program";
    close(fd);
    return nullptr;
  }
  if ((S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) && !stdinInput) {
    error = name +
            " is a device, not a G-code program (a program is a file, or '-' for standard "
            "input)";
    close(fd);
    return nullptr;
  }
  if (S_ISREG(info.st_mode) && !stdinInput) {
    return std::unique_ptr<ProgramInput>(new ProgramInput(fd, name, false));
  }
  const int copy = Spool(fd, name, error, stop);
  close(fd);
  if (copy < 0) return nullptr;
  return std::unique_ptr<ProgramInput>(new ProgramInput(copy, name, true));
}

std::unique_ptr<ProgramInput> ProgramInput::Adopt(int fd, const std::string& name,
                                                  std::string& error) {
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = name + " is not a regular file";
    if (fd >= 0) close(fd);
    return nullptr;
  }
  return std::unique_ptr<ProgramInput>(new ProgramInput(fd, name, false));
}

std::unique_ptr<ProgramInput> ProgramInput::Again(std::string& error) const {
  // /proc/self/fd opens the file itself again, an unlinked copy included: a new offset, never
  // another file of the same name.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  const int fd = open(self.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || info.st_dev != opened_.st_dev ||
      info.st_ino != opened_.st_ino) {
    error = fd < 0 ? Errno("cannot read " + name_ + " again") : name_ + " is not the file checked";
    if (fd >= 0) close(fd);
    return nullptr;
  }
  std::unique_ptr<ProgramInput> again(new ProgramInput(fd, name_, copied_));
  again->opened_ = opened_;
  again->print_ = print_;
  again->files_ = files_;
  return again;
}

bool ProgramInput::Rewind(std::string& error) {
  if (lseek(fd_, 0, SEEK_SET) != 0) {
    error = Errno("cannot read " + name_ + " again");
    return false;
  }
  begin_ = end_ = 0;
  eof_ = false;
  readError_.clear();
  offset_ = 0;
  changed_ = false;
  // A pass over a program read whole before: the check is over, so are its subroutine files'.
  if (print_->complete) {
    print_->sealed = true;
    std::lock_guard lock(files_->mutex);
    for (auto& [path, print] : files_->prints) print->sealed = true;
  }
  return true;
}

std::uint64_t ProgramInput::Tell() const {
  return offset_ - end_ + begin_;
}

bool ProgramInput::Seek(std::uint64_t at, std::string& error) {
  const std::uint64_t bufferStart = offset_ - end_;
  if (at >= bufferStart && at <= offset_ && readError_.empty()) {
    begin_ = static_cast<std::size_t>(at - bufferStart);  // still held: read and checked
    return true;
  }
  const std::uint64_t chunkStart = at / chunkBytes * chunkBytes;
  if (lseek(fd_, static_cast<off_t>(chunkStart), SEEK_SET) < 0) {
    error = Errno("cannot read " + name_ + " again");
    return false;
  }
  begin_ = end_ = 0;
  eof_ = false;
  readError_.clear();
  changed_ = false;
  offset_ = chunkStart;
  if (at == chunkStart) return true;
  Fill();
  if (end_ < at - chunkStart) {
    error = readError_.empty() ? name_ + " is shorter than when it was read" : readError_;
    return false;
  }
  begin_ = static_cast<std::size_t>(at - chunkStart);
  return true;
}

std::unique_ptr<ProgramInput> ProgramInput::OpenSubroutineFile(const std::string& path,
                                                               std::string& error) const {
  std::shared_ptr<ReadPrint> print;
  {
    std::lock_guard lock(files_->mutex);
    auto found = files_->prints.find(path);
    if (found == files_->prints.end()) {
      if (files_->prints.size() >= maxSubroutineFiles) {
        error = "more than " + std::to_string(maxSubroutineFiles) + " subroutine files";
        return nullptr;
      }
      found = files_->prints.emplace(path, std::make_shared<ReadPrint>()).first;
      found->second->sealed =
          print_->sealed.load();  // a file the check never opened is not checked
    }
    print = found->second;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = Errno("cannot open " + path);
    return nullptr;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = path + " is not a regular file";
    close(fd);
    return nullptr;
  }
  std::unique_ptr<ProgramInput> file(new ProgramInput(fd, path, false));
  file->print_ = std::move(print);
  file->files_ = files_;
  return file;
}

bool ProgramInput::Fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (eof_) return false;
  // A whole chunk (less only at the end of the file) before any of it is handed out: its digest
  // is known only once all of it is in. NextLine calls this with at most a line kept, so a
  // chunk always fits.
  char* const into = buffer_.data() + end_;
  const std::size_t room = std::min(chunkBytes, buffer_.size() - end_);
  std::size_t got = 0;
  while (got < room) {
    const ssize_t n = read(fd_, into + got, room - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readError_ = Errno("cannot read " + name_);
      eof_ = true;
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  const std::size_t index = static_cast<std::size_t>(offset_ / chunkBytes);
  ReadPrint& print = *print_;
  // Past the end a complete file has nothing: a chunk there is known to be empty.
  const bool pastEnd = print.complete && index >= print.chunks.size();
  const bool known = pastEnd || (index < print.known.size() && print.known[index]);
  if (known || (print.complete && got != print.ExpectedBytes(index))) {
    if (!known || got != (print.complete ? print.ExpectedBytes(index) : chunkBytes) ||
        (got > 0 && SipHash24(print.key, into, got) != print.chunks[index])) {
      readError_ = name_ + " changed after it was checked (bytes " + std::to_string(offset_) +
                   " to " + std::to_string(offset_ + got) +
                   " are not those checked); the job stops";
      changed_ = true;
      eof_ = true;
      return false;
    }
  } else if (print.sealed) {
    // Bytes the check never read: not run, whatever they hold.
    readError_ = name_ + " is read where it was not when checked (bytes " +
                 std::to_string(offset_) + " on); the job stops";
    changed_ = true;
    eof_ = true;
    return false;
  } else {
    if (print.chunks.size() <= index) {
      print.chunks.resize(index + 1);
      print.known.resize(index + 1);
    }
    print.chunks[index] = got > 0 ? SipHash24(print.key, into, got) : 0;
    print.known[index] = true;
    if (got < chunkBytes) {
      print.complete = true;
      print.totalBytes = offset_ + got;
    }
  }
  offset_ += got;
  end_ += got;
  if (got < room) eof_ = true;
  return got > 0;
}

bool ProgramInput::NextLine(std::string_view& line, bool& tooLong) {
  tooLong = false;
  std::size_t scanned = 0;  // bytes after begin_ known to hold no newline
  while (true) {
    const void* found =
        std::memchr(buffer_.data() + begin_ + scanned, '\n', end_ - begin_ - scanned);
    if (found) {
      const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
      line = std::string_view(buffer_.data() + begin_, at - begin_);
      begin_ = at + 1;
      return true;
    }
    scanned = end_ - begin_;
    if (scanned > maxLineBytes + 1) {  // + 1: a CR before the newline
      // Too long: the rest of it up to its newline is dropped as it is read, never kept.
      tooLong = true;
      line = std::string_view();
      while (true) {
        begin_ = end_ = 0;
        if (!Fill()) return true;
        const void* newline = std::memchr(buffer_.data(), '\n', end_);
        if (newline) {
          begin_ = static_cast<std::size_t>(static_cast<const char*>(newline) - buffer_.data()) + 1;
          return true;
        }
      }
    }
    if (eof_ || !Fill()) {
      // A changed or unreadable file: the piece of a line before the bad chunk is no line.
      if (end_ == begin_ || changed_ || !readError_.empty()) return false;
      line = std::string_view(buffer_.data() + begin_, end_ - begin_);
      begin_ = end_;
      return true;
    }
  }
}

bool ProgramInput::Unchanged(std::string& error) const {
  struct stat now {};
  if (fstat(fd_, &now) != 0) {
    error = Errno("cannot check " + name_);
    return false;
  }
  if (now.st_size != opened_.st_size || now.st_mtim.tv_sec != opened_.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != opened_.st_mtim.tv_nsec) {
    error = name_ + " changed after it was checked (size or modification time); the job stops";
    return false;
  }
  return true;
}

}  // namespace gcode
