// Well-known directories (XDG base and user directories, the system's fixed
// places) and the environment; see core/platform/platform.h.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/posix/envoverlay.h"
#include "core/runtime/core.h"
#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/posix/errors.h"

extern char **environ;

namespace {

// The variables set or removed (nullopt) since start-up.
struct PathsEnvOverlay {
  std::mutex lock;
  std::map<std::string, std::optional<std::string>> values;
};
PathsEnvOverlay &pathsEnvOverlay() {
  static PathsEnvOverlay overlay;
  return overlay;
}

constexpr const char *kProgramName = "keelson";
// Debian's multiarch library directory: where the system's own libraries are.
constexpr const char *kSystemDirectory = "/usr/lib/x86_64-linux-gnu/";
// It stands for the desktop system's own directory; resolved, because /lib and
// /usr/lib are one directory on a merged /usr.
constexpr const char *kWindowsDirectory = "/usr/lib";
constexpr const char *kPipePath = "\\\\.\\pipe\\";

// The failure of a text that does not fit: out empty, 206 recorded.
int pathsTooLong(char *out, int size, const char *what) {
  if (size > 0) out[0] = '\0';
  return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, what, nullptr);
}

// out = head + tail, plus a '/' when slash is set and the text does not end
// with one already. A '/' ending head is not doubled when tail is given.
int pathsJoin(char *out, int size, const char *head, const char *tail, bool slash) {
  size_t headLength = strlen(head);
  if (tail[0] != '\0' && headLength > 0 && head[headLength - 1] == '/') headLength--;
  size_t tailLength = strlen(tail);
  const bool needSlash = tail[0] != '\0' && tail[0] != '/';
  size_t length = headLength + (needSlash ? 1 : 0) + tailLength;
  const char *last = tailLength   ? tail + tailLength - 1
                     : headLength ? head + headLength - 1
                                  : nullptr;
  const bool addSlash = slash && (last == nullptr || *last != '/');
  if (length + (addSlash ? 1 : 0) + 1 > size_t(size > 0 ? size : 0))
    return pathsTooLong(out, size, "GetPath");
  memcpy(out, head, headLength);
  size_t at = headLength;
  if (needSlash) out[at++] = '/';
  memcpy(out + at, tail, tailLength);
  at += tailLength;
  if (addSlash) out[at++] = '/';
  out[at] = '\0';
  return 1;
}

int pathsDirectory(char *out, int size, const char *text) {
  return pathsJoin(out, size, text, "", true);
}

// The user's home: $HOME when set, else the passwd entry of the effective
// user. 1, or 0 when neither names one.
int pathsHome(char *out, int size) {
  const char *home = getenv("HOME");
  if (home && home[0] != '\0') return pathsJoin(out, size, home, "", false);
  DesktopUserAccount account;
  if (!DesktopUser_ReadAccount(uint32_t(geteuid()), &account) || account.home[0] == '\0') {
    out[0] = '\0';
    return POSIX_FAIL_CODE(kPlatformErrorFileNotFound, 0, "getpwuid_r", nullptr);
  }
  return pathsJoin(out, size, account.home, "", false);
}

// An XDG base directory: $name when it holds an absolute path (a relative one
// is ignored, as the base directory rules say), else ~/fallback.
int pathsXdgBase(const char *name, const char *fallback, char *out, int size) {
  const char *value = getenv(name);
  if (value && value[0] == '/') return pathsDirectory(out, size, value);
  char home[kPathMax];
  if (!pathsHome(home, sizeof home)) return 0;
  return pathsJoin(out, size, home, fallback, true);
}

