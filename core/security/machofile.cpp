// MachOFile: see machofile.h.
#include "core/security/machofile.h"

#include <atomic>
#include <strings.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/formats/plist.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/str.h"
#include "core/security/certstorei.h"
#include "core/security/execfile.h"
#include "core/formats/xml.h"
#include "core/runtime/memstream.h"
#include "core/security/pkcs7.h"
#include "core/security/x509.h"
#include "core/security/x509chain.h"

namespace {

constexpr uint32_t kMachOMagic32 = 0xFEEDFACE;
constexpr uint32_t kMachOMagic64 = 0xFEEDFACF;
constexpr uint32_t kMachOFatMagic = 0xCAFEBABE;
constexpr uint32_t kMachOLoadCodeSignature = 29;
constexpr uint32_t kMachOSuperBlobMagic = 0xFADE0CC0;
constexpr uint32_t kMachOCodeDirectoryMagic = 0xFADE0C02;
constexpr uint32_t kMachOCmsMagic = 0xFADE0B01;
constexpr uint32_t kMachOSlotCodeDirectory = 0;
constexpr uint32_t kMachOSlotAlternateCodeDirectory = 0x1000;
constexpr uint32_t kMachOSlotCms = 0x10000;
constexpr uint32_t kMachOCodeDirectoryMinBytes = 44;  // through pageSize (39)
constexpr uint8_t kMachOMaxPageShift = 20;

std::atomic<int> gMachOBitnessForTest{0};

// The thin header at offset; slice bounds the commands.
int machoReadThin(Stream *stream, uint64_t offset, uint64_t sliceSize, MachOHeader *h) {
  uint8_t raw[32];
  if (sliceSize < 28 || !ExecutableFile_ReadAt(stream, int64_t(offset), raw, 28)) return -1;
  uint32_t magic = ExecutableFile_Load32(raw);
  int bits = magic == kMachOMagic32 ? 32 : magic == kMachOMagic64 ? 64 : -1;
  if (bits < 0) return -1;
  uint64_t headerBytes = bits == 64 ? 32 : 28;
  uint32_t commandBytes = ExecutableFile_Load32(raw + 20);
  if (headerBytes + commandBytes > sliceSize) return -1;
  h->Bits = bits;
  h->SliceOffset = offset;
  h->SliceSize = sliceSize;
  h->CpuType = ExecutableFile_Load32(raw + 4);
  h->CommandCount = ExecutableFile_Load32(raw + 16);
  h->CommandBytes = commandBytes;
  h->CommandsOffset = offset + headerBytes;
  return bits;
}

// The SuperBlob of the file's signature, read whole.
int machoReadSignature(Stream *stream, MachOHeader *h, std::vector<uint8_t> *blob) {
  uint64_t offset = 0;
  uint32_t size = 0;
  if (!MachOFile_FindCodeSignature(stream, &offset, &size) || size < 12 ||
      size > kMachOMaxSignatureBytes)
    return 0;
  blob->resize(size);
  if (!ExecutableFile_ReadAt(stream, int64_t(offset), blob->data(), size)) return 0;
  if (ExecutableFile_Load32(blob->data(), true) != kMachOSuperBlobMagic) return 0;
  return MachOFile_ReadHeader(stream, h) > 0;
}

// Calls visit(type, offset, length) for each index entry whose blob (header
// and all) lies inside the SuperBlob; stops when visit returns true.
template <typename Visit>
bool machoEachBlob(const std::vector<uint8_t> &super, Visit visit) {
  uint64_t length = ExecutableFile_Load32(super.data() + 4, true);
  if (length > super.size()) length = super.size();
  uint32_t count = ExecutableFile_Load32(super.data() + 8, true);
  if (count < 1 || count > (length - 12) / 8) return false;
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t *entry = super.data() + 12 + i * 8;
    uint32_t type = ExecutableFile_Load32(entry, true);
    uint64_t offset = ExecutableFile_Load32(entry + 4, true);
    if (offset + 8 > length) continue;
    uint64_t blobLength = ExecutableFile_Load32(super.data() + offset + 4, true);
    if (blobLength < 8 || offset + blobLength > length) continue;
    if (visit(type, uint32_t(offset), uint32_t(blobLength))) return true;
  }
  return false;
}

