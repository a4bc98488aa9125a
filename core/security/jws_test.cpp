// JWS decoding and verification: tokens minted by PyJWT, the algorithm
// confusions the decoder must refuse, the keyless answer and the claims.
#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/base64.h"
#include "core/runtime/time.h"
#include "core/security/auth.h"
#include "core/security/certstorejwks.h"
#include "core/security/certstorekey.h"
#include "core/security/hmac.h"
#include "core/security/jws.h"
#include "core/security/jwsclaims.h"
#include "core/security/certstoreplatform.h"
#include "core/security/x509.h"
#include "core/security/x509anchors.h"
#include "core/security/x509chain.h"
#include "tests/pin_store_util.h"
#include "tests/test_util.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Minted {
  std::string alg, kind;
  Bytes key;
  std::string token;
};

std::vector<Minted> readTokens() {
  std::vector<Minted> rows;
  for (const auto &[line, f] : Test_ReadRows("jws_tokens.txt"))
    rows.push_back({f[0], f[1], Test_HexToBytes(f[2]), f[3]});
  return rows;
}

CertStore *keyStore(CertStoreKeyKind kind, const Bytes &key) {
  CertStore *store = nullptr;
  CertStoreKey_Create(&store);
  CertStoreKey_SetKey(store, kind, key.data(), int32_t(key.size()));
  return store;
}

CertStore *storeFor(const Minted &m) {
  return keyStore(m.kind == "secret" ? CertStoreKeyKind::Secret : CertStoreKeyKind::PublicKey,
                  m.key);
}

std::string url(const void *data, size_t length) {
  std::string text(length * 2 + 8, '\0');
  int64_t written = 0;
  Base64_EncodeUrl(data, int64_t(length), text.data(), int64_t(text.size()), &written);
  text.resize(size_t(written));
  return text;
}
std::string url(const std::string &text) { return url(text.data(), text.size()); }

// An HS token of our own over header and payload JSON.
std::string mintHmac(const std::string &header, const std::string &payload, const Bytes &key,
                     const HashInterface *hash = &kHashSha256) {
  std::string input = url(header) + "." + url(payload);
  uint8_t mac[kHashMaxDigestBytes];
  Hmac_Compute(hash, input.data(), int64_t(input.size()), key.data(), int32_t(key.size()), mac,
               sizeof mac);
  return input + "." + url(mac, size_t(hash->DigestSize));
}

// Decodes token against store; *code gets json's error code.
int decode(CertStore *store, const std::string &token, int *code, JwsClaims *claims = nullptr,
           int verify = 1, std::string *iss = nullptr) {
  Dictionary *target = nullptr;
  Json *json = nullptr;
  Dictionary_Create(&target);
  Json_Create(&json);
  Json_SetDictionary(json, target);
  int result = Jws_Decode(json, claims, store, token.data(), int32_t(token.size()), verify);
  int32_t error = 0;
  Json_GetErrorCode(json, &error);
  *code = error;
  if (iss) {
    char text[64] = {0};
    Dictionary *object = nullptr;
    if (!Dictionary_GetDictionaryByIndex(target, 0, &object) || object == nullptr) object = target;
    Dictionary_GetStringByKey(object, "iss", text, sizeof text);
    *iss = text;
  }
  Json_Release(&json);
  Dictionary_Release(&target);
  return result;
}

const Minted *find(const std::vector<Minted> &rows, const std::string &alg) {
  for (const Minted &m : rows)
    if (m.alg == alg) return &m;
  return nullptr;
}

}  // namespace

