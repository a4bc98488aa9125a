// Shortcuts as Desktop Entry files; see core/platform/shortcut.h.
#include "core/platform/shortcut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"
#include "core/posix/launchargv.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/runtime/strw.h"

namespace {

constexpr const char *kLinkSuffix = ".lnk";
constexpr const char *kEntrySuffix = ".desktop";
constexpr const char *kElevator = "pkexec";
constexpr mode_t kEntryMode = 0755;
// The most one input byte grows to: '\\' becomes "\\\\" in a quoted Exec
// argument once the string escapes double it again.
constexpr int64_t kGrowthPerByte = 4;
// The fixed keys, the group line and the quotes around each argument.
constexpr int64_t kFixedBytes = 256;
// A failed save reports the system error as the desktop model's result code.
constexpr uint32_t kResultFromError = 0x80070000;

// The entry file a shortcut path names, '\\' read as '/'.
int shortcutEntryPath(const char *shortcutPath, char *out, int size) {
  int ok = Str_Set(out, shortcutPath, size);
  if (ok) {
    Str_ReplaceChar('\\', '/', out);
    if (Str_EndsWithNoCase(out, kLinkSuffix)) out[strlen(out) - strlen(kLinkSuffix)] = '\0';
    if (!Str_EndsWith(out, kEntrySuffix)) ok = Str_Cat(out, kEntrySuffix, size) ==
                                                 int(strlen(kEntrySuffix));
  }
  if (!ok || out[0] == '\0' || out[strlen(out) - 1] == '/') {
    out[0] = '\0';
    return POSIX_FAIL_CODE(ok ? kPlatformErrorInvalidParameter : kPlatformErrorNameTooLong, 0,
                           "Shortcut", shortcutPath);
  }
  return 1;
}

// Whether a Desktop Entry value can hold the text: UTF-8 without control
// characters other than tab, line feed and carriage return (which have
// escapes).
bool shortcutTextFits(const char *text) {
  for (const char *p = text; *p;) {
    uint32_t codePoint = 0;
    int length = 0;
    // A byte of 0x80 and above alone (a stray continuation byte, 0xFE,
    // 0xFF) is not UTF-8.
    if (!StrW_DecodeUtf8Sequence(p, &codePoint, &length) || length > 4 || codePoint > 0x10FFFF ||
        (length == 1 && codePoint >= 0x80))
      return false;
    if ((codePoint < 0x20 && codePoint != '\t' && codePoint != '\n' && codePoint != '\r') ||
        codePoint == 0x7F)
      return false;
    p += length;
  }
  return true;
}

void shortcutPut(StrBuf *out, const char *text) { StrBuf_Write(out, text, -1, nullptr); }

// The string escapes of a value; a leading blank would be trimmed by
// readers, so it is escaped too.
void shortcutPutEscaped(StrBuf *out, const char *text) {
  for (const char *p = text; *p; p++) {
    switch (*p) {
      case '\\': shortcutPut(out, "\\\\"); break;
      case '\n': shortcutPut(out, "\\n"); break;
      case '\t': shortcutPut(out, "\\t"); break;
      case '\r': shortcutPut(out, "\\r"); break;
      case ' ':
        shortcutPut(out, p == text ? "\\s" : " ");
        break;
      default: StrBuf_Write(out, p, 1, nullptr);
    }
  }
}

// One Exec argument, quoted as the Exec rules say, before the string escapes.
void shortcutPutArgument(StrBuf *out, const char *argument) {
  shortcutPut(out, "\"");
  for (const char *p = argument; *p; p++) {
    if (*p == '"' || *p == '`' || *p == '$' || *p == '\\') shortcutPut(out, "\\");
    if (*p == '%') shortcutPut(out, "%");
    StrBuf_Write(out, p, 1, nullptr);
  }
  shortcutPut(out, "\"");
}

void shortcutPutKey(StrBuf *out, const char *key, const char *value) {
  if (value[0] == '\0') return;
  shortcutPut(out, key);
  shortcutPut(out, "=");
  shortcutPutEscaped(out, value);
  shortcutPut(out, "\n");
}

// The Exec value before its string escapes: every argument quoted.
void shortcutPutExec(StrBuf *out, const LaunchArgv &argv) {
  for (int i = 0; i < argv.count; i++) {
    if (i > 0) shortcutPut(out, " ");
    shortcutPutArgument(out, argv.argv[i]);
  }
}

// The file's title: its name without ".desktop".
void shortcutTitle(const char *entryPath, char *out, int size) {
  const char *slash = strrchr(entryPath, '/');
  Str_Set(out, slash ? slash + 1 : entryPath, size);
  out[strlen(out) - strlen(kEntrySuffix)] = '\0';
}

// Writes the text to a temporary file beside path, mode 0755, and renames it
// into place. 1, or 0 with the error recorded and nothing left behind.
int shortcutWrite(const char *path, const char *text, int64_t length) {
  char temporary[kPathMax];
  if (Str_Printf(temporary, sizeof temporary, "%s.XXXXXX", path) != int(strlen(path)) + 7)
    return POSIX_FAIL_CODE(kPlatformErrorNameTooLong, ENAMETOOLONG, "Shortcut", path);
  int fd = mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) return POSIX_FAIL("mkostemp", temporary);
  int ok = fchmod(fd, kEntryMode) == 0 ? 1 : POSIX_FAIL("fchmod", temporary);
  for (int64_t done = 0; ok && done < length;) {
    ssize_t n = write(fd, text + done, size_t(length - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = n < 0 ? POSIX_FAIL("write", temporary)
                           : POSIX_FAIL_CODE(kPlatformErrorDiskFull, 0, "write", temporary);
    else done += n;
  }
  if (ok && fsync(fd) != 0) ok = POSIX_FAIL("fsync", temporary);
  if (close(fd) != 0 && ok) ok = POSIX_FAIL("close", temporary);
  if (ok && rename(temporary, path) != 0) ok = POSIX_FAIL("rename", path);
  if (!ok) unlink(temporary);
  return ok;
}

int shortcutBuild(const char *entryPath, const char *target, const char *arguments,
                  const char *workingDirectory, const char *description, const char *iconPath,
                  uint32_t flags) {
  const char *texts[] = {target, arguments, workingDirectory, description, iconPath};
  for (const char *text : texts)
    if (!shortcutTextFits(text))
      return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, 0, "Shortcut", entryPath);
  const char *prefix[] = {kElevator};
  LaunchArgv argv;
  if (!LaunchArgv_Build(prefix, (flags & kShortcutRunAsAdmin) ? 1 : 0, target, arguments, &argv))
    return 0;
  char title[kPathMax];
  shortcutTitle(entryPath, title, sizeof title);

  int64_t capacity = kFixedBytes + int64_t(strlen(title)) + int64_t(strlen(kElevator));
  for (const char *text : texts) capacity += int64_t(strlen(text));
  capacity = capacity * kGrowthPerByte + int64_t(argv.count) * 3;
  // The Exec value is built first, then escaped as one string.
  auto *exec = static_cast<char *>(MEM_ALLOC(capacity, 0));
  auto *text = static_cast<char *>(MEM_ALLOC(capacity, 0));
  StrBuf execBuf, out;
  StrBuf_Init(&execBuf, exec, capacity);
  shortcutPutExec(&execBuf, argv);
  StrBuf_Finish(&execBuf);
  StrBuf_Init(&out, text, capacity);
  shortcutPut(&out, "[Desktop Entry]\nType=Application\n");
  shortcutPutKey(&out, "Name", title);
  shortcutPutKey(&out, "Comment", description);
  shortcutPutKey(&out, "Exec", exec);
  shortcutPutKey(&out, "Path", workingDirectory);
  shortcutPutKey(&out, "Icon", iconPath);
  int ok = StrBuf_Finish(&out);
  // The capacity covers the worst case, so a cut here is our own fault.
  if (!ok) Core_Abort(KSRC, "Assertion failed (shortcut text fits)\nShortcut buffer too small");
  ok = shortcutWrite(entryPath, text, out.length);
  MEM_FREE(exec, capacity);
  MEM_FREE(text, capacity);
  LaunchArgv_Free(&argv);
  return ok;
}

}  // namespace

