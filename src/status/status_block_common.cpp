// The parts of the status block that are the same on every system: which names a block may have,
// and the job section's writer over StatusBlockFile (status_block.cpp on Linux, a named file
// mapping in status_block_win.cpp on Windows).
#include <string>

#include "status/status_block.h"

namespace status {

bool ValidBlockName(std::string_view name, std::string& error) {
  const std::string shown(name.substr(0, 60));
  if (name.empty()) {
    error = "a status block name cannot be empty";
  } else if (name == "." || name == "..") {
    error = "'" + shown + "' cannot name a status block";
  } else if (name.find('/') != std::string_view::npos) {
    error = "a status block name has no '/' (it names /dev/shm/NAME): '" + shown + "'";
  } else if (name.size() > maxBlockNameBytes) {
    error = "a status block name has at most " + std::to_string(maxBlockNameBytes) +
            " bytes; this one has " + std::to_string(name.size());
  } else if (name.find('\0') != std::string_view::npos) {
    error = "a status block name has no zero byte";
  } else {
    return true;
  }
  return false;
}

bool JobStatusWriter::Open(const std::string& name, std::string& error) {
  file_ = StatusBlockFile::Attach(name, error);
  return file_ != nullptr;
}

void JobStatusWriter::Write(const SteplinkStatusJob& job) {
  job_ = job;
  if (file_ != nullptr) file_->WriteJob(job_);
}

}  // namespace status
