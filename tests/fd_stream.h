// FdStream: a test-only Stream record on a POSIX descriptor. It stands in for
// the file class in tests of the streams that sit on top of a file, and can
// be told to cut reads and writes short or to fail writes after a budget, so
// that every I/O step can be made to fail.
#pragma once

#include <cstdint>
#include <string>

#include "core/runtime/stream.h"

struct FdStream {
  Stream stream;  // context = this record
  int fd = -1;
  int32_t maxReadChunk = 0;   // > 0: a read delivers at most this many bytes
  int32_t maxWriteChunk = 0;  // > 0: a write takes at most this many bytes
  int64_t writeBudget = -1;   // >= 0: bytes that writes may still take; then they fail
  int failSeeks = 0;          // 1: every seek fails
  int64_t readCalls = 0;
  int64_t writeCalls = 0;
  int64_t seekCalls = 0;
};

// Opens path for reading, or creates or truncates it for reading and writing.
// NULL when open(2) fails.
FdStream *FdStream_OpenRead(const std::string &path);
FdStream *FdStream_OpenWrite(const std::string &path);
// Closes the descriptor if still open and frees the record.
void FdStream_Destroy(FdStream *stream);

// A fresh empty directory for one test, removed with its files by
// Test_RemoveDirectory.
std::string Test_MakeTempDirectory(void);
void Test_RemoveDirectory(const std::string &path);
// Whole-file helpers on plain read(2) and write(2): the oracle side.
void Test_WriteFile(const std::string &path, const std::string &bytes);
std::string Test_ReadFile(const std::string &path);
