// MetaFile: one version of an installation as its metafile describes it:
// the files in stream order, the pad ranges between and inside them, and the
// cutting of the stream into fixed-size pieces with their digests. The
// document is fetched by a document request (format JSON, a local one
// through its file URL) whose JSON reader reports nodes to MetaFile_OnKey
// with no target Dictionary, so no tree is built; when it is complete,
// MetaFile_OnLoaded indexes and checks the lists and derives the length of
// every piece (its size less the pad bytes it holds).
//
// Invariants: (1) a metafile is loaded only when every check of
// MetaFile_Finish passed; then the file index holds every entry under a
// safe name no other entry has, every link's target resolves inside the
// root through the document's own links (FileIndex_ResolveLink), every
// "mode" parsed, the pad index (with "pad") holds ascending,
// non-overlapping ranges, and with "pieces": 1 <= piece size <=
// kMetaFilePieceSizeMax, the algorithm is known, every digest has its
// digest size, and there are exactly ceil(stream length / piece size)
// pieces with one length each. (2) a failed Finish leaves the metafile as a
// reset one (no entries, pieces, indexes, piece lengths or id), so nothing
// reads a refused document's values. (3) the id is
// a valid catalog id (possibly empty), never a cut one. (4) the request is
// made when first needed, so a metafile read from memory needs no network
// services.
//
// Threads: the owner's thread (the main thread), except the node callbacks
// and the completion, which run where the document is parsed (an I/O worker);
// the owner reads the lists only once the metafile is loaded.
#pragma once

#include <cstdint>

#include "base/catalog.h"
#include "base/catalog_id.h"
#include "base/filelist.h"
#include "base/padding.h"
#include "base/piecelist.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/asynchttp.h"
#include "core/runtime/class.h"

constexpr uint32_t kMetaFileTag = 0x3e7af11e;
constexpr int32_t kMetaFileAlgorithmBytes = 320;
// A piece is carried whole in one request's buffer: a piece larger than the
// repository's request budget (kRepositoryRequestBudgetBytes) is refused.
constexpr int64_t kMetaFilePieceSizeMax = int64_t(256) << 20;

