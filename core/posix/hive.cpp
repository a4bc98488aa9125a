// The registry's key object over SQLite hive files; see core/platform/registry.h and
// core/posix/hive.h.
#include "core/posix/hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/errors.h"
#include "core/posix/nolinks.h"
#include "core/runtime/print.h"
#include "core/platform/registry.h"
#include "core/platform/securitydescriptor.h"
#include "core/runtime/str.h"

namespace {

// Below the home directory from the passwd entry, so that a root process
// finds the desktop user's file whatever its own environment says.
constexpr const char *kHiveUserDirectory = "/.local/share/keelson/registry";
constexpr const char *kHiveUserFile = "user.db";
constexpr const char *kHiveMachineDirectory = "/var/lib/keelson/registry";
constexpr const char *kHiveMachineFile = "machine.db";
// Where the class-root classes live inside the two hives.
constexpr const char *kHiveUserClasses = "Software\\Classes";
constexpr const char *kHiveMachineClasses = "SOFTWARE\\Classes";
// A key path with the class-root prefix in front.
constexpr int kHiveKeyPathBytes = kRegistryPathBytes + 32;

// The schema. Names fold ASCII case (NOCASE does exactly that); a key is
// unique per parent; parent 0 is the class root, which has no row.
constexpr const char *kHiveSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " security TEXT,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, name));";

std::atomic<int> gHiveBusyTimeoutMs{kHiveBusyTimeoutMs};
std::atomic<bool> gHiveViewLogged{false};
// The desktop user's uid, or -1 when "desktopuser" is the process's own hive.
std::atomic<int64_t> gHiveDesktopUid{-1};
// Test-only replacements of the homes and the machine directory.
char gHiveTestHomes[kPathMax];
char gHiveTestMachine[kPathMax];

// Which hive file, and under whose file-system identity it is touched.
struct HiveLocation {
  char directory[kPathMax];
  char file[kPathMax];
  uint32_t uid;     // the identity of every file-system access
  bool isMachine;   // directory 0755 and file 0644; else 0700 and 0600
};

// ---- Errors --------------------------------------------------------------------

// The program's code of a failed SQLite call: the system's error where the
// file layer failed, else the result code's meaning.
int hiveErrorCode(sqlite3 *db, int rc) {
  int primary = rc & 0xff;
  int err = db ? sqlite3_system_errno(db) : 0;
  switch (primary) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kPlatformErrorLockViolation;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kPlatformErrorAccessDenied;
    case SQLITE_FULL:
      return kPlatformErrorDiskFull;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return kPlatformErrorBadFormat;
    case SQLITE_CANTOPEN:
      if (rc == SQLITE_CANTOPEN_SYMLINK) return kPlatformErrorLinkLoop;
      return err ? PosixError_FromErrno(err) : kPlatformErrorFileNotFound;
    case SQLITE_IOERR:
      return err ? PosixError_FromErrno(err) : kPlatformErrorIo;
    default:
      return kPlatformErrorGeneral;
  }
}

// Records a failed SQLite call as the thread's last error. Returns 0.
int hiveFail(sqlite3 *db, int rc, const char *what, const char *path) {
  int code = hiveErrorCode(db, rc);
  Log_Print(LOG_DEBUG, KSRC, 0, "Registry hive %s [%s] failed: %s (%d) -> %d\n", what,
            path ? path : "", db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), rc, code);
  Platform_SetLastError(code);
  return 0;
}

// A root process touches another user's hive only as that user; when the
// switch fails nothing is touched at all.
int hiveIdentityFail(uint32_t uid) {
  Log_Print(LOG_DEBUG, KSRC, 0, "Registry hive of uid %u not touched: no identity switch\n", uid);
  Platform_SetLastError(kPlatformErrorAccessDenied);
  return 0;
}

// ---- Locations --------------------------------------------------------------------