// Reads the value of key ("XDG_DESKTOP_DIR") from user-dirs.dirs into out:
// "$HOME/..." or an absolute path, quoted, backslash escapes read. 1 when
// the file names the directory.
int pathsUserDirsValue(const char *key, char *out, int size) {
  char config[kPathMax];
  char file[kPathMax];
  if (!pathsXdgBase("XDG_CONFIG_HOME", ".config", config, sizeof config) ||
      !pathsJoin(file, sizeof file, config, "user-dirs.dirs", false))
    return 0;
  FILE *f = fopen(file, "re");
  if (f == nullptr) return 0;
  char line[kPathMax];
  int found = 0;
  size_t keyLength = strlen(key);
  while (!found && fgets(line, sizeof line, f)) {
    const char *p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (strncmp(p, key, keyLength) != 0 || p[keyLength] != '=' || p[keyLength + 1] != '"') continue;
    p += keyLength + 2;
    char value[kPathMax];
    size_t n = 0;
    bool closed = false;
    for (; *p && n + 1 < sizeof value; p++) {
      if (*p == '"') {
        closed = true;
        break;
      }
      if (*p == '\\' && p[1] != '\0') p++;
      value[n++] = *p;
    }
    value[n] = '\0';
    if (!closed) continue;
    if (strncmp(value, "$HOME", 5) == 0 && (value[5] == '/' || value[5] == '\0')) {
      char home[kPathMax];
      found = pathsHome(home, sizeof home) && pathsJoin(out, size, home, value + 5, true);
    } else if (value[0] == '/') {
      found = pathsDirectory(out, size, value);
    }
  }
  fclose(f);
  return found;
}

// A user directory from user-dirs.dirs, else ~/fallback.
int pathsUserDir(const char *key, const char *fallback, char *out, int size) {
  if (pathsUserDirsValue(key, out, size)) return 1;
  char home[kPathMax];
  if (!pathsHome(home, sizeof home)) return 0;
  return pathsJoin(out, size, home, fallback, true);
}

bool pathsIsDirectory(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The program file or its directory (the module layer does the work).
int pathsModule(PlatformModule *module, bool directory, char *out, int size) {
  return directory ? Platform_GetModuleDirectory(module, out, size)
                   : Platform_GetModuleFileName(module, out, size);
}

int pathsById(int id, char *out, int size) {
  switch (id) {
    case kPathUserStartMenu: {
      char data[kPathMax];
      return pathsXdgBase("XDG_DATA_HOME", ".local/share", data, sizeof data) &&
             pathsJoin(out, size, data, "applications", true);
    }
    case kPathCommonStartMenu: return pathsDirectory(out, size, "/usr/local/share/applications");
    case kPathProgramFiles:
    case kPathProgramFiles64: return pathsDirectory(out, size, "/opt");
    case kPathUserHome: {
      char home[kPathMax];
      return pathsHome(home, sizeof home) && pathsDirectory(out, size, home);
    }
    case kPathUserDocuments: return pathsUserDir("XDG_DOCUMENTS_DIR", "Documents", out, size);
    case kPathUserDesktop: return pathsUserDir("XDG_DESKTOP_DIR", "Desktop", out, size);
    case kPathUserDownloads:
      return pathsUserDirsValue("XDG_DOWNLOAD_DIR", out, size) ||
             pathsById(kPathUserDocuments, out, size);
    case kPathUserAppData: return pathsXdgBase("XDG_DATA_HOME", ".local/share", out, size);
    case kPathUserAppDataRoaming: return pathsXdgBase("XDG_CONFIG_HOME", ".config", out, size);
    case kPathCommonAppData: return pathsDirectory(out, size, "/var/lib");
    case kPathTemp: return Platform_GetTempDirectory(out, size);
    case kPathAdminTemp: return pathsDirectory(out, size, "/var/tmp");
    case kPathSystemDirectory: return Platform_GetSystemDirectory(out, size);
    case kPathSystemDrive: return pathsDirectory(out, size, "/");
    case kPathModulePath:
    case kPathModulePathAlt: return pathsModule(nullptr, false, out, size);
    case kPathModuleDirectory:
    case kPathModuleDirectoryAlt: return pathsModule(nullptr, true, out, size);
    case kPathModuleDllPath: return pathsModule(Platform_GetCurrentModule(), false, out, size);
    case kPathModuleDllDirectory: return pathsModule(Platform_GetCurrentModule(), true, out, size);
    case kPathPipePath: return pathsJoin(out, size, kPipePath, "", false);
    case kPathWorkingDirectory: return Platform_GetCurrentDirectory(out, size);
    default:  // kPathCommonDesktop has no counterpart here; no other id exists
      return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, 0, "GetPath", nullptr);
  }
}

}  // namespace

