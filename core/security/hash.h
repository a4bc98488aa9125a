// Hash: the constant record of operations behind every message digest
// (CRC-32, MD2, MD4, MD5, SHA-1, SHA-224, SHA-256, SHA-384, SHA-512), the
// HashHandle object that binds one record at a time, one-shot helpers on
// stack contexts, lookup by name and object identifier, and the hash macros.
//
// Invariants: (1) a HashInterface is constant and compared by identity: two
// handles use the same algorithm exactly when they hold the same record; every
// slot of the nine records is filled. (2) a HashHandle holds Pending only
// while no interface is bound; binding feeds and frees it. (3) Context exists
// exactly while Interface is bound and belongs to that record. (4) reading a
// digest before Generate stops the program; a destination smaller than the
// digest gets nothing and the result 0.
//
// Threads: a HashHandle or a context belongs to one thread at a time; there is
// no locking. The records and lookup tables are constant and shared.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kHashHandleTag = 0xb3855d8f;
constexpr int32_t kHashPendingBytes = 4096;      // data held before an algorithm is bound
constexpr int32_t kHashMaxDigestBytes = 64;      // SHA-512
constexpr int32_t kHashMaxBlockBytes = 128;      // SHA-384 and SHA-512
constexpr int32_t kHashUtf16DigestBytes = 64;    // Hash_ComputeDigestUtf16 always offers 64
constexpr int32_t kHashMacroOutputBytes = 8140;  // the macro expander's result buffer

// One algorithm. Every slot returns 1 unless it says otherwise; a NULL or
// foreign context stops the program, and so does GetDigest or GetDigestHex
// before Generate ("Assertion failed (MD5->DigestReady)\nMD5 must be
// generated first!" with the algorithm's name).
struct HashInterface {
  const char *Name;     // "CRC", "MD2", "MD4", "MD5", "SHA1", "SHA224", ...
  int32_t BlockSize;    // input block in bytes; HMAC pads its key to it
  int32_t DigestSize;   // digest length in bytes; never 0
  // Bytes of a context placed in caller memory.
  int32_t (*ContextSize)(void);
  // Turns ContextSize bytes into a reset context with an instance id.
  int (*InitInPlace)(void *context);
  // Ends an in-place context; the memory stays the caller's.
  int (*UninitInPlace)(void *context);
  // Allocates a reset context into *context.
  int (*Create)(void **context);
  // Frees the context and clears *context.
  int (*Release)(void **context);
  // Copies the whole state, a finished digest included, into another context
  // of the same algorithm.
  int (*CopyState)(const void *source, void *target);
  // Starts again; the digest is no longer ready.
  int (*Reset)(void *context);
  // Absorbs length bytes (data must not be NULL). A negative length gives 0.
  int (*Update)(void *context, const void *data, int64_t length);
  // Nonzero after Generate until Reset.
  int (*IsDigestReady)(const void *context);
  // Pads, finishes and keeps the digest in the context.
  int (*Generate)(void *context);
  // Copies the DigestSize bytes; 0 when size is smaller.
  int (*GetDigest)(const void *context, void *out, int32_t size);
  // The digest as hex text through Hash_BytesToHex; 0 when size is too small.
  int (*GetDigestHex)(const void *context, int grouped, char *out, int32_t size);
};

// The nine records, owned by the module and never released.
extern const HashInterface kHashCrc;
extern const HashInterface kHashMd2;
extern const HashInterface kHashMd4;
extern const HashInterface kHashMd5;
extern const HashInterface kHashSha1;
extern const HashInterface kHashSha224;
extern const HashInterface kHashSha256;
extern const HashInterface kHashSha384;
extern const HashInterface kHashSha512;

struct HashHandle {
  ObjectHeader header;
  void *Context;                    // the bound record's context, or NULL
  const HashInterface *Interface;   // borrowed; NULL while unbound
  uint8_t *Pending;                 // kHashPendingBytes, only while unbound
  int32_t PendingLength;
};

// Every operation on a handle stops the program on a NULL pointer or a
// foreign class tag.

