// X.509 certificates: loading, extensions, signatures and host names; see
// x509.h.
#include "core/security/x509.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/base64.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

constexpr uint8_t kX509Boolean = 0x01;
constexpr uint8_t kX509VersionTag = 0xA0;     // [0] EXPLICIT Version
constexpr uint8_t kX509ExtensionsTag = 0xA3;  // [3] EXPLICIT Extensions
constexpr uint8_t kX509AltDnsTag = 0x82;      // [2] IMPLICIT IA5String
constexpr uint8_t kX509AltIpTag = 0x87;       // [7] IMPLICIT OCTET STRING

X509 *x509Check(const X509 *cert, const char *sourcePath, int line) {
  Class_Check(cert, kX509Tag, sourcePath, line);
  return const_cast<X509 *>(cert);
}
#define X509_CHECK(cert) x509Check((cert), KSRC)

void x509Log(X509 *cert, int level, const char *format, ...) __attribute__((format(printf, 3, 4)));
void x509Log(X509 *cert, int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (Class_LogEnabled(&cert->Log, level))
    Class_LogPrint(&cert->Log, 0, format, args);
  else if (level <= LOG_WARNING)
    Log_PrintV(level, KSRC, 0, format, 1, args);
  va_end(args);
}

// The key's lines go to the certificate's log.
void x509KeyLogHook(void *context, const char *format, ...) {
  auto *cert = static_cast<X509 *>(context);
  va_list args;
  va_start(args, format);
  if (Class_LogEnabled(&cert->Log, LOG_DEBUG)) Class_LogPrint(&cert->Log, 0, format, args);
  va_end(args);
}

void x509Reset(X509 *cert) {
  if (cert->Der != nullptr) MEM_FREE(cert->Der, cert->DerLength);
  if (cert->Signature != nullptr) MEM_FREE(cert->Signature, cert->SignatureLength + 1);
  cert->Der = nullptr;
  cert->DerLength = 0;
  cert->Tbs = nullptr;
  cert->TbsLength = 0;
  cert->Version = 0;
  BigInt_Clear(cert->Serial);
  cert->NotBefore = 0;
  cert->NotAfter = 0;
  cert->SignatureHash = nullptr;
  cert->Signature = nullptr;
  cert->SignatureLength = 0;
  Asn1_Clear(cert->Document);
  if (cert->PublicKey->header.refCount.load(std::memory_order_acquire) > 1) {
    // A caller holds the key (a JWS "x5c" lookup hands it out): it keeps
    // its material, and the certificate takes a fresh key object.
    CryptAsymmetric_Release(&cert->PublicKey);
    CryptAsymmetric_Create(&cert->PublicKey);
    CryptAsymmetric_SetLogHook(cert->PublicKey, cert, x509KeyLogHook);
  } else {
    CryptAsymmetric_Clear(cert->PublicKey);
  }
  cert->Extensions = 0;
  cert->IsCa = 0;
  cert->PathLength = -1;
  cert->KeyUsage = 0;
  cert->ExtendedKeyUsage = 0;
  cert->SubjectAltName = nullptr;
}

void x509Destroy(void **object) {
  auto *cert = static_cast<X509 *>(*object);
  x509Reset(cert);
  BigInt_Release(&cert->Serial);
  X500Name_Release(&cert->Issuer);
  X500Name_Release(&cert->Subject);
  Asn1_Release(&cert->Document);
  CryptAsymmetric_Release(&cert->PublicKey);
  cert->header.classTag = 0;
  MEM_FREE(cert, sizeof(X509));
}

// The single element encapsulated in an extension's OCTET STRING, which must
// fill it exactly.
const Asn1Node *x509ExtensionValue(const Asn1Node *octets) {
  if (Asn1_GetTag(octets) != kAsn1OctetString || Asn1_GetChildCount(octets) != 1) return nullptr;
  const Asn1Node *value = Asn1_GetChild(octets, 0);
  if (Asn1_GetElementLength(value) != Asn1_GetContentLength(octets)) return nullptr;
  return value;
}

