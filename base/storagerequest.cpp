// Storage requests; see storagerequest.h.
#include "base/storagerequest.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>

#include "base/padding.h"
#include "base/piecelist.h"
#include "base/storagehttp.h"
#include "core/platform/platform.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/hash.h"
#include "core/security/hmac.h"

namespace {

#define STORAGEREQUEST_CHECK(r) CLASS_CHECK((r), kStorageRequestTag)

constexpr uint8_t kPieceMagic[4] = {0x6E, 0x2B, 0x3B, 0x61};
constexpr int32_t kLayoutFieldMax = 320;  // IV and check block
constexpr int32_t kDefaultPageSize = 4096;

void storageRequestLog(StorageRequest *r, const char *format, ...) {
  // The owner's sink takes lines whether or not the global log writes.
  if (!Class_LogEnabled(&r->log, LOG_DEBUG)) return;
  if (r->log.sink == nullptr && !Log_IsEnabled()) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&r->log, 0, format, args);
  va_end(args);
}

void storageRequestCheckUnheld(StorageRequest *r) {
  int32_t held = r->bufferRefCount.load();
  if (held != 0)
    Core_Abort(KSRC,
               "Assertion failed (StorageRequest->BufferRefCount == 0)\nReference to buffer not "
               "released before being reset [%d]\n",
               held);
}

int64_t storageRequestPageSize() {
  uint32_t page = 0;
  Platform_GetPageSize(&page);
  return page > 0 ? int64_t(page) : kDefaultPageSize;
}

void storageRequestFreeMembers(StorageRequest *r) {
  Pool_Reset(r->members);
  r->first = r->last = nullptr;
  r->memberCount = 0;
}

// The sizes of the buffer and scratch blocks are read by the owner's budget
// (StorageRequest_GetHeldBytes) while a pool thread may grow them, so they
// change with atomic stores.
void storageRequestSetSize(int64_t *size, int64_t value) {
  __atomic_store_n(size, value, __ATOMIC_RELAXED);
}

void storageRequestZeroBuffer(StorageRequest *r) {
  if (r->buffer != nullptr && r->dirty > 0) memset(r->buffer, 0, size_t(r->dirty));
  r->dirty = 0;
}

void storageRequestFreeBuffer(StorageRequest *r) {
  if (r->block != nullptr) MEM_FREE(r->block, r->blockSize);
  r->block = r->buffer = nullptr;
  storageRequestSetSize(&r->blockSize, 0);
  r->bufferSize = r->dirty = 0;
}

uint8_t *storageRequestScratch(StorageRequest *r, int64_t size) {
  if (size > r->scratchSize) {
    if (r->scratch != nullptr) MEM_FREE(r->scratch, r->scratchSize);
    storageRequestSetSize(&r->scratchSize, size);
    r->scratch = static_cast<uint8_t *>(MEM_ALLOC(size, 0));
  }
  return r->scratch;
}

void storageRequestWipeKey(StorageRequest *r) {
  volatile uint8_t *p = reinterpret_cast<volatile uint8_t *>(r->key);
  for (size_t i = 0; i < sizeof r->key; i++) p[i] = 0;
  memset(r->keySaltHash, 0, sizeof r->keySaltHash);
  memset(r->keyPasswordHash, 0, sizeof r->keyPasswordHash);
  r->keyValid = 0;
  r->keyIterations = r->keySaltLength = 0;
}

void storageRequestDestroy(void **object) {
  auto *r = static_cast<StorageRequest *>(*object);
  storageRequestCheckUnheld(r);
  if (r->sourceRequest != nullptr) Class_ReleaseObject(&r->sourceRequest);
  int rc = inflateEnd(&r->inflate);
  if (rc != Z_OK)
    Core_Abort(KSRC,
               "Assertion failed (CompressError == Z_OK)\nStorageRequest failed finalize zlib "
               "stream (%d)",
               rc);
  storageRequestWipeKey(r);
  AES_Release(&r->aes);
  Class_ReleaseObject(&r->decoder);
  storageRequestFreeMembers(r);
  Pool_Release(&r->members);
  storageRequestFreeBuffer(r);
  if (r->scratch != nullptr) MEM_FREE(r->scratch, r->scratchSize);
  r->header.classTag = 0;
  r->~StorageRequest();
  MEM_FREE(r, sizeof(StorageRequest));
}

// ---- members -----------------------------------------------------------

