// The client side of the handshake: reassembly of the server's messages,
// their strict order, the server's identity, the client flight and secure
// renegotiation. See tls1_internal.h.
#include <cstring>
#include <ctime>
#include <vector>

#include "core/platform/platform.h"
#include "core/runtime/callback.h"
#include "core/runtime/critsection.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/security/auth.h"
#include "core/security/ecdhe.h"
#include "core/security/pkcs12.h"
#include "core/security/tls1_internal.h"
#include "core/security/x509.h"
#include "core/security/x509chain.h"

namespace {

constexpr uint8_t kTypeHandshake = 22;
constexpr uint8_t kTypeChangeCipherSpec = 20;
constexpr uint8_t kTypeAlert = 21;
constexpr uint8_t kHelloRequest = 0;
constexpr uint8_t kServerHello = 2;
constexpr uint8_t kCertificate = 11;
constexpr uint8_t kServerKeyExchange = 12;
constexpr uint8_t kCertificateRequest = 13;
constexpr uint8_t kServerHelloDone = 14;
constexpr uint8_t kCertificateVerify = 15;
constexpr uint8_t kClientKeyExchange = 16;
constexpr uint8_t kFinished = 20;
constexpr uint16_t kExtRenegotiationInfo = 0xFF01;
constexpr int32_t kMaxSessionIdBytes = 32;
constexpr int32_t kRequestedTypesBytes = 80;

// The ECDHE suites whose server key is ECDSA; every other suite needs RSA.
constexpr uint16_t kEcdsaSuites[] = {0xC009, 0xC00A, 0xC023, 0xC024, 0xC02B, 0xC02C};

struct Curve {
  uint16_t id;
  const char *oid;
};
constexpr Curve kCurves[] = {{23, "1.2.840.10045.3.1.7"}, {24, "1.3.132.0.34"}};

// Reads a message body; any read past the end clears ok and answers zeros.
struct Reader {
  const uint8_t *data;
  int32_t size;
  int32_t at = 0;
  bool ok = true;
  int32_t left() const { return size - at; }
  const uint8_t *take(int32_t n) {
    if (!ok || n < 0 || n > left()) {
      ok = false;
      return nullptr;
    }
    const uint8_t *p = data + at;
    at += n;
    return p;
  }
  uint32_t u8() {
    const uint8_t *p = take(1);
    return p ? p[0] : 0;
  }
  uint32_t u16() {
    const uint8_t *p = take(2);
    return p ? uint32_t(p[0]) << 8 | p[1] : 0;
  }
  uint32_t u24() {
    const uint8_t *p = take(3);
    return p ? uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2] : 0;
  }
};

int fail(int32_t *alert, int32_t code) {
  *alert = code;
  return 0;
}

int isEcdsaSuite(uint16_t id) {
  for (uint16_t e : kEcdsaSuites)
    if (e == id) return 1;
  return 0;
}

int keyIsEc(X509 *cert) { return cert->PublicKey->Interface == &kCryptAsymmetricEcdsa; }
int keyIsRsa(X509 *cert) { return cert->PublicKey->Interface == &kCryptAsymmetricRsa; }

const HashInterface *hashFromByte(uint32_t b) {
  switch (b) {
    case 2: return &kHashSha1;
    case 3: return &kHashSha224;
    case 4: return &kHashSha256;
    case 5: return &kHashSha384;
    case 6: return &kHashSha512;
    default: return nullptr;
  }
}

uint8_t byteOfHash(const HashInterface *hash) {
  for (uint32_t b = 2; b <= 6; b++)
    if (hashFromByte(b) == hash) return uint8_t(b);
  return 0;
}

