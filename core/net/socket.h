// Socket: host look-ups to IPv4 addresses, the machine's name, intranet
// address and MAC address, and the network macros ("IntranetIP",
// "MACAddress", "MachineName") offered to configuration text.
//
// Invariants: (1) a SocketAddress's address holds the first octet in its
// lowest byte. (2) a look-up that fails leaves the address 0 and says so with
// 0; the platform's last error holds the socket error (11001-11004).
//
// Threads: any thread; look-ups block in the system resolver.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/stream.h"

// The longest host name a look-up accepts.
constexpr int kSocketHostNameMax = 255;

struct SocketAddress {
  char host[kSocketHostNameMax + 1];
  uint32_t address;
  int32_t port;
};

// Clears address and looks host up: an empty or NULL host means this
// machine's name; a numeric address is taken as it is; a name is resolved
// to its first IPv4 answer. A host longer than 255 characters fails (87)
// without a query. 1 when address holds an IPv4 address.
int Socket_ResolveHost(SocketAddress *address, const char *host);
// The machine's host name, at most size - 1 characters. 0 when size is below
// 1 or the system fails.
int Socket_GetMachineName(char *buffer, int size);

// Looks up the host (without port) of url and takes its port: the explicit
// one, else the scheme's default. A host longer than 255 characters fails
// without a query. 1 when address holds an IPv4 address.
int Socket_ResolveUrl(SocketAddress *address, const char *url);
// The IPv4 address of the first adapter marked primary and 1; without one,
// the last adapter's address (0 without adapters) and 0.
int Socket_GetIntranetIP(uint32_t *address);
// The same walk for the adapter's six MAC bytes (zeros without adapters).
int Socket_GetMACAddress(uint8_t mac[6]);
// The network macros, names without regard to case: "IntranetIP" (the
// primary adapter's dotted address; empty without one), "MACAddress"
// ("XX:XX:XX:XX:XX:XX", upper-case hex, also without a primary adapter) and
// "MachineName" (at most 119 characters). 0 for any other name.
int Socket_MacroHandler(const char *name, char *argument, char *out, int outSize);
// Start-up of the network layer: puts Url_MacroHandler into the expander's
// URL slot and Socket_MacroHandler into its network slot, logs the intranet
// address and machine name at DEBUG level. 1.
int Socket_Init(void);

// ---- Socket: a small synchronous socket with a read-ahead buffer ----------
//
// A Socket belongs to one thread at a time; only its cancel flag is written
// from another thread. Waits poll in slices of at most 1,000 ms and look at
// the cancel flag before each slice, so a cancel ends a wait within a second.
// core/posix/socketio.cpp.

struct MeterRW;

constexpr uint32_t kSocketTag = 0x50c4e7a1;
constexpr uint32_t kSocketWaitSetTag = 0x50c4e7a2;
constexpr int kSocketWaitSetMax = 64;
constexpr int kSocketErrorTimeout = 1460;
constexpr int kSocketDefaultTimeoutMs = 300000;

struct Socket {
  ObjectHeader header;  // kSocketTag
  Stream stream;        // Peek, Write, Read, IsOpen and Close of this socket
  int32_t lastError;    // platform socket error of the last failed call; 1460 after a time-out
  MeterRW *meter;
  std::atomic<int32_t> cancel;  // another thread sets 1 to end the current wait
  int fd;                       // -1 while closed
  int32_t blocking;             // 1 blocking, anything else non-blocking
  int32_t readTimeoutMs;
  int32_t connectTimeoutMs;
  uint32_t remoteAddress;
  int32_t remotePort;
  int32_t type;  // 2 after a successful UDP open
  uint8_t *buffer;
  int32_t buffered;
  int32_t capacity;
};

struct SocketWaitSet {
  uint32_t classTag;  // kSocketWaitSetTag
  int32_t used;
  int32_t bufferedCount;  // members that already hold read-ahead bytes
  int32_t count;
  Socket *members[kSocketWaitSetMax];
};

int Socket_Create(Socket **socket);
// Closes an open handle, frees buffer, meter and socket; clears *socket.
void Socket_Release(Socket **socket);
// An IPv4 UDP socket in blocking mode; the meter is reset. On an open socket
// logs "Socket must be closed first!\n" and changes nothing (1).
int Socket_Open(Socket *socket);
// 1 when there was no handle or it closed (the read-ahead buffer emptied).
int Socket_Close(Socket *socket);
int Socket_IsOpen(Socket *socket);
int Socket_SetBlocking(Socket *socket, int blocking);
// Connects to the DNS port (53) of address; in blocking mode waits with the
// connect time-out.
int Socket_Connect(Socket *socket, const SocketAddress *address);
// One send of at most what the meter allows; *written 0 with 1 when nothing
// may or can go now.
int Socket_Write(Socket *socket, const void *data, int length, int *written);
// Read-ahead bytes first, then (waiting with the read time-out in blocking
// mode) one receive for the rest.
int Socket_Read(Socket *socket, void *buffer, int length, int *got);
// Fills the read-ahead buffer up to length and copies from it without
// consuming.
int Socket_Peek(Socket *socket, void *buffer, int length, int *got);
// Moves up to length bytes from the front of the read-ahead buffer.
int Socket_TakeBuffered(Socket *socket, void *buffer, int length, int *got);

void SocketWaitSet_Clear(SocketWaitSet *set);
// A member with read-ahead bytes makes the set hold only such members.
int SocketWaitSet_Add(SocketWaitSet *set, Socket *socket);
int SocketWaitSet_IsSet(SocketWaitSet *set, Socket *socket);
// Waits until a member of a used set is ready, the time-out passes (count 0)
// or *cancel is 1 (count 0, sets cleared). A read set whose members hold
// read-ahead bytes answers at once with those members and their number.
// Afterwards each used set holds only its ready members. 0 when the wait
// fails ("Select failed [...]" logged).
int Socket_Wait(const char *name, SocketWaitSet *readSet, SocketWaitSet *writeSet,
                SocketWaitSet *exceptSet, std::atomic<int32_t> *cancel, int timeoutMs,
                int *count);

// Tests only: the port Socket_Connect uses instead of 53 (0: back to 53), and
// a hook called with the time-out of every poll slice (NULL: none).
void Socket_SetDnsPortForTest(int port);
void Socket_SetPollHookForTest(void (*hook)(int timeoutMs));
