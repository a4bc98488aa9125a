// Catalogs; see catalog.h.
#include "base/catalog.h"

#include <cstring>

#include "core/net/url.h"
#include "core/runtime/log.h"
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
