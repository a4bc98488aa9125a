#include "core/runtime/expand.h"

#include "core/formats/dictionary.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/runtime/cmdline.h"
#include "core/platform/platform.h"
#include "core/runtime/print.h"
#include "core/runtime/time.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

struct Expanded {
  int result;
  std::string text;
};

// Expands text in a buffer of size bytes (the text's own length plus the
// terminator when size is 0).
Expanded ExpandText(const std::string &text, void *userData = nullptr,
                    StrExpandHandler handler = nullptr, int size = kStrExpandWorkBytes) {
  std::vector<char> buffer(size_t(std::max<size_t>(size_t(size), text.size() + 1)), '\x5a');
  memcpy(buffer.data(), text.c_str(), text.size() + 1);
  int result = Str_Expand(buffer.data(), size, userData, handler);
  return {result, std::string(buffer.data())};
}

// A caller's handler answering from a name -> output map.
int MapHandler(void *userData, const char *name, const char *, char *out, int outSize) {
  const auto *names = static_cast<const std::map<std::string, std::string> *>(userData);
  auto found = names->find(name);
  if (found == names->end()) return 0;
  Str_Printf(out, outSize, "%s", found->second.c_str());
  return 1;
}

struct Row {
  const char *text;
  const char *expected;
};

void ExpectRows(const std::vector<Row> &rows) {
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    Expanded got = ExpandText(row.text);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.text, row.expected);
  }
}

std::string Nested(const std::string &open, int levels, const std::string &inner) {
  std::string text;
  for (int i = 0; i < levels; i++) text += open;
  text += inner;
  return text + std::string(size_t(levels), '}');
}

// Restores every slot of the chain when the test ends.
struct SlotGuard {
  StrExpandChainHandler saved[kStrExpandSlotCount];
  SlotGuard() {
    for (int i = 0; i < kStrExpandSlotCount; i++) saved[i] = Str_GetExpandHandler(StrExpandSlot(i));
  }
  ~SlotGuard() {
    for (int i = 0; i < kStrExpandSlotCount; i++) Str_SetExpandHandler(StrExpandSlot(i), saved[i]);
  }
};

}  // namespace