bool x509ReadBoolean(const Asn1Node *node, int32_t *value) {
  if (Asn1_GetTag(node) != kX509Boolean || Asn1_GetContentLength(node) != 1) return false;
  *value = Asn1_GetContent(node)[0] != 0 ? 1 : 0;
  return true;
}

bool x509ReadBasicConstraints(X509 *cert, const Asn1Node *value) {
  if (Asn1_GetTag(value) != kAsn1Sequence || Asn1_GetChildCount(value) > 2) return false;
  int index = 0;
  const Asn1Node *child = Asn1_GetChild(value, 0);
  if (Asn1_GetTag(child) == kX509Boolean) {
    if (!x509ReadBoolean(child, &cert->IsCa)) return false;
    child = Asn1_GetChild(value, ++index);
  }
  if (child != nullptr) {
    uint32_t length = 0;
    if (index + 1 != Asn1_GetChildCount(value)) return false;
    // A negative or absurd pathLen is malformed.
    if (!Asn1_GetInteger32(child, &length) || (Asn1_GetContent(child)[0] & 0x80) != 0 ||
        length > 0x7fffffff)
      return false;
    cert->PathLength = int32_t(length);
  }
  return true;
}

bool x509ReadKeyUsage(X509 *cert, const Asn1Node *value) {
  int32_t length = Asn1_GetContentLength(value);
  if (Asn1_GetTag(value) != kAsn1BitString || length < 1) return false;
  const uint8_t *content = Asn1_GetContent(value);
  if (content[0] > 7 || (length == 1 && content[0] != 0)) return false;
  // Some issuers pad the string with zero bytes; the nine defined bits lie
  // in the first two.
  uint32_t bits = 0;
  for (int32_t i = 1; i < length && i <= 4; i++)
    for (int b = 0; b < 8; b++)
      if ((content[i] & (0x80 >> b)) != 0) bits |= 1u << ((i - 1) * 8 + b);
  cert->KeyUsage = bits;
  return true;
}

bool x509ReadExtendedKeyUsage(X509 *cert, const Asn1Node *value) {
  if (Asn1_GetTag(value) != kAsn1Sequence || Asn1_GetChildCount(value) < 1) return false;
  static constexpr struct {
    const char *oid;
    uint32_t flag;
  } kPurposes[] = {{"1.3.6.1.5.5.7.3.1", kX509EkuServerAuth},
                   {"1.3.6.1.5.5.7.3.2", kX509EkuClientAuth},
                   {"1.3.6.1.5.5.7.3.3", kX509EkuCodeSigning},
                   {"2.5.29.37.0", kX509EkuAny}};
  uint32_t flags = 0;
  for (int i = 0; i < Asn1_GetChildCount(value); i++) {
    char oid[kAsn1TextBytes];
    const Asn1Node *child = Asn1_GetChild(value, i);
    if (Asn1_GetTag(child) != kAsn1Oid || !Asn1_GetOidText(child, oid)) return false;
    uint32_t flag = kX509EkuOther;
    for (const auto &purpose : kPurposes)
      if (strcmp(oid, purpose.oid) == 0) flag = purpose.flag;
    flags |= flag;
  }
  cert->ExtendedKeyUsage = flags;
  return true;
}

// GeneralNames: a non-empty SEQUENCE of context-tagged choices.
bool x509ReadSubjectAltName(X509 *cert, const Asn1Node *value) {
  if (Asn1_GetTag(value) != kAsn1Sequence || Asn1_GetChildCount(value) < 1) return false;
  for (int i = 0; i < Asn1_GetChildCount(value); i++) {
    int tag = Asn1_GetTag(Asn1_GetChild(value, i));
    if ((tag & 0xC0) != 0x80) return false;
    if ((tag == kX509AltDnsTag || tag == kX509AltIpTag) && (tag & 0x20) != 0) return false;
  }
  cert->SubjectAltName = value;
  return true;
}

