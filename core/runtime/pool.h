// Pool: hands out many small blocks of one size from large chunks of tracked
// memory (fixed mode), or carves variable-sized pieces out of chunks that are
// all given back at once (string mode).
//
// Invariants: (1) in fixed mode every member slot of every chunk has exactly
// one descriptor, which is either on the free list or on the in-use list
// chosen by its member's address (poolListIndex); never on both. (2) members
// in use counts the members handed out and not yet freed (in string mode the
// pieces since the last reset); it falls only when a member is really freed.
// (3) bytes held is the sum of the sizes of the chunks on the chunk list.
// (4) a chunk is one Mem_Alloc block: head, then in fixed mode one descriptor
// per member, then the member slots (slot size each, a multiple of 8), ending
// exactly at the block's end.
//
// Threads: one thread at a time, the caller serialises, unless
// Pool_EnableLocking was called; then Pool_Alloc, Pool_Free, Pool_Reset,
// Pool_FreeChunks and Pool_SetMemberSize take the pool's lock and any thread
// may call them.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/critsection.h"

constexpr uint32_t kPoolTag = 0x90654776;
constexpr int kPoolInUseLists = 256;
// A string pool that has no member left in use gives its chunks back once
// they hold more than this.
constexpr int64_t kPoolStringResetBytes = 10240;

// One per member slot of a fixed-mode chunk.
struct PoolMemberDescriptor {
  void *member;            // the slot this descriptor stands for
  const char *sourcePath;  // where the member was last allocated
  int32_t line;
  PoolMemberDescriptor *next;  // next on the free list or on an in-use list
};

// The head of every chunk; descriptors (fixed mode) and the data follow it.
struct PoolChunk {
  uint8_t *data;    // first member slot, or the string-mode data area
  uint8_t *cursor;  // string mode: next free byte; fixed mode: end of data
  int64_t size;     // bytes of the whole block, head included
  int32_t count;    // member slots (fixed mode) or 1 (string mode)
  PoolChunk *next;
};

// With locking on, every field after lockInUse is guarded by lock.
struct Pool {
  ObjectHeader header;
  CriticalSection *lock;  // NULL until Pool_EnableLocking
  int32_t stringMode;
  int32_t passThrough;  // members come straight from Mem_Alloc; owners set it
  int32_t zeroFill;     // 1 at creation
  int32_t report;       // a DEBUG line per alloc and free; owners set it
  int32_t lockInUse;
  const char *creatorPath;
  int32_t creatorLine;
  int32_t memberSize;
  int32_t slotSize;         // memberSize rounded up to 8
  int32_t membersPerChunk;  // the growth step
  int64_t bytesHeld;
  int32_t inUse;
  int32_t peakInUse;
  PoolMemberDescriptor *inUseLists[kPoolInUseLists];
  PoolMemberDescriptor *freeList;
  PoolChunk *chunks;  // newest first
};

// Creates an empty pool (fixed mode, zero-fill on, no member size, no growth
// step) and remembers the creator's position for the leak report. Returns 1;
// stops the program on a NULL out-pointer.
int Pool_Create(Pool **pool, const char *sourcePath, int line);

// Drops the caller's reference; the last one logs "Not all pool memory was
// freed" when members are still out, gives all chunks back, deletes the lock
// and frees the pool. Clears *pool and returns 1. Stops the program on a NULL
// handle or pool.
int Pool_Release(Pool **pool);

// Sets the member size; when the slot size changes, all chunks are given back
// first (members still out become invalid).
void Pool_SetMemberSize(Pool *pool, int32_t size);
// Sets the number of members per chunk (the growth step). A chunk always has
// room for at least one member, so a step below 1 makes chunks of one.
void Pool_SetMemberChunkSize(Pool *pool, int32_t count);
// Switches to string mode. Stops the program unless the growth step is 1.
void Pool_SetStringMode(Pool *pool);
// Creates the pool's lock (once) and makes every later operation take it.
void Pool_EnableLocking(Pool *pool);

// Returns a member. Fixed mode: size must equal the member size, else the
// program stops with "Invalid pool member size"; with zero-fill the member is
// cleared. String mode: any size from 0; with zero-fill only the first byte is
// cleared. Pass-through: a Mem_Alloc block of size bytes. Never returns NULL.
void *Pool_Alloc(Pool *pool, int32_t size, const char *sourcePath, int line);

// Gives a member back and clears *member. Returns 0. A NULL *member changes
// nothing. Fixed mode stops the program on a wrong size ("Invalid pool member
// size") or a member that is not in use: a double free or a pointer the pool
// never handed out ("Unable to find member to free"). String mode frees
// nothing per member; when none is left in use and the chunks hold more than
// kPoolStringResetBytes, all chunks are given back.
int Pool_Free(Pool *pool, void **member, int32_t size, const char *sourcePath, int line);

// Every member becomes free again. Fixed mode keeps the chunks; string mode
// gives them back. In-use and peak counts become 0.
void Pool_Reset(Pool *pool);

// Gives every chunk back to the allocator; counts and lists become empty.
void Pool_FreeChunks(Pool *pool);

#define POOL_ALLOC(pool, size) Pool_Alloc((pool), (size), KSRC)
#define POOL_FREE(pool, member, size) Pool_Free((pool), (member), (size), KSRC)
