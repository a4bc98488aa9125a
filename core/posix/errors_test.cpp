// The errno table as the project decided it, a real refused connection
// through the socket table, and the last error staying with its thread.
#include "core/posix/errors.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "core/platform/platform.h"

namespace {

TEST(PlatformErrors, ErrnoTable) {
  struct Row {
    int err;
    int code;
  } rows[] = {
      {ENOENT, 2},     {ENOTDIR, 3},        {EMFILE, 4},   {ENFILE, 4},       {EACCES, 5},
      {EPERM, 5},      {EISDIR, 5},         {EBADF, 6},    {ENOMEM, 8},       {EXDEV, 17},
      {EROFS, 19},     {ETXTBSY, 32},       {ENOTSUP, 50}, {EINVAL, 87},      {EPIPE, 109},
      {ENOSPC, 112},   {EDQUOT, 112},       {ENOSYS, 120}, {ENOTEMPTY, 145},  {EBUSY, 170},
      {EEXIST, 183},   {ENAMETOOLONG, 206}, {EIO, 1117},   {ETIMEDOUT, 1460}, {ELOOP, 1921},
      {EOVERFLOW, 31}, {ECHILD, 31},        {0, 31},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.err);
    EXPECT_EQ(PosixError_FromErrno(row.err), row.code);
  }
}

// A code reads as the system's words for the first errno it comes from;
// the catch-all code has none.
TEST(PlatformErrors, ErrorTextIsTheSystemsWords) {
  struct Row {
    int code;
    int err;
  } rows[] = {{5, EACCES}, {19, EROFS}, {112, ENOSPC}, {4, EMFILE}, {10061, ECONNREFUSED},
              {10054, ECONNRESET}, {1460, ETIMEDOUT}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.code);
    EXPECT_STREQ(Platform_GetErrorText(row.code), strerror(row.err));
  }
  EXPECT_EQ(Platform_GetErrorText(kPlatformErrorGeneral), nullptr);
  EXPECT_EQ(Platform_GetErrorText(0), nullptr);
}

TEST(PlatformErrors, RefusedConnectionHasTheSocketText) {
  // A port that was bound and closed again has no listener.
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(probe, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length), 0);
  close(probe);
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  ASSERT_NE(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  int code = Platform_GetSocketErrorFromErrno(errno);
  close(client);
  EXPECT_EQ(code, 10061);
  EXPECT_STREQ(Platform_GetSocketErrorString(code), "Connection refused");
  EXPECT_EQ(Platform_GetSocketErrorFromErrno(0), 0);
  EXPECT_EQ(Platform_GetSocketErrorFromErrno(EPERM), 10013);  // a send a packet filter refuses
  EXPECT_STREQ(Platform_GetSocketErrorString(Platform_GetSocketErrorFromErrno(EOVERFLOW)),
               "Unknown Error");
}

TEST(PlatformErrorsThreaded, LastErrorBelongsToItsThread) {
  Platform_SetLastError(kPlatformErrorDiskFull);
  int seen = -1;
  std::thread other([&] {
    EXPECT_EQ(Platform_DeleteFile("/keelson-no-such-dir/file"), 0);
    seen = Platform_GetLastError();
  });
  other.join();
  EXPECT_EQ(seen, kPlatformErrorFileNotFound);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorDiskFull);
  EXPECT_EQ(Platform_GetLastErrno(), 0);
}

}  // namespace
