// Catalogs; see catalog.h.
#include "base/catalog.h"

#include <cstring>
#include <new>

#include "core/formats/dictionary.h"
#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/net/webgetrequest.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr const char *kCatalogName = "catalog.json";
// RFC 3986 unreserved marks: an id becomes exactly one path segment, so '#',
// '?', '%' and '/' are all escaped.
constexpr const char *kCatalogSegmentSafe = "-_.~";

int catalogAppendId(char *url, int32_t size, const char *id) {
  size_t used = strlen(url);
  if (!Url_Encode(id, int(strlen(id)), url + used, int(size - int32_t(used)), kCatalogSegmentSafe))
    return 0;
  return Str_Cat(url, "/", size) == 1;
}

int catalogFail(char *url, int32_t size) {
  if (size > 0) url[0] = '\0';
  return 0;
}

}  // namespace

int Catalog_BuildUrl(const char *base, const char *remoteId, const char *localId,
                     int32_t *specificFirst, char *url, int32_t size) {
  CHECK_POINTER(base);
  CHECK_POINTER(specificFirst);
  CHECK_POINTER(url);
  if (size > 0) url[0] = '\0';
  if (Str_EndsWithNoCase(base, ".json")) {
    *specificFirst = 0;
    return Str_Set(url, base, size) ? 1 : catalogFail(url, size);
  }
  if (remoteId == nullptr || remoteId[0] == '\0') {
    Log_Print(LOG_INFO, KSRC, 0, "Remote id required\n");
    return catalogFail(url, size);
  }
  if (localId == nullptr) localId = "";
  if (!CatalogId_IsValid(remoteId, int32_t(strlen(remoteId))) ||
      !CatalogId_IsValid(localId, int32_t(strlen(localId)))) {
    Log_Print(LOG_WARNING, KSRC, 0, "Catalog id refused\n");
    return catalogFail(url, size);
  }
  if (!Str_Set(url, base, size)) return catalogFail(url, size);
  size_t length = strlen(url);
  if ((length == 0 || url[length - 1] != '/') && Str_Cat(url, "/", size) != 1)
    return catalogFail(url, size);
  bool specific = *specificFirst && localId[0] != '\0' && Str_CompareNoCase(localId, remoteId) != 0;
  if (!catalogAppendId(url, size, remoteId)) return catalogFail(url, size);
  if (specific && !catalogAppendId(url, size, localId)) return catalogFail(url, size);
  if (Str_Cat(url, kCatalogName, size) != int(strlen(kCatalogName))) return catalogFail(url, size);
  *specificFirst = specific ? 1 : 0;
  return 1;
}

// ---- Documents --------------------------------------------------------------

Dictionary *Catalog_Unwrap(Dictionary *document) {
  CHECK_POINTER(document);
  Dictionary *object = nullptr;
  Dictionary_Unwrap(document, &object);
  if (object != document) return object;
  // A root holding a list of exactly one object.
  Dictionary *list = nullptr;
  Dictionary_UnwrapContainer(document, &list);
  DictionaryItem *item = nullptr;
  int32_t count = 0;
  DictionaryType type = kDictionaryTypeUnknown;
  Dictionary *child = nullptr;
  if (list != document && Dictionary_GetCount(list, &count) && count == 1 &&
      Dictionary_GetFirstItem(list, &item) && Dictionary_GetItemType(list, item, &type) &&
      type == kDictionaryTypeDictionary && Dictionary_GetItemContainer(list, item, &child) &&
      child != nullptr)
    return child;
  return document;
}

// ---- Catalog object ---------------------------------------------------------

