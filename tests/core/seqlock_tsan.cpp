// The status block's sequence lock under ThreadSanitizer: a concurrent writer and reader of both
// sections. Built with -fsanitize=thread on its own (tests/CMakeLists.txt); exit 0 when clean.
#include <cstdio>

#include "seqlock_check.h"

int main() {
  const std::string failure = test::CheckSeqlockConcurrently(200000);
  if (!failure.empty()) {
    std::fprintf(stderr, "seqlock: %s\n", failure.c_str());
    return 1;
  }
  std::printf("seqlock: 200000 updates read consistently\n");
  return 0;
}
