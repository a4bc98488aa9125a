// Jws: JSON Web Signatures in compact serialization (three Base64Url
// segments joined by dots). Splits the text, verifies the signature with a
// key from a certificate store, parses the payload and runs the claim checks.
//
// Invariants: (1) the algorithm is taken from the key, never from the header
// alone: HMAC needs a store key of kind secret, RS* an RSA public key and
// ES256/384/512 an EC key on P-256/P-384/P-521; any mismatch fails.
// (2) a store answering 1 without a key passes a token only while
// Authenticate_Enabled answers 0. (3) ES signatures are exactly 64, 96 or
// 132 bytes.
//
// Threads: nothing is shared between calls; a JwsClaims list is only read
// while decoding.
#pragma once

#include <cstdint>

#include "core/formats/json.h"
#include "core/security/certstorei.h"
#include "core/security/hash.h"

struct JwsClaims;
struct X509Chain;

enum JwsAlgorithm : int32_t {
  kJwsUnknown = 0,
  kJwsHs256 = 1,
  kJwsHs384 = 2,
  kJwsHs512 = 3,
  kJwsRs256 = 4,
  kJwsRs384 = 5,
  kJwsRs512 = 6,
  kJwsEs256 = 7,
  kJwsEs384 = 8,
  kJwsEs512 = 9,
};

constexpr int kJwsThumbprintBytes = 320;

// The id of an "alg" name (case-insensitive); 0 for an unlisted name.
int32_t Jws_AlgorithmFromName(const char *name);
// The digest of an id: SHA256, SHA384 or SHA512; NULL for 0.
const HashInterface *Jws_GetHashInterface(int32_t alg);

// Splits text at its first two dots and decodes the three segments
// (buffers owned by the caller, freed with Jws_FreeParts). 0 with every
// output zeroed when the text does not split or decode.
int Jws_Split(const char *text, int32_t length, uint8_t **header, int32_t *headerSize,
              int32_t *headerLength, uint8_t **payload, int32_t *payloadSize,
              int32_t *payloadLength, uint8_t **signature, int32_t *signatureSize,
              int32_t *signatureLength, int32_t *signatureSegmentLength);
void Jws_FreeParts(uint8_t **header, int32_t *headerSize, int32_t *headerLength, uint8_t **payload,
                   int32_t *payloadSize, int32_t *payloadLength, uint8_t **signature,
                   int32_t *signatureSize, int32_t *signatureLength,
                   int32_t *signatureSegmentLength);

// The most Base64Url characters a token's header segment may hold: it names
// an algorithm and a key (a chain of a few certificates at most). A token
// over it is refused before the header is decoded (json's error code 12).
constexpr int32_t kJwsHeaderSegmentMaxBytes = 65536;

// The shape of a compact token checked as its bytes arrive, so that a body
// that cannot be one ends without the rest fetched: the token first
// (nothing before it), inside it only Base64Url characters and two dots,
// after it white space (a publisher's newline or CRLF) up to
// kJwsTrailingSpaceBytes. A plain value on the caller's side; zeroed (or
// JwsShape_Init) it expects the token's first byte.
constexpr int32_t kJwsTrailingSpaceBytes = 1024;

struct JwsShape {
  int32_t dots;      // dots seen so far (at most 2)
  int32_t trailing;  // white space bytes after the token
  int32_t broken;    // 1 once a byte broke the shape; it stays broken
  int64_t offset;    // bytes fed so far
};

void JwsShape_Init(JwsShape *shape);
// Feeds the next length bytes. 1 while the shape holds; 0 (for good) at the
// first byte that breaks it, whose offset from the start *at names (may be
// NULL).
int JwsShape_Feed(JwsShape *shape, const void *data, int64_t length, int64_t *at);

// "alg" of header into *alg; 1 when known.
int Jws_GetAlgorithm(Dictionary *header, int32_t *alg);
// 1 when header names a key ("x5c", "kid", "x5t" or "x5t#S256").
int Jws_HasKeyHint(Dictionary *header);

// The verifiers: 1 valid, 0 invalid, or a store result other than 1.
int Jws_VerifyHmac(Dictionary *header, CertStore *store, int32_t alg, const void *input,
                   int32_t inputLength, const uint8_t *signature, int32_t signatureLength);
int Jws_VerifyWithStoreKey(Dictionary *header, CertStore *store, int32_t alg, const void *input,
                           int32_t inputLength, const uint8_t *signature,
                           int32_t signatureLength);
int Jws_VerifyWithHeaderKey(Dictionary *header, CertStore *store, int32_t alg, const void *input,
                            int32_t inputLength, const uint8_t *signature,
                            int32_t signatureLength);
// RS*/ES* with key (which must fit alg). 1 valid.
int Jws_VerifyWithKey(CryptAsymmetric *key, int32_t alg, const void *input, int32_t inputLength,
                      const uint8_t *signature, int32_t signatureLength);

// Decodes text into json. verify 1 checks the signature and the claims (a
// null claims list checks none). 1 on success; else 0 (json's error code 9
// for a text or header that does not decode, 10 for a failed check; json
// reset after a failed claim; 12 for a header segment over
// kJwsHeaderSegmentMaxBytes) or a store result other than 0 and 1. A json
// without a tree but with a node callback has its claims read from the
// top-level numbers as the nodes pass (the callback sees every node).
int Jws_Decode(Json *json, JwsClaims *claims, CertStore *store, const char *text, int32_t length,
               int verify);
// Jws_Decode that also says, in *payloadRead, whether the payload reached
// json's reader (1: its nodes were read, so a failure came from the payload
// or its claims; 0: the text did not split, or the header or the signature
// failed).
int Jws_DecodeWithStage(Json *json, JwsClaims *claims, CertStore *store, const char *text,
                        int32_t length, int verify, int32_t *payloadRead);
// Runs claims over json's root object; 1 when claims is null.
int Jws_CheckClaims(Json *json, JwsClaims *claims);

// The digest of the first "x5c" certificate as Base64Url text into out
// (kJwsThumbprintBytes). 1 on success.
int Jws_GetX5cThumbprint(Dictionary *header, const HashInterface *hashInterface, char *out);
// Adds every "x5c" certificate to chain in order. 1 when all load.
int Jws_LoadX5cChain(Dictionary *header, X509Chain *chain);