// Every minted token verifies through its key store, also with a line end
// after it; a changed byte in any segment fails with 10 (or 9 when the text
// no longer decodes); without verify a bad signature still decodes.
TEST(Jws, MintedTokensThroughKeyStores) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  const auto rows = readTokens();
  ASSERT_EQ(rows.size(), 9u);
  for (const Minted &m : rows) {
    CertStore *store = storeFor(m);
    int code = 0;
    std::string iss;
    EXPECT_EQ(decode(store, m.token, &code, nullptr, 1, &iss), 1) << m.alg << " code " << code;
    EXPECT_EQ(iss, "keelson") << m.alg;
    // As a file written with echo holds it.
    EXPECT_EQ(decode(store, m.token + "\r\n", &code), 1) << m.alg << " code " << code;
    EXPECT_EQ(decode(store, m.token + "\n.", &code), 0) << m.alg;
    size_t dot1 = m.token.find('.'), dot2 = m.token.find('.', dot1 + 1);
    for (size_t at : {dot1 / 2, (dot1 + dot2) / 2, (dot2 + m.token.size()) / 2}) {
      std::string bad = m.token;
      bad[at] = bad[at] == 'A' ? 'B' : 'A';
      EXPECT_EQ(decode(store, bad, &code), 0) << m.alg << " at " << at;
      EXPECT_TRUE(code == 10 || code == 9) << m.alg << " code " << code;
      if (at > dot2) {
        EXPECT_EQ(code, 10);
        EXPECT_EQ(decode(store, bad, &code, nullptr, 0), 1) << m.alg;
      }
    }
    CertStore_Release(&store);
  }
}

// The algorithm comes from the key: each confusion fails with code 10.
TEST(Jws, AlgorithmConfusionsAreRefused) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  const auto rows = readTokens();
  const Minted *rs = find(rows, "RS256"), *es256 = find(rows, "ES256");
  const Minted *es384 = find(rows, "ES384"), *es512 = find(rows, "ES512");
  const Minted *hs = find(rows, "HS256");
  ASSERT_TRUE(rs && es256 && es384 && es512 && hs);
  const std::string payload = "{\"iss\":\"forged\"}";
  struct Row {
    const char *name;
    std::string token;
    CertStoreKeyKind kind;
    Bytes key;
  };
  std::string es512Short = es512->token.substr(0, es512->token.rfind('.') + 1);
  {
    Bytes sig(132);
    int64_t n = 0;
    std::string text = es512->token.substr(es512->token.rfind('.') + 1);
    Base64_DecodeUrl(text.data(), int64_t(text.size()), sig.data(), int64_t(sig.size()), &n);
    es512Short += url(sig.data(), 131);
  }
  const Row table[] = {
      {"HS256 keyed with an RSA SubjectPublicKeyInfo",
       mintHmac("{\"alg\":\"HS256\"}", payload, rs->key), CertStoreKeyKind::PublicKey, rs->key},
      {"HS256 keyed with an EC SubjectPublicKeyInfo",
       mintHmac("{\"alg\":\"HS256\"}", payload, es256->key), CertStoreKeyKind::PublicKey,
       es256->key},
      {"RS256 against an EC key", rs->token, CertStoreKeyKind::PublicKey, es256->key},
      {"ES256 against a P-384 key", es256->token, CertStoreKeyKind::PublicKey, es384->key},
      {"131-byte ES512 signature", es512Short, CertStoreKeyKind::PublicKey, es512->key},
      {"alg none", url("{\"alg\":\"none\"}") + "." + url(payload) + ".", CertStoreKeyKind::Secret,
       hs->key},
      {"HS256 with a key hint", mintHmac("{\"alg\":\"HS256\",\"kid\":\"k\"}", payload, hs->key),
       CertStoreKeyKind::Secret, hs->key},
      {"RS256 against the same bytes as an HMAC secret", rs->token, CertStoreKeyKind::Secret,
       rs->key},
  };
  for (const Row &row : table) {
    CertStore *store = keyStore(row.kind, row.key);
    int code = 0;
    EXPECT_EQ(decode(store, row.token, &code), 0) << row.name;
    EXPECT_EQ(code, 10) << row.name;
    CertStore_Release(&store);
  }
  // The decoder's own edges: the name is case-insensitive; one dot is code 9.
  CertStore *store = keyStore(CertStoreKeyKind::Secret, hs->key);
  int code = 0;
  EXPECT_EQ(decode(store, mintHmac("{\"alg\":\"hs256\"}", payload, hs->key), &code), 1);
  EXPECT_EQ(decode(store, url("{\"alg\":\"HS256\"}") + "." + url(payload), &code), 0);
  EXPECT_EQ(code, 9);
  // A header segment up to its limit verifies; one byte more is code 12
  // before anything is decoded.
  for (size_t pad : {size_t(49152 - 22), size_t(49152 - 21)}) {
    std::string header = "{\"alg\":\"HS256\",\"x\":\"" + std::string(pad, 'a') + "\"}";
    bool fits = url(header).size() <= size_t(kJwsHeaderSegmentMaxBytes);
    EXPECT_EQ(decode(store, mintHmac(header, payload, hs->key), &code), fits ? 1 : 0);
    EXPECT_EQ(code, fits ? 0 : 12) << url(header).size();
  }
  CertStore_Release(&store);
}

