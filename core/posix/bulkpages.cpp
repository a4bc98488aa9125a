// Large pages for ranges filled in bulk; see Mem_AdviseBulk in
// core/runtime/memory.h. Transparent huge pages are often enabled only for
// ranges that ask for them (madvise mode), so a range that a caller is about
// to fill asks: the 2 MiB-aligned interior of it is marked, and the whole
// range is made present in one call instead of a fault per page.
#include <sys/mman.h>

#include <cstdint>

#include "core/runtime/memory.h"

namespace {

constexpr uintptr_t kBulkPageBytes = uintptr_t(2) << 20;
constexpr uintptr_t kSmallPageBytes = 4096;
// Ranges from this size on are made present in one call.
constexpr int64_t kBulkPopulateMinBytes = int64_t(256) << 10;

}  // namespace

void Mem_AdviseBulk(void *pointer, int64_t size) {
  if (pointer == nullptr || size < kBulkPopulateMinBytes) return;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(pointer);
  const uintptr_t first = (begin + kBulkPageBytes - 1) & ~(kBulkPageBytes - 1);
  const uintptr_t last = (begin + uintptr_t(size)) & ~(kBulkPageBytes - 1);
#ifdef MADV_HUGEPAGE
  // Advice only: a system without large pages refuses it, and nothing changes.
  if (last > first) madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  // The whole range is made present at once rather than one page fault at a
  // time while it fills. An older kernel refuses it, and the pages come as
  // they are touched.
  const uintptr_t pageFirst = (begin + kSmallPageBytes - 1) & ~(kSmallPageBytes - 1);
  const uintptr_t pageLast = (begin + uintptr_t(size)) & ~(kSmallPageBytes - 1);
  if (pageLast > pageFirst)
    madvise(reinterpret_cast<void *>(pageFirst), pageLast - pageFirst, MADV_POPULATE_WRITE);
#endif
}
