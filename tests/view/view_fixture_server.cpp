// A live view over a made-up job, for looking at the page and for the browser test's own checks:
// the table traces a rectangle and a diagonal with the auxiliary output on, with faults, for
// SECONDS seconds, then the job ends. Prints the URL on the first line of standard output.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "server.h"

namespace {

struct Shared {
  std::mutex mutex;
  view::StatusCopy copy;
};

class Source final : public view::StateSource {
 public:
  explicit Source(Shared& shared) : shared_(shared) {}
  std::optional<view::StatusCopy> Read() override {
    std::lock_guard lock(shared_.mutex);
    return shared_.copy;
  }

 private:
  Shared& shared_;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const bool gcode = argc > 2 && std::string(argv[2]) == "gcode";
  Shared shared;
  shared.copy.ownerPid = 0;
  shared.copy.table.auxState = -1;
  shared.copy.job.state = STEPLINK_JOB_RUNNING;
  shared.copy.job.callCount = 5;
  view::Controls controls;
  controls.stop = [] {};
  if (gcode) controls.pause = controls.resume = [] {};
  view::Server server(std::make_unique<Source>(shared),
                      {gcode ? "part <&>.gcode" : "demo <&>.steplink", gcode, false, false},
                      controls);
  std::string error;
  if (!server.Start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", server.Url().c_str());
  std::fflush(stdout);
  const int moves[5][3] = {{1200, 0, 0}, {0, 800, 0}, {-1200, 0, 0}, {0, -800, 300}, {600, 400, 0}};
  const auto start = std::chrono::steady_clock::now();
  std::int32_t from[3] = {0, 0, 0};
  for (int call = 0; call < 5; ++call) {
    const auto& move = moves[call];
    const int stepsTotal = std::max({std::abs(move[0]), std::abs(move[1]), std::abs(move[2])});
    for (int step = 4; step <= stepsTotal + 3; step += 4) {
      step = std::min(step, stepsTotal);
      {
        std::lock_guard lock(shared.mutex);
        auto& table = shared.copy.table;
        auto& job = shared.copy.job;
        job.callEntry = STEPLINK_CALL_VECTOR_OUT;
        job.callIndex = static_cast<std::uint32_t>(call + 1);
        for (int axis = 0; axis < 3; ++axis) job.callArgs[axis] = move[axis];
        table.positionX = from[0] + move[0] * step / stepsTotal;
        table.positionY = from[1] + move[1] * step / stepsTotal;
        table.positionZ = from[2] + move[2] * step / stepsTotal;
        table.auxState = call == 4 ? 1 : 0;
        table.ticks += 2000;
        table.totalSteps += 4;
        table.limitEngaged = table.positionX == 0 && table.positionY < 100;
        if (call == 3 && step == 400) {
          table.faultCount += 1;
          table.lastFaultKind = STEPLINK_FAULT_SETTLE;
          table.lastFaultPort = 0x3be;
          table.lastFaultValue = 1;
          table.lastFaultTick = table.ticks;
        }
        if (gcode) {
          job.gcodeLine = static_cast<std::uint32_t>(10 + call);
          job.percent = 20.0 * call + 20.0 * step / stepsTotal;
          job.etaSeconds = seconds * (100 - job.percent) / 100;
          job.mm[0] = table.positionX / 80.0;
          job.mm[1] = table.positionY / 80.0;
          job.mm[2] = table.positionZ / 400.0;
        }
      }
      std::this_thread::sleep_until(
          start + std::chrono::duration<double>(seconds * (call + double(step) / stepsTotal) / 5));
    }
    for (int axis = 0; axis < 3; ++axis) from[axis] += move[axis];
  }
  {
    std::lock_guard lock(shared.mutex);
    shared.copy.job.state = STEPLINK_JOB_ENDED;
    shared.copy.job.callEntry = STEPLINK_CALL_NONE;
  }
  server.Finish("ended", 0);
  std::printf("final %d %d %d\n", from[0], from[1], from[2]);
  return 0;
}
