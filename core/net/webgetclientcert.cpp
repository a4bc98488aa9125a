// TLS client certificates of a connection; see webgetclientcert.h.
#include "core/net/webgetclientcert.h"

#include <cstring>

#include "core/formats/dictionary.h"
#include "core/net/challenge.h"
#include "core/platform/file.h"
#include "core/platform/fileops.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/str.h"
#include "core/security/tls1.h"

struct WebGetClientCert {
  ObjectHeader header;  // kWebGetClientCertTag; tracked in the instance table
  int32_t value;        // the connection's; cleared on reset
  char path[kWebGetClientCertPathBytes];
  char password[kWebGetClientCertPasswordBytes];
  char address[kWebGetClientCertAddressBytes];
};

namespace {

constexpr uint32_t kClientCertRegularFile = 0x8000;
constexpr uint32_t kClientCertTypeMask = 0xF000;
constexpr int32_t kClientCertReadChunkBytes = 16 * 1024;
constexpr int kClientCertTypeBytes = 64;

WebGetClientCert *clientCertCheck(WebGetClientCert *cert) {
  CLASS_CHECK(cert, kWebGetClientCertTag);
  return cert;
}

void clientCertDestroy(void **object) {
  auto *cert = static_cast<WebGetClientCert *>(*object);
  *object = nullptr;
  Challenge_Withdraw(cert->header.instanceId);
  Class_UntrackInstance(cert);
  explicit_bzero(cert, sizeof *cert);
  Mem_Free(cert, sizeof *cert, KSRC);
}

// The whole of a regular file of at most the limit into stream. 1 when every
// byte was read.
int clientCertReadFile(const char *path, MemoryStream *stream) {
  uint32_t mode = 0;
  int error = 0;
  if (!GetMode(path, &mode, &error) || (mode & kClientCertTypeMask) != kClientCertRegularFile) {
    Log_Print(LOG_WARNING, KSRC, 0, "Client certificate [%s] is not a regular file\n", path);
    return 0;
  }
  File *file = nullptr;
  File_Create(&file);
  File_DisableRetries(file);
  int ok = 0;
  uint64_t size = 0;
  if (File_Open(file, path, kFileModeRead | kFileModeShareRead) && File_GetSize(file, &size)) {
    if (size == 0 || size > uint64_t(kWebGetClientCertMaxFileBytes)) {
      Log_Print(LOG_WARNING, KSRC, 0, "Client certificate [%s] has %llu bytes\n", path,
                (unsigned long long)size);
    } else {
      MemoryStream_Resize(stream, int32_t(size), 0);
      uint8_t chunk[kClientCertReadChunkBytes];
      uint64_t total = 0;
      int32_t count = 0;
      while (total < size &&
             File_Read(file, chunk, int32_t(size - total < sizeof chunk ? size - total : sizeof chunk),
                       &count)) {
        int32_t written = 0;
        MemoryStream_Write(stream, chunk, count, &written);
        total += uint64_t(count);
      }
      explicit_bzero(chunk, sizeof chunk);
      ok = total == size;
    }
  }
  File_Release(&file);
  return ok;
}

}  // namespace

int WebGetClientCert_Create(WebGetClientCert **cert) {
  if (cert == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  auto *c = static_cast<WebGetClientCert *>(Mem_Alloc(sizeof(WebGetClientCert), 0, KSRC));
  memset(static_cast<void *>(c), 0, sizeof *c);
  c->header.classTag = kWebGetClientCertTag;
  c->header.refCount.store(1);
  c->header.destroy = clientCertDestroy;
  Class_GenerateInstanceId(c);
  Class_TrackInstance(c, c);
  *cert = c;
  return 1;
}

void WebGetClientCert_Release(WebGetClientCert **cert) {
  if (cert == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  if (*cert == nullptr) return;
  clientCertCheck(*cert);
  Class_ReleaseObject(cert);
}

int WebGetClientCert_SetAddress(WebGetClientCert *cert, const char *address) {
  clientCertCheck(cert);
  if (strcmp(cert->address, address) != 0) WebGetClientCert_Reset(cert);
  Str_Set(cert->address, address);
  return 1;
}

int WebGetClientCert_Reset(WebGetClientCert *cert) {
  clientCertCheck(cert);
  cert->value = 0;
  cert->address[0] = '\0';
  cert->path[0] = '\0';
  explicit_bzero(cert->password, sizeof cert->password);
  return 1;
}

int WebGetClientCert_Request(WebGetClientCert *cert, const char *certificateTypes) {
  clientCertCheck(cert);
  Dictionary *info = nullptr;
  Dictionary_Create(&info);
  Dictionary_SetStringByKey(info, "filter", "clientcert");
  Dictionary *types = nullptr;
  Dictionary_AddList(info, "certificateTypes", &types, nullptr);
  for (const char *p = certificateTypes; *p != '\0';) {
    size_t length = strcspn(p, ",");
    char type[kClientCertTypeBytes];
    Str_CopyN(type, sizeof type, p, int(length));
    Dictionary_AddString(types, nullptr, type, nullptr);
    p += length;
    if (*p == ',') p++;
  }
  Dictionary_SetStringByKey(info, "address", cert->address);
  Dictionary_SetStringByKey(info, "certificatePath", cert->path);
  Dictionary_SetStringByKey(info, "password", cert->password);
  Challenge_PostRequest(info, cert->header.instanceId);
  Challenge_ReleaseInfo(&info);
  return 1;
}

int WebGetClientCert_ReportFailure(WebGetClientCert *cert) {
  clientCertCheck(cert);
  Dictionary *info = nullptr;
  Dictionary_Create(&info);
  Dictionary_SetStringByKey(info, "filter", "clientcert");
  Dictionary_SetStringByKey(info, "address", cert->address);
  Challenge_MarkInvalid(info);
  Dictionary_Release(&info);
  return 1;
}

int WebGetClientCert_Load(WebGetClientCert *cert, TLS1 *tls, const char *path,
                          const char *password) {
  clientCertCheck(cert);
  Str_Set(cert->path, path);
  explicit_bzero(cert->password, sizeof cert->password);
  Str_Set(cert->password, password);
  MemoryStream *stream = nullptr;
  MemoryStream_Create(&stream);
  int result = 0;
  if (clientCertReadFile(path, stream)) {
    uint8_t *data = nullptr;
    int32_t length = MemoryStream_GetLength(stream);
    MemoryStream_GetBuffer(stream, 0, &data);
    result = Tls_SetClientCertificate(tls, data, length, cert->password);
    explicit_bzero(data, size_t(length));
    MemoryStream_ReleaseBuffer(stream, &data);
  } else {
    Tls_SetClientCertificate(tls, nullptr, 0, "");
  }
  MemoryStream_Release(&stream);
  return result;
}
