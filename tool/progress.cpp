// Progress display: polls the status block every 100 ms and prints once a second.
#include "progress.h"

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "record.h"
#include "status_block.h"

namespace tool {

Progress::Progress(std::string statusName, bool enabled) : statusName_(std::move(statusName)) {
  if (enabled) thread_ = std::thread([this] { Loop(); });
}

Progress::~Progress() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void Progress::Loop() {
  const bool terminal = isatty(STDERR_FILENO) != 0;
  StatusView view;
  bool printed = false;
  int slices = 0;
  while (!stop_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (++slices % 10 != 0) continue;
    if (!view.Open(statusName_)) continue;
    const auto status = view.ReadTable();
    if (!status) continue;
    std::fprintf(stderr,
                 "%s  x %" PRId32 "  y %" PRId32 "  z %" PRId32 "  steps %" PRIu64
                 "  simulated %.2f s%s",
                 terminal ? "\r" : "", status->positionX, status->positionY, status->positionZ,
                 status->totalSteps, status->ticks * secondsPerTick, terminal ? "\033[K" : "\n");
    printed = true;
  }
  if (printed && terminal) std::fprintf(stderr, "\r\033[K");
}

}  // namespace tool
