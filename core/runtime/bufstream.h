// BufferedStream: a read buffer or a write buffer in front of another stream
// (the inner stream, borrowed as its Stream record). The text readers and
// writers turn their many single-character reads and writes into 4096-byte
// operations on a file with it. One direction at a time: a stream that holds
// unwritten bytes refuses reads until they are flushed.
//
// Invariants: (1) Position is the inner stream's position as this object
// sees it: while reading, the end of the buffered data (the read buffer holds
// [Position - ReadLength, Position)); while writing, the start of the write
// buffer (it holds [Position, Position + WriteLength)). (2) at most one buffer
// holds data. (3) the logical position, which Tell reports, is Position
// minus the unread bytes, or Position plus WritePos. (4) a seek that leaves
// the buffered data flushes, drops both buffers and seeks the inner stream;
// pending writes are never dropped: a failed flush keeps the bytes that were
// not written.
//
// Threads: no lock; one thread at a time.
#pragma once

#include <cstdint>

#include "core/runtime/stream.h"

// The buffered and the null stream share the class tag; the kind word tells
// them apart.
constexpr uint32_t kBufferedStreamTag = 0xfe7794fa;
constexpr uint32_t kBufferedStreamKind = 0x42756653;  // "BufS"

struct BufferedStream;

// Every operation below stops the program with "Pointer is NULL\n" on a NULL
// stream or out-pointer and with "Class mismatch pointer (...)" on an object
// that is not a buffered stream.

// A new stream without inner stream and buffers. Returns 1.
int BufferedStream_Create(BufferedStream **stream);
// Frees both buffers and the object and clears *stream. Neither flushes nor
// closes: writers flush first. Also the class destroy function.
void BufferedStream_Release(BufferedStream **stream);

// Sets the inner stream (NULL: none) and takes its position when it can tell
// it. Bytes still in the write buffer are flushed to the previous inner
// stream first; returns 0, changing nothing, when that fails.
int BufferedStream_SetStream(BufferedStream *stream, Stream *inner);
// Replace the buffer of one side (bytes < 1: none). Unread bytes are dropped
// (the next read goes on behind them); unwritten bytes are flushed first, and
// a failed flush returns 0 with the old write buffer kept.
int BufferedStream_SetReadBufferSize(BufferedStream *stream, int32_t bytes);
int BufferedStream_SetWriteBufferSize(BufferedStream *stream, int32_t bytes);
int BufferedStream_GetStream(BufferedStream *stream, Stream **record);

// Read slot: 1 when any byte was delivered, 0 when none were (end of the
// inner data, no read buffer, no inner Read, or unwritten bytes pending).
int BufferedStream_Read(BufferedStream *stream, void *buffer, int32_t count, int32_t *read);
// Write slot: 1 when all count bytes were taken (count 0: at once). 0 when
// there is no write buffer or inner Write, when leaving the read side cannot
// seek the inner stream back, or when a flush of the full buffer fails; then
// *written tells the bytes that the buffer took.
int BufferedStream_Write(BufferedStream *stream, const void *data, int32_t count, int32_t *written);
// Flush slot: writes the buffered bytes to the inner stream and keeps the
// logical position. 1 when nothing is pending or all was written; 0 when the
// inner Write is missing, fails or stalls (the rest stays buffered) or the
// inner stream cannot be put back to the logical position.
int BufferedStream_Flush(BufferedStream *stream);
// Seek slot: moves within the buffered data when the target lies in it;
// otherwise flushes, drops both buffers and seeks the inner stream, and
// answers that seek's result. A negative target or an unknown origin gives 0
// and changes nothing.
int BufferedStream_Seek(BufferedStream *stream, int64_t offset, StreamOrigin origin);
// Tell slot: the logical position; asks the inner stream (0 without Tell).
int BufferedStream_Tell(BufferedStream *stream, uint64_t *position);
// GetSize slot: the inner stream's size; unwritten bytes are not counted.
int BufferedStream_GetSize(BufferedStream *stream, int64_t *size);
// IsOpen slot: the inner stream's answer; 0 without one.
int BufferedStream_IsOpen(BufferedStream *stream);
// Close slot: flushes, logs the efficiency lines, closes the inner stream.
// 1 when the flush (if anything was pending) and the inner Close succeeded.
int BufferedStream_Close(BufferedStream *stream);
