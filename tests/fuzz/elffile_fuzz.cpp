// libFuzzer target for ELF files from untrusted input, over a memory stream:
// the header and the section lookup by name (present, absent, a prefix of
// another, the name table's own). A crash, a sanitizer report, a leak, an
// allocation beyond the input or a fatal stop of the program is a finding;
// tests/fuzz/run.sh runs it, seeded with the objects of tests/gen_elf.py.
#include <cstddef>
#include <cstdint>

#include "core/security/elffile.h"
#include "tests/fuzz/fuzz_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  FuzzStream input(data, size);
  Stream *stream = input.stream();
  ELFHeader header;
  ELFFile_ReadHeader(stream, &header);
  for (const char *name : {".text", ".datastore", ".version.json", ".shstrtab", ".strtab", ""}) {
    uint64_t offset = 0, length = 0;
    ELFFile_FindSection(stream, name, &offset, &length);
  }
  return 0;
}