int Platform_GetPath(int id, char *out, int size) {
  CHECK_POINTER(out);
  if (size < 1) return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, 0, "GetPath", nullptr);
  out[0] = '\0';
  if (pathsById(id, out, size)) return 1;
  out[0] = '\0';
  return 0;
}

int Platform_GetAppDataDirectory(char *out, int size) {
  CHECK_POINTER(out);
  char base[kPathMax];
  // Root keeps the machine's data directory however it was reached (sudo
  // keeps the user's HOME): its files never land in another user's tree.
  if (!Platform_GetPath(geteuid() == 0 ? kPathCommonAppData : kPathUserAppData, base,
                        sizeof base)) {
    if (size > 0) out[0] = '\0';
    return 0;
  }
  return pathsJoin(out, size, base, kProgramName, true);
}

int Platform_GetWindowsDirectory(char *out, int size) {
  CHECK_POINTER(out);
  char resolved[PATH_MAX];
  if (realpath(kWindowsDirectory, resolved) == nullptr) {
    if (size > 0) out[0] = '\0';
    return POSIX_FAIL("realpath", kWindowsDirectory);
  }
  return pathsDirectory(out, size, resolved);
}

int Platform_GetSystemDirectory(char *out, int size) {
  CHECK_POINTER(out);
  return pathsDirectory(out, size, kSystemDirectory);
}

int Platform_GetCurrentDirectory(char *out, int size) {
  CHECK_POINTER(out);
  char cwd[kPathMax];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    if (size > 0) out[0] = '\0';
    return errno == ERANGE ? pathsTooLong(out, size, "getcwd") : POSIX_FAIL("getcwd", nullptr);
  }
  return pathsDirectory(out, size, cwd);
}

int Platform_GetTempDirectory(char *out, int size) {
  CHECK_POINTER(out);
  const char *tmpdir = getenv("TMPDIR");
  if (tmpdir && tmpdir[0] == '/' && (pathsIsDirectory(tmpdir) || mkdir(tmpdir, 0700) == 0))
    return pathsDirectory(out, size, tmpdir);
  if (!pathsIsDirectory("/tmp")) {
    if (size > 0) out[0] = '\0';
    return POSIX_FAIL("stat", "/tmp");
  }
  return pathsDirectory(out, size, "/tmp");
}

int Platform_GetEnvironmentVariable(const char *name, char *out, int size) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  if (size > 0) out[0] = '\0';
  std::string value;
  {
    PathsEnvOverlay &overlay = pathsEnvOverlay();
    std::lock_guard<std::mutex> hold(overlay.lock);
    auto it = overlay.values.find(name);
    if (it != overlay.values.end()) {
      if (!it->second) return 0;
      value = *it->second;
    } else {
      const char *text = getenv(name);
      if (text == nullptr) return 0;
      value = text;
    }
  }
  if (value.size() + 1 > size_t(size > 0 ? size : 0)) return pathsTooLong(out, size, name);
  memcpy(out, value.c_str(), value.size() + 1);
  return 1;
}

int Platform_SetEnvironmentVariable(const char *name, const char *value) {
  CHECK_POINTER(name);
  if (name[0] == '\0' || strchr(name, '=') != nullptr) {
    Platform_SetLastError(kPlatformErrorInvalidParameter);
    return 0;
  }
  PathsEnvOverlay &overlay = pathsEnvOverlay();
  std::lock_guard<std::mutex> hold(overlay.lock);
  if (value != nullptr)
    overlay.values[name] = std::string(value);
  else
    overlay.values[name] = std::nullopt;
  return 1;
}

std::vector<std::string> EnvOverlay_BuildEnvironment(void) {
  PathsEnvOverlay &overlay = pathsEnvOverlay();
  std::lock_guard<std::mutex> hold(overlay.lock);
  std::vector<std::string> texts;
  for (char **e = environ; e != nullptr && *e != nullptr; e++) {
    const char *equals = strchr(*e, '=');
    std::string name = equals ? std::string(*e, size_t(equals - *e)) : std::string(*e);
    if (overlay.values.count(name) == 0) texts.emplace_back(*e);
  }
  for (const auto &[name, value] : overlay.values)
    if (value) texts.push_back(name + "=" + *value);
  return texts;
}

std::vector<char *> EnvOverlay_Pointers(std::vector<std::string> &texts) {
  std::vector<char *> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string &text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}
