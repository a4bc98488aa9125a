// NullStream: a stream that swallows every byte and only counts: the writers
// render a document into it to learn how many bytes the text will take.
//
// Invariants: (1) nothing is stored and nothing is allocated per write; a
// read delivers count bytes without touching the caller's buffer. (2) Size
// is the end of the furthest write: a write at Position makes Size at least
// Position + count. (3) Position never becomes negative.
//
// Threads: no lock; one thread at a time.
#pragma once

#include <cstdint>

#include "core/runtime/stream.h"

// The null and the buffered stream share the class tag; the kind word tells
// them apart.
constexpr uint32_t kNullStreamTag = 0xfe7794fa;
constexpr uint32_t kNullStreamKind = 0x4e756c53;  // "NulS"

struct NullStream;

// Every operation below stops the program with "Pointer is NULL\n" on a NULL
// stream or out-pointer and with "Class mismatch pointer (...)" on an object
// that is not a null stream.

int NullStream_Create(NullStream **stream);  // Position and Size 0; 1
// Frees the object and clears *stream. Also the class destroy function.
void NullStream_Release(NullStream **stream);
int NullStream_GetStream(NullStream *stream, Stream **record);
int64_t NullStream_GetSize(NullStream *stream);  // the Size counted so far

// The slots: Write counts (count 0 gives 1, a negative count 0); Read moves
// the position by count and delivers count bytes without touching the
// buffer; Seek sets the position (End: Size + offset) and answers 0 for a
// negative target or a position that would pass 63 bits; Tell, GetSize;
// Flush and IsOpen answer 1; Close sets Position and Size back to 0. Seek
// with an origin outside Begin, Current and End stops the program with
// "Invalid seek origin (%d)".
int NullStream_Write(NullStream *stream, const void *data, int32_t count, int32_t *written);
int NullStream_Read(NullStream *stream, void *buffer, int32_t count, int32_t *read);
int NullStream_Seek(NullStream *stream, int64_t offset, StreamOrigin origin);
int NullStream_Tell(NullStream *stream, uint64_t *position);
int NullStream_Close(NullStream *stream);
