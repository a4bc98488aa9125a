// Bit fields; see bitfield.h. Whole-field work runs a 64-bit word at a time:
// a big-endian load puts bit 0 of the word's first byte in the word's top
// bit, so bit order inside a word is the field's own order.
#include "base/bitfield.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "core/runtime/base64.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

#define BITFIELD_CHECK(f) CLASS_CHECK((f), kBitFieldTag)

uint64_t bitFieldLoad(const uint8_t *p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return std::endian::native == std::endian::little ? __builtin_bswap64(w) : w;
}

void bitFieldStore(uint8_t *p, uint64_t w) {
  if (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  memcpy(p, &w, 8);
}

void bitFieldCheckIndex(const BitField *f, int32_t index, const char *sourcePath, int line) {
  if (index < 0 || index >= f->size)
    Core_Abort(sourcePath, line, "Bit outside boundary %d >= %d\n", index, f->size);
}

// The mask of the field's bits in its last word (all ones when the size is a
// whole number of words). Only meaningful with at least one word.
uint64_t bitFieldLastWordMask(const BitField *f) {
  int32_t used = f->size - (f->wordCount - 1) * 64;
  return used >= 64 ? ~uint64_t(0) : ~uint64_t(0) << (64 - used);
}

// Restores invariant (2) after a write of whole words and recounts.
void bitFieldFinishWords(BitField *f) {
  if (f->wordCount == 0) {
    f->setCount = 0;
    return;
  }
  uint8_t *last = f->bytes + (f->wordCount - 1) * 8;
  bitFieldStore(last, bitFieldLoad(last) & bitFieldLastWordMask(f));
  int32_t count = 0;
  for (int32_t i = 0; i < f->wordCount; i++) count += std::popcount(bitFieldLoad(f->bytes + i * 8));
  f->setCount = count;
}

void bitFieldFreeBytes(BitField *f) {
  if (f->bytes != nullptr) MEM_FREE(f->bytes, int64_t(f->wordCount) * 8);
  f->bytes = nullptr;
  f->byteCount = f->size = f->setCount = f->wordCount = 0;
}

void bitFieldDestroy(void **object) {
  auto *f = static_cast<BitField *>(*object);
  bitFieldFreeBytes(f);
  f->header.classTag = 0;
  MEM_FREE(f, sizeof(BitField));
}

// Clips (first, count) as the range operations do; 0 when nothing is left.
int bitFieldClip(const BitField *f, int32_t first, int32_t *count, const char *sourcePath,
                 int line) {
  int64_t clipped = std::min<int64_t>(*count, int64_t(f->size) - first);
  if (clipped < 1) return 0;
  bitFieldCheckIndex(f, first, sourcePath, line);
  *count = int32_t(clipped);
  return 1;
}

// The bits of [first, end) that fall in word `word`, in the word's order.
uint64_t bitFieldRunMask(int32_t word, int32_t first, int32_t end) {
  int32_t lo = word * 64 > first ? 0 : first - word * 64;
  int32_t hi = (word + 1) * 64 < end ? 64 : end - word * 64;
  return hi - lo == 64 ? ~uint64_t(0) : ((uint64_t(1) << (hi - lo)) - 1) << (64 - hi);
}

// Sets (value 1) or clears the run [first, first + count), counting the bits
// that change.
void bitFieldWriteRun(BitField *f, int32_t first, int32_t count, int value) {
  int32_t end = first + count;
  int32_t changed = 0;
  for (int32_t word = first / 64; word * 64 < end; word++) {
    uint64_t mask = bitFieldRunMask(word, first, end);
    uint8_t *p = f->bytes + word * 8;
    uint64_t w = bitFieldLoad(p);
    uint64_t next = value ? (w | mask) : (w & ~mask);
    changed += std::popcount(w ^ next);
    bitFieldStore(p, next);
  }
  f->setCount += value ? changed : -changed;
}

// 1 when every bit of [first, first + count) equals value.
int bitFieldRunIs(const BitField *f, int32_t first, int32_t count, int value) {
  int32_t end = first + count;
  for (int32_t word = first / 64; word * 64 < end; word++) {
    uint64_t mask = bitFieldRunMask(word, first, end);
    uint64_t w = bitFieldLoad(f->bytes + word * 8);
    if ((value ? ~w : w) & mask) return 0;
  }
  return 1;
}

// The first clear bit at or after from, or -1.
int32_t bitFieldNextClear(const BitField *f, int32_t from) {
  if (from >= f->size) return -1;
  int32_t word = from / 64;
  // Bits before from count as set, so the scan skips them.
  uint64_t w = bitFieldLoad(f->bytes + word * 8) | ~(~uint64_t(0) >> (from % 64));
  for (;;) {
    if (w != ~uint64_t(0)) {
      int32_t index = word * 64 + std::countl_one(w);
      return index < f->size ? index : -1;
    }
    if (++word >= f->wordCount) return -1;
    w = bitFieldLoad(f->bytes + word * 8);
  }
}

// The first set bit at or after from, or size when there is none.
int32_t bitFieldNextSet(const BitField *f, int32_t from) {
  if (from >= f->size) return f->size;
  int32_t word = from / 64;
  uint64_t w = bitFieldLoad(f->bytes + word * 8) & (~uint64_t(0) >> (from % 64));
  for (;;) {
    if (w != 0) {
      int32_t index = word * 64 + std::countl_zero(w);
      return index < f->size ? index : f->size;
    }
    if (++word >= f->wordCount) return f->size;
    w = bitFieldLoad(f->bytes + word * 8);
  }
}

// dst := dst OR src (keep 1) or dst AND NOT src (keep 0), a word at a time.
void bitFieldMerge(BitField *dst, const BitField *src, bool keep, const char *what) {
  if (dst->size != src->size)
    Core_Abort(KSRC, "Bit mismatch on %s (%d != %d)\n", what, dst->size, src->size);
  for (int32_t i = 0; i < dst->wordCount; i++) {
    uint64_t d = bitFieldLoad(dst->bytes + i * 8), w = bitFieldLoad(src->bytes + i * 8);
    bitFieldStore(dst->bytes + i * 8, keep ? d | w : d & ~w);
  }
  bitFieldFinishWords(dst);
}

}  // namespace

