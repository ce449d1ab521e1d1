// The options a job runs with, as typed fields: what the table and device options, the outputs and
// the live view set. Filled by the command line (cli/cli.cpp) and read by the stages of RunJob; no
// stage looks an option up by its name.
#pragma once

#include <optional>
#include <string>

namespace tool {

// The library's build variants: they differ in the start speed of every move.
enum class Variant { standard, start200 };

inline constexpr std::uint64_t defaultTraceMaxBytes = std::uint64_t{16} << 30;  // 16 GiB

struct TableOptions {
  std::optional<std::string> sim;     // --sim SPEC
  bool realtime = false;              // --realtime
  bool virtualClock = false;          // --virtual
  std::optional<std::string> record;  // --record FILE
  std::optional<std::string> device;  // --device VALUE (over STEPLINK_DEVICE)
  bool rt = false;                    // --rt
  std::optional<int> cpu;             // --cpu N
  std::optional<std::string> trace;   // --trace FILE
  // --trace-max SIZE: where the trace stops (with a note); the job runs on. The default holds
  // about 50 simulated minutes on the virtual clock (5.6 MB a second), 2 to 14 minutes on the
  // realtime one (20 to 120 MB/s).
  std::uint64_t traceMaxBytes = defaultTraceMaxBytes;
  std::optional<std::string> library;  // --library PATH
  Variant variant = Variant::standard;
  bool variantGiven = false;  // --variant was on the command line
};

struct ViewOptions {
  bool wanted = false;  // --view
  int port = 0;         // --view-port N; 0: a free one chosen by the system
  bool ipv6 = false;    // --view-ipv6
};

struct DisplayOptions {
  bool quiet = false;     // --quiet
  bool progress = false;  // --progress (on by default on a terminal)
  bool verbatim = false;  // --verbatim: every library line, no collapsing of repeats
};

// "standard" / "start200".
inline const char* VariantName(Variant variant) {
  return variant == Variant::start200 ? "start200" : "standard";
}

}  // namespace tool