// Reads the [3] Extensions element; no element is fine.
bool x509ReadExtensions(X509 *cert, const Asn1Node *wrapper) {
  if (wrapper == nullptr) return true;
  const Asn1Node *list = Asn1_GetChild(wrapper, 0);
  if (Asn1_GetChildCount(wrapper) != 1 || Asn1_GetTag(list) != kAsn1Sequence ||
      Asn1_GetChildCount(list) < 1)
    return false;
  static constexpr struct {
    const char *oid;
    uint32_t flag;
    bool (*read)(X509 *, const Asn1Node *);
  } kKnown[] = {{"2.5.29.19", kX509ExtBasicConstraints, x509ReadBasicConstraints},
                {"2.5.29.15", kX509ExtKeyUsage, x509ReadKeyUsage},
                {"2.5.29.37", kX509ExtExtendedKeyUsage, x509ReadExtendedKeyUsage},
                {"2.5.29.17", kX509ExtSubjectAltName, x509ReadSubjectAltName}};
  for (int i = 0; i < Asn1_GetChildCount(list); i++) {
    const Asn1Node *extension = Asn1_GetChild(list, i);
    int count = Asn1_GetChildCount(extension);
    char oid[kAsn1TextBytes];
    if (Asn1_GetTag(extension) != kAsn1Sequence || count < 2 || count > 3 ||
        !Asn1_GetOidText(Asn1_GetChild(extension, 0), oid))
      return false;
    int32_t critical = 0;
    if (count == 3 && !x509ReadBoolean(Asn1_GetChild(extension, 1), &critical)) return false;
    const Asn1Node *octets = Asn1_GetChild(extension, count - 1);
    if (Asn1_GetTag(octets) != kAsn1OctetString) return false;
    for (const auto &known : kKnown) {
      if (strcmp(oid, known.oid) != 0) continue;
      const Asn1Node *value = x509ExtensionValue(octets);
      if ((cert->Extensions & known.flag) != 0 || value == nullptr || !known.read(cert, value)) {
        x509Log(cert, LOG_ERROR, "Invalid certificate extension %s\n", oid);
        return false;
      }
      cert->Extensions |= known.flag;
    }
  }
  return true;
}

bool x509AlgorithmOid(const Asn1Node *algorithm, char *oid) {
  return Asn1_GetTag(algorithm) == kAsn1Sequence &&
         Asn1_GetOidText(Asn1_GetChild(algorithm, 0), oid);
}

bool x509SignatureOidSupported(const char *oid) {
  return strncmp(oid, "1.2.840.10045.4.3.", 18) == 0 ||
         strncmp(oid, "1.2.840.113549.1.1.", 19) == 0 || strcmp(oid, "1.2.840.10045.4.1") == 0 ||
         strcmp(oid, "1.3.14.3.2.29") == 0;
}

// An empty Name: a SEQUENCE with no RDN.
bool x509NameIsEmpty(const X500Name *name) {
  return name->derLength == 2 && name->der[0] == kAsn1Sequence && name->der[1] == 0;
}

