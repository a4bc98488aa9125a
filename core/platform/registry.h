// Registry: the program's settings store of keys and typed values, named by
// class ("user", "machine", ...), view and a key path. A small key object
// (open, create, close, delete a subtree, query, set, delete and enumerate
// values) sits over the hive store (core/posix/hive.cpp, SQLite files); the
// by-name interface opens, works and closes for each call and passes every
// key through the whitelist first; the macro handler answers
// {Registry:view,class,key\value}.
//
// Hives here: "user" is the process's own account
// (~/.local/share/keelson/registry/user.db below the passwd home), "machine"
// is /var/lib/keelson/registry/machine.db (root writes, everyone reads),
// "root" reads user\Software\Classes, then machine\SOFTWARE\Classes and
// writes to the machine side as root, else to the user side; "desktopuser"
// is the desktop user's "user" hive when the process runs as root (touched
// only under that user's file-system identity), else "user". "performance",
// "config" and code 7 are refused (50). Views are accepted and ignored.
//
// Invariants: (1) a key path is canonical before anything reads or writes it:
// split at '\\' and '/', empty components dropped, joined with '\\'; a path
// with a "." or ".." component or longer than kRegistryPathBytes - 1 is
// refused, so the key that the whitelist judged is exactly the key opened.
// (2) key and value names compare with ASCII case folding. (3) each write is
// one transaction: a failure (busy time-out, full disk, no rights) leaves the
// hive as it was. (4) texts read back are bounded by bytes and terminated; a
// value that does not fit the caller's buffer is a failure, never cut.
// (5) an operation that answers 0 has set the thread's last error
// (Platform_GetLastError) and logged where it failed.
//
// Threads: any thread. A key object belongs to one thread at a time. The
// whitelists are filled on the main thread during start (Registry_Init,
// Registry_AddWhitelistPath) and only read afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

// Class codes; the names come in this order ("unknown", "user",
// "performance", "machine", "root", "config", "desktopuser").
enum RegistryClass : int {
  kRegistryClassUnknown = 0,
  kRegistryClassUser = 1,
  kRegistryClassPerformance = 2,
  kRegistryClassMachine = 3,
  kRegistryClassRoot = 4,
  kRegistryClassConfig = 5,
  kRegistryClassDesktopUser = 6,
  kRegistryClassUsers = 7,  // the desktop system's all-users root; no name, refused here
};
// The highest class code that the whitelist accepts.
constexpr int PLATFORM_REGISTRYCLASS_DESKTOPUSER = kRegistryClassDesktopUser;

// Views ("default", "32", "64"). There is one view here; the others are
// accepted and ignored.
enum RegistryView : int {
  kRegistryViewDefault = 0,
  kRegistryView32 = 1,
  kRegistryView64 = 2,
};

// Access codes of the key object.
constexpr int kRegistryAccessAll = 1;
constexpr int kRegistryAccessRead = 2;

// Value types kept by the store. 1, 2 and 7 are the string types and are
// interchangeable on reading.
constexpr uint32_t kRegistryTypeString = 1;
constexpr uint32_t kRegistryTypeExpandString = 2;
constexpr uint32_t kRegistryTypeBinary = 3;
constexpr uint32_t kRegistryTypeInt32 = 4;
constexpr uint32_t kRegistryTypeMultiString = 7;
constexpr uint32_t kRegistryTypeInt64 = 11;

// A key path, terminator included.
constexpr int kRegistryPathBytes = 320;
// Last errors of the value reads beside the platform's codes: the value is
// larger than the caller's buffer, and an enumeration index past the end.
constexpr int kRegistryErrorMoreData = 234;
constexpr int kRegistryErrorNoMoreItems = 259;

constexpr uint32_t kRegistryKeyTag = 0x77f3fc3d;
constexpr uint32_t kRegistryGlobalTag = 0x0d9c00a3;

struct RegistryKey;
struct SecurityDescriptor;

// ---- Names ------------------------------------------------------------------

// The index of a class or view name (ASCII case folded); 0 for a name not in
// the table. Stop on NULL.
int Registry_ClassFromName(const char *name);
int Registry_ViewFromName(const char *name);

// Writes the canonical form of path (invariant 1) into out (kRegistryPathBytes).
// 1; 0 with out empty and a log line when the path has a "." or ".."
// component or does not fit. An empty result names the class root.
int Registry_CanonicalPath(const char *path, char *out);

// ---- Key object ---------------------------------------------------------------

// Opens path below the class root with access kRegistryAccessAll or
// kRegistryAccessRead (a view flag is ignored). 1 with *key set; 0 with *key
// NULL when the key does not exist (2), the class is refused (50) or the hive
// cannot be opened. Stops on a NULL key or path.
int Registry_OpenKey(RegistryKey **key, int view, int registryClass, const char *path, int access);
// Opens the key when it exists, else creates it and its missing parents in
// one transaction, with all access. Failure logs "Failed to create registry
// key (%d:%d) [%s] (0x%08X)\n".
int Registry_CreateKey(RegistryKey **key, int view, int registryClass, const char *path);
// Closes and frees the key, clears *key; the thread's last error stays as it
// was. Returns 1; NULL *key is ignored.
int Registry_CloseKey(RegistryKey **key);
// Deletes the subkey name of key with its whole subtree in one transaction.
// 0 (logged "Unable to delete registry key '%s' (0x%.8X)\n", the tree left
// as it was) when it is missing, the key was opened for reading, or the hive
// is busy past the time-out or cannot be written. An empty name is refused.
int Registry_DeleteSubKey(RegistryKey *key, const char *name);
// Reads the value name (NULL or "": the key's default value). The stored type
// must equal expectedType or both must be string types. A string comes back
// as terminated UTF-8 up to its first NUL (the first string of a
// multi-string), *outSize its length without the terminator; other types
// come back as their bytes, *outSize their count. 0 with *outSize 0 when the
// value is missing (2) or of another type (193); 0 with *outSize the bytes it
// needs (a string's terminator included) and kRegistryErrorMoreData when it
// is larger than size (out then holds an empty text).
int Registry_QueryValue(RegistryKey *key, uint32_t expectedType, const char *name, void *out,
                        uint32_t size, uint32_t *outSize);
