// ExecutableFile: the readers of executable formats (PE, ELF) open a path as
// a File with read and shared read (0x21), work on its Stream and close it on
// every way out; this scope does that once for all of them, plus the bounded
// reads they share.
//
// Invariants: stream is NULL exactly when the open failed; the File is
// closed and released when the scope ends.
//
// Threads: one thread per scope.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/platform/file.h"
#include "core/runtime/bufstream.h"
#include "core/runtime/stream.h"
#include "core/security/hash.h"

class ExecutableFile {
 public:
  explicit ExecutableFile(const char *path) {
    File_Create(&file_);
    if (File_Open(file_, path, kFileModeRead | kFileModeShareRead)) File_GetStream(file_, &stream_);
  }
  ~ExecutableFile() {
    File_Close(file_);
    File_Release(&file_);
  }
  ExecutableFile(const ExecutableFile &) = delete;
  ExecutableFile &operator=(const ExecutableFile &) = delete;

  Stream *stream() const { return stream_; }

 private:
  File *file_ = nullptr;
  Stream *stream_ = nullptr;
};

// Reads exactly length bytes at offset (from the stream's start). 1 when all
// arrived.
inline int ExecutableFile_ReadAt(Stream *stream, int64_t offset, void *buffer, int64_t length) {
  if (offset < 0 || length < 0 || !Stream_Seek(stream, StreamOrigin::Begin, offset)) return 0;
  auto *out = static_cast<uint8_t *>(buffer);
  while (length > 0) {
    int32_t want = length > (int64_t(1) << 30) ? int32_t(1) << 30 : int32_t(length);
    int32_t got = 0;
    if (!Stream_Read(stream, out, want, &got) || got <= 0 || got > want) return 0;
    out += got;
    length -= got;
  }
  return 1;
}

// The stream's size; 0 when it cannot tell.
inline int64_t ExecutableFile_Size(Stream *stream) {
  int64_t size = 0;
  return Stream_GetSize(stream, &size) && size > 0 ? size : 0;
}

// Feeds byte ranges of a file into a hash: the file is read in large
// chunks through a buffer, and Stream_CopyLength hands the bytes on to a
// stream whose Write is Hash_Update.
class ExecutableHashFeed {
 public:
  static constexpr int32_t kChunkBytes = 256 * 1024;  // the hash, not the read, sets the pace

  ExecutableHashFeed(Stream *file, HashHandle *hash);
  ~ExecutableHashFeed() { BufferedStream_Release(&buffered_); }
  ExecutableHashFeed(const ExecutableHashFeed &) = delete;
  ExecutableHashFeed &operator=(const ExecutableHashFeed &) = delete;

  // Digests [from, to). False for a range backwards or a short read.
  bool Range(int64_t from, int64_t to);

 private:
  Stream sink_ = {};
  BufferedStream *buffered_ = nullptr;
  Stream *source_ = nullptr;
};

// Little-endian loads at any alignment; bigEndian flips them for the
// formats that come in both orders.
inline uint16_t ExecutableFile_Load16(const uint8_t *p, bool bigEndian = false) {
  uint16_t v;
  memcpy(&v, p, sizeof v);
  return bigEndian ? __builtin_bswap16(v) : v;
}
inline uint32_t ExecutableFile_Load32(const uint8_t *p, bool bigEndian = false) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return bigEndian ? __builtin_bswap32(v) : v;
}
inline uint64_t ExecutableFile_Load64(const uint8_t *p, bool bigEndian = false) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return bigEndian ? __builtin_bswap64(v) : v;
}
