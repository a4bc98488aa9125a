// Memory stream; see memstream.h.
#include "core/runtime/memstream.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "core/runtime/critsection.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"

struct MemoryStream {
  ObjectHeader header;
  Stream stream;                   // context = this object
  uint8_t *buffer;                 // NULL while there is none
  std::atomic<uint32_t> refCount;  // GetBuffer references out
  int32_t capacity;                // bytes allocated for buffer
  int32_t maximumSize;             // growth bound; 0 = none
  int32_t size;                    // usable bytes; writes stop here
  int64_t position;
  int32_t open;
  int32_t external;  // buffer belongs to the caller
  int32_t growth;
  int32_t length;            // data bytes from the start of buffer
  int32_t transactionStart;  // Length at Begin; -1 when none is open
  int32_t threadSafe;
  CriticalSection *lock;  // guards every field above once threadSafe is 1
};

namespace {

constexpr int32_t kNoTransaction = -1;

// Holds the stream's lock for a scope when the stream is thread-safe.
class MemoryStreamGuard {
 public:
  explicit MemoryStreamGuard(MemoryStream *stream)
      : lock_(stream->threadSafe ? stream->lock : nullptr) {
    if (lock_ != nullptr) CriticalSection_Enter(lock_);
  }
  ~MemoryStreamGuard() {
    if (lock_ != nullptr) CriticalSection_Leave(lock_);
  }
  MemoryStreamGuard(const MemoryStreamGuard &) = delete;
  MemoryStreamGuard &operator=(const MemoryStreamGuard &) = delete;

