// Pools; see pool.h.
#include "core/runtime/pool.h"

#include <cstring>
#include <new>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

// String-mode pieces carry this much slack behind the requested size.
constexpr int64_t kPoolStringSlackBytes = 4;
// The largest size a member may ask for: chunk sizes are computed in 64 bits,
// but members are measured in 32.
constexpr int64_t kPoolMaxMemberBytes = INT32_MAX - 64;

// Takes the pool's lock for one operation when locking is on.
class PoolLockGuard {
 public:
  explicit PoolLockGuard(Pool *pool) : lock_(pool->lockInUse ? pool->lock : nullptr) {
    if (lock_) CriticalSection_Enter(lock_);
  }
  ~PoolLockGuard() {
    if (lock_) CriticalSection_Leave(lock_);
  }
  PoolLockGuard(const PoolLockGuard &) = delete;
  PoolLockGuard &operator=(const PoolLockGuard &) = delete;

 private:
  CriticalSection *lock_;
};

// Address bits 3 to 10: slots are 8-byte multiples, so neighbouring members
// land on different lists.
inline int poolListIndex(const void *member) {
  return int((reinterpret_cast<uintptr_t>(member) >> 3) & (kPoolInUseLists - 1));
}

inline int64_t poolRoundUp(int64_t value, int64_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

inline uint8_t *poolChunkEnd(PoolChunk *chunk) {
  return reinterpret_cast<uint8_t *>(chunk) + chunk->size;
}

inline PoolMemberDescriptor *poolDescriptors(PoolChunk *chunk) {
  return reinterpret_cast<PoolMemberDescriptor *>(chunk + 1);
}

// Links the descriptors of one fixed-mode chunk in address order in front of
// the free list.
void poolFreeChunkMembers(Pool *pool, PoolChunk *chunk) {
  PoolMemberDescriptor *descriptors = poolDescriptors(chunk);
  int64_t slot = (chunk->cursor - chunk->data) / chunk->count;
  for (int32_t i = 0; i < chunk->count; i++) {
    descriptors[i].member = chunk->data + i * slot;
    descriptors[i].sourcePath = nullptr;
    descriptors[i].line = 0;
    descriptors[i].next = i + 1 < chunk->count ? &descriptors[i + 1] : pool->freeList;
  }
  pool->freeList = &descriptors[0];
}

void poolAddChunk(Pool *pool, PoolChunk *chunk) {
  chunk->next = pool->chunks;
  pool->chunks = chunk;
  pool->bytesHeld += chunk->size;
}

void poolNewFixedChunk(Pool *pool, const char *sourcePath, int line) {
  int32_t count = pool->membersPerChunk < 1 ? 1 : pool->membersPerChunk;
  int64_t size = int64_t(count) * int64_t(sizeof(PoolMemberDescriptor)) +
                 int64_t(sizeof(PoolChunk)) + int64_t(count) * pool->slotSize;
  auto *chunk = static_cast<PoolChunk *>(Mem_Alloc(size, 1, sourcePath, line));
  chunk->size = size;
  chunk->count = count;
  chunk->data = reinterpret_cast<uint8_t *>(poolDescriptors(chunk) + count);
  chunk->cursor = chunk->data + int64_t(count) * pool->slotSize;
  if (chunk->cursor != poolChunkEnd(chunk))
    Core_Abort(KSRC, "Pool corrupted (%d != %d) [0x%p 0x%p]\n",
               int(chunk->cursor - reinterpret_cast<uint8_t *>(chunk)), int(size), chunk->cursor,
               poolChunkEnd(chunk));
  poolAddChunk(pool, chunk);
  poolFreeChunkMembers(pool, chunk);
}

// A string-mode chunk with room for at least need bytes.
PoolChunk *poolNewStringChunk(Pool *pool, int64_t need, const char *sourcePath, int line) {
  int64_t data = poolRoundUp(need, 4);
  int64_t perChunk = int64_t(pool->membersPerChunk) * pool->slotSize;
  if (perChunk > data) data = perChunk;
  int64_t size = int64_t(sizeof(PoolChunk)) + data;
  auto *chunk = static_cast<PoolChunk *>(Mem_Alloc(size, 1, sourcePath, line));
  chunk->size = size;
  chunk->count = 1;
  chunk->data = reinterpret_cast<uint8_t *>(chunk + 1);
  chunk->cursor = chunk->data;
  poolAddChunk(pool, chunk);
  return chunk;
}

constexpr int kPoolStringSearchChunks = 4;  // chunks a string member may come from

void *poolAllocString(Pool *pool, int32_t size, const char *sourcePath, int line) {
  int64_t need = int64_t(size) + kPoolStringSlackBytes;
  // New chunks go to the head, so the chunks with room are the newest few.
  // Looking further back finds only slivers and made every new chunk cost a
  // walk over all the older ones: quadratic in the size of a large tree.
  PoolChunk *chunk = pool->chunks;
  for (int looked = 0; chunk != nullptr && poolChunkEnd(chunk) - chunk->cursor <= need;
       chunk = chunk->next) {
    if (++looked == kPoolStringSearchChunks) {
      chunk = nullptr;
      break;
    }
  }
  if (chunk == nullptr) chunk = poolNewStringChunk(pool, need, sourcePath, line);
  uint8_t *member = chunk->cursor;
  chunk->cursor += need;
  if (pool->zeroFill) member[0] = 0;
  return member;
}

void *poolAllocFixed(Pool *pool, int32_t size, const char *sourcePath, int line) {
  if (size != pool->memberSize || size < 1)
    Core_Abort(sourcePath, line, "Invalid pool member size (%d != %d) from (%s/%d)\n", size,
               pool->memberSize, sourcePath, line);
  if (pool->freeList == nullptr) poolNewFixedChunk(pool, sourcePath, line);
  PoolMemberDescriptor *descriptor = pool->freeList;
  pool->freeList = descriptor->next;
  descriptor->sourcePath = sourcePath;
  descriptor->line = line;
  PoolMemberDescriptor **list = &pool->inUseLists[poolListIndex(descriptor->member)];
  descriptor->next = *list;
  *list = descriptor;
  if (pool->zeroFill) memset(descriptor->member, 0, size_t(size));
  return descriptor->member;
}

void poolFreeFixed(Pool *pool, void *member, int32_t size, const char *sourcePath, int line) {
  if (size != pool->memberSize)
    Core_Abort(sourcePath, line, "Invalid pool member size (%d != %d) from (%s/%d)\n", size,
               pool->memberSize, sourcePath, line);
  PoolMemberDescriptor **link = &pool->inUseLists[poolListIndex(member)];
  while (*link != nullptr && (*link)->member != member) link = &(*link)->next;
  PoolMemberDescriptor *descriptor = *link;
  if (descriptor == nullptr) {
    // Name the descriptor when the member is already free: a double free,
    // not a pointer from elsewhere.
    PoolMemberDescriptor *onFreeList = pool->freeList;
    while (onFreeList != nullptr && onFreeList->member != member) onFreeList = onFreeList->next;
    Core_Abort(sourcePath, line, "Unable to find member to free [0x%p] [0x%p]\n", member,
               onFreeList);
  }
  *link = descriptor->next;
  descriptor->next = pool->freeList;
  pool->freeList = descriptor;
}

void poolFreeChunksLocked(Pool *pool) {
  PoolChunk *chunk = pool->chunks;
  while (chunk != nullptr) {
    PoolChunk *next = chunk->next;
    Mem_Free(chunk, chunk->size, KSRC);
    chunk = next;
  }
  pool->chunks = nullptr;
  memset(pool->inUseLists, 0, sizeof pool->inUseLists);
  pool->freeList = nullptr;
  pool->bytesHeld = 0;
  pool->inUse = 0;
  pool->peakInUse = 0;
}

void poolResetLocked(Pool *pool) {
  if (pool->stringMode) {
    poolFreeChunksLocked(pool);
    return;
  }
  memset(pool->inUseLists, 0, sizeof pool->inUseLists);
  pool->freeList = nullptr;
  // String mode is never left again, so in fixed mode every chunk is a
  // fixed-mode chunk with its descriptors.
  for (PoolChunk *chunk = pool->chunks; chunk != nullptr; chunk = chunk->next)
    poolFreeChunkMembers(pool, chunk);
  pool->inUse = 0;
  pool->peakInUse = 0;
}

void poolDestroy(void **object) {
  auto *pool = static_cast<Pool *>(*object);
  if (pool->inUse > 0)
    Log_Print(LOG_DEBUG, KSRC, 0, "Not all pool memory was freed (%d) for (%s/%d)\n", pool->inUse,
              pool->creatorPath ? pool->creatorPath : "", pool->creatorLine);
  poolFreeChunksLocked(pool);
  CriticalSection_Delete(&pool->lock);
  pool->header.classTag = 0;
  pool->~Pool();
  Mem_Free(pool, sizeof(Pool), KSRC);
}

}  // namespace

