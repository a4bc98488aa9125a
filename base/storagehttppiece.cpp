// The HTTP piece storage driver; see storagehttppiece.h.
#include "base/storagehttppiece.h"

#include "base/storagechain.h"
#include "base/storagerequest.h"
#include "core/net/webget.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr const char *kFlatPieceFormat = "{TargetDigest}.varnopiece";

// A key of the storage's configuration, else "storage.<key>" of the
// application's; 0 after logging it missing.
int pieceReadFormat(StorageHTTP *d, Dictionary *appConfig, Dictionary *config, const char *key,
                    char *out) {
  char path[64];
  Str_Printf(path, int(sizeof path), "storage.%s", key);
  if (Dictionary_GetStringByKey(config, key, out, kStorageHTTPTextBytes) ||
      (appConfig != nullptr && Dictionary_GetStringByPath(appConfig, path, out, kStorageHTTPTextBytes)))
    return 1;
  StorageHTTP_Log(d, "Configuration dictionary missing %s\n", key);
  return 0;
}

int pieceConfigure(StorageHTTP *d, Dictionary *appConfig, Dictionary *config) {
  if (!pieceReadFormat(d, appConfig, config, "pieceFormat", d->pieceFormat) ||
      !pieceReadFormat(d, appConfig, config, "deltaFormat", d->deltaFormat))
    return 0;
  if (Dictionary_GetStringByKey(config, "url", d->url, kStorageHTTPUrlBytes)) {
    Str_Copy(d->pieceFormat, kFlatPieceFormat, kStorageHTTPTextBytes);
  } else if (!Dictionary_GetStringByKey(config, "baseUrl", d->url, kStorageHTTPUrlBytes)) {
    StorageHTTP_Log(d, "Configuration dictionary missing %s\n", "baseUrl");
    return 0;
  }
  if (!Dictionary_GetStringByKey(config, "source", d->source, kStorageHTTPTextBytes)) {
    StorageHTTP_Log(d, "Configuration dictionary missing %s\n", "source");
    return 0;
  }
  return 1;
}

int piecePlan(StorageHTTP *d, StorageHTTPContext *c, StorageHTTPPlan *p, int32_t *result,
              int32_t *resultEx) {
  auto *r = static_cast<StorageRequest *>(c->step->argument);
  auto *m = static_cast<StorageMember *>(c->step->value);
  MetaFile *meta = StorageRequest_GetMetaFile(r);
  bool delta = StorageRequest_GetAllowDelta(r) && d->source[0] != '\0';
  *result = *resultEx = 0;
  char name[kStorageNameBytes];
  if (!Storage_ExpandFormat(delta ? d->deltaFormat : d->pieceFormat, meta, m->pieceIndex,
                            delta ? d->source : nullptr, name, int32_t(sizeof name)) ||
      !Str_Set(c->name, name, kStorageHTTPTextBytes) ||
      !StorageHTTP_JoinName(d->url, c->name, p->url, kStorageHTTPUrlBytes)) {
    StorageHTTP_Log(d, "Unusable piece name (%s)\n", name);
    *result = kWebGetErrorInvalidContent;
    return 0;
  }
  p->rangeStart = p->rangeEnd = 0;
  p->destination = 0;
  p->limit = StorageRequest_GetCapacity(r);
  p->expected = -1;
  p->pad = 0;
  p->raw = 1;
  p->delta = delta ? 1 : 0;
  return 1;
}

// The whole piece comes with the first member of the request's only piece.
int pieceAdmit(StorageHTTP *d, StorageStep *step) {
  auto *r = static_cast<StorageRequest *>(step->argument);
  auto *m = static_cast<StorageMember *>(step->value);
  if (m->previous != nullptr && m->previous->pieceIndex == m->pieceIndex) {
    Storage_CompleteStep(step, 0, 0);
    return 0;
  }
  StorageMember *first = StorageRequest_GetFirstMember(r);
  if (first != nullptr && r->last != nullptr && r->last->pieceIndex != first->pieceIndex) {
    // Two pieces would land on one another at the buffer's start.
    StorageHTTP_Log(d, "Request holds more than one piece (%d-%d)\n", first->pieceIndex,
                    r->last->pieceIndex);
    Storage_CompleteStep(step, kStorageResultNotOffered, 0);
    return 0;
  }
  return 1;
}

constexpr StorageHTTPKind kPieceKind = {"StorageHTTPPiece", kStorageHTTPPieceTag,
                                        kStorageHTTPPieceContextTag, pieceConfigure, piecePlan,
                                        pieceAdmit};

}  // namespace

int StorageHTTPPiece_Create(void **context) { return StorageHTTP_CreateKind(&kPieceKind, context); }

const StorageDriver kStorageHTTPPieceDriver = {
    "StorageHTTPPiece",    StorageHTTPPiece_Create,    StorageDriver_AddRef,
    StorageHTTP_Release,   StorageHTTP_SetLogHook,     StorageHTTP_Configure,
    StorageHTTP_Stop,      StorageHTTP_SetActive,      StorageHTTP_Status,
    StorageDriver_NoOp,    StorageDriver_NotSupported, StorageHTTP_Read,
    StorageDriver_NotSupported, StorageDriver_NotSupported, StorageDriver_NotSupported,
    StorageDriver_NotSupported,
};
