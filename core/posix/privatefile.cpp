// Appending private lines with open(2) and one write(2); see
// core/platform/privatefile.h.
#include "core/platform/privatefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/runtime/core.h"

int PrivateFile_AppendLine(const char *path, const char *text, int32_t length) {
  CHECK_POINTER(path);
  CHECK_POINTER(text);
  if (length < 0) return 0;
  int fd;
  do fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  ssize_t written;
  do written = write(fd, text, size_t(length));
  while (written < 0 && errno == EINTR);
  close(fd);
  return written == ssize_t(length) ? 1 : 0;
}
