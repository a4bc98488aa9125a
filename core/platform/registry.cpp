// The registry's names, whitelist, by-name interface and macro handler; the
// key object lives in core/posix/hive.cpp. See core/platform/registry.h.
#include "core/platform/registry.h"

#include <atomic>
#include <cstring>

#include "core/runtime/core.h"
#include "core/formats/dictionary.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/runtime/print.h"
#include "core/platform/securitydescriptor.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"

namespace {

constexpr const char *kRegistryClassNames[] = {"unknown", "user",   "performance", "machine",
                                               "root",    "config", "desktopuser"};
constexpr const char *kRegistryViewNames[] = {"default", "32", "64"};
// The group name that asks for no change of the key's security.
constexpr const char *kRegistryDefaultGroup = "default";
// A built whitelist text: class name, '\\', key path, '\\'.
constexpr int kRegistryAuthorizeBytes = kRegistryPathBytes + 32;

// The whitelists. Filled on the main thread during start, read-only after.
struct RegistryGlobal {
  uint32_t tag;  // kRegistryGlobalTag
  Dictionary *readOnly;
  Dictionary *readWrite;
};

std::atomic<RegistryGlobal *> gRegistry{nullptr};

int registryFromName(const char *name, const char *const *names, int count) {
  CHECK_POINTER(name);
  for (int i = 0; i < count; i++)
    if (Str_CompareNoCase(name, names[i]) == 0) return i;
  return 0;
}

// Canonical form of path into out (size bytes); dots are refused only when
// refuseDots is set (whitelist entries keep theirs, they can never match).
int registryCanonical(const char *path, char *out, int size, bool refuseDots) {
  int length = 0;
  out[0] = '\0';
  const char *p = path;
  while (*p) {
    while (*p == '\\' || *p == '/') p++;
    if (!*p) break;
    const char *end = p;
    while (*end && *end != '\\' && *end != '/') end++;
    int n = int(end - p);
    if (refuseDots && ((n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.'))) {
      Log_Print(LOG_WARNING, KSRC, 0, "Registry path with a '.' or '..' part refused (%s)\n",
                path);
      out[0] = '\0';
      return 0;
    }
    if (length + (length ? 1 : 0) + n > size - 1) {
      Log_Print(LOG_WARNING, KSRC, 0, "Registry path too long (%s)\n", path);
      out[0] = '\0';
      return 0;
    }
    if (length) out[length++] = '\\';
    memcpy(out + length, p, size_t(n));
    length += n;
    out[length] = '\0';
    p = end;
  }
  return 1;
}

// The first entry of list that is an ASCII-folded prefix of text.
bool registryListMatches(Dictionary *list, const char *text) {
  DictionaryItem *item = nullptr;
  for (Dictionary_GetFirstItem(list, &item); item; Dictionary_GetNextItem(list, item, &item)) {
    const char *entry = nullptr;
    if (Dictionary_GetItemStringPointer(list, item, &entry) && entry &&
        Str_StartsWithNoCase(text, entry))
      return true;
  }
  return false;
}

// The codes and canonical key path of a by-name call; 0 (87) when the class
// name is not one of ours or the path is refused.
int registryResolve(const char *view, const char *registryClass, const char *key, int *viewCode,
                    int *classCode, char *canonical) {
  CHECK_POINTER(registryClass);
  CHECK_POINTER(key);
  *viewCode = view ? Registry_ViewFromName(view) : kRegistryViewDefault;
  *classCode = Registry_ClassFromName(registryClass);
  if (*classCode < 1 || !Registry_CanonicalPath(key, canonical)) {
    Platform_SetLastError(kPlatformErrorInvalidParameter);
    return 0;
  }
  return 1;
}

// Authorised opens: read (access 0, key access 2) and write (access 1, key
// access 1, optionally creating).
int registryOpenRead(int view, int classCode, const char *canonical, RegistryKey **key) {
  *key = nullptr;
  if (!Registry_Authorize(0, classCode, canonical)) {
    Platform_SetLastError(kPlatformErrorAccessDenied);
    return 0;
  }
  return Registry_OpenKey(key, view, classCode, canonical, kRegistryAccessRead);
}

int registryOpenWrite(int view, int classCode, const char *canonical, bool create,
                      RegistryKey **key) {
  *key = nullptr;
  if (!Registry_Authorize(1, classCode, canonical)) {
    Platform_SetLastError(kPlatformErrorAccessDenied);
    return 0;
  }
  return create ? Registry_CreateKey(key, view, classCode, canonical)
                : Registry_OpenKey(key, view, classCode, canonical, kRegistryAccessAll);
}

int registryExists(int view, int classCode, const char *canonical) {
  RegistryKey *key = nullptr;
  if (!registryOpenRead(view, classCode, canonical, &key)) return 0;
  Registry_CloseKey(&key);
  return 1;
}

// Makes the descriptor of a group other than "default" (NULL *descriptor
// for "default"). 0, logged, for a group without one.
int registryGroupDescriptor(const char *group, SecurityDescriptor **descriptor) {
  *descriptor = nullptr;
  if (group == nullptr || Str_CompareNoCase(group, kRegistryDefaultGroup) == 0) return 1;
  if (SecurityDescriptor_Create(group, descriptor)) return 1;
  Log_Print(LOG_DEBUG, KSRC, 0, "Failed to change registry security for group '%s' (%d)\n", group,
            kPlatformErrorInvalidParameter);
  Platform_SetLastError(kPlatformErrorInvalidParameter);
  return 0;
}

// Creates or opens the key for writing, records the group and writes the
// value: the by-name setters' one path.
int registrySet(const char *view, const char *group, const char *registryClass, const char *key,
                const char *name, uint32_t type, const void *data, uint32_t size) {
  int viewCode = 0;
  int classCode = 0;
  char canonical[kRegistryPathBytes];
  if (!registryResolve(view, registryClass, key, &viewCode, &classCode, canonical)) return 0;
  // The group is checked before anything is created, so an unknown one
  // leaves the hive untouched.
  SecurityDescriptor *descriptor = nullptr;
  if (!registryGroupDescriptor(group, &descriptor)) return 0;
  RegistryKey *opened = nullptr;
  int ok = registryOpenWrite(viewCode, classCode, canonical, true, &opened);
  if (ok && descriptor && !Registry_SetKeySecurity(opened, descriptor)) {
    int code = Platform_GetLastError();
    Log_Print(LOG_DEBUG, KSRC, 0, "Failed to change registry security for group '%s' (%d)\n",
              group, code);
    Platform_SetLastError(code);
    ok = 0;
  }
  if (ok) ok = Registry_SetValue(opened, name, type, data, size);
  Registry_CloseKey(&opened);
  SecurityDescriptor_Release(&descriptor);
  return ok;
}

void registryPutLittleEndian(unsigned char *out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t registryGetLittleEndian(const unsigned char *in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; i--) value = (value << 8) | in[i];
  return value;
}

// Reads a number value of exactly its type's size from an open key.
int registryQueryNumber(RegistryKey *key, const char *name, uint32_t type, uint64_t *value) {
  unsigned char bytes[8];
  uint32_t length = 0;
  int expected = type == kRegistryTypeInt64 ? 8 : 4;
  if (!Registry_QueryValue(key, type, name, bytes, sizeof bytes, &length)) return 0;
  if (length != uint32_t(expected)) {
    Platform_SetLastError(kPlatformErrorBadFormat);
    return 0;
  }
  *value = registryGetLittleEndian(bytes, expected);
  return 1;
}

// Opens the by-name key for reading. 0 when refused or missing.
int registryOpenByName(const char *view, const char *registryClass, const char *key,
                       RegistryKey **opened) {
  int viewCode = 0;
  int classCode = 0;
  char canonical[kRegistryPathBytes];
  *opened = nullptr;
  return registryResolve(view, registryClass, key, &viewCode, &classCode, canonical) &&
         registryOpenRead(viewCode, classCode, canonical, opened);
}

// A copy of size bytes in a zero-filled block of size + 1.
void *registryCopyBlock(const void *data, uint32_t size) {
  auto *block = static_cast<unsigned char *>(MEM_ALLOC(size_t(size) + 1, MEM_ZEROED));
  if (size) memcpy(block, data, size);
  return block;
}

}  // namespace

// ---- Names --------------------------------------------------------------------

int Registry_ClassFromName(const char *name) {
  return registryFromName(name, kRegistryClassNames, int(std::size(kRegistryClassNames)));
}

int Registry_ViewFromName(const char *name) {
  return registryFromName(name, kRegistryViewNames, int(std::size(kRegistryViewNames)));
}

int Registry_CanonicalPath(const char *path, char *out) {
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  return registryCanonical(path, out, kRegistryPathBytes, true);
}

// ---- Whitelist --------------------------------------------------------------------

int Registry_Authorize(int access, int registryClass, const char *path) {
  CHECK_POINTER(path);
  if (!Authenticate_Enabled()) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Skipping registry authentication (%d) (%d) (%s)\n", access,
              registryClass, path);
    return 1;
  }
  RegistryGlobal *global = gRegistry.load(std::memory_order_acquire);
  if (global == nullptr) return 0;
  if (registryClass < 0 || registryClass > PLATFORM_REGISTRYCLASS_DESKTOPUSER)
    Core_Abort(KSRC,
               "Assertion failed (Value >= 0 && Value <= PLATFORM_REGISTRYCLASS_DESKTOPUSER)\n"
               "Registry class out side of range");
  char canonical[kRegistryPathBytes];
  if (!Registry_CanonicalPath(path, canonical)) return 0;
  // The key that is judged is the key that is opened: callers open exactly
  // this canonical path.
  char built[kRegistryAuthorizeBytes];
  Str_Printf(built, sizeof built, "%s\\%s%s", kRegistryClassNames[registryClass], canonical,
             canonical[0] ? "\\" : "");
  if (registryListMatches(global->readWrite, built)) return 1;
  if (access != 1 && registryListMatches(global->readOnly, built)) return 1;
  Log_Print(LOG_WARNING, KSRC, 0, "Registry path not found in whitelist (%d) (%s)\n", access,
            built);
  return 0;
}

