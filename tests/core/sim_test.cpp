// Tests of the simulated table: counter 0's read-back and latch protocol, modes and wrap; latch
// decoding into motor steps, aux states and faults; the limit input; STEPLINK_SIM parsing; the
// record file and status block beside the model. All on the virtual clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/board_observer.h"
#include "device/observed_hardware.h"
#include "sim/config.h"
#include "sim/simulated_table.h"
#include "sim/table_model.h"

namespace {

using sim::Axis;
using sim::FaultKind;
using sim::TableModel;
using sim::TableSettings;

struct Event {
  std::string kind;  // step, aux, fault
  std::uint64_t tick;
  int a;  // axis / state / fault kind
  int b;  // direction / - / port
  int c;  // position / - / value
  bool operator==(const Event&) const = default;
};

class EventLog final : public sim::TableEvents {
 public:
  void OnStep(std::uint64_t tick, Axis axis, int direction, std::int32_t position) override {
    events.push_back({"step", tick, axis, direction, position});
  }
  void OnAux(std::uint64_t tick, int state) override {
    events.push_back({"aux", tick, state, 0, 0});
  }
  void OnFault(std::uint64_t tick, FaultKind kind, std::uint16_t port,
               std::uint8_t value) override {
    events.push_back({"fault", tick, static_cast<int>(kind), port, value});
  }
  std::vector<Event> events;
};

TableSettings Virtual(std::uint32_t accessTicks = 2) {
  TableSettings settings;
  settings.clock = sim::ClockKind::virtualTicks;
  settings.accessTicks = accessTicks;
  return settings;
}

// Latch write as the board wants it: data, then strobe high and low once the data has settled.
// With accessTicks 120 the strobe comes one access (120 ticks) after the data.
void WriteLatch(TableModel& table, std::uint8_t value) {
  table.Out(sim::dataPort, value);
  table.Out(sim::controlPort, 1);
  table.Out(sim::controlPort, 0);
}

std::uint16_t ReadCount(TableModel& table) {
  table.Out(sim::timerCommandPort, sim::latchCountCommand);
  const std::uint8_t low = table.In(sim::counter0Port);
  const std::uint8_t high = table.In(sim::counter0Port);
  return static_cast<std::uint16_t>(high * 256 + low);
}

// --- counter 0 ------------------------------------------------------------------------------

TEST(SimCounter, ReadBackGivesTheStatusOfEachMode) {
  for (const auto& [mode, status] : {std::pair{2, 0x34}, std::pair{3, 0x36}}) {
    TableSettings settings = Virtual();
    settings.counterMode = static_cast<std::uint8_t>(mode);
    TableModel table(settings, nullptr, nullptr, nullptr);

    table.Out(sim::timerCommandPort, sim::readBackStatusCommand);
    const std::uint8_t read = table.In(sim::counter0Port);

    EXPECT_EQ(read, status) << "mode " << mode;
    EXPECT_EQ(table.FaultCount(), 0u);
  }
}

TEST(SimCounter, StatusOverrideReportsAnotherModeButCountsAsMode2) {
  TableSettings settings = Virtual();
  settings.statusOverride = true;
  settings.overrideStatus = 0x30;
  TableModel table(settings, nullptr, nullptr, nullptr);

  table.Out(sim::timerCommandPort, sim::readBackStatusCommand);
  const std::uint8_t status = table.In(sim::counter0Port);
  const std::uint16_t count = ReadCount(table);

  EXPECT_EQ(status, 0x30);
  // The latch command was the third access: t = 6 ticks, mode 2 reading (-6) mod 65536.
  EXPECT_EQ(count, 65536 - 6);
}

TEST(SimCounter, LatchedCountIsTakenAtTheLatchAndReadLowThenHigh) {
  TableModel table(Virtual(2), nullptr, nullptr, nullptr);

  table.Out(sim::timerCommandPort, sim::latchCountCommand);  // t = 2: reading 0xFFFE
  const std::uint8_t low = table.In(sim::counter0Port);
  table.In(0x3BC);  // time passes between the two byte reads
  const std::uint8_t high = table.In(sim::counter0Port);

  EXPECT_EQ(low, 0xFE);
  EXPECT_EQ(high, 0xFF);
  EXPECT_EQ(table.FaultCount(), 0u);
}

TEST(SimCounter, Mode3CountsDownTwicePerTick) {
  TableSettings settings = Virtual(5);
  settings.counterMode = 3;
  TableModel table(settings, nullptr, nullptr, nullptr);

  const std::uint16_t first = ReadCount(table);   // latched at t = 5
  const std::uint16_t second = ReadCount(table);  // latched at t = 20

  EXPECT_EQ(first, 65536 - 10);
  EXPECT_EQ(first - second, 30);
}

TEST(SimCounter, CountWrapsAfter65536CountsAndKeepsFalling) {
  TableModel table(Virtual(1000), nullptr, nullptr, nullptr);
  std::vector<std::uint16_t> readings;

  for (int i = 0; i < 40; ++i) readings.push_back(ReadCount(table));  // 120000 ticks

  int wraps = 0;
  for (std::size_t i = 1; i < readings.size(); ++i) {
    if (readings[i] > readings[i - 1]) {
      ++wraps;
    } else {
      EXPECT_EQ(readings[i - 1] - readings[i], 3000);
    }
  }
  EXPECT_EQ(wraps, 1);
  EXPECT_EQ(table.CountAt(65536), 0);
  EXPECT_EQ(table.CountAt(65537), 0xFFFF);
}

// counter=frozen: a dead counter shows one value for ever while the table's clock runs on.
TEST(SimCounter, AFrozenCounterShowsOneValueWhileTimeRuns) {
  TableSettings settings = Virtual(5);
  settings.counterFrozen = true;
  TableModel table(settings, nullptr, nullptr, nullptr);

  const std::uint16_t first = ReadCount(table);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ReadCount(table), first);

