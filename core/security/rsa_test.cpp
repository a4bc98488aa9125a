// RSA against Python cryptography and the published vectors (tests/gen_rsa.py),
// the front end's SubjectPublicKeyInfo import, the security switch, and the
// fatal paths.
#include "core/security/rsa.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <unistd.h>
#include <string>
#include <vector>

#include "core/security/auth.h"
#include "core/security/cryptasymmetric.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

typedef std::vector<std::string> Row;

// The vector file's keys by id, imported once: public keys through the
// front end's SubjectPublicKeyInfo import, private keys as PKCS#1.
class RsaVectors {
 public:
  RsaVectors() {
    for (auto &[line, row] : Test_ReadRows("rsa.txt")) {
      if (row[0] == "key") keys_[row[1]] = row;
      rows_.emplace_back(line, row);
    }
  }
  ~RsaVectors() {
    for (auto &[id, key] : public_) CryptAsymmetric_Release(&key);
    for (auto &[id, key] : private_) Rsa_Release(&key);
  }
  RsaVectors(const RsaVectors &) = delete;
  RsaVectors &operator=(const RsaVectors &) = delete;

  const std::vector<std::pair<int, Row>> &rows() const { return rows_; }
  const Row &keyRow(const std::string &id) { return keys_.at(id); }

  CryptAsymmetric *publicKey(const std::string &id) {
    CryptAsymmetric *&key = public_[id];
    if (key != nullptr) return key;
    CryptAsymmetric_Create(&key);
    if (id.rfind("ne:", 0) == 0) {  // "ne:<n>:<e>": a bare modulus and exponent
      size_t colon = id.find(':', 3);
      BigInt n, e;
      BigInt_InitInPlace(&n);
      BigInt_InitInPlace(&e);
      BigInt_FromHex(&n, id.substr(3, colon - 3).c_str());
      BigInt_FromHex(&e, id.substr(colon + 1).c_str());
      CryptAsymmetric_SetInterface(key, &kCryptAsymmetricRsa);
      EXPECT_EQ(CryptAsymmetric_SetPublic(key, &e, &n), 1) << id;
      BigInt_FreeLimbs(&n);
      BigInt_FreeLimbs(&e);
      return key;
    }
    std::vector<uint8_t> spki = Test_HexToBytes(keys_.at(id)[4]);
    Asn1Node *document = nullptr;
    Asn1_Create(&document);
    EXPECT_EQ(Asn1_ParseBuffer(document, spki.data(), int64_t(spki.size())), 1);
    EXPECT_EQ(CryptAsymmetric_ImportSubjectPublicKeyInfo(key, Asn1_GetChild(document, 0)), 1) << id;
    Asn1_Release(&document);
    return key;
  }

  RsaKey *privateKey(const std::string &id) {
    RsaKey *&key = private_[id];
    if (key != nullptr) return key;
    Rsa_Create(&key);
    std::vector<uint8_t> der = Test_HexToBytes(keys_.at(id)[2]);
    EXPECT_EQ(Rsa_ImportPrivate(key, der.data(), int32_t(der.size())), 1) << id;
    return key;
  }

 private:
  std::map<std::string, Row> keys_;
  std::vector<std::pair<int, Row>> rows_;
  std::map<std::string, CryptAsymmetric *> public_;
  std::map<std::string, RsaKey *> private_;
};

