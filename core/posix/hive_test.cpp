// The registry over real hive files: Python's sqlite3 reads what we wrote,
// the whitelist's edge cases, concurrent and killed writers, a full disk,
// and the desktop user's hive as root.
#include "core/posix/hive.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/expand.h"
#include "core/runtime/memory.h"
#include "core/platform/platform.h"
#include "core/posix/desktopuser.h"
#include "core/platform/registry.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"

namespace {

// Python's own reader of a hive: the integrity verdict, the journal mode,
// then one sorted line per key ("K path|security group") and value
// ("V path|name|type|hex").
constexpr const char *kDumpScript = R"PY(
import sqlite3, sys
db = sqlite3.connect('file:' + sys.argv[1] + '?mode=ro', uri=True)
print(db.execute('PRAGMA integrity_check').fetchone()[0])
print(db.execute('PRAGMA journal_mode').fetchone()[0])
rows = {i: (p, n) for i, p, n in db.execute('SELECT id, parent, name FROM keys')}
security = dict(db.execute('SELECT id, security FROM keys'))
def path(i):
    parts = []
    while i != 0:
        p, n = rows[i]
        parts.append(n)
        i = p
    return '\\'.join(reversed(parts))
lines = ['K %s|%s' % (path(i), security[i] or '') for i in rows]
for k, n, t, d in db.execute('SELECT key, name, type, data FROM vals'):
    lines.append('V %s|%s|%d|%s' % (path(k), n, t, bytes(d).hex()))
print('\n'.join(sorted(lines)))
)PY";

// Holds a write transaction on a hive until told to let go.
constexpr const char *kHoldScript = R"PY(
import os, sqlite3, sys, time
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute('BEGIN IMMEDIATE')
open(sys.argv[2], 'w').close()
deadline = time.time() + 60
while not os.path.exists(sys.argv[3]) and time.time() < deadline:
    time.sleep(0.01)
db.execute('ROLLBACK')
db.close()
open(sys.argv[4], 'w').close()
)PY";

bool waitForFile(const std::string &path, int seconds) {
  for (int i = 0; i < seconds * 100; i++) {
    if (access(path.c_str(), F_OK) == 0) return true;
    usleep(10000);
  }
  return false;
}

