// Tests of the live view's server (view/): access rules (token, Host, Origin, methods, paths),
// the page, /state and the event stream against a status source the test controls, the stream
// cap with Stop still reachable, the bound address, and the page's bounded path history.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "assets.h"
#include "live_state.h"
#include "outputs/record.h"
#include "serve/live_view.h"
#include "server.h"
#include "view_job.h"
#include "view_support.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// A status source the test writes to.
struct FakeBlock {
  std::mutex mutex;
  std::optional<view::StatusCopy> copy;
  void Set(std::int32_t x, std::int32_t y, std::int32_t z, std::uint64_t ticks) {
    std::lock_guard lock(mutex);
    if (!copy) {
      copy.emplace();
      copy->table.auxState = -1;
      copy->ownerPid = static_cast<std::uint32_t>(getpid());
    }
    copy->table.positionX = x;
    copy->table.positionY = y;
    copy->table.positionZ = z;
    copy->table.ticks = ticks;
  }
};

class FakeSource final : public view::StateSource {
 public:
  explicit FakeSource(std::shared_ptr<FakeBlock> block) : block_(std::move(block)) {}
  std::optional<view::StatusCopy> Read() override {
    std::lock_guard lock(block_->mutex);
    return block_->copy;
  }

 private:
  std::shared_ptr<FakeBlock> block_;
};

struct Fixture {
  std::shared_ptr<FakeBlock> block = std::make_shared<FakeBlock>();
  std::atomic<int> stops{0};
  std::atomic<int> pauses{0};
  std::unique_ptr<view::Server> server;

  explicit Fixture(bool controls = true, view::ServerOptions options = {}, bool gcode = false) {
    view::Controls actions;
    if (controls) {
      actions.stop = [this] { ++stops; };
      actions.pause = [this] { ++pauses; };
      actions.resume = [] {};
    }
    view::JobInfo job{"job <b>&amp;</b>.steplink", gcode, false, false};
    server =
        std::make_unique<view::Server>(std::make_unique<FakeSource>(block), job, actions, options);
    std::string error;
    EXPECT_TRUE(server->Start(error)) << error;
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(server->Port()); }
  std::string Query() const { return test::TokenQuery(*server); }
  httplib::Client Client() const { return test::LocalClient(*server); }
};

