// Buffered stream; see bufstream.h.
#include "core/runtime/bufstream.h"

#include <cstdarg>
#include <cstring>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"

namespace {

constexpr const char kBufferedStreamClassName[] = "BufferedStream";
constexpr int kBufferedStreamTraceLevel = 11;  // the lines on the per-byte path
constexpr int kBufferedStreamCloseLevel = 0;

}  // namespace

struct BufferedStream {
  ObjectHeader header;
  uint32_t kind;     // kBufferedStreamKind; the null stream shares the tag
  ClassLog log;      // "BufferedStream"; its verbosity is looked up once
  Stream stream;     // context = this object
  Stream *inner;     // borrowed
  uint8_t *readBuffer;
  int32_t readBufferSize;
  int32_t readLength;  // bytes in the read buffer
  int32_t readPos;     // of them already handed out
  int32_t readCopies;
  int32_t readFills;
  uint8_t *writeBuffer;
  int32_t writeBufferSize;
  int32_t writeLength;  // bytes in the write buffer
  int32_t writePos;     // where the next byte goes
  int32_t writeCopies;
  int32_t writeFlushes;
  int64_t position;  // see invariant (1) in bufstream.h
};

namespace {

#define BUFFERED_STREAM_CHECK(s) \
  Stream_CheckKind((s), kBufferedStreamTag, kBufferedStreamKind, KSRC)

// The class log's verbosity is looked up on first use and cached, so with
// logging off the per-byte lines cost one cached check and no formatting.
inline bool bufferedStreamLogOn(BufferedStream *s, int level) {
  return Class_LogEnabled(&s->log, level) && Log_IsEnabled();
}

void bufferedStreamLog(BufferedStream *s, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Class_LogPrint(&s->log, 0, format, args);
  va_end(args);
}

int bufferedStreamSlotWrite(void *context, const void *data, int32_t length, int32_t *written) {
  return BufferedStream_Write(static_cast<BufferedStream *>(context), data, length, written);
}
int bufferedStreamSlotRead(void *context, void *buffer, int32_t length, int32_t *read) {
  return BufferedStream_Read(static_cast<BufferedStream *>(context), buffer, length, read);
}
int bufferedStreamSlotSeek(void *context, int64_t offset, StreamOrigin origin) {
  return BufferedStream_Seek(static_cast<BufferedStream *>(context), offset, origin);
}
int bufferedStreamSlotFlush(void *context) {
  return BufferedStream_Flush(static_cast<BufferedStream *>(context));
}
int bufferedStreamSlotTell(void *context, uint64_t *position) {
  return BufferedStream_Tell(static_cast<BufferedStream *>(context), position);
}
int bufferedStreamSlotGetSize(void *context, int64_t *size) {
  return BufferedStream_GetSize(static_cast<BufferedStream *>(context), size);
}
int bufferedStreamSlotIsOpen(void *context) {
  return BufferedStream_IsOpen(static_cast<BufferedStream *>(context));
}
int bufferedStreamSlotClose(void *context) {
  return BufferedStream_Close(static_cast<BufferedStream *>(context));
}

constexpr Stream kBufferedStreamRecord = {
    nullptr,                    // context: set per object
    nullptr,                    // Peek
    bufferedStreamSlotWrite,    // Write
    nullptr,                    // WriteAsync
    bufferedStreamSlotRead,     // Read
    nullptr,                    // ReadAsync
    bufferedStreamSlotSeek,     // Seek
    bufferedStreamSlotFlush,    // Flush
    bufferedStreamSlotTell,     // Tell
    bufferedStreamSlotGetSize,  // GetSize
    bufferedStreamSlotIsOpen,   // IsOpen
    bufferedStreamSlotClose,    // Close
    0,                          // error
};

void bufferedStreamDestroy(void **object) {
  BufferedStream_Release(reinterpret_cast<BufferedStream **>(object));
}

int64_t bufferedStreamLogical(const BufferedStream *s) {
  return s->position - (s->readLength - s->readPos) + s->writePos;
}

// Refills the read buffer from the inner stream once everything in it was
// handed out. Returns 0 when the inner stream delivered nothing.
bool bufferedStreamFill(BufferedStream *s, bool log) {
  if (s->readLength == s->readBufferSize) s->readPos = s->readLength = 0;
  int32_t room = s->readBufferSize - s->readLength;
  int32_t got = 0;
  s->inner->Read(s->inner->context, s->readBuffer + s->readLength, room, &got);
  s->readFills++;
  if (got < 0 || got > room) got = 0;  // an inner stream that breaks the record
  s->readLength += got;
  s->position += got;
  if (log)
    bufferedStreamLog(s, "Filled [Read %d/%d Buf %d:%d Pos %lld]", got, room, s->readPos,
                      s->readLength, s->position);
  return got > 0;
}

// Drops the buffered data and seeks the inner stream to (offset, origin),
// then takes the inner stream's position. Pending writes are flushed first;
// unread bytes are dropped only once the inner seek succeeded.
int bufferedStreamLeave(BufferedStream *s, int64_t offset, StreamOrigin origin) {
  Stream *inner = s->inner;
  if (inner == nullptr || inner->Seek == nullptr) return 0;
  if (s->writeLength > 0 && !BufferedStream_Flush(s)) return 0;
  if (!inner->Seek(inner->context, offset, origin)) return 0;
  s->readLength = s->readPos = 0;
  uint64_t told = 0;
  if (inner->Tell != nullptr && inner->Tell(inner->context, &told)) {
    s->position = int64_t(told);
    return 1;
  }
  // An inner stream that seeks but cannot tell: only an absolute target is
  // known.
  if (origin != StreamOrigin::Begin) return 0;
  s->position = offset;
  return 1;
}

}  // namespace

