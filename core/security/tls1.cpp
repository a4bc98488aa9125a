// The TLS session and its record layer. See tls1.h.
#include "core/security/tls1.h"

#include <cstdarg>
#include <cstring>

#include "core/platform/platform.h"
#include "core/runtime/critsection.h"
#include "core/runtime/dupstream.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/certstorei.h"
#include "core/security/ctcheck.h"
#include "core/security/ecdhe.h"
#include "core/security/pkcs12.h"
#include "core/security/tls1_internal.h"
#include "core/security/x509.h"

namespace {

constexpr uint8_t kTypeChangeCipherSpec = 20;
constexpr uint8_t kTypeAlert = 21;
constexpr uint8_t kTypeHandshake = 22;
constexpr uint8_t kTypeApplicationData = 23;
// The 1-byte record of the 1/n-1 split at its largest: header, byte, MAC and
// a full block of padding.
constexpr int32_t kSplitRecordBytes = 5 + 1 + kTlsMaxMacBytes + 16;

// Holds the session lock for a scope.
class SessionGuard {
 public:
  explicit SessionGuard(TLS1 *session) : lock_(session->Lock) { CriticalSection_Enter(lock_); }
  ~SessionGuard() { CriticalSection_Leave(lock_); }
  SessionGuard(const SessionGuard &) = delete;
  SessionGuard &operator=(const SessionGuard &) = delete;

 private:
  CriticalSection *lock_;
};

TLS1 *checked(TLS1 *session) {
  CLASS_CHECK(session, kTls1Tag);
  return session;
}

void putSequence(uint8_t *out, uint64_t sequence) {
  for (int i = 7; i >= 0; i--, sequence >>= 8) out[i] = uint8_t(sequence);
}

// The 13 bytes every record MAC and GCM tag covers.
void macHeader(uint8_t *out, uint64_t sequence, uint8_t type, uint8_t major, uint8_t minor,
               int32_t length) {
  putSequence(out, sequence);
  out[8] = type;
  out[9] = major;
  out[10] = minor;
  out[11] = uint8_t(length >> 8);
  out[12] = uint8_t(length);
}

void handshakeContextClear(TlsHandshakeContext *h) {
  Hash_Reset(h->Md5);
  Hash_Reset(h->Sha1);
  Hash_SetInterface(h->Running, nullptr);
  Hash_Reset(h->Running);
  if (h->KeyBlock) {
    explicit_bzero(h->KeyBlock, size_t(h->KeyBlockSize));
    MEM_FREE(h->KeyBlock, size_t(h->KeyBlockSize));
  }
  h->KeyBlock = nullptr;
  h->KeyBlockSize = 0;
  if (!h->Pkcs12) h->SignaturePair = 0;  // the client certificate's pair stays
  h->MessageLength = 0;
  h->HelloVersion = 0;
  if (h->CertVerifyHash) Hash_Reset(h->CertVerifyHash);
  explicit_bzero(h->ExpectedVerify, sizeof h->ExpectedVerify);
  explicit_bzero(h->MasterSecret, sizeof h->MasterSecret);
  memset(h->ClientRandom, 0, sizeof h->ClientRandom);
  memset(h->ServerRandom, 0, sizeof h->ServerRandom);
}

void handshakeContextFree(TlsHandshakeContext **context) {
  TlsHandshakeContext *h = *context;
  if (!h) return;
  *context = nullptr;
  handshakeContextClear(h);
  Hash_Delete(&h->Md5);
  Hash_Delete(&h->Sha1);
  Hash_Delete(&h->Running);
  if (h->CertVerifyHash) Hash_Delete(&h->CertVerifyHash);
  if (h->Pkcs12) PKCS12_Release(&h->Pkcs12);
  if (h->ServerCertificate) X509_Release(&h->ServerCertificate);
  if (h->Message) {
    explicit_bzero(h->Message, size_t(h->MessageCapacity));
    MEM_FREE(h->Message, size_t(h->MessageCapacity));
  }
  MEM_FREE(h, sizeof *h);
}

TlsHandshakeContext *handshakeContextCreate() {
  auto *h = static_cast<TlsHandshakeContext *>(MEM_ALLOC(sizeof(TlsHandshakeContext), MEM_ZEROED));
  X509_Create(&h->ServerCertificate);
  Hash_Create(&h->Md5);
  Hash_SetInterface(h->Md5, &kHashMd5);
  Hash_Create(&h->Sha1);
  Hash_SetInterface(h->Sha1, &kHashSha1);
  Hash_Create(&h->Running);
  return h;
}

// The owned objects that Tls_Init builds again.
void releaseObjects(TLS1 *s) {
  if (s->RecordBuffer) MemoryStream_Release(&s->RecordBuffer);
  if (s->Transport) DupStream_Release(&s->Transport);
  if (s->WriteCipher) CryptSymmetric_Release(&s->WriteCipher);
  if (s->ReadCipher) CryptSymmetric_Release(&s->ReadCipher);
  if (s->EcdheKey) Ecdhe_Release(&s->EcdheKey);
  TlsMac_Clear(&s->ReadMac);
  TlsMac_Clear(&s->WriteMac);
  handshakeContextFree(&s->Handshake);
}

void emptyBuffers(TLS1 *s) {
  MemoryStream_Empty(s->RecordBuffer);
  DupStream_Empty(s->Transport);
  s->BufferEpoch++;
  s->InputWaits.store(0, std::memory_order_release);
}

// Protection off and every key gone: what a session holds between
// handshakes.
void dropProtection(TLS1 *s) {
  s->Flags &= ~(kTlsFlagWriteProtected | kTlsFlagReadProtected);
  Tls_WipeSecrets(s);
  // Fresh cipher objects: the old ones wipe their key schedules on release.
  CryptSymmetric_Release(&s->WriteCipher);
  CryptSymmetric_Create(&s->WriteCipher);
  CryptSymmetric_Release(&s->ReadCipher);
  CryptSymmetric_Create(&s->ReadCipher);
  explicit_bzero(s->WriteIV, sizeof s->WriteIV);
  explicit_bzero(s->ReadIV, sizeof s->ReadIV);
  s->ReadSequence = 0;
  s->WriteSequence = 0;
  s->ReadKeysActivated = 0;
}

void tlsDestroy(void **object) { Tls_Delete(reinterpret_cast<TLS1 **>(object)); }

uint8_t recordMinor(TLS1 *s) {
  if (s->HandshakeState == kTlsStateClientHello) return kTlsVersion10 & 0xf;
  return uint8_t(s->NegotiatedVersion & 0xf);
}

// ---- reading ---------------------------------------------------------------

constexpr int32_t kGcmOverhead = kTlsGcmNonceBytes + kTlsGcmTagBytes;

// Deciphers a GCM record body of length bytes into out (length - 24 bytes;
// out may be the data's own place, body + 8) and checks its tag. 0 with the
// alert in *alert; out then holds bytes that must not be used.
int openGcmRecord(TLS1 *s, const uint8_t *body, int32_t length, uint8_t *out, int32_t *alert) {
  if (length < kGcmOverhead) {
    Tls_Log(s, LOG_ERROR, "Malformed AEAD encrypted data. Unexpected size (%d < %d)", length,
            kGcmOverhead);
    *alert = kTlsAlertDecodeError;
    return 0;
  }
  const int32_t n = length - kGcmOverhead;
  uint8_t nonce[12];
  memcpy(nonce, s->ReadIV, kTlsGcmSaltBytes);
  memcpy(nonce + kTlsGcmSaltBytes, body, kTlsGcmNonceBytes);
  uint8_t header[13];
  macHeader(header, s->ReadSequence, s->Header[0], s->Header[1], s->Header[2], n);
  const uint8_t *data = body + kTlsGcmNonceBytes;
  uint8_t tag[kTlsGcmTagBytes];
  if (!CryptSymmetric_SetAAD(s->ReadCipher, header) ||
      !CryptSymmetric_DecryptIV(s->ReadCipher, nonce, 12, data, out, n) ||
      !CryptSymmetric_GetAuthTag(s->ReadCipher, tag, kTlsGcmTagBytes)) {
    Tls_Log(s, LOG_ERROR, "TLS1 decrypt failed");
    *alert = kTlsAlertDecodeError;
    return 0;
  }
  if (!Crypt_ConstantTimeEqual(tag, data + n, kTlsGcmTagBytes)) {
    Tls_Log(s, LOG_ERROR, "TLS1 failed hmac digest");
    *alert = kTlsAlertBadRecordMac;
    return 0;
  }
  return 1;
}

// Holds a transport queue's lock for a scope.
class InboundGuard {
 public:
  explicit InboundGuard(DupStream *stream) : stream_(stream) { DupStream_LockInbound(stream_); }
  ~InboundGuard() { DupStream_UnlockInbound(stream_); }
  InboundGuard(const InboundGuard &) = delete;
  InboundGuard &operator=(const InboundGuard &) = delete;

