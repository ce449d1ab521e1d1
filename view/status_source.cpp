// Status block source of the live view: the one reader of the block, reopened after the block
// went away. Called from the view's sampler thread only.
#include "status_source.h"

#include "status/status_block.h"

namespace view {
namespace {

class SharedMemorySource final : public StateSource {
 public:
  SharedMemorySource(std::string name, SourceNotice notice)
      : name_(std::move(name)), notice_(std::move(notice)) {}

  std::optional<StatusCopy> Read() override {
    if (reader_.IsOpen() && reader_.Gone()) LoseBlock();
    if (!reader_.IsOpen()) {
      if (!reader_.Open(name_)) {
        // Another release's block: said once, then waited on as for a block not there yet.
        if (!reader_.Refusal().empty() && reader_.Refusal() != told_) Tell(reader_.Refusal());
        told_ = reader_.Refusal();
        return std::nullopt;
      }
      if (lost_) Tell("the status block " + name_ + " is there again");
      lost_ = false;
    }
    std::optional<StatusCopy> copy = reader_.Read();
    if (!copy && reader_.Gone()) LoseBlock();  // cut short between the check and the copy
    return copy;
  }

 private:
  void LoseBlock() {
    reader_.Close();
    if (!lost_) Tell("the status block " + name_ + " went away; waiting for it to come back");
    lost_ = true;
  }

  void Tell(const std::string& line) const {
    if (notice_) notice_(line);
  }

  std::string name_;
  SourceNotice notice_;
  status::StatusView reader_;
  bool lost_ = false;  // reported gone, not back yet
  std::string told_;   // the refusal last reported
};

}  // namespace

std::unique_ptr<StateSource> MakeSharedMemorySource(const std::string& name, SourceNotice notice) {
  return std::make_unique<SharedMemorySource>(name, std::move(notice));
}

bool ValidStatusName(const std::string& name, std::string& error) {
  return status::ValidBlockName(name, error);
}

}  // namespace view
