// JWS decoding and verification; see jws.h.
#include "core/security/jws.h"

#include <strings.h>

#include <cstring>
#include <vector>

#include "core/runtime/base64.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/asn.h"
#include "core/security/auth.h"
#include "core/security/bigint.h"
#include "core/security/cryptsymmetric.h"
#include "core/security/ec.h"
#include "core/security/ecdsa.h"
#include "core/security/hmac.h"
#include "core/security/jwsclaims.h"
#include "core/security/x509.h"
#include "core/security/x509chain.h"

namespace {

constexpr const char *kAlgorithmNames[] = {"Unknown", "HS256", "HS384", "HS512", "RS256",
                                           "RS384",   "RS512", "ES256", "ES384", "ES512"};
constexpr int kAlgorithmCount = 10;

// The curve an ES id needs and its signature length (r || s).
struct EsShape {
  const char *oid;
  int32_t signatureLength;
};
constexpr EsShape kEsShapes[] = {
    {"1.2.840.10045.3.1.7", 64}, {"1.3.132.0.34", 96}, {"1.3.132.0.35", 132}};

bool isHmac(int32_t alg) { return alg >= kJwsHs256 && alg <= kJwsHs512; }
bool isRsa(int32_t alg) { return alg >= kJwsRs256 && alg <= kJwsRs512; }
bool isEs(int32_t alg) { return alg >= kJwsEs256 && alg <= kJwsEs512; }

// 1 when key is of the kind alg signs with (and on its curve).
bool keyFits(CryptAsymmetric *key, int32_t alg) {
  if (key == nullptr || key->Context == nullptr) return false;
  if (isRsa(alg)) return key->Interface == &kCryptAsymmetricRsa;
  if (!isEs(alg) || key->Interface != &kCryptAsymmetricEcdsa) return false;
  const auto *ecdsa = static_cast<const Ecdsa *>(key->Context);
  return ecdsa->Group != nullptr && strcmp(ecdsa->Group->Oid, kEsShapes[alg - kJwsEs256].oid) == 0;
}

// Decodes one Base64Url segment into a new buffer.
bool decodeSegment(const char *text, int32_t length, uint8_t **out, int32_t *size,
                   int32_t *written) {
  int64_t bufferSize = 0;
  if (!Base64_DecodedSize(length, &bufferSize)) return false;
  if (bufferSize < 1) bufferSize = 1;
  *out = static_cast<uint8_t *>(MEM_ALLOC(size_t(bufferSize), MEM_ZEROED));
  *size = int32_t(bufferSize);
  int64_t decoded = 0;
  if (length > 0 && !Base64_DecodeUrl(text, length, *out, bufferSize, &decoded)) return false;
  *written = int32_t(decoded);
  return true;
}

// The root object of a parsed document (a root holding one keyless object
// is unwrapped).
Dictionary *rootOf(Json *json) {
  Dictionary *root = nullptr;
  if (!Json_GetDictionary(json, &root) || root == nullptr) return nullptr;
  int32_t count = 0;
  DictionaryItem *item = nullptr;
  const char *key = nullptr;
  Dictionary *child = nullptr;
  if (Dictionary_GetCount(root, &count) && count == 1 &&
      Dictionary_GetItemByIndex(root, 0, nullptr, &item) &&
      (!Dictionary_GetItemKey(root, item, &key) || key == nullptr || key[0] == '\0') &&
      Dictionary_GetDictionaryByIndex(root, 0, &child) && child != nullptr)
    return child;
  return root;
}

// The first string of header's "x5c" list.
bool firstX5c(Dictionary *header, const char **text, int32_t *length) {
  Dictionary *list = nullptr;
  DictionaryItem *item = nullptr;
  return header != nullptr && Dictionary_GetListByKey(header, "x5c", &list) && list != nullptr &&
         Dictionary_GetItemByIndex(list, 0, nullptr, &item) &&
         Dictionary_GetItemText(list, item, text, length) && *text != nullptr;
}

}  // namespace

int32_t Jws_AlgorithmFromName(const char *name) {
  if (name == nullptr || name[0] == '\0') return kJwsUnknown;
  for (int i = 1; i < kAlgorithmCount; i++)
    if (strcasecmp(name, kAlgorithmNames[i]) == 0) return i;
  return kJwsUnknown;
}

