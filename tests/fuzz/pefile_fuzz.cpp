// libFuzzer target for PE files from untrusted input, over a memory stream:
// the headers, the ".rsrc" section and the certificate table, the version
// resource walk over the whole input and over the section, the Authenticode
// image digest and the signature check against a store that trusts nothing.
// A crash, a sanitizer report, a leak, an allocation beyond the input or a
// fatal stop of the program is a finding; tests/fuzz/run.sh runs it, seeded
// with the images of tests/gen_authenticode.py.
#include <cstddef>
#include <cstdint>

#include "core/formats/dictionary.h"
#include "core/security/certstorenull.h"
#include "core/security/pefile.h"
#include "tests/fuzz/fuzz_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  FuzzStream input(data, size);
  Stream *stream = input.stream();
  PEHeaders headers;
  PEFile_ReadHeaders(stream, &headers);
  Dictionary *table = nullptr;
  Dictionary_Create(&table);
  PEFile_ReadVersionBlock(data, int64_t(size), table);
  uint32_t offset = 0, length = 0;
  if (PEFile_FindResourceSection(stream, &offset, &length) && uint64_t(offset) + length <= size)
    PEFile_ReadVersionBlock(data + offset, length, table);
  Dictionary_Release(&table);
  uint64_t entry = 0;
  PEFile_FindCertificate(stream, &entry, &length);
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  Hash_SetInterface(hash, &kHashSha256);
  PEFile_HashImage(stream, hash);
  Hash_Delete(&hash);
  CertStore *store = nullptr;
  CertStoreNull_Create(&store);
  PEFile_VerifyStream(store, stream);
  CertStore_Release(&store);
  return 0;
}
