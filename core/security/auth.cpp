// The security switch; see auth.h.
#include "core/security/auth.h"

#include <atomic>

namespace {

// Relaxed is enough: the one product write happens before other threads are
// started, and thread creation orders it before their reads.
std::atomic<int> gAuthenticateEnabled{1};

}  // namespace

int Authenticate_Enabled(void) { return gAuthenticateEnabled.load(std::memory_order_relaxed); }

int Authenticate_Disable(void) {
  gAuthenticateEnabled.store(0, std::memory_order_relaxed);
  return 1;
}

void Authenticate_SetEnabledForTest(int enabled) {
  gAuthenticateEnabled.store(enabled ? 1 : 0, std::memory_order_relaxed);
}

// The registry of named stores.

#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/security/certstorelist.h"
#include "core/security/certstorenull.h"
#include "core/security/certstoreplatform.h"
#include "core/security/certstoretable.h"
#include "core/security/executable.h"
#include "core/security/x509.h"
#include "core/security/x509chain.h"

namespace {

AuthGlobal *gAuth = nullptr;

int addFixed(CertStoreTable *table, const char *name, CertStore **store) {
  int result = CertStoreTable_Add(table, name, 0, *store);
  CertStore_Release(store);
  return result;
}

}  // namespace

int Auth_Init(void) {
  if (gAuth) return 0;
  auto *global = static_cast<AuthGlobal *>(MEM_ALLOC(sizeof(AuthGlobal), MEM_ZEROED));
  global->tag = kAuthGlobalTag;
  CertStoreTable_Create(&global->CertStores);
  CertStoreTable_Create(&global->KeyStores);
  CertStoreList_Create(&global->App);
  CertStore *platform = nullptr;
  CertStorePlatform_Create(&platform);
  CertStoreList_Add(global->App, platform);
  addFixed(global->CertStores, "platform", &platform);
  CertStore *app = CertStoreList_GetInterface(global->App);
  addFixed(global->CertStores, "app", &app);
  CertStore *null = nullptr;
  CertStoreNull_Create(&null);
  addFixed(global->CertStores, "null", &null);
  gAuth = global;
  return 1;
}

int Auth_Shutdown(void) {
  AuthGlobal *global = gAuth;
  if (!global) return 1;
  gAuth = nullptr;
  CertStoreTable_Release(&global->CertStores);
  CertStoreTable_Release(&global->KeyStores);
  CertStoreList_Release(&global->App);
  global->tag = 0;
  MEM_FREE(global, sizeof(AuthGlobal));
  return 1;
}

CertStore *Auth_GetCertStore(const char *name) {
  CertStore *store = nullptr;
  if (gAuth && name &&
      (CertStoreTable_Find(gAuth->CertStores, name, &store) ||
       CertStoreTable_Find(gAuth->KeyStores, name, &store)))
    return store;
  Log_Print(LOG_ERROR, KSRC, 0, "Unable to find certificate store (%s)\n", name ? name : "");
  CertStoreNull_Create(&store);
  return store;
}

CertStore *Auth_FindStore(const char *name, int keysFirst) {
  CertStore *store = nullptr;
  if (!gAuth || !name) return nullptr;
  CertStoreTable *first = keysFirst ? gAuth->KeyStores : gAuth->CertStores;
  CertStoreTable *second = keysFirst ? gAuth->CertStores : gAuth->KeyStores;
  if (CertStoreTable_Find(first, name, &store) || CertStoreTable_Find(second, name, &store))
    return store;
  return nullptr;
}

int Auth_AddCertStore(const char *name, int replaceable, CertStore *store) {
  if (!gAuth || !name || !store) return 0;
  return CertStoreTable_Add(gAuth->CertStores, name, replaceable, store);
}

int Auth_AddKeyStore(const char *name, int replaceable, CertStore *store) {
  if (!gAuth || !name || !store) return 0;
  return CertStoreTable_Add(gAuth->KeyStores, name, replaceable, store);
}

int Auth_AddAppStore(CertStore *store) {
  if (!gAuth || !store) return 0;
  return CertStoreList_Add(gAuth->App, store);
}

int Auth_VerifyCertificateDer(CertStore *store, const void *der, int32_t length) {
  if (!store || !der || length <= 0) return 0;
  X509 *cert = nullptr;
  X509_Create(&cert);
  int result = 0;
  if (X509_LoadDer(cert, der, length)) {
    X509Chain *chain = nullptr;
    X509Chain_Create(&chain);
    X509Chain_Add(chain, cert);
    X509 *first = nullptr;
    if (X509Chain_GetFirst(chain, &first)) result = X509Chain_Verify(chain, first, store);
    X509Chain_Release(&chain);
  }
  X509_Release(&cert);
  return result;
}

int Auth_AuthenticateFile(CertStore *store, const char *path) {
  CHECK_POINTER(store);
  CHECK_POINTER(path);
  if (!Authenticate_Enabled()) {
    Log_Print(LOG_INFO, KSRC, 0, "Skipping library authentication (%s)\n", path);
    return 1;
  }
  if (Executable_IsSignatureValid(store, path)) return 1;
  Log_Print(LOG_ERROR, KSRC, 0, "Library validation failed (%s)\n", path);
  return 0;
}
