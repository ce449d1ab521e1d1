/* A stand-in for a library another user plants in a cache: when a JVM loads it, it creates the
 * file named by STEPLINK_PLANTED_MARKER, so the swap test sees a load that must never happen.
 * Plain C and libc only; it exports nothing a JavaToC method could bind to. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((visibility("default"))) int JNI_OnLoad(void* vm, void* reserved);

int JNI_OnLoad(void* vm, void* reserved) {
  (void)vm;
  (void)reserved;
  const char* marker = getenv("STEPLINK_PLANTED_MARKER");
  if (marker != NULL) {
    int fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }
  return 0x00010008; /* JNI_VERSION_1_8 */
}