TEST(Rsa, VerifiesAndSignsAsThePeers) {
  RsaVectors vectors;
  int verified = 0, signed_ = 0;
  for (const auto &[line, row] : vectors.rows()) {
    SCOPED_TRACE("rsa.txt line " + std::to_string(line) + (row.size() > 6 ? " " + row[6] : ""));
    if (row[0] == "verify") {
      std::vector<uint8_t> digest = Test_HexToBytes(row[3]), signature = Test_HexToBytes(row[4]);
      EXPECT_EQ(CryptAsymmetric_Verify(vectors.publicKey(row[1]), digest.data(),
                                       int32_t(digest.size()), signature.data(),
                                       int32_t(signature.size()), std::stoi(row[2])),
                std::stoi(row[5]));
      verified++;
    } else if (row[0] == "sign") {
      std::vector<uint8_t> data = Test_HexToBytes(row[2]), out(kRsaMaxBlockBytes + 1);
      int32_t written = 0;
      ASSERT_EQ(Rsa_Sign(vectors.privateKey(row[1]), data.data(), int32_t(data.size()), out.data(),
                         int32_t(out.size()), &written),
                1);
      EXPECT_EQ(Test_BytesToHex(out.data(), size_t(written)), row[3]);
      signed_++;
    }
  }
  EXPECT_GT(verified, 650);
  EXPECT_GT(signed_, 300);
}

TEST(Rsa, RefusesBadKeysWithoutStopping) {
  int refused = 0;
  for (const auto &[line, row] : Test_ReadRows("rsa.txt")) {
    if (row[0] != "badkey") continue;
    SCOPED_TRACE(row[3]);
    std::vector<uint8_t> der = Test_HexToBytes(row[2]);
    RsaKey *key = nullptr;
    Rsa_Create(&key);
    TestLogCapture capture;
    int imported = row[1] == "private" ? Rsa_ImportPrivate(key, der.data(), int32_t(der.size()))
                                       : Rsa_ImportPublic(key, der.data(), int32_t(der.size()));
    EXPECT_EQ(imported, 0);
    EXPECT_NE(capture.Take().find("RSA key refused"), std::string::npos);
    EXPECT_EQ(Rsa_HasPrivateKey(key), 0);
    EXPECT_EQ(key->ModulusContext, nullptr) << "a refused import leaves the key cleared";
    Rsa_Release(&key);
    refused++;
  }
  EXPECT_GE(refused, 15);
}

// Python decrypts what we encrypt; each ciphertext is also fresh (random
// padding), so two encryptions of the same secret differ.
TEST(Rsa, PythonDecryptsOurPremasterSecrets) {
  RsaVectors vectors;
  std::string input = testing::TempDir() + "rsa_encrypted.txt";
  FILE *file = fopen(input.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::vector<std::string> secrets;
  for (const char *id : {"k1024-e65537", "k2048-e65537", "k4096-e65537", "k2048-e3"}) {
    uint8_t secret[kCryptAsymmetricPremasterBytes], out[kCryptAsymmetricEncryptCapacity],
        again[kCryptAsymmetricEncryptCapacity];
    for (size_t i = 0; i < sizeof secret; i++) secret[i] = uint8_t(i * 7 + id[1]);
    int32_t written = 0, writtenAgain = 0;
    CryptAsymmetric *key = vectors.publicKey(id);
    ASSERT_EQ(CryptAsymmetric_Encrypt(key, secret, out, &written), 1) << id;
    ASSERT_EQ(CryptAsymmetric_Encrypt(key, secret, again, &writtenAgain), 1) << id;
    EXPECT_EQ(written, (std::stoi(id + 1) + 7) / 8);
    EXPECT_NE(Test_BytesToHex(out, size_t(written)), Test_BytesToHex(again, size_t(written)));
    fprintf(file, "%s %s\n", vectors.keyRow(id)[2].c_str(),
            Test_BytesToHex(out, size_t(written)).c_str());
    secrets.push_back(Test_BytesToHex(secret, sizeof secret));
  }
  fclose(file);
  std::string command =
      "/usr/bin/python3 -c '"
      "import sys\n"
      "from cryptography.hazmat.primitives.serialization import load_der_private_key\n"
      "from cryptography.hazmat.primitives.asymmetric.padding import PKCS1v15\n"
      "for line in sys.stdin:\n"
      "    k, c = line.split()\n"
      "    print(load_der_private_key(bytes.fromhex(k), None).decrypt(bytes.fromhex(c), "
      "PKCS1v15()).hex())\n"
      "' < " + input;
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[256];
  std::vector<std::string> decrypted;
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string text = buffer;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    decrypted.push_back(text);
  }
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(decrypted, secrets);
  remove(input.c_str());
}

