// The record file's format, written by the table's observer (device/recording_backend.cpp through
// device/record_writer) and read by the runner (tool/outputs/record.cpp): the header line and one
// line per event, "KIND TICK ...", ticks of the 8254 clock since the device opened.
#pragma once

#include <cinttypes>
#include <string_view>

namespace status {

// First line of every record file (version 1 of the format).
inline constexpr char recordHeader[] = "# steplink sim record 1";

// "step TICK AXIS DIRECTION POSITION": axis x, y or z; direction + or -; position after it.
inline constexpr std::string_view recordStepKind = "step";
inline constexpr char recordStepFormat[] = "step %" PRIu64 " %c %c %" PRId32 "\n";
// "aux TICK STATE": 0 or 1, or none once the Z latch holds no auxiliary byte.
inline constexpr std::string_view recordAuxKind = "aux";
inline constexpr std::string_view recordAuxNone = "none";
inline constexpr char recordAuxFormat[] = "aux %" PRIu64 " %d\n";
inline constexpr char recordAuxNoneFormat[] = "aux %" PRIu64 " none\n";
// "fault TICK KIND PORT VALUE": kind as status/names.h spells it, port and value in hex.
inline constexpr std::string_view recordFaultKind = "fault";
inline constexpr char recordFaultFormat[] = "fault %" PRIu64 " %s %x %02x\n";
// Lines starting with this are comments.
inline constexpr char recordCommentMark = '#';

}  // namespace status