 private:
  DupStream *stream_;
};

// Application data under GCM, deciphered from the record buffer straight
// into room behind the inbound queue's data, so that the plaintext is written
// once. Under the queue's lock from the reserve to the commit: the room
// becomes data only after the tag matched, and on a failed tag it is wiped
// before the lock goes, so no reader ever sees a byte of a forged record.
int takeGcmApplicationData(TLS1 *s, uint8_t *body, int32_t length) {
  MemoryStream *inbound = nullptr;
  DupStream_GetInboundStream(s->Transport, &inbound);
  InboundGuard lock(s->Transport);
  const int32_t n = length - kGcmOverhead;
  uint8_t *room = nullptr;
  if (n > 0 && !MemoryStream_ReserveAppend(inbound, n, &room))
    return Tls_FailFor(s, kTlsAlertDecodeError, TlsCause::Record, 0);
  int32_t alert = 0;
  // An empty record deciphers nothing: its out pointer is only a place.
  if (!openGcmRecord(s, body, length, room ? room : body, &alert)) {
    if (room) explicit_bzero(room, size_t(n));
    MemoryStream_CommitAppend(inbound, &room, 0);
    return Tls_FailFor(s, alert, TlsCause::Record, 0);
  }
  s->ReadSequence++;
  MemoryStream_CommitAppend(inbound, &room, n > 0 ? n : 0);
  return 1;
}

// Deciphers and checks the body in place. *plain and *plainLength give the
// content. 0 with the alert in *alert.
int openRecord(TLS1 *s, uint8_t *body, int32_t length, uint8_t **plain, int32_t *plainLength,
               int32_t *alert) {
  const TlsSuite *suite = s->CipherInfo;
  uint8_t header[13];
  if (Tls_IsGcmSuite(suite)) {
    if (!openGcmRecord(s, body, length, body + kTlsGcmNonceBytes, alert)) return 0;
    *plain = body + kTlsGcmNonceBytes;
    *plainLength = length - kGcmOverhead;
    return 1;
  }
  const int32_t macSize = TlsMac_Size(&s->ReadMac);
  if (suite->BlockSize == 0) {  // RC4
    if (length < macSize ||
        !CryptSymmetric_Decrypt(s->ReadCipher, body, body, length)) {
      Tls_Log(s, LOG_ERROR, "TLS1 decrypt failed");
      *alert = kTlsAlertDecodeError;
      return 0;
    }
    const int32_t n = length - macSize;
    uint8_t expected[kTlsMaxMacBytes];
    macHeader(header, s->ReadSequence, s->Header[0], s->Header[1], s->Header[2], n);
    TlsMac_Compute(&s->ReadMac, header, 13, body, n, expected);
    if (!Crypt_ConstantTimeEqual(expected, body + n, macSize)) {
      Tls_Log(s, LOG_ERROR, "TLS1 failed hmac digest");
      *alert = kTlsAlertBadRecordMac;
      return 0;
    }
    *plain = body;
    *plainLength = n;
    return 1;
  }
  // CBC: under TLS 1.1 and later the first block is the record's own IV.
  const int32_t block = suite->BlockSize;
  const int explicitIv = s->NegotiatedVersion >= kTlsVersion11;
  const int32_t ivBytes = explicitIv ? block : 0;
  if (length % block != 0 || length - ivBytes < macSize + 1) {
    Tls_Log(s, LOG_ERROR, "TLS1 decrypt failed");
    *alert = kTlsAlertDecodeError;
    return 0;
  }
  uint8_t recordIv[16];
  uint8_t *iv = s->ReadIV;
  if (explicitIv) {
    memcpy(recordIv, body, 16);
    iv = recordIv;
  }
  uint8_t *data = body + ivBytes;
  const int32_t n = length - ivBytes;
  if (!CryptSymmetric_DecryptIV(s->ReadCipher, iv, 16, data, data, n)) {
    Tls_Log(s, LOG_ERROR, "TLS1 decrypt failed");
    *alert = kTlsAlertDecodeError;
    return 0;
  }
  // From here to the one result, nothing may depend on the deciphered bytes.
  CT_MARK_SECRET(data, size_t(n));
  macHeader(header, s->ReadSequence, s->Header[0], s->Header[1], s->Header[2], 0);
  int32_t content = 0;
  int ok = TlsMac_CheckCbcRecord(&s->ReadMac, header, data, n, &content);
  CT_MARK_PUBLIC(&ok, sizeof ok);
  CT_MARK_PUBLIC(&content, sizeof content);
  CT_MARK_PUBLIC(data, size_t(n));
  if (!ok) {
    Tls_Log(s, LOG_ERROR, "TLS1 failed hmac digest");
    *alert = kTlsAlertBadRecordMac;
    return 0;
  }
  *plain = data;
  *plainLength = content;
  return 1;
}

// Keeps the printable start of an answer that is not TLS (at most
// kTlsAnswerQuoteBytes, up to its first byte that is not).
void quoteAnswer(TLS1 *s, const uint8_t *data, int32_t length) {
  int32_t n = 0;
  while (n < length && n < kTlsAnswerQuoteBytes && data[n] >= 0x20 && data[n] < 0x7f) {
    s->ErrorAnswer[n] = char(data[n]);
    n++;
  }
  s->ErrorAnswer[n] = '\0';
}

// One alert record. Returns 0 when processing ends.
int takeAlert(TLS1 *s, const uint8_t *data, int32_t length) {
  if (length < 2) return Tls_Fail(s, kTlsAlertDecodeError);
  const int32_t level = data[0], code = data[1];
  Tls_Log(s, LOG_INFO, "Alert: %s (%d)", Tls_AlertName(code), code);
  if (level == 1 && code == kTlsAlertCloseNotify) {
    if (!(s->Flags & kTlsFlagCloseNotify)) {
      static const uint8_t kCloseNotify[2] = {1, 0};
      Tls_WriteRecord(s, kTypeAlert, kCloseNotify, 2);
    }
    s->Flags |= kTlsFlagCloseNotify;
    return 1;
  }
  // The peer's description becomes the error; a fatal close_notify (code 0)
  // still ends the session.
  TlsCause cause = s->HandshakeDone.load() ? TlsCause::Ended : TlsCause::Alert;
  // Servers that speak nothing below TLS 1.2 answer a hello capped lower so.
  if (cause == TlsCause::Alert && s->HandshakeState == 2 && s->CipherInfo == nullptr &&
      s->OfferedVersion < kTlsVersion12 && (code == kTlsAlertInvalidVersion || code == 80))
    cause = TlsCause::VersionCapped;
  Tls_FailFor(s, code ? code : kTlsAlertUnexpectedMessage, cause, 1);
  return 0;
}

// Dispatches one complete record. Returns 0 when processing ends.
int takeRecord(TLS1 *s, uint8_t *body, int32_t length) {
  if ((s->Flags & kTlsFlagReadProtected) && s->Header[0] == kTypeApplicationData &&
      s->HandshakeDone.load() && Tls_IsGcmSuite(s->CipherInfo))
    return takeGcmApplicationData(s, body, length);
  uint8_t *data = body;
  int32_t n = length;
  if (s->Flags & kTlsFlagReadProtected) {
    int32_t alert = 0;
    if (!openRecord(s, body, length, &data, &n, &alert))
      return Tls_FailFor(s, alert, TlsCause::Record, 0);
    s->ReadSequence++;
  }
  switch (s->Header[0]) {
    case kTypeChangeCipherSpec:
      // Only {1}, after our Finished and before the server's, never inside
      // a handshake message split over records.
      if (n != 1 || data[0] != 1 || s->HandshakeState != kTlsStateFinished ||
          s->ReadKeysActivated || s->Handshake->MessageLength != 0)
        return Tls_Fail(s, kTlsAlertUnexpectedMessage);
      s->Flags |= kTlsFlagReadProtected;
      if (!Tls_ActivateKeys(s, 0)) return Tls_Fail(s, kTlsAlertHandshakeFailure);
      s->ReadSequence = 0;
      return 1;
    case kTypeAlert:
      return takeAlert(s, data, n);
    case kTypeHandshake: {
      if (!s->Handshake) return Tls_Fail(s, kTlsAlertNoRenegotiation);
      int32_t alert = 0;
      if (!Tls_ProcessHandshake(s, data, n, &alert)) return Tls_Fail(s, alert ? alert : kTlsAlertHandshakeFailure);
      return 1;
    }
    case kTypeApplicationData:
      if (!(s->Flags & kTlsFlagReadProtected) || !s->HandshakeDone.load())
        return Tls_Fail(s, kTlsAlertUnexpectedMessage);
      if (n > 0 && !DupStream_WriteInbound(s->Transport, data, n))
        return Tls_Fail(s, kTlsAlertDecodeError);
      return 1;
    default:
      return Tls_FailFor(s, kTlsAlertUnexpectedMessage, TlsCause::Record, 0);
  }
}

// ---- writing ---------------------------------------------------------------

// Builds the protected record into the write buffer; its length.
int32_t sealRecord(TLS1 *s, uint8_t type, const uint8_t *data, int32_t length) {
  uint8_t *out = s->WriteBuffer;
  out[0] = type;
  out[1] = 3;
  out[2] = recordMinor(s);
  uint8_t *body = out + 5;
  int32_t bodyLength = 0;
  if (!(s->Flags & kTlsFlagWriteProtected)) {
    memcpy(body, data, size_t(length));
    bodyLength = length;
  } else {
    const TlsSuite *suite = s->CipherInfo;
    uint8_t header[13];
    macHeader(header, s->WriteSequence, type, out[1], out[2], length);
    if (Tls_IsGcmSuite(suite)) {
      uint8_t *nonce = s->WriteIV + kTlsGcmSaltBytes;  // big-endian counter
      for (int i = kTlsGcmNonceBytes - 1; i >= 0 && ++nonce[i] == 0; i--) {
      }
      memcpy(body, nonce, kTlsGcmNonceBytes);
      uint8_t *cipher = body + kTlsGcmNonceBytes;
      if (!CryptSymmetric_SetAAD(s->WriteCipher, header) ||
          !CryptSymmetric_EncryptIV(s->WriteCipher, s->WriteIV, 12, data, cipher, length) ||
          !CryptSymmetric_GetAuthTag(s->WriteCipher, cipher + length, kTlsGcmTagBytes))
        return -1;
      bodyLength = kTlsGcmNonceBytes + length + kTlsGcmTagBytes;
    } else {
      const int32_t block = suite->BlockSize;
      const int explicitIv = block && s->NegotiatedVersion >= kTlsVersion11;
      uint8_t *plain = body + (explicitIv ? block : 0);
      memcpy(plain, data, size_t(length));
      int32_t n = length;
      TlsMac_Compute(&s->WriteMac, header, 13, data, length, plain + n);
      n += TlsMac_Size(&s->WriteMac);
      if (block == 0) {
        if (!CryptSymmetric_Encrypt(s->WriteCipher, plain, plain, n)) return -1;
        bodyLength = n;
      } else {
        const int32_t pad = block - n % block;  // pad bytes of value pad - 1
        memset(plain + n, pad - 1, size_t(pad));
        n += pad;
        uint8_t recordIv[16];
        uint8_t *iv = s->WriteIV;
        if (explicitIv) {
          if (!Platform_RandomBytes(recordIv, 16)) return -1;
          memcpy(body, recordIv, 16);
          iv = recordIv;
        }
        if (!CryptSymmetric_EncryptIV(s->WriteCipher, iv, 16, plain, plain, n)) return -1;
        bodyLength = n + (explicitIv ? block : 0);
      }
    }
    s->WriteSequence++;
  }
  out[3] = uint8_t(bodyLength >> 8);
  out[4] = uint8_t(bodyLength);
  return 5 + bodyLength;
}

int outboundRoom(TLS1 *s) {
  int32_t space = 0;
  DupStream_GetOutboundSpace(s->Transport, &space);
  return space;
}

// 1 when application data may leave: protected, handshake done.
int mayWriteData(TLS1 *s) {
  return (s->Flags & kTlsFlagWriteProtected) && s->HandshakeDone.load() && s->CipherInfo;
}

// The 1/n-1 split: under TLS 1.0 a CBC record's IV is the last block of the
// previous one, which an attacker who chooses plaintext can know; a 1-byte
// record ahead makes the rest start under an IV that a MAC made random.
int splitsRecords(TLS1 *s) {
  return s->NegotiatedVersion < kTlsVersion11 && s->CipherInfo && s->CipherInfo->BlockSize;
}

int writeLocked(TLS1 *s, const uint8_t *data, int32_t length, int32_t *written) {
  *written = 0;
  if (length == 0) return 1;
  if (!mayWriteData(s)) return 0;
  const int split = splitsRecords(s);
  while (*written < length) {
    int32_t chunk = length - *written;
    if (chunk > kTlsMaxPlaintextBytes) chunk = kTlsMaxPlaintextBytes;
    const uint8_t *p = data + *written;
    if (split && chunk > 1) {
      // Both records or neither.
      if (outboundRoom(s) < kTlsRecordRoomBytes + kSplitRecordBytes) break;
      if (!Tls_WriteRecord(s, kTypeApplicationData, p, 1)) break;
      if (!Tls_WriteRecord(s, kTypeApplicationData, p + 1, chunk - 1)) {
        *written += 1;
        break;
      }
    } else if (!Tls_WriteRecord(s, kTypeApplicationData, p, chunk)) {
      break;
    }
    *written += chunk;
  }
  return *written > 0 ? 1 : 0;
}

}  // namespace

