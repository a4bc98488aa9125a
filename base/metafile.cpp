// Metafiles; see metafile.h.
#include "base/metafile.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "base/keypath.h"
#include "core/net/webget.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/hash.h"

namespace {

#define METAFILE_CHECK(m) CLASS_CHECK((m), kMetaFileTag)

void metaFileLog(MetaFile *m, const char *format, ...) {
  if (!Class_LogEnabled(&m->log, LOG_DEBUG) || !Log_IsEnabled()) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&m->log, 0, format, args);
  va_end(args);
}

void metaFileFreeLengths(MetaFile *m) {
  if (m->pieceLengths != nullptr)
    MEM_FREE(m->pieceLengths, int64_t(m->pieceLengthCount) * int64_t(sizeof(int32_t)));
  m->pieceLengths = nullptr;
  m->pieceLengthCount = 0;
}

// The document request, made on first use: JSON whose reader reports nodes
// here and builds no tree.
AsyncHttp *metaFileRequest(MetaFile *m) {
  if (m->request != nullptr) return m->request;
  AsyncHttp_Create(&m->request);
  AsyncHttp_SetFormat(m->request, kAsyncHttpFormatJson);
  auto *json = static_cast<Json *>(AsyncHttp_GetParser(m->request));
  Json_SetDictionary(json, nullptr);
  Json_SetNodeCallback(json, m, MetaFile_OnKey);
  AsyncHttp_SetCompleteCallback(m->request, m, MetaFile_OnLoaded);
  return m->request;
}

void metaFileDestroy(void **object) {
  auto *m = static_cast<MetaFile *>(*object);
  if (m->request) {
    AsyncHttp_Reset(m->request, 1);
    // The parse calls back into this object from the I/O worker: the owner
    // resets and waits until loading ends before the last release.
    if (AsyncHttp_IsRunning(m->request))
      Core_Abort(KSRC,
                 "Assertion failed (!Loading)\nMetaFile released while its document is parsed\n");
  }
  MetaFile_Reset(m);
  if (m->request) AsyncHttp_Release(&m->request);
  FileList_Destroy(&m->fileList);
  FileIndex_Destroy(&m->fileIndex);
  PieceList_Destroy(&m->pieceList);
  PadIndex_Destroy(&m->padIndex);
  Padding_Destroy(&m->padding);
  m->header.classTag = 0;
  MEM_FREE(m, sizeof(MetaFile));
}

// The top level: an object, or an array whose element 0 is an object (its
// members then carry the prefix "0\"). Returns the path relative to that
// object, or NULL for a node outside it (marking the document malformed
// when the node cannot belong to a loadable one).
const char *metaFileRelativePath(MetaFile *m, const char *path, int32_t type) {
  if (path[0] == '\0') {
    if (type == kJsonNodeArray)
      m->rootArray = 1;
    else if (type != kJsonNodeObject)
      m->malformed = 1;
    return nullptr;
  }
  if (!m->rootArray) return path;
  if (path[0] == '0' && path[1] == '\\') return path + 2;
  if (path[0] == '0' && path[1] == '\0') {
    if (type != kJsonNodeObject) m->malformed = 1;
    return nullptr;
  }
  if (strchr(path, '\\') == nullptr) m->malformed = 1;  // a second element
  return nullptr;
}

void metaFileSetId(MetaFile *m, const char *value, int32_t length) {
  m->id[0] = '\0';
  if (!CatalogId_IsValid(value, length)) {
    Log_Print(LOG_WARNING, KSRC, 0, "MetaFile id refused (%d bytes)\n", length);
    m->malformed = 1;
    return;
  }
  memcpy(m->id, value, size_t(length));
  m->id[length] = '\0';
}