int Platform_CreateShortcut(const char *shortcutPath, const char *target, const char *arguments,
                            const char *workingDirectory, const char *description,
                            const char *iconPath, int, uint32_t flags) {
  CHECK_POINTER(shortcutPath);
  CHECK_POINTER(target);
  CHECK_POINTER(arguments);
  CHECK_POINTER(workingDirectory);
  CHECK_POINTER(description);
  CHECK_POINTER(iconPath);
  char entryPath[kPathMax];
  if (!shortcutEntryPath(shortcutPath, entryPath, sizeof entryPath)) return 0;
  int error = 0;
  int ok = Path_CreateDirectory(entryPath, 1, &error) &&
           shortcutBuild(entryPath, target, arguments, workingDirectory, description, iconPath,
                         flags);
  if (!ok) {
    int code = Platform_GetLastError();
    Log_Print(LOG_ERROR, KSRC, 0, "Cannot save shortcut '%s' (0x%.8X) [LE: %d]\n", entryPath,
              kResultFromError | uint32_t(code), code);
  }
  return ok;
}

int Platform_DeleteShortcut(const char *shortcutPath) {
  CHECK_POINTER(shortcutPath);
  char entryPath[kPathMax];
  if (!shortcutEntryPath(shortcutPath, entryPath, sizeof entryPath)) return 0;
  if (unlink(entryPath) != 0) return POSIX_FAIL("unlink", entryPath);
  return 1;
}
