// PrivateFile: appending whole lines to a file only its owner may read, for
// data that must not leak to other users (the TLS key log).
//
// Invariants: (1) a file the call creates gets mode 0600; an existing one
// keeps its mode. (2) a line goes out in one append write, so lines of
// concurrent writers (threads or processes) never interleave. (3) the file
// is open only for the length of one call.
//
// Threads: any thread.
#pragma once

#include <cstdint>

// Appends length bytes of text (one line, its line feed included) to the file
// at path, creating it when missing. 1 when every byte was written; 0 when
// the file cannot be opened or the write falls short.
int PrivateFile_AppendLine(const char *path, const char *text, int32_t length);
