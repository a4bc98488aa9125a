// BitField: the engine's bit array, one bit per piece (or per block of a
// block pool), with the number of set bits kept current, set algebra between
// fields of equal size and a base64 text form ("mask") for configurations.
//
// Bit i lives in byte i / 8 under the mask 0x80 >> (i % 8): the most
// significant bit of byte 0 is bit 0. The text form is the base64 of exactly
// (size + 7) / 8 such bytes.
//
// Invariants: (1) setCount is the number of set bits among the first size
// bits. (2) the bits of the last byte beyond size are 0. (3) bytes holds
// byteCount = (size + 7) / 8 bytes, rounded up inside to whole 64-bit words
// whose bytes past byteCount are 0 too, so word loops need no tail case.
//
// Threads: none inside. A field belongs to one thread at a time, or to its
// owner's lock (the block pool's fields live under the offset cache's lock).
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

constexpr uint32_t kBitFieldTag = 0x4b2d9e61;

struct BitField {
  ObjectHeader header;  // kBitFieldTag
  uint8_t *bytes;       // NULL while size is 0
  int32_t byteCount;    // (size + 7) / 8
  int32_t size;         // bits
  int32_t setCount;
  int32_t wordCount;    // 64-bit words allocated: ceil(byteCount / 8)
};

// An empty field (size 0). Returns 1.
int BitField_Create(BitField **field);
// Drops one reference (the field's bytes go with the last) and clears the
// caller's pointer. Returns 1.
int BitField_Release(BitField **field);

// bits below 0: 0. The same size: nothing changes. Otherwise every bit is
// clear afterwards, at the new size. Returns 1.
int BitField_Resize(BitField *field, int32_t bits);
// dst takes src's size, bits and count. Returns 1.
int BitField_Copy(BitField *dst, const BitField *src);

// One bit; an index outside 0 .. size - 1 stops the program with
// "Bit outside boundary %d >= %d\n". Return 1.
int BitField_Set(BitField *field, int32_t index);
int BitField_Clear(BitField *field, int32_t index);
int BitField_IsSet(const BitField *field, int32_t index);
int BitField_IsClear(const BitField *field, int32_t index);

// A run of bits; count is clipped to size - first and nothing happens below
// 1. first must be a bit of the field unless the clipped count is below 1.
int BitField_SetRange(BitField *field, int32_t first, int32_t count);
int BitField_ClearRange(BitField *field, int32_t first, int32_t count);
// 1 when every bit of the clipped range is set, also for an empty range.
int BitField_IsRangeSet(const BitField *field, int32_t first, int32_t count);
// 1 when every bit of the clipped range is clear, also for an empty range.
int BitField_IsRangeClear(const BitField *field, int32_t first, int32_t count);

int BitField_SetAll(BitField *field);
int BitField_ClearAll(BitField *field);
int BitField_Invert(BitField *field);
// dst |= src and dst &= ~src; the sizes must be equal ("Bit mismatch on
// combine (%d != %d)\n", "... on except ..." otherwise, fatal).
int BitField_Combine(BitField *dst, const BitField *src);
int BitField_Except(BitField *dst, const BitField *src);

// Takes exactly byteCount bytes (anything else: 0, the field unchanged);
// the trailing bits are cleared.
int BitField_Read(BitField *field, const void *bytes, int32_t length);
// The base64 text form into a field sized first; 0 with an error line when
// the text does not decode to exactly byteCount bytes, the field unchanged.
int BitField_Decode(BitField *field, const char *text, int32_t length);
// The text form into out (outSize bytes, NUL-terminated); 0 when it does not
// fit. Base64_EncodedSize gives the room needed.
int BitField_Encode(const BitField *field, char *out, int64_t outSize);

// *index = -1, then the smallest clear bit: 1, or 0 when there is none.
int BitField_FindFirstClear(const BitField *field, int32_t *index);
// The first run of count clear bits at or after from: 1 with its first bit,
// 0 (and -1) when there is none. count at least 1.
int BitField_FindClearRun(const BitField *field, int32_t from, int32_t count, int32_t *index);

int BitField_GetSetCount(const BitField *field, int32_t *count);
int BitField_GetSize(const BitField *field, int32_t *size);