StorageMember *storageRequestAppend(StorageRequest *r, FileRecord *file, int64_t offset,
                                    int64_t fileOffset, int32_t index, int64_t length,
                                    int64_t pad) {
  auto *m = static_cast<StorageMember *>(POOL_ALLOC(r->members, sizeof(StorageMember)));
  m->file = file;
  m->offset = offset;
  m->fileOffset = fileOffset;
  m->pieceIndex = index;
  if (r->last != nullptr) {
    m->dataOffset = r->last->dataOffset + r->last->length;
    m->paddedOffset = r->last->paddedOffset + r->last->length + r->last->pad;
  }
  m->length = length;
  m->pad = pad;
  m->previous = r->last;
  (r->last ? r->last->next : r->first) = m;
  r->last = m;
  r->memberCount++;
  return m;
}

void storageRequestCheckPad(int64_t pad, const char *name) {
  if (pad < 0 || pad > INT32_MAX)
    Core_Abort(KSRC, "Assertion failed (%s >= 0 && %s <= INT32_MAX)\nInvalid file padding (%I64d)",
               name, name, pad);
}

// Members of [start, end) without a pad list: each file's data, with its
// own pad after the member of the piece that holds the extent's last byte.
void storageRequestBuildPiece(StorageRequest *r, FileIndex *files, int32_t index, int64_t start,
                              int64_t end, int64_t pieceSize) {
  FileRecord *file = nullptr;
  if (!FileIndex_Find(files, &file, start)) Core_Abort(KSRC, "Invalid index (%d)", index);
  int64_t left = end - start;
  int64_t at = start;
  for (; file != nullptr && left > 0; file = file->next) {
    int64_t fileOffset = at - file->offset;
    int64_t dataLeft = file->size > fileOffset ? file->size - fileOffset : 0;
    int64_t length = dataLeft < left ? dataLeft : left;
    int64_t extentEnd = file->offset + file->size + file->pad;
    int64_t owner = 0;
    StorageHTTP_PieceIndexOfOffset(pieceSize, &owner, extentEnd - 1);
    if (owner < 0) owner = 0;  // a file of size 0 at the very start
    int64_t pad = 0;
    if (owner == index) {
      pad = file->pad;
      storageRequestCheckPad(pad, "Padding");
    }
    storageRequestAppend(r, file, at, fileOffset > file->size ? file->size : fileOffset, index,
                         length, pad);
    left -= length + pad;
    at = extentEnd;
  }
  if (left != 0) Core_Abort(KSRC, "Assertion failed (Length == 0)\nFailed to build piece");
}

// Bytes of pad ranges in [from, to): the part of the file's extent before a
// position that is not data.
int64_t storageRequestPadBefore(PadIndex *pads, int64_t from, int64_t to) {
  int64_t sum = 0;
  PadItem *item = nullptr;
  if (from >= to || !PadIndex_Find(pads, &item, from)) return 0;
  for (; item != nullptr && item->offset < to; item = item->next) {
    int64_t a = item->offset > from ? item->offset : from;
    int64_t b = item->offset + item->size < to ? item->offset + item->size : to;
    if (b > a) sum += b - a;
  }
  return sum;
}

// Members of [start, end) with a pad list: each file's part of the piece
// split at the ranges that meet it; a member ends where a range starts and
// carries the range's part inside the piece and the file as its pad.
void storageRequestBuildPadded(StorageRequest *r, FileIndex *files, PadIndex *pads, int32_t index,
                               int64_t start, int64_t end) {
  FileRecord *file = nullptr;
  if (!FileIndex_Find(files, &file, start)) Core_Abort(KSRC, "Invalid index (%d)", index);
  int64_t at = start;
  for (; file != nullptr && at < end; file = file->next) {
    int64_t extentEnd = file->offset + file->size + file->pad;
    int64_t stop = extentEnd < end ? extentEnd : end;
    if (at < file->offset) at = file->offset;
    int64_t fileOffset = (at - file->offset) - storageRequestPadBefore(pads, file->offset, at);
    PadItem *item = nullptr;
    PadIndex_Find(pads, &item, at);
    while (at < stop) {
      while (item != nullptr && item->offset + item->size <= at) item = item->next;
      int64_t dataEnd = stop;
      int64_t pad = 0;
      if (item != nullptr && item->offset < stop) {
        dataEnd = item->offset > at ? item->offset : at;
        int64_t padEnd = item->offset + item->size < stop ? item->offset + item->size : stop;
        pad = padEnd - dataEnd;
      }
      int64_t length = dataEnd - at;
      storageRequestCheckPad(pad, "FilePadding");
      storageRequestAppend(r, file, at, fileOffset, index, length, pad);
      fileOffset += length;
      at = dataEnd + pad;
    }
  }
  if (at != end) Core_Abort(KSRC, "Assertion failed (Length == 0)\nFailed to build piece");
}

