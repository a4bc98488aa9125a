// Null stream; see nullstream.h.
#include "core/runtime/nullstream.h"

#include "core/runtime/memory.h"

struct NullStream {
  ObjectHeader header;
  uint32_t kind;  // kNullStreamKind; the buffered stream shares the tag
  Stream stream;  // context = this object
  int64_t position;
  int64_t size;
};

namespace {

#define NULL_STREAM_CHECK(s) Stream_CheckKind((s), kNullStreamTag, kNullStreamKind, KSRC)

int nullStreamSlotWrite(void *context, const void *data, int32_t length, int32_t *written) {
  return NullStream_Write(static_cast<NullStream *>(context), data, length, written);
}
int nullStreamSlotRead(void *context, void *buffer, int32_t length, int32_t *read) {
  return NullStream_Read(static_cast<NullStream *>(context), buffer, length, read);
}
int nullStreamSlotSeek(void *context, int64_t offset, StreamOrigin origin) {
  return NullStream_Seek(static_cast<NullStream *>(context), offset, origin);
}
int nullStreamSlotTell(void *context, uint64_t *position) {
  return NullStream_Tell(static_cast<NullStream *>(context), position);
}
int nullStreamSlotGetSize(void *context, int64_t *size) {
  CHECK_POINTER(size);
  *size = NullStream_GetSize(static_cast<NullStream *>(context));
  return 1;
}
int nullStreamSlotAlwaysOne(void *context) {
  NULL_STREAM_CHECK(context);
  return 1;
}
int nullStreamSlotClose(void *context) {
  return NullStream_Close(static_cast<NullStream *>(context));
}

constexpr Stream kNullStreamRecord = {
    nullptr,                  // context: set per object
    nullptr,                  // Peek
    nullStreamSlotWrite,      // Write
    nullptr,                  // WriteAsync
    nullStreamSlotRead,       // Read
    nullptr,                  // ReadAsync
    nullStreamSlotSeek,       // Seek
    nullStreamSlotAlwaysOne,  // Flush
    nullStreamSlotTell,       // Tell
    nullStreamSlotGetSize,    // GetSize
    nullStreamSlotAlwaysOne,  // IsOpen
    nullStreamSlotClose,      // Close
    0,                        // error
};

void nullStreamDestroy(void **object) {
  NullStream_Release(reinterpret_cast<NullStream **>(object));
}

}  // namespace

int NullStream_Create(NullStream **stream) {
  CHECK_POINTER(stream);
  auto *s = static_cast<NullStream *>(Mem_Alloc(sizeof(NullStream), MEM_ZEROED, KSRC));
  s->header.classTag = kNullStreamTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = nullStreamDestroy;
  s->kind = kNullStreamKind;
  s->stream = kNullStreamRecord;
  s->stream.context = s;
  *stream = s;
  return 1;
}

void NullStream_Release(NullStream **stream) {
  CHECK_POINTER(stream);
  NullStream *s = *stream;
  NULL_STREAM_CHECK(s);
  *stream = nullptr;
  s->header.classTag = 0;
  Mem_Free(s, sizeof(NullStream), KSRC);
}

int NullStream_GetStream(NullStream *stream, Stream **record) {
  NULL_STREAM_CHECK(stream);
  CHECK_POINTER(record);
  *record = &stream->stream;
  return 1;
}

int64_t NullStream_GetSize(NullStream *stream) {
  NULL_STREAM_CHECK(stream);
  return stream->size;
}

int NullStream_Write(NullStream *stream, const void *data, int32_t count, int32_t *written) {
  NULL_STREAM_CHECK(stream);
  CHECK_POINTER(data);
  CHECK_POINTER(written);
  *written = 0;
  int64_t end;
  if (count < 0 || __builtin_add_overflow(stream->position, int64_t(count), &end)) return 0;
  if (end > stream->size) stream->size = end;
  stream->position = end;
  *written = count;
  return 1;
}

int NullStream_Read(NullStream *stream, void *buffer, int32_t count, int32_t *read) {
  NULL_STREAM_CHECK(stream);
  CHECK_POINTER(buffer);
  CHECK_POINTER(read);
  *read = 0;
  int64_t end;
  if (count < 0 || __builtin_add_overflow(stream->position, int64_t(count), &end)) return 0;
  stream->position = end;
  *read = count;
  return 1;
}

int NullStream_Seek(NullStream *stream, int64_t offset, StreamOrigin origin) {
  NULL_STREAM_CHECK(stream);
  int64_t base;
  switch (origin) {
    case StreamOrigin::Begin:
      base = 0;
      break;
    case StreamOrigin::Current:
      base = stream->position;
      break;
    case StreamOrigin::End:
      base = stream->size;
      break;
    default:
      Core_Abort(KSRC, "Invalid seek origin (%d)", int(origin));
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return 0;
  stream->position = target;
  return 1;
}

int NullStream_Tell(NullStream *stream, uint64_t *position) {
  NULL_STREAM_CHECK(stream);
  CHECK_POINTER(position);
  *position = uint64_t(stream->position);
  return 1;
}

int NullStream_Close(NullStream *stream) {
  NULL_STREAM_CHECK(stream);
  stream->position = 0;
  stream->size = 0;
  return 1;
}