  EXPECT_GT(table.Now(), 1000u);
  EXPECT_EQ(table.CounterStatus(), sim::mode2Status);  // the mode still reads back
  EXPECT_EQ(table.FaultCount(), 0u);
}

TEST(SimCounter, ProtocolFaults) {
  EventLog log;
  TableModel table(Virtual(2), nullptr, nullptr, &log);

  // A read with nothing latched gives the current count's low byte: t = 2, reading 0xFFFE.
  const std::uint8_t unlatched = table.In(sim::counter0Port);
  table.Out(sim::timerCommandPort, 0x34);  // programming the counter is not ours to do
  table.Out(sim::counter0Port, 0x12);
  table.Out(sim::timerCommandPort, sim::latchCountCommand);
  table.In(sim::counter0Port);
  table.In(sim::counter0Port);
  table.In(sim::counter0Port);  // a third byte read: the latch is used up

  EXPECT_EQ(unlatched, 0xFE);
  EXPECT_EQ(table.Faults(FaultKind::protocol), 4u);
  ASSERT_EQ(log.events.size(), 4u);
  EXPECT_EQ(log.events[0], (Event{"fault", 2, 2, 0x40, 0xFE}));
  EXPECT_EQ(log.events[1], (Event{"fault", 4, 2, 0x43, 0x34}));
  EXPECT_EQ(log.events[2], (Event{"fault", 6, 2, 0x40, 0x12}));
}

// --- latch board and motors --------------------------------------------------------------------

