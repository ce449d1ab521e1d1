// The panel's command posts: POST /cmd/NAME with a JSON body of at most 1 KiB, parsed and checked
// here and applied to the model. Answers an HTTP status and a JSON body ({"ok":..,"message":..}).
// Calls panel_model.h and panel_control.h; Stop and Quit are the session's, not the model's.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "panel_control.h"
#include "panel_model.h"

namespace panel {

// home {"axis":"all"|"x"|"y"|"z"}; jog {"axis","mm"}; jog-start {"axis","direction":1|-1};
// jog-beat {}; jog-stop {}; zero {"axis":"all"|"x"|"y"|"z"}; goto-zero {}; aux {"on":bool}.
// 200 done (or queued), 409 refused now (with the reason), 400 a malformed body, 404 no such
// command.
std::pair<int, std::string> Dispatch(PanelModel& model, const std::string& name,
                                     const std::string& body, Clock::time_point now);

// Whether a command moves the table or changes what it will do, so that only the page in control
// may send it. Every other command (and /stop, which is no command) is open to every page.
bool Mutating(const std::string& name);

// In front of every command, under the model's lock. Answers the control posts itself: hello
// (the page's id, a known one kept), beat, control-take {"take_over":bool}, control-release; a
// mutating command from a page that does not control is refused (409). nullopt: go on to the
// command. `page` is the id the request carried (X-Steplink-Page).
std::optional<std::pair<int, std::string>> Admit(PanelControl& control, PanelModel& model,
                                                 const std::string& name, const std::string& body,
                                                 const std::string& page, Clock::time_point now);

// The controlling page's timeout checked (a jog it held stops), for the sampler's snapshot.
void ExpireControl(PanelControl& control, PanelModel& model, Clock::time_point now);

// The JSON answer of a command.
std::string Answer(const CommandResult& result);

// The page: page.html with its style and script in place (compiled in).
std::string PageHtml();

}  // namespace panel
