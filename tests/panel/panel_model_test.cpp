// The control panel's rules on a table made of three counters: when the position is trusted and
// why not, what is refused before homing, soft limits, the hold-to-jog deadman, the order of the
// moves to work zero, the command posts' answers, and what Stop and Quit leave queued.
#include "panel_model.h"

#include <gtest/gtest.h>

#include "contract/steplink_contract.h"
#include "example_machine.h"
#include "panel_commands.h"

namespace {

using panel::Clock;
using panel::PanelCall;
using Kind = panel::PanelCall::Kind;
using namespace std::chrono_literals;

gcode::Machine Example() {
  return test::ExampleMachine();
}

// A table of counters: vectorOut adds its arguments (not the auxiliary codes), a reference run
// puts each named axis on its switch (at -777 steps) plus the back-off.
struct Table {
  std::array<std::int32_t, 3> steps{};
  std::vector<PanelCall> made;
  Clock::time_point now{};

  // Makes every call the model issues until it has none due; the number made.
  int Drain(panel::PanelModel& model, int most = 10000) {
    int count = 0;
    while (count < most) {
      auto call = model.NextCall(now);
      if (!call) break;
      Apply(*call);
      made.push_back(*call);
      model.CallDone(steps);
      ++count;
    }
    return count;
  }
  void Apply(const PanelCall& call) {
    if (call.kind == Kind::vectorOut) {
      const bool aux = call.args[2] == STEPLINK_Z_AUX_PLUS || call.args[2] == STEPLINK_Z_AUX_MINUS;
      steps[0] += call.args[0];
      steps[1] += call.args[1];
      if (!aux) steps[2] += call.args[2];
    } else if (call.kind == Kind::reference) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        if (call.args[axis] != 0) steps[axis] = -777 + call.args[axis];
      }
    }
  }
};

struct Started {
  panel::PanelModel model{Example(), STEPLINK_START_SPEED_STANDARD};
  Table table;
  Started() {
    model.ProcessStarted(panel::Distrust::notHomed);
    table.Drain(model);
  }
  void Home() {
    ASSERT_TRUE(model.Home(-1).ok);
    table.Drain(model);
    ASSERT_TRUE(model.Trusted());
  }
};

TEST(PanelTrust, UntrustedUntilHomedAndAfterEveryStopRestartOrFault) {
  Started s;
  ASSERT_GE(s.table.made.size(), 2u);
  EXPECT_EQ(s.table.made[0].kind, Kind::openConn);
  EXPECT_EQ(s.table.made[1].kind, Kind::initTimer);
  EXPECT_FALSE(s.model.Trusted());
  EXPECT_NE(s.model.TrustedReason().find("not homed"), std::string::npos);

  // Homing all: Z alone first, then X and Y, with the machine's back-off.
  s.table.made.clear();
  s.Home();
  ASSERT_EQ(s.table.made.size(), 2u);
  EXPECT_EQ(s.table.made[0].args, (std::array<std::int32_t, 3>{0, 0, 20}));
  EXPECT_EQ(s.table.made[1].args, (std::array<std::int32_t, 3>{50, 50, 0}));
  EXPECT_EQ(s.model.TableMm(), (std::array<double, 3>{0, 0, 0}));
  EXPECT_TRUE(s.model.State()["homed"]["z"].get<bool>());

  // Stop: untrusted, and the next process turns the auxiliary output off first.
  s.model.Stopped();
  EXPECT_FALSE(s.model.Trusted());
  EXPECT_NE(s.model.TrustedReason().find("stopped"), std::string::npos);
  s.model.ProcessStarted(panel::Distrust::restarted);
  s.table.made.clear();
  s.table.Drain(s.model);
  ASSERT_EQ(s.table.made.size(), 3u);
  EXPECT_EQ(s.table.made[2].args[2], STEPLINK_Z_AUX_MINUS);
  EXPECT_NE(s.model.TrustedReason().find("stopped"), std::string::npos);  // the first cause

  // A restart alone, and a fault, each take the trust away again.
  s.Home();
  s.model.ProcessStarted(panel::Distrust::restarted);
  EXPECT_NE(s.model.TrustedReason().find("restarted"), std::string::npos);
  EXPECT_FALSE(s.model.State()["homed"]["x"].get<bool>());
  s.table.Drain(s.model);
  s.Home();
  s.model.TableSample(s.table.steps, 1, STEPLINK_FAULT_PROTOCOL);
  EXPECT_FALSE(s.model.Trusted());
  EXPECT_NE(s.model.TrustedReason().find("fault"), std::string::npos);

  // One axis homed is not enough.
  s.model.ProcessStarted(panel::Distrust::restarted);
  s.table.Drain(s.model);
  ASSERT_TRUE(s.model.Home(0).ok);
  s.table.Drain(s.model);
  EXPECT_FALSE(s.model.Trusted());
}