// A store that finds "a key" without one: enough only with security off.
TEST(Jws, KeylessAnswerCountsOnlyWithSecurityOff) {
  Test_LogRecord log;
  CertStore *store = nullptr;
  CertStore_Create(&store);
  CertStore_SetRetain(store, nullptr, [](CertStore *, void *) {});
  CertStore_SetRelease(store, nullptr, [](CertStore **, void *) {});
  CertStore_SetFindKey(store, nullptr, [](CertStore *, void *, Dictionary *,
                                          CryptAsymmetric **key, int *rejected) {
    *key = nullptr;
    *rejected = 0;
    return 1;
  });
  const std::string token =
      url("{\"alg\":\"RS256\",\"kid\":\"k\"}") + "." + url("{\"iss\":\"keelson\"}") + ".AAAA";
  int code = 0;
  {
    AuthSwitchGuardForTest on(1);
    EXPECT_EQ(decode(store, token, &code), 0);
    EXPECT_EQ(code, 10);
  }
  {
    AuthSwitchGuardForTest off(0);
    std::string iss;
    EXPECT_EQ(decode(store, token, &code, nullptr, 1, &iss), 1);
    EXPECT_EQ(iss, "keelson");
  }
  CertStore_Delete(&store);
}

// "exp" and "nbf" against UTC seconds, whatever the local zone.
// A payload read without a tree (its nodes go to a callback, as a metafile
// streams) has its claims checked too: the callback still sees every node,
// and a claim inside a one-element array's object counts.
TEST(Jws, ClaimsCheckedWithoutATree) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  const Bytes key(32, 0x5a);
  CertStore *store = keyStore(CertStoreKeyKind::Secret, key);
  JwsClaims *claims = nullptr;
  JwsClaims_Create(&claims);
  JwsClaims_Add(claims, JwsClaims_CheckExpiry, 1);
  JwsClaims_Add(claims, JwsClaims_CheckNotBefore, 1);
  std::string past = std::to_string(int64_t(Time_Now()) - 60);
  std::string future = std::to_string(int64_t(Time_Now()) + 3600);
  struct Row {
    std::string payload;
    int want;
  } rows[] = {{R"({"id":"v1","exp":)" + future + "}", 1},
              {R"({"id":"v1","exp":)" + past + "}", 0},
              {R"({"id":"v1","nbf":)" + future + "}", 0},
              {R"([{"id":"v1","exp":)" + past + "}]", 0},
              {R"({"id":"v1","x":{"exp":)" + past + "}}", 1},
              {R"({"id":"v1"})", 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.payload);
    std::vector<std::string> paths;
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetNodeCallback(json, &paths,
                         [](Json *, void *context, const char *path, int32_t, const char *,
                            int32_t, int64_t, int32_t, int32_t, int32_t *) -> int32_t {
                           static_cast<std::vector<std::string> *>(context)->push_back(path);
                           return 1;
                         });
    std::string token = mintHmac("{\"alg\":\"HS256\"}", row.payload, key);
    EXPECT_EQ(Jws_Decode(json, claims, store, token.data(), int32_t(token.size()), 1), row.want);
    int32_t error = 0;
    Json_GetErrorCode(json, &error);
    EXPECT_EQ(error, row.want ? 0 : int32_t(kJsonErrorAuthenticate));
    EXPECT_NE(std::find(paths.begin(), paths.end(), row.payload[0] == '[' ? "0\\id" : "id"),
              paths.end());
    void *context = nullptr;
    JsonNodeCallback function = nullptr;
    EXPECT_EQ(Json_GetNodeCallback(json, &context, &function), 1);  // the tap is gone
    EXPECT_EQ(context, &paths);
    Json_Release(&json);
  }
  JwsClaims_Release(&claims);
  CertStore_Release(&store);
}

