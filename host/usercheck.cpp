// The strict checks of the user's own files; see usercheck.h.
#include "host/usercheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>

#include "core/formats/dictionary.h"
#include "core/formats/yaml.h"
#include "core/platform/fileops.h"
#include "core/platform/platform.h"
#include "core/platform/trustedpath.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "core/runtime/base64.h"
#include "core/security/certstorei.h"
#include "core/security/certstorejwks.h"
#include "core/security/certstorekey.h"
#include "core/security/certstorethumbprint.h"
#include "host/jsoncheck.h"
#include "workflow/workflowapp.h"

namespace {

constexpr int kUserCheckLineBytes = 4096 + 512;
constexpr int64_t kUserCheckMaxBytes = int64_t(64) << 20;  // no hand-written file comes near
constexpr size_t kUserCheckChunkBytes = 64 * 1024;

// The keys the engine reads at the top level of the repository file.
constexpr const char *kRepositoryKeys[] = {
    "repository", "alias",    "catalog", "metafile",     "local",   "pending",
    "remote",     "certStore", "remoteId", "mask",       "stageMask", "autoMask",
    "inplace",    "metafileSave", "cleanup", "fileCompletes", "requests", "deltaCacheSize",
};
// The keys the storage drivers read from their entry.
constexpr const char *kStorageKeys[] = {
    "type",          "flags",         "path",           "url",            "baseUrl",
    "storages",      "source",        "id",             "ignore",         "outputPath",
    "extraFileFlags", "lockDirectory", "partialExtension", "selfUpdate",   "skipAttributes",
    "skipTimestamp", "systemBuffer",  "pieceFormat",    "deltaFormat",    "deltaCacheSize",
    "maxReadSpeed",  "maxWriteSpeed",
};
constexpr const char *kStorageTypes[] = {"file", "filePiece", "http", "httpPiece", "mux"};
// The application file's sections that some part of the program reads.
constexpr const char *kApplicationKeys[] = {
    "webGet", "webGetPool", "keyStores", "thumbprintStores", "tls1",     "alias",
    "catalog", "metafile",  "workflow",  "storage",          "analytics",
};
constexpr const char *kUrlSchemes[] = {"http", "https", "file"};

void userCheckLine(const char *format, ...) {
  char line[kUserCheckLineBytes];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, int(sizeof line), format, args);
  va_end(args);
  Str_AppendPrintf(line, int(sizeof line), "\n");
  size_t count = 0;
  Platform_WriteFile(2, line, strlen(line), &count);
}

template <size_t N>
bool userCheckKnown(const char *const (&names)[N], const char *name, bool anyCase = false) {
  for (const char *known : names)
    if (anyCase ? Str_CompareNoCase(known, name) == 0 : strcmp(known, name) == 0) return true;
  return false;
}

bool userCheckIsYaml(const char *path) {
  size_t n = strlen(path);
  return (n >= 5 && Str_CompareNoCase(path + n - 5, ".yaml") == 0) ||
         (n >= 4 && Str_CompareNoCase(path + n - 4, ".yml") == 0);
}

int gUserCheckErrno = 0;  // why the last read failed
const char *gUserCheckWhy = nullptr;  // or our own words for it

void userCheckFailed(int err, const char *why = nullptr) {
  gUserCheckErrno = err;
  gUserCheckWhy = why;
}

// What a path names that is no regular file nor directory.
const char *userCheckNotRegular(mode_t mode) {
  if (S_ISFIFO(mode)) return "not a regular file but a FIFO; name a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode))
    return "not a regular file but a device; name a regular file";
  if (S_ISSOCK(mode)) return "not a regular file but a socket; name a regular file";
  return "not a regular file; name a regular file";
}

// The system's reason for the last failed file operation, in lower case as
// the rest of the line is ("no such file or directory").
const char *userCheckReason(void) {
  static thread_local char reason[128];
  if (gUserCheckWhy != nullptr) return gUserCheckWhy;
  int err = gUserCheckErrno;
  const char *text = err != 0 ? strerror(err) : Platform_GetErrorText(Platform_GetLastError());
  Str_Copy(reason, text != nullptr ? text : "unknown error", int(sizeof reason));
  if (reason[0] >= 'A' && reason[0] <= 'Z') reason[0] = char(reason[0] - 'A' + 'a');
  return reason;
}


