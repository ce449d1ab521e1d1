// Histogram, percentiles, report and verdict of `steplink probe --latency`. The thresholds are
// LinuxCNC's latency-test bands, set against the step interval of the library's top speed.
#include "probe/latency_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tool {
namespace {

constexpr std::int64_t binNs = 1000;
constexpr std::size_t binCount = 100'000;  // 1 us bins up to 100 ms
constexpr int barWidth = 40;

struct Band {
  std::int64_t fromNs;
  std::int64_t toNs;
  const char* label;
};
constexpr std::int64_t us = 1000;
constexpr std::int64_t endless = INT64_MAX;
constexpr Band bands[] = {
    {0, 1 * us, "< 1 us"},
    {1 * us, 2 * us, "1-2 us"},
    {2 * us, 5 * us, "2-5 us"},
    {5 * us, 10 * us, "5-10 us"},
    {10 * us, 20 * us, "10-20 us"},
    {20 * us, 50 * us, "20-50 us"},
    {50 * us, 100 * us, "50-100 us"},
    {100 * us, 200 * us, "0.1-0.2 ms"},
    {200 * us, 500 * us, "0.2-0.5 ms"},
    {500 * us, 1000 * us, "0.5-1 ms"},
    {1000 * us, 2000 * us, "1-2 ms"},
    {2000 * us, 5000 * us, "2-5 ms"},
    {5000 * us, 10000 * us, "5-10 ms"},
    {10000 * us, endless, ">= 10 ms"},
};

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

double Percent(std::int64_t ns, double intervalNs) {
  return 100.0 * double(ns) / intervalNs;
}

}  // namespace

LatencyHistogram::LatencyHistogram() : bins_(binCount, 0) {}

void LatencyHistogram::Add(std::int64_t latenessNs) {
  latenessNs = std::max<std::int64_t>(latenessNs, 0);
  const auto bin = std::min<std::size_t>(std::size_t(latenessNs / binNs), binCount - 1);
  ++bins_[bin];
  ++count_;
  maxNs_ = std::max(maxNs_, latenessNs);
}

std::int64_t LatencyHistogram::PercentileNs(double q) const {
  if (count_ == 0) return 0;
  const auto wanted = std::max<std::uint64_t>(1, std::uint64_t(std::ceil(q * double(count_))));
  std::uint64_t seen = 0;
  for (std::size_t bin = 0; bin < bins_.size(); ++bin) {
    seen += bins_[bin];
    if (seen >= wanted) {
      // The last bin also holds everything beyond it: its edge says nothing, the maximum does.
      if (bin + 1 == bins_.size()) return maxNs_;
      return std::min(std::int64_t(bin + 1) * binNs, maxNs_);
    }
  }
  return maxNs_;
}

std::uint64_t LatencyHistogram::CountBetween(std::int64_t fromNs, std::int64_t toNs) const {
  // Band edges are whole microseconds, so whole bins; the last bin also holds everything beyond.
  std::uint64_t total = 0;
  const auto first = std::size_t(std::max<std::int64_t>(fromNs, 0) / binNs);
  const auto last = toNs == endless ? binCount : std::min(binCount, std::size_t(toNs / binNs));
  for (std::size_t bin = first; bin < last && bin < binCount; ++bin) total += bins_[bin];
  return total;
}

LatencyLevel Classify(std::int64_t maxNs) {
  if (maxNs <= excellentMaxNs) return LatencyLevel::excellent;
  if (maxNs <= goodMaxNs) return LatencyLevel::good;
  if (maxNs <= marginalMaxNs) return LatencyLevel::marginal;
  return LatencyLevel::poor;
}

const char* LevelName(LatencyLevel level) {
  switch (level) {
    case LatencyLevel::excellent:
      return "excellent";
    case LatencyLevel::good:
      return "good";
    case LatencyLevel::marginal:
      return "marginal";
    case LatencyLevel::poor:
      return "poor";
  }
  return "?";
}

std::string FormatDuration(std::int64_t ns) {
  if (ns < 1000) return std::to_string(ns) + " ns";
  if (ns < 1'000'000) return Format("%.1f us", double(ns) / 1e3);
  return Format("%.2f ms", double(ns) / 1e6);
}

