#include "core/security/asn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/runtime/memory.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// One element: tag, a minimal length and the content.
Bytes element(uint8_t tag, const std::string &content) {
  Bytes out;
  out.reserve(content.size() + 4);
  out.push_back(tag);
  size_t n = content.size();
  if (n >= 0x100) {
    out.push_back(0x82);
    out.push_back(uint8_t(n >> 8));
  } else if (n >= 0x80) {
    out.push_back(0x81);
  }
  out.push_back(uint8_t(n));
  for (char c : content) out.push_back(uint8_t(c));
  return out;
}

// A parsed document released at scope exit; the bytes live with it.
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
  Asn1Node *top(int i = 0) const { return Asn1_GetChild(doc, i); }
};

// Pre-order walk: calls visit(node, depth) for every element.
template <typename Visit>
void walk(const Asn1Node *node, int depth, Visit &&visit) {
  for (int i = 0; i < Asn1_GetChildCount(node); i++) {
    Asn1Node *child = Asn1_GetChild(node, i);
    visit(child, depth);
    walk(child, depth + 1, visit);
  }
}

int deepest(const Asn1Node *document) {
  int deepest = -1;
  walk(document, 0, [&](Asn1Node *, int depth) { deepest = std::max(deepest, depth); });
  return deepest < 0 ? 0 : deepest;
}

// Runs every converter on a node; none may stop the program or read outside.
void convertAll(const Asn1Node *node) {
  uint32_t u = 0;
  char text[kAsn1TextBytes];
  double time = 0;
  BigInt n;
  BigInt_InitInPlace(&n);
  Asn1_GetInteger32(node, &u);
  Asn1_GetBigInteger(node, &n);
  Asn1_GetOidText(node, text);
  EXPECT_LT(strlen(text), size_t(kAsn1TextBytes));
  Asn1_GetString(node, text);
  EXPECT_LT(strlen(text), size_t(kAsn1TextBytes));
  Asn1_GetUtcTime(node, &time);
  BigInt_FreeLimbs(&n);
}

struct TimeCheck {
  const char *label;
  int field;  // 0 notBefore, 1 notAfter
  double seconds;
};

}  // namespace

