// NamedPipe: a local byte pipe between two processes of the machine, found by
// name: a server end that waits for one client, or a client end that
// connects to a served name. It carries the script-level Pipe object and the
// notification end point.
//
// Names. A name under the pipe prefix (path id 22, "\\.\pipe\", either
// separator) names the local socket of the rest ("\\.\pipe\abc" is the
// socket name "abc"); any other name is taken whole. The socket is a file
// "<name>.pipe" in the user's run directory (core/posix/runpath.h: 0700, the
// user's own; root acting for the desktop user uses that user's), so a name
// is the user's alone: another user can neither serve it first nor be
// reached through it. Both ends still check who the kernel says is at the
// other: a server end hears only clients of its own uid or root (closing any
// other unread and waiting for the next); a client end talks only to a
// server of its own uid or, as root, to the desktop user's (5 otherwise).
//
// Server ends of one name in one process share one listening socket; each
// takes the next waiting connection on its first Read, Peek or Write (one
// client per server end). Before its client comes a server end answers those
// with 1 and count 0 (error 536). A name that another process serves cannot
// be served here (231); the file of a server that ended without removing it
// is replaced. Which it is, is decided without connecting, on the file
// itself: a socket listens when the kernel's unix socket diagnostics give
// one bound to that file's device and inode (a socket bound at the same
// path text over another mount does not count).
//
// Errors, by the program's codes, for Peek / Read / Write:
//   109 the peer closed or reset     close, 0 / close, 0 / close, 0
//   232 nothing waiting or no room   1, count 0 (all three)
//   233 no process on the other end  0 / 0 / close, 0
//   536 waiting for a client         1, count 0 / 1, count 0 / 1, count 0
//   other                            0
// A closed pipe answers 0 to everything until it is released.
//
// Invariants: (1) an open server end holds one reference on its name's
// listener; the listener is closed with its last reference. (2) a closed
// pipe holds no descriptor and no listener. (3) no descriptor is inherited by
// a started program, and a write to a vanished peer never raises SIGPIPE.
//
// Threads: a pipe belongs to one thread at a time (its callers serialise);
// the listener table is process-wide under its own lock, so ends of one name
// may be created and closed on any threads.
#pragma once

#include <cstdint>

constexpr uint32_t kNamedPipeTag = 0x309a40cd;
// Create flags.
constexpr uint32_t kNamedPipeConnect = 0x1;   // a client end of a served name
constexpr uint32_t kNamedPipeBlocking = 0x2;  // calls wait instead of answering count 0
// The name field: 319 characters and the terminator.
constexpr int kNamedPipeNameBytes = 320;
// A client retries a name whose listen queue is full this often, this far apart.
constexpr int32_t kNamedPipeConnectAttempts = 20;
constexpr int32_t kNamedPipeBusyWaitMs = 250;
// How long a flush waits for the peer to take what was written.
constexpr int32_t kNamedPipeFlushWaitMs = 5000;
// Waiting connections a listener holds; the desktop system's instance limit.
constexpr int kNamedPipeListenBacklog = 255;

// The pipe error codes (the program's numbering).
constexpr int kNamedPipeErrorBusy = 231;        // the listen queue is full; another serves it
constexpr int kNamedPipeErrorNoData = 232;      // nothing waiting, or no room to write
constexpr int kNamedPipeErrorNotConnected = 233;
constexpr int kNamedPipeErrorListening = 536;   // a server end without its client yet

struct NamedPipe;

// Opens a pipe: with kNamedPipeConnect a client end of name, else a server
// end of it. bufferSize above 0 sets the socket's send and receive buffers.
// 1 with *pipe; 0 with *pipe NULL and the last error: 2 when nobody serves
// the name, 231 when another process serves it (server) or its queue stayed
// full through every attempt (client), 206 for a name too long for a socket
// (107 bytes after the prefix), 87 for an empty one. Stops the program with
// "Pointer is NULL\n" on a NULL out-pointer or name.
int NamedPipe_Create(NamedPipe **pipe, const char *name, int32_t bufferSize, uint32_t flags);
// Disconnects and closes; nothing to do when closed. Returns 1.
int NamedPipe_Close(NamedPipe *pipe);
// Closes and frees the pipe and clears *pipe (NULL *pipe is ignored). Returns 1.
int NamedPipe_Release(NamedPipe **pipe);
// 1 while open.
int NamedPipe_IsOpen(NamedPipe *pipe);
// With a buffer, copies up to size waiting bytes without taking them; without
// one, *count is the number of bytes waiting. See the error table.
int NamedPipe_Peek(NamedPipe *pipe, void *buffer, int32_t size, int32_t *count);
// One read of at most size bytes; see the error table.
int NamedPipe_Read(NamedPipe *pipe, void *buffer, int32_t size, int32_t *count);
// One write; *count is the bytes taken (fewer than size when a non-blocking
// pipe fills up). See the error table.
int NamedPipe_Write(NamedPipe *pipe, const void *data, int32_t size, int32_t *count);
// Waits until the peer has taken everything written, or has gone, at most
// kNamedPipeFlushWaitMs. 1, also without a client; 0 when closed or after
// the wait ran out (1460).
int NamedPipe_Flush(NamedPipe *pipe);
// The local socket name that name maps to ("abc" for "\\.\pipe\abc"). 1, or 0
// with out empty and the last error as NamedPipe_Create gives it.
int NamedPipe_GetSocketName(const char *name, char *out, int size);
// The socket file that name maps to for this process (the run directory is
// made when missing). 1, or 0 with out empty and the last error.
int NamedPipe_GetSocketPath(const char *name, char *out, int size);

// The functions above stop the program with "Pointer is NULL\n" on a NULL
// pipe or count and with "Class mismatch pointer (...)" on a foreign object.

// Test-only: the pause between two connect attempts (kNamedPipeBusyWaitMs
// when milliseconds is below 0).
void NamedPipe_SetBusyWaitForTest(int32_t milliseconds);