int Registry_AddWhitelistPath(int readWrite, const char *path) {
  CHECK_POINTER(path);
  RegistryGlobal *global = gRegistry.load(std::memory_order_acquire);
  if (global == nullptr) return 0;
  char entry[kRegistryAuthorizeBytes];
  // A path too long to be an entry is dropped: cut or emptied it would allow
  // more than it says.
  if (!registryCanonical(path, entry, sizeof entry - 1, false)) return 0;
  // An empty entry stays empty: it is a prefix of every path.
  if (entry[0]) Str_Cat(entry, "\\", sizeof entry);
  Dictionary_AddString(readWrite ? global->readWrite : global->readOnly, nullptr, entry, nullptr);
  Log_Print(LOG_DEBUG, KSRC, 0, "Added %s registry path to whitelist (%s)\n",
            readWrite ? "read write" : "read only", entry);
  return 1;
}

// ---- By name ------------------------------------------------------------------------

int Registry_KeyExists(const char *view, const char *registryClass, const char *key) {
  int viewCode = 0;
  int classCode = 0;
  char canonical[kRegistryPathBytes];
  return registryResolve(view, registryClass, key, &viewCode, &classCode, canonical) &&
         registryExists(viewCode, classCode, canonical);
}

int Registry_CreateKeyByName(const char *view, const char *registryClass, const char *key) {
  int viewCode = 0;
  int classCode = 0;
  char canonical[kRegistryPathBytes];
  if (!registryResolve(view, registryClass, key, &viewCode, &classCode, canonical)) return 0;
  if (registryExists(viewCode, classCode, canonical)) return 1;
  if (!Registry_Authorize(1, classCode, canonical)) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Unable to open key '%s'\n", canonical);
    Platform_SetLastError(kPlatformErrorAccessDenied);
    return 0;
  }
  RegistryKey *opened = nullptr;
  if (!Registry_CreateKey(&opened, viewCode, classCode, canonical)) {
    int code = Platform_GetLastError();
    Log_Print(LOG_DEBUG, KSRC, 0, "Unable to create key '%s'\n", canonical);
    Platform_SetLastError(code);
    return 0;
  }
  Registry_CloseKey(&opened);
  return 1;
}