constexpr int32_t kDMGSignatureOffsetAt = 296;
constexpr int32_t kDMGSignatureLengthAt = 304;

int dmgReadTrailer(Stream *stream, uint8_t *trailer, int64_t *fileSize) {
  *fileSize = ExecutableFile_Size(stream);
  if (*fileSize < kDMGTrailerBytes) return 0;
  if (!ExecutableFile_ReadAt(stream, *fileSize - kDMGTrailerBytes, trailer, kDMGTrailerBytes))
    return 0;
  return memcmp(trailer, "koly", 4) == 0;
}

}  // namespace

int DMGFile_IsDMG(Stream *stream) {
  CHECK_POINTER(stream);
  uint8_t trailer[kDMGTrailerBytes];
  int64_t fileSize = 0;
  return dmgReadTrailer(stream, trailer, &fileSize);
}

int DMGFile_GetSignatureRange(Stream *stream, uint64_t *offset, uint32_t *length) {
  CHECK_POINTER(stream);
  CHECK_POINTER(offset);
  CHECK_POINTER(length);
  *offset = 0;
  *length = 0;
  uint8_t trailer[kDMGTrailerBytes];
  int64_t fileSize = 0;
  if (!dmgReadTrailer(stream, trailer, &fileSize)) return 0;
  uint64_t start = ExecutableFile_Load64(trailer + kDMGSignatureOffsetAt, true);
  uint64_t size = ExecutableFile_Load64(trailer + kDMGSignatureLengthAt, true);
  if (size > UINT32_MAX || start > uint64_t(fileSize) || size > uint64_t(fileSize) - start)
    return 0;
  *offset = start;
  *length = uint32_t(size);
  return 1;
}

// ---- Mach-O ---------------------------------------------------------------

int MachOFile_ReadHeader(Stream *stream, MachOHeader *header) {
  CHECK_POINTER(stream);
  CHECK_POINTER(header);
  *header = MachOHeader{};
  int64_t fileSize = ExecutableFile_Size(stream);
  uint8_t raw[8];
  if (fileSize < 8 || !ExecutableFile_ReadAt(stream, 0, raw, 8)) return -1;
  uint32_t magic = ExecutableFile_Load32(raw, true);
  if (magic != kMachOFatMagic && __builtin_bswap32(magic) != kMachOFatMagic)
    return machoReadThin(stream, 0, uint64_t(fileSize), header);
  uint32_t count = ExecutableFile_Load32(raw + 4, true);
  if (count < 1 || count > kMachOMaxFatArchs || 8 + int64_t(count) * 20 > fileSize) return -1;
  std::vector<uint8_t> arches(size_t(count) * 20);
  if (!ExecutableFile_ReadAt(stream, 8, arches.data(), int64_t(arches.size()))) return -1;
  int bits = gMachOBitnessForTest.load();
  if (bits == 0) bits = Platform_GetSystemBitness();
  uint32_t wanted = bits == 32 ? kMachOCpuX86 : kMachOCpuX86_64;
  uint32_t chosen = 0;
  for (uint32_t i = 0; i < count; i++)
    if (ExecutableFile_Load32(arches.data() + i * 20, true) == wanted) {
      chosen = i;
      break;
    }
  const uint8_t *arch = arches.data() + chosen * 20;
  uint64_t offset = ExecutableFile_Load32(arch + 8, true);
  uint64_t size = ExecutableFile_Load32(arch + 12, true);
  if (offset > uint64_t(fileSize) || size > uint64_t(fileSize) - offset) return -1;
  return machoReadThin(stream, offset, size, header);
}

int MachOFile_IsMachO(const char *path) {
  CHECK_POINTER(path);
  if (Path_IsDirectory(path)) return 0;
  ExecutableFile file(path);
  MachOHeader h;
  return file.stream() != nullptr && MachOFile_ReadHeader(file.stream(), &h) > 0;
}

