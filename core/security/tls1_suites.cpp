// The TLS suite catalogue, the process-wide settings, the global, the
// key-log path and the default certificate store; the PRF and the key
// schedule. See tls1.h and tls1_internal.h.
#include <atomic>
#include <cstring>
#include <mutex>

#include "core/platform/platform.h"
#include "core/platform/privatefile.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "core/security/hmac.h"
#include "core/security/tls1.h"
#include "core/security/tls1_internal.h"

const TlsSuite kTlsSuites[kTlsSuiteCount] = {
    {0xC02C, 32, 12, 0, &kCryptSymmetricAesGcm, &kHashSha384},
    {0xC030, 32, 12, 0, &kCryptSymmetricAesGcm, &kHashSha384},
    {0xC024, 32, 16, 16, &kCryptSymmetricAes, &kHashSha384},
    {0xC028, 32, 16, 16, &kCryptSymmetricAes, &kHashSha384},
    {0xC00A, 32, 16, 16, &kCryptSymmetricAes, &kHashSha1},
    {0xC014, 32, 16, 16, &kCryptSymmetricAes, &kHashSha1},
    {0x009D, 32, 12, 0, &kCryptSymmetricAesGcm, &kHashSha384},
    {0x003D, 32, 16, 16, &kCryptSymmetricAes, &kHashSha256},
    {0x0035, 32, 16, 16, &kCryptSymmetricAes, &kHashSha1},
    {0xC02B, 16, 12, 0, &kCryptSymmetricAesGcm, &kHashSha256},
    {0xC02F, 16, 12, 0, &kCryptSymmetricAesGcm, &kHashSha256},
    {0xC023, 16, 16, 16, &kCryptSymmetricAes, &kHashSha256},
    {0xC027, 16, 16, 16, &kCryptSymmetricAes, &kHashSha256},
    {0xC009, 16, 16, 16, &kCryptSymmetricAes, &kHashSha1},
    {0xC013, 16, 16, 16, &kCryptSymmetricAes, &kHashSha1},
    {0x009C, 16, 12, 0, &kCryptSymmetricAesGcm, &kHashSha256},
    {0x003C, 16, 16, 16, &kCryptSymmetricAes, &kHashSha256},
    {0x002F, 16, 16, 16, &kCryptSymmetricAes, &kHashSha1},
    {0x0005, 16, 0, 0, &kCryptSymmetricRc4, &kHashSha1},
    {0x0004, 16, 0, 0, &kCryptSymmetricRc4, &kHashMd5},
};

const char kTlsDefaultCipherList[] =
    "ecdhe-ecdsa-aes256-gcm-sha384,ecdhe-rsa-aes256-gcm-sha384,ecdhe-ecdsa-aes128-gcm-sha256,"
    "ecdhe-rsa-aes128-gcm-sha256,rsa-aes256-gcm-sha384,rsa-aes128-gcm-sha256,"
    "ecdhe-ecdsa-aes256-sha384,ecdhe-rsa-aes256-sha384,ecdhe-ecdsa-aes256-sha,"
    "ecdhe-rsa-aes256-sha,ecdhe-ecdsa-aes128-sha256,ecdhe-rsa-aes128-sha256,"
    "ecdhe-ecdsa-aes128-sha,ecdhe-rsa-aes128-sha,rsa-aes256-sha256,rsa-aes256-sha,"
    "rsa-aes128-sha256,rsa-aes128-sha";

