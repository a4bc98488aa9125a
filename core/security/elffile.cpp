// ELF files; see elffile.h.
#include "core/security/elffile.h"

#include <cstring>
#include <vector>

#include "core/formats/json.h"
#include "core/platform/path.h"
#include "core/security/auth.h"
#include "core/security/execfile.h"

namespace {

constexpr int32_t kELFIdentBytes = 16;
constexpr int32_t kELFHeader32Bytes = 52;
constexpr int32_t kELFHeader64Bytes = 64;
constexpr uint16_t kELFSection32Bytes = 40;
constexpr uint16_t kELFSection64Bytes = 64;

// The first section named name, read within the file and its caps.
bool elfFind(Stream *stream, const char *name, ELFSectionHeader *found) {
  ELFHeader h;
  int64_t fileSize = ExecutableFile_Size(stream);
  if (!ELFFile_ReadHeader(stream, &h)) return false;
  uint16_t entrySize = h.Class == 1 ? kELFSection32Bytes : kELFSection64Bytes;
  uint64_t tableBytes = uint64_t(h.SectionCount) * entrySize;
  if (h.SectionHeaderSize != entrySize || h.NameTableIndex >= h.SectionCount ||
      h.SectionHeaderOffset > uint64_t(fileSize) ||
      tableBytes > uint64_t(fileSize) - h.SectionHeaderOffset)
    return false;
  auto inFile = [fileSize](const ELFSectionHeader &s) {
    return s.Offset <= uint64_t(fileSize) && s.Size <= uint64_t(fileSize) - s.Offset;
  };
  ELFSectionHeader names;
  if (!Stream_Seek(stream, StreamOrigin::Begin,
                   int64_t(h.SectionHeaderOffset) + int64_t(h.NameTableIndex) * entrySize) ||
      !ELFFile_ReadSectionHeader(stream, &h, &names) || !inFile(names) ||
      names.Size > uint64_t(kELFMaxNameTableBytes))
    return false;
  std::vector<char> table(names.Size);
  if (!ExecutableFile_ReadAt(stream, int64_t(names.Offset), table.data(), int64_t(names.Size)) ||
      !Stream_Seek(stream, StreamOrigin::Begin, int64_t(h.SectionHeaderOffset)))
    return false;
  size_t wanted = strlen(name);
  for (uint16_t i = 0; i < h.SectionCount; i++) {
    ELFSectionHeader s;
    if (!ELFFile_ReadSectionHeader(stream, &h, &s)) return false;
    if (s.Name >= table.size()) continue;
    const char *candidate = table.data() + s.Name;
    size_t length = strnlen(candidate, table.size() - s.Name);
    if (length == wanted && wanted > 0 && memcmp(candidate, name, wanted) == 0) {
      if (!inFile(s)) return false;
      *found = s;
      return true;
    }
  }
  return false;
}

}  // namespace

int ELFFile_ReadHeader(Stream *stream, ELFHeader *header) {
  CHECK_POINTER(stream);
  CHECK_POINTER(header);
  uint8_t raw[kELFHeader64Bytes];
  if (!ExecutableFile_ReadAt(stream, 0, raw, kELFIdentBytes) || memcmp(raw, "\x7F" "ELF", 4) != 0)
    return 0;
  int32_t elfClass = raw[4];
  if (elfClass != 1 && elfClass != 2) return 0;
  int32_t total = elfClass == 1 ? kELFHeader32Bytes : kELFHeader64Bytes;
  if (!ExecutableFile_ReadAt(stream, kELFIdentBytes, raw + kELFIdentBytes, total - kELFIdentBytes))
    return 0;
  bool big = raw[5] == 2;
  ELFHeader h = {};
  h.Class = elfClass;
  h.BigEndian = big ? 1 : 0;
  if (elfClass == 1) {
    h.SectionHeaderOffset = ExecutableFile_Load32(raw + 32, big);
    h.SectionHeaderSize = ExecutableFile_Load16(raw + 46, big);
    h.SectionCount = ExecutableFile_Load16(raw + 48, big);
    h.NameTableIndex = ExecutableFile_Load16(raw + 50, big);
  } else {
    h.SectionHeaderOffset = ExecutableFile_Load64(raw + 40, big);
    h.SectionHeaderSize = ExecutableFile_Load16(raw + 58, big);
    h.SectionCount = ExecutableFile_Load16(raw + 60, big);
    h.NameTableIndex = ExecutableFile_Load16(raw + 62, big);
  }
  *header = h;
  return elfClass;
}