// The home directory of uid: the passwd entry's, or the test's homes/uid.
int hiveHome(uint32_t uid, char *out, int size) {
  if (gHiveTestHomes[0]) return Str_Printf(out, size, "%s/%u", gHiveTestHomes, uid) < size - 1;
  DesktopUserAccount account;
  if (!DesktopUser_ReadAccount(uid, &account)) return 0;
  if (account.home[0] != '/')
    return POSIX_FAIL_CODE(kPlatformErrorFileNotFound, 0, "getpwuid_r", nullptr);
  return Str_Set(out, account.home, size);
}

int hiveUserLocation(uint32_t uid, HiveLocation *location) {
  char home[kPathMax];
  if (!hiveHome(uid, home, sizeof home)) return 0;
  location->uid = uid;
  location->isMachine = false;
  if (Str_Printf(location->directory, sizeof location->directory, "%s%s", home,
                 kHiveUserDirectory) >= int(sizeof location->directory) - 1 ||
      Str_Printf(location->file, sizeof location->file, "%s/%s", location->directory,
                 kHiveUserFile) >= int(sizeof location->file) - 1) {
    Platform_SetLastError(kPlatformErrorNameTooLong);
    return 0;
  }
  return 1;
}

int hiveMachineLocation(HiveLocation *location) {
  const char *directory = gHiveTestMachine[0] ? gHiveTestMachine : kHiveMachineDirectory;
  location->uid = uint32_t(geteuid());
  location->isMachine = true;
  Str_Set(location->directory, directory, sizeof location->directory);
  if (Str_Printf(location->file, sizeof location->file, "%s/%s", directory, kHiveMachineFile) >=
      int(sizeof location->file) - 1) {
    Platform_SetLastError(kPlatformErrorNameTooLong);
    return 0;
  }
  return 1;
}

// The "desktopuser" hive: the desktop user's as root, else the own one.
int hiveDesktopLocation(HiveLocation *location) {
  int64_t uid = gHiveDesktopUid.load();
  return hiveUserLocation(uid >= 0 ? uint32_t(uid) : uint32_t(geteuid()), location);
}

// ---- Connections -----------------------------------------------------------------------

// Creates the hive's directory and its missing parents (the caller runs under
// the hive's identity, so they belong to its owner), each new one with the
// hive's mode whatever the umask, following no link on the way.
int hiveMakeDirectories(const HiveLocation *location) {
  int fd = FsDirectory_OpenNoLinks(location->directory, INT_MAX,
                                   location->isMachine ? 0755 : 0700);
  if (fd < 0) return 0;
  close(fd);
  return 1;
}

// Gives a hive file its mode whatever the umask was when SQLite made it:
// everyone reads the machine hive, only the owner a user's. The journal
// takes the file's mode.
void hiveFixMode(const HiveLocation *location) {
  mode_t wanted = location->isMachine ? 0644 : 0600;
  int fd = open(location->file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) != wanted &&
      st.st_uid == uid_t(location->uid))
    fchmod(fd, wanted);
  close(fd);
}

int hiveExec(sqlite3 *db, const char *sql, const char *path) {
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? 1 : hiveFail(db, rc, sql, path);
}

