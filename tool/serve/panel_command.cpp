// steplink panel --machine M.toml [--device ...] [--realtime|--virtual] [--view-port N]
// [--jobs DIR [FILE.nc]]: holds the table for a session and serves the control panel on loopback
// (the live view's server, its access rules, the token). Sets up the device and settings as a job
// does, then hands over to PanelSession. Calls the settings and device stages, view/, panel/ and
// panel_session.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "cli/cli.h"
#include "cli/exit_codes.h"
#include "contract/steplink_contract.h"
#include "job/device_stage.h"
#include "job/run_job.h"
#include "job/settings_stage.h"
#include "panel_commands.h"
#include "panel_jobs.h"
#include "serve/panel_session.h"
#include "server.h"
#include "status/status_block.h"

namespace tool {
namespace {

int Refuse(const std::string& why) {
  std::fprintf(stderr, "steplink panel: %s\n", why.c_str());
  return exitRefused;
}

// The --jobs folder, and FILE.nc as a name in it (a path is taken when its folder is that one).
bool OpenJobs(const PanelArgs& args, std::unique_ptr<panel::JobFolder>& folder,
              std::string& jobName, std::string& error) {
  if (!args.jobs) {
    if (args.job) error = *args.job + ": a job needs --jobs DIR, its folder";
    return !args.job;
  }
  folder = panel::JobFolder::Open(*args.jobs, error);
  if (folder == nullptr) return false;
  if (!args.job) return true;
  namespace fs = std::filesystem;
  const fs::path given(*args.job);
  std::error_code ignored;
  if (given.has_parent_path() && fs::weakly_canonical(given.parent_path(), ignored) !=
                                     fs::weakly_canonical(*args.jobs, ignored)) {
    error = *args.job + " is not in the --jobs folder " + *args.jobs;
    return false;
  }
  jobName = given.filename().string();
  // A job that cannot be opened is said at once, not found later on the page.
  return folder->OpenJob(jobName, error) != nullptr;
}

}  // namespace

int PanelCommand(const PanelArgs& args) {
  gcode::Machine machine = gcode::BuiltinMachine();
  if (args.machine) {
    const gcode::MachineResult loaded = gcode::LoadMachineFile(*args.machine);
    if (!loaded.machine) {
      for (const auto& error : loaded.errors) {
        std::fprintf(stderr, "steplink panel: %s:%d: %s\n", args.machine->c_str(), error.line,
                     error.message.c_str());
      }
      return exitRefused;
    }
    machine = *loaded.machine;
  }
  TableOptions table = args.table;
  // A panel paces its moves by the wall clock unless told otherwise: a jog must take its time.
  if (!table.virtualClock) table.realtime = true;
  if (!NamedRecord(table, std::getenv("STEPLINK_SIM")).empty()) {
    return Refuse("keeps no record (each call process of the session would start it anew)");
  }
  std::string error;
  const std::string device = ChosenDevice(table);
  if (!CheckDeviceValue(device, error)) return Refuse(error);
  RunSettings settings;
  if (!BuildRunSettings(table, std::getenv("STEPLINK_SIM"), RealTableChosen(device), settings,
                        error) ||
      !CheckDeviceSettings(device, table, settings, error)) {
    return Refuse(error);
  }
  std::string libraryPath;
  if (!ResolveLibrary(table, libraryPath, error)) return Refuse(error);
  std::unique_ptr<panel::JobFolder> folder;
  std::string jobName;
  if (!OpenJobs(args, folder, jobName, error)) return Refuse(error);
  auto block = status::StatusBlockFile::Create(settings.statusName, error);
  if (block == nullptr) return Refuse("status=" + settings.statusName + ": " + error);

  ChildOptions child;
  child.libraryPath = libraryPath;
  child.environment.emplace_back("STEPLINK_SIM", settings.simSpec);
  if (!device.empty()) {
    setenv("STEPLINK_DEVICE", device.c_str(), 1);
    child.environment.emplace_back("STEPLINK_DEVICE", device);
  }
  child.realtime = table.rt;
  child.cpu = table.cpu.value_or(-1);
  child.statusName = settings.statusName;
  child.info.name = "panel";
  child.info.hasWork = true;
  // A homing that never met its switch leaves the position distrusted (the table's fault),
  // the call process and the table's other axes as they are.
  child.stopWhenHomingFails = false;

  const double startSpeed = table.variant == Variant::start200 ? STEPLINK_START_SPEED_START200
                                                               : STEPLINK_START_SPEED_STANDARD;
  panel::PanelModel model(machine, startSpeed);
  gcode::Profile profile;  // the library's load-time parameters, the variant's start speed
  profile.startSpeed = static_cast<int>(startSpeed);
  profile.maxSpeed = STEPLINK_MAX_SPEED;
  profile.referenceSpeed = STEPLINK_REFERENCE_SPEED;
  profile.acceleration = STEPLINK_ACCELERATION;
  profile.deceleration = STEPLINK_DECELERATION;
  panel::PanelJobs jobs(model, std::move(folder), profile);
  if (!jobName.empty()) jobs.Check(jobName);
  std::mutex modelMutex;
  InstallJobSignalHandlers();
  PanelSession session(model, modelMutex, child);

  view::Controls controls;
  controls.stop = [&session] { session.Stop(); };
  controls.stopEveryTime = true;
  // One page at a time controls; the model's lock guards both.
  panel::PanelControl control(view::NewToken);
  controls.command = [&](const std::string& name, const std::string& body,
                         const std::string& page) {
    {
      std::lock_guard lock(modelMutex);
      if (auto answer = panel::Admit(control, model, name, body, page, panel::Clock::now())) {
        return *answer;
      }
    }
    if (name == "quit") {
      session.Quit();
      return std::pair<int, std::string>{200, panel::Answer({true, "Quitting"})};
    }
    std::lock_guard lock(modelMutex);
    if (auto answer = panel::DispatchJobs(jobs, name, body)) return *answer;
    return panel::Dispatch(model, name, body, panel::Clock::now());
  };
  controls.query = [&](const std::string& path) {
    std::lock_guard lock(modelMutex);
    const auto body = path == "/jobs"         ? jobs.ListJson()
                      : path == "/jobs/check" ? jobs.CheckJson()
                                              : std::nullopt;
    if (body) return std::pair<int, std::string>{200, *body};
    const std::string why = path == "/jobs/check" ? "no job has been checked yet"
                            : path == "/jobs" ? "no jobs folder: start the panel with --jobs DIR"
                                              : "not found";
    return std::pair<int, std::string>{404, panel::Answer({false, why})};
  };
  controls.extraState = [&] {
    std::lock_guard lock(modelMutex);
    panel::ExpireControl(control, model, panel::Clock::now());
    nlohmann::json state = model.State();
    state.update(jobs.State());
    state["control_serial"] = control.Serial();
    state["control_held"] = control.Held();
    return state;
  };
  controls.pageState = [&](const std::string& page) {
    std::lock_guard lock(modelMutex);
    return nlohmann::json{{"control", control.StateFor(page)}};
  };
  view::ServerOptions options;
  options.port = args.port;
  options.ipv6 = args.ipv6;
  options.page = panel::PageHtml();
  view::JobInfo info;
  info.name = args.machine.value_or("built-in machine");
  view::Server server(view::MakeSharedMemorySource(settings.statusName), info, std::move(controls),
                      options);
  if (!server.Start(error)) {
    RestoreJobSignalHandlers();
    RemoveRunFiles(settings);
    return Refuse(error);
  }
  std::fprintf(stderr, "steplink: panel at %s\n", server.Url().c_str());
  std::fflush(stderr);
  const int code = session.Run();
  server.Finish(code == exitOk ? "panel closed" : "panel ended", code,
                std::chrono::milliseconds(300));
  server.Shutdown();
  RestoreJobSignalHandlers();
  block.reset();
  RemoveRunFiles(settings);
  return code;
}

}  // namespace tool
