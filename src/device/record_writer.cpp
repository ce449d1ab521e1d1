// Record file writer, the same on every platform: the header, each line into the mapped window
// or with one whole write, the first failure reported once. Where the file is opened, written
// and mapped is the platform's (record_file.h; the mapping on Linux only).
#include "device/record_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/record_file.h"

namespace sim {

bool RecordWriter::Open(const std::string& path, const char* header, std::string& error) {
  Close();
  path_ = path;
  failed_ = false;
  length_ = 0;
  mapped_ = false;
  const std::string cannot = "cannot write the record file '" + path + "'";
  bool mappable = false;
  const int fd = record_file::Open(path, mappable);
  if (fd < 0) {
    error = cannot + ": " + std::strerror(errno);
    return false;
  }
  fd_ = fd;
  if (mappable) {
    const int code = MapWindowAt(0);
    if (code > 0) {  // a real failure (disk full), not a file system without the means
      error = cannot + ": " + std::strerror(code);
      Close();
      return false;
    }
    mapped_ = code == 0;
  }
  const std::string line = std::string(header) + "\n";
  if (!mapped_) {
    int code = 0;
    if (!record_file::WriteAll(fd_, line.data(), line.size(), code)) {
      error = cannot + ": " + std::strerror(code);
      Close();
      return false;
    }
    length_ = static_cast<off_t>(line.size());
    return true;
  }
  Line(line.data(), line.size());
  if (failed_) {
    error = cannot;
    Close();
    return false;
  }
  return true;
}

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
  if (!mapped_) {
    int code = 0;
    if (!record_file::WriteAll(fd_, text, length, code)) return Fail(code);
    length_ += static_cast<off_t>(length);
    return;
  }
  while (length > 0) {
    if (window_ == nullptr || length_ >= windowOffset_ + static_cast<off_t>(windowBytes)) {
      const int code = MapWindowAt(length_);
      if (code != 0) return Fail(code > 0 ? code : ENOMEM);
    }
    const auto at = static_cast<std::size_t>(length_ - windowOffset_);
    const std::size_t part = std::min(length, windowBytes - at);
    std::memcpy(window_ + at, text, part);
    text += part;
    length -= part;
    length_ += static_cast<off_t>(part);
  }
}

void RecordWriter::Close() {
  if (fd_ < 0) return;
  Settle();
  record_file::Close(fd_);
  fd_ = -1;
}

}  // namespace sim