std::string hexOf(const std::string &bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string queryString(const char *registryClass, const char *key, const char *name,
                        int *result = nullptr) {
  char out[kStrExpandOutputBytes];
  int ok = Registry_QueryString("default", registryClass, key, name, "<default>", out, sizeof out);
  if (result) *result = ok;
  return out;
}

// Hives in a scratch directory: homes/<uid>/... and machine/.
class HiveTest : public testing::Test {
 protected:
  void SetUp() override {
    homes_ = dir_ / "homes";
    machine_ = dir_ / "machine";
    mkdir(homes_.c_str(), 0755);
    std::ofstream(dir_ / "dump.py") << kDumpScript;
    std::ofstream(dir_ / "hold.py") << kHoldScript;
    UseDirectories(homes_, machine_);
    Registry_Init();
  }
  void TearDown() override {
    Registry_Shutdown();
    Hive_SetDirectoriesForTest(nullptr, nullptr);
    Hive_SetBusyTimeoutForTest(0);
  }
  void UseDirectories(const std::string &homes, const std::string &machine) {
    Hive_SetDirectoriesForTest(homes.c_str(), machine.c_str());
    machineUsed_ = machine;
  }
  // Starts over with empty whitelists.
  void ResetWhitelists() {
    Registry_Shutdown();
    Registry_Init();
  }
  std::string MachineFile() const { return machineUsed_ + "/machine.db"; }
  std::string UserFile(uint32_t uid) const {
    return homes_ + "/" + std::to_string(uid) + "/.local/share/keelson/registry/user.db";
  }
  std::string Dump(const std::string &file) const {
    return FsFault_Command("/usr/bin/python3 " + dir_ / "dump.py" + " " + file + " 2>&1");
  }

  FsFaultTempDir dir_;
  std::string homes_;
  std::string machine_;
  std::string machineUsed_;
};

// ---- What Python reads ----------------------------------------------------------------

TEST_F(HiveTest, PythonReadsScriptedSets) {
  Registry_AddWhitelistPath(1, "");
  const std::string binary("\x00\x01\xff\x00z", 5);
  // A narrow umask does not keep users from reading the machine hive.
  mode_t savedMask = umask(077);
  int created = Registry_SetString("64", "default", "machine", "SOFTWARE\\Vendor\\App",
                                   "InstallDir", "/opt/vendor app");
  umask(savedMask);
  ASSERT_TRUE(created);
  ASSERT_TRUE(Registry_SetString("default", "default", "machine", "software/VENDOR//app/",
                                 "Greeting", "gr\xc3\xbc\xc3\x9f" "e"));
  ASSERT_TRUE(Registry_SetInt32("32", "default", "machine", "SOFTWARE\\Vendor", "Count", -2));
  ASSERT_TRUE(Registry_SetInt64(nullptr, "default", "machine", "SOFTWARE\\Vendor", "Big",
                                0x0102030405060708LL));
  ASSERT_TRUE(Registry_SetBinary("default", "Everyone", "machine", "SOFTWARE\\Vendor\\Data",
                                 "blob", binary.data(), uint32_t(binary.size())));
  ASSERT_TRUE(Registry_SetString("default", "default", "machine", "", "", "root default"));
  // Replacing keeps one value; the name folds case.
  ASSERT_TRUE(Registry_SetInt32("default", "default", "machine", "SOFTWARE\\Vendor", "count", 7));

  std::set<std::string> expected = {
      "K SOFTWARE|",
      "K SOFTWARE\\Vendor|",
      "K SOFTWARE\\Vendor\\App|",
      "K SOFTWARE\\Vendor\\Data|Everyone",
      "V SOFTWARE\\Vendor\\App|InstallDir|1|" + hexOf("/opt/vendor app"),
      "V SOFTWARE\\Vendor\\App|Greeting|1|" + hexOf("gr\xc3\xbc\xc3\x9f" "e"),
      "V SOFTWARE\\Vendor|count|4|07000000",
      "V SOFTWARE\\Vendor|Big|11|0807060504030201",
      "V SOFTWARE\\Vendor\\Data|blob|3|" + hexOf(binary),
      "V |" "|1|" + hexOf("root default"),
  };
  std::string dump = Dump(MachineFile());
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= dump.size()) {
    size_t end = dump.find('\n', start);
    if (end == std::string::npos) end = dump.size();
    lines.push_back(dump.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_GE(lines.size(), 2u) << dump;
  EXPECT_EQ(lines[0], "ok");
  EXPECT_EQ(lines[1], "delete");
  std::set<std::string> got(lines.begin() + 2, lines.end());
  EXPECT_EQ(got, expected) << dump;
  // The file is the machine hive's: everyone may read it.
  struct stat st;
  ASSERT_EQ(stat(MachineFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(FsFault_Command("stat -c %a " + machine_), "755");
}

TEST_F(HiveTest, ReadsBackEveryType) {
  Registry_AddWhitelistPath(1, "");
  ASSERT_TRUE(Registry_SetString("default", "default", "user", "A\\B", "s", "text"));
  ASSERT_TRUE(Registry_SetInt32("default", "default", "user", "A\\B", "i32", int32_t(0xFFFFFFFF)));
  ASSERT_TRUE(Registry_SetInt64("default", "default", "user", "A\\B", "i64", -5));
  const unsigned char blob[] = {1, 0, 2};
  ASSERT_TRUE(Registry_SetBinary("default", "default", "user", "A\\B", "bin", blob, 3));
  ASSERT_TRUE(Registry_SetString("default", "default", "user", "A\\B", "empty", ""));

  int32_t i32 = 0;
  int64_t i64 = 0;
  EXPECT_TRUE(Registry_GetInt32("default", "user", "a/b", "I32", 9, &i32));
  EXPECT_EQ(i32, -1);
  EXPECT_TRUE(Registry_GetInt64("default", "user", "A\\B", "i32", 9, &i64));
  EXPECT_EQ(i64, -1) << "a 32-bit 0xFFFFFFFF reads as -1";
  EXPECT_TRUE(Registry_GetInt64("default", "user", "A\\B", "i64", 9, &i64));
  EXPECT_EQ(i64, -5);
  EXPECT_FALSE(Registry_GetInt32("default", "user", "A\\B", "i64", 9, &i32));
  EXPECT_EQ(i32, 9);
  EXPECT_FALSE(Registry_GetInt64("default", "user", "A\\B", "s", 11, &i64));
  EXPECT_EQ(i64, 11);

  int ok = 0;
  EXPECT_EQ(queryString("user", "A\\B", "s", &ok), "text");
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(queryString("user", "A\\B", "i32", &ok), "-1");
  EXPECT_EQ(queryString("user", "A\\B", "i64", &ok), "-5");
  EXPECT_EQ(queryString("user", "A\\B", "empty", &ok), "");
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(queryString("user", "A\\B", "bin", &ok), "<default>");
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(queryString("user", "A\\B", "missing", &ok), "<default>");
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(queryString("user", "A\\Nope", "s", &ok), "<default>");
  EXPECT_EQ(ok, 0);

  void *data = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(Registry_GetBinary("default", "user", "A\\B", "bin", nullptr, 0, &data, &size));
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(memcmp(data, blob, 3), 0);
  EXPECT_EQ(static_cast<unsigned char *>(data)[3], 0) << "one zero byte behind the data";
  MEM_FREE(data, size + 1);
  ASSERT_TRUE(Registry_GetBinary("default", "user", "A\\B", "i64", nullptr, 0, &data, &size));
  EXPECT_EQ(size, 8u);
  MEM_FREE(data, size + 1);
  const char fallback[] = "dflt";
  EXPECT_FALSE(Registry_GetBinary("default", "user", "A\\B", "s", fallback, 4, &data, &size));
  ASSERT_EQ(size, 4u);
  EXPECT_EQ(std::string(static_cast<char *>(data), 4), "dflt");
  MEM_FREE(data, size + 1);
  EXPECT_FALSE(Registry_GetBinary("default", "user", "A\\B", "none", nullptr, 0, &data, &size));
  EXPECT_EQ(data, nullptr);

  // A group without a descriptor writes nothing, not even the key.
  {
    TestLogCapture capture;
    EXPECT_FALSE(Registry_SetString("default", "Guests", "user", "A\\G", "v", "x"));
    EXPECT_NE(capture.Take().find("Failed to change registry security for group 'Guests'"),
              std::string::npos);
  }
  EXPECT_FALSE(Registry_KeyExists("default", "user", "A\\G"));

  EXPECT_TRUE(Registry_DeleteValue("default", "user", "A\\B", "S"));
  EXPECT_FALSE(Registry_DeleteValue("default", "user", "A\\B", "s"));
  EXPECT_EQ(queryString("user", "A\\B", "s"), "<default>");
}

// ---- The whitelist's edge cases --------------------------------------------------------

TEST_F(HiveTest, WhitelistEdgeCases) {
  // Contents first, with everything allowed.
  Registry_AddWhitelistPath(1, "");
  ASSERT_TRUE(Registry_SetString("default", "default", "machine", "SOFTWARE\\Vendor\\App", "v",
                                 "x"));
  ASSERT_TRUE(Registry_SetString("default", "default", "machine", "SOFTWARE\\Other", "v", "x"));
  ASSERT_TRUE(Registry_SetString("default", "default", "user", "Software\\Tree\\A\\B\\C", "v",
                                 "x"));
  ASSERT_TRUE(Registry_SetString("default", "default", "user", "Software\\Tree\\A\\D", "v", "x"));
  ResetWhitelists();

  enum Lists { kEmpty, kVendorReadOnly, kClassless, kTreeReadWrite };
  struct Row {
    const char *name;
    Lists lists;
    std::function<int()> call;
    int expected;
    const char *logged;  // a text the log must show, or NULL
  } rows[] = {
      {"empty lists refuse reading", kEmpty,
       [] { return Registry_KeyExists("default", "machine", "SOFTWARE\\Vendor\\App"); }, 0,
       "Registry path not found in whitelist (0) (machine\\SOFTWARE\\Vendor\\App\\)"},
      {"empty lists refuse writing", kEmpty,
       [] { return Registry_SetInt32("default", "default", "user", "X", "v", 1); }, 0,
       "Registry path not found in whitelist (1) (user\\X\\)"},
      {"read-only entry reads (case folded)", kVendorReadOnly,
       [] { return Registry_KeyExists("default", "machine", "SOFTWARE\\vendor\\App"); }, 1,
       nullptr},
      {"read-only entry reads values", kVendorReadOnly,
       [] { return int(queryString("MACHINE", "SOFTWARE\\Vendor\\App", "v") == "x"); }, 1,
       nullptr},
      {"read-only entry does not write", kVendorReadOnly,
       [] {
         return Registry_SetString("default", "default", "machine", "SOFTWARE\\Vendor\\App", "v",
                                   "y");
       },
       0, "Registry path not found in whitelist (1)"},
      {"read-only entry does not delete a key", kVendorReadOnly,
       [] { return Registry_DeleteKey("default", "machine", "SOFTWARE\\Vendor\\App"); }, 0,
       nullptr},
      {"read-only entry does not delete a value", kVendorReadOnly,
       [] { return Registry_DeleteValue("default", "machine", "SOFTWARE\\Vendor\\App", "v"); },
       0, nullptr},
      {"read-only entry is no prefix of a sibling", kVendorReadOnly,
       [] { return Registry_KeyExists("default", "machine", "SOFTWARE\\Other"); }, 0, nullptr},
      {"an entry without a class allows nothing", kClassless,
       [] { return Registry_KeyExists("default", "machine", "SOFTWARE\\Vendor\\App"); }, 0,
       nullptr},
      {"a nested subtree deletes whole", kTreeReadWrite,
       [] {
         return Registry_DeleteKey("default", "user", "Software\\Tree\\A") &&
                !Registry_KeyExists("default", "user", "Software\\Tree\\A\\B\\C") &&
                !Registry_KeyExists("default", "user", "Software\\Tree\\A") &&
                Registry_KeyExists("default", "user", "Software\\Tree");
       },
       1, nullptr},
      {"the class root is never deleted", kTreeReadWrite,
       [] { return Registry_DeleteKey("default", "user", "\\"); }, 0,
       "Registry class root cannot be deleted"},
      {"a class name not in the table refuses", kTreeReadWrite,
       [] { return Registry_KeyExists("default", "nosuch", "Software\\Tree"); }, 0, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    ResetWhitelists();
    if (row.lists == kVendorReadOnly) Registry_AddWhitelistPath(0, "machine\\SOFTWARE\\Vendor");
    if (row.lists == kClassless) Registry_AddWhitelistPath(1, "SOFTWARE\\Vendor\\");
    if (row.lists == kTreeReadWrite) Registry_AddWhitelistPath(1, "user/Software/Tree");
    TestLogCapture capture;
    EXPECT_EQ(row.call(), row.expected);
    std::string log = capture.Take();
    if (row.logged) {
      EXPECT_NE(log.find(row.logged), std::string::npos) << log;
    }
  }
  // The read-only rows changed nothing.
  ResetWhitelists();
  Registry_AddWhitelistPath(0, "");
  EXPECT_EQ(queryString("machine", "SOFTWARE\\Vendor\\App", "v"), "x");
}

TEST_F(HiveTest, DotDotIsRefusedAndSlashesLandBelowTheEntry) {
  Registry_AddWhitelistPath(1, "machine\\SOFTWARE\\Vendor");
  ASSERT_TRUE(Registry_CreateKeyByName("default", "machine", "SOFTWARE\\Vendor"));
  std::string before = Dump(MachineFile());
  struct Row {
    const char *path;
  } refused[] = {{"SOFTWARE\\Other\\..\\Vendor\\x"},
                 {"SOFTWARE\\Vendor\\..\\..\\Other"},
                 {"SOFTWARE/Vendor/./x"},
                 {"SOFTWARE\\Vendor\\x\\.."}};
  for (const Row &row : refused) {
    SCOPED_TRACE(row.path);
    TestLogCapture capture;
    EXPECT_FALSE(Registry_SetString("default", "default", "machine", row.path, "v", "planted"));
    EXPECT_FALSE(Registry_CreateKeyByName("default", "machine", row.path));
    EXPECT_FALSE(Registry_Authorize(1, kRegistryClassMachine, row.path));
    EXPECT_NE(capture.Take().find("'..' part refused"), std::string::npos);
  }
  EXPECT_EQ(Dump(MachineFile()), before) << "no key or value appeared anywhere";

  ASSERT_TRUE(Registry_SetString("default", "default", "machine", "SOFTWARE/Vendor/x", "v", "ok"));
  std::string after = Dump(MachineFile());
  EXPECT_NE(after.find("V SOFTWARE\\Vendor\\x|v|1|" + hexOf("ok")), std::string::npos) << after;
  EXPECT_EQ(after.find("Other"), std::string::npos);
}

TEST_F(HiveTest, KeyPathsCanonical) {
  struct Row {
    const char *in;
    int ok;
    const char *out;
  } rows[] = {
      {"", 1, ""},
      {"\\", 1, ""},
      {"//a\\\\b/", 1, "a\\b"},
      {"a/b\\c", 1, "a\\b\\c"},
      {"a/../b", 0, ""},
      {".", 0, ""},
      {"a/.b/c.", 1, "a\\.b\\c."},
      {"...", 1, "..."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.in);
    char out[kRegistryPathBytes];
    EXPECT_EQ(Registry_CanonicalPath(row.in, out), row.ok);
    EXPECT_STREQ(out, row.out);
  }
  std::string longPath(kRegistryPathBytes, 'k');
  char out[kRegistryPathBytes];
  EXPECT_FALSE(Registry_CanonicalPath(longPath.c_str(), out));
  EXPECT_TRUE(Registry_CanonicalPath(longPath.substr(0, kRegistryPathBytes - 1).c_str(), out));
}

// ---- Strings at the buffer's end -------------------------------------------------------

TEST_F(HiveTest, LongStringsAreNeverCut) {
  Registry_AddWhitelistPath(1, "");
  const std::string euro = "\xe2\x82\xac";  // three bytes
  struct Row {
    const char *name;
    std::string value;
    int ok;
  } rows[] = {
      {"10,000 bytes", std::string(10000, 'a'), 0},
      {"fits with a 3-byte character last", std::string(kStrExpandOutputBytes - 4, 'b') + euro, 1},
      {"one byte over with the character across the end",
       std::string(kStrExpandOutputBytes - 3, 'c') + euro, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(Registry_SetString("default", "default", "user", "Long", "v", row.value.c_str()));
    int ok = -1;
    std::string got = queryString("user", "Long", "v", &ok);
    EXPECT_EQ(ok, row.ok);
    EXPECT_EQ(got, row.ok ? row.value : "<default>");
  }
  // The key object tells how much room the value needs.
  RegistryKey *key = nullptr;
  ASSERT_TRUE(Registry_OpenKey(&key, 0, kRegistryClassUser, "Long", kRegistryAccessRead));
  char small[8];
  uint32_t size = 99;
  EXPECT_FALSE(Registry_QueryValue(key, kRegistryTypeString, "v", small, sizeof small, &size));
  EXPECT_EQ(Platform_GetLastError(), kRegistryErrorMoreData);
  EXPECT_EQ(size, uint32_t(kStrExpandOutputBytes - 3 + 3 + 1));
  EXPECT_STREQ(small, "");
  Registry_CloseKey(&key);
  EXPECT_EQ(key, nullptr);
}

// ---- The key object --------------------------------------------------------------------

TEST_F(HiveTest, KeyObjectOperations) {
  RegistryKey *key = nullptr;
  // Refused classes, and a missing key or hive.
  for (int refused : {kRegistryClassPerformance, kRegistryClassConfig, kRegistryClassUsers}) {
    SCOPED_TRACE(refused);
    EXPECT_FALSE(Registry_CreateKey(&key, 0, refused, "X"));
    EXPECT_EQ(Platform_GetLastError(), kPlatformErrorNotSupported);
    EXPECT_EQ(key, nullptr);
  }
  EXPECT_FALSE(Registry_OpenKey(&key, 0, kRegistryClassMachine, "None", kRegistryAccessRead));
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
  EXPECT_NE(access(MachineFile().c_str(), F_OK), 0) << "a read creates no hive";

  ASSERT_TRUE(Registry_CreateKey(&key, 0, kRegistryClassMachine, "P\\Q"));
  for (const char *name : {"b", "a", "C"})
    ASSERT_TRUE(Registry_SetValue(key, name, kRegistryTypeString, name, 1));
  ASSERT_TRUE(Registry_SetValue(key, "d", kRegistryTypeBinary, "0123456789", 10));
  EXPECT_FALSE(Registry_SetValue(key, "bad", 5, "x", 1)) << "types the store does not keep";
  EXPECT_FALSE(Registry_SetValue(key, "bad", kRegistryTypeInt32, "xy", 2));
  // Enumeration in name order, case folded.
  std::vector<std::string> names;
  char name[16];
  char data[16];
  uint32_t type = 0;
  uint32_t length = 0;
  for (uint32_t i = 0; Registry_EnumValue(key, i, name, sizeof name, &type, data, sizeof data,
                                          &length);
       i++)
    names.push_back(name);
  EXPECT_EQ(Platform_GetLastError(), kRegistryErrorNoMoreItems);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "C", "d"}));
  EXPECT_FALSE(Registry_EnumValue(key, 3, name, sizeof name, &type, data, 4, &length));
  EXPECT_EQ(Platform_GetLastError(), kRegistryErrorMoreData);
  EXPECT_EQ(length, 10u);
  EXPECT_STREQ(name, "d");

  RegistryKey *deep = nullptr;
  ASSERT_TRUE(Registry_CreateKey(&deep, 0, kRegistryClassMachine, "P\\Q\\R\\S"));
  ASSERT_TRUE(Registry_SetValue(deep, "v", kRegistryTypeString, "x", 1));
  Registry_CloseKey(&deep);
  RegistryKey *parent = nullptr;
  ASSERT_TRUE(Registry_OpenKey(&parent, 0, kRegistryClassMachine, "p", kRegistryAccessRead));
  EXPECT_FALSE(Registry_DeleteSubKey(parent, "Q")) << "a key opened for reading";
  EXPECT_FALSE(Registry_SetValue(parent, "v", kRegistryTypeString, "x", 1));
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorAccessDenied);
  Registry_CloseKey(&parent);
  ASSERT_TRUE(Registry_OpenKey(&parent, 0, kRegistryClassMachine, "P", kRegistryAccessAll));
  EXPECT_FALSE(Registry_DeleteSubKey(parent, "")) << "never the key itself";
  EXPECT_FALSE(Registry_DeleteSubKey(parent, "Missing"));
  EXPECT_TRUE(Registry_DeleteSubKey(parent, "q"));
  // The open key was deleted under it: writing through it fails.
  EXPECT_FALSE(Registry_SetValue(key, "late", kRegistryTypeString, "x", 1));
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
  Registry_CloseKey(&parent);
  Registry_CloseKey(&key);
  std::string dump = Dump(MachineFile());
  EXPECT_EQ(dump, "ok\ndelete\nK P|");
}

TEST_F(HiveTest, AFileThatIsNoHiveIsLeftAlone) {
  Registry_AddWhitelistPath(1, "");
  mkdir(machine_.c_str(), 0755);
  const std::string garbage(4096, 'g');
  std::ofstream(MachineFile()) << garbage;
  EXPECT_FALSE(Registry_KeyExists("default", "machine", "K"));
  EXPECT_FALSE(Registry_SetString("default", "default", "machine", "K", "v", "x"));
  EXPECT_EQ(Platform_GetLastError(), kPlatformErrorBadFormat);
  EXPECT_EQ(queryString("machine", "K", "v"), "<default>");
  std::ifstream in(MachineFile());
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, garbage);
}

TEST_F(HiveTest, RootClassReadsUserThenMachine) {
  if (geteuid() != 0) GTEST_SKIP() << "the root class writes the machine side only as root";
  Registry_AddWhitelistPath(1, "");
  ASSERT_TRUE(Registry_SetString("default", "default", "root", ".ext", "", "machine-side"));
  EXPECT_NE(Dump(MachineFile()).find("SOFTWARE\\Classes\\.ext"), std::string::npos);
  EXPECT_EQ(queryString("root", ".ext", ""), "machine-side");
  ASSERT_TRUE(
      Registry_SetString("default", "default", "user", "Software\\Classes\\.ext", "", "user-side"));
  EXPECT_EQ(queryString("root", ".ext", ""), "user-side");
}

TEST_F(HiveTest, MacroGivesTheValueOrNothing) {
  Registry_AddWhitelistPath(1, "");
  ASSERT_TRUE(Registry_SetString("64", "default", "machine", "SOFTWARE\\Vendor\\App", "InstallDir",
                                 "/opt/app"));
  ASSERT_TRUE(Registry_SetInt32("64", "default", "machine", "", "AtRoot", 42));
  struct Row {
    const char *text;
    const char *expected;
  } rows[] = {
      {"{Registry:64,machine,SOFTWARE\\Vendor\\App\\InstallDir}", "/opt/app"},
      {"[{registry:default,MACHINE,SOFTWARE/Vendor/App/InstallDir}]", "[/opt/app]"},
      {"{Registry:64,machine,SOFTWARE\\Vendor\\App\\Missing}", ""},
      {"{Registry:64,machine,AtRoot}", "42"},
      {"{Registry:64,nosuch,AtRoot}", ""},
      {"{Registry:64}", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    char buffer[512];
    snprintf(buffer, sizeof buffer, "%s", row.text);
    ASSERT_TRUE(Str_Expand(buffer, sizeof buffer, nullptr, nullptr));
    EXPECT_STREQ(buffer, row.expected);
  }
  char out[kStrExpandOutputBytes];
  EXPECT_EQ(Registry_MacroHandler("Other", "64,machine,AtRoot", out), 0);
}

// ---- Locks, processes, kills, a full disk ------------------------------------------------

TEST_F(HiveTest, DeleteWhileAnotherProcessWritesGivesUpIntact) {
  Registry_AddWhitelistPath(1, "");
  ASSERT_TRUE(Registry_SetString("default", "default", "machine", "T\\A\\B", "v", "x"));
  std::string before = Dump(MachineFile());
  std::string held = dir_ / "held";
  std::string release = dir_ / "release";
  std::string done = dir_ / "done";
  std::string command = "/usr/bin/python3 " + dir_ / "hold.py" + " " + MachineFile() + " " +
                        held + " " + release + " " + done + " &";
  ASSERT_EQ(system(command.c_str()), 0);
  ASSERT_TRUE(waitForFile(held, 30));
  Hive_SetBusyTimeoutForTest(200);
  TestLogCapture capture;
  EXPECT_FALSE(Registry_DeleteKey("default", "machine", "T\\A"));
  EXPECT_EQ(Platform_GetErrorKind(Platform_GetLastError()), PlatformErrorKind::Locked);
  EXPECT_NE(capture.Take().find("Unable to delete registry key 'T\\A'"), std::string::npos);
  std::ofstream(release).close();
  ASSERT_TRUE(waitForFile(done, 30));
  EXPECT_EQ(Dump(MachineFile()), before);
  EXPECT_TRUE(Registry_DeleteKey("default", "machine", "T\\A"));
}

// Runs body in n forked workers and waits for them; the result is the number
// that exited with 0.
int runWorkers(int n, const std::function<int(int)> &body) {
  std::vector<pid_t> pids;
  for (int i = 0; i < n; i++) {
    pid_t pid = fork();
    if (pid == 0) _exit(body(i) ? 0 : 1);
    pids.push_back(pid);
  }
  int good = 0;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) good++;
  }
  return good;
}