namespace {

struct SuiteName {
  const char *name;
  uint16_t id;
};

constexpr SuiteName kSuiteNames[] = {
    {"ecdhe-ecdsa-aes256-gcm-sha384", 0xC02C}, {"ecdhe-rsa-aes256-gcm-sha384", 0xC030},
    {"ecdhe-ecdsa-aes256-sha384", 0xC024},     {"ecdhe-rsa-aes256-sha384", 0xC028},
    {"ecdhe-ecdsa-aes256-sha", 0xC00A},        {"ecdhe-rsa-aes256-sha", 0xC014},
    {"ecdhe-ecdsa-aes128-gcm-sha256", 0xC02B}, {"ecdhe-rsa-aes128-gcm-sha256", 0xC02F},
    {"ecdhe-ecdsa-aes128-sha256", 0xC023},     {"ecdhe-rsa-aes128-sha256", 0xC027},
    {"ecdhe-ecdsa-aes128-sha", 0xC009},        {"ecdhe-rsa-aes128-sha", 0xC013},
    {"rsa-aes256-gcm-sha384", 0x009D},         {"rsa-aes256-sha256", 0x003D},
    {"aes256-sha256", 0x003D},                 {"rsa-aes256-sha", 0x0035},
    {"aes256-sha", 0x0035},                    {"rsa-aes128-gcm-sha256", 0x009C},
    {"rsa-aes128-sha256", 0x003C},             {"aes128-sha256", 0x003C},
    {"rsa-aes128-sha", 0x002F},                {"aes128-sha", 0x002F},
    {"rc4-sha", 0x0005},                       {"rc4-md5", 0x0004},
};

constexpr uint16_t kEcdheIds[] = {0xC009, 0xC00A, 0xC013, 0xC014, 0xC023, 0xC024,
                                  0xC027, 0xC028, 0xC02B, 0xC02C, 0xC02F, 0xC030};

std::atomic<int32_t> gEnabled[kTlsSuiteCount];
std::atomic<int32_t> gVersionMin{kTlsVersion10};
std::atomic<int32_t> gVersionMax{kTlsVersion12};

std::atomic<TlsGlobal *> gTlsGlobal{nullptr};

std::mutex gKeyLogLock;
char gKeyLogPath[kTlsKeyLogPathBytes];

std::atomic<TlsCertStoreSource> gStoreSource{nullptr};

void enableId(uint16_t id) {
  for (int i = 0; i < kTlsSuiteCount; i++)
    if (kTlsSuites[i].Id == id) gEnabled[i].store(1, std::memory_order_relaxed);
}

}  // namespace

int Tls_SuiteEnabled(int index) {
  if (index < 0 || index >= kTlsSuiteCount) return 0;
  return gEnabled[index].load(std::memory_order_relaxed);
}

const TlsSuite *Tls_FindEnabledSuite(uint16_t id) {
  for (int i = 0; i < kTlsSuiteCount; i++)
    if (kTlsSuites[i].Id == id && Tls_SuiteEnabled(i)) return &kTlsSuites[i];
  return nullptr;
}

const TlsSuite *Tls_FindSuite(uint16_t id) {
  for (const TlsSuite &s : kTlsSuites)
    if (s.Id == id) return &s;
  return nullptr;
}

int Tls_GlobalInit(void) {
  auto *global = static_cast<TlsGlobal *>(MEM_ALLOC(sizeof(TlsGlobal), MEM_ZEROED));
  global->tag = kTlsGlobalTag;
  TlsGlobal *expected = nullptr;
  if (!gTlsGlobal.compare_exchange_strong(expected, global)) {
    MEM_FREE(global, sizeof(TlsGlobal));
    return 0;
  }
  return 1;
}

int Tls_Shutdown(void) {
  TlsGlobal *global = gTlsGlobal.exchange(nullptr);
  if (!global) return 1;
  global->tag = 0;
  MEM_FREE(global, sizeof(TlsGlobal));
  return 1;
}

TlsGlobal *Tls_GetGlobal(void) { return gTlsGlobal.load(); }

int32_t Tls_VersionFromText(const char *text) {
  if (!text) return 0;
  if (strcmp(text, "1.0") == 0) return kTlsVersion10;
  if (strcmp(text, "1.1") == 0) return kTlsVersion11;
  if (strcmp(text, "1.2") == 0) return kTlsVersion12;
  return 0;
}

uint16_t Tls_CipherSuiteFromName(const char *name) {
  if (name)
    for (const SuiteName &n : kSuiteNames)
      if (Str_CompareNoCase(n.name, name) == 0) return n.id;
  Log_Print(LOG_WARNING, KSRC, 0, "Unknown cipher suite: %s\n", name ? name : "");
  return 0;
}

int Tls_IsEcdheSuite(uint16_t id) {
  for (uint16_t e : kEcdheIds)
    if (e == id) return 1;
  return 0;
}

