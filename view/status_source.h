// Where the live view learns the table's state: a source of status-block copies. The shared-memory
// source reads /dev/shm/NAME through status/status_view.h (read-only, each section under its
// sequence lock); it never writes to the block and takes no lock the writers take.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "contract/steplink_contract.h"
#include "status/status_view.h"

namespace view {

// One consistent copy of each section and the block's owner.
using StatusCopy = status::StatusCopy;

class StateSource {
 public:
  virtual ~StateSource() = default;
  // A copy, or nothing while no block is there (not created yet, gone, or a foreign one).
  virtual std::optional<StatusCopy> Read() = 0;
};

// Told one line each time the block being read goes away (cut short, replaced or removed) and
// when a block is there again after that.
using SourceNotice = std::function<void(const std::string& line)>;

// The block at /dev/shm/NAME; opens it lazily, so a view may start before the block exists, and
// waits for it again after it went away.
std::unique_ptr<StateSource> MakeSharedMemorySource(const std::string& name,
                                                    SourceNotice notice = {});

// Whether name can name a status block (see status::ValidBlockName); false with a reason.
bool ValidStatusName(const std::string& name, std::string& error);

}  // namespace view
