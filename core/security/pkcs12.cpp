// PKCS#12 containers. See pkcs12.h.
#include "core/security/pkcs12.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/security/cryptsymmetric.h"
#include "core/security/hmac.h"

namespace {

constexpr const char *kOidData = "1.2.840.113549.1.7.1";
constexpr const char *kOidEncryptedData = "1.2.840.113549.1.7.6";
constexpr const char *kOidPbeSha1Rc4 = "1.2.840.113549.1.12.1.1";
constexpr const char *kOidShroudedKeyBag = "1.2.840.113549.1.12.10.1.2";
constexpr const char *kOidCertBag = "1.2.840.113549.1.12.10.1.3";
constexpr const char *kOidX509Certificate = "1.2.840.113549.1.9.22.1";
constexpr int32_t kRc4KeyBytes = 16;
constexpr int32_t kSaltBytes = 8;
constexpr uint32_t kMaxIterations = 1000000;  // a hostile count must not stall the loader

#define PKCS12_CHECK(p) CLASS_CHECK(p, kPkcs12Tag)

// Wipes a buffer of secrets (an empty vector has no storage to wipe).
void wipe(std::vector<uint8_t> &bytes) {
  if (!bytes.empty()) explicit_bzero(bytes.data(), bytes.size());
}

void pkcs12Destroy(void **object) {
  auto *p = static_cast<PKCS12 *>(*object);
  X509Chain_Release(&p->Chain);
  CryptAsymmetric_Release(&p->Key);
  p->header.classTag = 0;
  MEM_FREE(p, sizeof(PKCS12));
}

void logLine(const char *format, const char *detail = "") {
  Log_Print(LOG_ERROR, KSRC, 0, format, detail);
}

std::string oidOf(const Asn1Node *node) {
  char text[kAsn1TextBytes];
  if (!node || Asn1_GetTag(node) != kAsn1Oid || !Asn1_GetOidText(node, text)) return "";
  return text;
}

// The bytes of an OCTET STRING, or of a constructed or context-tagged one
// (its pieces joined).
bool octets(const Asn1Node *node, std::vector<uint8_t> *out) {
  out->clear();
  if (!node) return false;
  if (!(Asn1_GetTag(node) & 0x20)) {
    const uint8_t *c = Asn1_GetContent(node);
    out->assign(c, c + Asn1_GetContentLength(node));
    return true;
  }
  for (int i = 0; i < Asn1_GetChildCount(node); i++) {
    const Asn1Node *piece = Asn1_GetChild(node, i);
    if (Asn1_GetTag(piece) != kAsn1OctetString) return false;
    const uint8_t *c = Asn1_GetContent(piece);
    out->insert(out->end(), c, c + Asn1_GetContentLength(piece));
  }
  return true;
}

// A parsed document of bytes; its first element, or NULL.
struct Document {
  Asn1Node *root = nullptr;
  std::vector<uint8_t> bytes;
  explicit Document(std::vector<uint8_t> data) : bytes(std::move(data)) {
    Asn1_Create(&root);
    if (bytes.empty() || !Asn1_ParseBuffer(root, bytes.data(), int64_t(bytes.size()))) Asn1_Clear(root);
  }
  ~Document() {
    Asn1_Release(&root);
    wipe(bytes);
  }
  Document(const Document &) = delete;
  Document &operator=(const Document &) = delete;
  const Asn1Node *first() const { return Asn1_GetChild(root, 0); }
};

// pbeWithSHAAnd128BitRC4 parameters: an 8-byte salt and the iterations.
int pbeParams(const Asn1Node *algorithm, std::vector<uint8_t> *salt, uint32_t *iterations,
              const char *what) {
  const std::string oid = oidOf(Asn1_GetChild(algorithm, 0));
  if (oid != kOidPbeSha1Rc4) {
    logLine("PKCS12 must use PBE-SHA1-RC4-128 (%s)\n", oid.c_str());
    return 0;
  }
  const Asn1Node *params = Asn1_GetChild(algorithm, 1);
  if (!octets(Asn1_GetChild(params, 0), salt) || Asn1_GetTag(Asn1_GetChild(params, 0)) != kAsn1OctetString) {
    logLine("PKCS12 unable to retrieve PBE params for %s\n", what);
    return 0;
  }
  if (salt->size() != size_t(kSaltBytes)) {
    logLine("PKCS12 must use PBE-SHA1-RC4-128, invalid salt size\n");
    return 0;
  }
  if (!Asn1_GetInteger32(Asn1_GetChild(params, 1), iterations) || *iterations == 0 ||
      *iterations > kMaxIterations) {
    logLine("PKCS12 invalid pbe iteration\n");
    return 0;
  }
  return 1;
}

// Deciphers data in place with the RC4 key of the password, salt and count.
int decipher(const std::vector<uint8_t> &bmp, const std::vector<uint8_t> &salt, uint32_t iterations,
             std::vector<uint8_t> *data) {
  uint8_t key[kRc4KeyBytes];
  PKCS12_DeriveKey(&kHashSha1, bmp.data(), int32_t(bmp.size()), salt.data(), int32_t(salt.size()),
                   iterations, kPkcs12KeyMaterial, key, kRc4KeyBytes);
  CryptSymmetric *rc4 = nullptr;
  CryptSymmetric_Create(&rc4);
  int ok = CryptSymmetric_SetInterface(rc4, &kCryptSymmetricRc4) &&
           CryptSymmetric_SetKey(rc4, key, kRc4KeyBytes) &&
           (data->empty() || CryptSymmetric_Decrypt(rc4, data->data(), data->data(), int64_t(data->size())));
  CryptSymmetric_Release(&rc4);
  explicit_bzero(key, sizeof key);
  return ok;
}

// A PrivateKeyInfo into key: RSA, or ECDSA on the curve of the algorithm
// parameters or else of the ECPrivateKey's [0].
int importPrivateKey(PKCS12 *p, const Asn1Node *info) {
  const Asn1Node *algorithm = Asn1_GetChild(info, 1);
  const std::string oid = oidOf(Asn1_GetChild(algorithm, 0));
  std::vector<uint8_t> der;
  if (!octets(Asn1_GetChild(info, 2), &der)) return 0;
  int ok = 0;
  if (oid == kCryptAsymmetricRsaOid) {
    CryptAsymmetric_SetInterface(p->Key, &kCryptAsymmetricRsa);
    ok = CryptAsymmetric_ImportPrivate(p->Key, der.data(), int32_t(der.size()));
  } else if (oid == kCryptAsymmetricEcOid) {
    std::string curve = oidOf(Asn1_GetChild(algorithm, 1));
    Document ecKey(der);
    if (curve.empty()) {
      const Asn1Node *seq = ecKey.first();
      for (int i = 2; i < Asn1_GetChildCount(seq); i++) {
        const Asn1Node *member = Asn1_GetChild(seq, i);
        if (Asn1_GetTag(member) == 0xA0) curve = oidOf(Asn1_GetChild(member, 0));
      }
    }
    CryptAsymmetric_SetInterface(p->Key, &kCryptAsymmetricEcdsa);
    ok = !curve.empty() && CryptAsymmetric_SetParameters(p->Key, curve.c_str()) &&
         CryptAsymmetric_ImportPrivate(p->Key, der.data(), int32_t(der.size()));
  }
  wipe(der);
  if (!ok) logLine("PKCS12 private key must use RSA or ECDSA encryption\n");
  return ok;
}

// Every bag of a SafeContents: certificates to the chain, the shrouded key
// to the key.
int readBags(PKCS12 *p, const Asn1Node *contents, const std::vector<uint8_t> &bmp, int *certificates) {
  for (int i = 0; i < Asn1_GetChildCount(contents); i++) {
    const Asn1Node *bag = Asn1_GetChild(contents, i);
    const std::string type = oidOf(Asn1_GetChild(bag, 0));
    const Asn1Node *value = Asn1_GetChild(Asn1_GetChild(bag, 1), 0);
    if (type == kOidCertBag) {
      std::vector<uint8_t> der;
      if (oidOf(Asn1_GetChild(value, 0)) != kOidX509Certificate ||
          !octets(Asn1_GetChild(Asn1_GetChild(value, 1), 0), &der))
        continue;
      X509 *cert = nullptr;
      X509_Create(&cert);
      int loaded = X509_LoadDer(cert, der.data(), int32_t(der.size())) && X509Chain_Add(p->Chain, cert);
      X509_Release(&cert);
      if (!loaded) {
        logLine("PKCS12 unable to decode certificate store\n");
        return 0;
      }
      (*certificates)++;
    } else if (type == kOidShroudedKeyBag) {
      std::vector<uint8_t> salt, data;
      uint32_t iterations = 0;
      if (!pbeParams(Asn1_GetChild(value, 0), &salt, &iterations, "private key")) return 0;
      if (!octets(Asn1_GetChild(value, 1), &data) || data.empty()) {
        logLine("PKCS12 unable to find private key\n");
        return 0;
      }
      if (!decipher(bmp, salt, iterations, &data)) return 0;
      Document info(std::move(data));
      if (!info.first()) {
        logLine("PKCS12 unable to decode private key store\n");
        return 0;
      }
      if (!importPrivateKey(p, info.first())) return 0;
    } else if (!type.empty() && type.rfind("1.2.840.113549.1.12.10.1.", 0) != 0) {
      logLine("PKCS12 invalid key bag identifier (%s)\n", type.c_str());
      return 0;
    }
  }
  return 1;
}

int readContent(PKCS12 *p, const Asn1Node *info, const std::vector<uint8_t> &bmp) {
  const std::string type = oidOf(Asn1_GetChild(info, 0));
  const Asn1Node *explicitContent = Asn1_GetChild(Asn1_GetChild(info, 1), 0);
  std::vector<uint8_t> data;
  int certificates = 0;
  if (type == kOidData) {
    if (!octets(explicitContent, &data)) {
      logLine("PKCS12 unable to find private key\n");
      return 0;
    }
    Document contents(std::move(data));
    if (!contents.first()) {
      logLine("PKCS12 unable to decode private key store\n");
      return 0;
    }
    return readBags(p, contents.first(), bmp, &certificates);
  }
  if (type != kOidEncryptedData) {
    logLine("PKCS12 invalid data identifier (%s)\n", type.c_str());
    return 0;
  }
  const Asn1Node *encrypted = Asn1_GetChild(explicitContent, 1);  // EncryptedContentInfo
  const std::string inner = oidOf(Asn1_GetChild(encrypted, 0));
  if (inner != kOidData) {
    logLine("PKCS12 invalid certificate data identifier (%s)\n", inner.c_str());
    return 0;
  }
  std::vector<uint8_t> salt;
  uint32_t iterations = 0;
  if (!pbeParams(Asn1_GetChild(encrypted, 1), &salt, &iterations, "certificate")) return 0;
  const Asn1Node *bytes = Asn1_GetChild(encrypted, 2);
  if (!bytes || (Asn1_GetTag(bytes) & 0xDF) != 0x80 || !octets(bytes, &data) || data.empty()) {
    logLine("PKCS12 unable to find certificates\n");
    return 0;
  }
  if (!decipher(bmp, salt, iterations, &data)) return 0;
  Document contents(std::move(data));
  if (!contents.first()) {
    logLine("PKCS12 unable to decode certificate store\n");
    return 0;
  }
  if (!readBags(p, contents.first(), bmp, &certificates)) return 0;
  if (certificates == 0) {
    logLine("PKCS12 unable to find certificate in store\n");
    return 0;
  }
  return 1;
}

// The MAC over the AuthenticatedSafe with the key of password.
int macMatches(const Asn1Node *macData, const std::vector<uint8_t> &authSafe,
               const std::vector<uint8_t> &bmp) {
  const Asn1Node *digestInfo = Asn1_GetChild(macData, 0);
  const HashInterface *hash = nullptr;
  const std::string oid = oidOf(Asn1_GetChild(Asn1_GetChild(digestInfo, 0), 0));
  if (oid.empty() || !Hash_GetInterfaceByOid(oid.c_str(), &hash) || hash->DigestSize > kHashMaxDigestBytes)
    return 0;
  std::vector<uint8_t> stored, salt;
  octets(Asn1_GetChild(digestInfo, 1), &stored);
  if (!octets(Asn1_GetChild(macData, 1), &salt) || salt.size() != size_t(kSaltBytes)) {
    logLine("PKCS12 must use PBE-SHA1-RC4-128, invalid mac salt size\n");
    return 0;
  }
  uint32_t iterations = 1;
  if (Asn1_GetChild(macData, 2) &&
      (!Asn1_GetInteger32(Asn1_GetChild(macData, 2), &iterations) || iterations == 0 ||
       iterations > kMaxIterations)) {
    logLine("PKCS12 invalid mac iteration\n");
    return 0;
  }
  if (stored.size() != size_t(hash->DigestSize)) {
    logLine("PKCS12 invalid mac digest size\n");
    return 0;
  }
  uint8_t key[kHashMaxDigestBytes], mac[kHashMaxDigestBytes];
  PKCS12_DeriveKey(hash, bmp.data(), int32_t(bmp.size()), salt.data(), int32_t(salt.size()), iterations,
                   kPkcs12MacMaterial, key, hash->DigestSize);
  int ok = Hmac_Compute(hash, authSafe.data(), int64_t(authSafe.size()), key, hash->DigestSize, mac,
                        hash->DigestSize) &&
           Crypt_ConstantTimeEqual(mac, stored.data(), hash->DigestSize);
  explicit_bzero(key, sizeof key);
  return ok;
}

void clearContents(PKCS12 *p) {
  X509Chain_Clear(p->Chain);
  CryptAsymmetric_Release(&p->Key);
  CryptAsymmetric_Create(&p->Key);
}

}  // namespace

