// A G-code program as the passes read it: a regular file kept open and read again through the
// same descriptor; anything else (standard input, a FIFO, /dev/fd/N) first copied to an unlinked
// temporary file. The first whole reading keeps a digest per chunk; every later one hands out a
// chunk's lines only after its bytes proved the same. Lines come through a fixed buffer, so no
// line longer than maxLineBytes is ever held. Calls POSIX and chunk_digest only.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "read/chunk_digest.h"

namespace gcode {

class ProgramInput {
 public:
  // "-" is standard input. Refused (nullptr, `error` says why): a directory, a device (standard
  // input may be a terminal), a file that cannot be opened, a standard input line over the limit.
  // `stop`, when given and set, ends a wait for a slow pipe (a signal asked the command to stop).
  static std::unique_ptr<ProgramInput> Open(const std::string& path, std::string& error,
                                            const std::atomic<int>* stop = nullptr);
  // A regular file the caller has opened itself (the panel opens a job inside its folder with
  // openat and O_NOFOLLOW); takes the descriptor, also when it refuses. `name` names it in
  // messages.
  static std::unique_ptr<ProgramInput> Adopt(int fd, const std::string& name, std::string& error);
  ~ProgramInput();
  ProgramInput(const ProgramInput&) = delete;
  ProgramInput& operator=(const ProgramInput&) = delete;

  // A second reader of the same file (the same inode, its own offset and buffer), for a pass
  // that runs while another is reading; it checks its bytes against this one's first reading.
  std::unique_ptr<ProgramInput> Again(std::string& error) const;
  // Back to the first line (each pass starts with it). Until one reading has reached the end,
  // a reading from here keeps the digests; after that, it is checked against them.
  bool Rewind(std::string& error);
  // The next line without its newline; false at the end, on a read error or when the bytes are
  // not those of the first reading (ReadError() says which; Changed() tells the last apart).
  // A line over maxLineBytes comes back cut, with `tooLong`; the rest of it is skipped unread.
  bool NextLine(std::string_view& line, bool& tooLong);
  // Whether the file still has the size and modification time it had when opened: a cheap
  // early sign only (a same-size rewrite, or a /proc file, passes it); the digests decide.
  bool Unchanged(std::string& error) const;
  bool Changed() const { return changed_; }  // a reading found bytes other than the first's
  const std::string& Name() const { return name_; }
  // Where the next line starts, in bytes from the file's start; Seek goes back (or on) to such a
  // place (a loop's first line, a subroutine's), reading again and checking a chunk only when
  // it is no longer held.
  std::uint64_t Tell() const;
  bool Seek(std::uint64_t at, std::string& error);
  // A subroutine file read by this program's passes: its digests are kept with this program's,
  // so a later pass runs only the bytes the first read there. A file first opened after the
  // check is not one checked. At most maxSubroutineFiles files.
  std::unique_ptr<ProgramInput> OpenSubroutineFile(const std::string& path,
                                                   std::string& error) const;
  static constexpr std::size_t maxSubroutineFiles = 256;
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
  std::shared_ptr<ReadPrint> print_;  // shared with the readers Again() makes
  std::uint64_t offset_ = 0;          // bytes read from the start, a whole number of chunks
  bool changed_ = false;
  struct SubroutinePrints {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<ReadPrint>> prints;  // by path
  };
  std::shared_ptr<SubroutinePrints> files_;  // shared with Again()'s readers and the files
};

}  // namespace gcode