// The words of a trust refusal for path: the rule, after the entry's name
// when the entry refused lies on the way to path.
const char *userCheckRefusal(const char *path, const TrustedPathRefusal &refusal, char *rule,
                             int size) {
  if (strcmp(refusal.entry, path) == 0 || refusal.entry[0] == '\0')
    Str_Copy(rule, refusal.rule, size);
  else
    Str_Printf(rule, size, "%s on the way to it: %s", refusal.entry, refusal.rule);
  return rule;
}

// Reads the file at path whole from one open; with trusted, walked from "/"
// and judged at each step (TrustedPath_Open; the refusal's words in *rule),
// else following no link at its last component. 0 with the failure recorded.
int userCheckSlurp(const char *path, bool trusted, std::string *text, const char **rule,
                   char *ruleText, int ruleSize) {
  *rule = nullptr;
  int fd;
  struct stat st;
  if (trusted) {
    TrustedPathRefusal refusal;
    fd = TrustedPath_Open(path, kTrustedPathOpenNoLastLink, &refusal);
    if (fd < 0) {
      // A file of the wrong type (a directory, a FIFO) cannot be read; one
      // that fails the rule is refused.
      int err = Platform_GetLastErrno();
      if (refusal.entry[0] != '\0' && err == EPERM)
        *rule = userCheckRefusal(path, refusal, ruleText, ruleSize);
      if (err == EINVAL && stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        userCheckFailed(EINVAL, userCheckNotRegular(st.st_mode));
      else
        userCheckFailed(err != 0 ? err : EINVAL);
      return 0;
    }
  } else {
    do fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      userCheckFailed(errno);
      return 0;
    }
    if (fstat(fd, &st) != 0) {
      userCheckFailed(errno);
      close(fd);
      return 0;
    }
    if (!S_ISREG(st.st_mode)) {
      if (S_ISDIR(st.st_mode))
        userCheckFailed(EISDIR);
      else
        userCheckFailed(EINVAL, userCheckNotRegular(st.st_mode));
      close(fd);
      return 0;
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  char chunk[kUserCheckChunkBytes];
  for (;;) {
    ssize_t count = read(fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      userCheckFailed(errno);
      close(fd);
      return 0;
    }
    if (count == 0) break;
    text->append(chunk, size_t(count));
    if (int64_t(text->size()) > kUserCheckMaxBytes) break;
  }
  close(fd);
  return 1;
}

// "scheme://" with a scheme other than http, https and file.
bool userCheckBadScheme(const char *url) {
  const char *colon = strstr(url, "://");
  if (colon == nullptr) return false;
  for (const char *c = url; c < colon; c++) {
    bool letter = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z');
    if (!letter && (c == url || !strchr("0123456789+-.", *c))) return false;  // not a scheme
  }
  for (const char *scheme : kUrlSchemes)
    if (size_t(colon - url) == strlen(scheme) && Str_StartsWithNoCase(url, scheme)) return false;
  return true;
}

int userCheckUrl(const char *path, const char *where, Dictionary *d, const char *key) {
  const char *url = nullptr;
  if (!Dictionary_GetStringPointerByKey(d, key, &url) || url == nullptr) return 1;
  // A URL without its scheme ("127.0.0.1:8000/alias.json") would fail only
  // when fetched; "metafile" is a path, which needs none.
  if (strstr(url, "://") == nullptr && strcmp(key, "metafile") != 0) {
    userCheckLine("keelson: %s: %s%s\"%s\": \"%s\" has no scheme: write http://, https:// or "
                  "file:// before it", path, where, where[0] ? " " : "", key, url);
    return 0;
  }
  if (!userCheckBadScheme(url)) return 1;
  userCheckLine("keelson: %s: %s%s\"%s\": \"%.*s\" is not an http, https or file URL", path, where,
                where[0] ? " " : "", key, int(strstr(url, "://") - url) + 3, url);
  return 0;
}

int userCheckStorage(const char *path, const char *where, Dictionary *storage, int depth);

// A storage entry, or a List of them ("remote" may be either).
int userCheckStorageValue(const char *path, const char *where, Dictionary *owner,
                          DictionaryItem *item, int depth) {
  DictionaryType type = kDictionaryTypeUnknown;
  Dictionary *child = nullptr;
  Dictionary_GetItemType(owner, item, &type);
  if (!Dictionary_GetItemContainer(owner, item, &child) || child == nullptr) {
    userCheckLine("keelson: %s: %s is not a storage (an object with \"type\")", path, where);
    return 0;
  }
  if (type == kDictionaryTypeDictionary) return userCheckStorage(path, where, child, depth);
  DictionaryItem *member = nullptr;
  int32_t n = 0;
  for (Dictionary_GetFirstItem(child, &member); member != nullptr;
       Dictionary_GetNextItem(child, member, &member), n++) {
    char name[128];
    Str_Printf(name, int(sizeof name), "%s[%d]", where, n);
    if (!userCheckStorageValue(path, name, child, member, depth)) return 0;
  }
  return 1;
}

int userCheckStorage(const char *path, const char *where, Dictionary *storage, int depth) {
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(storage, &item); item != nullptr;
       Dictionary_GetNextItem(storage, item, &item)) {
    const char *key = nullptr;
    if (!Dictionary_GetItemKey(storage, item, &key) || key == nullptr) continue;
    if (!userCheckKnown(kStorageKeys, key)) {
      userCheckLine("keelson: %s: %s: unknown key \"%s\"", path, where, key);
      return 0;
    }
  }
  const char *type = nullptr;
  if (!Dictionary_GetStringPointerByKey(storage, "type", &type) || type == nullptr ||
      type[0] == '\0') {
    userCheckLine("keelson: %s: %s has no \"type\" (file, filePiece, http, httpPiece or mux)",
                  path, where);
    return 0;
  }
  if (!userCheckKnown(kStorageTypes, type, true)) {
    userCheckLine(
        "keelson: %s: %s: unknown storage type \"%s\" (file, filePiece, http, httpPiece or mux)",
        path, where, type);
    return 0;
  }
  if (!userCheckUrl(path, where, storage, "url") || !userCheckUrl(path, where, storage, "baseUrl"))
    return 0;
  DictionaryItem *members = nullptr;
  if (Str_CompareNoCase(type, "mux") == 0 && depth == 0 &&
      Dictionary_FindKey(storage, "storages", nullptr, &members) && members != nullptr) {
    char name[128];
    Str_Printf(name, int(sizeof name), "%s.storages", where);
    return userCheckStorageValue(path, name, storage, members, depth + 1);
  }
  return 1;
}

// How a user prints a certificate's pin.
constexpr const char kUserCheckPinForm[] =
    "a pin is the Base64 of the certificate's SHA-256, SHA-1, SHA-224, SHA-384 or SHA-512 "
    "digest: openssl x509 -in CERT -outform DER | openssl dgst -sha256 -binary | base64";

// A private key where keyStores wants a public one: the application file
// goes to every client, so the line never advises pasting it.
void userCheckPrivateKey(const char *path, const char *name, const char *what) {
  userCheckLine("keelson: %s: keyStores \"%s\": %s, which signs your documents: a private key "
                "must never be shipped (every client receives the application file); give its "
                "public half, as printed by openssl pkey -in key.pem -pubout -outform DER | "
                "base64 -w0; if an application file with this key was ever shipped, make a new "
                "key pair and sign with it", path, name, what);
}

// A keyStores entry: a Base64 DER SubjectPublicKeyInfo or a key set.
int userCheckKeyStore(const char *path, const char *name, Dictionary *stores, DictionaryItem *item) {
  Dictionary *keySet = nullptr;
  const char *text = nullptr;
  if (Dictionary_GetItemContainer(stores, item, &keySet) && keySet != nullptr) {
    char why[256], skipped[1024];
    CertStoreJwksCheck found =
        CertStoreJwks_CheckKeySet(keySet, why, int(sizeof why), skipped, int(sizeof skipped));
    if (found == CertStoreJwksCheck::Private) {
      char what[320];
      Str_Printf(what, int(sizeof what), "a JSON Web Key Set whose %s", why);
      userCheckPrivateKey(path, name, what);
      return 0;
    }
    if (found == CertStoreJwksCheck::Usable) {
      // An identity provider's set often carries keys of other uses
      // beside the signing one: they are passed over, and said so.
      if (skipped[0] != '\0')
        userCheckLine("keelson: warning: %s: keyStores \"%s\": keys no signature is checked "
                      "with are skipped: %s", path, name, skipped);
      return 1;
    }
    userCheckLine("keelson: %s: keyStores \"%s\": a JSON Web Key Set with %s%s%s; a signing "
                  "key needs \"use\": \"sig\", an \"alg\" (RS256-RS512, ES256-ES512) and "
                  "\"kty\" RSA with \"n\", \"e\" or EC with \"crv\", \"x\", \"y\"",
                  path, name, why, skipped[0] != '\0' ? "; skipped: " : "", skipped);
    return 0;
  }
  if (!Dictionary_GetItemStringPointer(stores, item, &text) || text == nullptr) {
    userCheckLine("keelson: %s: keyStores \"%s\" is neither a Base64 DER public key nor a JSON "
                  "Web Key Set object", path, name);
    return 0;
  }
  if (strstr(text, "-----BEGIN") != nullptr) {
    // The labels say what the PEM holds: "PUBLIC KEY", "EC PRIVATE KEY", ...
    // (openssl ecparam -genkey puts "EC PARAMETERS" before the key).
    const char *label = "";
    int labelLength = 0;
    for (const char *at = strstr(text, "-----BEGIN"); at != nullptr;
         at = strstr(at + 10, "-----BEGIN")) {
      const char *start = at + 10 + strspn(at + 10, " ");
      const char *end = strstr(start, "-----");
      if (end == nullptr) break;
      label = start;
      labelLength = int(std::min<ptrdiff_t>(end - start, 64));
      if (std::string_view(label, size_t(labelLength)).find("PRIVATE KEY") !=
          std::string_view::npos)
        break;
    }
    std::string_view kind(label, size_t(labelLength));
    if (kind.find("PRIVATE KEY") != std::string_view::npos) {
      char what[96];
      Str_Printf(what, int(sizeof what), "a PEM \"%.*s\"", labelLength, label);
      userCheckPrivateKey(path, name, what);
    } else if (kind == "CERTIFICATE") {
      userCheckLine("keelson: %s: keyStores \"%s\": a PEM certificate where the Base64 of the "
                    "DER SubjectPublicKeyInfo is expected: give its public key, as printed by "
                    "openssl x509 -in CERT -pubkey -noout | openssl pkey -pubin -outform DER | "
                    "base64 -w0", path, name);
    } else {
      userCheckLine("keelson: %s: keyStores \"%s\": a PEM key where the Base64 of the DER "
                    "SubjectPublicKeyInfo is expected: give the lines between BEGIN and END "
                    "joined into one, without them", path, name);
    }
    return 0;
  }
  std::string der(strlen(text) + 8, '\0');
  int64_t length = 0;
  if (!Base64_Decode(text, der.data(), int64_t(der.size()), &length) || length == 0) {
    userCheckLine("keelson: %s: keyStores \"%s\": not Base64; expected the Base64 of a DER "
                  "SubjectPublicKeyInfo (RSA or EC)", path, name);
    return 0;
  }
  char why[kCertStoreKeyWhyBytes];
  if (CertStoreKey_CheckPublicKey(der.data(), int32_t(length), why, int(sizeof why))) return 1;
  if (CertStoreKey_IsPrivateKey(der.data(), int32_t(length))) {
    userCheckPrivateKey(path, name, "the Base64 of a DER private key");
    return 0;
  }
  userCheckLine("keelson: %s: keyStores \"%s\": %s", path, name, why);
  return 0;
}

// A thumbprintStores entry: a list of pins, each the Base64 of a digest.
int userCheckPins(const char *path, const char *name, Dictionary *stores, DictionaryItem *item) {
  Dictionary *list = nullptr;
  DictionaryType type = kDictionaryTypeUnknown;
  Dictionary_GetItemType(stores, item, &type);
  if (type != kDictionaryTypeList || !Dictionary_GetItemContainer(stores, item, &list) ||
      list == nullptr) {
    userCheckLine("keelson: %s: thumbprintStores \"%s\" is not a list of pins; %s", path, name,
                  kUserCheckPinForm);
    return 0;
  }
  int32_t count = 0;
  Dictionary_GetCount(list, &count);
  for (int32_t i = 0; i < count; i++) {
    DictionaryItem *pin = nullptr;
    const char *text = nullptr;
    int32_t length = 0;
    const HashInterface *hash = nullptr;
    char why[kCertStoreThumbprintWhyBytes] = "not a text";
    if (Dictionary_GetItemByIndex(list, i, nullptr, &pin) &&
        Dictionary_GetItemText(list, pin, &text, &length) && text != nullptr &&
        CertStoreThumbprint_ReadPin(text, length, &hash, nullptr, why, int(sizeof why)))
      continue;
    // The pin as given, its control characters (a pasted line end) shown
    // as "?", so that the refusal stays one line.
    std::string shown(text != nullptr ? text : "",
                      text != nullptr ? size_t(std::min<int32_t>(length, 100)) : 0);
    for (char &c : shown)
      if (uint8_t(c) < 0x20 || c == 0x7f) c = '?';
    userCheckLine("keelson: %s: thumbprintStores \"%s\"[%d] \"%s\" is %s; %s", path, name,
                  int(i), shown.c_str(), why, kUserCheckPinForm);
    return 0;
  }
  return 1;
}

}  // namespace