int Tls_ApplySettings(const char *cipherList, const char *versionMin, const char *versionMax) {
  const char *p = cipherList ? cipherList : kTlsDefaultCipherList;
  while (*p) {
    const char *end = strchr(p, ',');
    size_t length = end ? size_t(end - p) : strlen(p);
    const char *first = p;
    const char *last = p + length;
    while (first < last && (*first == ' ' || *first == '\t')) first++;
    while (last > first && (last[-1] == ' ' || last[-1] == '\t')) last--;
    if (last > first) {
      char name[64];
      int n = int(last - first) < int(sizeof(name)) - 1 ? int(last - first) : int(sizeof(name)) - 1;
      memcpy(name, first, size_t(n));
      name[n] = 0;
      uint16_t id = Tls_CipherSuiteFromName(name);
      if (id) enableId(id);
    }
    if (!end) break;
    p = end + 1;
  }
  if (int32_t v = Tls_VersionFromText(versionMin)) gVersionMin.store(v);
  if (int32_t v = Tls_VersionFromText(versionMax)) gVersionMax.store(v > kTlsVersion12 ? kTlsVersion12 : v);
  return 1;
}

int32_t Tls_GetVersionMin(void) { return gVersionMin.load(); }
int32_t Tls_GetVersionMax(void) { return gVersionMax.load(); }

void Tls_ResetSettingsForTest(void) {
  for (auto &e : gEnabled) e.store(0);
  gVersionMin.store(kTlsVersion10);
  gVersionMax.store(kTlsVersion12);
}

void Tls_SetKeyLogPath(const char *path) {
  std::lock_guard<std::mutex> guard(gKeyLogLock);
  Str_Copy(gKeyLogPath, path ? path : "", kTlsKeyLogPathBytes);
}

int Tls_GetKeyLogPath(char *out, int32_t size) {
  CHECK_POINTER(out);
  std::lock_guard<std::mutex> guard(gKeyLogLock);
  Str_Copy(out, gKeyLogPath, size);
  return gKeyLogPath[0] != 0;
}

void Tls_SetCertStoreSource(TlsCertStoreSource source) { gStoreSource.store(source); }

CertStore *Tls_DefaultCertStore(void) {
  if (TlsCertStoreSource source = gStoreSource.load())
    if (CertStore *store = source()) return store;
  return Auth_GetCertStore("app");
}

// ---- PRF and key schedule -------------------------------------------------

namespace {

constexpr int32_t kPrfSeedBytes = 256;

// P_hash(secret, seed) xored into out.
int prfHashXor(const HashInterface *hash, const uint8_t *secret, int32_t secretLength,
               const uint8_t *seed, int32_t seedLength, uint8_t *out, int32_t outLength) {
  const int32_t D = hash->DigestSize;
  uint8_t a[kHashMaxDigestBytes + kPrfSeedBytes];  // A(i) | seed
  uint8_t chunk[kHashMaxDigestBytes];
  int ok = Hmac_Compute(hash, seed, seedLength, secret, secretLength, a, D);  // A(1)
  memcpy(a + D, seed, size_t(seedLength));
  for (int32_t done = 0; ok && done < outLength; done += D) {
    ok = Hmac_Compute(hash, a, D + seedLength, secret, secretLength, chunk, D);
    for (int32_t i = 0; ok && i < D && done + i < outLength; i++) out[done + i] ^= chunk[i];
    if (ok) ok = Hmac_Compute(hash, a, D, secret, secretLength, a, D);  // A(i+1)
  }
  explicit_bzero(a, sizeof a);
  explicit_bzero(chunk, sizeof chunk);
  return ok;
}

const HashInterface *prfHash(TLS1 *session) {
  if (session->CipherInfo && session->CipherInfo->HashInterface == &kHashSha384) return &kHashSha384;
  return &kHashSha256;
}

}  // namespace

int Tls_PrfCompute(int32_t version, const HashInterface *hash, const void *secret,
                   int32_t secretLength, const char *label, const void *seed,
                   int32_t seedLength, void *out, int32_t outLength) {
  CHECK_POINTER(out);
  size_t labelLength = label ? strlen(label) : 0;
  if (secretLength < 0 || seedLength < 0 || outLength < 0 ||
      labelLength + size_t(seedLength) > size_t(kPrfSeedBytes) || (secretLength && !secret) ||
      (seedLength && !seed))
    return 0;
  uint8_t fullSeed[kPrfSeedBytes];
  if (labelLength) memcpy(fullSeed, label, labelLength);
  if (seedLength) memcpy(fullSeed + labelLength, seed, size_t(seedLength));
  int32_t fullLength = int32_t(labelLength) + seedLength;
  auto *o = static_cast<uint8_t *>(out);
  auto *s = static_cast<const uint8_t *>(secret);
  memset(o, 0, size_t(outLength));
  if (version >= kTlsVersion12)
    return prfHashXor(hash ? hash : &kHashSha256, s, secretLength, fullSeed, fullLength, o,
                      outLength);
  // Two halves of ceil(n/2) bytes; an odd length shares the middle byte.
  int32_t half = (secretLength + 1) / 2;
  return prfHashXor(&kHashMd5, s, half, fullSeed, fullLength, o, outLength) &&
         prfHashXor(&kHashSha1, s + secretLength - half, half, fullSeed, fullLength, o, outLength);
}

