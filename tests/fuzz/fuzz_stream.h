// A read-only memory stream over a fuzz input, for the targets that read
// files through streams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/runtime/memstream.h"

class FuzzStream {
 public:
  FuzzStream(const uint8_t *data, size_t size) {
    MemoryStream_Create(&memory_);
    MemoryStream_Attach(memory_, const_cast<uint8_t *>(data), int32_t(size), int32_t(size));
    MemoryStream_GetStream(memory_, &stream_);
  }
  ~FuzzStream() { MemoryStream_Release(&memory_); }
  FuzzStream(const FuzzStream &) = delete;
  FuzzStream &operator=(const FuzzStream &) = delete;
  Stream *stream() const { return stream_; }

 private:
  MemoryStream *memory_ = nullptr;
  Stream *stream_ = nullptr;
};