// A name as a line can carry it: control bytes written \xNN, a long one
// cut, its length said.
std::string metaFileShownName(const FileEntry *entry) {
  constexpr int32_t kShown = 96;
  if (entry == nullptr || entry->name == nullptr) return "(no name)";
  int32_t length = entry->nameLength;
  std::string out;
  for (int32_t i = 0; i < length && i < kShown; i++) {
    auto c = uint8_t(entry->name[i]);
    if (c < 0x20 || c == 0x7f) {
      char hex[8];
      Str_Printf(hex, int(sizeof hex), "\\x%02x", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  if (length > kShown) out += "... (" + std::to_string(length) + " bytes)";
  return out;
}

// The root as a line can carry it, cut in the middle when long.
std::string metaFileShownRoot(const char *root) {
  std::string text = root;
  if (text.size() > 160) text = text.substr(0, 60) + "..." + text.substr(text.size() - 60);
  return text;
}

// A name the file storage cannot make: a component that, with the suffix
// its partial file or aside tree takes, passes NAME_MAX, or a path under
// the root that does. The reason, naming the entry, is kept in refusal.
const char *metaFileCheckNameLengths(MetaFile *m) {
  constexpr size_t kComponentMax = 255, kPathMax = 4095;
  size_t suffix = strlen(m->refusedSuffix), root = strlen(m->nameRoot);
  if (root == 0) return nullptr;  // not counted until the run knows where
  for (FileEntry *e = m->fileList->head; e != nullptr; e = e->next) {
    if (e->name == nullptr) continue;
    size_t length = size_t(e->nameLength), start = 0;
    for (size_t i = 0; i <= length; i++) {
      if (i < length && e->name[i] != '/' && e->name[i] != '\\') continue;
      if (i - start + suffix > kComponentMax) {
        Str_Printf(m->refusal, kCatalogRefusalBytes,
                   "file %s: a component of %d bytes, with \"%s\" appended, passes the %d bytes "
                   "a file name may have", metaFileShownName(e).c_str(), int(i - start),
                   m->refusedSuffix, int(kComponentMax));
        return m->refusal;
      }
      start = i + 1;
    }
    if (root + 1 + length + suffix > kPathMax) {
      Str_Printf(m->refusal, kCatalogRefusalBytes,
                 "file %s: its path under %s, with \"%s\" appended, is %d bytes, past the %d "
                 "a path may have", metaFileShownName(e).c_str(),
                 metaFileShownRoot(m->nameRoot).c_str(), m->refusedSuffix,
                 int(root + 1 + length + suffix), int(kPathMax));
      return m->refusal;
    }
  }
  return nullptr;
}

// The first entry with a component of its name ending in the refused
// suffix, else NULL: a file so named would be built into another's partial
// file, a directory so named into the tree the file storage builds aside
// for a name that changes type.
const FileEntry *metaFileRefusedName(MetaFile *m) {
  size_t suffix = strlen(m->refusedSuffix);
  if (suffix == 0) return nullptr;
  FileEntry *entry = nullptr;
  for (int more = FileList_GetFirst(m->fileList, &entry); more;
       more = FileList_GetNext(entry, &entry)) {
    const char *name = entry->name != nullptr ? entry->name : "";
    for (size_t end = 0;; end++) {
      bool last = name[end] == '\0';
      if ((last || name[end] == '/' || name[end] == '\\') && end >= suffix &&
          memcmp(name + end - suffix, m->refusedSuffix, suffix) == 0)
        return entry;
      if (last) break;
    }
  }
  return nullptr;
}

// Empties what a document filled: lists, indexes, piece lengths, flags, id
// and algorithm.
void metaFileClear(MetaFile *m) {
  metaFileFreeLengths(m);
  m->hasPad = m->hasPieces = m->writeAlign = m->rootArray = m->malformed = 0;
  m->id[0] = '\0';
  Str_Set(m->algorithm, "SHA1");
  FileIndex_Reset(m->fileIndex);
  FileList_Reset(m->fileList);
  PieceList_Reset(m->pieceList);
  Padding_Reset(m->padding);
  PadIndex_Reset(m->padIndex);
}

// A refused document leaves nothing behind: no id that would pass for an
// installed version, and no piece size that arithmetic on the budget or the
// geometry would trust.
int metaFileFail(MetaFile *m, const char *why) {
  Log_Print(LOG_ERROR, KSRC, 0, "MetaFile load failed: %s\n", why);
  metaFileClear(m);
  return 0;
}

// A link entry whose target is empty (no link can be made of it), absolute
// or climbing above the root (the installation would reach outside itself
// through it). The reason, naming the entry, is kept in refusal.
const char *metaFileCheckLinks(MetaFile *m) {
  for (FileEntry *e = m->fileList->head; e != nullptr; e = e->next) {
    if (!(e->flags & kFileEntryLink) || !(e->flags & kFileEntryName)) continue;
    if (e->linkLength <= 0) {
      Str_Printf(m->refusal, kCatalogRefusalBytes, "link %s has an empty target", e->name);
      return m->refusal;
    }
    if (FileList_IsSafeLink(e->name, e->nameLength, e->link, e->linkLength)) continue;
    Str_Printf(m->refusal, kCatalogRefusalBytes, "link %s leaves the root", e->name);
    return m->refusal;
  }
  return nullptr;
}

// Every link's target resolved through the links the document itself
// installs: a chain may leave the root though each of its links, read
// alone, stays inside. The reason, naming the entry, is kept in refusal.
const char *metaFileCheckLinkChains(MetaFile *m) {
  for (FileRecord *r = m->fileIndex->first; r != nullptr; r = r->next) {
    if (!(r->flags & kFileEntryLink)) continue;
    switch (FileIndex_ResolveLink(m->fileIndex, r)) {
      case FileLinkResolution::Inside:
        continue;
      case FileLinkResolution::LeavesRoot:
        Str_Printf(m->refusal, kCatalogRefusalBytes, "link %s leaves the root", r->name);
        return m->refusal;
      case FileLinkResolution::Loops:
        Str_Printf(m->refusal, kCatalogRefusalBytes, "link %s loops (more than %d links)",
                   r->name, kFileLinkFollowMax);
        return m->refusal;
    }
  }
  return nullptr;
}

// An entry whose parent path passes through one of the document's own link
// entries: installed, it would be written through that link, wherever the
// link leads. The reason, naming both entries, is kept in refusal.
const char *metaFileCheckLinkParents(MetaFile *m) {
  bool links = false;
  for (FileRecord *r = m->fileIndex->first; r != nullptr && !links; r = r->next)
    links = (r->flags & kFileEntryLink) != 0;
  if (!links) return nullptr;
  for (FileRecord *r = m->fileIndex->first; r != nullptr; r = r->next) {
    std::string parent(r->name != nullptr ? r->name : "");
    for (size_t end = 0; end < parent.size(); end++) {
      if (parent[end] != '/' && parent[end] != '\\') continue;
      FileRecord *link = nullptr;
      if (!FileIndex_FindName(m->fileIndex, &link, parent.substr(0, end).c_str()) ||
          !(link->flags & kFileEntryLink))
        continue;
      Str_Printf(m->refusal, kCatalogRefusalBytes, "file %s lies below link %s", r->name,
                 link->name);
      return m->refusal;
    }
  }
  return nullptr;
}

// A "mode" that does not parse: installing the file without its bits would
// leave a program that cannot run, or one more open than meant.
const char *metaFileCheckModes(MetaFile *m) {
  FileEntry *entry = nullptr;
  const char *value = nullptr;
  if (!FileList_FindInvalidMode(m->fileList, &entry, &value)) return nullptr;
  Str_Printf(m->refusal, kCatalogRefusalBytes, "file %s: mode \"%s\" is not octal digits",
             entry->name != nullptr ? entry->name : "(no name)", value);
  return m->refusal;
}

// The index build's refusal, naming the entry where there is one to name.
const char *metaFileIndexRefusal(MetaFile *m, const FileIndexFailure &failure) {
  const FileEntry *e = failure.entry;
  if (failure.fault == FileIndexFault::SameName) {
    Str_Printf(m->refusal, kCatalogRefusalBytes, "file %s listed twice", e->name);
  } else if (failure.fault == FileIndexFault::UnsafeName && e != nullptr) {
    bool named = (e->flags & kFileEntryName) && e->name != nullptr;
    const char *fault = named ? FileList_GetNameFault(e->name, e->nameLength) : nullptr;
    Str_Printf(m->refusal, kCatalogRefusalBytes, "file %s: %s",
               metaFileShownName(named ? e : nullptr).c_str(),
               fault != nullptr ? fault : "the entry has no name");
  } else {
    Str_Printf(m->refusal, kCatalogRefusalBytes, "file %s: size, pad or stream out of range",
               metaFileShownName(e).c_str());
  }
  return m->refusal;
}

// ceil(length / size) pieces, each with a digest of the algorithm's size.
const char *metaFileCheckPieces(MetaFile *m) {
  PieceList *pieces = m->pieceList;
  int64_t size = pieces->pieceSize;
  if (size < 1 || size > kMetaFilePieceSizeMax) {
    Str_Printf(m->refusal, kCatalogRefusalBytes, "piece size %I64d outside 1 to %I64d", size,
               kMetaFilePieceSizeMax);
    return m->refusal;
  }
  const HashInterface *hash = nullptr;
  if (!Hash_GetInterfaceByName(pieces->algorithm, &hash)) return "unknown piece algorithm";
  if (pieces->pieceTotal > 0 && pieces->digestLength != hash->DigestSize)
    return "digest length differs from the algorithm's";
  int64_t length = m->fileIndex->totalLength + m->fileIndex->totalPadding;
  if ((length + size - 1) / size != pieces->pieceTotal)
    return "piece count differs from the stream";
  if (m->hasPad) return nullptr;
  // A file's own pad goes into the piece that holds its last byte: it cannot
  // be split across two.
  for (FileRecord *r = m->fileIndex->first; r != nullptr; r = r->next) {
    if (r->pad == 0) continue;
    int64_t start = r->offset + r->size;
    if (start / size != (start + r->pad - 1) / size) return "file pad crosses a piece boundary";
  }
  return nullptr;
}

// Piece i covers [i x S, (i + 1) x S); its length is S less the pad bytes
// of the pad list inside. One pass over the pieces and the (ascending,
// disjoint) ranges. Without a pad list every piece is S long (a file's own
// pad is part of its piece): no table is kept, at 4 bytes a piece.
void metaFileBuildLengths(MetaFile *m) {
  metaFileFreeLengths(m);
  int32_t count = m->pieceList->pieceTotal;
  if (!m->hasPieces || count < 1) return;
  m->pieceLengthCount = count;
  if (!m->hasPad) return;
  int64_t size = m->pieceList->pieceSize;
  m->pieceLengths = static_cast<int32_t *>(MEM_ALLOC(int64_t(count) * int64_t(sizeof(int32_t)), 0));
  PadItem *item = m->padIndex->first;
  for (int32_t i = 0; i < count; i++) {
    int64_t start = int64_t(i) * size, end = start + size;
    while (item != nullptr && item->offset + item->size <= start) item = item->next;
    int64_t padded = 0;
    for (PadItem *p = item; p != nullptr && p->offset < end; p = p->next) {
      int64_t from = p->offset > start ? p->offset : start;
      int64_t to = p->offset + p->size < end ? p->offset + p->size : end;
      if (to > from) padded += to - from;
    }
    m->pieceLengths[i] = int32_t(size - padded);
  }
}

}  // namespace

int MetaFile_Create(MetaFile **metafile) {
  CHECK_POINTER(metafile);
  auto *m = new (MEM_ALLOC(sizeof(MetaFile), MEM_ZEROED)) MetaFile();
  m->header.classTag = kMetaFileTag;
  m->header.refCount.store(1, std::memory_order_relaxed);
  m->header.destroy = metaFileDestroy;
  m->log.object = m;
  m->log.className = "MetaFile";
  FileList_Create(&m->fileList);
  FileIndex_Create(&m->fileIndex);
  PieceList_Create(&m->pieceList);
  PadIndex_Create(&m->padIndex);
  Padding_Create(&m->padding);
  Str_Set(m->algorithm, "SHA1");
  *metafile = m;
  return 1;
}

int MetaFile_Destroy(MetaFile **metafile) {
  CHECK_POINTER(metafile);
  METAFILE_CHECK(*metafile);
  Class_ReleaseObject(metafile);
  return 1;
}

int MetaFile_Reset(MetaFile *m) {
  METAFILE_CHECK(m);
  if (m->request) {
    AsyncHttp_Reset(m->request, 1);
    // A parse still on the I/O worker owns the lists until it finishes; its
    // outcome is dropped, and the next load empties them.
    if (AsyncHttp_IsRunning(m->request)) return 1;
  }
  metaFileClear(m);
  return 1;
}

int MetaFile_Load(MetaFile *m, const char *url, int32_t signedFlag) {
  METAFILE_CHECK(m);
  CHECK_POINTER(url);
  AsyncHttp *request = metaFileRequest(m);
  if (AsyncHttp_IsRunning(request)) return 0;
  MetaFile_Reset(m);
  return AsyncHttp_Get(request, url, signedFlag);
}

int MetaFile_IsLoading(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->request && AsyncHttp_IsRunning(m->request);
}

int MetaFile_IsLoaded(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->request && AsyncHttp_IsComplete(m->request);
}

int MetaFile_Succeeded(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->request && AsyncHttp_Succeeded(m->request);
}

int MetaFile_GetResumeTime(MetaFile *m, double *resumeTime) {
  METAFILE_CHECK(m);
  return AsyncHttp_GetResumeTime(metaFileRequest(m), resumeTime);
}

int MetaFile_GetError(MetaFile *m, uint32_t *code, uint32_t *codeEx) {
  METAFILE_CHECK(m);
  return AsyncHttp_GetError(metaFileRequest(m), code, codeEx);
}

int MetaFile_SetMaxSize(MetaFile *m, int32_t bytes) {
  METAFILE_CHECK(m);
  return AsyncHttp_SetMaxSize(metaFileRequest(m), bytes);
}

int MetaFile_SetRefusedSuffix(MetaFile *m, const char *suffix) {
  METAFILE_CHECK(m);
  Str_Copy(m->refusedSuffix, suffix != nullptr ? suffix : "", int32_t(sizeof m->refusedSuffix));
  return 1;
}

int MetaFile_SetRoot(MetaFile *m, const char *root) {
  METAFILE_CHECK(m);
  Str_Copy(m->nameRoot, root != nullptr ? root : "", int32_t(sizeof m->nameRoot));
  return 1;
}

int MetaFile_SetEventQueue(MetaFile *m, EventQueue *queue) {
  METAFILE_CHECK(m);
  return AsyncHttp_SetEventQueue(metaFileRequest(m), queue);
}

int MetaFile_SetErrorCallback(MetaFile *m, void *context, AsyncHttpErrorCallback function) {
  METAFILE_CHECK(m);
  return AsyncHttp_SetErrorCallback(metaFileRequest(m), context, function);
}

int MetaFile_SetCertStore(MetaFile *m, CertStore *store) {
  METAFILE_CHECK(m);
  return AsyncHttp_SetCertStore(metaFileRequest(m), store);
}

int MetaFile_IsBodySaved(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->request && AsyncHttp_IsSaved(m->request);
}

int MetaFile_KeepBody(MetaFile *m) {
  METAFILE_CHECK(m);
  return AsyncHttp_KeepBody(metaFileRequest(m));
}

int MetaFile_SetLogSink(MetaFile *m, void *context, ClassLogSink sink) {
  METAFILE_CHECK(m);
  m->log.sinkContext = context;
  m->log.sink = sink;
  return 1;
}

int MetaFile_SetExpectedId(MetaFile *m, const char *id) {
  METAFILE_CHECK(m);
  Str_Copy(m->expectedId, id != nullptr ? id : "", kCatalogIdBytes);
  return 1;
}

int MetaFile_SetCheckClaims(MetaFile *m, int32_t on) {
  METAFILE_CHECK(m);
  return AsyncHttp_SetCheckClaims(metaFileRequest(m), on);
}

int32_t MetaFile_OnLoaded(AsyncHttp *, void *context, uint32_t *errorCode, uint32_t *errorCodeEx) {
  auto *m = static_cast<MetaFile *>(context);
  METAFILE_CHECK(m);
  CHECK_POINTER(errorCode);
  CHECK_POINTER(errorCodeEx);
  if (MetaFile_Finish(m)) return 1;
  *errorCode = kWebGetErrorInvalidContent;
  *errorCodeEx = 0;
  return 0;
}

int32_t MetaFile_OnKey(Json *, void *context, const char *path, int32_t type, const char *value,
                       int32_t valueLength, int64_t, int32_t, int32_t, int32_t *errorCode) {
  auto *m = static_cast<MetaFile *>(context);
  METAFILE_CHECK(m);
  CHECK_POINTER(path);
  CHECK_POINTER(errorCode);
  const char *relative = metaFileRelativePath(m, path, type);
  if (relative == nullptr) return 1;
  const char *slash = relative;
  while (*slash != '\0' && *slash != '\\') slash++;
  std::string_view first(relative, size_t(slash - relative));
  if (*slash == '\0') slash = nullptr;
  if (first == "files") {
    FileList_OnKey(m->fileList, relative, value, valueLength);
  } else if (first == "pad") {
    m->hasPad = 1;
    Padding_OnKey(m->padding, relative, value, valueLength);
  } else if (first == "pieces") {
    if (slash == nullptr) {
      if (type == kJsonNodeObject) m->hasPieces = 1;
      return 1;
    }
    return PieceList_OnKey(m->pieceList, relative, type, value, valueLength, errorCode);
  } else if (slash != nullptr) {
    return 1;
  } else if (first == "id") {
    if (type == kJsonNodeObject || type == kJsonNodeArray) m->malformed = 1;
    metaFileSetId(m, value, valueLength);
  } else if (first == "writeAlign") {
    m->writeAlign = KeyPath_ValueIsTrue(value, valueLength);
  } else if (first == "algorithm") {
    Str_CopyN(m->algorithm, kMetaFileAlgorithmBytes, value, valueLength);
  }
  return 1;
}

int MetaFile_Finish(MetaFile *m) {
  METAFILE_CHECK(m);
  FileList_Finish(m->fileList);
  Padding_Finish(m->padding);
  PieceList_Finish(m->pieceList);
  m->refusal[0] = '\0';
  if (m->malformed) return metaFileFail(m, "malformed top level or id");
  if (m->expectedId[0] != '\0' && Str_CompareNoCase(m->id, m->expectedId) != 0) {
    Str_Printf(m->refusal, kCatalogRefusalBytes, "metafile id %s, expected %s",
               m->id[0] != '\0' ? m->id : "(none)", m->expectedId);
    return metaFileFail(m, m->refusal);
  }
  if (m->hasPad && !PadIndex_Build(m->padIndex, m->padding))
    return metaFileFail(m, "pad ranges out of order or out of range");
  if (const char *why = metaFileCheckLinks(m)) return metaFileFail(m, why);
  FileIndexFailure failure{};
  if (!FileIndex_Build(m->fileIndex, m->fileList, m->hasPad ? m->padIndex : nullptr, &failure))
    return metaFileFail(m, metaFileIndexRefusal(m, failure));
  if (const char *why = metaFileCheckModes(m)) return metaFileFail(m, why);
  if (const char *why = metaFileCheckLinkChains(m)) return metaFileFail(m, why);
  if (const char *why = metaFileCheckLinkParents(m)) return metaFileFail(m, why);
  if (m->hasPieces) {
    if (const char *why = metaFileCheckPieces(m)) return metaFileFail(m, why);
  }
  if (const FileEntry *entry = metaFileRefusedName(m)) {
    Str_Printf(m->refusal, kCatalogRefusalBytes,
               "file %s: a component of the name ends in \"%s\", the file storage's own "
               "suffix", metaFileShownName(entry).c_str(), m->refusedSuffix);
    return metaFileFail(m, m->refusal);
  }
  if (const char *why = metaFileCheckNameLengths(m)) return metaFileFail(m, why);
  metaFileBuildLengths(m);
  metaFileLog(m, "Loaded (%s) files (%d) pieces (%d)\n", m->id, m->fileIndex->count,
              m->pieceList->pieceTotal);
  return 1;
}

int MetaFile_GetId(MetaFile *m, char *buffer, int32_t size) {
  METAFILE_CHECK(m);
  CHECK_POINTER(buffer);
  if (size > 0) buffer[0] = '\0';
  if (m->id[0] == '\0') return 0;
  return Str_Set(buffer, m->id, size) ? 1 : (buffer[0] = '\0', 0);
}

const char *MetaFile_GetAlgorithm(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->algorithm;
}

int32_t MetaFile_GetWriteAlign(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->writeAlign;
}

int32_t MetaFile_HasPieces(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->hasPieces;
}

FileList *MetaFile_GetFileList(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->fileList;
}

FileIndex *MetaFile_GetFileIndex(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->fileIndex;
}

PieceList *MetaFile_GetPieceList(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->pieceList;
}

Padding *MetaFile_GetPadding(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->hasPad ? m->padding : nullptr;
}

PadIndex *MetaFile_GetPadIndex(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->padIndex;
}

int32_t MetaFile_GetPieceLengthCount(MetaFile *m) {
  METAFILE_CHECK(m);
  return m->pieceLengthCount;
}

int MetaFile_GetPieceLength(MetaFile *m, int32_t index, int32_t *length) {
  METAFILE_CHECK(m);
  CHECK_POINTER(length);
  if (index < 0 || index >= m->pieceLengthCount)
    Core_Abort(KSRC,
               "Assertion failed (Index >= 0 && Index < MetaFile->PieceLengthCount)\nIndex out of "
               "bounds\n");
  *length = m->pieceLengths != nullptr ? m->pieceLengths[index] : int32_t(m->pieceList->pieceSize);
  return 1;
}

int MetaFile_GetStats(MetaFile *m, Dictionary *stats) {
  METAFILE_CHECK(m);
  CHECK_POINTER(stats);
  if (m->request) AsyncHttp_GetErrorInfo(m->request, stats);
  Dictionary_SetInt64ByKey(stats, "totalLength", m->fileIndex->totalLength);
  Dictionary_SetInt64ByKey(stats, "totalPadding", m->fileIndex->totalPadding);
  return 1;
}