int BufferedStream_Create(BufferedStream **stream) {
  CHECK_POINTER(stream);
  auto *s = static_cast<BufferedStream *>(Mem_Alloc(sizeof(BufferedStream), MEM_ZEROED, KSRC));
  s->header.classTag = kBufferedStreamTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = bufferedStreamDestroy;
  s->kind = kBufferedStreamKind;
  s->log.object = s;
  s->log.className = kBufferedStreamClassName;
  s->stream = kBufferedStreamRecord;
  s->stream.context = s;
  *stream = s;
  return 1;
}

void BufferedStream_Release(BufferedStream **stream) {
  CHECK_POINTER(stream);
  BufferedStream *s = *stream;
  BUFFERED_STREAM_CHECK(s);
  *stream = nullptr;
  if (s->readBuffer != nullptr) Mem_Free(s->readBuffer, s->readBufferSize, KSRC);
  if (s->writeBuffer != nullptr) Mem_Free(s->writeBuffer, s->writeBufferSize, KSRC);
  s->header.classTag = 0;
  Mem_Free(s, sizeof(BufferedStream), KSRC);
}

int BufferedStream_SetStream(BufferedStream *stream, Stream *inner) {
  BUFFERED_STREAM_CHECK(stream);
  if (stream->writeLength > 0 && !BufferedStream_Flush(stream)) return 0;
  stream->inner = inner;
  stream->readLength = stream->readPos = 0;
  stream->position = 0;
  uint64_t told = 0;
  if (inner != nullptr && inner->Tell != nullptr && inner->Tell(inner->context, &told))
    stream->position = int64_t(told);
  return 1;
}

int BufferedStream_SetReadBufferSize(BufferedStream *stream, int32_t bytes) {
  BUFFERED_STREAM_CHECK(stream);
  if (stream->readBuffer != nullptr) Mem_Free(stream->readBuffer, stream->readBufferSize, KSRC);
  stream->readBuffer = nullptr;
  stream->readBufferSize = 0;
  stream->readLength = stream->readPos = 0;
  if (bytes >= 1) {
    stream->readBuffer = static_cast<uint8_t *>(Mem_Alloc(bytes, 0, KSRC));
    stream->readBufferSize = bytes;
  }
  return 1;
}

int BufferedStream_SetWriteBufferSize(BufferedStream *stream, int32_t bytes) {
  BUFFERED_STREAM_CHECK(stream);
  if (stream->writeLength > 0 && !BufferedStream_Flush(stream)) return 0;
  if (stream->writeBuffer != nullptr) Mem_Free(stream->writeBuffer, stream->writeBufferSize, KSRC);
  stream->writeBuffer = nullptr;
  stream->writeBufferSize = 0;
  if (bytes >= 1) {
    stream->writeBuffer = static_cast<uint8_t *>(Mem_Alloc(bytes, 0, KSRC));
    stream->writeBufferSize = bytes;
  }
  return 1;
}

int BufferedStream_GetStream(BufferedStream *stream, Stream **record) {
  BUFFERED_STREAM_CHECK(stream);
  CHECK_POINTER(record);
  *record = &stream->stream;
  return 1;
}

