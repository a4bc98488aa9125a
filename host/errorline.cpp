// The words of the command's error lines; see errorline.h.
#include "host/errorline.h"

#include <cstring>
#include <string>

#include "base/filelist.h"
#include "base/metafile.h"
#include "base/piecelist.h"
#include "base/repository.h"
#include "base/storagedefaults.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/asynchttp.h"
#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/net/webgetrequest.h"
#include "core/platform/fileops.h"
#include "core/platform/platform.h"
#include "core/platform/rootdir.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/jws.h"
#include "core/security/tls1.h"
#include "host/repositoryrunner.h"

namespace {

// A digest mismatch names at most this many of the piece's files.
constexpr int kErrorLinePieceFiles = 3;

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

// A platform error in the system's words, first letter in lower case as
// the rest of the line is.
int errorLineSystem(int32_t error, char *out, int size) {
  const char *text = Platform_GetErrorText(error);
  if (text == nullptr) return 0;
  Str_Copy(out, text, size);
  if (out[0] >= 'A' && out[0] <= 'Z') out[0] = char(out[0] - 'A' + 'a');
  return 1;
}

bool errorLineIsSocketError(int32_t codeEx) { return codeEx >= 10000 && codeEx < 12000; }

// The application setting that bounds a document's size; NULL for a
// source that is not a document.
const char *errorLineLimitKey(int32_t source) {
  switch (source) {
    case kRepositorySourceAlias:
      return "alias.limitSize";
    case kRepositorySourceCatalog:
      return "catalog.limitSize";
    case kRepositorySourceMetaFileRemote:
      return "metafile.limitSize";
    default:
      return nullptr;
  }
}

// The partial name the local file storage builds a file under.
void errorLinePartialExtension(Repository *r, char *out, int size) {
  Dictionary *local = nullptr;
  Dictionary_GetDictionaryByKey(r->config, "local", &local);
  StorageDefaults_GetPartialExtension(local, r->settings, out, int32_t(size));
}

// Access denied in the installation that the system's words would misname:
// a root (rootKey's; NULL: none) that is a link another user owns (it is
// not followed), or a FIFO, socket or device at a file's name or partial
// name. The words, with the place into place (*atRoot true for the root: no
// piece is at fault); NULL when it is neither.
const char *errorLineRefusal(Repository *r, const char *rootKey, const char *url, char *place,
                             int size, bool *atRoot) {
  *atRoot = false;
  char root[kErrorLineBytes] = {};
  if (rootKey != nullptr &&
      Dictionary_GetStringByPath(r->config, rootKey, root, int32_t(sizeof root)) &&
      root[0] != '\0' && RootDirectory_IsForeignLink(root)) {
    Str_Copy(place, root, size);
    *atRoot = true;
    return "the installation directory is a link another user owns, which is not followed "
           "(name the directory itself)";
  }
  if (url == nullptr || url[0] != '/') return nullptr;
  char partial[kErrorLineBytes], extension[64];
  errorLinePartialExtension(r, extension, int(sizeof extension));
  Str_Printf(partial, int(sizeof partial), "%s%s", url, extension);
  for (const char *candidate : {url, static_cast<const char *>(partial)}) {
    if (Platform_IsSpecialFile(candidate)) {
      Str_Copy(place, candidate, size);
      return "not a regular file";
    }
  }
  return nullptr;
}

}  // namespace

int ErrorLine_CleanUrl(const char *url, char *out, int size) {
  return Url_GetLoggable(url, out, size);
}

