// CRC-32 record: zlib's crc32 behind the HashInterface; see hash.h.
#include <zlib.h>

#include "core/security/hash_algorithms.h"

namespace {

struct CrcAlgorithm {
  using Context = CrcContext;
  static constexpr uint32_t kTag = kCrcContextTag;
  static constexpr const char *kAssertName = "CRC";

  static void reset(Context *c) {
    c->crc = 0;
    c->digestReady = 0;
  }
  static void update(Context *c, const uint8_t *data, size_t length) {
    // zlib takes a 32-bit length; crc32_z exists only from 1.2.9 on, so feed
    // large buffers in slices.
    constexpr size_t kSliceBytes = size_t(1) << 30;
    uLong crc = c->crc;
    while (length != 0) {
      size_t n = length < kSliceBytes ? length : kSliceBytes;
      crc = crc32(crc, data, uInt(n));
      data += n;
      length -= n;
    }
    c->crc = uint32_t(crc);
  }
  // Most significant byte first, so the hex text reads as the number does.
  static void finish(Context *c) { hashStore32be(c->digest, c->crc); }
  static int32_t digestLength(const Context *) { return 4; }
};

}  // namespace

extern const HashInterface kHashCrc = HashRecordOps<CrcAlgorithm>::record("CRC", 4, 4);
