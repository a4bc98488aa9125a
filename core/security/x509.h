// X509: one DER-encoded X.509 certificate, the fields trust decisions read
// (serial, issuer and subject names, validity, the signature and its hash,
// the public key) and the v3 extensions that say what the certificate may
// be trusted for (basicConstraints, keyUsage, extKeyUsage, subjectAltName).
//
// Invariants: (1) after a successful load, every field describes Der, which
// the object owns; Tbs and SubjectAltName point into Der (through Document).
// (2) after a failed load the object holds no certificate (DerLength 0) and
// must not be used for trust. (3) a recognised extension appears at most
// once and is well formed, or the load fails; other extensions are skipped,
// critical or not. (4) the subject holds an organization, unit or common
// name, or is an empty Name and a subjectAltName is present.
//
// Threads: a certificate is loaded by one thread; once loaded, the readers
// here (names, hosts, thumbprints) may run on several threads, but
// signature checks use the public key object and belong to one thread at a
// time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/runtime/class.h"
#include "core/security/asn.h"
#include "core/security/bigint.h"
#include "core/security/cryptasymmetric.h"
#include "core/security/hash.h"
#include "core/security/x500.h"

constexpr uint32_t kX509Tag = 0x9925eb10;

// X509_VerifyRaw modes.
constexpr int32_t kX509VerifyBareDigest = 1;
constexpr int32_t kX509VerifyDigestInfo = 2;

// Extensions present (X509::Extensions).
constexpr uint32_t kX509ExtBasicConstraints = 0x1;
constexpr uint32_t kX509ExtKeyUsage = 0x2;
constexpr uint32_t kX509ExtExtendedKeyUsage = 0x4;
constexpr uint32_t kX509ExtSubjectAltName = 0x8;

// keyUsage bits, numbered as the BIT STRING numbers them (bit 0 first).
constexpr uint32_t kX509KeyUsageDigitalSignature = 1u << 0;
constexpr uint32_t kX509KeyUsageKeyCertSign = 1u << 5;

// extKeyUsage purposes (X509::ExtendedKeyUsage).
constexpr uint32_t kX509EkuServerAuth = 0x1;     // 1.3.6.1.5.5.7.3.1
constexpr uint32_t kX509EkuClientAuth = 0x2;     // 1.3.6.1.5.5.7.3.2
constexpr uint32_t kX509EkuCodeSigning = 0x4;    // 1.3.6.1.5.5.7.3.3
constexpr uint32_t kX509EkuAny = 0x8;            // 2.5.29.37.0
constexpr uint32_t kX509EkuOther = 0x10;         // any other purpose

// subjectAltName entry types (GeneralName context tags) that are read.
constexpr int kX509AltNameDns = 2;
constexpr int kX509AltNameIp = 7;

// Host texts X509_MatchHostName takes.
constexpr int kX509HostBytes = 256;

struct X509 {
  ObjectHeader header;
  ClassLog Log;  // "X509"
  uint8_t *Der;  // owned copy, or NULL
  int32_t DerLength;
  const uint8_t *Tbs;  // the tbsCertificate element inside Der
  int32_t TbsLength;
  int32_t Version;  // 0 for v1, 2 for v3
  BigInt *Serial;
  X500Name *Issuer;
  X500Name *Subject;
  double NotBefore;  // seconds since 1970 UTC; 0 when unreadable
  double NotAfter;
  const HashInterface *SignatureHash;  // borrowed record
  uint8_t *Signature;                  // owned
  int32_t SignatureLength;
  Asn1Node *Document;
  CryptAsymmetric *PublicKey;
  // Extensions.
  uint32_t Extensions;        // kX509Ext*
  int32_t IsCa;               // basicConstraints cA
  int32_t PathLength;         // basicConstraints pathLenConstraint; -1 when absent
  uint32_t KeyUsage;          // kX509KeyUsage* bits, valid with kX509ExtKeyUsage
  uint32_t ExtendedKeyUsage;  // kX509Eku*, valid with kX509ExtExtendedKeyUsage
  const Asn1Node *SubjectAltName;  // the GeneralNames SEQUENCE in Document, or NULL
};

// Every operation stops the program on a NULL pointer or a foreign tag.

// An empty certificate with its sub-objects. Returns 1.
int X509_Create(X509 **cert);
// Frees the certificate and clears *cert. Returns 1.
int X509_Release(X509 **cert);

// Keeps a copy of length bytes and parses it. Returns 1 when it is a
// certificate this system reads; 0 (nothing kept) otherwise.
int X509_LoadDer(X509 *cert, const void *der, int32_t length);
// The same for an ASN.1 element (header and content).
int X509_LoadFromNode(X509 *cert, const Asn1Node *node);
// Base64 text, CR and LF anywhere ignored (a JWS "x5c" entry).
int X509_LoadFromBase64(X509 *cert, const char *text, int32_t length);
// Decodes Base64 text with CR and LF anywhere ignored (x5c entries, PEM
// blocks) into *der. Returns 0 (der empty) for text that does not decode.
int X509_DecodeBase64(const char *text, int64_t length, std::vector<uint8_t> *der);
// Loads the source's DER into target. Returns 0 when source holds none.
int X509_Copy(X509 *target, const X509 *source);

// The DER bytes (borrowed). Returns 0 when nothing is loaded.
int X509_GetDer(const X509 *cert, const uint8_t **bytes, int32_t *length);
int X509_GetSignatureHash(const X509 *cert, const HashInterface **hash);
// The digest of the whole DER with hashRecord into out (size bytes).
// Returns 0 when nothing is loaded or out is too small.
int X509_GetThumbprint(const X509 *cert, const HashInterface *hashRecord, void *out, int32_t size);

// 1 when the issuer name equals name and the serial numbers are equal.
int X509_MatchIssuerSerial(const X509 *cert, const X500Name *name, const BigInt *serial);
// 1 when the certificate's issuer name equals the candidate's subject.
int X509_IsIssuedBy(const X509 *cert, const X509 *candidate);
// 1 when issuer and subject names are equal.
int X509_IsSelfIssued(const X509 *cert);

// Verifies signature over a digest with the certificate's key (mode
// kX509Verify*). A mismatch logs "Verify signature failed".
int X509_VerifyRaw(X509 *cert, const void *digest, int32_t digestLength, const void *signature,
                   int32_t length, int32_t mode);
// The digest of a finished hash object, verified as a DigestInfo.
int X509_VerifySignature(X509 *cert, HashHandle *hash, const void *signature, int32_t length);
// 1 when issuer's key verifies cert's signature over its TBS. MD2, MD4 and
// MD5 signatures are refused (logged): a collision would forge a CA.
int X509_VerifyIssued(X509 *issuer, X509 *cert);

// The subjectAltName entry number index (from 0) of any type: its GeneralName
// tag number into *type and its content (borrowed) into *bytes, *length.
// Returns 0 past the last entry or without the extension.
int X509_GetAltName(const X509 *cert, int index, int *type, const uint8_t **bytes,
                    int32_t *length);

// 1 when the certificate names host: a DNS name (ASCII, any case, one
// trailing dot ignored) against the dNSName entries, or an IPv4 or IPv6
// literal (brackets allowed) against the iPAddress entries byte for byte.
// The subject's common name counts only without a subjectAltName. "*" is
// allowed only as the whole left-most label of an entry, matches one
// non-empty label, needs two labels after it and never matches an IP
// literal. An entry with characters no host name holds matches nothing.
int X509_MatchHostName(const X509 *cert, const char *host);

// Logs names, serial and thumbprints through the certificate's log.
int X509_Log(X509 *cert);
