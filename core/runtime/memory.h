// Memory: the tracked allocator through which all of the program's own memory
// is taken and given back.
//
// Every block carries eight guard bytes on each side whose values depend on
// the block's address; the caller passes the size again when freeing; running
// out of memory stops the program instead of returning NULL. With tracking on
// (the memorytracking option) every live block is listed with the source
// position that made it, so corrupt guards, mismatched frees and leaks name
// their origin.
//
// Block layout, from the address malloc returns (16-byte aligned):
//   [hidden word 8][leading guard 8][data: size][padding 0-7][trailing guard 8][record]
// "total" = size + 16 rounded up to 8 covers the guards, data and padding; the
// tracking record (source path, line, flags, size, block, next, prev) follows
// only while tracking is on. Guard byte i of both guards is
// ((leading-guard address >> i) XOR 0xCC) AND 0xFF. The hidden word says how
// the block was counted (not counted, counted, or its tracking record), in
// which Init/Shutdown cycle, and the block's real total, so a free neither
// trusts the caller's size to find the record nor reads past the block. A
// free spoils the leading guard, so a second free of a block that the heap
// has not handed out again is reported.
//
// Invariants: (1) the live count and bytes equal the counted blocks not yet
// freed. (2) the tracking list holds exactly the tracked live blocks, newest
// first. (3) a block allocated before Mem_Init or in an earlier Init/Shutdown
// cycle is freed with guard checks only; counters and list stay untouched.
//
// Threads: any thread. With tracking, the list, counts, address bounds and
// peaks change under the memory lock. Without it, each thread adds into its
// own atomic counters and readers sum them, so no two threads share a counter
// line. Lock order: memory lock before log lock (reports log while holding
// the memory lock).
#pragma once

#include <cstdint>

#include "core/runtime/core.h"

constexpr uint32_t MEM_ZEROED = 2;  // the only flag the allocator acts on

// Returns size bytes, 16-byte aligned, zero-filled with MEM_ZEROED. Never
// returns NULL: a size below 1 or above 2^55 (more than any heap can give; the
// block's length must fit its hidden word), or an exhausted heap stops the
// program at the caller's position.
void *Mem_Alloc(int64_t size, uint32_t flags, const char *sourcePath, int line);

// Frees a block; size must be the size given to Mem_Alloc. Returns 0. Stops
// the program on a NULL pointer, an invalid size, a damaged guard (a wrong
// size puts the trailing guard elsewhere; nothing past the block is read), a
// block freed twice, or (with tracking) a record that does not match.
int Mem_Free(void *pointer, int64_t size, const char *sourcePath, int line);

// The size bytes at pointer (part of a block) are about to be written in
// full: where the system can, it backs their aligned interior with large
// pages, which takes one page fault where small pages take hundreds, and
// makes the whole range present in one call. Changes neither the contents
// nor the accounting; a no-op for ranges under 256 KiB.
void Mem_AdviseBulk(void *pointer, int64_t size);

#define MEM_ALLOC(size, flags) Mem_Alloc((size), (flags), KSRC)
#define MEM_FREE(pointer, size) Mem_Free((pointer), (size), KSRC)

// Checks both guards of a block (its leading-guard address and caller size).
// Returns 1 when intact; otherwise logs the damage and returns 0, or stops the
// program when fatal is 1. Stops on a size below 1 and, with tracking, on an
// address outside the tracked range.
int Mem_CheckBlock(int fatal, const void *block, int64_t size, const char *sourcePath, int line);

// Checks every tracked block and the list; stops the program on damage.
// Returns 1, or 0 when tracking is off.
int Mem_CheckAll(void);

// Logs one DEBUG line per live tracked block.
void Mem_DumpTracked(void);

// 1 when tracking is off or address lies between the lowest tracked block and
// the highest tracking record seen.
int Mem_IsPlausible(const void *address);

// Sets up the memory record; a second call without Mem_Shutdown stops the
// program.
void Mem_Init(int trackingOn);
// Reports peaks and leaks and clears the memory record; live blocks stay.
void Mem_Shutdown(void);
// Enter and leave the memory lock; 0 when there is no record or lock.
int Mem_Lock(void);
int Mem_Unlock(void);

// The live count and bytes in use (sum of totals) of this Init/Shutdown
// cycle; 0 when there is no record. Exact once the threads that allocate and
// free are quiet.
void Mem_GetUsage(int64_t *liveCount, int64_t *liveBytes);
