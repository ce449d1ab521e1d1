// Command-line parser of the runner.
#include "args.h"

#include <algorithm>

namespace tool {

void ArgParser::AddFlag(const std::string& name, const std::string& help) {
  specs_.push_back({name, "", help});
}

void ArgParser::AddOption(const std::string& name, const std::string& valueName,
                          const std::string& help) {
  specs_.push_back({name, valueName, help});
}

void ArgParser::AddOptionalNumber(const std::string& name, const std::string& valueName,
                                  const std::string& help) {
  specs_.push_back({name, valueName, help, true});
}

bool ArgParser::Parse(int argc, const char* const* argv, int first, std::string& error) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> inlineValue;
    if (const std::size_t equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      inlineValue = arg.substr(equals + 1);
    }
    if (name == "-h") name = "--help";
    const auto spec = std::find_if(specs_.begin(), specs_.end(),
                                   [&](const Spec& s) { return "--" + s.name == name; });
    if (spec == specs_.end()) {
      error = "unknown option '" + name + "'";
      return false;
    }
    if (spec->valueName.empty()) {
      if (inlineValue) {
        error = "option '" + name + "' takes no value";
        return false;
      }
      flags_[spec->name] = true;
      continue;
    }
    if (spec->optionalNumber) {
      if (flags_.contains(spec->name)) {
        error = "option '" + name + "' given twice";
        return false;
      }
      flags_[spec->name] = true;
      const auto isNumber = [](const std::string& text) {
        return !text.empty() &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
      };
      if (!inlineValue && i + 1 < argc && isNumber(argv[i + 1])) inlineValue = argv[++i];
      if (inlineValue) values_[spec->name] = *inlineValue;
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) {
        error = "option '" + name + "' needs a value (" + spec->valueName + ")";
        return false;
      }
      inlineValue = argv[++i];
    }
    if (values_.contains(spec->name)) {
      error = "option '" + name + "' given twice";
      return false;
    }
    values_[spec->name] = *inlineValue;
  }
  return true;
}

std::optional<std::string> ArgParser::Value(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::string ArgParser::OptionHelp() const {
  std::string text;
  for (const Spec& spec : specs_) {
    std::string head = "  --" + spec.name;
    if (spec.optionalNumber) {
      head += " [" + spec.valueName + "]";
    } else if (!spec.valueName.empty()) {
      head += " " + spec.valueName;
    }
    if (head.size() < 24)
      head.resize(24, ' ');
    else
      head += "\n" + std::string(24, ' ');
    text += head + spec.help + "\n";
  }
  return text;
}

}  // namespace tool
