// PKCS12: a PKCS#12 (PFX, RFC 7292) container holding a TLS client
// certificate, the certificates that issued it and its private key, loaded
// with a password: an HMAC integrity check (the MAC's own hash) and bags
// protected with pbeWithSHAAnd128BitRC4.
//
// Invariants: (1) after a failed load the container holds no key and an
// empty chain. (2) the password is never stored; derived keys and decrypted
// bags are wiped after use. (3) the MAC is compared in constant time before
// any bag is decrypted.
//
// Threads: a container belongs to one thread at a time.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/security/asn.h"
#include "core/security/cryptasymmetric.h"
#include "core/security/hash.h"
#include "core/security/x509.h"
#include "core/security/x509chain.h"

constexpr uint32_t kPkcs12Tag = 0xf6f257fb;
// Purpose bytes of the key derivation.
constexpr uint8_t kPkcs12KeyMaterial = 1;
constexpr uint8_t kPkcs12MacMaterial = 3;

struct PKCS12 {
  ObjectHeader header;
  X509Chain *Chain;
  CryptAsymmetric *Key;  // unbound until a key is loaded
};

// Every operation stops the program on a NULL pointer or a foreign tag.

// An empty container. Returns 1.
int PKCS12_Create(PKCS12 **pkcs12);
// Frees the chain and the key and clears *pkcs12. Returns 1.
int PKCS12_Release(PKCS12 **pkcs12);
// pfx: the PFX SEQUENCE, or a document whose first element it is. password:
// UTF-8 (NULL as empty). Returns 1 when the MAC verifies and every content
// loads; 0 otherwise, logged.
int PKCS12_Load(PKCS12 *pkcs12, const Asn1Node *pfx, const char *password);
// PKCS12_Load of DER bytes.
int PKCS12_LoadDer(PKCS12 *pkcs12, const void *der, int32_t length, const char *password);
// The certificate that matches the private key (borrowed); a container may
// list its CA first. Returns 0 without a key or a match.
int PKCS12_GetCertificate(PKCS12 *pkcs12, X509 **certificate);
// RFC 7292 B.2 with hash (u its digest size, v its block size): password
// is the BMPString form (terminator included), salt and password of any
// length, outLength bytes of material for purpose. Returns 1.
int PKCS12_DeriveKey(const HashInterface *hash, const uint8_t *password, int32_t passwordLength,
                     const uint8_t *salt, int32_t saltLength, uint32_t iterations,
                     uint8_t purpose, uint8_t *out, int32_t outLength);
// The BMPString form of a UTF-8 password: UTF-16 big-endian with its 00 00
// terminator (an empty password is the terminator alone). Returns 0 for
// text that is not UTF-8.
int PKCS12_PasswordToBmp(const char *password, std::vector<uint8_t> *bmp);