const HashInterface *Jws_GetHashInterface(int32_t alg) {
  if (alg < 1 || alg > 9) return nullptr;
  static const HashInterface *const kHashes[] = {&kHashSha256, &kHashSha384, &kHashSha512};
  return kHashes[(alg - 1) % 3];
}

void JwsShape_Init(JwsShape *shape) {
  CHECK_POINTER(shape);
  *shape = JwsShape{};
}

int JwsShape_Feed(JwsShape *shape, const void *data, int64_t length, int64_t *at) {
  CHECK_POINTER(shape);
  if (length > 0) CHECK_POINTER(data);
  if (shape->broken) {
    if (at != nullptr) *at = shape->offset;
    return 0;
  }
  const auto *p = static_cast<const uint8_t *>(data);
  for (int64_t i = 0; i < length; i++) {
    uint8_t c = p[i];
    bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    bool ok;
    if (shape->trailing > 0) {
      // After the token: white space only, and not much of it.
      ok = space && shape->trailing < kJwsTrailingSpaceBytes;
      shape->trailing++;
    } else if (space) {
      // White space ends the token only after its second dot; before it,
      // it is a byte outside the token.
      ok = shape->dots == 2;
      shape->trailing = 1;
    } else if (c == '.') {
      ok = shape->offset + i > 0 && ++shape->dots <= 2;
    } else {
      ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
    }
    if (!ok) {
      shape->broken = 1;
      shape->offset += i;
      if (at != nullptr) *at = shape->offset;
      return 0;
    }
  }
  shape->offset += length;
  return 1;
}

void Jws_FreeParts(uint8_t **header, int32_t *headerSize, int32_t *headerLength, uint8_t **payload,
                   int32_t *payloadSize, int32_t *payloadLength, uint8_t **signature,
                   int32_t *signatureSize, int32_t *signatureLength,
                   int32_t *signatureSegmentLength) {
  struct Part {
    uint8_t **buffer;
    int32_t *size, *length;
  };
  for (Part part : {Part{header, headerSize, headerLength}, Part{payload, payloadSize, payloadLength},
                    Part{signature, signatureSize, signatureLength}}) {
    if (*part.buffer != nullptr) MEM_FREE(*part.buffer, size_t(*part.size));
    *part.buffer = nullptr;
    *part.size = 0;
    *part.length = 0;
  }
  *signatureSegmentLength = 0;
}

namespace {

// A compact token holds no white space; a file that holds one usually ends in
// a newline, which is not part of the signature segment.
int32_t jwsTrimmedLength(const char *text, int32_t length) {
  while (text != nullptr && length > 0 &&
         (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ' ||
          text[length - 1] == '\t'))
    length--;
  return length;
}

}  // namespace

int Jws_Split(const char *text, int32_t length, uint8_t **header, int32_t *headerSize,
              int32_t *headerLength, uint8_t **payload, int32_t *payloadSize,
              int32_t *payloadLength, uint8_t **signature, int32_t *signatureSize,
              int32_t *signatureLength, int32_t *signatureSegmentLength) {
  for (const void *p : {(const void *)header, (const void *)headerSize, (const void *)headerLength,
                        (const void *)payload, (const void *)payloadSize,
                        (const void *)payloadLength, (const void *)signature,
                        (const void *)signatureSize, (const void *)signatureLength,
                        (const void *)signatureSegmentLength})
    CHECK_POINTER(p);
  *header = *payload = *signature = nullptr;
  *headerSize = *payloadSize = *signatureSize = 0;
  *headerLength = *payloadLength = *signatureLength = *signatureSegmentLength = 0;
  length = jwsTrimmedLength(text, length);
  if (text == nullptr || length <= 0) return 0;
  const char *end = text + length;
  const char *dot1 = static_cast<const char *>(memchr(text, '.', size_t(length)));
  const char *dot2 =
      dot1 ? static_cast<const char *>(memchr(dot1 + 1, '.', size_t(end - dot1 - 1))) : nullptr;
  bool ok = dot2 != nullptr &&
            decodeSegment(text, int32_t(dot1 - text), header, headerSize, headerLength) &&
            decodeSegment(dot1 + 1, int32_t(dot2 - dot1 - 1), payload, payloadSize,
                          payloadLength) &&
            decodeSegment(dot2 + 1, int32_t(end - dot2 - 1), signature, signatureSize,
                          signatureLength);
  if (!ok) {
    Jws_FreeParts(header, headerSize, headerLength, payload, payloadSize, payloadLength, signature,
                  signatureSize, signatureLength, signatureSegmentLength);
    return 0;
  }
  *signatureSegmentLength = int32_t(end - dot2 - 1);
  return 1;
}