int ErrorLine_Cause(int32_t code, int32_t codeEx, char *out, int size) {
  CHECK_POINTER(out);
  if (code == 407) {
    Str_Copy(out, "the server sent a proxy challenge (407), which no proxy password answers",
             size);
    return 1;
  }
  if (code >= 100 && code < 600) {
    Str_Printf(out, size, "server answered %d %s", code, WebGet_GetReasonText(code));
    Str_ToLower(out);
    return 1;
  }
  if (code == kWebGetErrorOs) {
    if (!errorLineSystem(codeEx, out, size)) Str_Printf(out, size, "system error %d", codeEx);
    return 1;
  }
  if (code == kWebGetErrorJson && codeEx == int32_t(kAsyncHttpCorruptDocument)) {
    Str_Copy(out, "corrupt document (only a signed token and a line end may come)", size);
    return 1;
  }
  if (code == kWebGetErrorJson && codeEx == kJsonErrorPartLimit) {
    Str_Printf(out, size, "the token's header part is over its limit of %d bytes",
               kJwsHeaderSegmentMaxBytes);
    return 1;
  }
  if (code == kWebGetErrorJson && (codeEx == 9 || codeEx == 10)) {
    Str_Copy(out, "signature does not verify", size);
    return 1;
  }
  if ((code == kWebGetErrorSocket || code == kWebGetErrorConnect) &&
      errorLineIsSocketError(codeEx) && errorLineSystem(codeEx, out, size))
    return 1;
  if (code == kWebGetErrorStorage && codeEx == kStorageCancelPrompt) {
    Str_Copy(out, "no password given", size);
    return 1;
  }
  if (code == kWebGetErrorBlockedRedirect && codeEx == kWebGetBlockedRedirectToHttp) {
    Str_Copy(out, "redirect from https to http refused", size);
    return 1;
  }
  if (code == kWebGetErrorRedirectHeaderNotFound) {
    if (codeEx == kWebGetRedirectLocationTooLong)
      Str_Printf(out, size, "redirect Location longer than %d bytes", kWebGetRedirectLocationMax);
    else if (codeEx == kWebGetRedirectLocationUnusable)
      Str_Copy(out, "redirect Location makes no usable URL", size);
    else
      Str_Copy(out, "redirect without a Location header", size);
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

namespace {

// A server's or a proxy's prompt nobody answered (or whose answer was
// refused): the credentials file's entry that answers it, in the file's own
// words. 0 when the prompt was another's.
bool errorLinePassword(const ErrorLineFacts *facts, char *out, int size) {
  if (facts->prompt == nullptr) return false;
  const char *space = strchr(facts->prompt, ' ');
  if (space == nullptr) return false;
  std::string filter(facts->prompt, space), host(space + 1);
  bool proxy = Str_CompareNoCase(filter.c_str(), "WebGetProxy") == 0;
  if (!proxy && Str_CompareNoCase(filter.c_str(), "WebGetServer") != 0) return false;
  const char *realm = facts->realm != nullptr ? facts->realm : "";
  char entry[kErrorLineBytes];
  Str_Printf(entry, int(sizeof entry), "{\"filter\": \"%s\", \"host\": \"%s\"%s%s%s, ...}",
             proxy ? "WebGetProxy" : "WebGetServer", host.c_str(),
             realm[0] ? ", \"realm\": \"" : "", realm, realm[0] ? "\"" : "");
  char asks[kErrorLineBytes];
  Str_Printf(asks, int(sizeof asks), "the %s %s", proxy ? "proxy" : "server", host.c_str());
  char inRealm[kErrorLineBytes] = "";
  if (realm[0]) Str_Printf(inRealm, int(sizeof inRealm), " (realm \"%s\")", realm);
  if (facts->refused)
    Str_Printf(out, size, "%s refused the password given%s: correct %s in the --credentials file",
               asks, inRealm, entry);
  else
    Str_Printf(out, size, "%s asks for a password%s: add %s to the --credentials file", asks,
               inRealm, entry);
  return true;
}

// An answer that broke a bound of its body: the bound and the coding.
bool errorLineBodyBound(const RepositoryError *error, char *out, int size) {
  const WebGetBodyFailure &body = error->cause.body;
  const char *coding = body.coding != 0 ? WebGet_GetCodingName(body.coding) : "identity";
  if (error->code == kWebGetErrorSizeLimit && error->codeEx == kWebGetSizeLimitRaw) {
    char status[32] = "";
    if (body.status != 0 && (body.status < 200 || body.status > 299))
      Str_Printf(status, int(sizeof status), " (its %d page)", body.status);
    Str_Printf(out, size,
               "the server sent more than the %lld bytes its answer%s may bring "
               "(Content-Encoding %s, counted before decoding)",
               (long long)body.bound, status, coding);
    return true;
  }
  if (error->code == kWebGetErrorCompression && error->codeEx == kWebGetCompressionNoOutput) {
    Str_Printf(out, size,
               "the answer under Content-Encoding %s decodes to nothing (an empty member with "
               "more behind it, or %lld coded bytes without output)",
               coding, (long long)body.bound);
    return true;
  }
  if (error->code == kWebGetErrorChunked && error->codeEx == kWebGetChunkedTrailerLimit) {
    Str_Printf(out, size, "the chunked answer's trailer is longer than %d bytes",
               kWebGetHeaderLimitBytes);
    return true;
  }
  return false;
}

}  // namespace

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
      // No piece at all: the storage itself failed; the place says which.
      if (error->index < 0)
        Str_Copy(out, "", size);
      else if (error->type == kRepositoryTypeErase)
        Str_Printf(out, size, "clean-up item %d", error->index);
      else
        Str_Printf(out, size, "piece %d", error->index);
  }
  return 1;
}