int MachOFile_FindCodeSignature(Stream *stream, uint64_t *dataOffset, uint32_t *dataSize) {
  CHECK_POINTER(dataOffset);
  CHECK_POINTER(dataSize);
  *dataOffset = 0;
  *dataSize = 0;
  MachOHeader h;
  if (MachOFile_ReadHeader(stream, &h) < 0 || h.CommandCount < 1) return 0;
  std::vector<uint8_t> commands(h.CommandBytes);
  if (!ExecutableFile_ReadAt(stream, int64_t(h.CommandsOffset), commands.data(),
                             int64_t(commands.size())))
    return 0;
  uint64_t at = 0;
  for (uint32_t i = 0; i < h.CommandCount; i++) {
    if (at + 8 > h.CommandBytes) return 0;
    uint32_t cmd = ExecutableFile_Load32(commands.data() + at);
    uint32_t cmdSize = ExecutableFile_Load32(commands.data() + at + 4);
    if (cmdSize < 8 || at + cmdSize > h.CommandBytes) return 0;
    if (cmd == kMachOLoadCodeSignature) {
      if (cmdSize < 16) return 0;
      uint64_t offset = ExecutableFile_Load32(commands.data() + at + 8);
      uint32_t size = ExecutableFile_Load32(commands.data() + at + 12);
      if (offset > h.SliceSize || size > h.SliceSize - offset) return 0;
      *dataOffset = h.SliceOffset + offset;
      *dataSize = size;
      return 1;
    }
    at += cmdSize;
  }
  return 0;
}

int MachOFile_FindCmsBlob(Stream *stream, uint64_t *offset, uint32_t *length) {
  CHECK_POINTER(offset);
  CHECK_POINTER(length);
  *offset = 0;
  *length = 0;
  uint64_t base = 0;
  uint32_t size = 0;
  MachOHeader h;
  std::vector<uint8_t> super;
  if (!machoReadSignature(stream, &h, &super) ||
      !MachOFile_FindCodeSignature(stream, &base, &size))
    return 0;
  return machoEachBlob(super, [&](uint32_t type, uint32_t at, uint32_t blobLength) {
    if (type != kMachOSlotCms || ExecutableFile_Load32(super.data() + at, true) != kMachOCmsMagic)
      return false;
    *offset = base + at + 8;
    *length = blobLength - 8;
    return true;
  });
}

int MachOFile_IsSigned(const char *path) {
  CHECK_POINTER(path);
  ExecutableFile file(path);
  uint64_t offset = 0;
  uint32_t length = 0;
  return file.stream() != nullptr && MachOFile_FindCmsBlob(file.stream(), &offset, &length) &&
         length > 0;
}

int MachOFile_VerifyCodePages(Stream *stream, const uint8_t *blob, uint32_t length,
                              uint64_t sliceOffset) {
  CHECK_POINTER(stream);
  CHECK_POINTER(blob);
  if (length < kMachOCodeDirectoryMinBytes) return 0;
  uint32_t hashOffset = ExecutableFile_Load32(blob + 16, true);
  uint32_t slots = ExecutableFile_Load32(blob + 28, true);
  uint32_t codeLimit = ExecutableFile_Load32(blob + 32, true);
  uint8_t hashSize = blob[36];
  uint8_t hashType = blob[37];
  uint8_t pageShift = blob[39];
  const HashInterface *algorithm = hashType == 1 ? &kHashSha1 : hashType == 2 ? &kHashSha256
                                                                              : nullptr;
  if (algorithm == nullptr || hashSize != algorithm->DigestSize || pageShift > kMachOMaxPageShift ||
      uint64_t(hashOffset) + uint64_t(slots) * hashSize > length)
    return 0;
  uint64_t pageBytes = uint64_t(1) << pageShift;
  std::vector<uint8_t> page(pageBytes);
  uint32_t checked = 0;
  for (uint32_t i = 0; i < slots; i++) {
    uint64_t start = uint64_t(i) << pageShift;
    if (start >= codeLimit) break;
    uint64_t size = codeLimit - start < pageBytes ? codeLimit - start : pageBytes;
    if (!Stream_Seek(stream, StreamOrigin::Begin, int64_t(sliceOffset + start))) return 0;
    int64_t got = 0;
    while (got < int64_t(size)) {
      int32_t n = 0;
      if (!Stream_Read(stream, page.data() + got, int32_t(int64_t(size) - got), &n) || n <= 0)
        break;
      got += n;
    }
    if (got == 0) return 0;
    memset(page.data() + got, 0, size_t(int64_t(size) - got));
    uint8_t digest[64];
    Hash_ComputeDigest(algorithm, page.data(), int64_t(size), digest, sizeof digest);
    if (memcmp(digest, blob + hashOffset + uint64_t(i) * hashSize, hashSize) != 0) {
      Log_Print(LOG_WARNING, KSRC, 0,
                "MachO verification failed, code page hash does not match %d\n", int(i));
      return 0;
    }
    checked++;
  }
  return checked > 0 ? 1 : 0;
}