TEST(StrExpandDeathTest, NullBufferAndBadSlotStop) {
  EXPECT_DEATH(Str_Expand(nullptr, 10, nullptr, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Str_HasMacroStart(nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Str_SetExpandHandler(StrExpandSlot(12), nullptr), "Invalid macro handler slot 12\n");
  EXPECT_DEATH(Str_GetExpandHandler(StrExpandSlot(-1)), "Invalid macro handler slot -1\n");
}

TEST(StrExpand, GrammarAndOrder) {
  ExpectRows({
      {"a{b", "a{b"},
      {"{\"x\":1}", "{\"x\":1}"},
      {"{ {Upper:x}", "{ X"},
      {"{abc", "{abc"},
      {"{Upper:{Lower:AbC}}", "ABC"},
      {"{Unknown}{Upper:x}", "{Unknown}X"},
      {"{Unknown:{Upper:x}}", "{Unknown:X}"},
      {"{uPPER:x}", "X"},
      {"{Copy:a:b,c}", "a:b,c"},
      {"{Copy}", ""},
      {"abc {This} {Upper:x}", "abc abc  X"},
      {"{DiskImage}", "{DiskImage}"},
      {"{Upper:{Copy:{Lower:A}b}c}", "ABC"},
  });
}

TEST(StrExpand, MacroStartIsABraceBeforeALetterOrDigit) {
  struct Case {
    const char *text;
    int expected;
  } cases[] = {{"", 0},    {"plain", 0}, {"{\"x\":1}", 0}, {"{ a}", 0}, {"{", 0},
               {"{{a", 1}, {"x{9", 1},   {"{Z}", 1},       {"{_a}", 0}, {"{\xc3\xa9}", 0}};
  for (const Case &c : cases) EXPECT_EQ(Str_HasMacroStart(c.text), c.expected) << c.text;
}

TEST(StrExpand, StringFunctionsAndArithmetic) {
  ExpectRows({
      {"{Math:add,2,3}", "5"},
      {"{Add:2,3}", "5"},
      {"{Mul:4,5}", "20"},
      {"{Div:7,0}", "0"},
      {"{Mod:7,0}", "0"},
      {"{Div:-7,2}", "-3"},
      {"{Mod:-7,2}", "-1"},
      {"{Math:add,2}", "{Math:add,2}"},
      {"{Math:pow,2,3}", "{Math:pow,2,3}"},
      {"{Add:2}", "{Add:2}"},
      {"{Substring:1,3,hello}", "el"},
      {"{Substring:1,-1,hello}", "ello"},
      {"{Substring:9,12,hello}", ""},
      {"{Substring:1}", ""},
      {"{SubCopy:0,2,a,b}", "a,"},
      {"{Int32ToHex:1}", "01000000"},
      {"{ToHex:AB}", "4142"},
      {"{FromHex:0x4142}", "AB"},
      {"{FromHex:414}", "{FromHex:414}"},
      {"{If:yes,a,b}", "a"},
      {"{If:no,a,b}", "b"},
      {"{If:no,a}", ""},
      {"{If:yes,a}", "a"},
      {"{If:maybe,a,b}", "b"},
      {"{IndexOf:lo,hello}", "3"},
      {"{IndexOf:x,hello}", "-1"},
      {"{LastIndexOf:l,hello}", "3"},
      {"{Replace:l,L,hello}", "heLLo"},
      {"{Replace:,L,hello}", "hello"},
      {"{Trim:  a b \t}", "a b"},
      {"{Trim:xy,yxaxy}", "a"},
      {"{Capitalize:abc}", "Abc"},
      {"{Uncapitalize:ABC}", "aBC"},
      {"{Equals:a,a}", "1"},
      {"{Equals:a,a,}", "0"},
      {"{Int64Compare:-1,<,0}", "1"},
      {"{UInt64Compare:-1,<,0}", "0"},
      {"{Int64Compare:1,!=,0}", "0"},
      {"{VersionCompare:1.10,>,1.9}", "1"},
      {"{VersionCompare:1.2.0,==,1.2}", "1"},
      {"{VersionCompare:x,=,x}", "0"},
  });
  EXPECT_EQ(ExpandText("{Random}").text.size(), 120u);
  std::string guid = ExpandText("{Guid}").text;
  EXPECT_EQ(guid.size(), 32u);
  EXPECT_EQ(guid.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(StrExpand, ArithmeticWrapsInTwosComplement) {
  ExpectRows({
      {"{Div:-9223372036854775808,-1}", "-9223372036854775808"},
      {"{Mod:-9223372036854775808,-1}", "0"},
      {"{Math:div,-9223372036854775808,-1}", "-9223372036854775808"},
      {"{Add:9223372036854775807,1}", "-9223372036854775808"},
      {"{Sub:-9223372036854775808,1}", "9223372036854775807"},
      {"{Mul:9223372036854775807,2}", "-2"},
      {"{Mul:-9223372036854775808,-1}", "-9223372036854775808"},
  });
}

TEST(StrExpand, SubstringAndLimitClampToTheText) {
  ExpectRows({
      {"{Substring:-5,2,hello}", "he"},
      {"{Substring:-5,-1,hello}", "hello"},
      {"{Substring:1,-2,hello}", ""},
      {"{Substring:2,1,hello}", ""},
      {"{Substring:3,99,hello}", "lo"},
      {"{Substring:5,-1,hello}", ""},
      {"{Substring:-9223372036854775808,9223372036854775807,hello}", "hello"},
      {"{Limit:0,hello}", ""},
      {"{Limit:-3,hello}", ""},
      {"{Limit:2,hello}", "he"},
      {"{Limit:99,hello}", "hello"},
      {"{Limit:9223372036854775807,hello}", "hello"},
  });
}

TEST(StrExpand, BuiltInHandlersOfOtherModulesAnswerThroughTheChain) {
  ExpectRows({
      {"{ToBase64:abc}", "YWJj"},
      {"{Base64ToHex:YWJj}", "616263"},
      {"{SHA1:abc}", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"{Hash:MD5,a,b}", "b345e1dc09f20fdefdea469f09167892"},
      {"{CRC:abc}", "352441c2"},
      {"{HMACSHA256:key,a,b}", "6b6c8e895182192ebb94a3a38de249be0e77ce6b9a71917a087ff91bc808398a"},
      {"{HMAC:MD5,key,data}", "9d5c73ef85594d34ec4438b7c97e51d8"},
      {"{Hash}", "{Hash}"},
  });
}

TEST(StrExpand, CallersResultsAreExpandedInTurn) {
  std::map<std::string, std::string> names = {
      {"Greeting", "{Upper:hi} {Name}"}, {"Name", "bob"}, {"Self", "{Self}"}, {"Comma", ","}};
  struct Case {
    const char *text, *expected;
  } cases[] = {
      {"{Greeting}!", "HI bob!"},
      {"{Self}", "{Self}"},  // a result equal to the macro is left as it is
      {"{Upper:{Name}}", "BOB"},
      {"{Substring:1{Comma}3{Comma}hello}", "el"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Expanded got = ExpandText(c.text, &names, MapHandler);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.text, c.expected);
  }
}

TEST(StrExpand, ResultsThatDoNotFitLeaveTheBufferUnchanged) {
  TestLogCapture capture;
  // The caller's buffer is smaller than the result.
  Expanded small = ExpandText("{Upper:abcdef}", nullptr, nullptr, 15);
  EXPECT_EQ(small.result, 1);
  small = ExpandText("{Copy:abcdefghijklmnop}xyz", nullptr, nullptr, 27);
  EXPECT_EQ(small.result, 1);
  EXPECT_EQ(small.text, "abcdefghijklmnopxyz");
  small = ExpandText("{Env:PATH}", nullptr, nullptr, 11);
  EXPECT_EQ(small.result, 0);
  EXPECT_EQ(small.text, "{Env:PATH}");
  // The work text would pass 8191 bytes.
  std::map<std::string, std::string> names = {{"Big", std::string(5000, 'b')}};
  std::string text = "{Big}{Big}";
  Expanded big = ExpandText(text, &names, MapHandler);
  EXPECT_EQ(big.result, 0);
  EXPECT_EQ(big.text, text);
  // A text longer than the work text is refused whole, macro or not.
  std::string longText(kStrExpandWorkBytes, 'x');
  Expanded tooLong = ExpandText(longText);
  EXPECT_EQ(tooLong.result, 0);
  EXPECT_EQ(tooLong.text, longText);
  // The longest text that fits passes.
  std::string longest = "{Copy:a}" + std::string(kStrExpandWorkBytes - 1 - 8, 'x');
  Expanded fits = ExpandText(longest);
  EXPECT_EQ(fits.result, 1);
  EXPECT_EQ(fits.text.size(), size_t(kStrExpandWorkBytes - 1 - 7));
  std::string log = capture.Take();
  EXPECT_NE(log.find("String expansion failed for Big [5000 > 3191]"), std::string::npos) << log;
  EXPECT_NE(log.find("for a buffer of 11"), std::string::npos) << log;
  EXPECT_NE(log.find("text longer than 8191 bytes"), std::string::npos) << log;
}

TEST(StrExpand, NestingIsLimited) {
  TestLogCapture capture;
  Expanded deepest = ExpandText(Nested("{Upper:", kStrExpandMaxDepth, "x"));
  EXPECT_EQ(deepest.result, 1);
  EXPECT_EQ(deepest.text, "X");
  std::string tooDeep = Nested("{Upper:", kStrExpandMaxDepth + 1, "x");
  Expanded got = ExpandText(tooDeep);
  EXPECT_EQ(got.result, 0);
  EXPECT_EQ(got.text, tooDeep);
  EXPECT_NE(capture.Take().find("macros nested deeper than 32"), std::string::npos);
}

TEST(StrExpand, MacrosThatExpandIntoEachOtherStopAtTheLimit) {
  TestLogCapture capture;
  std::map<std::string, std::string> names = {{"A", "{B}"}, {"B", "{A}"}};
  Expanded got = ExpandText("x{A}y", &names, MapHandler);
  EXPECT_EQ(got.result, 0);
  EXPECT_EQ(got.text, "x{A}y");
  // The same through two environment variables and the built-in handlers.
  setenv("KEELSON_EXPAND_A", "{Env:KEELSON_EXPAND_B}", 1);
  setenv("KEELSON_EXPAND_B", "{Env:KEELSON_EXPAND_A}", 1);
  got = ExpandText("{Upper:{Env:KEELSON_EXPAND_A}}");
  EXPECT_EQ(got.result, 0);
  unsetenv("KEELSON_EXPAND_A");
  unsetenv("KEELSON_EXPAND_B");
  EXPECT_NE(capture.Take().find("String expansion stopped after 8192 macros"), std::string::npos);
}

// Every replacement makes its surroundings be scanned again; with thousands
// of unknown macros around two names that alternate, the replacement limit
// alone would allow some 16 million offers.
TEST(StrExpand, RescansOfManyUnknownMacrosStopAtTheOfferLimit) {
  TestLogCapture capture;
  std::string unknowns;
  for (int i = 0; i < 2000; i++) unknowns += "{u}";
  std::map<std::string, std::string> names = {{"Q", "{R:" + unknowns + "}"},
                                              {"R", "{Q:" + unknowns + "}"}};
  std::string text = "{Q:" + unknowns + "}";
  Expanded got = ExpandText(text, &names, MapHandler);
  EXPECT_EQ(got.result, 0);
  EXPECT_EQ(got.text, text);
  EXPECT_NE(capture.Take().find("String expansion stopped after 65536 macros offered"),
            std::string::npos);
  // Unknown macros inside a few levels of real ones stay well inside it.
  std::string many;
  for (int i = 0; i < 2000; i++) many += "{u" + std::to_string(i % 10) + "}";
  got = ExpandText("{Upper:{Lower:{Copy:" + many + "}}}");
  EXPECT_EQ(got.result, 1);
  std::string upper;
  for (int i = 0; i < 2000; i++) upper += "{U" + std::to_string(i % 10) + "}";
  EXPECT_EQ(got.text, upper);
}

int CountingHandler(void *userData, const char *name, const char *, char *, int) {
  (*static_cast<std::map<std::string, int> *>(userData))[name]++;
  return 0;
}

// A replacement deep inside unknown macros must not make the scan walk those
// again: with that, 765 bytes of nested macros once took seconds.
TEST(StrExpand, EachUnknownMacroIsOfferedOnce) {
  std::map<std::string, int> offers;
  Expanded got = ExpandText("{a:{b:{Upper:x}{c}}{Lower:Y}}{d}", &offers, CountingHandler);
  EXPECT_EQ(got.text, "{a:{b:X{c}}y}{d}");
  EXPECT_EQ(offers, (std::map<std::string, int>{{"a", 1}, {"b", 1}, {"c", 1}, {"d", 1}}));
  offers.clear();
  got = ExpandText(Nested("{u:", kStrExpandMaxDepth - 1, "{Upper:x}"), &offers, CountingHandler);
  EXPECT_EQ(got.result, 1);
  EXPECT_EQ(offers["u"], kStrExpandMaxDepth - 1);
}

// A recording handler per slot: each notes its slot when asked for "Claim"
// and answers when its slot is among the claimers.
std::vector<int> gAsked;
uint32_t gClaimers = 0;

template <int Slot>
int RecordingHandler(const char *name, char *, char *out, int outSize) {
  if (strcmp(name, "Claim") != 0) return 0;
  gAsked.push_back(Slot);
  if (!(gClaimers & (1u << Slot))) return 0;
  Str_Printf(out, outSize, "slot%d", Slot);
  return 1;
}

int RecordingCaller(void *, const char *name, const char *, char *out, int outSize) {
  if (strcmp(name, "Claim") != 0) return 0;
  gAsked.push_back(-1);
  Str_Printf(out, outSize, "caller");
  return 1;
}

template <int... Slots>
void FillRecorders(std::integer_sequence<int, Slots...>) {
  (Str_SetExpandHandler(StrExpandSlot(Slots), RecordingHandler<Slots>), ...);
}

TEST(StrExpand, ChainAsksSlotsInOrderThenTheCaller) {
  SlotGuard guard;
  FillRecorders(std::make_integer_sequence<int, kStrExpandSlotCount>());
  for (int first = 0; first < kStrExpandSlotCount; first++) {
    SCOPED_TRACE(first);
    gAsked.clear();
    gClaimers = ~0u << first;  // every slot from first on claims the name
    Expanded got = ExpandText("{Claim}", nullptr, RecordingCaller);
    EXPECT_EQ(got.text, "slot" + std::to_string(first));
    std::vector<int> expected;
    for (int i = 0; i <= first; i++) expected.push_back(i);
    EXPECT_EQ(gAsked, expected);
  }
  // Nobody in the chain claims it: the caller answers last; empty slots are
  // skipped.
  Str_SetExpandHandler(StrExpandSlot::Path, nullptr);
  Str_SetExpandHandler(StrExpandSlot::Registry, nullptr);
  gAsked.clear();
  gClaimers = 0;
  EXPECT_EQ(ExpandText("{Claim}", nullptr, RecordingCaller).text, "caller");
  EXPECT_EQ(gAsked, (std::vector<int>{0, 1, 2, 3, 5, 6, 7, 8, 9, 11, -1}));
  // Without a caller's handler the macro stays.
  gAsked.clear();
  EXPECT_EQ(ExpandText("{Claim}").text, "{Claim}");
  EXPECT_EQ(gAsked.size(), 10u);
}

TEST(StrExpand, CallersCannotOverrideBuiltInNames) {
  std::map<std::string, std::string> names = {{"Upper", "mine"}, {"ToBase64", "mine"}};
  EXPECT_EQ(ExpandText("{Upper:x}{ToBase64:abc}", &names, MapHandler).text, "XYWJj");
}

TEST(StrExpand, FixedSystemValues) {
  ExpectRows({
      {"{ModuleBitness}", "64"},
      {"[{ToolSuffix}{BundleSuffix}]", "[]"},
      {"{LibraryPrefix}x.{LibraryExtension}", "libx.so"},
      {"{SystemShortName}", "linux"},
      {"{SystemName}", "Linux"},
      {"{ModuleFileName}", "keelson_tests"},
      {"{ModuleFileTitle}", "keelson_tests"},
      {"{DiskSpace:/no/such/path/anywhere}", ""},
  });
  std::string elevated = ExpandText("{ModuleElevated}").text;
  EXPECT_TRUE(elevated == "0" || elevated == "1") << elevated;
}

TEST(StrExpand, EnvironmentVariables) {
  setenv("KEELSON_EXPAND_SET", "value,with:{Upper:x}", 1);
  setenv("KEELSON_EXPAND_EMPTY", "", 1);
  unsetenv("KEELSON_EXPAND_UNSET");
  ExpectRows({
      {"{Env:KEELSON_EXPAND_SET}", "value,with:X"},
      {"[{Env:KEELSON_EXPAND_EMPTY}]", "[]"},
      {"{Env:KEELSON_EXPAND_UNSET}", "{Env:KEELSON_EXPAND_UNSET}"},
      {"{Env}", "{Env}"},
  });
  unsetenv("KEELSON_EXPAND_SET");
  unsetenv("KEELSON_EXPAND_EMPTY");
}

TEST(StrExpand, WellKnownDirectoriesComeFromThePlatform) {
  char desktop[kPathMax];
  ASSERT_TRUE(Platform_GetPath(kPathUserDesktop, desktop, sizeof desktop));
  char temp[kPathMax];
  ASSERT_TRUE(Platform_GetTempDirectory(temp, sizeof temp));
  char appData[kPathMax];
  ASSERT_TRUE(Platform_GetAppDataDirectory(appData, sizeof appData));
  char program[kPathMax];
  ASSERT_TRUE(Platform_GetModuleFileName(nullptr, program, sizeof program));
  ExpectRows({
      {"{UserDesktop}", desktop},
      {"{Temp}", temp},
      {"{ModuleLogDirectory}", appData},
      {"{CommonAppData}", "/var/lib/"},
      {"{ModulePath}", program},
      {"{ModuleAppPath}", program},
      {"{ModuleAppDirectory}{ModuleFileName}", program},
      {"{CommonDesktop}", "{CommonDesktop}"},  // nothing answers here
  });
}

TEST(StrExpand, CommandLineAndTime) {
  CmdLine_Init("prog \"first arg\" --name=\"a b\" --flag");
  ExpectRows({
      {"{CommandLine}", "\"first arg\" --name=\"a b\" --flag"},
      {"{CommandLine:name}", "a b"},
      {"{CommandLine:NAME}", "a b"},
      {"[{CommandLine:missing}]", "[]"},
  });
  CmdLine_Free();
  CmdLine_Init("prog");
  EXPECT_EQ(ExpandText("[{CommandLine}]").text, "[]");
  CmdLine_Free();

  double before = Time_Now();
  int64_t now = std::stoll(ExpandText("{Time}").text);
  int64_t minute = std::stoll(ExpandText("{Time60}").text);
  double after = Time_Now();
  EXPECT_GE(now, int64_t(before));
  EXPECT_LE(now, int64_t(after));
  EXPECT_EQ(minute % 60, 0);
  EXPECT_LE(int64_t(before) - minute, 60 + int64_t(after - before));
  ExpectRows({
      {"{TimeStamp:0}", "19700101000000"},
      {"{TimeStamp:1709164800.9}", "20240229000000"},
      {"[{TimeStamp:-1}]", "[]"},
      {"[{TimeStamp:253402300800}]", "[]"},
  });
}

TEST(StrExpand, MatchesPythonOracle) {
  std::string vectors = Test_ReadVectors("expand_ops.txt");
  auto fromHex = [](const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      out.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
  };
  size_t start = 0, cases = 0, failures = 0;
  std::string seed;
  while (start < vectors.size()) {
    size_t end = vectors.find('\n', start);
    if (end == std::string::npos) end = vectors.size();
    std::string line = vectors.substr(start, end - start);
    start = end + 1;
    if (line.rfind("# seed", 0) == 0) seed = line;
    if (line.empty() || line[0] == '#') continue;
    size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    std::string text = fromHex(line.substr(0, tab));
    std::string expected = fromHex(line.substr(tab + 1));
    Expanded got = ExpandText(text);
    cases++;
    if (got.result != 1 || got.text != expected) {
      ADD_FAILURE() << seed << ": " << text << " gave " << got.result << " '" << got.text
                    << "', expected '" << expected << "'";
      if (++failures > 20) break;
    }
  }
  EXPECT_GE(cases, 10000u);
}

TEST(ExpandThreaded, ThreadsExpandAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> bad(8, 0);
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < 200; i++) {
        std::string text =
            "t" + std::to_string(t) + " {Upper:{This}}{Add:" + std::to_string(i) + ",1}";
        std::string expected =
            "t" + std::to_string(t) + " T" + std::to_string(t) + " " + std::to_string(i + 1);
        if (ExpandText(text).text != expected) bad[size_t(t)]++;
      }
    });
  }
  for (auto &thread : threads) thread.join();
  for (int t = 0; t < 8; t++) EXPECT_EQ(bad[size_t(t)], 0) << t;
}