 private:
  CriticalSection *lock_;
};

int memoryStreamSlotWrite(void *context, const void *data, int32_t length, int32_t *written) {
  return MemoryStream_Write(static_cast<MemoryStream *>(context), data, length, written);
}
int memoryStreamSlotRead(void *context, void *buffer, int32_t length, int32_t *read) {
  return MemoryStream_Read(static_cast<MemoryStream *>(context), buffer, length, read);
}
int memoryStreamSlotSeek(void *context, int64_t offset, StreamOrigin origin) {
  return MemoryStream_Seek(static_cast<MemoryStream *>(context), offset, origin);
}
int memoryStreamSlotTell(void *context, uint64_t *position) {
  return MemoryStream_Tell(static_cast<MemoryStream *>(context), position);
}
int memoryStreamSlotGetSize(void *context, int64_t *size) {
  return MemoryStream_GetDataSize(static_cast<MemoryStream *>(context), size);
}
int memoryStreamSlotIsOpen(void *context) {
  return MemoryStream_IsOpen(static_cast<MemoryStream *>(context));
}
int memoryStreamSlotClose(void *context) {
  return MemoryStream_Reset(static_cast<MemoryStream *>(context));
}

constexpr Stream kMemoryStreamRecord = {
    nullptr,                  // context: set per object
    nullptr,                  // Peek
    memoryStreamSlotWrite,    // Write
    nullptr,                  // WriteAsync
    memoryStreamSlotRead,     // Read
    nullptr,                  // ReadAsync
    memoryStreamSlotSeek,     // Seek
    nullptr,                  // Flush: nothing is ever pending
    memoryStreamSlotTell,     // Tell
    memoryStreamSlotGetSize,  // GetSize
    memoryStreamSlotIsOpen,   // IsOpen
    memoryStreamSlotClose,    // Close
    0,                        // error
};

void memoryStreamDestroy(void **object) {
  MemoryStream_Release(reinterpret_cast<MemoryStream **>(object));
}

// Keeps the position within the data after the data shrank.
void memoryStreamClampPosition(MemoryStream *s) {
  if (s->position > s->length) s->position = s->length;
}

// Frees an owned buffer and clears everything that described it.
void memoryStreamDropBuffer(MemoryStream *s, const char *sourcePath, int line) {
  uint32_t references = s->refCount.load(std::memory_order_acquire);
  if (references != 0)
    Core_Abort(sourcePath, line,
               "Assertion failed (MemoryStream->RefCount == 0)\n"
               "Reference to buffer not released before being reset [%d]\n",
               int(references));
  if (s->buffer != nullptr && !s->external && s->capacity > 0)
    Mem_Free(s->buffer, s->capacity, KSRC);
  s->buffer = nullptr;
  s->capacity = 0;
  s->size = 0;
  s->length = 0;
  s->position = 0;
  s->open = 0;
  s->external = 0;
}

// The capacity a request of size bytes gets: 1.5 times the request once a
// buffer exists (the first one exactly the request), within 32 bits and the
// maximum.
int32_t memoryStreamNewCapacity(const MemoryStream *s, int32_t size) {
  int64_t capacity = s->capacity == 0 ? int64_t(size) : int64_t(size) + size / 2;
  if (capacity > INT32_MAX) capacity = INT32_MAX;
  if (s->maximumSize > 0 && capacity > s->maximumSize) capacity = s->maximumSize;
  return int32_t(capacity);
}

// Resize under the caller's lock; size >= 0 and the buffer is owned.
void memoryStreamResize(MemoryStream *s, int32_t size, int keepData) {
  if (size == 0) {
    memoryStreamDropBuffer(s, KSRC);
    return;
  }
  // The buffer stays when it already holds the request, or when the maximum
  // allows no more than it has.
  int32_t capacity = s->capacity >= size ? s->capacity : memoryStreamNewCapacity(s, size);
  if (capacity <= s->capacity) {
    s->size = size < s->capacity ? size : s->capacity;
    if (!keepData) s->length = 0;
    if (s->length > s->size) s->length = s->size;
    if (!keepData) s->position = 0;
    memoryStreamClampPosition(s);
    s->open = 1;
    return;
  }
  auto *buffer = static_cast<uint8_t *>(Mem_Alloc(capacity, 0, KSRC));
  int32_t kept = 0;
  int64_t position = 0;
  if (keepData) {
    kept = s->length < capacity ? s->length : capacity;
    if (kept > 0) memcpy(buffer, s->buffer, size_t(kept));
    position = s->position < kept ? s->position : kept;
  }
  memoryStreamDropBuffer(s, KSRC);  // the reset clears length and position
  s->buffer = buffer;
  s->capacity = capacity;
  s->size = size < capacity ? size : capacity;
  s->length = kept < s->size ? kept : s->size;
  s->position = position < s->length ? position : s->length;
  s->open = 1;
}

// Growth under the caller's lock: asks for Size + max(missing, least), where missing is what
// the write lacks. Returns 0 when the request passes 32 bits.
int memoryStreamGrow(MemoryStream *s, int64_t missing, int64_t least) {
  int64_t request = int64_t(s->size) + (missing > least ? missing : least);
  if (request > INT32_MAX) return 0;
  memoryStreamResize(s, int32_t(request), 1);
  return 1;
}

// The one write path, under the caller's lock: count > 0 bytes at offset
// (0 <= offset <= Length).
int memoryStreamWriteAt(MemoryStream *s, const void *data, int64_t offset, int32_t count,
                        int32_t *written) {
  int64_t available = int64_t(s->size) - offset;
  if (available < count && s->growth && !s->external) {
    if (!memoryStreamGrow(s, count - available, kMemoryStreamGrowthBytes)) {
      *written = 0;
      return 0;
    }
    available = int64_t(s->size) - offset;  // the maximum may have capped the growth
  }
  int32_t n = available < count ? int32_t(available > 0 ? available : 0) : count;
  if (n > 0) {
    memmove(s->buffer + offset, data, size_t(n));
    if (offset + n > s->length) s->length = int32_t(offset + n);
  }
  *written = n;
  return n != 0 ? 1 : 0;
}

// Removes count bytes from the front under the caller's lock; count is
// clamped to the data.
int32_t memoryStreamDiscard(MemoryStream *s, int32_t count) {
  if (count <= 0) return 0;
  if (count > s->length) count = s->length;
  int32_t rest = s->length - count;
  if (rest > 0) memmove(s->buffer, s->buffer + count, size_t(rest));
  s->length = rest;
  memoryStreamClampPosition(s);
  return count;
}

// Whether an empty destination may take the source's whole buffer instead
// of a copy of its data: both own growing buffers under the same maximum,
// with no buffer reference out and no transaction open. Both locks held.
bool memoryStreamCanSwap(const MemoryStream *d, const MemoryStream *s) {
  return d->length == 0 && !d->external && !s->external && d->growth && s->growth &&
         d->maximumSize == s->maximumSize && d->refCount.load() == 0 &&
         s->refCount.load() == 0 && d->transactionStart == kNoTransaction &&
         s->transactionStart == kNoTransaction;
}

// The source's data and buffer go to the destination and the destination's
// (empty) buffer to the source, which is left empty. Both locks held.
void memoryStreamSwapBuffers(MemoryStream *d, MemoryStream *s) {
  std::swap(d->buffer, s->buffer);
  std::swap(d->capacity, s->capacity);
  std::swap(d->size, s->size);
  std::swap(d->open, s->open);
  d->length = s->length;
  s->length = 0;
  memoryStreamClampPosition(d);
  memoryStreamClampPosition(s);
}

int memoryStreamReadAt(MemoryStream *s, void *buffer, int64_t offset, int32_t count,
                       int32_t *read) {
  *read = 0;
  if (count <= 0 || offset < 0 || offset >= s->length) return 0;
  int64_t available = s->length - offset;
  int32_t n = available < count ? int32_t(available) : count;
  memcpy(buffer, s->buffer + offset, size_t(n));
  *read = n;
  return 1;
}

}  // namespace