int MachOFile_HashCodeDirectory(Stream *stream, HashHandle *hash) {
  CHECK_POINTER(stream);
  CHECK_POINTER(hash);
  MachOHeader h;
  std::vector<uint8_t> super;
  if (!machoReadSignature(stream, &h, &super)) return 0;
  return machoEachBlob(super, [&](uint32_t type, uint32_t at, uint32_t blobLength) {
    if ((type != kMachOSlotCodeDirectory && type != kMachOSlotAlternateCodeDirectory) ||
        ExecutableFile_Load32(super.data() + at, true) != kMachOCodeDirectoryMagic)
      return false;
    int64_t written = 0;
    if (!Hash_Reset(hash) || !Hash_Update(hash, super.data() + at, blobLength, &written)) {
      Log_Print(LOG_WARNING, KSRC, 0, "MachO verification failed, code directory hash failure\n");
      return false;
    }
    return MachOFile_VerifyCodePages(stream, super.data() + at, blobLength, h.SliceOffset) == 1;
  }) ? 1 : 0;
}

int MachOFile_VerifyStream(CertStore *store, Stream *stream) {
  CHECK_POINTER(store);
  CHECK_POINTER(stream);
  uint64_t offset = 0;
  uint32_t length = 0;
  if (!MachOFile_FindCmsBlob(stream, &offset, &length) || length == 0 || length > INT32_MAX)
    return 0;
  std::vector<uint8_t> cms(length);
  if (!ExecutableFile_ReadAt(stream, int64_t(offset), cms.data(), length)) return 0;
  PKCS7 *pkcs7 = nullptr;
  PKCS7_Create(&pkcs7);
  int ok = PKCS7_SetData(pkcs7, cms.data(), int32_t(length)) && PKCS7_Parse(pkcs7) &&
           PKCS7_SelectExpectedDigest(pkcs7) &&
           PKCS7_VerifyContent(pkcs7, store, stream, MachOFile_HashCodeDirectory);
  PKCS7_Release(&pkcs7);
  return ok;
}

int MachOFile_VerifySignature(CertStore *store, const char *path) {
  CHECK_POINTER(store);
  CHECK_POINTER(path);
  ExecutableFile file(path);
  return file.stream() != nullptr && MachOFile_VerifyStream(store, file.stream());
}

void MachOFile_SetBitnessForTest(int bits) { gMachOBitnessForTest.store(bits); }

// ---- Bundles --------------------------------------------------------------

int MachOFile_GetInfoPlistPath(const char *bundle, char *out, int size) {
  CHECK_POINTER(bundle);
  CHECK_POINTER(out);
  size_t length = strlen(bundle);
  while (length > 0 && (bundle[length - 1] == '/' || bundle[length - 1] == '\\')) length--;
  std::string path(bundle, length);
  const char *extension = Path_FindExtension(path.c_str());
  bool framework = extension != nullptr && Str_CompareNoCase(extension, ".framework") == 0;
  path += framework ? "/Resources/Info.plist" : "/Contents/Info.plist";
  if (size < 1 || path.size() >= size_t(size)) {
    if (size > 0) out[0] = '\0';
    return 0;
  }
  memcpy(out, path.c_str(), path.size() + 1);
  return 1;
}

int MachOFile_IsBundle(const char *path) {
  CHECK_POINTER(path);
  const char *extension = Path_FindExtension(path);
  if (extension == nullptr || (Str_CompareNoCase(extension, ".app") != 0 &&
                               Str_CompareNoCase(extension, ".framework") != 0))
    return 0;
  char plist[kPathMax];
  return MachOFile_GetInfoPlistPath(path, plist, sizeof plist) && Path_Exists(plist);
}

