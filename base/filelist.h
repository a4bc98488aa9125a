// FileList and FileIndex: the file entries of a metafile as the JSON reader
// reports them, and the same entries placed in the installation's byte
// stream, found by name or by stream offset. The index adds no record of its
// own: a FileRecord is the list's entry, whose offset, size and pad the build
// settles (a large metafile holds 100,000 of them, and a copy of each
// doubled what the lists hold).
//
// The stream is the concatenation, in list order, of each file's data and
// its pad bytes. A file's extent is [offset, offset + size + pad): its data
// and the pad bytes that belong to it (its own "pad", or the ranges of a pad
// list that meet it; those may also lie inside its data).
//
// Invariants: (1) entries come from an arena growing by 50; names and links
// from 4,096-byte string chunks, each stored with its terminator, with '\'
// already turned into '/'. (2) after a successful FileIndex_Build every
// entry has flags 16 and 64, offset, size (0 when the document gave none)
// and pad as placed, and its name's hash; the entries are chained in list
// order with non-decreasing offsets, entry k + 1 starts where entry k's
// extent ends, and every name in the name table is a safe relative path
// that no other entry has.
// (3) a failed build leaves the index empty. (4) a built index reads the
// list's entries: the list is neither reset nor changed while the index
// holds them.
//
// Threads: one thread at a time; the caller serialises. A built index is
// only read afterwards, so readers on several threads are fine once the
// owner stops changing it.
#pragma once

#include <cstdint>

#include "base/listarena.h"
#include "core/runtime/class.h"
#include "core/runtime/pool.h"

constexpr uint32_t kFileListTag = 0x2f4c7a91;
constexpr uint32_t kFileIndexTag = 0x2f4c7a92;

// Flag bits of a file entry: which fields the document gave (16 and 64 are
// also set by the build).
constexpr uint32_t kFileEntryName = 1;
constexpr uint32_t kFileEntryLink = 2;
constexpr uint32_t kFileEntryMtime = 4;
constexpr uint32_t kFileEntryAttr = 8;
constexpr uint32_t kFileEntryPad = 16;
constexpr uint32_t kFileEntrySize = 32;
constexpr uint32_t kFileEntryOffset = 64;
constexpr uint32_t kFileEntryMode = 128;
// Not a field: the entry's "mode" was there but did not parse (the list
// keeps the first such value, see FileList_FindInvalidMode).
constexpr uint32_t kFileEntryModeInvalid = 256;

// The permission bits a "mode" may give: no setuid, setgid or sticky bit,
// and no write for group or others.
constexpr uint32_t kFileEntryModeMask = 0755;

constexpr int32_t kFileListGrowth = 50;         // entries and records per arena block
constexpr int32_t kFileListStringChunk = 4096;  // bytes of a name chunk, its header included
constexpr int32_t kFileNameMaxBytes = 4095;     // a longer name is refused
constexpr int64_t kFilePadMax = INT32_MAX;      // pads are 32-bit on the wire
constexpr int64_t kFileStreamMax = int64_t(1) << 62;
constexpr int32_t kFileModeTextMax = 40;    // bytes of a refused "mode" kept to name it
// Links one resolution may follow before it counts as a loop: the kernel's
// own bound (ELOOP), so the installed tree would fail there too.
constexpr int32_t kFileLinkFollowMax = 40;

// 32-bit fields first, so that the entry packs into 80 bytes (a multiple of
// 8: the entries of an arena block lie at sizeof steps).
struct FileEntry {
  uint32_t flags;
  int32_t nameLength;
  int32_t linkLength;
  uint32_t attr;
  uint32_t mode;      // permission bits, within kFileEntryModeMask
  uint32_t nameHash;  // of the name; set by the index build
  const char *name;   // terminated; in the list's text chunks
  const char *link;
  double mtime;
  int64_t pad;  // the document's value until the build places the file
  int64_t size;
  int64_t offset;
  FileEntry *next;
};

// An entry as the file index holds it (see the header comment).
using FileRecord = FileEntry;

struct FileListTextBlock {
  FileListTextBlock *next;
  int64_t size;  // bytes of the whole block; texts follow the header
};

struct FileList {
  ObjectHeader header;  // kFileListTag
  FileEntry *head;
  FileEntry *tail;
  int32_t count;
  int64_t currentIndex;  // the array index of the entry being parsed; -1: none
  FileEntry current;
  ListArena entries;
  FileListTextBlock *texts;  // name and link chunks, newest first
  char *textNext;            // where the newest chunk's free room starts
  char *textEnd;
  // The first "mode" value that did not parse (cut to kFileModeTextMax), in
  // the texts; NULL when none did.
  const char *invalidMode;
};

struct PadIndex;