int Tls_Prf(TLS1 *session, const void *secret, int32_t secretLength, const void *seed,
            int32_t seedLength, void *out, int32_t outLength) {
  CLASS_CHECK(session, kTls1Tag);
  return Tls_PrfCompute(session->NegotiatedVersion, prfHash(session), secret, secretLength,
                        nullptr, seed, seedLength, out, outLength);
}

namespace {

int prfLabel(TLS1 *session, const void *secret, int32_t secretLength, const char *label,
             const void *seed, int32_t seedLength, void *out, int32_t outLength) {
  return Tls_PrfCompute(session->NegotiatedVersion, prfHash(session), secret, secretLength, label,
                        seed, seedLength, out, outLength);
}

}  // namespace

int Tls_DeriveMasterSecret(TLS1 *session, const void *premaster, int32_t length) {
  CLASS_CHECK(session, kTls1Tag);
  TlsHandshakeContext *h = session->Handshake;
  uint8_t randoms[2 * kTlsRandomBytes];
  memcpy(randoms, h->ClientRandom, kTlsRandomBytes);
  memcpy(randoms + kTlsRandomBytes, h->ServerRandom, kTlsRandomBytes);
  if (!prfLabel(session, premaster, length, "master secret", randoms, sizeof randoms,
                h->MasterSecret, kTlsMasterSecretBytes))
    return 0;
  Tls_WriteKeyLog(session);
  return 1;
}

int Tls_ActivateKeys(TLS1 *session, int direction) {
  CLASS_CHECK(session, kTls1Tag);
  const TlsSuite *suite = session->CipherInfo;
  TlsHandshakeContext *h = session->Handshake;
  if (!suite) return 0;
  const int gcm = Tls_IsGcmSuite(suite);
  const int32_t macSize = gcm ? 0 : suite->HashInterface->DigestSize;
  const int32_t ivSize = gcm ? kTlsGcmSaltBytes
                             : (session->NegotiatedVersion < kTlsVersion11 ? suite->IVSize : 0);
  if (macSize > kTlsSecretBytes) Core_Abort(KSRC, "TLS1 hash overflow (%d:%d)\n", macSize, kTlsSecretBytes);
  if (ivSize > 16) Core_Abort(KSRC, "TLS1 iv overflow (%d:%d)\n", ivSize, 16);
  if (suite->KeySize > kTlsSecretBytes)
    Core_Abort(KSRC, "TLS1 key overflow (%d:%d)\n", suite->KeySize, kTlsSecretBytes);
  const int32_t size = 2 * (macSize + suite->KeySize + ivSize);
  if (h->KeyBlockSize != size) {
    if (h->KeyBlock) {
      explicit_bzero(h->KeyBlock, size_t(h->KeyBlockSize));
      MEM_FREE(h->KeyBlock, size_t(h->KeyBlockSize));
    }
    h->KeyBlock = static_cast<uint8_t *>(MEM_ALLOC(size_t(size), MEM_ZEROED));
    h->KeyBlockSize = size;
  }
  uint8_t randoms[2 * kTlsRandomBytes];
  memcpy(randoms, h->ServerRandom, kTlsRandomBytes);
  memcpy(randoms + kTlsRandomBytes, h->ClientRandom, kTlsRandomBytes);
  if (!prfLabel(session, h->MasterSecret, kTlsMasterSecretBytes, "key expansion", randoms,
                sizeof randoms, h->KeyBlock, size))
    return 0;
  // client MAC, server MAC, client key, server key, client IV, server IV
  const uint8_t *p = h->KeyBlock;
  const int side = direction ? 0 : 1;  // the client's values go to the write side
  const uint8_t *macKey = p + side * macSize;
  const uint8_t *key = p + 2 * macSize + side * suite->KeySize;
  const uint8_t *iv = p + 2 * (macSize + suite->KeySize) + side * ivSize;
  CryptSymmetric *cipher = direction ? session->WriteCipher : session->ReadCipher;
  uint8_t *storedKey = direction ? session->WriteMacKey : session->ReadMacKey;
  TlsMac *mac = direction ? &session->WriteMac : &session->ReadMac;
  uint8_t *storedIv = direction ? session->WriteIV : session->ReadIV;
  explicit_bzero(storedKey, kTlsSecretBytes);
  memcpy(storedKey, macKey, size_t(macSize));
  session->MacKeyLength = macSize;
  TlsMac_Clear(mac);
  if (!gcm && !TlsMac_SetKey(mac, suite->HashInterface, macKey, macSize)) return 0;
  if (!CryptSymmetric_SetInterface(cipher, suite->CryptInterface) ||
      !CryptSymmetric_SetKey(cipher, key, suite->KeySize))
    return 0;
  memset(storedIv, 0, 16);
  memcpy(storedIv, iv, size_t(ivSize));
  if (gcm && !Platform_RandomBytes(storedIv + kTlsGcmSaltBytes, kTlsGcmNonceBytes)) return 0;
  if (!direction) {
    int32_t written = 0;
    if (!Tls_HandshakeDigest(session, nullptr, "server finished", h->ExpectedVerify,
                             kTlsVerifyBytes, &written))
      return 0;
    session->ReadKeysActivated = 1;
  }
  return 1;
}