int BufferedStream_Read(BufferedStream *stream, void *buffer, int32_t count, int32_t *read) {
  BUFFERED_STREAM_CHECK(stream);
  CHECK_POINTER(buffer);
  CHECK_POINTER(read);
  *read = 0;
  BufferedStream *s = stream;
  if (s->inner == nullptr || s->inner->Read == nullptr) return 0;
  bool log = bufferedStreamLogOn(s, kBufferedStreamTraceLevel);
  if (log) bufferedStreamLog(s, "Read [Size %ld Pos %lld]", count, s->position);
  if (s->writeLength > 0) {
    // The inner stream stands at the start of the unwritten bytes: reading
    // there would move the place where the flush writes them.
    if (log)
      bufferedStreamLog(s, "Switch from write to read, not yet supported [%lld]", s->position);
    return 0;
  }
  if (count <= 0 || s->readBuffer == nullptr) return 0;

  auto *out = static_cast<uint8_t *>(buffer);
  int32_t copied = 0;
  while (copied < count) {
    if (s->readPos == s->readLength && !bufferedStreamFill(s, log)) break;
    int32_t available = s->readLength - s->readPos;
    int32_t n = count - copied < available ? count - copied : available;
    if (n == 1)  // the parsers' single characters
      out[copied] = s->readBuffer[s->readPos];
    else
      memcpy(out + copied, s->readBuffer + s->readPos, size_t(n));
    s->readPos += n;
    s->readCopies++;
    copied += n;
    if (log)
      bufferedStreamLog(s, "Emptied [Copied %d Remaining %d Buf %d:%d Pos %lld]", n, count - copied,
                        s->readPos, s->readLength, s->position);
  }
  *read = copied;
  return copied > 0 ? 1 : 0;
}

int BufferedStream_Write(BufferedStream *stream, const void *data, int32_t count,
                         int32_t *written) {
  BUFFERED_STREAM_CHECK(stream);
  CHECK_POINTER(data);
  CHECK_POINTER(written);
  *written = 0;
  BufferedStream *s = stream;
  Stream *inner = s->inner;
  if (inner == nullptr || inner->Write == nullptr || count < 0) return 0;
  bool log = bufferedStreamLogOn(s, kBufferedStreamTraceLevel);
  if (log)
    bufferedStreamLog(s, "Write [Size %ld Len %d Pos %lld]", count, s->writeLength, s->position);
  if (count == 0) return 1;
  if (s->writeBuffer == nullptr) return 0;

  if (s->readLength > 0) {
    // The inner stream stands behind the unread bytes; the write belongs at
    // the logical position.
    int32_t unread = s->readLength - s->readPos;
    int64_t logical = s->position - unread;
    if (unread > 0 &&
        (inner->Seek == nullptr || !inner->Seek(inner->context, logical, StreamOrigin::Begin)))
      return 0;
    s->position = logical;
    s->readLength = s->readPos = 0;
    if (log) bufferedStreamLog(s, "Switch from read to write [%lld]", s->position);
  }

  auto *in = static_cast<const uint8_t *>(data);
  int32_t remaining = count;
  while (remaining > 0) {
    int32_t room = s->writeBufferSize - s->writePos;
    int32_t n = remaining < room ? remaining : room;
    if (n > 0) {
      memcpy(s->writeBuffer + s->writePos, in, size_t(n));
      in += n;
      remaining -= n;
      s->writePos += n;
      s->writeCopies++;
      if (s->writePos > s->writeLength) s->writeLength = s->writePos;
      if (log)
        bufferedStreamLog(s, "Write copy [Remaining %d Write %d:%d Len %d]", remaining, s->writePos,
                          n, s->writeLength);
    }
    if (s->writePos == s->writeBufferSize && !BufferedStream_Flush(s)) {
      *written = count - remaining;
      return 0;
    }
  }
  *written = count;
  return 1;
}

int BufferedStream_Flush(BufferedStream *stream) {
  BUFFERED_STREAM_CHECK(stream);
  BufferedStream *s = stream;
  Stream *inner = s->inner;
  if (inner == nullptr || inner->Write == nullptr) return 0;
  if (s->writeLength == 0) return 1;
  bool log = bufferedStreamLogOn(s, kBufferedStreamTraceLevel);
  int32_t done = 0;
  while (done < s->writeLength) {
    int32_t rest = s->writeLength - done;
    int32_t taken = 0;
    inner->Write(inner->context, s->writeBuffer + done, rest, &taken);
    s->writeFlushes++;
    if (log) bufferedStreamLog(s, "Write flush [%d:%d Len %d]\n", done, taken, s->writeLength);
    if (taken <= 0 || taken > rest) break;  // failed or stalled
    done += taken;
    s->position += taken;
  }
  if (done < s->writeLength) {
    // Keep what the inner stream did not take, at the front of the buffer
    // where the inner position now stands, for a later flush.
    memmove(s->writeBuffer, s->writeBuffer + done, size_t(s->writeLength - done));
    s->writeLength -= done;
    s->writePos = s->writePos > done ? s->writePos - done : 0;
    return 0;
  }
  // A seek back into the buffer left the logical position before its end:
  // put the inner stream back there, so the next write lands where it should.
  int32_t behind = s->writeLength - s->writePos;
  s->writeLength = s->writePos = 0;
  if (behind > 0) {
    int64_t logical = s->position - behind;
    if (inner->Seek == nullptr || !inner->Seek(inner->context, logical, StreamOrigin::Begin))
      return 0;
    s->position = logical;
  }
  return 1;
}

