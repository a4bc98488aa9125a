// Path text against its own example table and against Python (posixpath,
// pathlib, urllib.parse); directory creation against the kernel, including a
// read-only tmpfs.
#include "core/platform/path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/runtime/expand.h"
#include "core/runtime/str.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

std::string normalized(const std::string &input, int flags, int size = kPathMax) {
  std::vector<char> buffer(size_t(size) + 8, '#');
  memcpy(buffer.data(), input.c_str(), input.size() + 1);
  int result = Path_Normalize(buffer.data(), size, flags);
  return (result ? "" : "FAIL:") + std::string(buffer.data());
}

std::string homeDirectory() {
  char home[kPathMax];
  EXPECT_EQ(Platform_GetPath(kPathUserHome, home, sizeof home), 1);
  return home;
}

int countOf(const std::string &text, const std::string &needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    count++;
  return count;
}

// ---- Normaliser ---------------------------------------------------------------

// The example table, with '/' written and both separators read. Rows whose
// absolute path used to turn relative keep their root now.
TEST(PathNormalize, ExampleTable) {
  struct Row {
    const char *input;
    const char *flags1;
    const char *flags2;
    const char *flags5;
  } rows[] = {
      {"D:/a/b/", "D:/a/b", "D:/a/b/", "D:/a/b"},
      {"D:\\a\\\\b", "D:/a/b", "D:/a/b/", "D:/a/b"},
      {"D:\\a\\.\\b", "D:/a/b", "D:/a/b/", "D:/a/b"},
      {"D:\\a\\b\\..\\c", "D:/a/c", "D:/a/c/", "D:/a/c"},
      {"D:\\a\\b\\..", "D:/a", "D:/a/", "D:/a"},
      {"D:\\a\\..\\..\\b", "D:/b", "D:/b/", "D:/b"},  // the root stays
      {"a/b/../c", "a/c", "a/c/", "a/c"},
      {"./a", "a", "a/", "a"},
      {"../a", "a", "a/", "../a"},
      {"a\\..", "", "./", ""},
      {"D:\\", "D:/", "D:/", "D:/"},  // flag 1 keeps the root's separator
      {"D:", "D:", "D:/", "D:"},
      {"/a/b", "/a/b", "/a/b/", "/a/b"},
      {".", ".", "./", "."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.input);
    EXPECT_EQ(normalized(row.input, 1), row.flags1);
    EXPECT_EQ(normalized(row.input, 2), row.flags2);
    EXPECT_EQ(normalized(row.input, 5), row.flags5);
  }
}

TEST(PathNormalize, RootsPrefixesAndDots) {
  struct Row {
    const char *input;
    int flags;
    const char *expected;
  } rows[] = {
      {"/a/../../b", 0, "/b"},
      {"/..", 1, "/"},
      {"/", 1, "/"},
      {"\\", 0, "/"},
      {"//a//b", 0, "/a/b"},  // a leading "//" is one separator
      {"/\\a", 0, "/a"},
      {"\\\\server\\share\\x\\..\\y", 0, "\\\\server/share/y"},
      {"\\\\server\\..\\..\\x", 0, "\\\\x"},  // the prefix is a root too
      {"\\\\.\\pipe\\name", 0, "\\\\.\\pipe/name"},
      {"\\\\", 1, "\\\\"},
      {"//server", 0, "/server"},
      {"a/b/", 0, "a/b/"},
      {"a/b/.", 0, "a/b/"},
      {"a/b/..", 0, "a/"},
      {"a/./b", 0, "a/b"},
      {"./", 0, ""},
      {"./", 2, "./"},
      {".hidden/..x/...", 0, ".hidden/..x/..."},
      {"../../a", 4, "../../a"},
      {"../a/../../b", 4, "../../b"},
      {"a/../../b", 4, "../b"},
      {"..", 5, ".."},
      {"..", 4, ".."},  // a kept ".." gains no separator: there was none to read
      {"../..", 4, "../.."},
      {"..", 1, ""},
      {"D:a/../..", 0, ""},  // a drive without separator is a name like any other
      {"D:..\\x", 0, "D:../x"},
      {"a\\..\\D:.", 6, "D:./"},  // not the root "D:/"
      {"1:/a", 0, "1:/a"},  // not a drive: ':' is a name character
      {"", 2, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.input) + " flags " + std::to_string(row.flags));
    EXPECT_EQ(normalized(row.input, row.flags), row.expected);
  }
}