int Jws_GetAlgorithm(Dictionary *header, int32_t *alg) {
  CHECK_POINTER(alg);
  char name[320] = {0};
  *alg = kJwsUnknown;
  if (header != nullptr && Dictionary_GetStringByKey(header, "alg", name, sizeof name))
    *alg = Jws_AlgorithmFromName(name);
  return *alg != kJwsUnknown;
}

int Jws_HasKeyHint(Dictionary *header) {
  if (header == nullptr) return 0;
  for (const char *key : {"x5c", "kid", "x5t", "x5t#S256"})
    if (Dictionary_HasKey(header, key)) return 1;
  return 0;
}

int Jws_VerifyHmac(Dictionary *, CertStore *store, int32_t alg, const void *input,
                   int32_t inputLength, const uint8_t *signature, int32_t signatureLength) {
  if (!isHmac(alg)) return 0;
  const uint8_t *key = nullptr;
  int32_t keyLength = 0;
  CertStoreKeyKind kind = CertStoreKeyKind::None;
  int result = CertStore_GetKey(store, &key, &keyLength, &kind);
  if (result != 1) return result;
  // A public key's bytes are known to everyone: never an HMAC secret.
  if (kind != CertStoreKeyKind::Secret || key == nullptr || keyLength <= 0) return 0;
  const HashInterface *hash = Jws_GetHashInterface(alg);
  if (signatureLength != hash->DigestSize) return 0;
  uint8_t mac[kHashMaxDigestBytes];
  if (!Hmac_Compute(hash, input, inputLength, key, keyLength, mac, sizeof mac)) return 0;
  return Crypt_ConstantTimeEqual(mac, signature, signatureLength) ? 1 : 0;
}

int Jws_VerifyWithStoreKey(Dictionary *, CertStore *store, int32_t alg, const void *input,
                           int32_t inputLength, const uint8_t *signature,
                           int32_t signatureLength) {
  const uint8_t *der = nullptr;
  int32_t derLength = 0;
  CertStoreKeyKind kind = CertStoreKeyKind::None;
  if (!CertStore_GetKey(store, &der, &derLength, &kind) || kind != CertStoreKeyKind::PublicKey ||
      der == nullptr || derLength <= 0)
    return 0;
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  CryptAsymmetric *key = nullptr;
  CryptAsymmetric_Create(&key);
  int result = 0;
  if (Asn1_ParseBuffer(document, der, derLength) &&
      CryptAsymmetric_ImportSubjectPublicKeyInfo(key, Asn1_GetChild(document, 0)))
    result = Jws_VerifyWithKey(key, alg, input, inputLength, signature, signatureLength);
  CryptAsymmetric_Release(&key);
  Asn1_Release(&document);
  return result;
}

int Jws_VerifyWithHeaderKey(Dictionary *header, CertStore *store, int32_t alg, const void *input,
                            int32_t inputLength, const uint8_t *signature,
                            int32_t signatureLength) {
  CryptAsymmetric *key = nullptr;
  int rejected = 0;
  int result = CertStore_FindKey(store, header, &key, &rejected);
  if (result != 1) {
    if (key != nullptr) CryptAsymmetric_Release(&key);
    return result;
  }
  if (rejected) {
    if (key != nullptr) CryptAsymmetric_Release(&key);
    return 0;
  }
  // A success without a key stands only while security is off.
  if (key == nullptr) return Authenticate_Enabled() ? 0 : 1;
  result = Jws_VerifyWithKey(key, alg, input, inputLength, signature, signatureLength);
  CryptAsymmetric_Release(&key);
  return result;
}

