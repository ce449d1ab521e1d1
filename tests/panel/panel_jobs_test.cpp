// The panel's jobs and MDI on a table made of three counters: hostile job names and links out of
// the folder, a check that lists its refusals by line, run/pause/resume/stop with exact end
// positions, a file changed under a running job, run from a line (Z to the safe height first),
// and MDI lines with the modal state carried between them.
#include "panel_jobs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "contract/steplink_contract.h"
#include "example_machine.h"
#include "file_support.h"

namespace {

namespace fs = std::filesystem;
using panel::JobState;
using panel::PanelCall;
using Kind = panel::PanelCall::Kind;

// 20 steps/mm, X 0..300, Y 0..200, Z -20..10, back-off 50, 50, 20, safe Z 5.
gcode::Machine Example() {
  gcode::Machine machine = test::ExampleMachine();
  machine.safeZMm = 5.0;
  return machine;
}

// A folder of its own per test, removed after it.
struct Folder {
  fs::path path;
  Folder() {
    path = fs::temp_directory_path() /
           ("steplink-jobs-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~Folder() { fs::remove_all(path); }
  void Write(const std::string& name, const std::string& text) const {
    test::WriteFile(path / name, text);
  }
  static inline int counter = 0;
};

// The counters the library would move: vectorOut adds x, y and z (not the auxiliary codes nor
// the keep-latch code), a reference run puts each named axis on its switch plus the back-off.
struct Table {
  std::array<std::int32_t, 3> steps{};
  std::vector<PanelCall> made;
  panel::Clock::time_point now{};
  int aux = -1;

  // Makes the calls due until none is; a job's pass 2 plans on a thread of its own, so an empty
  // answer while a job runs is asked again for a while (a dwell or a pause waits that long).
  int Drain(panel::PanelModel& model, int most = 100000) {
    int count = 0;
    int empty = 0;
    while (count < most) {
      auto call = model.NextCall(now);
      if (!call && model.Busy().rfind("running", 0) == 0 && ++empty < 200) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (!call) break;
      empty = 0;
      if (call->kind == Kind::vectorOut) {
        const int z = call->args[2];
        steps[0] += call->args[0];
        steps[1] += call->args[1];
        if (z == STEPLINK_Z_AUX_PLUS || z == STEPLINK_Z_AUX_MINUS) {
          aux = z > 0 ? 1 : 0;
        } else if (z != STEPLINK_Z_KEEP_LATCH) {
          steps[2] += z;
        }
      } else if (call->kind == Kind::reference) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
          if (call->args[axis] != 0) steps[axis] = -777 + call->args[axis];
        }
      }
      made.push_back(*call);
      model.CallDone(steps);
      ++count;
    }
    return count;
  }
};

struct Session {
  Folder folder;
  panel::PanelModel model{Example(), STEPLINK_START_SPEED_STANDARD};
  std::unique_ptr<panel::PanelJobs> jobs;
  Table table;