TEST(StrExpand, DictionaryStringsExpandInPlaceAndLongTextsStayWhole) {
  std::map<std::string, std::string> names = {{"Host", "example.org"}, {"Loop", "{Loop}"}};
  Dictionary *root = nullptr;
  ASSERT_EQ(Dictionary_Create(&root), 1);
  Dictionary *list = nullptr, *inner = nullptr;
  Dictionary_AddString(root, "url", "https://{Host}/a", nullptr);
  Dictionary_AddInt64(root, "count", 7, nullptr);
  Dictionary_AddList(root, "mirrors", &list, nullptr);
  Dictionary_AddString(list, nullptr, "{Host}:{Add:40,3}", nullptr);
  Dictionary_AddDictionary(list, nullptr, &inner, nullptr);
  Dictionary_AddString(inner, "deep", "{Upper:{Host}}", nullptr);
  // 3000 bytes without a macro start, and a long text with one that cannot fit
  // the work buffer once expanded: both stay whole.
  std::string plain(3000, 'p');
  plain += "{ not a macro }";
  Dictionary_AddString(root, "blob", plain.c_str(), nullptr);
  std::string tooLong = "{Host}" + std::string(kStrExpandWorkBytes - 10, 'x');
  Dictionary_AddString(root, "huge", tooLong.c_str(), nullptr);
  Dictionary_AddString(root, "cycle", "{Loop}", nullptr);

  EXPECT_EQ(Dictionary_ExpandStrings(root, &names, MapHandler), 1);
  auto text = [&](const char *path) {
    const char *t = nullptr;
    int32_t length = 0;
    EXPECT_EQ(Dictionary_GetTextByPath(root, path, &t, &length), 1) << path;
    return std::string(t ? t : "");
  };
  EXPECT_EQ(text("url"), "https://example.org/a");
  EXPECT_EQ(text("count"), "7");
  EXPECT_EQ(text("mirrors[0]"), "example.org:43");
  EXPECT_EQ(text("mirrors[1].deep"), "EXAMPLE.ORG");
  EXPECT_EQ(text("blob"), plain);
  EXPECT_EQ(text("huge"), tooLong);
  EXPECT_EQ(text("cycle"), "{Loop}");
  Dictionary_Release(&root);
}