// ---- session ---------------------------------------------------------------

int Tls_Create(TLS1 **session) {
  CHECK_POINTER(session);
  auto *s = static_cast<TLS1 *>(MEM_ALLOC(sizeof(TLS1), MEM_ZEROED));
  s->header.classTag = kTls1Tag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = tlsDestroy;
  Class_GenerateInstanceId(&s->header);
  s->Log.object = s;
  s->Log.className = "TLS1";
  CriticalSection_Create(&s->Lock);
  s->WriteBuffer = static_cast<uint8_t *>(MEM_ALLOC(kTlsWriteBufferBytes, 0));
  Tls_Init(s);
  *session = s;
  return 1;
}

int Tls_Init(TLS1 *session) {
  TLS1 *s = checked(session);
  SessionGuard guard(s);
  releaseObjects(s);
  MemoryStream_Create(&s->RecordBuffer);
  MemoryStream_EnableGrowth(s->RecordBuffer);
  MemoryStream_SetMaximumSize(s->RecordBuffer);
  DupStream_Create(&s->Transport);
  CryptSymmetric_Create(&s->WriteCipher);
  CryptSymmetric_Create(&s->ReadCipher);
  s->Handshake = handshakeContextCreate();
  dropProtection(s);
  s->BufferEpoch++;
  const int32_t maximum = Tls_GetVersionMax();
  s->NegotiatedVersion = maximum;
  s->OfferedVersion = maximum < kTlsVersion12 ? maximum : kTlsVersion12;
  s->BytesNeeded = 5;
  s->Flags |= kTlsFlagHeaderUnit | kTlsFlagClient;
  CertStore *store = Tls_DefaultCertStore();
  Tls_SetCertStore(s, store);
  CertStore_Release(&store);
  return 1;
}

