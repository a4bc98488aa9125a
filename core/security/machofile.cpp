// MachOFile: see machofile.h.
#include "core/security/machofile.h"

#include <cstring>

#include "core/runtime/core.h"
#include "core/security/execfile.h"

namespace {

constexpr int32_t kDMGSignatureOffsetAt = 296;
constexpr int32_t kDMGSignatureLengthAt = 304;

int dmgReadTrailer(Stream *stream, uint8_t *trailer, int64_t *fileSize) {
  *fileSize = ExecutableFile_Size(stream);
  if (*fileSize < kDMGTrailerBytes) return 0;
  if (!ExecutableFile_ReadAt(stream, *fileSize - kDMGTrailerBytes, trailer, kDMGTrailerBytes))
    return 0;
  return memcmp(trailer, "koly", 4) == 0;
}

}  // namespace

int DMGFile_IsDMG(Stream *stream) {
  CHECK_POINTER(stream);
  uint8_t trailer[kDMGTrailerBytes];
  int64_t fileSize = 0;
  return dmgReadTrailer(stream, trailer, &fileSize);
}

int DMGFile_GetSignatureRange(Stream *stream, uint64_t *offset, uint32_t *length) {
  CHECK_POINTER(stream);
  CHECK_POINTER(offset);
  CHECK_POINTER(length);
  *offset = 0;
  *length = 0;
  uint8_t trailer[kDMGTrailerBytes];
  int64_t fileSize = 0;
  if (!dmgReadTrailer(stream, trailer, &fileSize)) return 0;
  uint64_t start = ExecutableFile_Load64(trailer + kDMGSignatureOffsetAt, true);
  uint64_t size = ExecutableFile_Load64(trailer + kDMGSignatureLengthAt, true);
  if (size > UINT32_MAX || start > uint64_t(fileSize) || size > uint64_t(fileSize) - start)
    return 0;
  *offset = start;
  *length = uint32_t(size);
  return 1;
}
