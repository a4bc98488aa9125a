// RC4 contexts; see rc4.h.
#include "core/security/rc4.h"

#include <cstring>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

void rc4Reset(Rc4Context *rc4) {
  for (int i = 0; i < 256; i++) rc4->State[i] = uint8_t(i);
  rc4->X = rc4->Y = 0;
  rc4->KeyLength = 0;
  memset(rc4->Key, 0, sizeof rc4->Key);
}

void rc4Destroy(void **object) {
  auto *rc4 = static_cast<Rc4Context *>(*object);
  // The permutation and the key copy are secrets.
  memset(reinterpret_cast<uint8_t *>(rc4) + sizeof(ObjectHeader), 0,
         sizeof(Rc4Context) - sizeof(ObjectHeader));
  rc4->header.classTag = 0;  // a stale pointer now fails its class check
  MEM_FREE(rc4, sizeof(Rc4Context));
}

}  // namespace

int Rc4_Create(Rc4Context **rc4) {
  CHECK_POINTER(rc4);
  auto *c = static_cast<Rc4Context *>(MEM_ALLOC(sizeof(Rc4Context), MEM_ZEROED));
  c->header.classTag = kRc4ContextTag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  c->header.destroy = rc4Destroy;
  rc4Reset(c);
  *rc4 = c;
  return 1;
}

int Rc4_Release(Rc4Context **rc4) {
  CHECK_POINTER(rc4);
  CLASS_CHECK(*rc4, kRc4ContextTag);
  Class_ReleaseObject(rc4);
  return 1;
}

int Rc4_SetKey(Rc4Context *rc4, const void *key, int32_t length) {
  CLASS_CHECK(rc4, kRc4ContextTag);
  rc4Reset(rc4);
  if (length >= kRc4KeyLimitBytes)
    Core_Abort(KSRC, "Key length too long (%d > %d)\n", length, kRc4KeyLimitBytes);
  if (length <= 0) {
    // The schedule takes the key modulo its length: an empty key has none.
    Log_Print(LOG_ERROR, KSRC, 0, "RC4 key must not be empty\n");
    return 0;
  }
  CHECK_POINTER(key);
  memcpy(rc4->Key, key, size_t(length));
  rc4->KeyLength = length;
  uint8_t *s = rc4->State;
  uint8_t j = 0;
  for (int i = 0; i < 256; i++) {
    j = uint8_t(j + s[i] + rc4->Key[i % length]);
    uint8_t t = s[i];
    s[i] = s[j];
    s[j] = t;
  }
  return 1;
}

int Rc4_Crypt(Rc4Context *rc4, const void *in, void *out, int64_t length) {
  CLASS_CHECK(rc4, kRc4ContextTag);
  if (length <= 0) return 1;
  CHECK_POINTER(in);
  CHECK_POINTER(out);
  const auto *src = static_cast<const uint8_t *>(in);
  auto *dst = static_cast<uint8_t *>(out);
  uint8_t *s = rc4->State;
  uint8_t x = rc4->X, y = rc4->Y;
  for (int64_t i = 0; i < length; i++) {
    x = uint8_t(x + 1);
    uint8_t sx = s[x];
    y = uint8_t(y + sx);
    uint8_t sy = s[y];
    s[x] = sy;
    s[y] = sx;
    dst[i] = uint8_t(src[i] ^ s[uint8_t(sx + sy)]);
  }
  rc4->X = x;
  rc4->Y = y;
  return 1;
}
