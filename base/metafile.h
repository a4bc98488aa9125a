// MetaFile: one version of an installation as its metafile describes it:
// the files in stream order, the pad ranges between and inside them, and the
// cutting of the stream into fixed-size pieces with their digests. The
// document is read through node callbacks of the JSON reader (no tree is
// built); when it is complete, the lists are indexed and checked and the
// length of every piece (its size less the pad bytes it holds) is derived.
//
// Invariants: (1) a metafile is loaded only when every check of
// MetaFile_Finish passed; then the file index holds every entry under a
// safe name, the pad index (with "pad") holds ascending, non-overlapping
// ranges, and with "pieces": 1 <= piece size <= 2^30, the algorithm is
// known, every digest has its digest size, and there are exactly
// ceil(stream length / piece size) pieces with one length each. (2) a failed
// Finish leaves no index, pad index or piece lengths behind. (3) the id is
// a valid catalog id (possibly empty), never a cut one.
//
// Threads: one thread at a time. Node callbacks and Finish run where the
// document is parsed; the owner reads the lists only once loading is over.
#pragma once

#include <cstdint>

#include "base/catalog_id.h"
#include "base/filelist.h"
#include "base/padding.h"
#include "base/piecelist.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/runtime/class.h"

constexpr uint32_t kMetaFileTag = 0x3e7af11e;
constexpr int32_t kMetaFileAlgorithmBytes = 320;
constexpr int64_t kMetaFilePieceSizeMax = int64_t(1) << 30;

struct MetaFile {
  ObjectHeader header;  // kMetaFileTag
  FileList *fileList;
  FileIndex *fileIndex;
  PieceList *pieceList;
  PadIndex *padIndex;
  Padding *padding;
  int32_t *pieceLengths;
  int32_t pieceLengthCount;
  int32_t hasPad;
  int32_t hasPieces;  // "pieces" was an object (an empty one counts)
  int32_t writeAlign;
  int32_t rootArray;  // the document is an array; only its element 0 counts
  int32_t malformed;  // a top level or id that cannot load
  char id[kCatalogIdBytes];
  char algorithm[kMetaFileAlgorithmBytes];
  ClassLog log;  // "MetaFile"
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign object or out-pointer.

int MetaFile_Create(MetaFile **metafile);
int MetaFile_Destroy(MetaFile **metafile);
// Empties the lists, indexes and piece lengths; no pad, writeAlign 0, empty
// id, algorithm "SHA1". Returns 1.
int MetaFile_Reset(MetaFile *metafile);

// The JSON reader's node callback (context: the metafile). Hands "files",
// "pad" and "pieces" nodes to their lists and keeps "id", "algorithm" and
// "writeAlign". A top level that is a one-element array holding an object
// reads as that object. Answers 0 with *errorCode 11 when a digest cannot be
// taken (PieceList_OnKey); 1 otherwise.
int32_t MetaFile_OnKey(Json *json, void *context, const char *path, int32_t type,
                       const char *value, int32_t valueLength, int64_t streamPosition,
                       int32_t nodePosition, int32_t nodeSize, int32_t *errorCode);
// The end of a parsed document: finishes the lists, builds the pad index
// and the file index, checks the geometry and builds the piece lengths.
// Returns 0 (the load fails with 976) when any check of the header fails,
// for an id that is not a valid catalog id, for a top level that is neither
// an object nor a one-element array holding one, and in per-file pad mode
// for a pad that crosses a piece boundary.
int MetaFile_Finish(MetaFile *metafile);

// The id into buffer; 0 (buffer empty) when there is none or it does not fit.
int MetaFile_GetId(MetaFile *metafile, char *buffer, int32_t size);
const char *MetaFile_GetAlgorithm(MetaFile *metafile);
int32_t MetaFile_GetWriteAlign(MetaFile *metafile);
int32_t MetaFile_HasPieces(MetaFile *metafile);
FileList *MetaFile_GetFileList(MetaFile *metafile);
FileIndex *MetaFile_GetFileIndex(MetaFile *metafile);
PieceList *MetaFile_GetPieceList(MetaFile *metafile);
// NULL unless the document had "pad".
Padding *MetaFile_GetPadding(MetaFile *metafile);
PadIndex *MetaFile_GetPadIndex(MetaFile *metafile);
int32_t MetaFile_GetPieceLengthCount(MetaFile *metafile);
// Stops the program with "Index out of bounds" outside [0, count).
int MetaFile_GetPieceLength(MetaFile *metafile, int32_t index, int32_t *length);
// "totalLength" and "totalPadding" (Int64) from the file index.
int MetaFile_GetStats(MetaFile *metafile, Dictionary *stats);
