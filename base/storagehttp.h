// StorageHTTP: the storage driver of kind "http", whose data are the
// installed files themselves under a base URL. This header starts with the
// one routine that the request builder, the storage copy and the file driver
// share with it: the piece index of a content offset.
//
// Threads: the routine is pure and may run on any thread.
#pragma once

#include <cstdint>

#include "core/runtime/core.h"

// *index = offset / pieceSize (64-bit, truncating); 0 when pieceSize is
// below 1. Returns 1.
inline int StorageHTTP_PieceIndexOfOffset(int64_t pieceSize, int64_t *index, int64_t offset) {
  CHECK_POINTER(index);
  *index = pieceSize < 1 ? 0 : offset / pieceSize;
  return 1;
}
