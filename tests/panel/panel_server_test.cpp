// The panel's routes on the live view's server: commands only as POST /cmd/NAME with the token
// header and a same-site origin, bodies over 1 KiB refused before the model sees them, nothing
// on GET, every Stop taken (not only the first), and the model's fields in GET /state; with two
// pages, each one's own `control` in /state and only the page in control moving the table.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "panel_commands.h"
#include "panel_control.h"
#include "panel_model.h"
#include "server.h"

namespace {

using namespace std::chrono_literals;

class NoBlock final : public view::StateSource {
 public:
  std::optional<view::StatusCopy> Read() override { return std::nullopt; }
};

gcode::Machine Example() {
  gcode::Machine machine = gcode::BuiltinMachine();
  machine.axes[0] = {20.0, 0.0, 300.0, false};
  return machine;
}

struct PanelServer {
  panel::PanelModel model{Example(), 300};
  panel::PanelControl control{view::NewToken};
  std::string page;  // this fixture's page, in control
  std::mutex mutex;
  std::atomic<int> stops{0};
  std::unique_ptr<view::Server> server;
  std::unique_ptr<httplib::Client> client;

  PanelServer() {
    model.ProcessStarted(panel::Distrust::notHomed);
    view::Controls controls;
    controls.stop = [this] { ++stops; };
    controls.stopEveryTime = true;
    controls.command = [this](const std::string& name, const std::string& body,
                              const std::string& asking) {
      std::lock_guard lock(mutex);
      if (auto answer = panel::Admit(control, model, name, body, asking, panel::Clock::now())) {
        return *answer;
      }
      return panel::Dispatch(model, name, body, panel::Clock::now());
    };
    controls.extraState = [this] {
      std::lock_guard lock(mutex);
      nlohmann::json state = model.State();
      state["control_serial"] = control.Serial();
      return state;
    };
    controls.pageState = [this](const std::string& asking) {
      std::lock_guard lock(mutex);
      return nlohmann::json{{"control", control.StateFor(asking)}};
    };
    view::ServerOptions options;
    options.page = panel::PageHtml();
    server = std::make_unique<view::Server>(std::make_unique<NoBlock>(), view::JobInfo{"m.toml"},
                                            std::move(controls), options);
    std::string error;
    if (!server->Start(error)) throw std::runtime_error(error);
    client = std::make_unique<httplib::Client>("127.0.0.1", server->Port());
    client->set_read_timeout(5, 0);
    page = Hello();
    if (PostAs(page, "/cmd/control-take", "{}")->status != 200) throw std::runtime_error("take");
  }
  httplib::Result Post(const std::string& path, const std::string& body, bool token = true) {
    httplib::Headers headers;
    if (token) headers.emplace("X-Steplink-Token", server->Token());
    headers.emplace("X-Steplink-Page", page);
    return client->Post(path, headers, body, "application/json");
  }
  httplib::Result PostAs(const std::string& asking, const std::string& path,
                         const std::string& body) {
    return client->Post(path, {{"X-Steplink-Token", server->Token()}, {"X-Steplink-Page", asking}},
                        body, "application/json");
  }
  std::string Hello() {
    const auto reply = PostAs("", "/cmd/hello", "{}");
    if (!reply || reply->status != 200) throw std::runtime_error("hello");
    return nlohmann::json::parse(reply->body)["page"].get<std::string>();
  }
  nlohmann::json Control(const std::string& query) {
    const auto reply = client->Get("/state?token=" + server->Token() + query);
    return reply ? nlohmann::json::parse(reply->body)["control"] : nlohmann::json();
  }
};

TEST(PanelServer, CommandsNeedPostTheTokenAndASmallBody) {
  PanelServer s;
  // No token, another site, or GET: refused, nothing queued.
  auto reply = s.Post("/cmd/home", R"({"axis":"all"})", false);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 403);
  httplib::Headers foreign{{"X-Steplink-Token", s.server->Token()},
                           {"Origin", "http://evil.example"}};
  reply = s.client->Post("/cmd/home", foreign, R"({"axis":"all"})", "application/json");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 403);
  reply = s.client->Get("/cmd/home?token=" + s.server->Token());
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 405);
  reply = s.Post("/cmd/aux", R"({"on":true,"pad":")" + std::string(2000, 'x') + "\"}");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 413);
  {
    std::lock_guard lock(s.mutex);
    EXPECT_EQ(s.model.Busy(), "opening the table");  // only what the process start queued
  }
  // With the token: answered by the model, the reason in JSON.
  reply = s.Post("/cmd/jog-start", R"({"axis":"x","direction":1})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 409);
  EXPECT_FALSE(nlohmann::json::parse(reply->body)["ok"].get<bool>());
  reply = s.Post("/cmd/nothing", "{}");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 404);
}

TEST(PanelServer, EveryStopIsTakenAndTheStateCarriesTheTrust) {
  PanelServer s;
  for (int i = 0; i < 3; ++i) {
    const auto reply = s.Post("/stop", "");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 202);
  }
  EXPECT_EQ(s.stops.load(), 3);
  nlohmann::json state;
  for (int tries = 0; tries < 100 && !state.contains("trusted"); ++tries) {
    std::this_thread::sleep_for(20ms);
    const auto reply = s.client->Get("/state?token=" + s.server->Token());
    ASSERT_TRUE(reply);
    state = nlohmann::json::parse(reply->body);
  }
  ASSERT_TRUE(state.contains("trusted"));
  EXPECT_FALSE(state["trusted"].get<bool>());
  EXPECT_EQ(state["table_mm"].size(), 3u);
  const auto page = s.client->Get("/?token=" + s.server->Token());
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("aria-label=\"Jog\""), std::string::npos);
}

TEST(PanelServer, EachPageSeesItsOwnControlAndOnlyTheControllingPageMoves) {
  PanelServer s;
  const std::string watcher = s.Hello();
  ASSERT_EQ(watcher.size(), 32u);
  EXPECT_NE(watcher, s.page);
  // /state answers for the page that asks (by header or by query), and for nobody in particular.
  auto mine = s.client->Get("/state?token=" + s.server->Token(), {{"X-Steplink-Page", s.page}});
  ASSERT_TRUE(mine);
  EXPECT_TRUE(nlohmann::json::parse(mine->body)["control"]["mine"].get<bool>());
  EXPECT_TRUE(s.Control("&page=" + s.page)["mine"].get<bool>());
  EXPECT_TRUE(s.Control("&page=" + watcher)["other"].get<bool>());
  EXPECT_FALSE(s.Control("&page=" + watcher)["mine"].get<bool>());
  EXPECT_TRUE(s.Control("")["other"].get<bool>());
  EXPECT_TRUE(s.Control("")["mine"].is_boolean());

  // The watching page cannot move the table, but its Stop is taken.
  auto reply = s.PostAs(watcher, "/cmd/jog", R"({"axis":"x","mm":1})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 409);
  {
    std::lock_guard lock(s.mutex);
    EXPECT_EQ(s.model.Busy(), "opening the table");
  }
  reply = s.PostAs(watcher, "/stop", "");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 202);
  EXPECT_EQ(s.stops.load(), 1);

  // Take-over, confirmed: the first page now watches and is told so.
  reply = s.PostAs(watcher, "/cmd/control-take", R"({"take_over":true})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  const auto before = s.Control("&page=" + s.page);
  EXPECT_FALSE(before["mine"].get<bool>());
  EXPECT_NE(before["lost"].get<std::string>().find("another page"), std::string::npos);
  reply = s.Post("/cmd/home", R"({"axis":"all"})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 409);
}

}  // namespace