// Every certificate of the system store and every DER sample of the vector
// package, against openssl asn1parse (offset, depth, header length, length,
// constructed), and their validity times against Python cryptography.
TEST(Asn1Oracle, TreesMatchAsn1parseAndTimesMatchCryptography) {
  auto rows = Test_ReadRows("asn_trees.txt");
  ASSERT_GT(rows.size(), 1000u);
  // Times that the old two-digit rule (2000 + YY) got wrong, and the
  // GeneralizedTime form.
  const TimeCheck kNamed[] = {
      {"system/GlobalSign_Root_CA.pem", 0, 904651200.0},  // 980901120000Z: 1998-09-01 12:00:00
      {"x509/PKITS_data/certs/Validpre2000UTCnotBeforeDateTest3EE.crt", 0, -631108740.0},
      {"x509/PKITS_data/certs/ValidGeneralizedTimenotAfterDateTest8EE.crt", 1, 2524651260.0},
  };
  int namedSeen = 0, files = 0, systemFiles = 0, nodes = 0, encapsulated = 0, times = 0;
  std::unique_ptr<Doc> doc;
  std::vector<std::pair<Asn1Node *, int>> order;  // our pre-order
  std::map<int64_t, Asn1Node *> byOffset;
  size_t next = 0;
  std::string label;
  int timeField = 0;
  auto finishFile = [&]() {
    if (doc) {
      EXPECT_EQ(next, order.size()) << label << ": elements asn1parse did not list";
    }
  };
  for (auto &[line, f] : rows) {
    SCOPED_TRACE("asn_trees.txt line " + std::to_string(line) + " " + label);
    if (f[0] == "file") {
      finishFile();
      label = f[1];
      files++;
      systemFiles += label.rfind("system/", 0) == 0;
      doc = std::make_unique<Doc>(Test_HexToBytes(f[3]));
      ASSERT_EQ(doc->result, std::stoi(f[2])) << label;
      order.clear();
      byOffset.clear();
      walk(doc->doc, 0, [&](Asn1Node *node, int depth) {
        order.emplace_back(node, depth);
        byOffset[Asn1_GetElementStart(node) - doc->data.data()] = node;
        convertAll(node);
      });
      next = 0;
      timeField = 0;
    } else if (f[0] == "node") {
      ASSERT_LT(next, order.size()) << "asn1parse listed more elements";
      auto [node, depth] = order[next++];
      nodes++;
      encapsulated += (node->flags & kAsn1NodeEncapsulated) != 0;
      std::string length = (node->flags & kAsn1NodeIndefinite) ? "inf" : std::to_string(Asn1_GetContentLength(node));
      std::string ours = std::to_string(Asn1_GetElementStart(node) - doc->data.data()) + " d=" +
                         std::to_string(depth) + " hl=" + std::to_string(node->headerLength) +
                         " l=" + length + " cons=" + std::to_string((Asn1_GetTag(node) & 0x20) != 0);
      std::string theirs = f[1] + " d=" + f[2] + " hl=" + f[3] + " l=" + f[4] + " cons=" + f[5];
      ASSERT_EQ(ours, theirs);
    } else if (f[0] == "time") {
      auto it = byOffset.find(std::stoll(f[1]));
      ASSERT_NE(it, byOffset.end());
      double seconds = -1;
      EXPECT_EQ(Asn1_GetUtcTime(it->second, &seconds), 1)
          << std::string(reinterpret_cast<const char *>(Asn1_GetContent(it->second)),
                         size_t(Asn1_GetContentLength(it->second)));
      EXPECT_EQ(seconds, std::stod(f[2]));
      for (const TimeCheck &check : kNamed)
        if (label == check.label && timeField == check.field) {
          EXPECT_EQ(seconds, check.seconds);
          namedSeen++;
        }
      timeField++;
      times++;
    }
  }
  finishFile();
  EXPECT_EQ(namedSeen, 3);
  EXPECT_GT(systemFiles, 100);
  EXPECT_GT(files, 500);
  EXPECT_GT(nodes, 40000);
  EXPECT_GT(encapsulated, 1000);
  EXPECT_GT(times, 1000);
}

// Encodings built to break a reader: each must fail cleanly or parse to the
// expected shape.
TEST(Asn1Cases, HostileEncodings) {
  int count = 0;
  for (auto &[line, f] : Test_ReadRows("asn_cases.txt")) {
    if (f[0] != "parse") continue;
    SCOPED_TRACE("asn_cases.txt line " + std::to_string(line) + ": " + f[1]);
    Doc doc(Test_HexToBytes(f[2]));
    EXPECT_EQ(doc.result, std::stoi(f[3]));
    EXPECT_EQ(Asn1_GetChildCount(doc.doc), std::stoi(f[4]));
    EXPECT_EQ(deepest(doc.doc), std::stoi(f[5]));
    walk(doc.doc, 0, [](Asn1Node *node, int) { convertAll(node); });
    count++;
  }
  EXPECT_GT(count, 40);
}

TEST(Asn1Cases, FindValueByOidSkipsStringContents) {
  int count = 0;
  for (auto &[line, f] : Test_ReadRows("asn_cases.txt")) {
    if (f[0] != "find") continue;
    SCOPED_TRACE("asn_cases.txt line " + std::to_string(line) + ": " + f[1]);
    Doc doc(Test_HexToBytes(f[2]));
    ASSERT_EQ(doc.result, 1);
    Asn1Node *value = reinterpret_cast<Asn1Node *>(&doc);
    EXPECT_EQ(Asn1_FindValueByOid(doc.doc, f[3].c_str(), -1, &value), std::stoi(f[4]));
    if (f[5] == "-")
      EXPECT_EQ(value, nullptr);
    else
      EXPECT_EQ(Test_BytesToHex(Asn1_GetElementStart(value), size_t(Asn1_GetElementLength(value))), f[5]);
    count++;
  }
  EXPECT_GE(count, 6);
}