TEST(Rsa, SizesAndKeysAtTheEdges) {
  RsaVectors vectors;
  RsaKey *key = vectors.privateKey("k2048-e65537");
  std::vector<uint8_t> data(245, 0x5a), out(257);
  int32_t written = 0;
  struct Row {
    const char *name;
    int32_t length, size, expected;
  } rows[] = {
      {"k - 11 bytes", 245, 257, 1},
      {"k - 10 bytes", 246, 257, 0},
      {"output of exactly k bytes", 16, 256, 0},
      {"negative length", -1, 257, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Rsa_Sign(key, data.data(), row.length, out.data(), row.size, &written), row.expected);
    EXPECT_EQ(Rsa_Encrypt(key, data.data(), row.length, out.data(), row.size, &written),
              row.expected);
    EXPECT_EQ(written, row.expected ? 256 : 0);
  }
  // Mode 1 takes the data as the whole tail; a signature verifies in its own
  // mode only.
  ASSERT_EQ(Rsa_Sign(key, data.data(), 36, out.data(), 257, &written), 1);
  EXPECT_EQ(Rsa_Verify(key, data.data(), 36, out.data(), 256, 1), 1);
  EXPECT_EQ(Rsa_Verify(key, data.data(), 36, out.data(), 256, 2), 0);
  EXPECT_EQ(Rsa_Verify(key, data.data(), 35, out.data(), 256, 1), 0);

  // Public keys sign nothing; an empty key verifies and encrypts nothing.
  RsaKey *empty = nullptr;
  Rsa_Create(&empty);
  EXPECT_EQ(Rsa_Verify(empty, data.data(), 32, out.data(), 256, 2), 0);
  EXPECT_EQ(Rsa_Encrypt(empty, data.data(), 48, out.data(), 257, &written), 0);
  std::vector<uint8_t> publicDer = Test_HexToBytes(vectors.keyRow("k2048-e65537")[3]);
  ASSERT_EQ(Rsa_ImportPublic(empty, publicDer.data(), int32_t(publicDer.size())), 1);
  EXPECT_EQ(Rsa_HasPrivateKey(empty), 0);
  EXPECT_EQ(Rsa_Sign(empty, data.data(), 32, out.data(), 257, &written), 0);
  EXPECT_EQ(Rsa_ImportPrivate(empty, nullptr, 0), 0);

  // SetPublic (the JWKS path) runs the same checks as DER import.
  BigInt n, e;
  BigInt_InitInPlace(&n);
  BigInt_InitInPlace(&e);
  struct KeyRow {
    const char *name, *n, *e;
    int expected;
  } keyRows[] = {
      {"1024-bit odd n, e 3", "C0000000000000000000000000000001", "3", 1},
      {"negative n", "-C0000000000000000000000000000001", "3", 0},
      {"e of 1", "C0000000000000000000000000000001", "1", 0},
      {"negative e", "C0000000000000000000000000000001", "-3", 0},
      {"e equal to n", "C0000000000000000000000000000001", "C0000000000000000000000000000001", 0},
  };
  for (const KeyRow &row : keyRows) {
    SCOPED_TRACE(row.name);
    // 32 digits, widened to 1024 bits.
    auto widen = [](std::string hex) {
      if (hex.size() >= 32) hex.insert(hex.size() - 1, std::string(224, '0'));
      return hex;
    };
    BigInt_FromHex(&n, widen(row.n).c_str());
    BigInt_FromHex(&e, widen(row.e).c_str());
    TestLogCapture capture;
    EXPECT_EQ(Rsa_SetPublic(empty, &e, &n), row.expected);
    EXPECT_EQ(Rsa_SetModulus(empty, &n), row.expected || BigInt_Sign(&n) > 0);
  }
  BigInt_FreeLimbs(&n);
  BigInt_FreeLimbs(&e);
  Rsa_Release(&empty);
}

