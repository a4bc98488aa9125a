// Stream utilities; see stream.h.
#include "core/runtime/stream.h"

#include <cstdarg>
#include <cstring>

#include "core/runtime/print.h"

namespace {

constexpr int32_t kCopyBufferBytes = 4096;         // Stream_Copy's stack buffer
constexpr int32_t kCopyLengthBufferBytes = 16384;  // Stream_CopyLength's stack buffer

// Writes the bytes one read delivered; 1 only when all of them were taken.
int streamWriteAll(Stream *destination, const uint8_t *data, int32_t length) {
  int32_t written = 0;
  return Stream_Write(destination, data, length, &written) && written == length ? 1 : 0;
}

// Print sink of Stream_Printf. The engine hands over pieces of at most a
// few kilobytes, so a piece always fits the 32-bit write count.
struct StreamPrintSink {
  Stream *stream;
  int failed;
};

int streamPrintPiece(void *context, uint32_t flags, const char *text, int64_t length,
                     int64_t *written) {
  (void)flags;
  auto *sink = static_cast<StreamPrintSink *>(context);
  *written = 0;
  // The closing piece is empty, and a memory stream answers 0 to a 0-byte
  // write: empty pieces never reach the stream.
  if (length <= 0) return 1;
  if (length > INT32_MAX) {
    sink->failed = 1;
    return 0;
  }
  int32_t taken = 0;
  int ok = Stream_Write(sink->stream, text, int32_t(length), &taken);
  *written = taken;
  if (!ok || taken != length) {
    sink->failed = 1;
    return 0;
  }
  return 1;
}

}  // namespace

int Stream_Write(Stream *stream, const void *data, int32_t length, int32_t *written) {
  CHECK_POINTER(stream);
  CHECK_POINTER(data);
  CHECK_POINTER(written);
  *written = 0;
  if (stream->Write == nullptr) return 0;
  return stream->Write(stream->context, data, length, written);
}

int Stream_WriteString(Stream *stream, const char *text, int32_t *written) {
  CHECK_POINTER(text);
  size_t length = strlen(text);
  if (length > size_t(INT32_MAX)) {
    CHECK_POINTER(written);
    *written = 0;
    return 0;
  }
  return Stream_Write(stream, text, int32_t(length), written);
}

int Stream_Printf(Stream *stream, const char *format, ...) {
  CHECK_POINTER(stream);
  CHECK_POINTER(format);
  StreamPrintSink sink = {stream, 0};
  va_list args;
  va_start(args, format);
  Str_FormatToSink(format, streamPrintPiece, &sink, args);
  va_end(args);
  return sink.failed ? 0 : 1;
}

int Stream_Read(Stream *stream, void *buffer, int32_t length, int32_t *read) {
  CHECK_POINTER(stream);
  CHECK_POINTER(buffer);
  CHECK_POINTER(read);
  *read = 0;
  if (stream->Read == nullptr) return 0;
  return stream->Read(stream->context, buffer, length, read);
}

int Stream_Copy(Stream *destination, Stream *source) {
  CHECK_POINTER(destination);
  CHECK_POINTER(source);
  uint8_t buffer[kCopyBufferBytes];
  for (;;) {
    int32_t got = 0;
    int more = Stream_Read(source, buffer, kCopyBufferBytes, &got);
    if (got < 0 || got > kCopyBufferBytes) return 0;  // a source that breaks the record
    if (got > 0 && !streamWriteAll(destination, buffer, got)) return 0;
    // A read that answers 1 without bytes would repeat forever: it ends the
    // copy like the end of the data.
    if (!more || got == 0) return 1;
  }
}

int Stream_CopyLength(Stream *destination, Stream *source, int64_t count) {
  CHECK_POINTER(destination);
  CHECK_POINTER(source);
  if (count < 0) return 0;
  uint8_t buffer[kCopyLengthBufferBytes];
  int64_t remaining = count;
  while (remaining > 0) {
    int32_t want = remaining < kCopyLengthBufferBytes ? int32_t(remaining) : kCopyLengthBufferBytes;
    int32_t got = 0;
    int ok = Stream_Read(source, buffer, want, &got);
    if (got < 0 || got > want) return 0;
    // Bytes taken from the source are written even when the read reports a
    // failure, so that the destination holds all that left the source.
    if (got > 0 && !streamWriteAll(destination, buffer, got)) return 0;
    if (!ok || got == 0) return 0;  // ended or stalled before count bytes
    remaining -= got;
  }
  return 1;
}

int Stream_Seek(Stream *stream, StreamOrigin origin, int64_t offset) {
  CHECK_POINTER(stream);
  if (stream->Seek == nullptr) return 0;
  return stream->Seek(stream->context, offset, origin);
}

int Stream_Tell(Stream *stream, uint64_t *position) {
  CHECK_POINTER(stream);
  CHECK_POINTER(position);
  *position = 0;
  if (stream->Tell == nullptr) return 0;
  return stream->Tell(stream->context, position);
}

int Stream_GetSize(Stream *stream, int64_t *size) {
  CHECK_POINTER(stream);
  CHECK_POINTER(size);
  *size = 0;
  if (stream->GetSize == nullptr) return 0;
  return stream->GetSize(stream->context, size);
}