// The DER DigestInfo prefixes an RSA CertificateVerify puts before its digest.
constexpr uint8_t kSha256Info[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                   0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr uint8_t kSha384Info[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                   0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
constexpr uint8_t kSha512Info[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                   0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

// 1 when our key can sign a CertificateVerify with the hash byte.
int canSign(int ec, uint32_t hashByte) {
  return ec ? hashFromByte(hashByte) != nullptr : hashByte >= 4 && hashByte <= 6;
}

// 1 when {hash, signature} is one of the pairs our ClientHello offered.
int offeredPair(uint32_t hash, uint32_t signature) {
  for (size_t i = 0; i + 1 < sizeof kTlsSignaturePairs; i += 2)
    if (kTlsSignaturePairs[i] == hash && kTlsSignaturePairs[i + 1] == signature) return 1;
  return 0;
}

// 1 when our ClientHello offered the suite under its version.
int offeredSuite(TLS1 *s, const TlsSuite *suite) {
  return suite && !(Tls_IsGcmSuite(suite) && s->Handshake->HelloVersion < kTlsVersion12);
}

// GCM and the SHA-256/384 suites exist only from TLS 1.2 on.
int suiteNeedsTls12(const TlsSuite *suite) {
  return Tls_IsGcmSuite(suite) || suite->HashInterface == &kHashSha256 ||
         suite->HashInterface == &kHashSha384;
}

const char *versionText(int32_t v) {
  switch (v) {
    case kTlsVersion10: return "1.0";
    case kTlsVersion11: return "1.1";
    case kTlsVersion12: return "1.2";
    default: return "Unknown";
  }
}

// A handshake message of type with body, as one record.
int sendMessage(TLS1 *s, uint8_t type, const uint8_t *body, int32_t length) {
  uint8_t buffer[4 + 2 + kCryptAsymmetricEncryptCapacity];
  if (length < 0 || 4 + length > int32_t(sizeof buffer)) return 0;
  buffer[0] = type;
  buffer[1] = uint8_t(length >> 16);
  buffer[2] = uint8_t(length >> 8);
  buffer[3] = uint8_t(length);
  if (length) memcpy(buffer + 4, body, size_t(length));
  return Tls_WriteRecord(s, kTypeHandshake, buffer, 4 + length);
}

// ---- server messages -------------------------------------------------------

int onServerHello(TLS1 *s, Reader r, int32_t *alert) {
  TlsHandshakeContext *h = s->Handshake;
  const uint32_t major = r.u8(), minor = r.u8();
  const uint8_t *random = r.take(kTlsRandomBytes);
  const int32_t idLength = int32_t(r.u8());
  r.take(idLength);
  const uint16_t id = uint16_t(r.u16());
  const uint32_t compression = r.u8();
  if (!r.ok) return fail(alert, kTlsAlertDecodeError);
  if (major != 3) return fail(alert, kTlsAlertInvalidVersion);
  int32_t version = int32_t(0x30 | (minor & 0xf));
  if (minor > 0xf || version > Tls_GetVersionMax()) version = Tls_GetVersionMax();
  if (version < Tls_GetVersionMin()) {
    Tls_FailFor(s, kTlsAlertInvalidVersion, TlsCause::Version, 0);
    return fail(alert, kTlsAlertInvalidVersion);
  }
  if (s->Renegotiating && version != s->NegotiatedVersion) return fail(alert, kTlsAlertInvalidVersion);
  if (idLength > kMaxSessionIdBytes) return fail(alert, kTlsAlertIllegalParameter);
  if (compression != 0) return fail(alert, kTlsAlertIllegalParameter);
  const TlsSuite *suite = Tls_FindEnabledSuite(id);
  if (!offeredSuite(s, suite) || (version < kTlsVersion12 && suiteNeedsTls12(suite)))
    return fail(alert, kTlsAlertIllegalParameter);
  // The record layer keeps working under the current suite while a
  // renegotiation runs, so the server must keep it.
  if (s->Renegotiating && suite != s->CipherInfo) return fail(alert, kTlsAlertIllegalParameter);

  int renegotiationInfo = 0;
  if (r.left() > 0) {
    const int32_t total = int32_t(r.u16());
    if (!r.ok || total != r.left()) return fail(alert, kTlsAlertDecodeError);
    while (r.left() > 0) {
      const uint32_t type = r.u16();
      const int32_t length = int32_t(r.u16());
      const uint8_t *body = r.take(length);
      if (!r.ok) return fail(alert, kTlsAlertDecodeError);
      if (type != kExtRenegotiationInfo) continue;
      if (renegotiationInfo) return fail(alert, kTlsAlertDecodeError);
      renegotiationInfo = 1;
      // Empty on the first handshake; both verify data on a renegotiation.
      const int32_t expected = s->Renegotiating ? 2 * kTlsVerifyBytes : 0;
      uint8_t both[2 * kTlsVerifyBytes];
      memcpy(both, s->ClientVerify, kTlsVerifyBytes);
      memcpy(both + kTlsVerifyBytes, s->ServerVerify, kTlsVerifyBytes);
      if (length != 1 + expected || body[0] != expected ||
          (expected && !Crypt_ConstantTimeEqual(body + 1, both, expected))) {
        Tls_Log(s, LOG_ERROR, "Renegotiation info mismatch");
        return fail(alert, kTlsAlertHandshakeFailure);
      }
    }
  }
  if (s->Renegotiating && !renegotiationInfo) return fail(alert, kTlsAlertHandshakeFailure);
  if (!s->Renegotiating) s->SecureRenegotiation = renegotiationInfo;

  memcpy(h->ServerRandom, random, kTlsRandomBytes);
  s->CipherInfo = suite;
  s->NegotiatedVersion = s->OfferedVersion = version;
  Hash_SetInterface(h->Running, suite->HashInterface == &kHashSha384 ? &kHashSha384 : &kHashSha256);
  Tls_Log(s, LOG_INFO, "Version: %s", versionText(version));
  Tls_Log(s, LOG_INFO, "Cipher Type: %s", Tls_IsEcdheSuite(id) ? "ECDSA" : "RSA");
  Tls_Log(s, LOG_INFO, "Cipher Crypt: %s", suite->CryptInterface->Name);
  Tls_Log(s, LOG_INFO, "Cipher Hash: %s", suite->HashInterface->Name);
  s->HandshakeState = kCertificate;
  return 1;
}

// The session's cause for a chain the walk refused.
TlsCause chainCause(X509ChainVerdict verdict) {
  switch (verdict) {
    case X509ChainVerdict::SelfSigned: return TlsCause::SelfSigned;
    case X509ChainVerdict::UnknownIssuer: return TlsCause::UnknownIssuer;
    case X509ChainVerdict::Expired: return TlsCause::Expired;
    case X509ChainVerdict::NotYetValid: return TlsCause::NotYetValid;
    case X509ChainVerdict::Rejected: return TlsCause::Revoked;
    default: return TlsCause::Invalid;
  }
}

// Refuses the server's certificate: alert 42, raised here, for cause.
int refuseCertificate(TLS1 *s, X509Chain *chain, TlsCause cause, int32_t *alert) {
  X509Chain_Log(chain);
  Tls_FailFor(s, kTlsAlertBadCertificate, cause, 0);
  return fail(alert, kTlsAlertBadCertificate);
}

// The identity of the leaf: its chain for serverAuth now, the name the
// session was started with, and a key the suite can use. Each refusal keeps
// its cause in the session.
int checkServerIdentity(TLS1 *s, X509Chain *chain, X509 *leaf, int32_t *alert) {
  X509ChainVerdict verdict = X509ChainVerdict::Trusted;
  if (!X509Chain_VerifyVerdict(chain, leaf, s->Store, X509Purpose::ServerAuth,
                               double(time(nullptr)), &verdict)) {
    Tls_Log(s, LOG_ERROR, "Failed to verify certificate chain");
    return refuseCertificate(s, chain, chainCause(verdict), alert);
  }
  if (Authenticate_Enabled() && (s->ServerName[0] == 0 || !X509_MatchHostName(leaf, s->ServerName))) {
    Tls_Log(s, LOG_ERROR, "Failed to verify certificate name (%s)", s->ServerName);
    return refuseCertificate(s, chain, TlsCause::NameMismatch, alert);
  }
  const int ecdsa = isEcdsaSuite(s->CipherInfo->Id);
  if (ecdsa ? !keyIsEc(leaf) : !keyIsRsa(leaf)) {
    Tls_Log(s, LOG_ERROR, "Certificate key does not fit the cipher suite");
    return refuseCertificate(s, chain, TlsCause::KeyUnfit, alert);
  }
  return 1;
}

int onCertificate(TLS1 *s, Reader r, int32_t *alert) {
  TlsHandshakeContext *h = s->Handshake;
  const int32_t listLength = int32_t(r.u24());
  if (!r.ok || listLength != r.left()) {
    Tls_Log(s, LOG_ERROR, "Invalid SSL handshake length");
    return fail(alert, kTlsAlertDecodeError);
  }
  X509Chain *chain = nullptr;
  X509Chain_Create(&chain);
  X509 *cert = nullptr;
  X509_Create(&cert);
  int ok = 1;
  while (ok && r.left() > 0) {
    const int32_t length = int32_t(r.u24());
    const uint8_t *der = r.take(length);
    if (!r.ok) {
      Tls_Log(s, LOG_ERROR, "Invalid SSL handshake length");
      ok = fail(alert, kTlsAlertDecodeError);
    } else if (!X509_LoadDer(cert, der, length) || !X509Chain_Add(chain, cert)) {
      Tls_Log(s, LOG_ERROR, "Failed to decode certificate");
      Tls_FailFor(s, kTlsAlertBadCertificate, TlsCause::Unusable, 0);
      ok = fail(alert, kTlsAlertBadCertificate);
    }
  }
  X509_Release(&cert);
  X509 *leaf = nullptr;
  if (ok && !X509Chain_GetFirst(chain, &leaf)) {
    Tls_Log(s, LOG_ERROR, "Failed to get first certificate in chain");
    ok = fail(alert, kTlsAlertBadCertificate);
  }
  if (ok) ok = checkServerIdentity(s, chain, leaf, alert);
  if (ok && s->Renegotiating) {
    // The server of a renegotiation is the one we already trust.
    const uint8_t *oldDer = nullptr, *newDer = nullptr;
    int32_t oldLength = 0, newLength = 0;
    X509_GetDer(h->ServerCertificate, &oldDer, &oldLength);
    X509_GetDer(leaf, &newDer, &newLength);
    if (oldLength != newLength || memcmp(oldDer, newDer, size_t(newLength)) != 0) {
      Tls_Log(s, LOG_ERROR, "Server certificate changed on renegotiation");
      ok = fail(alert, kTlsAlertBadCertificate);
    }
  }
  if (ok && !X509_Copy(h->ServerCertificate, leaf)) ok = fail(alert, kTlsAlertBadCertificate);
  X509Chain_Release(&chain);
  if (!ok) return 0;
  s->HandshakeState = Tls_IsEcdheSuite(s->CipherInfo->Id) ? kServerKeyExchange : kCertificateRequest;
  return 1;
}

int onServerKeyExchange(TLS1 *s, Reader r, int32_t *alert) {
  TlsHandshakeContext *h = s->Handshake;
  X509 *cert = h->ServerCertificate;
  const uint8_t *params = r.data;
  const uint32_t curveType = r.u8();
  const uint32_t curveId = r.u16();
  const int32_t pointLength = int32_t(r.u8());
  const uint8_t *point = r.take(pointLength);
  const int32_t paramsLength = r.at;
  uint32_t hashByte = 0, signatureByte = 0;
  if (s->NegotiatedVersion >= kTlsVersion12) {
    hashByte = r.u8();
    signatureByte = r.u8();
  }
  const int32_t signatureLength = int32_t(r.u16());
  const uint8_t *signature = r.take(signatureLength);
  if (!r.ok || r.left() != 0) return fail(alert, kTlsAlertDecodeError);
  const char *oid = nullptr;
  for (const Curve &c : kCurves)
    if (c.id == curveId) oid = c.oid;
  if (curveType != 3 || !oid) return fail(alert, kTlsAlertIllegalParameter);

  // What is signed, and how: under TLS 1.2 an offered pair whose signature
  // byte names the certificate's key; before it MD5 and SHA-1 for RSA
  // (RFC 2246) and SHA-1 for ECDSA (RFC 4492).
  const int ec = keyIsEc(cert);
  const HashInterface *hash = nullptr;
  if (s->NegotiatedVersion >= kTlsVersion12) {
    if (!offeredPair(hashByte, signatureByte) || signatureByte != uint32_t(ec ? 3 : 1))
      return fail(alert, kTlsAlertIllegalParameter);
    hash = hashFromByte(hashByte);
  } else if (ec) {
    hash = &kHashSha1;
  }
  uint8_t content[2 * kTlsRandomBytes + 4 + 256];
  if (paramsLength > int32_t(sizeof content) - 2 * kTlsRandomBytes)
    return fail(alert, kTlsAlertIllegalParameter);
  memcpy(content, h->ClientRandom, kTlsRandomBytes);
  memcpy(content + kTlsRandomBytes, h->ServerRandom, kTlsRandomBytes);
  memcpy(content + 2 * kTlsRandomBytes, params, size_t(paramsLength));
  const int32_t contentLength = 2 * kTlsRandomBytes + paramsLength;
  uint8_t digest[kHashMaxDigestBytes + 20];
  int verified;
  if (hash) {
    Hash_ComputeDigest(hash, content, contentLength, digest, sizeof digest);
    verified = X509_VerifyRaw(cert, digest, hash->DigestSize, signature, signatureLength,
                              kX509VerifyDigestInfo);
  } else {
    Hash_ComputeDigest(&kHashMd5, content, contentLength, digest, sizeof digest);
    Hash_ComputeDigest(&kHashSha1, content, contentLength, digest + 16, sizeof digest - 16);
    verified = X509_VerifyRaw(cert, digest, 36, signature, signatureLength, kX509VerifyBareDigest);
  }
  if (!verified) {
    Tls_Log(s, LOG_ERROR, "Server key exchange signature failed");
    return fail(alert, kTlsAlertHandshakeFailure);
  }
  if (s->EcdheKey) Ecdhe_Release(&s->EcdheKey);
  Ecdhe_Create(&s->EcdheKey);
  if (!EcGroup_Select(s->EcdheKey->Group, oid) ||
      !EcPoint_Decode(&s->EcdheKey->PeerPoint, s->EcdheKey->Group, point, pointLength))
    return fail(alert, kTlsAlertIllegalParameter);
  s->HandshakeState = kCertificateRequest;
  return 1;
}

int onCertificateRequest(TLS1 *s, Reader r, int32_t *alert) {
  const int32_t typeCount = int32_t(r.u8());
  const uint8_t *types = r.take(typeCount);
  s->CertificateTypeCount = 0;
  for (int32_t i = 0; r.ok && i < typeCount; i++)
    if ((types[i] == 1 || types[i] == 64) && s->CertificateTypeCount < 2)
      s->CertificateTypes[s->CertificateTypeCount++] = types[i];
  // The signature-and-hash list exists only from TLS 1.2 on.
  s->SignaturePairCount = 0;
  if (s->NegotiatedVersion >= kTlsVersion12) {
    const int32_t pairsLength = int32_t(r.u16());
    const uint8_t *pairs = r.take(pairsLength);
    if (!r.ok || pairsLength % 2) return fail(alert, kTlsAlertDecodeError);
    for (int32_t i = 0; i < pairsLength && s->SignaturePairCount < 128; i += 2)
      s->SignaturePairs[s->SignaturePairCount++] = uint16_t(pairs[i] << 8 | pairs[i + 1]);
  }
  const int32_t authoritiesLength = int32_t(r.u16());
  r.take(authoritiesLength);
  if (!r.ok || r.left() != 0) return fail(alert, kTlsAlertDecodeError);
  s->Flags |= kTlsFlagCertificateRequested;
  s->HandshakeState = kServerHelloDone;
  return 1;
}

int sendClientKeyExchange(TLS1 *s) {
  TlsHandshakeContext *h = s->Handshake;
  uint8_t body[2 + kCryptAsymmetricEncryptCapacity];
  int32_t bodyLength = 0;
  uint8_t premaster[kEcdheSecretMaxBytes > kCryptAsymmetricPremasterBytes
                        ? kEcdheSecretMaxBytes
                        : kCryptAsymmetricPremasterBytes];
  int32_t premasterLength = 0;
  int ok;
  if (Tls_IsEcdheSuite(s->CipherInfo->Id)) {
    uint8_t point[kEcdhePublicMaxBytes];
    int pointLength = 0, secretLength = 0;
    ok = s->EcdheKey && Ecdhe_ComputeSecret(s->EcdheKey, point, &pointLength, premaster, &secretLength) &&
         pointLength < 256;
    if (ok) {
      body[0] = uint8_t(pointLength);
      memcpy(body + 1, point, size_t(pointLength));
      bodyLength = 1 + pointLength;
      premasterLength = secretLength;
    }
  } else {
    // The version of our ClientHello, so the server can detect a rollback.
    premaster[0] = 3;
    premaster[1] = uint8_t(h->HelloVersion & 0xf);
    int32_t written = 0;
    ok = Platform_RandomBytes(premaster + 2, kCryptAsymmetricPremasterBytes - 2) &&
         keyIsRsa(h->ServerCertificate) &&
         CryptAsymmetric_Encrypt(h->ServerCertificate->PublicKey, premaster, body + 2, &written);
    if (ok) {
      body[0] = uint8_t(written >> 8);
      body[1] = uint8_t(written);
      bodyLength = 2 + written;
      premasterLength = kCryptAsymmetricPremasterBytes;
    }
  }
  ok = ok && Tls_DeriveMasterSecret(s, premaster, premasterLength) &&
       sendMessage(s, kClientKeyExchange, body, bodyLength);
  explicit_bzero(premaster, sizeof premaster);
  return ok;
}

int sendChangeCipherSpec(TLS1 *s) {
  static const uint8_t kOne[1] = {1};
  if (!Tls_WriteRecord(s, kTypeChangeCipherSpec, kOne, 1)) return 0;
  s->Flags |= kTlsFlagWriteProtected;
  s->WriteSequence = 0;
  return Tls_ActivateKeys(s, 1);
}

int sendFinished(TLS1 *s) {
  uint8_t verify[kTlsVerifyBytes];
  int32_t length = 0;
  if (!Tls_HandshakeDigest(s, nullptr, "client finished", verify, kTlsVerifyBytes, &length))
    return 0;
  memcpy(s->ClientVerify, verify, kTlsVerifyBytes);
  return sendMessage(s, kFinished, verify, kTlsVerifyBytes);
}

// Our certificate and the bundle's certificates that issued it, in order,
// until one issued itself or none is found.
int sendCertificate(TLS1 *s) {
  TlsHandshakeContext *h = s->Handshake;
  std::vector<uint8_t> m = {11, 0, 0, 0, 0, 0, 0};
  X509 *cert = nullptr;
  if (!h->Pkcs12 && s->DeclineCertificate) {
    // An empty list, and no CertificateVerify follows (RFC 5246 7.4.6).
    Tls_Log(s, LOG_INFO, "Client certificate requested; none sent");
    s->Flags &= ~kTlsFlagCertificateRequested;
    s->CertificateDeclined = 1;
  } else if (!h->Pkcs12 || !PKCS12_GetCertificate(h->Pkcs12, &cert)) {
    Tls_Log(s, LOG_ERROR, "PKCS12 client certificate not found");
    s->Flags &= ~kTlsFlagCertificateRequested;
  }
  for (int depth = 0; cert && depth < kX509ChainMaxDepth; depth++) {
    const uint8_t *der = nullptr;
    int32_t length = 0;
    X509_GetDer(cert, &der, &length);
    if (m.size() + 3 + size_t(length) >= size_t(kTlsMaxPlaintextBytes)) {
      Tls_Log(s, LOG_ERROR, "PKCS12 client certificate overflow");
      return 0;
    }
    m.insert(m.end(), {uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)});
    m.insert(m.end(), der, der + length);
    X509 *issuer = nullptr;
    if (X509_IsSelfIssued(cert) || !X509Chain_FindIssuer(h->Pkcs12->Chain, cert, &issuer) ||
        issuer == cert)
      break;
    cert = issuer;
  }
  const size_t list = m.size() - 7, body = m.size() - 4;
  m[1] = uint8_t(body >> 16), m[2] = uint8_t(body >> 8), m[3] = uint8_t(body);
  m[4] = uint8_t(list >> 16), m[5] = uint8_t(list >> 8), m[6] = uint8_t(list);
  return Tls_WriteRecord(s, kTypeHandshake, m.data(), int32_t(m.size()));
}

// The signature over the handshake so far: under TLS 1.2 the selected pair's
// hash (RSA with its DigestInfo); before it MD5 and SHA-1 for RSA (bare) and
// SHA-1 for ECDSA.
int sendCertificateVerify(TLS1 *s) {
  TlsHandshakeContext *h = s->Handshake;
  CryptAsymmetric *key = h->Pkcs12->Key;
  const int ec = key->Interface == &kCryptAsymmetricEcdsa;
  uint8_t signed_[19 + kHashMaxDigestBytes * 2];
  int32_t length = 0, prefix = 0;
  const int tls12 = s->NegotiatedVersion >= kTlsVersion12;
  if (tls12 && !ec) {
    const uint8_t *info = nullptr;
    switch (h->SignaturePair >> 8) {
      case 4: info = kSha256Info; break;
      case 5: info = kSha384Info; break;
      case 6: info = kSha512Info; break;
    }
    if (!info) {
      Tls_Log(s, LOG_ERROR, "PKCS12 unsupported signature hash algorithm");
      return 0;
    }
    prefix = int32_t(sizeof kSha256Info);
    memcpy(signed_, info, size_t(prefix));
  }
  HashHandle *source = tls12 ? h->CertVerifyHash : ec ? h->Sha1 : nullptr;
  int32_t digestLength = 0;
  // Below 1.2 without a source the MD5 and SHA-1 pair is taken.
  if (!tls12 && !ec) {
    if (!Tls_HandshakeDigest(s, nullptr, nullptr, signed_, sizeof signed_, &digestLength)) return 0;
  } else if (!Tls_HandshakeDigest(s, source, nullptr, signed_ + prefix, int32_t(sizeof signed_) - prefix,
                                  &digestLength)) {
    return 0;
  }
  length = prefix + digestLength;
  uint8_t body[4 + kCryptAsymmetricEncryptCapacity];
  int32_t at = 0;
  if (tls12) {
    body[at++] = uint8_t(h->SignaturePair >> 8);
    body[at++] = uint8_t(h->SignaturePair);
  }
  int32_t written = 0;
  if (!CryptAsymmetric_Sign(key, signed_, length, body + at + 2, int32_t(sizeof body) - at - 2, &written))
    return 0;
  body[at] = uint8_t(written >> 8);
  body[at + 1] = uint8_t(written);
  return sendMessage(s, kCertificateVerify, body, at + 2 + written);
}

int onServerHelloDone(TLS1 *s, Reader r, int32_t *alert) {
  if (r.left() != 0) return fail(alert, kTlsAlertDecodeError);
  if ((s->Flags & kTlsFlagCertificateRequested) && !s->Handshake->Pkcs12 &&
      !s->DeclineCertificate) {
    void *context = nullptr;
    CallbackFunction function = nullptr;
    if (Callback_Get(&s->CertificateRequest, &context, &function) && function)
      reinterpret_cast<TlsCertificateRequestFunction>(function)(s, context);
    Tls_Log(s, LOG_ERROR, "No certificate found");
    return fail(alert, kTlsAlertHandshakeFailure);
  }
  const int requested = (s->Flags & kTlsFlagCertificateRequested) != 0;
  int ok = !requested || sendCertificate(s);
  ok = ok && sendClientKeyExchange(s);
  if (ok && requested && (s->Flags & kTlsFlagCertificateRequested)) ok = sendCertificateVerify(s);
  ok = ok && sendChangeCipherSpec(s) && sendFinished(s);
  s->HandshakeState = kTlsStateFinished;
  return ok ? 1 : fail(alert, kTlsAlertHandshakeFailure);
}

int onFinished(TLS1 *s, Reader r, int32_t *alert) {
  if (!(s->Flags & kTlsFlagReadProtected) || !s->ReadKeysActivated)
    return fail(alert, kTlsAlertUnexpectedMessage);
  const uint8_t *verify = r.take(kTlsVerifyBytes);
  if (!r.ok || r.left() != 0) return fail(alert, kTlsAlertDecodeError);
  if (!Crypt_ConstantTimeEqual(verify, s->Handshake->ExpectedVerify, kTlsVerifyBytes)) {
    Tls_Log(s, LOG_ERROR, "Finished verify data mismatch");
    return fail(alert, kTlsAlertHandshakeFailure);
  }
  memcpy(s->ServerVerify, verify, kTlsVerifyBytes);
  s->HandshakeState = kTlsStateEstablished;
  s->Renegotiating = 0;
  int32_t zero = 0;
  s->HandshakeDone.compare_exchange_strong(zero, 1);
  return 1;
}

// A HelloRequest: ignored while a handshake runs; on an established session
// a new handshake under the current keys when the server proved RFC 5746,
// else a warning and the session goes on.
int onHelloRequest(TLS1 *s, Reader r, int32_t *alert) {
  if (r.left() != 0) return fail(alert, kTlsAlertDecodeError);
  if (s->HandshakeState != kTlsStateEstablished) return 1;
  if (!s->SecureRenegotiation) {
    static const uint8_t kWarning[2] = {1, kTlsAlertNoRenegotiation};
    Tls_Log(s, LOG_WARNING, "Renegotiation refused: the server does not support RFC 5746");
    Tls_WriteRecord(s, kTypeAlert, kWarning, 2);
    return 1;
  }
  // Messages behind this one in the buffer belong to the new handshake.
  const int32_t pending = s->Handshake->MessageLength;
  Tls_ClearHandshakeContext(s);
  s->Handshake->MessageLength = pending;
  s->Renegotiating = 1;
  s->ReadKeysActivated = 0;
  s->Flags &= ~kTlsFlagCertificateRequested;
  if (!Tls_SendClientHello(s, s->ServerName)) return fail(alert, kTlsAlertHandshakeFailure);
  return 1;
}

// One complete message. The type must be the one the state expects.
int takeMessage(TLS1 *s, const uint8_t *message, int32_t length, int32_t *alert) {
  const uint8_t type = message[0];
  Reader r{message + 4, length - 4};
  Tls_Log(s, LOG_DEBUG, "Handshake State (%s): %s", "RX", Tls_HandshakeTypeName(type));
  if (!(s->Flags & kTlsFlagClient)) {
    Tls_Log(s, LOG_ERROR, "Server side TLS is not supported\n");
    return fail(alert, kTlsAlertHandshakeFailure);
  }
  if (type == kHelloRequest) return onHelloRequest(s, r, alert);
  const int expected =
      type == s->HandshakeState ||
      (s->HandshakeState == kCertificateRequest && type == kServerHelloDone);
  if (!expected) return fail(alert, kTlsAlertHandshakeFailure);
  Tls_UpdateHandshakeHash(s, message, length);
  switch (type) {
    case kServerHello: return onServerHello(s, r, alert);
    case kCertificate: return onCertificate(s, r, alert);
    case kServerKeyExchange: return onServerKeyExchange(s, r, alert);
    case kCertificateRequest: return onCertificateRequest(s, r, alert);
    case kServerHelloDone: return onServerHelloDone(s, r, alert);
    case kFinished: return onFinished(s, r, alert);
    default: return fail(alert, kTlsAlertHandshakeFailure);
  }
}

// Appends data to the message buffer, growing it up to the largest message
// with its header.
int appendMessageBytes(TlsHandshakeContext *h, const uint8_t *data, int32_t length) {
  const int32_t need = h->MessageLength + length;
  if (need > 4 + kTlsMaxHandshakeMessageBytes + kTlsMaxRecordBytes) return 0;
  if (need > h->MessageCapacity) {
    int32_t capacity = h->MessageCapacity ? h->MessageCapacity : 4096;
    while (capacity < need) capacity *= 2;
    auto *grown = static_cast<uint8_t *>(MEM_ALLOC(size_t(capacity), 0));
    if (h->MessageLength) memcpy(grown, h->Message, size_t(h->MessageLength));
    if (h->Message) {
      explicit_bzero(h->Message, size_t(h->MessageCapacity));
      MEM_FREE(h->Message, size_t(h->MessageCapacity));
    }
    h->Message = grown;
    h->MessageCapacity = capacity;
  }
  memcpy(h->Message + h->MessageLength, data, size_t(length));
  h->MessageLength = need;
  return 1;
}

}  // namespace

int Tls_ProcessHandshake(TLS1 *session, const uint8_t *data, int32_t length, int32_t *alert) {
  CLASS_CHECK(session, kTls1Tag);
  CHECK_POINTER(alert);
  TLS1 *s = session;
  TlsHandshakeContext *h = s->Handshake;
  *alert = 0;
  if (length <= 0) return fail(alert, kTlsAlertDecodeError);
  if (!appendMessageBytes(h, data, length)) return fail(alert, kTlsAlertHandshakeFailure);
  int32_t used = 0;
  int ok = 1;
  while (ok && h->MessageLength - used >= 4) {
    const uint8_t *m = h->Message + used;
    const int32_t bodyLength = int32_t(uint32_t(m[1]) << 16 | uint32_t(m[2]) << 8 | m[3]);
    if (bodyLength > kTlsMaxHandshakeMessageBytes) {
      Tls_Log(s, LOG_ERROR, "Invalid SSL handshake length");
      ok = fail(alert, kTlsAlertHandshakeFailure);
      break;
    }
    if (h->MessageLength - used < 4 + bodyLength) break;
    used += 4 + bodyLength;
    ok = takeMessage(s, m, 4 + bodyLength, alert);
  }
  if (used) {
    memmove(h->Message, h->Message + used, size_t(h->MessageLength - used));
    h->MessageLength -= used;
  }
  return ok;
}

int Tls_GetRequestedCertificateTypes(TLS1 *session, char *text) {
  CLASS_CHECK(session, kTls1Tag);
  CHECK_POINTER(text);
  text[0] = 0;
  size_t used = 0;
  for (int32_t i = 0; i < session->CertificateTypeCount && i < 2; i++) {
    const char *name = session->CertificateTypes[i] == 1 ? "rsa" : "ecdsa";
    const size_t n = strlen(name);
    if (used + n + 2 > size_t(kRequestedTypesBytes)) break;
    if (used) text[used++] = ',';
    memcpy(text + used, name, n + 1);
    used += n;
  }
  return 1;
}

int Tls_SelectClientSignature(TLS1 *session, PKCS12 *pkcs12, uint16_t *pair) {
  CLASS_CHECK(session, kTls1Tag);
  CHECK_POINTER(pkcs12);
  CHECK_POINTER(pair);
  TLS1 *s = session;
  *pair = 0;
  X509 *cert = nullptr;
  const CryptAsymmetricInterface *kind = pkcs12->Key->Interface;
  if (!PKCS12_GetCertificate(pkcs12, &cert)) {
    Tls_Log(s, LOG_ERROR, "Client certificate not found");
    return 0;
  }
  if (kind != &kCryptAsymmetricRsa && kind != &kCryptAsymmetricEcdsa) {
    Tls_Log(s, LOG_ERROR, "Invalid client certificate type\n");
    return 0;
  }
  const int ec = kind == &kCryptAsymmetricEcdsa;
  const uint8_t type = ec ? 64 : 1, signature = ec ? 3 : 1;
  int asked = s->CertificateTypeCount == 0;
  for (int32_t i = 0; i < s->CertificateTypeCount; i++) asked |= s->CertificateTypes[i] == type;
  if (!asked) {
    Tls_Log(s, LOG_ERROR, "Unexpected client certificate type [%d]", type);
    return 0;
  }
  for (int32_t i = 0; i < s->SignaturePairCount; i++) {
    const uint16_t p = s->SignaturePairs[i];
    if ((p & 0xff) == signature && canSign(ec, p >> 8)) {
      *pair = p;
      return 1;
    }
  }
  const uint8_t hash = byteOfHash(cert->SignatureHash);
  if (!hash) {
    Tls_Log(s, LOG_ERROR, "Invalid client certificate\n");
    return 0;
  }
  // An RSA certificate signed with SHA-1 or SHA-224 signs with SHA-256.
  *pair = uint16_t(canSign(ec, hash) ? hash : 4) << 8 | signature;
  return 1;
}

int Tls_SetDeclineCertificate(TLS1 *session, int32_t on) {
  CLASS_CHECK(session, kTls1Tag);
  CriticalSection_Enter(session->Lock);
  session->DeclineCertificate = on ? 1 : 0;
  CriticalSection_Leave(session->Lock);
  return 1;
}

int Tls_IsCertificateDeclined(TLS1 *session) {
  CLASS_CHECK(session, kTls1Tag);
  CriticalSection_Enter(session->Lock);
  int declined = session->CertificateDeclined;
  CriticalSection_Leave(session->Lock);
  return declined;
}

int Tls_SetClientCertificate(TLS1 *session, const void *data, int32_t length, const char *password) {
  CLASS_CHECK(session, kTls1Tag);
  TLS1 *s = session;
  CriticalSection_Enter(s->Lock);
  TlsHandshakeContext *h = s->Handshake;
  if (h->Pkcs12) PKCS12_Release(&h->Pkcs12);
  if (h->CertVerifyHash) Hash_Delete(&h->CertVerifyHash);
  int ok = 1;
  if (data) {
    PKCS12_Create(&h->Pkcs12);
    uint16_t pair = 0;
    ok = PKCS12_LoadDer(h->Pkcs12, data, length, password) &&
         Tls_SelectClientSignature(s, h->Pkcs12, &pair);
    if (ok) {
      h->SignaturePair = pair;
      Hash_Create(&h->CertVerifyHash);
      ok = Hash_SetInterface(h->CertVerifyHash, hashFromByte(pair >> 8));
    }
    if (!ok) {
      PKCS12_Release(&h->Pkcs12);
      if (h->CertVerifyHash) Hash_Delete(&h->CertVerifyHash);
    }
  }
  CriticalSection_Leave(s->Lock);
  return ok;
}
