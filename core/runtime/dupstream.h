// DupStream: the pair of byte queues between a network connection and the
// code that speaks a protocol over it: Inbound holds bytes that arrived and
// wait to be consumed, Outbound bytes that wait to be sent. Each queue is a
// growable, thread-safe MemoryStream capped at 1 MiB; nothing ever blocks:
// producers ask for the space left, consumers take what is there.
//
// Invariants: (1) each queue holds at most 1 MiB. (2) a write is all or
// nothing: one that does not fit queues nothing and answers 0. (3) bytes
// leave a queue in the order they entered it.
//
// Threads: any thread; each queue has its own re-entrant lock. A caller that
// needs several operations on one queue to be atomic holds that queue's lock
// (Lock/Unlock or a transaction) around them. Transfers lock the two queues in
// address order.
#pragma once

#include <cstdint>

#include "core/runtime/memstream.h"

constexpr uint32_t kDupStreamTag = 0x6d8a9d1f;

struct DupStream;

// Every operation below stops the program with "Pointer is NULL\n" on a NULL
// stream or out-pointer and with "Class mismatch pointer (...)" on an object
// that is not a duplex stream.

// Two empty queues with growth, the 1 MiB maximum and a lock. Returns 1.
int DupStream_Create(DupStream **stream);
// Releases both queues (stops the program while a buffer reference of one is
// out), frees the object and clears *stream. Also the class destroy function.
void DupStream_Release(DupStream **stream);
// Empties both queues (buffers kept); 1.
int DupStream_Empty(DupStream *stream);
// The inbound queue, for parsing in place with MemoryStream_GetBuffer, or
// filling in place with MemoryStream_ReserveAppend, under
// DupStream_LockInbound; 1.
int DupStream_GetInboundStream(DupStream *stream, MemoryStream **memoryStream);
// The outbound queue, for taking bytes only once they have been used: read
// them in place under DupStream_LockOutbound (or a transaction) and discard
// what was used; 1.
int DupStream_GetOutboundStream(DupStream *stream, MemoryStream **memoryStream);

// Per queue, forwarding to the MemoryStream operation of the same name:
// Lock/Unlock, Begin/EndTransaction (same stops), GetLength and GetSpace
// (space = 1 MiB minus the bytes queued; both 1), Read (ReadFront: up to
// length bytes from the front; a NULL buffer drops them), Printf
// (PrintfAppend), Transfer (from the source's queue into the destination's
// same queue, limited by the destination's space).
int DupStream_LockInbound(DupStream *stream);
int DupStream_UnlockInbound(DupStream *stream);
int DupStream_BeginInboundTransaction(DupStream *stream);
int DupStream_EndInboundTransaction(DupStream *stream, int rollback);
int DupStream_GetInboundLength(DupStream *stream, int32_t *bytes);
int DupStream_GetInboundSpace(DupStream *stream, int32_t *bytes);
int DupStream_ReadInbound(DupStream *stream, void *buffer, int32_t length, int32_t *read);
// Appends all length bytes, or nothing and 0 when they do not fit the space.
int DupStream_WriteInbound(DupStream *stream, const void *data, int32_t length);
int DupStream_PrintfInbound(DupStream *stream, const char *format, ...);
int DupStream_TransferInbound(DupStream *destination, DupStream *source);

int DupStream_LockOutbound(DupStream *stream);
int DupStream_UnlockOutbound(DupStream *stream);
int DupStream_BeginOutboundTransaction(DupStream *stream);
int DupStream_EndOutboundTransaction(DupStream *stream, int rollback);
int DupStream_GetOutboundLength(DupStream *stream, int32_t *bytes);
int DupStream_GetOutboundSpace(DupStream *stream, int32_t *bytes);
int DupStream_ReadOutbound(DupStream *stream, void *buffer, int32_t length, int32_t *read);
int DupStream_WriteOutbound(DupStream *stream, const void *data, int32_t length);
int DupStream_PrintfOutbound(DupStream *stream, const char *format, ...);
int DupStream_TransferOutbound(DupStream *destination, DupStream *source);
