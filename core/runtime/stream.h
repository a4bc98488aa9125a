// Stream: the one record of byte-stream operations that every stream object
// (memory, buffered, null, file, pipe) embeds, and the free functions that
// call through it. Readers and writers hold a Stream pointer and never know
// which kind of stream stands behind it.
//
// Invariants: (1) the record lives inside its stream object and is valid as
// long as the object; context is that object. (2) an empty slot means the
// operation is not offered: the utilities answer 0 without calling anything.
// (3) Read answers 1 when it delivered bytes (possibly fewer than asked) and
// 0 at the end of the data or on failure, and always reports the bytes
// delivered. (4) the utilities allocate nothing; the copies use fixed buffers
// on the stack.
//
// Threads: the utilities keep no state; a stream is as thread-safe as its
// implementation says.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

// Where a seek counts from. Its own type, so that Stream_Seek's (origin,
// offset) order and the slot's (offset, origin) order cannot be mixed up.
enum class StreamOrigin : int32_t {
  Begin = 0,    // the offset is the target
  Current = 1,  // the target is the position plus the offset
  End = 2,      // the target is the end of the data plus the offset
};

// Completion of a queued asynchronous read or write: the operation's offset,
// its buffer, the bytes done and the error (0 when none).
typedef void (*StreamAsyncCallback)(void *callbackContext, int64_t offset, void *buffer,
                                    uint32_t bytesDone, uint32_t error);

struct Stream {
  void *context;  // the stream object; handed to every slot as its first argument
  // 1 when bytes are waiting; *count = bytes available without taking them.
  int (*Peek)(void *context, void *buffer, int32_t size, int32_t *count);
  // 1 when the write succeeded; *written = bytes taken.
  int (*Write)(void *context, const void *data, int32_t length, int32_t *written);
  // 1 when the write was queued.
  int (*WriteAsync)(void *context, int64_t offset, const void *data, int32_t length,
                    StreamAsyncCallback callback, void *callbackContext);
  // See invariant (3).
  int (*Read)(void *context, void *buffer, int32_t length, int32_t *read);
  // 1 when the read was queued.
  int (*ReadAsync)(void *context, int64_t offset, void *buffer, int32_t length,
                   StreamAsyncCallback callback, void *callbackContext);
  int (*Seek)(void *context, int64_t offset, StreamOrigin origin);
  int (*Flush)(void *context);
  int (*Tell)(void *context, uint64_t *position);
  int (*GetSize)(void *context, int64_t *size);
  int (*IsOpen)(void *context);
  int (*Close)(void *context);
  int32_t error;  // the stream's error code; 0 when there is none
};

// Sets *written to 0, then answers the Write slot (0 when it is empty). Stops
// the program on a NULL stream, data or written.
int Stream_Write(Stream *stream, const void *data, int32_t length, int32_t *written);

// Writes the zero-terminated text without its terminator through
// Stream_Write. Stops the program on a NULL stream, text or written.
int Stream_WriteString(Stream *stream, const char *text, int32_t *written);

// Formats with the print engine and hands every non-empty piece it produces to
// Stream_Write; no buffer of the whole text is built. Returns 1 when every
// piece was taken whole; a failed or short write stops the formatting and
// gives 0. Stops the program on a NULL stream or format.
int Stream_Printf(Stream *stream, const char *format, ...);

// Sets *read to 0, then answers the Read slot (0 when it is empty). Stops the
// program on a NULL stream, buffer or read.
int Stream_Read(Stream *stream, void *buffer, int32_t length, int32_t *read);

// Copies everything the source still delivers into the destination through a
// 4096-byte buffer. Returns 1 once the source has nothing more to give (a read
// that answers 0, or 1 with no bytes); 0 when a write fails or takes fewer
// bytes than offered. Bytes that a read delivers are always written, also
// with its last answer. Stops the program on a NULL stream.
int Stream_Copy(Stream *destination, Stream *source);

// Copies exactly count bytes in steps of at most 16384. Returns 1 when all
// count bytes were copied (count 0: at once, without reading); 0 for a
// negative count, a source that ends or stalls before count bytes, and a
// failed or short write. Stops the program on a NULL stream.
int Stream_CopyLength(Stream *destination, Stream *source, int64_t count);

// Calls the Seek slot as (context, offset, origin); 0 when it is empty. Stops
// the program on a NULL stream.
int Stream_Seek(Stream *stream, StreamOrigin origin, int64_t offset);

// Sets the out value to 0, then answers the Tell or GetSize slot (0 when it is
// empty). Stops the program on a NULL stream or out-pointer.
int Stream_Tell(Stream *stream, uint64_t *position);
int Stream_GetSize(Stream *stream, int64_t *size);

// Stream classes that share one class tag (the buffered and the null stream)
// carry a kind word right behind the header, so that passing one for the
// other is still caught.
struct StreamKindHeader {
  ObjectHeader header;
  uint32_t kind;
};

// Stops with "Pointer is NULL\n" or "Class mismatch pointer (0x%p: expected
// 0x%08x but was 0x%08x)\n" (the tag, or else the kind, expected and found)
// at the caller's position unless object carries both tag and kind.
inline void Stream_CheckKind(const void *object, uint32_t tag, uint32_t kind,
                             const char *sourcePath, int line) {
  Class_Check(object, tag, sourcePath, line);
  uint32_t found = static_cast<const StreamKindHeader *>(object)->kind;
  if (found != kind)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               object, kind, found);
}
