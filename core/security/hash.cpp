// Hash records, hash objects, one-shot helpers, lookup and the hash macros;
// see hash.h.
#include "core/security/hash.h"

#include <cstring>

#include "core/runtime/cpufeatures.h"
#include "core/security/hash_algorithms.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/strw.h"

namespace {

constexpr char kHashHexDigits[] = "0123456789abcdef";
constexpr int32_t kHashStackContextBytes = 512;  // above every context of ours (SHA-512: 336)
constexpr int32_t kCrcFoldChunkBytes = 1024;
constexpr int32_t kHashUtf8StagingBytes = 256;

struct HashNamedRecord {
  const char *name;
  const HashInterface *record;
};

// Scanned in this order; the names are the records' own.
constexpr HashNamedRecord kHashByName[] = {
    {"CRC", &kHashCrc},       {"MD2", &kHashMd2},       {"MD4", &kHashMd4},
    {"MD5", &kHashMd5},       {"SHA1", &kHashSha1},     {"SHA224", &kHashSha224},
    {"SHA256", &kHashSha256}, {"SHA384", &kHashSha384}, {"SHA512", &kHashSha512},
};

// Digest identifiers and the signature algorithms built on them. The MD2, MD4
// and MD5 signature identifiers stay: refusing them is the signature
// checker's decision, not the lookup's.
constexpr HashNamedRecord kHashByOid[] = {
    {"1.3.6.1.4.1.11591.14.1", &kHashCrc},
    {"1.2.840.113549.1.1.2", &kHashMd2},
    {"1.3.14.7.2.3.1", &kHashMd2},
    {"1.2.840.113549.1.1.3", &kHashMd4},
    {"1.3.14.3.2.2", &kHashMd4},
    {"1.3.14.3.2.4", &kHashMd4},
    {"1.2.840.113549.1.1.4", &kHashMd5},
    {"1.3.14.3.2.3", &kHashMd5},
    {"1.2.840.113549.2.5", &kHashMd5},
    {"1.2.840.113549.1.1.5", &kHashSha1},
    {"1.2.840.10040.4.3", &kHashSha1},
    {"1.3.14.3.2.29", &kHashSha1},
    {"1.3.14.3.2.26", &kHashSha1},
    {"1.2.840.10045.4.1", &kHashSha1},
    {"1.2.840.10045.4.3.1", &kHashSha224},
    {"1.2.840.113549.1.1.11", &kHashSha256},
    {"2.16.840.1.101.3.4.2.1", &kHashSha256},
    {"1.2.840.10045.4.3.2", &kHashSha256},
    {"1.2.840.113549.1.1.12", &kHashSha384},
    {"2.16.840.1.101.3.4.2.2", &kHashSha384},
    {"1.2.840.10045.4.3.3", &kHashSha384},
    {"1.2.840.113549.1.1.13", &kHashSha512},
    {"2.16.840.1.101.3.4.2.3", &kHashSha512},
    {"1.2.840.10045.4.3.4", &kHashSha512},
};

// The macros that hash their whole argument with a fixed record.
constexpr HashNamedRecord kHashMacros[] = {
    {"CRC", &kHashCrc},   {"MD4", &kHashMd4},       {"MD5", &kHashMd5},
    {"SHA1", &kHashSha1}, {"SHA256", &kHashSha256},
};

// A record slot is a function pointer, which CHECK_POINTER cannot take.
template <class F>
inline void hashCheckSlot(F slot, const char *sourcePath, int line) {
  if (slot == nullptr) Core_Abort(sourcePath, line, "Pointer is NULL\n");
}
#define HASH_CHECK_SLOT(slot) hashCheckSlot((slot), KSRC)

inline char hashAsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool hashEqualsNoCase(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; a++, b++)
    if (hashAsciiUpper(*a) != hashAsciiUpper(*b)) return false;
  return *a == *b;
}

HashHandle *hashCheck(HashHandle *hash) {
  Class_Check(hash, kHashHandleTag, KSRC);
  return hash;
}

void hashFreePending(HashHandle *hash) {
  if (hash->Pending != nullptr) MEM_FREE(hash->Pending, kHashPendingBytes);
  hash->Pending = nullptr;
  hash->PendingLength = 0;
}

void hashHandleDestroy(void **object) {
  auto *hash = static_cast<HashHandle *>(*object);
  Hash_SetInterface(hash, nullptr);
  hashFreePending(hash);
  hash->header.classTag = 0;  // a stale pointer now fails its class check
  MEM_FREE(hash, sizeof(HashHandle));
}

