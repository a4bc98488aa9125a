// CertStoreKey: a store holding one explicit key (an HMAC secret or a
// public key's SubjectPublicKeyInfo) for JWS checks; it trusts no
// certificate and finds no key by header.
//
// Invariants: (1) Key is an owned copy of KeyLength bytes, or NULL with
// length 0 and kind None. (2) a public key's bytes import as a
// SubjectPublicKeyInfo.
//
// Threads: set up by one thread; read-only afterwards, from any thread.
#pragma once

#include <cstdint>

#include "core/security/certstorei.h"

constexpr uint32_t kCertStoreKeyTag = 0x3f1c0a15;

struct CertStoreKey {
  ObjectHeader header;
  CertStore Interface;
  uint8_t *Key;  // owned
  int32_t KeyLength;
  CertStoreKeyKind Kind;
};

// Room for CertStoreKey_CheckPublicKey's why.
constexpr int kCertStoreKeyWhyBytes = 160;

// 1 when length bytes are a DER SubjectPublicKeyInfo that imports (as
// CertStoreKey_SetKey takes it); else 0 with what they are in why: no DER,
// DER of another structure, a key of an algorithm other than RSA and EC, an
// EC key on a curve the EC record does not know (its OID named), or an RSA
// key the record refuses.
int CertStoreKey_CheckPublicKey(const void *bytes, int32_t length, char *why, int size);
// 1 when length bytes are DER shaped as a private key: a SEQUENCE opening
// with its version INTEGER (PKCS#1 RSA, SEC 1 EC, PKCS#8), or an algorithm
// SEQUENCE and an OCTET STRING (an encrypted PKCS#8 key). Else 0.
int CertStoreKey_IsPrivateKey(const void *bytes, int32_t length);
// A new key store without a key; *store holds its one reference.
int CertStoreKey_Create(CertStore **store);
// Replaces the key with a copy of length bytes of the given kind. A public
// key must be a DER SubjectPublicKeyInfo the key records import, a secret
// must not be empty; else 0 and the old key stays.
int CertStoreKey_SetKey(CertStore *store, CertStoreKeyKind kind, const void *bytes,
                        int32_t length);
