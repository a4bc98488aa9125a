// Catalog: the catalog document of one version of a repository, as the
// content server publishes it: its remote id ("id"), the URL of its
// metafile ("metafile") and the configuration a copy takes from the server
// ("config"); and the rule that builds a catalog's URL from the configured
// base and the remote and local ids.
//
// Invariants: (1) a URL is built only from valid ids (CatalogId_IsValid),
// each percent-encoded as one path segment. (2) a not-needed catalog counts
// as complete and succeeded. (3) the request is made when first needed.
//
// Threads: the owner's thread (the main thread), except the completion
// handler, which runs where the document is parsed; the owner reads the
// document only once the catalog is complete. Catalog_BuildUrl and
// Catalog_Unwrap on any thread.
#pragma once

#include <cstdint>

#include "base/catalog_id.h"
#include "core/net/asynchttp.h"
#include "core/runtime/class.h"

struct Dictionary;

// The catalog URL for base (the configured "catalog"):
//   - a base ending in ".json" (any case) is the URL itself, and
//     *specificFirst becomes 0;
//   - otherwise the remote id is required; a '/' is added to a base without
//     one; with *specificFirst set and a local id that differs from the
//     remote id (without regard to case) the URL is base + remote + "/" +
//     local + "/catalog.json" (the catalog for updating from that version,
//     and *specificFirst stays 1), else base + remote + "/catalog.json" and
//     *specificFirst becomes 0.
// Returns 0 (url empty) when the remote id is missing where it is required,
// an id is not valid, or the URL does not fit in size bytes. localId may be
// NULL or empty.
int Catalog_BuildUrl(const char *base, const char *remoteId, const char *localId,
                     int32_t *specificFirst, char *url, int32_t size);

constexpr uint32_t kCatalogTag = 0xca7a1060;
constexpr int32_t kCatalogUrlBytes = 4096;

// Room for two ids, or an entry's name and the root it was counted under
// (each cut in the line).
constexpr int32_t kCatalogRefusalBytes = 768;
// The extra code of a catalog's 976 when it names another version than the
// one expected.
constexpr int32_t kCatalogOtherVersion = 1;

struct Catalog {
  ObjectHeader header;  // kCatalogTag
  AsyncHttp *request;   // NULL until first needed
  int32_t notNeeded;
  int32_t specificFirst;
  // The remote id the URL was built from; empty: any. Set by the owner
  // before a load, read by the completion.
  char expectedId[kCatalogIdBytes];
  // 1: the loads ask past caches (Cache-Control: no-cache). Set by the owner.
  int32_t bypassCache;
  // Why the last completion refused the document, naming both ids; empty
  // when it did not. Written by the completion, read by the owner once the
  // fetch has finished.
  char refusal[kCatalogRefusalBytes];
  ClassLog log;  // "Catalog"
};

// Every operation stops the program on a NULL or foreign object or a NULL
// out-pointer ("Pointer is NULL\n", "Class mismatch pointer (...)").

// A new catalog: specific-catalog-first set, nothing fetched. Returns 1.
int Catalog_Create(Catalog **catalog);
// As MetaFile_Destroy, the last reference stops the program while a parse
// runs.
int Catalog_Destroy(Catalog **catalog);
// Sets specific-catalog-first again and resets the request. Returns 1.
int Catalog_Reset(Catalog *catalog);
// Starts the GET of url (signed: a valid JWS is required) and clears
// not-needed. 0 while a fetch runs.
int Catalog_Load(Catalog *catalog, const char *url, int32_t signedFlag);
int Catalog_IsRunning(Catalog *catalog);
int Catalog_IsComplete(Catalog *catalog);
// 1 when the fetch succeeded, or when the catalog is not needed.
int Catalog_Succeeded(Catalog *catalog);
int Catalog_SetNotNeeded(Catalog *catalog, int32_t notNeeded);
int32_t Catalog_IsNotNeeded(Catalog *catalog);
int Catalog_SetMaxSize(Catalog *catalog, int32_t bytes);
int32_t Catalog_GetSpecificFirst(Catalog *catalog);
int Catalog_SetSpecificFirst(Catalog *catalog, int32_t specificFirst);
int Catalog_SetEventQueue(Catalog *catalog, EventQueue *queue);
int Catalog_SetCertStore(Catalog *catalog, CertStore *store);
int Catalog_SetErrorCallback(Catalog *catalog, void *context, AsyncHttpErrorCallback function);
// The request's "errorCount", "errorCode", "errorCodeEx" and "resumeTime".
int Catalog_GetErrorInfo(Catalog *catalog, Dictionary *info);
// The request's result codes (the owner tells a 404 of a specific catalog
// from other failures).
int Catalog_GetError(Catalog *catalog, uint32_t *code, uint32_t *codeEx);
// The parsed document (unwrapped: a one-element array holding an object
// gives that object; borrowed). 0 with NULL while the request runs or
// before it completed.
int Catalog_GetEntry(Catalog *catalog, Dictionary **entry);
// The "id" into buffer (kCatalogIdBytes); 0 (empty) when there is none.
int Catalog_GetId(Catalog *catalog, char *buffer);
// The "config" object (borrowed); 0 with NULL when the document has none.
int Catalog_GetConfig(Catalog *catalog, Dictionary **config);
// The remote id the next loads must carry (NULL or empty: any, as for a
// catalog URL that names no id). Returns 1.
int Catalog_SetExpectedId(Catalog *catalog, const char *id);
// 1: the next loads ask past caches, as they always do without an expected
// id. Returns 1.
int Catalog_SetBypassCache(Catalog *catalog, int on);
// The completion handler: 0 (the fetch fails with 976, its extra code
// kCatalogOtherVersion for another id) unless the document
// has a non-empty, valid "id" equal (without regard to case) to the
// expected id when one is set, and a non-empty String "metafile" of at most
// 4095 bytes. An id that differs is logged and kept in refusal.
int Catalog_OnLoaded(Catalog *catalog, Dictionary *document);

// The object a document stands for: a root holding one object gives that
// object, a root holding a one-element array whose element is an object
// gives that element; anything else the root itself.
Dictionary *Catalog_Unwrap(Dictionary *document);