int MachOFile_GetBundleFromExecutable(const char *path, char *out, int size) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  char directory[kPathMax];
  if (strlen(path) >= sizeof directory) return 0;
  Str_Copy(directory, path, sizeof directory);
  Path_RemoveFileName(directory);
  if (!Path_Normalize(directory, sizeof directory, kPathRemoveTrailing)) return 0;
  static constexpr char kMarker[] = ".app/contents/macos";
  constexpr size_t kMarkerLength = sizeof kMarker - 1;
  size_t length = strlen(directory);
  for (size_t i = 0; i + kMarkerLength <= length; i++) {
    if (strncasecmp(directory + i, kMarker, kMarkerLength) != 0) continue;
    char after = directory[i + kMarkerLength];
    if (after != '\0' && after != '/') continue;
    size_t cut = i + 4;  // right after ".app"
    if (cut >= size_t(size)) return 0;
    memcpy(out, directory, cut);
    out[cut] = '\0';
    return 1;
  }
  return 0;
}

int MachOFile_ReadVersionInfo(const char *path, Dictionary *table) {
  CHECK_POINTER(path);
  CHECK_POINTER(table);
  char bundle[kPathMax];
  if (MachOFile_IsBundle(path)) Str_Copy(bundle, path, sizeof bundle);
  else if (!MachOFile_GetBundleFromExecutable(path, bundle, sizeof bundle) ||
           !MachOFile_IsBundle(bundle))
    return 0;
  char plistPath[kPathMax];
  if (!MachOFile_GetInfoPlistPath(bundle, plistPath, sizeof plistPath)) return 0;
  Dictionary *document = nullptr;
  Plist *plist = nullptr;
  Dictionary_Create(&document);
  Plist_Create(&plist);
  Plist_SetDictionary(plist, document);
  int ok = Plist_ReadFile(plist, plistPath);
  Plist_Release(&plist);
  Dictionary *root = nullptr;
  if (ok) Dictionary_Unwrap(document, &root);
  ok = ok && root != nullptr && root != document;
  if (ok) {
    static constexpr struct {
      const char *field;
      const char *key;
      const char *fallback;
    } kFields[] = {
        {"FileVersion", "CFBundleVersion", nullptr},
        {"ProductVersion", "CFBundleShortVersionString", "CFBundleVersion"},
        {"ProductName", "CFBundleName", "CFBundleExecutable"},
        {"LegalCopyright", "NSHumanReadableCopyright", "CFBundleGetInfoString"},
        {"CompanyName", "CFBundleCompanyName", nullptr},
    };
    for (const auto &f : kFields) {
      char value[kMachOVersionValueBytes];
      if (Dictionary_GetStringByKey(root, f.key, value, sizeof value) ||
          (f.fallback != nullptr &&
           Dictionary_GetStringByKey(root, f.fallback, value, sizeof value)))
        Dictionary_SetStringByKey(table, f.field, value);
    }
    Dictionary_Merge(table, root, kDictionaryMergeOverwrite);
  }
  Dictionary_Release(&document);
  return ok;
}

// ---- Installer packages ---------------------------------------------------