// Nothing is cut: a text without a terminator in its buffer, or a result
// that needs more room, fails with an empty text.
TEST(PathNormalize, TextThatDoesNotFitFails) {
  EXPECT_EQ(normalized("ab", 2, 3), "FAIL:");        // "ab/" needs 4 bytes
  EXPECT_EQ(normalized("ab", 2, 4), "ab/");
  EXPECT_EQ(normalized("a/..", 2, 5), "./");
  EXPECT_EQ(normalized(".", 2, 2), "FAIL:");         // "./" needs 3 bytes
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(Path_Normalize(unterminated, 4, 0), 0);
  EXPECT_EQ(unterminated[0], '\0');
  EXPECT_EQ(unterminated[1], 'b');  // nothing written past the size
  char any[4] = "abc";
  EXPECT_EQ(Path_Normalize(any, 0, 0), 0);
  EXPECT_STREQ(any, "abc");
}

// Differential: Python's posixpath.normpath over generated absolute paths
// with both separators and every kind of dot component.
TEST(PathNormalize, MatchesPosixpathNormpath) {
  std::stringstream in(Test_ReadVectors("path_normpath.txt"));
  std::string line, seed;
  std::getline(in, seed);
  int cases = 0, failures = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> fields = Test_SplitTabs(line);
    ASSERT_EQ(fields.size(), 2u) << line;
    std::string ours = normalized(fields[0], kPathRemoveTrailing);
    if (ours != fields[1] && ++failures <= 10)
      ADD_FAILURE() << seed << ": " << fields[0] << " gave " << ours << ", posixpath "
                    << fields[1];
    cases++;
  }
  EXPECT_EQ(cases, 100000);
  EXPECT_EQ(failures, 0) << seed;
}

TEST(PathNormalize, FixAndResolve) {
  std::string home = homeDirectory();
  std::string bare = home.substr(0, home.size() - 1);
  struct Row {
    const char *input;
    std::string expected;
  } rows[] = {
      {"~", bare},
      {"~/", home},
      {"~\\a\\..\\b", home + "b"},
      {"~/docs/", home + "docs/"},
      {"~name/x", "~name/x"},  // another user's home is not ours to guess
      {"/tmp//x/", "/tmp/x/"},
      {"/tmp/./x", "/tmp/x"},
      {"", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.input);
    char out[kPathMax];
    ASSERT_EQ(Path_Resolve(row.input, out, sizeof out), 1);
    EXPECT_EQ(std::string(out), row.expected);
  }
  char small[4];
  EXPECT_EQ(Path_Resolve("~/x", small, sizeof small), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNameTooLong);

  char fix[32] = "a//b/";
  EXPECT_EQ(Path_Fix(fix, sizeof fix, 0), 1);
  EXPECT_STREQ(fix, "a/b");
  EXPECT_EQ(Path_Fix(fix, sizeof fix, 1), 1);
  EXPECT_STREQ(fix, "a/b/");
}

TEST(PathText, Equal) {
  struct Row {
    const char *a, *b;
    int ignoreCase, expected;
  } rows[] = {
      {"/a/b", "\\a\\b", 0, 1}, {"/a/B", "/a/b", 0, 0}, {"/a/B", "/a/b", 1, 1},
      {"/a/b", "/a/b/", 0, 0},  {"", "", 0, 1},         {"\xc3\x84", "\xc3\xa4", 1, 0},
      {"a/", "a\\", 1, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.a) + " vs " + row.b);
    EXPECT_EQ(Path_Equal(row.a, row.b, row.ignoreCase), row.expected);
  }
}