int Pool_Create(Pool **pool, const char *sourcePath, int line) {
  CHECK_POINTER(pool);
  auto *created = new (Mem_Alloc(sizeof(Pool), MEM_ZEROED, KSRC)) Pool();
  created->header.classTag = kPoolTag;
  created->header.refCount.store(1, std::memory_order_relaxed);
  created->header.destroy = poolDestroy;
  created->zeroFill = 1;
  created->creatorPath = sourcePath;
  created->creatorLine = line;
  *pool = created;
  return 1;
}

int Pool_Release(Pool **pool) {
  CHECK_POINTER(pool);
  CLASS_CHECK(*pool, kPoolTag);
  Class_ReleaseObject(pool);
  return 1;
}

void Pool_SetMemberSize(Pool *pool, int32_t size) {
  CLASS_CHECK(pool, kPoolTag);
  PoolLockGuard guard(pool);
  int64_t slot = size < 1 ? 0 : poolRoundUp(size, 8);
  if (slot > kPoolMaxMemberBytes) slot = 0;  // refused at the first allocation
  if (slot != pool->slotSize) poolFreeChunksLocked(pool);
  pool->memberSize = size;
  pool->slotSize = int32_t(slot);
}

void Pool_SetMemberChunkSize(Pool *pool, int32_t count) {
  CLASS_CHECK(pool, kPoolTag);
  pool->membersPerChunk = count;
}