// A fault in the private operation (here a damaged CRT exponent) would give
// out a signature that factors n; the s^e check keeps it in.
TEST(Rsa, FaultySignatureNeverLeaves) {
  RsaVectors vectors;
  RsaKey *key = vectors.privateKey("k1024-e65537");
  void *secrets = nullptr;
  int64_t bytes = 0;
  Rsa_GetSecretsForTest(key, &secrets, &bytes);
  ASSERT_GT(bytes, 128);
  // The layout starts p, q, dP (8 words each for a 1024-bit key).
  static_cast<uint64_t *>(secrets)[2 * 8] ^= 4;
  uint8_t data[20] = {7}, out[129];
  memset(out, 0xEE, sizeof out);
  int32_t written = -1;
  TestLogCapture capture;
  EXPECT_EQ(Rsa_Sign(key, data, 20, out, int32_t(sizeof out), &written), 0);
  EXPECT_NE(capture.Take().find("RSA signature failed its check"), std::string::npos);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(Test_BytesToHex(out, 128), std::string(256, '0'));
}

TEST(Rsa, SecurityOffPassesEveryVerification) {
  RsaVectors vectors;
  CryptAsymmetric *key = vectors.publicKey("k2048-e65537");
  uint8_t digest[32] = {1}, signature[256] = {2};
  EXPECT_EQ(CryptAsymmetric_Verify(key, digest, 32, signature, 256, 2), 0);
  AuthSwitchGuardForTest off(0);
  EXPECT_EQ(CryptAsymmetric_Verify(key, digest, 32, signature, 256, 2), 1);
  EXPECT_EQ(CryptAsymmetric_Verify(key, digest, 32, signature, 3, 1), 1);
}

