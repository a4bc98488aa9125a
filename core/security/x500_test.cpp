#include "core/security/x500.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Doc {
  Asn1Node *doc = nullptr;
  Bytes data;
  int result = 0;
  explicit Doc(Bytes bytes) : data(std::move(bytes)) {
    Asn1_Create(&doc);
    result = Asn1_ParseBuffer(doc, data.data(), int64_t(data.size()));
  }
  ~Doc() { Asn1_Release(&doc); }
  Doc(const Doc &) = delete;
  Doc &operator=(const Doc &) = delete;
  Asn1Node *top() const { return Asn1_GetChild(doc, 0); }
};

struct Name {
  X500Name *name = nullptr;
  Name() { X500Name_Create(&name); }
  ~Name() { X500Name_Release(&name); }
  Name(const Name &) = delete;
  Name &operator=(const Name &) = delete;
  int parse(const std::string &hex) {
    Doc doc(Test_HexToBytes(hex));
    EXPECT_EQ(doc.result, 1) << hex;
    return X500Name_Parse(name, doc.top());  // the DER is copied: doc may go
  }
};

// The value text as the oracle writes it: UTF-8 in hex, "-" when absent.
std::string oracleText(const std::string &field) {
  if (field == "-") return "";
  Bytes bytes = Test_HexToBytes(field);
  return std::string(bytes.begin(), bytes.end());
}

template <typename Visit>
void walk(const Asn1Node *node, Visit &&visit) {
  for (int i = 0; i < Asn1_GetChildCount(node); i++) {
    visit(Asn1_GetChild(node, i));
    walk(Asn1_GetChild(node, i), visit);
  }
}

}  // namespace

// The O, OU and CN of every certificate's issuer and subject equal the last
// value Python cryptography's Name.get_attributes_for_oid gives.
TEST(X500Oracle, NamesMatchCryptography) {
  int names = 0, systemNames = 0, entrust = 0;
  std::unique_ptr<Doc> doc;
  std::map<int64_t, Asn1Node *> byOffset;
  std::string label;
  for (auto &[line, f] : Test_ReadRows("asn_trees.txt")) {
    if (f[0] == "file") {
      label = f[1];
      doc = std::make_unique<Doc>(Test_HexToBytes(f[3]));
      byOffset.clear();
      walk(doc->doc, [&](Asn1Node *node) { byOffset[Asn1_GetElementStart(node) - doc->data.data()] = node; });
      continue;
    }
    if (f[0] != "name") continue;
    SCOPED_TRACE("asn_trees.txt line " + std::to_string(line) + " " + label);
    auto it = byOffset.find(std::stoll(f[1]));
    ASSERT_NE(it, byOffset.end());
    Name name;
    std::string o = oracleText(f[2]), ou = oracleText(f[3]), cn = oracleText(f[4]);
    EXPECT_EQ(X500Name_Parse(name.name, it->second), !(o.empty() && ou.empty() && cn.empty()));
    EXPECT_EQ(std::string(name.name->organization), o);
    EXPECT_EQ(std::string(name.name->organizationalUnit), ou);
    EXPECT_EQ(std::string(name.name->commonName), cn);
    ASSERT_EQ(name.name->derLength, Asn1_GetElementLength(it->second));
    EXPECT_EQ(memcmp(name.name->der, Asn1_GetElementStart(it->second), size_t(name.name->derLength)), 0);
    EXPECT_EQ(X500Name_Equal(name.name, name.name), 1);
    if (label == "system/Entrust.net_Premium_2048_Secure_Server_CA.pem") {
      // Two OUs; the last one is kept.
      EXPECT_EQ(std::string(name.name->organizationalUnit), "(c) 1999 Entrust.net Limited");
      entrust++;
    }
    names++;
    systemNames += label.rfind("system/", 0) == 0;
  }
  EXPECT_EQ(entrust, 2);
  EXPECT_GT(systemNames, 200);
  EXPECT_GT(names, 1000);
}

