// libFuzzer target for pieces as a piece storage hands them over: the first
// byte picks the storage flags (low four bits), the layout the digest check
// wants (bit 4) and the piece (bit 5); the rest is one piece of a small
// fixed metafile with a pad list, taken through the whole read sequence
// (piece header, decrypt, inflate, delta window and apply against a source
// request, pads, digest check). A crash, a sanitizer report, a leak or a
// fatal stop is a finding; tests/fuzz/run.sh runs it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/storagerequest.h"
#include "tests/metafile_util.h"

namespace {

const char kMeta[] =
    "{\"id\":\"z\",\"files\":[{\"name\":\"a\",\"size\":10},{\"name\":\"b\",\"size\":7000}],"
    "\"pad\":[{\"offset\":4,\"size\":3},{\"offset\":7013,\"size\":100}],"
    "\"pieces\":{\"algorithm\":\"SHA1\",\"size\":4096,\"digests\":["
    "\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\",\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\"]}}";

struct State {
  MetaFile *meta = nullptr;
  StorageRequest *request = nullptr;
  State() {
    MetaFile_Create(&meta);
    if (MetaFile_TestLoad(meta, kMeta, int32_t(sizeof kMeta - 1)).code != 0) abort();
    StorageRequest *source = nullptr;
    StorageRequest_Create(&request);
    StorageRequest_Create(&source);
    StorageRequest_SetSourceRequest(request, source);
  }
};

void fillSource(StorageRequest *source, MetaFile *meta, int32_t first, int32_t count) {
  StorageRequest_SetMetaFile(source, meta);
  for (int32_t i = first; i < first + count; i++) StorageRequest_AddPiece(source, i);
  StorageRequest_AllocBuffer(source);
  uint8_t *p = nullptr;
  StorageRequest_GetBuffer(source, 0, &p);
  int64_t n = StorageRequest_GetCapacity(source) - kStorageRequestSlack;
  for (int64_t i = 0; i < n; i++) p[i] = uint8_t(i * 7);
  StorageRequest_ReleaseBuffer(source, &p);
  StorageRequest_SetEncoding(source, 0);
  StorageRequest_SetLength(source, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static State s;
  if (size < 1 || size > (1 << 16)) return 0;
  uint8_t pick = data[0];
  StorageRequest *r = s.request;
  StorageRequest_Reset(r);
  StorageRequest_SetMetaFile(r, s.meta);
  StorageRequest_AddPiece(r, (pick >> 5) & 1);
  StorageRequest_AllocBuffer(r);
  if (int64_t(size - 1) > StorageRequest_GetCapacity(r)) return 0;
  uint8_t *p = nullptr;
  StorageRequest_GetBuffer(r, 0, &p);
  memcpy(p, data + 1, size - 1);
  StorageRequest_ReleaseBuffer(r, &p);
  StorageRequest_SetLength(r, int64_t(size - 1));
  if (!StorageRequest_ReadPieceHeader(r)) StorageRequest_SetEncoding(r, pick & 15);
  if (StorageRequest_Decrypt(r, "secret", 6) != 0) return 0;
  if (StorageRequest_Inflate(r) != 0) return 0;
  if (StorageRequest_TestEncoding(r, kStorageFlagVCDiff)) {
    int32_t first = 0, count = 0;
    if (!StorageRequest_ReadDeltaWindow(r, &first, &count)) return 0;
    if (first >= 0 && count > 0 && int64_t(first) + count <= MetaFile_GetPieceLengthCount(s.meta))
      fillSource(StorageRequest_GetSourceRequest(r), s.meta, first, count);
    if (!StorageRequest_ApplyDelta(r)) return 0;
  }
  if (StorageRequest_GetLength(r) > StorageRequest_GetCapacity(r)) abort();
  if (pick & 16)
    StorageRequest_AddPadding(r);
  else
    StorageRequest_RemovePadding(r);
  int32_t failed = -1;
  StorageRequest_CheckDigests(r, &failed);
  return 0;
}
