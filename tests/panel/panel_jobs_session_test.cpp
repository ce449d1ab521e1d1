// `steplink panel --jobs` end to end on the simulated table (virtual clock): the folder's list and
// the check of the job named at start over GET, a job run to its exact end through the session's
// call process, a job that goes on after the page that started it has gone, and a Stop from
// another page that ends a running job.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "file_support.h"
#include "panel_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

// The jobs folder: the example, a short job and a long one; removed at the end.
struct JobsFolder {
  fs::path folder;
  JobsFolder() {
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
  }
  JobsFolder(const JobsFolder&) = delete;
  JobsFolder& operator=(const JobsFolder&) = delete;
  ~JobsFolder() { fs::remove_all(folder); }
};

// The panel process serving that folder, with example.nc named at start; killed before the
// folder goes.
struct JobsPanel : JobsFolder, test::PanelProcess {
  JobsPanel()
      : PanelProcess(
            STEPLINK_RUNNER,
            {"--machine", std::string(STEPLINK_SOURCE_DIR) + "/jobs/example.toml", "--virtual",
             "--library", STEPLINK_STANDARD_LIBRARY, "--jobs", folder.string(), "example.nc"}) {}
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
  // The page beats every half second meanwhile, as the panel's page does every second: a
  // controlling page not heard from for 5 s loses control (a slow run under the sanitizers takes
  // longer than that).
  json WaitFor(PageClient& page, const std::function<bool(const json&)>& done) {
    json state;
    for (int tries = 0; tries < 1500; ++tries) {
      ReadErr(0);
      if (tries % 25 == 0) Post(page, "/cmd/beat", "{}");
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
