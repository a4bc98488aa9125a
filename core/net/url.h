// Url: the URL functions of the program. A URL is a NUL-terminated UTF-8
// text; there is no parsed URL object. These free functions find, copy, cut,
// normalise, join, encode and decode its parts in caller buffers, merge query
// strings through a UrlQueryList, look schemes and ports up in the
// default-port table and offer it all to macro text as "UrlParse",
// "UrlDecode", "UrlEncode", "UrlQueryEncode", "UrlFix" and "UrlJoin".
//
// The parts: scheme "://", user ':' password '@', host ':' port, path, '?'
// query, '#' fragment; each optional, found by scanning. A URL has a scheme
// only when the first of ':', '/', '\\', '?', '#' in it opens "://". The
// host (with user information and port) ends at the first '/', '\\', '?' or
// '#'. A backslash counts as '/' in host and path scanning. The query starts
// at the first '?' of the path, the fragment at the last '#'.
//
// Invariants: (1) every output is terminated within its size; a getter cuts
// what does not fit, and the operations that build a whole URL (Url_Normalize,
// Url_Fix, Url_Join, Url_MergeQueryInto) answer 0 rather than hand back a
// URL that was cut. (2) a NULL URL, output or out-pointer stops the program
// with "Pointer is NULL\n"; a UrlQueryList with another class tag stops it
// with the class mismatch message. (3) nothing here keeps state between
// calls but the UrlQueryList a caller holds.
//
// Threads: any thread; a UrlQueryList belongs to one thread at a time.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct Pool;

// The work buffers of Url_Fix, Url_Join and Url_MergeQueryInto, and the name
// and value buffers of Url_ParseQuery: 4095 characters and the terminator.
constexpr int kUrlWorkBytes = 4096;
// Url_IsSameHost and Url_IsSameHostWithoutPort compare hosts that fit this
// field; a longer host is equal to no host.
constexpr int kUrlHostBytes = 512;
// A scheme longer than 31 characters has no default port.
constexpr int kUrlSchemeBytes = 32;
// The safe set of Url_Encode when none is given (the "UrlEncode" macro), and
// that of "UrlQueryEncode".
constexpr const char *kUrlEncodeSafe = "@*-_./:\\";
constexpr const char *kUrlQueryEncodeSafe = "-_.~";

// ---- Predicates -------------------------------------------------------------

// 1 when url begins with scheme (without regard to case) followed by "://".
int Url_HasScheme(const char *url, const char *scheme);
// 1 when the host without port is "127.0.0.1" or "localhost" (any case).
int Url_IsLocalhost(const char *url);
// 1 when the hosts with ports (as Url_GetHost gives them) are equal without
// regard to case. A host of kUrlHostBytes or more is equal to nothing, so two
// long names sharing a prefix never pass for one host.
int Url_IsSameHost(const char *a, const char *b);
// The same on the hosts without ports.
int Url_IsSameHostWithoutPort(const char *a, const char *b);
// 1 when the URL names no port, or names the default port of its scheme. A
// port text that is not a port (Url_GetExplicitPort) gives 0.
int Url_IsDefaultPort(const char *url);

// ---- Finders: *found points into url ------------------------------------------

// The host: after the scheme's "://" (the whole URL without scheme), past
// "user:password@" when the first of '@', '/', '\\', '?', '#' is '@'. A URL
// that begins with '/' or '\\' has an empty host. Returns 1 when the URL has
// a scheme.
int Url_FindHost(const char *url, const char **found);
// The path: from the first '/' or '\\' behind the host. In a "file" URL a
// path of a separator, a letter and ':' starts at the letter (a drive). No
// path (nothing, or '?' or '#' first) gives the static text "/" and 0.
int Url_FindPath(const char *url, const char **found);
// The query's '?': the first '?' of the path, else the first '?' anywhere.
// Without one: the empty text and 0.
int Url_FindQuery(const char *url, const char **found);
// The last '#'. Without one: the empty text and 0.
int Url_FindFragment(const char *url, const char **found);
// The last path segment (up to the path's first '?' or '#'). An empty
// segment gives the empty text and 0.
int Url_FindFilename(const char *url, const char **found);
// The last two dot-separated labels of the host (behind its second-to-last
// '.'); a host with fewer than two dots whole. Returns 1.
int Url_FindDomain(const char *url, const char **found);

// ---- Getters: copies into out (size bytes) -------------------------------------

