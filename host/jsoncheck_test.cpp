// The strict check of hand-written JSON: where it goes wrong and why.
#include "host/jsoncheck.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Each fault a hand-edited file shows, at the line and column to fix; the
// valid rows include what the lenient reader also takes.
TEST(JsonCheck, FaultsAtLineAndColumn) {
  struct Row {
    const char *text;
    int line, column;  // 0: valid
    const char *reason;
  } rows[] = {
      {"{\"a\": 1, \"b\": [true, false, null, -0.5e+3, \"\\u00e9\\n\"]}", 0, 0, ""},
      {"\xEF\xBB\xBF [ ] \n", 0, 0, ""},
      {"{\n  \"a\": 1\n  \"b\": 2\n}", 3, 3, "missing ',' or '}' after a member, '\"' instead"},
      {"{\n  \"a\": 1,\n}", 2, 9, "a trailing comma before '}'"},
      {"[1, 2,]", 1, 6, "a trailing comma before ']'"},
      {"{\n  \"a\": {\"b\": 1}\n", 3, 1, "the object opened at line 1, column 1 is not closed"},
      {"{\"a\": [1, 2}", 1, 12, "missing ',' or ']' after an element, '}' instead"},
      {"{\"a\" 1}", 1, 6, "missing ':' after the member name, '1' instead"},
      {"{a: 1}", 1, 2, "a member name in double quotes expected, not 'a'"},
      {"{\"a\": 'x'}", 1, 7, "''' cannot begin a value (strings need double quotes)"},
      {"{\"a\": \"x}", 1, 7, "a string that is not closed (no '\"' before the end of the file)"},
      {"{\"a\": \"\\q\"}", 1, 8, "an unknown escape in a string"},
      {"{\"a\": \"\t\"}", 1, 8, "a control character inside a string (escape it)"},
      {"[01]", 1, 2, "a number with a leading zero"},
      {"[1.]", 1, 4, "no digit after a decimal point"},
      {"[tru]", 1, 2, "'t' cannot begin a value (strings need double quotes)"},
      {"{} {}", 1, 4, "'{' after the value (only one value may stand in the file)"},
      {"  \n ", 2, 2, "no value: the file is empty"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    JsonCheckFault fault{};
    int ok = JsonCheck_Text(row.text, int64_t(strlen(row.text)), &fault);
    EXPECT_EQ(ok, row.line == 0);
    if (row.line == 0) continue;
    EXPECT_EQ(fault.line, row.line);
    EXPECT_EQ(fault.column, row.column);
    EXPECT_STREQ(fault.reason, row.reason);
  }
}

// Nesting is bounded: a deep file is refused, not a stack overflow.
TEST(JsonCheck, DeepNestingIsRefused) {
  std::string deep(100000, '[');
  JsonCheckFault fault{};
  EXPECT_EQ(JsonCheck_Text(deep.data(), int64_t(deep.size()), &fault), 0);
  EXPECT_STREQ(fault.reason, "nesting too deep");
  EXPECT_EQ(fault.column, kJsonCheckMaxDepth + 1);
}

}  // namespace
