// The credential store: one JSON document per user, replaced atomically
// under a lock file; see core/platform/credential.h.
#include "core/platform/credential.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/runtime/core.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/filereplace.h"
#include "core/platform/platform.h"
#include "core/platform/privatefile.h"
#include "core/posix/errors.h"
#include "core/posix/nolinks.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"

namespace {

constexpr const char *kCredentialFileName = "credentials";
// Writers lock this file, not the document: the document is replaced by a
// rename, so a lock on it would guard the old inode.
constexpr const char *kCredentialLockName = "credentials.lock";
// The temporary files FileReplace makes beside the document.
constexpr const char *kCredentialTempPattern = "credentials.tmp.XXXXXX";
constexpr const char *kCredentialUserKey = "user";
constexpr const char *kCredentialPasswordKey = "password";
// A document larger than this is not ours to parse (a target holds at most
// two 8 KiB texts; this leaves room for thousands).
constexpr off_t kCredentialMaxDocumentBytes = 64 << 20;

char gCredentialTestDirectory[kPathMax];

int credentialDirectory(char *out, int size) {
  if (gCredentialTestDirectory[0]) return Str_Set(out, gCredentialTestDirectory, size);
  // The program's data directory, without its closing '/'.
  if (!Platform_GetAppDataDirectory(out, size)) return 0;
  size_t length = strlen(out);
  if (length > 1 && out[length - 1] == '/') out[length - 1] = '\0';
  return 1;
}

// The directory and its missing parents, each new one 0700 (root's 0755),
// reached without
// following a link anywhere on the way (a link planted there would have the
// store chmod and write whatever directory it names). The directory itself
// may have been made before by someone else (the log makes the
// application's data directory 0755): the store keeps its files only in a
// directory of the effective user's, and tightens a user's to 0700. Root's
// is the machine's data directory, whose machine hive everyone reads: it
// only loses group and other write (the document and its lock are 0600).
int credentialMakeDirectory(const char *directory) {
  int fd = FsDirectory_OpenNoLinks(directory, INT_MAX, geteuid() == 0 ? 0755 : 0700);
  if (fd < 0) return 0;
  struct stat st;
  int ok = fstat(fd, &st) == 0 ? 1 : POSIX_FAIL("fstat", directory);
  if (ok && st.st_uid != geteuid()) {
    Log_Print(LOG_WARNING, KSRC, 0, "Credential directory is not the user's own (%s)\n",
              directory);
    ok = POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EACCES, "owner", directory);
  }
  mode_t wanted = geteuid() == 0 ? (st.st_mode & 07755) : 0700;
  if (ok && (st.st_mode & 07777) != wanted && fchmod(fd, wanted) != 0)
    ok = POSIX_FAIL("fchmod", directory);
  close(fd);
  return ok;
}

// Whether the store's directory is there and reached without a link: 1
// with *missing set when it is not there at all.
int credentialCheckDirectory(const char *directory, bool *missing) {
  *missing = false;
  int fd = FsDirectory_OpenNoLinks(directory, 0, 0);
  if (fd >= 0) {
    close(fd);
    return 1;
  }
  int code = Platform_GetLastError();
  *missing = code == kPlatformErrorFileNotFound || code == kPlatformErrorPathNotFound;
  return *missing ? 1 : 0;
}

int credentialJoin(char *out, const char *directory, const char *name) {
  if (Str_Printf(out, kPathMax, "%s/%s", directory, name) >= kPathMax - 1) {
    Platform_SetLastError(kPlatformErrorNameTooLong);
    return 0;
  }
  return 1;
}

// Reads the whole document into a new block (*text, *length; the block is
// *length + 1 bytes). 1 with *text NULL when there is no document yet.
int credentialReadFile(const char *path, char **text, int32_t *length) {
  *text = nullptr;
  *length = 0;
  int fd;
  do fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT ? 1 : POSIX_FAIL("open", path);
  struct stat st;
  int ok = fstat(fd, &st) == 0 ? 1 : POSIX_FAIL("fstat", path);
  // Another user's document (planted where ours belongs) is never trusted.
  if (ok && (!S_ISREG(st.st_mode) || st.st_uid != geteuid()))
    ok = POSIX_FAIL_CODE(kPlatformErrorAccessDenied, EACCES, "owner", path);
  if (ok && st.st_size > kCredentialMaxDocumentBytes)
    ok = POSIX_FAIL_CODE(kPlatformErrorBadFormat, EFBIG, "size", path);
  if (ok) ok = PrivateFile_ReadOpen(fd, path, st.st_size, text, length);
  close(fd);
  return ok;
}

