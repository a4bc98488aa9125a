// The PKCS#7 SignedData verifier; see pkcs7.h.
#include "core/security/pkcs7.h"

#include <cstdarg>
#include <cstring>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/security/x509.h"

namespace {

PKCS7 *pkcs7Check(PKCS7 *pkcs7, const char *sourcePath, int line) {
  Class_Check(pkcs7, kPkcs7Tag, sourcePath, line);
  return pkcs7;
}
#define PKCS7_CHECK(p) pkcs7Check((p), KSRC)

// Forgets the parse: every element pointer and the signer record.
void pkcs7ClearParse(PKCS7 *p) {
  Pkcs7SignedData &sd = p->SignedData;
  Pkcs7SignerInfo &si = sd.SignerInfo;
  sd.Version = 0;
  sd.ContentIsOctetString = 0;
  sd.ContentInfo = sd.Content = nullptr;
  X509Chain_Clear(sd.Chain);
  si.Version = 0;
  si.Hash = nullptr;
  si.DigestEncryptionAlgorithm = si.AuthenticatedAttributes = nullptr;
  si.EncryptedDigest = si.UnauthenticatedAttributes = nullptr;
  p->ExpectedDigest = nullptr;
  Asn1_Clear(p->Document);
}

void pkcs7FreeData(PKCS7 *p) {
  if (p->Data != nullptr) MEM_FREE(p->Data, size_t(p->DataLength));
  p->Data = nullptr;
  p->DataLength = 0;
}

void pkcs7Destroy(void **object) {
  auto *p = static_cast<PKCS7 *>(*object);
  pkcs7ClearParse(p);
  Asn1_Release(&p->Document);
  X509Chain_Release(&p->SignedData.Chain);
  X500Name_Release(&p->SignedData.SignerInfo.Issuer);
  BigInt_Release(&p->SignedData.SignerInfo.Serial);
  pkcs7FreeData(p);
  p->header.classTag = 0;
  MEM_FREE(p, sizeof(PKCS7));
}

bool pkcs7OidIs(const Asn1Node *node, const char *oid) {
  char text[kAsn1TextBytes];
  return Asn1_GetTag(node) == kAsn1Oid && Asn1_GetOidText(node, text) && strcmp(text, oid) == 0;
}

// The single value of the authenticated attribute oid, or NULL. An
// attribute must be {OID, SET of one value}.
Asn1Node *pkcs7FindAttribute(const Asn1Node *attributes, const char *oid) {
  for (int i = 0; i < Asn1_GetChildCount(attributes); i++) {
    Asn1Node *attribute = Asn1_GetChild(attributes, i);
    if (Asn1_GetTag(attribute) != kAsn1Sequence || !pkcs7OidIs(Asn1_GetChild(attribute, 0), oid))
      continue;
    Asn1Node *values = Asn1_GetChild(attribute, 1);
    if (Asn1_GetTag(values) != kAsn1Set || Asn1_GetChildCount(values) != 1) return nullptr;
    return Asn1_GetChild(values, 0);
  }
  return nullptr;
}

// Feeds the content octets of element: its value without its own tag and
// length; the segments of a constructed OCTET STRING in order.
bool pkcs7HashContent(HashHandle *hash, const Asn1Node *element, int depth) {
  if (Asn1_GetTag(element) == (kAsn1OctetString | 0x20)) {
    if (depth > kAsn1MaxDepth) return false;
    for (int i = 0; i < Asn1_GetChildCount(element); i++) {
      const Asn1Node *segment = Asn1_GetChild(element, i);
      int tag = Asn1_GetTag(segment);
      if (tag != kAsn1OctetString && tag != (kAsn1OctetString | 0x20)) return false;
      if (!pkcs7HashContent(hash, segment, depth + 1)) return false;
    }
    return true;
  }
  int32_t length = Asn1_GetContentLength(element);
  return length == 0 || Hash_Update(hash, Asn1_GetContent(element), length, nullptr) == 1;
}

// Embedded content is bound when its digest is the messageDigest attribute
// and its type the contentType attribute.
bool pkcs7ContentBound(PKCS7 *p) {
  const Pkcs7SignerInfo &si = p->SignedData.SignerInfo;
  const Asn1Node *attributes = si.AuthenticatedAttributes;
  if (si.Hash == nullptr || attributes == nullptr) return false;
  const Asn1Node *messageDigest = pkcs7FindAttribute(attributes, kPkcs7OidMessageDigest);
  const Asn1Node *contentType = pkcs7FindAttribute(attributes, kPkcs7OidContentType);
  const Asn1Node *type = Asn1_GetChild(p->SignedData.ContentInfo, 0);
  if (Asn1_GetTag(messageDigest) != kAsn1OctetString || Asn1_GetTag(contentType) != kAsn1Oid ||
      Asn1_GetContentLength(contentType) != Asn1_GetContentLength(type) ||
      memcmp(Asn1_GetContent(contentType), Asn1_GetContent(type),
             size_t(Asn1_GetContentLength(type))) != 0)
    return false;
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  Hash_SetInterface(hash, si.Hash);
  uint8_t digest[kHashMaxDigestBytes];
  int32_t size = si.Hash->DigestSize;
  bool bound = pkcs7HashContent(hash, p->SignedData.Content, 0) && Hash_Generate(hash) &&
               Hash_GetDigest(hash, digest, sizeof digest) &&
               Asn1_GetContentLength(messageDigest) == size &&
               memcmp(Asn1_GetContent(messageDigest), digest, size_t(size)) == 0;
  Hash_Delete(&hash);
  return bound;
}

bool pkcs7IsWeakDigest(const HashInterface *hash) {
  return hash == &kHashMd2 || hash == &kHashMd4 || hash == &kHashMd5;
}

}  // namespace