int Jws_VerifyWithKey(CryptAsymmetric *key, int32_t alg, const void *input, int32_t inputLength,
                      const uint8_t *signature, int32_t signatureLength) {
  if (!(isRsa(alg) || isEs(alg)) || !keyFits(key, alg) || signature == nullptr) return 0;
  const HashInterface *hash = Jws_GetHashInterface(alg);
  uint8_t digest[kHashMaxDigestBytes];
  if (!Hash_ComputeDigest(hash, input, inputLength, digest, sizeof digest)) return 0;
  if (isRsa(alg))
    return CryptAsymmetric_Verify(key, digest, hash->DigestSize, signature, signatureLength, 2) == 1
               ? 1
               : 0;
  // r || s, each half exactly the curve's size, as DER SEQUENCE { r, s }.
  if (signatureLength != kEsShapes[alg - kJwsEs256].signatureLength) return 0;
  int32_t half = signatureLength / 2;
  uint8_t sequence[kAsn1WriteBufferBytes] = {0x30, 0x00};
  int sequenceLength = 0;
  for (int i = 0; i < 2; i++) {
    BigInt value;
    BigInt_InitInPlace(&value);
    uint8_t element[kAsn1WriteBufferBytes];
    int elementLength = 0;
    if (BigInt_FromBytes(&value, signature + i * half, half))
      elementLength = Asn1_WriteInteger(&value, element);
    BigInt_FreeLimbs(&value);
    if (elementLength <= 0) return 0;
    sequenceLength = Asn1_AppendToSequence(sequence, element, elementLength);
    if (sequenceLength <= 0) return 0;
  }
  return CryptAsymmetric_Verify(key, digest, hash->DigestSize, sequence, sequenceLength, 2) == 1 ? 1
                                                                                             : 0;
}

namespace {

// A payload read without a tree goes to its owner's node callback; the
// claims are picked up on the way (the numbers "exp" and "nbf" of the top
// object, or of the object a one-element array holds) and every node is
// passed on.
struct JwsClaimTap {
  void *context;
  JsonNodeCallback function;
  Dictionary *claims;
  bool rootArray;
};

int32_t jwsClaimTap(Json *json, void *context, const char *path, int32_t type, const char *value,
                    int32_t length, int64_t stream, int32_t position, int32_t size,
                    int32_t *error) {
  auto *tap = static_cast<JwsClaimTap *>(context);
  if (path[0] == '\0' && type == kJsonNodeArray) tap->rootArray = true;
  const char *key = path;
  if (tap->rootArray) key = key[0] == '0' && key[1] == '\\' ? key + 2 : "";
  if (type == kJsonNodeNumber && (strcmp(key, "exp") == 0 || strcmp(key, "nbf") == 0)) {
    char number[64];
    Str_CopyN(number, int(sizeof number), value, length);
    Dictionary_SetFloat64ByKey(tap->claims, key, Str_ToFloat64(number));
  }
  return tap->function(json, tap->context, path, type, value, length, stream, position, size,
                       error);
}

// Parses the payload into json and checks claims over it: over the tree,
// or, when json has none, over what a tap on its node callback saw. 1
// passed, 0 the payload did not parse, -1 a claim failed.
int jwsParseChecked(Json *json, JwsClaims *claims, const char *payload, int32_t length) {
  Dictionary *root = nullptr;
  JwsClaimTap tap = {};
  if (claims == nullptr || (Json_GetDictionary(json, &root) && root != nullptr) ||
      !Json_GetNodeCallback(json, &tap.context, &tap.function)) {
    if (!Json_ParseMemory(json, payload, length)) return 0;
    return Jws_CheckClaims(json, claims) ? 1 : -1;
  }
  Dictionary_Create(&tap.claims);
  Json_SetNodeCallback(json, &tap, jwsClaimTap);
  int parsed = Json_ParseMemory(json, payload, length);
  Json_SetNodeCallback(json, tap.context, tap.function);
  int passed = JwsClaims_Check(claims, tap.claims);
  Dictionary_Release(&tap.claims);
  return !parsed ? 0 : passed ? 1 : -1;
}

}  // namespace

int Jws_CheckClaims(Json *json, JwsClaims *claims) {
  if (claims == nullptr) return 1;
  return JwsClaims_Check(claims, rootOf(json));
}

int Jws_Decode(Json *json, JwsClaims *claims, CertStore *store, const char *text, int32_t length,
               int verify) {
  return Jws_DecodeWithStage(json, claims, store, text, length, verify, nullptr);
}

