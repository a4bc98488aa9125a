#include "core/net/dns.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A header with the id 0x1234, RD set and the four counts.
Bytes Header(int qd, int an = 0, int ns = 0, int ar = 0) {
  return {0x12, 0x34, 0x01, 0x00, 0, uint8_t(qd), 0, uint8_t(an), 0, uint8_t(ns), 0, uint8_t(ar)};
}

Bytes operator+(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// "wpad.a.b" type A class IN.
const Bytes kQuestion = {4, 'w', 'p', 'a', 'd', 1, 'a', 1, 'b', 0, 0, 1, 0, 1};

struct Message {
  DnsMessage *m = nullptr;
  Message() { DnsMessage_Create(&m); }
  ~Message() { DnsMessage_Release(&m); }
};

std::string DataText(const DnsRecord *r) {
  return Test_BytesToHex(r->data, r->dataLength);
}

}  // namespace

TEST(Dns, MalformedDatagramsTable) {
  struct Row {
    const char *what;
    Bytes data;
    int result;
    const char *log;  // a line the decoder must have written
  } rows[] = {
      {"pointer loop", Header(1) + Bytes{0xC0, 14, 0xC0, 12, 0, 1, 0, 1}, 0, "Depth too great (101 > 100)"},
      {"pointer to itself", Header(1) + Bytes{0xC0, 12, 0, 1, 0, 1}, 0, "Depth too great (101 > 100)"},
      {"pointer past the end", Header(1) + Bytes{0xC0, 0xFF, 0, 1, 0, 1}, 0, "Invalid position 255 (max 18)"},
      {"pointer cut in half", Header(1) + Bytes{1, 'a', 0xC0}, 0, "Invalid position 15 (max 15)"},
      {"label past the end", Header(1) + Bytes{5, 'a', 'b'}, 0, "Copy size too large (5 > 2)"},
      {"no zero after a label", Header(1) + Bytes{2, 'a', 'b'}, 0, "Invalid position 15 (max 15)"},
      {"reserved label pattern", Header(1) + Bytes{0x41, 'a', 0, 0, 1, 0, 1}, 0,
       "Unsupported pattern (0x40 65 [0])"},
      {"truncated header", Bytes{0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0}, 0, "Failed (0 of 11 processed)"},
      {"more questions than content", Header(2) + kQuestion, 0, "Decoding Failed in QDList (1 / 26)"},
      {"question without class", Header(1) + Bytes{1, 'a', 0, 0, 1}, 0, "Copy size too large (4 > 2)"},
      {"record without fixed fields", Header(1, 1) + kQuestion + Bytes{0xC0, 12, 0, 1, 0, 1, 0, 0}, 0,
       "Copy size too large (10 > 6)"},
      {"RDATA past the end", Header(1, 1) + kQuestion + Bytes{0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 10, 0},
       0, "Copy size too large (4 > 2)"},
      {"RDATA of 512", Header(0, 1) + Bytes{0, 0, 99, 0, 1, 0, 0, 0, 9, 2, 0}, 0,
       "In Resource length too big (512 > 512)"},
      {"CNAME running out of its RDATA",
       Header(0, 1) + Bytes{0, 0, 5, 0, 1, 0, 0, 0, 9, 0, 1, 1, 'x', 0}, 0, "Invalid position 26 (max 24)"},
      {"SOA without its numbers", Header(0, 1) + Bytes{0, 0, 6, 0, 1, 0, 0, 0, 9, 0, 2, 0, 0}, 0,
       "Copy size too large (20 > 0)"},
      {"more answers than content", Header(1, 2) + kQuestion + Bytes{0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 9, 0, 0},
       0, "Decoding Failed in ANList (1 / 38)"},
      {"one trailing byte", Header(1) + kQuestion + Bytes{0xAB}, 1, "One byte [0xAB] slop (26 of 27 processed)"},
      {"two trailing bytes", Header(1) + kQuestion + Bytes{0xAB, 0xCD}, 0, "Failed (26 of 28 processed)"},
      {"exact", Header(1) + kQuestion, 1, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Message msg;
    TestLogCapture capture;
    EXPECT_EQ(DnsMessage_Decode(msg.m, row.data.data(), int(row.data.size())), row.result);
    std::string log = capture.Take();
    if (row.log) {
      EXPECT_NE(log.find(std::string("DEBUG - ") + row.log), std::string::npos) << log;
    }
    // What was read before a failure is there, and the counts match the lists.
    int items = 0;
    for (DnsRecord *r = msg.m->answers.head; r; r = r->next) items++;
    EXPECT_EQ(items, msg.m->answers.count);
  }
}

TEST(Dns, CompressedNamesAndQueries) {
  Message msg;
  ASSERT_EQ(DnsMessage_AddQuestion(msg.m, "wpad.a.b", 1, 1), 1);
  EXPECT_EQ(msg.m->head.qdCount, 1);
  msg.m->head.rd = 1;
  uint8_t buffer[kDnsMessageBytes];
  int length = 0;
  ASSERT_EQ(DnsMessage_Encode(msg.m, buffer, sizeof buffer, &length), 1);
  ASSERT_EQ(length, 26);
  EXPECT_EQ(Bytes(buffer + 12, buffer + length), kQuestion);
  EXPECT_EQ(buffer[2], 0x01);  // RD

  // An answer whose name points back into the question.
  Bytes response = Header(1, 1) + kQuestion + Bytes{0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 0, 0, 1};
  response[2] = 0x81;
  response[3] = 0x80;
  char name[kDnsNameBytes];
  int consumed = 0;
  ASSERT_EQ(Dns_DecodeName(name, sizeof name, response.data(), int(response.size()), 26, &consumed), 1);
  EXPECT_STREQ(name, "wpad.a.b");
  EXPECT_EQ(consumed, 2);
  ASSERT_EQ(DnsMessage_Decode(msg.m, response.data(), int(response.size())), 1);
  EXPECT_EQ(msg.m->head.qr, 1);
  EXPECT_EQ(msg.m->head.ra, 1);
  ASSERT_EQ(msg.m->answers.count, 1);
  EXPECT_STREQ(msg.m->answers.head->name, "wpad.a.b");
  EXPECT_EQ(msg.m->answers.head->ttl, 60u);
  char text[kDnsFormatBytes];
  Dns_FormatRecord(text, sizeof text, 1, msg.m->answers.head->data, msg.m->answers.head->dataLength);
  EXPECT_STREQ(text, "10.0.0.1");

  // Decoding again reuses the items; the root name reads as ".".
  Bytes root = Header(1) + Bytes{0, 0, 2, 0, 1};
  ASSERT_EQ(DnsMessage_Decode(msg.m, root.data(), int(root.size())), 1);
  EXPECT_EQ(msg.m->answers.count, 0);
  EXPECT_STREQ(msg.m->questions.head->name, ".");
}

TEST(Dns, EncodeNameTable) {
  // Bytes from offset 12 on already in the message; the name; what is
  // written behind them.
  struct Row {
    const char *what;
    Bytes before;
    const char *name;
    int result;
    Bytes written;
  } rows[] = {
      {"nothing to match", {}, "wpad.a.b", 1, {4, 'w', 'p', 'a', 'd', 1, 'a', 1, 'b', 0}},
      {"whole name", {1, 'a', 1, 'q', 0}, "a.q", 1, {0xC0, 12}},
      {"suffix, other case", {1, 'a', 1, 'q', 0}, "Z.A.Q", 1, {1, 'Z', 0xC0, 12}},
      {"inner suffix", {1, 'a', 1, 'q', 0}, "q", 1, {0xC0, 14}},
      {"through a pointer", {1, 'q', 0, 1, 'a', 0xC0, 12}, "a.q", 1, {0xC0, 15}},
      // Text that reaches a pointer to another name is no match.
      {"prefix before a pointer", {1, 'x', 0, 1, 'a', 0xC0, 12}, "a.q", 1, {1, 'a', 1, 'q', 0}},
      {"longer earlier name", {1, 'a', 1, 'q', 1, 'r', 0}, "a.q", 1, {1, 'a', 1, 'q', 0}},
      {"empty labels", {}, ".a..b.", 1, {1, 'a', 1, 'b', 0}},
      {"root", {}, ".", 1, {0}},
      {"label of 64", {}, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0, {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    uint8_t message[kDnsMessageBytes] = {};
    if (!row.before.empty()) memcpy(message + 12, row.before.data(), row.before.size());
    int position = 12 + int(row.before.size());
    int written = -1;
    EXPECT_EQ(Dns_EncodeName(row.name, message, sizeof message, position, &written), row.result);
    EXPECT_EQ(Bytes(message + position, message + position + (row.result ? written : 0)), row.written);
  }
  // A name of 63-byte labels over 255 encoded bytes fails.
  std::string label(63, 'l');
  std::string name = label + "." + label + "." + label + "." + label;
  uint8_t message[kDnsMessageBytes] = {};
  int written = 0;
  EXPECT_EQ(Dns_EncodeName(name.c_str(), message, sizeof message, 12, &written), 0);
  EXPECT_EQ(Dns_EncodeName(name.substr(2).c_str(), message, sizeof message, 12, &written), 1);
  EXPECT_EQ(written, 255);
  // Header bytes that spell a name are no target.
  message[0] = 1;
  message[1] = 'a';
  message[2] = 0;
  EXPECT_EQ(Dns_EncodeName("a", message, sizeof message, 300, &written), 1);
  EXPECT_EQ(Bytes(message + 300, message + 303), (Bytes{1, 'a', 0}));
  // Every write is checked: the last bytes of a buffer, and past it.
  TestLogCapture capture;
  EXPECT_EQ(Dns_EncodeName("wpad.a.b", message, 20, 12, &written), 0);
  EXPECT_EQ(Dns_EncodeName("a", message, 20, 20, &written), 0);
  std::string log = capture.Take();
  EXPECT_NE(log.find("Copy size too large (10 > 8)"), std::string::npos) << log;
  EXPECT_NE(log.find("Invalid position 20 (max 20)"), std::string::npos) << log;
}

TEST(Dns, EncodeFailsWhenTheDatagramIsFull) {
  Message msg;
  for (int k = 0; k < 80; k++) {
    std::string name = "n" + std::to_string(k) + ".example" + std::to_string(k) + ".com";
    ASSERT_EQ(DnsMessage_AddQuestion(msg.m, name.c_str(), 1, 1), 1);
  }
  EXPECT_EQ(DnsMessage_AddQuestion(msg.m, std::string(kDnsNameBytes, 'a').c_str(), 1, 1), 0);
  uint8_t buffer[kDnsMessageBytes];
  int length = -1;
  TestLogCapture capture;
  EXPECT_EQ(DnsMessage_Encode(msg.m, buffer, sizeof buffer, &length), 0);
  std::string log = capture.Take();
  EXPECT_NE(log.find("Encoding Failed in QDList (51 / 1024)"), std::string::npos) << log;
  EXPECT_EQ(length, 0);
}

TEST(Dns, FormatTable) {
  const Bytes loc1 = Test_HexToBytes("000016138b3cf018810cbce0009895b8");
  const Bytes loc2 = Test_HexToBytes("0012161378bc8e6c5f8e5600009a78c0");
  const Bytes soa = Bytes{'n', 's', 0, 'r', 0, 0x80, 0, 0, 0, 0, 1, 0x5F, 0xCD, 0, 0, 0x0E, 0x10, 0, 9,
                          0x3A, 0x80, 0, 0, 0, 0};
  struct Row {
    const char *what;
    int type;
    Bytes data;
    const char *expected;
  } rows[] = {
      {"A", 1, {192, 168, 0, 1}, "192.168.0.1"},
      {"A too short", 1, {192, 168, 0}, "C0 A8 00 "},
      {"TXT as text", 16, {3, 'a', 'b', 'c'}, "\x03" "abc"},
      {"MX", 15, {0, 10, 'm', '.', 'x'}, "[10] m.x"},
      {"MX too short", 15, {0}, "00 "},
      {"SOA", 6, soa,
       "MNAME=ns, RNAME=r, Serial=2147483648, Refresh=1d 1h 1m 1s, Retry=1h 0m 0s, Expire=1w 0d 0h 0m 0s, "
       "Minimum=N/A"},
      {"SOA without numbers", 6, Bytes(soa.begin(), soa.end() - 1), nullptr},
      {"SOA without terminator", 6, {'n', 's'}, "6E 73 "},
      {"LOC", 29, loc1,
       "VERSION=0, SIZE=0.00, HORIZ PRE=10000.00, VERT PRE=10.00, LAT=52.3731, LONG=4.8922, ALT=-2.00m"},
      {"LOC south-west", 29, loc2,
       "VERSION=0, SIZE=1.00, HORIZ PRE=10000.00, VERT PRE=10.00, LAT=-33.8501, LONG=-151.2000, ALT=1234.56m"},
      {"LOC too short", 29, Bytes(loc1.begin(), loc1.begin() + 3), "00 00 16 "},
      {"unknown", 99, {0xDE, 0xAD}, "DE AD "},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    char out[kDnsFormatBytes];
    memset(out, '#', sizeof out);
    EXPECT_EQ(Dns_FormatRecord(out, sizeof out, uint16_t(row.type), row.data.data(), int(row.data.size())), 1);
    if (row.expected) {
      EXPECT_STREQ(out, row.expected);
    } else {
      EXPECT_EQ(std::string(out).substr(0, 3), "6E ");  // the hex form
    }
  }
  // Text is bounded by the data length, not by a terminator.
  const uint8_t name[] = {'a', '.', 'b', 'X', 'Y'};
  char out[kDnsFormatBytes];
  Dns_FormatRecord(out, sizeof out, 5, name, 3);
  EXPECT_STREQ(out, "a.b");
  // The hex form stops while a whole "XX " and the terminator fit.
  Bytes many(200, 0xAB);
  char small[11];
  Dns_FormatRecord(small, sizeof small, 99, many.data(), int(many.size()));
  EXPECT_STREQ(small, "AB AB AB ");

  struct Duration {
    int64_t seconds;
    const char *expected;
  } durations[] = {
      {90061, "1d 1h 1m 1s"}, {3600, "1h 0m 0s"}, {0, "N/A"}, {-5, "N/A"}, {59, "59s"},
      {61, "1m 1s"}, {604800 * 3 + 86400 + 1, "3w 1d 0h 0m 1s"}, {4294967295LL, "7101w 3d 6h 28m 15s"},
  };
  for (const Duration &d : durations) {
    char out[kDnsFormatShortBytes];
    Dns_FormatDuration(out, sizeof out, d.seconds);
    EXPECT_STREQ(out, d.expected) << d.seconds;
  }
  struct Size {
    uint8_t value;
    const char *expected;
  } sizes[] = {{0x12, "1.00"}, {0x13, "10.00"}, {0x10, "0.01"}, {0x99, "90000000.00"}, {0xFF, "5000.00"}};
  for (const Size &s : sizes) {
    char out[kDnsFormatShortBytes];
    Dns_FormatLocSize(s.value, out, sizeof out);
    EXPECT_STREQ(out, s.expected) << int(s.value);
  }
}

// Against dnspython (tests/gen_dns.py): its messages decode to the fields it
// reads, and what we encode from them it reads back to the same content.
TEST(DnsOracle, DecodesAndEncodesLikeDnspython) {
  auto rows = Test_ReadRows("dns.txt");
  ASSERT_GT(rows.size(), 2000u);
  Message msg;
  std::string checks;
  int messages = 0;
  char text[kDnsFormatBytes];
  for (size_t i = 0; i < rows.size();) {
    const auto &[line, m] = rows[i];
    SCOPED_TRACE("dns.txt line " + std::to_string(line));
    ASSERT_EQ(m[0], "m");
    Bytes wire = Test_HexToBytes(m[1]);
    ASSERT_EQ(DnsMessage_Decode(msg.m, wire.data(), int(wire.size())), 1);
    messages++;
    const auto &h = rows[i + 1].second;
    const DnsHeader &head = msg.m->head;
    std::vector<int> got = {head.id, head.qr, head.opcode, head.aa, head.tc, head.rd, head.ra,
                            head.z, head.rcode, head.qdCount, head.anCount, head.nsCount, head.arCount};
    for (size_t k = 0; k < got.size(); k++) EXPECT_EQ(std::to_string(got[k]), h[k + 1]) << "header " << k;
    i += 2;
    const DnsQuestion *q = msg.m->questions.head;
    // Our records in section order, each with its section's tag.
    std::vector<std::pair<std::string, const DnsRecord *>> ours;
    const DnsList<DnsRecord> *lists[] = {&msg.m->answers, &msg.m->authorities, &msg.m->additionals};
    const char *tags[] = {"an", "ns", "ar"};
    for (int k = 0; k < 3; k++)
      for (const DnsRecord *r = lists[k]->head; r; r = r->next) ours.emplace_back(tags[k], r);
    size_t next = 0;
    for (; i < rows.size() && rows[i].second[0] != "m"; i++) {
      const auto &f = rows[i].second;
      if (f[0] == "q") {
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q->name, f[1]);
        EXPECT_EQ(std::to_string(q->type) + " " + std::to_string(q->klass), f[2] + " " + f[3]);
        q = q->next;
        continue;
      }
      ASSERT_LT(next, ours.size());
      const auto &[tag, r] = ours[next++];
      EXPECT_EQ(tag, f[1]);
      EXPECT_EQ(r->name, f[2]);
      EXPECT_EQ(std::to_string(r->type) + " " + std::to_string(r->klass) + " " + std::to_string(r->ttl),
                f[3] + " " + f[4] + " " + f[5]);
      EXPECT_EQ(DataText(r), f[6]) << "type " << r->type;
      EXPECT_EQ(Dns_FormatRecord(text, sizeof text, r->type, r->data, r->dataLength), 1);
    }
    EXPECT_EQ(next, ours.size());
    EXPECT_EQ(q, nullptr);
    uint8_t buffer[kDnsMessageBytes];
    int length = 0;
    ASSERT_EQ(DnsMessage_Encode(msg.m, buffer, sizeof buffer, &length), 1);
    checks += m[1] + "\t" + Test_BytesToHex(buffer, size_t(length)) + "\n";
  }
  EXPECT_EQ(messages, 2000);

  std::string script = Test_ReadVectors("dns_script.txt");
  while (!script.empty() && script.back() == '\n') script.pop_back();
  std::string path = Test_VectorPath("dns_check.txt");
  std::ofstream(path, std::ios::binary) << checks;
  std::string command = "/usr/bin/python3 " + script + " --check " + path;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(DnsDeathTest, NullAndWrongObjectsStop) {
  uint8_t buffer[16] = {};
  char text[16];
  int count = 0;
  std::vector<std::function<void()>> calls = {
      [&] { DnsMessage_Create(nullptr); },
      [&] { DnsMessage_Decode(nullptr, buffer, 12); },
      [&] { Dns_DecodeName(nullptr, 4, buffer, 16, 0, &count); },
      [&] { Dns_EncodeName(nullptr, buffer, 16, 12, &count); },
      [&] { Dns_FormatRecord(text, sizeof text, 1, nullptr, 4); },
  };
  for (size_t i = 0; i < calls.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_DEATH(calls[i](), "Pointer is NULL\n");
  }
  uint64_t notAMessage[16] = {};
  EXPECT_DEATH(DnsMessage_Reset(reinterpret_cast<DnsMessage *>(notAMessage)), "Class mismatch pointer");
  Message msg;
  msg.m->answers.classTag = 0;
  EXPECT_DEATH(DnsMessage_Reset(msg.m), "Class mismatch pointer");
  msg.m->answers.classTag = kDnsListTag;
}