TEST(SimBoard, StepPatternsInPhaseOrderMoveEachAxisBothWays) {
  for (const int axis : {0, 1, 2}) {
    EventLog log;
    TableModel table(Virtual(120), nullptr, nullptr, &log);
    const std::uint8_t select = static_cast<std::uint8_t>(axis << 6);

    for (int phase = 1; phase <= 8; ++phase)
      WriteLatch(table, select | sim::stepPatterns[phase % 8]);
    WriteLatch(table, select | sim::holdPatterns[0]);  // same phase: standstill, no step
    for (int phase = 7; phase >= 5; --phase) WriteLatch(table, select | sim::stepPatterns[phase]);

    EXPECT_EQ(table.Position(static_cast<Axis>(axis)), 8 - 3);
    EXPECT_EQ(table.Phase(static_cast<Axis>(axis)), 5);
    EXPECT_EQ(table.TotalSteps(), 11u);
    EXPECT_EQ(table.FaultCount(), 0u);
    ASSERT_EQ(log.events.size(), 11u);
    EXPECT_EQ(log.events[7], (Event{"step", log.events[7].tick, axis, 1, 8}));
    EXPECT_EQ(log.events[8], (Event{"step", log.events[8].tick, axis, -1, 7}));
    for (int other = 0; other < 3; ++other) {
      if (other != axis) {
        EXPECT_EQ(table.Position(static_cast<Axis>(other)), 0);
      }
    }
  }
}

TEST(SimBoard, HoldPatternsAreTheirPhaseAndStepTooWhenOnePhaseAway) {
  TableModel table(Virtual(120), nullptr, nullptr, nullptr);

  WriteLatch(table, 0x40 | sim::holdPatterns[1]);  // Y: hold of phase 1 from phase 0
  WriteLatch(table, 0x40 | sim::stepPatterns[1]);

  EXPECT_EQ(table.Position(sim::axisY), 1);
  EXPECT_EQ(table.FaultCount(), 0u);
}

TEST(SimBoard, PhaseJumpIsALostStepThatKeepsThePositionAndTakesThePhase) {
  EventLog log;
  TableModel table(Virtual(120), nullptr, nullptr, &log);

  WriteLatch(table, sim::stepPatterns[2]);  // X from phase 0 to 2
  WriteLatch(table, sim::stepPatterns[3]);  // one step on from the new phase

  EXPECT_EQ(table.Faults(FaultKind::lostStep), 1u);
  EXPECT_EQ(table.Position(sim::axisX), 1);
  EXPECT_EQ(table.Phase(sim::axisX), 3);
  ASSERT_FALSE(log.events.empty());
  EXPECT_EQ(log.events[0], (Event{"fault", log.events[0].tick, 0, 0x3BC, sim::stepPatterns[2]}));
}

TEST(SimBoard, AuxStateLastsOnlyWhileTheZLatchHoldsTheAuxByte) {
  EventLog log;
  TableModel table(Virtual(120), nullptr, nullptr, &log);
  WriteLatch(table, 0x80 | sim::stepPatterns[1]);  // Z to phase 1, position 1: no aux state yet

  WriteLatch(table, 0x87);
  WriteLatch(table, 0x87);  // no change: no event
  WriteLatch(table, 0x9B);
  WriteLatch(table, 0x00 | sim::stepPatterns[1]);  // X and Y bytes leave the Z latch alone
  WriteLatch(table, 0x40 | sim::holdPatterns[0]);
  EXPECT_EQ(table.AuxState(), 0);
  WriteLatch(table, 0x80 | sim::stepPatterns[2]);  // Z continues from phase 1, aux byte gone

  EXPECT_EQ(table.AuxState(), sim::noAuxState);
  EXPECT_EQ(table.Position(sim::axisZ), 2);
  EXPECT_EQ(table.FaultCount(), 0u);
  std::vector<std::string> kinds;
  for (const Event& event : log.events) kinds.push_back(event.kind + std::to_string(event.a));
  EXPECT_EQ(kinds, (std::vector<std::string>{"step2", "aux1", "aux0", "step0", "aux-1", "step2"}));

  WriteLatch(table, 0x80 | sim::holdPatterns[2]);  // a hold byte: still none, no second event
  WriteLatch(table, 0x87);
  WriteLatch(table, 0x80 | 0x3F);  // a stray byte replaces it too (and is a pattern fault)
  EXPECT_EQ(table.AuxState(), sim::noAuxState);
  EXPECT_EQ(log.events.size(), 9u);  // + aux1, the fault, aux-1
}