int ErrorLine_Hint(const RepositoryError *error, const ErrorLineFacts *facts, char *out,
                   int size) {
  CHECK_POINTER(error);
  CHECK_POINTER(out);
  ErrorLineFacts none{};
  if (facts == nullptr) facts = &none;
  int32_t code = error->code, codeEx = error->codeEx;
  const char *url = error->url != nullptr ? error->url : "";
  const char *appFile = facts->appFile != nullptr ? facts->appFile : "FILE";
  if (error->source == kRepositorySourceConfig) {
    Str_Copy(out, "the configuration cannot be used (--debug tells why)", size);
    return 1;
  }
  if (code == kWebGetErrorValidation && codeEx >= 300 && codeEx <= 399) {
    // The URL is the one asked for: the target is in the --debug log.
    Str_Printf(out, size,
               "redirected (%d) to a host not in webGet.whitelist of the application file "
               "(--app=%s)", codeEx, appFile);
    return 1;
  }
  if (code == kWebGetErrorValidation) {
    char host[kErrorLineBytes] = {};
    // The whitelist holds host names; the port would only mislead.
    if (!Url_GetHostWithoutPort(url, host, int(sizeof host))) Str_Copy(host, "?", 2);
    if (host[0] == '[') {
      Str_Copy(out, "IPv6 addresses are not supported; give a host name or an IPv4 address", size);
      return 1;
    }
    Str_Printf(out, size, "host %s is not in webGet.whitelist of the application file (--app=%s)",
               host, appFile);
    return 1;
  }
  if (code == kWebGetErrorJson && codeEx == kJsonErrorDecodeSignature) {
    char item[64];
    ErrorLine_Item(error, item, int(sizeof item));
    // Over https the command checks signatures as well (it always has a
    // store), so https is no way out there.
    if (Url_HasScheme(url, "https"))
      Str_Printf(out, size, "%s is not signed; documents must be signed", item);
    else
      Str_Printf(out, size, "%s is not signed; documents fetched over http must be signed", item);
    return 1;
  }
  if (code == kWebGetErrorJson && codeEx == kJsonErrorAuthenticate) {
    // A signed document whose exp or nbf says it is not valid now is refused
    // with the same code.
    Str_Printf(out, size,
               "signature does not verify with key store %s (certStore), or the document "
               "is not valid now (exp, nbf)",
               facts->keyStore != nullptr ? facts->keyStore : "app");
    return 1;
  }
  TlsFailure tls{};
  const char *declined = error->cause.declinedCertificate;
  if (declined[0] != '\0' && (code == kWebGetErrorTls1 || (code >= 400 && code <= 499))) {
    char refusal[kErrorLineBytes];
    if (WebGetCause_FindTls(&error->cause, code, codeEx, &tls))
      Tls_DescribeFailure(&tls, refusal, int(sizeof refusal));
    else
      ErrorLine_Cause(code, codeEx, refusal, int(sizeof refusal));
    Str_Printf(out, size,
               "the server %s asked for a client certificate, was sent none and refused (%s): "
               "add {\"filter\": \"ClientCert\", \"address\": \"%s\", \"certificatePath\": "
               "\"FILE.p12\", \"password\": \"...\"} to the --credentials file",
               declined, refusal, declined);
    return 1;
  }
  if (WebGetCause_FindTls(&error->cause, code, codeEx, &tls)) {
    Tls_DescribeFailure(&tls, out, size);
    if (tls.cause == TlsCause::NotTls) {
      // Advice only: a man in the middle can send such bytes as well.
      char clean[kErrorLineBytes];
      ErrorLine_CleanUrl(url, clean, int(sizeof clean));
      const char *rest = Url_HasScheme(clean, "https") ? clean + 5 : nullptr;
      if (rest != nullptr)
        Str_AppendPrintf(out, size, "; if this port serves plain HTTP, its URL is http%s", rest);
    } else if (tls.cause == TlsCause::VersionCapped) {
      Str_AppendPrintf(out, size, " in the application file (--app=%s)", appFile);
    }
    if (Tls_IsUntrustedFailure(&tls) && facts->pins > 0)
      Str_AppendPrintf(out, size,
                       "; none of the %d pins of thumbprintStores \"%s\" (--app=%s) is a "
                       "certificate the server sent: pin its own or an intermediate it sends",
                       facts->pins, facts->pinStore != nullptr ? facts->pinStore : "app",
                       appFile);
    else if (Tls_IsUntrustedFailure(&tls))
      Str_AppendPrintf(out, size,
                       "; pin it in \"thumbprintStores\" of the application file (--app=%s)",
                       appFile);
    return 1;
  }
  if (code == kWebGetErrorAuthRequestCancel && errorLinePassword(facts, out, size)) return 1;
  if (RepositoryRunner_IsFileInThePath(error)) {
    Str_Copy(out, "not a directory: a file stands where the path needs a directory", size);
    return 1;
  }
  if (RepositoryRunner_IsVolumeRefusal(error)) {
    Str_Copy(out, codeEx == kPlatformErrorInvalidParameter
                      ? "the file system refuses to create or rename it (invalid argument): a "
                        "name its rules do not allow (such as * ? : \" < > | on a volume with "
                        "Windows name rules); install on a volume that takes the version's names"
                      : "the file system lacks an operation the run needs (function not "
                        "implemented); install on another volume",
             size);
    return 1;
  }
  if (code == kWebGetErrorRangeNotSupported) {
    Str_Copy(out,
             "the server ignores Range requests; use an httpPiece remote or a server that serves "
             "ranges",
             size);
    return 1;
  }
  if (code == kWebGetErrorInvalidContent && codeEx == kCatalogOtherVersion &&
      error->source == kRepositorySourceCatalog) {
    Str_Printf(out, size,
               "the catalog names another version than the alias, also when asked for past "
               "caches: %s",
               facts->detail != nullptr ? facts->detail : "");
    return 1;
  }
  const char *limitKey = errorLineLimitKey(error->source);
  if (code == kWebGetErrorSizeLimit && limitKey != nullptr) {
    Str_Printf(out, size,
               "the document is larger than %s (%s bytes) of the application file (--app=%s); "
               "raise it there",
               limitKey, facts->detail != nullptr && facts->detail[0] ? facts->detail : "?",
               appFile);
    return 1;
  }
  if (code == kWebGetErrorContentEncoding && (codeEx & kWebGetCodingUnread)) {
    Str_Printf(out, size,
               "the server sent it under Content-Encoding %s, which keelson does not read "
               "(it asks for gzip or identity); serve it plain or gzip-coded",
               WebGet_GetCodingName(codeEx & ~kWebGetCodingUnread));
    return 1;
  }
  if (code == kWebGetErrorContentEncoding && codeEx > 0) {
    Str_Printf(out, size,
               "the server sent the data under Content-Encoding %s where identity was asked "
               "for; serve these files without a content coding",
               WebGet_GetCodingName(codeEx));
    return 1;
  }
  if (errorLineBodyBound(error, out, size)) return 1;
  if (code == 400 && error->cause.httpsPort) {
    char clean[kErrorLineBytes];
    ErrorLine_CleanUrl(url, clean, int(sizeof clean));
    const char *rest = Url_HasScheme(clean, "http") ? clean + 4 : nullptr;
    Str_Printf(out, size,
               "the server answered 400: the plain HTTP request was sent to its HTTPS port; "
               "use https://%s", rest != nullptr ? rest + 3 : "");
    return 1;
  }
  ErrorLine_Cause(code, codeEx, out, size);
  if (code == kWebGetErrorHashFailure && facts->files != nullptr && facts->files[0] != '\0')
    Str_AppendPrintf(out, size, " in %s", facts->files);
  if (code == kWebGetErrorStorage && codeEx == kStorageCancelPrompt && facts->prompt != nullptr) {
    // A password the file gave that does not decrypt is no missing one:
    // the entry to correct is named.
    const char *space = strchr(facts->prompt, ' ');
    if (facts->refused && space != nullptr) {
      Str_Printf(out, size,
                 "the password given does not decrypt the pieces: correct {\"filter\": "
                 "\"StorageDecrypt\", \"host\": \"%s\", \"password\": ...} in the "
                 "--credentials file", space + 1);
      return 1;
    }
    Str_AppendPrintf(out, size, ": no credentials for %s", facts->prompt);
  }
  if (code == kWebGetErrorInvalidContent && facts->detail != nullptr && facts->detail[0] != '\0')
    Str_AppendPrintf(out, size, ": %s", facts->detail);
  return 1;
}