// Writes (replaces) the value name with type and size bytes of data. A key
// opened for reading refuses (5). Failure logs "Unable to set registry value
// '%s' (%d)\n".
int Registry_SetValue(RegistryKey *key, const char *name, uint32_t type, const void *data,
                      uint32_t size);
// Deletes the value name; 0 when it is missing (2).
int Registry_RemoveValue(RegistryKey *key, const char *name);
// The value at index in name order: its name (nameSize bytes), type and up
// to dataSize bytes of data (*dataLength the stored length). 0 with
// kRegistryErrorNoMoreItems past the end; 0 with kRegistryErrorMoreData
// (name and type still set) when the name or the data does not fit.
int Registry_EnumValue(RegistryKey *key, uint32_t index, char *name, int nameSize,
                       uint32_t *type, void *data, uint32_t dataSize, uint32_t *dataLength);
// Records the descriptor's group on the key. The store has no per-key access
// control, so this only keeps the name. 1/0.
int Registry_SetKeySecurity(RegistryKey *key, const SecurityDescriptor *descriptor);

// ---- By name -----------------------------------------------------------------
//
// view and registryClass are names ("64", "machine"); a class name not in the
// table refuses. Every key path is made canonical, authorised (read: access
// 0, write: access 1) and opened exactly as authorised; a refused open is a
// plain 0 for the caller.

int Registry_KeyExists(const char *view, const char *registryClass, const char *key);
int Registry_CreateKeyByName(const char *view, const char *registryClass, const char *key);
// Never deletes the class root (an empty key path).
int Registry_DeleteKey(const char *view, const char *registryClass, const char *key);
int Registry_DeleteValue(const char *view, const char *registryClass, const char *key,
                         const char *name);
// Create or open the key for writing; a securityGroup other than "default"
// must make a descriptor ("Failed to change registry security for group
// '%s' (%d)\n" and 0 before writing when not). Then write the value.
int Registry_SetString(const char *view, const char *securityGroup, const char *registryClass,
                       const char *key, const char *name, const char *value);
int Registry_SetInt32(const char *view, const char *securityGroup, const char *registryClass,
                      const char *key, const char *name, int32_t value);
int Registry_SetInt64(const char *view, const char *securityGroup, const char *registryClass,
                      const char *key, const char *name, int64_t value);
int Registry_SetBinary(const char *view, const char *securityGroup, const char *registryClass,
                       const char *key, const char *name, const void *data, uint32_t size);
// A 32-bit value; else *out = defaultValue and 0.
int Registry_GetInt32(const char *view, const char *registryClass, const char *key,
                      const char *name, int32_t defaultValue, int32_t *out);
// A 64-bit value, else a 32-bit value sign-extended; else the default and 0.
int Registry_GetInt64(const char *view, const char *registryClass, const char *key,
                      const char *name, int64_t defaultValue, int64_t *out);
// Any value of a type other than the string types, in a new block of
// *size + 1 zero-filled bytes (free with MEM_FREE(*data, *size + 1)). When
// nothing was read: with defaultSize > 0 a copy of the default in a block of
// defaultSize + 1 bytes, else *data NULL and *size 0; the result is 0.
int Registry_GetBinary(const char *view, const char *registryClass, const char *key,
                       const char *name, const void *defaultData, uint32_t defaultSize,
                       void **data, uint32_t *size);
// The value as text: a string type as stored (the first string of a
// multi-string), a 64-bit value "%lld", a 32-bit value "%d". When nothing
// could be read (missing, binary, too large for size) the default is copied
// and the result is 0.
int Registry_QueryString(const char *view, const char *registryClass, const char *key,
                         const char *name, const char *defaultValue, char *out, int size);

// ---- Whitelist --------------------------------------------------------------------

// access 0 read, 1 write. 1 allowed, 0 refused (refusals log "Registry path
// not found in whitelist (%d) (%s)\n"). A path with "." or ".." components is
// refused. Stops the program on a class above
// PLATFORM_REGISTRYCLASS_DESKTOPUSER ("Assertion failed (Value >= 0 && Value
// <= PLATFORM_REGISTRYCLASS_DESKTOPUSER)\nRegistry class out side of range")
// or a NULL path.
int Registry_Authorize(int access, int registryClass, const char *path);
// Adds a path prefix ("machine\\SOFTWARE\\Vendor") to the read-write
// (readWrite 1) or read-only list, canonical with a trailing '\\'. Returns 1;
// 0 when Registry_Init has not run or the path is too long to be an entry.
int Registry_AddWhitelistPath(int readWrite, const char *path);

// ---- Macro and life ------------------------------------------------------------------

// {Registry:view,class,key\value}: 0 when name is not "Registry" (ASCII case
// folded); else 1 with out (kStrExpandOutputBytes) holding the value's text
// or "" (Registry_QueryString with default "").
int Registry_MacroHandler(const char *name, const char *argument, char *out);

// Create and free the registry global and its empty whitelists; a second
// Init changes nothing. Both return 1.
int Registry_Init(void);
int Registry_Shutdown(void);
