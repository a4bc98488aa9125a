// MemoryStream: the growable byte buffer with the Stream record: work buffer
// of parsers and writers, in-memory documents, the queues of the duplex
// stream. Besides the stream operations it appends, removes from the front or
// the end, hands out its bytes with a reference count, moves bytes to another
// memory stream, and offers transactions with rollback, a 1 MiB maximum,
// automatic growth and an optional re-entrant lock.
//
// Invariants: (1) 0 <= Position <= Length <= Size <= Capacity; the data is
// Buffer[0 .. Length). (2) sizes are 32-bit: a memory stream holds less than
// 2 GiB, and growth that would pass that answers 0. (3) no byte is ever
// written outside Buffer[0 .. Size); growth is capped at the maximum, and a
// write that still does not fit is cut (Write, WriteAppend) or refused
// (PrintfAppend). (4) an external buffer (Attach) is never freed, grown or
// resized. (5) the buffer is not freed while GetBuffer references are out.
//
// Threads: without MemoryStream_MakeThreadSafe, one thread at a time. With
// it, every operation except GetBuffer and ReleaseBuffer runs under the
// stream's re-entrant lock, and a transaction holds that lock from Begin to
// End. Transfer takes the two streams' locks in address order, so opposite
// transfers cannot deadlock. GetBuffer hands out the bytes without the lock:
// a caller that parses in place holds the lock around it.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/stream.h"

constexpr uint32_t kMemoryStreamTag = 0xa2214518;
constexpr int32_t kMemoryStreamMaximumBytes = 1048576;  // the one maximum in use (1 MiB)
constexpr int32_t kMemoryStreamGrowthBytes = 4096;      // least growth of a write that needs room

struct MemoryStream;

// Every operation below stops the program with "Pointer is NULL\n" on a NULL
// stream or out-pointer and with "Class mismatch pointer (...)" on an object
// that is not a memory stream.

// A new empty stream: no buffer, Size 0, closed. Without growth nothing can be
// written before Resize or Attach. Returns 1.
int MemoryStream_Create(MemoryStream **stream);
// Resets (see Reset for its stop), deletes the lock, frees the object and
// clears *stream. Also the class destroy function.
void MemoryStream_Release(MemoryStream **stream);

// Makes Size the usable size (capped at the capacity that the maximum
// allows). keepData 1 keeps the data up to the new Size and the position
// within it; keepData 0 empties the stream. Size 0 empties it and frees the
// buffer. A new buffer is 1.5 times the request (the first exactly the
// request). Returns 0, changing nothing, for an external buffer or a
// negative size.
int MemoryStream_Resize(MemoryStream *stream, int32_t size, int keepData);
// Resets, then serves the caller's buffer (bufferSize bytes, the first
// dataLength of them data; NULL leaves the stream reset). Returns 0, changing
// nothing, when the lengths are negative or dataLength > bufferSize.
int MemoryStream_Attach(MemoryStream *stream, void *buffer, int32_t dataLength, int32_t bufferSize);
int MemoryStream_EnableGrowth(MemoryStream *stream);    // there is no way back
int MemoryStream_SetMaximumSize(MemoryStream *stream);  // 1 MiB
int MemoryStream_MakeThreadSafe(MemoryStream *stream);  // creates the lock once
int MemoryStream_GetStream(MemoryStream *stream, Stream **record);

int32_t MemoryStream_GetLength(MemoryStream *stream);
int32_t MemoryStream_GetRoom(MemoryStream *stream);   // Size - Length
int32_t MemoryStream_GetSpace(MemoryStream *stream);  // maximum - Length; 0 without a maximum
int32_t MemoryStream_GetSize(MemoryStream *stream);
int32_t MemoryStream_GetCapacity(MemoryStream *stream);

// *pointer = Buffer + offset and one more reference; 0 with *pointer NULL when
// there is no buffer or offset lies outside [0, Capacity].
int MemoryStream_GetBuffer(MemoryStream *stream, int32_t offset, uint8_t **pointer);
// Drops the reference of a set *pointer and clears it; 1.
int MemoryStream_ReleaseBuffer(MemoryStream *stream, uint8_t **pointer);

// Copies min(count, Length - offset) bytes from offset; the position stays.
// 1 when any byte was copied; an offset outside the data copies nothing.
int MemoryStream_ReadAt(MemoryStream *stream, void *buffer, int64_t offset, int32_t count,
                        int32_t *read);
