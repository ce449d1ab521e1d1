// --rt and --cpu: scheduler, memory locking and affinity of the call process. Calls only the
// system.
#include "job/realtime_stage.h"

#include <sched.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace tool {
namespace {

// Below the kernel's own threaded interrupt handlers (50), above ordinary real-time programs.
constexpr int fifoPriority = 40;

std::string FirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

void ApplyRealtime(bool fifo, int cpu) {
  if (cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof(set), &set) != 0) {
      std::fprintf(stderr,
                   "steplink: --cpu %d: %s (is there such a CPU, and may this process use "
                   "it? taskset -p $$ shows the allowed ones); running unpinned\n",
                   cpu, std::strerror(errno));
    }
  }
  if (!fifo) return;
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    std::fprintf(stderr,
                 "steplink: --rt: mlockall: %s (needs CAP_IPC_LOCK or a memlock limit: "
                 "ulimit -l unlimited, or memlock in /etc/security/limits.conf); pages "
                 "may still be swapped out\n",
                 std::strerror(errno));
  }
  sched_param param{};
  param.sched_priority = fifoPriority;
  if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
    std::fprintf(stderr,
                 "steplink: --rt: SCHED_FIFO: %s (needs CAP_SYS_NICE or an rtprio limit: "
                 "ulimit -r %d, or '@lp - rtprio %d' in /etc/security/limits.conf); "
                 "running at normal priority\n",
                 std::strerror(errno), fifoPriority, fifoPriority);
  }
}

std::string RealtimeThrottleWarning() {
  const std::string runtime = FirstLine("/proc/sys/kernel/sched_rt_runtime_us");
  const std::string period = FirstLine("/proc/sys/kernel/sched_rt_period_us");
  if (runtime.empty() || runtime == "-1") return {};
  return "steplink: --rt: the kernel's real-time throttle lets a busy-waiting real-time process "
         "run only " +
         runtime + " us of every " + (period.empty() ? "?" : period) +
         " us (sched_rt_runtime_us); for the rest of each period it is paused, so a step can "
         "come late by that much. Use --cpu N to keep the other work off its CPU.";
}

}  // namespace tool
