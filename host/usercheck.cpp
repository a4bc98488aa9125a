// The strict checks of the user's own files; see usercheck.h.
#include "host/usercheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>
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

// The texts of the files read at start, by the path as given: what the run
// parses later is what was checked then, however the name is changed
// meanwhile. Main thread only.
std::map<std::string, std::string> gUserCheckTexts;
// The --www directories found trusted, by the path checked: descriptors.
std::map<std::string, int> gUserCheckDirectories;
int gUserCheckErrno = 0;  // why the last read failed

void userCheckFailed(int err) { gUserCheckErrno = err; }

// The system's reason for the last failed file operation, in lower case as
// the rest of the line is ("no such file or directory").
const char *userCheckReason(void) {
  static thread_local char reason[128];
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
  if (trusted) {
    TrustedPathRefusal refusal;
    fd = TrustedPath_Open(path, kTrustedPathOpenNoLastLink, &refusal);
    if (fd < 0) {
      // A file of the wrong type (a directory, a FIFO) cannot be read; one
      // that fails the rule is refused.
      int err = Platform_GetLastErrno();
      if (refusal.entry[0] != '\0' && err == EPERM)
        *rule = userCheckRefusal(path, refusal, ruleText, ruleSize);
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
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      userCheckFailed(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
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
    "a pin is the Base64 of the certificate's SHA-256 or SHA-1 digest: openssl x509 -in CERT "
    "-outform DER | openssl dgst -sha256 -binary | base64";

// A keyStores entry: a Base64 DER SubjectPublicKeyInfo or a key set.
int userCheckKeyStore(const char *path, const char *name, Dictionary *stores, DictionaryItem *item) {
  Dictionary *keySet = nullptr;
  const char *text = nullptr;
  if (Dictionary_GetItemContainer(stores, item, &keySet) && keySet != nullptr) {
    Dictionary *copy = nullptr;
    CertStore *store = nullptr;
    Dictionary_Create(&copy);
    Dictionary_Merge(copy, keySet, kDictionaryMergeOverwrite);
    int ok = CertStoreJwks_Create(&store, copy);
    Dictionary_Release(&copy);
    if (store != nullptr) CertStore_Release(&store);
    if (!ok)
      userCheckLine("keelson: %s: keyStores \"%s\": a JSON Web Key Set with a key that does not "
                    "load (each needs \"kty\" RSA with \"n\", \"e\" or EC with \"crv\", \"x\", "
                    "\"y\")", path, name);
    return ok;
  }
  if (!Dictionary_GetItemStringPointer(stores, item, &text) || text == nullptr) {
    userCheckLine("keelson: %s: keyStores \"%s\" is neither a Base64 DER public key nor a JSON "
                  "Web Key Set object", path, name);
    return 0;
  }
  if (strncmp(text, "-----BEGIN", 10) == 0) {
    userCheckLine("keelson: %s: keyStores \"%s\": a PEM key where the Base64 of the DER "
                  "SubjectPublicKeyInfo is expected: give the lines between BEGIN and END "
                  "joined into one, without them", path, name);
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
    userCheckLine("keelson: %s: thumbprintStores \"%s\"[%d] \"%.*s\" is %s; %s", path, name,
                  int(i), text != nullptr ? int(std::min<int32_t>(length, 100)) : 0,
                  text != nullptr ? text : "", why, kUserCheckPinForm);
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
    }
  }
  return 1;
}

int UserCheck_ReadFile(const char *path, const char *kind, int *exitCode) {
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
  if (trusted) gUserCheckTexts[path] = text;
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

int UserCheck_ReadConfig(const char *path, Dictionary **config) {
  CHECK_POINTER(path);
  CHECK_POINTER(config);
  *config = nullptr;
  auto kept = gUserCheckTexts.find(path);
  if (kept == gUserCheckTexts.end()) return WorkflowApp_ReadConfigFile(path, config);
  Dictionary *parsed = nullptr, *members = nullptr;
  if (!WorkflowApp_ParseDocument(path, kept->second.data(), int32_t(kept->second.size()), &parsed))
    return 0;
  Dictionary_Unwrap(parsed, &members);
  Dictionary_Create(config);
  Dictionary_Merge(*config, members, kDictionaryMergeOverwrite);
  Dictionary_Release(&parsed);
  return 1;
}

int UserCheck_CheckDirectory(const char *path, const char *kind, int *exitCode) {
  CHECK_POINTER(path);
  CHECK_POINTER(kind);
  CHECK_POINTER(exitCode);
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
    auto kept = gUserCheckDirectories.find(path);
    if (kept != gUserCheckDirectories.end()) close(kept->second);
    gUserCheckDirectories[path] = fd;
    return 1;
  }
  if (fd >= 0) close(fd);
  userCheckLine("keelson: %s: the %s is refused: %s", path, kind, rule);
  return 0;
}

int UserCheck_TakeDirectory(const char *path, PlatformDirectory **directory) {
  CHECK_POINTER(path);
  CHECK_POINTER(directory);
  *directory = nullptr;
  auto kept = gUserCheckDirectories.find(path);
  if (kept == gUserCheckDirectories.end()) return 0;
  char self[64];
  Str_Printf(self, int32_t(sizeof self), "/proc/self/fd/%d/.", kept->second);
  Platform_OpenDirectoryAt(nullptr, self, directory);
  close(kept->second);
  gUserCheckDirectories.erase(kept);
  return *directory != nullptr;
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
