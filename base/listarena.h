// ListArena: fixed-size members handed out from blocks of a set count (the
// lists of a metafile grow by 50), all given back at once by a reset. No
// per-member bookkeeping: a metafile's lists are filled member by member and
// emptied only as a whole.
//
// Invariants: (1) every member is zero-filled and 8-byte aligned (members
// hold 64-bit fields and pointers, nothing wider). (2) blocks are tracked allocations;
// bytes counts them all.
//
// Threads: one thread at a time; the owner serialises.
#pragma once

#include <cstdint>

#include "core/runtime/memory.h"

struct ListArenaBlock {
  ListArenaBlock *next;
  int64_t size;  // bytes of the whole block
};
constexpr int64_t kListArenaHeadBytes = (sizeof(ListArenaBlock) + 7) & ~int64_t(7);

struct ListArena {
  ListArenaBlock *blocks;  // newest first
  int32_t memberSize;      // rounded up to 8
  int32_t perBlock;
  int32_t used;  // members taken from the newest block
};

inline void ListArena_Init(ListArena *arena, int32_t memberSize, int32_t perBlock) {
  arena->blocks = nullptr;
  arena->memberSize = (memberSize + 7) & ~7;
  arena->perBlock = perBlock < 1 ? 1 : perBlock;
  arena->used = 0;
}

inline void *ListArena_Alloc(ListArena *arena) {
  constexpr int64_t kHead = kListArenaHeadBytes;
  if (arena->blocks == nullptr || arena->used == arena->perBlock) {
    int64_t size = kHead + int64_t(arena->perBlock) * arena->memberSize;
    auto *block = static_cast<ListArenaBlock *>(MEM_ALLOC(size, MEM_ZEROED));
    block->next = arena->blocks;
    block->size = size;
    arena->blocks = block;
    arena->used = 0;
  }
  auto *base = reinterpret_cast<uint8_t *>(arena->blocks) + kHead;
  return base + int64_t(arena->used++) * arena->memberSize;
}

// The first member of a block; its members follow at memberSize steps.
inline void *ListArena_BlockStart(ListArenaBlock *block) {
  return reinterpret_cast<uint8_t *>(block) + kListArenaHeadBytes;
}

inline void ListArena_Reset(ListArena *arena) {
  while (arena->blocks != nullptr) {
    ListArenaBlock *block = arena->blocks;
    arena->blocks = block->next;
    MEM_FREE(block, block->size);
  }
  arena->used = 0;
}

// The list mechanics shared by the metafile's parsed lists (file entries and
// pad ranges): a list record with head, tail, count, currentIndex and
// current, whose members link through next (and previous, where a member
// has one). The member being parsed lives in current until a node of another
// array index (or the end of the document) commits it to the tail.
template <typename List>
void ListArena_Commit(List *list, ListArena *arena) {
  if (list->currentIndex < 0) return;
  auto *member = static_cast<decltype(list->head)>(ListArena_Alloc(arena));
  *member = list->current;
  member->next = nullptr;
  if constexpr (requires { member->previous; }) member->previous = list->tail;
  (list->tail ? list->tail->next : list->head) = member;
  list->tail = member;
  list->count++;
  list->currentIndex = -1;
  list->current = {};
}

// Makes the member of array index the one being parsed.
template <typename List>
void ListArena_Select(List *list, ListArena *arena, int64_t index) {
  if (index == list->currentIndex) return;
  ListArena_Commit(list, arena);
  list->currentIndex = index;
}

template <typename List>
void ListArena_Clear(List *list, ListArena *arena) {
  ListArena_Reset(arena);
  list->head = list->tail = nullptr;
  list->count = 0;
  list->currentIndex = -1;
  list->current = {};
}

// The last of count group heads (members with an offset, in ascending
// order) that starts at or before offset; 0 when none does.
template <typename Member>
int32_t ListArena_FindGroup(Member *const *groups, int32_t count, int64_t offset) {
  int32_t low = 0, high = count - 1;
  while (low < high) {
    int32_t mid = low + (high - low + 1) / 2;
    if (groups[mid]->offset <= offset)
      low = mid;
    else
      high = mid - 1;
  }
  return low;
}