TEST_F(HiveTest, TwoProcessesLoseNoSet) {
  Registry_AddWhitelistPath(1, "");
  std::string shm = dir_ / "shm";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(shm, "size=64M")) return;
    Hive_SetDirectoriesForTest(homes_.c_str(), shm.c_str());
    constexpr int kSets = 1000;
    int good = runWorkers(2, [](int worker) {
      for (int i = 0; i < kSets; i++) {
        std::string name = "w" + std::to_string(worker) + "_" + std::to_string(i);
        if (!Registry_SetInt32("default", "default", "machine", "Shared", name.c_str(), i))
          return 0;
      }
      return 1;
    });
    FSF_EXPECT_EQ(child, good, 2);
    RegistryKey *key = nullptr;
    FSF_EXPECT(child, Registry_OpenKey(&key, 0, kRegistryClassMachine, "Shared",
                                       kRegistryAccessRead));
    int count = 0;
    char name[32];
    unsigned char data[4];
    uint32_t type = 0;
    uint32_t length = 0;
    while (Registry_EnumValue(key, uint32_t(count), name, sizeof name, &type, data, 4, &length))
      count++;
    Registry_CloseKey(&key);
    FSF_EXPECT_EQ(child, count, 2 * kSets);
  });
}

TEST_F(HiveTest, KilledWritersLeaveOldOrNewValues) {
  Registry_AddWhitelistPath(1, "");
  std::string shm = dir_ / "shm";
  const unsigned seed = 20261207;
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(shm, "size=64M")) return;
    Hive_SetDirectoriesForTest(homes_.c_str(), shm.c_str());
    constexpr int kWriters = 50;
    for (int i = 0; i < kWriters; i++) {
      std::string name = "v" + std::to_string(i);
      FSF_EXPECT(child, Registry_SetString("default", "default", "machine", "K", name.c_str(),
                                          "old"));
    }
    std::mt19937 random(seed);
    std::vector<pid_t> pids;
    for (int i = 0; i < kWriters; i++) {
      pid_t pid = fork();
      if (pid == 0) {
        std::string name = "v" + std::to_string(i);
        std::string value = "new" + std::to_string(i);
        for (;;) {
          Registry_SetString("default", "default", "machine", "K", name.c_str(), value.c_str());
          Registry_SetBinary("default", "default", "machine", "K\\Sub", name.c_str(),
                             value.data(), uint32_t(value.size()));
        }
      }
      pids.push_back(pid);
    }
    std::shuffle(pids.begin(), pids.end(), random);
    for (pid_t pid : pids) {
      usleep(std::uniform_int_distribution<int>(0, 3000)(random));
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    int renewed = 0;
    for (int i = 0; i < kWriters; i++) {
      std::string name = "v" + std::to_string(i);
      std::string value = queryString("machine", "K", name.c_str());
      if (value == "new" + std::to_string(i)) renewed++;
      if (value != "old" && value != "new" + std::to_string(i))
        child.Fail(__FILE__, __LINE__,
                   name + " is '" + value + "' (seed " + std::to_string(seed) + ")");
    }
    // Our reads above rolled back what a killed writer left; the file is whole.
    std::string dump = FsFault_Command("/usr/bin/python3 " + dir_ / "dump.py" + " " + shm +
                                       "/machine.db 2>&1 | head -1");
    if (dump != "ok") child.Fail(__FILE__, __LINE__, "integrity (seed " +
                                                         std::to_string(seed) + "): " + dump);
    // The writers did get to write before they were killed.
    FSF_EXPECT(child, renewed > 0);
    FSF_EXPECT(child, Registry_SetString("default", "default", "machine", "K", "after", "x"));
  });
}

