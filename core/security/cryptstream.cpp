// The cipher stream; see cryptstream.h.
#include "core/security/cryptstream.h"

#include "core/runtime/memory.h"

namespace {

CryptStream *cryptStreamCheck(void *object, const char *sourcePath, int line) {
  Class_Check(object, kCryptStreamTag, sourcePath, line);
  return static_cast<CryptStream *>(object);
}
#define CRYPT_STREAM(object) cryptStreamCheck((object), KSRC)

// The inner stream when it offers the slot, else NULL.
template <class F>
Stream *cryptStreamInnerWith(const CryptStream *s, F Stream::*slot) {
  return s->Inner != nullptr && s->Inner->*slot != nullptr ? s->Inner : nullptr;
}

// ---- forwarding slots: the inner stream's answer, 0 when it has none -------------

int cryptStreamSeek(void *context, int64_t offset, StreamOrigin origin) {
  CryptStream *s = CRYPT_STREAM(context);
  // The key stream does not move: a cipher stream is read or written
  // straight through.
  return s->Inner != nullptr ? Stream_Seek(s->Inner, origin, offset) : 0;
}

int cryptStreamFlush(void *context) {
  CryptStream *s = CRYPT_STREAM(context);
  if (cryptStreamInnerWith(s, &Stream::Write) == nullptr) return 0;
  Stream *inner = cryptStreamInnerWith(s, &Stream::Flush);
  return inner != nullptr ? inner->Flush(inner->context) : 0;
}

int cryptStreamTell(void *context, uint64_t *position) {
  CryptStream *s = CRYPT_STREAM(context);
  CHECK_POINTER(position);
  *position = 0;
  return s->Inner != nullptr ? Stream_Tell(s->Inner, position) : 0;
}

int cryptStreamGetSize(void *context, int64_t *size) {
  CryptStream *s = CRYPT_STREAM(context);
  CHECK_POINTER(size);
  *size = 0;
  return s->Inner != nullptr ? Stream_GetSize(s->Inner, size) : 0;
}

int cryptStreamIsOpen(void *context) {
  Stream *inner = cryptStreamInnerWith(CRYPT_STREAM(context), &Stream::IsOpen);
  return inner != nullptr ? inner->IsOpen(inner->context) : 0;
}

int cryptStreamClose(void *context) {
  Stream *inner = cryptStreamInnerWith(CRYPT_STREAM(context), &Stream::Close);
  return inner != nullptr ? inner->Close(inner->context) : 0;
}

void cryptStreamDestroy(void **object) {
  auto *s = static_cast<CryptStream *>(*object);
  CryptSymmetric_Release(&s->Cipher);
  MemoryStream_Release(&s->Work);
  s->header.classTag = 0;  // a stale pointer now fails its class check
  MEM_FREE(s, sizeof(CryptStream));
}

// The work stream, the cipher object and the record of a zero-filled object.
void cryptStreamInit(CryptStream *s) {
  MemoryStream_Create(&s->Work);
  CryptSymmetric_Create(&s->Cipher);
  s->Record.context = s;
  s->Record.Write = CryptStream_Write;
  s->Record.Read = CryptStream_Read;
  s->Record.Seek = cryptStreamSeek;
  s->Record.Flush = cryptStreamFlush;
  s->Record.Tell = cryptStreamTell;
  s->Record.GetSize = cryptStreamGetSize;
  s->Record.IsOpen = cryptStreamIsOpen;
  s->Record.Close = cryptStreamClose;
}

}  // namespace

int CryptStream_Create(CryptStream **stream) {
  CHECK_POINTER(stream);
  auto *s = static_cast<CryptStream *>(MEM_ALLOC(sizeof(CryptStream), MEM_ZEROED));
  s->header.classTag = kCryptStreamTag;
  s->header.refCount.store(1, std::memory_order_relaxed);
  s->header.destroy = cryptStreamDestroy;
  cryptStreamInit(s);
  *stream = s;
  return 1;
}

int CryptStream_Release(CryptStream **stream) {
  CHECK_POINTER(stream);
  CRYPT_STREAM(*stream);
  Class_ReleaseObject(stream);
  return 1;
}

int CryptStream_UseRc4(CryptStream *stream) {
  CryptStream *s = CRYPT_STREAM(stream);
  return CryptSymmetric_SetInterface(s->Cipher, &kCryptSymmetricRc4);
}

int CryptStream_SetKey(CryptStream *stream, const void *key, int32_t length) {
  CryptStream *s = CRYPT_STREAM(stream);
  s->Failed = 0;
  return CryptSymmetric_SetKey(s->Cipher, key, length);
}

int CryptStream_SetInnerStream(CryptStream *stream, Stream *inner) {
  CRYPT_STREAM(stream)->Inner = inner;
  return 1;
}

int CryptStream_GetStream(CryptStream *stream, Stream **record) {
  CryptStream *s = CRYPT_STREAM(stream);
  CHECK_POINTER(record);
  *record = &s->Record;
  return 1;
}

int CryptStream_Write(void *context, const void *data, int32_t length, int32_t *written) {
  CryptStream *s = CRYPT_STREAM(context);
  CHECK_POINTER(written);
  *written = 0;
  Stream *inner = cryptStreamInnerWith(s, &Stream::Write);
  if (inner == nullptr || s->Failed || length < 0) return 0;
  if (length == 0) return 1;
  CHECK_POINTER(data);
  // Encipher a copy: the caller's bytes stay as they are.
  int32_t copied = 0;
  if (!MemoryStream_Resize(s->Work, length, 0) ||
      !MemoryStream_Write(s->Work, data, length, &copied))
    return 0;
  uint8_t *work = nullptr;
  MemoryStream_GetBuffer(s->Work, 0, &work);
  CryptSymmetric_Encrypt(s->Cipher, work, work, copied);
  int result = inner->Write(inner->context, work, copied, written);
  MemoryStream_ReleaseBuffer(s->Work, &work);
  if (!result || *written != copied) {
    // The key stream moved over bytes the other side never saw.
    s->Failed = 1;
    return 0;
  }
  return 1;
}

int CryptStream_Read(void *context, void *buffer, int32_t length, int32_t *read) {
  CryptStream *s = CRYPT_STREAM(context);
  CHECK_POINTER(read);
  *read = 0;
  Stream *inner = cryptStreamInnerWith(s, &Stream::Read);
  if (inner == nullptr) return 0;
  int result = Stream_Read(inner, buffer, length, read);
  if (*read > 0) CryptSymmetric_Decrypt(s->Cipher, buffer, buffer, *read);
  return result;
}