void Tls_Delete(TLS1 **session) {
  CHECK_POINTER(session);
  TLS1 *s = *session;
  if (!s) return;
  CLASS_CHECK(s, kTls1Tag);
  *session = nullptr;
  {
    SessionGuard guard(s);
    int32_t one = 1;
    s->HandshakeStarted.compare_exchange_strong(one, 0);
    Tls_WipeSecrets(s);
    releaseObjects(s);
    if (s->Store) CertStore_Release(&s->Store);
    MEM_FREE(s->WriteBuffer, kTlsWriteBufferBytes);
    s->WriteBuffer = nullptr;
  }
  CriticalSection_Delete(&s->Lock);
  s->header.classTag = 0;
  MEM_FREE(s, sizeof(TLS1));
}

int Tls_SetLogCallback(TLS1 *session, void *context, ClassLogSink function) {
  TLS1 *s = checked(session);
  SessionGuard guard(s);
  s->Log.sinkContext = context;
  s->Log.sink = function;
  return 1;
}

int Tls_SetCertificateRequestCallback(TLS1 *session, void *context,
                                      TlsCertificateRequestFunction function) {
  TLS1 *s = checked(session);
  return Callback_Set(&s->CertificateRequest, context, reinterpret_cast<CallbackFunction>(function));
}