int Jws_DecodeWithStage(Json *json, JwsClaims *claims, CertStore *store, const char *text,
                        int32_t length, int verify, int32_t *payloadRead) {
  CHECK_POINTER(json);
  CHECK_POINTER(store);
  if (payloadRead != nullptr) *payloadRead = 0;
  uint8_t *header = nullptr, *payload = nullptr, *signature = nullptr;
  int32_t headerSize = 0, headerLength = 0, payloadSize = 0, payloadLength = 0;
  int32_t signatureSize = 0, signatureLength = 0, segmentLength = 0;
  length = jwsTrimmedLength(text, length);
  if (text != nullptr && length > kJwsHeaderSegmentMaxBytes &&
      memchr(text, '.', size_t(kJwsHeaderSegmentMaxBytes) + 1) == nullptr) {
    Json_SetErrorCode(json, kJsonErrorPartLimit);
    return 0;
  }
  if (!Jws_Split(text, length, &header, &headerSize, &headerLength, &payload, &payloadSize,
                 &payloadLength, &signature, &signatureSize, &signatureLength, &segmentLength)) {
    Json_SetErrorCode(json, kJsonErrorDecodeSignature);
    return 0;
  }
  int result = 1;
  if (verify == 1) {
    Dictionary *headerDictionary = nullptr;
    Json *headerJson = nullptr;
    Dictionary_Create(&headerDictionary);
    Json_Create(&headerJson);
    Json_SetDictionary(headerJson, headerDictionary);
    if (!Json_ParseMemory(headerJson, reinterpret_cast<const char *>(header), headerLength)) {
      Json_SetErrorCode(json, kJsonErrorDecodeSignature);
      result = 0;
    } else {
      Dictionary *headerRoot = rootOf(headerJson);
      int32_t alg = kJwsUnknown;
      Jws_GetAlgorithm(headerRoot, &alg);
      int32_t inputLength = length - segmentLength - 1;
      auto verifier = Jws_HasKeyHint(headerRoot) ? Jws_VerifyWithHeaderKey
                      : isHmac(alg)              ? Jws_VerifyHmac
                                                 : Jws_VerifyWithStoreKey;
      result = alg == kJwsUnknown ? 0
                                  : verifier(headerRoot, store, alg, text, inputLength, signature,
                                             signatureLength);
      if (result == 0) Json_SetErrorCode(json, kJsonErrorAuthenticate);
    }
    Json_Release(&headerJson);
    Dictionary_Release(&headerDictionary);
  }
  if (result == 1) {
    if (payloadRead != nullptr) *payloadRead = 1;
    const auto *text = reinterpret_cast<const char *>(payload);
    int parsed = verify == 1 ? jwsParseChecked(json, claims, text, payloadLength)
                             : Json_ParseMemory(json, text, payloadLength) ? 1 : 0;
    if (parsed < 0) {
      // A document that says it is not valid now is refused as a bad
      // signature would be.
      Json_Reset(json);
      Json_SetErrorCode(json, kJsonErrorAuthenticate);
    }
    result = parsed == 1 ? 1 : 0;
  }
  Jws_FreeParts(&header, &headerSize, &headerLength, &payload, &payloadSize, &payloadLength,
                &signature, &signatureSize, &signatureLength, &segmentLength);
  return result;
}

int Jws_GetX5cThumbprint(Dictionary *header, const HashInterface *hashInterface, char *out) {
  CHECK_POINTER(hashInterface);
  CHECK_POINTER(out);
  const char *text = nullptr;
  int32_t length = 0;
  std::vector<uint8_t> der;
  if (!firstX5c(header, &text, &length) || !X509_DecodeBase64(text, length, &der)) return 0;
  uint8_t digest[kHashMaxDigestBytes];
  int64_t written = 0;
  return Hash_ComputeDigest(hashInterface, der.data(), int64_t(der.size()), digest,
                            sizeof digest) &&
                 Base64_EncodeUrl(digest, hashInterface->DigestSize, out, kJwsThumbprintBytes,
                                  &written)
             ? 1
             : 0;
}

int Jws_LoadX5cChain(Dictionary *header, X509Chain *chain) {
  CHECK_POINTER(chain);
  Dictionary *list = nullptr;
  if (header == nullptr || !Dictionary_GetListByKey(header, "x5c", &list) || list == nullptr)
    return 0;
  return X509Chain_LoadX5c(chain, list);
}
