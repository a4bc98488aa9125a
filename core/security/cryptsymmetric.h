// CryptSymmetric: the constant cipher records ("RC4", "AES", "AESGCM") and a
// small front-end object that binds one record and forwards to it, as the
// TLS record layer and the cipher stream use them; and the constant-time
// comparison that every tag and MAC check goes through.
//
// Invariants: (1) a record is constant; an empty slot means the cipher does
// not offer the operation, and calling it through the front end stops the
// program ("Pointer is NULL"). (2) Context exists exactly while Interface is
// bound and belongs to that record. (3) binding a record, even the one
// already bound, releases the old context and creates a fresh one.
//
// Threads: a CryptSymmetric object belongs to one thread at a time. The
// records are constant and shared.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kCryptSymmetricTag = 0x9afb13ce;
// The TLS 1.2 AEAD additional data: sequence number, type, version, length.
constexpr int32_t kCryptSymmetricAadBytes = 13;

// One cipher. Results are 1 for success and 0 for a refusal, which the
// cipher logs.
struct CryptSymmetricInterface {
  const char *Name;   // "RC4", "AES", "AESGCM"
  int32_t BlockSize;  // 0 for a stream cipher; the TLS layer sizes IVs and tags by it
  int (*Create)(void **context);
  int (*Release)(void **context);
  int (*SetKey)(void *context, const void *key, int32_t length);
  // Additional authenticated data of the next message (AEAD only).
  int (*SetAAD)(void *context, const void *aad, int32_t length);
  // Without an IV: stream cipher, ECB, or the running AEAD message.
  int (*Encrypt)(void *context, const void *in, void *out, int64_t length);
  int (*Decrypt)(void *context, const void *in, void *out, int64_t length);
  // A message with an IV (CBC: the IV buffer is updated; GCM: a new message).
  int (*EncryptIV)(void *context, void *iv, int32_t ivLength, const void *in, void *out,
                   int64_t length);
  int (*DecryptIV)(void *context, void *iv, int32_t ivLength, const void *in, void *out,
                   int64_t length);
  // The authentication tag of the message (AEAD only).
  int (*GetAuthTag)(void *context, void *tag, int32_t length);
};

// RC4 (stream; no IV, AAD or tag slots), AES (ECB without an IV, CBC with
// one; the AAD and tag slots stop the program with "Not Supported - %s") and
// AES-GCM. Owned by the module, never released.
extern const CryptSymmetricInterface kCryptSymmetricRc4;
extern const CryptSymmetricInterface kCryptSymmetricAes;
extern const CryptSymmetricInterface kCryptSymmetricAesGcm;

struct CryptSymmetric {
  ObjectHeader header;
  void *Context;                             // the bound record's context, or NULL
  const CryptSymmetricInterface *Interface;  // borrowed; NULL while unbound
};

// Every front-end operation stops the program on a NULL pointer or a foreign
// class tag, and with "Pointer is NULL" when no record is bound or the bound
// record's slot for the call is empty.

// An unbound object with reference count 1 into *crypt. Returns 1.
int CryptSymmetric_Create(CryptSymmetric **crypt);
// Releases the context through the record, frees the object and clears
// *crypt. Returns 1.
int CryptSymmetric_Release(CryptSymmetric **crypt);
// Binds a record and creates a fresh context with it. Stops the program when
// the record lacks Name, Create, Release, SetKey, Encrypt or Decrypt.
int CryptSymmetric_SetInterface(CryptSymmetric *crypt, const CryptSymmetricInterface *record);
int CryptSymmetric_SetKey(CryptSymmetric *crypt, const void *key, int32_t length);
// The record's SetAAD with kCryptSymmetricAadBytes bytes.
int CryptSymmetric_SetAAD(CryptSymmetric *crypt, const void *aad);
int CryptSymmetric_Encrypt(CryptSymmetric *crypt, const void *in, void *out, int64_t length);
int CryptSymmetric_Decrypt(CryptSymmetric *crypt, const void *in, void *out, int64_t length);
int CryptSymmetric_EncryptIV(CryptSymmetric *crypt, void *iv, int32_t ivLength, const void *in,
                             void *out, int64_t length);
int CryptSymmetric_DecryptIV(CryptSymmetric *crypt, void *iv, int32_t ivLength, const void *in,
                             void *out, int64_t length);
int CryptSymmetric_GetAuthTag(CryptSymmetric *crypt, void *tag, int32_t length);

// 1 when the length bytes at a and b are equal, else 0. Reads every byte and
// never branches on their values, so the time taken says nothing about where
// they differ. A length of 0 answers 1; a negative one answers 0, so a length
// gone wrong never passes a check. Stops the program on a NULL pointer when
// length is above 0.
int Crypt_ConstantTimeEqual(const void *a, const void *b, int64_t length);
