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

struct Repository;
struct RepositoryError;

// What the command knows beyond the error record, for the hints that name
// the key or file to change. Every field may be NULL.
struct ErrorLineFacts {
  const char *keyStore;  // the store signed documents are checked against
  const char *appFile;   // the --app file
  const char *files;     // the files the failed piece holds, "a.bin, b.bin"
  const char *prompt;    // the password prompt nobody answered, "<filter> <host>"
  const char *detail;    // what a refused document said, "catalog id v1, expected v2"
  const char *realm;     // the unanswered prompt's realm
  int32_t refused;       // 1: that prompt's first answer, from the file, was refused
  const char *pinStore = nullptr;  // the thumbprint store that checks servers
  int32_t pins = 0;                // the pins it holds (0: none)
};

// Big enough for a line with a whole URL.
constexpr int kErrorLineBytes = 4096 + 512;

// url without "user:password@", query and fragment. Returns 1.
int ErrorLine_CleanUrl(const char *url, char *out, int size);
// What failed, in words: the cause of a transfer result, an HTTP status
// ("server answered 503 service unavailable"), a platform error of 964
// in the system's words ("No space left on device", strerror's text, lower
// case), with codeEx where it tells more (a socket error's text).
// Returns 1.
int ErrorLine_Cause(int32_t code, int32_t codeEx, char *out, int size);
// The item an error of the repository is about: "alias", "catalog",
// "metafile", "local metafile", "piece N", "clean-up item N". Returns 1.
int ErrorLine_Item(const RepositoryError *error, char *out, int size);
// The cause of error with the hint a user can act on: a host not on the
// whitelist names webGet.whitelist and the application file; an unsigned
// document (987, 9) says documents over http must be signed; a signature
// that does not verify (987, 10) names the key store and "certStore"; byte
// ranges ignored (978) suggests an httpPiece remote; a TLS failure (971)
// says why the handshake failed when the error's cause tells
// (WebGetCause_FindTls), and for a certificate nothing trusts names
// "thumbprintStores" and the application file, or, when the store that
// checks servers holds pins, says none is a certificate the server sent; a
// digest mismatch names
// the files the piece holds; a prompt nobody answered names the prompt, and
// for a server's or a proxy's password the credentials file's entry to add
// or correct. Anything else is ErrorLine_Cause. Returns 1.
int ErrorLine_Hint(const RepositoryError *error, const ErrorLineFacts *facts, char *out, int size);
// A failure on the way to or from a proxy (WebGetCause_FindProxy for the
// error's cause, code and extra code) in words naming the proxy: "via proxy
// 127.0.0.1:3128: connection refused", "via proxy p:3128: refused the
// tunnel with 403 forbidden". 1 with out; 0 when the failure was not a
// proxy's.
int ErrorLine_ProxyCause(const RepositoryError *error, char *out, int size);
// The whole line of one error of the named repository, without a newline;
// a proxy's failure reads "<item> <url> (via proxy <host:port>: <cause>)
// (<code>)". facts may be NULL. Returns the length.
int ErrorLine_Describe(const char *repository, const RepositoryError *error,
                       const ErrorLineFacts *facts, char *out, int size);
// The files piece index of the repository's remote (else local) metafile
// holds, as "a.bin, b.bin" (the first few, then ", ..."), into out; empty
// when no loaded metafile has the piece. Returns 1.
int ErrorLine_PieceFiles(Repository *repository, int32_t index, char *out, int size);
// ErrorLine_Describe for an error of repository: the piece's files for a
// digest mismatch, and for a failure of the installation's own storage,
// which has no URL, its configured "path". facts may be NULL. Returns the
// length.
int ErrorLine_DescribeRepository(Repository *repository, const RepositoryError *error,
                                 const ErrorLineFacts *facts, char *out, int size);
