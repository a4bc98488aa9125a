// libFuzzer target for the documents of a content server: the bytes as a
// metafile (node callbacks on the JSON reader, then the completion step),
// and parsed into a Dictionary as an alias document and as a catalog
// document through their completion handlers. A crash, a sanitizer report,
// a leak or a fatal stop is a finding; tests/fuzz/run.sh runs it.
//
// Checked after a metafile loads: every file of non-empty extent is found
// at its first and last byte, and with "pieces" there is one length in
// [0, piece size] per piece.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/alias.h"
#include "base/catalog.h"
#include "base/metafile.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "tests/metafile_util.h"

namespace {

void checkLoaded(MetaFile *m) {
  FileIndex *index = MetaFile_GetFileIndex(m);
  for (FileRecord *r = index->first; r != nullptr; r = r->next) {
    int64_t extent = r->size + r->pad;
    if (extent == 0) continue;
    FileRecord *found = nullptr;
    if (!FileIndex_Find(index, &found, r->offset) || found != r) abort();
    if (!FileIndex_Find(index, &found, r->offset + extent - 1) || found != r) abort();
  }
  if (!MetaFile_HasPieces(m)) return;
  PieceList *pieces = MetaFile_GetPieceList(m);
  if (MetaFile_GetPieceLengthCount(m) != PieceList_GetPieceTotal(pieces)) abort();
  for (int32_t i = 0; i < MetaFile_GetPieceLengthCount(m); i++) {
    int32_t length = -1;
    MetaFile_GetPieceLength(m, i, &length);
    if (length < 0 || length > PieceList_GetPieceSize(pieces)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  const char *text = reinterpret_cast<const char *>(data);
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  if (MetaFile_TestLoad(m, text, int32_t(size)).code == 0) checkLoaded(m);
  MetaFile_Destroy(&m);

  Dictionary *document = nullptr;
  Dictionary_Create(&document);
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetDictionary(json, document);
  if (Json_ParseMemory(json, text, int32_t(size))) {
    Alias *alias = nullptr;
    Alias_Create(&alias);
    Alias_SetKey(alias, "game");
    char id[kCatalogIdBytes];
    if (Alias_OnLoaded(alias, document) && !Alias_GetRemoteId(alias, id)) abort();
    Alias_Destroy(&alias);
    Catalog *catalog = nullptr;
    Catalog_Create(&catalog);
    Catalog_OnLoaded(catalog, document);
    Catalog_Destroy(&catalog);
  }
  Json_Release(&json);
  Dictionary_Release(&document);
  return 0;
}