TEST(Jws, ClaimsUseUtcInAnyZone) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  const Bytes key(32, 0x5a);
  CertStore *store = keyStore(CertStoreKeyKind::Secret, key);
  const char *saved = getenv("TZ");
  const std::string savedTz = saved ? saved : "";
  for (const char *zone : {"Pacific/Kiritimati", "Pacific/Pago_Pago"}) {
    setenv("TZ", zone, 1);
    tzset();
    auto check = [&](const std::string &claim, double value, int whenMissing) {
      JwsClaims *claims = nullptr;
      JwsClaims_Create(&claims);
      JwsClaims_Add(claims, JwsClaims_CheckExpiry, whenMissing);
      JwsClaims_Add(claims, JwsClaims_CheckNotBefore, whenMissing);
      std::string payload = claim.empty() ? "{\"iss\":\"keelson\"}"
                                          : "{\"" + claim + "\":" +
                                                std::to_string(int64_t(value)) + "}";
      int code = 0;
      int result = decode(store, mintHmac("{\"alg\":\"HS256\"}", payload, key), &code, claims);
      JwsClaims_Release(&claims);
      return result;
    };
    EXPECT_EQ(check("exp", Time_Now() + 3600, 0), 0) << zone;  // nbf missing, whenMissing 0
    EXPECT_EQ(check("exp", Time_Now() + 3600, 1), 1) << zone;
    EXPECT_EQ(check("exp", Time_Now() - 60, 1), 0) << zone;
    EXPECT_EQ(check("exp", Time_Now(), 1), 0) << zone;
    EXPECT_EQ(check("nbf", Time_Now(), 1), 1) << zone;
    EXPECT_EQ(check("nbf", Time_Now() + 3600, 1), 0) << zone;
    EXPECT_EQ(check("", 0, 1), 1) << zone;
    EXPECT_EQ(check("", 0, 0), 0) << zone;
  }
  // Without verify no claim is checked.
  JwsClaims *claims = nullptr;
  JwsClaims_Create(&claims);
  JwsClaims_Add(claims, JwsClaims_CheckExpiry, 1);
  const std::string expired = mintHmac(
      "{\"alg\":\"HS256\"}", "{\"exp\":" + std::to_string(int64_t(Time_Now()) - 60) + "}", key);
  int code = 0;
  EXPECT_EQ(decode(store, expired, &code, claims, 1), 0);
  EXPECT_EQ(decode(store, expired, &code, claims, 0), 1);
  JwsClaims_Release(&claims);
  if (saved)
    setenv("TZ", savedTz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  CertStore_Release(&store);
}

namespace {

struct Hinted {
  std::string alg, hint;
  Bytes cert;
  std::string token;
};

std::vector<Hinted> readHinted() {
  std::vector<Hinted> rows;
  for (const auto &[line, f] : Test_ReadRows("jws_hinted.txt"))
    rows.push_back({f[0], f[1], Test_HexToBytes(f[2]), f[3]});
  return rows;
}

// The key set written by PyJWT, in a store.
struct Jwks {
  Dictionary *set = nullptr;
  CertStore *store = nullptr;
  Jwks() {
    Json *json = nullptr;
    Dictionary_Create(&set);
    Json_Create(&json);
    Json_SetDictionary(json, set);
    EXPECT_EQ(Json_ParseFile(json, Test_VectorPath("jws_jwks.json").c_str()), 1);
    Json_Release(&json);
    CertStoreJwks_Create(&store, set);
  }
  ~Jwks() {
    CertStore_Release(&store);
    Dictionary_Release(&set);
  }
};

}  // namespace