// One raw request on a fresh connection; returns the socket (open) and the status code read.
int RawConnect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadSome(int fd, std::chrono::milliseconds timeout, std::size_t enough = 1) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (text.size() < enough && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

int StatusOf(const std::string& response) {
  if (response.rfind("HTTP/1.1 ", 0) != 0) return -1;
  return std::stoi(response.substr(9, 3));
}

// --- access rules ----------------------------------------------------------------------------

TEST(ViewAccess, TokenHostMethodsAndPaths) {
  Fixture f;
  auto client = f.Client();
  const auto page = client.Get(("/" + f.Query()).c_str());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("<canvas id=\"xy\""), std::string::npos);
  EXPECT_EQ(page->body.find("/*steplink:script*/"), std::string::npos);  // assets put in place

  auto status = [&](const char* method, const std::string& path, httplib::Headers headers = {}) {
    httplib::Result result = std::string(method) == "POST"
                                 ? client.Post(path.c_str(), headers, "", "text/plain")
                                 : client.Get(path.c_str(), headers);
    if (!result) return -1;
    EXPECT_FALSE(result->has_header("Access-Control-Allow-Origin")) << method << " " << path;
    return result->status;
  };
  const std::string token = f.server->Token();
  std::string wrong = token;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(status("GET", "/"), 403);
  EXPECT_EQ(status("GET", "/state"), 403);
  EXPECT_EQ(status("GET", "/events"), 403);
  EXPECT_EQ(status("GET", "/state?token=" + wrong), 403);
  EXPECT_EQ(status("GET", "/state?token=" + token.substr(0, 31)), 403);
  EXPECT_EQ(status("GET", "/state?token=" + token + "0"), 403);
  EXPECT_EQ(status("GET", "/state" + f.Query()), 200);
  // DNS rebinding: the right token under a foreign or wrong-port Host name is still refused.
  EXPECT_EQ(status("GET", "/state" + f.Query(),
                   {{"Host", "evil.example:" + std::to_string(f.server->Port())}}),
            403);
  EXPECT_EQ(status("GET", "/state" + f.Query(), {{"Host", "127.0.0.1:1"}}), 403);
  EXPECT_EQ(status("GET", "/state" + f.Query(),
                   {{"Host", "localhost:" + std::to_string(f.server->Port())}}),
            200);
  EXPECT_EQ(status("GET", "/nothing" + f.Query()), 404);
  EXPECT_EQ(status("GET", "/stop" + f.Query()), 405);
  EXPECT_EQ(status("POST", "/state"), 405);

  // The control posts: only the header token counts, and a foreign site is refused.
  EXPECT_EQ(status("POST", "/stop"), 403);
  EXPECT_EQ(status("POST", "/stop" + f.Query()), 403);
  EXPECT_EQ(status("POST", "/stop", {{"X-Steplink-Token", wrong}}), 403);
  EXPECT_EQ(
      status("POST", "/stop", {{"X-Steplink-Token", token}, {"Origin", "http://evil.example"}}),
      403);
  EXPECT_EQ(status("POST", "/stop", {{"X-Steplink-Token", token}, {"Origin", "null"}}), 403);
  EXPECT_EQ(
      status("POST", "/stop", {{"X-Steplink-Token", token}, {"Sec-Fetch-Site", "cross-site"}}),
      403);
  EXPECT_EQ(
      status("POST", "/pause", {{"X-Steplink-Token", token}, {"Sec-Fetch-Site", "same-site"}}),
      403);
  EXPECT_EQ(f.stops.load(), 0);
  EXPECT_EQ(f.pauses.load(), 0);
  EXPECT_EQ(status("POST", "/stop",
                   {{"X-Steplink-Token", token},
                    {"Origin", "http://127.0.0.1:" + std::to_string(f.server->Port())},
                    {"Sec-Fetch-Site", "same-origin"}}),
            202);
  EXPECT_EQ(f.stops.load(), 1);
  EXPECT_EQ(status("POST", "/stop", {{"X-Steplink-Token", token}}), 202);
  EXPECT_EQ(f.stops.load(), 1) << "a second stop signals nothing more";
  EXPECT_EQ(status("POST", "/pause", {{"X-Steplink-Token", token}}), 202);
  EXPECT_EQ(f.pauses.load(), 1);
}

TEST(ViewAccess, WatchOnlyViewHasNoControls) {
  Fixture f(false);
  auto client = f.Client();
  const auto stop =
      client.Post("/stop", {{"X-Steplink-Token", f.server->Token()}}, "", "text/plain");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->status, 404);
  const auto state = client.Get(("/state" + f.Query()).c_str());
  ASSERT_TRUE(state);
  EXPECT_FALSE(json::parse(state->body)["controls"]["stop"].get<bool>());
}

TEST(ViewAccess, TokensAreRandomAndComparedWhole) {
  const std::string a = view::NewToken();
  const std::string b = view::NewToken();
  EXPECT_EQ(a.size(), 32u);  // 128 bits
  EXPECT_NE(a, b);
  EXPECT_TRUE(view::TokenMatches(a, a));
  EXPECT_FALSE(view::TokenMatches(a, ""));
  EXPECT_FALSE(view::TokenMatches("", ""));
  EXPECT_FALSE(view::TokenMatches(a, a.substr(0, 31)));
  EXPECT_FALSE(view::TokenMatches(a, a + "x"));
  EXPECT_TRUE(view::IsLoopbackHost("[::1]:8080", 8080));
  EXPECT_TRUE(view::IsLoopbackHost("LocalHost:8080", 8080));
  EXPECT_FALSE(view::IsLoopbackHost("127.0.0.1", 8080));
  EXPECT_FALSE(view::IsLoopbackHost("127.0.0.2:8080", 8080));
  EXPECT_FALSE(view::IsLoopbackHost("localhost.evil.example:8080", 8080));
  EXPECT_FALSE(view::IsLoopbackHost(":8080", 8080));
}

