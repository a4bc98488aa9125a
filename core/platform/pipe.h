// Pipe: the script-visible named pipe. A page or a task names it, opens it
// (its server end, or a client end of a pipe served elsewhere), writes to it,
// and receives what arrives as "Pipe"."Read" notifications whose info
// {"buffer"} holds the bytes in Base64. The pipe is the platform's NamedPipe;
// this object adds the name under the "{PipePath}" prefix, byte counters, the
// stream record and the poll that turns arriving bytes into notifications.
//
// Invariants: (1) the name field holds at most 319 characters; a longer
// name is refused, never cut, so a pipe never opens a different name than it
// was given. (2) the byte counters count what Read and Write moved since the
// last open and are 0 after a close. (3) the stream record's context is the
// pipe and lives as long as it.
//
// Threads: one thread at a time (the caller serialises). Pipe_Poll fires
// notifications, which are delivered at once only on the main thread; the
// product polls there.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/stream.h"

constexpr uint32_t kPipeTag = 0xd37c58a8;
// The name field: 319 characters and the terminator.
constexpr int kPipeNameBytes = 320;
// A poll reads at most this much, so one notification stays small.
constexpr int32_t kPipePollBytes = 4096;

struct Pipe;

// A closed pipe with a fresh instance id, no name, buffer size 0 and
// counters 0; released through Class_Release (the destroy function closes
// it). Returns 1. Stops the program on a NULL out-pointer.
int Pipe_Create(Pipe **pipe);

// Every function below stops the program with "Pointer is NULL\n" on a NULL
// pipe or out-pointer and with "Class mismatch pointer (...)" on a foreign
// object.

// Stores the name. 0, keeping the old one, for a name of more than 319
// characters.
int Pipe_SetName(Pipe *pipe, const char *name);
int Pipe_GetName(Pipe *pipe, const char **name);
// The socket buffers of the next open. 0, keeping the old size, below 1.
int Pipe_SetBufferSize(Pipe *pipe, int32_t size);
int Pipe_GetBufferSize(Pipe *pipe, int32_t *size);
// 1: the next open connects to a pipe served elsewhere; 0: it serves the name.
int Pipe_SetOpenExisting(Pipe *pipe, int32_t openExisting);
int Pipe_GetOpenExisting(Pipe *pipe, int32_t *openExisting);
// The stream record (Peek, Write, Read, Flush, IsOpen and Close offered).
Stream *Pipe_GetStream(Pipe *pipe);
// The bytes read and written since the last open.
int Pipe_GetByteCounts(Pipe *pipe, uint64_t *bytesRead, uint64_t *bytesWritten);

// Closes any open pipe, expands the macros of "{PipePath}" followed by the
// name and opens the platform pipe with the buffer size: a client end when
// open-existing is set, else the server end. 1 when open; 0 with the
// platform's error otherwise.
int Pipe_Open(Pipe *pipe);
// Releases the platform pipe and zeroes the counters. Returns 1.
int Pipe_Close(Pipe *pipe);
// 1 while the platform pipe is open (a peer that went closes it).
int Pipe_IsOpen(Pipe *pipe);
// *count = 0 first; 0 when not open or when the platform call fails;
// otherwise 1, with the count added to the matching counter.
int Pipe_Read(Pipe *pipe, void *buffer, int32_t size, int32_t *count);
int Pipe_Write(Pipe *pipe, const void *data, int32_t size, int32_t *count);
// The platform peek (without a buffer: the bytes waiting); 1 when it reports
// more than 0.
int Pipe_Peek(Pipe *pipe, void *buffer, int32_t size, int32_t *count);
// The platform flush; 0 when not open.
int Pipe_Flush(Pipe *pipe);
// One poll: reads up to kPipePollBytes and, when any came, fires
// "Pipe"."Read" for the pipe's id with their Base64 (PipeInterop_FireRead).
// Returns 1.
int Pipe_Poll(Pipe *pipe);
