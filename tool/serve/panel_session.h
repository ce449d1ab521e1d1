// The control panel's session: one call process after another holds the table (openConn and
// initTimer once per process), fed the model's calls one at a time through the step channel;
// Stop ends the process at once and a new one takes over (auxiliary output off, position not
// trusted); Quit or Ctrl-C end the session with the auxiliary output off and closeConn.
// Calls call_child (the call process), the status block and panel/'s model.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "calls/call_child.h"
#include "panel_model.h"

namespace tool {

class PanelSession {
 public:
  PanelSession(panel::PanelModel& model, std::mutex& modelMutex, ChildOptions child);

  // Runs until Quit or a job-ending signal; the exit code (0 after Quit, 130 after Ctrl-C, 1 when
  // the table cannot be opened or the call process keeps failing).
  int Run();

  // From the server's thread: Stop now (the call process ends, as Ctrl-C ends a job), Quit once
  // the calls in hand are made.
  void Stop();
  void Quit();

 private:
  friend class PanelSource;
  panel::PanelModel& model_;
  std::mutex& mutex_;  // the model's lock, shared with the server's handlers
  ChildOptions child_;
  std::mutex childMutex_;
  CallChild* running_ = nullptr;  // the call process while one runs
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> quitRequested_{false};
};

}  // namespace tool