int PKCS7_Create(PKCS7 **pkcs7) {
  CHECK_POINTER(pkcs7);
  auto *p = static_cast<PKCS7 *>(MEM_ALLOC(sizeof(PKCS7), MEM_ZEROED));
  p->header.classTag = kPkcs7Tag;
  p->header.refCount.store(1, std::memory_order_relaxed);
  p->header.destroy = pkcs7Destroy;
  p->Log.object = p;
  p->Log.className = "PKCS7";
  Asn1_Create(&p->Document);
  X509Chain_Create(&p->SignedData.Chain);
  X500Name_Create(&p->SignedData.SignerInfo.Issuer);
  BigInt_Create(&p->SignedData.SignerInfo.Serial);
  *pkcs7 = p;
  return 1;
}

int PKCS7_Release(PKCS7 **pkcs7) {
  CHECK_POINTER(pkcs7);
  PKCS7_CHECK(*pkcs7);
  Class_ReleaseObject(pkcs7);
  return 1;
}

void PKCS7_Log(PKCS7 *pkcs7, const char *format, ...) {
  PKCS7_CHECK(pkcs7);
  if (!Class_LogEnabled(&pkcs7->Log, LOG_DEBUG)) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&pkcs7->Log, 0, format, args);
  va_end(args);
}

int PKCS7_SetData(PKCS7 *pkcs7, const void *data, int32_t length) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  pkcs7ClearParse(p);
  pkcs7FreeData(p);
  if (length <= 0) return 0;
  CHECK_POINTER(data);
  p->Data = static_cast<uint8_t *>(MEM_ALLOC(size_t(length), 0));
  memcpy(p->Data, data, size_t(length));
  p->DataLength = length;
  return 1;
}

