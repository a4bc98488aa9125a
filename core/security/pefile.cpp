// PE files and Authenticode; see pefile.h.
#include "core/security/pefile.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/platform/path.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/strw.h"
#include "core/security/execfile.h"
#include "core/security/pkcs7.h"

namespace {

constexpr uint16_t kPEMagic32 = 0x10B;
constexpr uint16_t kPEMagic64 = 0x20B;
constexpr uint32_t kPEFixedInfoSignature = 0xFEEF04BD;
// Offsets from the NT headers.
constexpr uint32_t kPECheckSumOffset = 88;
constexpr uint32_t kPEOptionalHeaderOffset = 24;
constexpr uint32_t kPESecurityEntry32 = 152;
constexpr uint32_t kPESecurityEntry64 = 168;
// The 96 bytes of VS_VERSION_INFO read for the fixed info: the block header,
// its key and VS_FIXEDFILEINFO up to the product version.
constexpr int64_t kPEFixedInfoBlockBytes = 96;
constexpr int64_t kPEFixedInfoOffset = 40;

// UTF-16LE keys with their terminating NUL.
constexpr char16_t kStringFileInfoKey[] = u"StringFileInfo";
constexpr char16_t kVersionInfoKey[] = u"VS_VERSION_INFO";

int64_t peAlign4(int64_t offset) { return (offset + 3) & ~int64_t(3); }

uint32_t peSecurityEntry(const PEHeaders &h) {
  return h.Kind == 32 ? kPESecurityEntry32 : kPESecurityEntry64;
}

struct PESection {
  uint32_t pointer;  // PointerToRawData
  uint32_t size;     // SizeOfRawData
};

// The section headers (n x 40 bytes after the optional header). 0 when they
// do not lie within the file.
int peReadSections(Stream *stream, const PEHeaders &h, std::vector<uint8_t> *raw) {
  int64_t start = int64_t(h.NtOffset) + kPEOptionalHeaderOffset + h.SizeOfOptionalHeader;
  int64_t length = int64_t(h.NumberOfSections) * kPESectionHeaderBytes;
  if (start + length > ExecutableFile_Size(stream)) return 0;
  raw->resize(size_t(length));
  return length == 0 || ExecutableFile_ReadAt(stream, start, raw->data(), length);
}

// The ranges of the image digest, after every check of the layout.
struct PEImageLayout {
  int64_t checkSum;      // NT + 88
  int64_t securityEntry; // D
  int64_t headersEnd;    // H
  std::vector<PESection> sections;  // by PointerToRawData, both fields non-zero
  int64_t tableSize;     // T
  int64_t fileSize;      // F
};

bool peImageLayout(Stream *stream, PEImageLayout *layout) {
  PEHeaders h;
  int64_t fileSize = ExecutableFile_Size(stream);
  if (PEFile_ReadHeaders(stream, &h) < 0 || h.NumberOfRvaAndSizes < 5 || h.FileAlignment == 0)
    return false;
  uint32_t entry = peSecurityEntry(h);
  // The certificate-table entry must lie inside the optional header.
  if (h.SizeOfOptionalHeader + kPEOptionalHeaderOffset < entry + 8) return false;
  std::vector<uint8_t> raw;
  if (!peReadSections(stream, h, &raw)) return false;
  // The headers end at SizeOfHeaders, as the signing tools take it; a
  // linker may reserve more than the headers need, rounded to FileAlignment,
  // and those bytes are part of what was signed.
  int64_t headers = int64_t(h.NtOffset) + kPEOptionalHeaderOffset + h.SizeOfOptionalHeader +
                    int64_t(raw.size());
  int64_t headersEnd = h.SizeOfHeaders;
  if (headersEnd < headers) return false;
  if (headersEnd > fileSize) return false;
  int64_t contentEnd = headersEnd;
  std::vector<PESection> sections;
  for (size_t i = 0; i < raw.size(); i += kPESectionHeaderBytes) {
    PESection s = {ExecutableFile_Load32(&raw[i + 20]), ExecutableFile_Load32(&raw[i + 16])};
    if (s.pointer == 0 || s.size == 0) continue;
    if (int64_t(s.pointer) + s.size > fileSize) return false;
    contentEnd = std::max(contentEnd, int64_t(s.pointer) + s.size);
    sections.push_back(s);
  }
  // The table must be the file's tail, after everything the digest covers;
  // only then is "everything but the table" a well-defined set of bytes.
  int64_t tableOffset = h.CertificateTableOffset;
  int64_t tableSize = h.CertificateTableSize;
  if ((tableOffset != 0 || tableSize != 0) &&
      (tableOffset + tableSize != fileSize || tableOffset < contentEnd))
    return false;
  std::stable_sort(sections.begin(), sections.end(),
                   [](const PESection &a, const PESection &b) { return a.pointer < b.pointer; });
  layout->checkSum = int64_t(h.NtOffset) + kPECheckSumOffset;
  layout->securityEntry = int64_t(h.NtOffset) + entry;
  layout->headersEnd = headersEnd;
  layout->sections = std::move(sections);
  layout->tableSize = tableSize;
  layout->fileSize = fileSize;
  return true;
}

// ---- Version resource ------------------------------------------------------------

struct VersionBlock {
  int64_t start;
  int64_t end;  // start + wLength, within the parent
  uint16_t valueLength;
};

// A block at at inside [.., parentEnd). False when its header does not fit,
// it is shorter than its header or it runs past the parent.
bool peReadBlock(const uint8_t *section, int64_t at, int64_t parentEnd, VersionBlock *block) {
  if (at < 0 || at + 6 > parentEnd) return false;
  uint16_t length = ExecutableFile_Load16(section + at);
  if (length < 6 || at + length > parentEnd) return false;
  *block = {at, at + length, ExecutableFile_Load16(section + at + 2)};
  return true;
}

// UTF-16LE text from at, at most maxUnits units, ending at a NUL or at end.
// *next is the offset after the NUL; false when no NUL comes before end and
// one is required.
bool peReadText(const uint8_t *section, int64_t at, int64_t end, int64_t maxUnits, bool needNul,
                std::string *text, int64_t *next) {
  std::u16string units;
  int64_t p = at;
  bool ended = false;
  while (p + 2 <= end && int64_t(units.size()) < maxUnits) {
    char16_t unit = char16_t(ExecutableFile_Load16(section + p));
    p += 2;
    if (unit == 0) {
      ended = true;
      break;
    }
    units.push_back(unit);
  }
  if (needNul && !ended) return false;
  if (next != nullptr) *next = p;
  text->assign(units.size() * 3 + 1, '\0');
  int written = StrW_ToUtf8N(text->data(), int(text->size()), units.data(), int(units.size()));
  text->resize(size_t(written));
  return true;
}

int64_t peFindKey(const uint8_t *section, int64_t size, const char16_t *key, int64_t keyBytes) {
  uint8_t pattern[64];
  for (int64_t i = 0; i < keyBytes / 2; i++) {
    pattern[2 * i] = uint8_t(key[i]);
    pattern[2 * i + 1] = uint8_t(key[i] >> 8);
  }
  const uint8_t *end = section + size;
  const uint8_t *found = std::search(section, end, pattern, pattern + keyBytes);
  return found == end ? -1 : found - section;
}

typedef std::vector<std::pair<std::string, std::string>> VersionFields;

// The strings of every StringTable of the StringFileInfo whose key is at
// key. False for a malformed block.
bool peReadStrings(const uint8_t *section, int64_t size, int64_t key, VersionFields *fields) {
  VersionBlock info;
  if (!peReadBlock(section, key - 6, size, &info)) return false;
  for (int64_t t = peAlign4(key + int64_t(sizeof kStringFileInfoKey)); t < info.end;) {
    VersionBlock table;
    if (!peReadBlock(section, t, info.end, &table)) return false;
    // The header and the 8-character language key with its NUL.
    for (int64_t s = peAlign4(t + 24); s < table.end;) {
      VersionBlock string;
      std::string name, value;
      int64_t keyEnd = 0;
      if (!peReadBlock(section, s, table.end, &string) ||
          !peReadText(section, s + 6, string.end, INT64_MAX, true, &name, &keyEnd))
        return false;
      peReadText(section, peAlign4(keyEnd), string.end, string.valueLength, false, &value, nullptr);
      fields->emplace_back(std::move(name), std::move(value));
      s = peAlign4(string.end);
    }
    t = peAlign4(table.end);
  }
  return true;
}

std::string peVersionText(uint32_t high, uint32_t low) {
  char text[64];
  Str_Printf(text, sizeof text, "%d.%d.%d.%d", int(high >> 16), int(high & 0xFFFF),
               int(low >> 16), int(low & 0xFFFF));
  return text;
}

}  // namespace

