// Padding and PadIndex: the pad ranges of a metafile's "pad" list as the
// JSON reader reports them, and the same ranges found by stream offset.
// A pad range is a run of stream bytes that no file's data fills.
//
// Invariants: (1) ranges and index items come from arenas growing by 50.
// (2) after a successful PadIndex_Build the items follow the list, every
// range has an offset in [0, 2^62], a size in [0, INT32_MAX] and starts at or after the
// end of its predecessor (ascending, no overlap), and every 100th item heads
// a group. (3) a failed build leaves the index empty.
//
// Threads: one thread at a time; the caller serialises. A built index is
// only read afterwards.
#pragma once

#include <cstdint>

#include "base/listarena.h"
#include "core/runtime/class.h"

constexpr uint32_t kPaddingTag = 0x5ad1c0e3;
constexpr uint32_t kPadIndexTag = 0x5ad1c0e4;
constexpr int32_t kPaddingGrowth = 50;
constexpr int32_t kPadIndexGroup = 100;
constexpr int64_t kPadOffsetMax = int64_t(1) << 62;  // no stream is longer

struct PadRange {
  int64_t offset;
  int64_t size;  // the document's value, range-checked by the build
  PadRange *next;
  PadRange *previous;
};

struct Padding {
  ObjectHeader header;  // kPaddingTag
  PadRange *head;
  PadRange *tail;
  int32_t count;
  int64_t currentIndex;  // -1: none being parsed
  PadRange current;
  ListArena ranges;
};

struct PadItem {
  PadRange *range;
  int64_t offset;
  int64_t size;
  PadItem *next;
};

struct PadIndex {
  ObjectHeader header;  // kPadIndexTag
  ListArena items;
  PadItem *first;
  int32_t count;
  PadItem **groups;  // items 0, 100, 200, ...
  int32_t groupCount;
  int32_t groupCapacity;
};

// Every operation stops the program on a NULL or foreign object or a NULL
// out-pointer ("Pointer is NULL\n", "Class mismatch pointer (...)").

int Padding_Create(Padding **padding);
int Padding_Destroy(Padding **padding);
int Padding_Reset(Padding *padding);
// One node of "pad" (path "pad\<index>\<field>"), fields "offset" and
// "size"; the entry mechanism of FileList_OnKey. Returns 1.
int Padding_OnKey(Padding *padding, const char *path, const char *value, int32_t length);
int Padding_Finish(Padding *padding);
int32_t Padding_GetCount(Padding *padding);
// 1 with the first range; 0 with NULL when none.
int Padding_GetFirst(Padding *padding, PadRange **range);

int PadIndex_Create(PadIndex **index);
int PadIndex_Destroy(PadIndex **index);
int PadIndex_Reset(PadIndex *index);
// One item per range in list order. 0 (index empty) when a range has a
// negative offset, a size outside [0, INT32_MAX], or starts before the end
// of its predecessor; or an offset past 2^62.
int PadIndex_Build(PadIndex *index, Padding *padding);
// The first item, from the group that holds offset on, whose range starts at
// or after offset or ends after it. 0 with NULL when none.
int PadIndex_Find(PadIndex *index, PadItem **item, int64_t offset);
int32_t PadIndex_GetCount(PadIndex *index);