int PKCS7_Parse(PKCS7 *pkcs7) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  pkcs7ClearParse(p);
  if (p->Data == nullptr) return 0;
  // One element; what follows it (the zero padding of a certificate table)
  // is not part of the signature.
  uint8_t identifier = 0;
  int32_t headerLength = 0;
  int indefinite = 0;
  int32_t contentLength =
      Asn1_ReadHeader(p->Data, p->DataLength, 0, &identifier, &headerLength, &indefinite);
  if (contentLength < 0) return 0;
  int64_t used = indefinite ? p->DataLength : int64_t(headerLength) + contentLength;
  if (!Asn1_ParseBuffer(p->Document, p->Data, used)) return 0;
  Asn1Node *contentInfo = Asn1_GetChild(p->Document, 0);
  Asn1Node *content = Asn1_GetChild(contentInfo, 1);
  if (Asn1_GetTag(contentInfo) != kAsn1Sequence ||
      !pkcs7OidIs(Asn1_GetChild(contentInfo, 0), kPkcs7OidSignedData) ||
      Asn1_GetTag(content) != 0xA0 || !PKCS7_ParseSignedData(p, content)) {
    pkcs7ClearParse(p);
    return 0;
  }
  return 1;
}

int PKCS7_ParseSignedData(PKCS7 *pkcs7, Asn1Node *node) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  Pkcs7SignedData &sd = p->SignedData;
  Asn1Node *signedData = Asn1_GetChild(node, 0);
  uint32_t version = 0;
  if (Asn1_GetTag(signedData) != kAsn1Sequence ||
      !Asn1_GetInteger32(Asn1_GetChild(signedData, 0), &version))
    return 0;
  sd.Version = int32_t(version);
  // ContentInfo: {OID, [0] EXPLICIT content OPTIONAL}.
  Asn1Node *contentInfo = Asn1_GetChild(signedData, 2);
  if (Asn1_GetTag(contentInfo) != kAsn1Sequence ||
      Asn1_GetTag(Asn1_GetChild(contentInfo, 0)) != kAsn1Oid)
    return 0;
  sd.ContentInfo = contentInfo;
  Asn1Node *wrapper = Asn1_GetChild(contentInfo, 1);
  if (wrapper != nullptr) {
    if (Asn1_GetTag(wrapper) != 0xA0 || Asn1_GetChildCount(wrapper) != 1) return 0;
    sd.Content = Asn1_GetChild(wrapper, 0);
    sd.ContentIsOctetString = (Asn1_GetTag(sd.Content) & 0x1F) == kAsn1OctetString ? 1 : 0;
  }
  int i = 3;
  if (Asn1_GetTag(Asn1_GetChild(signedData, i)) == 0xA0) {
    if (!X509Chain_LoadFromAsn1List(sd.Chain, Asn1_GetChild(signedData, i))) return 0;
    i++;
  }
  if (Asn1_GetTag(Asn1_GetChild(signedData, i)) == 0xA1) i++;
  Asn1Node *signerInfos = Asn1_GetChild(signedData, i);
  if (Asn1_GetChildCount(signerInfos) == 0) return 1;
  if (Asn1_GetTag(signerInfos) != kAsn1Set) return 0;
  return PKCS7_ParseSignerInfo(p, signerInfos);
}