// The slots the one-shot helpers run; a record without them is a programming
// error.
void hashCheckOneShotSlots(const HashInterface *h) {
  CHECK_POINTER(h);
  HASH_CHECK_SLOT(h->ContextSize);
  HASH_CHECK_SLOT(h->InitInPlace);
  HASH_CHECK_SLOT(h->UninitInPlace);
  HASH_CHECK_SLOT(h->Update);
  HASH_CHECK_SLOT(h->Generate);
}

// A context in the caller's stack frame for the one-shot helpers; a foreign
// record with a larger context gets tracked memory instead.
class HashStackContext {
 public:
  explicit HashStackContext(const HashInterface *h) : record_(h), size_(h->ContextSize()) {
    context_ = size_ <= kHashStackContextBytes ? static_cast<void *>(local_)
                                                : MEM_ALLOC(size_, MEM_ZEROED);
    record_->InitInPlace(context_);
  }
  ~HashStackContext() {
    record_->UninitInPlace(context_);
    if (context_ != local_) MEM_FREE(context_, size_);
  }
  HashStackContext(const HashStackContext &) = delete;
  HashStackContext &operator=(const HashStackContext &) = delete;
  void *get() const { return context_; }

 private:
  const HashInterface *record_;
  int32_t size_;
  void *context_;
  alignas(16) uint8_t local_[kHashStackContextBytes];
};

// Init in place, Update, Generate, then the caller's read step; the result
// of the last step run. The caller has checked the slots.
template <class Read>
int hashOneShot(const HashInterface *h, const void *data, int64_t length, Read read) {
  HashStackContext context(h);
  int result = h->Update(context.get(), data, length);
  if (result) result = h->Generate(context.get());
  if (result) result = read(context.get());
  return result;
}

// Hashes the macro argument with a record; writes nothing when the argument
// is empty.
void hashMacroDigest(const HashInterface *h, const char *text, char *out) {
  if (text == nullptr || text[0] == '\0') return;
  Hash_ComputeDigestHex(h, text, int64_t(strlen(text)), out, kHashMacroOutputBytes);
}

}  // namespace

// ---- context memory (see hash_algorithms.h) ----------------------------------

void *Hash_AllocContext(size_t size) { return MEM_ALLOC(int64_t(size), MEM_ZEROED); }

void Hash_FreeContext(void *context, size_t size) {
  static_cast<ObjectHeader *>(context)->classTag = 0;
  MEM_FREE(context, int64_t(size));
}

void Hash_SelectKernels(void) {
  uint32_t features = CpuFeatures_Get();
  Sha1_SelectKernel(features);
  Sha2_SelectKernels(features);
}

const char *Hash_KernelName(const char *algorithm) {
  CHECK_POINTER(algorithm);
  if (hashEqualsNoCase(algorithm, "SHA1")) return Sha1_KernelName();
  if (hashEqualsNoCase(algorithm, "SHA224") || hashEqualsNoCase(algorithm, "SHA256"))
    return Sha256_KernelName();
  if (hashEqualsNoCase(algorithm, "SHA384") || hashEqualsNoCase(algorithm, "SHA512"))
    return Sha512_KernelName();
  return "portable";
}

// ---- HashHandle ----------------------------------------------------------------

int Hash_Create(HashHandle **hash) {
  CHECK_POINTER(hash);
  auto *h = static_cast<HashHandle *>(MEM_ALLOC(sizeof(HashHandle), MEM_ZEROED));
  h->header.classTag = kHashHandleTag;
  h->header.refCount.store(1, std::memory_order_relaxed);
  h->header.destroy = hashHandleDestroy;
  *hash = h;
  return 1;
}

int Hash_Delete(HashHandle **hash) {
  CHECK_POINTER(hash);
  hashCheck(*hash);
  Class_Release(reinterpret_cast<void **>(hash));
  return 1;
}

int Hash_SetInterface(HashHandle *hash, const HashInterface *h) {
  hashCheck(hash);
  if (h == hash->Interface) {
    Hash_Reset(hash);  // binding the same record again restarts it
    return 1;
  }
  if (hash->Context != nullptr) hash->Interface->Release(&hash->Context);
  hash->Context = nullptr;
  hash->Interface = h;
  int result = 1;
  if (h != nullptr) {
    CHECK_POINTER(h->Name);
    if (h->DigestSize == 0)
      Core_Abort(KSRC, "Assertion failed (Interface->DigestSize != 0)\n%s: DigestSize must not be zero\n",
                 "Hash_SetInterface");
    HASH_CHECK_SLOT(h->Create);
    HASH_CHECK_SLOT(h->Release);
    HASH_CHECK_SLOT(h->Reset);
    HASH_CHECK_SLOT(h->Update);
    HASH_CHECK_SLOT(h->IsDigestReady);
    HASH_CHECK_SLOT(h->Generate);
    HASH_CHECK_SLOT(h->GetDigest);
    HASH_CHECK_SLOT(h->GetDigestHex);
    h->Create(&hash->Context);
    if (hash->Pending != nullptr) result = h->Update(hash->Context, hash->Pending, hash->PendingLength);
  }
  hashFreePending(hash);
  return result;
}