// A writer killed inside a transaction leaves a hot journal, which a
// read-only connection cannot roll back: every read through it would fail
// until the next writer came by. When the reader may write the file, a
// short read-write connection rolls the journal back now.
void hiveRollBackHotJournal(const HiveLocation *location, sqlite3 *db) {
  int rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  if (rc != SQLITE_READONLY_ROLLBACK) return;
  sqlite3 *writer = nullptr;
  if (sqlite3_open_v2(location->file, &writer, SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_READWRITE,
                      nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(writer, gHiveBusyTimeoutMs.load());
    sqlite3_exec(writer, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  }
  sqlite3_close(writer);
}

// Opens the hive file. For reading a missing file is a missing key (2);
// for writing the directories, the file and the tables are made.
int hiveOpen(const HiveLocation *location, bool writable, sqlite3 **out) {
  *out = nullptr;
  if (writable && !hiveMakeDirectories(location)) return 0;
  int flags = SQLITE_OPEN_NOFOLLOW |
              (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY);
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(location->file, &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    hiveFail(db, rc, "open", location->file);
    sqlite3_close(db);
    return 0;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, gHiveBusyTimeoutMs.load());
  // Before any statement: even the pragma below meets a hot journal.
  if (!writable) hiveRollBackHotJournal(location, db);
  // A rollback journal, not WAL: a reader that may not write (the machine
  // hive as a user) cannot make WAL's shared-memory file.
  if (!hiveExec(db, "PRAGMA synchronous=FULL", location->file) ||
      (writable && (!hiveExec(db, "PRAGMA journal_mode=DELETE", location->file) ||
                    !hiveExec(db, kHiveSchema, location->file)))) {
    sqlite3_close(db);
    return 0;
  }
  if (writable) hiveFixMode(location);
  *out = db;
  return 1;
}

// A prepared statement that finalises itself.
class HiveStatement {
 public:
  HiveStatement(sqlite3 *db, const char *sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
  }
  ~HiveStatement() { sqlite3_finalize(statement_); }
  HiveStatement(const HiveStatement &) = delete;
  HiveStatement &operator=(const HiveStatement &) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  int rc() const { return rc_; }
  sqlite3_stmt *get() const { return statement_; }
  void Text(int index, const char *text) {
    sqlite3_bind_text(statement_, index, text, -1, SQLITE_TRANSIENT);
  }
  void Int(int index, int64_t value) { sqlite3_bind_int64(statement_, index, value); }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return rc_ = sqlite3_step(statement_); }

 private:
  sqlite3_stmt *statement_ = nullptr;
  int rc_;
};

// A read of a hive that was never written has no tables: no key.
bool hiveNoTables(sqlite3 *db, int rc) {
  return (rc & 0xff) == SQLITE_ERROR && strstr(sqlite3_errmsg(db), "no such table") != nullptr;
}

// The id of the child name of parent: 1 found, 0 missing (2) or failed.
int hiveFindChild(sqlite3 *db, int64_t parent, const char *name, int64_t *id) {
  HiveStatement find(db, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
  if (!find.ok()) {
    if (hiveNoTables(db, find.rc())) {
      Platform_SetLastError(kPlatformErrorFileNotFound);
      return 0;
    }
    return hiveFail(db, find.rc(), "find", name);
  }
  find.Int(1, parent);
  find.Text(2, name);
  int rc = find.Step();
  if (rc == SQLITE_ROW) {
    *id = sqlite3_column_int64(find.get(), 0);
    return 1;
  }
  if (rc == SQLITE_DONE) {
    Platform_SetLastError(kPlatformErrorFileNotFound);
    return 0;
  }
  return hiveFail(db, rc, "find", name);
}

// Walks a canonical path from parent; create adds the missing keys. The
// caller holds a write transaction when create is set.
int hiveWalk(sqlite3 *db, int64_t parent, const char *path, bool create, int64_t *id) {
  int64_t at = parent;
  const char *p = path;
  while (*p) {
    const char *end = strchr(p, '\\');
    size_t length = end ? size_t(end - p) : strlen(p);
    char name[kHiveKeyPathBytes];
    Str_CopyN(name, sizeof name, p, int(length));
    int64_t next = 0;
    if (!hiveFindChild(db, at, name, &next)) {
      if (!create || Platform_GetLastError() != kPlatformErrorFileNotFound) return 0;
      HiveStatement insert(db, "INSERT INTO keys(parent, name) VALUES(?1, ?2)");
      if (!insert.ok()) return hiveFail(db, insert.rc(), "insert key", name);
      insert.Int(1, at);
      insert.Text(2, name);
      int rc = insert.Step();
      if (rc != SQLITE_DONE) return hiveFail(db, rc, "insert key", name);
      next = sqlite3_last_insert_rowid(db);
    }
    at = next;
    p += length;
    if (*p == '\\') p++;
  }
  *id = at;
  return 1;
}

// BEGIN IMMEDIATE takes the write lock at once (waiting up to the busy
// time-out), so a transaction never fails half-way for a lock.
int hiveBegin(sqlite3 *db, const char *path) { return hiveExec(db, "BEGIN IMMEDIATE", path); }

int hiveCommit(sqlite3 *db, const char *path) {
  if (hiveExec(db, "COMMIT", path)) return 1;
  int code = Platform_GetLastError();
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  Platform_SetLastError(code);
  return 0;
}

// Rolls back, keeping the thread's last error. Returns 0.
int hiveRollback(sqlite3 *db) {
  int code = Platform_GetLastError();
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  Platform_SetLastError(code);
  return 0;
}

}  // namespace

// ---- The key object ----------------------------------------------------------------

struct RegistryKey {
  ObjectHeader header;  // tag kRegistryKeyTag; owned by one caller, not counted
  sqlite3 *db;
  int64_t id;  // 0: the class root
  int view;
  int registryClass;
  int writable;
  uint32_t uid;  // the file-system identity of every access
  char path[kHiveKeyPathBytes];  // canonical, inside the hive (class-root prefix included)
  char file[kPathMax];
};

namespace {

void hiveNoteView(int view) {
  if (view == kRegistryViewDefault || gHiveViewLogged.exchange(true)) return;
  Log_Print(LOG_INFO, KSRC, 0, "Registry views are one here; view %d is read as the default\n",
            view);
}

// The hive of a class for reading (index 0 and, for "root", 1) or writing.
// Refused classes give 0 with 50.
int hiveLocations(int registryClass, bool writable, HiveLocation locations[2],
                  const char *prefixes[2], int *count) {
  *count = 0;
  switch (registryClass) {
    case kRegistryClassPerformance:
    case kRegistryClassConfig:
    case kRegistryClassUsers:
    case kRegistryClassUnknown:
      Platform_SetLastError(kPlatformErrorNotSupported);
      return 0;
    case kRegistryClassMachine:
      prefixes[0] = "";
      *count = 1;
      return hiveMachineLocation(&locations[0]);
    case kRegistryClassDesktopUser:
      prefixes[0] = "";
      *count = 1;
      return hiveDesktopLocation(&locations[0]);
    case kRegistryClassRoot:
      if (writable) {
        *count = 1;
        if (geteuid() == 0) {
          prefixes[0] = kHiveMachineClasses;
          return hiveMachineLocation(&locations[0]);
        }
        prefixes[0] = kHiveUserClasses;
        return hiveUserLocation(uint32_t(geteuid()), &locations[0]);
      }
      prefixes[0] = kHiveUserClasses;
      prefixes[1] = kHiveMachineClasses;
      *count = 2;
      return hiveUserLocation(uint32_t(geteuid()), &locations[0]) &&
             hiveMachineLocation(&locations[1]);
    default:  // "user" and any other code
      prefixes[0] = "";
      *count = 1;
      return hiveUserLocation(uint32_t(geteuid()), &locations[0]);
  }
}

int hiveJoin(const char *prefix, const char *path, char *out) {
  int n = Str_Printf(out, kHiveKeyPathBytes, "%s%s%s", prefix, prefix[0] && path[0] ? "\\" : "",
                     path);
  if (n >= kHiveKeyPathBytes - 1) {
    Platform_SetLastError(kPlatformErrorNameTooLong);
    return 0;
  }
  return 1;
}

RegistryKey *hiveNewKey(sqlite3 *db, int64_t id, int view, int registryClass, bool writable,
                        const HiveLocation *location, const char *path) {
  auto *key = static_cast<RegistryKey *>(MEM_ALLOC(sizeof(RegistryKey), MEM_ZEROED));
  key->header.classTag = kRegistryKeyTag;
  key->header.refCount.store(1);
  key->db = db;
  key->id = id;
  key->view = view;
  key->registryClass = registryClass;
  key->writable = writable ? 1 : 0;
  key->uid = location->uid;
  Str_Set(key->path, path, sizeof key->path);
  Str_Set(key->file, location->file, sizeof key->file);
  return key;
}

// Opens (or, with create, creates) the key at the canonical path in one
// hive. 1 with *key set.
int hiveOpenIn(const HiveLocation *location, const char *prefix, const char *path, int view,
               int registryClass, bool writable, bool create, RegistryKey **key) {
  char full[kHiveKeyPathBytes];
  if (!hiveJoin(prefix, path, full)) return 0;
  FsIdentityScope identity(location->uid);
  if (!identity.ok()) return hiveIdentityFail(location->uid);
  sqlite3 *db = nullptr;
  if (!hiveOpen(location, writable, &db)) return 0;
  int64_t id = 0;
  int ok;
  if (create) {
    ok = hiveBegin(db, location->file);
    if (ok) ok = hiveWalk(db, 0, full, true, &id) ? hiveCommit(db, location->file)
                                                  : hiveRollback(db);
  } else {
    ok = hiveWalk(db, 0, full, false, &id);
  }
  if (!ok) {
    int code = Platform_GetLastError();
    sqlite3_close(db);
    Platform_SetLastError(code);
    return 0;
  }
  *key = hiveNewKey(db, id, view, registryClass, writable, location, full);
  return 1;
}

int hiveOpenKey(RegistryKey **key, int view, int registryClass, const char *path, bool writable,
                bool create) {
  *key = nullptr;
  hiveNoteView(view);
  char canonical[kRegistryPathBytes];
  if (!Registry_CanonicalPath(path, canonical)) {
    Platform_SetLastError(kPlatformErrorInvalidParameter);
    return 0;
  }
  HiveLocation locations[2];
  const char *prefixes[2] = {"", ""};
  int count = 0;
  if (!hiveLocations(registryClass, writable, locations, prefixes, &count)) return 0;
  for (int i = 0; i < count; i++) {
    if (hiveOpenIn(&locations[i], prefixes[i], canonical, view, registryClass, writable, create,
                   key))
      return 1;
    if (Platform_GetLastError() != kPlatformErrorFileNotFound) return 0;
  }
  return 0;
}

// Checks the key and that it may be written.
int hiveCheckWritable(RegistryKey *key) {
  if (key->writable) return 1;
  Platform_SetLastError(kPlatformErrorAccessDenied);
  return 0;
}

// Inside a write transaction: the key still exists (another process may
// have deleted it since it was opened).
int hiveKeyAlive(RegistryKey *key) {
  if (key->id == 0) return 1;
  HiveStatement find(key->db, "SELECT 1 FROM keys WHERE id = ?1");
  if (!find.ok()) return hiveFail(key->db, find.rc(), "find", key->path);
  find.Int(1, key->id);
  int rc = find.Step();
  if (rc == SQLITE_ROW) return 1;
  if (rc == SQLITE_DONE) {
    Platform_SetLastError(kPlatformErrorFileNotFound);
    return 0;
  }
  return hiveFail(key->db, rc, "find", key->path);
}

bool hiveIsStringType(uint32_t type) {
  return type == kRegistryTypeString || type == kRegistryTypeExpandString ||
         type == kRegistryTypeMultiString;
}

bool hiveKnownType(uint32_t type) {
  return hiveIsStringType(type) || type == kRegistryTypeBinary || type == kRegistryTypeInt32 ||
         type == kRegistryTypeInt64;
}

// Deletes every value and key of the subtree at id; the caller holds the
// write transaction.
int hiveDeleteTree(sqlite3 *db, int64_t id, const char *path) {
  static const char *const kStatements[] = {
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
      " SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id)"
      " DELETE FROM vals WHERE key IN tree",
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
      " SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id)"
      " DELETE FROM keys WHERE id IN tree",
  };
  for (const char *sql : kStatements) {
    HiveStatement remove(db, sql);
    if (!remove.ok()) return hiveFail(db, remove.rc(), "delete", path);
    remove.Int(1, id);
    int rc = remove.Step();
    if (rc != SQLITE_DONE) return hiveFail(db, rc, "delete", path);
  }
  return 1;
}

}  // namespace

int Registry_OpenKey(RegistryKey **key, int view, int registryClass, const char *path,
                     int access) {
  CHECK_POINTER(key);
  *key = nullptr;
  CHECK_POINTER(path);
  return hiveOpenKey(key, view, registryClass, path, (access & 0xff) == kRegistryAccessAll,
                     false);
}

int Registry_CreateKey(RegistryKey **key, int view, int registryClass, const char *path) {
  CHECK_POINTER(key);
  *key = nullptr;
  CHECK_POINTER(path);
  if (hiveOpenKey(key, view, registryClass, path, true, true)) return 1;
  int code = Platform_GetLastError();
  Log_Print(LOG_DEBUG, KSRC, 0, "Failed to create registry key (%d:%d) [%s] (0x%08X)\n", view,
            registryClass, path, uint32_t(code));
  Platform_SetLastError(code);
  return 0;
}

int Registry_CloseKey(RegistryKey **key) {
  CHECK_POINTER(key);
  RegistryKey *record = *key;
  if (record == nullptr) return 1;
  CLASS_CHECK(record, kRegistryKeyTag);
  *key = nullptr;
  {
    FsIdentityScope identity(record->uid);
    sqlite3_close(record->db);
  }
  record->header.classTag = 0;
  MEM_FREE(record, sizeof(RegistryKey));
  return 1;
}

int Registry_DeleteSubKey(RegistryKey *key, const char *name) {
  CLASS_CHECK(key, kRegistryKeyTag);
  CHECK_POINTER(name);
  char canonical[kRegistryPathBytes];
  char full[kHiveKeyPathBytes];
  int ok = Registry_CanonicalPath(name, canonical) && canonical[0] != '\0';
  if (!ok) Platform_SetLastError(kPlatformErrorInvalidParameter);
  Str_Printf(full, sizeof full, "%s%s%s", key->path, key->path[0] ? "\\" : "", name);
  if (ok) ok = hiveCheckWritable(key);
  if (ok) {
    FsIdentityScope identity(key->uid);
    ok = identity.ok() ? 1 : hiveIdentityFail(key->uid);
    // One transaction: a failure anywhere leaves the whole subtree in place.
    if (ok) ok = hiveBegin(key->db, key->file);
    int64_t id = 0;
    if (ok) {
      ok = hiveWalk(key->db, key->id, canonical, false, &id) &&
           hiveDeleteTree(key->db, id, full);
      ok = ok ? hiveCommit(key->db, key->file) : hiveRollback(key->db);
    }
  }
  if (ok) return 1;
  int code = Platform_GetLastError();
  Log_Print(LOG_DEBUG, KSRC, 0, "Unable to delete registry key '%s' (0x%.8X)\n", full,
            uint32_t(code));
  Platform_SetLastError(code);
  return 0;
}

int Registry_QueryValue(RegistryKey *key, uint32_t expectedType, const char *name, void *out,
                        uint32_t size, uint32_t *outSize) {
  CLASS_CHECK(key, kRegistryKeyTag);
  CHECK_POINTER(outSize);
  *outSize = 0;
  if (size > 0) CHECK_POINTER(out);
  auto *bytes = static_cast<unsigned char *>(out);
  bool wantsString = hiveIsStringType(expectedType);
  if (wantsString && size > 0) bytes[0] = '\0';
  FsIdentityScope identity(key->uid);
  if (!identity.ok()) return hiveIdentityFail(key->uid);
  HiveStatement query(key->db, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2");
  if (!query.ok()) return hiveFail(key->db, query.rc(), "query", name);
  query.Int(1, key->id);
  query.Text(2, name ? name : "");
  int rc = query.Step();
  if (rc == SQLITE_DONE) {
    Platform_SetLastError(kPlatformErrorFileNotFound);
    return 0;
  }
  if (rc != SQLITE_ROW) return hiveFail(key->db, rc, "query", name);
  auto type = uint32_t(sqlite3_column_int64(query.get(), 0));
  const void *data = sqlite3_column_blob(query.get(), 1);
  auto length = uint32_t(sqlite3_column_bytes(query.get(), 1));
  if (type != expectedType && !(wantsString && hiveIsStringType(type))) {
    Platform_SetLastError(kPlatformErrorBadFormat);
    return 0;
  }
  if (wantsString) {
    // The text ends at its first NUL: a multi-string gives its first string,
    // and a stored terminator is not part of the text.
    const void *nul = length ? memchr(data, 0, length) : nullptr;
    if (nul) length = uint32_t(static_cast<const unsigned char *>(nul) -
                               static_cast<const unsigned char *>(data));
    if (uint64_t(length) + 1 > size) {
      *outSize = length + 1;
      Platform_SetLastError(kRegistryErrorMoreData);
      return 0;
    }
    if (length) memcpy(bytes, data, length);
    bytes[length] = '\0';
  } else {
    if (length > size) {
      *outSize = length;
      Platform_SetLastError(kRegistryErrorMoreData);
      return 0;
    }
    if (length) memcpy(bytes, data, length);
  }
  *outSize = length;
  return 1;
}

int Registry_SetValue(RegistryKey *key, const char *name, uint32_t type, const void *data,
                      uint32_t size) {
  CLASS_CHECK(key, kRegistryKeyTag);
  if (size > 0) CHECK_POINTER(data);
  const char *valueName = name ? name : "";
  int ok = hiveCheckWritable(key);
  if (ok && (!hiveKnownType(type) || (type == kRegistryTypeInt32 && size != 4) ||
             (type == kRegistryTypeInt64 && size != 8))) {
    Platform_SetLastError(kPlatformErrorInvalidParameter);
    ok = 0;
  }
  if (ok) {
    FsIdentityScope identity(key->uid);
    ok = identity.ok() ? 1 : hiveIdentityFail(key->uid);
    if (ok) ok = hiveBegin(key->db, key->file);
    if (ok) {
      ok = hiveKeyAlive(key);
      if (ok) {
        HiveStatement insert(key->db,
                             "INSERT OR REPLACE INTO vals(key, name, type, data)"
                             " VALUES(?1, ?2, ?3, ?4)");
        ok = insert.ok() ? 1 : hiveFail(key->db, insert.rc(), "set", valueName);
        if (ok) {
          insert.Int(1, key->id);
          insert.Text(2, valueName);
          insert.Int(3, type);
          sqlite3_bind_blob(insert.get(), 4, size ? data : "", int(size), SQLITE_TRANSIENT);
          int rc = insert.Step();
          if (rc != SQLITE_DONE) ok = hiveFail(key->db, rc, "set", valueName);
        }
      }
      ok = ok ? hiveCommit(key->db, key->file) : hiveRollback(key->db);
    }
  }
  if (ok) return 1;
  int code = Platform_GetLastError();
  Log_Print(LOG_DEBUG, KSRC, 0, "Unable to set registry value '%s' (%d)\n", valueName, int(type));
  Platform_SetLastError(code);
  return 0;
}

int Registry_RemoveValue(RegistryKey *key, const char *name) {
  CLASS_CHECK(key, kRegistryKeyTag);
  if (!hiveCheckWritable(key)) return 0;
  FsIdentityScope identity(key->uid);
  if (!identity.ok()) return hiveIdentityFail(key->uid);
  HiveStatement remove(key->db, "DELETE FROM vals WHERE key = ?1 AND name = ?2");
  if (!remove.ok()) return hiveFail(key->db, remove.rc(), "delete value", name);
  remove.Int(1, key->id);
  remove.Text(2, name ? name : "");
  int rc = remove.Step();
  if (rc != SQLITE_DONE) return hiveFail(key->db, rc, "delete value", name);
  if (sqlite3_changes(key->db) == 0) {
    Platform_SetLastError(kPlatformErrorFileNotFound);
    return 0;
  }
  return 1;
}

int Registry_EnumValue(RegistryKey *key, uint32_t index, char *name, int nameSize,
                       uint32_t *type, void *data, uint32_t dataSize, uint32_t *dataLength) {
  CLASS_CHECK(key, kRegistryKeyTag);
  CHECK_POINTER(name);
  CHECK_POINTER(type);
  CHECK_POINTER(dataLength);
  if (nameSize > 0) name[0] = '\0';
  *type = 0;
  *dataLength = 0;
  if (dataSize > 0) CHECK_POINTER(data);
  FsIdentityScope identity(key->uid);
  if (!identity.ok()) return hiveIdentityFail(key->uid);
  HiveStatement query(key->db,
                      "SELECT name, type, data FROM vals WHERE key = ?1"
                      " ORDER BY name, rowid LIMIT 1 OFFSET ?2");
  if (!query.ok()) return hiveFail(key->db, query.rc(), "enumerate", key->path);
  query.Int(1, key->id);
  query.Int(2, index);
  int rc = query.Step();
  if (rc == SQLITE_DONE) {
    Platform_SetLastError(kRegistryErrorNoMoreItems);
    return 0;
  }
  if (rc != SQLITE_ROW) return hiveFail(key->db, rc, "enumerate", key->path);
  auto *text = reinterpret_cast<const char *>(sqlite3_column_text(query.get(), 0));
  *type = uint32_t(sqlite3_column_int64(query.get(), 1));
  const void *bytes = sqlite3_column_blob(query.get(), 2);
  auto length = uint32_t(sqlite3_column_bytes(query.get(), 2));
  *dataLength = length;
  if (!Str_Set(name, text ? text : "", nameSize) || length > dataSize) {
    if (nameSize > 0 && text && int(strlen(text)) >= nameSize) name[0] = '\0';
    Platform_SetLastError(kRegistryErrorMoreData);
    return 0;
  }
  if (length) memcpy(data, bytes, length);
  return 1;
}

int Registry_SetKeySecurity(RegistryKey *key, const SecurityDescriptor *descriptor) {
  CLASS_CHECK(key, kRegistryKeyTag);
  const char *group = SecurityDescriptor_GetGroupName(descriptor);
  if (!hiveCheckWritable(key)) return 0;
  if (key->id == 0) return 1;  // the class root has no row to record it on
  FsIdentityScope identity(key->uid);
  if (!identity.ok()) return hiveIdentityFail(key->uid);
  HiveStatement update(key->db, "UPDATE keys SET security = ?1 WHERE id = ?2");
  if (!update.ok()) return hiveFail(key->db, update.rc(), "security", key->path);
  update.Text(1, group);
  update.Int(2, key->id);
  int rc = update.Step();
  if (rc != SQLITE_DONE) return hiveFail(key->db, rc, "security", key->path);
  return 1;
}

// ---- The desktop user and test settings -------------------------------------------------

int Hive_GetDesktopUser(uint32_t *uid) {
  CHECK_POINTER(uid);
  int64_t value = gHiveDesktopUid.load();
  *uid = value >= 0 ? uint32_t(value) : 0;
  return value >= 0;
}

int Hive_OpenDesktopUser(void) {
  gHiveDesktopUid.store(-1);
  if (geteuid() != 0) return 1;  // "desktopuser" is the own hive
  char sid[32];
  char home[kPathMax];
  uint32_t uid = 0;
  const char *p = sid;
  bool found = Platform_GetDesktopUserSid(sid, sizeof sid) != 0 && *p != '\0';
  for (; found && *p; p++) {
    if (*p < '0' || *p > '9' || uid > (UINT32_MAX - 9) / 10) found = false;
    else uid = uid * 10 + uint32_t(*p - '0');
  }
  if (found && hiveHome(uid, home, sizeof home)) {
    gHiveDesktopUid.store(int64_t(uid));
    return 1;
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "Unable to open desktop user key, defaulting to current user\n");
  return 1;
}

int Hive_CloseDesktopUser(void) {
  gHiveDesktopUid.store(-1);
  return 1;
}

void Hive_SetDirectoriesForTest(const char *homes, const char *machine) {
  Str_Set(gHiveTestHomes, homes ? homes : "", sizeof gHiveTestHomes);
  Str_Set(gHiveTestMachine, machine ? machine : "", sizeof gHiveTestMachine);
}

void Hive_SetBusyTimeoutForTest(int milliseconds) {
  gHiveBusyTimeoutMs.store(milliseconds > 0 ? milliseconds : kHiveBusyTimeoutMs);
}
