// PosixError: errno to the program's error codes, through one table, and the
// calling thread's last error that core/platform/platform.h hands out.
//
// Invariants: (1) every errno maps to exactly one code; an errno the table
// does not know gives 31. (2) EINTR never reaches here: callers retry it.
// (3) recording a failure logs one DEBUG line with the call, the path (when
// there is one), the errno's symbolic name and the code.
//
// Threads: any thread; the last error is thread-local.
#pragma once

#include "core/runtime/core.h"

// The code of an errno from a file or process call.
int PosixError_FromErrno(int err);
// The code of an errno from a socket call (100xx).
int PosixError_FromSocketErrno(int err);

// Records {code, err} as the calling thread's last error and logs "<call>
// [<path>] failed: <ERRNAME> (errno <n>) -> <code>". path may be NULL.
// Returns 0, so a failing operation can end with `return PosixError_...`.
int PosixError_Record(int code, int err, const char *call, const char *path, const char *sourcePath,
                      int line);

// The failure of the call that just set errno, mapped through the table.
#define POSIX_FAIL(call, path) \
  PosixError_Record(PosixError_FromErrno(errno), errno, (call), (path), KSRC)
// A failure whose code the caller decides (errno kept for the log).
#define POSIX_FAIL_CODE(code, err, call, path) \
  PosixError_Record((code), (err), (call), (path), KSRC)
