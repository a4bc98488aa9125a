// ErrorLine: the words of one failure in the command's lines on stderr,
// "keelson: <repository>: <item> <url>: <cause> (<code>)": the item is a
// document kind ("alias", "catalog", "metafile") or "piece N", the URL has
// lost its user, password, query and fragment, the cause is in words and
// the result code comes last.
//
// Invariants: (1) every output is terminated within its size and cut when it
// does not fit. (2) no line carries a URL's user information or query.
//
// Threads: any thread; nothing is kept between calls.
#pragma once

#include <cstdint>

struct RepositoryError;

// Big enough for a line with a whole URL.
constexpr int kErrorLineBytes = 4096 + 512;

// url without "user:password@", query and fragment. Returns 1.
int ErrorLine_CleanUrl(const char *url, char *out, int size);
// What failed, in words: the cause of a transfer result, an HTTP status
// ("server answered 503 service unavailable"), a platform error of 964
// ("disk full"), with codeEx where it tells more (a socket error's text).
// Returns 1.
int ErrorLine_Cause(int32_t code, int32_t codeEx, char *out, int size);
// The item an error of the repository is about: "alias", "catalog",
// "metafile", "local metafile", "piece N", "clean-up item N". Returns 1.
int ErrorLine_Item(const RepositoryError *error, char *out, int size);
// The whole line of one error of the named repository, without a newline.
// Returns the length.
int ErrorLine_Describe(const char *repository, const RepositoryError *error, char *out, int size);
