// The job and MDI command posts: the JSON body checked field by field (a wrong type is a 400 that
// names the field), then the jobs' command. Calls panel_jobs.h and the model's answer format.
#include <limits>

#include "panel_commands.h"
#include "panel_jobs.h"

namespace panel {
namespace {

std::pair<int, std::string> BadRequest(const std::string& why) {
  return {400, nlohmann::json{{"ok", false}, {"message", why}}.dump()};
}

}  // namespace

std::optional<std::pair<int, std::string>> DispatchJobs(PanelJobs& jobs, const std::string& name,
                                                        const std::string& body) {
  if (name != "check" && name != "run" && name != "run-from-line" && name != "pause" &&
      name != "resume" && name != "mdi") {
    return std::nullopt;
  }
  nlohmann::json args = nlohmann::json::object();
  if (!body.empty()) {
    args = nlohmann::json::parse(body, nullptr, false);
    if (args.is_discarded() || !args.is_object())
      return BadRequest("the body must be a JSON object");
  }
  auto text = [&args](const char* key) -> std::optional<std::string> {
    const auto found = args.find(key);
    if (found == args.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
  };
  CommandResult result;
  if (name == "pause") {
    result = jobs.Pause();
  } else if (name == "resume") {
    result = jobs.Resume();
  } else if (name == "mdi") {
    const auto line = text("line");
    if (!line) return BadRequest("'line' must be a string of G-code");
    result = jobs.Mdi(*line);
  } else {
    const auto job = text("name");
    if (!job) return BadRequest("'name' must be the job's file name (a string)");
    if (name == "check") {
      result = jobs.Check(*job);
    } else if (name == "run") {
      result = jobs.Run(*job);
    } else {
      const auto line = args.find("line");
      const auto confirmed = args.find("confirmed");
      if (line == args.end() || !line->is_number_integer() || line->get<std::int64_t>() < 1 ||
          line->get<std::int64_t>() > std::numeric_limits<int>::max()) {
        return BadRequest("'line' must be a line number (1 or more)");
      }
      if (confirmed != args.end() && !confirmed->is_boolean()) {
        return BadRequest("'confirmed' must be true or false");
      }
      result = jobs.RunFromLine(*job, static_cast<int>(line->get<std::int64_t>()),
                                confirmed != args.end() && confirmed->get<bool>());
    }
  }
  result.message = Utf8Safe(result.message);
  return std::pair<int, std::string>{result.ok ? 200 : 409, Answer(result)};
}

}  // namespace panel
