// CryptAsymmetric: the constant public-key records ("RSA" and "ECDSA") and
// the front-end object that binds one record, imports keys from DER or a
// certificate's SubjectPublicKeyInfo, forwards to the record and logs under
// its own class name.
//
// Invariants: (1) a record is constant; an empty slot means the algorithm
// does not offer the operation, and calling it through the front end stops
// the program ("Pointer is NULL"). (2) Context exists exactly while Interface
// is bound and belongs to that record. (3) binding a record, even the one
// already bound, releases the old context and creates a fresh one. (4) the
// log hook is never empty: by default it writes to the program log at DEBUG.
//
// Threads: a CryptAsymmetric object belongs to one thread at a time. The
// records are constant and shared.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/security/asn.h"
#include "core/security/bigint.h"

constexpr uint32_t kCryptAsymmetricTag = 0xe6f040d7;
// CryptAsymmetric_Encrypt: a TLS premaster secret, and the output capacity.
constexpr int32_t kCryptAsymmetricPremasterBytes = 48;
constexpr int32_t kCryptAsymmetricEncryptCapacity = 1018;

// Algorithm identifiers of a SubjectPublicKeyInfo.
constexpr const char *kCryptAsymmetricRsaOid = "1.2.840.113549.1.1.1";
constexpr const char *kCryptAsymmetricEcOid = "1.2.840.10045.2.1";

// One algorithm. Results are 1 for success and 0 for a refusal, which the
// algorithm logs. Lengths and sizes are bytes.
struct CryptAsymmetricInterface {
  const char *Name;  // "RSA" or "ECDSA"
  int (*Create)(void **context);
  int (*Release)(void **context);
  // Domain parameters as a dotted OID text: the curve for ECDSA; RSA takes
  // none and answers 1.
  int (*SetParameters)(void *context, const char *parameters);
  int (*HasPrivateKey)(void *context);
  // The private key in the algorithm's DER form.
  int (*ImportPrivate)(void *context, const void *der, int32_t length);
  // The public key as a SubjectPublicKeyInfo's BIT STRING carries it.
  int (*ImportPublic)(void *context, const void *bytes, int32_t length);
  // RSA: exponent and modulus; ECDSA: the point's x and y.
  int (*SetPublic)(void *context, const BigInt *first, const BigInt *second);
  int (*Encrypt)(void *context, const void *data, int32_t length, void *out, int32_t size,
                 int32_t *written);
  int (*Sign)(void *context, const void *data, int32_t length, void *out, int32_t size,
              int32_t *written);
  // mode: how an RSA block carries the digest (1 bare, otherwise a
  // DigestInfo); ECDSA ignores it.
  int (*Verify)(void *context, const void *digest, int32_t digestLength, const void *signature,
                int32_t signatureLength, int32_t mode);
  int (*Clear)(void *context);
};

// PKCS#1 v1.5 encryption, signing and verification (rsa.h). Owned by the
// module, never released.
extern const CryptAsymmetricInterface kCryptAsymmetricRsa;
// ECDSA signing and verification on the curves of ec.h (ecdsa.h); Encrypt
// always answers 0.
extern const CryptAsymmetricInterface kCryptAsymmetricEcdsa;

// Receives the front end's formatted log lines (printf-like).
typedef void (*CryptAsymmetricLogHook)(void *context, const char *format, ...);

struct CryptAsymmetric {
  ObjectHeader header;
  ClassLog Log;                              // "CryptAsymmetric"
  void *LogHookContext;
  CryptAsymmetricLogHook LogHook;            // never NULL
  void *Context;                             // the bound record's key context, or NULL
  const CryptAsymmetricInterface *Interface;  // borrowed; NULL while unbound
};

// Every front-end operation stops the program on a NULL pointer or a foreign
// class tag, and with "Pointer is NULL" when no record is bound or the bound
// record's slot for the call is empty.

// An unbound object with reference count 1 into *key. Returns 1.
int CryptAsymmetric_Create(CryptAsymmetric **key);
// Releases the context through the record, frees the object and clears
// *key. Returns 1.
int CryptAsymmetric_Release(CryptAsymmetric **key);
// The record of a SubjectPublicKeyInfo algorithm OID into *record. Returns
// 0 (logged as an error, *record NULL) for an OID without a record.
int CryptAsymmetric_GetInterfaceByOid(const char *oid, const CryptAsymmetricInterface **record);
// Binds a record and creates a fresh context with it. Stops the program when
// the record lacks Name, Create, Release, HasPrivateKey, ImportPrivate,
// ImportPublic, Encrypt or Verify. Returns 1.
int CryptAsymmetric_SetInterface(CryptAsymmetric *key, const CryptAsymmetricInterface *record);
// Replaces the log hook (NULL restores the default). Returns 1.
int CryptAsymmetric_SetLogHook(CryptAsymmetric *key, void *context, CryptAsymmetricLogHook hook);

// Forwarders to the bound record's slot, with its context.
int CryptAsymmetric_SetParameters(CryptAsymmetric *key, const char *parameters);
int CryptAsymmetric_HasPrivateKey(CryptAsymmetric *key);
int CryptAsymmetric_ImportPrivate(CryptAsymmetric *key, const void *der, int32_t length);
int CryptAsymmetric_ImportPublic(CryptAsymmetric *key, const void *bytes, int32_t length);
int CryptAsymmetric_SetPublic(CryptAsymmetric *key, const BigInt *first, const BigInt *second);
int CryptAsymmetric_Sign(CryptAsymmetric *key, const void *data, int32_t length, void *out,
                         int32_t size, int32_t *written);
int CryptAsymmetric_Verify(CryptAsymmetric *key, const void *digest, int32_t digestLength,
                           const void *signature, int32_t signatureLength, int32_t mode);
// Encrypts kCryptAsymmetricPremasterBytes of data into out, which holds
// kCryptAsymmetricEncryptCapacity bytes.
int CryptAsymmetric_Encrypt(CryptAsymmetric *key, const void *data, void *out, int32_t *written);
// 1 when no record is bound, else the record's Clear.
int CryptAsymmetric_Clear(CryptAsymmetric *key);

// Binds the record of a SubjectPublicKeyInfo (an ASN.1 SEQUENCE node) and
// imports its key: the algorithm OID chooses the record, a curve OID in the
// parameters selects the curve, and the BIT STRING (no unused bits) holds
// the key. Returns 0 for an unreadable or unknown OID, a missing or bad BIT
// STRING, or a key the record refuses; the refusal is logged.
int CryptAsymmetric_ImportSubjectPublicKeyInfo(CryptAsymmetric *key, const Asn1Node *spki);

// When the object's class log is enabled for level, formats the message and
// hands its lines to the log hook; returns 1 then, else 0.
int CryptAsymmetric_Log(CryptAsymmetric *key, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