int MemoryStream_Create(MemoryStream **stream) {
  CHECK_POINTER(stream);
  auto *s = static_cast<MemoryStream *>(Mem_Alloc(sizeof(MemoryStream), MEM_ZEROED, KSRC));
  s->header.classTag = kMemoryStreamTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = memoryStreamDestroy;
  s->stream = kMemoryStreamRecord;
  s->stream.context = s;
  s->transactionStart = kNoTransaction;
  *stream = s;
  return 1;
}

void MemoryStream_Release(MemoryStream **stream) {
  CHECK_POINTER(stream);
  MemoryStream *s = *stream;
  CLASS_CHECK(s, kMemoryStreamTag);
  MemoryStream_Reset(s);
  *stream = nullptr;
  CriticalSection_Delete(&s->lock);
  s->header.classTag = 0;
  Mem_Free(s, sizeof(MemoryStream), KSRC);
}

int MemoryStream_Resize(MemoryStream *stream, int32_t size, int keepData) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  if (stream->external || size < 0) return 0;
  memoryStreamResize(stream, size, keepData);
  return 1;
}

int MemoryStream_Attach(MemoryStream *stream, void *buffer, int32_t dataLength,
                        int32_t bufferSize) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  if (buffer != nullptr && (dataLength < 0 || bufferSize < 0 || dataLength > bufferSize)) return 0;
  memoryStreamDropBuffer(stream, KSRC);
  if (buffer != nullptr) {
    stream->buffer = static_cast<uint8_t *>(buffer);
    stream->length = dataLength;
    stream->size = bufferSize;
    stream->capacity = bufferSize;
    stream->external = 1;
    stream->open = 1;
  }
  return 1;
}

int MemoryStream_EnableGrowth(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  stream->growth = 1;
  return 1;
}

int MemoryStream_SetMaximumSize(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  stream->maximumSize = kMemoryStreamMaximumBytes;
  return 1;
}

int MemoryStream_MakeThreadSafe(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  if (stream->lock == nullptr) CriticalSection_Create(&stream->lock);
  stream->threadSafe = 1;
  return 1;
}

int MemoryStream_GetStream(MemoryStream *stream, Stream **record) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(record);
  *record = &stream->stream;
  return 1;
}

int32_t MemoryStream_GetLength(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  return stream->length;
}

int32_t MemoryStream_GetRoom(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  return stream->size - stream->length;
}

int32_t MemoryStream_GetSpace(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  if (stream->maximumSize <= 0 || stream->length >= stream->maximumSize) return 0;
  return stream->maximumSize - stream->length;
}

int32_t MemoryStream_GetSize(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  return stream->size;
}

int32_t MemoryStream_GetCapacity(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  return stream->capacity;
}

int MemoryStream_GetBuffer(MemoryStream *stream, int32_t offset, uint8_t **pointer) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(pointer);
  *pointer = nullptr;
  if (stream->buffer == nullptr || offset < 0 || offset > stream->capacity) return 0;
  *pointer = stream->buffer + offset;
  stream->refCount.fetch_add(1, std::memory_order_acq_rel);
  return 1;
}