TEST_F(HiveTest, FullDiskKeepsTheOldContents) {
  Registry_AddWhitelistPath(1, "");
  std::string small = dir_ / "small";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.MountTmpfs(small, "size=1M")) return;
    Hive_SetDirectoriesForTest(homes_.c_str(), small.c_str());
    FSF_EXPECT(child, Registry_SetString("default", "default", "machine", "K", "keep", "old"));
    // Fill what is left.
    {
      std::ofstream filler(small + "/filler", std::ios::binary);
      std::string block(4096, 'f');
      while (filler.write(block.data(), std::streamsize(block.size())) && filler.flush()) {
      }
    }
    std::string big(256 * 1024, 'n');
    FSF_EXPECT(child, !Registry_SetBinary("default", "default", "machine", "K", "big", big.data(),
                                         uint32_t(big.size())));
    FSF_EXPECT(child, Platform_GetErrorKind(Platform_GetLastError()) ==
                          PlatformErrorKind::NotEnoughSpace);
    FSF_EXPECT(child, !Registry_SetString("default", "default", "machine", "K", "keep",
                                         big.c_str()));
    FSF_EXPECT_EQ(child, queryString("machine", "K", "keep"), std::string("old"));
    FSF_EXPECT_EQ(child, queryString("machine", "K", "big"), std::string("<default>"));
    unlink((small + "/filler").c_str());
    FSF_EXPECT(child, Registry_SetBinary("default", "default", "machine", "K", "big", big.data(),
                                        uint32_t(big.size())));
  });
}