// The listening socket is on 127.0.0.1 and nowhere else (/proc/net/tcp: local address, state 0A).
TEST(ViewAccess, ListensOnLoopbackOnly) {
  Fixture f;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::vector<std::string> listening;
  char portHex[8];
  std::snprintf(portHex, sizeof portHex, ":%04X", f.server->Port());
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == portHex) {
      listening.push_back(local.substr(0, local.size() - 5));
    }
  }
  EXPECT_EQ(listening, std::vector<std::string>{"0100007F"});
}

// --- state and events ------------------------------------------------------------------------

TEST(ViewState, SnapshotCarriesTheTableAndTheCall) {
  Fixture f(true, {}, true);
  f.block->Set(120, -40, 7, 1000);
  {
    std::lock_guard lock(f.block->mutex);
    auto& job = f.block->copy->job;
    job.state = STEPLINK_JOB_RUNNING;
    job.callEntry = STEPLINK_CALL_VECTOR_OUT;
    job.callArgs[0] = 300;
    job.callArgs[1] = 200;
    job.callArgs[2] = STEPLINK_Z_KEEP_LATCH;
    job.callIndex = 4;
    job.callCount = 9;
    job.gcodeLine = 17;
    job.percent = 42.5;
    job.etaSeconds = -1;
    job.mm[0] = 1.5;
    f.block->copy->table.limitEngaged = 1;
    f.block->copy->table.faultCount = 1;
    f.block->copy->table.lastFaultKind = STEPLINK_FAULT_SETTLE;
    f.block->copy->table.lastFaultPort = 0x3be;
    f.block->copy->table.lastFaultValue = 1;
  }
  auto client = f.Client();
  json state;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto result = client.Get(("/state" + f.Query()).c_str());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    state = json::parse(result->body);  // throws (fails) on invalid JSON
    if (state["block"].get<bool>()) break;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(state["steps"], (json{{"x", 120}, {"y", -40}, {"z", 7}}));
  EXPECT_EQ(state["aux"], -1);
  EXPECT_TRUE(state["limit"].get<bool>());
  EXPECT_TRUE(state["running"].get<bool>());
  EXPECT_EQ(state["call"]["method"], "vectorOut");
  EXPECT_EQ(state["call"]["args"], (json{300, 200, STEPLINK_Z_KEEP_LATCH}));
  EXPECT_EQ(state["move"]["to"], (json{{"x", 420}, {"y", 160}, {"z", 7}}));
  EXPECT_EQ(state["line"], 17);
  EXPECT_DOUBLE_EQ(state["percent"].get<double>(), 42.5);
  EXPECT_TRUE(state["eta_s"].is_null());
  EXPECT_DOUBLE_EQ(state["mm"]["x"].get<double>(), 1.5);
  EXPECT_EQ(state["faults"]["last"]["kind"], "settle");
  EXPECT_EQ(state["faults"]["last"]["port"], "3be");
  EXPECT_EQ(state["job"], "job <b>&amp;</b>.steplink");  // raw text; the page sets it as text
}

// Reads events from a live stream until `until` is satisfied or 5 s pass.
std::vector<std::pair<std::string, json>> ReadEvents(
    const Fixture& f,
    const std::function<bool(const std::vector<std::pair<std::string, json>>&)>& until) {
  std::vector<std::pair<std::string, json>> events;
  std::string buffer;
  auto client = f.Client();
  const auto start = std::chrono::steady_clock::now();
  client.Get(("/events" + f.Query()).c_str(), [&](const char* data, std::size_t length) {
    buffer.append(data, length);
    for (auto end = buffer.find("\n\n"); end != std::string::npos; end = buffer.find("\n\n")) {
      const std::string block = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      std::string name = "message";
      std::string payload;
      std::istringstream lines(block);
      for (std::string line; std::getline(lines, line);) {
        if (line.rfind("event: ", 0) == 0) name = line.substr(7);
        if (line.rfind("data: ", 0) == 0) payload += line.substr(6);
      }
      if (!payload.empty()) events.emplace_back(name, json::parse(payload));
    }
    return !until(events) && std::chrono::steady_clock::now() - start < 5s;
  });
  return events;
}

