// Rc4: the RC4 stream cipher, kept for the protocols and file formats that
// still name it (legacy TLS suites, PKCS#12 bags, the cipher stream).
//
// Invariants: (1) State is a permutation of 0..255 at all times; a new or
// re-keyed context starts from the identity before its key schedule. (2) the
// key stream continues across Rc4_Crypt calls and restarts only with
// Rc4_SetKey. (3) KeyLength is 0 exactly while the context holds no key.
//
// Threads: a context belongs to one thread at a time.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kRc4ContextTag = 0x4d6f4aaa;
constexpr int32_t kRc4KeyLimitBytes = 256;  // keys are 1 to 255 bytes

struct Rc4Context {
  ObjectHeader header;
  uint8_t X;
  uint8_t Y;
  uint8_t State[256];
  int32_t KeyLength;
  uint8_t Key[kRc4KeyLimitBytes];  // the key as given, zero after it
};

// An unkeyed context (identity permutation) with reference count 1. Returns 1.
int Rc4_Create(Rc4Context **rc4);
// Wipes and frees the context and clears *rc4. Returns 1.
int Rc4_Release(Rc4Context **rc4);

// Resets the context, then installs a key of 1 to 255 bytes and runs the key
// schedule. A length of 0 or less logs an error and answers 0 (the context
// stays reset). Stops the program for 256 bytes or more ("Key length too long
// (%d > %d)").
int Rc4_SetKey(Rc4Context *rc4, const void *key, int32_t length);

// XORs length bytes with the key stream; enciphering and deciphering are the
// same step. in and out may be the same buffer. A length of 0 or less
// answers 1 and leaves the key stream where it was.
int Rc4_Crypt(Rc4Context *rc4, const void *in, void *out, int64_t length);