TEST(SimBoard, AuxPatternsOnXOrYArePatternFaults) {
  TableModel table(Virtual(120), nullptr, nullptr, nullptr);

  WriteLatch(table, 0x07);         // aux pattern on X
  WriteLatch(table, 0x40 | 0x1B);  // aux pattern on Y
  WriteLatch(table, 0x80 | 0x3F);  // no table holds 63

  EXPECT_EQ(table.Faults(FaultKind::pattern), 3u);
  EXPECT_EQ(table.AuxState(), -1);
  EXPECT_EQ(table.TotalSteps(), 0u);
}

TEST(SimBoard, SelectBits11AreAProtocolFault) {
  TableModel table(Virtual(120), nullptr, nullptr, nullptr);

  WriteLatch(table, 0xC0 | sim::stepPatterns[1]);

  EXPECT_EQ(table.Faults(FaultKind::protocol), 1u);
  EXPECT_EQ(table.TotalSteps(), 0u);
}

TEST(SimBoard, StrobeBeforeTheDataSettledIsASettleFault) {
  // 60 ticks per access: the strobe comes 60 ticks after the data, then 120 after.
  TableModel early(Virtual(60), nullptr, nullptr, nullptr);
  early.Out(sim::dataPort, sim::stepPatterns[1]);
  early.Out(sim::controlPort, 1);
  early.Out(sim::controlPort, 0);
  TableModel settled(Virtual(60), nullptr, nullptr, nullptr);
  settled.Out(sim::dataPort, sim::stepPatterns[1]);
  settled.In(sim::statusPort);
  settled.Out(sim::controlPort, 1);
  settled.Out(sim::controlPort, 0);

  EXPECT_EQ(early.Faults(FaultKind::settle), 1u);
  EXPECT_EQ(settled.Faults(FaultKind::settle), 0u);
  EXPECT_EQ(settled.Position(sim::axisX), 1);
}

TEST(SimBoard, StrobeMustReturnToZeroBetweenPulses) {
  TableModel table(Virtual(120), nullptr, nullptr, nullptr);

  table.Out(sim::dataPort, sim::stepPatterns[1]);
  table.Out(sim::controlPort, 1);
  table.Out(sim::dataPort, sim::stepPatterns[2]);
  table.Out(sim::controlPort, 1);  // still high: not a new pulse
  table.Out(sim::controlPort, 4);  // other control bits are never driven

  EXPECT_EQ(table.Faults(FaultKind::protocol), 2u);
  EXPECT_EQ(table.Position(sim::axisX), 1);
}

TEST(SimBoard, RegistersAndOtherPorts) {
  TableModel table(Virtual(120), nullptr, nullptr, nullptr);

  table.Out(sim::dataPort, 0x5A);
  const std::uint8_t data = table.In(sim::dataPort);
  const std::uint8_t unknown = table.In(0x378);
  table.Out(sim::statusPort, 0);  // status register is read-only
  table.Out(0x80, 0);

  EXPECT_EQ(data, 0x5A);
  EXPECT_EQ(unknown, 0xFF);
  EXPECT_EQ(table.Faults(FaultKind::protocol), 3u);
}

// --- limit input ------------------------------------------------------------------------------

TEST(SimLimit, Bit7ClearsWhileAnyAxisIsAtOrBelowItsSwitch) {
  TableSettings settings = Virtual(120);
  settings.limitSteps[sim::axisX] = -2;
  settings.limitSteps[sim::axisY] = -1;
  settings.limitSteps[sim::axisZ] = -5;
  TableModel table(settings, nullptr, nullptr, nullptr);
  std::vector<std::uint8_t> status;

  status.push_back(table.In(sim::statusPort));  // all released
  WriteLatch(table, sim::stepPatterns[7]);      // X -1
  status.push_back(table.In(sim::statusPort));
  WriteLatch(table, sim::stepPatterns[6]);  // X -2: on the switch
  status.push_back(table.In(sim::statusPort));
  WriteLatch(table, sim::stepPatterns[7]);         // X back to -1
  WriteLatch(table, 0x40 | sim::stepPatterns[7]);  // Y -1: on its switch
  status.push_back(table.In(sim::statusPort));

  EXPECT_EQ(status, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x7F, 0x7F}));
  EXPECT_TRUE(table.LimitEngaged());
}