// ---- Users -----------------------------------------------------------------------------

TEST_F(HiveTest, UserReadsTheMachineHiveButCannotWriteIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  Registry_AddWhitelistPath(1, "");
  ASSERT_TRUE(Registry_SetString("default", "default", "machine", "SOFTWARE\\Vendor", "v", "x"));
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    FSF_EXPECT_EQ(child, queryString("machine", "SOFTWARE\\Vendor", "v"), std::string("x"));
    FSF_EXPECT(child, !Registry_SetString("default", "default", "machine", "SOFTWARE\\Vendor",
                                         "v", "y"));
    FSF_EXPECT(child, Platform_GetErrorKind(Platform_GetLastError()) ==
                          PlatformErrorKind::AccessDenied);
    FSF_EXPECT(child, !Registry_DeleteKey("default", "machine", "SOFTWARE\\Vendor"));
  });
  EXPECT_EQ(queryString("machine", "SOFTWARE\\Vendor", "v"), "x");
}

// ---- The desktop user ------------------------------------------------------------------

constexpr uint32_t kNobody = 65534;

// Sets the variables that name a desktop user (NULL: unset) and points the
// seat lookup at a directory without seats, so only the variables count.
void useDesktopUserVariables(const char *pkexec, const char *sudo, const std::string &noSeats) {
  if (pkexec) setenv("PKEXEC_UID", pkexec, 1);
  else unsetenv("PKEXEC_UID");
  if (sudo) setenv("SUDO_UID", sudo, 1);
  else unsetenv("SUDO_UID");
  DesktopUser_SetSystemdRunDirForTest(noSeats.c_str());
}