struct MetaFile {
  ObjectHeader header;  // kMetaFileTag
  AsyncHttp *request;   // NULL until first needed
  FileList *fileList;
  FileIndex *fileIndex;
  PieceList *pieceList;
  PadIndex *padIndex;
  Padding *padding;
  int32_t *pieceLengths;  // NULL without a pad list: every piece is the piece size
  int32_t pieceLengthCount;
  int32_t hasPad;
  int32_t hasPieces;  // "pieces" was an object (an empty one counts)
  int32_t writeAlign;
  int32_t rootArray;  // the document is an array; only its element 0 counts
  int32_t malformed;  // a top level or id that cannot load
  char refusedSuffix[32];  // a file name ending so does not load ("": none)
  char nameRoot[kFileNameMaxBytes + 1];  // names are counted under it ("": not yet known)
  char id[kCatalogIdBytes];
  char algorithm[kMetaFileAlgorithmBytes];
  // The id the next loads must carry; empty: any. Kept across resets; set
  // by the owner before a load, read by the completion.
  char expectedId[kCatalogIdBytes];
  // Why the last completion refused the document, naming both ids; empty
  // when it did not. Written by the completion, read by the owner once the
  // load has finished.
  char refusal[kCatalogRefusalBytes];
  ClassLog log;  // "MetaFile"
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign object or out-pointer.

int MetaFile_Create(MetaFile **metafile);
// Resets, releases the lists and the request, and clears *metafile. The
// last reference stops the program ("... released while its document is
// parsed") while a parse still runs: reset, then wait until
// MetaFile_IsLoading answers 0.
int MetaFile_Destroy(MetaFile **metafile);
// Resets the request, then empties the lists, indexes and piece lengths; no
// pad, writeAlign 0, empty id, algorithm "SHA1". While a parse still runs on
// the I/O worker the lists stay its own (its outcome is dropped) and the
// next load empties them. Returns 1.
int MetaFile_Reset(MetaFile *metafile);

// Empties the metafile and starts the GET of url (a local metafile by its
// file URL); with signed the document must carry a valid JWS signature.
// 0 while a load runs.
int MetaFile_Load(MetaFile *metafile, const char *url, int32_t signedFlag);
int MetaFile_IsLoading(MetaFile *metafile);
// 1 once a load has finished for good (succeeded or not: see the stats).
int MetaFile_IsLoaded(MetaFile *metafile);
int MetaFile_Succeeded(MetaFile *metafile);
int MetaFile_GetResumeTime(MetaFile *metafile, double *resumeTime);
int MetaFile_GetError(MetaFile *metafile, uint32_t *code, uint32_t *codeEx);
// The largest document in bytes ("metafile.limitSize"); below 1: no limit.
int MetaFile_SetMaxSize(MetaFile *metafile, int32_t bytes);
int MetaFile_SetEventQueue(MetaFile *metafile, EventQueue *queue);
int MetaFile_SetErrorCallback(MetaFile *metafile, void *context, AsyncHttpErrorCallback function);
int MetaFile_SetCertStore(MetaFile *metafile, CertStore *store);
// A file name that ends in suffix (case-sensitive; at most 31 bytes kept,
// "" or NULL: none) fails the load with 976, the entry named: the file
// storage builds files under such names. Kept across resets. Returns 1.
int MetaFile_SetRefusedSuffix(MetaFile *metafile, const char *suffix);
// The installation root the names will be made under (NULL or "": none,
// and lengths are not counted).
// A name whose path there, with the refused suffix appended, passes 4095
// bytes, or any component of which with that suffix passes 255 bytes,
// fails the load with 976, the entry, the rule and the root named. Kept
// across resets. Returns 1.
int MetaFile_SetRoot(MetaFile *metafile, const char *root);
// 1 once the request has written its document to a file.
int MetaFile_IsBodySaved(MetaFile *metafile);
// Keeps the raw document after parsing, so that it can be saved as it came.
int MetaFile_KeepBody(MetaFile *metafile);
int MetaFile_SetLogSink(MetaFile *metafile, void *context, ClassLogSink sink);
// The id the next loads must carry, compared without regard to case (NULL
// or empty: any). Returns 1.
int MetaFile_SetExpectedId(MetaFile *metafile, const char *id);
// 0: signed documents are read whatever their "exp" and "nbf" say (the
// local metafile, a copy kept on disk). Returns 1.
int MetaFile_SetCheckClaims(MetaFile *metafile, int32_t on);

// The JSON reader's node callback (context: the metafile). Hands "files",
// "pad" and "pieces" nodes to their lists and keeps "id", "algorithm" and
// "writeAlign". A top level that is a one-element array holding an object
// reads as that object. Answers 0 with *errorCode 11 when a digest cannot be
// taken (PieceList_OnKey); 1 otherwise.
int32_t MetaFile_OnKey(Json *json, void *context, const char *path, int32_t type, const char *value,
                       int32_t valueLength, int64_t streamPosition, int32_t nodePosition,
                       int32_t nodeSize, int32_t *errorCode);
// The request's completion: MetaFile_Finish; when that refuses the document
// the load fails with 976 (codeEx 0) and the answer is 0.
int32_t MetaFile_OnLoaded(AsyncHttp *request, void *context, uint32_t *errorCode,
                          uint32_t *errorCodeEx);
// The end of a parsed document: finishes the lists, builds the pad index
// and the file index, checks the geometry and builds the piece lengths.
// Returns 0 (the load fails with 976) when any check of the header fails,
// for an id that is not a valid catalog id or differs from the expected id
// (kept in refusal), for a top level that is neither
// an object nor a one-element array holding one, and in per-file pad mode
// for a pad that crosses a piece boundary, and for a file name that ends
// in the refused suffix.
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
// The request's "errorCount", "errorCode", "errorCodeEx" and "resumeTime"
// (when it was made), then "totalLength" and "totalPadding" (Int64) from the
// file index.
int MetaFile_GetStats(MetaFile *metafile, Dictionary *stats);