namespace {

constexpr uint32_t kPKGMagic = 0x78617221;  // "xar!"
constexpr uint32_t kPKGChecksumSha1 = 1;
constexpr uint32_t kPKGChecksumMd5 = 2;

void pkgLogLimit(const char *field, uint64_t value) {
  Log_Print(LOG_ERROR, KSRC, 0,
            "Assertion failed (XarHeader.%s <= INT32_MAX)\n%s: TOC %s size %u exceeds INT32_MAX\n",
            field, "PKGFile_VerifyData",
            strcmp(field, "TocLengthCompressed") == 0 ? "compressed" : "uncompressed",
            unsigned(value > UINT32_MAX ? UINT32_MAX : value));
}

int pkgParseNumber(const char *text, int64_t *value) {
  if (text == nullptr) return 0;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') text++;
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  if (*text == '\0') return 0;
  uint64_t v = 0;
  for (; *text; text++) {
    int digit = *text >= '0' && *text <= '9'   ? *text - '0'
                : base == 16 && *text >= 'a' && *text <= 'f' ? *text - 'a' + 10
                : base == 16 && *text >= 'A' && *text <= 'F' ? *text - 'A' + 10
                                                            : -1;
    if (digit < 0 || v > (uint64_t(INT64_MAX) - uint64_t(digit)) / uint64_t(base)) return 0;
    v = v * uint64_t(base) + uint64_t(digit);
  }
  *value = negative ? -int64_t(v) : int64_t(v);
  return 1;
}

// Reads [heapOffset + offset, + size) of the heap; bounded by the file.
int pkgReadHeap(Stream *stream, int64_t heapOffset, int64_t offset, int64_t size,
                std::vector<uint8_t> *out) {
  int64_t fileSize = ExecutableFile_Size(stream);
  if (offset < 0 || size < 0 || heapOffset > fileSize || offset > fileSize - heapOffset ||
      size > fileSize - heapOffset - offset)
    return 0;
  out->resize(size_t(size));
  return size == 0 || ExecutableFile_ReadAt(stream, heapOffset + offset, out->data(), size);
}

// The PKCS7 digest callback over a whole (memory) stream: the compressed TOC.
int pkgHashStream(Stream *source, HashHandle *hash) {
  if (!Stream_Seek(source, StreamOrigin::Begin, 0)) return 0;
  uint8_t buffer[16384];
  int32_t got = 0;
  while (Stream_Read(source, buffer, sizeof buffer, &got) && got > 0) {
    int64_t written = 0;
    if (!Hash_Update(hash, buffer, got, &written)) return 0;
  }
  return 1;
}

// A text child of element: a String item, or the "#text" of a Dictionary.
const char *pkgText(Dictionary *element, const char *key) {
  const char *text = nullptr;
  if (Dictionary_GetStringPointerByKey(element, key, &text) && text != nullptr) return text;
  Dictionary *child = nullptr;
  if (Dictionary_GetContainerByPath(element, key, &child) &&
      Dictionary_GetStringPointerByKey(child, "#text", &text))
    return text;
  return nullptr;
}

int pkgVerifyFileList(Dictionary *list, Stream *stream, int64_t heapOffset) {
  DictionaryItem *item = nullptr;
  for (int ok = Dictionary_GetFirstItem(list, &item); ok && item != nullptr;
       ok = Dictionary_GetNextItem(list, item, &item)) {
    if (item->key == nullptr || strcmp(item->key, "file") != 0 ||
        (item->type & kDictionaryTypeMask) != kDictionaryTypeDictionary)
      continue;
    Dictionary *file = item->child;
    Dictionary *data = nullptr;
    if (Dictionary_GetContainerByPath(file, "data", &data)) {
      const char *name = pkgText(file, "name");
      int64_t offset = 0, size = 0, length = 0;
      Dictionary *checksum = nullptr;
      const char *style = nullptr;
      const char *expected = nullptr;
      const HashInterface *algorithm = nullptr;
      std::vector<uint8_t> bytes;
      if (!PKGFile_GetOffsetSize(data, &offset, &size) ||
          !pkgParseNumber(pkgText(data, "length"), &length) ||
          !Dictionary_GetContainerByPath(data, "archived-checksum", &checksum) ||
          !Dictionary_GetStringPointerByKey(checksum, "-style", &style) ||
          !Dictionary_GetStringPointerByKey(checksum, "#text", &expected) ||
          !Hash_GetInterfaceByName(style, &algorithm) ||
          !pkgReadHeap(stream, heapOffset, offset, length, &bytes))
        return 0;
      char hex[129];
      Hash_ComputeDigestHex(algorithm, bytes.data(), int64_t(bytes.size()), hex, sizeof hex);
      if (Str_CompareNoCase(hex, expected) != 0) {
        Log_Print(LOG_ERROR, KSRC, 0, "PKG file does not match expected hash [%s] (%s != %s)\n",
                  name ? name : "", hex, expected);
        return 0;
      }
    }
    if (!pkgVerifyFileList(file, stream, heapOffset)) return 0;
  }
  return 1;
}

// The signer's chain from KeyInfo.X509Data, leaf first, trusted by store.
int pkgVerifyRawSignature(CertStore *store, Dictionary *signature, const uint8_t *toc,
                          int64_t tocLength, const std::vector<uint8_t> &bytes) {
  Dictionary *x509Data = nullptr;
  if (!Dictionary_GetContainerByPath(signature, "KeyInfo.X509Data", &x509Data)) return 0;
  X509Chain *chain = nullptr;
  X509Chain_Create(&chain);
  X509 *leaf = nullptr;
  DictionaryItem *item = nullptr;
  int ok = 1;
  for (int more = Dictionary_GetFirstItem(x509Data, &item); more && item != nullptr && ok;
       more = Dictionary_GetNextItem(x509Data, item, &item)) {
    if (item->key == nullptr || strcmp(item->key, "X509Certificate") != 0) continue;
    const char *text = nullptr;
    int32_t length = 0;
    if (!Dictionary_GetItemText(x509Data, item, &text, &length)) continue;
    X509 *cert = nullptr;
    X509_Create(&cert);
    ok = X509_LoadFromBase64(cert, text, length) && X509Chain_Add(chain, cert);
    X509_Release(&cert);
  }
  ok = ok && X509Chain_GetFirst(chain, &leaf) && leaf != nullptr &&
       X509Chain_VerifyPolicy(chain, leaf, store, X509Purpose::CodeSigning, 0);
  if (ok) {
    // The signature covers the digest we computed, not the stored bytes.
    HashHandle *hash = nullptr;
    Hash_Create(&hash);
    Hash_SetInterface(hash, &kHashSha1);
    int64_t written = 0;
    ok = Hash_Update(hash, toc, tocLength, &written) && Hash_Generate(hash) &&
         X509_VerifySignature(leaf, hash, bytes.data(), int32_t(bytes.size()));
    Hash_Delete(&hash);
  }
  X509Chain_Release(&chain);
  return ok;
}

int pkgVerifyCms(CertStore *store, std::vector<uint8_t> &toc, const std::vector<uint8_t> &bytes) {
  if (bytes.empty() || bytes.size() > size_t(INT32_MAX)) return 0;
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  MemoryStream_Attach(memory, toc.data(), int32_t(toc.size()), int32_t(toc.size()));
  Stream *source = nullptr;
  MemoryStream_GetStream(memory, &source);
  PKCS7 *pkcs7 = nullptr;
  PKCS7_Create(&pkcs7);
  int ok = PKCS7_SetData(pkcs7, bytes.data(), int32_t(bytes.size())) && PKCS7_Parse(pkcs7) &&
           PKCS7_SelectExpectedDigest(pkcs7) &&
           PKCS7_VerifyContent(pkcs7, store, source, pkgHashStream);
  PKCS7_Release(&pkcs7);
  MemoryStream_Release(&memory);
  return ok;
}

}  // namespace