// ---- decryption --------------------------------------------------------

struct LayoutReader {
  const uint8_t *data;
  int64_t length;
  int64_t position = 0;
  int ok = 1;

  const uint8_t *take(int64_t n) {
    if (!ok || n < 0 || n > length - position) {
      ok = 0;
      return nullptr;
    }
    const uint8_t *p = data + position;
    position += n;
    return p;
  }
  uint32_t number(int bytes) {
    const uint8_t *p = take(bytes);
    uint32_t v = 0;
    for (int i = 0; p != nullptr && i < bytes; i++) v = (v << 8) | p[i];
    return v;
  }
  // A hash name of one length byte and a digest of that algorithm's size.
  const HashInterface *hash(const uint8_t **digest) {
    uint32_t n = number(1);
    const uint8_t *name = take(n);
    if (name == nullptr) return nullptr;
    char text[256];
    memcpy(text, name, n);
    text[n] = 0;
    if (memchr(text, 0, n) != nullptr) {
      ok = 0;
      return nullptr;
    }
    const HashInterface *h = nullptr;
    if (!Hash_GetInterfaceByName(text, &h)) {
      ok = 0;
      return nullptr;
    }
    *digest = take(h->DigestSize);
    return *digest != nullptr ? h : nullptr;
  }
};

struct AesLayout {
  uint32_t iterations;
  const uint8_t *salt;
  uint32_t saltLength;
  const uint8_t *iv;
  const uint8_t *check;
  uint32_t checkLength;
  const HashInterface *checkHash;
  const uint8_t *checkDigest;
  uint32_t padding;
  const uint8_t *data;
  uint32_t dataLength;
  int64_t dataEnd;  // bytes from the start through the data field
  const HashInterface *dataHash;
  const uint8_t *dataDigest;
};

int storageRequestParseLayout(const uint8_t *buffer, int64_t length, AesLayout *out) {
  LayoutReader in{buffer, length};
  out->iterations = in.number(2);
  out->saltLength = in.number(2);
  out->salt = in.take(out->saltLength);
  uint32_t ivLength = in.number(2);
  out->iv = in.take(ivLength);
  out->checkLength = in.number(2);
  out->check = in.take(out->checkLength);
  if (!in.ok || ivLength < kAesBlockBytes || ivLength > kLayoutFieldMax || out->checkLength == 0 ||
      out->checkLength > kLayoutFieldMax || out->checkLength % kAesBlockBytes != 0 ||
      out->iterations == 0)
    return 0;
  out->checkHash = in.hash(&out->checkDigest);
  out->padding = in.number(1);
  out->dataLength = in.number(4);
  out->data = in.take(out->dataLength);
  out->dataEnd = in.position;
  out->dataHash = in.hash(&out->dataDigest);
  return in.ok && out->padding <= out->dataLength;
}

int storageRequestSameBytes(const uint8_t *a, const uint8_t *b, int32_t n) {
  uint8_t diff = 0;
  for (int32_t i = 0; i < n; i++) diff |= uint8_t(a[i] ^ b[i]);
  return diff == 0;
}

int storageRequestDigestMatches(const HashInterface *h, const void *data, int64_t length,
                                const uint8_t *expected) {
  uint8_t digest[kHashMaxDigestBytes];
  Hash_ComputeDigest(h, data, length, digest, sizeof digest);
  return storageRequestSameBytes(digest, expected, h->DigestSize);
}

// The key of (password, salt, iterations), from the one-entry cache when it
// holds the same triple.
void storageRequestDeriveKey(StorageRequest *r, const void *password, int32_t passwordLength,
                             const AesLayout &l) {
  uint8_t passwordHash[32], saltHash[32];
  Hash_ComputeDigest(&kHashSha256, password, passwordLength, passwordHash, sizeof passwordHash);
  Hash_ComputeDigest(&kHashSha256, l.salt, l.saltLength, saltHash, sizeof saltHash);
  if (r->keyValid && r->keyIterations == int32_t(l.iterations) &&
      r->keySaltLength == int32_t(l.saltLength) &&
      memcmp(r->keySaltHash, saltHash, sizeof saltHash) == 0 &&
      memcmp(r->keyPasswordHash, passwordHash, sizeof passwordHash) == 0)
    return;
  Hmac_Pbkdf2Sha1(password, passwordLength, l.salt, int32_t(l.saltLength), int32_t(l.iterations),
                  r->key, kStorageRequestKeyBytes);
  memcpy(r->keySaltHash, saltHash, sizeof saltHash);
  memcpy(r->keyPasswordHash, passwordHash, sizeof passwordHash);
  r->keyIterations = int32_t(l.iterations);
  r->keySaltLength = int32_t(l.saltLength);
  r->keyValid = 1;
}

