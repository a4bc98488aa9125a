// The application object; see workflowapp.h.
#include "workflow/workflowapp.h"

#include <cstring>
#include <memory>

#include "base/storagedefaults.h"
#include "core/bridge/interop.h"
#include "core/bridge/interoplibrary.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/formats/yaml.h"
#include "core/net/analytics.h"
#include "core/net/challenge.h"
#include "core/net/webget.h"
#include "core/net/webgetcache.h"
#include "core/net/webgetpool.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/notification.h"
#include "core/runtime/base64.h"
#include "core/runtime/core.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/security/auth.h"
#include "core/security/certstorejwks.h"
#include "core/security/certstorekey.h"
#include "core/security/certstorethumbprint.h"
#include "core/security/tls1.h"

struct WorkflowApp {
  Dictionary *config;
  WebGetPool *pool;
  int32_t quitRequested;
  int32_t exitCode;
  bool analytics;  // Analytics_Init ran (creation got that far)
};

namespace {

WorkflowApp *g_app = nullptr;

struct AppDefault {
  const char *path;
  int64_t number;
};

// The application's own defaults; the storage keys come from StorageDefaults.
constexpr AppDefault kAppDefaults[] = {
    {"alias.limitSize", 0x2000000},          {"catalog.limitSize", 0x2000000},
    {"metafile.limitSize", 0x2000000},       {"alias.webGetCacheMinAge", 60},
    {"workflow.webGetCacheMinAge", 60},      {"webGetPool.maxHosts", 5},
    {"webGetPool.maxHostConnections", 6},
};

// Sets every default the configuration lacks; a pool limit of 0 or below
// takes its default, as the pool counts only values above 0.
void MergeDefaults(Dictionary *config) {
  for (const AppDefault &d : kAppDefaults) {
    int64_t value = 0;
    bool limit = std::strncmp(d.path, "webGetPool.", 11) == 0;
    if (Dictionary_GetInt64ByPath(config, d.path, &value) && (!limit || value > 0)) continue;
    Dictionary_SetInt64ByPath(config, d.path, d.number);
  }
  StorageDefaults_Merge(config);
}

const char *Text(Dictionary *config, const char *path) {
  const char *text = nullptr;
  return Dictionary_GetStringPointerByPath(config, path, &text) ? text : nullptr;
}

// The text at path with its macros expanded into buffer, or NULL when the
// key is missing.
const char *ExpandedText(Dictionary *config, const char *path, char (&buffer)[4096]) {
  if (!Dictionary_GetStringByPath(config, path, buffer, int32_t(sizeof buffer))) return nullptr;
  Str_Expand(buffer, int(sizeof buffer), nullptr, nullptr);
  return buffer;
}

void OpenResponseStore(Dictionary *config, const char *name, const char *minAgePath) {
  int64_t minAge = 0;
  Dictionary_GetInt64ByPath(config, minAgePath, &minAge);
  if (minAge < 1) return;
  WebGetCacheStore *store = nullptr;
  if (!WebGetCache_OpenStore(name, &store)) return;
  WebGetCacheStore_SetMinAge(store, minAge);
  WebGetCacheStore_Release(&store);  // the global list keeps it until ReleaseAll
}

// "keyStores": {name: Base64 DER SubjectPublicKeyInfo} or {name: key set}.
int LoadKeyStore(Dictionary *stores, DictionaryItem *item, const char *name) {
  CertStore *store = nullptr;
  Dictionary *keySet = nullptr;
  const char *text = nullptr;
  int ok = 0;
  if (Dictionary_GetItemContainer(stores, item, &keySet) && keySet != nullptr) {
    // The store outlives the configuration (the registry keeps it until
    // authentication shuts down): it gets a copy of its own.
    Dictionary *copy = nullptr;
    Dictionary_Create(&copy);
    Dictionary_Merge(copy, keySet, kDictionaryMergeOverwrite);
    ok = CertStoreJwks_Create(&store, copy);
    Dictionary_Release(&copy);
  } else if (Dictionary_GetItemStringPointer(stores, item, &text) && text != nullptr) {
    int64_t size = int64_t(std::strlen(text));
    std::unique_ptr<uint8_t[]> der(new uint8_t[size_t(size) + 1]);
    int64_t length = 0;
    ok = Base64_Decode(text, der.get(), size + 1, &length) && CertStoreKey_Create(&store) &&
         CertStoreKey_SetKey(store, CertStoreKeyKind::PublicKey, der.get(), int32_t(length));
  }
  ok = ok && Auth_AddKeyStore(name, 1, store);
  if (store != nullptr) CertStore_Release(&store);
  return ok;
}

// "thumbprintStores": {name: [Base64 thumbprint, ...]}; "app" joins the
// "app" list.
int LoadThumbprintStore(Dictionary *stores, DictionaryItem *item, const char *name) {
  Dictionary *list = nullptr;
  CertStore *store = nullptr;
  int ok = Dictionary_GetItemContainer(stores, item, &list) && list != nullptr &&
           CertStoreThumbprint_Create(&store) && CertStoreThumbprint_AddList(store, list);
  if (ok)
    ok = std::strcmp(name, "app") == 0 ? Auth_AddAppStore(store) : Auth_AddCertStore(name, 1, store);
  if (store != nullptr) CertStore_Release(&store);
  return ok;
}

int LoadStores(Dictionary *config, const char *section,
               int (*load)(Dictionary *, DictionaryItem *, const char *)) {
  Dictionary *stores = nullptr;
  if (!Dictionary_GetContainerByPath(config, section, &stores) || stores == nullptr) return 1;
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(stores, &item); item != nullptr;
       Dictionary_GetNextItem(stores, item, &item)) {
    const char *name = nullptr;
    if (!Dictionary_GetItemKey(stores, item, &name) || name == nullptr) continue;
    if (!load(stores, item, name)) {
      Log_Print(LOG_ERROR, KSRC, 0, "WorkflowApp: unable to load %s \"%s\"\n", section, name);
      return 0;
    }
  }
  return 1;
}

