// `steplink panel --jobs` end to end on the simulated table (virtual clock): the folder's list and
// the check of the job named at start over GET, a job run to its exact end through the session's
// call process, a job that goes on after the page that started it has gone, and a Stop from
// another page that ends a running job.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#include "file_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

// The panel process with a jobs folder of its own; killed at the end if still running.
struct JobsPanel {
  fs::path folder;
  pid_t pid = -1;
  int errFd = -1;
  std::string err, token;
  int port = 0;

  JobsPanel() {
    folder = fs::temp_directory_path() / ("steplink-panel-jobs-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::copy_file(fs::path(STEPLINK_SOURCE_DIR) / "jobs/example.nc", folder / "example.nc");
    // Long enough to be running when the page goes away: 200 moves of 10 mm.
    std::string back;
    for (int i = 0; i < 100; ++i) back += "G0 X60\nG0 X50\n";
    test::WriteFile(folder / "back.nc", "G21 G90\n" + back + "M30\n");
    for (int i = 0; i < 10; ++i) back += back;
    test::WriteFile(folder / "long.nc", "G21 G90\n" + back + "M30\n");
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    const std::string machine = std::string(STEPLINK_SOURCE_DIR) + "/jobs/example.toml";
    const std::string dir = folder.string();
    const char* argv[] = {
        STEPLINK_RUNNER,           "panel",  "--machine", machine.c_str(), "--virtual", "--library",
        STEPLINK_STANDARD_LIBRARY, "--jobs", dir.c_str(), "example.nc",    nullptr};
    posix_spawn(&pid, STEPLINK_RUNNER, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    errFd = pipeFds[0];
    const std::regex url(R"(panel at http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+))");
    std::smatch found;
    for (int tries = 0; tries < 150 && !std::regex_search(err, found, url); ++tries) ReadErr(100);
    if (found.empty()) throw std::runtime_error("no URL: " + err);
    port = std::stoi(found[1]);
    token = found[2];
  }
  ~JobsPanel() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (errFd >= 0) close(errFd);
    fs::remove_all(folder);
  }
  void ReadErr(int waitMs) {
    pollfd fd{errFd, POLLIN, 0};
    if (poll(&fd, 1, waitMs) <= 0) return;
    char buffer[4096];
    const ssize_t got = read(errFd, buffer, sizeof buffer);
    if (got > 0) err.append(buffer, static_cast<std::size_t>(got));
  }
  // A page: a connection of its own and the id the panel issues it (sent with every request).
  struct PageClient {
    httplib::Client client;
    std::string id;
    explicit PageClient(int port) : client("127.0.0.1", port) {}
  };
  std::unique_ptr<PageClient> Page() const {
    auto page = std::make_unique<PageClient>(port);
    page->client.set_read_timeout(5, 0);
    const auto hello =
        page->client.Post("/cmd/hello", {{"X-Steplink-Token", token}}, "{}", "application/json");
    if (!hello || hello->status != 200) throw std::runtime_error("no page id");
    page->id = json::parse(hello->body)["page"].get<std::string>();
    return page;
  }
  // The page takes control (over another page's, when takeOver).
  int TakeControl(PageClient& page, bool takeOver = false) const {
    return Post(page, "/cmd/control-take", takeOver ? R"({"take_over":true})" : "{}");
  }
  json Get(PageClient& page, const std::string& path) const {
    const auto reply = page.client.Get(path + "?token=" + token + "&page=" + page.id);
    return reply && reply->status == 200 ? json::parse(reply->body) : json();
  }
  int Post(PageClient& page, const std::string& path, const std::string& body) const {
    const auto reply =
        page.client.Post(path, {{"X-Steplink-Token", token}, {"X-Steplink-Page", page.id}}, body,
                         "application/json");
    return reply ? reply->status : -1;
  }
  // The state once `done` says so (generous: the simulated table on a busy machine).
  json WaitFor(PageClient& page, const std::function<bool(const json&)>& done) {
    json state;
    for (int tries = 0; tries < 1500; ++tries) {
      ReadErr(0);
      state = Get(page, "/state");
      if (state.is_object() && done(state)) break;
      std::this_thread::sleep_for(20ms);
    }
    return state;
  }
};

bool Idle(const json& state) {
  return state.contains("busy") && state["busy"] == "" && !state["moving"].get<bool>();
}

TEST(PanelJobsSession, ListsChecksRunsAndKeepsRunningWithoutItsPage) {
  JobsPanel panel;
  auto page = panel.Page();
  ASSERT_EQ(panel.TakeControl(*page), 200);
  const json list = panel.Get(*page, "/jobs");
  ASSERT_TRUE(list.is_object()) << panel.err;
  ASSERT_EQ(list["jobs"].size(), 3u);
  EXPECT_EQ(list["jobs"][0]["name"], "back.nc");
  // The job named at start is checked without a click.
  json state = panel.WaitFor(*page, [](const json& s) { return s["job"]["state"] == "checked"; });
  ASSERT_EQ(state["job"]["state"], "checked") << state.dump() << panel.err;
  const json check = panel.Get(*page, "/jobs/check");
  EXPECT_TRUE(check["ok"].get<bool>());
  EXPECT_DOUBLE_EQ(check["extents_mm"]["max"][1].get<double>(), 85.0);  // the roof

  EXPECT_EQ(panel.Post(*page, "/cmd/run", R"({"name":"example.nc"})"), 409);  // not homed
  panel.WaitFor(*page, Idle);                                                 // the table opened
  EXPECT_EQ(panel.Post(*page, "/cmd/home", R"({"axis":"all"})"), 200);
  panel.WaitFor(*page, [](const json& s) { return s["trusted"].get<bool>() && Idle(s); });
  ASSERT_EQ(panel.Post(*page, "/cmd/run", R"({"name":"example.nc"})"), 200);
  state = panel.WaitFor(*page, [](const json& s) { return s["job"]["state"] == "done"; });
  ASSERT_EQ(state["job"]["state"], "done") << state.dump() << panel.err;
  EXPECT_DOUBLE_EQ(state["table_mm"]["x"].get<double>(), 0.0);
  EXPECT_DOUBLE_EQ(state["table_mm"]["z"].get<double>(), 3.0);
  EXPECT_EQ(state["aux"], 0);

  // The page that starts a job goes away: the job goes on to its end.
  ASSERT_EQ(panel.Post(*page, "/cmd/run", R"({"name":"back.nc"})"), 200);
  page.reset();
  auto later = panel.Page();
  // A page that comes back sees the job and may take control (the old page never released it).
  ASSERT_EQ(panel.TakeControl(*later, true), 200);
  state = panel.WaitFor(*later, [](const json& s) {
    return s["job"]["name"] == "back.nc" && s["job"]["state"] == "done";
  });
  EXPECT_EQ(state["job"]["state"], "done") << state.dump();
  EXPECT_DOUBLE_EQ(state["table_mm"]["x"].get<double>(), 50.0);

  // Another page stops a running job: stopped, untrusted, nothing more runs.
  ASSERT_EQ(panel.Post(*later, "/cmd/run", R"({"name":"long.nc"})"), 200);
  state = panel.WaitFor(*later, [](const json& s) {
    return s["job"]["name"] == "long.nc" && s["job"]["state"] == "running";
  });
  ASSERT_EQ(state["job"]["state"], "running") << state.dump();
  auto other = panel.Page();
  EXPECT_EQ(panel.Post(*other, "/stop", ""), 202);
  state = panel.WaitFor(*other, [](const json& s) { return s["job"]["state"] == "stopped"; });
  EXPECT_EQ(state["job"]["state"], "stopped");
  EXPECT_FALSE(state["trusted"].get<bool>());
  EXPECT_EQ(panel.Post(*other, "/cmd/resume", "{}"), 409);
  ASSERT_EQ(panel.TakeControl(*other, true), 200);  // Quit is the controlling page's
  EXPECT_EQ(panel.Post(*other, "/cmd/quit", "{}"), 200);
}

}  // namespace
