// Aliases; see alias.h.
#include "base/alias.h"

#include <cstring>
#include <new>

#include "base/catalog.h"
#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/net/webgetrequest.h"
#include "core/net/webgetcache.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

#define ALIAS_CHECK(a) CLASS_CHECK((a), kAliasTag)

int32_t aliasComplete(AsyncHttp *request, void *context, uint32_t *code, uint32_t *codeEx) {
  auto *a = static_cast<Alias *>(context);
  Dictionary *document = nullptr;
  AsyncHttp_GetDictionary(request, &document);
  if (Alias_OnLoaded(a, document)) return 1;
  *code = kWebGetErrorInvalidContent;
  *codeEx = 0;
  return 0;
}

// The alias names the current version under a URL that stays the same, so
// a cache on the way (a proxy's) must ask the server each time; the
// documents it leads to carry the version in their URLs and stay cacheable.
int32_t aliasPrepare(AsyncHttp *, void *, WebGetRequest *request) {
  char *block = nullptr;
  int size = 0;
  WebGetRequest_GetRequestHeaders(request, &block, &size);
  WebGet_SetHeader(block, size, "Cache-Control", "no-cache", 0);
  return 1;
}

AsyncHttp *aliasRequest(Alias *a) {
  if (a->request != nullptr) return a->request;
  AsyncHttp_Create(&a->request);
  AsyncHttp_SetFormat(a->request, kAsyncHttpFormatJson);
  AsyncHttp_SetCompleteCallback(a->request, a, aliasComplete);
  AsyncHttp_SetPrepareCallback(a->request, a, aliasPrepare);
  if (WebGetCache_FindStore("alias", &a->cacheStore))
    AsyncHttp_SetCacheStore(a->request, a->cacheStore);
  return a->request;
}

void aliasDestroy(void **object) {
  auto *a = static_cast<Alias *>(*object);
  if (a->request) {
    AsyncHttp_Reset(a->request, 1);
    // The parse calls back into this object from the I/O worker: the owner
    // resets and waits until loading ends before the last release.
    if (AsyncHttp_IsRunning(a->request))
      Core_Abort(KSRC,
                 "Assertion failed (!Loading)\nAlias released while its document is parsed\n");
  }
  Alias_Reset(a);
  if (a->request) AsyncHttp_Release(&a->request);
  if (a->cacheStore) WebGetCacheStore_Release(&a->cacheStore);
  a->header.classTag = 0;
  MEM_FREE(a, sizeof(Alias));
}

}  // namespace

int Alias_Create(Alias **alias) {
  CHECK_POINTER(alias);
  auto *a = new (MEM_ALLOC(sizeof(Alias), MEM_ZEROED)) Alias();
  a->header.classTag = kAliasTag;
  a->header.refCount.store(1, std::memory_order_relaxed);
  a->header.destroy = aliasDestroy;
  a->log.object = a;
  a->log.className = "Alias";
  *alias = a;
  return 1;
}

int Alias_Destroy(Alias **alias) {
  CHECK_POINTER(alias);
  ALIAS_CHECK(*alias);
  Class_ReleaseObject(alias);
  return 1;
}

int Alias_SetKey(Alias *a, const char *name) {
  ALIAS_CHECK(a);
  CHECK_POINTER(name);
  Str_Set(a->key, name);
  return 1;
}

int Alias_GetRemoteId(Alias *a, char *buffer) {
  ALIAS_CHECK(a);
  CHECK_POINTER(buffer);
  Str_Set(buffer, a->remoteId, kCatalogIdBytes);
  return a->remoteId[0] != '\0';
}

int Alias_SetNotNeeded(Alias *a) {
  ALIAS_CHECK(a);
  a->notNeeded = 1;
  return 1;
}

int32_t Alias_IsNotNeeded(Alias *a) {
  ALIAS_CHECK(a);
  return a->notNeeded;
}

int Alias_Reset(Alias *a) {
  ALIAS_CHECK(a);
  if (a->request) {
    AsyncHttp_Reset(a->request, 1);
    if (AsyncHttp_IsRunning(a->request)) return 1;  // the parse's finish drops it
  }
  a->remoteId[0] = '\0';
  return 1;
}

int Alias_Load(Alias *a, const char *url, int32_t signedFlag) {
  ALIAS_CHECK(a);
  CHECK_POINTER(url);
  AsyncHttp *request = aliasRequest(a);
  if (AsyncHttp_IsRunning(request)) return 0;
  AsyncHttp_Reset(request, 1);  // the last outcome must not count as this one's
  a->notNeeded = 0;
  a->remoteId[0] = '\0';
  return AsyncHttp_Get(request, url, signedFlag);
}

int Alias_IsRunning(Alias *a) {
  ALIAS_CHECK(a);
  return !a->notNeeded && a->request && AsyncHttp_IsRunning(a->request);
}

int Alias_IsComplete(Alias *a) {
  ALIAS_CHECK(a);
  return a->notNeeded || (a->request && AsyncHttp_IsComplete(a->request));
}

int Alias_Succeeded(Alias *a) {
  ALIAS_CHECK(a);
  return a->notNeeded || (a->request && AsyncHttp_Succeeded(a->request));
}

int Alias_SetMaxSize(Alias *a, int32_t bytes) {
  ALIAS_CHECK(a);
  return AsyncHttp_SetMaxSize(aliasRequest(a), bytes);
}

int Alias_SetEventQueue(Alias *a, EventQueue *queue) {
  ALIAS_CHECK(a);
  return AsyncHttp_SetEventQueue(aliasRequest(a), queue);
}

int Alias_SetCertStore(Alias *a, CertStore *store) {
  ALIAS_CHECK(a);
  return AsyncHttp_SetCertStore(aliasRequest(a), store);
}

int Alias_SetErrorCallback(Alias *a, void *context, AsyncHttpErrorCallback function) {
  ALIAS_CHECK(a);
  return AsyncHttp_SetErrorCallback(aliasRequest(a), context, function);
}

int Alias_GetErrorInfo(Alias *a, Dictionary *info) {
  ALIAS_CHECK(a);
  return AsyncHttp_GetErrorInfo(aliasRequest(a), info);
}

int Alias_OnLoaded(Alias *a, Dictionary *document) {
  ALIAS_CHECK(a);
  CHECK_POINTER(document);
  Dictionary *root = Catalog_Unwrap(document);
  a->remoteId[0] = '\0';
  a->refusal[0] = '\0';
  const char *text = nullptr;
  int32_t length = 0;
  DictionaryType type = kDictionaryTypeUnknown;
  if (!Dictionary_GetTypeByKey(root, a->key, &type) || type != kDictionaryTypeString ||
      !Dictionary_GetTextByKey(root, a->key, &text, &length) || length == 0 ||
      !CatalogId_IsValid(text, length)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Alias has no valid remote id for (%s)\n", a->key);
    Str_Printf(a->refusal, int(sizeof a->refusal), "it holds no valid version for \"%s\"",
               a->key);
    return 0;
  }
  memcpy(a->remoteId, text, size_t(length));
  a->remoteId[length] = '\0';
  return 1;
}