TEST(X500Cases, EqualityRules) {
  int count = 0;
  for (auto &[line, f] : Test_ReadRows("asn_cases.txt")) {
    if (f[0] != "x500eq") continue;
    SCOPED_TRACE("asn_cases.txt line " + std::to_string(line) + ": " + f[1]);
    Name a, b;
    a.parse(f[2]);
    b.parse(f[3]);
    ASSERT_GT(a.name->derLength, 0);
    ASSERT_GT(b.name->derLength, 0);
    EXPECT_EQ(X500Name_Equal(a.name, b.name), std::stoi(f[4]));
    EXPECT_EQ(X500Name_Equal(b.name, a.name), std::stoi(f[4]));
    count++;
  }
  EXPECT_GT(count, 10);
}

TEST(X500, ParseKeepsTheThreeTexts) {
  struct Row {
    const char *label, *hex;
    int result;
    const char *o, *ou, *cn;
    int derKept;
  } rows[] = {
      // C=US only: no text, but a well-formed Name keeps its DER.
      {"country only", "300d310b3009060355040613025553", 0, "", "", "", 1},
      {"BMPString CN", "3013311130 0f 0603550403 1e08 00e9 0063 006f 0021", 1, "", "", "\xC3\xA9" "co!", 1},
      // One RDN holding O and then CN: both are read.
      {"multi-valued RDN", "3019311730 0806035504 0a0c0141 30 0b0603550403 0c04686f7374", 1, "A", "",
       "host", 1},
      {"later CN wins", "301a310b3009 0603550403 0c02 6161 310b3009 0603550403 0c02 6262", 1, "", "",
       "bb", 1},
      {"empty Name", "3000", 0, "", "", "", 1},
      {"RDN not a SET", "300b 3009 0603550403 0c02 6161", 0, "", "", "", 0},
      {"empty RDN", "30023100", 0, "", "", "", 0},
      {"attribute without value", "3009 3107 3005 0603550403", 0, "", "", "", 0},
      {"attribute type not an OID", "300b 3109 3007 0c01 78 0c02 6161", 0, "", "", "", 0},
      {"not a SEQUENCE", "3100", 0, "", "", "", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.label);
    Name name;
    // A previous name must not leak into the result.
    ASSERT_EQ(name.parse("300f310d300b06035504030c04 6f6c6421"), 1);
    EXPECT_EQ(name.parse(row.hex), row.result);
    EXPECT_STREQ(name.name->organization, row.o);
    EXPECT_STREQ(name.name->organizationalUnit, row.ou);
    EXPECT_STREQ(name.name->commonName, row.cn);
    EXPECT_EQ(name.name->derLength > 0, row.derKept != 0);
    EXPECT_EQ(name.name->der != nullptr, row.derKept != 0);
  }
  Name name;
  EXPECT_EQ(X500Name_Parse(name.name, nullptr), 0);
}

TEST(X500, EqualityWithoutParsedNames) {
  Name empty, otherEmpty, parsed;
  EXPECT_EQ(X500Name_Equal(empty.name, otherEmpty.name), 1);
  ASSERT_EQ(parsed.parse("300f310d300b06035504030c04686f7374"), 1);
  EXPECT_EQ(X500Name_Equal(empty.name, parsed.name), 0);
  EXPECT_EQ(X500Name_Equal(parsed.name, empty.name), 0);
  // Same characters, but one value is not a string type: compared by DER.
  Name a, b;
  a.parse("300d310b3009 0603550403 0402 6161");
  b.parse("300d310b3009 0603550403 0c02 6161");
  EXPECT_EQ(X500Name_Equal(a.name, b.name), 0);
}

TEST(X500DeathTest, WrongObjectsStop) {
  Name name;
  BigInt n;
  BigInt_InitInPlace(&n);
  const X500Name *notName = reinterpret_cast<const X500Name *>(&n);
  EXPECT_DEATH(X500Name_Equal(name.name, notName),
               "Class mismatch pointer \\(0x[0-9A-Fa-fx]+: expected 0x0cbdaec3 but was 0x1ca4d8e2\\)");
  EXPECT_DEATH(X500Name_Parse(nullptr, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(X500Name_Create(nullptr), "Pointer is NULL\n");
  BigInt_FreeLimbs(&n);
}