  Session() {
    std::string error;
    auto opened = panel::JobFolder::Open(folder.path.string(), error);
    EXPECT_NE(opened, nullptr) << error;
    jobs = std::make_unique<panel::PanelJobs>(model, std::move(opened), gcode::Profile{});
    model.ProcessStarted(panel::Distrust::notHomed);
    table.Drain(model);
  }
  void Home() {
    ASSERT_TRUE(model.Home(-1).ok);
    table.Drain(model);
    ASSERT_TRUE(model.Trusted());
  }
  // Homed, jogged to machine (x, y, z) and work zero set there.
  void ZeroAt(double x, double y, double z) {
    Home();
    const double to[3] = {x, y, z};
    for (int axis = 0; axis < 3; ++axis) {
      if (to[axis] == 0.0) continue;
      ASSERT_TRUE(model.StepJog(axis, to[axis]).ok);
      table.Drain(model);
    }
    ASSERT_TRUE(model.Zero(-1).ok);
  }
  nlohmann::json Check() {
    jobs->WaitForCheck();
    const auto json = jobs->CheckJson();
    return json ? nlohmann::json::parse(*json) : nlohmann::json();
  }
  std::array<double, 3> Mm() const { return model.TableMm(); }
};

TEST(PanelJobFolder, HostileNamesLinksAndNonFilesAreRefused) {
  Session s;
  s.folder.Write("ok.nc", "G0 X1\n");
  s.folder.Write("notes.txt", "not G-code\n");
  const fs::path outside = s.folder.path.string() + "-outside.nc";
  test::WriteFile(outside, "G0 X1\n");
  fs::create_symlink(outside, s.folder.path / "link.nc");
  fs::create_directory(s.folder.path / "sub.nc");
  ASSERT_EQ(mkfifo((s.folder.path / "fifo.nc").c_str(), 0600), 0);

  const std::string hostile[] = {"../" + s.folder.path.filename().string() + "-outside.nc",
                                 outside.string(),
                                 "/etc/passwd",
                                 std::string("ok.nc\0../x", 10),
                                 std::string(64 * 1024, 'a'),
                                 "..",
                                 ".",
                                 "",
                                 "sub.nc/../ok.nc",
                                 "link.nc",
                                 "sub.nc",
                                 "fifo.nc",
                                 "missing.nc"};
  std::string error;
  std::string folderPath = s.folder.path.string();
  auto folder = panel::JobFolder::Open(folderPath, error);
  ASSERT_NE(folder, nullptr);
  for (const auto& name : hostile) {
    EXPECT_EQ(folder->OpenJob(name, error), nullptr) << name.substr(0, 80);
    EXPECT_FALSE(error.empty());
    // Through the command too: refused or reported as a refusal, never read.
    const auto answer = s.jobs->Check(name);
    if (answer.ok) {
      const auto check = s.Check();
      EXPECT_FALSE(check["ok"].get<bool>()) << name.substr(0, 80);
    }
  }
  EXPECT_NE(folder->OpenJob("ok.nc", error), nullptr) << error;
  // The list holds the G-code files only: no link, folder, FIFO or other file.
  const auto list = nlohmann::json::parse(*s.jobs->ListJson());
  ASSERT_EQ(list["jobs"].size(), 1u);
  EXPECT_EQ(list["jobs"][0]["name"], "ok.nc");
  fs::remove(outside);

  // Bytes that are not UTF-8, in a name, an MDI line or a program, never reach the page's JSON
  // raw (its encoder would throw).
  EXPECT_FALSE(s.jobs->Check("caf\xc3.nc").ok);
  s.folder.Write("bytes.nc", "G0 X1 \xc3\n");
  ASSERT_TRUE(s.jobs->Check("bytes.nc").ok);
  EXPECT_NO_THROW(s.Check());
  s.Home();
  const auto answer = panel::DispatchJobs(*s.jobs, "mdi", "{\"line\":\"G0 X1 \u00e9\"}");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->first, 409);
  EXPECT_FALSE(s.jobs->Mdi("G0 \xff X1").ok);
  EXPECT_NO_THROW(s.jobs->State().dump());
  EXPECT_EQ(panel::Utf8Safe("a\xff\xe2\x82\xac"
                            "b\xe2\x82"),
            "a?\xe2\x82\xac"
            "b??");

  // Without a folder the commands say how to get one.
  panel::PanelModel model(Example(), 300);
  panel::PanelJobs none(model, nullptr, gcode::Profile{});
  EXPECT_FALSE(none.Check("ok.nc").ok);
  EXPECT_FALSE(none.ListJson());
}

