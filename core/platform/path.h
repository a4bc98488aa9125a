// Path: the program's path text and the few disk questions every module asks
// of a path before touching it: the one normaliser, "~" resolution, the pieces
// of a path (directory, name, title, extension), file URLs, existence and
// type tests, recursive directory creation, and the path macros of the macro
// expander.
//
// Paths are UTF-8. '/' is the separator the normaliser writes; '\\' is read as
// one. A path is rooted when it starts with a separator ("/"), with a drive
// and a separator ("X:/"), or with the kept prefixes "\\\\" and "\\\\.\\"
// (backslashes only; the platform layer refuses or maps them).
//
// Invariants: (1) nothing is cut: a result that does not fit its buffer is a
// failure (Path_Normalize: 0 and an empty text; every other operation: 0 and
// error 206 as the thread's last error, Platform_GetLastError), and an output
// is left empty on failure. (2) normalising never climbs above a root: ".."
// at the root is dropped ("/a/../../b" -> "/b"), and flag 1 never removes the
// root's own separator. (3) a normalised text is at most one byte longer than
// its input and normalising it again changes nothing. (4) the text functions
// touch no disk; Path_Resolve reads only the home directory (path id 5).
//
// Threads: any thread; nothing here keeps state.
#pragma once

#include <cstdint>

#include "core/platform/platform.h"

// Path_Normalize flags.
constexpr int kPathRemoveTrailing = 0x1;  // drop one trailing separator
constexpr int kPathEnsureTrailing = 0x2;  // end with a separator (wins over 0x1)
constexpr int kPathKeepLeadingDots = 0x4; // keep a relative path's leading ".."
constexpr int kPathKeepDots = 0x8;        // keep every "." and ".." where it stands

// ---- Text ---------------------------------------------------------------------------

// Normalises the text in path (a buffer of size bytes) in place: '\\' becomes
// '/', runs of separators collapse, "." components go, ".." removes the
// component before it; a relative path drops a ".." that has nothing to
// remove unless flag 0x4 keeps it; a lone "." stays. A result that ended in a
// separator, "." or ".." keeps one trailing separator unless flags say
// otherwise. With flag 0x2 an empty result becomes "./". Flag 0x8 keeps every
// "." and ".." component as written (only separators change): the system
// reads ".." as the parent of the directory reached, which is not the
// component written before it when that is a link. Returns 1; 0 when
// size is below 1, or (leaving an empty text) when the text has no terminator
// within size or the result does not fit. Stops on a NULL path.
int Path_Normalize(char *path, int size, int flags);

// Path_Normalize with flag 0x2 when keepTrailing is 1, else flag 0x1.
int Path_Fix(char *path, int size, int keepTrailing);

// Copies path into out with a leading "~" (alone or followed by a separator)
// replaced by the home directory, then Path_Fix keeping a trailing separator
// only when the text after "~" (or the whole input) ended with one. "~name"
// is an ordinary name. 1, or 0 with out empty (206 when it does not fit, the
// platform's error when there is no home directory). Stops on a NULL path or
// out.
int Path_Resolve(const char *path, char *out, int size);
// Path_Resolve for a path a user names to be opened: "~" replaced, '\\' read
// as '/', runs of separators collapsed, and nothing else changed (flag 0x8,
// a trailing separator kept), so the result opens from the working directory
// what open(2) opens for the text: "../x" is the parent's x, and "l/../x" is
// x beside the directory link l leads to. 1, or 0 with out empty.
int Path_ResolveAsGiven(const char *path, char *out, int size);

// 1 when a and b are equal character by character, '\\' and '/' counting as
// equal and, with ignoreCase 1, ASCII letters folded. Stops on NULL.
int Path_Equal(const char *a, const char *b, int ignoreCase);

// The pieces of a path. The last component starts after the last '/' or '\\'
// or after a drive's ':' ("D:x" names x); the extension is the text after the
// last '.' of the last component. Each copies into out (size bytes) and
// answers 1, or 0 with out empty and error 206 when it does not fit. A piece
// that is not there gives an empty text and 1. Stop on a NULL path or out.
//
// The path up to and including the separator before its last component.
int Path_GetDirectory(const char *path, char *out, int size);
// The last component.
int Path_GetFileName(const char *path, char *out, int size);
// The last component without its extension and dot.
int Path_GetFileTitle(const char *path, char *out, int size);
// The extension, with its dot when withDot is 1.
int Path_GetExtension(const char *path, char *out, int size, int withDot);

// The last component inside path (its end when the path ends in a
// separator).
const char *Path_FindFileName(const char *path);
char *Path_FindFileName(char *path);
// The extension's dot inside path, or NULL when the last component has none.
const char *Path_FindExtension(const char *path);
char *Path_FindExtension(char *path);
// In place: cut at the extension's dot / after the separator before the last
// component (a path without one becomes empty). Stop on NULL.
void Path_RemoveExtension(char *path);
void Path_RemoveFileName(char *path);

// A file URL for path: "file://" before a rooted path, "file:///" before any
// other; '\\' becomes '/', and every byte but letters, digits and "-._~/:" is
// written as %XX. 1, or 0 (206) with out empty.
int Path_ToUrl(const char *path, char *out, int size);
// The path of a "file:" URL (the scheme in any case): the host must be empty
// or "localhost"; %XX escapes are decoded; "/X:/..." gives "X:/...". 0 with
// out empty (87) for another scheme or host, an empty path, "%00" or a
// malformed escape; 0 (206) when it does not fit.
int Path_FromUrl(const char *url, char *out, int size);

// ---- Disk ---------------------------------------------------------------------------
// Each reads the path as Path_ResolveAsGiven does (a trailing separator
// dropped), so it answers for the file open(2) would reach.

// 1 when the path exists (a file, a directory or anything else).
int Path_Exists(const char *path);
// The platform status of the path (links followed). 1/0 (status zeroed).
int Path_Stat(const char *path, PlatformFileStatus *status);
// 1 when the path is a directory; 0 when it is not or cannot be read.
int Path_IsDirectory(const char *path);

// Creates the directory path and every missing parent, parents first; with
// isFilePath 1 the last component is a file name and is not created. A path
// under the pipe directory (path id 22) is left alone. Nothing to create (an
// empty path, a bare drive, an existing directory) gives 1. A level that
// cannot be created logs "Unable to create directory (%s) [LE: %d:%.8X]\n"
// (unless it exists already, 183) and ends the walk. *error is 0 after a
// success, else the platform error. 1/0. Stops on a NULL path or error.
int Path_CreateDirectory(const char *path, int isFilePath, int *error);

// ---- Macros -------------------------------------------------------------------------

// The path handler of the macro expander: "PathSlash" ("/"), "PathParse"
// (path,part with part "dir"/"directory", "name"/"filename",
// "nameWithoutExtension"/"filenameWithoutExtension"/"title", "extension",
// "extensionWithDot"), "PathFix" (path[,bool]: the normalised path, with a
// trailing separator unless bool reads false), "PathJoin" (pieces joined by
// '/', normalised, a trailing separator only when the joined text ended with
// one), "PathToUrl" and "PathFromUrl". Names and parts compare without regard
// to ASCII case. Answers 0 for other names and when the result cannot be
// given (an unknown part, a failed conversion, a result larger than outSize).
int Path_MacroHandler(const char *name, char *argument, char *out, int outSize);