int PKCS7_ParseSignerInfo(PKCS7 *pkcs7, Asn1Node *signerInfos) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  Pkcs7SignerInfo &si = p->SignedData.SignerInfo;
  Asn1Node *s = Asn1_GetChild(signerInfos, 0);
  Asn1Node *issuerSerial = Asn1_GetChild(s, 1);
  Asn1Node *digestAlgorithm = Asn1_GetChild(s, 2);
  uint32_t version = 0;
  char oid[kAsn1TextBytes];
  if (Asn1_GetTag(s) != kAsn1Sequence || !Asn1_GetInteger32(Asn1_GetChild(s, 0), &version) ||
      Asn1_GetTag(issuerSerial) != kAsn1Sequence || Asn1_GetTag(digestAlgorithm) != kAsn1Sequence)
    return 0;
  if (!X500Name_Parse(si.Issuer, Asn1_GetChild(issuerSerial, 0)) &&
      si.Issuer->derLength == 0)
    return 0;
  if (!Asn1_GetBigInteger(Asn1_GetChild(issuerSerial, 1), si.Serial)) return 0;
  const HashInterface *hash = nullptr;
  if (Asn1_GetTag(Asn1_GetChild(digestAlgorithm, 0)) != kAsn1Oid ||
      !Asn1_GetOidText(Asn1_GetChild(digestAlgorithm, 0), oid) ||
      !Hash_GetInterfaceByOid(oid, &hash))
    return 0;
  // A collision in these would let one signature cover two files.
  if (pkcs7IsWeakDigest(hash)) {
    PKCS7_Log(p, "Refused %s signer digest\n", hash->Name);
    return 0;
  }
  int i = 3;
  Asn1Node *authenticated = nullptr;
  if (Asn1_GetTag(Asn1_GetChild(s, 3)) == 0xA0) {
    authenticated = Asn1_GetChild(s, 3);
    i = 4;
  }
  Asn1Node *encryptedDigest = Asn1_GetChild(s, i + 1);
  if (Asn1_GetTag(Asn1_GetChild(s, i)) != kAsn1Sequence ||
      Asn1_GetTag(encryptedDigest) != kAsn1OctetString)
    return 0;
  Asn1Node *unauthenticated = Asn1_GetChild(s, i + 2);
  si.Version = int32_t(version);
  si.Hash = hash;
  si.AuthenticatedAttributes = authenticated;
  si.DigestEncryptionAlgorithm = Asn1_GetChild(s, i);
  si.EncryptedDigest = encryptedDigest;
  si.UnauthenticatedAttributes = Asn1_GetTag(unauthenticated) == 0xA1 ? unauthenticated : nullptr;
  return 1;
}

int PKCS7_SelectExpectedDigest(PKCS7 *pkcs7) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  const Pkcs7SignedData &sd = p->SignedData;
  p->ExpectedDigest = nullptr;
  Asn1Node *messageDigest =
      pkcs7FindAttribute(sd.SignerInfo.AuthenticatedAttributes, kPkcs7OidMessageDigest);
  if (sd.Content != nullptr) {
    if (!pkcs7ContentBound(p)) {
      PKCS7_Log(p, "Content digest does not match signed attributes\n");
      return 0;
    }
    if (pkcs7OidIs(Asn1_GetChild(sd.ContentInfo, 0), kPkcs7OidSpcIndirectData)) {
      // SpcIndirectDataContent: {data, DigestInfo {algorithm, digest}}.
      Asn1Node *digest = Asn1_GetChild(Asn1_GetChild(sd.Content, 1), 1);
      if (Asn1_GetTag(digest) == kAsn1OctetString) p->ExpectedDigest = digest;
      return 1;
    }
  }
  if (Asn1_GetTag(messageDigest) == kAsn1OctetString) p->ExpectedDigest = messageDigest;
  return 1;
}

int PKCS7_VerifyContent(PKCS7 *pkcs7, CertStore *store, Stream *source,
                        Pkcs7DigestFunction digestFunction) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  if (digestFunction == nullptr) Core_Abort(KSRC, "Pointer is NULL\n");
  const HashInterface *hashInterface = p->SignedData.SignerInfo.Hash;
  if (hashInterface == nullptr) {
    PKCS7_Log(p, "Missing essential information\n");
    return 0;
  }
  if (hashInterface->DigestSize >= kPkcs7DigestBufferBytes)
    Core_Abort(KSRC,
               "Assertion failed (PKCS7->SignedData.SignerInfo.HashInterface->DigestSize < "
               "Element_Count(Digest))\nPKCS7 digest overflow");
  uint8_t digest[kPkcs7DigestBufferBytes] = {};
  HashHandle *hash = nullptr;
  Hash_Create(&hash);
  Hash_SetInterface(hash, hashInterface);
  int ok = 0;
  if (!digestFunction(source, hash))
    PKCS7_Log(p, "Hash process failed\n");
  else if (!Hash_Generate(hash))
    PKCS7_Log(p, "Hash generate failed\n");
  else if (!Hash_GetDigest(hash, digest, sizeof digest))
    PKCS7_Log(p, "Get digest failed\n");
  else
    ok = 1;
  Hash_Delete(&hash);
  return ok ? PKCS7_VerifyDigest(p, store, digest, int32_t(sizeof digest)) : 0;
}

