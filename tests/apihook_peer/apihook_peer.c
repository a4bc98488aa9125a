/* A library that opens files through libc, as a third-party runtime would.
 * CMake builds it with lazy binding, with -z now (full RELRO) and with
 * -fno-plt; the variant built with APIHOOK_PEER_NO_OPEN opens through fopen
 * and imports no open at all. The API hook test swaps its import. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

/* Opens path for reading and closes it again: 1 when it opened. */
int ApiHookPeer_Open(const char *path) {
#ifdef APIHOOK_PEER_NO_OPEN
  FILE *f = fopen(path, "r");
  if (f == NULL) return 0;
  fclose(f);
  return 1;
#else
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  close(fd);
  return 1;
#endif
}
