// Machine file reader over toml++: [axis.x|y|z] (steps_per_mm, min_mm, max_mm required, invert
// optional) and [job] (arc_tolerance_mm, reference). Every problem is collected with the key and
// its line, so the user fixes the file in one go.
#include "machine.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace gcode {
namespace {

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

class MachineReader {
 public:
  explicit MachineReader(std::vector<Message>& errors) : errors_(errors) {}

  void Read(const toml::table& root, Machine& machine) {
    for (const auto& [key, node] : root) {
      const std::string name(key.str());
      if (name == "axis") {
        const toml::table* axes = node.as_table();
        if (axes == nullptr) {
          Error(node, "'axis' must be a table of [axis.x], [axis.y] and [axis.z]");
          continue;
        }
        for (const auto& [axisKey, axisNode] : *axes) {
          const std::string axisName(axisKey.str());
          const int index = axisName == "x" ? 0 : axisName == "y" ? 1 : axisName == "z" ? 2 : -1;
          if (index < 0) {
            Error(axisNode, "unknown axis 'axis." + axisName + "' (x, y or z)");
          } else if (const toml::table* table = axisNode.as_table()) {
            ReadAxis(*table, "axis." + axisName, machine.axes[index]);
          } else {
            Error(axisNode, "'axis." + axisName + "' must be a table");
          }
        }
        for (const char* axisName : {"x", "y", "z"}) {
          if (!axes->contains(axisName)) {
            Error(node, std::string("the table [axis.") + axisName + "] is missing");
          }
        }
      } else if (name == "job") {
        if (const toml::table* job = node.as_table()) {
          ReadJob(*job, machine);
        } else {
          Error(node, "'job' must be a table");
        }
      } else {
        Error(node, "unknown key '" + name + "' (expected [axis.x], [axis.y], [axis.z], [job])");
      }
    }
    if (!root.contains("axis"))
      errors_.push_back({0, "the tables [axis.x], [axis.y] and [axis.z] are missing"});
  }

 private:
  void Error(const toml::node& node, std::string message) {
    errors_.push_back({LineOf(node), std::move(message)});
  }

  // A number (integer or float) at `key`, or nothing with an error.
  std::optional<double> Number(const toml::node& node, const std::string& key) {
    if (const auto value = node.value<double>();
        value && (node.is_floating_point() || node.is_integer())) {
      // nan would switch a soft limit off (every comparison with it is false), inf makes no step.
      if (!std::isfinite(*value)) {
        Error(node, "'" + key + "' must be a finite number");
        return std::nullopt;
      }
      return *value;
    }
    Error(node, "'" + key + "' must be a number");
    return std::nullopt;
  }

  void ReadAxis(const toml::table& table, const std::string& prefix, Axis& axis) {
    bool steps = false, min = false, max = false;
    for (const auto& [key, node] : table) {
      const std::string name(key.str());
      std::string full = prefix;
      full += '.';
      full += name;
      if (name == "steps_per_mm") {
        steps = true;
        if (const auto value = Number(node, full)) {
          if (!(*value > 0.0) || *value > 1e6) {
            Error(node, "'" + full + "' must be above 0 (and at most 1e6)");
          } else {
            axis.stepsPerMm = *value;
          }
        }
      } else if (name == "min_mm" || name == "max_mm") {
        (name == "min_mm" ? min : max) = true;
        if (const auto value = Number(node, full)) {
          if (std::abs(*value) > 1e6) {
            Error(node, "'" + full + "' is out of range (at most 1e6 mm either way)");
          } else {
            (name == "min_mm" ? axis.minMm : axis.maxMm) = *value;
          }
        }
      } else if (name == "invert") {
        if (const auto value = node.value<bool>(); value && node.is_boolean()) {
          axis.invert = *value;
        } else {
          Error(node, "'" + full + "' must be true or false");
        }
      } else {
        Error(node, "unknown key '" + full + "' (steps_per_mm, min_mm, max_mm, invert)");
      }
    }
    const int line = static_cast<int>(table.source().begin.line);
    if (!steps) errors_.push_back({line, "'" + prefix + ".steps_per_mm' is missing"});
    if (!min) errors_.push_back({line, "'" + prefix + ".min_mm' is missing"});
    if (!max) errors_.push_back({line, "'" + prefix + ".max_mm' is missing"});
    if (min && max && axis.minMm > axis.maxMm) {
      errors_.push_back({line, "'" + prefix + ".min_mm' is above '" + prefix + ".max_mm'"});
    }
    // Positions in steps must stay far inside the table's 32-bit step counters.
    if (std::max(std::abs(axis.minMm), std::abs(axis.maxMm)) * axis.stepsPerMm > 1e9) {
      errors_.push_back(
          {line, "'" + prefix + "': min_mm/max_mm times steps_per_mm exceeds 1e9 steps"});
    }
  }

  void ReadJob(const toml::table& job, Machine& machine) {
    for (const auto& [key, node] : job) {
      const std::string name(key.str());
      const std::string full = "job." + name;
      if (name == "arc_tolerance_mm") {
        if (const auto value = Number(node, full)) {
          if (!(*value >= 1e-4) || *value > 10.0) {
            Error(node, "'" + full + "' must be between 0.0001 and 10");
          } else {
            machine.arcToleranceMm = *value;
          }
        }
      } else if (name == "reference") {
        const toml::array* values = node.as_array();
        if (values == nullptr || values->size() != 3) {
          Error(node, "'" + full + "' must be an array of three back-off steps [x, y, z]");
          continue;
        }
        std::array<int, 3> backOff{};
        bool good = true;
        for (std::size_t axis = 0; axis < 3; ++axis) {
          const toml::node& item = *values->get(axis);
          const auto value = item.value<std::int64_t>();
          if (!item.is_integer() || !value || *value < 1 || *value > 31999) {
            Error(item, "'" + full + "' values must be whole steps from 1 to 31999");
            good = false;
          } else {
            backOff[axis] = static_cast<int>(*value);
          }
        }
        if (good) machine.reference = backOff;
      } else {
        Error(node, "unknown key '" + full + "' (arc_tolerance_mm, reference)");
      }
    }
  }

  std::vector<Message>& errors_;
};

}  // namespace

Machine BuiltinMachine() {
  Machine machine;
  machine.axes[0] = {20.0, 0.0, 600.0, false};
  machine.axes[1] = {20.0, 0.0, 600.0, false};
  machine.axes[2] = {20.0, -50.0, 50.0, false};
  machine.arcToleranceMm = 0.01;
  machine.reference = std::array<int, 3>{50, 50, 20};
  return machine;
}

MachineResult ParseMachine(std::string_view text, const std::string& name) {
  MachineResult result;
  Machine machine;
  machine.name = name;
  machine.reference.reset();
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& error) {
    result.errors.push_back(
        {static_cast<int>(error.source().begin.line), std::string(error.description())});
    return result;
  }
  MachineReader(result.errors).Read(root, machine);
  if (result.errors.empty()) result.machine = machine;
  return result;
}

MachineResult LoadMachineFile(const std::string& path) {
  MachineResult result;
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    result.errors.push_back({0, "the machine file " + path + " is a directory"});
    return result;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    result.errors.push_back({0, "cannot read the machine file " + path});
    return result;
  }
  // Read at most one byte past the limit: a device or a huge file is refused, not swallowed.
  std::string text(maxMachineFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > maxMachineFileBytes) {
    result.errors.push_back({0, "the machine file " + path + " is larger than " +
                                    std::to_string(maxMachineFileBytes) + " bytes"});
    return result;
  }
  return ParseMachine(text, path);
}

}  // namespace gcode