std::string ownerOf(const std::string &path) { return FsFault_Command("stat -c %u " + path); }

// Becomes 65534 for good (a worker process of a child).
bool becomeNobody() {
  return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
         setresuid(kNobody, kNobody, kNobody) == 0;
}

TEST_F(HiveTest, DesktopUserFromTheEnvironment) {
  if (geteuid() != 0) GTEST_SKIP() << "the desktop user differs from the own one only as root";
  std::string noSeats = dir_ / "run";
  struct Row {
    const char *name;
    const char *pkexec;
    const char *sudo;
    int found;
    uint32_t uid;
  } rows[] = {
      {"PKEXEC_UID first", "65534", "1", 1, kNobody},
      {"SUDO_UID", nullptr, "1", 1, 1},
      {"neither", nullptr, nullptr, 0, 0},
      {"not a number", nullptr, "65534x", 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    FSFAULT_RUN([&](FsFaultChild &child) {
      useDesktopUserVariables(row.pkexec, row.sudo, noSeats);
      TestLogCapture capture;
      Platform_Init();
      std::string log = capture.Take();
      uint32_t uid = 99;
      FSF_EXPECT_EQ(child, Hive_GetDesktopUser(&uid), row.found);
      FSF_EXPECT_EQ(child, uid, row.uid);
      bool logged =
          log.find("Unable to open desktop user key, defaulting to current user") !=
          std::string::npos;
      FSF_EXPECT_EQ(child, logged, row.found == 0);
      Platform_Shutdown();
      FSF_EXPECT_EQ(child, Hive_GetDesktopUser(&uid), 0);
      if (row.found) return;
      // Without a desktop user the class is the own hive.
      Registry_AddWhitelistPath(1, "");
      FSF_EXPECT(child, Registry_SetString("default", "default", "desktopuser", "K", "v", "own"));
      FSF_EXPECT_EQ(child, queryString("user", "K", "v"), std::string("own"));
    });
  }
}

TEST_F(HiveTest, DesktopUserHiveBelongsToTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  Registry_AddWhitelistPath(1, "");
  std::string home = homes_ + "/65534";
  FSFAULT_RUN([&](FsFaultChild &child) {
    mkdir(home.c_str(), 0700);
    FSF_EXPECT_EQ(child, chown(home.c_str(), kNobody, kNobody), 0);
    useDesktopUserVariables(nullptr, "65534", dir_ / "run");
    Hive_OpenDesktopUser();
    FSF_EXPECT(child, Registry_SetString("default", "default", "desktopuser",
                                        "Software\\Microsoft\\Windows NT\\CurrentVersion\\"
                                        "AppCompatFlags\\Layers",
                                        "/opt/app/run", "RUNASADMIN"));
    // Everything the root process made belongs to the user.
    for (const char *below : {"/.local", "/.local/share", "/.local/share/keelson",
                              "/.local/share/keelson/registry",
                              "/.local/share/keelson/registry/user.db"}) {
      std::string owner = ownerOf(home + below);
      if (owner != "65534")
        child.Fail(__FILE__, __LINE__, std::string(below) + " owned by " + owner);
    }
    FSF_EXPECT_EQ(child, FsFault_Command("stat -c %a " + home + "/.local/share/keelson/registry"),
                  std::string("700"));
    FSF_EXPECT_EQ(child,
                  FsFault_Command("stat -c %a " + home + "/.local/share/keelson/registry/user.db"),
                  std::string("600"));
    // The user reads it as its own hive.
    int good = runWorkers(1, [](int) {
      if (!becomeNobody()) return 0;
      return int(queryString("user",
                             "Software/Microsoft/Windows NT/CurrentVersion/AppCompatFlags/Layers",
                             "/opt/app/run") == "RUNASADMIN");
    });
    FSF_EXPECT_EQ(child, good, 1);
    Hive_CloseDesktopUser();
  });
}

TEST_F(HiveTest, PlantedLinksGiveNoMoreThanTheUsersRights) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  Registry_AddWhitelistPath(1, "");
  std::string home = homes_ + "/65534";
  std::string rootHive = UserFile(0);
  std::string rootRegistry = homes_ + "/0/.local/share/keelson/registry";
  FSFAULT_RUN([&](FsFaultChild &child) {
    // Root's own hive, which the user must not reach.
    FSF_EXPECT(child, Registry_SetString("default", "default", "user", "Secret", "v", "root"));
    std::string before = Dump(rootHive);
    std::string registry = home + "/.local/share/keelson/registry";
    FSF_EXPECT_EQ(child, system(("mkdir -p " + registry + " && chown -R 65534:65534 " + home)
                                    .c_str()),
                  0);
    useDesktopUserVariables(nullptr, "65534", dir_ / "run");
    Hive_OpenDesktopUser();
    struct Row {
      const char *name;
      std::string link;
      std::string target;
    } rows[] = {
        {"the hive file is a link to root's hive", registry + "/user.db", rootHive},
        {"the hive directory is a link to root's", registry, rootRegistry},
    };
    for (const Row &row : rows) {
      system(("rm -rf " + row.link).c_str());
      FSF_EXPECT_EQ(child, symlink(row.target.c_str(), row.link.c_str()), 0);
      lchown(row.link.c_str(), kNobody, kNobody);
      if (Registry_SetString("default", "default", "desktopuser", "Secret", "v", "planted"))
        child.Fail(__FILE__, __LINE__, std::string(row.name) + ": the write went through");
      if (queryString("desktopuser", "Secret", "v") != "<default>")
        child.Fail(__FILE__, __LINE__, std::string(row.name) + ": root's value was read");
      unlink(row.link.c_str());
    }
    FSF_EXPECT_EQ(child, Dump(rootHive), before);
    FSF_EXPECT_EQ(child, ownerOf(rootHive), std::string("0"));
    Hive_CloseDesktopUser();
  });
}

