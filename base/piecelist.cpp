// Piece lists; see piecelist.h.
#include "base/piecelist.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/keypath.h"
#include "core/formats/json.h"
#include "core/runtime/base64.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/hash.h"

namespace {

#define PIECELIST_CHECK(l) CLASS_CHECK((l), kPieceListTag)

void pieceListFreeDigests(PieceList *l) {
  if (l->digests) MEM_FREE(l->digests, l->capacity);
  l->digests = nullptr;
  l->capacity = 0;
}

void pieceListDestroy(void **object) {
  auto *l = static_cast<PieceList *>(*object);
  pieceListFreeDigests(l);
  l->header.classTag = 0;
  MEM_FREE(l, sizeof(PieceList));
}

int pieceListRefuse(int32_t *errorCode) {
  *errorCode = kJsonErrorBuild;
  return 0;
}

// Appends one digest. The buffer grows in whole steps of 100 digests, at
// least doubling: growing by one step at a time copied the digests once per
// hundred, quadratic in the piece count.
void pieceListAppend(PieceList *l, const uint8_t *digest) {
  int64_t need = int64_t(l->pieceTotal + 1) * l->digestLength;
  if (need > l->capacity) {
    int64_t held = l->capacity / l->digestLength;
    int64_t count = std::max<int64_t>(held * 2, int64_t(l->pieceTotal) + 1);
    count = (count + kPieceListGrowth - 1) / kPieceListGrowth * kPieceListGrowth;
    int64_t bytes = count * l->digestLength;
    auto *grown = static_cast<uint8_t *>(MEM_ALLOC(bytes, 0));
    if (l->pieceTotal > 0)
      memcpy(grown, l->digests, size_t(l->pieceTotal) * size_t(l->digestLength));
    pieceListFreeDigests(l);
    l->digests = grown;
    l->capacity = bytes;
  }
  memcpy(l->digests + int64_t(l->pieceTotal) * l->digestLength, digest, size_t(l->digestLength));
  l->pieceTotal++;
}

int pieceListOnDigest(PieceList *l, int32_t type, const char *value, int32_t length,
                      int32_t *errorCode) {
  // Base64 of 64 bytes is 88 characters; anything much longer cannot fit.
  char text[128];
  if (type != kJsonNodeString || length < 0 || length >= int32_t(sizeof text))
    return pieceListRefuse(errorCode);
  memcpy(text, value, size_t(length));
  text[length] = '\0';
  uint8_t digest[kPieceListDigestMax + 16];
  int64_t decoded = 0;
  if (!Base64_Decode(text, digest, sizeof digest, &decoded) || decoded <= 0 ||
      decoded > kPieceListDigestMax)
    return pieceListRefuse(errorCode);
  if (l->pieceTotal == 0 && l->digestLength == 0) l->digestLength = int32_t(decoded);
  if (decoded != l->digestLength) return pieceListRefuse(errorCode);
  if (l->pieceTotal == INT32_MAX) return pieceListRefuse(errorCode);
  pieceListAppend(l, digest);
  return 1;
}

}  // namespace

int PieceList_Create(PieceList **list) {
  CHECK_POINTER(list);
  auto *l = new (MEM_ALLOC(sizeof(PieceList), MEM_ZEROED)) PieceList();
  l->header.classTag = kPieceListTag;
  l->header.refCount.store(1, std::memory_order_relaxed);
  l->header.destroy = pieceListDestroy;
  PieceList_Reset(l);
  *list = l;
  return 1;
}

int PieceList_Destroy(PieceList **list) {
  CHECK_POINTER(list);
  PIECELIST_CHECK(*list);
  Class_ReleaseObject(list);
  return 1;
}

int PieceList_Reset(PieceList *l) {
  PIECELIST_CHECK(l);
  pieceListFreeDigests(l);
  l->digestLength = 0;
  l->pieceTotal = 0;
  l->hashPadding = 1;
  l->pieceSize = kPieceListDefaultSize;
  Str_Set(l->algorithm, "SHA1");
  return 1;
}

int PieceList_OnKey(PieceList *l, const char *path, int32_t type, const char *value, int32_t length,
                    int32_t *errorCode) {
  PIECELIST_CHECK(l);
  CHECK_POINTER(path);
  CHECK_POINTER(errorCode);
  KeyPath key;
  KeyPath_Split(path, &key);
  if (key.count < 2) return 1;
  std::string_view field = key.part[1];
  if (field == "digests") {
    if (key.count != 3) return 1;
    return pieceListOnDigest(l, type, value, length, errorCode);
  }
  if (key.count != 2) return 1;
  if (field == "algorithm") {
    Str_CopyN(l->algorithm, kPieceListAlgorithmBytes, value, length);
  } else if (field == "hashPadding") {
    l->hashPadding = KeyPath_ValueIsTrue(value, length);
  } else if (field == "size") {
    l->pieceSize = KeyPath_ValueToInt64(value, length);
  }
  return 1;
}

int PieceList_Finish(PieceList *l) {
  PIECELIST_CHECK(l);
  if (l->digestLength == 0) return 1;
  int64_t count =
      (int64_t(l->pieceTotal) + kPieceListGrowth - 1) / kPieceListGrowth * kPieceListGrowth;
  int64_t bytes = count * l->digestLength;
  if (bytes >= l->capacity) return 1;
  uint8_t *kept = nullptr;
  if (bytes > 0) {
    kept = static_cast<uint8_t *>(MEM_ALLOC(bytes, 0));
    memcpy(kept, l->digests, size_t(l->pieceTotal) * size_t(l->digestLength));
  }
  pieceListFreeDigests(l);
  l->digests = kept;
  l->capacity = bytes;
  return 1;
}

int32_t PieceList_GetPieceTotal(PieceList *l) {
  PIECELIST_CHECK(l);
  return l->pieceTotal;
}

int32_t PieceList_GetPieceSize(PieceList *l) {
  PIECELIST_CHECK(l);
  return int32_t(l->pieceSize);
}

int32_t PieceList_GetDigestLength(PieceList *l) {
  PIECELIST_CHECK(l);
  return l->digestLength;
}

int32_t PieceList_GetHashPadding(PieceList *l) {
  PIECELIST_CHECK(l);
  return l->hashPadding;
}

const char *PieceList_GetAlgorithm(PieceList *l) {
  PIECELIST_CHECK(l);
  return l->algorithm;
}

int PieceList_GetPieceEnd(PieceList *l, int32_t index, int64_t *end) {
  PIECELIST_CHECK(l);
  CHECK_POINTER(end);
  *end = (int64_t(index) + 1) * int64_t(int32_t(l->pieceSize)) - 1;
  return 1;
}

int PieceList_GetDigest(PieceList *l, int32_t index, void *buffer, int32_t size) {
  PIECELIST_CHECK(l);
  CHECK_POINTER(buffer);
  if (index < 0 || index >= l->pieceTotal)
    Core_Abort(
        KSRC,
        "Assertion failed (Index >= 0 && Index < PieceList->PieceTotal)\nIndex out of bounds\n");
  if (size < l->digestLength) return 0;
  memcpy(buffer, l->digests + int64_t(index) * l->digestLength, size_t(l->digestLength));
  return 1;
}

int PieceList_GetDigestHex(PieceList *l, int32_t index, char *text, int32_t size) {
  PIECELIST_CHECK(l);
  CHECK_POINTER(text);
  uint8_t digest[kPieceListDigestMax];
  if (!PieceList_GetDigest(l, index, digest, sizeof digest)) return 0;
  return Hash_BytesToHex(digest, l->digestLength, 0, text, size);
}
