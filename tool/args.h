// A small command-line parser for the runner: long options with or without a value ("--name V"
// or "--name=V"), flags, positional arguments, and a generated option list for --help.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tool {

class ArgParser {
 public:
  void AddFlag(const std::string& name, const std::string& help);
  void AddOption(const std::string& name, const std::string& valueName, const std::string& help);
  // An option whose value may be left out: "--name=V", or "--name V" when V is a decimal number;
  // Flag(name) tells whether it was given at all.
  void AddOptionalNumber(const std::string& name, const std::string& valueName,
                         const std::string& help);

  // Parses argv[first..]; false with a message on an unknown option or a missing value.
  // "--" ends the options; "-" alone is a positional argument (standard input).
  bool Parse(int argc, const char* const* argv, int first, std::string& error);

  bool Flag(const std::string& name) const { return flags_.contains(name); }
  std::optional<std::string> Value(const std::string& name) const;
  const std::vector<std::string>& Positional() const { return positional_; }
  std::string OptionHelp() const;

 private:
  struct Spec {
    std::string name;
    std::string valueName;  // empty for a flag
    std::string help;
    bool optionalNumber = false;
  };
  std::vector<Spec> specs_;
  std::map<std::string, bool> flags_;
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

}  // namespace tool