// The text before the scheme's "://". 0 without scheme.
int Url_GetScheme(const char *url, char *out, int size);
// The user name: only when the first of '@', '/', '\\', '?', '#' behind the
// scheme is '@'; the text up to the first ':', '@' or '/'. 0 when absent.
int Url_GetUsername(const char *url, char *out, int size);
// The password: the text between the user name's ':' and the '@'. 0 when
// absent.
int Url_GetPassword(const char *url, char *out, int size);
// The host with its port. 0 when empty.
int Url_GetHost(const char *url, char *out, int size);
// The host cut at its first ':'. 0 when empty.
int Url_GetHostWithoutPort(const char *url, char *out, int size);
// The host without port, then ":<port>" when it is not empty and Url_GetPort
// gives a port. 0 when the host is empty.
int Url_GetHostWithPort(const char *url, char *out, int size);
// The port written in the host: 1 to 5 decimal digits giving 1 to 65535.
// Returns 1 with *port set to it; 0 with *port 0 when there is none (an
// empty port text counts as none) or the text is not such a port.
int Url_GetExplicitPort(const char *url, int *port);
// The explicit port, else the scheme's default. Returns 1 when *port is above
// 0. A port text that is not a port gives 0 and *port 0: never the default.
int Url_GetPort(const char *url, int *port);
// The domain (Url_FindDomain) up to the host's end or its ':'. 0 when empty.
int Url_GetDomain(const char *url, char *out, int size);
// The path cut at its first '?' or '#'; "/" and 0 when the URL has no path.
int Url_GetPath(const char *url, char *out, int size);
// The path cut behind its last separator (which stays). 0 without path.
int Url_GetPathWithoutFilename(const char *url, char *out, int size);
// The last path segment. 0 when empty.
int Url_GetFilename(const char *url, char *out, int size);
// From the query's '?' (included) to the end, cut at a '#' behind it. 0
// without query.
int Url_GetQuery(const char *url, char *out, int size);

// url as a log line may show it: scheme, host and path, without the user
// information, query and fragment, which may carry a user's name, password or
// a signature. The host starts behind the last '@' of the authority, so a
// password with an '@' of its own is never shown in part. A request target
// ("/path?query") keeps its path. Every log line that names a URL writes it
// through this. Returns 1.
int Url_GetLoggable(const char *url, char *out, int size);
// The same for one log line's arguments; the text lives to the end of the
// statement: Log_Print(..., "'%s'", UrlLoggable(url).text).
struct UrlLoggable {
  char text[kUrlWorkBytes];
  explicit UrlLoggable(const char *url) { Url_GetLoggable(url, text, int(sizeof text)); }
};

// The default-port table: "" 0, "https" 443, "http" 80, "ftp" 21, "telnet"
// 23, "shout" 8000, "gopher" 70. The port of a scheme (any case; 0 when not
// in the table), and the scheme of the first row with a port ("" when none).
int Url_DefaultPort(const char *scheme);
const char *Url_DefaultScheme(int port);

// ---- Editors (in place) ---------------------------------------------------------

// Cuts at the last '#'. 0 when there is none.
int Url_RemoveFragment(char *url);
// Removes the query from its '?' up to the fragment, which stays. 0 without
// query.
int Url_RemoveQuery(char *url);
// Removes the last path segment; what follows it ('?' or '#' on) stays. 0
// when the path has no last segment.
int Url_RemoveFilename(char *url);
// Removes "." and ".." path segments and path parameters from the path of
// url (size bytes). A "." segment followed by a separator goes; a ".."
// followed by a separator goes with the segment before it (none at the path
// start); a "." or ".." that ends the path stays. A ';' starts a parameter
// that runs to the segment's end and goes. The query and fragment stay as
// they are. Returns 1 (0 when the URL has no path; nothing changes).
int Url_RemoveDotSegments(char *url, int size);

// ---- Whole URLs -------------------------------------------------------------------

// Copies url into out (size bytes) in the normal form: CR and LF at either
// end trimmed; a space, a byte below 0x20 and 0x7F written as "%XX"; up to
// the first '?' backslashes written as '/' and a separator pair as one '/'
// (never the "//" behind a scheme's ':'; in a "file" URL only from the first
// character behind the ':' that is no separator); then Url_RemoveDotSegments.
// Returns 1; 0 when size is below 1 or the text did not fit (out holds what
// fit).
int Url_Normalize(const char *url, char *out, int size);
// The request form of a URL: blanks, CR and LF at either end trimmed; a URL
// without scheme gets the scheme of its port (Url_DefaultScheme; "http" when
// the port has none); then Url_Normalize. Returns 1; 0 with an empty out
// when the text is empty, begins with "javascript:" or "mailto:", or the
// result does not fit kUrlWorkBytes or size.
int Url_Fix(const char *url, char *out, int size);
// Resolves reference against base into out: an absolute reference (with a
// scheme) comes back normalised; one that begins with two separators takes
// the base's scheme and is otherwise its own; else the reference's path
// replaces the base's (from its root, or its last segment), the queries are
// merged (the base's parameters first; the reference's replace those of the
// same name), the reference's fragment or else the base's is appended, and
// the result is fixed (Url_Fix). A relative reference's dot segments apply
// to the joined path, a trailing "." or ".." included ("../../x" from
// "/a/b/c" is "/x"; ".." is "/a/"). Returns 1; 0 with an empty out when the base
// does not fix or the result does not fit.
int Url_Join(const char *base, const char *reference, char *out, int size);

