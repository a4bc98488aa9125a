// FileReplace: a file's new content written to a temporary file beside it and
// put in its place by one rename, so that a reader, a crash or a full disk
// finds the old file or the new one whole, never a mix of both.
//
// Invariants: (1) the temporary file is a new name in the file's directory,
// "<name>.tmp.XXXXXX" (the name cut to 200 bytes), created exclusively
// without following a link; every step after Begin works on the directory's
// descriptor, so a directory renamed meanwhile does not redirect it. (2)
// before a byte is written it has the mode and owner of the file it replaces
// when no other user may write the directory (else it is the effective
// user's, with the old mode's bits of 0644 only); a new file gets 0666 less
// the umask. (3) a link at the name is replaced,
// never followed; anything but a regular file or a link there is refused, and
// so is a file the effective user may not write. (4) Commit syncs the file,
// renames it over the name and syncs the directory; a failed Begin or Commit,
// and Abort, remove the temporary file and leave the old file as it was.
//
// Threads: a FileReplace belongs to one thread; any number may run at once.
#pragma once

#include <cstddef>

#include "core/platform/platform.h"

struct FileReplace {
  int fd;           // the temporary file, open for writing; -1 when none
  int directoryFd;  // the directory of both names; -1 when none
  char name[kPathMax];
  char temp[kPathMax];
};

// Starts replacing path (its directory must exist): *replace holds the open
// temporary file. 1; 0 with the error recorded and nothing left behind: 5 for
// a directory or another kind of file at the name, or an owner that cannot be
// kept (only root gives files away). Stops on a NULL argument.
int FileReplace_Begin(FileReplace *replace, const char *path);
// Writes all size bytes to the temporary file. 1; 0 with the error (112 when
// the disk is full).
int FileReplace_Write(FileReplace *replace, const void *data, size_t size);
// Syncs and closes the temporary file, renames it over the name, syncs the
// directory and closes it. 1; 0 with the error. A failure before the rename
// removes the temporary file and leaves the old one; after it (the
// directory's sync) the new file stands but may not survive a crash.
int FileReplace_Commit(FileReplace *replace);
// Closes and removes the temporary file; the old file stays. The thread's last
// error is kept. Does nothing on a replacement already ended.
void FileReplace_Abort(FileReplace *replace);