int Registry_DeleteKey(const char *view, const char *registryClass, const char *key) {
  int viewCode = 0;
  int classCode = 0;
  char canonical[kRegistryPathBytes];
  if (!registryResolve(view, registryClass, key, &viewCode, &classCode, canonical)) return 0;
  if (canonical[0] == '\0') {
    Log_Print(LOG_WARNING, KSRC, 0, "Registry class root cannot be deleted (%s)\n",
              registryClass);
    Platform_SetLastError(kPlatformErrorInvalidParameter);
    return 0;
  }
  if (!registryExists(viewCode, classCode, canonical)) return 0;
  if (!Registry_Authorize(1, classCode, canonical)) {
    Platform_SetLastError(kPlatformErrorAccessDenied);
    return 0;
  }
  char parent[kRegistryPathBytes];
  Str_Set(parent, canonical, sizeof parent);
  char *last = strrchr(parent, '\\');
  const char *name = canonical + (last ? last - parent + 1 : 0);
  if (last) *last = '\0';
  else parent[0] = '\0';
  RegistryKey *opened = nullptr;
  if (!Registry_OpenKey(&opened, viewCode, classCode, parent, kRegistryAccessAll)) return 0;
  int ok = Registry_DeleteSubKey(opened, name);
  Registry_CloseKey(&opened);  // keeps the thread's last error
  return ok;
}