int Hash_GetInterface(HashHandle *hash, const HashInterface **h) {
  hashCheck(hash);
  CHECK_POINTER(h);
  *h = hash->Interface;
  return 1;
}

int Hash_Reset(HashHandle *hash) {
  hashCheck(hash);
  if (hash->Pending != nullptr) {
    hashFreePending(hash);
    return 1;
  }
  if (hash->Interface == nullptr) return 0;
  return hash->Interface->Reset(hash->Context);
}

int Hash_Update(HashHandle *hash, const void *data, int64_t length, int64_t *written) {
  hashCheck(hash);
  if (hash->Interface != nullptr) {
    int result = hash->Interface->Update(hash->Context, data, length);
    if (result && written != nullptr) *written = length;
    return result;
  }
  // Unbound: hold the bytes until the algorithm is known.
  if (length < 0 || length > kHashPendingBytes - hash->PendingLength) return 0;
  if (hash->Pending == nullptr)
    hash->Pending = static_cast<uint8_t *>(MEM_ALLOC(kHashPendingBytes, MEM_ZEROED));
  if (length == 0) return 1;
  if (data == nullptr) return 0;
  memcpy(hash->Pending + hash->PendingLength, data, size_t(length));
  hash->PendingLength += int32_t(length);
  if (written != nullptr) *written = length;
  return 1;
}

int Hash_Generate(HashHandle *hash) {
  hashCheck(hash);
  if (hash->Interface == nullptr) return 0;
  return hash->Interface->Generate(hash->Context);
}

int Hash_GetDigest(HashHandle *hash, void *out, int32_t size) {
  hashCheck(hash);
  if (hash->Interface == nullptr) return 0;
  return hash->Interface->GetDigest(hash->Context, out, size);
}

int Hash_GetDigestHex(HashHandle *hash, char *out, int32_t size) {
  hashCheck(hash);
  CHECK_POINTER(out);
  if (hash->Interface == nullptr) return 0;
  if (size > 0) out[0] = '\0';
  uint8_t digest[kHashMaxDigestBytes] = {};
  int32_t n = hash->Interface->DigestSize;
  if (n > kHashMaxDigestBytes) return 0;  // no record of ours; refuse rather than overrun
  if (!hash->Interface->GetDigest(hash->Context, digest, n)) return 0;
  return Hash_BytesToHex(digest, n, 0, out, size);
}

int32_t Hash_GetDigestSize(HashHandle *hash) {
  hashCheck(hash);
  return hash->Interface == nullptr ? 0 : hash->Interface->DigestSize;
}

int Hash_CopyState(HashHandle *source, HashHandle *target) {
  hashCheck(source);
  hashCheck(target);
  if (source->Interface == nullptr || source->Interface != target->Interface) return 0;
  return source->Interface->CopyState(source->Context, target->Context);
}

// ---- lookup ----------------------------------------------------------------------

int Hash_GetInterfaceByName(const char *name, const HashInterface **h) {
  CHECK_POINTER(name);
  CHECK_POINTER(h);
  for (const HashNamedRecord &entry : kHashByName) {
    if (hashEqualsNoCase(name, entry.name)) {
      *h = entry.record;
      return 1;
    }
  }
  *h = nullptr;
  Log_Print(LOG_ERROR, KSRC, 0, "Unsupported hash algorithm %s\n", name);
  return 0;
}

int Hash_GetInterfaceByOid(const char *oid, const HashInterface **h) {
  CHECK_POINTER(oid);
  CHECK_POINTER(h);
  for (const HashNamedRecord &entry : kHashByOid) {
    if (strcmp(oid, entry.name) == 0) {
      *h = entry.record;
      return 1;
    }
  }
  *h = nullptr;
  Log_Print(LOG_ERROR, KSRC, 0, "Unsupported hash algorithm %s\n", oid);
  return 0;
}

// ---- one-shot helpers --------------------------------------------------------------

