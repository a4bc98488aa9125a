// Executable: see executable.h.
#include "core/security/executable.h"

#include <strings.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "core/formats/dictionary.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/elffile.h"
#include "core/security/execfile.h"
#include "core/security/machofile.h"
#include "core/security/pefile.h"

static_assert(kStrExpandOutputBytes == kExecutableMacroOutputBytes,
              "the version handler writes the expander's whole output buffer");

namespace {

constexpr char kDataStoreTextMark[] = "QVNDATASTORE";
constexpr int64_t kDataStoreTextMarkBytes = 12;
constexpr char kDataStoreBlockMark[] = "QVNDS";
constexpr int64_t kDataStoreBlockMarkBytes = 5;
constexpr int kDataStoreZlibOrGzip = 47;  // 32 K window, header kind detected

struct ExecutableOwn {
  char path[kExecutablePathBytes];
  Dictionary *table;  // NULL outside Init and Shutdown
};

ExecutableOwn gExecutable;

// Hands out a NUL-terminated copy of bytes.
void executableCopyOut(const uint8_t *bytes, int64_t length, char **data, int64_t *size) {
  auto *copy = static_cast<char *>(MEM_ALLOC(length + 1, MEM_ZEROED));
  if (length > 0) memcpy(copy, bytes, size_t(length));
  *data = copy;
  *size = length;
}

// Inflates the stored bytes into exactly declared bytes. The output has room
// for one byte more, so a stream that would run longer is caught.
int executableInflate(const uint8_t *stored, uint32_t storedLength, uint32_t declared,
                      char **data, int64_t *size) {
  int code = Z_MEM_ERROR;
  if (declared <= uint64_t(kExecutableMaxInflatedBytes)) {
    auto *out = static_cast<uint8_t *>(MEM_ALLOC(int64_t(declared) + 1, MEM_ZEROED));
    z_stream zs = {};
    zs.next_in = const_cast<Bytef *>(stored);
    zs.avail_in = storedLength;
    zs.next_out = out;
    zs.avail_out = declared + 1;
    code = inflateInit2(&zs, kDataStoreZlibOrGzip);
    if (code == Z_OK) {
      code = inflate(&zs, Z_SYNC_FLUSH);
      // Cut short or running past the declared length: not this content.
      if (code == Z_OK || code == Z_BUF_ERROR) code = Z_BUF_ERROR;
      else if (code == Z_STREAM_END && zs.total_out != declared) code = Z_DATA_ERROR;
      inflateEnd(&zs);
    }
    if (code == Z_STREAM_END) {
      out[declared] = '\0';
      *data = reinterpret_cast<char *>(out);
      *size = declared;
      return 1;
    }
    MEM_FREE(out, int64_t(declared) + 1);
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "Data store uncompress error (%d)\n", code);
  return 0;
}

// The block form at p; end is the region's end.
int executableReadBlock(const uint8_t *p, const uint8_t *end, char **data, int64_t *size) {
  if (end - p < 6) return 0;  // not even the version
  int longHeader = uint8_t(p[5] - '0') > 2;
  int64_t headerBytes = longHeader ? 20 : 16;
  if (end - p < headerBytes) return 0;
  uint32_t capacityKiB = ExecutableFile_Load16(p + 6, true);
  uint32_t storedLength = ExecutableFile_Load32(p + 8, true);
  uint32_t declared = longHeader ? ExecutableFile_Load32(p + 12, true) : 0;
  uint32_t storedCrc = ExecutableFile_Load32(p + headerBytes - 4, true);
  int64_t areaBytes = int64_t(capacityKiB) * 1024;
  if (storedLength > areaBytes) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Data store size greater than allowed (%d > %d)\n",
              int(storedLength), int(capacityKiB));
    return 0;
  }
  const uint8_t *area = p + headerBytes;
  if (end - area < areaBytes) return 0;  // the data area would pass the region
  static constexpr uint8_t kZero[4] = {};
  uLong crc = crc32(0, p, uInt(headerBytes - 4));
  crc = crc32(crc, kZero, 4);
  crc = crc32(crc, area, uInt(areaBytes));
  if (uint32_t(crc) != storedCrc) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Data store crc hash invalid (0x%08x != 0x%08x)\n", storedCrc,
              uint32_t(crc));
    return 0;
  }
  if (longHeader && declared != 0)
    return executableInflate(area, storedLength, declared, data, size);
  executableCopyOut(area, storedLength, data, size);
  return 1;
}