TEST(Asn1Cases, FindValueByOidDepthLimit) {
  // SEQUENCE { SEQUENCE { SET { SEQUENCE { OID 2.5.4.3, "good" } } } }: the
  // OID lies five levels below the document.
  Doc doc(Test_HexToBytes("3011300f310d300b06035504030c04676f6f64"));
  Asn1Node *value = nullptr;
  EXPECT_EQ(Asn1_FindValueByOid(doc.doc, "2.5.4.3", 4, &value), 0);
  EXPECT_EQ(Asn1_FindValueByOid(doc.doc, "2.5.4.3", 5, &value), 1);
  EXPECT_EQ(Asn1_FindValueByOid(doc.doc, "2.5.4.3", 0, &value), 0);
  EXPECT_EQ(Asn1_FindValueByOid(nullptr, "2.5.4.3", -1, &value), 0);
  EXPECT_EQ(value, nullptr);
}

// OIDs that openssl asn1parse -genstr encoded, back to text.
TEST(Asn1Cases, OidsRoundTripThroughOpenssl) {
  int count = 0;
  for (auto &[line, f] : Test_ReadRows("asn_cases.txt")) {
    if (f[0] != "oid") continue;
    SCOPED_TRACE("asn_cases.txt line " + std::to_string(line) + ": " + f[1]);
    Doc doc(Test_HexToBytes(f[2]));
    ASSERT_EQ(doc.result, 1);
    char text[kAsn1TextBytes];
    bool pass = f[1] != "-";
    EXPECT_EQ(Asn1_GetOidText(doc.top(), text), pass);
    EXPECT_EQ(std::string(text), pass ? f[1] : "");
    count++;
  }
  EXPECT_GT(count, 30);
}

TEST(Asn1, OidEncodingsRefused) {
  struct Row {
    const char *hex, *text;
  } rows[] = {
      {"0600", ""},                  // empty
      {"06022a86", ""},              // ends inside a group
      {"0603 2a 8001", ""},          // leading zero group
      {"06 01 80", ""},              // leading zero group first
      {"0603 883703", "2.999.3"},    // the first subidentifier takes two bytes
      {"0601 4f", "1.39"},           {"0601 50", "2.0"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.hex);
    Doc doc(Test_HexToBytes(row.hex));
    ASSERT_EQ(doc.result, 1);
    char text[kAsn1TextBytes] = "junk";
    EXPECT_EQ(Asn1_GetOidText(doc.top(), text), row.text[0] != '\0');
    EXPECT_STREQ(text, row.text);
  }
}

// The writers against cryptography's encode_dss_signature(r, s).
TEST(Asn1Cases, WritersMatchEncodeDssSignature) {
  int count = 0;
  for (auto &[line, f] : Test_ReadRows("asn_cases.txt")) {
    if (f[0] != "dss") continue;
    SCOPED_TRACE("asn_cases.txt line " + std::to_string(line));
    BigInt r, s;
    BigInt_InitInPlace(&r);
    BigInt_InitInPlace(&s);
    ASSERT_EQ(BigInt_FromHex(&r, f[1].c_str()), 1);
    ASSERT_EQ(BigInt_FromHex(&s, f[2].c_str()), 1);
    uint8_t sequence[kAsn1WriteBufferBytes] = {0x30, 0x00};
    uint8_t element[kAsn1WriteBufferBytes];
    int length = Asn1_WriteInteger(&r, element);
    ASSERT_GT(length, 0);
    ASSERT_GT(Asn1_AppendToSequence(sequence, element, length), 0);
    length = Asn1_WriteInteger(&s, element);
    ASSERT_GT(length, 0);
    int total = Asn1_AppendToSequence(sequence, element, length);
    EXPECT_EQ(Test_BytesToHex(sequence, total), f[3]);
    // And read back.
    Doc doc(Bytes(sequence, sequence + total));
    ASSERT_EQ(doc.result, 1);
    BigInt back;
    BigInt_InitInPlace(&back);
    EXPECT_EQ(Asn1_GetBigInteger(Asn1_GetChild(doc.top(), 1), &back), 1);
    EXPECT_EQ(BigInt_Equals(&back, &s), 1);
    BigInt_FreeLimbs(&back);
    BigInt_FreeLimbs(&r);
    BigInt_FreeLimbs(&s);
    count++;
  }
  EXPECT_GT(count, 100);
}

