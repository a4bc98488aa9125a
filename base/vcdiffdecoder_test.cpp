#include "base/vcdiffdecoder.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/runtime/memory.h"
#include "tests/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct DecoderGuard {
  VCDiffDecoder *d = nullptr;
  DecoderGuard() { VCDiffDecoder_Create(&d); }
  ~DecoderGuard() { Class_ReleaseObject(&d); }
};

Bytes Int(uint64_t v) {
  Bytes out{uint8_t(v & 0x7f)};
  while (v >>= 7) out.insert(out.begin(), uint8_t(0x80 | (v & 0x7f)));
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A window of this framing around the three sections.
Bytes Window(uint64_t segment, const Bytes &data, const Bytes &inst, const Bytes &addr,
             uint8_t indicator = 1, const Bytes &range = {}) {
  return Cat({{indicator}, Int(segment), Int(0), Int(0), Int(0), Int(data.size()),
              Int(inst.size()), Int(addr.size()), range, data, inst, addr});
}

struct Outcome {
  int header;
  int run;
  std::string output;
};

Outcome Decode(const Bytes &delta, const std::string &source, int64_t capacity = 4096) {
  DecoderGuard g;
  VCDiffDecoder_SetInput(g.d, delta.data(), int64_t(delta.size()));
  VCDiffDecoder_SetSource(g.d, source.data(), int64_t(source.size()));
  Outcome o{VCDiffDecoder_ReadWindowHeader(g.d), 0, {}};
  std::vector<char> out(size_t(capacity) + 1, '#');
  int64_t length = 0;
  if (o.header) o.run = VCDiffDecoder_Run(g.d, out.data(), capacity, &length);
  EXPECT_EQ(out[size_t(capacity)], '#') << "written past capacity";
  o.output.assign(out.data(), size_t(length));
  return o;
}

// Opcodes of the default code table.
constexpr uint8_t kRun = 0, kAdd1 = 2, kAddN = 1;
constexpr uint8_t Copy(int mode, int size) { return uint8_t(19 + 16 * mode + (size ? size - 3 : 0)); }

TEST(VCDiffDecoder, EdgeCasesAndMends) {
  const Bytes ten0 = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
  const Bytes max63 = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
  const Bytes bits70 = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
  const Bytes bits33 = Int(uint64_t(1) << 32);
  struct Case {
    const char *name;
    Bytes delta;
    std::string source;
    int header, run;
    std::string output;
  } cases[] = {
      {"delta indicator 1", Cat({{1}, Int(0), Int(0), Int(0), Int(1), Int(0), Int(0), Int(0)}), "",
       0, 0, ""},
      {"data length 2^31", Cat({{1}, Int(0), Int(0), Int(0), Int(0), Int(2147483648u), Int(0),
                                Int(0)}),
       "", 0, 0, ""},
      {"RUN byte from instructions", Window(0, {'Z'}, {kRun, 5, 0x41, kAdd1}, {}), "", 1, 1,
       "AAAAAZ"},
      {"target copy repeats one byte", Window(4, {'Q'}, {kAdd1, Copy(0, 8)}, Int(4)), "wxyz", 1,
       1, "QQQQQQQQQ"},
      {"source copy", Window(4, {}, {Copy(0, 4)}, Int(0)), "wxyz", 1, 1, "wxyz"},
      {"64-bit integer of 10 bytes", Cat({{1}, ten0, Int(0), Int(0), Int(0), Int(0), Int(0),
                                          Int(0)}),
       "", 1, 1, ""},
      {"64-bit integer of 11 bytes", Cat({{1, 0x80}, ten0, Int(0), Int(0), Int(0), Int(0),
                                          Int(0), Int(0)}),
       "", 0, 0, ""},
      {"64-bit integer 2^63 - 1", Cat({{1}, max63, Int(0), Int(0), Int(0), Int(0), Int(0),
                                       Int(0)}),
       "", 1, 1, ""},
      {"70-bit integer", Cat({{1}, bits70, Int(0), Int(0), Int(0), Int(0), Int(0), Int(0)}), "",
       0, 0, ""},
      {"32-bit integer of 6 bytes",
       Cat({{1}, Int(0), Int(0), Int(0), {0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, Int(0), Int(0),
            Int(0)}),
       "", 0, 0, ""},
      {"33-bit section length", Cat({{1}, Int(0), Int(0), Int(0), Int(0), Int(0), bits33, Int(0)}),
       "", 0, 0, ""},
      {"33-bit instruction size", Window(0, {}, Cat({{kAddN}, bits33}), {}), "", 1, 0, ""},
      {"HERE below 0", Window(4, {}, {Copy(1, 4)}, Int(5)), "wxyz", 1, 0, ""},
      {"HERE to 0", Window(4, {}, {Copy(1, 4)}, Int(4)), "wxyz", 1, 1, "wxyz"},
      {"address equal to here", Window(4, {}, {Copy(0, 4)}, Int(4)), "wxyz", 1, 0, ""},
      {"NEAR past here", Window(4, {}, {Copy(0, 4), Copy(2, 4)}, Cat({Int(0), Int(8)})), "wxyz", 1,
       0, "wxyz"},
      {"distance 1 size 1,000", Window(0, {'x'}, Cat({{kAdd1, Copy(1, 0)}, Int(1000)}), Int(1)),
       "", 1, 1, std::string(1001, 'x')},
      {"source copy past the source", Window(4, {}, {Copy(0, 4)}, Int(2)), "wxyz", 1, 0, ""},
      {"segment longer than the source", Window(8, {}, {Copy(0, 4)}, Int(2)), "wxyz", 1, 0, ""},
      {"ADD past the data section", Window(0, {'a'}, {uint8_t(kAdd1 + 1)}, {}), "", 1, 0, ""},
      {"RUN without its byte", Window(0, {}, {kRun, 5}, {}), "", 1, 0, ""},
      {"SAME without its byte", Window(4, {}, {Copy(6, 4)}, {}), "wxyz", 1, 0, ""},
      {"sections past the input", Cat({{1}, Int(0), Int(0), Int(0), Int(0), Int(1), Int(0), Int(0)}),
       "", 0, 0, ""},
      {"file header refused", Cat({{0xd6, 0xc3, 0xc4, 0x00, 0x00}, Window(0, {}, {}, {})}), "", 0,
       0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = Decode(c.delta, c.source);
    EXPECT_EQ(o.header, c.header);
    EXPECT_EQ(o.run, c.run);
    if (c.run) {
      EXPECT_EQ(o.output, c.output);
    }
  }
  // Output capacity: exact fits, one byte less fails without writing past it.
  Bytes run = Window(0, {}, {kRun, 9, 'r'}, {});
  EXPECT_EQ(Decode(run, "", 9).run, 1);
  EXPECT_EQ(Decode(run, "", 8).run, 0);
  Bytes overlap = Window(0, {'x'}, Cat({{kAdd1, Copy(1, 0)}, Int(1000)}), Int(1));
  EXPECT_EQ(Decode(overlap, "", 1000).run, 0);
}

TEST(VCDiffDecoder, SourceRangeAndLargestDataSection) {
  DecoderGuard g;
  Bytes plain = Window(0, {}, {}, {});
  Bytes ranged = Window(0, {}, {}, {}, 1 | kVCDiffWindowHasRange, Cat({Int(12), Int(3)}));
  int32_t index = 0, count = 0;
  VCDiffDecoder_SetSourceRange(g.d, 5, 2);
  VCDiffDecoder_SetInput(g.d, plain.data(), int64_t(plain.size()));
  ASSERT_EQ(VCDiffDecoder_ReadWindowHeader(g.d), 1);
  VCDiffDecoder_GetSourceIndex(g.d, &index);
  VCDiffDecoder_GetSourceCount(g.d, &count);
  EXPECT_EQ(index * 100 + count, 502);
  VCDiffDecoder_SetInput(g.d, ranged.data(), int64_t(ranged.size()));
  ASSERT_EQ(VCDiffDecoder_ReadWindowHeader(g.d), 1);
  VCDiffDecoder_GetSourceIndex(g.d, &index);
  VCDiffDecoder_GetSourceCount(g.d, &count);
  EXPECT_EQ(index * 100 + count, 1203);

  // A data section of 2^31 - 1 bytes is read when the input holds it (the
  // pages behind the header are never touched).
  const size_t size = (size_t(1) << 31) + 64;
  void *area = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(area, MAP_FAILED);
  Bytes header = Cat({{1}, Int(0), Int(0), Int(0), Int(0), Int(2147483647u), Int(0), Int(0)});
  std::memcpy(area, header.data(), header.size());
  VCDiffDecoder_SetInput(g.d, area, int64_t(header.size() + 2147483647u));
  EXPECT_EQ(VCDiffDecoder_ReadWindowHeader(g.d), 1);
  VCDiffDecoder_SetInput(g.d, area, int64_t(header.size() + 2147483646u));
  EXPECT_EQ(VCDiffDecoder_ReadWindowHeader(g.d), 0);
  munmap(area, size);
}

// Generated cases: the decoder gives each target back byte for byte (the
// generator checked its Python reference decoder and, for xdelta3's deltas,
// xdelta3 itself against the same target).
TEST(VCDiffDecoder, MatchesReferenceDecoderAndXdelta3) {
  auto rows = Test_ReadRows("vcdiff/cases.txt");
  ASSERT_GE(rows.size(), 300u);
  DecoderGuard g;
  std::string sourceName, source;
  int prefixCases = 0;
  for (const auto &[line, f] : rows) {
    SCOPED_TRACE("cases.txt line " + std::to_string(line) + ": " + f[0]);
    ASSERT_EQ(f.size(), 7u);
    std::string delta = Test_ReadVectors("vcdiff/" + f[0]);
    if (f[1] != sourceName) source = Test_ReadVectors("vcdiff/" + (sourceName = f[1]));
    std::string target = Test_ReadVectors("vcdiff/" + f[2]);
    VCDiffDecoder_SetSourceRange(g.d, -7, -9);
    VCDiffDecoder_SetInput(g.d, delta.data(), int64_t(delta.size()));
    VCDiffDecoder_SetSource(g.d, source.data(), int64_t(source.size()));
    ASSERT_EQ(VCDiffDecoder_ReadWindowHeader(g.d), 1);
    int32_t index = 0, count = 0;
    VCDiffDecoder_GetSourceIndex(g.d, &index);
    VCDiffDecoder_GetSourceCount(g.d, &count);
    EXPECT_EQ(std::to_string(index), f[4] == "-" ? "-7" : f[4]);
    EXPECT_EQ(std::to_string(count), f[5] == "-" ? "-9" : f[5]);
    // An exact-size heap buffer: a byte written past it shows under ASan.
    std::vector<char> out(target.size());
    int64_t length = 0;
    ASSERT_EQ(VCDiffDecoder_Run(g.d, out.data(), int64_t(out.size()), &length), 1);
    ASSERT_EQ(length, int64_t(target.size()));
    ASSERT_TRUE(std::string(out.begin(), out.end()) == target);
    if (target.size() > 0 && target.size() < 100000) {
      VCDiffDecoder_SetInput(g.d, delta.data(), int64_t(delta.size()));
      VCDiffDecoder_ReadWindowHeader(g.d);
      std::vector<char> shorter(target.size() - 1);
      length = 0;
      EXPECT_EQ(VCDiffDecoder_Run(g.d, shorter.data(), int64_t(shorter.size()), &length), 0);
    }
    // Every proper prefix of a few small deltas fails.
    if (delta.size() < 200 && target.size() > 0 && prefixCases < 12) {
      ++prefixCases;
      for (size_t n = 0; n < delta.size(); ++n) {
        VCDiffDecoder_SetInput(g.d, delta.data(), int64_t(n));
        int ok = VCDiffDecoder_ReadWindowHeader(g.d);
        length = 0;
        if (ok) ok = VCDiffDecoder_Run(g.d, out.data(), int64_t(out.size()), &length);
        EXPECT_EQ(ok, 0) << "prefix of " << n << " bytes";
      }
    }
  }
  EXPECT_EQ(prefixCases, 12);

  // The RFC 3284 form of an xdelta3 case is refused.
  std::string rfc = Test_ReadVectors("vcdiff/rfc.delta");
  VCDiffDecoder_SetInput(g.d, rfc.data(), int64_t(rfc.size()));
  EXPECT_EQ(VCDiffDecoder_ReadWindowHeader(g.d), 0);
}

TEST(VCDiffDecoder, RunAllocatesNothing) {
  Mem_Init(0);
  int64_t count0 = 0, bytes0 = 0, count1 = 0, bytes1 = 0, count2 = 0, bytes2 = 0;
  Mem_GetUsage(&count0, &bytes0);
  {
    DecoderGuard g;
    Mem_GetUsage(&count1, &bytes1);
    EXPECT_GT(count1, count0);  // the record counts: the decoder's tables are in it
    std::string source(4096, 's');
    Bytes delta = Window(4096, {'a', 'b', 'c'},
                         Cat({{uint8_t(kAdd1 + 2), Copy(0, 0)}, Int(3000), {kRun}, Int(300),
                              {'r', Copy(1, 0)}, Int(2000)}),
                         Cat({Int(100), Int(50)}));
    std::vector<char> out(5303);
    int64_t length = 0;
    VCDiffDecoder_SetInput(g.d, delta.data(), int64_t(delta.size()));
    VCDiffDecoder_SetSource(g.d, source.data(), int64_t(source.size()));
    ASSERT_EQ(VCDiffDecoder_ReadWindowHeader(g.d), 1);
    EXPECT_EQ(VCDiffDecoder_Run(g.d, out.data(), int64_t(out.size()), &length), 1);
    EXPECT_EQ(length, 5303);
    Mem_GetUsage(&count2, &bytes2);
    EXPECT_EQ(count2, count1);
    EXPECT_EQ(bytes2, bytes1);
  }
  Mem_Shutdown();
}

}  // namespace
