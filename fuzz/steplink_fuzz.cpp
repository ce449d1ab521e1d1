// Fuzz target: reads a byte string as a table configuration and a sequence of entry calls with
// arbitrary int arguments, runs them through the exported JavaToC entries on the checking table
// and traps on the first broken invariant. Calls the entries, the substitute and the core's state.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "entry/entry.h"
#include "motion/ramp.h"
#include "motion/reference.h"
#include "motion/vector.h"
#include "port/port_channel.h"
#include "sim/substitute.h"
#include "sim/table_model.h"
#include "table_oracle.h"
#include "timing/timer.h"

namespace {

// Bytes of the input, consumed from the front; zeros once it is used up.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return used_ >= size_; }
  std::uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }
  std::uint32_t Word() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | Byte();
    return value;
  }
  // An int argument, biased towards the codes, the refusal limits, the ramp's breakpoints and
  // small distances; sometimes any 32-bit value.
  std::int32_t Argument() {
    static constexpr std::int32_t interesting[] = {
        INT_MIN, INT_MAX, -32001, -32000, -31999, 31999, 32000, 32001, 32222, -32222, 0,    1, -1,
        2,       -2,      8,      -8,     1249,   1250,  1499,  1500,  40000, -40000, 65536};
    constexpr std::uint8_t interestingCount = sizeof(interesting) / sizeof(interesting[0]);
    const std::uint8_t selector = Byte();
    if (selector < interestingCount) return interesting[selector];
    if (selector < 176) return static_cast<std::int32_t>(selector - interestingCount) - 76;
    if (selector < 240) return static_cast<std::int32_t>(Byte() << 4 | Byte() >> 4) - 2048;
    return static_cast<std::int32_t>(Word());
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t used_ = 0;
};

[[noreturn]] void Broken(const char* what, long long a = 0, long long b = 0) {
  std::fprintf(stderr, "steplink-fuzz: invariant broken: %s (%lld, %lld)\n", what, a, b);
  std::fflush(stderr);
  __builtin_trap();
}

fuzz::TableOracle oracle;
std::optional<sim::TableModel> table;  // the simulated table on its virtual clock

// Set once a move on a closed channel has left the library's phase indices apart from the
// simulated motors: from then on the two models count the next steps differently.
bool tableDesynced = false;

// Serves the device from the simulated table and shows every access to the checking model too;
// the two must answer every read alike while they agree on the motors.
class TeeBackend final : public sim::PortBackend {
 public:
  void Out(std::uint16_t port, std::uint8_t value) override {
    table->Out(port, value);
    oracle.Out(port, value);
  }
  std::uint8_t In(std::uint16_t port) override {
    const std::uint8_t value = table->In(port);
    if (oracle.In(port) != value && !tableDesynced)
      Broken("the table models answer a read differently", port, value);
    return value;
  }
};
TeeBackend tee;

// The simulated table's fault counts after the last check, by kind.
struct SimFaults {
  std::uint32_t count[sim::faultKindCount] = {};
};
SimFaults simFaultsSeen;

// Puts the library back to its load state: a test-only reset, as no entry resets anything.
void ResetLibrary() {
  ClosePortDevice();  // portHandle back to "no handle"
  ResetTimerState();
  ResetRampState();
  ResetVectorState();
  ResetReferenceState();
}

std::uint32_t Magnitude(std::int32_t value) {
  return value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
}

bool IsAuxCode(std::int32_t z) {
  return z == 32000 || z == -32000;
}
bool IsZDistance(std::int32_t z) {
  return z > -32000 && z < 32000;
}

// The leading distance of a move, and whether it makes steps (0 when refused or empty).
std::uint32_t AcceptedSteps(std::int32_t x, std::int32_t y, std::int32_t z) {
  if (!IsZDistance(z) && !IsAuxCode(z) && z != 32222) return 0;  // out-of-range z refuses all
  std::uint32_t lead = Magnitude(x);
  if (Magnitude(y) > lead) lead = Magnitude(y);
  if (IsZDistance(z) && Magnitude(z) > lead) lead = Magnitude(z);
  return lead < 32000 ? lead : 0;
}

