// AsyncSocket: the TCP socket whose I/O completes on the I/O worker, on which
// the HTTP client's connections and the local web server run. The owner
// starts an operation (connect, accept, read, write) and supplies callbacks;
// the socket then pulls the bytes to send from the owner and pushes the bytes
// received to it in rounds of at most 32,768 bytes (an owner that receives
// in place, into room of its own, in rounds of up to 1 MiB), until the owner has
// nothing more to send or room to receive, the peer closes or an error ends
// the connection. The owner never blocks. A process-wide global counts the
// operations in flight, so that shutdown can wait for them.
//
// Invariants: (1) no I/O is ever issued on a descriptor the socket no longer
// owns: every running loop holds a use of the descriptor it was started on,
// the socket holds one while it is open, and the last use closes it; each
// step of a loop checks, under that use, that the descriptor is still the
// socket's open one. (2) Close clears the open flag once (under the socket's
// lock), completes the loops' waits with 995 through IOWorker_Dissociate and
// calls the Close callback exactly once per close. (3) each running loop
// holds one reference on the socket and one count in flight from its start
// to its end. (4) the last error is the first error that ended the socket;
// later ones never replace it until AsyncSocket_ClearError. A loop's end of
// stream or failure closes the socket, and its error is kept, only while
// the loop's descriptor is still the open one: a loop of a descriptor the
// owner has closed never ends, nor hands bytes to, a connection opened
// after it on the same socket. (5) at most one
// accept, one read and one write loop runs per socket (the flags are set by
// compare-and-swap).
//
// Threads: any thread. Callbacks run on I/O worker threads (the write
// loop's first rounds on the caller of AsyncSocket_WriteNow), several sockets
// at once, each under its cell's lock, so setting or clearing a cell waits
// for a running call of it. A write completes only when the whole buffer the
// Write callback filled has gone; a read completes after one receive.
// AsyncSocket_Init and AsyncSocket_Shutdown on the main thread, after
// IOWorker_Init and before IOWorker_Shutdown.
#pragma once

#include <cstdint>

struct AsyncSocket;
struct MeterRW;

constexpr uint32_t kAsyncSocketTag = 0x5a0c7e11;
constexpr uint32_t kAsyncSocketGlobalTag = 0x5a0c7e12;
// The largest round of one read or write.
constexpr int32_t kAsyncSocketRoundBytes = 32768;
// The largest round of a file sent with sendfile.
constexpr int64_t kAsyncSocketFileRoundBytes = 1048576;
// The largest round of an owner that receives in place.
constexpr int32_t kAsyncSocketReadIntoBytes = 1048576;
constexpr int kAsyncSocketBacklog = 1000;
constexpr int kAsyncSocketLingerSeconds = 5;
// Protocol codes of AsyncSocket_CreateHandle: 1 stream/TCP, 2 datagram/UDP,
// 3 datagram with protocol number 3, 4 datagram/ICMP, 5 and 6 datagram with
// protocol 0, 10 raw with protocol 0.
constexpr int32_t kAsyncSocketProtocolTcp = 1;

// The accepted socket is borrowed: keep it by taking a reference
// (Class_Retain). 0 marks it failed: it is closed.
typedef int (*AsyncSocketAcceptFunction)(AsyncSocket *listener, void *context,
                                         AsyncSocket *accepted);
// Bytes the owner can take now (ReadSize) or has to send (WriteSize); 0 ends
// the loop.
typedef int32_t (*AsyncSocketSizeFunction)(AsyncSocket *socket, void *context);
typedef void (*AsyncSocketReadFunction)(AsyncSocket *socket, void *context, const uint8_t *data,
                                        int32_t count);
// Copies at most maximum bytes into buffer; returns the count copied.
typedef int32_t (*AsyncSocketWriteFunction)(AsyncSocket *socket, void *context, uint8_t *buffer,
                                            int32_t maximum);
