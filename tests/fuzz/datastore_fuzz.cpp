// libFuzzer target for the data-store search over a region from untrusted
// input: both marks, the block header, its CRC and the inflate of its
// content. A crash, a sanitizer report, a leak, a read past the region or a
// fatal stop of the program is a finding; tests/fuzz/run.sh runs it, seeded
// with the regions of tests/gen_datastore.py.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/runtime/memory.h"
#include "core/security/executable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  // An exact-size copy, so a read past the region is a sanitizer report.
  std::vector<uint8_t> region(data, data + size);
  char *content = nullptr;
  int64_t length = 0;
  if (Executable_FindDataStore(region.data(), int64_t(region.size()), &content, &length))
    MEM_FREE(content, length + 1);
  return 0;
}