// Upper bounds on the simulated time of a call, in ticks. A wait runs its target (twice over if
// countsPerTick was measured as 2 on a mode 2 counter), plus up to two counter periods that the
// wrap rule can miss, plus the readings that overshoot.
struct TimeBounds {
  std::uint64_t access, waitSlack, latch, aux, normalStep, referenceStep, moveOverhead, pause;
  explicit TimeBounds(std::uint64_t accessTicks)
      : access(accessTicks),
        waitSlack(2 * 65536 + 64 * accessTicks),
        latch(3 * accessTicks + 2 * 119 + waitSlack),
        aux(latch + 2 * 196897 + waitSlack),
        normalStep(3 * latch + 2 * 1193317 + waitSlack),  // slowest pacing: 1 step/s
        referenceStep(3 * latch + 2 * 2983 + waitSlack),  // 400 steps/s, no ramp
        moveOverhead(3 * latch + 3 * accessTicks),
        pause(2 * 656324 + waitSlack) {}
};

struct Session {
  fuzz::OracleConfig config;
  bool channelOpen = false;
  std::uint64_t stepBudget = 0;        // steps this input may still command on an open channel
  std::uint64_t closedStepBudget = 0;  // and on a channel that is not open (each prints lines)
};

void CheckState(Session& session, const char* call) {
  if (referenceActive != 0) Broken("referenceActive not 0 between calls", referenceActive);
  const std::uint8_t phase[3] = {phaseX, phaseY, phaseZ};
  for (int axis = 0; axis < 3; ++axis) {
    if (phase[axis] > 7) Broken("phase index out of 0..7", axis, phase[axis]);
  }
  const fuzz::OracleFaults& faults = oracle.faults();
  if (faults.Total() != 0) {
    std::fprintf(stderr, "after %s: protocol %u settle %u pattern %u lost-step %u\n", call,
                 faults.protocol, faults.settle, faults.pattern, faults.lostStep);
    Broken("the checking model saw a fault");
  }
  if (table->Now() != oracle.ticks()) Broken("the table models' clocks differ");
  // The simulated table's new faults. Settle faults are the library's due before the timer is
  // calibrated (no wait has a length yet); lost steps once a move on a closed channel has left
  // the library's phase indices apart from the motors. A creep that never met the switch is
  // the table's limit input, not the library, and an input may place the switch anywhere.
  for (int kind = 0; kind < sim::faultKindCount; ++kind) {
    const std::uint32_t now = table->Faults(static_cast<sim::FaultKind>(kind));
    const std::uint32_t added = now - simFaultsSeen.count[kind];
    simFaultsSeen.count[kind] = now;
    const bool excused =
        (kind == static_cast<int>(sim::FaultKind::settle) && !oracle.settleEnforced) ||
        (kind == static_cast<int>(sim::FaultKind::lostStep) && tableDesynced) ||
        kind == static_cast<int>(sim::FaultKind::noSwitch);
    if (added != 0 && !excused) {
      std::fprintf(stderr, "after %s: %u new %s faults\n", call, added,
                   sim::FaultKindName(static_cast<sim::FaultKind>(kind)));
      Broken("the simulated table saw a fault");
    }
  }
  if (!session.channelOpen) {
    oracle.Resync(phase);  // the output of this call never reached the table
    for (int axis = 0; axis < 3; ++axis) {
      if (table->Phase(static_cast<sim::Axis>(axis)) != phase[axis]) tableDesynced = true;
    }
    return;
  }
  for (int axis = 0; axis < 3; ++axis) {
    if (oracle.MotorPhase(axis) != phase[axis]) {
      Broken("table position disagrees with the phase index", axis, oracle.position()[axis]);
    }
    if (tableDesynced) continue;
    const auto simAxis = static_cast<sim::Axis>(axis);
    if (table->Phase(simAxis) != phase[axis] ||
        table->Position(simAxis) != oracle.position()[axis]) {
      Broken("the simulated table's position disagrees", axis, table->Position(simAxis));
    }
  }
}