int PKCS12_Create(PKCS12 **pkcs12) {
  CHECK_POINTER(pkcs12);
  auto *p = static_cast<PKCS12 *>(MEM_ALLOC(sizeof(PKCS12), MEM_ZEROED));
  p->header.classTag = kPkcs12Tag;
  p->header.refCount.store(1, std::memory_order_relaxed);
  p->header.destroy = pkcs12Destroy;
  X509Chain_Create(&p->Chain);
  CryptAsymmetric_Create(&p->Key);
  *pkcs12 = p;
  return 1;
}

int PKCS12_Release(PKCS12 **pkcs12) {
  CHECK_POINTER(pkcs12);
  PKCS12_CHECK(*pkcs12);
  Class_ReleaseObject(pkcs12);
  return 1;
}

int PKCS12_PasswordToBmp(const char *password, std::vector<uint8_t> *bmp) {
  CHECK_POINTER(bmp);
  bmp->clear();
  const auto *s = reinterpret_cast<const uint8_t *>(password ? password : "");
  auto put = [&](uint32_t unit) {
    bmp->push_back(uint8_t(unit >> 8));
    bmp->push_back(uint8_t(unit));
  };
  while (*s) {
    uint32_t c = *s++;
    int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (more < 0) return 0;
    if (more) c &= 0x3F >> more;
    for (int i = 0; i < more; i++, s++) {
      if ((*s & 0xC0) != 0x80) return 0;
      c = c << 6 | (*s & 0x3F);
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  put(0);
  return 1;
}

int PKCS12_DeriveKey(const HashInterface *hash, const uint8_t *password, int32_t passwordLength,
                     const uint8_t *salt, int32_t saltLength, uint32_t iterations, uint8_t purpose,
                     uint8_t *out, int32_t outLength) {
  CHECK_POINTER(hash);
  CHECK_POINTER(out);
  const int32_t u = hash->DigestSize, v = hash->BlockSize;
  auto fill = [&](const uint8_t *source, int32_t length) {
    std::vector<uint8_t> block;
    if (length <= 0) return block;
    block.resize(size_t((length + v - 1) / v * v));
    for (size_t i = 0; i < block.size(); i++) block[i] = source[i % size_t(length)];
    return block;
  };
  std::vector<uint8_t> I = fill(salt, saltLength);
  std::vector<uint8_t> P = fill(password, passwordLength);
  I.insert(I.end(), P.begin(), P.end());
  wipe(P);
  std::vector<uint8_t> D(static_cast<size_t>(v), purpose);
  std::vector<uint8_t> A(static_cast<size_t>(u)), B(static_cast<size_t>(v));
  for (int32_t done = 0; done < outLength; done += u) {
    std::vector<uint8_t> input = D;
    input.insert(input.end(), I.begin(), I.end());
    Hash_ComputeDigest(hash, input.data(), int64_t(input.size()), A.data(), u);
    for (uint32_t r = 1; r < iterations; r++) Hash_ComputeDigest(hash, A.data(), u, A.data(), u);
    wipe(input);
    memcpy(out + done, A.data(), size_t(outLength - done < u ? outLength - done : u));
    if (done + u >= outLength) break;
    for (int32_t i = 0; i < v; i++) B[size_t(i)] = A[size_t(i % u)];
    // Each v-byte block of I becomes (I_j + B + 1) mod 2^(8v).
    for (size_t j = 0; j < I.size(); j += size_t(v)) {
      uint32_t carry = 1;
      for (int32_t k = v - 1; k >= 0; k--) {
        carry += uint32_t(I[j + size_t(k)]) + B[size_t(k)];
        I[j + size_t(k)] = uint8_t(carry);
        carry >>= 8;
      }
    }
  }
  wipe(I);
  wipe(A);
  wipe(B);
  return 1;
}

int PKCS12_Load(PKCS12 *pkcs12, const Asn1Node *pfx, const char *password) {
  PKCS12_CHECK(pkcs12);
  CHECK_POINTER(pfx);
  clearContents(pkcs12);
  if (Asn1_GetTag(pfx) != kAsn1Sequence) pfx = Asn1_GetChild(pfx, 0);
  uint32_t version = 0;
  if (!Asn1_GetInteger32(Asn1_GetChild(pfx, 0), &version) || version != 3) {
    Log_Print(LOG_ERROR, KSRC, 0, "PKCS12 must be version 3 (%d)\n", int(version));
    return 0;
  }
  const Asn1Node *authSafeInfo = Asn1_GetChild(pfx, 1);
  std::vector<uint8_t> authSafe;
  if (oidOf(Asn1_GetChild(authSafeInfo, 0)) != kOidData ||
      !octets(Asn1_GetChild(Asn1_GetChild(authSafeInfo, 1), 0), &authSafe) || authSafe.empty()) {
    logLine("PKCS12 unable to find pkcs7\n");
    return 0;
  }
  std::vector<uint8_t> bmp;
  if (!PKCS12_PasswordToBmp(password, &bmp)) {
    logLine("PKCS12 failed verification\n");
    return 0;
  }
  // An empty password is its terminator; some writers use no bytes at all.
  const Asn1Node *macData = Asn1_GetChild(pfx, 2);
  int verified = macMatches(macData, authSafe, bmp);
  if (!verified && bmp.size() == 2) {
    std::vector<uint8_t> none;
    verified = macMatches(macData, authSafe, none);
    if (verified) bmp.clear();
  }
  if (!verified) {
    logLine("PKCS12 failed verification\n");
    wipe(bmp);
    return 0;
  }
  Document safe(authSafe);
  int ok = safe.first() != nullptr;
  for (int i = 0; ok && i < Asn1_GetChildCount(safe.first()); i++)
    ok = readContent(pkcs12, Asn1_GetChild(safe.first(), i), bmp);
  wipe(bmp);
  if (!ok) clearContents(pkcs12);
  return ok;
}

int PKCS12_LoadDer(PKCS12 *pkcs12, const void *der, int32_t length, const char *password) {
  PKCS12_CHECK(pkcs12);
  if (!der || length <= 0) return 0;
  Document document(std::vector<uint8_t>(static_cast<const uint8_t *>(der),
                                         static_cast<const uint8_t *>(der) + length));
  if (!document.first()) {
    clearContents(pkcs12);
    return 0;
  }
  return PKCS12_Load(pkcs12, document.root, password);
}

int PKCS12_GetCertificate(PKCS12 *pkcs12, X509 **certificate) {
  PKCS12_CHECK(pkcs12);
  CHECK_POINTER(certificate);
  *certificate = nullptr;
  if (!pkcs12->Key->Interface || !CryptAsymmetric_HasPrivateKey(pkcs12->Key)) return 0;
  // The certificate whose key verifies a signature made with ours; a CA is
  // taken only when no end-entity certificate matches.
  uint8_t digest[32];
  Hash_ComputeDigest(&kHashSha256, "PKCS12 key match", 16, digest, sizeof digest);
  uint8_t signature[kCryptAsymmetricEncryptCapacity];
  int32_t length = 0;
  if (!CryptAsymmetric_Sign(pkcs12->Key, digest, sizeof digest, signature, sizeof signature, &length))
    return 0;
  X509 *ca = nullptr;
  for (X509ChainNode *node = pkcs12->Chain->first; node; node = node->next) {
    X509 *cert = node->cert;
    if (cert->PublicKey->Interface != pkcs12->Key->Interface ||
        !X509_VerifyRaw(cert, digest, sizeof digest, signature, length, kX509VerifyBareDigest))
      continue;
    if (!cert->IsCa) {
      *certificate = cert;
      return 1;
    }
    if (!ca) ca = cert;
  }
  *certificate = ca;
  return ca != nullptr;
}