void Pool_SetStringMode(Pool *pool) {
  CLASS_CHECK(pool, kPoolTag);
  if (pool->membersPerChunk != 1)
    Core_Abort(KSRC, "Member chunk size must be 1 to use String Mode (%d != 1)\n",
               pool->membersPerChunk);
  pool->stringMode = 1;
}

void Pool_EnableLocking(Pool *pool) {
  CLASS_CHECK(pool, kPoolTag);
  if (pool->lock == nullptr) CriticalSection_Create(&pool->lock);
  pool->lockInUse = 1;
}

void *Pool_Alloc(Pool *pool, int32_t size, const char *sourcePath, int line) {
  CLASS_CHECK(pool, kPoolTag);
  PoolLockGuard guard(pool);
  void *member;
  if (pool->passThrough) {
    member = Mem_Alloc(size, pool->zeroFill ? MEM_ZEROED : 1, sourcePath, line);
  } else if (pool->stringMode) {
    if (size < 0 || size > kPoolMaxMemberBytes)
      Core_Abort(sourcePath, line, "Invalid pool member size (%d != %d) from (%s/%d)\n", size,
                 pool->memberSize, sourcePath, line);
    member = poolAllocString(pool, size, sourcePath, line);
  } else {
    member = poolAllocFixed(pool, size, sourcePath, line);
  }
  if (pool->report)
    Log_Print(LOG_DEBUG, KSRC, 0, "-- Pool Alloc 0x%p : %10d [%s / %d]\n", member, size,
              sourcePath ? sourcePath : "", line);
  if (++pool->inUse > pool->peakInUse) pool->peakInUse = pool->inUse;
  return member;
}

int Pool_Free(Pool *pool, void **member, int32_t size, const char *sourcePath, int line) {
  CLASS_CHECK(pool, kPoolTag);
  CHECK_POINTER(member);
  // Nothing to give back, so nothing changes: counting it would make the
  // leak report at release under-count.
  if (*member == nullptr) return 0;
  PoolLockGuard guard(pool);
  if (pool->report)
    Log_Print(LOG_DEBUG, KSRC, 0, "-- Pool Free  0x%p : %10d [%s / %d]\n", *member, size,
              sourcePath ? sourcePath : "", line);
  if (pool->passThrough) {
    Mem_Free(*member, size, sourcePath, line);
    pool->inUse--;
  } else if (pool->stringMode) {
    pool->inUse--;
    if (pool->inUse <= 0 && pool->bytesHeld > kPoolStringResetBytes) poolResetLocked(pool);
  } else {
    poolFreeFixed(pool, *member, size, sourcePath, line);
    pool->inUse--;
  }
  *member = nullptr;
  return 0;
}

void Pool_Reset(Pool *pool) {
  CLASS_CHECK(pool, kPoolTag);
  PoolLockGuard guard(pool);
  poolResetLocked(pool);
}

void Pool_FreeChunks(Pool *pool) {
  CLASS_CHECK(pool, kPoolTag);
  PoolLockGuard guard(pool);
  poolFreeChunksLocked(pool);
}
