// BlockPool: one fixed memory area cut into 4,096-byte blocks, handed out as
// runs of whole blocks (first fit) and tracked in a bit field, one bit per
// block (set = in use). The offset cache keeps its ranges here, so a change
// of cache size costs one allocation and a stored range none.
//
// Invariants: (1) the area is (blocks + 2) x blockSize bytes from the tracked
// allocator; base is its first blockSize boundary, so every run starts on a
// block boundary and the last block ends inside the area. (2) a bit is set
// exactly while its block belongs to an allocated run. (3) size, the blocks
// and the area change only while no block is in use.
//
// Threads: none inside; the owner's lock covers every call.
#pragma once

#include <cstdint>

#include "base/bitfield.h"
#include "core/runtime/class.h"

constexpr uint32_t kBlockPoolTag = 0x2f6c81a3;
constexpr int32_t kBlockPoolBlockSize = 4096;

struct BlockPool {
  ObjectHeader header;    // kBlockPoolTag
  const char *sourcePath;  // the creator, for the leak line
  int32_t line;
  int32_t blockSize;  // kBlockPoolBlockSize
  int32_t size;       // bytes asked for by BlockPool_SetSize
  BitField *blocks;   // one bit per block
  uint8_t *area;      // NULL while size is 0
  int64_t areaBytes;
  uint8_t *base;      // the first block
};

// An empty pool (size 0) that remembers its creator. Returns 1.
int BlockPool_Create(BlockPool **pool, const char *sourcePath, int line);
#define BLOCKPOOL_CREATE(pool) BlockPool_Create((pool), KSRC)

// The first run of ceil(length / blockSize) free blocks: 1 with its address,
// 0 with NULL when there is none (or length is below 1).
int BlockPool_Alloc(BlockPool *pool, int32_t length, void **pointer);
// Gives back the run of ceil(length / blockSize) blocks at *pointer and
// clears *pointer. Every block of it must be in use, else the program stops
// ("Attempt to free unallocated memory"). Returns 1.
int BlockPool_Free(BlockPool *pool, int32_t length, void **pointer);
// The same size: 1. Any block in use: 0, nothing changes. Otherwise the old
// area goes and, for bytes of 1 or more, a new one of ceil(bytes /
// blockSize) blocks comes. Returns 1.
int BlockPool_SetSize(BlockPool *pool, int32_t bytes);
// Blocks in use. Returns 1.
int BlockPool_GetUsedBlocks(BlockPool *pool, int32_t *blocks);