int PKGFile_IsPKGStream(Stream *stream) {
  CHECK_POINTER(stream);
  uint8_t header[kPKGHeaderBytes];
  int32_t got = 0;
  int64_t have = 0;
  while (have < kPKGHeaderBytes &&
         Stream_Read(stream, header + have, int32_t(kPKGHeaderBytes - have), &got) && got > 0)
    have += got;
  return have == kPKGHeaderBytes && ExecutableFile_Load32(header, true) == kPKGMagic;
}

int PKGFile_IsPKG(const char *path) {
  CHECK_POINTER(path);
  if (Path_IsDirectory(path)) return 0;
  ExecutableFile file(path);
  return file.stream() != nullptr && PKGFile_IsPKGStream(file.stream());
}

int PKGFile_GetOffsetSize(Dictionary *element, int64_t *offset, int64_t *size) {
  CHECK_POINTER(element);
  CHECK_POINTER(offset);
  CHECK_POINTER(size);
  return pkgParseNumber(pkgText(element, "offset"), offset) &&
         pkgParseNumber(pkgText(element, "size"), size);
}

int PKGFile_VerifyFiles(Dictionary *toc, Stream *stream, int64_t heapOffset) {
  CHECK_POINTER(toc);
  CHECK_POINTER(stream);
  return pkgVerifyFileList(toc, stream, heapOffset);
}

