// `steplink panel` end to end on the simulated table (virtual clock): a library that faults at
// openConn leaves the position untrusted with that reason, a call process that ends inside the
// library, or that is stuck before its first call, is replaced and the panel goes on serving, Stop
// is taken every time, and Quit ends it with the auxiliary output off, closeConn and exit 0.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "panel_process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct Panel : test::PanelProcess {
  std::string page;
  std::unique_ptr<httplib::Client> client;

  explicit Panel(const char* library)
      : PanelProcess(STEPLINK_RUNNER,
                     {"--machine", std::string(STEPLINK_SOURCE_DIR) + "/jobs/example.toml",
                      "--virtual", "--library", library, "--view-port", "0"}) {
    client = std::make_unique<httplib::Client>("127.0.0.1", port);
    client->set_read_timeout(5, 0);
    // This test is the page in control.
    const auto hello =
        client->Post("/cmd/hello", {{"X-Steplink-Token", token}}, "{}", "application/json");
    if (!hello || hello->status != 200) throw std::runtime_error("no page id");
    page = json::parse(hello->body)["page"].get<std::string>();
    if (Post("/cmd/control-take", "{}") != 200) throw std::runtime_error("control not taken");
  }
  json State() {
    const auto reply = client->Get("/state?token=" + token);
    return reply ? json::parse(reply->body) : json::object();
  }
  // Waits until the panel has nothing queued; its state then. The snapshot is published 20 times a
  // second: one taken before a command may not show it yet.
  json Settled() {
    std::this_thread::sleep_for(150ms);
    json state;
    for (int tries = 0; tries < 500; ++tries) {
      ReadErr(0);
      Post("/cmd/beat", "{}");  // as the page does while it waits, so that it keeps control
      state = State();
      if (state.contains("busy") && state["busy"] == "" && !state["moving"].get<bool>()) break;
      std::this_thread::sleep_for(20ms);
    }
    return state;
  }
  int Post(const std::string& path, const std::string& body) {
    const auto reply = client->Post(path, {{"X-Steplink-Token", token}, {"X-Steplink-Page", page}},
                                    body, "application/json");
    return reply ? reply->status : -1;
  }
  int Exit() {
    int status = 0;
    for (int tries = 0; tries < 500; ++tries) {
      ReadErr(0);
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
};

TEST(PanelSession, AFaultingLibraryLeavesThePositionUntrustedAndACrashIsSurvived) {
  Panel panel(STEPLINK_FAULT_LIBRARY);
  json state = panel.Settled();
  ASSERT_TRUE(state.contains("trusted")) << panel.err;
  EXPECT_FALSE(state["trusted"].get<bool>());
  EXPECT_NE(state["trusted_reason"].get<std::string>().find("fault"), std::string::npos);
  // vectorOut with x = 3 ends the call process inside the library (0.15 mm at 20 steps/mm).
  EXPECT_EQ(panel.Post("/cmd/jog", R"({"axis":"x","mm":0.15})"), 200);
  for (int tries = 0; tries < 300 && panel.err.find("new call process") == std::string::npos;
       ++tries) {
    panel.ReadErr(20);
  }
  EXPECT_NE(panel.err.find("a new call process takes the table"), std::string::npos) << panel.err;
  state = panel.Settled();
  EXPECT_FALSE(state["trusted"].get<bool>());
  EXPECT_FALSE(state["homed"]["x"].get<bool>());
  EXPECT_EQ(panel.Post("/stop", ""), 202);
  EXPECT_EQ(panel.Post("/stop", ""), 202);
  panel.Settled();
  EXPECT_EQ(panel.Post("/cmd/quit", "{}"), 200);
  EXPECT_EQ(panel.Exit(), 0) << panel.err;
}

// A call process stuck before its first call (here: in loading the library) is ended after the
// start timeout and a new one takes the table; the panel never hangs on it.
TEST(PanelSession, ACallProcessStuckBeforeItsFirstCallIsReplaced) {
  const std::string marker =
      (std::filesystem::temp_directory_path() / ("steplink-hang-" + std::to_string(getpid())))
          .string();
  std::ofstream(marker) << "hang once";
  setenv("STEPLINK_TEST_HANG_ONCE", marker.c_str(), 1);
  Panel panel(STEPLINK_FAULT_LIBRARY);
  unsetenv("STEPLINK_TEST_HANG_ONCE");
  json state = json::object();
  for (int tries = 0; tries < 6 && state.value("busy", "x") != ""; ++tries) state = panel.Settled();
  EXPECT_FALSE(std::filesystem::exists(marker)) << "the first call process did not load";
  EXPECT_EQ(state["busy"], "") << panel.err;
  EXPECT_NE(panel.err.find("did not begin its first call within 5 s"), std::string::npos)
      << panel.err;
  EXPECT_NE(panel.err.find("a new call process takes the table"), std::string::npos) << panel.err;
  EXPECT_NE(state["trusted_reason"].get<std::string>().find("fault"), std::string::npos);
  EXPECT_EQ(panel.Post("/cmd/quit", "{}"), 200);
  EXPECT_EQ(panel.Exit(), 0) << panel.err;
  std::filesystem::remove(marker);
}

TEST(PanelSession, HomedThenStoppedThenHomedAgain) {
  Panel panel(STEPLINK_STANDARD_LIBRARY);
  panel.Settled();
  EXPECT_EQ(panel.Post("/cmd/home", R"({"axis":"all"})"), 200);
  json state = panel.Settled();
  ASSERT_TRUE(state["trusted"].get<bool>()) << state.dump() << panel.err;
  EXPECT_EQ(panel.Post("/stop", ""), 202);
  state = panel.Settled();
  EXPECT_FALSE(state["trusted"].get<bool>());
  EXPECT_EQ(state["aux"].get<int>(), 0);  // turned off by the new process
  EXPECT_EQ(panel.Post("/cmd/goto-zero", "{}"), 409);
  EXPECT_EQ(panel.Post("/cmd/home", R"({"axis":"all"})"), 200);
  EXPECT_TRUE(panel.Settled()["trusted"].get<bool>());
  EXPECT_EQ(panel.Post("/cmd/quit", "{}"), 200);
  EXPECT_EQ(panel.Exit(), 0) << panel.err;
}

}  // namespace