struct FileIndex {
  ObjectHeader header;  // kFileIndexTag
  // Open addressing by name hash; a slot holds 1 + the record's position in
  // the list (0: empty), half a pointer. Names are unique (the build
  // refuses a second entry of one name).
  uint32_t *names;
  int32_t nameSlots;        // a power of two, at least 5/4 of the records
  FileRecord **blocks;      // the list's entry blocks, oldest first
  int32_t blockCount;
  int32_t recordsPerBlock;  // the list's arena step: record k is in block k / step
  FileRecord *first;
  int32_t count;
  int64_t totalLength;   // sum of sizes
  int64_t totalPadding;  // sum of pads
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign object or a NULL out-pointer.

int FileList_Create(FileList **list);
// Drops the caller's reference and clears *list.
int FileList_Destroy(FileList **list);
// Empties the list, its entries and its texts; no entry is being parsed.
// Returns 1.
int FileList_Reset(FileList *list);
// One node of "files" (path "files\<index>\<field>", or "files\<index>" for
// the element itself): a new array index commits the entry being parsed and
// starts a zero one; "name" and "link"
// copy the text ('\' read as '/'), "mtime" reads a float, "attr", "pad",
// "size" and "offset" read integers, "mode" reads octal digits (at most
// 07777) and keeps the bits of kFileEntryModeMask; each sets its flag. A
// "mode" that is not such text (or not a string or number) sets
// kFileEntryModeInvalid instead, for the load to refuse. Other fields and
// shorter or longer paths are ignored. Returns 1.
int FileList_OnKey(FileList *list, const char *path, const char *value, int32_t length);
// Commits the entry being parsed, if any. Returns 1.
int FileList_Finish(FileList *list);
int32_t FileList_GetCount(FileList *list);
// 1 with the first (next) entry; 0 with NULL at the end.
int FileList_GetFirst(FileList *list, FileEntry **entry);
int FileList_GetNext(FileEntry *entry, FileEntry **next);
// The entry's name into buffer (size bytes; kPathMax suits every name that
// loads). 0 without a name or when it does not fit (buffer then empty).
int FileList_GetName(FileEntry *entry, char *buffer, int32_t size);
// 0 without flag 16 (32); *value 0 then.
int FileList_GetPad(FileEntry *entry, int64_t *pad);
int FileList_GetSize(FileEntry *entry, int64_t *size);
// 1 with the first entry whose "mode" did not parse and that value as given
// (cut to kFileModeTextMax bytes); 0 with both NULL when every mode parsed.
int FileList_FindInvalidMode(FileList *list, FileEntry **entry, const char **value);

// 1 when name (length bytes) is a relative path that stays inside the
// installation root: not empty, at most kFileNameMaxBytes, no leading '/' or
// '\', no drive letter and ':', no NUL or control character, and no empty,
// "." or ".." component ('/' and '\' both separate).
int FileList_IsSafeName(const char *name, int32_t length);
// The rule an unsafe name breaks, in words ("the name has an empty
// component", ...); NULL for a safe name.
const char *FileList_GetNameFault(const char *name, int32_t length);
// 1 when a link at name (a safe name) with the text target stays inside the
// installation root: target is relative (no leading '/' or '\', no drive
// letter and ':') and, read from name's own directory, no ".." climbs above
// the root ('/' and '\' both separate; empty and "." parts stay where they
// are). An empty target passes.
int FileList_IsSafeLink(const char *name, int32_t nameLength, const char *target,
                        int32_t targetLength);

// Why FileIndex_Build refused a list, and the entry it stopped at.
enum class FileIndexFault : int32_t {
  None,
  UnsafeName,  // no name, or not a safe one
  SameName,    // a second entry of a name (as the file system compares them)
  Extent,      // a size, pad or stream length out of range
};
struct FileIndexFailure {
  FileIndexFault fault;
  const FileEntry *entry;  // the list's; NULL with None
};

// Where the target of a link entry leads in the installed tree.
enum class FileLinkResolution : int32_t {
  Inside,      // a place below the root (or a name the kernel cannot reach)
  LeavesRoot,  // an absolute target, or ".." above the root on the way
  Loops,       // more than kFileLinkFollowMax links followed
};

int FileIndex_Create(FileIndex **index);
int FileIndex_Destroy(FileIndex **index);
// Empties the index (records, names, totals). Returns 1.
int FileIndex_Reset(FileIndex *index);
// Places the entries of list in the stream (see the header comment). With a
// pad index, a file's pad is the sum of the ranges that meet its extent;
// without one, its own "pad". Returns 0, with the index empty, when an entry
// has no name or an unsafe one, a size below 0, an own pad outside
// [0, kFilePadMax], a name an earlier entry has (names are compared as
// stored: '\' read as '/', case-sensitive, byte for byte), or a stream
// longer than kFileStreamMax; then *failure (may be NULL) says why and
// names the entry. A file with no range meeting its extent (also one after
// the last range) has pad 0.
int FileIndex_Build(FileIndex *index, FileList *list, PadIndex *padIndex,
                    FileIndexFailure *failure);
int FileIndex_GetTotalLength(FileIndex *index, int64_t *length);
int FileIndex_GetTotalPadding(FileIndex *index, int64_t *padding);
int32_t FileIndex_GetCount(FileIndex *index);
// 1 with the first record (in stream order); 0 with NULL when empty.
int FileIndex_GetFirst(FileIndex *index, FileRecord **record);
// The file whose extent (pad included) holds the stream offset, by
// bisection over the records' positions. 0 with NULL when no extent holds
// it (offset < 0 or past the stream).
int FileIndex_Find(FileIndex *index, FileRecord **record, int64_t offset);
// The record of name ('\' and '/' the same separator; case-sensitive). 0
// with NULL when none.
int FileIndex_FindName(FileIndex *index, FileRecord **record, const char *name);
// Resolves the target of link (a record of the built index with flag 2) as
// the installed tree will: from the root, through the link's own directory,
// then the target's parts; a part that names a link entry of the index is
// replaced by that link's target (read from the link's directory), with at
// most kFileLinkFollowMax links followed, link itself included (as the
// kernel counts when the link is opened); a part that names a file entry ends the walk
// (the kernel stops there too); any other part is taken as a plain
// directory, whether or not an entry lies below it. Cost: linear in the
// texts walked.
FileLinkResolution FileIndex_ResolveLink(FileIndex *index, const FileRecord *link);