// An unbound handle with reference count 1 into *hash. Returns 1.
int Hash_Create(HashHandle **hash);
// Unbinds, frees the handle and clears *hash. Returns 1.
int Hash_Delete(HashHandle **hash);
// Binds a record (NULL unbinds). The record already bound restarts the
// computation. Pending data is fed to the new record and the result of that
// Update is returned; otherwise 1. Stops the program on a record without a
// Name or with DigestSize 0 ("Assertion failed (Interface->DigestSize !=
// 0)\nHash_SetInterface: DigestSize must not be zero\n") or with an empty slot.
int Hash_SetInterface(HashHandle *hash, const HashInterface *hashInterface);
// The bound record or NULL. Returns 1.
int Hash_GetInterface(HashHandle *hash, const HashInterface **hashInterface);
// Drops pending data, else restarts the bound record. 0 with neither.
int Hash_Reset(HashHandle *hash);
// Bound: the record's Update. Unbound: holds the bytes until a record is
// bound; 0 when they would exceed kHashPendingBytes, or for NULL data with a
// non-zero length. On 1, *written (when asked) is length.
int Hash_Update(HashHandle *hash, const void *data, int64_t length, int64_t *written);
// The record's Generate; 0 when unbound.
int Hash_Generate(HashHandle *hash);
// The record's GetDigest; 0 when unbound or size is below the digest size.
int Hash_GetDigest(HashHandle *hash, void *out, int32_t size);
// The digest as ungrouped lower-case hex; 0 when unbound or out is too small
// (out then holds an empty string when size allows).
int Hash_GetDigestHex(HashHandle *hash, char *out, int32_t size);
// The bound record's DigestSize; 0 when unbound.
int32_t Hash_GetDigestSize(HashHandle *hash);
// Copies the state of source into target; 0 when source is unbound or the
// two hold different records. Pending data is not copied.
int Hash_CopyState(HashHandle *source, HashHandle *target);

// The record named (ASCII case ignored) "CRC", "MD2", "MD4", "MD5", "SHA1",
// "SHA224", "SHA256", "SHA384" or "SHA512". Other names log "Unsupported hash
// algorithm %s\n" and give 0. Stops the program on a NULL argument.
int Hash_GetInterfaceByName(const char *name, const HashInterface **hashInterface);
// The record for a dotted object identifier of a digest or of a signature
// algorithm with that digest (exact comparison). Others log as above, give 0.
int Hash_GetInterfaceByOid(const char *oid, const HashInterface **hashInterface);

// One-shot digest on a stack context: InitInPlace, Update, Generate, GetDigest,
// UninitInPlace. Returns the result of the last step run.
int Hash_ComputeDigest(const HashInterface *hashInterface, const void *data, int64_t length,
                       void *out, int32_t size);
// As Hash_ComputeDigest with ungrouped lower-case hex as the last step.
int Hash_ComputeDigestHex(const HashInterface *hashInterface, const void *data, int64_t length,
                          char *out, int32_t size);
// Digest of count UTF-16 units taken as UTF-8: a surrogate pair becomes its
// 4-byte sequence, so the digest equals that of the same text in UTF-8. A
// lone surrogate gives 0. out must hold kHashUtf16DigestBytes bytes.
int Hash_ComputeDigestUtf16(const HashInterface *hashInterface, const char16_t *text,
                            int32_t count, void *out);

// CRC-32 (zlib's) of length bytes into out[0..3], most significant byte
// first. With caseSensitive 0 the letters a-z count as A-Z, and a length
// below 1 writes nothing and gives 0.
int Crc_Compute(const void *data, int64_t length, int caseSensitive, uint8_t *out);

// Lower-case hex of count bytes, terminated; with grouped 1 a blank follows
// every fourth byte. Needs 2*count+1 bytes (plus count/4 grouped); a smaller
// size gives 0 and leaves out untouched. A count below 1 writes "".
int Hash_BytesToHex(const void *bytes, int32_t count, int grouped, char *out, int32_t size);

// The macro handler for "CRC", "MD4", "MD5", "SHA1", "SHA256" (argument: the
// text) and "Hash" (argument: algorithm name, a comma, the text). Writes the
// digest as hex into out (kHashMacroOutputBytes). Returns 1 when the name is
// this handler's, 0 otherwise (and for "Hash" without an argument). The
// argument is changed in place: the comma after the algorithm becomes a NUL.
int Hash_MacroHandler(void *context, const char *name, char *argument, char *out);
