// The latency probe: its histogram and percentiles, the verdict bands and advice, the wait loop
// on a scripted clock (a stall shows as lateness, a counter wrap is waited through), the speeds
// it judges against (the core's own), and `steplink probe --latency` run for 1 s on this machine.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "hw/counter0.h"
#include "hw/system_calls.h"
#include "motion/ramp.h"
#include "probe/latency_probe.h"
#include "probe/latency_stats.h"

namespace {

using tool::LatencyHistogram;

// A monotonic clock that advances stepNs per reading, with one stall of stallNs at reading
// stallAt; everything else is unused by the clock counter.
class ScriptedClock final : public hw::SystemCalls {
 public:
  ScriptedClock(std::uint64_t stepNs, std::uint64_t stallAt, std::uint64_t stallNs)
      : stepNs_(stepNs), stallAt_(stallAt), stallNs_(stallNs) {}
  int Open(const std::string&, int) override { return -1; }
  int Ioctl(int, unsigned long, void*) override { return -1; }
  int Close(int) override { return 0; }
  int Ioperm(unsigned long, unsigned long, int) override { return -1; }
  std::uint8_t Inb(std::uint16_t) override { return 0xFF; }
  void Outb(std::uint8_t, std::uint16_t) override {}
  std::uint64_t MonotonicNanoseconds() override {
    now_ += stepNs_;
    if (++readings_ == stallAt_) now_ += stallNs_;
    return now_;
  }
  std::optional<std::string> ReadText(const std::string&) override { return std::nullopt; }
  std::vector<std::string> ListDirectory(const std::string&) override { return {}; }
  bool Exists(const std::string&) override { return false; }
  int Access(const std::string&, int) override { return -1; }