bool x509Parse(X509 *cert) {
  const Asn1Node *certificate = Asn1_GetChild(cert->Document, 0);
  if (Asn1_GetChildCount(cert->Document) != 1 || Asn1_GetTag(certificate) != kAsn1Sequence ||
      Asn1_GetChildCount(certificate) != 3)
    return false;
  const Asn1Node *tbs = Asn1_GetChild(certificate, 0);
  if (Asn1_GetTag(tbs) != kAsn1Sequence) return false;
  cert->Tbs = Asn1_GetElementStart(tbs);
  cert->TbsLength = int32_t(Asn1_GetElementLength(tbs));
  int index = 0;
  if (Asn1_GetTag(Asn1_GetChild(tbs, 0)) == kX509VersionTag) {
    uint32_t version = 0;
    if (!Asn1_GetInteger32(Asn1_GetChild(Asn1_GetChild(tbs, 0), 0), &version)) return false;
    cert->Version = int32_t(version);
    index = 1;
  }
  if (Asn1_GetTag(Asn1_GetChild(tbs, index)) != kAsn1Integer ||
      !Asn1_GetBigInteger(Asn1_GetChild(tbs, index), cert->Serial))
    return false;
  char inner[kAsn1TextBytes];
  char outer[kAsn1TextBytes];
  if (!x509AlgorithmOid(Asn1_GetChild(tbs, index + 1), inner) ||
      !x509AlgorithmOid(Asn1_GetChild(certificate, 1), outer) || strcasecmp(inner, outer) != 0)
    return false;
  if (!x509SignatureOidSupported(inner) || !Hash_GetInterfaceByOid(inner, &cert->SignatureHash)) {
    x509Log(cert, LOG_ERROR, "Unsupported crypto algorithm %s\n", inner);
    return false;
  }
  const Asn1Node *bits = Asn1_GetChild(certificate, 2);
  if (Asn1_GetTag(bits) != kAsn1BitString || Asn1_GetContentLength(bits) < 1) return false;
  cert->SignatureLength = Asn1_GetContentLength(bits) - 1;
  cert->Signature = static_cast<uint8_t *>(MEM_ALLOC(cert->SignatureLength + 1, 0));
  memcpy(cert->Signature, Asn1_GetContent(bits) + 1, size_t(cert->SignatureLength));
  if (!X500Name_Parse(cert->Issuer, Asn1_GetChild(tbs, index + 2))) return false;
  const Asn1Node *validity = Asn1_GetChild(tbs, index + 3);
  if (Asn1_GetTag(validity) != kAsn1Sequence || Asn1_GetChildCount(validity) != 2) return false;
  // An unreadable time stays 0, which no time check passes.
  Asn1_GetUtcTime(Asn1_GetChild(validity, 0), &cert->NotBefore);
  Asn1_GetUtcTime(Asn1_GetChild(validity, 1), &cert->NotAfter);
  // Extensions come last; the unique identifiers [1] and [2] are skipped.
  const Asn1Node *extensions = nullptr;
  for (int i = index + 6; i < Asn1_GetChildCount(tbs); i++)
    if (Asn1_GetTag(Asn1_GetChild(tbs, i)) == kX509ExtensionsTag)
      extensions = Asn1_GetChild(tbs, i);
  if (!x509ReadExtensions(cert, extensions)) return false;
  if (!X500Name_Parse(cert->Subject, Asn1_GetChild(tbs, index + 4)) &&
      !(x509NameIsEmpty(cert->Subject) && cert->SubjectAltName != nullptr))
    return false;
  return CryptAsymmetric_ImportSubjectPublicKeyInfo(cert->PublicKey,
                                                    Asn1_GetChild(tbs, index + 5)) == 1;
}

// ---- host names -----------------------------------------------------------------------

char x509Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

bool x509IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// The labels of a host name, lower-cased, one trailing dot dropped; empty
// for a name with an empty label or a character no host name holds.
std::vector<std::string> x509Labels(const char *text, size_t length, bool allowStar) {
  std::vector<std::string> labels;
  if (length > 0 && text[length - 1] == '.') length--;
  if (length == 0) return labels;
  std::string label;
  for (size_t i = 0; i <= length; i++) {
    if (i == length || text[i] == '.') {
      if (label.empty()) return {};
      labels.push_back(label);
      label.clear();
      continue;
    }
    char c = text[i];
    if (!x509IsHostChar(c) && !(allowStar && c == '*')) return {};
    label += x509Lower(c);
  }
  return labels;
}

