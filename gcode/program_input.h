// A G-code program as the two passes read it: a regular file kept open and read again through
// the same descriptor, its size and modification time checked for changes; anything else
// (standard input, a FIFO, /dev/fd/N) first copied to an unlinked temporary file. Lines are read
// through a fixed buffer, so no line longer than maxLineBytes is ever held. Calls POSIX only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace gcode {

class ProgramInput {
 public:
  // "-" is standard input. Refused (nullptr, `error` says why): a directory, a device (standard
  // input may be a terminal), a file that cannot be opened, a standard input line over the limit.
  static std::unique_ptr<ProgramInput> Open(const std::string& path, std::string& error);
  ~ProgramInput();
  ProgramInput(const ProgramInput&) = delete;
  ProgramInput& operator=(const ProgramInput&) = delete;

  // A second reader of the same file (the same inode, its own offset and buffer), for a pass
  // that runs while another is reading; its Unchanged() compares with this one's first look.
  std::unique_ptr<ProgramInput> Again(std::string& error) const;
  // Back to the first line (each pass starts with it).
  bool Rewind(std::string& error);
  // The next line without its newline; false at the end (or on a read error: error() is set).
  // A line over maxLineBytes comes back cut, with `tooLong`; the rest of it is skipped unread.
  bool NextLine(std::string_view& line, bool& tooLong);
  // Whether the file still has the size and modification time it had when opened.
  bool Unchanged(std::string& error) const;
  const std::string& Name() const { return name_; }
  const std::string& ReadError() const { return readError_; }
  bool Copied() const { return copied_; }  // read from a temporary copy

 private:
  ProgramInput(int fd, std::string name, bool copied);
  bool Fill();

  int fd_;
  std::string name_;
  bool copied_;
  struct stat opened_ {};
  std::vector<char> buffer_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
  std::string readError_;
};

}  // namespace gcode
