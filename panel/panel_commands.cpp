// The panel's command posts: the JSON body read with nlohmann::json (a body that is no object,
// or a field of the wrong type, is a 400 with the field named), then the model's command. Calls
// panel_model.h and the compiled-in page files.
#include "panel_commands.h"

#include <string_view>

namespace panel::assets {
extern const unsigned char panel_html[];
extern const unsigned long panel_html_size;
extern const unsigned char panel_css[];
extern const unsigned long panel_css_size;
extern const unsigned char panel_js[];
extern const unsigned long panel_js_size;
extern const unsigned char panel_control_js[];
extern const unsigned long panel_control_js_size;
extern const unsigned char panel_jobs_js[];
extern const unsigned long panel_jobs_js_size;
extern const unsigned char plot_mm_js[];
extern const unsigned long plot_mm_js_size;
}  // namespace panel::assets

namespace panel {
namespace {

std::pair<int, std::string> BadRequest(const std::string& why) {
  return {400, nlohmann::json{{"ok", false}, {"message", why}}.dump()};
}

std::string_view Text(const unsigned char* bytes, unsigned long size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

// The commands only the page in control may send: listing a name here is all it takes to gate
// it. The job commands (run, pause, resume, run-from-line, mdi) and the session's quit included;
// jog-stop is not (it only stops, as Stop does).
constexpr std::string_view mutatingCommands[] = {
    "home", "jog",   "jog-start", "jog-beat", "zero",   "goto-zero",     "aux",
    "quit", "check", "run",       "pause",    "resume", "run-from-line", "mdi"};

std::pair<int, std::string> Reply(bool ok, const std::string& message, const PanelControl& control,
                                  const std::string& page) {
  return {
      ok ? 200 : 409,
      nlohmann::json{{"ok", ok}, {"message", message}, {"control", control.StateFor(page)}}.dump()};
}

}  // namespace

bool Mutating(const std::string& name) {
  for (const std::string_view each : mutatingCommands) {
    if (name == each) return true;
  }
  return false;
}

void ExpireControl(PanelControl& control, PanelModel& model, Clock::time_point now) {
  if (control.Expire(now)) model.JogStop("Jog stopped: the page in control went away");
}

std::optional<std::pair<int, std::string>> Admit(PanelControl& control, PanelModel& model,
                                                 const std::string& name, const std::string& body,
                                                 const std::string& page, Clock::time_point now) {
  ExpireControl(control, model, now);
  if (name == "hello") {
    const std::string id = control.Hello(page, now);
    if (id.empty()) return Reply(false, "no page id could be made", control, page);
    return std::pair<int, std::string>{
        200, nlohmann::json{{"ok", true}, {"page", id}, {"control", control.StateFor(id)}}.dump()};
  }
  const bool known = control.Heard(page, now);
  if (name == "beat") {
    return Reply(known, known ? "" : "this page is not known to the panel: reload it", control,
                 page);
  }
  if (name == "control-take") {
    bool takeOver = false;
    if (!body.empty()) {
      const auto args = nlohmann::json::parse(body, nullptr, false);
      if (args.is_discarded() || !args.is_object())
        return BadRequest("the body must be a JSON object");
      const auto found = args.find("take_over");
      if (found != args.end() && !found->is_boolean())
        return BadRequest("'take_over' must be true or false");
      takeOver = found != args.end() && found->get<bool>();
    }
    const auto change = control.Take(page, takeOver, now);
    if (change.controllerChanged) model.JogStop("Jog stopped: another page took control");
    return Reply(change.ok, change.message, control, page);
  }
  if (name == "control-release") {
    const auto change = control.Release(page, now);
    if (change.controllerChanged) model.JogStop("Jog stopped: control released");
    return Reply(change.ok, change.message, control, page);
  }
  if (Mutating(name) && !control.Controls(page)) {
    return Reply(false,
                 control.Held() ? "refused: another page controls the table (this one only "
                                  "watches; Stop works from every page)"
                                : "refused: take control first (Stop works from every page)",
                 control, page);
  }
  return std::nullopt;
}

std::string Answer(const CommandResult& result) {
  return nlohmann::json{{"ok", result.ok}, {"message", result.message}}.dump();
}

std::pair<int, std::string> Dispatch(PanelModel& model, const std::string& name,
                                     const std::string& body, Clock::time_point now) {
  nlohmann::json args = nlohmann::json::object();
  if (!body.empty()) {
    args = nlohmann::json::parse(body, nullptr, false);
    if (args.is_discarded() || !args.is_object())
      return BadRequest("the body must be a JSON object");
  }
  auto axisOf = [&args](const char* key, bool allAllowed) -> std::optional<int> {
    const auto found = args.find(key);
    if (found == args.end() || !found->is_string()) return std::nullopt;
    const auto axis = AxisNamed(found->get<std::string>());
    if (axis && *axis < 0 && !allAllowed) return std::nullopt;
    return axis;
  };
  CommandResult result;
  if (name == "home" || name == "zero") {
    const auto axis = axisOf("axis", true);
    if (!axis) return BadRequest("'axis' must be \"all\", \"x\", \"y\" or \"z\"");
    result = name == "home" ? model.Home(*axis) : model.Zero(*axis);
  } else if (name == "jog") {
    const auto axis = axisOf("axis", false);
    const auto mm = args.find("mm");
    if (!axis || mm == args.end() || !mm->is_number()) {
      return BadRequest("'axis' must be \"x\", \"y\" or \"z\" and 'mm' a number");
    }
    result = model.StepJog(*axis, mm->get<double>());
  } else if (name == "jog-start") {
    const auto axis = axisOf("axis", false);
    const auto direction = args.find("direction");
    if (!axis || direction == args.end() || !direction->is_number_integer()) {
      return BadRequest("'axis' must be \"x\", \"y\" or \"z\" and 'direction' 1 or -1");
    }
    result = model.JogStart(*axis, direction->get<int>(), now);
  } else if (name == "jog-beat") {
    result = model.JogBeat(now);
  } else if (name == "jog-stop") {
    result = model.JogStop("Jog released");
  } else if (name == "goto-zero") {
    result = model.GoToWorkZero();
  } else if (name == "aux") {
    const auto on = args.find("on");
    if (on == args.end() || !on->is_boolean()) return BadRequest("'on' must be true or false");
    result = model.Aux(on->get<bool>());
  } else {
    return {404, nlohmann::json{{"ok", false}, {"message", "no such command: " + name}}.dump()};
  }
  return {result.ok ? 200 : 409, Answer(result)};
}

std::string PageHtml() {
  std::string page(Text(assets::panel_html, assets::panel_html_size));
  auto replace = [&page](const std::string& marker, std::string_view with) {
    const auto at = page.find(marker);
    if (at != std::string::npos) page.replace(at, marker.size(), with);
  };
  replace("/*steplink:style*/", Text(assets::panel_css, assets::panel_css_size));
  // The mm plot and the jobs part first: panel.js hands them its posts and its state.
  std::string script(Text(assets::plot_mm_js, assets::plot_mm_js_size));
  script += Text(assets::panel_jobs_js, assets::panel_jobs_js_size);
  script += Text(assets::panel_js, assets::panel_js_size);
  replace("/*steplink:script*/", script);
  replace("/*steplink:control*/", Text(assets::panel_control_js, assets::panel_control_js_size));
  return page;
}

}  // namespace panel