int64_t storageRequestMemberLengths(StorageRequest *r) {
  int64_t sum = 0;
  for (StorageMember *m = r->first; m != nullptr; m = m->next) sum += m->length;
  return sum;
}

}  // namespace

int StorageRequest_Create(StorageRequest **request) {
  CHECK_POINTER(request);
  auto *r = new (MEM_ALLOC(sizeof(StorageRequest), MEM_ZEROED)) StorageRequest();
  r->header.classTag = kStorageRequestTag;
  r->header.refCount.store(1, std::memory_order_relaxed);
  r->header.destroy = storageRequestDestroy;
  r->log.object = r;
  r->log.className = "StorageRequest";
  Pool_Create(&r->members, KSRC);
  Pool_SetMemberSize(r->members, sizeof(StorageMember));
  Pool_SetMemberChunkSize(r->members, kStorageRequestMemberGrowth);
  VCDiffDecoder_Create(&r->decoder);
  AES_Create(&r->aes);
  int rc = inflateInit2(&r->inflate, kStorageRequestWindowBits);
  if (rc != Z_OK)
    Core_Abort(KSRC,
               "Assertion failed (CompressError == Z_OK)\nStorageRequest failed initialize zlib "
               "stream (%d)",
               rc);
  r->createTime = Platform_GetTickSeconds();
  StorageRequest_Reset(r);
  *request = r;
  return 1;
}

int StorageRequest_Reset(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  storageRequestCheckUnheld(r);
  storageRequestFreeMembers(r);
  if (r->sourceRequest != nullptr) StorageRequest_Reset(r->sourceRequest);
  r->cancelled = 0;
  r->allowDelta = 1;
  r->installed = 0;
  r->storage = nullptr;
  r->encoding = kStorageFlagPad;
  r->total = r->span = r->capacity = r->length = 0;
  r->pieceIndex = -1;
  r->windowRead = 0;
  r->url[0] = '\0';
  r->urlDelta = 0;
  r->cause = WebGetCause{};
  r->bypassCaches = 0;
  r->digestFailedAt = nullptr;
  r->failedMember = nullptr;
  double now = Platform_GetTickSeconds();
  r->createTime = r->resetTime = now;
  storageRequestZeroBuffer(r);
  return 1;
}

int StorageRequest_SetMetaFile(StorageRequest *r, MetaFile *metafile) {
  STORAGEREQUEST_CHECK(r);
  r->metafile = metafile;
  return 1;
}

MetaFile *StorageRequest_GetMetaFile(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->metafile;
}

int StorageRequest_SetStorage(StorageRequest *r, Storage *storage) {
  STORAGEREQUEST_CHECK(r);
  r->storage = storage;
  return 1;
}

Storage *StorageRequest_GetStorage(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->storage;
}

int StorageRequest_SetSourceRequest(StorageRequest *r, StorageRequest *source) {
  STORAGEREQUEST_CHECK(r);
  if (source != nullptr) STORAGEREQUEST_CHECK(source);
  if (source == r) Core_Abort(KSRC, "Assertion failed (Source != StorageRequest)\n");
  StorageRequest *old = r->sourceRequest;
  r->sourceRequest = source;
  if (old != nullptr) Class_ReleaseObject(&old);
  return 1;
}

StorageRequest *StorageRequest_GetSourceRequest(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->sourceRequest;
}

int StorageRequest_SetAllowDelta(StorageRequest *r, int32_t allow) {
  STORAGEREQUEST_CHECK(r);
  r->allowDelta = allow ? 1 : 0;
  return 1;
}

int32_t StorageRequest_GetAllowDelta(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->allowDelta;
}

int StorageRequest_SetInstalled(StorageRequest *r, int32_t installed) {
  STORAGEREQUEST_CHECK(r);
  r->installed = installed ? 1 : 0;
  return 1;
}

int32_t StorageRequest_GetInstalled(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->installed;
}