// In-place receiving: the owner calls receive(receiver, room, size) at most
// once with room of its own (size at most the round's size); it runs the
// round's receive into that room and returns the bytes received, 0 when none
// came (closed, nothing waiting, an error: the socket handles those as for
// any round). A round whose owner does not call receive goes through the
// socket's buffer to the Read callback.
typedef int32_t (*AsyncSocketReceive)(void *receiver, uint8_t *room, int32_t size);
typedef void (*AsyncSocketReadIntoFunction)(AsyncSocket *socket, void *context, int32_t size,
                                            AsyncSocketReceive receive, void *receiver);
// Sending from a file: the owner calls send(sender, fd, offset, count) at
// most once per round with a readable file descriptor of its own; the round
// hands count bytes of the file from offset (at most kAsyncSocketFileRoundBytes)
// to the socket without copying them through memory (sendfile), and returns
// the bytes that went: 0 when none could (no room now: the loop waits for
// room and offers the next round; the meter: the loop ends), -1 when the
// file or the socket failed (the socket then closes with the error; a file
// that ends early is a failure). A round whose owner does not call send goes
// on with the Write callback.
typedef int64_t (*AsyncSocketSendFile)(void *sender, int fd, int64_t offset, int64_t count);
typedef void (*AsyncSocketWriteFileFunction)(AsyncSocket *socket, void *context,
                                             AsyncSocketSendFile send, void *sender);
typedef void (*AsyncSocketCloseFunction)(AsyncSocket *socket, void *context);
typedef void (*AsyncSocketConnectFunction)(AsyncSocket *socket, void *context, int success);

// Creates the global (a second call stops the program: "Assertion failed
// (GlobalAsyncSocket == NULL)\nAsyncSocket already initialized"). Nothing is
// bound: connect and accept need no extension functions here. Returns 1.
int AsyncSocket_Init(void);
// Waits, sleeping 1 ms between checks, until no operation is in flight, then
// frees the global. Nothing happens when not initialised. Returns 1.
int AsyncSocket_Shutdown(void);
// For tests: operations in flight and live sockets (0 when not initialised).
int32_t AsyncSocket_GetInFlightCount(void);
int32_t AsyncSocket_GetLiveCount(void);

// A non-blocking, close-on-exec IPv4 descriptor of a protocol code (see
// above). Another code logs "Unknown socket protocol '%d'\n" at DEBUG level
// and fails with 10043; a refusal of the kernel fails with its socket error
// (10013 for ICMP or raw without the right). 1 with *fd, or 0 with the
// platform's last error.
int AsyncSocket_CreateHandle(int32_t protocol, int *fd);

// Every call below stops the program on a NULL socket or another object
// ("Pointer is NULL\n", "Class mismatch pointer (...)"); Create stops with
// "Pointer is NULL\n" before AsyncSocket_Init. Results are 1 or 0; "requires
// open" means 0 while AsyncSocket_IsOpen is 0.

