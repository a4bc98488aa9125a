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

// A new store without pins; *store holds its one reference.
int CertStoreThumbprint_Create(CertStore **store);
// Adds every item of a Dictionary list as a Base64 thumbprint; the decoded
// length picks the hash. Items that do not decode or have another length
// are logged and skipped. Returns 1 when at least one was added.
int CertStoreThumbprint_AddList(CertStore *store, Dictionary *list);
