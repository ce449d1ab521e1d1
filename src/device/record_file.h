// The record writer's file calls, one set per platform (record_writer_linux.cpp,
// record_writer_win.cpp); the writer itself (record_writer.cpp) is the same everywhere. Calls the
// system's file I/O only.
#pragma once

#include <cstddef>
#include <string>

namespace sim::record_file {

// Creates (truncates) the file for writing: its descriptor, or -1 with errno set. `mappable`
// says whether the writer may map it (a regular file opened for reading and writing).
int Open(const std::string& path, bool& mappable);
// Writes the whole buffer, retried after a signal or a short write; false with the error number.
bool WriteAll(int fd, const char* data, std::size_t length, int& error);
void Close(int fd);

}  // namespace sim::record_file
