// Progress display while a run goes on: the table's position, steps and simulated time from the
// status block, once a second on standard error (one line redrawn in place on a terminal, and
// erased before any other output and at the end, so it never stays mixed into the output).
#pragma once

#include <chrono>
#include <string>

#include "status/status_view.h"

namespace tool {

class Progress {
 public:
  // view: the run's status block view, shared with the other stages (not owned).
  Progress(status::StatusView& view, std::string statusName, bool enabled);
  ~Progress() { Erase(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Tick();   // call often; prints when a second has passed
  void Erase();  // removes the line from the terminal, if one is shown

 private:
  std::string statusName_;
  bool enabled_;
  bool terminal_;
  bool shown_ = false;
  status::StatusView& view_;
  std::chrono::steady_clock::time_point next_;
};

}  // namespace tool