// Percent-encodes length bytes of text into out (size bytes): a byte in safe
// (NULL: kUrlEncodeSafe), an ASCII letter or digit is copied, any other as
// "%XX" in upper-case hex. An escape is written only with 4 bytes free, a
// byte with 2; the output ends before the first that does not fit. Returns 1
// when every byte was written, 0 when the output was cut.
int Url_Encode(const char *text, int length, char *out, int size, const char *safe);
// Decodes "%XX" (either case) into its byte; every other byte, '+' and a '%'
// without two hex digits included, is copied. *written (may be NULL) gets the
// bytes stored (the output may hold NUL bytes); out is terminated behind
// them. Returns 1 when the whole text was decoded, 0 when out was full first.
int Url_DecodeN(const char *text, int length, char *out, int size, int *written);
int Url_Decode(const char *text, char *out, int size);

// ---- Queries -------------------------------------------------------------------------

// Called with each parameter in order; value is NULL for a parameter without
// '='. Returns 0 to stop.
typedef int (*UrlQueryCallback)(void *context, const char *name, const char *value);

// Walks query (a leading '?' is skipped): parameters are separated by '&';
// blanks before a name are skipped; a name runs to '=' or '&'; a value starts
// behind the run of ' ' and '=' after the name, runs to '&' and is cut at its
// last '#'. Names and values are cut to kUrlWorkBytes - 1 characters.
// Returns 0 as soon as the callback does, else 1.
int Url_ParseQuery(const char *query, void *context, UrlQueryCallback callback);

constexpr uint32_t kUrlQueryListTag = 0x51a7e3b1;

// One parameter: its own copies of name and value (value NULL when the
// parameter had no '='), with their allocated sizes.
struct UrlQueryItem {
  char *name;
  int32_t nameSize;
  char *value;
  int32_t valueSize;
  UrlQueryItem *next;
  UrlQueryItem *prev;
};

// Parameters in order, names unique without regard to case. The items come
// from the list's pool and are freed with the list.
struct UrlQueryList {
  ObjectHeader header;
  UrlQueryItem *head;
  UrlQueryItem *tail;
  int32_t count;
  Pool *pool;
};

// Creates an empty list. Returns 1.
int UrlQueryList_Create(UrlQueryList **list);
// Frees the list, its items and their texts; clears *list. Returns 1.
int UrlQueryList_Release(UrlQueryList **list);
// A UrlQueryCallback (context: the list): replaces the value of the item
// called name (any case; it keeps its place and its first spelling) or
// appends a new item. value may be NULL. Returns 1.
int UrlQueryList_Set(void *list, const char *name, const char *value);

// Parses first and then second into a fresh list and writes "?" and its
// items joined by '&' ("name" or "name=value") into out; the empty text when
// the list is empty. Returns 1; 0 when out was too small (out is then empty).
int Url_MergeQueries(const char *first, const char *second, char *out, int size);
// Fixes url (size bytes) and merges query into its query: the URL's own
// parameters first, those of query replace them by name or follow. The
// fragment stays behind the merged query. Returns 1; 0 with url unchanged
// when it does not fix or the result does not fit.
int Url_MergeQueryInto(char *url, int size, const char *query);

// ---- Macros ---------------------------------------------------------------------------

// The URL link of the macro expander's chain (StrExpandSlot::Url):
// "UrlParse" (item,url), "UrlDecode", "UrlEncode", "UrlQueryEncode",
// "UrlFix" and "UrlJoin" (base,reference), names without regard to case.
// "UrlParse" items: protocol, username, password, domain, host,
// hostWithoutPort, path, pathWithQuery, pathWithoutFilename, filename,
// queryWithFragment, query, query=<name> (the first such parameter's value;
// empty without '='), fragment, port, urlWithoutQuery, urlWithoutFragment,
// urlWithoutFilename. A missing ',', an unknown item or an absent part
// writes the empty text. Returns 1 for these names, 0 for any other.
int Url_MacroHandler(const char *name, char *argument, char *out, int outSize);