int Tls_SetCertStore(TLS1 *session, CertStore *store) {
  TLS1 *s = checked(session);
  SessionGuard guard(s);
  if (s->Store) CertStore_Release(&s->Store);
  if (store) s->Store = CertStore_Retain(store);
  return 1;
}

CertStore *Tls_GetCertStore(TLS1 *session) {
  TLS1 *s = checked(session);
  SessionGuard guard(s);
  return s->Store;
}

int Tls_StartHandshake(TLS1 *session, const char *serverName, int32_t *alert) {
  TLS1 *s = checked(session);
  SessionGuard guard(s);
  if (alert) *alert = 0;
  if (!s->HandshakeStarted.load() || s->HandshakeState != kTlsStateEstablished) {
    s->HandshakeState = kTlsStateClientHello;
    s->Flags = 0;
    dropProtection(s);
  }
  s->Flags |= kTlsFlagHeaderUnit | kTlsFlagClient;
  s->Error.store(0);
  s->HandshakeDone.store(0);
  s->NegotiatedVersion = Tls_GetVersionMax();
  s->BytesNeeded = 5;
  s->ReadKeysActivated = 0;
  s->SecureRenegotiation = 0;
  s->Renegotiating = 0;
  explicit_bzero(s->ClientVerify, sizeof s->ClientVerify);
  explicit_bzero(s->ServerVerify, sizeof s->ServerVerify);
  emptyBuffers(s);
  Tls_WipeSecrets(s);
  handshakeContextClear(s->Handshake);
  int32_t zero = 0;
  s->HandshakeStarted.compare_exchange_strong(zero, 1);
  if (!Tls_SendClientHello(s, serverName)) {
    Tls_Fail(s, kTlsAlertHandshakeFailure);
    if (alert) *alert = kTlsAlertHandshakeFailure;
    return 0;
  }
  return 1;
}

int Tls_WriteRecordInput(TLS1 *session, const void *data, int32_t length, int32_t *written) {
  TLS1 *s = checked(session);
  CHECK_POINTER(written);
  *written = 0;
  if (length <= 0) return length == 0 ? 1 : 0;
  CHECK_POINTER(data);
  SessionGuard guard(s);
  int32_t space = MemoryStream_GetSpace(s->RecordBuffer);
  int32_t take = length < space ? length : space;
  if (take <= 0) return 0;
  MemoryStream_WriteAppend(s->RecordBuffer, data, take, written);
  return *written > 0 ? 1 : 0;
}

int32_t Tls_ReceiveRecordInput(TLS1 *session, int32_t length,
                               int32_t (*receive)(void *receiver, uint8_t *room, int32_t size),
                               void *receiver) {
  TLS1 *s = checked(session);
  CHECK_POINTER(reinterpret_cast<void *>(receive));
  SessionGuard guard(s);
  int32_t space = MemoryStream_GetSpace(s->RecordBuffer);
  int32_t take = length < space ? length : space;
  uint8_t *room = nullptr;
  if (take <= 0 || !MemoryStream_ReserveAppend(s->RecordBuffer, take, &room)) return 0;
  int32_t got = receive(receiver, room, take);
  if (got < 0 || got > take) got = 0;
  MemoryStream_CommitAppend(s->RecordBuffer, &room, got);
  if (got > 0) Tls_ProcessInput(s);
  return got;
}

