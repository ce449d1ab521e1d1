// Record file writer on Windows: one write of each whole line straight to the file (binary mode,
// so the bytes are Linux's, LF line ends), nothing buffered in the process, so the record
// survives the process being ended at any point. No mapping: about 1-2 us per line against the
// Linux mapping's 20 ns, well inside a step's time. Calls the C runtime's low-level file I/O only.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "device/record_writer.h"

static_assert(sizeof(off_t) == 8, "the record's length needs 64 bits (_FILE_OFFSET_BITS=64)");

namespace sim {
namespace {

// _write of the whole buffer, retried after a short write.
bool WriteAll(int fd, const char* data, std::size_t length, int& error) {
  while (length > 0) {
    const unsigned part = length > INT_MAX ? INT_MAX : static_cast<unsigned>(length);
    const int written = ::_write(fd, data, part);
    if (written < 0) {
      error = errno;
      return false;
    }
    if (written == 0) {
      error = ENOSPC;
      return false;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool RecordWriter::Open(const std::string& path, const char* header, std::string& error) {
  Close();
  path_ = path;
  failed_ = false;
  length_ = 0;
  mapped_ = false;
  const int fd = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    error = "cannot write the record file '" + path + "': " + std::strerror(errno);
    return false;
  }
  fd_ = fd;
  const std::string line = std::string(header) + "\n";
  int code = 0;
  if (!WriteAll(fd_, line.data(), line.size(), code)) {
    error = "cannot write the record file '" + path + "': " + std::strerror(code);
    Close();
    return false;
  }
  length_ = static_cast<off_t>(line.size());
  return true;
}

// No mapping on Windows: every line is written as it comes.
int RecordWriter::MapWindowAt(off_t) {
  return -1;
}

void RecordWriter::Unmap() {}

void RecordWriter::Fail(int error) {
  if (failed_) return;
  failed_ = true;
  std::fprintf(stderr,
               "steplink-sim: cannot write the record file '%s': %s; the record ends after %lld "
               "bytes\n",
               path_.c_str(), std::strerror(error), static_cast<long long>(length_));
}

void RecordWriter::Line(const char* text, std::size_t length) {
  if (fd_ < 0 || failed_) return;
  int code = 0;
  if (!WriteAll(fd_, text, length, code)) return Fail(code);
  length_ += static_cast<off_t>(length);
}

// The file always ends after the last whole line: nothing to cut.
void RecordWriter::Settle() {}

void RecordWriter::Close() {
  if (fd_ < 0) return;
  ::_close(fd_);
  fd_ = -1;
}

}  // namespace sim