TEST(ViewEvents, HistoryThenStatesThenTheEnd) {
  Fixture f;
  f.block->Set(0, 0, 0, 0);
  std::thread mover([&] {
    for (int step = 1; step <= 40; ++step) {
      f.block->Set(step * 10, step * 5, 0, static_cast<std::uint64_t>(step) * 1000);
      std::this_thread::sleep_for(10ms);
    }
    f.server->Finish("ended", 0);
  });
  const auto events = ReadEvents(f, [](const auto& seen) {
    return !seen.empty() && seen.back().second.contains("exit_code");
  });
  mover.join();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front().first, "history");
  EXPECT_TRUE(events.front().second["points"].is_array());
  const json& last = events.back().second;
  EXPECT_EQ(events.back().first, "state");
  EXPECT_EQ(last["steps"], (json{{"x", 400}, {"y", 200}, {"z", 0}}));
  EXPECT_FALSE(last["running"].get<bool>());
  EXPECT_EQ(last["state"], "ended");
  // At most 20 updates a second: 400 ms of moves give far fewer events than the 40 updates.
  EXPECT_LT(events.size(), 20u);
}

// Fifty pages (or a hostile client) open streams: the cap refuses the excess at once, and Stop
// still gets a worker.
TEST(ViewCapacity, FiftyStreamsLeaveStopReachable) {
  view::ServerOptions options;
  options.maxStreams = 8;
  Fixture f(true, options);
  f.block->Set(1, 2, 3, 4);
  const std::string request =
      "GET /events" + f.Query() + " HTTP/1.1\r\nHost: " + f.Host() + "\r\n\r\n";
  std::vector<int> sockets;
  int accepted = 0;
  int refused = 0;
  for (int client = 0; client < 50; ++client) {
    const int fd = RawConnect(f.server->Port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    sockets.push_back(fd);
  }
  for (int fd : sockets) {
    const int code = StatusOf(ReadSome(fd, 3s, 12));
    if (code == 200) ++accepted;
    if (code == 503) ++refused;
  }
  EXPECT_EQ(accepted, 8);
  EXPECT_EQ(refused, 42);
  EXPECT_EQ(f.server->OpenStreams(), 8);

  const auto start = std::chrono::steady_clock::now();
  auto client = f.Client();
  const auto stop =
      client.Post("/stop", {{"X-Steplink-Token", f.server->Token()}}, "", "text/plain");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->status, 202);
  EXPECT_EQ(f.stops.load(), 1);
  EXPECT_LT(elapsed, 1s);
  for (int fd : sockets) close(fd);
  f.server->Shutdown();
}

// --- the page's data -------------------------------------------------------------------------

