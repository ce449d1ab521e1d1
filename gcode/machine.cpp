// Machine file reader over toml++: [axis.x|y|z] (steps_per_mm, min_mm, max_mm required, invert
// optional), [job] (arc_tolerance_mm, reference, safe_z_mm), [positions] (g28, g30), [offsets]
// (g54..g59) and [tools] (number = length). Every problem is collected with the key and its line,
// so the user fixes the file in one go.
#include "machine.h"

#include <toml++/toml.h>

#include <algorithm>
#include <charconv>
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
      } else if (name == "positions" || name == "offsets" || name == "tools") {
        if (const toml::table* table = node.as_table()) {
          if (name == "positions") ReadPositions(*table, machine);
          if (name == "offsets") ReadOffsets(*table, machine);
          if (name == "tools") ReadTools(*table, machine);
        } else {
          Error(node, "'" + name + "' must be a table");
        }
      } else {
        Error(node, "unknown key '" + name +
                        "' (expected [axis.x], [axis.y], [axis.z], [job], [positions], [offsets], "
                        "[tools])");
      }
    }
    if (!root.contains("axis"))
      errors_.push_back({0, "the tables [axis.x], [axis.y] and [axis.z] are missing"});
    // Checked once every table is read: [job] may come before [axis.z].
    const Axis& z = machine.axes[2];
    if (machine.safeZMm && (*machine.safeZMm < z.minMm || *machine.safeZMm > z.maxMm)) {
      errors_.push_back(
          {safeZLine_, "'job.safe_z_mm' must be inside Z's limits (min_mm to max_mm)"});
    }
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
      } else if (name == "safe_z_mm") {
        if (const auto value = Number(node, full)) {
          machine.safeZMm = *value;
          safeZLine_ = LineOf(node);
        }
      } else {
        Error(node, "unknown key '" + full + "' (arc_tolerance_mm, reference, safe_z_mm)");
      }
    }
  }

  // An array of three finite mm values [x, y, z] within 1e6 mm, or nothing with an error.
  std::optional<std::array<double, 3>> Triple(const toml::node& node, const std::string& key) {
    const toml::array* values = node.as_array();
    if (values == nullptr || values->size() != 3) {
      Error(node, "'" + key + "' must be an array of three numbers [x, y, z] in mm");
      return std::nullopt;
    }
    std::array<double, 3> mm{};
    bool good = true;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const auto value = Number(*values->get(axis), key);
      if (value && std::abs(*value) > 1e6) {
        Error(*values->get(axis), "'" + key + "' values must be within 1e6 mm");
        good = false;
      } else if (value) {
        mm[axis] = *value;
      } else {
        good = false;
      }
    }
    if (!good) return std::nullopt;
    return mm;
  }

  void ReadPositions(const toml::table& table, Machine& machine) {
    for (const auto& [key, node] : table) {
      const std::string name(key.str());
      const std::string full = "positions." + name;
      if (name == "g28" || name == "g30") {
        if (const auto mm = Triple(node, full)) (name == "g28" ? machine.g28 : machine.g30) = *mm;
      } else {
        Error(node, "unknown key '" + full + "' (g28, g30)");
      }
    }
  }

  void ReadOffsets(const toml::table& table, Machine& machine) {
    for (const auto& [key, node] : table) {
      const std::string name(key.str());
      const std::string full = "offsets." + name;
      int index = -1;
      for (int i = 0; i < 6; ++i) {
        if (name == "g5" + std::to_string(4 + i)) index = i;
      }
      if (index < 0) {
        Error(node, "unknown key '" + full + "' (g54, g55, g56, g57, g58, g59)");
      } else if (const auto mm = Triple(node, full)) {
        machine.workOffsets[static_cast<std::size_t>(index)] = *mm;
      }
    }
  }

  void ReadTools(const toml::table& table, Machine& machine) {
    for (const auto& [key, node] : table) {
      const std::string name(key.str());
      const std::string full = "tools." + name;
      int number = -1;
      const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), number);
      if (ec != std::errc() || end != name.data() + name.size() || number < 0 || name.size() > 6) {
        Error(node, "'" + full + "': a tool is named by its number (0 to 999999), as in 2 = 10.0");
        continue;
      }
      if (const auto length = Number(node, full)) {
        if (std::abs(*length) > 1e6) {
          Error(node, "'" + full + "' must be within 1e6 mm");
        } else {
          machine.toolLengths[number] = *length;
        }
      }
    }
  }

  std::vector<Message>& errors_;
  int safeZLine_ = 0;
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

double SafeZMm(const Machine& machine) {
  return machine.safeZMm.value_or(machine.axes[2].maxMm);
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
