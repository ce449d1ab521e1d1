// Progress display while a run goes on: the table's position, steps and simulated time from the
// status block, once a second on standard error (one line redrawn in place on a terminal).
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace tool {

class Progress {
 public:
  Progress(std::string statusName, bool enabled);
  ~Progress();  // stops the display and erases its line
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  void Loop();

  std::string statusName_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tool
