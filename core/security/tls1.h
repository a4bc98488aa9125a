// Tls: the TLS 1.0-1.2 client. This header holds the process-wide part: the
// suite catalogue and the switches that pick from it, the version bounds,
// the key-log path, the TLS global and the certificate store new sessions
// judge servers with.
//
// Invariants: (1) the enabled flags and the version bounds are written by
// the application at start-up, before sessions exist, and only read after
// that; nothing ever clears an enabled flag. (2) the minimum and maximum
// version bytes lie in 0x31..0x33. (3) the key-log path is at most 319
// characters; empty means no key log.
//
// Threads: every call here may be made from any thread. The flags and
// bounds are atomics, the key-log path and the store source sit behind
// their own lock or atomic; Tls_GlobalInit and Tls_Shutdown run while no
// session exists.
#pragma once

#include <cstdint>

struct CertStore;

constexpr uint32_t kTlsGlobalTag = 0xeebf9e93;
constexpr int32_t kTlsKeyLogPathBytes = 320;
constexpr int32_t kTlsSuiteCount = 20;

// Version bytes: major in the high nibble, minor in the low one.
constexpr int32_t kTlsVersion10 = 0x31;
constexpr int32_t kTlsVersion11 = 0x32;
constexpr int32_t kTlsVersion12 = 0x33;

// The application's list when it configures none (18 suites, RC4 off).
extern const char kTlsDefaultCipherList[];

// The TLS global: created by the network layer's start-up, freed by
// Tls_Shutdown.
struct TlsGlobal {
  uint32_t tag;  // kTlsGlobalTag
};

// Creates the global. 0 when it exists already.
int Tls_GlobalInit(void);
// Frees the global. Returns 1 (also when there is none).
int Tls_Shutdown(void);
// The global, or NULL outside Tls_GlobalInit..Tls_Shutdown.
TlsGlobal *Tls_GetGlobal(void);

// "1.0" 0x31, "1.1" 0x32, "1.2" 0x33, anything else (and NULL) 0.
int32_t Tls_VersionFromText(const char *text);
// The suite id of a name (any case), or 0 after logging
// "Unknown cipher suite: %s\n" at WARNING.
uint16_t Tls_CipherSuiteFromName(const char *name);
// 1 for the twelve ECDHE suite ids.
int Tls_IsEcdheSuite(uint16_t id);

// The application's settings walk, over texts with their macros already
// expanded: every name of the comma-separated cipherList (blanks around a
// name ignored, unknown names logged and skipped) enables its row; a NULL
// list enables kTlsDefaultCipherList. versionMin and versionMax replace the
// bounds when Tls_VersionFromText gives a non-zero byte; NULL or an unknown
// text keeps the current bound. Returns 1.
int Tls_ApplySettings(const char *cipherList, const char *versionMin, const char *versionMax);
// The current bounds (defaults 0x31 and 0x33).
int32_t Tls_GetVersionMin(void);
int32_t Tls_GetVersionMax(void);
// Test-only: every flag off and the default bounds back.
void Tls_ResetSettingsForTest(void);

// Copies path (NULL clears it; longer than 319 characters is cut) as the key
// log. May be called before Tls_GlobalInit. The start-up calls it only while
// Authenticate_Enabled answers 0, and a line is written only then.
void Tls_SetKeyLogPath(const char *path);
// Copies the key-log path into out (empty when none). Returns 1 when a path
// is set.
int Tls_GetKeyLogPath(char *out, int32_t size);

// Where new sessions get their certificate store. A source answers a
// retained store (the caller owns the reference) or NULL when it has none.
typedef CertStore *(*TlsCertStoreSource)(void);
// Installs source (NULL removes it). The WebGet layer installs its own while
// it runs.
void Tls_SetCertStoreSource(TlsCertStoreSource source);
// A retained store: the source's answer while a source is set and answers
// non-NULL, else Auth_GetCertStore("app"). The caller releases it.
CertStore *Tls_DefaultCertStore(void);
