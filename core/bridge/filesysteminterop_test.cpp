#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "core/bridge/apigen.h"
#include "core/bridge/coreinterop.h"
#include "core/formats/dictionary.h"
#include "core/platform/directorysize.h"
#include "core/platform/eventqueue.h"
#include "core/platform/notification.h"
#include "tests/core_class_page.h"
#include "tests/dirops_test_util.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/page_recorder.h"
#include "tests/test_params.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

namespace {

// A JSON string.
std::string q(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string shell(const std::string &command) {
  int status = 0;
  std::string out = Test_RunCommand(command, &status);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// A page with its QVN.NotificationCenter and QVN.FileSystem instances, made
// through the core module as the host does, and a scratch directory.
class FileSystemInteropTest : public CoreClassPageTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Open("QVN.FileSystem");
  }
  void TearDown() override {
    Path_StopDirectorySize();
    CoreClassPageTest::TearDown();
  }
  // The output of method with the parameters (a JSON fragment, may be empty).
  std::string Call(const std::string &method, const std::string &params) {
    std::string binding = "{\"method\":" + q(method) + (params.empty() ? "" : ",") + params + "}";
    return TestParams_Call(id_, binding).second;
  }
  std::string PathCall(const std::string &method, const std::string &path) {
    return Call(method, "\"path\":" + q(path));
  }
  FsFaultTempDir dir_;
};

std::string answer(const std::string &value) { return "{\"returnValue\":" + value + "}"; }

}  // namespace

