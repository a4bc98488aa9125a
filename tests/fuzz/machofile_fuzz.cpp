// libFuzzer target for Mach-O files, installer packages and disk-image
// trailers from untrusted input, over a memory stream: the thin and fat
// headers (either machine width), the load-command walk, the SuperBlob
// index, the CodeDirectory page check, the xar header, TOC and heap reads,
// and the "koly" trailer. A crash, a sanitizer report, a leak, an
// allocation beyond the input or a fatal stop of the program is a finding;
// tests/fuzz/run.sh runs it, seeded with the files of tests/gen_macho.py and tests/gen_pkg.py.
#include <cstddef>
#include <cstdint>

#include "core/security/certstorenull.h"
#include "core/security/hash.h"
#include "core/security/machofile.h"
#include "tests/fuzz/fuzz_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  FuzzStream input(data, size);
  Stream *stream = input.stream();
  MachOFile_SetBitnessForTest(size % 2 ? 32 : 64);
  MachOHeader header;
  MachOFile_ReadHeader(stream, &header);
  uint64_t offset = 0;
  uint32_t length = 0;
  MachOFile_FindCodeSignature(stream, &offset, &length);
  MachOFile_FindCmsBlob(stream, &offset, &length);
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  Hash_SetInterface(hash, &kHashSha256);
  MachOFile_HashCodeDirectory(stream, hash);
  Hash_Delete(&hash);
  CertStore *none = nullptr;
  CertStoreNull_Create(&none);
  PKGFile_VerifyData(none, stream);
  CertStore_Release(&none);
  if (DMGFile_IsDMG(stream)) DMGFile_GetSignatureRange(stream, &offset, &length);
  return 0;
}