int BitField_Create(BitField **field) {
  CHECK_POINTER(field);
  auto *f = new (MEM_ALLOC(sizeof(BitField), MEM_ZEROED)) BitField();
  f->header.classTag = kBitFieldTag;
  f->header.refCount.store(1, std::memory_order_relaxed);
  f->header.destroy = bitFieldDestroy;
  *field = f;
  return 1;
}

int BitField_Release(BitField **field) {
  CHECK_POINTER(field);
  BITFIELD_CHECK(*field);
  Class_ReleaseObject(field);
  return 1;
}

int BitField_Resize(BitField *f, int32_t bits) {
  BITFIELD_CHECK(f);
  if (bits < 0) return 0;
  if (bits == f->size) return 1;
  bitFieldFreeBytes(f);
  if (bits == 0) return 1;
  f->size = bits;
  f->byteCount = int32_t((int64_t(bits) + 7) / 8);
  f->wordCount = int32_t((int64_t(bits) + 63) / 64);
  f->bytes = static_cast<uint8_t *>(MEM_ALLOC(int64_t(f->wordCount) * 8, MEM_ZEROED));
  return 1;
}

int BitField_Copy(BitField *dst, const BitField *src) {
  BITFIELD_CHECK(dst);
  BITFIELD_CHECK(src);
  if (dst == src) return 1;
  BitField_Resize(dst, src->size);
  if (src->wordCount > 0) memcpy(dst->bytes, src->bytes, size_t(src->wordCount) * 8);
  dst->setCount = src->setCount;
  return 1;
}

int BitField_Set(BitField *f, int32_t index) {
  BITFIELD_CHECK(f);
  bitFieldCheckIndex(f, index, KSRC);
  uint8_t mask = uint8_t(0x80 >> (index & 7));
  if (!(f->bytes[index >> 3] & mask)) {
    f->bytes[index >> 3] |= mask;
    f->setCount++;
  }
  return 1;
}

int BitField_Clear(BitField *f, int32_t index) {
  BITFIELD_CHECK(f);
  bitFieldCheckIndex(f, index, KSRC);
  uint8_t mask = uint8_t(0x80 >> (index & 7));
  if (f->bytes[index >> 3] & mask) {
    f->bytes[index >> 3] &= uint8_t(~mask);
    f->setCount--;
  }
  return 1;
}

int BitField_IsSet(const BitField *f, int32_t index) {
  BITFIELD_CHECK(f);
  bitFieldCheckIndex(f, index, KSRC);
  return (f->bytes[index >> 3] & (0x80 >> (index & 7))) != 0;
}

int BitField_IsClear(const BitField *f, int32_t index) { return !BitField_IsSet(f, index); }

int BitField_SetRange(BitField *f, int32_t first, int32_t count) {
  BITFIELD_CHECK(f);
  if (bitFieldClip(f, first, &count, KSRC)) bitFieldWriteRun(f, first, count, 1);
  return 1;
}

int BitField_ClearRange(BitField *f, int32_t first, int32_t count) {
  BITFIELD_CHECK(f);
  if (bitFieldClip(f, first, &count, KSRC)) bitFieldWriteRun(f, first, count, 0);
  return 1;
}

int BitField_IsRangeSet(const BitField *f, int32_t first, int32_t count) {
  BITFIELD_CHECK(f);
  if (!bitFieldClip(f, first, &count, KSRC)) return 1;
  return bitFieldRunIs(f, first, count, 1);
}