TEST_F(FileSystemInteropTest, TextOperations) {
  struct Case {
    const char *method;
    const char *params;
    const char *value;
  } cases[] = {
      {"getExtension", R"("path":"/dir.d/file","includeDot":false)", R"("")"},
      {"getExtension", R"("path":"C:\\dir.d\\file","includeDot":true)", R"("")"},
      {"getExtension", R"("path":"a.tar.gz","includeDot":false)", R"("gz")"},
      {"getExtension", R"("path":"a.tar.gz","includeDot":true)", R"(".gz")"},
      {"pathToUrl", R"("path":"/x/y")", R"("file:///x/y")"},
      {"pathToUrl", R"("path":"C:\\x\\y")", R"("file:///C:/x/y")"},
      {"pathToUrl", R"("path":"\\\\server\\share")", R"("file:////server/share")"},
      {"urlToPath", R"("url":"file:///x/y")", R"("/x/y")"},
      {"urlToPath", R"("url":"file://localhost/x/y")", R"("/x/y")"},
      {"urlToPath", R"("url":"file:///C/dir/a.txt")", R"("/C/dir/a.txt")"},
      {"urlToPath", R"("url":"http://host/x/y")", R"("")"},
      {"normalize", R"("path":"/a//b/./c/../d","trailingSlash":true)", R"("/a/b/d/")"},
      {"normalize", R"("path":"C:/a//b/./c/../d","trailingSlash":true)", R"("C:/a/b/d/")"},
      {"normalize", R"("path":"C:/a//b/./c/../d/","trailingSlash":false)", R"("C:/a/b/d")"},
      {"normalize", R"("path":".","trailingSlash":true)", R"("./")"},
      {"normalize", R"("path":"","trailingSlash":true)", R"("")"},
      {"isSamePath", R"("path":"C:\\A","comparePath":"c:/a","ignoreCase":true)", "true"},
      {"isSamePath", R"("path":"C:\\A","comparePath":"c:/a","ignoreCase":false)", "false"},
      {"isSamePath", R"("path":"C:\\a","comparePath":"C:/a","ignoreCase":false)", "true"},
      {"getFileName", R"("path":"/d/x.tar.gz")", R"("x.tar.gz")"},
      {"getFileName", R"("path":"D:x")", R"("x")"},
      {"getFileNameWithoutExtension", R"("path":"/d/x.tar.gz")", R"("x.tar")"},
      {"getDirectory", R"("path":"/d/e/x.txt")", R"("/d/e/")"},
      {"getDirectory", R"("path":"x.txt")", R"("")"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.params);
    EXPECT_EQ(Call(c.method, c.params), answer(c.value));
  }
  // A path that does not fit the buffer is refused, never cut.
  TestLogCapture log;
  std::string longPath(size_t(kApiGenPathBytes), 'a');
  EXPECT_EQ(Call("normalize", "\"path\":" + q(longPath) + ",\"trailingSlash\":false"),
            answer("\"\""));
  EXPECT_NE(log.Take().find("Parameter too long (Path.normalize::path)"), std::string::npos);
  std::string fits(size_t(kApiGenPathBytes - 1), 'a');
  EXPECT_EQ(Call("normalize", "\"path\":" + q(fits) + ",\"trailingSlash\":false"),
            answer(q(fits)));
}

TEST_F(FileSystemInteropTest, UrlsAgainstPython) {
  const char *names[] = {"/tmp/a b/c", "/tmp/x#y", "/tmp/100%/z", "/tmp/what?.txt",
                         "/tmp/caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac"};
  // The answers as the bridge's JSON writes them (non-ASCII escaped).
  const char *written[] = {"/tmp/a b/c", "/tmp/x#y", "/tmp/100%/z", "/tmp/what?.txt",
                           "/tmp/caf\\u00E9/\\u65E5\\u672C"};
  std::string script = "import sys, pathlib, urllib.parse\n"
                       "for p in sys.argv[1:]:\n"
                       "  print(pathlib.PurePosixPath(p).as_uri())\n";
  std::string command = "/usr/bin/python3 -c " + Dirops_Quote(script);
  for (const char *name : names) command += " " + Dirops_Quote(name);
  std::string expected = shell(command);
  std::string got;
  for (size_t i = 0; i < std::size(names); i++) {
    const char *name = names[i];
    std::string url = PathCall("pathToUrl", name);
    ASSERT_EQ(url.rfind("{\"returnValue\":\"", 0), 0u) << url;
    url = url.substr(16, url.size() - 18);
    got += (got.empty() ? "" : "\n") + url;
    // Python decodes our URL back to the name, and so do we.
    EXPECT_EQ(shell("/usr/bin/python3 -c 'import sys, urllib.parse; "
                    "print(urllib.parse.unquote(sys.argv[1][7:]))' " +
                    Dirops_Quote(url)),
              name);
    EXPECT_EQ(Call("urlToPath", "\"url\":" + q(url)),
              answer(std::string("\"") + written[i] + "\""));
  }
  EXPECT_EQ(got, expected);
}

TEST_F(FileSystemInteropTest, FactsAgainstIndependentReaders) {
  std::string file = dir_ / "f.bin", empty = dir_ / "empty", full = dir_ / "full";
  Dirops_WriteFile(file, std::string(12345, 'x'));
  mkdir(empty.c_str(), 0755);
  mkdir(full.c_str(), 0755);
  Dirops_WriteFile(full + "/g", "g");
  std::string script =
      "import os, sys\n"
      "for p in sys.argv[1:]:\n"
      "  e = os.path.exists(p); d = os.path.isdir(p)\n"
      "  print(str(e).lower(), str(d).lower(), str(d and not os.listdir(p)).lower(),\n"
      "        os.stat(p).st_size if e and not d else 0, repr(os.stat(p).st_mtime) if e else 0)\n";
  std::vector<std::string> paths = {file, empty, full, dir_ / "missing"};
  std::string command = "/usr/bin/python3 -c " + Dirops_Quote(script);
  for (const std::string &p : paths) command += " " + Dirops_Quote(p);
  std::vector<std::string> lines;
  std::istringstream words(shell(command));
  for (std::string word; words >> word;) lines.push_back(word);
  ASSERT_EQ(lines.size(), paths.size() * 5);
  for (size_t i = 0; i < paths.size(); i++) {
    SCOPED_TRACE(paths[i]);
    EXPECT_EQ(PathCall("fileExists", paths[i]), answer(lines[i * 5]));
    EXPECT_EQ(PathCall("directoryExists", paths[i]), answer(lines[i * 5 + 1]));
    if (i > 0 && i < 3) {
      EXPECT_EQ(PathCall("isDirectoryEmpty", paths[i]), answer(lines[i * 5 + 2]));
    }
    if (i == 0) {
      EXPECT_EQ(PathCall("getFileSize", paths[i]), answer(lines[i * 5 + 3]));
    }
    std::string mtime = PathCall("getModifiedTime", paths[i]);
    double ours = strtod(mtime.c_str() + 15, nullptr);
    EXPECT_NEAR(ours, strtod(lines[i * 5 + 4].c_str(), nullptr), 1e-6) << mtime;
  }
  std::string birth = shell("stat -c %W " + Dirops_Quote(file));
  if (birth != "0" && !birth.empty()) {
    std::string created = PathCall("getCreationTime", file);
    EXPECT_EQ(int64_t(strtod(created.c_str() + 15, nullptr)), std::stoll(birth)) << created;
  }
  // Free space moves with the machine's other writers: within 64 MiB.
  for (const std::string &p : {dir_.path(), dir_ / "no/such/f.txt"}) {
    std::string got = PathCall("getFreeSpace", p);
    long long ours = std::stoll(got.substr(15));
    long long python = std::stoll(shell(
        "/usr/bin/python3 -c 'import shutil, sys; print(shutil.disk_usage(sys.argv[1]).free)' " +
        Dirops_Quote(dir_.path())));
    EXPECT_NEAR(double(ours), double(python), 64.0 * 1024 * 1024) << p;
  }
}

TEST_F(FileSystemInteropTest, CopyDeleteAndCreate) {
  std::string source = dir_ / "s.bin", target = dir_ / "t/u.bin";
  std::string data;
  for (int i = 0; i < 5000; i++) data += char(i * 7);
  Dirops_WriteFile(source, data);
  auto copy = [&](const std::string &to, bool failIfExists) {
    return Call("copyFile", "\"sourceFilename\":" + q(source) + ",\"targetFilename\":" + q(to) +
                                ",\"failIfExists\":" + (failIfExists ? "true" : "false"));
  };
  EXPECT_EQ(copy(target, false), answer("true"));
  EXPECT_EQ(shell("cmp " + Dirops_Quote(source) + " " + Dirops_Quote(target) + " && echo same"),
            "same");
  Dirops_WriteFile(target, "kept");
  {
    TestLogCapture log;
    EXPECT_EQ(copy(target, true), answer("false"));
  }
  EXPECT_EQ(Dirops_ReadFile(target), "kept");

  std::string made = dir_ / "a/b/c";
  struct Case {
    const char *method;
    std::string path;
    const char *value;
  } cases[] = {
      {"deleteFile", target, "0"},
      {"deleteFile", dir_ / "missing", "0"},
      {"deleteFile", dir_ / "t", "5"},
      {"createDirectory", made, "0"},
      {"createDirectory", source, "183"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    TestLogCapture log;
    EXPECT_EQ(PathCall(c.method, c.path), answer(c.value));
  }
  EXPECT_FALSE(Dirops_Exists(target));
  EXPECT_TRUE(Dirops_Exists(dir_ / "t"));
  for (const char *level : {"a", "a/b", "a/b/c"}) {
    EXPECT_EQ(PathCall("directoryExists", dir_ / level), answer("true"));
  }

  // Real kernel refusals: a read-only file system, and a directory the
  // caller may not write.
  std::string mount = dir_ / "ro", guarded = dir_ / "guarded";
  mkdir(guarded.c_str(), 0755);
  Dirops_WriteFile(guarded + "/g", "g");
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(mount, "size=1M")) return;
    Dirops_WriteFile(mount + "/f", "f");
    if (!child.RemountReadOnly(mount)) return;
    FSF_EXPECT_EQ(child, PathCall("deleteFile", mount + "/f"), answer("19"));
    if (!child.DropPrivileges()) return;
    FSF_EXPECT_EQ(child, PathCall("deleteFile", guarded + "/g"), answer("5"));
  });
  EXPECT_TRUE(Dirops_Exists(guarded + "/g"));
}

TEST_F(FileSystemInteropTest, SetSecurity) {
  std::string file = dir_ / "f", dir = dir_ / "d", link = dir_ / "l";
  Dirops_WriteFile(file, "f");
  chmod(file.c_str(), 0600);
  mkdir(dir.c_str(), 0700);
  auto set = [&](const std::string &path, const char *type) {
    return Call("setSecurity", "\"path\":" + q(path) + ",\"type\":" + q(type));
  };
  EXPECT_EQ(set(file, "Everyone"), answer("true"));
  EXPECT_EQ(shell("stat -c %a " + Dirops_Quote(file)), "666");
  EXPECT_EQ(set(dir, "Every"), answer("true"));
  EXPECT_EQ(shell("stat -c %a " + Dirops_Quote(dir)), "777");
  std::string acl = shell("getfacl -p " + Dirops_Quote(dir) + " 2>/dev/null");
  if (acl.find("default:") != std::string::npos) {
    EXPECT_NE(acl.find("default:other::rwx"), std::string::npos) << acl;
  }

  TestLogCapture log;
  EXPECT_EQ(set(file, "Guests"), answer("false"));
  EXPECT_EQ(set(file, "Administrators"), answer("true"));
  // A link is never followed: not at the end, and as root not on the way.
  std::string target = dir_ / "target";
  Dirops_WriteFile(target, "t");
  chmod(target.c_str(), 0600);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(set(link, "Everyone"), answer("false"));
  EXPECT_EQ(Dirops_Mode(target), 0600);
  std::string real = dir_ / "real", middle = dir_ / "middle";
  mkdir(real.c_str(), 0700);
  Dirops_WriteFile(real + "/x", "x");
  chmod((real + "/x").c_str(), 0600);
  ASSERT_EQ(symlink(real.c_str(), middle.c_str()), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(set(middle + "/x", "Everyone"), answer("false"));
    EXPECT_EQ(Dirops_Mode(real + "/x"), 0600);
  }
}

TEST_F(FileSystemInteropTest, DirectorySizeReachesThePage) {
  for (int i = 0; i < 6; i++) {
    std::string sub = dir_ / ("s" + std::to_string(i % 3));
    mkdir(sub.c_str(), 0755);
    Dirops_WriteFile(sub + "/f" + std::to_string(i), std::string(size_t(100 * i + 1), 'z'));
  }
  std::string total = shell("find " + Dirops_Quote(dir_.path()) +
                            " -type f -printf '%s\\n' | awk '{s+=$1} END {print s+0}'");
  auto size = [&](const char *id) {
    return Call("getDirectorySize", "\"path\":" + q(dir_.path()) + ",\"callbackId\":" + q(id));
  };
  EXPECT_EQ(size("first"), answer("true"));
  EXPECT_EQ(size("second"), answer("false"));
  std::vector<std::string> records;
  ASSERT_TRUE(Test_WaitUntil([&] {
    NotificationCenter_ProcessPendingFires();
    EventQueue_Flush(EventQueue_GetMain());
    Interop_DeliverCallbacks();
    records = PageRecorder_Records(page_);
    return records.size() >= 2;
  }));
  std::sort(records.begin(), records.end());
  EXPECT_EQ(records[0], R"({"callbackId":"first","type":"FileSystem","sender":"Global",)"
                        R"("info":{"successful":true,"result":)" + total + "}}");
  EXPECT_EQ(records[1], R"({"callbackId":"second","type":"FileSystem","sender":"Global",)"
                        R"("info":{"successful":false,"result":0}})");
}

TEST_F(FileSystemInteropTest, EveryRowByLabelAndByHash) {
  struct Row {
    const char *label;
    uint32_t hash;
  } rows[] = {
      {"fileExists", 0x95883f2d},      {"directoryExists", 0x7179db47},
      {"isDirectoryEmpty", 0x42cacdf8}, {"getFileSize", 0x7f39d91b},
      {"getFreeSpace", 0xb4d59855},     {"getModifiedTime", 0xeb30fe54},
      {"getCreationTime", 0xe6cc6031},  {"copyFile", 0x8fa083df},
      {"deleteFile", 0x33014eb3},       {"createDirectory", 0x4c305d0c},
      {"setSecurity", 0x64e3f953},      {"getDirectorySize", 0xd2baa0b9},
      {"resolve", 0x31f5c758},          {"normalize", 0xc05cda25},
      {"isSamePath", 0xead94b39},       {"getFileName", 0x9c69d6b3},
      {"getFileNameWithoutExtension", 0x51af0934},
      {"getExtension", 0x4b8e3623},     {"getDirectory", 0x92414f8e},
      {"pathToUrl", 0x498eae40},        {"urlToPath", 0x5e9b09cf},
      {"getFreeDiskSpace", 0xb4d59855}, {"directoryIsEmpty", 0x42cacdf8},
  };
  TestLogCapture log;  // the calls lack their parameters
  for (const Row &row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_NE(Call(row.label, ""), "");
    Dictionary *request = nullptr, *result = nullptr;
    Dictionary_Create(&request);
    Dictionary_Create(&result);
    Dictionary_SetStringByKey(request, "method", "listed");
    Dictionary_SetInt32ByKey(request, "#methodHash", int32_t(row.hash));
    FileSystemInterop_Invoke(nullptr, request, result);
    EXPECT_EQ(Dictionary_HasKey(result, "returnValue"), 1);
    Dictionary_Release(&request);
    Dictionary_Release(&result);
  }
  EXPECT_EQ(Call("getFreeDiskSpace", "\"path\":\"/\"").find("{\"returnValue\":0}"),
            std::string::npos);
}