int AddWhitelistHost(void *, const char *pattern) {
  WebGet_AddWhitelistHost(pattern);
  return 1;
}

}  // namespace

int WorkflowApp_Create(WorkflowApp **app, Dictionary *config) {
  CHECK_POINTER(app);
  *app = nullptr;
  if (g_app != nullptr) return 0;
  auto *a = new WorkflowApp{};
  Dictionary_Create(&a->config);
  if (config != nullptr) Dictionary_Merge(a->config, config, kDictionaryMergeOverwrite);
  MergeDefaults(a->config);
  g_app = a;

  WebGetPool_Init(&a->pool);
  Dictionary *section = nullptr;
  if (Dictionary_GetDictionaryByKey(a->config, "webGetPool", &section))
    WebGetPool_Configure(a->pool, section);
  Challenge_Init();
  OpenResponseStore(a->config, "alias", "alias.webGetCacheMinAge");
  OpenResponseStore(a->config, "workflow", "workflow.webGetCacheMinAge");
  if (const char *agent = Text(a->config, "webGet.userAgent")) WebGet_SetUserAgent(agent);
  char cipher[4096], versionMin[4096], versionMax[4096];
  Tls_ApplySettings(ExpandedText(a->config, "tls1.cipher", cipher),
                    ExpandedText(a->config, "tls1.versionMin", versionMin),
                    ExpandedText(a->config, "tls1.versionMax", versionMax));
  int ok = LoadStores(a->config, "keyStores", LoadKeyStore) &&
           LoadStores(a->config, "thumbprintStores", LoadThumbprintStore);
  if (const char *name = Text(a->config, "webGet.certStore"); ok && name != nullptr) {
    CertStore *store = Auth_GetCertStore(name);  // a null store when none is registered
    WebGet_SetCertStore(store);
    CertStore_Release(&store);
  }
  if (!ok) {
    WorkflowApp_Release(&a);
    return 0;
  }
  Dictionary *webGet = nullptr;
  if (Dictionary_GetDictionaryByKey(a->config, "webGet", &webGet))
    Dictionary_ForEachStringByKey(webGet, "whitelist", nullptr, AddWhitelistHost);
  Analytics_Init();
  a->analytics = true;
  Analytics_Configure(a->config);
  Interop_SetOptions(a->config);
  *app = a;
  return 1;
}

