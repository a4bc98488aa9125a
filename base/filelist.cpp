// File lists and file indexes; see filelist.h.
#include "base/filelist.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/keypath.h"
#include "base/padding.h"
#include "core/runtime/memory.h"

namespace {

#define FILELIST_CHECK(l) CLASS_CHECK((l), kFileListTag)
#define FILEINDEX_CHECK(i) CLASS_CHECK((i), kFileIndexTag)

// ---- Names ----------------------------------------------------------------

inline char fileNameFold(char c) { return c == '\\' ? '/' : c; }

// Names are stored with '\\' already turned into '/'; look-ups fold the text
// they are given the same way. FNV-1a, so that a name's hash continues its
// directory's (link resolution extends a path one part at a time), with a
// final mix for the table's low bits.
constexpr uint32_t kFileNameHashBasis = 2166136261u;

uint32_t fileNameHashStep(uint32_t h, char c) { return (h ^ uint8_t(fileNameFold(c))) * 16777619u; }

uint32_t fileNameHashFinish(uint32_t h) {
  h ^= h >> 16;
  h *= 0x7feb352du;
  h ^= h >> 15;
  return h;
}

uint32_t fileNameHash(const char *name) {
  uint32_t h = kFileNameHashBasis;
  for (const char *p = name; *p; p++) h = fileNameHashStep(h, *p);
  return fileNameHashFinish(h);
}

bool fileNameEqual(const char *stored, const char *name) {
  for (; *stored && fileNameFold(*name) == *stored; stored++, name++) {
  }
  return *stored == '\0' && *name == '\0';
}

// Room for bytes of text: carved from the newest chunk, back to back with
// no slack (a large metafile holds 100,000 names). A text too large for a
// chunk gets a block of its own, kept behind the chunk being carved.
char *fileListTextAlloc(FileList *l, int64_t bytes) {
  if (l->textEnd - l->textNext >= bytes) {
    char *start = l->textNext;
    l->textNext += bytes;
    return start;
  }
  constexpr int64_t kHead = int64_t(sizeof(FileListTextBlock));
  const bool own = bytes > kFileListStringChunk - kHead;
  int64_t size = own ? kHead + bytes : kFileListStringChunk;
  auto *block = static_cast<FileListTextBlock *>(MEM_ALLOC(size, 0));
  block->size = size;
  char *start = reinterpret_cast<char *>(block + 1);
  if (own && l->texts != nullptr) {
    block->next = l->texts->next;
    l->texts->next = block;
    return start;
  }
  block->next = l->texts;
  l->texts = block;
  l->textNext = start + bytes;
  l->textEnd = reinterpret_cast<char *>(block) + size;
  return start;
}

void fileListFreeTexts(FileList *l) {
  while (FileListTextBlock *block = l->texts) {
    l->texts = block->next;
    MEM_FREE(block, block->size);
  }
  l->textNext = l->textEnd = nullptr;
}

char *fileListCopyText(FileList *l, const char *value, int32_t length) {
  auto *text = fileListTextAlloc(l, int64_t(length) + 1);
  for (int32_t i = 0; i < length; i++) text[i] = fileNameFold(value[i]);
  text[length] = '\0';
  return text;
}

void fileListDestroy(void **object) {
  auto *l = static_cast<FileList *>(*object);
  ListArena_Reset(&l->entries);
  fileListFreeTexts(l);
  l->header.classTag = 0;
  MEM_FREE(l, sizeof(FileList));
}

// ---- Index ----------------------------------------------------------------

void fileIndexDestroy(void **object) {
  auto *x = static_cast<FileIndex *>(*object);
  FileIndex_Reset(x);
  x->header.classTag = 0;
  MEM_FREE(x, sizeof(FileIndex));
}

// The pad of a file at offset x of size bytes, from the pad ranges that meet
// its extent: those that end at or after x and start at or before the byte
// after its data and the pad counted so far. No range at or after x (a file
// of data past the last range) is a file without pad.
int64_t fileIndexListPad(PadIndex *pads, int64_t x, int64_t size) {
  PadItem *item = nullptr;
  if (!PadIndex_Find(pads, &item, x)) return 0;
  int64_t pad = 0;
  for (; item != nullptr; item = item->next) {
    if (item->offset > x + size + pad) break;
    if (item->offset + item->size > x) pad += item->size;
  }
  return pad;
}

static_assert(sizeof(FileEntry) % 8 == 0);

// The name table and the block table it reads through.
void fileIndexFreeNames(FileIndex *x) {
  if (x->names) MEM_FREE(x->names, int64_t(x->nameSlots) * int64_t(sizeof(uint32_t)));
  x->names = nullptr;
  x->nameSlots = 0;
  if (x->blocks) MEM_FREE(x->blocks, int64_t(x->blockCount) * int64_t(sizeof(FileRecord *)));
  x->blocks = nullptr;
  x->blockCount = 0;
}

// The table of the list's entry blocks, oldest first (the arena links them
// newest first), so that a position finds its record.
void fileIndexTableBlocks(FileIndex *x, FileList *list) {
  int32_t count = 0;
  for (ListArenaBlock *b = list->entries.blocks; b != nullptr; b = b->next) count++;
  x->recordsPerBlock = list->entries.perBlock;
  x->blockCount = count;
  if (count == 0) return;
  x->blocks = static_cast<FileRecord **>(
      MEM_ALLOC(int64_t(count) * int64_t(sizeof(FileRecord *)), 0));
  for (ListArenaBlock *b = list->entries.blocks; b != nullptr; b = b->next)
    x->blocks[--count] = static_cast<FileRecord *>(ListArena_BlockStart(b));
}

FileRecord *fileIndexAt(const FileIndex *x, uint32_t position) {
  return x->blocks[position / uint32_t(x->recordsPerBlock)] +
         position % uint32_t(x->recordsPerBlock);
}

// At most 4/5 full: after the entries and their names the table is the
// largest part of a loaded metafile, and the name hashes kept in the records
// keep a probe cheap.
void fileIndexSizeNames(FileIndex *x, int32_t records) {
  int32_t slots = 16;
  while (int64_t(slots) * 4 < int64_t(records) * 5) slots *= 2;
  x->names =
      static_cast<uint32_t *>(MEM_ALLOC(int64_t(slots) * int64_t(sizeof(uint32_t)), MEM_ZEROED));
  x->nameSlots = slots;
}

// Enters r, at position in the list, under its name. 0 when a record of the
// same name is there: two entries would write one installed file, each
// run's pieces of one over the other's.
int fileIndexAddName(FileIndex *x, FileRecord *r, uint32_t position) {
  uint32_t mask = uint32_t(x->nameSlots - 1);
  for (uint32_t i = r->nameHash & mask;; i = (i + 1) & mask) {
    uint32_t slot = x->names[i];
    if (slot == 0) {
      x->names[i] = position + 1;
      return 1;
    }
    FileRecord *held = fileIndexAt(x, slot - 1);
    if (held->nameHash == r->nameHash && strcmp(held->name, r->name) == 0) return 0;
  }
}

// The record stored under name (already folded), whose hash is given.
FileRecord *fileIndexFindHashed(const FileIndex *x, uint32_t hash, const char *name) {
  if (x->nameSlots == 0) return nullptr;
  uint32_t mask = uint32_t(x->nameSlots - 1);
  for (uint32_t i = hash & mask; x->names[i] != 0; i = (i + 1) & mask) {
    FileRecord *held = fileIndexAt(x, x->names[i] - 1);
    if (held->nameHash == hash && fileNameEqual(held->name, name)) return held;
  }
  return nullptr;
}

// Octal digits, at most 07777, into *mode. 0 for anything else.
int fileListParseMode(const char *value, int32_t length, uint32_t *mode) {
  if (length < 1 || length > 5) return 0;
  uint32_t bits = 0;
  for (int32_t i = 0; i < length; i++) {
    if (value[i] < '0' || value[i] > '7') return 0;
    bits = bits * 8 + uint32_t(value[i] - '0');
  }
  if (bits > 07777) return 0;
  *mode = bits;
  return 1;
}

int fileIndexFail(FileIndex *x, FileIndexFailure *failure, FileIndexFault fault,
                  const FileEntry *entry) {
  FileIndex_Reset(x);
  if (failure != nullptr) *failure = {fault, entry};
  return 0;
}

// The first "mode" of the list that does not parse is kept, cut, to name it
// in the refusal; the entry is marked.
void fileListNoteInvalidMode(FileList *l, FileEntry *e, const char *value, int32_t length) {
  e->flags |= kFileEntryModeInvalid;
  e->flags &= ~kFileEntryMode;
  if (l->invalidMode != nullptr) return;
  int32_t kept = value != nullptr ? std::min(length, kFileModeTextMax) : 0;
  l->invalidMode = fileListCopyText(l, value != nullptr ? value : "", std::max(kept, 0));
}

// ---- Link resolution ----------------------------------------------------

// The path a resolution has reached, below the root: its text (parts, none
// empty or holding '/', joined by '/') and the hash state after each part
// (so that a look-up of a part hashes only that part).
struct FileWalk {
  std::string at;
  std::vector<uint32_t> states;
};

// Steps into part; the record stored under the new path, if any.
const FileRecord *fileWalkEnter(const FileIndex *x, FileWalk *w, std::string_view part) {
  uint32_t state = w->states.empty() ? kFileNameHashBasis : fileNameHashStep(w->states.back(), '/');
  if (!w->at.empty()) w->at += '/';
  w->at.append(part);
  for (char c : part) state = fileNameHashStep(state, c);
  w->states.push_back(state);
  // No stored name is longer: skip the look-up (and its cost) beyond.
  if (w->at.size() > size_t(kFileNameMaxBytes)) return nullptr;
  return fileIndexFindHashed(x, fileNameHashFinish(state), w->at.c_str());
}

// Steps back to the parent. 0 at the root: ".." there leaves it.
int fileWalkLeave(FileWalk *w) {
  if (w->states.empty()) return 0;
  size_t slash = w->at.rfind('/');
  w->at.resize(slash == std::string::npos ? 0 : slash);
  w->states.pop_back();
  return 1;
}

// The next part of the text on top of the stack, taken off it; false when
// every text is used up.
bool fileWalkNextPart(std::vector<std::string_view> *texts, std::string_view *part) {
  while (!texts->empty()) {
    std::string_view &text = texts->back();
    if (text.empty()) {
      texts->pop_back();
      continue;
    }
    size_t cut = text.find('/');
    *part = text.substr(0, cut);
    text = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
    return true;
  }
  return false;
}

}  // namespace

