// Test support for the tests that run the runner or read the files it writes: a per-test scratch
// folder and a shell run with its two streams caught in files (whole files: file_support.h).
// Test code only; calls the standard library and GoogleTest.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "file_support.h"

namespace test {

struct RunResult {
  int exitCode;  // the shell's exit status (128 + N for a signal N)
  std::string out;
  std::string err;
};

// Runs `command` through the shell with its standard output and error into files of `dir`.
inline RunResult RunShell(const std::string& command, const std::filesystem::path& dir) {
  const std::filesystem::path out = dir / "out.txt", err = dir / "err.txt";
  const int status =
      std::system((command + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
  return {WEXITSTATUS(status), ReadFile(out), ReadFile(err)};
}

// A fixture with a scratch folder of its own per test (the process id and the test's name: ctest
// runs the cases of one program side by side), empty at the start and removed at the end.
class ScratchDirTest : public ::testing::Test {
 protected:
  explicit ScratchDirTest(std::string prefix) : prefix_(std::move(prefix)) {}
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           (prefix_ + "-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;

 private:
  std::string prefix_;
};

}  // namespace test