int StorageRequest_SetUrl(StorageRequest *r, const char *url, int32_t delta) {
  STORAGEREQUEST_CHECK(r);
  CHECK_POINTER(url);
  Str_Copy(r->url, url, kStorageRequestUrlBytes);
  r->urlDelta = delta ? 1 : 0;
  r->cause = WebGetCause{};
  return 1;
}

int StorageRequest_SetCause(StorageRequest *r, const WebGetCause *cause) {
  STORAGEREQUEST_CHECK(r);
  CHECK_POINTER(cause);
  r->cause = *cause;
  return 1;
}

int StorageRequest_GetCause(StorageRequest *r, WebGetCause *cause) {
  STORAGEREQUEST_CHECK(r);
  CHECK_POINTER(cause);
  *cause = r->cause;
  return 1;
}

const char *StorageRequest_GetUrl(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->url;
}

int32_t StorageRequest_IsDeltaUrl(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->urlDelta;
}

int StorageRequest_SetCancelled(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  r->cancelled = 1;
  return 1;
}

int32_t StorageRequest_IsCancelled(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->cancelled;
}

int StorageRequest_SetEncoding(StorageRequest *r, uint32_t encoding) {
  STORAGEREQUEST_CHECK(r);
  r->encoding = encoding;
  return 1;
}

uint32_t StorageRequest_GetEncoding(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->encoding;
}

int StorageRequest_TestEncoding(StorageRequest *r, uint32_t flags) {
  STORAGEREQUEST_CHECK(r);
  return (r->encoding & flags) == flags;
}

int64_t StorageRequest_GetLength(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->length;
}

int StorageRequest_SetLength(StorageRequest *r, int64_t length) {
  STORAGEREQUEST_CHECK(r);
  if (length < 0 || length > r->capacity)
    Core_Abort(KSRC, "Assertion failed (Length >= 0 && Length <= Capacity)\nInvalid length (%I64d)",
               length);
  r->length = length;
  return 1;
}

int StorageRequest_AddLength(StorageRequest *r, int64_t count) {
  STORAGEREQUEST_CHECK(r);
  return StorageRequest_SetLength(r, r->length + count);
}

int64_t StorageRequest_GetTotal(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->total;
}

int64_t StorageRequest_GetCapacity(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->capacity;
}

int32_t StorageRequest_GetPieceIndex(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->pieceIndex;
}

int StorageRequest_SetPieceIndex(StorageRequest *r, int32_t index) {
  STORAGEREQUEST_CHECK(r);
  r->pieceIndex = index;
  return 1;
}

double StorageRequest_GetStartTime(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->createTime;
}

double StorageRequest_GetResetTime(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->resetTime;
}

int StorageRequest_SetLogSink(StorageRequest *r, void *context, ClassLogSink sink) {
  STORAGEREQUEST_CHECK(r);
  r->log.sinkContext = context;
  r->log.sink = sink;
  return 1;
}

int StorageRequest_AddPiece(StorageRequest *r, int32_t index) {
  STORAGEREQUEST_CHECK(r);
  if (index < 0) Core_Abort(KSRC, "Assertion failed (Index >= 0)\nInvalid index %d", index);
  storageRequestCheckUnheld(r);
  MetaFile *m = r->metafile;
  CHECK_POINTER(m);
  for (StorageMember *e = r->first; e != nullptr; e = e->next)
    if (e->pieceIndex == index) return 1;
  if (index >= MetaFile_GetPieceLengthCount(m)) Core_Abort(KSRC, "Invalid index (%d)", index);
  int32_t length = 0;
  MetaFile_GetPieceLength(m, index, &length);
  FileIndex *files = MetaFile_GetFileIndex(m);
  int64_t pieceSize = PieceList_GetPieceSize(MetaFile_GetPieceList(m));
  int64_t data = 0, padding = 0;
  FileIndex_GetTotalLength(files, &data);
  FileIndex_GetTotalPadding(files, &padding);
  int64_t start = int64_t(index) * pieceSize;
  int64_t end = start + pieceSize < data + padding ? start + pieceSize : data + padding;
  if (MetaFile_GetPadding(m) != nullptr)
    storageRequestBuildPadded(r, files, MetaFile_GetPadIndex(m), index, start, end);
  else
    storageRequestBuildPiece(r, files, index, start, end, pieceSize);
  r->total += length;
  r->span += end - start;
  if (r->pieceIndex < 0 || index < r->pieceIndex) r->pieceIndex = index;
  return 1;
}

int32_t StorageRequest_GetMemberCount(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->memberCount;
}