TEST(PanelTrust, WhatNeedsMachineZeroIsRefusedBeforeHoming) {
  Started s;
  EXPECT_FALSE(s.model.JogStart(0, 1, s.table.now).ok);
  EXPECT_FALSE(s.model.GoToWorkZero().ok);
  EXPECT_FALSE(s.model.Zero(-1).ok);
  EXPECT_TRUE(s.table.Drain(s.model) == 0);
  // Step jog is allowed, without limits, and says so: 500 mm beyond X's 300.
  const auto result = s.model.StepJog(0, -500.0);
  ASSERT_TRUE(result.ok);
  EXPECT_NE(result.message.find("not enforced"), std::string::npos);
  s.table.Drain(s.model);
  EXPECT_EQ(s.table.steps[0], -10000);
  EXPECT_DOUBLE_EQ(s.model.TableMm()[0], -500.0);
  // A machine without a reference cannot home.
  gcode::Machine noReference = Example();
  noReference.reference.reset();
  panel::PanelModel model(noReference, 300);
  EXPECT_FALSE(model.Home(-1).ok);
}

TEST(PanelJog, SoftLimitsHoldOnceHomed) {
  Started s;
  s.Home();
  auto result = s.model.StepJog(2, 100.0);  // Z max is 10
  ASSERT_TRUE(result.ok);
  EXPECT_NE(result.message.find("limit"), std::string::npos);
  s.table.Drain(s.model);
  EXPECT_DOUBLE_EQ(s.model.TableMm()[2], 10.0);
  EXPECT_FALSE(s.model.StepJog(2, 0.01).ok);  // at the limit already
  // Bad distances are refused before anything moves.
  EXPECT_FALSE(s.model.StepJog(0, 0.0).ok);
  EXPECT_FALSE(s.model.StepJog(0, 5000.0).ok);
  EXPECT_FALSE(s.model.StepJog(0, std::nan("")).ok);
}

TEST(PanelJog, HoldToJogIssuesShortCallsAndStopsOnReleaseDeadmanOrLimit) {
  Started s;
  s.Home();
  ASSERT_TRUE(s.model.JogStart(0, 1, s.table.now).ok);
  // One short call at a time: 15 steps (0.05 s at 300 steps/s), none while one is in flight.
  auto call = s.model.NextCall(s.table.now);
  ASSERT_TRUE(call);
  EXPECT_EQ(call->args, (std::array<std::int32_t, 3>{15, 0, 0}));
  EXPECT_FALSE(s.model.NextCall(s.table.now));
  s.table.Apply(*call);
  s.model.CallDone(s.table.steps);
  // The heartbeat keeps it going; 250 ms without one stops it for good.
  s.table.now += 200ms;
  ASSERT_TRUE(s.model.JogBeat(s.table.now).ok);
  s.table.now += 240ms;
  EXPECT_EQ(s.table.Drain(s.model, 3), 3);
  s.table.now += 20ms;
  EXPECT_EQ(s.table.Drain(s.model), 0);
  EXPECT_FALSE(s.model.State()["jogging"].get<bool>());
  EXPECT_NE(s.model.State()["message"].get<std::string>().find("heartbeat"), std::string::npos);
  EXPECT_FALSE(s.model.JogBeat(s.table.now).ok);

  // Release: nothing more after the call in flight.
  ASSERT_TRUE(s.model.JogStart(1, 1, s.table.now).ok);
  ASSERT_TRUE(s.model.NextCall(s.table.now));
  s.model.JogStop("released");
  s.model.CallDone(s.table.steps);
  EXPECT_FALSE(s.model.NextCall(s.table.now));

  // A beat that stops while a call is in flight: the hold is over at once, that call is the last.
  ASSERT_TRUE(s.model.JogStart(1, 1, s.table.now).ok);
  ASSERT_TRUE(s.model.NextCall(s.table.now));
  s.table.now += 300ms;
  EXPECT_FALSE(s.model.NextCall(s.table.now));
  EXPECT_FALSE(s.model.State()["jogging"].get<bool>());
  s.model.CallDone(s.table.steps);
  EXPECT_FALSE(s.model.NextCall(s.table.now));

  // At the limit the jog ends by itself, on the limit exactly.
  ASSERT_TRUE(s.model.JogStart(2, -1, s.table.now).ok);
  for (int beat = 0; beat < 100 && s.model.State()["jogging"].get<bool>(); ++beat) {
    s.model.JogBeat(s.table.now);
    s.table.Drain(s.model, 1);
  }
  EXPECT_DOUBLE_EQ(s.model.TableMm()[2], -20.0);
  EXPECT_NE(s.model.State()["message"].get<std::string>().find("limit"), std::string::npos);
}

