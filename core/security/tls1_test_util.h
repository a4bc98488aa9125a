// Test helpers for the TLS session: a session keyed from a known master
// secret and randoms as if a handshake had just finished, and the bytes it
// queued for the transport.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/runtime/dupstream.h"
#include "core/security/tls1.h"
#include "core/security/tls1_internal.h"
#include "tests/loopback_port.h"

// Both directions keyed for suite under version, handshake done.
inline TLS1 *TlsTest_KeyedSession(uint16_t suite, int32_t version, const std::vector<uint8_t> &master,
                                  const std::vector<uint8_t> &clientRandom,
                                  const std::vector<uint8_t> &serverRandom) {
  TLS1 *s = nullptr;
  Tls_Create(&s);
  s->CipherInfo = Tls_FindSuite(suite);
  s->NegotiatedVersion = s->OfferedVersion = version;
  TlsHandshakeContext *h = s->Handshake;
  memcpy(h->MasterSecret, master.data(), kTlsMasterSecretBytes);
  memcpy(h->ClientRandom, clientRandom.data(), kTlsRandomBytes);
  memcpy(h->ServerRandom, serverRandom.data(), kTlsRandomBytes);
  Hash_SetInterface(h->Running,
                    s->CipherInfo->HashInterface == &kHashSha384 ? &kHashSha384 : &kHashSha256);
  s->Flags |= kTlsFlagWriteProtected | kTlsFlagReadProtected;
  Tls_ActivateKeys(s, 1);
  Tls_ActivateKeys(s, 0);
  s->HandshakeState = kTlsStateEstablished;
  s->HandshakeStarted.store(1);
  s->HandshakeDone.store(1);
  return s;
}

// A keyed session whose read side takes the client's keys, so that it opens
// the records it writes.
inline TLS1 *TlsTest_LoopbackSession(uint16_t suite, int32_t version) {
  std::vector<uint8_t> master(48, 0x5a), clientRandom(32, 1), serverRandom(32, 2);
  TLS1 *s = TlsTest_KeyedSession(suite, version, master, clientRandom, serverRandom);
  const int32_t macSize = TlsMac_Size(&s->WriteMac);
  s->ReadMac = s->WriteMac;
  CryptSymmetric_SetInterface(s->ReadCipher, s->CipherInfo->CryptInterface);
  CryptSymmetric_SetKey(s->ReadCipher, s->Handshake->KeyBlock + 2 * macSize, s->CipherInfo->KeySize);
  memcpy(s->ReadIV, s->WriteIV, 16);
  return s;
}

// Everything queued on the outbound side, taken.
inline std::vector<uint8_t> TlsTest_TakeOutbound(TLS1 *s) {
  DupStream *t = Tls_GetTransportStream(s);
  int32_t n = 0;
  DupStream_GetOutboundLength(t, &n);
  std::vector<uint8_t> out(static_cast<size_t>(n));
  int32_t read = 0;
  if (n) DupStream_ReadOutbound(t, out.data(), n, &read);
  return out;
}

// Everything on the inbound side (decrypted data), taken.
inline std::string TlsTest_TakeInbound(TLS1 *s) {
  DupStream *t = Tls_GetTransportStream(s);
  int32_t n = 0;
  DupStream_GetInboundLength(t, &n);
  std::string out(static_cast<size_t>(n), '\0');
  int32_t read = 0;
  if (n) DupStream_ReadInbound(t, out.data(), n, &read);
  return out;
}

inline std::string TlsTest_Hex(const std::vector<uint8_t> &bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

inline int32_t TlsTest_Feed(TLS1 *s, const std::vector<uint8_t> &bytes) {
  int32_t written = 0;
  Tls_WriteRecordInput(s, bytes.data(), int32_t(bytes.size()), &written);
  Tls_ProcessInput(s);
  int32_t error = 0;
  Tls_GetError(s, &error);
  return error;
}

// A server process on a free port, stopped with the fixture.
class TlsTest_Peer {
 public:
  // The server's output goes to output (empty: /dev/null).
  TlsTest_Peer(std::vector<std::string> argv, const std::string &output = "") {
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int in[2];
    if (pipe(in) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      int null = open("/dev/null", O_WRONLY);
      int out = output.empty() ? null : open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(null, 2);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    stdin_ = in[1];  // held open: the server keeps reading its console
  }
  ~TlsTest_Peer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    if (stdin_ >= 0) close(stdin_);
  }
  TlsTest_Peer(const TlsTest_Peer &) = delete;
  TlsTest_Peer &operator=(const TlsTest_Peer &) = delete;

 // Writes text to the server's console (s_server reads commands there).
  void Send(const std::string &text) {
    if (stdin_ >= 0 && write(stdin_, text.data(), text.size()) < 0) {
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
};

inline int TlsTest_FreePort() { return Test_FreeLoopbackPort(); }

// A connection to 127.0.0.1:port, tried for up to 10 s while the server
// starts; -1 when none.
inline int TlsTest_Connect(int port) {
  for (int waited = 0; waited < 10000; waited += 20) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    usleep(20000);
  }
  return -1;
}

// Moves bytes between the session and fd until done() holds, the session
// fails or the peer closes; every wait bounded.
inline bool TlsTest_Pump(TLS1 *s, int fd, const std::function<bool()> &done, int boundMs = 10000) {
  for (int waited = 0; waited < boundMs;) {
    int32_t pending = 0;
    Tls_GetOutboundLength(s, &pending);
    if (pending > 0) {
      std::vector<uint8_t> out = TlsTest_TakeOutbound(s);
      if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) return false;
    }
    int32_t error = 0;
    Tls_GetError(s, &error);
    if (error) return false;
    if (done()) return true;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) {
      waited += 50;
      continue;
    }
    uint8_t buffer[16384];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return done();
    for (ssize_t at = 0; at < n;) {
      int32_t written = 0;
      Tls_WriteRecordInput(s, buffer + at, int32_t(n - at), &written);
      at += written;
      Tls_ProcessInput(s);
    }
  }
  return false;
}
