// One page in control, through the gate every command passes: ids only the server issues, take
// and take-over (the page that lost control is told why), mutating commands refused from any
// other page while jog-stop stays open, the controlling page's timeout (its held jog stops,
// control is free for a page that comes back), and the bound on remembered pages.
#include "panel_control.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "contract/steplink_contract.h"
#include "example_machine.h"
#include "panel_commands.h"
#include "panel_model.h"

namespace {

using panel::Clock;
using namespace std::chrono_literals;
using nlohmann::json;

gcode::Machine Example() {
  return test::ExampleMachine();
}

// Ids from a counter, as long as real ones (the random source is the server's).
std::string CountedId() {
  static int next = 0;
  std::string id = std::to_string(++next);
  return std::string(32 - id.size(), 'a') + id;
}

struct Panel {
  panel::PanelModel model{Example(), STEPLINK_START_SPEED_STANDARD};
  panel::PanelControl control{CountedId};
  Clock::time_point now{};

  Panel() {
    model.ProcessStarted(panel::Distrust::notHomed);
    Drain();
  }
  // Completes every call due, on a table that reaches its switch at once.
  int Drain() {
    int count = 0;
    std::array<std::int32_t, 3> steps{};
    while (auto call = model.NextCall(now)) {
      if (call->kind == panel::PanelCall::Kind::vectorOut && std::abs(call->args[2]) < 10000) {
        for (std::size_t axis = 0; axis < 3; ++axis) steps[axis] += call->args[axis];
      }
      model.CallDone(steps);
      if (++count > 1000) break;
    }
    return count;
  }
  std::string Hello(const std::string& known = "") {
    return json::parse(Send("hello", "{}", known).second)["page"].get<std::string>();
  }
  // A command as the server hands it over: the gate first, then the model.
  std::pair<int, std::string> Send(const std::string& name, const std::string& body,
                                   const std::string& page) {
    if (auto answer = panel::Admit(control, model, name, body, page, now)) return *answer;
    return panel::Dispatch(model, name, body, now);
  }
  int Status(const std::string& name, const std::string& body, const std::string& page) {
    return Send(name, body, page).first;
  }
};

TEST(PanelControl, OnePageControlsOthersWatchAndEveryPageMayStopAJog) {
  Panel p;
  const std::string a = p.Hello();
  const std::string b = p.Hello();
  ASSERT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  // Nobody controls yet: even the first page must take control before it moves anything.
  EXPECT_EQ(p.Status("home", R"({"axis":"all"})", a), 409);
  EXPECT_EQ(p.model.Busy(), "");
  EXPECT_EQ(p.Status("control-take", "{}", a), 200);
  EXPECT_TRUE(p.control.StateFor(a)["mine"].get<bool>());
  EXPECT_TRUE(p.control.StateFor(b)["other"].get<bool>());
  EXPECT_FALSE(p.control.StateFor(b)["mine"].get<bool>());

  // Every mutating command from the watching page, a page id nobody was issued, or none at all
  // is refused before the model sees it.
  const std::pair<const char*, const char*> moves[] = {
      {"home", R"({"axis":"x"})"},
      {"jog", R"({"axis":"x","mm":1})"},
      {"zero", R"({"axis":"all"})"},
      {"goto-zero", "{}"},
      {"aux", R"({"on":true})"},
      {"jog-start", R"({"axis":"x","direction":1})"},
      {"jog-beat", "{}"},
      {"quit", "{}"},
      {"run", "{}"},
      {"mdi", R"({"line":"G0 X10"})"},
      {"run-from-line", "{}"},
      {"pause", "{}"},
      {"resume", "{}"}};
  for (const std::string& intruder : {b, std::string(32, 'f'), std::string()}) {
    for (const auto& [name, body] : moves) {
      const auto [status, reply] = p.Send(name, body, intruder);
      EXPECT_EQ(status, 409) << name;
      EXPECT_NE(json::parse(reply)["message"].get<std::string>().find("control"),
                std::string::npos);
    }
  }
  EXPECT_EQ(p.model.Busy(), "");
  EXPECT_EQ(p.Drain(), 0);

  // The page in control homes and holds a jog; a watching page can still end the jog.
  EXPECT_EQ(p.Status("home", R"({"axis":"all"})", a), 200);
  p.Drain();
  ASSERT_TRUE(p.model.Trusted());
  EXPECT_EQ(p.Status("jog-start", R"({"axis":"x","direction":1})", a), 200);
  EXPECT_TRUE(p.model.State()["jogging"].get<bool>());
  EXPECT_EQ(p.Status("jog-stop", "{}", b), 200);
  EXPECT_FALSE(p.model.State()["jogging"].get<bool>());
}

TEST(PanelControl, TakeOverNeedsConfirmingStopsTheJogAndTellsThePageThatLostIt) {
  Panel p;
  const std::string a = p.Hello();
  const std::string b = p.Hello();
  ASSERT_EQ(p.Status("control-take", "{}", a), 200);
  ASSERT_EQ(p.Status("home", R"({"axis":"all"})", a), 200);
  p.Drain();
  ASSERT_EQ(p.Status("jog-start", R"({"axis":"y","direction":1})", a), 200);
  const auto serial = p.control.Serial();

  // Without the confirm: refused, nothing changes hands.
  EXPECT_EQ(p.Status("control-take", "{}", b), 409);
  EXPECT_TRUE(p.control.Controls(a));
  EXPECT_EQ(p.Status("control-take", R"({"take_over":"yes"})", b), 400);
  // Confirmed: b controls, a's jog is over, a is told why and is refused from now on.
  EXPECT_EQ(p.Status("control-take", R"({"take_over":true})", b), 200);
  EXPECT_TRUE(p.control.Controls(b));
  EXPECT_NE(p.control.Serial(), serial);
  EXPECT_FALSE(p.model.State()["jogging"].get<bool>());
  const json lost = p.control.StateFor(a);
  EXPECT_FALSE(lost["mine"].get<bool>());
  EXPECT_TRUE(lost["other"].get<bool>());
  EXPECT_NE(lost["lost"].get<std::string>().find("another page took control"), std::string::npos);
  EXPECT_EQ(p.Status("jog-beat", "{}", a), 409);
  EXPECT_EQ(p.Status("jog", R"({"axis":"x","mm":1})", a), 409);
  EXPECT_EQ(p.Status("jog", R"({"axis":"x","mm":1})", b), 200);

  // Release hands control back to nobody; a takes it again without a confirm, its notice gone.
  p.Drain();
  EXPECT_EQ(p.Status("control-release", "{}", b), 200);
  EXPECT_FALSE(p.control.Held());
  EXPECT_EQ(p.Status("control-take", "{}", a), 200);
  EXPECT_EQ(p.control.StateFor(a)["lost"], "");
}

TEST(PanelControl, AControllingPageNotHeardFromLosesControlAndItsJogStops) {
  Panel p;
  const std::string a = p.Hello();
  const std::string b = p.Hello();
  ASSERT_EQ(p.Status("control-take", "{}", a), 200);
  ASSERT_EQ(p.Status("home", R"({"axis":"all"})", a), 200);
  p.Drain();

  // Beats keep control well past the timeout.
  for (int beat = 0; beat < 10; ++beat) {
    p.now += 1s;
    ASSERT_EQ(p.Status("beat", "{}", a), 200);
  }
  EXPECT_TRUE(p.control.Controls(a));

  // The page goes quiet holding a jog (the jog's own deadman is not what is tested here: the
  // beats keep it alive until the page goes). Past the timeout the jog stops and control is free.
  ASSERT_EQ(p.Status("jog-start", R"({"axis":"x","direction":1})", a), 200);
  p.now += panel::controlTimeout - 1ms;
  p.model.JogBeat(p.now);
  panel::ExpireControl(p.control, p.model, p.now);
  EXPECT_TRUE(p.control.Controls(a));
  p.now += 2ms;
  p.model.JogBeat(p.now);
  panel::ExpireControl(p.control, p.model, p.now);
  EXPECT_FALSE(p.control.Held());
  EXPECT_FALSE(p.model.State()["jogging"].get<bool>());

  // The page that comes back sees it lost control and why; any page may take it unasked.
  const json back = p.control.StateFor(a);
  EXPECT_FALSE(back["mine"].get<bool>());
  EXPECT_FALSE(back["other"].get<bool>());
  EXPECT_NE(back["lost"].get<std::string>().find("not heard from"), std::string::npos);
  EXPECT_EQ(p.Status("home", R"({"axis":"x"})", a), 409);
  EXPECT_EQ(p.Status("control-take", "{}", b), 200);
}

TEST(PanelControl, IdsAreIssuedBoundedAndNeverTakenFromTheAskingPage) {
  Panel p;
  // A page that offers an id of its own invention gets a fresh one; a known one is kept.
  const std::string made = p.Hello(std::string(32, '1'));
  EXPECT_NE(made, std::string(32, '1'));
  EXPECT_EQ(p.Hello(made), made);
  EXPECT_EQ(p.Status("control-take", "{}", std::string(32, '1')), 409);

  // A flood of hellos forgets the quietest pages, never the one in control.
  ASSERT_EQ(p.Status("control-take", "{}", made), 200);
  std::string first;
  for (std::size_t i = 0; i < panel::maxPages * 3; ++i) {
    p.now += 1ms;
    const std::string id = p.Hello();
    if (first.empty()) first = id;
  }
  EXPECT_TRUE(p.control.Controls(made));
  EXPECT_FALSE(p.control.StateFor(first)["known"].get<bool>());
  EXPECT_EQ(p.Status("beat", "{}", first), 409);

  // No random source: no page is admitted, nobody can take control.
  panel::PanelControl broken([] { return std::string(); });
  EXPECT_EQ(broken.Hello("", p.now), "");
  EXPECT_FALSE(broken.Take("", true, p.now).ok);
}

}  // namespace
