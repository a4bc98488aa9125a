// Argument vectors from argument texts; see core/posix/launchargv.h.
#include "core/posix/launchargv.h"

#include <cstdint>
#include <cstring>

#include "core/runtime/cmdline.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/posix/errors.h"

namespace {

// Copies one argument [start, end) without its quoting into out. Returns the
// length, or -1 when a quote is left open.
int64_t launchArgvUnquote(const char *start, const char *end, char *out) {
  char *o = out;
  const char *p = start;
  bool open = false;
  bool value = false;  // behind the first '=' of an unquoted argument
  if (p < end && *p == '"') {
    open = true;
    p++;
  }
  const bool whole = open;
  while (p < end) {
    if (*p == '"' && p + 1 < end && p[1] == '"') {
      *o++ = '"';
      p += 2;
      continue;
    }
    if (*p == '"' && (whole || value)) {
      open = !open;
      p++;
      if (whole && !open) break;
      continue;
    }
    if (*p == '=' && !whole) value = true;
    *o++ = *p++;
  }
  *o = '\0';
  return open ? -1 : int64_t(o - out);
}

}  // namespace

int LaunchArgv_Build(const char *const *prefix, int prefixCount, const char *argv0,
                     const char *arguments, LaunchArgv *out) {
  *out = LaunchArgv();
  int count = 0;
  CmdLine_GetArgCount(arguments, &count);
  LaunchArgv built;
  built.count = prefixCount + 1 + count;
  built.argv = static_cast<char **>(
      MEM_ALLOC(int64_t(built.count + 1) * int64_t(sizeof(char *)), MEM_ZEROED));
  // Unquoting only shortens, so the text plus one terminator per argument
  // holds them all.
  built.textBytes = strlen(arguments) + size_t(count) + 1;
  built.text = static_cast<char *>(MEM_ALLOC(int64_t(built.textBytes), 0));
  for (int i = 0; i < prefixCount; i++) built.argv[i] = const_cast<char *>(prefix[i]);
  built.argv[prefixCount] = const_cast<char *>(argv0);
  char *at = built.text;
  const char *rest = arguments;
  for (int i = 0; i < count; i++) {
    int seen = 0;
    const char *start, *end;
    // Each argument is found from the end of the previous one, so the split
    // stays linear in the text's length.
    CmdLine_Tokenize(rest, 0, &seen, &start, &end);
    rest = end;
    int64_t length = launchArgvUnquote(start, end, at);
    if (length < 0) {
      LaunchArgv_Free(&built);
      return POSIX_FAIL_CODE(kPlatformErrorInvalidParameter, 0, "LaunchArgv", "unclosed quote");
    }
    built.argv[prefixCount + 1 + i] = at;
    at += length + 1;
  }
  *out = built;
  return 1;
}

void LaunchArgv_Free(LaunchArgv *argv) {
  if (argv->argv) MEM_FREE(argv->argv, int64_t(argv->count + 1) * int64_t(sizeof(char *)));
  if (argv->text) MEM_FREE(argv->text, int64_t(argv->textBytes));
  *argv = LaunchArgv();
}