TEST(PathText, Pieces) {
  struct Row {
    const char *path, *directory, *name, *title, *extension;
  } rows[] = {
      {"/a/b/file.tar.gz", "/a/b/", "file.tar.gz", "file.tar", "gz"},
      {"a\\b\\c.txt", "a\\b\\", "c.txt", "c", "txt"},
      {"/a/b.d/name", "/a/b.d/", "name", "name", ""},
      {"/a/b/", "/a/b/", "", "", ""},
      {"D:x.y", "D:", "x.y", "x", "y"},  // a drive's ':' separates
      {"dir/a:b.c", "dir/", "a:b.c", "a:b", "c"},  // elsewhere ':' is a name character
      {".hidden", "", ".hidden", "", "hidden"},
      {"name.", "", "name.", "name", ""},
      {"", "", "", "", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    char out[64];
    ASSERT_EQ(Path_GetDirectory(row.path, out, sizeof out), 1);
    EXPECT_STREQ(out, row.directory);
    ASSERT_EQ(Path_GetFileName(row.path, out, sizeof out), 1);
    EXPECT_STREQ(out, row.name);
    EXPECT_STREQ(Path_FindFileName(row.path), row.name);
    ASSERT_EQ(Path_GetFileTitle(row.path, out, sizeof out), 1);
    EXPECT_STREQ(out, row.title);
    ASSERT_EQ(Path_GetExtension(row.path, out, sizeof out, 0), 1);
    EXPECT_STREQ(out, row.extension);
    ASSERT_EQ(Path_GetExtension(row.path, out, sizeof out, 1), 1);
    const char *dot = Path_FindExtension(row.path);
    EXPECT_STREQ(out, dot ? dot : "");

    char edit[64];
    Str_Set(edit, row.path);
    Path_RemoveExtension(edit);
    EXPECT_EQ(std::string(edit), std::string(row.path).substr(0, dot ? dot - row.path
                                                                      : strlen(row.path)));
    Str_Set(edit, row.path);
    Path_RemoveFileName(edit);
    EXPECT_STREQ(edit, row.directory);
  }
}

TEST(PathText, PiecesThatDoNotFitFail) {
  char out[4] = "xyz";
  Platform_SetLastError(0);
  EXPECT_EQ(Path_GetFileName("/a/long", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNameTooLong);
  EXPECT_EQ(Path_GetDirectory("/abc/d", out, sizeof out), 0);
  EXPECT_EQ(Path_GetFileTitle("/abcd.e", out, sizeof out), 0);
  EXPECT_EQ(Path_GetExtension("/a.abcd", out, sizeof out, 0), 0);
  EXPECT_EQ(Path_GetExtension("/a.abc", out, sizeof out, 1), 0);
  EXPECT_EQ(Path_GetExtension("/a.abc", out, sizeof out, 0), 1);
  EXPECT_STREQ(out, "abc");
}

// ---- URLs --------------------------------------------------------------------------

// Differential: pathlib's as_uri and urllib's unquote for names with blanks,
// '#', '%', '?' and UTF-8 text.
TEST(PathUrl, RoundTripsAgainstPython) {
  std::stringstream in(Test_ReadVectors("path_url.txt"));
  std::string line;
  int cases = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> fields = Test_SplitTabs(line);
    ASSERT_EQ(fields.size(), 3u) << line;
    SCOPED_TRACE(fields[0]);
    char url[kPathMax], path[kPathMax];
    ASSERT_EQ(Path_ToUrl(fields[0].c_str(), url, sizeof url), 1);
    EXPECT_EQ(std::string(url), fields[1]);
    ASSERT_EQ(Path_FromUrl(fields[1].c_str(), path, sizeof path), 1);
    EXPECT_EQ(std::string(path), fields[2]);
    EXPECT_EQ(std::string(path), fields[0]);
    cases++;
  }
  EXPECT_GE(cases, 10);
}

TEST(PathUrl, Forms) {
  struct Row {
    const char *path, *url;
  } toRows[] = {
      {"/a/b", "file:///a/b"},
      {"\\a\\b c", "file:///a/b%20c"},
      {"D:\\x\\y", "file:///D:/x/y"},
      {"rel/x", "file:///rel/x"},
      {"\\\\server\\share", "file:////server/share"},
  };
  for (const Row &row : toRows) {
    SCOPED_TRACE(row.path);
    char url[64];
    ASSERT_EQ(Path_ToUrl(row.path, url, sizeof url), 1);
    EXPECT_STREQ(url, row.url);
  }
  struct FromRow {
    const char *url, *path;
    int error;  // 0: converts
  } fromRows[] = {
      {"file:///a/b", "/a/b", 0},
      {"FILE:///a/b", "/a/b", 0},
      {"file://localhost/a/b", "/a/b", 0},
      {"file:///D:/x", "D:/x", 0},
      {"file:///D%3A/x", "D:/x", 0},
      {"file:///D:%5Cx", "D:\\x", 0},  // the drive whatever separator follows
      {"file:///a%20b/%e6%97%a5", "/a b/\xe6\x97\xa5", 0},
      {"file:////server/share", "//server/share", 0},
      {"file:///a%00b", "", kPlatformErrorInvalidParameter},
      {"file:///a%2", "", kPlatformErrorInvalidParameter},
      {"file:///a%zz", "", kPlatformErrorInvalidParameter},
      {"file://otherhost/a", "", kPlatformErrorInvalidParameter},
      {"http://host/a", "", kPlatformErrorInvalidParameter},
      {"file:", "", kPlatformErrorInvalidParameter},
      {"file://localhost", "", kPlatformErrorInvalidParameter},
  };
  for (const FromRow &row : fromRows) {
    SCOPED_TRACE(row.url);
    char path[64] = "junk";
    Platform_SetLastError(0);
    EXPECT_EQ(Path_FromUrl(row.url, path, sizeof path), row.error ? 0 : 1);
    EXPECT_STREQ(path, row.path);
    EXPECT_EQ(Platform_GetLastError(), row.error);
  }
  char small[10];
  EXPECT_EQ(Path_ToUrl("/a b", small, sizeof small), 0);  // "file:///a%20b" needs 14
  EXPECT_STREQ(small, "");
  EXPECT_EQ(Path_FromUrl("file:///abcdefghijk", small, sizeof small), 0);
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNameTooLong);
}