int Tls_ProcessInput(TLS1 *session) {
  TLS1 *s = checked(session);
  SessionGuard guard(s);
  if (s->Error.load()) return 1;
  const uint32_t epoch = s->BufferEpoch;
  const int32_t available = MemoryStream_GetLength(s->RecordBuffer);
  if (available == 0) {
    s->InputWaits.store(0, std::memory_order_release);
    return 1;
  }
  uint8_t *buffer = nullptr;
  MemoryStream_GetBuffer(s->RecordBuffer, 0, &buffer);
  int32_t offset = 0;
  int ok = 1;
  int32_t waits = 0;
  while (ok && !s->Error.load()) {
    if (s->BytesNeeded > kTlsMaxReadUnitBytes) {
      Tls_Log(s, LOG_ERROR, "SSL read overflow");
      ok = Tls_FailFor(s, kTlsAlertHandshakeFailure, TlsCause::Record, 0);
      break;
    }
    if (s->BytesNeeded == 0 || available - offset < s->BytesNeeded) break;
    uint8_t *unit = buffer + offset;
    if (s->Flags & kTlsFlagHeaderUnit) {
      if (memcmp(unit, "HTTP/", 5) == 0) {
        Tls_Log(s, LOG_ERROR, "Plain HTTP answer to the handshake");
        ok = Tls_FailFor(s, kTlsAlertHandshakeFailure, TlsCause::PlainHttp, 0);
        break;
      }
      if ((unit[0] & 0x80) && unit[2] == 1) {
        Tls_Log(s, LOG_ERROR, "No SSL v23 handshaking allowed");
        ok = Tls_FailFor(s, kTlsAlertHandshakeFailure, TlsCause::Record, 0);
        break;
      }
      // The first record of a handshake that is none of TLS's content types
      // is another protocol's answer: no retry makes it TLS.
      if (!(s->Flags & kTlsFlagRecordSeen) && (unit[0] < 20 || unit[0] > 24)) {
        Tls_Log(s, LOG_ERROR, "Answer to the hello is not TLS");
        quoteAnswer(s, unit, available - offset);
        ok = Tls_FailFor(s, kTlsAlertHandshakeFailure, TlsCause::NotTls, 0);
        break;
      }
      s->Flags |= kTlsFlagRecordSeen;
      const int32_t length = (int32_t(unit[3]) << 8) | unit[4];
      if (length == 0 || length > kTlsMaxRecordBytes) {
        Tls_Log(s, LOG_ERROR, "Invalid SSL message");
        ok = Tls_FailFor(s, kTlsAlertHandshakeFailure, TlsCause::Record, 0);
        break;
      }
      memcpy(s->Header, unit, 5);
      offset += 5;
      s->BytesNeeded = length;
      s->Flags &= ~kTlsFlagHeaderUnit;
    } else {
      const int32_t length = s->BytesNeeded;
      // Deciphering cannot be repeated: application data waits in the
      // record buffer until the reader has made room for it.
      if (s->Header[0] == kTypeApplicationData) {
        int32_t space = 0;
        DupStream_GetInboundSpace(s->Transport, &space);
        if (space < length) {
          waits = 1;
          break;
        }
      }
      offset += length;
      s->BytesNeeded = 5;
      s->Flags |= kTlsFlagHeaderUnit;
      ok = takeRecord(s, unit, length);
      // A handshake step may have started over and emptied the buffer.
      if (s->BufferEpoch != epoch) {
        MemoryStream_ReleaseBuffer(s->RecordBuffer, &buffer);
        return ok;
      }
    }
  }
  MemoryStream_ReleaseBuffer(s->RecordBuffer, &buffer);
  MemoryStream_Discard(s->RecordBuffer, offset);
  s->InputWaits.store(waits, std::memory_order_release);
  return ok;
}

int Tls_ProcessWaitingInput(TLS1 *session) {
  TLS1 *s = checked(session);
  if (!s->InputWaits.load(std::memory_order_acquire)) return 1;
  SessionGuard guard(s);
  int32_t before = 0, after = 0;
  DupStream_GetInboundLength(s->Transport, &before);
  if (!Tls_ProcessInput(s)) return 0;
  DupStream_GetInboundLength(s->Transport, &after);
  return after > before ? 2 : 1;
}

int Tls_WriteRecord(TLS1 *session, uint8_t type, const void *data, int32_t length) {
  TLS1 *s = checked(session);
  SessionGuard guard(s);
  if (length < 0 || length > kTlsMaxPlaintextBytes || (length && !data)) return 0;
  if (outboundRoom(s) < kTlsRecordRoomBytes) return 0;
  const auto *bytes = static_cast<const uint8_t *>(data);
  if (type == kTypeHandshake && length > 0) {
    Tls_Log(s, LOG_DEBUG, "Handshake State (%s): %s", "TX", Tls_HandshakeTypeName(bytes[0]));
    if (bytes[0] != 0) Tls_UpdateHandshakeHash(s, bytes, length);
  }
  const int32_t total = sealRecord(s, type, bytes, length);
  if (total < 0) return 0;
  return DupStream_WriteOutbound(s->Transport, s->WriteBuffer, total);
}

int Tls_Write(TLS1 *session, const void *data, int32_t length, int32_t *written) {
  TLS1 *s = checked(session);
  CHECK_POINTER(written);
  if (length < 0 || (length && !data)) return 0;
  SessionGuard guard(s);
  return writeLocked(s, static_cast<const uint8_t *>(data), length, written);
}

int Tls_EncryptFromStream(TLS1 *session, DupStream *plaintext) {
  TLS1 *s = checked(session);
  CHECK_POINTER(plaintext);
  SessionGuard guard(s);
  if (!mayWriteData(s)) return 0;
  const int32_t needed = kTlsRecordRoomBytes + (splitsRecords(s) ? kSplitRecordBytes : 0);
  if (outboundRoom(s) < needed) return 0;
  // The bytes stay in plaintext until their record is queued.
  DupStream_BeginOutboundTransaction(plaintext);
  MemoryStream *queue = nullptr;
  DupStream_GetOutboundStream(plaintext, &queue);
  int32_t length = MemoryStream_GetLength(queue);
  if (length > kTlsMaxPlaintextBytes) length = kTlsMaxPlaintextBytes;
  int32_t written = 0;
  uint8_t *bytes = nullptr;
  if (length > 0 && MemoryStream_GetBuffer(queue, 0, &bytes)) {
    writeLocked(s, bytes, length, &written);
    MemoryStream_ReleaseBuffer(queue, &bytes);
    MemoryStream_Discard(queue, written);
  }
  DupStream_EndOutboundTransaction(plaintext, 0);
  return written > 0 ? 1 : 0;
}