TEST(SimLimit, DefaultSwitchPositions) {
  TableModel table(Virtual(120), nullptr, nullptr, nullptr);
  int steps = 0;

  for (int phase = 7; table.In(sim::statusPort) & sim::limitReleasedBit; phase = (phase + 7) % 8) {
    WriteLatch(table, 0x80 | sim::stepPatterns[phase]);
    ASSERT_LT(++steps, 1000);
  }

  EXPECT_EQ(table.Position(sim::axisZ), sim::defaultLimitZ);
}

// --- configuration -----------------------------------------------------------------------------

TEST(SimConfig, EmptyTextGivesTheLibraryDefaults) {
  const sim::ConfigResult result = sim::ParseSimConfig("");

  ASSERT_TRUE(result.config);
  EXPECT_EQ(result.config->table.clock, sim::ClockKind::realtime);
  EXPECT_EQ(result.config->table.accessTicks, 2u);
  EXPECT_EQ(result.config->table.counterMode, 2);
  EXPECT_FALSE(result.config->table.statusOverride);
  EXPECT_EQ(result.config->table.limitSteps[2], -100);
  EXPECT_EQ(result.config->service, sim::ServiceState::running);
}

TEST(SimConfig, EveryKeyIsRead) {
  const sim::ConfigResult result = sim::ParseSimConfig(
      "clock=virtual, access-ticks=7,mode=3,status-byte=0x30,limit-x=-40,limit-y=-25,"
      "limit-z=-10,record=/tmp/r.txt,status=job1,service=absent,counter=frozen");

  ASSERT_TRUE(result.config) << result.error;
  const sim::SimConfig& config = *result.config;
  EXPECT_EQ(config.table.clock, sim::ClockKind::virtualTicks);
  EXPECT_EQ(config.table.accessTicks, 7u);
  EXPECT_EQ(config.table.counterMode, 3);
  EXPECT_TRUE(config.table.statusOverride);
  EXPECT_EQ(config.table.overrideStatus, 0x30);
  EXPECT_EQ(config.table.limitSteps[0], -40);
  EXPECT_EQ(config.table.limitSteps[1], -25);
  EXPECT_EQ(config.table.limitSteps[2], -10);
  EXPECT_EQ(config.recordPath, "/tmp/r.txt");
  EXPECT_EQ(config.statusName, "job1");
  EXPECT_EQ(config.service, sim::ServiceState::absent);
  EXPECT_TRUE(config.table.counterFrozen);
  EXPECT_FALSE(sim::ParseSimConfig("counter=running").config->table.counterFrozen);
}

TEST(SimConfig, ErrorsNameTheKeyOrValue) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"foo=1", "unknown key 'foo' in STEPLINK_SIM"},
      {"clock=fast", "'fast' for key 'clock'"},
      {"access-ticks=0", "'0' for key 'access-ticks'"},  // virtual time would stand still
      {"access-ticks=2x", "'2x' for key 'access-ticks'"},
      {"mode=4", "'4' for key 'mode'"},
      {"status-byte=0x130", "'0x130' for key 'status-byte'"},
      {"limit-x=-3000000000", "'-3000000000' for key 'limit-x'"},
      {"limit-y=", "'' for key 'limit-y'"},
      {"status=a/b", "'a/b' for key 'status'"},
      {"service=gone", "'gone' for key 'service'"},
      {"counter=stopped",
       "'stopped' for key 'counter' in STEPLINK_SIM (expected running or frozen)"},
      {"clock", "item 'clock' in STEPLINK_SIM is not key=value"},
      {"mode=2,mode=3", "key 'mode' given twice"},
  };
  for (const auto& [text, expected] : cases) {
    const sim::ConfigResult result = sim::ParseSimConfig(text);

    EXPECT_FALSE(result.config) << text;
    EXPECT_NE(result.error.find(expected), std::string::npos) << text << ": " << result.error;
  }
}