StorageMember *StorageRequest_GetFirstMember(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->first;
}

int StorageRequest_AllocBuffer(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  storageRequestCheckUnheld(r);
  int64_t capacity = r->span + kStorageRequestSlack;
  if (capacity > r->bufferSize) {
    storageRequestFreeBuffer(r);
    int64_t page = storageRequestPageSize();
    storageRequestSetSize(&r->blockSize, capacity + 2 * page);
    r->block = static_cast<uint8_t *>(MEM_ALLOC(r->blockSize, MEM_ZEROED));
    uintptr_t at = reinterpret_cast<uintptr_t>(r->block);
    uintptr_t aligned = (at + uintptr_t(page) - 1) & ~(uintptr_t(page) - 1);
    r->buffer = r->block + (aligned - at);
    r->bufferSize = r->blockSize - int64_t(aligned - at) - page;
  }
  r->capacity = capacity;
  // Anything in the capacity may be written (drivers hold raw pointers), so
  // the next reset clears that much.
  if (capacity > r->dirty) r->dirty = capacity;
  return 1;
}

int StorageRequest_SetFailedMember(StorageRequest *r, StorageMember *member) {
  STORAGEREQUEST_CHECK(r);
  r->failedMember = member;
  return 1;
}

StorageMember *StorageRequest_GetFailedMember(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  return r->failedMember;
}

int64_t StorageRequest_GetPieceBytes(int64_t pieceSize) {
  // No loaded metafile has a larger piece; bounding it here keeps the sum
  // and the doubling below (and a caller's sums of them) far from overflow
  // whatever the caller passes.
  int64_t capacity = std::clamp<int64_t>(pieceSize, 0, kMetaFilePieceSizeMax) + kStorageRequestSlack;
  return 2 * capacity + 2 * storageRequestPageSize();
}

int64_t StorageRequest_GetHeldBytes(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  int64_t held = __atomic_load_n(&r->blockSize, __ATOMIC_RELAXED) +
                 __atomic_load_n(&r->scratchSize, __ATOMIC_RELAXED);
  if (r->sourceRequest != nullptr) held += StorageRequest_GetHeldBytes(r->sourceRequest);
  return held;
}

int StorageRequest_FreeBuffers(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  storageRequestCheckUnheld(r);
  storageRequestFreeBuffer(r);
  r->capacity = r->length = 0;
  if (r->scratch != nullptr) MEM_FREE(r->scratch, r->scratchSize);
  r->scratch = nullptr;
  storageRequestSetSize(&r->scratchSize, 0);
  if (r->sourceRequest != nullptr) StorageRequest_FreeBuffers(r->sourceRequest);
  return 1;
}

int StorageRequest_GetBuffer(StorageRequest *r, int64_t offset, uint8_t **pointer) {
  STORAGEREQUEST_CHECK(r);
  CHECK_POINTER(pointer);
  if (r->buffer == nullptr || offset < 0 || offset > r->capacity)
    Core_Abort(KSRC, "Assertion failed (Offset >= 0 && Offset <= Capacity)\nInvalid offset (%I64d)",
               offset);
  r->bufferRefCount.fetch_add(1);
  *pointer = r->buffer + offset;
  return 1;
}

int StorageRequest_ReleaseBuffer(StorageRequest *r, uint8_t **pointer) {
  STORAGEREQUEST_CHECK(r);
  CHECK_POINTER(pointer);
  if (r->bufferRefCount.fetch_sub(1) <= 0)
    Core_Abort(KSRC, "Assertion failed (StorageRequest->BufferRefCount > 0)\n");
  *pointer = nullptr;
  return 1;
}

int StorageRequest_SameMembers(StorageRequest *a, StorageRequest *b) {
  STORAGEREQUEST_CHECK(a);
  STORAGEREQUEST_CHECK(b);
  if (a->memberCount != b->memberCount) return 0;
  for (StorageMember *x = a->first, *y = b->first; x != nullptr; x = x->next, y = y->next) {
    if (x->fileOffset != y->fileOffset || x->length != y->length) return 0;
    const FileEntry *ex = x->file, *ey = y->file;
    if (ex->nameLength != ey->nameLength || memcmp(ex->name, ey->name, size_t(ex->nameLength)) != 0)
      return 0;
  }
  return 1;
}