namespace {

#define CATALOG_CHECK(c) CLASS_CHECK((c), kCatalogTag)

int32_t catalogComplete(AsyncHttp *request, void *context, uint32_t *code, uint32_t *codeEx) {
  Dictionary *document = nullptr;
  AsyncHttp_GetDictionary(request, &document);
  auto *c = static_cast<Catalog *>(context);
  if (Catalog_OnLoaded(c, document)) return 1;
  *code = kWebGetErrorInvalidContent;
  *codeEx = c->refusal[0] != '\0' ? uint32_t(kCatalogOtherVersion) : 0;
  return 0;
}

// A catalog given by its own URL names no version there, so a cache on the
// way must ask the server each time, as for the alias; one under a
// version's URL stays cacheable unless the owner asks past caches.
int32_t catalogPrepare(AsyncHttp *, void *context, WebGetRequest *request) {
  auto *c = static_cast<Catalog *>(context);
  if (c->expectedId[0] != '\0' && !c->bypassCache) return 1;
  char *block = nullptr;
  int size = 0;
  WebGetRequest_GetRequestHeaders(request, &block, &size);
  WebGet_SetHeader(block, size, "Cache-Control", "no-cache", 0);
  return 1;
}

AsyncHttp *catalogRequest(Catalog *c) {
  if (c->request != nullptr) return c->request;
  AsyncHttp_Create(&c->request);
  AsyncHttp_SetFormat(c->request, kAsyncHttpFormatJson);
  AsyncHttp_SetCompleteCallback(c->request, c, catalogComplete);
  AsyncHttp_SetPrepareCallback(c->request, c, catalogPrepare);
  return c->request;
}

void catalogDestroy(void **object) {
  auto *c = static_cast<Catalog *>(*object);
  if (c->request) {
    AsyncHttp_Reset(c->request, 1);
    // The parse calls back into this object from the I/O worker: the owner
    // resets and waits until loading ends before the last release.
    if (AsyncHttp_IsRunning(c->request))
      Core_Abort(KSRC,
                 "Assertion failed (!Loading)\nCatalog released while its document is parsed\n");
  }
  if (c->request) {
    AsyncHttp_Reset(c->request, 1);
    AsyncHttp_Release(&c->request);
  }
  c->header.classTag = 0;
  MEM_FREE(c, sizeof(Catalog));
}

// A String member of at most size - 1 bytes, not empty.
int catalogText(Dictionary *entry, const char *key, const char **text, int32_t *length,
                int32_t size) {
  DictionaryType type = kDictionaryTypeUnknown;
  return Dictionary_GetTypeByKey(entry, key, &type) && type == kDictionaryTypeString &&
         Dictionary_GetTextByKey(entry, key, text, length) && *length > 0 && *length < size;
}

}  // namespace

int Catalog_Create(Catalog **catalog) {
  CHECK_POINTER(catalog);
  auto *c = new (MEM_ALLOC(sizeof(Catalog), MEM_ZEROED)) Catalog();
  c->header.classTag = kCatalogTag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  c->header.destroy = catalogDestroy;
  c->log.object = c;
  c->log.className = "Catalog";
  c->specificFirst = 1;
  *catalog = c;
  return 1;
}

int Catalog_Destroy(Catalog **catalog) {
  CHECK_POINTER(catalog);
  CATALOG_CHECK(*catalog);
  Class_ReleaseObject(catalog);
  return 1;
}

int Catalog_Reset(Catalog *c) {
  CATALOG_CHECK(c);
  c->specificFirst = 1;
  if (c->request) AsyncHttp_Reset(c->request, 1);
  return 1;
}

int Catalog_Load(Catalog *c, const char *url, int32_t signedFlag) {
  CATALOG_CHECK(c);
  CHECK_POINTER(url);
  AsyncHttp *request = catalogRequest(c);
  if (AsyncHttp_IsRunning(request)) return 0;
  AsyncHttp_Reset(request, 1);  // the last outcome must not count as this one's
  c->notNeeded = 0;
  return AsyncHttp_Get(request, url, signedFlag);
}

int Catalog_IsRunning(Catalog *c) {
  CATALOG_CHECK(c);
  return !c->notNeeded && c->request && AsyncHttp_IsRunning(c->request);
}

int Catalog_IsComplete(Catalog *c) {
  CATALOG_CHECK(c);
  return c->notNeeded || (c->request && AsyncHttp_IsComplete(c->request));
}

int Catalog_Succeeded(Catalog *c) {
  CATALOG_CHECK(c);
  return c->notNeeded || (c->request && AsyncHttp_Succeeded(c->request));
}

int Catalog_SetNotNeeded(Catalog *c, int32_t notNeeded) {
  CATALOG_CHECK(c);
  c->notNeeded = notNeeded ? 1 : 0;
  return 1;
}

int32_t Catalog_IsNotNeeded(Catalog *c) {
  CATALOG_CHECK(c);
  return c->notNeeded;
}

int Catalog_SetMaxSize(Catalog *c, int32_t bytes) {
  CATALOG_CHECK(c);
  return AsyncHttp_SetMaxSize(catalogRequest(c), bytes);
}

int32_t Catalog_GetSpecificFirst(Catalog *c) {
  CATALOG_CHECK(c);
  return c->specificFirst;
}