// ---- Macros ------------------------------------------------------------------------

TEST(PathMacro, Handler) {
  struct Row {
    const char *name, *argument;
    int handled;
    const char *output;
  } rows[] = {
      {"PathSlash", "", 1, "/"},
      {"pathslash", "", 1, "/"},
      {"PathJoin", "D:\\a,b\\", 1, "D:/a/b/"},
      {"PathJoin", "D:\\a\\,b", 1, "D:/a/b"},
      {"PathJoin", "/x,y/,../z", 1, "/x/z"},
      {"PathJoin", "a", 1, "a"},
      {"PathParse", "/a/b/c.tar.gz,dir", 1, "/a/b/"},
      {"PathParse", "/a/b/c.tar.gz,directory", 1, "/a/b/"},
      {"PathParse", "/a/b/c.tar.gz,name", 1, "c.tar.gz"},
      {"PathParse", "/a/b/c.tar.gz,filename", 1, "c.tar.gz"},
      {"PathParse", "/a/b/c.tar.gz,nameWithoutExtension", 1, "c.tar"},
      {"PathParse", "/a/b/c.tar.gz,filenameWithoutExtension", 1, "c.tar"},
      {"PathParse", "/a/b/c.tar.gz,title", 1, "c.tar"},
      {"PathParse", "/a/b/c.tar.gz,extension", 1, "gz"},
      {"PathParse", "/a/b/c.tar.gz,EXTENSIONWITHDOT", 1, ".gz"},
      {"PathParse", "/a/b/c.tar.gz,size", 0, ""},
      {"PathParse", "/a/b/c", 0, ""},
      {"PathFix", "/a//b/../c", 1, "/a/c/"},
      {"PathFix", "/a//b/../c,false", 1, "/a/c"},
      {"PathFix", "/a//b/../c,1", 1, "/a/c/"},
      {"PathFix", "/a,b/c", 1, "/a,b/c/"},  // "b/c" is no boolean: part of the path
      {"PathToUrl", "/a b", 1, "file:///a%20b"},
      {"PathFromUrl", "file:///a%20b", 1, "/a b"},
      {"PathFromUrl", "http://a", 0, ""},
      {"PathUnknown", "x", 0, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.name) + ":" + row.argument);
    char argument[256], out[256] = "";
    Str_Set(argument, row.argument);
    int handled = Path_MacroHandler(row.name, argument, out, sizeof out);
    EXPECT_EQ(handled, row.handled);
    if (handled) {
      EXPECT_STREQ(out, row.output);
    } else {
      EXPECT_STREQ(argument, row.argument);  // left as it was
    }
  }
  char argument[] = "/a/b";
  char tiny[4];
  EXPECT_EQ(Path_MacroHandler("PathFix", argument, tiny, sizeof tiny), 0);
}