int Registry_DeleteValue(const char *view, const char *registryClass, const char *key,
                         const char *name) {
  int viewCode = 0;
  int classCode = 0;
  char canonical[kRegistryPathBytes];
  if (!registryResolve(view, registryClass, key, &viewCode, &classCode, canonical) ||
      !registryExists(viewCode, classCode, canonical))
    return 0;
  RegistryKey *opened = nullptr;
  if (!registryOpenWrite(viewCode, classCode, canonical, false, &opened)) return 0;
  int ok = Registry_RemoveValue(opened, name);
  Registry_CloseKey(&opened);  // keeps the thread's last error
  return ok;
}

int Registry_SetString(const char *view, const char *securityGroup, const char *registryClass,
                       const char *key, const char *name, const char *value) {
  CHECK_POINTER(value);
  return registrySet(view, securityGroup, registryClass, key, name, kRegistryTypeString, value,
                     uint32_t(strlen(value)));
}

int Registry_SetInt32(const char *view, const char *securityGroup, const char *registryClass,
                      const char *key, const char *name, int32_t value) {
  unsigned char bytes[4];
  registryPutLittleEndian(bytes, uint32_t(value), 4);
  return registrySet(view, securityGroup, registryClass, key, name, kRegistryTypeInt32, bytes, 4);
}

int Registry_SetInt64(const char *view, const char *securityGroup, const char *registryClass,
                      const char *key, const char *name, int64_t value) {
  unsigned char bytes[8];
  registryPutLittleEndian(bytes, uint64_t(value), 8);
  return registrySet(view, securityGroup, registryClass, key, name, kRegistryTypeInt64, bytes, 8);
}

int Registry_SetBinary(const char *view, const char *securityGroup, const char *registryClass,
                       const char *key, const char *name, const void *data, uint32_t size) {
  if (size > 0) CHECK_POINTER(data);
  return registrySet(view, securityGroup, registryClass, key, name, kRegistryTypeBinary, data,
                     size);
}

int Registry_GetInt32(const char *view, const char *registryClass, const char *key,
                      const char *name, int32_t defaultValue, int32_t *out) {
  CHECK_POINTER(out);
  *out = defaultValue;
  RegistryKey *opened = nullptr;
  if (!registryOpenByName(view, registryClass, key, &opened)) return 0;
  uint64_t value = 0;
  int ok = registryQueryNumber(opened, name, kRegistryTypeInt32, &value);
  Registry_CloseKey(&opened);
  if (ok) *out = int32_t(uint32_t(value));
  return ok;
}

int Registry_GetInt64(const char *view, const char *registryClass, const char *key,
                      const char *name, int64_t defaultValue, int64_t *out) {
  CHECK_POINTER(out);
  *out = defaultValue;
  RegistryKey *opened = nullptr;
  if (!registryOpenByName(view, registryClass, key, &opened)) return 0;
  uint64_t value = 0;
  int ok = registryQueryNumber(opened, name, kRegistryTypeInt64, &value);
  if (ok) {
    *out = int64_t(value);
  } else if (registryQueryNumber(opened, name, kRegistryTypeInt32, &value)) {
    *out = int64_t(int32_t(uint32_t(value)));
    ok = 1;
  }
  Registry_CloseKey(&opened);
  return ok;
}

