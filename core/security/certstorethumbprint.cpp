// The thumbprint store; see certstorethumbprint.h.
#include "core/security/certstorethumbprint.h"

#include <cstdarg>
#include <cstring>
#include <vector>

#include "core/runtime/base64.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
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

}  // namespace

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
    std::vector<char> terminated(text, text + length);
    terminated.push_back('\0');
    int64_t size = 0;
    Base64_DecodedSize(length, &size);
    std::vector<uint8_t> digest(size_t(size) + 8);
    int64_t written = 0;
    if (!Base64_Decode(terminated.data(), digest.data(), int64_t(digest.size()), &written)) {
      thumbLog(s, "Unable to decode certificate base64 thumbprint (%s)\n", terminated.data());
      continue;
    }
    const HashInterface *hash = thumbHashForLength(written);
    if (hash == nullptr) {
      thumbLog(s, "Unable to detect hash for base64 thumbprint (%s)\n", terminated.data());
      continue;
    }
    auto *entry = static_cast<CertStoreThumbprintEntry *>(
        MEM_ALLOC(sizeof(CertStoreThumbprintEntry), MEM_ZEROED));
    entry->hash = hash;
    memcpy(entry->digest, digest.data(), size_t(written));
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