// Through the expander, in the slot Core_Init gives the handler; nested
// macros expand innermost first.
TEST(PathMacro, ThroughTheExpander) {
  StrExpandChainHandler saved = Str_GetExpandHandler(StrExpandSlot::Path);
  Str_SetExpandHandler(StrExpandSlot::Path, Path_MacroHandler);
  struct Row {
    const char *text, *expected;
  } rows[] = {
      {"{PathJoin:D:\\a,b\\}", "D:/a/b/"},
      {"{PathJoin:D:\\a\\,b}", "D:/a/b"},
      {"{PathParse:{PathJoin:/x,y.tar.gz},title}.zip", "y.tar.zip"},
      {"{PathFix:{UserHome}//cache/./x,false}", nullptr},
      {"a{PathSlash}b", "a/b"},
      {"{PathFromUrl:{PathToUrl:/a b#c}}", "/a b#c"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    char text[256];
    Str_Set(text, row.text);
    ASSERT_EQ(Str_Expand(text, sizeof text, nullptr, nullptr), 1);
    std::string expected = row.expected ? row.expected : homeDirectory() + "cache/x";
    EXPECT_EQ(std::string(text), expected);
  }
  Str_SetExpandHandler(StrExpandSlot::Path, saved);
}

// ---- Disk --------------------------------------------------------------------------

TEST(PathDisk, CreateDirectoryMakesOnlyTheDirectories) {
  FsFaultTempDir dir;
  std::string file = dir / "x/y/z/file.txt";
  int error = -1;
  ASSERT_EQ(Path_CreateDirectory(file.c_str(), 1, &error), 1);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(fs::is_directory(dir / "x/y/z"));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(Path_IsDirectory((dir / "x\\y\\z\\").c_str()), 1);
  EXPECT_EQ(Path_Exists((dir / "x/y/z").c_str()), 1);
  EXPECT_EQ(Path_Exists(file.c_str()), 0);

  // Again: nothing to do. A directory path without isFilePath makes all.
  EXPECT_EQ(Path_CreateDirectory(file.c_str(), 1, &error), 1);
  EXPECT_EQ(Path_CreateDirectory((dir / "p/q/").c_str(), 0, &error), 1);
  EXPECT_TRUE(fs::is_directory(dir / "p/q"));
  EXPECT_EQ(Path_CreateDirectory("", 0, &error), 1);
  EXPECT_EQ(Path_CreateDirectory("D:", 0, &error), 1);

  // A file in the way.
  { std::ofstream(dir / "plain") << "x"; }
  EXPECT_EQ(Path_CreateDirectory((dir / "plain").c_str(), 0, &error), 0);
  EXPECT_EQ(error, kPlatformErrorAlreadyExists);
  EXPECT_EQ(Path_CreateDirectory((dir / "plain/sub").c_str(), 0, &error), 0);
  EXPECT_EQ(error, kPlatformErrorAlreadyExists);
  EXPECT_EQ(Path_IsDirectory((dir / "plain").c_str()), 0);

  PlatformFileStatus status;
  ASSERT_EQ(Path_Stat((dir / "plain").c_str(), &status), 1);
  EXPECT_EQ(status.size, 1);
}

TEST(PathDisk, PipePathsAreLeftAlone) {
  int error = -1;
  Platform_SetLastError(0);
  EXPECT_EQ(Path_CreateDirectory("\\\\.\\pipe\\keelson\\x", 0, &error), 1);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Platform_GetLastError(), 0);  // nothing was asked of the disk
}