int PKCS7_VerifyDigest(PKCS7 *pkcs7, CertStore *store, const uint8_t *digest, int32_t size) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  CHECK_POINTER(digest);
  const Pkcs7SignerInfo &si = p->SignedData.SignerInfo;
  if (si.Hash == nullptr) {
    PKCS7_Log(p, "Missing signer info hash type\n");
    return 0;
  }
  int32_t digestSize = si.Hash->DigestSize;
  if (digestSize > size)
    Core_Abort(KSRC,
               "Assertion failed (PKCS7->SignedData.SignerInfo.HashInterface->DigestSize <= "
               "DigestSize)\nPKCS7 digest overflow");
  if (si.EncryptedDigest == nullptr) {
    PKCS7_Log(p, "Missing encrypted digest\n");
    return 0;
  }
  X509 *signer = nullptr;
  if (!X509Chain_FindByIssuerSerial(p->SignedData.Chain, si.Issuer, si.Serial, &signer)) {
    PKCS7_Log(p, "Signer info certificate not found in chain\n");
    return 0;
  }
  // Signed files outlive their certificates and carry no time-stamps the
  // walk could use: no dates.
  if (!X509Chain_VerifyPolicy(p->SignedData.Chain, signer, store, X509Purpose::CodeSigning, 0)) {
    PKCS7_Log(p, "Unable to verify certificate chain\n");
    return 0;
  }
  if (p->ExpectedDigest == nullptr) {
    PKCS7_Log(p, "Missing content digest\n");
    return 0;
  }
  int32_t expectedLength = Asn1_GetContentLength(p->ExpectedDigest);
  if (expectedLength != digestSize) {
    PKCS7_Log(p, "Digest size doesn't match content hash size (%d:%d)\n", digestSize,
              expectedLength);
    return 0;
  }
  if (si.AuthenticatedAttributes == nullptr) {
    PKCS7_Log(p, "Missing authenticated attributes\n");
    return 0;
  }
  if (!PKCS7_VerifyAttributes(p, signer, si.AuthenticatedAttributes)) {
    PKCS7_Log(p, "Failed to verify header\n");
    return 0;
  }
  if (memcmp(Asn1_GetContent(p->ExpectedDigest), digest, size_t(digestSize)) != 0) {
    PKCS7_Log(p, "Verification failed\n");
    return 0;
  }
  return 1;
}

int PKCS7_VerifySignedDigest(PKCS7 *pkcs7, X509 *certificate, const uint8_t *data,
                             int32_t length) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  const Pkcs7SignerInfo &si = p->SignedData.SignerInfo;
  uint8_t digest[kHashMaxDigestBytes];
  if (si.Hash == nullptr ||
      !Hash_ComputeDigest(si.Hash, data, length, digest, sizeof digest)) {
    PKCS7_Log(p, "Header hash generate failed\n");
    return 0;
  }
  if (!X509_VerifyRaw(certificate, digest, si.Hash->DigestSize,
                      Asn1_GetContent(si.EncryptedDigest),
                      Asn1_GetContentLength(si.EncryptedDigest), kX509VerifyDigestInfo)) {
    PKCS7_Log(p, "Header verify signature failed\n");
    return 0;
  }
  return 1;
}

int PKCS7_VerifyAttributes(PKCS7 *pkcs7, X509 *certificate, const Asn1Node *element) {
  PKCS7 *p = PKCS7_CHECK(pkcs7);
  int64_t length = Asn1_GetElementLength(element);
  if (length <= 0 || length > INT32_MAX) return 0;
  auto *copy = static_cast<uint8_t *>(MEM_ALLOC(size_t(length), 0));
  memcpy(copy, Asn1_GetElementStart(element), size_t(length));
  copy[0] = kAsn1Set;
  int ok = PKCS7_VerifySignedDigest(p, certificate, copy, int32_t(length));
  MEM_FREE(copy, size_t(length));
  return ok;
}