bool x509DnsMatch(const std::vector<std::string> &host, const char *entry, size_t length) {
  std::vector<std::string> pattern = x509Labels(entry, length, true);
  if (pattern.empty() || pattern.size() != host.size()) return false;
  for (size_t i = 0; i < pattern.size(); i++) {
    bool star = pattern[i].find('*') != std::string::npos;
    if (!star) {
      if (pattern[i] != host[i]) return false;
      continue;
    }
    // Only a whole left-most "*" with two labels after it.
    if (i != 0 || pattern[i] != "*" || pattern.size() < 3) return false;
  }
  return true;
}

// An IP literal into out (4 or 16 bytes); 0 when host is not one.
int x509ParseIp(const char *host, uint8_t *out) {
  char text[kX509HostBytes];
  size_t length = strlen(host);
  if (length >= sizeof text) return 0;
  if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
    memcpy(text, host + 1, length - 2);
    text[length - 2] = '\0';
    return inet_pton(AF_INET6, text, out) == 1 ? 16 : 0;
  }
  if (inet_pton(AF_INET, host, out) == 1) return 4;
  if (inet_pton(AF_INET6, host, out) == 1) return 16;
  return 0;
}

}  // namespace

int X509_Create(X509 **cert) {
  CHECK_POINTER(cert);
  auto *c = static_cast<X509 *>(MEM_ALLOC(sizeof(X509), MEM_ZEROED));
  c->header.classTag = kX509Tag;
  c->header.refCount.store(1, std::memory_order_relaxed);
  c->header.destroy = x509Destroy;
  Class_GenerateInstanceId(&c->header);
  c->Log.object = c;
  c->Log.className = "X509";
  c->PathLength = -1;
  BigInt_Create(&c->Serial);
  X500Name_Create(&c->Issuer);
  X500Name_Create(&c->Subject);
  Asn1_Create(&c->Document);
  CryptAsymmetric_Create(&c->PublicKey);
  CryptAsymmetric_SetLogHook(c->PublicKey, c, x509KeyLogHook);
  *cert = c;
  return 1;
}

int X509_Release(X509 **cert) {
  CHECK_POINTER(cert);
  X509_CHECK(*cert);
  Class_ReleaseObject(cert);
  return 1;
}

int X509_LoadDer(X509 *cert, const void *der, int32_t length) {
  X509_CHECK(cert);
  x509Reset(cert);
  if (der == nullptr || length <= 0) return 0;
  cert->Der = static_cast<uint8_t *>(MEM_ALLOC(length, 0));
  memcpy(cert->Der, der, size_t(length));
  cert->DerLength = length;
  if (Asn1_ParseBuffer(cert->Document, cert->Der, length) && x509Parse(cert)) return 1;
  x509Reset(cert);
  return 0;
}

int X509_LoadFromNode(X509 *cert, const Asn1Node *node) {
  X509_CHECK(cert);
  int64_t length = Asn1_GetElementLength(node);
  if (node == nullptr || length > INT32_MAX) {
    x509Reset(cert);
    return 0;
  }
  return X509_LoadDer(cert, Asn1_GetElementStart(node), int32_t(length));
}

int X509_DecodeBase64(const char *text, int64_t length, std::vector<uint8_t> *der) {
  CHECK_POINTER(text);
  CHECK_POINTER(der);
  der->clear();
  std::string joined;
  joined.reserve(size_t(length > 0 ? length : 0));
  for (int64_t i = 0; i < length; i++)
    if (text[i] != '\r' && text[i] != '\n') joined += text[i];
  int64_t size = 0;
  Base64_DecodedSize(int64_t(joined.size()), &size);
  der->resize(size_t(size) + 8);
  int64_t written = 0;
  if (joined.empty() || !Base64_Decode(joined.c_str(), der->data(), int64_t(der->size()), &written) ||
      written > INT32_MAX) {
    der->clear();
    return 0;
  }
  der->resize(size_t(written));
  return 1;
}

int X509_LoadFromBase64(X509 *cert, const char *text, int32_t length) {
  X509_CHECK(cert);
  std::vector<uint8_t> der;
  if (!X509_DecodeBase64(text, length, &der)) {
    x509Reset(cert);
    return 0;
  }
  return X509_LoadDer(cert, der.data(), int32_t(der.size()));
}

