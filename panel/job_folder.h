// The --jobs folder: G-code programs picked by a bare name and opened inside the folder only
// (openat on the folder's descriptor, O_NOFOLLOW, a regular file), never by a path the page
// sends; and the list of the programs it holds. Calls POSIX and the G-code program input only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "read/program_input.h"

namespace panel {

// Longest job name accepted, in bytes (a file name's limit on Linux).
inline constexpr std::size_t maxJobNameBytes = 255;
// Programs listed at most (the rest are left out and the list says so).
inline constexpr std::size_t maxListedJobs = 500;
// Folder entries read at most for the list (of any kind).
inline constexpr std::size_t maxScannedEntries = 20000;

struct JobEntry {
  std::string name;
  std::uint64_t bytes = 0;
};

struct JobList {
  std::vector<JobEntry> jobs;  // by name
  bool truncated = false;
};

// Whether `text` is valid UTF-8 (the page's JSON carries only that).
bool IsUtf8(std::string_view text);
// `text` with every byte that is not part of valid UTF-8 replaced by '?': a line typed into MDI or
// a planner message quoting a program's bytes, on its way to the page.
std::string Utf8Safe(std::string_view text);

// Why `name` is not a job name (empty when it is one): not empty, at most maxJobNameBytes, no
// '/', no NUL, not "." or "..", no control characters, valid UTF-8.
std::string JobNameRefusal(const std::string& name);
// Whether the name ends in a G-code extension (.nc .ngc .gcode .gc .tap, any case).
bool IsGcodeName(const std::string& name);

class JobFolder {
 public:
  // Opens the folder (its descriptor is kept: a later rename of the path does not move it);
  // nullptr with `error` when it is no readable folder.
  static std::unique_ptr<JobFolder> Open(const std::string& path, std::string& error);
  ~JobFolder();
  JobFolder(const JobFolder&) = delete;
  JobFolder& operator=(const JobFolder&) = delete;

  const std::string& Path() const { return path_; }
  JobList List() const;
  // The program of that name in the folder, ready for the passes; nullptr with `error` for a bad
  // name, a link, anything but a regular file, or a file that cannot be opened.
  std::unique_ptr<gcode::ProgramInput> OpenJob(const std::string& name, std::string& error) const;

 private:
  JobFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

}  // namespace panel
