// VCDIFF address caches; see vcdiffaddrcache.h.
#include "base/vcdiffaddrcache.h"

#include <cstring>

#include "core/runtime/memory.h"

int VCDiffAddressCache_Create(VCDiffAddressCache **cache) {
  CHECK_POINTER(cache);
  *cache = static_cast<VCDiffAddressCache *>(MEM_ALLOC(sizeof(VCDiffAddressCache), MEM_ZEROED));
  return 1;
}

int VCDiffAddressCache_Release(VCDiffAddressCache **cache) {
  CHECK_POINTER(cache);
  if (*cache == nullptr) return 1;
  VCDiffAddressCache *c = *cache;
  *cache = nullptr;
  MEM_FREE(c, sizeof(VCDiffAddressCache));
  return 1;
}

int VCDiffAddressCache_SetSection(VCDiffAddressCache *c, const uint8_t *data, uint64_t length) {
  CHECK_POINTER(c);
  std::memset(c->near, 0, sizeof(c->near));
  std::memset(c->same, 0, sizeof(c->same));
  c->nextNear = 0;
  c->addresses = {data, length, 0};
  return 1;
}
