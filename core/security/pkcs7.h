// PKCS7: a verifier of PKCS#7 / CMS SignedData as code signatures use it
// (Authenticode in PE files, Mach-O code signatures, installer packages).
// It parses the SignedData and its first SignerInfo, binds the embedded
// content to the signed attributes, computes the digest of what was signed
// through a caller's callback, finds the signer among the embedded
// certificates, walks the signer's chain for code signing against a store,
// checks the signature over the authenticated attributes and compares the
// expected content digest with the computed one. It never signs.
//
// Invariants: (1) every element pointer is a node of Document, which parses
// the object's own copy of the DER (Data); both live until the next
// SetData or the release. (2) a signer is usable only with a digest other
// than MD2, MD4 and MD5 and with authenticated attributes: a signature over
// anything else is refused. (3) ExpectedDigest is set only from the
// messageDigest attribute, or from content whose digest equals that
// attribute and whose type equals the contentType attribute, so every byte
// the final comparison trusts is covered by the signature.
//
// Threads: one thread at a time per object; nothing is shared.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/stream.h"
#include "core/security/asn.h"
#include "core/security/bigint.h"
#include "core/security/certstorei.h"
#include "core/security/hash.h"
#include "core/security/x500.h"
#include "core/security/x509chain.h"

constexpr uint32_t kPkcs7Tag = 0x28edb31f;
// The buffer PKCS7_VerifyContent reads the computed digest into.
constexpr int32_t kPkcs7DigestBufferBytes = 1024;

constexpr const char *kPkcs7OidSignedData = "1.2.840.113549.1.7.2";
constexpr const char *kPkcs7OidSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char *kPkcs7OidContentType = "1.2.840.113549.1.9.3";
constexpr const char *kPkcs7OidMessageDigest = "1.2.840.113549.1.9.4";

struct Pkcs7SignerInfo {
  int32_t Version;
  const HashInterface *Hash;  // borrowed record; NULL until parsed
  X500Name *Issuer;
  BigInt *Serial;
  Asn1Node *DigestEncryptionAlgorithm;
  Asn1Node *AuthenticatedAttributes;  // [0], or NULL
  Asn1Node *EncryptedDigest;
  Asn1Node *UnauthenticatedAttributes;  // [1], or NULL
};

struct Pkcs7SignedData {
  int32_t Version;
  int32_t ContentIsOctetString;
  Asn1Node *ContentInfo;
  Asn1Node *Content;  // the element inside the ContentInfo's [0], or NULL (detached)
  X509Chain *Chain;
  Pkcs7SignerInfo SignerInfo;
};

struct PKCS7 {
  ObjectHeader header;
  ClassLog Log;  // "PKCS7"
  Pkcs7SignedData SignedData;
  Asn1Node *ExpectedDigest;  // an OCTET STRING of Document, or NULL
  Asn1Node *Document;
  uint8_t *Data;
  int32_t DataLength;
};

// Computes the digest of whatever source stands for (a file's image, a
// detached content) into hash, bound to the signer's algorithm. 1 on success.
typedef int (*Pkcs7DigestFunction)(Stream *source, HashHandle *hash);

// Every operation stops the program on a NULL object or a foreign tag.

int PKCS7_Create(PKCS7 **pkcs7);
// Frees everything and clears *pkcs7. Returns 1.
int PKCS7_Release(PKCS7 **pkcs7);

// Keeps a copy of length bytes (dropping any earlier data and its parse).
// Returns 0 (nothing kept) for length 0 or negative.
int PKCS7_SetData(PKCS7 *pkcs7, const void *data, int32_t length);
// Parses the copy as one ContentInfo of type signedData (bytes after it are
// ignored) and reads its SignedData. Returns 0 for anything else (silently: structural failures
// are not logged, except a refused signer digest).
int PKCS7_Parse(PKCS7 *pkcs7);
// node: the [0] of a signedData ContentInfo. Reads version, the content,
// the certificates (into the chain) and the first SignerInfo; an empty
// signerInfos SET gives 1 without a signer. 0 for a malformed structure.
int PKCS7_ParseSignedData(PKCS7 *pkcs7, Asn1Node *node);
// The first SignerInfo of the SET. 0 for a malformed SignerInfo, an
// unlisted digest, or an MD2, MD4 or MD5 digest ("Refused %s signer
// digest").
int PKCS7_ParseSignerInfo(PKCS7 *pkcs7, Asn1Node *signerInfos);

// Chooses the expected content digest. With embedded content: the content
// must be bound to the signed attributes (its digest under the signer's
// algorithm equals messageDigest, its type equals contentType), else "Content
// digest does not match signed attributes" and 0; then an
// SpcIndirectDataContent gives the digest inside its DigestInfo, other
// content the messageDigest attribute. Without content: the messageDigest
// attribute. Returns 1 otherwise (ExpectedDigest may stay NULL, which
// PKCS7_VerifyDigest refuses).
int PKCS7_SelectExpectedDigest(PKCS7 *pkcs7);

// Digests source with the signer's algorithm through digest and verifies the
// result with PKCS7_VerifyDigest. 0 with "Missing essential information",
// "Hash process failed", "Hash generate failed" or "Get digest failed".
int PKCS7_VerifyContent(PKCS7 *pkcs7, CertStore *store, Stream *source, Pkcs7DigestFunction digest);
// The checks, in order: a signer digest ("Missing signer info hash type"),
// an encrypted digest ("Missing encrypted digest"), the signer's certificate
// ("Signer info certificate not found in chain"), its chain to store for
// code signing without dates ("Unable to verify certificate chain"), an
// expected digest ("Missing content digest") of the digest's size ("Digest
// size doesn't match content hash size (%d:%d)"), authenticated attributes
// ("Missing authenticated attributes") whose signature holds ("Failed to
// verify header"), and last the expected digest equal to digest
// ("Verification failed"). 1 only when all pass. Stops the program when
// the signer's digest is longer than size.
int PKCS7_VerifyDigest(PKCS7 *pkcs7, CertStore *store, const uint8_t *digest, int32_t size);
// Digests data with the signer's algorithm and verifies the encrypted digest
// over it with certificate's key ("Header hash generate failed", "Header
// verify signature failed").
int PKCS7_VerifySignedDigest(PKCS7 *pkcs7, X509 *certificate, const uint8_t *data, int32_t length);
// The signature over element's DER with its tag byte made SET OF (0x31).
int PKCS7_VerifyAttributes(PKCS7 *pkcs7, X509 *certificate, const Asn1Node *element);

// One line through the object's class log, at DEBUG.
void PKCS7_Log(PKCS7 *pkcs7, const char *format, ...) __attribute__((format(printf, 2, 3)));