// The document as a tree: *document is a root whose one keyless item is the
// object of targets (*targets). A missing document gives an empty object.
int credentialLoad(const char *path, Dictionary **document, Dictionary **targets) {
  *document = nullptr;
  *targets = nullptr;
  char *text = nullptr;
  int32_t length = 0;
  if (!credentialReadFile(path, &text, &length)) return 0;
  Dictionary *root = nullptr;
  Dictionary_Create(&root);
  int ok = 1;
  if (text == nullptr || length == 0) {
    Dictionary_AddDictionary(root, nullptr, targets, nullptr);
  } else {
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetDictionary(json, root);
    ok = Json_ParseMemory(json, text, length);
    Json_Release(&json);
    DictionaryItem *first = nullptr;
    DictionaryType type = kDictionaryTypeUnknown;
    int32_t count = 0;
    Dictionary_GetCount(root, &count);
    if (ok && count == 1 && Dictionary_GetFirstItem(root, &first) &&
        Dictionary_GetItemType(root, first, &type) && type == kDictionaryTypeDictionary) {
      Dictionary_Unwrap(root, targets);
    } else {
      ok = 0;
    }
    if (!ok) {
      Log_Print(LOG_WARNING, KSRC, 0, "Credential document is not a JSON object (%s)\n", path);
      Platform_SetLastError(kPlatformErrorBadFormat);
    }
  }
  if (text) MEM_FREE(text, size_t(length) + 1);
  if (!ok) {
    Dictionary_Release(&root);
    *targets = nullptr;
    return 0;
  }
  *document = root;
  return 1;
}

// Replaces the document with the tree: a temporary file beside it, synced,
// renamed over it, then the directory synced so the rename survives a crash.
int credentialSave(const char *path, Dictionary *document) {
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetDictionary(json, document);
  Json_SetCompact(json, 1);
  int32_t length = 0;
  Json_GetWriteLength(json, &length);
  auto *text = static_cast<char *>(MEM_ALLOC(size_t(length) + 1, MEM_ZEROED));
  int32_t written = 0;
  int ok = Json_WriteMemory(json, text, length + 1, &written);
  Json_Release(&json);
  FileReplace replace;
  if (ok) ok = FileReplace_Begin(&replace, path);
  if (ok) {
    // 0600 whatever mode the old document was given meanwhile.
    if (fchmod(replace.fd, 0600) != 0) ok = POSIX_FAIL("fchmod", path);
    if (ok) ok = FileReplace_Write(&replace, text, size_t(written));
    if (ok) ok = FileReplace_Commit(&replace);
    else FileReplace_Abort(&replace);
  }
  MEM_FREE(text, size_t(length) + 1);
  return ok;
}

// Removes the temporary files of writers that were killed before their
// rename. Called under the lock, so no live writer owns one.
void credentialRemoveStaleTemps(const char *directory) {
  DIR *listing = opendir(directory);
  if (listing == nullptr) return;
  size_t prefix = strlen(kCredentialTempPattern) - 6;  // "credentials.tmp."
  while (struct dirent *entry = readdir(listing)) {
    if (strlen(entry->d_name) == strlen(kCredentialTempPattern) &&
        strncmp(entry->d_name, kCredentialTempPattern, prefix) == 0)
      unlinkat(dirfd(listing), entry->d_name, 0);
  }
  closedir(listing);
}

// Removes every entry of target.
bool credentialRemove(Dictionary *targets, const char *target) {
  bool removed = false;
  while (Dictionary_RemoveKey(targets, target)) removed = true;
  return removed;
}

// The directory made, and the writers' lock held on return (fd in *lockFd).
int credentialLock(const char *directory, int *lockFd) {
  *lockFd = -1;
  char lockPath[kPathMax];
  if (!credentialMakeDirectory(directory) ||
      !credentialJoin(lockPath, directory, kCredentialLockName))
    return 0;
  int fd;
  do fd = open(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return POSIX_FAIL("open", lockPath);
  int rc;
  do rc = flock(fd, LOCK_EX);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int ok = POSIX_FAIL("flock", lockPath);
    close(fd);
    return ok;
  }
  *lockFd = fd;
  return 1;
}

// The kinds a caller's kind stands for.
int credentialKinds(int kind, int kinds[2]) {
  if (kind == kCredentialGroupBasic) {
    kinds[0] = 2;
    kinds[1] = 3;
    return 2;
  }
  if (kind == kCredentialGroupNegotiate) {
    kinds[0] = 4;
    kinds[1] = 5;
    return 2;
  }
  kinds[0] = kind;
  return 1;
}

}  // namespace