TEST(Asn1, WriterLimits) {
  BigInt n;
  BigInt_InitInPlace(&n);
  uint8_t out[kAsn1WriteBufferBytes];
  struct Row {
    const char *hex;
    const char *der;  // "" when refused
  } rows[] = {
      {"0", "020100"},  {"7F", "02017f"},   {"80", "02020080"}, {"-1", ""},
      {"FF00", "020300ff00"},
      // 316 content bytes: 02 82 01 3c and the content fill 320 exactly.
      {nullptr, nullptr},
  };
  for (const Row &row : rows) {
    if (row.hex == nullptr) break;
    SCOPED_TRACE(row.hex);
    ASSERT_EQ(BigInt_FromHex(&n, row.hex), 1);
    int length = Asn1_WriteInteger(&n, out);
    EXPECT_EQ(Test_BytesToHex(out, length), row.der);
  }
  Bytes big(316, 0x11);
  ASSERT_EQ(BigInt_FromBytes(&n, big.data(), int(big.size())), 1);
  EXPECT_EQ(Asn1_WriteInteger(&n, out), 320);
  big.push_back(0x11);
  ASSERT_EQ(BigInt_FromBytes(&n, big.data(), int(big.size())), 1);
  EXPECT_EQ(Asn1_WriteInteger(&n, out), 0);
  BigInt_FreeLimbs(&n);

  // The SEQUENCE header grows from the short to the long form.
  uint8_t sequence[kAsn1WriteBufferBytes] = {0x30, 0x00};
  Bytes octets = {0x04, 0x7B};
  octets.resize(2 + 0x7B, 0xAB);
  EXPECT_EQ(Asn1_AppendToSequence(sequence, octets.data(), int(octets.size())), 2 + 125);
  Bytes nulls = {0x05, 0x00, 0x05, 0x00};
  EXPECT_EQ(Asn1_AppendToSequence(sequence, nulls.data(), 4), 2 + 127) << "only one element";
  EXPECT_EQ(Test_BytesToHex(sequence, 3), "307f04");
  EXPECT_EQ(Asn1_AppendToSequence(sequence, nulls.data(), 4), 3 + 129);
  EXPECT_EQ(Test_BytesToHex(sequence, 4), "30818104");
  octets.resize(2 + 0x7F);
  octets[1] = 0x7F;
  EXPECT_EQ(Asn1_AppendToSequence(sequence, octets.data(), int(octets.size())), 4 + 258);
  EXPECT_EQ(Test_BytesToHex(sequence, 5), "3082010204");
  Bytes before(sequence, sequence + sizeof sequence);
  Bytes tooMuch = {0x04, 0x3C};  // 258 + 62 = 320 bytes of content: no room for the header
  tooMuch.resize(2 + 0x3C);
  EXPECT_EQ(Asn1_AppendToSequence(sequence, tooMuch.data(), int(tooMuch.size())), 0);
  EXPECT_EQ(Bytes(sequence, sequence + sizeof sequence), before) << "unchanged on failure";
  Bytes cut = {0x04, 0x05, 0x01};
  EXPECT_EQ(Asn1_AppendToSequence(sequence, cut.data(), int(cut.size())), 0);
  uint8_t notSequence[kAsn1WriteBufferBytes] = {0x31, 0x00};
  EXPECT_EQ(Asn1_AppendToSequence(notSequence, nulls.data(), 2), 0);
}