int Catalog_SetSpecificFirst(Catalog *c, int32_t specificFirst) {
  CATALOG_CHECK(c);
  c->specificFirst = specificFirst ? 1 : 0;
  return 1;
}

int Catalog_SetEventQueue(Catalog *c, EventQueue *queue) {
  CATALOG_CHECK(c);
  return AsyncHttp_SetEventQueue(catalogRequest(c), queue);
}

int Catalog_SetCertStore(Catalog *c, CertStore *store) {
  CATALOG_CHECK(c);
  return AsyncHttp_SetCertStore(catalogRequest(c), store);
}

int Catalog_SetErrorCallback(Catalog *c, void *context, AsyncHttpErrorCallback function) {
  CATALOG_CHECK(c);
  return AsyncHttp_SetErrorCallback(catalogRequest(c), context, function);
}

int Catalog_GetErrorInfo(Catalog *c, Dictionary *info) {
  CATALOG_CHECK(c);
  return AsyncHttp_GetErrorInfo(catalogRequest(c), info);
}

int Catalog_GetError(Catalog *c, uint32_t *code, uint32_t *codeEx) {
  CATALOG_CHECK(c);
  return AsyncHttp_GetError(catalogRequest(c), code, codeEx);
}

int Catalog_GetEntry(Catalog *c, Dictionary **entry) {
  CATALOG_CHECK(c);
  CHECK_POINTER(entry);
  *entry = nullptr;
  if (c->request == nullptr || AsyncHttp_IsRunning(c->request) || !AsyncHttp_IsComplete(c->request))
    return 0;
  Dictionary *document = nullptr;
  AsyncHttp_GetDictionary(c->request, &document);
  *entry = Catalog_Unwrap(document);
  return 1;
}

int Catalog_GetId(Catalog *c, char *buffer) {
  CATALOG_CHECK(c);
  CHECK_POINTER(buffer);
  buffer[0] = '\0';
  Dictionary *entry = nullptr;
  const char *text = nullptr;
  int32_t length = 0;
  if (!Catalog_GetEntry(c, &entry) || !catalogText(entry, "id", &text, &length, kCatalogIdBytes))
    return 0;
  memcpy(buffer, text, size_t(length));
  buffer[length] = '\0';
  return 1;
}

int Catalog_GetConfig(Catalog *c, Dictionary **config) {
  CATALOG_CHECK(c);
  CHECK_POINTER(config);
  *config = nullptr;
  Dictionary *entry = nullptr;
  if (!Catalog_GetEntry(c, &entry)) return 0;
  return Dictionary_GetDictionaryByKey(entry, "config", config) && *config != nullptr;
}

int Catalog_SetExpectedId(Catalog *c, const char *id) {
  CATALOG_CHECK(c);
  Str_Copy(c->expectedId, id != nullptr ? id : "", kCatalogIdBytes);
  return 1;
}

int Catalog_SetBypassCache(Catalog *c, int on) {
  CATALOG_CHECK(c);
  c->bypassCache = on ? 1 : 0;
  return 1;
}

int Catalog_OnLoaded(Catalog *c, Dictionary *document) {
  CATALOG_CHECK(c);
  CHECK_POINTER(document);
  c->refusal[0] = '\0';
  Dictionary *entry = Catalog_Unwrap(document);
  const char *id = nullptr, *url = nullptr;
  int32_t idLength = 0, urlLength = 0;
  if (!catalogText(entry, "id", &id, &idLength, kCatalogIdBytes) ||
      !CatalogId_IsValid(id, idLength)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Catalog has no valid id\n");
    return 0;
  }
  char own[kCatalogIdBytes];
  Str_CopyN(own, kCatalogIdBytes, id, idLength);
  if (c->expectedId[0] != '\0' && Str_CompareNoCase(own, c->expectedId) != 0) {
    // A catalog signed for another version: a server could otherwise hold
    // a client on any version it ever signed.
    Str_Printf(c->refusal, kCatalogRefusalBytes, "catalog id %s, expected %s", own,
               c->expectedId);
    Log_Print(LOG_ERROR, KSRC, 0, "Catalog refused: %s\n", c->refusal);
    return 0;
  }
  if (!catalogText(entry, "metafile", &url, &urlLength, kCatalogUrlBytes)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Catalog has no metafile\n");
    return 0;
  }
  return 1;
}