// ---- FileList -------------------------------------------------------------

int FileList_Create(FileList **list) {
  CHECK_POINTER(list);
  auto *l = new (MEM_ALLOC(sizeof(FileList), MEM_ZEROED)) FileList();
  l->header.classTag = kFileListTag;
  l->header.refCount.store(1, std::memory_order_relaxed);
  l->header.destroy = fileListDestroy;
  ListArena_Init(&l->entries, sizeof(FileEntry), kFileListGrowth);
  l->currentIndex = -1;
  *list = l;
  return 1;
}

int FileList_Destroy(FileList **list) {
  CHECK_POINTER(list);
  FILELIST_CHECK(*list);
  Class_ReleaseObject(list);
  return 1;
}

int FileList_Reset(FileList *l) {
  FILELIST_CHECK(l);
  ListArena_Clear(l, &l->entries);
  fileListFreeTexts(l);
  l->invalidMode = nullptr;
  return 1;
}

int FileList_OnKey(FileList *l, const char *path, const char *value, int32_t length) {
  FILELIST_CHECK(l);
  CHECK_POINTER(path);
  std::string_view field;
  int64_t index = KeyPath_MemberField(path, &field);
  if (index < 0) {
    // The element itself ("files\<index>"): an entry even when it holds no
    // field, so that one without a name fails the build.
    KeyPath key;
    KeyPath_Split(path, &key);
    if (key.count == 2 && (index = KeyPath_Index(key.part[1])) >= 0)
      ListArena_Select(l, &l->entries, index);
    return 1;
  }
  ListArena_Select(l, &l->entries, index);
  FileEntry &e = l->current;
  if (field == "name") {
    e.name = fileListCopyText(l, value, length);
    e.nameLength = length;
    e.flags |= kFileEntryName;
  } else if (field == "link") {
    e.link = fileListCopyText(l, value, length);
    e.linkLength = length;
    e.flags |= kFileEntryLink;
  } else if (field == "mtime") {
    e.mtime = KeyPath_ValueToFloat64(value, length);
    e.flags |= kFileEntryMtime;
  } else if (field == "attr") {
    e.attr = uint32_t(KeyPath_ValueToInt64(value, length));
    e.flags |= kFileEntryAttr;
  } else if (field == "pad") {
    e.pad = KeyPath_ValueToInt64(value, length);
    e.flags |= kFileEntryPad;
  } else if (field == "size") {
    e.size = KeyPath_ValueToInt64(value, length);
    e.flags |= kFileEntrySize;
  } else if (field == "offset") {
    e.offset = KeyPath_ValueToInt64(value, length);
    e.flags |= kFileEntryOffset;
  } else if (field == "mode") {
    uint32_t mode = 0;
    if (!(e.flags & kFileEntryModeInvalid) && value != nullptr &&
        fileListParseMode(value, length, &mode)) {
      e.mode = mode & kFileEntryModeMask;
      e.flags |= kFileEntryMode;
    } else {
      fileListNoteInvalidMode(l, &e, value, length);
    }
  }
  return 1;
}

