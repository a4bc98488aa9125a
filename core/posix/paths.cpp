// Well-known directories on Linux (XDG base directories); see core/platform.h.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/platform.h"
#include "core/print.h"

namespace {

constexpr const char *kProgramName = "keelson";

// Copies text into out and ensures one trailing '/'. 0 when it does not fit.
int pathsSetDirectory(char *out, int size, const char *text) {
  int length = Str_Printf(out, size, "%s", text);
  if (length + 1 >= size || size_t(length) != strlen(text)) {
    out[0] = '\0';
    return 0;
  }
  if (length == 0 || out[length - 1] != '/') {
    out[length] = '/';
    out[length + 1] = '\0';
  }
  return 1;
}

// $name, or $HOME/fallback when it is unset or empty.
int pathsXdg(const char *name, const char *fallback, char *out, int size) {
  const char *value = getenv(name);
  if (value && value[0] == '/') return pathsSetDirectory(out, size, value);
  const char *home = getenv("HOME");
  char work[kPlatformPathBytes];
  if (Str_Printf(work, sizeof work, "%s/%s", home ? home : "", fallback) >= int(sizeof work) - 1)
    return 0;
  return pathsSetDirectory(out, size, work);
}

// The desktop from user-dirs.dirs (XDG_DESKTOP_DIR="$HOME/Desktop"), else
// $HOME/Desktop.
int pathsDesktop(char *out, int size) {
  char config[kPlatformPathBytes];
  char file[kPlatformPathBytes];
  const char *home = getenv("HOME");
  if (!home) home = "";
  if (pathsXdg("XDG_CONFIG_HOME", ".config", config, sizeof config) &&
      Str_Printf(file, sizeof file, "%suser-dirs.dirs", config) < int(sizeof file) - 1) {
    if (FILE *f = fopen(file, "re")) {
      char line[kPlatformPathBytes];
      int found = 0;
      while (!found && fgets(line, sizeof line, f)) {
        const char *key = "XDG_DESKTOP_DIR=\"";
        if (strncmp(line, key, strlen(key)) != 0) continue;
        char *value = line + strlen(key);
        char *end = strchr(value, '"');
        if (!end) continue;
        *end = '\0';
        char work[kPlatformPathBytes];
        if (strncmp(value, "$HOME", 5) == 0)
          Str_Printf(work, sizeof work, "%s%s", home, value + 5);
        else
          Str_Printf(work, sizeof work, "%s", value);
        found = work[0] == '/' && pathsSetDirectory(out, size, work);
      }
      fclose(f);
      if (found) return 1;
    }
  }
  char work[kPlatformPathBytes];
  Str_Printf(work, sizeof work, "%s/Desktop", home);
  return pathsSetDirectory(out, size, work);
}

// The system account: root that was not reached through sudo or pkexec.
bool pathsIsSystemAccount() {
  return geteuid() == 0 && getenv("SUDO_UID") == nullptr && getenv("PKEXEC_UID") == nullptr;
}

}  // namespace

int Platform_GetPath(int id, char *out, int size) {
  if (out == nullptr || size < 1) return 0;
  out[0] = '\0';
  switch (id) {
    case kPathUserDesktop: return pathsDesktop(out, size);
    case kPathUserAppData: return pathsXdg("XDG_DATA_HOME", ".local/share", out, size);
    case kPathCommonAppData: return pathsSetDirectory(out, size, "/var/lib");
    default: return 0;
  }
}

int Platform_GetAppDataDirectory(char *out, int size) {
  char base[kPlatformPathBytes];
  if (!Platform_GetPath(pathsIsSystemAccount() ? kPathCommonAppData : kPathUserAppData, base,
                        sizeof base))
    return 0;
  int length = Str_Printf(out, size, "%s%s/", base, kProgramName);
  return length > 0 && length < size - 1;
}