int StorageRequest_ReadPieceHeader(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  if (r->buffer == nullptr || r->length < kStorageRequestHeaderBytes ||
      memcmp(r->buffer, kPieceMagic, sizeof kPieceMagic) != 0)
    return 0;
  const uint8_t *p = r->buffer;
  uint32_t flags = uint32_t(p[4]) << 8 | p[5];
  int64_t size = kStorageRequestHeaderBytes;
  if (flags & kStorageFlagVCDiff) {
    if (r->length < kStorageRequestDeltaHeaderBytes) return 0;
    uint32_t first = uint32_t(p[6]) << 24 | uint32_t(p[7]) << 16 | uint32_t(p[8]) << 8 | p[9];
    VCDiffDecoder_SetSourceRange(r->decoder, int32_t(first), p[10]);
    size = kStorageRequestDeltaHeaderBytes;
  }
  r->encoding = flags;
  memmove(r->buffer, r->buffer + size, size_t(r->length - size));
  memset(r->buffer + r->length - size, 0, size_t(size));
  r->length -= size;
  return 1;
}

int StorageRequest_Decrypt(StorageRequest *r, const void *password, int32_t passwordLength) {
  STORAGEREQUEST_CHECK(r);
  if (!(r->encoding & kStorageFlagAes256)) return 0;
  AesLayout l{};
  if (r->buffer == nullptr || !storageRequestParseLayout(r->buffer, r->length, &l))
    return kStorageDecryptLayout;
  if (!storageRequestDigestMatches(l.dataHash, r->buffer, l.dataEnd, l.dataDigest))
    return kStorageDecryptDamaged;
  if (password == nullptr || passwordLength < 0) passwordLength = 0;
  static const uint8_t kNone = 0;
  storageRequestDeriveKey(r, passwordLength > 0 ? password : &kNone, passwordLength, l);
  if (!AES_SetKey(r->aes, r->key, kStorageRequestKeyBytes)) return kStorageDecryptNoMemory;
  uint8_t iv[kAesBlockBytes];
  uint8_t check[kLayoutFieldMax];
  memcpy(iv, l.iv, sizeof iv);
  AES_DecryptCBC(r->aes, iv, sizeof iv, l.check, check, l.checkLength);
  int same = storageRequestDigestMatches(l.checkHash, check, l.checkLength, l.checkDigest);
  memset(check, 0, sizeof check);
  if (!same) return kStorageDecryptPassword;
  uint8_t *in = storageRequestScratch(r, l.dataLength > 0 ? l.dataLength : 1);
  memcpy(in, l.data, l.dataLength);
  memcpy(iv, l.iv, sizeof iv);
  AES_DecryptCBC(r->aes, iv, sizeof iv, in, r->buffer, l.dataLength);
  int64_t plain = int64_t(l.dataLength) - l.padding;
  memset(r->buffer + plain, 0, size_t(r->length - plain));
  r->length = plain;
  r->encoding &= ~kStorageFlagAes256;
  return 0;
}

int StorageRequest_Inflate(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  if (!(r->encoding & kStorageFlagGzip)) return 0;
  if (r->buffer == nullptr) return Z_BUF_ERROR;
  int rc = inflateReset(&r->inflate);
  if (rc != Z_OK) return rc;
  uint8_t *in = storageRequestScratch(r, r->length > 0 ? r->length : 1);
  memcpy(in, r->buffer, size_t(r->length));
  r->inflate.next_in = in;
  r->inflate.avail_in = uInt(r->length);
  r->inflate.next_out = r->buffer;
  r->inflate.avail_out = uInt(r->capacity);
  rc = inflate(&r->inflate, Z_FINISH);
  if (rc != Z_STREAM_END) return rc == Z_OK || rc == Z_BUF_ERROR ? Z_BUF_ERROR : rc;
  int64_t produced = int64_t(r->inflate.total_out);
  if (produced < r->length) memset(r->buffer + produced, 0, size_t(r->length - produced));
  r->length = produced;
  r->encoding &= ~kStorageFlagGzip;
  return 0;
}

int StorageRequest_ReadDeltaWindow(StorageRequest *r, int32_t *sourceIndex, int32_t *sourceCount) {
  STORAGEREQUEST_CHECK(r);
  CHECK_POINTER(sourceIndex);
  CHECK_POINTER(sourceCount);
  if (!(r->encoding & kStorageFlagVCDiff)) return 1;
  uint8_t *in = storageRequestScratch(r, r->length > 0 ? r->length : 1);
  if (r->length > 0) memcpy(in, r->buffer, size_t(r->length));
  VCDiffDecoder_SetInput(r->decoder, in, r->length);
  r->windowRead = 0;
  if (!VCDiffDecoder_ReadWindowHeader(r->decoder)) return 0;
  r->windowRead = 1;
  VCDiffDecoder_GetSourceIndex(r->decoder, sourceIndex);
  VCDiffDecoder_GetSourceCount(r->decoder, sourceCount);
  storageRequestLog(r, "VCDiff DestIndex(%d) SourceIndex(%d) Count(%d)\n", r->pieceIndex,
                    *sourceIndex, *sourceCount);
  return 1;
}