int FileList_Finish(FileList *l) {
  FILELIST_CHECK(l);
  ListArena_Commit(l, &l->entries);
  return 1;
}

int32_t FileList_GetCount(FileList *l) {
  FILELIST_CHECK(l);
  return l->count;
}

int FileList_GetFirst(FileList *l, FileEntry **entry) {
  FILELIST_CHECK(l);
  CHECK_POINTER(entry);
  *entry = l->head;
  return *entry != nullptr;
}

int FileList_GetNext(FileEntry *entry, FileEntry **next) {
  CHECK_POINTER(entry);
  CHECK_POINTER(next);
  *next = entry->next;
  return *next != nullptr;
}

int FileList_GetName(FileEntry *entry, char *buffer, int32_t size) {
  CHECK_POINTER(entry);
  CHECK_POINTER(buffer);
  if (size > 0) buffer[0] = '\0';
  if (!(entry->flags & kFileEntryName) || entry->nameLength >= size) return 0;
  memcpy(buffer, entry->name, size_t(entry->nameLength) + 1);
  return 1;
}

int FileList_GetPad(FileEntry *entry, int64_t *pad) {
  CHECK_POINTER(entry);
  CHECK_POINTER(pad);
  *pad = (entry->flags & kFileEntryPad) ? entry->pad : 0;
  return (entry->flags & kFileEntryPad) != 0;
}