int X509_Copy(X509 *target, const X509 *source) {
  X509_CHECK(target);
  X509_CHECK(source);
  if (source->DerLength == 0) return 0;
  return X509_LoadDer(target, source->Der, source->DerLength);
}

int X509_GetDer(const X509 *cert, const uint8_t **bytes, int32_t *length) {
  X509_CHECK(cert);
  CHECK_POINTER(bytes);
  CHECK_POINTER(length);
  *bytes = cert->Der;
  *length = cert->DerLength;
  return cert->DerLength > 0 ? 1 : 0;
}

int X509_GetSignatureHash(const X509 *cert, const HashInterface **hash) {
  X509_CHECK(cert);
  CHECK_POINTER(hash);
  *hash = cert->SignatureHash;
  return cert->SignatureHash != nullptr ? 1 : 0;
}

int X509_GetThumbprint(const X509 *cert, const HashInterface *hashRecord, void *out, int32_t size) {
  X509_CHECK(cert);
  CHECK_POINTER(hashRecord);
  CHECK_POINTER(out);
  if (cert->DerLength == 0 || size < hashRecord->DigestSize) return 0;
  return Hash_ComputeDigest(hashRecord, cert->Der, cert->DerLength, out, size);
}

int X509_MatchIssuerSerial(const X509 *cert, const X500Name *name, const BigInt *serial) {
  X509_CHECK(cert);
  CHECK_POINTER(name);
  CHECK_POINTER(serial);
  return cert->DerLength > 0 && X500Name_Equal(cert->Issuer, name) &&
                 BigInt_Equals(cert->Serial, serial)
             ? 1
             : 0;
}

int X509_IsIssuedBy(const X509 *cert, const X509 *candidate) {
  X509_CHECK(cert);
  X509_CHECK(candidate);
  return cert->DerLength > 0 && candidate->DerLength > 0 &&
                 X500Name_Equal(cert->Issuer, candidate->Subject)
             ? 1
             : 0;
}

int X509_IsSelfIssued(const X509 *cert) { return X509_IsIssuedBy(cert, cert); }

int X509_VerifyRaw(X509 *cert, const void *digest, int32_t digestLength, const void *signature,
                   int32_t length, int32_t mode) {
  X509_CHECK(cert);
  if (cert->DerLength == 0) return 0;
  if (CryptAsymmetric_Verify(cert->PublicKey, digest, digestLength, signature, length, mode))
    return 1;
  x509Log(cert, LOG_DEBUG, "Verify signature failed\n");
  return 0;
}

int X509_VerifySignature(X509 *cert, HashHandle *hash, const void *signature, int32_t length) {
  X509_CHECK(cert);
  uint8_t digest[kHashMaxDigestBytes];
  int32_t digestLength = Hash_GetDigestSize(hash);
  if (digestLength <= 0 || digestLength > kHashMaxDigestBytes ||
      !Hash_GetDigest(hash, digest, sizeof digest)) {
    x509Log(cert, LOG_ERROR, "Failed to get digest\n");
    return 0;
  }
  return X509_VerifyRaw(cert, digest, digestLength, signature, length, kX509VerifyDigestInfo);
}

int X509_VerifyIssued(X509 *issuer, X509 *cert) {
  X509_CHECK(issuer);
  X509_CHECK(cert);
  if (issuer->DerLength == 0 || cert->DerLength == 0) return 0;
  const HashInterface *hash = cert->SignatureHash;
  if (hash == &kHashMd2 || hash == &kHashMd4 || hash == &kHashMd5) {
    x509Log(cert, LOG_ERROR, "Refused %s certificate signature\n", hash->Name);
    return 0;
  }
  HashHandle *handle = nullptr;
  Hash_Create(&handle);
  Hash_SetInterface(handle, hash);
  int ok = 0;
  if (!Hash_Update(handle, cert->Tbs, cert->TbsLength, nullptr))
    x509Log(cert, LOG_ERROR, "Hash process failed\n");
  else if (!Hash_Generate(handle))
    x509Log(cert, LOG_ERROR, "Hash generate failed\n");
  else
    ok = X509_VerifySignature(issuer, handle, cert->Signature, cert->SignatureLength);
  Hash_Delete(&handle);
  return ok;
}

