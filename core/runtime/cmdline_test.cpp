#include "core/runtime/cmdline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

std::string argAt(const char *cmdline, int index) {
  char out[kCmdLineBytes];
  if (!CmdLine_GetArg(cmdline, index, out, sizeof out)) return "<none>";
  return out;
}

std::string optionOf(const char *cmdline, const char *name) {
  char out[kCmdLineBytes];
  if (!CmdLine_GetOption(cmdline, name, out, sizeof out)) return "<none>";
  return out;
}

int argCount(const char *cmdline) {
  int count = -1;
  int result = CmdLine_GetArgCount(cmdline, &count);
  EXPECT_EQ(result, count > 0 ? 1 : 0);
  return count;
}

std::string join(const std::vector<std::string> &args) {
  std::vector<const char *> argv;
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);  // as main's argv ends
  char buffer[kCmdLineBytes];
  EXPECT_EQ(CmdLine_JoinArgv(int(args.size()), argv.data(), buffer, sizeof buffer), 1);
  return buffer;
}

std::string asciiLower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// A random argument: any byte 1-255, or mostly the characters that matter to
// the tokenizer, or an option.
std::string randomArgument(std::mt19937 &rng, int optionNumber) {
  static const char kTricky[] = "\"\" =-\t\r\nab=\"-";
  int kind = int(rng() % 4);
  int length = int(rng() % 25);
  std::string s;
  for (int i = 0; i < length; i++)
    s += kind == 0 ? char(1 + rng() % 255) : kTricky[rng() % (sizeof kTricky - 1)];
  if (kind == 3) s = "--o" + std::to_string(optionNumber) + (rng() % 2 ? "=" : "") + s;
  return s;
}

}  // namespace

TEST(CmdLineDeathTest, InitTwiceAndFreeWithoutInitStop) {
  EXPECT_DEATH(CmdLine_Free(), "Assertion failed \\(GlobalArgV != NULL\\)\nCommand line not initialized");
  CmdLine_Init("app --debug");
  EXPECT_DEATH(CmdLine_Init("app"),
               "Assertion failed \\(GlobalArgV == NULL\\)\nCommand line already initialized");
  CmdLine_Free();
}

TEST(CmdLineDeathTest, NullPointersStop) {
  char out[8];
  int count;
  const char *start, *end;
  const char *argv[] = {"app", nullptr};
  const std::function<void()> calls[] = {
      [] { CmdLine_Init(nullptr); },
      [] { CmdLine_Append(nullptr); },
      [&] { CmdLine_JoinArgv(1, nullptr, out, sizeof out); },
      [&] { CmdLine_JoinArgv(2, argv, out, sizeof out); },
      [&] { CmdLine_JoinArgv(1, argv, nullptr, 8); },
      [&] { CmdLine_Tokenize("a", 0, nullptr, &start, &end); },
      [&] { CmdLine_Tokenize("a", 0, &count, nullptr, &end); },
      [&] { CmdLine_GetArgCount("a", nullptr); },
      [] { CmdLine_GetArg("a", 0, nullptr, 8); },
      [&] { CmdLine_GetOption("a", nullptr, out, sizeof out); },
      [] { CmdLine_GetOption("a", "x", nullptr, 8); },
      [] { CmdLine_HasOption("a", nullptr); },
      [&] { CmdLine_GetOptionName(nullptr, out, sizeof out); },
  };
  for (size_t n = 0; n < std::size(calls); n++) {
    SCOPED_TRACE(n);
    EXPECT_DEATH(calls[n](), "Pointer is NULL\n");
  }
}

TEST(CmdLine, Arguments) {
  struct Row {
    const char *text;
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"", {}},
      {" \t\r\n", {}},
      {"a b ", {"a", "b"}},
      {"  a\tb\r\nc", {"a", "b", "c"}},
      {"\"D:\\Program Files\\x.exe\" --debug", {"D:\\Program Files\\x.exe", "--debug"}},
      {"\"abc\"def", {"abc", "def"}},
      {"\"abc\" def", {"abc", "def"}},
      {"\"\"", {""}},
      {"\"\" \"\"", {"", ""}},
      {"\"a\"\"b\"", {"a\"b"}},
      {"\"\"\"x y\"", {"\"x y"}},
      {"\"open to the end", {"open to the end"}},
      {"ab\"c d\"", {"ab\"c", "d\""}},  // quotes before '=' are ordinary
      {"--v=\"a b\"c d", {"--v=\"a b\"", "c", "d"}},  // a quoted value ends the argument
      {"--v=\"\"x", {"--v=\"x"}},
      {"--v=\"a\"\"b\"", {"--v=\"a\"b\""}},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", {"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    ASSERT_EQ(argCount(row.text), int(row.args.size()));
    for (size_t i = 0; i < row.args.size(); i++) EXPECT_EQ(argAt(row.text, int(i)), row.args[i]);
    EXPECT_EQ(argAt(row.text, int(row.args.size())), "<none>");
    EXPECT_EQ(argAt(row.text, -1), "<none>");
  }
}