TEST(Asn1, TimesReadBothFormsWithZones) {
  struct Row {
    const char *hex;  // tag and length are added
    uint8_t tag;
    int result;
    double seconds;
  } rows[] = {
      {"490101000000Z", 0x17, 1, 2493072000.0},          // 2049
      {"500101000000Z", 0x17, 1, -631152000.0},          // 1950
      {"700101000000Z", 0x17, 1, 0.0},
      {"691231235959Z", 0x17, 1, -1.0},
      {"7001010000Z", 0x17, 1, 0.0},                     // no seconds
      {"700101Z", 0x17, 1, 0.0},                         // date only
      {"700101000000+0100", 0x17, 1, -3600.0},           // local 00:00 at UTC+1
      {"700101000000-0130", 0x17, 1, 5400.0},
      {"19700101000000Z", 0x18, 1, 0.0},
      {"19700101000000.5Z", 0x18, 1, 0.5},
      {"197001010000Z", 0x18, 1, 0.0},
      {"20000229120000Z", 0x18, 1, 951825600.0},         // leap day
      {"16010101000000Z", 0x18, 1, -11644473600.0},
      {"99991231235959Z", 0x18, 1, 253402300799.0},
      {"19000229000000Z", 0x18, 0, 0},                   // 1900 is no leap year
      {"19701301000000Z", 0x18, 0, 0},                   // month 13
      {"19700132000000Z", 0x18, 0, 0},
      {"19700101240000Z", 0x18, 0, 0},
      {"19700101006000Z", 0x18, 0, 0},
      {"19700101000000", 0x18, 0, 0},                    // no zone
      {"19700101000000z", 0x18, 0, 0},
      {"19700101000000Zx", 0x18, 0, 0},
      {"19700101000000.Z", 0x18, 0, 0},
      {"1970010100Z", 0x18, 0, 0},                       // minutes required
      {"700101000000+2400", 0x17, 0, 0},
      {"700101000000+01", 0x17, 0, 0},
      {"7001010Z", 0x17, 0, 0},
      {"70010100000Z", 0x17, 0, 0},
      {"", 0x17, 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.hex);
    Doc doc(element(row.tag, row.hex));
    ASSERT_EQ(doc.result, 1);
    double seconds = 7;
    EXPECT_EQ(Asn1_GetUtcTime(doc.top(), &seconds), row.result);
    EXPECT_EQ(seconds, row.seconds);
  }
  Doc other(Test_HexToBytes("0400"));
  double seconds = 7;
  EXPECT_EQ(Asn1_GetUtcTime(other.top(), &seconds), 0);
  EXPECT_EQ(seconds, 0);
}