TEST(PanelJobCheck, ListsEveryRefusalWithItsLineAndDrawsAGoodJob) {
  Session s;
  s.ZeroAt(10, 10, 0);
  s.folder.Write("bad.nc", "G21 G90\nG0 X5\nG0 X400\nG1 Y5\nG7 X1\nM30\n");
  ASSERT_TRUE(s.jobs->Check("bad.nc").ok);
  auto check = s.Check();
  EXPECT_FALSE(check["ok"].get<bool>());
  ASSERT_EQ(check["refusals"].size(), 3u) << check["refusals"].dump();
  EXPECT_EQ(check["refusals"][0]["line"], 3);  // X 410 machine: past X's 300
  EXPECT_EQ(check["refusals"][1]["line"], 4);  // G1 without a feed rate
  EXPECT_EQ(check["refusals"][2]["line"], 5);  // no such code
  EXPECT_EQ(check["refusal_count"], 3);
  EXPECT_EQ(s.jobs->Job(), JobState::refused);
  // Run checks again and does not start a refused job.
  ASSERT_TRUE(s.jobs->Run("bad.nc").ok);
  s.jobs->WaitForCheck();
  EXPECT_EQ(s.jobs->Job(), JobState::refused);
  EXPECT_EQ(s.table.Drain(s.model), 0);

  // A good job: extents in machine mm from where the table stands, its time, a bounded path.
  std::string program = "G21 G90\nG0 Z2\nF300\n";
  for (int i = 0; i < 5000; ++i)
    program += "G1 X" + std::to_string(i % 2 ? 50 : 1) + " Y" + std::to_string(i % 97) + "\n";
  s.folder.Write("good.nc", program + "M30\n");
  ASSERT_TRUE(s.jobs->Check("good.nc").ok);
  check = s.Check();
  ASSERT_TRUE(check["ok"].get<bool>()) << check.dump().substr(0, 400);
  EXPECT_EQ(s.jobs->Job(), JobState::checked);
  EXPECT_DOUBLE_EQ(check["extents_mm"]["min"][0].get<double>(), 10.0);
  EXPECT_DOUBLE_EQ(check["extents_mm"]["max"][0].get<double>(), 60.0);
  EXPECT_DOUBLE_EQ(check["extents_mm"]["max"][2].get<double>(), 2.0);
  EXPECT_TRUE(check["inside_limits"].get<bool>());
  EXPECT_GT(check["planned_seconds"].get<double>(), 10.0);
  EXPECT_LE(check["path"]["points"].size(), panel::checkPathMaxPoints + 2);
  EXPECT_EQ(s.table.Drain(s.model), 0);  // a check moves nothing
}

TEST(PanelJobRun, RunsPausesResumesAndStopsAtCallBoundariesWithExactEnds) {
  Session s;
  s.folder.Write("job.nc", "G21 G90\nG0 Z3\nG0 X20 Y10\nM3\nG1 Z-1\nG1 X30.05\nG0 Z3\nM5\nM30\n");
  EXPECT_FALSE(s.jobs->Run("job.nc").ok);  // not homed
  s.ZeroAt(100, 50, -5);
  ASSERT_TRUE(s.jobs->Run("job.nc").ok);
  EXPECT_FALSE(s.model.StepJog(0, 1).ok);  // the job holds the table from the Run on
  s.jobs->WaitForCheck();
  ASSERT_EQ(s.jobs->Job(), JobState::running) << s.jobs->State().dump();
  // Pause after two calls: nothing more is issued until Resume.
  EXPECT_EQ(s.table.Drain(s.model, 2), 2);
  ASSERT_TRUE(s.jobs->Pause().ok);
  EXPECT_EQ(s.table.Drain(s.model), 0);
  EXPECT_EQ(s.jobs->Job(), JobState::paused);
  EXPECT_FALSE(s.jobs->Mdi("G0 X1").ok);  // paused is not idle
  ASSERT_TRUE(s.jobs->Resume().ok);
  s.table.Drain(s.model);
  EXPECT_EQ(s.jobs->Job(), JobState::done) << s.jobs->State().dump();
  const auto mm = s.Mm();
  EXPECT_DOUBLE_EQ(mm[0], 130.05);
  EXPECT_DOUBLE_EQ(mm[1], 60.0);
  EXPECT_DOUBLE_EQ(mm[2], -2.0);
  EXPECT_EQ(s.table.aux, 0);
  EXPECT_EQ(s.model.AuxState(), 0);
  const auto state = s.jobs->State()["job"];
  EXPECT_DOUBLE_EQ(state["percent"].get<double>(), 100.0);
  EXPECT_EQ(state["line"], 8);  // M5's, the last call

  // Stop mid-job: the job is over, nothing more is fed, the position is no longer trusted.
  ASSERT_TRUE(s.jobs->Run("job.nc").ok);
  s.jobs->WaitForCheck();
  EXPECT_EQ(s.table.Drain(s.model, 3), 3);
  s.model.Stopped();
  EXPECT_EQ(s.jobs->Job(), JobState::stopped);
  EXPECT_EQ(s.model.NextCall(s.table.now), std::nullopt);
  EXPECT_FALSE(s.jobs->Resume().ok);
  EXPECT_FALSE(s.jobs->Run("job.nc").ok);  // untrusted now
}

