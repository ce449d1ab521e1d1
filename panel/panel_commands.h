// The panel's command posts: POST /cmd/NAME with a JSON body of at most 1 KiB, parsed and checked
// here and applied to the model. Answers an HTTP status and a JSON body ({"ok":..,"message":..}).
// Calls panel_model.h only; Stop and Quit are the session's, not the model's.
#pragma once

#include <string>
#include <utility>

#include "panel_model.h"

namespace panel {

// home {"axis":"all"|"x"|"y"|"z"}; jog {"axis","mm"}; jog-start {"axis","direction":1|-1};
// jog-beat {}; jog-stop {}; zero {"axis":"all"|"x"|"y"|"z"}; goto-zero {}; aux {"on":bool}.
// 200 done (or queued), 409 refused now (with the reason), 400 a malformed body, 404 no such
// command.
std::pair<int, std::string> Dispatch(PanelModel& model, const std::string& name,
                                     const std::string& body, Clock::time_point now);

// The JSON answer of a command.
std::string Answer(const CommandResult& result);

// The page: page.html with its style and script in place (compiled in).
std::string PageHtml();

}  // namespace panel