TEST(CmdLine, TokenizeGivesTheTextAsWritten) {
  struct Row {
    const char *text;
    int index, result, count;
    const char *raw;
  };
  const Row rows[] = {
      {"app --debug", 1, 1, 2, "--debug"},
      {"app --debug", 5, 0, 2, ""},
      {"app \"a b\" c", 1, 1, 2, "\"a b\""},
      {"app --v=\"a b\" c", 1, 1, 2, "--v=\"a b\""},
      {"app \"a b", 1, 1, 2, "\"a b"},
      {"a b ", -1, 0, 2, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    int count = -1;
    const char *start = nullptr, *end = nullptr;
    EXPECT_EQ(CmdLine_Tokenize(row.text, row.index, &count, &start, &end), row.result);
    EXPECT_EQ(count, row.count);
    EXPECT_EQ(std::string(start, end), row.raw);
  }
}

TEST(CmdLine, Options) {
  struct Row {
    const char *text;
    const char *name;
    int has;
    const char *value;
  };
  const Row rows[] = {
      {"app.exe --debug --verbose=\"Json*,Dictionary\"", "debug", 1, "<none>"},
      {"app.exe --debug --verbose=\"Json*,Dictionary\"", "verbose", 0, "Json*,Dictionary"},
      {"app --verbose=\"Json\"\"x\"", "verbose", 0, "Json\"x"},
      {"app --Debug=INFO", "debug", 0, "INFO"},
      {"app --DEBUG", "debug", 1, "<none>"},
      {"app --debugfile=x", "debug", 0, "<none>"},
      {"app --debugfile", "debug", 0, "<none>"},
      {"app --debug=", "debug", 0, ""},
      {"app --debug=a --debug=b", "debug", 0, "a"},
      {"app -debug", "debug", 0, "<none>"},
      {"app debug=1", "debug", 0, "<none>"},
      {"app --verbose=\"x --debug\"", "debug", 0, "<none>"},
      {"app --verbose=\"x --debug\"", "verbose", 0, "x --debug"},
      {"app \"--verbose=x --debug\"", "debug", 0, "<none>"},
      {"app \"--dir=/a b/\"\"c\"\"\"", "dir", 0, "/a b/\"c\""},  // quoted whole
      {"app \"--debug\"", "debug", 1, "<none>"},
      {"app --debug\"", "debug", 0, "<none>"},
      {"app --v=\"open", "v", 0, "open"},
      {"", "debug", 0, "<none>"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.text << " / " << row.name);
    EXPECT_EQ(CmdLine_HasOption(row.text, row.name), row.has);
    EXPECT_EQ(optionOf(row.text, row.name), row.value);
  }
}

TEST(CmdLine, OutputIsCutToItsSize) {
  char out[4];
  EXPECT_EQ(CmdLine_GetArg("app abcdef", 1, out, sizeof out), 1);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(CmdLine_GetOption("app --v=\"abcdef\"", "v", out, sizeof out), 1);
  EXPECT_STREQ(out, "abc");
  memcpy(out, "old", 4);
  EXPECT_EQ(CmdLine_GetArg("app", 3, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST(CmdLine, OptionName) {
  struct Row {
    const char *argument;
    int size, result;
    const char *name;
  };
  const Row rows[] = {
      {"--verbose=x", 32, 1, "verbose"}, {"--debug", 32, 1, "debug"},
      {"--a b", 32, 1, "a"},             {"--", 32, 1, ""},
      {"-x", 32, 0, ""},                 {"debug", 32, 0, ""},
      {"--verbose", 8, 1, "verbose"},    {"--verbose", 7, 0, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.argument);
    char out[32] = "old";
    EXPECT_EQ(CmdLine_GetOptionName(row.argument, out, row.size), row.result);
    EXPECT_STREQ(out, row.name);
  }
}

TEST(CmdLine, JoinQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(join({"/usr/bin/keelson", "--debug", "--verbose=Json*", "a=b"}),
            "/usr/bin/keelson --debug --verbose=Json* a=b");
  EXPECT_EQ(join({"app", "", "a b", "say \"hi\"", "tab\there"}),
            "app \"\" \"a b\" \"say \"\"hi\"\"\" \"tab\there\"");
  EXPECT_EQ(join({}), "");
}

TEST(CmdLine, JoinKeepsOnlyWholeArguments) {
  const char *argv[] = {"app", "abc", "defgh"};
  char buffer[10];
  EXPECT_EQ(CmdLine_JoinArgv(3, argv, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "app abc");
  EXPECT_EQ(CmdLine_JoinArgv(2, argv, buffer, 8), 1);
  EXPECT_STREQ(buffer, "app abc");
  EXPECT_EQ(CmdLine_JoinArgv(2, argv, buffer, 7), 0);
  EXPECT_STREQ(buffer, "app");
}

TEST(CmdLine, RandomArgvRoundTrips) {
  const uint32_t seed = 1107;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int n = 0; n < 10000; n++) {
    std::vector<std::string> args;
    int argc = 1 + int(rng() % 8);
    for (int i = 0; i < argc; i++) args.push_back(randomArgument(rng, i));
    std::string text = join(args);
    SCOPED_TRACE(testing::Message() << "case " << n << ": " << text);
    ASSERT_EQ(argCount(text.c_str()), argc);
    for (int i = 0; i < argc; i++) ASSERT_EQ(argAt(text.c_str(), i), args[i]) << "argument " << i;
    // Options survive the quoting: the first argument that reads --name=...
    // gives the value, and --name alone is present.
    for (int i = 0; i < argc; i++) {
      std::string name = "o" + std::to_string(i);
      std::string value = "<none>";
      int has = 0;
      for (const std::string &a : args) {
        std::string lower = asciiLower(a);
        if (value == "<none>" && lower.rfind("--" + name + "=", 0) == 0)
          value = a.substr(name.size() + 3);
        if (lower == "--" + name) has = 1;
      }
      ASSERT_EQ(optionOf(text.c_str(), name.c_str()), value) << name;
      ASSERT_EQ(CmdLine_HasOption(text.c_str(), name.c_str()), has) << name;
    }
  }
}

TEST(CmdLine, InitSplitsTheStoredText) {
  std::vector<std::string> args = {"/opt/app", "--debug", "two words", "", "--v=\"q\""};
  ASSERT_EQ(CmdLine_Init(join(args).c_str()), 1);
  int count = -1;
  const char *const *argv = CmdLine_GetArgV(&count);
  ASSERT_NE(argv, nullptr);
  ASSERT_EQ(count, int(args.size()));
  for (int i = 0; i < count; i++) EXPECT_STREQ(argv[i], args[size_t(i)].c_str());
  EXPECT_EQ(argv[count], nullptr);
  // NULL reads the stored text.
  EXPECT_EQ(argCount(nullptr), 5);
  EXPECT_EQ(CmdLine_HasOption(nullptr, "debug"), 1);
  EXPECT_EQ(optionOf(nullptr, "v"), "\"q\"");

  EXPECT_EQ(CmdLine_Append("--extra"), 1);
  EXPECT_EQ(argAt(nullptr, 5), "--extra");
  EXPECT_EQ(CmdLine_GetArgV(&count), argv);  // not rebuilt
  EXPECT_EQ(count, 5);
  CmdLine_Free();
  EXPECT_EQ(CmdLine_GetArgV(&count), nullptr);
  EXPECT_EQ(argCount(nullptr), 0);
}

TEST(CmdLine, AppendStaysWithinTheBuffer) {
  ASSERT_EQ(CmdLine_Init(""), 1);
  EXPECT_EQ(CmdLine_Append("app"), 1);  // no blank in front of the first text
  EXPECT_EQ(CmdLine_Append("--a"), 1);
  EXPECT_EQ(argCount(nullptr), 2);
  EXPECT_EQ(argAt(nullptr, 0), "app");
  std::string fill(kCmdLineMaxChars - 8 - 2, 'x');  // "app --a " and fill: 4093 bytes
  EXPECT_EQ(CmdLine_Append(fill.c_str()), 1);
  EXPECT_EQ(CmdLine_Append("yz"), 0);  // 4096 characters would not fit
  EXPECT_EQ(argCount(nullptr), 3);
  EXPECT_EQ(CmdLine_Append("y"), 1);   // exactly 4095
  EXPECT_EQ(argAt(nullptr, 3), "y");
  CmdLine_Free();

  ASSERT_EQ(CmdLine_Init("app "), 1);
  EXPECT_EQ(CmdLine_Append("b"), 1);
  EXPECT_EQ(argCount(nullptr), 2);
  CmdLine_Free();
}

TEST(CmdLine, InitCutsLongTextAtACharacterBoundary) {
  // 4094 ASCII bytes and a two-byte character: the character would straddle
  // the 4095th byte, so it goes whole.
  std::string text(kCmdLineMaxChars - 1, 'a');
  text += "\xC3\xA9 more";
  EXPECT_EQ(CmdLine_Init(text.c_str()), 0);
  EXPECT_EQ(argAt(nullptr, 0), std::string(kCmdLineMaxChars - 1, 'a'));
  EXPECT_EQ(argCount(nullptr), 1);
  CmdLine_Free();

  std::string exact(kCmdLineMaxChars, 'b');
  EXPECT_EQ(CmdLine_Init(exact.c_str()), 1);
  EXPECT_EQ(argAt(nullptr, 0), exact);
  CmdLine_Free();
}
