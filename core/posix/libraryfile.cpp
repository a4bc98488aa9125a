// Plug-in library files on Linux; see core/platform/libraryfile.h.
#include "core/platform/libraryfile.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"

int LibraryFile_Open(const char *path, LibraryFile *file) {
  CHECK_POINTER(path);
  CHECK_POINTER(file);
  *file = kLibraryFileNone;
  if (path[0] != '/') return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, 0, "open", path);
  char canonical[PATH_MAX];
  if (realpath(path, canonical) == nullptr) return POSIX_FAIL("realpath", path);
  int fd = open(canonical, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return POSIX_FAIL("open", canonical);
  struct stat info;
  if (fstat(fd, &info) != 0) {
    int result = POSIX_FAIL("fstat", canonical);
    close(fd);
    return result;
  }
  file->fd = fd;
  file->device = uint64_t(info.st_dev);
  file->inode = uint64_t(info.st_ino);
  Str_Printf(file->loadPath, kLibraryFileLoadPathBytes, "/proc/self/fd/%d", fd);
  return 1;
}

void LibraryFile_Close(LibraryFile *file) {
  CHECK_POINTER(file);
  if (file->fd < 0) return;
  close(file->fd);
  file->fd = -1;
  file->loadPath[0] = '\0';
}

int LibraryFile_IsSame(const LibraryFile *a, const LibraryFile *b) {
  CHECK_POINTER(a);
  CHECK_POINTER(b);
  if (a->inode == 0 || b->inode == 0) return 0;
  return a->device == b->device && a->inode == b->inode ? 1 : 0;
}

int LibraryFile_IsLoadedFrom(const LibraryFile *file, PlatformModule *module) {
  CHECK_POINTER(file);
  CHECK_POINTER(module);
  struct link_map *map = nullptr;
  struct stat info;
  if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr ||
      stat(map->l_name, &info) != 0)
    return 0;
  return uint64_t(info.st_dev) == file->device && uint64_t(info.st_ino) == file->inode ? 1 : 0;
}