int UserCheck_Stores(const char *path, Dictionary *app, Dictionary *config) {
  CHECK_POINTER(path);
  CHECK_POINTER(app);
  for (const char *section : {"keyStores", "thumbprintStores"}) {
    Dictionary *stores = nullptr;
    if (!Dictionary_GetContainerByPath(app, section, &stores) || stores == nullptr) continue;
    DictionaryItem *item = nullptr;
    for (Dictionary_GetFirstItem(stores, &item); item != nullptr;
         Dictionary_GetNextItem(stores, item, &item)) {
      const char *name = nullptr;
      if (!Dictionary_GetItemKey(stores, item, &name) || name == nullptr) continue;
      if (section[0] == 'k' ? !userCheckKeyStore(path, name, stores, item)
                            : !userCheckPins(path, name, stores, item))
        return 0;
      // Pins under a name nothing asks for are pins that never match.
      const char *servers = nullptr;
      if (!Dictionary_GetStringPointerByPath(app, "webGet.certStore", &servers) ||
          servers == nullptr)
        servers = "app";
      const char *documents = config != nullptr ? UserCheck_GetCertStoreName(config) : "app";
      if (section[0] == 't' && strcmp(name, servers) != 0 && strcmp(name, documents) != 0)
        userCheckLine("keelson: warning: %s: thumbprintStores \"%s\" is used by nothing: server "
                      "certificates are checked with \"%s\" (webGet.certStore), signed "
                      "documents with \"%s\" (certStore)", path, name, servers, documents);
      // Pins under the documents' key store name look like the server's
      // pins in the right place, but TLS reads none of them.
      char keys[512];
      Str_Printf(keys, int(sizeof keys), "keyStores.%s", name);
      if (section[0] == 't' && strcmp(name, servers) != 0 && strcmp(name, documents) == 0 &&
          Dictionary_HasPath(app, keys))
        userCheckLine("keelson: warning: %s: thumbprintStores \"%s\" is not read for TLS: "
                      "server certificates are checked with \"%s\" (webGet.certStore); pin "
                      "the server's certificate there", path, name, servers);
    }
  }
  return 1;
}

