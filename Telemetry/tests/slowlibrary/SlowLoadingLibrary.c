// A shared object that takes as long to load as a test wants: its constructor waits until the
// descriptor named by QV_SLOW_LIBRARY_FD can be read (a byte written, or the other end closed), at
// most a minute. It has none of libcurl's functions, so a table that opens it in libcurl's place
// fails once it has loaded.
#include <poll.h>
#include <stdlib.h>

__attribute__((constructor)) static void waitForRelease(void) {
  const char* fd = getenv("QV_SLOW_LIBRARY_FD");
  if (!fd) return;
  struct pollfd release = {atoi(fd), POLLIN, 0};
  poll(&release, 1, 60000);
}
