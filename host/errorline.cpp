// The words of the command's error lines; see errorline.h.
#include "host/errorline.h"

#include <cstring>

#include "base/repository.h"
#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

struct CauseRow {
  int32_t code;
  const char *words;
};

// Results whose name alone says too little to a user.
constexpr CauseRow kCauses[] = {
    {kWebGetErrorConnect, "cannot connect"},
    {kWebGetErrorDns, "host name not found"},
    {kWebGetErrorSocket, "connection failed"},
    {kWebGetErrorTimeout, "timed out"},
    {kWebGetErrorUnderflow, "connection closed before the whole body arrived"},
    {kWebGetErrorValidation, "host not on the whitelist"},
    {kWebGetErrorHeaderIncomplete, "connection closed inside the header"},
    {kWebGetErrorTls1, "TLS failure"},
    {kWebGetErrorInvalidContent, "the document lacks what it must hold"},
    {kWebGetErrorRangeNotSupported, "the server ignores byte ranges"},
    {kWebGetErrorHashFailure, "digest mismatch"},
    {kWebGetErrorHeaderCorrupt, "corrupt answer"},
    {kWebGetErrorJson, "not valid JSON"},
    {kWebGetErrorVcdiff, "damaged VCDIFF delta"},
    {kWebGetErrorStorage, "storage failure"},
};

// A platform error of 964 in words.
const char *errorLineSystem(int32_t error) {
  if (error == kPlatformErrorWriteProtect) return "read-only file system";
  switch (Platform_GetErrorKind(error)) {
    case PlatformErrorKind::Missing: return "file not found";
    case PlatformErrorKind::AccessDenied: return "access denied";
    case PlatformErrorKind::NotEnoughSpace: return "disk full";
    case PlatformErrorKind::Locked: return "file in use";
    default: return "system error";
  }
}

bool errorLineIsSocketError(int32_t codeEx) { return codeEx >= 10000 && codeEx < 12000; }

}  // namespace

int ErrorLine_CleanUrl(const char *url, char *out, int size) {
  CHECK_POINTER(url);
  CHECK_POINTER(out);
  const char *host = url;
  int prefix = 0;
  if (Url_FindHost(url, &host)) prefix = int(strstr(url, "://") + 3 - url);
  else host = url;
  size_t keep = strcspn(host, "?#");
  Str_Printf(out, size, "%.*s%.*s", prefix, url, int(keep), host);
  return 1;
}

int ErrorLine_Cause(int32_t code, int32_t codeEx, char *out, int size) {
  CHECK_POINTER(out);
  if (code >= 100 && code < 600) {
    Str_Printf(out, size, "server answered %d %s", code, WebGet_GetReasonText(code));
    Str_ToLower(out);
    return 1;
  }
  if (code == kWebGetErrorOs) {
    Str_Copy(out, errorLineSystem(codeEx), size);
    return 1;
  }
  if (code == kWebGetErrorJson && (codeEx == 9 || codeEx == 10)) {
    Str_Copy(out, "signature does not verify", size);
    return 1;
  }
  if ((code == kWebGetErrorSocket || code == kWebGetErrorConnect) &&
      errorLineIsSocketError(codeEx)) {
    Str_Copy(out, Platform_GetSocketErrorString(codeEx), size);
    Str_ToLower(out);
    return 1;
  }
  if (code == kWebGetErrorStorage && codeEx == kStorageCancelPrompt) {
    Str_Copy(out, "no password given", size);
    return 1;
  }
  if (code == kWebGetErrorTimeout && codeEx == kWebGetPhaseHeader) {
    Str_Copy(out, "timed out waiting for the header", size);
    return 1;
  }
  if (code == kWebGetErrorTimeout && codeEx == kWebGetPhaseBody) {
    Str_Copy(out, "timed out reading the body", size);
    return 1;
  }
  for (const CauseRow &row : kCauses) {
    if (row.code == code) {
      Str_Copy(out, row.words, size);
      return 1;
    }
  }
  Str_Copy(out, WebGet_GetReasonText(code), size);
  Str_ToLower(out);
  return 1;
}

int ErrorLine_Item(const RepositoryError *error, char *out, int size) {
  CHECK_POINTER(error);
  CHECK_POINTER(out);
  switch (error->source) {
    case kRepositorySourceAlias: Str_Copy(out, "alias", size); break;
    case kRepositorySourceCatalog: Str_Copy(out, "catalog", size); break;
    case kRepositorySourceMetaFileLocal: Str_Copy(out, "local metafile", size); break;
    case kRepositorySourceMetaFileRemote: Str_Copy(out, "metafile", size); break;
    case kRepositorySourceConfig: Str_Copy(out, "configuration", size); break;
    default:
      if (error->type == kRepositoryTypeErase)
        Str_Printf(out, size, "clean-up item %d", error->index);
      else
        Str_Printf(out, size, "piece %d", error->index);
  }
  return 1;
}

int ErrorLine_Describe(const char *repository, const RepositoryError *error, char *out, int size) {
  CHECK_POINTER(repository);
  CHECK_POINTER(error);
  CHECK_POINTER(out);
  char item[64], url[kErrorLineBytes], cause[256];
  ErrorLine_Item(error, item, int(sizeof item));
  ErrorLine_CleanUrl(error->url != nullptr ? error->url : "", url, int(sizeof url));
  ErrorLine_Cause(error->code, error->codeEx, cause, int(sizeof cause));
  Str_Printf(out, size, "keelson: %s: %s%s%s: %s (%d)", repository, item, url[0] ? " " : "", url,
             cause, error->code);
  return int(strlen(out));
}