int ELFFile_IsELFStream(Stream *stream) {
  ELFHeader h;
  return ELFFile_ReadHeader(stream, &h) > 0 ? 1 : 0;
}

int ELFFile_IsELF(const char *path) {
  CHECK_POINTER(path);
  if (Path_IsDirectory(path)) return 0;
  ExecutableFile file(path);
  return file.stream() != nullptr && ELFFile_IsELFStream(file.stream());
}

int ELFFile_ReadSectionHeader(Stream *stream, const ELFHeader *header, ELFSectionHeader *section) {
  CHECK_POINTER(stream);
  CHECK_POINTER(header);
  CHECK_POINTER(section);
  uint8_t raw[kELFSection64Bytes];
  int32_t size = header->Class == 1 ? kELFSection32Bytes : kELFSection64Bytes;
  int32_t got = 0;
  for (int32_t have = 0; have < size; have += got)
    if (!Stream_Read(stream, raw + have, size - have, &got) || got <= 0) return 0;
  bool big = header->BigEndian != 0;
  section->Name = ExecutableFile_Load32(raw, big);
  if (header->Class == 1) {
    section->Offset = ExecutableFile_Load32(raw + 16, big);
    section->Size = ExecutableFile_Load32(raw + 20, big);
  } else {
    section->Offset = ExecutableFile_Load64(raw + 24, big);
    section->Size = ExecutableFile_Load64(raw + 32, big);
  }
  return 1;
}

int ELFFile_FindSection(Stream *stream, const char *name, uint64_t *offset, uint64_t *size) {
  CHECK_POINTER(stream);
  CHECK_POINTER(name);
  CHECK_POINTER(offset);
  CHECK_POINTER(size);
  ELFSectionHeader s;
  if (!elfFind(stream, name, &s)) return 0;
  *offset = s.Offset;
  *size = s.Size;
  return 1;
}

int ELFFile_ReadVersionInfo(const char *path, Dictionary *table) {
  CHECK_POINTER(path);
  CHECK_POINTER(table);
  ExecutableFile file(path);
  uint64_t offset = 0;
  uint64_t size = 0;
  if (file.stream() == nullptr ||
      !ELFFile_FindSection(file.stream(), ".version.json", &offset, &size) || size == 0 ||
      size > uint64_t(kELFMaxVersionJsonBytes))
    return 0;
  std::vector<char> text(size);
  if (!ExecutableFile_ReadAt(file.stream(), int64_t(offset), text.data(), int64_t(size))) return 0;
  Dictionary *document = nullptr;
  Json *json = nullptr;
  Dictionary_Create(&document);
  Json_Create(&json);
  Json_SetDictionary(json, document);
  int parsed = Json_ParseMemory(json, text.data(), int32_t(size));
  Json_Release(&json);
  Dictionary *root = nullptr;
  if (parsed) Dictionary_Unwrap(document, &root);
  int ok = parsed && root != nullptr && root != document;  // an object, not a list or scalar
  if (ok) {
    Dictionary_SetCaseSensitive(table, 0);
    Dictionary_Merge(table, root, kDictionaryMergeOverwrite);
  }
  Dictionary_Release(&document);
  return ok;
}

int ELFFile_VerifySignature(CertStore *store, const char *path) {
  CHECK_POINTER(store);
  CHECK_POINTER(path);
  if (!Authenticate_Enabled()) return 1;
  ExecutableFile file(path);
  if (file.stream() == nullptr) return 0;
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  Hash_SetInterface(hash, &kHashSha256);
  uint8_t digest[kHashMaxDigestBytes];
  int ok = 0;
  {
    ExecutableHashFeed feed(file.stream(), hash);
    ok = feed.Range(0, ExecutableFile_Size(file.stream())) && Hash_Generate(hash) &&
         Hash_GetDigest(hash, digest, sizeof digest);
  }
  Hash_Delete(&hash);
  return ok && CertStore_CheckDigest(store, &kHashSha256, digest, kHashSha256.DigestSize);
}
