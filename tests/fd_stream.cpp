// Test-only descriptor stream; see fd_stream.h.
#include "tests/fd_stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

FdStream *fdOf(void *context) { return static_cast<FdStream *>(context); }

int fdRead(void *context, void *buffer, int32_t length, int32_t *read) {
  FdStream *s = fdOf(context);
  s->readCalls++;
  *read = 0;
  if (length <= 0) return 0;
  if (s->maxReadChunk > 0 && length > s->maxReadChunk) length = s->maxReadChunk;
  ssize_t got;
  do got = ::read(s->fd, buffer, size_t(length));
  while (got < 0 && errno == EINTR);
  if (got <= 0) return 0;
  *read = int32_t(got);
  return 1;
}

int fdWrite(void *context, const void *data, int32_t length, int32_t *written) {
  FdStream *s = fdOf(context);
  s->writeCalls++;
  *written = 0;
  if (length <= 0) return 0;
  if (s->maxWriteChunk > 0 && length > s->maxWriteChunk) length = s->maxWriteChunk;
  if (s->writeBudget >= 0 && length > s->writeBudget) length = int32_t(s->writeBudget);
  if (length == 0) return 0;  // the budget is used up: a full disk
  ssize_t put;
  do put = ::write(s->fd, data, size_t(length));
  while (put < 0 && errno == EINTR);
  if (put <= 0) return 0;
  if (s->writeBudget >= 0) s->writeBudget -= put;
  *written = int32_t(put);
  return 1;
}

int fdSeek(void *context, int64_t offset, StreamOrigin origin) {
  FdStream *s = fdOf(context);
  s->seekCalls++;
  if (s->failSeeks) return 0;
  int whence;
  switch (origin) {
    case StreamOrigin::Begin:
      whence = SEEK_SET;
      break;
    case StreamOrigin::Current:
      whence = SEEK_CUR;
      break;
    case StreamOrigin::End:
      whence = SEEK_END;
      break;
    default:
      return 0;
  }
  return lseek(s->fd, off_t(offset), whence) >= 0 ? 1 : 0;
}

int fdTell(void *context, uint64_t *position) {
  off_t at = lseek(fdOf(context)->fd, 0, SEEK_CUR);
  if (at < 0) return 0;
  *position = uint64_t(at);
  return 1;
}

int fdGetSize(void *context, int64_t *size) {
  struct stat st;
  if (fstat(fdOf(context)->fd, &st) != 0) return 0;
  *size = int64_t(st.st_size);
  return 1;
}

int fdIsOpen(void *context) { return fdOf(context)->fd >= 0 ? 1 : 0; }

int fdClose(void *context) {
  FdStream *s = fdOf(context);
  if (s->fd < 0) return 0;
  int rc = close(s->fd);
  s->fd = -1;
  return rc == 0 ? 1 : 0;
}

FdStream *fdOpen(const std::string &path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  auto *s = new FdStream;
  s->stream = Stream{s,       nullptr, fdWrite,   nullptr,  fdRead,  nullptr, fdSeek,
                     nullptr, fdTell,  fdGetSize, fdIsOpen, fdClose, 0};
  s->fd = fd;
  return s;
}

}  // namespace

FdStream *FdStream_OpenRead(const std::string &path) { return fdOpen(path, O_RDONLY); }

FdStream *FdStream_OpenWrite(const std::string &path) {
  return fdOpen(path, O_RDWR | O_CREAT | O_TRUNC);
}

void FdStream_Destroy(FdStream *stream) {
  if (stream == nullptr) return;
  if (stream->fd >= 0) close(stream->fd);
  delete stream;
}

std::string Test_MakeTempDirectory(void) {
  const char *base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/keelson-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) return std::string();
  return std::string(name.data());
}

void Test_RemoveDirectory(const std::string &path) {
  if (path.empty()) return;
  if (DIR *dir = opendir(path.c_str())) {
    while (struct dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") unlink((path + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

void Test_WriteFile(const std::string &path, const std::string &bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0 && errno != EINTR) break;
    if (put > 0) done += size_t(put);
  }
  close(fd);
}

std::string Test_ReadFile(const std::string &path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char chunk[65536];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out.append(chunk, size_t(got));
  }
  close(fd);
  return out;
}