TEST(PathDisk, ReadOnlyFileSystemFailsOnceWithItsError) {
  FsFaultTempDir dir;
  std::string mount = dir / "ro";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=1M") || !child.RemountReadOnly(mount)) return;
    TestLogCapture capture;
    int error = -1;
    int result = Path_CreateDirectory((mount + "/a/b/c").c_str(), 0, &error);
    std::string lines = capture.Take();
    FSF_EXPECT_EQ(child, result, 0);
    FSF_EXPECT_EQ(child, error, kPlatformErrorWriteProtect);
    FSF_EXPECT_EQ(child, countOf(lines, "Unable to create directory"), 1);
    FSF_EXPECT(child, lines.find("Unable to create directory (" + mount + "/a) [LE: 19:00000013]") !=
                          std::string::npos);
  });
}

TEST(PathDisk, DeepPathsDoNotRecurse) {
  FsFaultTempDir dir;
  std::string deep = dir.path();
  while (deep.size() < kPathMax - 8) deep += "/d";
  int error = -1;
  ASSERT_EQ(Path_CreateDirectory(deep.c_str(), 0, &error), 1) << error;
  EXPECT_TRUE(fs::is_directory(deep));
  std::string tooLong = deep + std::string(16, 'x');
  EXPECT_EQ(Path_CreateDirectory(tooLong.c_str(), 0, &error), 0);
  EXPECT_EQ(error, kPlatformErrorNameTooLong);
}

// ---- Fatal paths ---------------------------------------------------------------------

TEST(PathDeathTest, NullArgumentsStop) {
  char buffer[16];
  int error;
  PlatformFileStatus status;
  std::vector<std::function<void()>> calls = {
      [] { Path_Normalize(nullptr, 4, 0); },
      [&] { Path_Resolve(nullptr, buffer, sizeof buffer); },
      [&] { Path_Resolve("a", nullptr, 4); },
      [] { Path_Equal(nullptr, "a", 0); },
      [&] { Path_GetDirectory(nullptr, buffer, sizeof buffer); },
      [&] { Path_GetFileName("a", nullptr, 4); },
      [&] { Path_GetFileTitle(nullptr, buffer, sizeof buffer); },
      [&] { Path_GetExtension(nullptr, buffer, sizeof buffer, 0); },
      [] { Path_FindFileName(static_cast<const char *>(nullptr)); },
      [] { Path_FindExtension(static_cast<const char *>(nullptr)); },
      [] { Path_RemoveExtension(nullptr); },
      [] { Path_RemoveFileName(nullptr); },
      [&] { Path_ToUrl(nullptr, buffer, sizeof buffer); },
      [&] { Path_FromUrl("file:///a", nullptr, 4); },
      [&] { Path_Stat(nullptr, &status); },
      [] { Path_Stat("/", nullptr); },
      [&] { Path_CreateDirectory(nullptr, 0, &error); },
      [] { Path_CreateDirectory("/", 0, nullptr); },
      [&] { Path_MacroHandler("PathSlash", nullptr, buffer, sizeof buffer); },
  };
  for (size_t i = 0; i < calls.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_DEATH(calls[i](), "Pointer is NULL\n");
  }
}

}  // namespace
