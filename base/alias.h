// Alias: the alias document of a content server, which names the current
// version (remote id) of each repository: {"<repository>": "<remote id>"}.
// The document is fetched with a document request (JSON, through the
// response cache store "alias" when it exists) and read by the completion
// handler. A top level that is a one-element array holding an object reads
// as that object.
//
// Invariants: (1) the remote id is empty or a valid catalog id taken whole
// from the document. (2) a not-needed alias counts as complete and
// succeeded. (3) the request is made when first needed, so an alias that is
// never fetched needs no network services.
//
// Threads: the owner's thread (the main thread), except the completion
// handler, which runs where the document is parsed; the owner reads the
// remote id only once the alias is complete.
#pragma once

#include <cstdint>

#include "base/catalog_id.h"
#include "core/net/asynchttp.h"
#include "core/runtime/class.h"

struct Dictionary;

constexpr uint32_t kAliasTag = 0xa11a5d0c;
constexpr int32_t kAliasKeyBytes = 320;

struct Alias {
  ObjectHeader header;  // kAliasTag
  AsyncHttp *request;   // NULL until first needed
  WebGetCacheStore *cacheStore;
  int32_t notNeeded;
  char key[kAliasKeyBytes];
  char remoteId[kCatalogIdBytes];
  char refusal[kAliasKeyBytes + 48];  // why the last document was refused; "" none
  ClassLog log;  // "Alias"
};

// Every operation stops the program on a NULL or foreign object or a NULL
// out-pointer ("Pointer is NULL\n", "Class mismatch pointer (...)").

int Alias_Create(Alias **alias);
// Resets, releases the request and the cache store, clears *alias. As
// MetaFile_Destroy, the last reference stops the program while a parse runs.
int Alias_Destroy(Alias **alias);
// The repository name looked up in the document (at most 319 characters).
int Alias_SetKey(Alias *alias, const char *name);
// The remote id into buffer (kCatalogIdBytes); 0 (empty) when none.
int Alias_GetRemoteId(Alias *alias, char *buffer);
int Alias_SetNotNeeded(Alias *alias);
int32_t Alias_IsNotNeeded(Alias *alias);
// Clears the remote id and resets the request. Returns 1.
int Alias_Reset(Alias *alias);
// Starts the GET of url (signed: a valid JWS is required) and clears
// not-needed. 0 while a fetch runs.
int Alias_Load(Alias *alias, const char *url, int32_t signedFlag);
int Alias_IsRunning(Alias *alias);
int Alias_IsComplete(Alias *alias);
int Alias_Succeeded(Alias *alias);
int Alias_SetMaxSize(Alias *alias, int32_t bytes);
int Alias_SetEventQueue(Alias *alias, EventQueue *queue);
int Alias_SetCertStore(Alias *alias, CertStore *store);
int Alias_SetErrorCallback(Alias *alias, void *context, AsyncHttpErrorCallback function);
// The request's "errorCount", "errorCode", "errorCodeEx" and "resumeTime".
int Alias_GetErrorInfo(Alias *alias, Dictionary *info);
// The completion handler: looks the key up in the parsed document and keeps
// its String value as the remote id. 0 (the fetch fails with 976) when the
// key is missing, not a String, or not a valid, non-empty catalog id.
int Alias_OnLoaded(Alias *alias, Dictionary *document);
