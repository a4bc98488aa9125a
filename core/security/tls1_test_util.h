// Test helpers for the TLS session: a session keyed from a known master
// secret and randoms as if a handshake had just finished, and the bytes it
// queued for the transport.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/dupstream.h"
#include "core/security/tls1.h"
#include "core/security/tls1_internal.h"

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
