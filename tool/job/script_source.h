// The job of a runner script: its calls as steps, each with its script line. Calls script.h.
#pragma once

#include <memory>
#include <string>

#include "job/job.h"
#include "job/script.h"

namespace tool {

class ScriptJobSource final : public JobSource {
 public:
  ScriptJobSource(std::string name, std::vector<ScriptCall> calls);
  const JobInfo& Info() const override { return info_; }
  std::optional<JobStep> Next() override;

 private:
  JobInfo info_;
  std::vector<ScriptCall> calls_;
  std::size_t next_ = 0;
};

}  // namespace tool