int MemoryStream_ReleaseBuffer(MemoryStream *stream, uint8_t **pointer) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(pointer);
  if (*pointer != nullptr) stream->refCount.fetch_sub(1, std::memory_order_acq_rel);
  *pointer = nullptr;
  return 1;
}

int MemoryStream_ReadAt(MemoryStream *stream, void *buffer, int64_t offset, int32_t count,
                        int32_t *read) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(buffer);
  CHECK_POINTER(read);
  MemoryStreamGuard guard(stream);
  return memoryStreamReadAt(stream, buffer, offset, count, read);
}

int MemoryStream_Read(MemoryStream *stream, void *buffer, int32_t count, int32_t *read) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(buffer);
  CHECK_POINTER(read);
  MemoryStreamGuard guard(stream);
  int ok = memoryStreamReadAt(stream, buffer, stream->position, count, read);
  stream->position += *read;
  return ok;
}

int MemoryStream_ReadFront(MemoryStream *stream, void *buffer, int32_t count, int32_t *read) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(read);
  MemoryStreamGuard guard(stream);
  *read = 0;
  if (buffer == nullptr) {
    *read = memoryStreamDiscard(stream, count);
    return 1;
  }
  if (!memoryStreamReadAt(stream, buffer, 0, count, read)) return 0;
  memoryStreamDiscard(stream, *read);
  return 1;
}

int MemoryStream_Write(MemoryStream *stream, const void *data, int32_t count, int32_t *written) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(data);
  CHECK_POINTER(written);
  *written = 0;
  if (count <= 0) return 0;
  MemoryStreamGuard guard(stream);
  int ok = memoryStreamWriteAt(stream, data, stream->position, count, written);
  stream->position += *written;
  return ok;
}

int MemoryStream_WriteAppend(MemoryStream *stream, const void *data, int32_t count,
                             int32_t *written) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(data);
  CHECK_POINTER(written);
  *written = 0;
  if (count <= 0) return 0;
  MemoryStreamGuard guard(stream);
  return memoryStreamWriteAt(stream, data, stream->length, count, written);
}

int MemoryStream_ReserveAppend(MemoryStream *stream, int32_t count, uint8_t **pointer) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(pointer);
  *pointer = nullptr;
  if (count <= 0) return 0;
  MemoryStreamGuard guard(stream);
  const int64_t available = int64_t(stream->size) - stream->length;
  if (available < count && stream->growth && !stream->external &&
      !memoryStreamGrow(stream, count - available, kMemoryStreamGrowthBytes))
    return 0;
  if (stream->buffer == nullptr || int64_t(stream->size) - stream->length < count) return 0;
  *pointer = stream->buffer + stream->length;
  stream->refCount.fetch_add(1, std::memory_order_acq_rel);
  return 1;
}

int MemoryStream_CommitAppend(MemoryStream *stream, uint8_t **pointer, int32_t count) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(pointer);
  if (*pointer == nullptr) return 0;
  MemoryStreamGuard guard(stream);
  stream->refCount.fetch_sub(1, std::memory_order_acq_rel);
  const bool ours = stream->buffer != nullptr && *pointer == stream->buffer + stream->length;
  *pointer = nullptr;
  if (!ours || count < 0 || count > stream->size - stream->length) return 0;
  stream->length += count;
  return 1;
}

int MemoryStream_PrintfAppend(MemoryStream *stream, const char *format, va_list args) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(format);
  va_list measure;
  va_copy(measure, args);
  int64_t n = Str_FormattedLength(format, measure);
  va_end(measure);
  if (n <= 0) return 1;
  if (n >= INT32_MAX) return 0;

  MemoryStreamGuard guard(stream);
  int64_t needed = n + 1;  // the text and the zero byte behind it
  if (int64_t(stream->size) - stream->length < needed) {
    if (!stream->growth || stream->external) return 0;
    if (!memoryStreamGrow(stream, needed, kMemoryStreamGrowthBytes)) return 0;
    if (int64_t(stream->size) - stream->length < needed) return 0;  // capped at the maximum
  }
  int printed = Str_VPrintf(reinterpret_cast<char *>(stream->buffer + stream->length), int(needed),
                            format, args);
  stream->length += printed;
  return 1;
}