TEST(ViewLiveState, PathKeepsCornersAndStaysBounded) {
  view::LiveState live({"long", false, false, false});
  view::StatusCopy copy;
  copy.table.auxState = 0;
  auto sample = [&](std::int32_t x, std::int32_t y, std::uint64_t ticks) {
    copy.table.positionX = x;
    copy.table.positionY = y;
    copy.table.ticks = ticks;
    ++copy.table.sequence;
    live.Update(copy, true);
  };
  // A square, sampled every 7 steps: its corners, nothing between them.
  std::uint64_t ticks = 0;
  const std::int32_t corners[5][2] = {{0, 0}, {700, 0}, {700, 700}, {0, 700}, {0, 0}};
  for (int side = 0; side < 4; ++side) {
    for (int step = 0; step < 100; ++step) {
      sample(corners[side][0] + (corners[side + 1][0] - corners[side][0]) * step / 100,
             corners[side][1] + (corners[side + 1][1] - corners[side][1]) * step / 100,
             ticks += 100);
    }
  }
  sample(0, 0, ticks += 100);
  live.Finish("ended", 0);
  json points = live.History()["points"];
  ASSERT_EQ(points.size(), 5u) << points.dump();
  for (int corner = 0; corner < 5; ++corner) {
    EXPECT_EQ(points[corner][1], corners[corner][0]);
    EXPECT_EQ(points[corner][2], corners[corner][1]);
  }
  EXPECT_EQ(live.PointsSince(live.LastSerial() - 2)->size(), 2u);

  // A zig-zag of a million steps: every sample a corner, the history stays bounded.
  view::LiveState longJob({"long", false, false, false});
  copy = {};
  for (std::int32_t step = 1; step <= 1000000; step += 10) {
    copy.table.positionX = step;
    copy.table.positionY = (step / 10) % 2 == 0 ? 0 : 5;
    copy.table.ticks = static_cast<std::uint64_t>(step) * 100;
    ++copy.table.sequence;
    longJob.Update(copy, true);
  }
  points = longJob.History()["points"];
  EXPECT_LE(points.size(), view::LiveState::maxHistoryPoints + 1);
  EXPECT_GT(points.size(), view::LiveState::maxHistoryPoints / 4);
  EXPECT_EQ(points.front()[1], 1);
  EXPECT_FALSE(longJob.PointsSince(1).has_value()) << "long gone from the recent corners";
  EXPECT_EQ(longJob.State()["steps"]["x"], 999991);
  // 10 steps per 1000 ticks: 10 / (1000 * 8.38e-7 s) steps per second.
  EXPECT_NEAR(longJob.State()["rates"]["x"].get<double>(), 10 / (1000 * STEPLINK_TICK_SECONDS),
              1.0);
}

TEST(ViewLiveState, FaultsAreListedAsTheyAppear) {
  view::LiveState live({"f", false, false, false});
  view::StatusCopy copy;
  live.Update(copy, true);
  copy.table.faultCount = 1;
  copy.table.lastFaultKind = STEPLINK_FAULT_LOST_STEP;
  copy.table.lastFaultPort = 0x3bc;
  copy.table.lastFaultValue = 0x5a;
  live.Update(copy, true);
  copy.table.faultCount = 4;
  copy.table.lastFaultKind = STEPLINK_FAULT_PROTOCOL;
  copy.table.lastFaultPort = 0x43;
  live.Update(copy, true);
  live.Update(copy, true);
  const json faults = live.History()["faults"];
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[0]["kind"], "lost-step");
  EXPECT_EQ(faults[0]["port"], "3bc");
  EXPECT_EQ(faults[0]["value"], "5a");
  EXPECT_EQ(faults[1]["kind"], "protocol");
  EXPECT_EQ(faults[1]["new"], 3);
  live.Finish("stopped", 130);
  EXPECT_EQ(live.State()["state"], "stopped");
  EXPECT_FALSE(live.State()["running"].get<bool>());
}

// A job section that still says running or paused while its writer is dead (killed without
// closing the block) is shown as gone, not as running; a table-only block's dead writer, ended.
TEST(ViewLiveState, AJobWhoseProcessDiedIsGoneNotRunning) {
  view::LiveState live({"g", false, false, false});
  view::StatusCopy copy;
  for (const std::uint32_t state : {STEPLINK_JOB_RUNNING, STEPLINK_JOB_PAUSED}) {
    copy.job.state = state;
    live.Update(copy, true);
    EXPECT_TRUE(live.State()["running"].get<bool>());
    live.Update(copy, false);
    EXPECT_EQ(live.State()["state"], "gone") << state;
    EXPECT_FALSE(live.State()["running"].get<bool>());
  }
  copy.job.state = STEPLINK_JOB_NONE;
  live.Update(copy, false);
  EXPECT_EQ(live.State()["state"], "ended");
  copy.job.state = STEPLINK_JOB_ENDED;
  live.Update(copy, false);
  EXPECT_EQ(live.State()["state"], "ended");
}