int BitField_IsRangeClear(const BitField *f, int32_t first, int32_t count) {
  BITFIELD_CHECK(f);
  if (!bitFieldClip(f, first, &count, KSRC)) return 1;
  return bitFieldRunIs(f, first, count, 0);
}

int BitField_SetAll(BitField *f) {
  BITFIELD_CHECK(f);
  if (f->size <= 0) return 1;
  memset(f->bytes, 0xFF, size_t(f->wordCount) * 8);
  bitFieldFinishWords(f);
  return 1;
}

int BitField_ClearAll(BitField *f) {
  BITFIELD_CHECK(f);
  if (f->size <= 0) return 1;
  memset(f->bytes, 0, size_t(f->wordCount) * 8);
  f->setCount = 0;
  return 1;
}

int BitField_Invert(BitField *f) {
  BITFIELD_CHECK(f);
  for (int32_t i = 0; i < f->wordCount; i++)
    bitFieldStore(f->bytes + i * 8, ~bitFieldLoad(f->bytes + i * 8));
  bitFieldFinishWords(f);
  return 1;
}

int BitField_Combine(BitField *dst, const BitField *src) {
  BITFIELD_CHECK(dst);
  BITFIELD_CHECK(src);
  bitFieldMerge(dst, src, true, "combine");
  return 1;
}

int BitField_Except(BitField *dst, const BitField *src) {
  BITFIELD_CHECK(dst);
  BITFIELD_CHECK(src);
  bitFieldMerge(dst, src, false, "except");
  return 1;
}

int BitField_Read(BitField *f, const void *bytes, int32_t length) {
  BITFIELD_CHECK(f);
  if (length != f->byteCount) return 0;
  if (length == 0) return 1;
  CHECK_POINTER(bytes);
  memcpy(f->bytes, bytes, size_t(length));
  bitFieldFinishWords(f);
  return 1;
}

int BitField_Decode(BitField *f, const char *text, int32_t length) {
  BITFIELD_CHECK(f);
  CHECK_POINTER(text);
  if (length < 0) return 0;
  int64_t room = 0;
  Base64_DecodedSize(length, &room);
  auto *buffer = static_cast<uint8_t *>(MEM_ALLOC(room, 0));
  // Base64_Decode reads a NUL-terminated text; the caller's may not be.
  auto *copy = static_cast<char *>(MEM_ALLOC(int64_t(length) + 1, 0));
  memcpy(copy, text, size_t(length));
  copy[length] = '\0';
  int64_t decoded = 0;
  int result = 0;
  if (!Base64_Decode(copy, buffer, room, &decoded)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Error: Unable to decode bitfield (%d / %d)\n", int(room),
              int(decoded));
  } else if (decoded != f->byteCount || !BitField_Read(f, buffer, int32_t(decoded))) {
    Log_Print(LOG_ERROR, KSRC, 0, "Error: Unable to read bitfield\n");
  } else {
    result = 1;
  }
  MEM_FREE(copy, int64_t(length) + 1);
  MEM_FREE(buffer, room);
  return result;
}

int BitField_Encode(const BitField *f, char *out, int64_t outSize) {
  BITFIELD_CHECK(f);
  CHECK_POINTER(out);
  int64_t written = 0;
  if (f->byteCount == 0) {
    if (outSize < 1) return 0;
    out[0] = '\0';
    return 1;
  }
  return Base64_Encode(f->bytes, f->byteCount, out, outSize, &written);
}

int BitField_FindFirstClear(const BitField *f, int32_t *index) {
  BITFIELD_CHECK(f);
  CHECK_POINTER(index);
  *index = -1;
  if (f->size <= 0 || f->setCount == f->size) return 0;
  *index = bitFieldNextClear(f, 0);
  return *index >= 0;
}

int BitField_FindClearRun(const BitField *f, int32_t from, int32_t count, int32_t *index) {
  BITFIELD_CHECK(f);
  CHECK_POINTER(index);
  *index = -1;
  if (count < 1 || from < 0) return 0;
  for (int32_t start = bitFieldNextClear(f, from); start >= 0 && start <= f->size - count;
       start = bitFieldNextClear(f, start)) {
    int32_t set = bitFieldNextSet(f, start);
    if (set - start >= count) {
      *index = start;
      return 1;
    }
    start = set;
  }
  return 0;
}

int BitField_GetSetCount(const BitField *f, int32_t *count) {
  BITFIELD_CHECK(f);
  CHECK_POINTER(count);
  *count = f->setCount;
  return 1;
}

int BitField_GetSize(const BitField *f, int32_t *size) {
  BITFIELD_CHECK(f);
  CHECK_POINTER(size);
  *size = f->size;
  return 1;
}
