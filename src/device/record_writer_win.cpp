// Record file writer on Windows: one write of each whole line straight to the file (binary mode,
// so the bytes are Linux's, LF line ends), nothing buffered in the process, so the record
// survives the process being ended at any point. No mapping: about 1-2 us per line against the
// Linux mapping's 20 ns, well inside a step's time. Calls the C runtime's low-level file I/O only.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>

#include "device/record_file.h"
#include "device/record_writer.h"

static_assert(sizeof(off_t) == 8, "the record's length needs 64 bits (_FILE_OFFSET_BITS=64)");

namespace sim {

namespace record_file {

int Open(const std::string& path, bool& mappable) {
  mappable = false;
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
}

// _write of the whole buffer, retried after a short write; a write of nothing is a full disk.
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

void Close(int fd) {
  ::_close(fd);
}

}  // namespace record_file

// No mapping on Windows: every line is written as it comes.
int RecordWriter::MapWindowAt(off_t) {
  return -1;
}

void RecordWriter::Unmap() {}

// The file always ends after the last whole line: nothing to cut.
void RecordWriter::Settle() {}

}  // namespace sim