TEST(CryptAsymmetric, ImportsSubjectPublicKeyInfo) {
  RsaVectors vectors;
  std::vector<uint8_t> spki = Test_HexToBytes(vectors.keyRow("k2048-e65537")[4]);
  struct Row {
    const char *name;
    std::function<void(std::vector<uint8_t> &)> change;
    int expected;
    const char *logLine;  // NULL: none expected
  } rows[] = {
      {"as issued", [](std::vector<uint8_t> &) {}, 1, nullptr},
      // The BIT STRING's unused-bits byte follows 30 82 01 22 30 0d ... 05 00 03 82 01 0f.
      {"unused bits 1", [](std::vector<uint8_t> &d) { d[23] = 1; }, 0,
       "Unsupported BIT STRING unused bits count (1)"},
      {"unknown algorithm",
       [](std::vector<uint8_t> &d) {
         // 1.2.840.113549.1.1.1 becomes 1.2.840.10045.2.1.1.1, same length.
         const uint8_t ec[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x01, 0x01};
         std::copy(std::begin(ec), std::end(ec), d.begin() + 8);
       },
       0, "Unsupported public key algorithm 1.2.840.10045.2.1.1.1"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> der = spki;
    row.change(der);
    Asn1Node *document = nullptr;
    Asn1_Create(&document);
    ASSERT_EQ(Asn1_ParseBuffer(document, der.data(), int64_t(der.size())), 1);
    CryptAsymmetric *key = nullptr;
    CryptAsymmetric_Create(&key);
    key->Log.forced = 1;
    key->Log.level.store(3);
    TestLogCapture capture;
    EXPECT_EQ(CryptAsymmetric_ImportSubjectPublicKeyInfo(key, Asn1_GetChild(document, 0)),
              row.expected);
    std::string log = capture.Take();
    if (row.logLine != nullptr) {
      EXPECT_NE(log.find(row.logLine), std::string::npos) << log;
      EXPECT_NE(log.find("CryptAsymmetric."), std::string::npos) << log;
    }
    CryptAsymmetric_Release(&key);
    Asn1_Release(&document);
  }
}

void collectLine(void *context, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  *static_cast<std::string *>(context) += text;
}

TEST(CryptAsymmetric, LogHookTakesTheLines) {
  CryptAsymmetric *key = nullptr;
  CryptAsymmetric_Create(&key);
  EXPECT_EQ(CryptAsymmetric_Log(key, 0, "quiet"), 0) << "class log not enabled";
  key->Log.forced = 1;
  key->Log.level.store(1);
  std::string seen;
  CryptAsymmetric_SetLogHook(key, &seen, collectLine);
  EXPECT_EQ(CryptAsymmetric_Log(key, 1, "one\ntwo %d", 2), 1);
  EXPECT_EQ(CryptAsymmetric_Log(key, 2, "too verbose"), 0);
  EXPECT_NE(seen.find(" - one\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find(" - two 2\n"), std::string::npos) << seen;
  EXPECT_EQ(CryptAsymmetric_Clear(key), 1) << "nothing bound";
  CryptAsymmetric_Release(&key);
}

// CRT signing of a 2048-bit key under memcheck, with p, q, dP, dQ, qInv and
// the blinding pair marked undefined: any branch or table index that depends
// on them is an error, and valgrind then exits with 99.
TEST(RsaConstantTime, CrtSigningTouchesNoSecretUnderMemcheck) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind cannot run sanitizer builds";
#endif
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  for (const auto &[line, row] : Test_ReadRows("rsa.txt")) {
    if (row[0] != "sign" || row[1] != "k2048-e65537") continue;
    std::string keyHex;
    for (const auto &[keyLine, keyRow] : Test_ReadRows("rsa.txt"))
      if (keyRow[0] == "key" && keyRow[1] == row[1]) keyHex = keyRow[2];
    int status = 0;
    std::string output = Test_RunCommand("/usr/bin/valgrind -q --error-exitcode=99 " KEELSON_CT_PEER
                                    " rsa-sign " + keyHex + " " + row[2] + " 2>&1",
                                    &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, row[3] + "\n" + row[3] + "\n");
    return;
  }
  FAIL() << "no signing vector for k2048-e65537";
}

TEST(RsaDeathTest, ProgrammingErrorsStop) {
  RsaKey *key = nullptr;
  Rsa_Create(&key);
  BigInt n, e;
  BigInt_InitInPlace(&n);
  BigInt_InitInPlace(&e);
  BigInt_SetWord(&e, 3);
  BigInt_FromHex(&n, ("C" + std::string(254, '0') + "1").c_str());
  ASSERT_EQ(Rsa_SetPublic(key, &e, &n), 1);
  static uint8_t big[kRsaMaxBlockBytes + 1], signature[128];
  EXPECT_DEATH(Rsa_Verify(key, big, kRsaMaxBlockBytes, signature, 128, 2),
               "Assertion failed \\(DigestSize < Element_Count\\(Block\\)\\)\nRSA digest overflow");
  EXPECT_DEATH(Rsa_Verify(nullptr, big, 20, signature, 128, 2), "Pointer is NULL");
  EXPECT_DEATH(Rsa_HasPrivateKey(reinterpret_cast<RsaKey *>(&n)), "Class mismatch pointer");
  CryptAsymmetric *front = nullptr;
  CryptAsymmetric_Create(&front);
  EXPECT_DEATH(CryptAsymmetric_Verify(front, big, 20, signature, 128, 2), "Pointer is NULL");
  CryptAsymmetricInterface partial = kCryptAsymmetricRsa;
  partial.Verify = nullptr;
  EXPECT_DEATH(CryptAsymmetric_SetInterface(front, &partial), "Pointer is NULL");
  partial = kCryptAsymmetricRsa;
  partial.Sign = nullptr;
  CryptAsymmetric_SetInterface(front, &partial);
  int32_t written = 0;
  EXPECT_DEATH(CryptAsymmetric_Sign(front, big, 20, signature, 128, &written), "Pointer is NULL");
  CryptAsymmetric_Release(&front);
  BigInt_FreeLimbs(&n);
  BigInt_FreeLimbs(&e);
  Rsa_Release(&key);
}

}  // namespace
