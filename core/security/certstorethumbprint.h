// CertStoreThumbprint: a store of pinned certificate thumbprints (digests of
// a certificate's DER with SHA-1, SHA-224, SHA-256, SHA-384 or SHA-512). A
// certificate is trusted when its thumbprint under one of the stored hashes
// is pinned; a JWS "x5c" chain is trusted when it leads to a pin. The same
// pins also answer CertStore_CheckDigest: a file is pinned when its digest
// under the pin's hash is listed (an application pins its ELF files so).
//
// Invariants: (1) every entry's digest is DigestSize bytes of its hash.
// (2) Hashes lists each hash of an entry exactly once.
//
// Threads: set up by one thread; read-only afterwards, from any thread.
#pragma once

#include <cstdint>

#include "core/security/certstorei.h"
#include "core/security/hash.h"

constexpr uint32_t kCertStoreThumbprintTag = 0x72fb4c45;
// Room for CertStoreThumbprint_ReadPin's why.
constexpr int kCertStoreThumbprintWhyBytes = 128;

struct CertStoreThumbprintEntry {
  const HashInterface *hash;
  uint8_t digest[kHashMaxDigestBytes];
  CertStoreThumbprintEntry *next;
};

struct CertStoreThumbprintHash {
  const HashInterface *hash;
  CertStoreThumbprintHash *next;
};

struct CertStoreThumbprint {
  ObjectHeader header;
  CertStore Interface;
  ClassLog Log;  // "CertStoreThumbprint"
  CertStoreThumbprintEntry *Entries;
  CertStoreThumbprintHash *Hashes;
};

// A pin's text is the Base64 of a certificate's digest, standard or
// base64url, its '=' optional, white space around it ignored. The hash
// of a pin of that form into *hash and its digest into digest
// (kHashMaxDigestBytes): 1. Else 0 with why the text is no pin in why: hex
// as sha256sum prints it, colon-separated hex as openssl x509 -fingerprint
// prints it, not Base64, or a digest of no hash's length.
int CertStoreThumbprint_ReadPin(const char *text, int32_t length, const HashInterface **hash,
                                uint8_t *digest, char *why, int size);
// A new store without pins; *store holds its one reference.
int CertStoreThumbprint_Create(CertStore **store);
// Adds every item of a Dictionary list as a Base64 thumbprint; the decoded
// length picks the hash. Items that are no pin (CertStoreThumbprint_ReadPin)
// are logged and skipped. Returns 1 when at least one was added.
int CertStoreThumbprint_AddList(CertStore *store, Dictionary *list);
