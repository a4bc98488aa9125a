// Auth: the process-wide security switch. Everything that decides whether to
// trust code, data, a key or a whitelist asks Authenticate_Enabled first;
// while it answers 0, signature checks pass and whitelists let everything
// through.
//
// Invariants: (1) the switch starts on (1). (2) the product clears it at
// most once, through Authenticate_Disable during start-up, before any other
// thread of the system exists; nothing in the product sets it back.
//
// It also keeps the registry of named stores: a certificate store table
// ("app", "platform", "null" and those the configuration adds), a key store
// table (HMAC secrets and public keys, e.g. "datastore"), and the "app" list
// that the default name resolves to.
//
// Threads: Authenticate_Enabled may be called from any thread (an atomic
// load). Authenticate_Disable and the test setter run before other threads
// read the switch, or while they are stopped. Auth_Init and Auth_Shutdown
// run while no other thread of the system exists; the lookups and additions
// may run from any thread in between (the tables and the list lock
// themselves).
#pragma once

#include <cstdint>

struct CertStore;
struct CertStoreList;
struct CertStoreTable;

constexpr uint32_t kAuthGlobalTag = 0x584e1303;

// The registry. One per process, between Auth_Init and Auth_Shutdown.
struct AuthGlobal {
  uint32_t tag;                 // kAuthGlobalTag
  CertStoreTable *CertStores;   // name -> certificate store
  CertStoreTable *KeyStores;    // name -> key store
  CertStoreList *App;           // the "app" list (holds the platform store)
};

// Creates the registry: "app" (the list, holding the platform store),
// "platform" and "null", all fixed. 0 when it exists already. The security
// switch is neither read nor reset.
int Auth_Init(void);
// Releases both tables and the "app" list and frees the registry. Returns 1
// (also when there is none).
int Auth_Shutdown(void);
// A retained store registered under name in the certificate table, else in
// the key table. When neither holds it, logs "Unable to find certificate
// store (%s)" and returns a new null store, so callers always get a store.
CertStore *Auth_GetCertStore(const char *name);
// The retained store registered under name, from the key table first when
// keysFirst is 1, else from the certificate table first; NULL (nothing
// logged) when neither holds it.
CertStore *Auth_FindStore(const char *name, int keysFirst);
// Adds store (retained) to the certificate / key table under name; an entry
// added with replaceable 0 is never replaced. 0 without a registry, on a
// fixed name, or a name too long.
int Auth_AddCertStore(const char *name, int replaceable, CertStore *store);
int Auth_AddKeyStore(const char *name, int replaceable, CertStore *store);
// Appends store (retained) to the fixed "app" list, after the platform
// store. 0 without a registry.
int Auth_AddAppStore(CertStore *store);
// 1 when der is a certificate that store trusts: the certificate, copied
// into a new chain, is walked from against store for any purpose.
int Auth_VerifyCertificateDer(CertStore *store, const void *der, int32_t length);

// With the switch on, whether path carries a signature that store trusts
// (Executable_IsSignatureValid); a failure logs "Library validation failed
// (%s)". With it off, logs "Skipping library authentication (%s)" and
// answers 1.
int Auth_AuthenticateFile(CertStore *store, const char *path);

// 1 while signatures, certificates, keys and whitelists are checked; 0 after
// Authenticate_Disable.
int Authenticate_Enabled(void);

// The one clear at start-up (the command line asked for security off).
// One-way. Returns 1.
int Authenticate_Disable(void);

// Test-only: sets the switch either way. Tests use AuthSwitchGuardForTest.
void Authenticate_SetEnabledForTest(int enabled);

// Test-only: holds the switch at a value for a scope and restores the value
// it found.
class AuthSwitchGuardForTest {
 public:
  explicit AuthSwitchGuardForTest(int enabled) : saved_(Authenticate_Enabled()) {
    Authenticate_SetEnabledForTest(enabled);
  }
  ~AuthSwitchGuardForTest() { Authenticate_SetEnabledForTest(saved_); }
  AuthSwitchGuardForTest(const AuthSwitchGuardForTest &) = delete;
  AuthSwitchGuardForTest &operator=(const AuthSwitchGuardForTest &) = delete;

 private:
  int saved_;
};