TEST(PanelWorkZero, ZeroThenGoBackLiftingToTheSafeHeightFirst) {
  Started s;
  s.Home();
  ASSERT_TRUE(s.model.StepJog(0, 100).ok);
  s.table.Drain(s.model);
  ASSERT_TRUE(s.model.StepJog(1, 50).ok);
  s.table.Drain(s.model);
  ASSERT_TRUE(s.model.StepJog(2, -15).ok);
  s.table.Drain(s.model);
  ASSERT_TRUE(s.model.Zero(-1).ok);
  EXPECT_EQ(s.model.State()["offsets"]["x"].get<double>(), 100.0);
  EXPECT_EQ(s.model.State()["work_mm"][2].get<double>(), 0.0);
  ASSERT_TRUE(s.model.StepJog(0, 20).ok);
  s.table.Drain(s.model);
  ASSERT_TRUE(s.model.Zero(0).ok);  // X only: Y and Z keep theirs
  ASSERT_TRUE(s.model.StepJog(0, 30).ok);
  s.table.Drain(s.model);
  ASSERT_TRUE(s.model.StepJog(1, 30).ok);
  s.table.Drain(s.model);

  s.table.made.clear();
  ASSERT_TRUE(s.model.GoToWorkZero().ok);
  s.table.Drain(s.model);
  // Z up to the safe height (Z's max, 10 mm: from -15 that is 25 mm), X and Y, Z down.
  ASSERT_EQ(s.table.made.size(), 3u);
  EXPECT_EQ(s.table.made[0].args, (std::array<std::int32_t, 3>{0, 0, 500}));
  EXPECT_EQ(s.table.made[1].args, (std::array<std::int32_t, 3>{-600, -600, 0}));
  EXPECT_EQ(s.table.made[2].args, (std::array<std::int32_t, 3>{0, 0, -500}));
  EXPECT_EQ(s.model.TableMm(), (std::array<double, 3>{120.0, 50.0, -15.0}));
}

TEST(PanelCommands, AnswersForMalformedRefusedAndUnknownPosts) {
  Started s;
  const auto now = s.table.now;
  EXPECT_EQ(panel::Dispatch(s.model, "home", "[1]", now).first, 400);
  EXPECT_EQ(panel::Dispatch(s.model, "home", R"({"axis":"w"})", now).first, 400);
  EXPECT_EQ(panel::Dispatch(s.model, "jog", R"({"axis":"x","mm":"1"})", now).first, 400);
  EXPECT_EQ(panel::Dispatch(s.model, "aux", "{not json", now).first, 400);
  EXPECT_EQ(panel::Dispatch(s.model, "fly", "{}", now).first, 404);
  const auto refused = panel::Dispatch(s.model, "jog-start", R"({"axis":"x","direction":1})", now);
  EXPECT_EQ(refused.first, 409);
  EXPECT_NE(refused.second.find("homed"), std::string::npos);
  EXPECT_EQ(panel::Dispatch(s.model, "jog", R"({"axis":"y","mm":0.1})", now).first, 200);
  // Busy with that jog: a second motion command is refused, not queued behind it.
  EXPECT_EQ(panel::Dispatch(s.model, "home", R"({"axis":"all"})", now).first, 409);
  s.table.Drain(s.model);
  EXPECT_EQ(s.table.steps[1], 2);
  EXPECT_EQ(panel::Dispatch(s.model, "aux", R"({"on":true})", now).first, 200);
  s.table.Drain(s.model);
  EXPECT_EQ(s.model.State()["aux"].get<int>(), 1);
  EXPECT_NE(panel::PageHtml().find("aria-label=\"Jog\""), std::string::npos);
}

TEST(PanelSessionEnd, QuitTurnsTheAuxiliaryOutputOffThenCloses) {
  Started s;
  ASSERT_TRUE(s.model.StepJog(0, 10).ok);
  ASSERT_TRUE(s.model.Quit().ok);  // the queued jog is dropped
  s.table.made.clear();
  EXPECT_FALSE(s.model.Finished());
  s.table.Drain(s.model);
  ASSERT_EQ(s.table.made.size(), 2u);
  EXPECT_EQ(s.table.made[0].args[2], STEPLINK_Z_AUX_MINUS);
  EXPECT_EQ(s.table.made[1].kind, Kind::closeConn);
  EXPECT_TRUE(s.model.Finished());
}

}  // namespace