TEST(PanelJobRun, ProgramPausesDwellsAndAFileChangedUnderTheJob) {
  Session s;
  s.ZeroAt(10, 10, 0);
  s.folder.Write("stops.nc", "G0 X1\nM0\nG4 P0.5\nG0 X2\nM30\n");
  ASSERT_TRUE(s.jobs->Run("stops.nc").ok);
  s.jobs->WaitForCheck();
  s.table.Drain(s.model);
  EXPECT_EQ(s.jobs->Job(), JobState::paused);
  EXPECT_NE(s.jobs->State()["job"]["pause_reason"].get<std::string>().find("M0"),
            std::string::npos);
  ASSERT_TRUE(s.jobs->Resume().ok);
  EXPECT_EQ(s.table.Drain(s.model), 0);  // the dwell holds the next call back
  s.table.now += std::chrono::milliseconds(600);
  s.table.Drain(s.model);
  EXPECT_EQ(s.jobs->Job(), JobState::done);
  EXPECT_DOUBLE_EQ(s.Mm()[0], 12.0);

  // A long job: its calls are planned a bounded number ahead of the table, whatever its length.
  std::string program;
  for (int i = 0; i < 3000; ++i) program += "G0 X" + std::to_string(i % 2 + 1) + "\n";
  s.folder.Write("long.nc", program);
  ASSERT_TRUE(s.jobs->Run("long.nc").ok);
  s.jobs->WaitForCheck();
  EXPECT_EQ(s.table.Drain(s.model), 3000);
  EXPECT_EQ(s.jobs->Job(), JobState::done);
  EXPECT_LE(s.jobs->PlannedAheadPeak(), panel::jobQueueCalls);

  // A file rewritten while its job runs: the job fails before running what was not checked.
  ASSERT_TRUE(s.jobs->Run("long.nc").ok);
  s.jobs->WaitForCheck();
  s.table.Drain(s.model, 5);
  s.folder.Write("long.nc", program + "G0 X250\n");
  s.table.Drain(s.model);
  EXPECT_EQ(s.jobs->Job(), JobState::failed);
  EXPECT_LE(s.Mm()[0], 12.0);
}

