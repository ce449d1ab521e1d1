// steplink panel --machine M.toml [--device ...] [--realtime|--virtual] [--view-port N]: holds
// the table for a session and serves the control panel on loopback (the live view's server, its
// access rules, the token). Sets up the device and settings as a job does, then hands over to
// PanelSession. Calls the settings and device stages, view/, panel/ and panel_session.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "cli/cli.h"
#include "cli/exit_codes.h"
#include "contract/steplink_contract.h"
#include "job/device_stage.h"
#include "job/run_job.h"
#include "job/settings_stage.h"
#include "panel_commands.h"
#include "serve/panel_session.h"
#include "server.h"
#include "status/status_block.h"

namespace tool {
namespace {

int Refuse(const std::string& why) {
  std::fprintf(stderr, "steplink panel: %s\n", why.c_str());
  return exitRefused;
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

  const double startSpeed = table.variant == Variant::start200 ? STEPLINK_START_SPEED_START200
                                                               : STEPLINK_START_SPEED_STANDARD;
  panel::PanelModel model(machine, startSpeed);
  std::mutex modelMutex;
  InstallJobSignalHandlers();
  PanelSession session(model, modelMutex, child);

  view::Controls controls;
  controls.stop = [&session] { session.Stop(); };
  controls.stopEveryTime = true;
  controls.command = [&](const std::string& name, const std::string& body) {
    if (name == "quit") {
      session.Quit();
      return std::pair<int, std::string>{200, panel::Answer({true, "Quitting"})};
    }
    std::lock_guard lock(modelMutex);
    return panel::Dispatch(model, name, body, panel::Clock::now());
  };
  controls.extraState = [&] {
    std::lock_guard lock(modelMutex);
    return model.State();
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
