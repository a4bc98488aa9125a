// CertStoreJwks: a store backed by a JSON Web Key Set. A JWS header's "kid",
// "x5t#S256", "x5t" or "x5c" thumbprint names a signing key of the set; a
// certificate is trusted when its thumbprint is listed.
//
// Invariants: (1) only keys with "use" "sig" and an "alg" equal to the
// wanted algorithm are ever selected. (2) keys enter through the RSA and
// ECDSA public-key setters, so their checks apply. (3) the store holds a
// reference on the key-set Dictionary and never changes it.
//
// Threads: read-only after creation; any thread.
#pragma once

#include "core/formats/dictionary.h"
#include "core/security/certstorei.h"

constexpr uint32_t kCertStoreJwksTag = 0xd573d6e0;

struct CertStoreJwks {
  ObjectHeader header;
  CertStore Interface;
  Dictionary *KeySet;  // referenced; {"keys": [...]} or a root wrapping it
};

// A new store over keySet (a root Dictionary; the store takes a reference).
// *store holds the store's one reference.
int CertStoreJwks_Create(CertStore **store, Dictionary *keySet);

// What CertStoreJwks_CheckKeySet found.
enum class CertStoreJwksCheck : int32_t {
  Usable,      // every signing key imports, and there is one
  NoKeySet,    // no "keys" list
  NoKey,       // no signing key (each is skipped)
  NotImported, // a signing key that does not import (why names it)
  Private,     // a key with its private part "d" (why names it)
};

// The set as a verifier meets it: the signing keys ("use" "sig", an RSA or
// EC "alg" of the JWS table) are imported one by one. Usable, else what is
// wrong with the set in why (the key named by "kid", else by its index).
// skipped lists the keys no verifier selects ("kid", else "#index", and the
// reason), "" when none.
CertStoreJwksCheck CertStoreJwks_CheckKeySet(Dictionary *keySet, char *why, int whySize,
                                             char *skipped, int skippedSize);