DupStream *Tls_GetTransportStream(TLS1 *session) { return checked(session)->Transport; }

int Tls_GetOutboundLength(TLS1 *session, int32_t *bytes) {
  TLS1 *s = checked(session);
  CHECK_POINTER(bytes);
  SessionGuard guard(s);
  return DupStream_GetOutboundLength(s->Transport, bytes);
}

int Tls_GetReceiveSpace(TLS1 *session, int32_t *bytes) {
  TLS1 *s = checked(session);
  CHECK_POINTER(bytes);
  SessionGuard guard(s);
  int32_t inbound = 0;
  DupStream_GetInboundSpace(s->Transport, &inbound);
  int32_t records = MemoryStream_GetSpace(s->RecordBuffer);
  *bytes = inbound < records ? inbound : records;
  return 1;
}

int Tls_IsHandshakeStarted(TLS1 *session) { return checked(session)->HandshakeStarted.load(); }
int Tls_IsHandshakeDone(TLS1 *session) { return checked(session)->HandshakeDone.load(); }

int Tls_GetError(TLS1 *session, int32_t *code) {
  CHECK_POINTER(code);
  *code = checked(session)->Error.load();
  return 1;
}

int Tls_ClearError(TLS1 *session) {
  checked(session)->Error.store(0);
  return 1;
}

int Tls_GetFailure(TLS1 *session, TlsFailure *failure) {
  TLS1 *s = checked(session);
  CHECK_POINTER(failure);
  SessionGuard guard(s);
  *failure = TlsFailure{s->Error.load(), TlsCause::None, 0};
  if (failure->alert == 0) return 0;
  failure->cause = s->ErrorCause;
  failure->received = s->ErrorReceived;
  if (failure->cause == TlsCause::NotTls)
    memcpy(failure->answer, s->ErrorAnswer, sizeof failure->answer);
  return 1;
}

int Tls_Reset(TLS1 *session) {
  TLS1 *s = checked(session);
  SessionGuard guard(s);
  emptyBuffers(s);
  s->HandshakeDone.store(0);
  int32_t one = 1;
  s->HandshakeStarted.compare_exchange_strong(one, 0);
  dropProtection(s);
  handshakeContextClear(s->Handshake);
  s->SecureRenegotiation = 0;
  s->Renegotiating = 0;
  s->BytesNeeded = 5;
  s->Flags |= kTlsFlagHeaderUnit;
  const int32_t maximum = Tls_GetVersionMax();
  s->OfferedVersion = maximum < kTlsVersion12 ? maximum : kTlsVersion12;
  return 1;
}

// ---- shared steps ----------------------------------------------------------

void Tls_Log(TLS1 *session, int level, const char *format, ...) {
  if (!Class_LogEnabled(&session->Log, level)) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&session->Log, 0, format, args);
  va_end(args);
}

int Tls_Fail(TLS1 *session, int32_t code) {
  return Tls_FailFor(session, code, TlsCause::Protocol, 0);
}

int Tls_FailFor(TLS1 *session, int32_t code, TlsCause cause, int received) {
  if (session->Error.load() != 0) return 0;
  session->ErrorCause = cause;
  session->ErrorReceived = received;
  int32_t none = 0;
  session->Error.compare_exchange_strong(none, code);
  return 0;
}

void Tls_ClearHandshakeContext(TLS1 *session) {
  TLS1 *s = checked(session);
  handshakeContextClear(s->Handshake);
}

void Tls_UpdateHandshakeHash(TLS1 *session, const void *data, int32_t length) {
  TLS1 *s = checked(session);
  TlsHandshakeContext *h = s->Handshake;
  const auto *bytes = static_cast<const uint8_t *>(data);
  const int hello = length > 0 && (bytes[0] == 1 || bytes[0] == 2);
  if (s->NegotiatedVersion == kTlsVersion12 || s->NegotiatedVersion == 0)
    Hash_Update(h->Running, data, length, nullptr);
  if (s->NegotiatedVersion != kTlsVersion12 || hello) {
    Hash_Update(h->Md5, data, length, nullptr);
    Hash_Update(h->Sha1, data, length, nullptr);
  }
  if (h->CertVerifyHash) Hash_Update(h->CertVerifyHash, data, length, nullptr);
}

void Tls_WipeSecrets(TLS1 *session) {
  TLS1 *s = checked(session);
  if (TlsHandshakeContext *h = s->Handshake) {
    if (h->KeyBlock) {
      explicit_bzero(h->KeyBlock, size_t(h->KeyBlockSize));
      MEM_FREE(h->KeyBlock, size_t(h->KeyBlockSize));
      h->KeyBlock = nullptr;
      h->KeyBlockSize = 0;
    }
    explicit_bzero(h->MasterSecret, sizeof h->MasterSecret);
  }
  // Protected records in flight keep their keys; with protection off these
  // are no longer needed.
  if (!(s->Flags & kTlsFlagWriteProtected)) {
    explicit_bzero(s->WriteMacKey, sizeof s->WriteMacKey);
    TlsMac_Clear(&s->WriteMac);
  }
  if (!(s->Flags & kTlsFlagReadProtected)) {
    explicit_bzero(s->ReadMacKey, sizeof s->ReadMacKey);
    TlsMac_Clear(&s->ReadMac);
  }
}

const char *Tls_AlertName(int32_t code) {
  switch (code) {
    case 0: return "Close Notify";
    case 10: return "Unexpected Message";
    case 20: return "Bad Record MAC";
    case 40: return "Handshake Failure";
    case 42: return "Bad Certificate";
    case 47: return "Illegal Parameter";
    case 50: return "Decode Error";
    case 51: return "Decrypt Error";
    case 70: return "Invalid Version";
    case 100: return "No Renegotiation";
    default: return "Unknown";
  }
}