std::string LatencyVerdict(const LatencyHistogram& histogram, const LatencyContext& context) {
  const std::int64_t maxNs = histogram.MaxNs();
  const LatencyLevel level = Classify(maxNs);
  const double topIntervalNs = 1e9 / topSpeedStepsPerSecond;
  const double referenceIntervalNs = 1e9 / referenceSpeedStepsPerSecond;
  std::string text = std::string("Verdict: ") + LevelName(level) + ". The latest wait ended " +
                     FormatDuration(maxNs) +
                     " late: " + Format("%.1f", Percent(maxNs, topIntervalNs)) +
                     " % of a step interval at the top speed (500 steps/s, 2 ms a step), " +
                     Format("%.1f", Percent(maxNs, referenceIntervalNs)) +
                     " % at the reference speed (400 steps/s); 99.9 % of the waits ended within " +
                     FormatDuration(histogram.PercentileNs(0.999)) + ".\n";
  switch (level) {
    case LatencyLevel::excellent:
      text +=
          "No step is lost to timing here: this is as steady as software stepping gets "
          "(LinuxCNC's best band, max jitter under 20 us).\n";
      break;
    case LatencyLevel::good:
      text +=
          "Within LinuxCNC's limit for software stepping (100 us): a late step is a few per "
          "cent of an interval, which the motors do not notice.\n";
      break;
    case LatencyLevel::marginal:
      text +=
          "A step can come up to half an interval late. Each late step is a short dip in "
          "speed (the library does not catch up: the next interval starts where the late one "
          "ended, so the table never runs ahead); a light table keeps up, a heavy or fast one "
          "can stall at top speed and lose steps. Improve the machine before long jobs.\n";
      break;
    case LatencyLevel::poor:
      text += std::string("Beyond LinuxCNC's limit for any use (1 ms): a step can come ") +
              (double(maxNs) >= topIntervalNs ? "after the next one was due"
                                              : "more than half an interval late") +
              ", so the rotor overshoots the field and a loaded axis loses steps at top speed. "
              "Do not drive a table from this machine as it is.\n";
      break;
  }
  if (context.realtime && context.throttlePauseNs > 0) {
    // A FIFO process that never sleeps is stopped for the throttle's pause once a period.
    const std::uint64_t paused = histogram.CountBetween(context.throttlePauseNs * 8 / 10,
                                                        context.throttlePauseNs * 12 / 10 + binNs);
    if (paused > 0) {
      text += std::to_string(paused) + " wait(s) ended about " +
              FormatDuration(context.throttlePauseNs) +
              " late: the real-time throttle's pause, once a period.\n";
    }
  }
  std::vector<std::string> help;
  if (!context.realtime) {
    help.push_back(
        "--rt (SCHED_FIFO and locked memory; root, or CAP_SYS_NICE and CAP_IPC_LOCK): "
        "no ordinary process can then take the CPU during a wait");
  }
  if (context.cpu < 0) {
    help.push_back(
        "--cpu N on a CPU kept free of other work: boot with isolcpus=N nohz_full=N "
        "(isolated now: " +
        (context.isolatedCpus.empty() ? std::string("none") : context.isolatedCpus) + ")");
  } else if (context.isolatedCpus.empty()) {
    help.push_back("isolate CPU " + std::to_string(context.cpu) + " (isolcpus=" +
                   std::to_string(context.cpu) + " nohz_full=" + std::to_string(context.cpu) +
                   " on the kernel command line): pinning alone still shares it with others");
  }
  if (context.throttleOn) {
    help.push_back(
        "the real-time throttle (/proc/sys/kernel/sched_rt_runtime_us): it pauses a "
        "busy-waiting --rt process for the rest of every period; -1 turns it off, "
        "safe only with --cpu on an isolated CPU");
  }
  if (level != LatencyLevel::excellent && !help.empty()) {
    text += "What would improve it:\n";
    for (const std::string& item : help) text += "  - " + item + "\n";
    text += "  - the CPU governor 'performance', and no other load during a job\n";
  }
  return text;
}

std::string LatencyReport(const LatencyHistogram& histogram, const LatencyContext& context) {
  std::string text = std::to_string(histogram.Count()) + " waits of " +
                     FormatDuration(std::int64_t(context.intervalNs)) + " in " +
                     Format("%.1f", context.seconds) + " s; how late each ended (to 1 us):\n";
  const std::pair<const char*, double> rows[] = {{"p50  ", 0.5}, {"p99  ", 0.99}, {"p99.9", 0.999}};
  for (const auto& [name, q] : rows) {
    text += std::string("  ") + name + "  " + FormatDuration(histogram.PercentileNs(q)) + "\n";
  }
  text += "  max    " + FormatDuration(histogram.MaxNs()) + "\n";
  text += "Histogram (waits per lateness band; bars on a log scale):\n";
  std::uint64_t most = 0;
  for (const Band& band : bands)
    most = std::max(most, histogram.CountBetween(band.fromNs, band.toNs));
  // Print from the first band to the last one that holds a wait, so the shape stays visible.
  std::size_t lastUsed = 0;
  for (std::size_t i = 0; i < std::size(bands); ++i) {
    if (histogram.CountBetween(bands[i].fromNs, bands[i].toNs) > 0) lastUsed = i;
  }
  for (std::size_t i = 0; i <= lastUsed; ++i) {
    const std::uint64_t n = histogram.CountBetween(bands[i].fromNs, bands[i].toNs);
    int bar = 0;
    if (n > 0 && most > 0) {
      bar = std::max(1, int(std::lround(barWidth * std::log10(1.0 + double(n)) /
                                        std::log10(1.0 + double(most)))));
    }
    char line[160];
    std::snprintf(line, sizeof line, "  %-11s |%-*s %llu\n", bands[i].label, barWidth,
                  std::string(std::size_t(bar), '#').c_str(), static_cast<unsigned long long>(n));
    text += line;
  }
  text += LatencyVerdict(histogram, context);
  return text;
}

}  // namespace tool