TEST(Asn1, StringsConvertToUtf8) {
  std::string longText(400, 'a');
  std::string longUtf8 = std::string(318, 'a') + "\xC3\xA9" + "tail";
  struct Row {
    std::string hex;
    int result;
    std::string text;
  } rows[] = {
      {"0c03616263", 1, "abc"},
      {"1302 4f4b", 1, "OK"},
      {"1403 4ae9 21", 1, "J\xE9!"},                        // T61 bytes as they are
      {"1601 78", 1, "x"},
      {"1e04 00e9 4e2d", 1, "\xC3\xA9\xE4\xB8\xAD"},     // BMP
      {"1e04 d83d de00", 1, "\xF0\x9F\x98\x80"},         // a surrogate pair
      {"1e02 d83d", 1, "\xEF\xBF\xBD"},                  // a lone surrogate
      {"1e03 0041 00", 0, ""},                           // odd length
      {"1c08 00000041 0001f600", 1, "A\xF0\x9F\x98\x80"},  // UniversalString
      {"1c04 00110000", 1, "\xEF\xBF\xBD"},              // beyond U+10FFFF
      {"1c03 000041", 0, ""},
      {"0c03 610062", 0, ""},                            // NUL inside
      {"1e02 0000", 0, ""},
      {"0401 41", 0, ""},                                // not a string type
      {"0500", 0, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.hex);
    Doc doc(Test_HexToBytes(row.hex));
    ASSERT_EQ(doc.result, 1);
    char text[kAsn1TextBytes] = "junk";
    EXPECT_EQ(Asn1_GetString(doc.top(), text), row.result);
    EXPECT_EQ(std::string(text), row.text);
  }
  // Long values are cut at 319 bytes, never inside a UTF-8 sequence.
  for (const std::string &value : {longText, longUtf8}) {
    Doc doc(element(0x0C, value));
    char text[kAsn1TextBytes];
    EXPECT_EQ(Asn1_GetString(doc.top(), text), 1);
    EXPECT_EQ(std::string(text), value.substr(0, value == longText ? 319 : 318));
  }
  char text[kAsn1TextBytes] = "junk";
  EXPECT_EQ(Asn1_GetString(nullptr, text), 0);
  EXPECT_STREQ(text, "");
}

TEST(Asn1, IntegersReadSignedAndUnsigned) {
  struct Row {
    const char *hex;
    int result32;
    uint32_t value32;
    int resultBig;
    const char *big;  // signed hex as BigInt_FromHex reads it
  } rows[] = {
      {"020105", 1, 5, 1, "5"},
      {"0201ff", 1, 255, 1, "-1"},
      {"020200ff", 1, 255, 1, "FF"},
      {"0202ff00", 1, 0xFF00, 1, "-100"},
      {"020480000000", 1, 0x80000000u, 1, "-80000000"},
      {"02050100000000", 0, 0, 1, "100000000"},
      {"0200", 0, 0, 0, "0"},
      {"0401ff", 0, 0, 0, "0"},
      {"02098000000000000000ff", 0, 0, 1, "-7FFFFFFFFFFFFFFF01"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.hex);
    Doc doc(Test_HexToBytes(row.hex));
    ASSERT_EQ(doc.result, 1);
    uint32_t value = 7;
    EXPECT_EQ(Asn1_GetInteger32(doc.top(), &value), row.result32);
    EXPECT_EQ(value, row.value32);
    BigInt n, expected;
    BigInt_InitInPlace(&n);
    BigInt_InitInPlace(&expected);
    BigInt_SetWord(&n, 99);
    BigInt_FromHex(&expected, row.big);
    EXPECT_EQ(Asn1_GetBigInteger(doc.top(), &n), row.resultBig);
    EXPECT_EQ(BigInt_Equals(&n, &expected), 1);
    BigInt_FreeLimbs(&n);
    BigInt_FreeLimbs(&expected);
  }
}

TEST(Asn1, AccessorsAnswerZeroForMissingNodes) {
  Doc doc(Test_HexToBytes("3003020105"));
  Asn1Node *missing = Asn1_GetChild(doc.top(), 5);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(Asn1_GetChild(doc.top(), -1), nullptr);
  EXPECT_EQ(Asn1_GetChild(missing, 0), nullptr);
  EXPECT_EQ(Asn1_GetChildCount(missing), 0);
  EXPECT_EQ(Asn1_GetTag(missing), 0);
  EXPECT_EQ(Asn1_GetTagNumber(missing), 0);
  EXPECT_EQ(Asn1_GetElementStart(missing), nullptr);
  EXPECT_EQ(Asn1_GetElementLength(missing), 0);
  EXPECT_EQ(Asn1_GetContentLength(missing), 0);
  EXPECT_EQ(Asn1_GetContent(missing), nullptr);
  convertAll(missing);
  uint32_t value = 1;
  EXPECT_EQ(Asn1_GetInteger32(Asn1_GetChild(doc.top(), 0), &value), 1);
  EXPECT_EQ(value, 5u);
  EXPECT_EQ(Asn1_GetElementLength(doc.top()), 5);
  EXPECT_EQ(Asn1_GetTagNumber(doc.top()), 16);
}