// Hinted tokens: the key set finds the key by "kid", "x5t", "x5t#S256" and
// an "x5c" thumbprint, never an "enc" key; a thumbprint store pinning the
// certificate finds it through "x5c"; changed bytes fail.
TEST(Jws, HintedTokensThroughJwksAndThumbprintStores) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Jwks jwks;
  const auto rows = readHinted();
  ASSERT_EQ(rows.size(), 25u);
  for (const Hinted &h : rows) {
    int code = 0;
    const int expected = h.hint == "enc" ? 0 : 1;
    EXPECT_EQ(decode(jwks.store, h.token, &code), expected) << h.alg << " " << h.hint;
    if (!expected) {
      EXPECT_EQ(code, 10);
    }
    std::string bad = h.token;
    bad[bad.size() - 5] = bad[bad.size() - 5] == 'A' ? 'B' : 'A';
    EXPECT_EQ(decode(jwks.store, bad, &code), 0) << h.alg << " " << h.hint;
    EXPECT_EQ(code, 10);
    CertStore *pins = Test_PinStore({h.cert});
    EXPECT_EQ(decode(pins, h.token, &code), h.hint == "x5c" ? 1 : 0) << h.alg << " " << h.hint;
    if (h.hint == "x5c") {
      EXPECT_EQ(decode(pins, bad, &code), 0);
    }
    CertStore_Release(&pins);
    // The key set trusts the certificates it lists.
    X509 *cert = nullptr;
    X509_Create(&cert);
    X509_LoadDer(cert, h.cert.data(), int32_t(h.cert.size()));
    int rejected = 0;
    // (only the RS256 key: the certificates are signed with SHA-256, which
    // selects RS256 keys)
    EXPECT_EQ(CertStore_CheckCertificate(jwks.store, cert, &rejected), h.alg == "RS256" ? 1 : 0)
        << h.alg;
    X509_Release(&cert);
  }
  // The "x5c" list loads into a chain; an entry that is no certificate
  // stops it.
  Dictionary *header = nullptr;
  Dictionary *list = nullptr;
  Dictionary_Create(&header);
  Dictionary_AddList(header, "x5c", &list, nullptr);
  std::string b64(rows[0].cert.size() * 2, '\0');
  int64_t written = 0;
  Base64_Encode(rows[0].cert.data(), int64_t(rows[0].cert.size()), b64.data(),
                int64_t(b64.size()), &written);
  b64.resize(size_t(written));
  Dictionary_AddString(list, nullptr, b64.c_str(), nullptr);
  X509Chain *chain = nullptr;
  X509Chain_Create(&chain);
  EXPECT_EQ(Jws_LoadX5cChain(header, chain), 1);
  X509 *first = nullptr;
  EXPECT_EQ(X509Chain_GetFirst(chain, &first), 1);
  Dictionary_AddString(list, nullptr, "not a certificate", nullptr);
  EXPECT_EQ(Jws_LoadX5cChain(header, chain), 0);
  X509Chain_Release(&chain);
  Dictionary_Release(&header);
}

// "x5c" chains through the platform store (a test anchor bundle): a leaf
// that may sign code or names no purpose passes; one for TLS servers only
// does not.
TEST(Jws, X5cChainsThroughThePlatformStore) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  X509Anchors_ResetForTest(Test_VectorPath("jws_bundle.pem").c_str());
  CertStore *platform = nullptr;
  CertStorePlatform_Create(&platform);
  int rows = 0;
  for (const auto &[line, f] : Test_ReadRows("jws_platform.txt")) {
    int code = 0;
    EXPECT_EQ(decode(platform, f[1], &code), f[0] == "serverAuth" ? 0 : 1) << f[0];
    if (f[0] == "serverAuth") {
      EXPECT_EQ(code, 10);
    }
    std::string bad = f[1];
    bad[bad.size() - 5] = bad[bad.size() - 5] == 'A' ? 'B' : 'A';
    EXPECT_EQ(decode(platform, bad, &code), 0) << f[0];
    rows++;
  }
  EXPECT_EQ(rows, 3);
  CertStore_Release(&platform);
  X509Anchors_ResetForTest(nullptr);
}