// --- record file and status block ---------------------------------------------------------------

TEST(SimRecord, StepsAuxAndFaultsAreRecordedAndPublished) {
  const std::string name = "steplink-simtest-" + std::to_string(getpid());
  const std::filesystem::path record = std::filesystem::temp_directory_path() / (name + ".txt");
  sim::ConfigResult parsed = sim::ParseSimConfig(
      "clock=virtual,access-ticks=120,record=" + record.string() + ",status=" + name);
  ASSERT_TRUE(parsed.config);
  std::string error;
  std::unique_ptr<sim::PortBackend> table = sim::MakeSimulatedTable(*parsed.config, error);
  ASSERT_TRUE(table) << error;

  for (const std::uint8_t byte :
       {std::uint8_t{0x2D}, std::uint8_t{0x87}, std::uint8_t{0x40 | 41}, std::uint8_t{0x00}}) {
    table->Out(sim::dataPort, byte);
    table->Out(sim::controlPort, 1);
    table->Out(sim::controlPort, 0);
  }
  table->DeviceClosed();

  std::ifstream in(record);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "# steplink sim record 1\n"
            "step 240 x + 1\n"
            "aux 600 1\n"
            "step 960 y - -1\n"
            "fault 1320 pattern 3bc 00\n");

  const int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  SteplinkStatusBlock whole{};
  ASSERT_EQ(pread(fd, &whole, sizeof(whole), 0), static_cast<ssize_t>(sizeof(whole)));
  close(fd);
  EXPECT_EQ(whole.magic, 0x54534C53u);
  EXPECT_EQ(whole.version, STEPLINK_STATUS_VERSION);
  EXPECT_EQ(whole.ownerPid, static_cast<std::uint32_t>(getpid()));
  const SteplinkStatusTable& block = whole.table;
  EXPECT_EQ(block.sequence, 12u);  // even: open, three events, the fault, the close, 2 each
  EXPECT_EQ(block.positionX, 1);
  EXPECT_EQ(block.positionY, -1);
  EXPECT_EQ(block.positionZ, 0);
  EXPECT_EQ(block.auxState, 1);
  EXPECT_EQ(block.ticks, 1440u);
  EXPECT_EQ(block.totalSteps, 2u);
  EXPECT_EQ(block.faultCount, 1u);
  EXPECT_EQ(block.limitEngaged, 0u);
  EXPECT_EQ(block.lastFaultTick, 1320u);
  EXPECT_EQ(block.lastFaultPort, 0x3BC);
  EXPECT_EQ(block.lastFaultValue, 0x00);
  EXPECT_EQ(block.lastFaultKind, 4u);  // pattern
  EXPECT_EQ(whole.job.sequence, 0u);   // nobody wrote the job section

  table.reset();
  shm_unlink(("/" + name).c_str());
  std::filesystem::remove(record);
}

TEST(SimRecord, UnwritableRecordFileIsAnError) {
  sim::ConfigResult parsed = sim::ParseSimConfig("record=/nonexistent-dir/record.txt");
  ASSERT_TRUE(parsed.config);
  std::string error;

  const auto table = sim::MakeSimulatedTable(*parsed.config, error);

  EXPECT_FALSE(table);
  EXPECT_NE(error.find("/nonexistent-dir/record.txt"), std::string::npos);
}