// Data reaches the page's document only as text: no markup sinks in the script.
TEST(ViewPage, ScriptSetsDataAsTextOnly) {
  // The page's own script and the mm plot it shares with the control panel.
  const std::string script =
      std::string(view::assets::Text(view::assets::page_js, view::assets::page_js_size)) +
      std::string(view::assets::Text(view::assets::plot_mm_js, view::assets::plot_mm_js_size));
  for (const char* sink :
       {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval("}) {
    EXPECT_EQ(script.find(sink), std::string::npos) << sink;
  }
  const std::string page(view::assets::Text(view::assets::page_html, view::assets::page_html_size));
  EXPECT_EQ(page.find("http"), std::string::npos) << "the page loads nothing from elsewhere";
}

}  // namespace

// --- the runner with --view, on the simulated table --------------------------------------------

namespace runner {

// The summary's final positions ("  position   x X  y Y  z Z (steps)").
std::array<int, 3> SummaryPosition(const std::string& output) {
  std::array<int, 3> position{-99999, -99999, -99999};
  const auto at = output.find("  position   x ");
  if (at != std::string::npos) {
    std::sscanf(output.c_str() + at, "  position   x %d  y %d  z %d", &position[0], &position[1],
                &position[2]);
  }
  return position;
}

}  // namespace runner

TEST(RunnerView, EventsEndWithThePositionsOfTheRecord) {
  runner::RunningJob job;
  ASSERT_TRUE(job.Start("events",
                        "openConn\ninitTimer\nvectorOut 300 -200 0\nvectorOut 0 0 40\n"
                        "vectorOut -100 100 32000\ncloseConn\n"));
  json last;
  bool sawCall = false;
  std::string buffer;
  auto client = job.Client();
  const auto start = std::chrono::steady_clock::now();
  client.Get(("/events?token=" + job.token).c_str(), [&](const char* data, std::size_t length) {
    buffer.append(data, length);
    for (auto end = buffer.find("\n\n"); end != std::string::npos; end = buffer.find("\n\n")) {
      const std::string block = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      if (block.rfind("event: state\ndata: ", 0) == 0) {
        last = json::parse(block.substr(19));
        if (!last["call"].is_null() && last["call"]["method"] == "vectorOut") sawCall = true;
      }
    }
    return !last.contains("exit_code") && std::chrono::steady_clock::now() - start < 20s;
  });
  EXPECT_EQ(job.Wait(10s), 0);
  ASSERT_TRUE(last.contains("exit_code")) << last.dump();
  EXPECT_EQ(last["state"], "ended");
  EXPECT_TRUE(sawCall) << "the call in progress was shown";
  const tool::Record record = tool::ReadRecordFile((job.dir / "record.txt").string());
  EXPECT_TRUE(record.errors.empty());
  const auto finals = record.FinalPositions();
  EXPECT_EQ(last["steps"], (json{{"x", finals[0]}, {"y", finals[1]}, {"z", finals[2]}}));
  EXPECT_EQ(last["steps"]["x"], 200);
  EXPECT_EQ(last["aux"], 1);
}

// Stop: refused without the token (the job goes on), and with fifty event streams open, with the
// token, the job ends within a second as Ctrl-C ends it: exit 130, summary, record readable.
TEST(RunnerView, StopNeedsTheTokenAndWorksUnderFiftyStreams) {
  runner::RunningJob job;
  ASSERT_TRUE(job.Start("stop", "openConn\ninitTimer\nvectorOut 30000 0 0\ncloseConn\n"));
  auto client = job.Client();
  const auto refused = client.Post("/stop", "", "text/plain");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 403);
  const auto wrong =
      client.Post("/stop", {{"X-Steplink-Token", std::string(32, '0')}}, "", "text/plain");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 403);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(job.Running()) << "a refused stop stops nothing";
  const auto state = client.Get(("/state?token=" + job.token).c_str());
  ASSERT_TRUE(state);
  EXPECT_TRUE(json::parse(state->body)["running"].get<bool>());

  const std::string request = "GET /events?token=" + job.token +
                              " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(job.port) +
                              "\r\n\r\n";
  std::vector<int> sockets;
  for (int stream = 0; stream < 50; ++stream) {
    const int fd = RawConnect(job.port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    sockets.push_back(fd);
  }
  std::this_thread::sleep_for(200ms);
  const auto start = std::chrono::steady_clock::now();
  const auto stop = client.Post("/stop", {{"X-Steplink-Token", job.token}}, "", "text/plain");
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->status, 202);
  const int exitCode = job.Wait(1s + 600ms);  // the pages get up to 0.5 s for the last word
  const auto elapsed = std::chrono::steady_clock::now() - start;
  for (int fd : sockets) close(fd);
  EXPECT_EQ(exitCode, 130);
  EXPECT_LT(elapsed, 1s + 600ms);
  const std::string output = job.Output();
  EXPECT_NE(output.find("summary"), std::string::npos) << output;
  const auto position = runner::SummaryPosition(output);
  EXPECT_GT(position[0], 0);
  EXPECT_LT(position[0], 30000) << "stopped before the move's end";
  const tool::Record record = tool::ReadRecordFile((job.dir / "record.txt").string());
  EXPECT_TRUE(record.errors.empty());
  EXPECT_EQ(record.FinalPositions()[0], position[0]) << "the record kept every step made";
  EXPECT_EQ(record.steps.size(), static_cast<std::size_t>(position[0]));
}