int FileList_GetSize(FileEntry *entry, int64_t *size) {
  CHECK_POINTER(entry);
  CHECK_POINTER(size);
  *size = (entry->flags & kFileEntrySize) ? entry->size : 0;
  return (entry->flags & kFileEntrySize) != 0;
}

int FileList_FindInvalidMode(FileList *l, FileEntry **entry, const char **value) {
  FILELIST_CHECK(l);
  CHECK_POINTER(entry);
  CHECK_POINTER(value);
  *entry = nullptr;
  *value = nullptr;
  for (FileEntry *e = l->head; e != nullptr; e = e->next) {
    if (!(e->flags & kFileEntryModeInvalid)) continue;
    *entry = e;
    *value = l->invalidMode != nullptr ? l->invalidMode : "";
    return 1;
  }
  return 0;
}

const char *FileList_GetNameFault(const char *name, int32_t length) {
  CHECK_POINTER(name);
  if (length <= 0) return "the name is empty";
  if (length > kFileNameMaxBytes) return "the name passes 4095 bytes";
  if (name[0] == '/' || name[0] == '\\') return "the name is an absolute path";
  if (length >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
    return "the name starts with a drive letter";
  int32_t start = 0;
  for (int32_t i = 0; i <= length; i++) {
    if (i < length) {
      auto c = uint8_t(name[i]);
      if (c < 0x20 || c == 0x7f) return "the name holds a control character";
      if (c != '/' && c != '\\') continue;
    }
    std::string_view part(name + start, size_t(i - start));
    if (part.empty()) return "the name has an empty component";
    if (part == "." || part == "..") return "the name has a . or .. component";
    start = i + 1;
  }
  return nullptr;
}

int FileList_IsSafeName(const char *name, int32_t length) {
  return FileList_GetNameFault(name, length) == nullptr;
}

int FileList_IsSafeLink(const char *name, int32_t nameLength, const char *target,
                        int32_t targetLength) {
  CHECK_POINTER(name);
  CHECK_POINTER(target);
  if (targetLength <= 0) return 1;
  if (target[0] == '/' || target[0] == '\\') return 0;
  if (targetLength >= 2 && target[1] == ':' &&
      ((target[0] >= 'A' && target[0] <= 'Z') || (target[0] >= 'a' && target[0] <= 'z')))
    return 0;
  // The link's directory is as deep as name has separators.
  int64_t depth = 0;
  for (int32_t i = 0; i < nameLength; i++) depth += name[i] == '/' || name[i] == '\\';
  int32_t start = 0;
  for (int32_t i = 0; i <= targetLength; i++) {
    if (i < targetLength && target[i] != '/' && target[i] != '\\') continue;
    std::string_view part(target + start, size_t(i - start));
    if (part == "..") {
      if (--depth < 0) return 0;
    } else if (!part.empty() && part != ".") {
      depth++;
    }
    start = i + 1;
  }
  return 1;
}

// ---- FileIndex ------------------------------------------------------------

int FileIndex_Create(FileIndex **index) {
  CHECK_POINTER(index);
  auto *x = new (MEM_ALLOC(sizeof(FileIndex), MEM_ZEROED)) FileIndex();
  x->header.classTag = kFileIndexTag;
  x->header.refCount.store(1, std::memory_order_relaxed);
  x->header.destroy = fileIndexDestroy;
  *index = x;
  return 1;
}

int FileIndex_Destroy(FileIndex **index) {
  CHECK_POINTER(index);
  FILEINDEX_CHECK(*index);
  Class_ReleaseObject(index);
  return 1;
}

int FileIndex_Reset(FileIndex *x) {
  FILEINDEX_CHECK(x);
  fileIndexFreeNames(x);
  x->first = nullptr;
  x->count = 0;
  x->totalLength = x->totalPadding = 0;
  return 1;
}

int FileIndex_Build(FileIndex *x, FileList *list, PadIndex *pads, FileIndexFailure *failure) {
  FILEINDEX_CHECK(x);
  FILELIST_CHECK(list);
  if (failure != nullptr) *failure = {FileIndexFault::None, nullptr};
  FileIndex_Reset(x);
  fileIndexSizeNames(x, list->count);
  fileIndexTableBlocks(x, list);
  int64_t running = 0;
  for (FileEntry *e = list->head; e != nullptr; e = e->next) {
    if (!(e->flags & kFileEntryName) || !FileList_IsSafeName(e->name, e->nameLength))
      return fileIndexFail(x, failure, FileIndexFault::UnsafeName, e);
    int64_t size = (e->flags & kFileEntrySize) ? e->size : 0;
    if (size < 0 || size > kFileStreamMax - running)
      return fileIndexFail(x, failure, FileIndexFault::Extent, e);
    int64_t pad = 0;
    if (pads != nullptr) {
      if (size != 0) pad = fileIndexListPad(pads, running, size);
    } else if (e->flags & kFileEntryPad) {
      pad = e->pad;
      if (pad < 0 || pad > kFilePadMax) return fileIndexFail(x, failure, FileIndexFault::Extent, e);
    }
    if (pad > kFileStreamMax - running - size)
      return fileIndexFail(x, failure, FileIndexFault::Extent, e);
    e->flags |= kFileEntryPad | kFileEntryOffset;
    e->pad = pad;
    e->offset = running;
    e->size = size;
    e->nameHash = fileNameHash(e->name);
    x->totalLength += size;
    x->totalPadding += pad;
    // The list's entries are its arena's members in order: only so does a
    // position name its record.
    if (fileIndexAt(x, uint32_t(x->count)) != e) {
      assert(!"file list out of step with its arena");
      return fileIndexFail(x, failure, FileIndexFault::Extent, e);
    }
    if (!fileIndexAddName(x, e, uint32_t(x->count)))
      return fileIndexFail(x, failure, FileIndexFault::SameName, e);
    x->count++;
    running += size + pad;
  }
  x->first = list->head;
  return 1;
}

int FileIndex_GetTotalLength(FileIndex *x, int64_t *length) {
  FILEINDEX_CHECK(x);
  CHECK_POINTER(length);
  *length = x->totalLength;
  return 1;
}

int FileIndex_GetTotalPadding(FileIndex *x, int64_t *padding) {
  FILEINDEX_CHECK(x);
  CHECK_POINTER(padding);
  *padding = x->totalPadding;
  return 1;
}

int32_t FileIndex_GetCount(FileIndex *x) {
  FILEINDEX_CHECK(x);
  return x->count;
}

int FileIndex_GetFirst(FileIndex *x, FileRecord **record) {
  FILEINDEX_CHECK(x);
  CHECK_POINTER(record);
  *record = x->first;
  return *record != nullptr;
}

int FileIndex_Find(FileIndex *x, FileRecord **record, int64_t offset) {
  FILEINDEX_CHECK(x);
  CHECK_POINTER(record);
  *record = nullptr;
  if (x->count == 0 || offset < 0) return 0;
  // Extents follow one another: a record that holds offset is the last one
  // starting at or before it (every later record starts where it ends or
  // after), so bisection over the positions finds the only candidate.
  uint32_t low = 0;
  uint32_t high = uint32_t(x->count - 1);
  while (low < high) {
    uint32_t mid = low + (high - low + 1) / 2;
    if (fileIndexAt(x, mid)->offset <= offset)
      low = mid;
    else
      high = mid - 1;
  }
  FileRecord *r = fileIndexAt(x, low);
  if (offset < r->offset || offset >= r->offset + r->size + r->pad) return 0;
  *record = r;
  return 1;
}

int FileIndex_FindName(FileIndex *x, FileRecord **record, const char *name) {
  FILEINDEX_CHECK(x);
  CHECK_POINTER(record);
  CHECK_POINTER(name);
  *record = fileIndexFindHashed(x, fileNameHash(name), name);
  return *record != nullptr;
}

FileLinkResolution FileIndex_ResolveLink(FileIndex *x, const FileRecord *link) {
  FILEINDEX_CHECK(x);
  CHECK_POINTER(link);
  if (!(link->flags & kFileEntryLink) || link->link == nullptr) return FileLinkResolution::Inside;
  // Texts still to walk, the top one first: a followed link's target goes
  // on top of what was left of the path that reached it.
  std::vector<std::string_view> texts;
  // Texts as the kernel gets them: up to a NUL the document may hold.
  std::string_view name(link->name), target(link->link);
  size_t slash = name.rfind('/');
  texts.push_back(target);
  if (slash != std::string_view::npos) texts.push_back(name.substr(0, slash));
  if (!target.empty() && target[0] == '/') return FileLinkResolution::LeavesRoot;
  FileWalk walk;
  int32_t followed = 1;  // the link itself, as the kernel counts it when the link is opened
  std::string_view part;
  while (fileWalkNextPart(&texts, &part)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!fileWalkLeave(&walk)) return FileLinkResolution::LeavesRoot;
      continue;
    }
    const FileRecord *r = fileWalkEnter(x, &walk, part);
    if (r == nullptr) continue;  // a directory, or no entry: a plain directory
    if (!(r->flags & kFileEntryLink) || r->link == nullptr) {
      // A file: the end of the walk, or a part the kernel cannot pass.
      return FileLinkResolution::Inside;
    }
    if (++followed > kFileLinkFollowMax) return FileLinkResolution::Loops;
    if (r->link[0] == '/') return FileLinkResolution::LeavesRoot;
    fileWalkLeave(&walk);  // the link's target is read from its directory
    texts.emplace_back(r->link);
  }
  return FileLinkResolution::Inside;
}