int UserCheck_ReadFile(const char *path, const char *kind, int *exitCode, std::string *read) {
  CHECK_POINTER(path);
  CHECK_POINTER(kind);
  CHECK_POINTER(exitCode);
  std::string text;
  // The credentials file has its own, stricter rule where it is read.
  bool trusted = strcmp(kind, "credentials") != 0;
  const char *rule = nullptr;
  char ruleText[320 + kPathMax];
  if (!userCheckSlurp(path, trusted, &text, &rule, ruleText, int(sizeof ruleText))) {
    if (rule != nullptr) {
      userCheckLine("keelson: %s: the %s file is refused: %s", path, kind, rule);
      *exitCode = kUserCheckExitRefused;
      return 0;
    }
    userCheckLine("keelson: %s: cannot read the %s file: %s", path, kind, userCheckReason());
    *exitCode = kUserCheckExitUnreadable;
    return 0;
  }
  if (read != nullptr) *read = text;
  if (userCheckIsYaml(path)) return 1;
  JsonCheckFault fault{};
  if (!JsonCheck_Text(text.data(), int64_t(text.size()), &fault)) {
    // A text that does not even open like JSON is most often YAML under
    // another name: say what name YAML needs.
    size_t first = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    first = text.find_first_not_of(" \t\r\n", first);
    bool jsonShaped = first == std::string::npos ||
                      std::string_view("{[\"").find(text[first]) != std::string_view::npos;
    userCheckLine("keelson: %s: line %d, column %d: not valid JSON: %s%s", path, fault.line,
                  fault.column, fault.reason,
                  jsonShaped ? "" : "; a YAML file needs a .yaml or .yml name");
    *exitCode = kUserCheckExitRefused;
    return 0;
  }
  return 1;
}

