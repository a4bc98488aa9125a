// The TLS suite catalogue, the process-wide settings, the global, the
// key-log path and the default certificate store. See tls1.h.
#include <atomic>
#include <cstring>
#include <mutex>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
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
