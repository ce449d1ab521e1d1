// The two counter 0 sources. The clock counter keeps the chip's latch and read flip-flop rules so
// that ReadTimerCount never mixes two moments; the 8254 one passes only the library's two commands.
#include "hw/counter0.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "contract/steplink_contract.h"

namespace hw {
namespace {

constexpr std::uint16_t timerBase = STEPLINK_PORT_TIMER_COUNT;  // 0x40..0x43
constexpr unsigned long timerPortCount =
    STEPLINK_PORT_TIMER_COMMAND - STEPLINK_PORT_TIMER_COUNT + 1;
// The contract's tick (8.38e-7 s) in whole nanoseconds, for integer arithmetic on the clock.
constexpr std::uint64_t tickNanoseconds = 838;
static_assert(tickNanoseconds - STEPLINK_TICK_NANOSECONDS < 1e-6 &&
              STEPLINK_TICK_NANOSECONDS - tickNanoseconds < 1e-6);
constexpr std::uint8_t mode2Status = 0x34;  // counter 0: low/high byte access, mode 2, binary

class ClockCounter final : public Counter0 {
 public:
  explicit ClockCounter(SystemCalls& calls) : calls_(calls), base_(calls.MonotonicNanoseconds()) {}

  bool Open(std::string&) override { return true; }
  void Close() override {}

  bool Command(std::uint8_t value) override {
    if (value == STEPLINK_TIMER_LATCH_COUNT) {
      if (!countLatched_) {
        latched_ = LiveCount();
        countLatched_ = true;
        latchedHighNext_ = false;
      }
      return true;
    }
    if (value == STEPLINK_TIMER_READ_STATUS) {
      statusLatched_ = true;
      return true;
    }
    return false;
  }

  std::uint8_t Read() override {
    if (statusLatched_) {
      statusLatched_ = false;
      return mode2Status;
    }
    if (countLatched_) {
      if (!latchedHighNext_) {
        latchedHighNext_ = true;
        return static_cast<std::uint8_t>(latched_ & 0xFF);
      }
      countLatched_ = false;
      return static_cast<std::uint8_t>(latched_ >> 8);
    }
    const std::uint16_t live = LiveCount();
    const bool high = liveHighNext_;
    liveHighNext_ = !liveHighNext_;
    return static_cast<std::uint8_t>(high ? live >> 8 : live & 0xFF);
  }

 private:
  // Mode 2 from reload 65536 (written as 0): 0, 65535, 65534, ... one count per tick.
  std::uint16_t LiveCount() {
    const std::uint64_t ticks = (calls_.MonotonicNanoseconds() - base_) / tickNanoseconds;
    return static_cast<std::uint16_t>(0u - static_cast<std::uint32_t>(ticks & 0xFFFF));
  }

  SystemCalls& calls_;
  const std::uint64_t base_;
  std::uint16_t latched_ = 0;
  bool countLatched_ = false;
  bool latchedHighNext_ = false;
  bool statusLatched_ = false;
  bool liveHighNext_ = false;
};

class PitCounter final : public Counter0 {
 public:
  explicit PitCounter(SystemCalls& calls) : calls_(calls) {}
  ~PitCounter() override { Close(); }

  bool Open(std::string& error) override {
    if (open_) return true;
    const int result = calls_.Ioperm(timerBase, timerPortCount, 1);
    if (result < 0) {
      error = "timer=pit cannot reach the 8254 (ioperm 0x40-0x43: " +
              std::string(std::strerror(-result)) + "). " + IopermAdvice(calls_, -result);
      return false;
    }
    open_ = true;
    return true;
  }

  void Close() override {
    if (!open_) return;
    calls_.Ioperm(timerBase, timerPortCount, 0);
    open_ = false;
  }

  bool Command(std::uint8_t value) override {
    if (value != STEPLINK_TIMER_LATCH_COUNT && value != STEPLINK_TIMER_READ_STATUS) return false;
    calls_.Outb(value, STEPLINK_PORT_TIMER_COMMAND);
    return true;
  }

  std::uint8_t Read() override { return calls_.Inb(STEPLINK_PORT_TIMER_COUNT); }

 private:
  SystemCalls& calls_;
  bool open_ = false;
};

}  // namespace

std::unique_ptr<Counter0> MakeClockCounter(SystemCalls& calls) {
  return std::make_unique<ClockCounter>(calls);
}

std::unique_ptr<Counter0> MakePitCounter(SystemCalls& calls) {
  return std::make_unique<PitCounter>(calls);
}

std::string IopermAdvice(SystemCalls& calls, int error) {
  if (error == ENOSYS) {
    return "ioperm is not available here (not an x86 machine, or a container or sandbox that does "
           "not pass port I/O through); use parport: with timer=clock.";
  }
  if (error != EPERM && error != EACCES) return "Use parport: with timer=clock.";
  // "none [integrity] confidentiality": the selected mode in brackets.
  const auto lockdown = calls.ReadText("/sys/kernel/security/lockdown");
  if (lockdown && lockdown->find("[none]") == std::string::npos &&
      lockdown->find('[') != std::string::npos) {
    return "The kernel is in lockdown (" + lockdown->substr(0, lockdown->find('\n')) +
           ", usually Secure Boot), which refuses ioperm even to root: use parport: with "
           "timer=clock.";
  }
  return "ioperm needs root or CAP_SYS_RAWIO (sudo setcap cap_sys_rawio+ep on the program, or run "
         "as root); otherwise use parport: with timer=clock.";
}

}  // namespace hw