int Tls_HandshakeDigest(TLS1 *session, HashHandle *hash, const char *label, uint8_t *out,
                        int32_t outSize, int32_t *outLength) {
  CLASS_CHECK(session, kTls1Tag);
  CHECK_POINTER(out);
  CHECK_POINTER(outLength);
  *outLength = 0;
  TlsHandshakeContext *h = session->Handshake;
  uint8_t digest[2 * kHashMaxDigestBytes];
  int32_t length = 0;
  auto digestOf = [&](HashHandle *source) {
    const HashInterface *record = nullptr;
    Hash_GetInterface(source, &record);
    HashHandle *copy = nullptr;
    Hash_Create(&copy);
    int ok = record && Hash_SetInterface(copy, record) && Hash_CopyState(source, copy) &&
             Hash_Generate(copy) && Hash_GetDigest(copy, digest + length, kHashMaxDigestBytes);
    if (ok) length += record->DigestSize;
    Hash_Delete(&copy);
    return ok;
  };
  int ok;
  if (hash)
    ok = digestOf(hash);
  else if (session->NegotiatedVersion >= kTlsVersion12)
    ok = digestOf(h->Running);
  else
    ok = digestOf(h->Md5) && digestOf(h->Sha1);
  if (!ok) return 0;
  if (label) {
    if (!prfLabel(session, h->MasterSecret, kTlsMasterSecretBytes, label, digest, length, out,
                  outSize))
      return 0;
    *outLength = outSize;
    return 1;
  }
  if (length > outSize) return 0;
  memcpy(out, digest, size_t(length));
  *outLength = length;
  return 1;
}

int32_t Tls_FormatKeyLogLine(const uint8_t clientRandom[32], const uint8_t masterSecret[48],
                             char *out) {
  static const char kHex[] = "0123456789abcdef";
  char *p = out;
  memcpy(p, "CLIENT_RANDOM ", 14);
  p += 14;
  for (int i = 0; i < kTlsRandomBytes; i++) {
    *p++ = kHex[clientRandom[i] >> 4];
    *p++ = kHex[clientRandom[i] & 15];
  }
  *p++ = ' ';
  for (int i = 0; i < kTlsMasterSecretBytes; i++) {
    *p++ = kHex[masterSecret[i] >> 4];
    *p++ = kHex[masterSecret[i] & 15];
  }
  *p++ = '\n';
  *p = 0;
  return int32_t(p - out);
}

int Tls_WriteKeyLog(TLS1 *session) {
  CLASS_CHECK(session, kTls1Tag);
  if (Authenticate_Enabled()) return 0;
  char path[kTlsKeyLogPathBytes];
  if (!Tls_GetKeyLogPath(path, sizeof path)) return 0;
  char line[180];
  int32_t length =
      Tls_FormatKeyLogLine(session->Handshake->ClientRandom, session->Handshake->MasterSecret, line);
  int ok = PrivateFile_AppendLine(path, line, length);
  explicit_bzero(line, sizeof line);
  return ok;
}