TEST(PanelRunFromLine, PreviewThenConfirmedRunGoesUpToSafeHeightFirst) {
  Session s;
  s.folder.Write("job.nc", "G21 G91\nG0 Z2\nG90 G0 X20 Y10\nG1 Z-3\nG1 X40\nG1 Y30\nM30\n");
  s.ZeroAt(100, 50, 0);
  EXPECT_FALSE(s.jobs->RunFromLine("job.nc", 5, true).ok);  // no preview yet
  ASSERT_TRUE(s.jobs->RunFromLine("job.nc", 5, false).ok);
  auto check = s.Check();
  ASSERT_TRUE(check["ok"].get<bool>()) << check.dump().substr(0, 400);
  const auto& preview = check["from_line"];
  EXPECT_EQ(preview["line"], 5);
  EXPECT_NE(preview["modal"].get<std::string>().find("G90"), std::string::npos);
  ASSERT_GE(preview["approach"].size(), 3u);
  EXPECT_NE(preview["approach"][0]["what"].get<std::string>().find("Z up"), std::string::npos);
  EXPECT_DOUBLE_EQ(preview["approach"][0]["to_mm"][2].get<double>(), 5.0);
  EXPECT_EQ(s.table.Drain(s.model), 0);  // the preview moves nothing

  // The table moved since the preview: confirm is refused until a new preview.
  ASSERT_TRUE(s.model.StepJog(0, 1).ok);
  s.table.Drain(s.model);
  EXPECT_FALSE(s.jobs->RunFromLine("job.nc", 5, true).ok);
  ASSERT_TRUE(s.jobs->RunFromLine("job.nc", 5, false).ok);
  s.Check();
  ASSERT_TRUE(s.jobs->RunFromLine("job.nc", 5, true).ok);
  s.jobs->WaitForCheck();
  s.table.made.clear();
  s.table.Drain(s.model);
  EXPECT_EQ(s.jobs->Job(), JobState::done) << s.jobs->State().dump();
  // Z alone up to the safe height (5 mm: 100 steps from 0), then X/Y, then Z down to -3 work.
  ASSERT_GE(s.table.made.size(), 4u);
  EXPECT_EQ(s.table.made[0].args, (std::array<std::int32_t, 3>{0, 0, 100}));
  EXPECT_EQ(s.table.made[1].args[2],
            STEPLINK_Z_KEEP_LATCH == s.table.made[1].args[2] ? STEPLINK_Z_KEEP_LATCH : 0);
  EXPECT_EQ(s.table.made[1].args[0], (120 - 101) * 20);
  EXPECT_EQ(s.table.made[2].args, (std::array<std::int32_t, 3>{0, 0, -160}));
  const auto mm = s.Mm();
  EXPECT_DOUBLE_EQ(mm[0], 140.0);
  EXPECT_DOUBLE_EQ(mm[1], 80.0);
  EXPECT_DOUBLE_EQ(mm[2], -3.0);

  // Refused while the position is not trusted.
  s.model.Stopped();
  EXPECT_FALSE(s.jobs->RunFromLine("job.nc", 5, false).ok);
}

TEST(PanelMdi, LinesMoveRefuseWithTheirReasonAndCarryTheirModes) {
  Session s;
  EXPECT_FALSE(s.jobs->Mdi("G0 X10").ok);  // not homed
  s.ZeroAt(100, 50, 0);
  ASSERT_TRUE(s.jobs->Mdi("G0 X10").ok);
  s.table.Drain(s.model);
  EXPECT_DOUBLE_EQ(s.Mm()[0], 110.0);

  // Refused whole, with its reason, and nothing moves.
  const auto refused = s.jobs->Mdi("G0 X500");
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.message.find("X"), std::string::npos);
  EXPECT_FALSE(s.jobs->Mdi("G1 X5 Y5 Z").ok);
  EXPECT_FALSE(s.jobs->Mdi("G0 X1\nG0 X2").ok);
  EXPECT_EQ(s.table.Drain(s.model), 0);
  EXPECT_DOUBLE_EQ(s.Mm()[0], 110.0);

  // G91 holds for the lines after it; G20 too.
  ASSERT_TRUE(s.jobs->Mdi("G91").ok);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(s.jobs->Mdi("G0 X1").ok);
    s.table.Drain(s.model);
  }
  EXPECT_DOUBLE_EQ(s.Mm()[0], 112.0);
  ASSERT_TRUE(s.jobs->Mdi("G20 G0 Y1").ok);
  s.table.Drain(s.model);
  EXPECT_DOUBLE_EQ(s.Mm()[1], 75.4);
  EXPECT_NE(s.jobs->State()["mdi"]["modal"].get<std::string>().find("G20 G91"), std::string::npos);

  // Offsets set by MDI are the session's: G10 L20 moves work zero, and a job runs with it.
  ASSERT_TRUE(s.jobs->Mdi("G21 G90 G10 L20 P1 X0").ok);
  EXPECT_DOUBLE_EQ(s.model.OffsetsMm()[0], 112.0);
  const auto history = s.jobs->State()["mdi"]["history"];
  EXPECT_EQ(history.size(), 10u);
  EXPECT_FALSE(history[0]["ok"].get<bool>());  // before homing
  EXPECT_FALSE(history[2]["ok"].get<bool>());
  EXPECT_EQ(history[2]["line"], "G0 X500");

  // A program stop typed into MDI pauses it (after the line's motion, as in a program) until
  // Resume; nothing else runs meanwhile.
  ASSERT_TRUE(s.jobs->Mdi("M0 G0 X20").ok);
  s.table.Drain(s.model);
  auto mdi = s.jobs->State()["mdi"];
  EXPECT_EQ(mdi["state"], "paused");
  EXPECT_FALSE(s.jobs->Mdi("G0 X1").ok);
  ASSERT_TRUE(s.jobs->Resume().ok);
  s.table.Drain(s.model);
  EXPECT_EQ(s.jobs->State()["mdi"]["state"], "idle");
  EXPECT_DOUBLE_EQ(s.Mm()[0], 132.0);
}

