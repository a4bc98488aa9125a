// StorageRequest: one or more pieces of a metafile in transfer between two
// storages. It maps each piece onto the files of the metafile (members),
// owns the page-aligned buffer the pieces are read into, remembers which
// storage encodings (1 pad, 2 gzip, 4 vcdiff, 8 aes256) the buffer's bytes
// are in, and offers the transformations of the decoding chain: piece
// header, AES-256 layout, inflate, VCDIFF delta, pads and the digest check.
//
// Invariants: (1) members are in content order; their dataOffset and
// paddedOffset follow one another without gaps (dataOffset by length,
// paddedOffset by length + pad). (2) span is the padded size of the pieces
// added (each piece min(pieceSize, content end - its start)), total the sum
// of their lengths without pads; capacity = span + kStorageRequestSlack.
// (3) every transformation reads and writes only [0, capacity) of the
// buffer, and every field of a header or layout is checked against length
// before it is read. (4) the buffer starts on a page boundary; it is kept
// between pieces and only grows; after a reset every byte of it is zero.
// (5) the password is never stored; the derived-key cache holds the salt's
// and the password's SHA-256, the iteration count and the key, and is wiped
// when the request goes.
//
// Threads: one chain at a time works on a request; the caller serialises.
// bufferRefCount is atomic, since drivers and the delta step hold the buffer
// from worker threads.
#pragma once

#include <zlib.h>

#include <atomic>
#include <cstdint>

#include "base/filelist.h"
#include "base/metafile.h"
#include "base/vcdiffdecoder.h"
#include "core/net/webget.h"
#include "core/runtime/class.h"
#include "core/runtime/pool.h"
#include "core/security/aes.h"

constexpr uint32_t kStorageRequestTag = 0x5e0a7e51;
constexpr int32_t kStorageRequestMemberGrowth = 5;
constexpr int64_t kStorageRequestSlack = 8192;  // room past the plain pieces
constexpr int32_t kStorageRequestWindowBits = 47;  // zlib or gzip, detected
constexpr int32_t kStorageRequestHeaderBytes = 6;
constexpr int32_t kStorageRequestDeltaHeaderBytes = 11;
constexpr int32_t kStorageRequestKeyBytes = 32;
constexpr int32_t kStorageRequestUrlBytes = 4096;

// Storage flags: the encodings the buffer's bytes are in.
constexpr uint32_t kStorageFlagPad = 1;
constexpr uint32_t kStorageFlagGzip = 2;
constexpr uint32_t kStorageFlagVCDiff = 4;
constexpr uint32_t kStorageFlagAes256 = 8;

// Results of StorageRequest_Decrypt.
constexpr int kStorageDecryptNoMemory = 5;
constexpr int kStorageDecryptLayout = 6;    // a field does not fit or is out of range
constexpr int kStorageDecryptDamaged = 7;   // the data digest differs
constexpr int kStorageDecryptPassword = 8;  // the password is missing or wrong
// Result of StorageRequest_CheckDigests on a mismatch or a short piece.
constexpr int kStorageDigestMismatch = 979;

struct Storage;  // the storage working on a request (borrowed)

struct StorageMember {
  FileRecord *file;     // borrowed from the metafile's file index
  int64_t offset;       // in the whole content
  int64_t fileOffset;   // in the file's data
  int32_t pieceIndex;
  int64_t dataOffset;   // in the buffer, pads left out
  int64_t paddedOffset; // in the buffer, pads included
  int64_t length;       // bytes of file data
  int64_t pad;          // pad bytes that follow the data
  int32_t fromCache;
  StorageMember *next;
  StorageMember *previous;
};