int UserCheck_ParseConfig(const char *path, const std::string &text, Dictionary **config) {
  CHECK_POINTER(path);
  CHECK_POINTER(config);
  *config = nullptr;
  Dictionary *parsed = nullptr, *members = nullptr;
  if (text.size() > size_t(INT32_MAX) ||
      !WorkflowApp_ParseDocument(path, text.data(), int32_t(text.size()), &parsed))
    return 0;
  Dictionary_Unwrap(parsed, &members);
  Dictionary_Create(config);
  Dictionary_Merge(*config, members, kDictionaryMergeOverwrite);
  Dictionary_Release(&parsed);
  return 1;
}

int UserCheck_CheckDirectory(const char *path, const char *kind, int *exitCode,
                             PlatformDirectory **directory) {
  CHECK_POINTER(path);
  CHECK_POINTER(kind);
  CHECK_POINTER(exitCode);
  CHECK_POINTER(directory);
  *directory = nullptr;
  TrustedPathRefusal refusal;
  int fd = TrustedPath_Open(path, kTrustedPathOpenDirectory | kTrustedPathOpenNoLastLink,
                            &refusal);
  int err = 0;
  if (fd < 0 && (refusal.entry[0] == '\0' || Platform_GetLastErrno() == ENOTDIR))
    err = Platform_GetLastErrno() != 0 ? Platform_GetLastErrno() : EINVAL;
  char ruleText[sizeof refusal.rule + kPathMax];
  const char *rule = nullptr;
  if (fd < 0 && refusal.entry[0] != '\0') {
    rule = userCheckRefusal(path, refusal, ruleText, int(sizeof ruleText));
  } else if (fd < 0) {
    userCheckFailed(err);
    rule = userCheckReason();
  }
  // A directory that cannot be opened or is none is a usage error; one that
  // may not be trusted a refusal.
  *exitCode = err != 0 ? 2 : 1;
  if (rule == nullptr) {
    // What was checked is what the run serves.
    char self[64];
    Str_Printf(self, int32_t(sizeof self), "/proc/self/fd/%d/.", fd);
    Platform_OpenDirectoryAt(nullptr, self, directory);
    int error = *directory == nullptr ? Platform_GetLastError() : 0;
    close(fd);
    fd = -1;
    if (*directory != nullptr) return 1;
    rule = Platform_GetErrorText(error);
    *exitCode = 2;
  }
  if (fd >= 0) close(fd);
  userCheckLine("keelson: %s: the %s is refused: %s", path, kind, rule);
  return 0;
}

