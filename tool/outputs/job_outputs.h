// A job's output files: checked all together before anything moves (the folder exists and may
// be written, the name is no directory, no output is an input or another output), and written by
// replace (a temporary file beside it, renamed into place when complete; a device or a FIFO is
// written directly and never removed). A temporary file's name carries its process and it is
// locked while written: a run removes the ones this user's dead runs left. Calls only the system.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace tool {

struct JobFile {
  std::string what;  // "plot", "script", "report", ...: how messages name it
  std::string path;
};

// False with one line naming the output and, for a clash, the other side.
bool CheckJobFiles(const std::vector<JobFile>& inputs, const std::vector<JobFile>& outputs,
                   std::string& error);

// One output being written: Open makes the temporary file (or opens the device or FIFO), Commit
// renames it into place, Abort removes only the temporary file. An open file that is neither
// committed nor aborted is committed when it goes (what was written is kept).
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  bool Open(const std::string& path, std::string& error);
  int Fd() const { return fd_; }
  bool Commit(std::string& error);  // false (and the temporary file removed) when it fails
  void Abort();
  const std::string& Path() const { return path_; }
  // Where the bytes go until Commit: the temporary file, or the path itself when direct.
  const std::string& WritePath() const { return temp_.empty() ? path_ : temp_; }

 private:
  std::string path_;  // where it ends up
  std::string temp_;  // the temporary file beside it; empty when written directly
  int fd_ = -1;
};

// Writes the whole text to path by replace; false with a message on standard error
// ("steplink: cannot write the WHAT PATH: REASON").
bool WriteOutputText(const std::string& path, const std::string& what, const std::string& text);

// Writes an output as `produce` makes it, through a fixed buffer, by replace as above: an output
// that grows with a job never has to be held whole. `produce` returns false with a reason when
// it cannot finish; then nothing replaces the file (a device or FIFO keeps what it got).
using OutputProducer = std::function<bool(std::ostream& out, std::string& error)>;
bool WriteOutputStream(const std::string& path, const std::string& what,
                       const OutputProducer& produce);

}  // namespace tool
