// MachOFile: readers for the macOS side of a product. So far the disk-image
// ("koly" trailer) reader, which locates the code-signature range where the
// publisher's data store lives. Trailer fields are big-endian.
//
// Invariants: (1) the trailer is the file's last kDMGTrailerBytes bytes; a
// shorter file is no disk image. (2) a range is reported only when it lies
// within the file.
//
// Threads: nothing is shared; each call uses its own stream position.
#pragma once

#include <cstdint>

#include "core/runtime/stream.h"

constexpr int32_t kDMGTrailerBytes = 512;

// 1 when the stream's last 512 bytes begin with "koly".
int DMGFile_IsDMG(Stream *stream);
// The trailer's code-signature range (offset at 296, length at 304, both
// big-endian 64-bit; the length is used as 32-bit). 0 when the stream is no
// disk image, the length does not fit 32 bits or the range passes the end.
int DMGFile_GetSignatureRange(Stream *stream, uint64_t *offset, uint32_t *length);