// Eight threads decode hinted tokens against one key set, one thumbprint
// store and the registry at once.
TEST(JwsThreaded, DecodeAgainstSharedStores) {
  Test_LogRecord log;
  AuthSwitchGuardForTest on(1);
  Jwks jwks;
  const auto rows = readHinted();
  ASSERT_FALSE(rows.empty());
  std::vector<Bytes> certs;
  for (const Hinted &h : rows) certs.push_back(h.cert);
  CertStore *pins = Test_PinStore(certs);
  ASSERT_EQ(Auth_Init(), 1);
  Auth_AddCertStore("jwks", 0, jwks.store);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 4; round++)
        for (size_t i = size_t(t) % rows.size(); i < rows.size(); i += 3) {
          const Hinted &h = rows[i];
          CertStore *named = Auth_GetCertStore("jwks");
          int code = 0;
          if (decode(named, h.token, &code) != (h.hint == "enc" ? 0 : 1)) failures++;
          if (decode(pins, h.token, &code) != (h.hint == "x5c" ? 1 : 0)) failures++;
          CertStore_Release(&named);
        }
    });
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  Auth_Shutdown();
  CertStore_Release(&pins);
}

// The shape of a token checked as its bytes arrive, fed whole and a byte at
// a time: where the first byte that breaks it lies, or -1 when none does.
TEST(JwsShape, BreaksAtTheFirstByteOutsideAToken) {
  const std::string kToken = "eyJhbGciOiJIUzI1NiJ9.eyJhIjoxfQ.c2lnbmF0dXJl-_";
  const struct {
    const char *what;
    std::string text;
    int64_t at;
  } kCases[] = {
      {"a token", kToken, -1},
      {"a token and CRLF", kToken + "\r\n", -1},
      {"a token and 1 KiB of white space", kToken + std::string(1024, ' '), -1},
      {"one byte of white space too many", kToken + std::string(1025, '\n'),
       int64_t(kToken.size()) + 1024},
      {"white space only", "   ", 0},
      {"white space before the token", " " + kToken, 0},
      {"plain JSON", "{\"a\": 1}", 0},
      {"a leading dot", "." + kToken, 0},
      {"a byte outside the alphabet before the second dot", "eyJh!GciOiJ9.e30.c2ln", 4},
      {"padding '=' in the header", "eyJhbGc=.e30.c2ln", 7},
      {"white space before the second dot", "eyJhbGc.e30 .c2ln", 11},
      {"a third dot", kToken + ".x", int64_t(kToken.size())},
      {"a letter after the trailing white space", kToken + "\nx", int64_t(kToken.size()) + 1},
      {"a NUL inside the signature", std::string("e30.e30.c2") + '\0' + "ln", 10},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    for (bool byByte : {false, true}) {
      JwsShape shape;
      JwsShape_Init(&shape);
      int64_t at = -1;
      int ok = 1;
      if (byByte) {
        for (size_t i = 0; i < c.text.size() && ok; i++)
          ok = JwsShape_Feed(&shape, c.text.data() + i, 1, &at);
      } else {
        ok = JwsShape_Feed(&shape, c.text.data(), int64_t(c.text.size()), &at);
      }
      EXPECT_EQ(ok, c.at < 0 ? 1 : 0) << (byByte ? "byte by byte" : "whole");
      if (c.at >= 0) {
        EXPECT_EQ(at, c.at) << (byByte ? "byte by byte" : "whole");
        // Broken for good: more bytes change nothing.
        EXPECT_EQ(JwsShape_Feed(&shape, "e", 1, &at), 0);
        EXPECT_EQ(at, c.at);
      }
    }
  }
}