// Read slot: ReadAt at the position, which moves on by the bytes read.
int MemoryStream_Read(MemoryStream *stream, void *buffer, int32_t count, int32_t *read);
// Copies up to count bytes from the front and removes them; 0 when the stream
// is empty. A NULL buffer only drops them: *read = the bytes really dropped,
// result 1.
int MemoryStream_ReadFront(MemoryStream *stream, void *buffer, int32_t count, int32_t *read);

// Write slot: writes at the position, which moves on by the bytes written.
// Growth makes room first; without room the write is cut (result 1 with the
// shorter count) and with none at all answers 0. A count of 0 answers 0.
int MemoryStream_Write(MemoryStream *stream, const void *data, int32_t count, int32_t *written);
// As Write, at the end of the data; the position stays.
int MemoryStream_WriteAppend(MemoryStream *stream, const void *data, int32_t count,
                             int32_t *written);
// Room for count bytes behind the data, made as a write would make it
// (growth within the maximum): *pointer = Buffer + Length and one buffer
// reference; Length stays, so none of it is data yet. 0 with *pointer NULL
// when count is not positive or that much room cannot be had. The caller
// fills the room and ends with CommitAppend; on a thread-safe stream it holds
// the lock from the reserve to the commit.
int MemoryStream_ReserveAppend(MemoryStream *stream, int32_t count, uint8_t **pointer);
// Ends a reserve: the first count bytes of the room (0: none) become data,
// the reference is dropped and *pointer cleared. Returns 0, appending
// nothing, when *pointer is not Buffer + Length or count passes the room.
int MemoryStream_CommitAppend(MemoryStream *stream, uint8_t **pointer, int32_t count);
// Appends the formatted text behind the data, followed by a zero byte that is
// not part of the data; the position stays. Empty text gives 1. Returns 0,
// writing nothing, when the text and its zero byte do not fit (after growth).
// Stops the program on a NULL format.
int MemoryStream_PrintfAppend(MemoryStream *stream, const char *format, va_list args);

// Seek slot: the target must lie within [0, Length]; 0 leaves the position.
int MemoryStream_Seek(MemoryStream *stream, int64_t offset, StreamOrigin origin);
int MemoryStream_Tell(MemoryStream *stream, uint64_t *position);    // Tell slot; 1
int MemoryStream_GetDataSize(MemoryStream *stream, int64_t *size);  // GetSize slot: Length; 1
int MemoryStream_IsOpen(MemoryStream *stream);                      // IsOpen slot

// Removes count bytes (at most Length) from the front; the position is
// clamped, not shifted. 1 while data remains, 0 once the stream is empty.
int MemoryStream_Discard(MemoryStream *stream, int32_t count);
// Removes count bytes (at most Length) from the end; the position is clamped.
int MemoryStream_Truncate(MemoryStream *stream, int32_t count);
// Length and position 0, the buffer kept; 1.
int MemoryStream_Empty(MemoryStream *stream);
// Close slot: frees an owned buffer and clears buffer, capacity, size,
// length, position and the open and external flags; 1. Stops the program
// with "Assertion failed (MemoryStream->RefCount == 0)\nReference to buffer
// not released before being reset [%d]\n" while GetBuffer references are out.
int MemoryStream_Reset(MemoryStream *stream);

// Moves the source's data to the end of the destination, as much as the
// destination's space (with a maximum) and room (without growth) allow, and
// drops what moved from the source. Returns the append's result; an empty
// source gives 1 unless the destination is full at its maximum. Returns 0 for
// a stream transferred into itself.
int MemoryStream_Transfer(MemoryStream *destination, MemoryStream *source);

// Takes the lock and marks Length. Stops the program with "Assertion failed
// (MemoryStream->TransactionStart == -1)\nBuffer already in transaction"
// when one is open.
int MemoryStream_BeginTransaction(MemoryStream *stream);
// With rollback 1 cuts the data back to the mark (the position is clamped);
// closes the transaction and releases the lock. Stops the program with
// "Assertion failed (MemoryStream->TransactionStart != -1)\nBuffer not in
// transaction" when none is open.
int MemoryStream_EndTransaction(MemoryStream *stream, int rollback);

// Take or release the lock; 1 when the stream is thread-safe, else 0 and
// nothing is done.
int MemoryStream_Lock(MemoryStream *stream);
int MemoryStream_Unlock(MemoryStream *stream);
