// Hmac: keyed digests (HMAC) over any HashInterface record, as an object fed
// in pieces, as one-shot functions, as PBKDF2 with HMAC-SHA1 and as the HMAC
// macros of configuration text.
//
// Invariants: (1) KeyBlock and InnerDigest exist exactly while a record is
// bound, with the record's BlockSize and DigestSize. (2) while KeyLength is at
// most KeyBlockSize the key bytes so far lie in KeyBlock; above it every key
// byte has gone through Inner. (3) KeyLength is -1 once Inner has absorbed the
// padded key: keying is closed until Hmac_Reset. (4) a destination smaller
// than the digest gets nothing and the result 0.
//
// Threads: an HmacHandle belongs to one thread at a time; no locks. The
// one-shot functions and PBKDF2 keep their state on the caller's stack or in
// objects of their own, so any thread may call them.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/security/hash.h"

constexpr uint32_t kHmacHandleTag = 0xdd12155e;

struct HmacHandle {
  ObjectHeader header;
  uint8_t *KeyBlock;      // KeyBlockSize bytes; NULL while unbound
  int32_t KeyBlockSize;   // the bound record's BlockSize; 0 while unbound
  int32_t KeyLength;      // key bytes so far, or -1 once keying is closed
  HashHandle *Inner;      // owned; created and deleted with the object
  uint8_t *InnerDigest;   // the bound record's DigestSize bytes
};

// Every operation stops the program on a NULL pointer or a foreign class tag.

// An unbound object with reference count 1 into *hmac. Returns 1.
int HMAC_Create(HmacHandle **hmac);
// Unbinds, deletes Inner, frees the object and clears *hmac. Returns 1.
int Hmac_Delete(HmacHandle **hmac);
// Binds a record (NULL unbinds). The record already bound: the key is
// forgotten (Hmac_Reset), result 1. Another record: fresh buffers, empty
// key; the result of binding Inner.
int Hmac_SetInterface(HmacHandle *hmac, const HashInterface *hashInterface);
// Appends length key bytes; the key is the concatenation of all calls. 0 once
// keying is closed, while unbound, or for a negative length.
int Hmac_SetKey(HmacHandle *hmac, const void *key, int32_t length);
// Closes keying on first use, then feeds length bytes. 0 while unbound.
int Hmac_Update(HmacHandle *hmac, const void *data, int64_t length);
// Finishes the HMAC; Hmac_GetDigest then reads it. 0 while unbound.
int Hmac_Generate(HmacHandle *hmac);
// Copies the HMAC; 0 while unbound or when size is below the digest size.
// Stops the program before Hmac_Generate.
int Hmac_GetDigest(HmacHandle *hmac, void *out, int32_t size);
// Forgets the key and the data: keying opens again with an empty key.
int Hmac_Reset(HmacHandle *hmac);
// Copies key, keying state, inner hash state and inner digest into target,
// which is restarted first. Stops the program when the two are bound to
// different records ("Assertion failed (SourceInterface ==
// TargetInterface)\nInterfaces don't match").
int Hmac_CopyState(HmacHandle *source, HmacHandle *target);

// One-shot HMAC of data under key into out. Returns the result of the failing
// step: binding, or 0 when size is below the digest size; 1 when written.
int Hmac_Compute(const HashInterface *hashInterface, const void *data, int64_t dataLength,
                 const void *key, int32_t keyLength, void *out, int32_t size);
// As Hmac_Compute, as lower-case hex into out of kHashMacroOutputBytes.
int Hmac_ComputeHex(const HashInterface *hashInterface, const void *data, int64_t dataLength,
                    const void *key, int32_t keyLength, char *out);

// PBKDF2 with HMAC-SHA1: outLength bytes derived from password and salt with
// iterations rounds. An iteration count or outLength below 1 (or a negative
// password or salt length) gives 0, with out zero-filled when outLength > 0.
int Hmac_Pbkdf2Sha1(const void *password, int32_t passwordLength, const void *salt,
                    int32_t saltLength, int32_t iterations, void *out, int32_t outLength);

// The macro handler for names beginning with "HMAC": "HMAC<algorithm>" takes
// "key,data"; "HMAC" takes "algorithm,key,data". Writes the HMAC as hex into
// out (kHashMacroOutputBytes). Returns 1 when the name is this handler's and
// an argument is given, else 0; a malformed argument or unknown algorithm is
// handled with nothing written. Commas in argument become NULs.
int Hmac_MacroHandler(void *context, const char *name, char *argument, char *out);