int Registry_GetBinary(const char *view, const char *registryClass, const char *key,
                       const char *name, const void *defaultData, uint32_t defaultSize,
                       void **data, uint32_t *size) {
  CHECK_POINTER(data);
  CHECK_POINTER(size);
  *data = nullptr;
  *size = 0;
  RegistryKey *opened = nullptr;
  int ok = 0;
  if (registryOpenByName(view, registryClass, key, &opened)) {
    static constexpr uint32_t kTypes[] = {kRegistryTypeBinary, kRegistryTypeInt32,
                                          kRegistryTypeInt64};
    for (uint32_t type : kTypes) {
      uint32_t needed = 0;
      // A first read without room gives the value's size.
      if (Registry_QueryValue(opened, type, name, nullptr, 0, &needed)) {
        *data = registryCopyBlock(nullptr, 0);
        ok = 1;
        break;
      }
      if (Platform_GetLastError() != kRegistryErrorMoreData) continue;
      void *block = MEM_ALLOC(size_t(needed) + 1, MEM_ZEROED);
      uint32_t got = 0;
      if (Registry_QueryValue(opened, type, name, block, needed, &got)) {
        *data = block;
        *size = got;
        // The block was sized for needed bytes; keep that size for the free.
        if (got != needed) {
          *data = registryCopyBlock(block, got);
          MEM_FREE(block, size_t(needed) + 1);
        }
        ok = 1;
      } else {
        MEM_FREE(block, size_t(needed) + 1);
      }
      break;
    }
    Registry_CloseKey(&opened);
  }
  if (!ok && defaultSize > 0) {
    CHECK_POINTER(defaultData);
    *data = registryCopyBlock(defaultData, defaultSize);
    *size = defaultSize;
  }
  return ok;
}

int Registry_QueryString(const char *view, const char *registryClass, const char *key,
                         const char *name, const char *defaultValue, char *out, int size) {
  CHECK_POINTER(out);
  if (size < 1) return 0;
  RegistryKey *opened = nullptr;
  int ok = 0;
  if (registryOpenByName(view, registryClass, key, &opened)) {
    uint32_t length = 0;
    uint64_t value = 0;
    char number[32];
    if (Registry_QueryValue(opened, kRegistryTypeString, name, out, uint32_t(size), &length)) {
      ok = 1;
    } else if (registryQueryNumber(opened, name, kRegistryTypeInt64, &value)) {
      Str_Printf(number, sizeof number, "%lld", static_cast<long long>(value));
      ok = Str_Set(out, number, size);
    } else if (registryQueryNumber(opened, name, kRegistryTypeInt32, &value)) {
      Str_Printf(number, sizeof number, "%d", int32_t(uint32_t(value)));
      ok = Str_Set(out, number, size);
    }
    Registry_CloseKey(&opened);
  }
  if (!ok) Str_Set(out, defaultValue ? defaultValue : "", size);
  return ok;
}

// ---- Macro and life ------------------------------------------------------------------

int Registry_MacroHandler(const char *name, const char *argument, char *out) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (Str_CompareNoCase(name, "Registry") != 0) return 0;
  char text[kStrExpandWorkBytes];
  Str_Set(text, argument ? argument : "", sizeof text);
  // view, class, then the path: split at the first two commas.
  char *view = text;
  char *registryClass = strchr(view, ',');
  char *path = nullptr;
  if (registryClass) {
    *registryClass++ = '\0';
    path = strchr(registryClass, ',');
    if (path) *path++ = '\0';
  }
  if (registryClass == nullptr || path == nullptr) {
    out[0] = '\0';
    return 1;
  }
  // The last '\\' (else the last '/') ends the key path; without either the
  // value sits at the class root.
  char *split = strrchr(path, '\\');
  if (split == nullptr) split = strrchr(path, '/');
  const char *key = "\\";
  const char *value = path;
  if (split) {
    *split = '\0';
    key = path;
    value = split + 1;
  }
  Registry_QueryString(view, registryClass, key, value, "", out, kStrExpandOutputBytes);
  return 1;
}

int Registry_Init(void) {
  if (gRegistry.load(std::memory_order_acquire) != nullptr) return 1;
  auto *global = static_cast<RegistryGlobal *>(MEM_ALLOC(sizeof(RegistryGlobal), MEM_ZEROED));
  global->tag = kRegistryGlobalTag;
  Dictionary_Create(&global->readOnly);
  Dictionary_Create(&global->readWrite);
  gRegistry.store(global, std::memory_order_release);
  return 1;
}

int Registry_Shutdown(void) {
  RegistryGlobal *global = gRegistry.exchange(nullptr, std::memory_order_acq_rel);
  if (global == nullptr) return 1;
  Dictionary_Release(&global->readOnly);
  Dictionary_Release(&global->readWrite);
  global->tag = 0;
  MEM_FREE(global, sizeof(RegistryGlobal));
  return 1;
}