int WorkflowApp_Release(WorkflowApp **app) {
  CHECK_POINTER(app);
  WorkflowApp *a = *app;
  if (a == nullptr) return 0;
  WebGet_SetAuthenticationEnabled(0);
  if (a->analytics) {
    Dictionary *tally = nullptr;
    Dictionary_Create(&tally);
    WebGet_CopyCacheResults(tally);
    Analytics_TrackXCacheStats(tally);
    Dictionary_Release(&tally);
  }
  WebGetCache_ReleaseAll();
  if (a->pool != nullptr) WebGetPool_Release(&a->pool);
  Challenge_Shutdown();
  Interop_SetOptions(nullptr);
  if (a->analytics) Analytics_Shutdown();
  Dictionary_Release(&a->config);
  if (g_app == a) g_app = nullptr;
  delete a;
  *app = nullptr;
  return 1;
}

WorkflowApp *WorkflowApp_Get(void) { return g_app; }

Dictionary *WorkflowApp_GetConfig(WorkflowApp *app) {
  CHECK_POINTER(app);
  return app->config;
}

int WorkflowApp_Pump(WorkflowApp *app) {
  CHECK_POINTER(app);
  EventQueue_Flush(EventQueue_GetMain());
  NotificationCenter_ProcessPendingFires();
  WebGetPool_Step();
  WebGetCache_PurgeAll();
  Analytics_Pump();
  Interop_Pump();
  IOWorker_Grow();
  return 1;
}

int WorkflowApp_RequestQuit(WorkflowApp *app, int32_t exitCode) {
  CHECK_POINTER(app);
  app->quitRequested = 1;
  app->exitCode = exitCode;
  return 1;
}

int WorkflowApp_IsQuitRequested(WorkflowApp *app, int32_t *exitCode) {
  CHECK_POINTER(app);
  if (exitCode != nullptr) *exitCode = app->exitCode;
  return app->quitRequested;
}

namespace {

// Parses path's document: from text when given, else from the file.
int workflowAppParse(const char *path, const char *text, int32_t length, Dictionary **document,
                     bool secret = false) {
  CHECK_POINTER(document);
  *document = nullptr;
  size_t n = std::strlen(path);
  auto endsWith = [&](const char *s) {
    size_t k = std::strlen(s);
    return n >= k && strcasecmp(path + n - k, s) == 0;
  };
  Dictionary *parsed = nullptr;
  Dictionary_Create(&parsed);
  int ok = 0;
  if (endsWith(".yaml") || endsWith(".yml")) {
    Yaml *yaml = nullptr;
    Yaml_Create(&yaml);
    Yaml_SetDictionary(yaml, parsed);
    Yaml_SetSecret(yaml, secret);
    ok = text ? Yaml_ParseMemory(yaml, text, length) : Yaml_ParseFile(yaml, path);
    Yaml_Release(&yaml);
  } else {
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetDictionary(json, parsed);
    Json_SetSecret(json, secret);
    ok = text ? Json_ParseMemory(json, text, length) : Json_ParseFile(json, path);
    Json_Release(&json);
  }
  if (!ok) {
    Log_Print(LOG_ERROR, KSRC, 0, "WorkflowApp: unable to read %s\n", path);
    Dictionary_Release(&parsed);
    return 0;
  }
  *document = parsed;
  return 1;
}

}  // namespace

int WorkflowApp_ReadDocumentFile(const char *path, Dictionary **document) {
  return workflowAppParse(path, nullptr, 0, document);
}

int WorkflowApp_ParseDocument(const char *path, const char *text, int32_t length,
                              Dictionary **document) {
  CHECK_POINTER(text);
  return workflowAppParse(path, text, length, document);
}

int WorkflowApp_ParseSecretDocument(const char *path, const char *text, int32_t length,
                                    Dictionary **document) {
  CHECK_POINTER(text);
  return workflowAppParse(path, text, length, document, true);
}

int WorkflowApp_ReadConfigFile(const char *path, Dictionary **config) {
  CHECK_POINTER(config);
  *config = nullptr;
  Dictionary *parsed = nullptr;
  if (!WorkflowApp_ReadDocumentFile(path, &parsed)) return 0;
  Dictionary *members = nullptr;
  Dictionary_Unwrap(parsed, &members);
  Dictionary_Create(config);
  Dictionary_Merge(*config, members, kDictionaryMergeOverwrite);
  Dictionary_Release(&parsed);
  return 1;
}
