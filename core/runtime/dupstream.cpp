// Duplex stream; see dupstream.h.
#include "core/runtime/dupstream.h"

#include <cstdarg>

#include "core/runtime/memory.h"

struct DupStream {
  ObjectHeader header;
  MemoryStream *inbound;
  MemoryStream *outbound;
};

namespace {

void dupStreamDestroy(void **object) { DupStream_Release(reinterpret_cast<DupStream **>(object)); }

MemoryStream *dupStreamCreateQueue(void) {
  MemoryStream *queue = nullptr;
  MemoryStream_Create(&queue);
  MemoryStream_EnableGrowth(queue);
  MemoryStream_SetMaximumSize(queue);
  MemoryStream_MakeThreadSafe(queue);
  return queue;
}

// All or nothing: the space is checked and the bytes appended under the
// queue's lock, so a concurrent producer cannot take the space in between.
int dupStreamWrite(MemoryStream *queue, const void *data, int32_t length) {
  CHECK_POINTER(data);
  MemoryStream_Lock(queue);
  int32_t written = 0;
  int ok = length <= MemoryStream_GetSpace(queue) &&
           MemoryStream_WriteAppend(queue, data, length, &written) && written == length;
  MemoryStream_Unlock(queue);
  return ok ? 1 : 0;
}

// The checked object's queue, with the public operation's source position.
MemoryStream *dupStreamInbound(DupStream *stream, const char *sourcePath, int line) {
  Class_Check(stream, kDupStreamTag, sourcePath, line);
  return stream->inbound;
}
MemoryStream *dupStreamOutbound(DupStream *stream, const char *sourcePath, int line) {
  Class_Check(stream, kDupStreamTag, sourcePath, line);
  return stream->outbound;
}

int dupStreamLength(MemoryStream *queue, int32_t *bytes) {
  CHECK_POINTER(bytes);
  *bytes = MemoryStream_GetLength(queue);
  return 1;
}

int dupStreamSpace(MemoryStream *queue, int32_t *bytes) {
  CHECK_POINTER(bytes);
  *bytes = MemoryStream_GetSpace(queue);
  return 1;
}

}  // namespace

int DupStream_Create(DupStream **stream) {
  CHECK_POINTER(stream);
  auto *s = static_cast<DupStream *>(Mem_Alloc(sizeof(DupStream), MEM_ZEROED, KSRC));
  s->header.classTag = kDupStreamTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = dupStreamDestroy;
  s->inbound = dupStreamCreateQueue();
  s->outbound = dupStreamCreateQueue();
  *stream = s;
  return 1;
}

void DupStream_Release(DupStream **stream) {
  CHECK_POINTER(stream);
  DupStream *s = *stream;
  CLASS_CHECK(s, kDupStreamTag);
  MemoryStream_Release(&s->inbound);
  MemoryStream_Release(&s->outbound);
  *stream = nullptr;
  s->header.classTag = 0;
  Mem_Free(s, sizeof(DupStream), KSRC);
}

int DupStream_Empty(DupStream *stream) {
  CLASS_CHECK(stream, kDupStreamTag);
  MemoryStream_Empty(stream->inbound);
  MemoryStream_Empty(stream->outbound);
  return 1;
}

int DupStream_GetInboundStream(DupStream *stream, MemoryStream **memoryStream) {
  CLASS_CHECK(stream, kDupStreamTag);
  CHECK_POINTER(memoryStream);
  *memoryStream = stream->inbound;
  return stream->inbound != nullptr ? 1 : 0;
}

int DupStream_GetOutboundStream(DupStream *stream, MemoryStream **memoryStream) {
  CLASS_CHECK(stream, kDupStreamTag);
  CHECK_POINTER(memoryStream);
  *memoryStream = stream->outbound;
  return stream->outbound != nullptr ? 1 : 0;
}

int DupStream_LockInbound(DupStream *stream) {
  return MemoryStream_Lock(dupStreamInbound(stream, KSRC));
}
int DupStream_UnlockInbound(DupStream *stream) {
  return MemoryStream_Unlock(dupStreamInbound(stream, KSRC));
}
int DupStream_BeginInboundTransaction(DupStream *stream) {
  return MemoryStream_BeginTransaction(dupStreamInbound(stream, KSRC));
}
int DupStream_EndInboundTransaction(DupStream *stream, int rollback) {
  return MemoryStream_EndTransaction(dupStreamInbound(stream, KSRC), rollback);
}
int DupStream_GetInboundLength(DupStream *stream, int32_t *bytes) {
  return dupStreamLength(dupStreamInbound(stream, KSRC), bytes);
}
int DupStream_GetInboundSpace(DupStream *stream, int32_t *bytes) {
  return dupStreamSpace(dupStreamInbound(stream, KSRC), bytes);
}
int DupStream_ReadInbound(DupStream *stream, void *buffer, int32_t length, int32_t *read) {
  return MemoryStream_ReadFront(dupStreamInbound(stream, KSRC), buffer, length, read);
}
int DupStream_WriteInbound(DupStream *stream, const void *data, int32_t length) {
  return dupStreamWrite(dupStreamInbound(stream, KSRC), data, length);
}
int DupStream_PrintfInbound(DupStream *stream, const char *format, ...) {
  MemoryStream *queue = dupStreamInbound(stream, KSRC);
  va_list args;
  va_start(args, format);
  int ok = MemoryStream_PrintfAppend(queue, format, args);
  va_end(args);
  return ok;
}
int DupStream_TransferInbound(DupStream *destination, DupStream *source) {
  return MemoryStream_Transfer(dupStreamInbound(destination, KSRC), dupStreamInbound(source, KSRC));
}

int DupStream_LockOutbound(DupStream *stream) {
  return MemoryStream_Lock(dupStreamOutbound(stream, KSRC));
}
int DupStream_UnlockOutbound(DupStream *stream) {
  return MemoryStream_Unlock(dupStreamOutbound(stream, KSRC));
}
int DupStream_BeginOutboundTransaction(DupStream *stream) {
  return MemoryStream_BeginTransaction(dupStreamOutbound(stream, KSRC));
}
int DupStream_EndOutboundTransaction(DupStream *stream, int rollback) {
  return MemoryStream_EndTransaction(dupStreamOutbound(stream, KSRC), rollback);
}
int DupStream_GetOutboundLength(DupStream *stream, int32_t *bytes) {
  return dupStreamLength(dupStreamOutbound(stream, KSRC), bytes);
}
int DupStream_GetOutboundSpace(DupStream *stream, int32_t *bytes) {
  return dupStreamSpace(dupStreamOutbound(stream, KSRC), bytes);
}
int DupStream_ReadOutbound(DupStream *stream, void *buffer, int32_t length, int32_t *read) {
  return MemoryStream_ReadFront(dupStreamOutbound(stream, KSRC), buffer, length, read);
}
int DupStream_WriteOutbound(DupStream *stream, const void *data, int32_t length) {
  return dupStreamWrite(dupStreamOutbound(stream, KSRC), data, length);
}
int DupStream_PrintfOutbound(DupStream *stream, const char *format, ...) {
  MemoryStream *queue = dupStreamOutbound(stream, KSRC);
  va_list args;
  va_start(args, format);
  int ok = MemoryStream_PrintfAppend(queue, format, args);
  va_end(args);
  return ok;
}
int DupStream_TransferOutbound(DupStream *destination, DupStream *source) {
  return MemoryStream_Transfer(dupStreamOutbound(destination, KSRC),
                               dupStreamOutbound(source, KSRC));
}
