// PieceList: the "pieces" object of a metafile: the piece size, the digest
// algorithm, whether digests cover pad bytes, and one digest per piece.
// Piece i covers stream bytes [i x size, (i + 1) x size - 1].
//
// Invariants: (1) digests lie back to back in one buffer whose capacity is
// a whole number of steps of 100 digests (at least doubling as it grows,
// the fewest that hold them after PieceList_Finish),
// all of digestLength bytes (fixed by the first). (2) the digest of piece
// i is the i-th one the document gave.
//
// Threads: one thread at a time; the caller serialises. A loaded list is
// only read afterwards.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kPieceListTag = 0x91ece115;
constexpr int32_t kPieceListDefaultSize = 4194304;
constexpr int32_t kPieceListDigestMax = 64;
constexpr int32_t kPieceListGrowth = 100;  // digests per buffer step
constexpr int32_t kPieceListAlgorithmBytes = 320;

struct PieceList {
  ObjectHeader header;  // kPieceListTag
  int32_t digestLength;
  int32_t pieceTotal;
  uint8_t *digests;
  int64_t capacity;  // bytes
  int32_t hashPadding;
  int64_t pieceSize;  // as given; the metafile load checks 1..kMetaFilePieceSizeMax
  char algorithm[kPieceListAlgorithmBytes];
};

// Every operation stops the program on a NULL or foreign object or a NULL
// out-pointer.

int PieceList_Create(PieceList **list);
int PieceList_Destroy(PieceList **list);
// No digests, hashPadding 1, size 4194304, algorithm "SHA1". Returns 1.
int PieceList_Reset(PieceList *list);
// One node of "pieces" (path "pieces\<field>[\<index>]"): "algorithm",
// "hashPadding", "size", and each string of "digests" decoded from base64.
// Returns 0 with *errorCode 11 (kJsonErrorBuild) for a digest that is not a
// string, does not decode, is longer than 64 bytes, or differs in length
// from the first; else 1.
int PieceList_OnKey(PieceList *list, const char *path, int32_t type, const char *value,
                    int32_t length, int32_t *errorCode);
// The end of the digests: the buffer shrinks to ceil(total / 100) x 100
// digests. Returns 1.
int PieceList_Finish(PieceList *list);
int32_t PieceList_GetPieceTotal(PieceList *list);
int32_t PieceList_GetPieceSize(PieceList *list);
int32_t PieceList_GetDigestLength(PieceList *list);
int32_t PieceList_GetHashPadding(PieceList *list);
const char *PieceList_GetAlgorithm(PieceList *list);
// (index + 1) x size - 1 as a 64-bit product. Returns 1.
int PieceList_GetPieceEnd(PieceList *list, int32_t index, int64_t *end);
// The digest of piece index into buffer (size >= digest length, else 0).
// Stops the program with "Index out of bounds" for an index outside
// [0, piece total).
int PieceList_GetDigest(PieceList *list, int32_t index, void *buffer, int32_t size);
// Lower-case hex of the digest; 0 when text is too small.
int PieceList_GetDigestHex(PieceList *list, int32_t index, char *text, int32_t size);
