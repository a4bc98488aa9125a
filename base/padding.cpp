// Pad lists and pad indexes; see padding.h.
#include "base/padding.h"

#include <new>

#include "base/keypath.h"
#include "core/runtime/memory.h"

namespace {

#define PADDING_CHECK(p) CLASS_CHECK((p), kPaddingTag)
#define PADINDEX_CHECK(x) CLASS_CHECK((x), kPadIndexTag)

void paddingDestroy(void **object) {
  auto *p = static_cast<Padding *>(*object);
  ListArena_Reset(&p->ranges);
  p->header.classTag = 0;
  MEM_FREE(p, sizeof(Padding));
}

void padIndexDestroy(void **object) {
  auto *x = static_cast<PadIndex *>(*object);
  PadIndex_Reset(x);
  ListArena_Reset(&x->items);
  x->header.classTag = 0;
  MEM_FREE(x, sizeof(PadIndex));
}

int padIndexFail(PadIndex *x) {
  PadIndex_Reset(x);
  return 0;
}

}  // namespace

int Padding_Create(Padding **padding) {
  CHECK_POINTER(padding);
  auto *p = new (MEM_ALLOC(sizeof(Padding), MEM_ZEROED)) Padding();
  p->header.classTag = kPaddingTag;
  p->header.refCount.store(1, std::memory_order_relaxed);
  p->header.destroy = paddingDestroy;
  ListArena_Init(&p->ranges, sizeof(PadRange), kPaddingGrowth);
  p->currentIndex = -1;
  *padding = p;
  return 1;
}

int Padding_Destroy(Padding **padding) {
  CHECK_POINTER(padding);
  PADDING_CHECK(*padding);
  Class_ReleaseObject(padding);
  return 1;
}

int Padding_Reset(Padding *p) {
  PADDING_CHECK(p);
  ListArena_Clear(p, &p->ranges);
  return 1;
}

int Padding_OnKey(Padding *p, const char *path, const char *value, int32_t length) {
  PADDING_CHECK(p);
  CHECK_POINTER(path);
  std::string_view field;
  int64_t index = KeyPath_MemberField(path, &field);
  if (index < 0) return 1;
  ListArena_Select(p, &p->ranges, index);
  if (field == "offset")
    p->current.offset = KeyPath_ValueToInt64(value, length);
  else if (field == "size")
    p->current.size = KeyPath_ValueToInt64(value, length);
  return 1;
}

int Padding_Finish(Padding *p) {
  PADDING_CHECK(p);
  ListArena_Commit(p, &p->ranges);
  return 1;
}

int32_t Padding_GetCount(Padding *p) {
  PADDING_CHECK(p);
  return p->count;
}

int Padding_GetFirst(Padding *p, PadRange **range) {
  PADDING_CHECK(p);
  CHECK_POINTER(range);
  *range = p->head;
  return *range != nullptr;
}

int PadIndex_Create(PadIndex **index) {
  CHECK_POINTER(index);
  auto *x = new (MEM_ALLOC(sizeof(PadIndex), MEM_ZEROED)) PadIndex();
  x->header.classTag = kPadIndexTag;
  x->header.refCount.store(1, std::memory_order_relaxed);
  x->header.destroy = padIndexDestroy;
  ListArena_Init(&x->items, sizeof(PadItem), kPaddingGrowth);
  *index = x;
  return 1;
}

int PadIndex_Destroy(PadIndex **index) {
  CHECK_POINTER(index);
  PADINDEX_CHECK(*index);
  Class_ReleaseObject(index);
  return 1;
}

int PadIndex_Reset(PadIndex *x) {
  PADINDEX_CHECK(x);
  ListArena_Reset(&x->items);
  if (x->groups) MEM_FREE(x->groups, int64_t(x->groupCapacity) * int64_t(sizeof(PadItem *)));
  x->groups = nullptr;
  x->groupCapacity = x->groupCount = 0;
  x->first = nullptr;
  x->count = 0;
  return 1;
}

int PadIndex_Build(PadIndex *x, Padding *p) {
  PADINDEX_CHECK(x);
  PADDING_CHECK(p);
  PadIndex_Reset(x);
  int32_t need = p->count / kPadIndexGroup + 1;
  x->groups =
      static_cast<PadItem **>(MEM_ALLOC(int64_t(need) * int64_t(sizeof(PadItem *)), MEM_ZEROED));
  x->groupCapacity = need;
  PadItem *last = nullptr;
  for (PadRange *r = p->head; r != nullptr; r = r->next) {
    if (r->offset < 0 || r->offset > kPadOffsetMax || r->size < 0 || r->size > INT32_MAX)
      return padIndexFail(x);
    if (last != nullptr && r->offset < last->offset + last->size) return padIndexFail(x);
    auto *item = static_cast<PadItem *>(ListArena_Alloc(&x->items));
    *item = PadItem{r, r->offset, r->size, nullptr};
    (last ? last->next : x->first) = item;
    last = item;
    if (x->count % kPadIndexGroup == 0) x->groups[x->groupCount++] = item;
    x->count++;
  }
  return 1;
}

int PadIndex_Find(PadIndex *x, PadItem **item, int64_t offset) {
  PADINDEX_CHECK(x);
  CHECK_POINTER(item);
  *item = nullptr;
  if (x->groupCount == 0) return 0;
  // Ranges do not overlap, so none before the last group that starts at or
  // before offset reaches past it.
  for (PadItem *i = x->groups[ListArena_FindGroup(x->groups, x->groupCount, offset)]; i != nullptr;
       i = i->next) {
    if (i->offset >= offset || i->offset + i->size > offset) {
      *item = i;
      return 1;
    }
  }
  return 0;
}

int32_t PadIndex_GetCount(PadIndex *x) {
  PADINDEX_CHECK(x);
  return x->count;
}