// Threads of one root process: one writes the desktop user's hive (its file
// accesses switched to the user), the others write root's own and the
// machine hive at the same time. The switch is the writing thread's alone.
class HiveThreaded : public HiveTest {};

TEST_F(HiveThreaded, IdentitySwitchStaysOnItsThread) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  Registry_AddWhitelistPath(1, "");
  std::string home = homes_ + "/65534";
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  ASSERT_EQ(chown(home.c_str(), kNobody, kNobody), 0);
  FSFAULT_RUN([&](FsFaultChild &child) {
    useDesktopUserVariables(nullptr, "65534", dir_ / "run");
    Hive_OpenDesktopUser();
    constexpr int kSets = 100;
    int failed[3] = {0, 0, 0};
    const char *classes[3] = {"desktopuser", "user", "machine"};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++)
      threads.emplace_back([&, t] {
        for (int i = 0; i < kSets; i++) {
          std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
          if (!Registry_SetInt32("default", "default", classes[t], "K", name.c_str(), i))
            failed[t]++;
          if (t != 2 && !Registry_SetInt32("default", "default", "machine", "K", name.c_str(), i))
            failed[t]++;
        }
      });
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < 3; t++) FSF_EXPECT_EQ(child, failed[t], 0);
    FSF_EXPECT_EQ(child, ownerOf(UserFile(kNobody)), std::string("65534"));
    FSF_EXPECT_EQ(child, ownerOf(UserFile(0)), std::string("0"));
    FSF_EXPECT_EQ(child, ownerOf(MachineFile()), std::string("0"));
    int32_t value = -1;
    FSF_EXPECT(child, Registry_GetInt32("default", "desktopuser", "K", "t0_99", -1, &value));
    FSF_EXPECT_EQ(child, value, 99);
    FSF_EXPECT(child, Registry_GetInt32("default", "machine", "K", "t1_99", -1, &value));
    Hive_CloseDesktopUser();
  });
}

}  // namespace
