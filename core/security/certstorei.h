// CertStore: the one record through which every trust decision is put to a
// certificate store. A store kind fills the record's six callback cells and
// hands out pointers to it; users hold only the record.
//
// Invariants: (1) each cell is a {context, function} pair set and read as
// one unit; the context is the store kind's object. (2) the reference count
// that matters is the kind's, reached through the Retain and Release cells.
// (3) while Authenticate_Enabled answers 0, CheckCertificate and
// CheckDigest trust and FindKey finds no key, without asking the kind.
//
// Threads: cells may be read from any thread while another sets them; the
// kinds protect their own data.
#pragma once

#include <cstdint>

#include "core/formats/dictionary.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/security/cryptasymmetric.h"
#include "core/security/hash.h"

constexpr uint32_t kCertStoreTag = 0x3c9e052b;

// What the bytes of a key store are.
enum class CertStoreKeyKind : int32_t {
  None = 0,
  Secret = 1,     // an HMAC secret
  PublicKey = 2,  // a DER SubjectPublicKeyInfo
};

struct X509;
struct CertStore;

typedef void (*CertStoreRetainFunction)(CertStore *store, void *context);
typedef void (*CertStoreReleaseFunction)(CertStore **store, void *context);
typedef int (*CertStoreGetKeyFunction)(CertStore *store, void *context, const uint8_t **key,
                                       int32_t *length, CertStoreKeyKind *kind);
typedef int (*CertStoreCheckCertificateFunction)(CertStore *store, void *context, X509 *cert,
                                                 int *rejected);
typedef int (*CertStoreFindKeyFunction)(CertStore *store, void *context, Dictionary *header,
                                        CryptAsymmetric **key, int *rejected);
typedef int (*CertStoreCheckDigestFunction)(CertStore *store, void *context,
                                            const HashInterface *hash, const uint8_t *digest,
                                            int32_t length);

struct CertStore {
  ObjectHeader header;
  CallbackCell Retain;
  CallbackCell Release;
  CallbackCell GetKey;
  CallbackCell CheckCertificate;
  CallbackCell FindKey;
  CallbackCell CheckDigest;
};

// A zeroed record. Returns 1.
int CertStore_Create(CertStore **store);
// Frees the record (not the kind) and clears *store. Returns 1.
int CertStore_Delete(CertStore **store);

int CertStore_SetRetain(CertStore *store, void *context, CertStoreRetainFunction function);
int CertStore_SetRelease(CertStore *store, void *context, CertStoreReleaseFunction function);
int CertStore_SetGetKey(CertStore *store, void *context, CertStoreGetKeyFunction function);
int CertStore_SetCheckCertificate(CertStore *store, void *context,
                                  CertStoreCheckCertificateFunction function);
int CertStore_SetFindKey(CertStore *store, void *context, CertStoreFindKeyFunction function);
int CertStore_SetCheckDigest(CertStore *store, void *context,
                             CertStoreCheckDigestFunction function);

// Calls the Retain cell (a record without one stops the program) and
// returns store.
CertStore *CertStore_Retain(CertStore *store);
// Calls the Release cell, which clears *store. Returns 1.
int CertStore_Release(CertStore **store);
// The stored key (borrowed) and its kind (kind may be NULL). Without a
// GetKey function: 0, nothing written.
int CertStore_GetKey(CertStore *store, const uint8_t **key, int32_t *length,
                     CertStoreKeyKind *kind);
// 1 when the store trusts cert; *rejected = 1 stops a walk at once.
int CertStore_CheckCertificate(CertStore *store, X509 *cert, int *rejected);
// 1 and a public key (the caller owns the reference; NULL with security
// off) for the key a JWS header names.
int CertStore_FindKey(CertStore *store, Dictionary *header, CryptAsymmetric **key, int *rejected);
// 1 when the store pins digest (length bytes under hash), e.g. the SHA-256
// of a whole file. With security off: 1 without asking. A record without a
// CheckDigest function: 0.
int CertStore_CheckDigest(CertStore *store, const HashInterface *hash, const uint8_t *digest,
                          int32_t length);

// For store kinds: readies a record embedded in kind (a class object), with
// Retain and Release cells that take and drop a reference on kind.
// Returns 1.
int CertStore_InitEmbedded(CertStore *store, void *kind);