int PEFile_ReadHeaders(Stream *stream, PEHeaders *headers) {
  CHECK_POINTER(stream);
  CHECK_POINTER(headers);
  uint8_t dos[64];
  if (!ExecutableFile_ReadAt(stream, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
    return -1;
  PEHeaders h = {};
  h.NtOffset = ExecutableFile_Load32(dos + 60);
  // Signature, file header and the optional header's magic.
  if (!ExecutableFile_ReadAt(stream, h.NtOffset, h.Raw, 26) || memcmp(h.Raw, "PE\0\0", 4) != 0)
    return -1;
  uint16_t magic = ExecutableFile_Load16(h.Raw + 24);
  if (magic != kPEMagic32 && magic != kPEMagic64) return -1;
  h.Kind = magic == kPEMagic32 ? 32 : 64;
  int32_t total = h.Kind == 32 ? kPEHeaders32Bytes : kPEHeaders64Bytes;
  if (!ExecutableFile_ReadAt(stream, int64_t(h.NtOffset) + 26, h.Raw + 26, total - 26)) return -1;
  const uint8_t *optional = h.Raw + kPEOptionalHeaderOffset;
  h.NumberOfSections = ExecutableFile_Load16(h.Raw + 6);
  h.SizeOfOptionalHeader = ExecutableFile_Load16(h.Raw + 20);
  h.FileAlignment = ExecutableFile_Load32(optional + 36);
  h.SizeOfHeaders = ExecutableFile_Load32(optional + 60);
  h.NumberOfRvaAndSizes = ExecutableFile_Load32(optional + (h.Kind == 32 ? 92 : 108));
  h.CertificateTableOffset = ExecutableFile_Load32(h.Raw + peSecurityEntry(h));
  h.CertificateTableSize = ExecutableFile_Load32(h.Raw + peSecurityEntry(h) + 4);
  *headers = h;
  return h.Kind;
}

int PEFile_IsPEStream(Stream *stream) {
  PEHeaders h;
  return PEFile_ReadHeaders(stream, &h) > 0 ? 1 : 0;
}

int PEFile_IsPEPath(const char *path) {
  CHECK_POINTER(path);
  ExecutableFile file(path);
  return file.stream() != nullptr && PEFile_IsPEStream(file.stream());
}

int PEFile_IsPE(const char *path) {
  CHECK_POINTER(path);
  return Path_IsDirectory(path) ? 0 : PEFile_IsPEPath(path);
}

int PEFile_GetSecurityDirectory(Stream *stream, uint64_t *offset, uint32_t *size) {
  CHECK_POINTER(offset);
  CHECK_POINTER(size);
  PEHeaders h;
  if (PEFile_ReadHeaders(stream, &h) < 0) return 0;
  *offset = h.CertificateTableOffset;
  *size = h.CertificateTableSize;
  return 1;
}

int PEFile_FindResourceSection(Stream *stream, uint32_t *offset, uint32_t *size) {
  CHECK_POINTER(offset);
  CHECK_POINTER(size);
  PEHeaders h;
  std::vector<uint8_t> raw;
  if (PEFile_ReadHeaders(stream, &h) < 0 || !peReadSections(stream, h, &raw)) return 0;
  for (size_t i = 0; i < raw.size(); i += kPESectionHeaderBytes) {
    char name[9] = {};
    memcpy(name, &raw[i], 8);
    if (strcasecmp(name, ".rsrc") != 0) continue;
    *offset = ExecutableFile_Load32(&raw[i + 20]);
    *size = ExecutableFile_Load32(&raw[i + 16]);
    return 1;
  }
  return 0;
}

int PEFile_FindCertificate(Stream *stream, uint64_t *offset, uint32_t *length) {
  CHECK_POINTER(offset);
  CHECK_POINTER(length);
  uint64_t table = 0;
  uint32_t tableSize = 0;
  uint8_t word[4];
  if (!PEFile_GetSecurityDirectory(stream, &table, &tableSize) || table == 0 ||
      int64_t(table + tableSize) > ExecutableFile_Size(stream) ||
      !ExecutableFile_ReadAt(stream, int64_t(table), word, sizeof word))
    return 0;
  uint32_t dwLength = ExecutableFile_Load32(word);
  if (dwLength <= kPECertificateHeaderBytes || dwLength > tableSize) return 0;
  *offset = table;
  *length = dwLength;
  return 1;
}

int PEFile_GetCertificateLength(Stream *stream, uint32_t *length) {
  CHECK_POINTER(length);
  uint64_t offset = 0;
  uint32_t found = 0;
  if (!PEFile_FindCertificate(stream, &offset, &found) || found < 11) return 0;
  *length = found;
  return 1;
}

int PEFile_ReadCertificateEntry(Stream *stream, void *buffer, uint32_t *length) {
  CHECK_POINTER(length);
  uint64_t offset = 0;
  if (!PEFile_FindCertificate(stream, &offset, length)) return 0;
  return buffer == nullptr || ExecutableFile_ReadAt(stream, int64_t(offset), buffer, *length);
}

int PEFile_GetCertificate(Stream *stream, uint8_t *out, uint32_t size) {
  CHECK_POINTER(out);
  uint32_t length = 0;
  if (!PEFile_ReadCertificateEntry(stream, nullptr, &length) || size < length ||
      !PEFile_ReadCertificateEntry(stream, out, &length))
    return 0;
  uint32_t blob = length - kPECertificateHeaderBytes;
  memcpy(out, &blob, sizeof blob);
  return 1;
}

int PEFile_IsSigned(const char *path) {
  CHECK_POINTER(path);
  ExecutableFile file(path);
  uint32_t length = 0;
  return file.stream() != nullptr && PEFile_GetCertificateLength(file.stream(), &length) &&
         length > 0;
}

int PEFile_HashImage(Stream *stream, HashHandle *hash) {
  CHECK_POINTER(stream);
  CLASS_CHECK(hash, kHashHandleTag);
  PEImageLayout layout;
  if (!peImageLayout(stream, &layout)) return 0;
  ExecutableHashFeed feed(stream, hash);
  int64_t sum = layout.headersEnd;
  bool ok = feed.Range(0, layout.checkSum) &&
            feed.Range(layout.checkSum + 4, layout.securityEntry) &&
            feed.Range(layout.securityEntry + 8, layout.headersEnd);
  for (const PESection &s : layout.sections) {
    if (!ok) break;
    ok = feed.Range(s.pointer, int64_t(s.pointer) + s.size);
    sum += s.size;
  }
  if (ok && layout.fileSize > sum + layout.tableSize)
    ok = feed.Range(sum, layout.fileSize - layout.tableSize);
  return ok ? 1 : 0;
}

int PEFile_VerifyStream(CertStore *store, Stream *stream) {
  CHECK_POINTER(store);
  CHECK_POINTER(stream);
  uint32_t length = 0;
  if (!PEFile_GetCertificateLength(stream, &length) || length > INT32_MAX) return 0;
  auto *entry = static_cast<uint8_t *>(MEM_ALLOC(length, 0));
  PKCS7 *pkcs7 = nullptr;
  PKCS7_Create(&pkcs7);
  int ok = 0;
  if (PEFile_GetCertificate(stream, entry, length) &&
      PKCS7_SetData(pkcs7, entry + kPECertificateHeaderBytes,
                    int32_t(length - kPECertificateHeaderBytes)) &&
      PKCS7_Parse(pkcs7) && PKCS7_SelectExpectedDigest(pkcs7))
    ok = PKCS7_VerifyContent(pkcs7, store, stream, PEFile_HashImage);
  PKCS7_Release(&pkcs7);
  MEM_FREE(entry, length);
  return ok;
}

int PEFile_VerifySignature(CertStore *store, const char *path) {
  CHECK_POINTER(path);
  ExecutableFile file(path);
  return file.stream() != nullptr && PEFile_VerifyStream(store, file.stream());
}

int PEFile_ReadVersionBlock(const uint8_t *section, int64_t size, Dictionary *table) {
  CHECK_POINTER(section);
  CHECK_POINTER(table);
  VersionFields fields;
  int64_t key = peFindKey(section, size, kStringFileInfoKey, sizeof kStringFileInfoKey);
  if (key >= 0 && !peReadStrings(section, size, key, &fields)) return 0;
  key = peFindKey(section, size, kVersionInfoKey, sizeof kVersionInfoKey);
  if (key >= 0) {
    int64_t block = key - 6;
    if (block < 0 || block + kPEFixedInfoBlockBytes > size) return 0;
    const uint8_t *fixed = section + block + kPEFixedInfoOffset;
    if (ExecutableFile_Load32(fixed) != kPEFixedInfoSignature) return 0;
    fields.emplace_back("FileVersion", peVersionText(ExecutableFile_Load32(fixed + 8),
                                                     ExecutableFile_Load32(fixed + 12)));
    fields.emplace_back("ProductVersion", peVersionText(ExecutableFile_Load32(fixed + 16),
                                                        ExecutableFile_Load32(fixed + 20)));
  }
  for (const auto &[name, value] : fields)
    Dictionary_SetStringByKey(table, name.c_str(), value.c_str());
  return fields.empty() ? 0 : 1;
}

int PEFile_ReadVersionInfo(const char *path, Dictionary *table) {
  CHECK_POINTER(path);
  CHECK_POINTER(table);
  ExecutableFile file(path);
  uint32_t offset = 0;
  uint32_t size = 0;
  if (file.stream() == nullptr || !PEFile_FindResourceSection(file.stream(), &offset, &size) ||
      size == 0 || size > kPEMaxResourceBytes ||
      int64_t(offset) + size > ExecutableFile_Size(file.stream()))
    return 0;
  std::vector<uint8_t> section(size);
  if (!ExecutableFile_ReadAt(file.stream(), offset, section.data(), size)) return 0;
  return PEFile_ReadVersionBlock(section.data(), size, table);
}