int PKGFile_VerifyData(CertStore *store, Stream *stream) {
  CHECK_POINTER(store);
  CHECK_POINTER(stream);
  uint8_t header[kPKGHeaderBytes];
  if (!ExecutableFile_ReadAt(stream, 0, header, kPKGHeaderBytes) ||
      ExecutableFile_Load32(header, true) != kPKGMagic)
    return 0;
  uint16_t headerBytes = ExecutableFile_Load16(header + 4, true);
  uint64_t compressed = ExecutableFile_Load64(header + 8, true);
  uint64_t inflated = ExecutableFile_Load64(header + 16, true);
  uint32_t algorithmId = ExecutableFile_Load32(header + 24, true);
  if (headerBytes < kPKGHeaderBytes || compressed == 0 || inflated == 0) return 0;
  if (compressed > INT32_MAX) {
    pkgLogLimit("TocLengthCompressed", compressed);
    return 0;
  }
  if (inflated > INT32_MAX || inflated > uint64_t(kPKGMaxTocBytes)) {
    pkgLogLimit("TocLengthUncompressed", inflated);
    return 0;
  }
  int64_t fileSize = ExecutableFile_Size(stream);
  if (int64_t(headerBytes) + int64_t(compressed) > fileSize) return 0;
  std::vector<uint8_t> toc(compressed);
  if (!ExecutableFile_ReadAt(stream, headerBytes, toc.data(), int64_t(compressed))) return 0;
  int64_t heapOffset = int64_t(headerBytes) + int64_t(compressed);
  std::vector<uint8_t> text(inflated + 1);
  uLongf textLength = uLongf(inflated + 1);
  if (uncompress(text.data(), &textLength, toc.data(), uLong(compressed)) != Z_OK ||
      textLength != inflated)
    return 0;

  Dictionary *document = nullptr;
  XML *xml = nullptr;
  Dictionary_Create(&document);
  Xml_Create(&xml);
  Xml_SetDictionary(xml, document);
  Dictionary *tocRoot = nullptr;
  int ok = Xml_ParseMemory(xml, text.data(), int32_t(inflated)) &&
           Dictionary_GetContainerByPath(document, "xar.toc", &tocRoot);
  Xml_Release(&xml);

  // The checksum: SHA-1 only, the stored bytes exactly the digest.
  Dictionary *checksum = nullptr;
  const char *style = nullptr;
  if (ok && (!Dictionary_GetContainerByPath(tocRoot, "checksum", &checksum) ||
             !Dictionary_GetStringPointerByKey(checksum, "-style", &style) ||
             algorithmId != kPKGChecksumSha1 || Str_CompareNoCase(style, "SHA1") != 0)) {
    (void)kPKGChecksumMd5;
    Log_Print(LOG_ERROR, KSRC, 0, "PKG file checksum type mismatch\n");
    ok = 0;
  }
  uint8_t digest[20];
  std::vector<uint8_t> stored;
  int64_t offset = 0, size = 0;
  if (ok) {
    Hash_ComputeDigest(&kHashSha1, toc.data(), int64_t(toc.size()), digest, sizeof digest);
    if (!PKGFile_GetOffsetSize(checksum, &offset, &size) || size != int64_t(sizeof digest) ||
        !pkgReadHeap(stream, heapOffset, offset, size, &stored) ||
        memcmp(stored.data(), digest, sizeof digest) != 0) {
      Log_Print(LOG_ERROR, KSRC, 0, "PKG file checksum verification failed\n");
      ok = 0;
    }
  }
  if (ok) {
    Dictionary *signature = nullptr;
    bool cms = Dictionary_GetContainerByPath(tocRoot, "x-signature", &signature);
    std::vector<uint8_t> bytes;
    ok = (cms || Dictionary_GetContainerByPath(tocRoot, "signature", &signature)) &&
         PKGFile_GetOffsetSize(signature, &offset, &size) &&
         pkgReadHeap(stream, heapOffset, offset, size, &bytes) &&
         (cms ? pkgVerifyCms(store, toc, bytes)
              : pkgVerifyRawSignature(store, signature, toc.data(), int64_t(toc.size()), bytes));
    if (!ok) Log_Print(LOG_ERROR, KSRC, 0, "Verify signature failed\n");
  }
  ok = ok && pkgVerifyFileList(tocRoot, stream, heapOffset);
  Dictionary_Release(&document);
  return ok;
}

int PKGFile_VerifySignature(CertStore *store, const char *path) {
  CHECK_POINTER(store);
  CHECK_POINTER(path);
  ExecutableFile file(path);
  return file.stream() != nullptr && PKGFile_VerifyData(store, file.stream());
}