// A real port's stand-in for the observer: takes every write, answers the limit input as told,
// and refuses one port as a backend does.
class FakePort final : public sim::PortBackend {
 public:
  void Out(std::uint16_t port, std::uint8_t /*value*/) override {
    if (port == refusedPort) Refuse(5);
    ++writes;
  }
  std::uint8_t In(std::uint16_t port) override {
    return port == sim::statusPort ? (engaged ? 0x7F : 0xFF) : 0;
  }
  bool engaged = false;
  std::uint16_t refusedPort = 0;
  int writes = 0;
};

void LatchX(sim::PortBackend& port, std::uint8_t pattern) {
  port.Out(sim::dataPort, pattern);
  port.Out(sim::controlPort, 1);
  port.Out(sim::controlPort, 0);
}

// A creep step as the reference run makes it: one X step down, then one read of the limit input.
void CreepStep(sim::PortBackend& port, int& phase) {
  phase = (phase + 7) % 8;
  LatchX(port, sim::stepPatterns[phase]);
  (void)port.In(sim::statusPort);
}

std::string Stderr(const std::function<void()>& work) {
  testing::internal::CaptureStderr();
  work();
  return testing::internal::GetCapturedStderr();
}

TEST(ObservedPort, RecordsWhatWentOutAndWarnsOfACreepThatNeverMetTheSwitch) {
  const std::filesystem::path record =
      std::filesystem::temp_directory_path() / ("steplink-observed-" + std::to_string(getpid()));
  sim::ConfigResult parsed = sim::ParseSimConfig("record=" + record.string());
  ASSERT_TRUE(parsed.config);
  auto fake = std::make_unique<FakePort>();
  FakePort& port = *fake;
  std::string error;
  std::unique_ptr<sim::PortBackend> observed = sim::MakeObservedPort(
      std::move(fake), parsed.config->recordPath, parsed.config->statusName, error);
  ASSERT_TRUE(observed) << error;
  int phase = 0;

  // A refused write did not go out: nothing is observed, the refusal reaches the device.
  port.refusedPort = sim::dataPort;
  observed->Out(sim::dataPort, sim::stepPatterns[1]);
  EXPECT_EQ(observed->TakeRefusal(), 5u);
  port.refusedPort = 0;
  // An ordinary move down (several steps between reads) is no creep; nor is a creep that meets
  // the switch.
  const std::string quiet = Stderr([&] {
    for (int i = 0; i < sim::creepStepsWithoutSwitch + 10; ++i) {
      phase = (phase + 7) % 8;
      LatchX(*observed, sim::stepPatterns[phase]);
      if (i % 2 == 1) (void)observed->In(sim::statusPort);
    }
    for (int i = 0; i < sim::creepStepsWithoutSwitch - 1; ++i) CreepStep(*observed, phase);
    port.engaged = true;
    CreepStep(*observed, phase);
    port.engaged = false;
  });
  EXPECT_EQ(quiet, "");
  // A creep that gives up after 32000 steps with the input released: one warning.
  const std::string warned = Stderr([&] {
    for (int i = 0; i < sim::creepStepsWithoutSwitch + 5; ++i) CreepStep(*observed, phase);
  });
  observed->DeviceClosed();
  EXPECT_NE(warned.find("the X axis crept 32000 steps towards its switch"), std::string::npos)
      << warned;
  EXPECT_EQ(warned.find("crept", warned.find("crept") + 1), std::string::npos) << warned;

  // Every step that went out is in the record, where the table ended up.
  std::ifstream in(record);
  std::string line, last;
  int steps = 0;
  while (std::getline(in, line)) {
    if (line.rfind("step ", 0) == 0) {
      ++steps;
      last = line;
    }
  }
  const int expected = 3 * sim::creepStepsWithoutSwitch + 15;
  EXPECT_EQ(steps, expected);
  EXPECT_NE(last.find(" x - -" + std::to_string(expected)), std::string::npos) << last;
  EXPECT_EQ(port.writes, 3 * expected + 1);
  observed.reset();
  std::filesystem::remove(record);
}

}  // namespace