namespace {

// Alert descriptions in words, for the lines a user reads, and what a
// server that sends one in answer to our hello most likely means.
struct AlertWords {
  int32_t code;
  const char *words;
  const char *meaning;
};
constexpr AlertWords kAlertWords[] = {
    {0, "close notify", nullptr},
    {10, "unexpected message", nullptr},
    {20, "bad record MAC", nullptr},
    {21, "decryption failed", nullptr},
    {22, "record overflow", nullptr},
    {40, "handshake failure", "no common protocol version or cipher suite"},
    {42, "bad certificate", nullptr},
    {43, "unsupported certificate", nullptr},
    {44, "certificate revoked", nullptr},
    {45, "certificate expired", nullptr},
    {46, "certificate unknown", nullptr},
    {47, "illegal parameter", nullptr},
    {48, "unknown CA", nullptr},
    {49, "access denied", nullptr},
    {50, "decode error", nullptr},
    {51, "decrypt error", nullptr},
    {70, "protocol version", "no common protocol version"},
    {71, "insufficient security", "no common cipher suite"},
    {80, "internal error", nullptr},
    {86, "inappropriate fallback", nullptr},
    {90, "user canceled", nullptr},
    {100, "no renegotiation", nullptr},
    {109, "missing extension", nullptr},
    {110, "unsupported extension", nullptr},
    {112, "unrecognized name", nullptr},
    {116, "certificate required", nullptr},
};

const AlertWords *alertWords(int32_t code) {
  for (const AlertWords &row : kAlertWords)
    if (row.code == code) return &row;
  return nullptr;
}

}  // namespace

int Tls_DescribeFailure(const TlsFailure *failure, char *out, int32_t size) {
  CHECK_POINTER(failure);
  CHECK_POINTER(out);
  const AlertWords *row = alertWords(failure->alert);
  char fallback[32];
  Str_Printf(fallback, int(sizeof fallback), "alert %d", failure->alert);
  const char *alert = row != nullptr ? row->words : fallback;
  const char *fixed = nullptr;
  switch (failure->cause) {
    case TlsCause::SelfSigned: fixed = "the server's certificate is not trusted: it is self-signed"; break;
    case TlsCause::UnknownIssuer:
      fixed = "the server's certificate is not trusted: its issuer is unknown";
      break;
    case TlsCause::Expired: fixed = "the server's certificate has expired"; break;
    case TlsCause::NotYetValid: fixed = "the server's certificate is not valid yet"; break;
    case TlsCause::Invalid: fixed = "the server's certificate does not verify"; break;
    case TlsCause::Revoked: fixed = "the server's certificate is revoked"; break;
    case TlsCause::NameMismatch:
      fixed = "the server's certificate is issued for another name than the host";
      break;
    case TlsCause::KeyUnfit:
      fixed = "the server's certificate key does not fit the cipher suite it chose";
      break;
    case TlsCause::Version:
      fixed = "the server refused the handshake: no common protocol version";
      break;
    case TlsCause::Alert:
      Str_Printf(out, size, "the server refused the handshake: %s", alert);
      if (row != nullptr && row->meaning != nullptr)
        Str_AppendPrintf(out, size, " (%s)", row->meaning);
      return 1;
    case TlsCause::Ended:
      Str_Printf(out, size, "the server ended the TLS session: %s", alert);
      return 1;
    case TlsCause::Record:
      Str_Printf(out, size, "a TLS record from the server could not be read (%s)", alert);
      return 1;
    case TlsCause::PlainHttp:
      fixed = "the server answered plain HTTP: use an http:// URL for this port";
      break;
    case TlsCause::NotTls:
      if (failure->answer[0] != '\0')
        Str_Printf(out, size, "the server answered with something that is not TLS (\"%s\")",
                   failure->answer);
      else
        Str_Copy(out, "the server answered with something that is not TLS", size);
      return 1;
    case TlsCause::VersionCapped:
      Str_Printf(out, size,
                 "the server refused the handshake (%s) after a hello capped at TLS 1.%d by "
                 "tls1.versionMax: set it to \"1.2\"",
                 alert, Tls_GetVersionMax() - kTlsVersion10);
      return 1;
    case TlsCause::Unusable:
      fixed = "the server's certificate cannot be used: its key is too weak (RSA below 1024 "
              "bits) or its form is not read";
      break;
    case TlsCause::None:
    case TlsCause::Protocol:
      break;
  }
  if (fixed != nullptr)
    Str_Copy(out, fixed, size);
  else
    Str_Printf(out, size, "TLS handshake failed (%s)", alert);
  return 1;
}

int Tls_IsLastingFailure(const TlsFailure *failure) {
  CHECK_POINTER(failure);
  switch (failure->cause) {
    case TlsCause::SelfSigned:
    case TlsCause::UnknownIssuer:
    case TlsCause::Expired:
    case TlsCause::NotYetValid:
    case TlsCause::Invalid:
    case TlsCause::Revoked:
    case TlsCause::NameMismatch:
    // The server speaks no version we allow: what it would answer with
    // protocol_version had it seen our minimum first.
    case TlsCause::Version:
    case TlsCause::PlainHttp:
    case TlsCause::NotTls:
    case TlsCause::VersionCapped:
    case TlsCause::Unusable:
      return 1;
    default:
      break;
  }
  if (!failure->received) return 0;
  const int32_t a = failure->alert;
  return a == 40 || (a >= 42 && a <= 46) || a == 48 || a == 49 || a == 70 || a == 71;
}

int Tls_IsUntrustedFailure(const TlsFailure *failure) {
  CHECK_POINTER(failure);
  return failure->cause == TlsCause::SelfSigned || failure->cause == TlsCause::UnknownIssuer;
}
