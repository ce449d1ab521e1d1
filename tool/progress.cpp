// Progress display: reads the status block when a second has passed since the last line.
#include "progress.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "record.h"

namespace tool {

Progress::Progress(status::StatusView& view, std::string statusName, bool enabled)
    : statusName_(std::move(statusName)),
      enabled_(enabled),
      terminal_(isatty(STDERR_FILENO) != 0),
      view_(view),
      next_(std::chrono::steady_clock::now() + std::chrono::seconds(1)) {}

void Progress::Tick() {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_) return;
  next_ = now + std::chrono::seconds(1);
  if (!view_.Open(statusName_)) return;
  const auto status = view_.ReadTable();
  if (!status) return;
  std::fprintf(stderr,
               "%s  x %" PRId32 "  y %" PRId32 "  z %" PRId32 "  steps %" PRIu64
               "  simulated %.2f s%s",
               terminal_ ? "\r" : "", status->positionX, status->positionY, status->positionZ,
               status->totalSteps, status->ticks * secondsPerTick, terminal_ ? "\033[K" : "\n");
  std::fflush(stderr);
  shown_ = terminal_;
}

void Progress::Erase() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace tool