int ErrorLine_ProxyCause(const RepositoryError *error, char *out, int size) {
  CHECK_POINTER(error);
  CHECK_POINTER(out);
  WebGetProxyFailure proxy{};
  if (!WebGetCause_FindProxy(&error->cause, error->code, error->codeEx, &proxy)) return 0;
  char cause[kErrorLineBytes];
  if (proxy.refused) {
    Str_Printf(cause, int(sizeof cause), "refused the tunnel with %d %s", error->code,
               WebGet_GetReasonText(error->code));
    Str_ToLower(cause);
  } else {
    ErrorLine_Cause(error->code, error->codeEx, cause, int(sizeof cause));
  }
  Str_Printf(out, size, "via proxy %s: %s", proxy.proxy, cause);
  return 1;
}

int ErrorLine_Describe(const char *repository, const RepositoryError *error,
                       const ErrorLineFacts *facts, char *out, int size) {
  CHECK_POINTER(repository);
  CHECK_POINTER(error);
  CHECK_POINTER(out);
  char item[64], url[kErrorLineBytes], cause[kErrorLineBytes], hop[kErrorLineBytes];
  ErrorLine_Item(error, item, int(sizeof item));
  ErrorLine_CleanUrl(error->url != nullptr ? error->url : "", url, int(sizeof url));
  // Behind redirects, the hop that failed follows the URL asked for.
  ErrorLine_CleanUrl(error->cause.hop, hop, int(sizeof hop));
  if (url[0] != '\0' && hop[0] != '\0' && strcmp(url, hop) != 0)
    Str_AppendPrintf(url, int(sizeof url), " -> %s", hop);
  // A proxy's failure is not the content server's: the URL keeps its place
  // and the proxy's words follow in parentheses.
  int proxy = ErrorLine_ProxyCause(error, cause, int(sizeof cause));
  if (!proxy) ErrorLine_Hint(error, facts, cause, int(sizeof cause));
  Str_Printf(out, size, proxy ? "keelson: %s: %s%s%s (%s) (%d)" : "keelson: %s: %s%s%s: %s (%d)",
             repository, item, item[0] && url[0] ? " " : "", url, cause, error->code);
  return int(strlen(out));
}