struct StorageRequest {
  ObjectHeader header;  // kStorageRequestTag
  StorageMember *first;
  StorageMember *last;
  int32_t memberCount;
  Pool *members;  // StorageMember records, five a chunk
  VCDiffDecoder *decoder;
  int32_t windowRead;  // the delta's window header has been read
  StorageMember *failedMember;  // whose read or write failed the last chain
  MetaFile *metafile;  // borrowed
  Storage *storage;    // borrowed
  StorageRequest *sourceRequest;  // owned
  int32_t cancelled;
  int32_t allowDelta;
  int32_t installed;  // the pieces are the installed version's (a delta's source)
  uint32_t encoding;
  std::atomic<int32_t> bufferRefCount;
  int64_t length;
  int64_t total;
  int64_t span;
  int64_t capacity;  // span + slack, set by StorageRequest_AllocBuffer
  uint8_t *block;    // the tracked allocation
  int64_t blockSize;
  uint8_t *buffer;        // block's first page boundary
  int64_t bufferSize;     // usable bytes from buffer
  int64_t dirty;          // bytes from buffer that may be non-zero
  int32_t pieceIndex;
  z_stream inflate;
  uint8_t *scratch;
  int64_t scratchSize;
  double createTime;
  double resetTime;
  AesContext *aes;
  int32_t keyValid;
  int32_t keyIterations;
  int32_t keySaltLength;
  uint8_t keySaltHash[32];
  uint8_t keyPasswordHash[32];
  uint8_t key[kStorageRequestKeyBytes];
  char url[kStorageRequestUrlBytes];  // of the last transfer made for it; "" none
  int32_t urlDelta;                   // that transfer asked for a VCDIFF delta
  WebGetCause cause;  // what that transfer's failure met beyond its codes
  int32_t bypassCaches;  // the next transfer asks past caches (its bytes failed their digest)
  const Storage *digestFailedAt;  // whose bytes those were; compared, never used
  ClassLog log;  // "StorageRequest"
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign request or out-pointer.

// Member pool, decoder, inflate stream, AES context, then a reset. Released
// with Class_Release (the source request with it); a held buffer then stops
// the program. Returns 1.
int StorageRequest_Create(StorageRequest **request);
// Frees the members, resets the source request, cancelled 0, allowDelta 1,
// installed 0, no storage, no failed member, encoding 1, total, span,
// capacity and length 0, pieceIndex -1, both times now; zero-fills the
// buffer. Stops the program while the buffer is held ("Reference to buffer
// not released before being reset [%d]"). Returns 1.
int StorageRequest_Reset(StorageRequest *request);

// The metafile whose pieces are carried (borrowed; it must outlive the
// members).
int StorageRequest_SetMetaFile(StorageRequest *request, MetaFile *metafile);
MetaFile *StorageRequest_GetMetaFile(StorageRequest *request);
int StorageRequest_SetStorage(StorageRequest *request, Storage *storage);
Storage *StorageRequest_GetStorage(StorageRequest *request);
// Takes over the caller's reference of source (NULL: none), releasing the
// one held before. The request resets it with itself and releases it with
// itself. Returns 1.
int StorageRequest_SetSourceRequest(StorageRequest *request, StorageRequest *source);
StorageRequest *StorageRequest_GetSourceRequest(StorageRequest *request);
int StorageRequest_SetAllowDelta(StorageRequest *request, int32_t allow);
int32_t StorageRequest_GetAllowDelta(StorageRequest *request);
// 1: the pieces are read as the installed version has them (the source of
// a delta), never from a file the new version is being built in.
int StorageRequest_SetInstalled(StorageRequest *request, int32_t installed);
int32_t StorageRequest_GetInstalled(StorageRequest *request);
// The URL a driver last asked for this request's pieces (cut to
// kStorageRequestUrlBytes) and whether it was a VCDIFF delta; "" and 0
// after a reset, and for storages that are no URL. For the reports of a
// failed piece.
int StorageRequest_SetUrl(StorageRequest *request, const char *url, int32_t delta);
const char *StorageRequest_GetUrl(StorageRequest *request);
// What the last transfer's failure met (a TLS failure, a proxy), kept by
// the driver that made it for the error reported with its codes.
int StorageRequest_SetCause(StorageRequest *request, const WebGetCause *cause);
int StorageRequest_GetCause(StorageRequest *request, WebGetCause *cause);
int32_t StorageRequest_IsDeltaUrl(StorageRequest *request);
int StorageRequest_SetCancelled(StorageRequest *request);
int32_t StorageRequest_IsCancelled(StorageRequest *request);
int StorageRequest_SetEncoding(StorageRequest *request, uint32_t encoding);
uint32_t StorageRequest_GetEncoding(StorageRequest *request);
// 1 when every bit of flags is in the encoding.
int StorageRequest_TestEncoding(StorageRequest *request, uint32_t flags);
int64_t StorageRequest_GetLength(StorageRequest *request);
// Sets length; stops the program outside [0, capacity].
int StorageRequest_SetLength(StorageRequest *request, int64_t length);
int StorageRequest_AddLength(StorageRequest *request, int64_t count);
int64_t StorageRequest_GetTotal(StorageRequest *request);
// The padded span of the pieces added plus kStorageRequestSlack: the room
// of every read, inflate and delta into the buffer.
int64_t StorageRequest_GetCapacity(StorageRequest *request);
int32_t StorageRequest_GetPieceIndex(StorageRequest *request);
// The member whose driver read or write ended the storage's last chain on
// the request (Storage_Read and Storage_Write clear it, the chain sets it),
// or NULL.
int StorageRequest_SetFailedMember(StorageRequest *request, StorageMember *member);
StorageMember *StorageRequest_GetFailedMember(StorageRequest *request);
int StorageRequest_SetPieceIndex(StorageRequest *request, int32_t index);
double StorageRequest_GetStartTime(StorageRequest *request);
double StorageRequest_GetResetTime(StorageRequest *request);
int StorageRequest_SetLogSink(StorageRequest *request, void *context, ClassLogSink sink);

// Adds the members of piece index (no member carries it yet; else nothing
// happens) and lowers pieceIndex to it. With a pad list the members split
// each file's data at the list's ranges; without, each file's own pad
// follows the member that holds the file's last byte. Stops the program for
// an index below 0 or past the content, while the buffer is held, or when
// the files end before the piece. Returns 1.
int StorageRequest_AddPiece(StorageRequest *request, int32_t index);
int32_t StorageRequest_GetMemberCount(StorageRequest *request);
// The first member (NULL when none); members link through next.
StorageMember *StorageRequest_GetFirstMember(StorageRequest *request);
// Sizes the buffer for the pieces added: capacity = span + slack. The
// buffer grows (page-aligned, two pages more allocated) only when it is too
// small. Stops the program while the buffer is held. Returns 1.
int StorageRequest_AllocBuffer(StorageRequest *request);
// The most a request of one piece of pieceSize bytes holds: its buffer (the
// piece, the slack and two pages of alignment) and a scratch copy of as
// much encoded input (an inflate, decryption or delta reads from there).
// pieceSize is taken within [0, kMetaFilePieceSizeMax], the sizes a loaded
// metafile has, so the result never overflows.
int64_t StorageRequest_GetPieceBytes(int64_t pieceSize);
// The bytes the request holds now: buffer, scratch, and its source
// request's. Any thread, also while a pool thread works the request (the
// figure may then be a moment old).
int64_t StorageRequest_GetHeldBytes(StorageRequest *request);
// Gives back the buffer and scratch of the request and of its source
// request; the next AllocBuffer allocates anew (zeroed by the allocator).
// Stops the program while the buffer is held. Returns 1.
int StorageRequest_FreeBuffers(StorageRequest *request);
// A pointer to buffer + offset, counted in bufferRefCount. Stops the program
// for an offset outside [0, capacity]. Returns 1.
int StorageRequest_GetBuffer(StorageRequest *request, int64_t offset, uint8_t **pointer);
// Drops one count and clears *pointer. Returns 1.
int StorageRequest_ReleaseBuffer(StorageRequest *request, uint8_t **pointer);
// 1 when both have as many members and each pair has the same fileOffset,
// length and file path.
int StorageRequest_SameMembers(StorageRequest *a, StorageRequest *b);

// Transformations: each returns 0 when it did nothing or succeeded, except
// where it says otherwise.
// 1 when the buffer begins with the piece header and is long enough for it
// (6 bytes, 11 with flag 4): encoding from the header's flags, the source
// range to the decoder, the header removed. 0 otherwise (nothing changed).
int StorageRequest_ReadPieceHeader(StorageRequest *request);
// Deciphers the AES-256 layout when the encoding has 8: 6 for a field past
// length, an IV length outside [16, 320], a check length of 0, above 320 or
// not a multiple of 16, an unknown hash name, an iteration count of 0 or a
// padding count above the data length (nothing deciphered then); 7 when the
// data digest differs; 8 when the check digest differs. On 0 the buffer
// holds the plain data and bit 8 is cleared.
int StorageRequest_Decrypt(StorageRequest *request, const void *password, int32_t passwordLength);
// Inflates (zlib or gzip) into the buffer when the encoding has 2: the
// zlib error code, or Z_BUF_ERROR (-5) when the stream does not end within
// the input and the capacity (length and encoding then unchanged).
int StorageRequest_Inflate(StorageRequest *request);
// 1 at once when the encoding lacks 4. Otherwise reads the delta's window
// header and returns its source range: 1, or 0 when the header is bad.
int StorageRequest_ReadDeltaWindow(StorageRequest *request, int32_t *sourceIndex,
                                   int32_t *sourceCount);
// 1 at once when the encoding lacks 4. Otherwise decodes the delta against
// the source request's length bytes (holding its buffer meanwhile) into the
// buffer, bounded by the capacity: 1 and bit 4 cleared, or 0.
int StorageRequest_ApplyDelta(StorageRequest *request);
// Into the padded layout (bit 1 set); nothing when the encoding has 1.
int StorageRequest_AddPadding(StorageRequest *request);
// Into the unpadded layout (bit 1 cleared), the freed tail zero-filled;
// nothing when the encoding lacks 1.
int StorageRequest_RemovePadding(StorageRequest *request);
// Checks every piece of the request against the piece list's digests, in
// the layout the encoding's bit 1 names: 0, or 979 with *pieceIndex the
// first piece that is short of bytes (logged "Not enough bytes to calculate
// digest (%d)") or differs. Stops the program for a piece outside the list.
int StorageRequest_CheckDigests(StorageRequest *request, int32_t *pieceIndex);