// Children found by index in any order: the cursor must never lose its
// place.
TEST(Asn1, ChildLookupInAnyOrder) {
  constexpr int kCount = 300;
  Bytes data = {0x30, 0x82, uint8_t((kCount * 3) >> 8), uint8_t(kCount * 3)};
  for (int i = 0; i < kCount; i++) {
    data.push_back(0x02);
    data.push_back(0x01);
    data.push_back(uint8_t(i & 0x7F));
  }
  Doc doc(data);
  ASSERT_EQ(doc.result, 1);
  ASSERT_EQ(Asn1_GetChildCount(doc.top()), kCount);
  uint32_t state = 7;
  for (int k = 0; k < 3000; k++) {
    state = state * 1103515245u + 12345u;
    int index = k < kCount ? k : k < 2 * kCount ? 2 * kCount - 1 - k : int((state >> 8) % kCount);
    Asn1Node *child = Asn1_GetChild(doc.top(), index);
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(Asn1_GetElementStart(child) - doc.data.data(), 4 + 3 * index) << k;
  }
}

TEST(Asn1, ReleasingAChildTakesItOutOfItsParent) {
  Doc doc(Test_HexToBytes("3009 020101 020102 020103"));
  Asn1Node *sequence = doc.top();
  Asn1Node *middle = Asn1_GetChild(sequence, 1);
  ASSERT_EQ(Asn1_Release(&middle), 1);
  EXPECT_EQ(middle, nullptr);
  ASSERT_EQ(Asn1_GetChildCount(sequence), 2);
  uint32_t value = 0;
  Asn1_GetInteger32(Asn1_GetChild(sequence, 1), &value);
  EXPECT_EQ(value, 3u);
  Asn1_Clear(sequence);
  EXPECT_EQ(Asn1_GetChildCount(sequence), 0);
}

TEST(Asn1, ReadHeaderReportsIndefiniteApartFromZero) {
  struct Row {
    const char *hex;
    int32_t length, headerLength, indefinite;
  } rows[] = {
      {"3000", 0, 2, 0}, {"3080", 0, 2, 1}, {"0480", -1, 0, 0}, {"308100", 0, 3, 0},
      {"3081", -1, 0, 0}, {"0203", -1, 0, 0}, {"bf8a3b00", 0, 4, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.hex);
    Bytes data = Test_HexToBytes(row.hex);
    uint8_t identifier = 9;
    int32_t headerLength = 9;
    int indefinite = 9;
    EXPECT_EQ(Asn1_ReadHeader(data.data(), int64_t(data.size()), 0, &identifier, &headerLength,
                              &indefinite),
              row.length);
    EXPECT_EQ(headerLength, row.headerLength);
    EXPECT_EQ(indefinite, row.indefinite);
  }
  uint8_t identifier;
  int32_t headerLength;
  int indefinite;
  EXPECT_EQ(Asn1_ReadHeader(nullptr, 0, 0, &identifier, &headerLength, &indefinite), -1);
}

TEST(Asn1, ParseRegionOutsideTheDataFails) {
  Bytes data = Test_HexToBytes("0500 0500");
  Asn1Node *doc = nullptr;
  Asn1_Create(&doc);
  int64_t consumed = 9;
  EXPECT_EQ(Asn1_Parse(doc, data.data(), 4, 2, 4, 0, 0, &consumed), 0);
  EXPECT_EQ(consumed, 0);
  EXPECT_EQ(Asn1_Parse(doc, data.data(), 4, 2, 2, 0, 0, &consumed), 1);
  EXPECT_EQ(consumed, 2);
  EXPECT_EQ(Asn1_GetChildCount(doc), 1);
  // Indefinite mode: the end-of-contents is counted.
  Bytes indefinite = Test_HexToBytes("0500 0000 0500");
  Asn1_Clear(doc);
  EXPECT_EQ(Asn1_Parse(doc, indefinite.data(), 6, 0, 6, 1, 0, &consumed), 1);
  EXPECT_EQ(consumed, 4);
  EXPECT_EQ(Asn1_ParseBuffer(doc, data.data(), 0), 0);
  Asn1_Release(&doc);
}

