// A program changed under a job without a trace in its size or time: bytes rewritten in place and
// the modification time put back. Test code only; calls the system and GoogleTest's assertions.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace test {

// Rewrites bytes.size() bytes at `offset`; the size and the modification time stay as they were.
inline void RewriteKeepingTime(const std::filesystem::path& path, std::size_t offset,
                               const std::string& bytes) {
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()));
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(futimens(fd, times), 0);
  close(fd);
  struct stat after {};
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  ASSERT_EQ(after.st_size, before.st_size);
  ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

}  // namespace test