int executableVersionSlot(const char *name, char *argument, char *out, int outSize) {
  if (outSize < kExecutableMacroOutputBytes) return 0;
  // The expander gives "" for a macro without ':'; that means our own file.
  return Executable_VersionMacro(nullptr, name, argument[0] ? argument : nullptr, out);
}

}  // namespace

int Executable_FindDataStore(const uint8_t *region, int64_t regionSize, char **data,
                             int64_t *size) {
  CHECK_POINTER(data);
  CHECK_POINTER(size);
  *data = nullptr;
  *size = 0;
  if (region == nullptr || regionSize <= 0) return 0;
  const char *bytes = reinterpret_cast<const char *>(region);
  const uint8_t *end = region + regionSize;
  const char *mark = nullptr;
  if (Mem_Find(bytes, regionSize, kDataStoreTextMark, kDataStoreTextMarkBytes, &mark)) {
    const uint8_t *text = reinterpret_cast<const uint8_t *>(mark) + kDataStoreTextMarkBytes;
    int64_t room = end - text;
    int64_t limit = room < kExecutableDataStoreTextBytes ? room : kExecutableDataStoreTextBytes;
    const void *nul = memchr(text, 0, size_t(limit));
    // Without a NUL the text must run its full length inside the region.
    if (nul == nullptr && room < kExecutableDataStoreTextBytes) return 0;
    int64_t length = nul ? static_cast<const uint8_t *>(nul) - text : limit;
    executableCopyOut(text, length, data, size);
    return 1;
  }
  if (!Mem_Find(bytes, regionSize, kDataStoreBlockMark, kDataStoreBlockMarkBytes, &mark))
    return 0;
  return executableReadBlock(reinterpret_cast<const uint8_t *>(mark), end, data, size);
}

int Executable_ReadDataStore(const char *path, char **data, int64_t *size) {
  CHECK_POINTER(data);
  CHECK_POINTER(size);
  *data = nullptr;
  *size = 0;
  if (path == nullptr) path = gExecutable.path;
  if (path[0] == '\0') return 0;
  ExecutableFile file(path);
  Stream *stream = file.stream();
  if (stream == nullptr) return 0;
  uint64_t offset = 0;
  uint64_t regionSize = 0;
  uint32_t size32 = 0;
  if (PEFile_IsPEStream(stream)) {
    if (!PEFile_GetSecurityDirectory(stream, &offset, &size32)) return 0;
    regionSize = size32;
  } else if (DMGFile_IsDMG(stream)) {
    if (!DMGFile_GetSignatureRange(stream, &offset, &size32)) return 0;
    regionSize = size32;
  } else if (ELFFile_IsELFStream(stream)) {
    if (!ELFFile_FindSection(stream, ".datastore", &offset, &regionSize)) return 0;
  } else {
    return 0;
  }
  uint64_t fileSize = uint64_t(ExecutableFile_Size(stream));
  if (regionSize == 0 || regionSize > uint64_t(kExecutableMaxRegionBytes) || offset > fileSize ||
      regionSize > fileSize - offset)
    return 0;
  std::vector<uint8_t> region(regionSize);
  if (!ExecutableFile_ReadAt(stream, int64_t(offset), region.data(), int64_t(regionSize)))
    return 0;
  return Executable_FindDataStore(region.data(), int64_t(regionSize), data, size);
}

// ---- The own file ---------------------------------------------------------

int Executable_Init(void) {
  if (gExecutable.table == nullptr) Dictionary_Create(&gExecutable.table);
  Str_SetExpandHandler(StrExpandSlot::Version, executableVersionSlot);
  char path[kPathMax];
  if (!Platform_GetModuleFileName(nullptr, path, sizeof path) ||
      !Path_Normalize(path, sizeof path, kPathRemoveTrailing))
    return 0;
  return Executable_SetOwnPath(path);
}

int Executable_Shutdown(void) {
  Str_SetExpandHandler(StrExpandSlot::Version, nullptr);
  if (gExecutable.table != nullptr) Dictionary_Release(&gExecutable.table);
  gExecutable.path[0] = '\0';
  return 1;
}

int Executable_SetOwnPath(const char *path) {
  CHECK_POINTER(path);
  if (strlen(path) >= size_t(kExecutablePathBytes)) return 0;
  Str_Copy(gExecutable.path, path, kExecutablePathBytes);
  if (gExecutable.table != nullptr) {
    Dictionary_Clear(gExecutable.table);
    Executable_ReadVersionTable(gExecutable.path, gExecutable.table);
  }
  return 1;
}