 private:
  std::uint64_t stepNs_, stallAt_, stallNs_;
  std::uint64_t now_ = 1'000'000'000;
  std::uint64_t readings_ = 0;
};

constexpr double stepCounts = (1.0 / 500) / 8.38e-7;  // one step at 500 steps/s

TEST(LatencyHistogram, PercentilesMaximumAndBands) {
  // Setup: 980 waits 0.5 us late, 20 at 30 us, one at 4.2 ms, one early.
  LatencyHistogram histogram;
  for (int i = 0; i < 980; ++i) histogram.Add(500);
  for (int i = 0; i < 20; ++i) histogram.Add(30'400);
  histogram.Add(4'200'000);
  histogram.Add(-700);  // an early end counts as on time
  // Verify: percentiles to the bin's upper edge, the maximum exact, the bands add up.
  EXPECT_EQ(histogram.Count(), 1002u);
  EXPECT_EQ(histogram.PercentileNs(0.5), 1000);
  EXPECT_EQ(histogram.PercentileNs(0.99), 31'000);
  EXPECT_EQ(histogram.PercentileNs(0.999), 31'000);
  EXPECT_EQ(histogram.PercentileNs(1.0), 4'200'000);
  EXPECT_EQ(histogram.MaxNs(), 4'200'000);
  EXPECT_EQ(histogram.CountBetween(0, 1000), 981u);
  EXPECT_EQ(histogram.CountBetween(20'000, 50'000), 20u);
  EXPECT_EQ(histogram.CountBetween(2'000'000, 5'000'000), 1u);
  EXPECT_EQ(histogram.CountBetween(0, INT64_MAX), 1002u);
  EXPECT_EQ(LatencyHistogram().PercentileNs(0.99), 0);
}

TEST(LatencyHistogram, BeyondTheLastBinStaysCountedAndExact) {
  LatencyHistogram histogram;
  histogram.Add(250'000'000);  // a quarter of a second
  EXPECT_EQ(histogram.MaxNs(), 250'000'000);
  EXPECT_EQ(histogram.PercentileNs(0.5), 250'000'000);
  EXPECT_EQ(histogram.CountBetween(10'000'000, INT64_MAX), 1u);
}

TEST(LatencyVerdict, BandsFollowTheLinuxCncThresholdsAndTheStepInterval) {
  EXPECT_EQ(tool::Classify(20'000), tool::LatencyLevel::excellent);
  EXPECT_EQ(tool::Classify(20'001), tool::LatencyLevel::good);
  EXPECT_EQ(tool::Classify(100'000), tool::LatencyLevel::good);
  EXPECT_EQ(tool::Classify(999'999), tool::LatencyLevel::marginal);
  EXPECT_EQ(tool::Classify(1'000'001), tool::LatencyLevel::poor);

  tool::LatencyContext context;
  context.intervalNs = 2e6;
  LatencyHistogram late;
  late.Add(3'000'000);  // 150 % of a step at 500 steps/s, 120 % at 400
  const std::string poor = tool::LatencyVerdict(late, context);
  EXPECT_NE(poor.find("Verdict: poor"), std::string::npos) << poor;
  EXPECT_NE(poor.find("150.0 % of a step interval"), std::string::npos) << poor;
  EXPECT_NE(poor.find("120.0 % at the reference speed"), std::string::npos) << poor;
  EXPECT_NE(poor.find("after the next one was due"), std::string::npos) << poor;
  // Every remedy not in use is offered, with what is isolated now.
  EXPECT_NE(poor.find("--rt"), std::string::npos);
  EXPECT_NE(poor.find("isolated now: none"), std::string::npos);
  EXPECT_EQ(poor.find("real-time throttle"), std::string::npos);

  context.realtime = true;
  context.cpu = 1;
  context.throttleOn = true;
  context.isolatedCpus = "1";
  context.throttlePauseNs = 50'000'000;
  LatencyHistogram half;
  half.Add(600'000);
  const std::string marginal = tool::LatencyVerdict(half, context);
  EXPECT_EQ(marginal.find("throttle's pause"), std::string::npos) << marginal;
  LatencyHistogram throttled;
  for (int i = 0; i < 3; ++i) throttled.Add(49'800'000);  // three seconds under --rt
  const std::string paused = tool::LatencyVerdict(throttled, context);
  EXPECT_NE(paused.find("3 wait(s) ended about 50.00 ms late: the real-time throttle"),
            std::string::npos)
      << paused;
  EXPECT_NE(marginal.find("Verdict: marginal"), std::string::npos) << marginal;
  EXPECT_EQ(marginal.find("  - --rt"), std::string::npos) << marginal;
  EXPECT_EQ(marginal.find("isolcpus"), std::string::npos) << marginal;
  EXPECT_NE(marginal.find("real-time throttle"), std::string::npos) << marginal;

  LatencyHistogram calm;
  calm.Add(4'000);
  const std::string excellent = tool::LatencyVerdict(calm, context);
  EXPECT_NE(excellent.find("Verdict: excellent"), std::string::npos);
  EXPECT_EQ(excellent.find("What would improve it"), std::string::npos);
}

TEST(LatencyReport, ListsPercentilesAndAHistogramUpToTheLastUsedBand) {
  LatencyHistogram histogram;
  for (int i = 0; i < 1000; ++i) histogram.Add(800);
  histogram.Add(70'000);
  tool::LatencyContext context;
  context.seconds = 2;
  context.intervalNs = 2e6;
  const std::string report = tool::LatencyReport(histogram, context);
  for (const char* line : {"p50", "p99 ", "p99.9", "max    70.0 us", "< 1 us", "50-100 us"}) {
    EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
  }
  EXPECT_EQ(report.find("0.1-0.2 ms"), std::string::npos) << report;  // nothing beyond 100 us
  EXPECT_NE(report.find("Verdict: good"), std::string::npos);
}

TEST(LatencyProbe, JudgesAgainstTheCoresSpeeds) {
  // The probe cannot link the library it judges; these must be the core's load-time values.
  ResetMotionParams();
  EXPECT_EQ(tool::topSpeedStepsPerSecond, motionParams.maxSpeed);
  EXPECT_EQ(tool::referenceSpeedStepsPerSecond, motionParams.referenceSpeed);
}

TEST(LatencyProbe, AStallDuringAWaitShowsAsItsLateness) {
  // Setup: a clock of 50 ns per reading (a 2 ms wait is about 40 000 readings), stalled 5 ms once
  // in the eighth wait. 60 ms of waits cross the counter's wrap (every 55 ms) once.
  ScriptedClock clock(50, 300'000, 5'000'000);
  auto counter = hw::MakeClockCounter(clock);
  LatencyHistogram histogram;
  // Exercise
  tool::MeasureWaits(clock, *counter, stepCounts, 60'000'000, histogram);
  // Verify: every wait but one ends within a tick and a reading of its due time; the stalled one
  // ends the stall less the part of the wait it covered late (3 to 5 ms).
  EXPECT_GE(histogram.Count(), 26u);
  EXPECT_LE(histogram.Count(), 31u);
  EXPECT_GE(histogram.MaxNs(), 3'000'000);
  EXPECT_LE(histogram.MaxNs(), 5'001'000);
  EXPECT_EQ(histogram.CountBetween(0, 2'000), histogram.Count() - 1);
}

TEST(LatencyProbe, AStallLongerThanTheCounterPeriodIsMeasuredByTheClock) {
  // The counter repeats every 65536 ticks (55 ms): a wait stalled 80 ms sees only the remainder
  // (as the library's pacing would) and ends at once; the probe still reports the full lateness.
  ScriptedClock clock(50, 100'000, 80'000'000);
  auto counter = hw::MakeClockCounter(clock);
  LatencyHistogram histogram;
  tool::MeasureWaits(clock, *counter, stepCounts, 100'000'000, histogram);
  EXPECT_GE(histogram.MaxNs(), 77'000'000);
  EXPECT_LE(histogram.MaxNs(), 80'001'000);
}

TEST(LatencyProbe, RunsForOneSecondOnThisMachine) {
  // The real command on this machine: figures and a verdict, no threshold (BENCHMARKS.md has the
  // figures).
  const std::string command = std::string(STEPLINK_RUNNER) + " probe --latency --seconds 1 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_NE(pipe, nullptr);
  std::string output;
  std::array<char, 4096> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe.get()) != nullptr) output += buffer.data();
  const int status = pclose(pipe.release());
  std::printf("%s", output.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  for (const char* part : {"p50", "p99 ", "p99.9", "max ", "Histogram", "Verdict: "}) {
    EXPECT_NE(output.find(part), std::string::npos) << part;
  }
}

TEST(LatencyProbe, RefusesBadOptions) {
  for (const char* arguments :
       {"--latency --seconds 0", "--latency --seconds x", "--latency --cpu -1", "--seconds 5",
        "--latency --device parport:0", "--latency --bogus"}) {
    const std::string command =
        std::string(STEPLINK_RUNNER) + " probe " + arguments + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << arguments;
  }
}

}  // namespace
