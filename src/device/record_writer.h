// The simulated table's record file, written so that it survives its process being ended by any
// signal: every line goes straight into the file's pages (a shared mapping of a regular file,
// blocks reserved ahead) or, for anything else, out with one write(2) per whole line. Nothing
// is buffered in the process, so no flush is ever needed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace sim {

class RecordWriter {
 public:
  RecordWriter() = default;
  ~RecordWriter() { Close(); }
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Creates (truncates) the file and writes the header line; false with a reason.
  bool Open(const std::string& path, const char* header, std::string& error);
  // Appends one whole line (with its newline). After a write error the record stops: the
  // first error is reported once on standard error and later lines are dropped.
  void Line(const char* text, std::size_t length);
  // Makes the file end exactly after the last line (the mapping reserves space beyond it), so
  // that a reader sees a complete record while the process goes on.
  void Settle();
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  bool Failed() const { return failed_; }
  bool Mapped() const { return mapped_; }

 private:
  static constexpr std::size_t windowBytes = std::size_t{1} << 20;

  int MapWindowAt(off_t offset);
  void Unmap();
  void Fail(int error);

  std::string path_;
  int fd_ = -1;
  bool mapped_ = false;  // shared-mapping mode (a regular file); write(2) mode otherwise
  bool failed_ = false;
  char* window_ = nullptr;  // the mapped window, windowBytes long, at windowOffset_
  off_t windowOffset_ = 0;
  off_t length_ = 0;  // bytes of record written
};

}  // namespace sim