const char *Executable_GetOwnPath(void) { return gExecutable.path; }

// ---- Dispatch -------------------------------------------------------------

int Executable_IsExecutable(const char *path) {
  CHECK_POINTER(path);
  if (!Path_Exists(path)) return 0;
  return PEFile_IsPE(path) || MachOFile_IsMachO(path) || PKGFile_IsPKG(path) ||
         ELFFile_IsELF(path);
}

int Executable_IsSignatureValid(CertStore *store, const char *path) {
  CHECK_POINTER(store);
  CHECK_POINTER(path);
  if (!Path_Exists(path)) return 0;
  if (PEFile_IsPE(path)) return PEFile_VerifySignature(store, path);
  if (MachOFile_IsMachO(path)) return MachOFile_VerifySignature(store, path);
  if (PKGFile_IsPKG(path)) return PKGFile_VerifySignature(store, path);
  if (ELFFile_IsELF(path)) return ELFFile_VerifySignature(store, path);
  return 0;
}

int Executable_ReadVersionTable(const char *path, Dictionary *table) {
  CHECK_POINTER(path);
  CHECK_POINTER(table);
  if (MachOFile_IsBundle(path)) return MachOFile_ReadVersionInfo(path, table);
  if (Path_IsDirectory(path) || MachOFile_IsMachO(path)) return 0;
  if (PEFile_IsPE(path)) return PEFile_ReadVersionInfo(path, table);
  if (ELFFile_IsELF(path)) return ELFFile_ReadVersionInfo(path, table);
  return 0;
}

int Executable_CopyVersionField(Dictionary *table, const char *field, char *out, int size) {
  CHECK_POINTER(table);
  CHECK_POINTER(field);
  CHECK_POINTER(out);
  const char *text = nullptr;
  int32_t length = 0;
  if (!Dictionary_GetTextByKey(table, field, &text, &length) || text == nullptr) return 0;
  if (size > 0) Str_CopyN(out, size, text, length);
  return 1;
}

int Executable_GetVersionField(const char *path, const char *field, char *out, int size) {
  CHECK_POINTER(out);
  CHECK_POINTER(field);
  if (size > 0) out[0] = '\0';
  char resolved[kExecutablePathBytes];
  if (path == nullptr || path[0] == '\0') {
    Str_Copy(resolved, gExecutable.path, sizeof resolved);
  } else if (!Path_Resolve(path, resolved, sizeof resolved) ||
             !Path_Normalize(resolved, sizeof resolved, kPathRemoveTrailing)) {
    return 0;
  }
  if (gExecutable.table != nullptr && strcmp(resolved, gExecutable.path) == 0)
    return Executable_CopyVersionField(gExecutable.table, field, out, size);
  Dictionary *table = nullptr;
  Dictionary_Create(&table);
  int result = Executable_ReadVersionTable(resolved, table) &&
               Executable_CopyVersionField(table, field, out, size);
  Dictionary_Release(&table);
  return result;
}

int Executable_VersionMacro(void *, const char *name, const char *argument, char *out) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  static constexpr struct {
    const char *macro;
    const char *field;
  } kFields[] = {{"FileVersion", "FileVersion"},
                 {"ProductVersion", "ProductVersion"},
                 {"CompanyName", "CompanyName"},
                 {"ProductName", "ProductName"}};
  for (const auto &f : kFields) {
    if (Str_CompareNoCase(name, f.macro) != 0) continue;
    Executable_GetVersionField(argument, f.field, out, kExecutableMacroOutputBytes);
    return 1;
  }
  if (strncasecmp(name, "Copyright", 9) == 0) {
    Executable_GetVersionField(argument, "LegalCopyright", out, kExecutableMacroOutputBytes);
    return 1;
  }
  if (Str_CompareNoCase(name, "DataStore") != 0 && Str_CompareNoCase(name, "FileDataStore") != 0)
    return 0;
  char *data = nullptr;
  int64_t size = 0;
  if (!Executable_ReadDataStore(argument, &data, &size)) return 1;
  int64_t limit = size + 1 < kExecutableMacroOutputBytes ? size + 1 : kExecutableMacroOutputBytes;
  Str_CopyN(out, int(limit), data, int(limit - 1));
  MEM_FREE(data, size + 1);
  return 1;
}