int Hash_ComputeDigest(const HashInterface *h, const void *data, int64_t length, void *out,
                       int32_t size) {
  hashCheckOneShotSlots(h);
  HASH_CHECK_SLOT(h->GetDigest);
  return hashOneShot(h, data, length,
                     [&](void *context) { return h->GetDigest(context, out, size); });
}

int Hash_ComputeDigestHex(const HashInterface *h, const void *data, int64_t length, char *out,
                          int32_t size) {
  hashCheckOneShotSlots(h);
  HASH_CHECK_SLOT(h->GetDigestHex);
  return hashOneShot(h, data, length,
                     [&](void *context) { return h->GetDigestHex(context, 0, out, size); });
}

int Hash_ComputeDigestUtf16(const HashInterface *h, const char16_t *text, int32_t count,
                            void *out) {
  hashCheckOneShotSlots(h);
  HASH_CHECK_SLOT(h->GetDigest);
  CHECK_POINTER(text);
  CHECK_POINTER(out);
  if (count < 0) return 0;
  HashStackContext context(h);
  // Code points are staged as UTF-8 and fed in runs; the bytes are the same
  // as feeding each one alone.
  char staged[kHashUtf8StagingBytes];
  int used = 0;
  for (int32_t i = 0; i < count; i++) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDFFF) {
      // Only a high half followed by a low half is a character; a lone half
      // has no UTF-8 form and its digest would match no text.
      bool pair = c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
      if (!pair) return 0;
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00);
      i++;
    }
    int length = 0;
    if (!StrW_EncodeUtf8(staged + used, kHashUtf8StagingBytes - used, c, &length) || length == 0)
      return 0;
    used += length;
    if (used > kHashUtf8StagingBytes - 4) {
      if (!h->Update(context.get(), staged, used)) return 0;
      used = 0;
    }
  }
  if (!h->Update(context.get(), staged, used)) return 0;
  if (!h->Generate(context.get())) return 0;
  return h->GetDigest(context.get(), out, kHashUtf16DigestBytes);
}

int Crc_Compute(const void *data, int64_t length, int caseSensitive, uint8_t *out) {
  CHECK_POINTER(data);
  CHECK_POINTER(out);
  HashStackContext context(&kHashCrc);
  if (caseSensitive) {
    if (!kHashCrc.Update(context.get(), data, length)) return 0;
  } else {
    if (length < 1) return 0;
    // Letters fold to upper case in a copy; the caller's bytes stay as they are.
    char folded[kCrcFoldChunkBytes];
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
      int32_t n = length < kCrcFoldChunkBytes ? int32_t(length) : kCrcFoldChunkBytes;
      for (int32_t i = 0; i < n; i++) folded[i] = hashAsciiUpper(p[i]);
      kHashCrc.Update(context.get(), folded, n);
      p += n;
      length -= n;
    }
  }
  kHashCrc.Generate(context.get());
  return kHashCrc.GetDigest(context.get(), out, 4);
}

int Hash_BytesToHex(const void *bytes, int32_t count, int grouped, char *out, int32_t size) {
  CHECK_POINTER(out);
  if (count < 1) {
    if (size < 1) return 0;
    out[0] = '\0';
    return 1;
  }
  CHECK_POINTER(bytes);
  int64_t needed = 2 * int64_t(count) + 1 + (grouped ? count / 4 : 0);
  if (size < needed) return 0;
  const auto *b = static_cast<const uint8_t *>(bytes);
  char *p = out;
  for (int32_t i = 0; i < count; i++) {
    *p++ = kHashHexDigits[b[i] >> 4];
    *p++ = kHashHexDigits[b[i] & 0xF];
    if (grouped && (i & 3) == 3) *p++ = ' ';
  }
  *p = '\0';
  return 1;
}

// ---- macro handler ---------------------------------------------------------------------

int Hash_MacroHandler(void *, const char *name, char *argument, char *out) {
  CHECK_POINTER(name);
  CHECK_POINTER(out);
  for (const HashNamedRecord &entry : kHashMacros) {
    if (hashEqualsNoCase(name, entry.name)) {
      hashMacroDigest(entry.record, argument, out);
      return 1;
    }
  }
  if (!hashEqualsNoCase(name, "Hash")) return 0;
  if (argument == nullptr || argument[0] == '\0') return 0;
  char *comma = strchr(argument, ',');
  if (comma == nullptr) return 1;
  *comma = '\0';
  const HashInterface *h = nullptr;
  if (!Hash_GetInterfaceByName(argument, &h)) return 1;
  const char *text = comma + 1;
  Hash_ComputeDigestHex(h, text, int64_t(strlen(text)), out, kHashMacroOutputBytes);
  return 1;
}