int UserCheck_ExplainYaml(const char *path) {
  CHECK_POINTER(path);
  if (!userCheckIsYaml(path)) return 0;
  Yaml *yaml = nullptr;
  Yaml_Create(&yaml);
  int refused = !Yaml_ParseFile(yaml, path);
  int32_t line = 0, column = 0;
  const char *text = "";
  if (refused && Yaml_GetErrorPosition(yaml, &line, &column, &text))
    userCheckLine("keelson: %s: line %d, column %d: not valid YAML: %s", path, line, column, text);
  else if (refused)
    userCheckLine("keelson: %s: not valid YAML", path);
  Yaml_Release(&yaml);
  return refused;
}

int UserCheck_Repository(const char *path, Dictionary *config) {
  CHECK_POINTER(path);
  CHECK_POINTER(config);
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(config, &item); item != nullptr;
       Dictionary_GetNextItem(config, item, &item)) {
    const char *key = nullptr;
    if (!Dictionary_GetItemKey(config, item, &key) || key == nullptr) continue;
    if (!userCheckKnown(kRepositoryKeys, key)) {
      userCheckLine("keelson: %s: unknown key \"%s\" in the repository file (see keelson sync "
                    "--help)",
                    path, key);
      return 0;
    }
  }
  const char *name = nullptr;
  if (!Dictionary_GetStringPointerByKey(config, "repository", &name) || name == nullptr ||
      name[0] == '\0') {
    userCheckLine("keelson: %s: the repository file has no \"repository\"", path);
    return 0;
  }
  if (!userCheckUrl(path, "", config, "alias") || !userCheckUrl(path, "", config, "catalog") ||
      !userCheckUrl(path, "", config, "metafile"))
    return 0;
  for (const char *key : {"local", "pending", "remote"}) {
    if (Dictionary_FindKey(config, key, nullptr, &item) && item != nullptr &&
        !userCheckStorageValue(path, key, config, item, 0))
      return 0;
  }
  return 1;
}

