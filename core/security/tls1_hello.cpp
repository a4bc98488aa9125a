// The ClientHello and the handshake message names. See tls1_internal.h.
#include <cstring>
#include <ctime>

#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/security/tls1_internal.h"

namespace {

constexpr uint16_t kRenegotiationScsv = 0x00FF;
constexpr uint16_t kExtServerName = 0;
constexpr uint16_t kExtSupportedGroups = 10;
constexpr uint16_t kExtPointFormats = 11;
constexpr uint16_t kExtSignatureAlgorithms = 13;
constexpr uint16_t kExtPadding = 21;
constexpr uint16_t kExtRenegotiationInfo = 0xFF01;

// Writes into a fixed buffer; overflow is remembered, never written.
struct Writer {
  uint8_t *data;
  int32_t size;
  int32_t used = 0;
  int overflow = 0;
  void bytes(const void *p, int32_t n) {
    if (n < 0 || used + n > size) {
      overflow = 1;
      return;
    }
    if (n) memcpy(data + used, p, size_t(n));
    used += n;
  }
  void u8(uint32_t v) {
    uint8_t b = uint8_t(v);
    bytes(&b, 1);
  }
  void u16(uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void zeros(int32_t n) {
    if (n < 0 || used + n > size) {
      overflow = 1;
      return;
    }
    memset(data + used, 0, size_t(n));
    used += n;
  }
  void putU16At(int32_t at, uint32_t v) {
    if (at + 2 > used) return;
    data[at] = uint8_t(v >> 8);
    data[at + 1] = uint8_t(v);
  }
};

// 1 when name is an address literal: dotted digits (IPv4) or anything with a
// colon or an opening bracket (IPv6, or what is left of one cut at a colon).
int isAddressLiteral(const char *name, size_t length) {
  int digitsAndDots = 1;
  for (size_t i = 0; i < length; i++) {
    char c = name[i];
    if (c == ':' || c == '[' || c == ']') return 1;
    if (!((c >= '0' && c <= '9') || c == '.')) digitsAndDots = 0;
  }
  return digitsAndDots;
}

}  // namespace

int Tls_SendClientHello(TLS1 *session, const char *serverName) {
  CLASS_CHECK(session, kTls1Tag);
  TLS1 *s = session;
  TlsHandshakeContext *h = s->Handshake;
  s->CertificateDeclined = 0;

  // The name kept for the host check, one trailing dot dropped; the name
  // sent only for a host name.
  size_t nameLength = serverName ? strlen(serverName) : 0;
  if (nameLength && serverName[nameLength - 1] == '.') nameLength--;
  if (nameLength > size_t(kTlsServerNameBytes)) {
    Tls_Log(s, LOG_ERROR, "Server name too long (%zu)", nameLength);
    return 0;
  }
  memmove(s->ServerName, serverName ? serverName : "", nameLength);
  s->ServerName[nameLength] = 0;
  const int sendName = nameLength > 0 && !isAddressLiteral(s->ServerName, nameLength);

  uint32_t now = uint32_t(time(nullptr));
  h->ClientRandom[0] = uint8_t(now >> 24);
  h->ClientRandom[1] = uint8_t(now >> 16);
  h->ClientRandom[2] = uint8_t(now >> 8);
  h->ClientRandom[3] = uint8_t(now);
  if (!Platform_RandomBytes(h->ClientRandom + 4, kTlsRandomBytes - 4)) return 0;

  const int first = s->HandshakeState == kTlsStateClientHello;
  const int tls12 = s->OfferedVersion >= kTlsVersion12;
  uint8_t buffer[kTlsClientHelloBytes];
  Writer w{buffer, kTlsClientHelloBytes};
  w.u8(1);
  w.zeros(3);  // length, below
  w.u8(3);
  w.u8(uint32_t(s->OfferedVersion & 0xf));
  w.bytes(h->ClientRandom, kTlsRandomBytes);
  w.u8(0);  // no session id
  const int32_t suitesAt = w.used;
  w.u16(0);
  int ecdhe = 0;
  for (int i = 0; i < kTlsSuiteCount; i++) {
    const TlsSuite &suite = kTlsSuites[i];
    if (!Tls_SuiteEnabled(i)) continue;
    if (Tls_IsGcmSuite(&suite) && s->NegotiatedVersion <= kTlsVersion11) continue;
    w.u16(suite.Id);
    ecdhe |= Tls_IsEcdheSuite(suite.Id);
  }
  // Secure renegotiation (RFC 5746): the signalling suite in the first hello.
  if (first) w.u16(kRenegotiationScsv);
  w.putU16At(suitesAt, uint32_t(w.used - suitesAt - 2));
  w.u8(1);  // compression methods: null
  w.u8(0);
  const int32_t extensionsAt = w.used;
  w.u16(0);
  if (tls12) {
    w.u16(kExtSignatureAlgorithms);
    w.u16(2 + sizeof kTlsSignaturePairs);
    w.u16(sizeof kTlsSignaturePairs);
    w.bytes(kTlsSignaturePairs, sizeof kTlsSignaturePairs);
  }
  if (ecdhe) {
    w.u16(kExtSupportedGroups);
    w.u16(2 + 2 * 2);
    w.u16(2 * 2);
    for (uint16_t g : kTlsGroups) w.u16(g);
    w.u16(kExtPointFormats);
    w.u16(2);
    w.u8(1);
    w.u8(0);  // uncompressed
  }
  // A renegotiating hello proves the session it renegotiates (RFC 5746).
  if (s->Renegotiating) {
    w.u16(kExtRenegotiationInfo);
    w.u16(1 + kTlsVerifyBytes);
    w.u8(kTlsVerifyBytes);
    w.bytes(s->ClientVerify, kTlsVerifyBytes);
  }
  if (sendName) {
    w.u16(kExtServerName);
    w.u16(uint32_t(2 + 1 + 2 + nameLength));
    w.u16(uint32_t(1 + 2 + nameLength));
    w.u8(0);  // host_name
    w.u16(uint32_t(nameLength));
    w.bytes(s->ServerName, int32_t(nameLength));
  }
  if (first && w.used < kTlsClientHelloBytes - 4) {
    const int32_t fill = kTlsClientHelloBytes - 4 - w.used;
    w.u16(kExtPadding);
    w.u16(uint32_t(fill));
    w.zeros(fill);
  }
  if (w.overflow) {
    Tls_Log(s, LOG_ERROR, "ClientHello overflow");
    return 0;
  }
  if (w.used == extensionsAt + 2)
    w.used = extensionsAt;  // no extensions: no block
  else
    w.putU16At(extensionsAt, uint32_t(w.used - extensionsAt - 2));
  const int32_t body = w.used - 4;
  buffer[1] = uint8_t(body >> 16);
  buffer[2] = uint8_t(body >> 8);
  buffer[3] = uint8_t(body);
  if (!Tls_WriteRecord(s, 22, buffer, w.used)) return 0;
  h->HelloVersion = s->OfferedVersion;
  s->HandshakeState = 2;
  return 1;
}

const char *Tls_HandshakeTypeName(int32_t type) {
  switch (type) {
    case 0: return "Hello Request";
    case 1: return "Client Hello";
    case 2: return "Server Hello";
    case 11: return "Certificate";
    case 12: return "Server Key Exchange";
    case 13: return "Certificate Request";
    case 14: return "Server Hello Done";
    case 15: return "Certificate Verify";
    case 16: return "Client Key Exchange";
    case 20: return "Finished";
    default: return "Unknown";
  }
}