// Every element costs a node of some 176 bytes, so a region of two-byte
// elements would take 88 times its size. A parse keeps its node memory within
// 16 times the region plus a floor of 1 MiB, and fails past that.
TEST(Asn1, NodeMemoryStaysWithinTheBudget) {
  auto nulls = [](size_t bytes) {
    Bytes out;
    for (size_t i = 0; i + 2 <= bytes; i += 2) out.insert(out.end(), {0x05, 0x00});
    return out;
  };
  auto wrap = [](uint8_t tag, const Bytes &content) {
    size_t n = content.size();
    Bytes out{tag, 0x83, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    out.insert(out.end(), content.begin(), content.end());
    return out;
  };
  auto indefinite = [](const Bytes &content) {
    Bytes out{0x30, 0x80};
    out.insert(out.end(), content.begin(), content.end());
    out.insert(out.end(), {0x00, 0x00});
    return out;
  };
  const size_t big = 256 * 1024, small = 8 * 1024;
  struct Row {
    const char *name;
    Bytes data;
    int result;
  } rows[] = {
      {"flat NULLs", nulls(big), 0},
      {"a SEQUENCE of NULLs", wrap(0x30, nulls(big)), 0},
      {"an indefinite SEQUENCE of NULLs", indefinite(nulls(big)), 0},
      {"NULLs inside an OCTET STRING", wrap(0x04, nulls(big)), 0},
      {"NULLs within the floor", nulls(small), 1},
      {"an OCTET STRING of plain bytes", wrap(0x04, Bytes(big, 0xff)), 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    int64_t size = int64_t(row.data.size());
    Mem_Init(0);
    int64_t countBefore = 0, bytesBefore = 0, count = 0, bytes = 0;
    Mem_GetUsage(&countBefore, &bytesBefore);
    TestLogCapture capture;
    Asn1Node *doc = nullptr;
    Asn1_Create(&doc);
    EXPECT_EQ(Asn1_ParseBuffer(doc, row.data.data(), size), row.result);
    Mem_GetUsage(&count, &bytes);
    EXPECT_LE(bytes - bytesBefore, 16 * size + (1 << 20));
    EXPECT_EQ(Asn1_GetChildCount(doc) == 0, row.result == 0);
    Asn1_Release(&doc);
    std::string log = capture.Take();
    EXPECT_EQ(log.find("ASN.1 element limit reached") != std::string::npos, row.result == 0) << log;
    Mem_Shutdown();
  }
}

TEST(Asn1DeathTest, WrongObjectsStop) {
  Doc doc(Test_HexToBytes("0500"));
  BigInt n;
  BigInt_InitInPlace(&n);
  const Asn1Node *notNode = reinterpret_cast<const Asn1Node *>(&n);
  uint32_t value;
  EXPECT_DEATH(Asn1_GetInteger32(notNode, &value),
               "Class mismatch pointer \\(0x[0-9A-Fa-fx]+: expected 0xe7d274d9 but was 0x1ca4d8e2\\)");
  EXPECT_DEATH(Asn1_GetChildCount(notNode), "expected 0xe7d274d9");
  EXPECT_DEATH(Asn1_GetInteger32(doc.top(), nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Asn1_Create(nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Asn1_ParseBuffer(doc.doc, nullptr, 4), "Pointer is NULL\n");
  BigInt_FreeLimbs(&n);
}
