// The thumbprint store; see certstorethumbprint.h.
#include "core/security/certstorethumbprint.h"

#include <cstdarg>
#include <cstring>
#include <vector>

#include "core/runtime/base64.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/x509chain.h"

namespace {

CertStoreThumbprint *thumbFromStore(CertStore *store) {
  CLASS_CHECK(store, kCertStoreTag);
  void *context = nullptr;
  Callback_Get(&store->CheckCertificate, &context, nullptr);
  CLASS_CHECK(context, kCertStoreThumbprintTag);
  return static_cast<CertStoreThumbprint *>(context);
}

void thumbLog(CertStoreThumbprint *store, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void thumbLog(CertStoreThumbprint *store, const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (Class_LogEnabled(&store->Log, LOG_ERROR))
    Class_LogPrint(&store->Log, 0, format, args);
  else
    Log_PrintV(LOG_ERROR, KSRC, 0, format, 1, args);
  va_end(args);
}

void thumbDestroy(void **object) {
  auto *store = static_cast<CertStoreThumbprint *>(*object);
  while (store->Entries != nullptr) {
    CertStoreThumbprintEntry *next = store->Entries->next;
    MEM_FREE(store->Entries, sizeof(CertStoreThumbprintEntry));
    store->Entries = next;
  }
  while (store->Hashes != nullptr) {
    CertStoreThumbprintHash *next = store->Hashes->next;
    MEM_FREE(store->Hashes, sizeof(CertStoreThumbprintHash));
    store->Hashes = next;
  }
  store->header.classTag = 0;
  MEM_FREE(store, sizeof(CertStoreThumbprint));
}

int thumbCheckCertificate(CertStore *, void *context, X509 *cert, int *rejected) {
  auto *store = static_cast<CertStoreThumbprint *>(context);
  CLASS_CHECK(store, kCertStoreThumbprintTag);
  *rejected = 0;
  for (CertStoreThumbprintHash *h = store->Hashes; h != nullptr; h = h->next) {
    uint8_t digest[kHashMaxDigestBytes];
    if (!X509_GetThumbprint(cert, h->hash, digest, sizeof digest)) return 0;
    for (CertStoreThumbprintEntry *e = store->Entries; e != nullptr; e = e->next)
      if (e->hash == h->hash && memcmp(e->digest, digest, size_t(h->hash->DigestSize)) == 0)
        return 1;
  }
  return 0;
}

// A pin names its certificate, so the chain is good for any purpose.
int thumbFindKey(CertStore *store, void *, Dictionary *header, CryptAsymmetric **key,
                 int *rejected) {
  *rejected = 0;
  return X509Chain_FindKeyByX5c(header, store, X509Purpose::Any, key);
}

// A pinned file digest: the same list of pins, another use.
int thumbCheckDigest(CertStore *, void *context, const HashInterface *hash, const uint8_t *digest,
                     int32_t length) {
  auto *store = static_cast<CertStoreThumbprint *>(context);
  CLASS_CHECK(store, kCertStoreThumbprintTag);
  if (length != hash->DigestSize) return 0;
  for (CertStoreThumbprintEntry *e = store->Entries; e != nullptr; e = e->next)
    if (e->hash == hash && memcmp(e->digest, digest, size_t(length)) == 0) return 1;
  return 0;
}

const HashInterface *thumbHashForLength(int64_t length) {
  static constexpr const HashInterface *kHashes[] = {&kHashSha1, &kHashSha224, &kHashSha256,
                                                     &kHashSha384, &kHashSha512};
  for (const HashInterface *h : kHashes)
    if (h->DigestSize == length) return h;
  return nullptr;
}

bool thumbIsHex(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

}  // namespace

int CertStoreThumbprint_ReadPin(const char *text, int32_t length, const HashInterface **hash,
                                uint8_t *digest, char *why, int size) {
  CHECK_POINTER(text);
  CHECK_POINTER(hash);
  CHECK_POINTER(why);
  *hash = nullptr;
  why[0] = '\0';
  // White space around a pin pasted from a terminal is no part of it.
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (length > 0 && space(text[0])) text++, length--;
  while (length > 0 && space(text[length - 1])) length--;
  // Hex of a digest's length, or hex pairs between colons: what sha256sum
  // and openssl's fingerprint print. No Base64 pin of a known hash is all
  // hex digits of such a length but by a 1 in 10^27 chance.
  int32_t hex = 0, colons = 0;
  for (int32_t i = 0; i < length; i++) {
    if (thumbIsHex(text[i])) hex++;
    if (text[i] == ':') colons++;
  }
  const HashInterface *asHex = thumbHashForLength((hex + 1) / 2);
  if (colons > 0 && hex + colons == length && asHex != nullptr && hex == 2 * (colons + 1)) {
    Str_Printf(why, size, "colon-separated hex (%s as openssl x509 -fingerprint prints it)",
               asHex->Name);
    return 0;
  }
  if (hex == length && asHex != nullptr && hex == 2 * asHex->DigestSize) {
    Str_Printf(why, size, "hex (%s as sha%ssum prints it)", asHex->Name, asHex->Name + 3);
    return 0;
  }
  // Base64url ('-' and '_') and Base64 without its '=' read as the
  // standard alphabet, padded.
  std::vector<char> terminated(text, text + length);
  for (char &c : terminated) c = c == '-' ? '+' : c == '_' ? '/' : c;
  while (terminated.size() % 4 != 0) terminated.push_back('=');
  length = int32_t(terminated.size());
  terminated.push_back('\0');
  int64_t decodedSize = 0;
  Base64_DecodedSize(length, &decodedSize);
  std::vector<uint8_t> bytes(size_t(decodedSize) + 8);
  int64_t written = 0;
  if (length == 0 || !Base64_Decode(terminated.data(), bytes.data(), int64_t(bytes.size()), &written)) {
    Str_Copy(why, "not Base64", size);
    return 0;
  }
  *hash = thumbHashForLength(written);
  if (*hash == nullptr) {
    Str_Printf(why, size, "Base64 of %lld bytes, no digest's length", static_cast<long long>(written));
    return 0;
  }
  if (digest != nullptr) memcpy(digest, bytes.data(), size_t(written));
  return 1;
}

int CertStoreThumbprint_Create(CertStore **store) {
  CHECK_POINTER(store);
  auto *s =
      static_cast<CertStoreThumbprint *>(MEM_ALLOC(sizeof(CertStoreThumbprint), MEM_ZEROED));
  s->header.classTag = kCertStoreThumbprintTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = thumbDestroy;
  s->Log.object = s;
  s->Log.className = "CertStoreThumbprint";
  CertStore_InitEmbedded(&s->Interface, s);
  CertStore_SetCheckCertificate(&s->Interface, s, thumbCheckCertificate);
  CertStore_SetFindKey(&s->Interface, s, thumbFindKey);
  CertStore_SetCheckDigest(&s->Interface, s, thumbCheckDigest);
  *store = &s->Interface;
  return 1;
}

int CertStoreThumbprint_AddList(CertStore *store, Dictionary *list) {
  CertStoreThumbprint *s = thumbFromStore(store);
  CHECK_POINTER(list);
  int32_t count = 0;
  Dictionary_GetCount(list, &count);
  int added = 0;
  for (int32_t i = 0; i < count; i++) {
    DictionaryItem *item = nullptr;
    const char *text = nullptr;
    int32_t length = 0;
    if (!Dictionary_GetItemByIndex(list, i, nullptr, &item) ||
        !Dictionary_GetItemText(list, item, &text, &length) || text == nullptr)
      continue;
    const HashInterface *hash = nullptr;
    uint8_t digest[kHashMaxDigestBytes];
    char why[kCertStoreThumbprintWhyBytes];
    if (!CertStoreThumbprint_ReadPin(text, length, &hash, digest, why, int(sizeof why))) {
      thumbLog(s, "Thumbprint %d skipped: %s\n", int(i), why);
      continue;
    }
    int64_t written = hash->DigestSize;
    auto *entry = static_cast<CertStoreThumbprintEntry *>(
        MEM_ALLOC(sizeof(CertStoreThumbprintEntry), MEM_ZEROED));
    entry->hash = hash;
    memcpy(entry->digest, digest, size_t(written));
    // Appended, so pins keep their order.
    CertStoreThumbprintEntry **tail = &s->Entries;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = entry;
    CertStoreThumbprintHash **h = &s->Hashes;
    while (*h != nullptr && (*h)->hash != hash) h = &(*h)->next;
    if (*h == nullptr) {
      *h = static_cast<CertStoreThumbprintHash *>(
          MEM_ALLOC(sizeof(CertStoreThumbprintHash), MEM_ZEROED));
      (*h)->hash = hash;
    }
    added++;
  }
  return added > 0 ? 1 : 0;
}