// Estimated steps of a reference run, for the budget only: creeps down to the switches (or the
// whole creep limit when no switch can be reached), leave and back-off moves.
std::uint64_t ReferenceStepEstimate(const Session& session, std::int32_t x, std::int32_t y,
                                    std::int32_t z) {
  std::uint64_t steps = AcceptedSteps(x, y, z);
  const std::int32_t backOff[3] = {x, y, IsZDistance(z) ? z : 0};
  for (int axis = 0; axis < 3; ++axis) {
    if (backOff[axis] == 0) continue;
    std::uint64_t creep = 32000;
    if (session.channelOpen) {
      const std::int64_t above = oracle.position()[axis] - session.config.limit[axis];
      creep = above <= 0 ? 0 : (above > 32000 ? 32000 : static_cast<std::uint64_t>(above));
    }
    const std::uint32_t back = Magnitude(backOff[axis]);
    steps += creep + (back < 32000 ? back : 0);
  }
  return steps;
}

bool TakeBudget(Session& session, std::uint64_t steps) {
  std::uint64_t& budget = session.channelOpen ? session.stepBudget : session.closedStepBudget;
  if (steps > budget) return false;
  budget -= steps;
  return true;
}

void RunVectorOut(Session& session, std::int32_t x, std::int32_t y, std::int32_t z,
                  const TimeBounds& bounds) {
  const std::uint32_t steps = AcceptedSteps(x, y, z);
  if (!TakeBudget(session, steps)) return;
  const std::int64_t before[3] = {oracle.position()[0], oracle.position()[1], oracle.position()[2]};
  const std::uint64_t ticksBefore = oracle.ticks();

  const jint result = Java_JavaToC_vectorOut(nullptr, nullptr, x, y, z);

  const jint expected = z == -32000 ? 0 : z == 32000 ? 1 : z == 32222 ? 2 : 3;
  if (result != expected) Broken("vectorOut result", result, expected);
  CheckState(session, "vectorOut");
  if (!session.channelOpen) return;
  const std::int64_t commanded[3] = {steps ? x : 0, steps ? y : 0, steps && IsZDistance(z) ? z : 0};
  for (int axis = 0; axis < 3; ++axis) {
    if (oracle.position()[axis] - before[axis] != commanded[axis]) {
      Broken("vectorOut moved an axis by other than the commanded distance", axis,
             oracle.position()[axis] - before[axis]);
    }
  }
  const std::uint64_t limit =
      (IsAuxCode(z) ? bounds.aux : 0) + steps * bounds.normalStep + bounds.moveOverhead;
  if (oracle.ticks() - ticksBefore > limit) {
    Broken("vectorOut took longer than its arguments allow",
           static_cast<long long>(oracle.ticks() - ticksBefore), static_cast<long long>(limit));
  }
}

void RunReference(Session& session, std::int32_t x, std::int32_t y, std::int32_t z,
                  const TimeBounds& bounds) {
  if (!TakeBudget(session, ReferenceStepEstimate(session, x, y, z))) return;
  const std::uint64_t ticksBefore = oracle.ticks();
  const std::uint64_t stepsBefore = oracle.steps();

  Java_JavaToC_reference(nullptr, nullptr, x, y, z);

  CheckState(session, "reference");
  // Every move of the run makes at least one step except the leave move and the back-offs.
  const std::uint64_t steps = oracle.steps() - stepsBefore;
  const std::uint64_t limit = steps * bounds.referenceStep + (steps + 4) * bounds.moveOverhead +
                              3 * bounds.pause + 3 * bounds.aux + bounds.waitSlack;
  if (oracle.ticks() - ticksBefore > limit) {
    Broken("reference took longer than its moves allow",
           static_cast<long long>(oracle.ticks() - ticksBefore), static_cast<long long>(limit));
  }
}

void RunInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  Session session;
  // Mostly a fast virtual clock (few readings per wait, so many inputs a second); now and then the
  // fine clocks, on which every wait polls hundreds of times, with a smaller step budget.
  static constexpr std::uint32_t accessTicksChoices[8] = {1000, 4093, 250,  64,
                                                          4093, 4093, 1000, 4093};
  const std::uint8_t configByte = input.Byte();
  session.config.accessTicks = accessTicksChoices[configByte & 7];
  if ((configByte & 0xE6) == 0xE6) session.config.accessTicks = (configByte & 1) ? 7 : 2;
  session.config.counterMode = (configByte & 8) ? 3 : 2;
  // A status byte without a mode: calibration measures instead (only on a mode 2 counter, as the
  // first measurement cannot tell two counts a tick from one).
  if ((configByte & 0x10) && session.config.counterMode == 2) session.config.statusOverride = 0x30;
  const std::uint8_t limitByte = input.Byte();
  session.config.limit[0] = -1 - (limitByte & 7);
  session.config.limit[1] = -1 - ((limitByte >> 3) & 7);
  session.config.limit[2] = -1 - (limitByte >> 6);
  // Moves near the 31999-step limit only in inputs that ask for the long budget.
  const bool longBudget = (configByte & 0x60) == 0x60 && session.config.accessTicks >= 250;
  session.stepBudget = longBudget ? 40000 : session.config.accessTicks >= 64 ? 1600 : 100;
  session.closedStepBudget = 1500;

  ResetLibrary();
  oracle.Reset(session.config);
  sim::TableSettings settings;
  settings.clock = sim::ClockKind::virtualTicks;
  settings.accessTicks = session.config.accessTicks;
  settings.counterMode = static_cast<std::uint8_t>(session.config.counterMode);
  settings.statusOverride = session.config.statusOverride >= 0;
  settings.overrideStatus = static_cast<std::uint8_t>(session.config.statusOverride & 0xFF);
  for (int axis = 0; axis < 3; ++axis) settings.limitSteps[axis] = session.config.limit[axis];
  table.emplace(settings, nullptr, nullptr, nullptr);
  simFaultsSeen = {};
  tableDesynced = false;
  sim::ResetSubstitute(&tee);
  const TimeBounds bounds(session.config.accessTicks);

  for (int calls = 0; calls < 24 && !input.Empty(); ++calls) {
    oracle.settleEnforced =
        session.config.counterMode == 2 ? countsPerTick >= 1 : countsPerTick == 2;
    const std::uint8_t op = input.Byte() % 10;
    switch (op) {
      case 0: {
        const std::uint64_t ticksBefore = oracle.ticks();
        const jint result = Java_JavaToC_openConn(nullptr, nullptr);
        if (result != 255 && (result & 0xFF) == 0xFF)
          Broken("openConn handle ends in 0xFF", result);
        if (oracle.ticks() != ticksBefore) Broken("openConn touched a port");
        session.channelOpen = result != 255;
        CheckState(session, "openConn");
        break;
      }
      case 1: {
        const jint result = Java_JavaToC_closeConn(nullptr, nullptr);
        if (result != 0 && result != 1) Broken("closeConn result", result);
        if ((result == 1) != session.channelOpen)
          Broken("closeConn result on this channel", result);
        session.channelOpen = false;
        CheckState(session, "closeConn");
        break;
      }
      case 2: {
        const std::uint64_t ticksBefore = oracle.ticks();
        const jint result = Java_JavaToC_initTimer(nullptr, nullptr);
        if (result != 2 && result != 3 && (result < 0 || result > 65500 || result % 100 != 0)) {
          Broken("initTimer result", result);
        }
        if (session.channelOpen && session.config.statusOverride < 0 &&
            result != session.config.counterMode) {
          Broken("initTimer missed the counter mode", result);
        }
        if (oracle.ticks() - ticksBefore > bounds.normalStep + 32 * bounds.access) {
          Broken("initTimer took longer than one pacing step");
        }
        CheckState(session, "initTimer");
        break;
      }
      case 3:
      case 4:
      case 5: {
        const std::int32_t x = input.Argument();
        const std::int32_t y = input.Argument();
        const std::int32_t z = input.Argument();
        RunVectorOut(session, x, y, z, bounds);
        break;
      }
      case 6:
      case 7: {
        const std::int32_t x = input.Argument();
        const std::int32_t y = input.Argument();
        const std::int32_t z = input.Argument();
        RunReference(session, x, y, z, bounds);
        break;
      }
      case 8:
        // The driver goes away (or comes back): only the next open notices.
        sim::Services().deviceMissing = !sim::Services().deviceMissing;
        break;
      case 9: {
        // The service is stopped or removed: the next open starts or installs it.
        const std::uint8_t state = input.Byte();
        sim::Services().service =
            (state & 1) ? sim::ServiceState::stopped : sim::ServiceState::absent;
        sim::Services().driverFileInCurrentDir = (state & 2) != 0;
        sim::Services().driverFileAtTarget = (state & 4) != 0;
        break;
      }
    }
  }
}

}  // namespace

// Nothing to prepare: every input starts from the subsystems' own resets (ResetLibrary).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunInput(data, size);
  return 0;
}