int MemoryStream_Seek(MemoryStream *stream, int64_t offset, StreamOrigin origin) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  int64_t base;
  switch (origin) {
    case StreamOrigin::Begin:
      base = 0;
      break;
    case StreamOrigin::Current:
      base = stream->position;
      break;
    case StreamOrigin::End:
      base = stream->length;
      break;
    default:
      return 0;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) return 0;
  if (target < 0 || target > stream->length) return 0;
  stream->position = target;
  return 1;
}

int MemoryStream_Tell(MemoryStream *stream, uint64_t *position) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(position);
  MemoryStreamGuard guard(stream);
  *position = uint64_t(stream->position);
  return 1;
}

int MemoryStream_GetDataSize(MemoryStream *stream, int64_t *size) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  CHECK_POINTER(size);
  MemoryStreamGuard guard(stream);
  *size = stream->length;
  return 1;
}

int MemoryStream_IsOpen(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  return stream->open;
}

int MemoryStream_Discard(MemoryStream *stream, int32_t count) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  memoryStreamDiscard(stream, count);
  return stream->length > 0 ? 1 : 0;
}

int MemoryStream_Truncate(MemoryStream *stream, int32_t count) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  if (count > 0) stream->length = count < stream->length ? stream->length - count : 0;
  memoryStreamClampPosition(stream);
  return 1;
}

int MemoryStream_Empty(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  stream->length = 0;
  stream->position = 0;
  return 1;
}

int MemoryStream_Reset(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  memoryStreamDropBuffer(stream, KSRC);
  return 1;
}

int MemoryStream_Transfer(MemoryStream *destination, MemoryStream *source) {
  CLASS_CHECK(destination, kMemoryStreamTag);
  CLASS_CHECK(source, kMemoryStreamTag);
  if (destination == source) return 0;
  // Address order: two threads moving bytes in opposite directions take the
  // two locks in the same order.
  bool destinationFirst = destination < source;
  MemoryStreamGuard first(destinationFirst ? destination : source);
  MemoryStreamGuard second(destinationFirst ? source : destination);

  int32_t space = INT32_MAX;
  if (destination->maximumSize > 0)
    space = destination->length < destination->maximumSize
                ? destination->maximumSize - destination->length
                : 0;
  if (source->length == 0) return space > 0 ? 1 : 0;
  int32_t count = source->length < space ? source->length : space;
  if (count == 0) return 0;
  if (count == source->length && memoryStreamCanSwap(destination, source)) {
    memoryStreamSwapBuffers(destination, source);
    return 1;
  }
  int32_t written = 0;
  int ok = memoryStreamWriteAt(destination, source->buffer, destination->length, count, &written);
  if (ok && written > 0) memoryStreamDiscard(source, written);
  return ok;
}

int MemoryStream_BeginTransaction(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  if (stream->threadSafe && stream->lock != nullptr) CriticalSection_Enter(stream->lock);
  if (stream->transactionStart != kNoTransaction)
    Core_Abort(KSRC,
               "Assertion failed (MemoryStream->TransactionStart == -1)\n"
               "Buffer already in transaction");
  stream->transactionStart = stream->length;
  return 1;
}

int MemoryStream_EndTransaction(MemoryStream *stream, int rollback) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  MemoryStreamGuard guard(stream);
  if (stream->transactionStart == kNoTransaction)
    Core_Abort(KSRC,
               "Assertion failed (MemoryStream->TransactionStart != -1)\n"
               "Buffer not in transaction");
  if (rollback == 1 && stream->transactionStart <= stream->length) {
    stream->length = stream->transactionStart;
    memoryStreamClampPosition(stream);
  }
  stream->transactionStart = kNoTransaction;
  // The guard leaves once more at the end of the scope: this leave matches
  // the enter of BeginTransaction.
  if (stream->threadSafe && stream->lock != nullptr) CriticalSection_Leave(stream->lock);
  return 1;
}

int MemoryStream_Lock(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  if (!stream->threadSafe || stream->lock == nullptr) return 0;
  CriticalSection_Enter(stream->lock);
  return 1;
}

int MemoryStream_Unlock(MemoryStream *stream) {
  CLASS_CHECK(stream, kMemoryStreamTag);
  if (!stream->threadSafe || stream->lock == nullptr) return 0;
  CriticalSection_Leave(stream->lock);
  return 1;
}