int Platform_CredentialWrite(const char *target, const char *userName, const char *password) {
  CHECK_POINTER(target);
  char directory[kPathMax];
  char path[kPathMax];
  if (!credentialDirectory(directory, sizeof directory) ||
      !credentialJoin(path, directory, kCredentialFileName))
    return 0;
  int lockFd = -1;
  if (!credentialLock(directory, &lockFd)) return 0;
  Dictionary *document = nullptr;
  Dictionary *targets = nullptr;
  credentialRemoveStaleTemps(directory);
  int ok = credentialLoad(path, &document, &targets);
  if (ok) {
    bool removed = credentialRemove(targets, target);
    if (userName && password) {
      Dictionary *entry = nullptr;
      Dictionary_AddDictionary(targets, target, &entry, nullptr);
      Dictionary_AddString(entry, kCredentialUserKey, userName, nullptr);
      Dictionary_AddString(entry, kCredentialPasswordKey, password, nullptr);
      ok = credentialSave(path, document);
    } else if (removed) {
      ok = credentialSave(path, document);
    } else {
      Platform_SetLastError(kPlatformErrorFileNotFound);
      ok = 0;
    }
  }
  if (document) Dictionary_Release(&document);
  close(lockFd);  // drops the lock
  return ok;
}

int Platform_CredentialRead(const char *target, char *userName, int size, char *password) {
  CHECK_POINTER(target);
  CHECK_POINTER(userName);
  CHECK_POINTER(password);
  if (size > 0) userName[0] = '\0';
  password[0] = '\0';
  char directory[kPathMax];
  char path[kPathMax];
  if (!credentialDirectory(directory, sizeof directory) ||
      !credentialJoin(path, directory, kCredentialFileName))
    return 0;
  bool missing = false;
  if (!credentialCheckDirectory(directory, &missing)) return 0;
  if (missing) {
    Platform_SetLastError(kPlatformErrorFileNotFound);
    return 0;
  }
  Dictionary *document = nullptr;
  Dictionary *targets = nullptr;
  if (!credentialLoad(path, &document, &targets)) return 0;
  Dictionary *entry = nullptr;
  const char *user = nullptr;
  const char *secret = nullptr;
  int32_t userLength = 0;
  int32_t secretLength = 0;
  int ok = Dictionary_GetDictionaryByKey(targets, target, &entry) &&
           Dictionary_GetTextByKey(entry, kCredentialUserKey, &user, &userLength) &&
           Dictionary_GetTextByKey(entry, kCredentialPasswordKey, &secret, &secretLength);
  if (!ok) {
    Platform_SetLastError(kPlatformErrorFileNotFound);
  } else if (userLength + 1 > size || secretLength + 1 > kCredentialPasswordBytes) {
    // A cut password would be sent as if it were the right one.
    Platform_SetLastError(kPlatformErrorNameTooLong);
    ok = 0;
  } else {
    memcpy(userName, user, size_t(userLength));
    userName[userLength] = '\0';
    memcpy(password, secret, size_t(secretLength));
    password[secretLength] = '\0';
  }
  Dictionary_Release(&document);
  return ok;
}

int Platform_CredentialTarget(int kind, const char *server, const char *realm, char *out) {
  CHECK_POINTER(server);
  CHECK_POINTER(out);
  char text[kCredentialTargetBytes + 64];
  int n;
  if (realm && realm[0])
    n = Str_Printf(text, sizeof text, "pelk.webget:%s:%s:%04lx", server, realm, long(kind));
  else
    n = Str_Printf(text, sizeof text, "pelk.webget:%s:%04lx", server, long(kind));
  // A cut target would name another server's credential.
  if (n > kCredentialTargetBytes - 1 || n >= int(sizeof text) - 1) {
    out[0] = '\0';
    Platform_SetLastError(kPlatformErrorNameTooLong);
    return 0;
  }
  memcpy(out, text, size_t(n) + 1);
  return 1;
}

int Platform_CredentialStore(int kind, const char *server, const char *realm, const char *userName,
                             const char *password) {
  int kinds[2] = {0, 0};
  int count = credentialKinds(kind, kinds);
  int any = 0;
  for (int i = 0; i < count; i++) {
    char target[kCredentialTargetBytes];
    if (Platform_CredentialTarget(kinds[i], server, realm, target) &&
        Platform_CredentialWrite(target, userName, password))
      any = 1;
  }
  return any;
}

int Platform_CredentialLoad(int kind, const char *server, const char *realm, char *userName,
                            int size, char *password) {
  CHECK_POINTER(userName);
  CHECK_POINTER(password);
  int kinds[2] = {0, 0};
  int count = credentialKinds(kind, kinds);
  for (int i = 0; i < count; i++) {
    char target[kCredentialTargetBytes];
    if (Platform_CredentialTarget(kinds[i], server, realm, target) &&
        Platform_CredentialRead(target, userName, size, password))
      return 1;
  }
  return 0;
}

void Credential_SetDirectoryForTest(const char *directory) {
  Str_Set(gCredentialTestDirectory, directory ? directory : "", sizeof gCredentialTestDirectory);
}