int BufferedStream_Seek(BufferedStream *stream, int64_t offset, StreamOrigin origin) {
  BUFFERED_STREAM_CHECK(stream);
  BufferedStream *s = stream;
  if (bufferedStreamLogOn(s, kBufferedStreamTraceLevel))
    bufferedStreamLog(s, "Seek [Origin %d Offset %llu Pos %lld]\n", int(origin), uint64_t(offset),
                      s->position);
  int64_t target = 0;
  switch (origin) {
    case StreamOrigin::Begin:
      target = offset;
      break;
    case StreamOrigin::Current:
      if (__builtin_add_overflow(bufferedStreamLogical(s), offset, &target)) return 0;
      break;
    case StreamOrigin::End: {
      // The end counts the unwritten bytes too, so a writer that seeks to
      // the end of what it wrote stays within its buffer.
      Stream *inner = s->inner;
      int64_t size = 0;
      if (inner == nullptr || inner->GetSize == nullptr || !inner->GetSize(inner->context, &size))
        return bufferedStreamLeave(s, offset, origin);
      if (s->position + s->writeLength > size) size = s->position + s->writeLength;
      if (__builtin_add_overflow(size, offset, &target)) return 0;
      break;
    }
    default:
      return 0;
  }
  if (target < 0) return 0;
  if (s->writeLength > 0 && s->position <= target && target <= s->position + s->writeLength) {
    s->writePos = int32_t(target - s->position);
    return 1;
  }
  if (s->readLength > 0 && s->position - s->readLength <= target && target <= s->position) {
    s->readPos = s->readLength - int32_t(s->position - target);
    return 1;
  }
  return bufferedStreamLeave(s, target, StreamOrigin::Begin);
}

int BufferedStream_Tell(BufferedStream *stream, uint64_t *position) {
  BUFFERED_STREAM_CHECK(stream);
  CHECK_POINTER(position);
  *position = 0;
  BufferedStream *s = stream;
  Stream *inner = s->inner;
  if (inner == nullptr || inner->Tell == nullptr) return 0;
  uint64_t told = 0;
  if (!inner->Tell(inner->context, &told)) return 0;
  s->position = int64_t(told);
  if (bufferedStreamLogOn(s, kBufferedStreamTraceLevel))
    bufferedStreamLog(s, "Tell [Pos %llu ReadPos %d WritePos %d]\n", told, s->readPos, s->writePos);
  *position = uint64_t(bufferedStreamLogical(s));
  return 1;
}

int BufferedStream_GetSize(BufferedStream *stream, int64_t *size) {
  BUFFERED_STREAM_CHECK(stream);
  CHECK_POINTER(size);
  *size = 0;
  Stream *inner = stream->inner;
  if (inner == nullptr || inner->GetSize == nullptr) return 0;
  return inner->GetSize(inner->context, size);
}

int BufferedStream_IsOpen(BufferedStream *stream) {
  BUFFERED_STREAM_CHECK(stream);
  Stream *inner = stream->inner;
  if (inner == nullptr || inner->IsOpen == nullptr) return 0;
  return inner->IsOpen(inner->context);
}

int BufferedStream_Close(BufferedStream *stream) {
  BUFFERED_STREAM_CHECK(stream);
  BufferedStream *s = stream;
  // A reader's inner stream may have no Write slot: only pending bytes make
  // the flush count.
  int flushed = s->writeLength > 0 ? BufferedStream_Flush(s) : 1;
  if (bufferedStreamLogOn(s, kBufferedStreamCloseLevel)) {
    bufferedStreamLog(s, "Close");
    if (s->readCopies + s->readFills > 0)
      bufferedStreamLog(s, "Read efficiency %.02f%%",
                        double(s->readCopies) / double(s->readFills + s->readCopies) * 100.0);
    if (s->writeCopies + s->writeFlushes > 0)
      bufferedStreamLog(s, "Write efficiency %.02f%%",
                        double(s->writeCopies) / double(s->writeFlushes + s->writeCopies) * 100.0);
  }
  s->readLength = s->readPos = 0;
  Stream *inner = s->inner;
  int closed = inner != nullptr && inner->Close != nullptr ? inner->Close(inner->context) : 0;
  return flushed && closed ? 1 : 0;
}