// --view-ipv6: the same server on ::1 (skipped where the machine has no IPv6 loopback).
TEST(ViewAccess, ListensOnIpv6LoopbackWhenAsked) {
  view::ServerOptions options;
  options.ipv6 = true;
  view::Server server(std::make_unique<FakeSource>(std::make_shared<FakeBlock>()),
                      {"v6", false, false, false}, {}, options);
  std::string error;
  if (!server.Start(error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
  EXPECT_EQ(server.Url().rfind("http://[::1]:", 0), 0u) << server.Url();
  httplib::Client client("::1", server.Port());
  client.set_read_timeout(5, 0);
  const auto state = client.Get(("/state?token=" + server.Token()).c_str(),
                                {{"Host", "[::1]:" + std::to_string(server.Port())}});
  ASSERT_TRUE(state);
  EXPECT_EQ(state->status, 200);
  EXPECT_LT(RawConnect(server.Port()), 0) << "nothing on 127.0.0.1";
}

// --view is a flag and --view-port N its port; the old "--view 8080" is refused, never taken as
// the script.
TEST(RunnerView, ViewPortIsAnOptionOfItsOwn) {
  const auto run = [](const std::string& options) {
    const std::string command = std::string(STEPLINK_RUNNER) + " run " + options +
                                " /nonexistent-script >/dev/null 2>/tmp/steplink-view-cli-" +
                                std::to_string(getpid());
    const int status = std::system(command.c_str());
    std::ifstream in("/tmp/steplink-view-cli-" + std::to_string(getpid()));
    std::stringstream err;
    err << in.rdbuf();
    std::remove(("/tmp/steplink-view-cli-" + std::to_string(getpid())).c_str());
    return std::make_pair(WEXITSTATUS(status), err.str());
  };
  const auto old = run("--view 8080");
  EXPECT_EQ(old.first, 2);
  EXPECT_NE(old.second.find("use --view-port N"), std::string::npos) << old.second;
  EXPECT_EQ(run("--view=9000").first, 2);
  EXPECT_EQ(run("--view-port 8080").first, 2);  // needs --view
  EXPECT_EQ(run("--view-ipv6").first, 2);       // needs --view
  EXPECT_EQ(run("--view --view-port 70000").first, 2);
  EXPECT_EQ(run("--view --view-port x1").first, 2);
  // Accepted: the script is then read (and missing: exit 2 with its own message).
  const auto good = run("--view --view-port 8080 --view-ipv6");
  EXPECT_NE(good.second.find("cannot read the script /nonexistent-script"), std::string::npos)
      << good.second;
}