int StorageRequest_ApplyDelta(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  if (!(r->encoding & kStorageFlagVCDiff)) return 1;
  if (!r->windowRead) {
    int32_t index = 0, count = 0;
    if (!StorageRequest_ReadDeltaWindow(r, &index, &count)) return 0;
  }
  r->windowRead = 0;
  StorageRequest *s = r->sourceRequest;
  uint8_t *source = nullptr;
  int64_t sourceLength = 0;
  if (s != nullptr && s->buffer != nullptr) {
    StorageRequest_GetBuffer(s, 0, &source);
    sourceLength = s->length;
  }
  VCDiffDecoder_SetSource(r->decoder, source, sourceLength);
  int64_t produced = 0;
  int ok = VCDiffDecoder_Run(r->decoder, r->buffer, r->capacity, &produced);
  VCDiffDecoder_SetSource(r->decoder, nullptr, 0);
  if (source != nullptr) StorageRequest_ReleaseBuffer(s, &source);
  if (!ok) return 0;
  if (produced < r->length) memset(r->buffer + produced, 0, size_t(r->length - produced));
  r->length = produced;
  r->encoding &= ~kStorageFlagVCDiff;
  return 1;
}

int StorageRequest_AddPadding(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  if (r->encoding & kStorageFlagPad) return 0;
  for (StorageMember *m = r->last; m != nullptr; m = m->previous) {
    if (m->length > 0 && m->paddedOffset != m->dataOffset)
      memmove(r->buffer + m->paddedOffset, r->buffer + m->dataOffset, size_t(m->length));
    if (m->pad > 0) memset(r->buffer + m->paddedOffset + m->length, 0, size_t(m->pad));
  }
  r->length = r->span;
  r->encoding |= kStorageFlagPad;
  return 0;
}

int StorageRequest_RemovePadding(StorageRequest *r) {
  STORAGEREQUEST_CHECK(r);
  if (!(r->encoding & kStorageFlagPad)) return 0;
  for (StorageMember *m = r->first; m != nullptr; m = m->next)
    if (m->length > 0 && m->paddedOffset != m->dataOffset)
      memmove(r->buffer + m->dataOffset, r->buffer + m->paddedOffset, size_t(m->length));
  int64_t data = storageRequestMemberLengths(r);
  if (r->span > data) memset(r->buffer + data, 0, size_t(r->span - data));
  r->length = data;
  r->encoding &= ~kStorageFlagPad;
  return 0;
}

int StorageRequest_CheckDigests(StorageRequest *r, int32_t *pieceIndex) {
  STORAGEREQUEST_CHECK(r);
  CHECK_POINTER(pieceIndex);
  CHECK_POINTER(r->metafile);
  PieceList *list = MetaFile_GetPieceList(r->metafile);
  const HashInterface *h = nullptr;
  if (!Hash_GetInterfaceByName(PieceList_GetAlgorithm(list), &h)) return kStorageDigestMismatch;
  int padded = (r->encoding & kStorageFlagPad) != 0;
  uint8_t expected[kPieceListDigestMax];
  *pieceIndex = r->pieceIndex;
  for (StorageMember *m = r->first; m != nullptr;) {
    int32_t index = m->pieceIndex;
    int64_t start = padded ? m->paddedOffset : m->dataOffset;
    int64_t size = 0;
    for (; m != nullptr && m->pieceIndex == index; m = m->next)
      size += m->length + (padded ? m->pad : 0);
    if (index < 0 || index >= PieceList_GetPieceTotal(list))
      Core_Abort(KSRC,
                 "Assertion failed (Index >= 0 && Index < PieceList->PieceTotal)\nIndex out of "
                 "bounds");
    *pieceIndex = index;
    if (start + size > r->length) {
      storageRequestLog(r, "Not enough bytes to calculate digest (%d)\n", index);
      return kStorageDigestMismatch;
    }
    PieceList_GetDigest(list, index, expected, sizeof expected);
    if (!storageRequestDigestMatches(h, r->buffer + start, size, expected))
      return kStorageDigestMismatch;
  }
  return 0;
}
