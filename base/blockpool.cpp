// Block pools; see blockpool.h.
#include "base/blockpool.h"

#include <new>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

#define BLOCKPOOL_CHECK(p) CLASS_CHECK((p), kBlockPoolTag)

int32_t blockPoolBlocksFor(const BlockPool *p, int64_t length) {
  return int32_t((length + p->blockSize - 1) / p->blockSize);
}

void blockPoolFreeArea(BlockPool *p) {
  if (p->area != nullptr) MEM_FREE(p->area, p->areaBytes);
  p->area = p->base = nullptr;
  p->areaBytes = 0;
}

void blockPoolDestroy(void **object) {
  auto *p = static_cast<BlockPool *>(*object);
  int32_t used = 0;
  BitField_GetSetCount(p->blocks, &used);
  if (used != 0)
    Log_Print(LOG_DEBUG, KSRC, 0, "Not all block pool memory was freed (%d) for (%s/%d)\n", used,
              p->sourcePath, p->line);
  blockPoolFreeArea(p);
  BitField_Release(&p->blocks);
  p->header.classTag = 0;
  MEM_FREE(p, sizeof(BlockPool));
}

}  // namespace

int BlockPool_Create(BlockPool **pool, const char *sourcePath, int line) {
  CHECK_POINTER(pool);
  auto *p = new (MEM_ALLOC(sizeof(BlockPool), MEM_ZEROED)) BlockPool();
  p->header.classTag = kBlockPoolTag;
  p->header.refCount.store(1, std::memory_order_relaxed);
  p->header.destroy = blockPoolDestroy;
  p->sourcePath = sourcePath;
  p->line = line;
  p->blockSize = kBlockPoolBlockSize;
  BitField_Create(&p->blocks);
  *pool = p;
  return 1;
}

int BlockPool_Alloc(BlockPool *p, int32_t length, void **pointer) {
  BLOCKPOOL_CHECK(p);
  CHECK_POINTER(pointer);
  *pointer = nullptr;
  if (length < 1 || p->area == nullptr) return 0;
  int32_t count = blockPoolBlocksFor(p, length), first = -1;
  if (!BitField_FindClearRun(p->blocks, 0, count, &first)) return 0;
  BitField_SetRange(p->blocks, first, count);
  *pointer = p->base + int64_t(first) * p->blockSize;
  return 1;
}

int BlockPool_Free(BlockPool *p, int32_t length, void **pointer) {
  BLOCKPOOL_CHECK(p);
  CHECK_POINTER(pointer);
  CHECK_POINTER(*pointer);
  auto *at = static_cast<uint8_t *>(*pointer);
  int64_t offset = at - p->base;
  int32_t count = blockPoolBlocksFor(p, length), size = 0;
  BitField_GetSize(p->blocks, &size);
  int32_t first = int32_t(offset / p->blockSize);
  if (p->base == nullptr || offset < 0 || offset % p->blockSize != 0 || length < 1 ||
      first >= size || count > size - first || !BitField_IsRangeSet(p->blocks, first, count))
    Core_Abort(KSRC,
               "Assertion failed (BitField_IsRangeSet(BlockPool->BitFieldHandle, BlockStart, "
               "BlockCount))\nAttempt to free unallocated memory\n");
  BitField_ClearRange(p->blocks, first, count);
  *pointer = nullptr;
  return 1;
}

int BlockPool_SetSize(BlockPool *p, int32_t bytes) {
  BLOCKPOOL_CHECK(p);
  if (bytes == p->size) return 1;
  int32_t used = 0;
  BitField_GetSetCount(p->blocks, &used);
  if (used != 0 || bytes < 0) return 0;
  blockPoolFreeArea(p);
  int32_t blocks = bytes > 0 ? blockPoolBlocksFor(p, bytes) : 0;
  BitField_Resize(p->blocks, blocks);
  p->size = bytes;
  if (blocks == 0) return 1;
  p->areaBytes = (int64_t(blocks) + 2) * p->blockSize;
  p->area = static_cast<uint8_t *>(MEM_ALLOC(p->areaBytes, 0));
  auto address = reinterpret_cast<uintptr_t>(p->area);
  uintptr_t aligned = (address + p->blockSize - 1) & ~uintptr_t(p->blockSize - 1);
  p->base = p->area + (aligned - address);
  return 1;
}

int BlockPool_GetUsedBlocks(BlockPool *p, int32_t *blocks) {
  BLOCKPOOL_CHECK(p);
  return BitField_GetSetCount(p->blocks, blocks);
}