int X509_GetAltName(const X509 *cert, int index, int *type, const uint8_t **bytes,
                    int32_t *length) {
  X509_CHECK(cert);
  CHECK_POINTER(type);
  CHECK_POINTER(bytes);
  CHECK_POINTER(length);
  const Asn1Node *entry = Asn1_GetChild(cert->SubjectAltName, index);
  if (entry == nullptr) return 0;
  *type = Asn1_GetTagNumber(entry);
  *bytes = Asn1_GetContent(entry);
  *length = Asn1_GetContentLength(entry);
  return 1;
}

int X509_MatchHostName(const X509 *cert, const char *host) {
  X509_CHECK(cert);
  CHECK_POINTER(host);
  if (cert->DerLength == 0) return 0;
  uint8_t ip[16];
  int ipLength = x509ParseIp(host, ip);
  std::vector<std::string> labels;
  if (ipLength == 0) {
    labels = x509Labels(host, strlen(host), false);
    if (labels.empty()) return 0;
  }
  if (cert->SubjectAltName == nullptr) {
    const char *cn = cert->Subject->commonName;
    return ipLength == 0 && x509DnsMatch(labels, cn, strlen(cn)) ? 1 : 0;
  }
  int type = 0;
  const uint8_t *bytes = nullptr;
  int32_t length = 0;
  for (int i = 0; X509_GetAltName(cert, i, &type, &bytes, &length); i++) {
    if (ipLength != 0 && type == kX509AltNameIp && length == ipLength &&
        memcmp(bytes, ip, size_t(length)) == 0)
      return 1;
    if (ipLength == 0 && type == kX509AltNameDns &&
        x509DnsMatch(labels, reinterpret_cast<const char *>(bytes), size_t(length)))
      return 1;
  }
  return 0;
}

int X509_Log(X509 *cert) {
  X509_CHECK(cert);
  if (cert->DerLength == 0) return 0;
  if (cert->Subject->commonName[0] != '\0')
    x509Log(cert, LOG_INFO, "Common Name - %s\n", cert->Subject->commonName);
  if (cert->Subject->organization[0] != '\0')
    x509Log(cert, LOG_INFO, "Organization - %s\n", cert->Subject->organization);
  if (cert->Subject->organizationalUnit[0] != '\0')
    x509Log(cert, LOG_INFO, "Organization Unit - %s\n", cert->Subject->organizationalUnit);
  std::vector<char> serial(kBigIntHexBytes);
  BigInt_ToHex(cert->Serial, serial.data());
  x509Log(cert, LOG_INFO, "Serial Number - %s\n", serial.data());
  static constexpr struct {
    const HashInterface *hash;
    const char *name;
  } kThumbprints[] = {{&kHashSha1, "SHA1"}, {&kHashSha256, "SHA256"}};
  for (const auto &t : kThumbprints) {
    uint8_t digest[kHashMaxDigestBytes];
    char hex[2 * kHashMaxDigestBytes + 1];
    char base64[2 * kHashMaxDigestBytes];
    int64_t written = 0;
    X509_GetThumbprint(cert, t.hash, digest, sizeof digest);
    Hash_BytesToHex(digest, t.hash->DigestSize, 0, hex, sizeof hex);
    Base64_Encode(digest, t.hash->DigestSize, base64, sizeof base64 - 1, &written);
    base64[written] = '\0';
    x509Log(cert, LOG_INFO, "%s Thumbprint - %s\n", t.name, hex);
    x509Log(cert, LOG_INFO, "%s Base64 Thumbprint - %s\n", t.name, base64);
  }
  return 1;
}