int UserCheck_WarnApplication(const char *path, Dictionary *app) {
  CHECK_POINTER(path);
  CHECK_POINTER(app);
  int warnings = 0;
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(app, &item); item != nullptr;
       Dictionary_GetNextItem(app, item, &item)) {
    const char *key = nullptr;
    if (!Dictionary_GetItemKey(app, item, &key) || key == nullptr) continue;
    if (userCheckKnown(kApplicationKeys, key)) continue;
    userCheckLine("keelson: warning: %s: unknown key \"%s\" in the application file is ignored",
                  path, key);
    warnings++;
  }
  return warnings;
}

int UserCheck_ApplicationUrls(const char *path, Dictionary *app) {
  CHECK_POINTER(path);
  CHECK_POINTER(app);
  for (const char *section : {"alias", "catalog"}) {
    Dictionary *d = nullptr;
    if (Dictionary_GetDictionaryByKey(app, section, &d) && d != nullptr &&
        !userCheckUrl(path, section, d, "url"))
      return 0;
  }
  return 1;
}

const char *UserCheck_GetCertStoreName(Dictionary *config) {
  CHECK_POINTER(config);
  const char *name = nullptr;
  if (!Dictionary_GetStringPointerByKey(config, "certStore", &name) || name == nullptr ||
      name[0] == '\0')
    name = "app";
  return name;
}

CertStore *UserCheck_GetCertStore(Dictionary *config) {
  const char *name = UserCheck_GetCertStoreName(config);
  CertStore *store = Auth_FindStore(name, strcmp(name, "app") == 0);
  return store != nullptr ? store : Auth_GetCertStore(name);
}

int UserCheck_CanVerify(const char *path, Dictionary *config, Dictionary *settings,
                        const char *appFile) {
  CHECK_POINTER(path);
  CHECK_POINTER(config);
  const char *name = UserCheck_GetCertStoreName(config);
  const char *app = appFile != nullptr ? appFile : "FILE";
  if (strcmp(name, "app") != 0) {
    CertStore *store = Auth_FindStore(name, 0);
    if (store != nullptr) {
      CertStore_Release(&store);
      return 1;
    }
    userCheckLine("keelson: %s: certStore \"%s\" is not in keyStores of the application file "
                  "(--app=%s): nothing to verify the signed documents against",
                  path, name, app);
    return 0;
  }
  // Without a key store of its own, "app" is the fixed certificate list: the
  // system's authorities and the pinned server certificates, which hold no
  // publisher's key.
  if (settings != nullptr && Dictionary_HasPath(settings, "keyStores.app")) return 1;
  userCheckLine("keelson: %s: no certStore and no keyStores \"app\" in the application file "
                "(--app=%s): nothing to verify the signed documents against (name the "
                "publisher's key store in \"certStore\")",
                path, app);
  return 0;
}