// The panel's work zero is the active system's, as MDI chose it: zeroing under G55 moves G55's
// origin (G54 keeps its own), G92 and the tool length shift it, and the page is told which
// system it shows.
TEST(PanelMdi, WorkZeroFollowsTheCoordinateSystemAndTheShiftsMdiChose) {
  // Setup: work zero of G54 at machine (100, 50, 0).
  Session s;
  s.ZeroAt(100, 50, 0);

  // Exercise / verify: G55 chosen, the table moved, zero set there.
  ASSERT_TRUE(s.jobs->Mdi("G55").ok);
  EXPECT_EQ(s.model.State()["coordinate_system"], "G55");
  ASSERT_TRUE(s.model.StepJog(0, 20.0).ok);
  s.table.Drain(s.model);
  ASSERT_TRUE(s.model.Zero(-1).ok);
  auto state = s.model.State();
  EXPECT_DOUBLE_EQ(state["offsets"]["x"].get<double>(), 120.0);
  EXPECT_DOUBLE_EQ(state["work_mm"][0].get<double>(), 0.0);
  ASSERT_TRUE(s.jobs->Mdi("G0 X5").ok);
  s.table.Drain(s.model);
  EXPECT_DOUBLE_EQ(s.Mm()[0], 125.0);
  // G54's origin is where it was set.
  ASSERT_TRUE(s.jobs->Mdi("G54 G0 X0").ok);
  s.table.Drain(s.model);
  EXPECT_DOUBLE_EQ(s.Mm()[0], 100.0);
  EXPECT_EQ(s.model.State()["coordinate_system"], "G54");

  // G92 shifts work zero: the work position reads what G92 said, Zero keeps the shift and moves
  // the origin under it, and going to work zero goes to the shifted point.
  ASSERT_TRUE(s.jobs->Mdi("G92 X7").ok);
  state = s.model.State();
  EXPECT_DOUBLE_EQ(state["work_mm"][0].get<double>(), 7.0);
  EXPECT_DOUBLE_EQ(state["offsets"]["x"].get<double>(), 93.0);
  ASSERT_TRUE(s.model.StepJog(0, 10.0).ok);
  s.table.Drain(s.model);
  ASSERT_TRUE(s.model.Zero(0).ok);
  EXPECT_DOUBLE_EQ(s.model.State()["work_mm"][0].get<double>(), 0.0);
  ASSERT_TRUE(s.jobs->Mdi("G0 X-3").ok);
  s.table.Drain(s.model);
  EXPECT_DOUBLE_EQ(s.Mm()[0], 107.0);
  ASSERT_TRUE(s.model.GoToWorkZero().ok);
  s.table.Drain(s.model);
  EXPECT_DOUBLE_EQ(s.Mm()[0], 110.0);
}

}  // namespace