// A closed socket with its meter pair, reference 1; released by
// Class_Release, whose last reference closes the descriptor (without the
// Close callback) and clears the cells.
int AsyncSocket_Create(AsyncSocket **socket);
// A TCP descriptor; the meter reset. A failure records its error. Opening an
// open socket stops the program ("Assertion failed (AsyncSocket->Handle ==
// INVALID_SOCKET)\nAttempted to open an in-use socket").
int AsyncSocket_Open(AsyncSocket *socket);
// Requires open; clears the error; binds to address (first octet in the
// lowest byte) and port and records both.
int AsyncSocket_Bind(AsyncSocket *socket, uint32_t address, int32_t port);
// Requires open; listens with a backlog of 1000 on the I/O worker.
int AsyncSocket_Listen(AsyncSocket *socket);
// Requires open; clears the error, resets the meter, records the remote
// address and port and starts the connect. The Connect callback tells the
// outcome; a refusal also runs the error handling (the socket closes with
// the error kept). 0 when the connect could not start.
int AsyncSocket_Connect(AsyncSocket *socket, uint32_t address, int32_t port);
// Start the loops; 1 also when the loop runs already or (read, write) when
// the socket is not connected; 0 when not open. A read start that meets the
// loop running makes it ask the read size once more before it ends. An accept loop that meets a
// failure other than a connection aborted before it was taken (descriptors
// exhausted) ends with the listener open: the owner starts it again.
int AsyncSocket_StartAccept(AsyncSocket *socket);
int AsyncSocket_StartRead(AsyncSocket *socket);
int AsyncSocket_StartWrite(AsyncSocket *socket);
// AsyncSocket_StartWrite whose first rounds run on the calling thread, with
// its Write and WriteFile callbacks: an owner that has just queued an answer
// sends it without handing it to another thread. The loop goes on on the I/O
// worker once the socket has no room (or after the rounds a loop runs in
// place). The caller holds no lock that those callbacks take.
int AsyncSocket_WriteNow(AsyncSocket *socket);
// Requires open; shuts down the sending direction.
int AsyncSocket_ShutdownSend(AsyncSocket *socket);
// 1 when not open; else clears the connected and open flags, ends the
// running loops (their waits complete with 995), drops the socket's use of
// the descriptor and calls the Close callback.
int AsyncSocket_Close(AsyncSocket *socket);

int AsyncSocket_IsOpen(AsyncSocket *socket);
int AsyncSocket_IsConnected(AsyncSocket *socket);
int AsyncSocket_IsAccepting(AsyncSocket *socket);
int AsyncSocket_IsReading(AsyncSocket *socket);
int AsyncSocket_IsWriting(AsyncSocket *socket);

// Requires open; clears the error; sets an option as a 4-byte value (the
// platform's level and option numbers).
int AsyncSocket_SetOption(AsyncSocket *socket, int level, int option, int flag);
// Requires open; linger on for 5 s. The final close of such a socket (which
// may block that long) runs on an I/O worker thread.
int AsyncSocket_SetLinger(AsyncSocket *socket);
// Requires open; the recorded address and port (local after Bind, remote
// after a connect or an accept).
int AsyncSocket_GetAddress(AsyncSocket *socket, uint32_t *address, int32_t *port);
// The descriptor's local address; 0 when not open or the platform fails.
int AsyncSocket_GetLocalAddress(AsyncSocket *socket, uint32_t *address, int32_t *port);
int32_t AsyncSocket_GetError(AsyncSocket *socket);
void AsyncSocket_ClearError(AsyncSocket *socket);
int AsyncSocket_GetMeter(AsyncSocket *socket, MeterRW **meter);

// Set, or with a NULL function clear, one callback cell.
int AsyncSocket_SetAcceptCallback(AsyncSocket *socket, void *context,
                                  AsyncSocketAcceptFunction function);
int AsyncSocket_SetReadSizeCallback(AsyncSocket *socket, void *context,
                                    AsyncSocketSizeFunction function);
int AsyncSocket_SetReadCallback(AsyncSocket *socket, void *context,
                                AsyncSocketReadFunction function);
// With a ReadInto callback the read loop first offers each round to it.
int AsyncSocket_SetReadIntoCallback(AsyncSocket *socket, void *context,
                                    AsyncSocketReadIntoFunction function);
int AsyncSocket_SetWriteSizeCallback(AsyncSocket *socket, void *context,
                                     AsyncSocketSizeFunction function);
int AsyncSocket_SetWriteCallback(AsyncSocket *socket, void *context,
                                 AsyncSocketWriteFunction function);
// With a WriteFile callback the write loop first offers each round to it.
int AsyncSocket_SetWriteFileCallback(AsyncSocket *socket, void *context,
                                     AsyncSocketWriteFileFunction function);
int AsyncSocket_SetCloseCallback(AsyncSocket *socket, void *context,
                                 AsyncSocketCloseFunction function);
int AsyncSocket_SetConnectCallback(AsyncSocket *socket, void *context,
                                   AsyncSocketConnectFunction function);
