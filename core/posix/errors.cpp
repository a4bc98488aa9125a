// The errno table and the thread's last error; see core/posix/errors.h and
// core/platform/platform.h.
#include "core/posix/errors.h"

#include <cerrno>
#include <cstring>

#include "core/runtime/log.h"
#include "core/platform/platform.h"

namespace {

struct ErrnoCode {
  int err;
  int code;
};

// File and process calls. EEXIST gives 183 here; an exclusive create says 80
// itself, because only the caller knows the create was exclusive.
constexpr ErrnoCode kErrnoCodes[] = {
    {ENOENT, kPlatformErrorFileNotFound},
    {ENOTDIR, kPlatformErrorPathNotFound},
    {EMFILE, kPlatformErrorTooManyOpenFiles},
    {ENFILE, kPlatformErrorTooManyOpenFiles},
    {EACCES, kPlatformErrorAccessDenied},
    {EPERM, kPlatformErrorAccessDenied},
    {EISDIR, kPlatformErrorAccessDenied},
    {EBADF, kPlatformErrorInvalidHandle},
    {ENOMEM, kPlatformErrorNotEnoughMemory},
    {EXDEV, kPlatformErrorNotSameDevice},
    {EROFS, kPlatformErrorWriteProtect},
    {ETXTBSY, kPlatformErrorSharingViolation},
    {ENOTSUP, kPlatformErrorNotSupported},
    {EINVAL, kPlatformErrorInvalidParameter},
    {EPIPE, kPlatformErrorBrokenPipe},
    {ENOSPC, kPlatformErrorDiskFull},
    {EDQUOT, kPlatformErrorDiskFull},
    {ENOSYS, kPlatformErrorCallNotImplemented},
    {ENOTEMPTY, kPlatformErrorDirNotEmpty},
    {EBUSY, kPlatformErrorBusy},
    {EEXIST, kPlatformErrorAlreadyExists},
    {ENAMETOOLONG, kPlatformErrorNameTooLong},
    {EIO, kPlatformErrorIo},
    {ETIMEDOUT, kPlatformErrorTimeout},
    {ELOOP, kPlatformErrorLinkLoop},
};

// Socket calls: the socket layer's 100xx numbers.
constexpr ErrnoCode kSocketErrnoCodes[] = {
    {EBADF, 10009},        {EACCES, 10013},          {EPERM, 10013},  {EFAULT, 10014},
    {EINVAL, 10022},       {EMFILE, 10024},          {EAGAIN, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {ENOBUFS, 10055},         {EISCONN, 10056},
    {ENOTCONN, 10057},     {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {ELOOP, 10062},
    {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},    {EUSERS, 10068},          {EDQUOT, 10069},
    {ESTALE, 10070},       {EREMOTE, 10071},         {EPIPE, 10058},
    {ECANCELED, 10103},
};

struct LastError {
  int code;
  int err;
};

thread_local LastError tLastError = {0, 0};

}  // namespace

int PosixError_FromErrno(int err) {
  for (const ErrnoCode &row : kErrnoCodes)
    if (row.err == err) return row.code;
  return kPlatformErrorGeneral;
}

int PosixError_FromSocketErrno(int err) {
  if (err == 0) return 0;
  for (const ErrnoCode &row : kSocketErrnoCodes)
    if (row.err == err) return row.code;
  return -1;  // "Unknown Error"
}

int PosixError_Record(int code, int err, const char *call, const char *path, const char *sourcePath,
                      int line) {
  tLastError = {code, err};
  if (Log_IsEnabled()) {
    const char *name = err != 0 ? strerrorname_np(err) : nullptr;
    Log_Print(LOG_DEBUG, sourcePath, line, 0, "%s%s%s%s failed: %s (errno %d) -> %d\n", call,
              path ? " [" : "", path ? path : "", path ? "]" : "", name ? name : "-", err, code);
  }
  return 0;
}

int Platform_GetLastError(void) { return tLastError.code; }

int Platform_GetLastErrno(void) { return tLastError.err; }

void Platform_SetLastError(int code) { tLastError = {code, 0}; }

int Platform_GetSocketErrorFromErrno(int err) { return PosixError_FromSocketErrno(err); }

const char *Platform_GetErrorText(int error) {
  if (error == 0) return nullptr;
  for (const ErrnoCode &row : kErrnoCodes)
    if (row.code == error) return strerrordesc_np(row.err);
  for (const ErrnoCode &row : kSocketErrnoCodes)
    if (row.code == error) return strerrordesc_np(row.err);
  return nullptr;
}
