// Large pages for ranges filled in bulk; see Mem_AdviseBulk in
// core/runtime/memory.h. Transparent huge pages are often enabled only for
// ranges that ask for them (madvise mode), so a range that a caller is about
// to fill asks: the 2 MiB-aligned interior of it is marked.
#include <sys/mman.h>

#include <cstdint>

#include "core/runtime/memory.h"

namespace {

constexpr uintptr_t kBulkPageBytes = uintptr_t(2) << 20;

}  // namespace

void Mem_AdviseBulk(void *pointer, int64_t size) {
  if (pointer == nullptr || size < int64_t(kBulkPageBytes)) return;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(pointer);
  const uintptr_t first = (begin + kBulkPageBytes - 1) & ~(kBulkPageBytes - 1);
  const uintptr_t last = (begin + uintptr_t(size)) & ~(kBulkPageBytes - 1);
  if (last <= first) return;
#ifdef MADV_HUGEPAGE
  // Advice only: a system without large pages refuses it, and nothing changes.
  madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#endif
}