int ErrorLine_PieceFiles(Repository *repository, int32_t index, char *out, int size) {
  CHECK_POINTER(repository);
  CHECK_POINTER(out);
  out[0] = '\0';
  MetaFile *metafile = repository->remoteMetaFile;
  if (metafile == nullptr || !MetaFile_Succeeded(metafile)) metafile = repository->localMetaFile;
  if (metafile == nullptr || !MetaFile_Succeeded(metafile) || !MetaFile_HasPieces(metafile) ||
      index < 0)
    return 1;
  int64_t pieceSize = PieceList_GetPieceSize(MetaFile_GetPieceList(metafile));
  int64_t start = int64_t(index) * pieceSize, end = start + pieceSize;
  FileRecord *record = nullptr;
  FileIndex_Find(MetaFile_GetFileIndex(metafile), &record, start);
  int named = 0;
  for (; record != nullptr && record->offset < end; record = record->next) {
    if (record->size == 0) continue;  // pad only: nothing of the file is in the piece
    if (named == kErrorLinePieceFiles) {
      Str_AppendPrintf(out, size, ", ...");
      break;
    }
    Str_AppendPrintf(out, size, "%s%s", named > 0 ? ", " : "", record->name);
    named++;
  }
  return 1;
}

int ErrorLine_DescribeRepository(Repository *repository, const RepositoryError *error,
                                 const ErrorLineFacts *facts, char *out, int size) {
  CHECK_POINTER(repository);
  CHECK_POINTER(error);
  ErrorLineFacts more{};
  if (facts != nullptr) more = *facts;
  char files[kErrorLineBytes] = {};
  if (more.detail == nullptr) more.detail = Repository_GetLastErrorDetail(repository);
  if (error->code == kWebGetErrorHashFailure && more.files == nullptr) {
    ErrorLine_PieceFiles(repository, error->index, files, int(sizeof files));
    more.files = files;
  }
  char limit[32] = {};
  const char *limitKey = errorLineLimitKey(error->source);
  int32_t bytes = 0;
  if (error->code == kWebGetErrorSizeLimit && limitKey != nullptr &&
      repository->settings != nullptr &&
      Dictionary_GetInt32ByPath(repository->settings, limitKey, &bytes)) {
    Str_Printf(limit, int(sizeof limit), "%d", bytes);
    more.detail = limit;
  }
  RepositoryError where = *error;
  char path[kErrorLineBytes] = {};
  // The root of the local or pending storage at fault; NULL for any other source.
  const char *rootKey = error->source == kRepositorySourceStorageLocal     ? "local.path"
                        : error->source == kRepositorySourceStoragePending ? "pending.path"
                                                                           : nullptr;
  if (rootKey != nullptr && (error->url == nullptr || error->url[0] == '\0') &&
      Dictionary_GetStringByPath(repository->config, rootKey, path, int32_t(sizeof path)))
    where.url = path;
  char place[kErrorLineBytes] = {};
  const char *words = nullptr;
  bool atRoot = false;
  if ((rootKey != nullptr || error->source == kRepositorySourceMetaFileLocal) &&
      error->code == kWebGetErrorOs &&
      Platform_GetErrorKind(error->codeEx) == PlatformErrorKind::AccessDenied)
    words = errorLineRefusal(repository, rootKey, where.url, place, int(sizeof place), &atRoot);
  if (words == nullptr) return ErrorLine_Describe(repository->name, &where, &more, out, size);
  char item[64] = {};
  if (!atRoot) ErrorLine_Item(&where, item, int(sizeof item));
  Str_Printf(out, size, "keelson: %s: %s%s%s: %s (%d)", repository->name, item, item[0] ? " " : "",
             place, words, error->code);
  return int(strlen(out));
}
