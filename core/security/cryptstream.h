// CryptStream: a Stream that enciphers every byte written through it and
// deciphers every byte read through it with a stream cipher (RC4 through the
// CryptSymmetric front end), handing the bytes on to or taking them from an
// inner stream. The key stream simply continues from one write (or read) to
// the next: no blocks, no padding, no IV.
//
// Invariants: (1) the key stream advances by exactly the bytes that went
// through the inner stream, one direction at a time. (2) after a write that
// the inner stream took short or refused, the two sides no longer agree on
// the key stream: Failed is 1 and every later write answers 0 until
// CryptStream_SetKey starts a fresh key stream. (3) the caller's bytes are
// never changed: writes are enciphered in the Work buffer. (4) Inner is
// borrowed and never closed or released by this object.
//
// Threads: one thread at a time; there is no lock.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/security/cryptsymmetric.h"
#include "core/runtime/memstream.h"
#include "core/runtime/stream.h"

constexpr uint32_t kCryptStreamTag = 0x6473f75b;

struct CryptStream {
  ObjectHeader header;
  Stream Record;           // Write and Read here; the other offered slots forward to Inner
  Stream *Inner;           // borrowed; NULL until SetInnerStream
  MemoryStream *Work;      // owned: the scratch buffer of each write
  CryptSymmetric *Cipher;  // owned
  int32_t Failed;          // see invariant (2)
};

// Every operation stops the program with "Pointer is NULL\n" on a NULL object
// or out-pointer and with "Class mismatch pointer (...)" on a foreign object,
// the record's slots included (their context is the object).

// A new object with its work stream, an unbound cipher object and the filled
// record; reference count 1. Returns 1.
int CryptStream_Create(CryptStream **stream);
// Releases the cipher object and the work stream, frees the object and
// clears *stream. The inner stream is not touched. Returns 1.
int CryptStream_Release(CryptStream **stream);
// Binds the cipher object to the RC4 record (a fresh, unkeyed context).
// Returns 1.
int CryptStream_UseRc4(CryptStream *stream);
// Hands the key to the cipher; its result. A fresh key stream starts and a
// failed stream may write again. Stops the program before UseRc4.
int CryptStream_SetKey(CryptStream *stream, const void *key, int32_t length);
// The stream that receives enciphered writes and supplies reads; it may be
// replaced between messages. Returns 1.
int CryptStream_SetInnerStream(CryptStream *stream, Stream *inner);
// The embedded record. Returns 1.
int CryptStream_GetStream(CryptStream *stream, Stream **record);

// Write slot: enciphers the bytes and writes them to the inner stream.
// *written is what the inner stream took. A length of 0 answers 1 and
// leaves the key stream alone. Answers 0 when there is no inner stream or it
// has no Write slot, for a negative length, on a failed stream, and when the
// inner stream refuses the bytes or takes fewer than offered, which fails the
// stream (invariant 2).
int CryptStream_Write(void *context, const void *data, int32_t length, int32_t *written);
// Read slot: reads up to length bytes from the inner stream into buffer and
// deciphers exactly the bytes read; the inner read's result. 0 when there is
// no inner stream or it has no Read slot.
int CryptStream_Read(void *context, void *buffer, int32_t length, int32_t *read);
