// X509Chain: an ordered set of certificates as a peer presents them (a TLS
// Certificate message, a JWS "x5c" list, the certificates of a PKCS#7
// signature) and the walk that decides whether one certificate is trusted:
// depth first through every chain entry that issued it, each step's
// signature checked, each issuer checked as a CA, until a certificate store
// answers for some certificate on the path.
//
// Invariants: (1) the chain owns a copy of every certificate it holds, each
// loaded. (2) a walk visits a certificate at most once per path (a copy
// listed twice counts as the same certificate), at most
// kX509ChainMaxDepth issuers deep and with at most kX509ChainMaxChecks
// signature checks, so cycles and floods of look-alike issuers end.
// (3) trust comes only from the store's answer for a certificate on the
// path; no certificate is trusted for being self-signed.
//
// Threads: a chain belongs to one thread at a time; the walk asks the store
// from that thread.
#pragma once

#include <cstdint>

#include "core/security/asn.h"
#include "core/security/certstorei.h"
#include "core/security/x509.h"

constexpr uint32_t kX509ChainTag = 0xe91cb12f;
constexpr uint32_t kX509ChainListTag = 0xb52816b7;
constexpr int kX509ChainMaxDepth = 16;
constexpr int kX509ChainMaxChecks = 64;

// What the end-entity certificate must be good for (its extKeyUsage, when
// it has one, names the purpose or anyExtendedKeyUsage).
enum class X509Purpose : int32_t { Any = 0, ServerAuth = 1, CodeSigning = 2 };

// Why a walk refused a certificate. When several paths end differently the
// one that came nearest to trust is told: a path the store trusts that only
// dates fail (Expired, NotYetValid) before a path that breaks on the way
// (Invalid), before one that finds no trust (SelfSigned, UnknownIssuer).
enum class X509ChainVerdict : int32_t {
  Trusted = 0,
  SelfSigned = 1,     // the certificate issued itself and the store does not trust it
  UnknownIssuer = 2,  // no certificate on any path is trusted: its issuer is not known
  Expired = 3,        // trusted but for a certificate past its notAfter
  NotYetValid = 4,    // trusted but for a certificate before its notBefore
  Invalid = 5,        // a signature, an issuer that may not issue, a path length, the purpose
  Rejected = 6,       // the store rejected a certificate on the path (revoked)
};

struct X509ChainNode {
  uint32_t tag;  // kX509ChainListTag
  X509 *cert;    // owned
  X509ChainNode *next;
  X509ChainNode *previous;
};

struct X509Chain {
  ObjectHeader header;
  X509ChainNode *first;
  X509ChainNode *last;
  int32_t count;
};

// Every operation stops the program on a NULL pointer or a foreign tag.

int X509Chain_Create(X509Chain **chain);
// Frees every certificate and the chain, and clears *chain. Returns 1.
int X509Chain_Release(X509Chain **chain);
void X509Chain_Clear(X509Chain *chain);
// Appends a copy of cert. Returns 0 when cert holds no certificate.
int X509Chain_Add(X509Chain *chain, const X509 *cert);
// Replaces the chain with the certificates of node's children. Any failure
// empties the chain and returns 0; no children give an empty chain and 1.
int X509Chain_LoadFromAsn1List(X509Chain *chain, const Asn1Node *node);
// The first certificate (borrowed); 0 when empty.
int X509Chain_GetFirst(X509Chain *chain, X509 **cert);
// The first certificate whose subject is cert's issuer (borrowed).
int X509Chain_FindIssuer(X509Chain *chain, const X509 *cert, X509 **issuer);
int X509Chain_FindByIssuerSerial(X509Chain *chain, const X500Name *name, const BigInt *serial,
                                 X509 **cert);

// The walk for any purpose, without dates. Returns 1 when trusted.
int X509Chain_Verify(X509Chain *chain, X509 *cert, CertStore *store);
// The walk for a purpose, at time (seconds since 1970 UTC; 0: no dates). A
// certificate outside its validity fails unless the store trusts it and it
// is self-issued or pinned (the store's CheckDigest knows its thumbprint):
// then that answer is the trust. Returns 1 when trusted.
int X509Chain_VerifyPolicy(X509Chain *chain, X509 *cert, CertStore *store, X509Purpose purpose,
                           double time);

// X509Chain_VerifyPolicy that also says why it refused (*verdict; Trusted
// when it answers 1). verdict may be NULL.
int X509Chain_VerifyVerdict(X509Chain *chain, X509 *cert, CertStore *store, X509Purpose purpose,
                            double time, X509ChainVerdict *verdict);

// X509_Log for every certificate. Returns 1.
int X509Chain_Log(X509Chain *chain);

// Adds every Base64 certificate of an "x5c" list to chain, in order. 1 when
// all load (also for an empty list); 0 at the first failure.
int X509Chain_LoadX5c(X509Chain *chain, Dictionary *list);
// The key of a JWS header's "x5c" chain: the Base64 certificates are loaded
// in order, the first is walked against store for purpose (no dates), and
// its public key is returned retained in *key. Returns 0 (*key NULL) for a
// missing or empty "x5c", an entry that does not load or a refused walk.
int X509Chain_FindKeyByX5c(Dictionary *header, CertStore *store, X509Purpose purpose,
                           CryptAsymmetric **key);
