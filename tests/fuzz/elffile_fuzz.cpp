// libFuzzer target for ELF files from untrusted input, over a memory stream:
// the header and the section lookup by name (present, absent, a prefix of
// another, the name table's own). A crash, a sanitizer report, a leak, an
// allocation beyond the input or a fatal stop of the program is a finding;
// tests/fuzz/run.sh runs it, seeded with the objects of tests/gen_elf.py.
#include <cstddef>
#include <cstdint>

#include "core/runtime/memstream.h"
#include "core/security/elffile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  MemoryStream *memory = nullptr;
  Stream *stream = nullptr;
  MemoryStream_Create(&memory);
  MemoryStream_Attach(memory, const_cast<uint8_t *>(data), int32_t(size), int32_t(size));
  MemoryStream_GetStream(memory, &stream);
  ELFHeader header;
  ELFFile_ReadHeader(stream, &header);
  for (const char *name : {".text", ".datastore", ".version.json", ".shstrtab", ".strtab", ""}) {
    uint64_t offset = 0, length = 0;
    ELFFile_FindSection(stream, name, &offset, &length);
  }
  MemoryStream_Release(&memory);
  return 0;
}
