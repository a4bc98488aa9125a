#include "core/bridge/platforminterop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/bridge/coreinterop.h"
#include "core/bridge/interop.h"
#include "core/formats/dictionary.h"
#include "core/platform/credential.h"
#include "core/platform/launch.h"
#include "core/platform/platform.h"
#include "core/runtime/expand.h"
#include "core/security/auth.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/page_recorder.h"
#include "tests/peer_record.h"
#include "tests/pin_store_util.h"
#include "tests/pki_test_util.h"
#include "tests/test_params.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

namespace {

// A page with its QVN.Platform instance, made through the core module.
class PlatformInteropTest : public ThreadTest {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Interop_Init();
    Interop_SetDeliveryFunction(PageRecorder_Deliver);
    ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
    char buffer[kInteropInstanceIdBytes] = {};
    ASSERT_EQ(Interop_CreateInstance("QVN.Platform", buffer, sizeof buffer, &page_, &page_), 1);
    id_ = buffer;
  }
  void TearDown() override {
    Interop_Shutdown();
    ThreadTest::TearDown();
  }
  std::pair<int, std::string> Call(const std::string &binding) {
    return TestParams_Call(id_, binding);
  }
  // The answer text of a call (the whole output document).
  std::string Out(const std::string &binding) { return Call(binding).second; }
  std::string Text(const std::string &value) { return R"({"returnValue":")" + value + R"("})"; }
  PageRecorder page_;
  std::string id_;
};

std::string lines(const std::string &path) { return Peer_ReadFile(path); }

}  // namespace

// Every method's answer type as Python's json reads it, with a wrongly typed
// parameter and an unknown name.
TEST_F(PlatformInteropTest, AnswersHaveTheirTypes) {
  struct Case {
    const char *binding;
    int result;
    const char *python;  // Python's json of the output, keys sorted
    const char *log;
  } cases[] = {
      {R"({"method":"getName"})", 1, R"({"returnValue":"Linux"})", nullptr},
      {R"({"method":"getShortName"})", 1, R"({"returnValue":"linux"})", nullptr},
      {R"({"method":"getBitness"})", 1, R"({"returnValue":64})", nullptr},
      {R"({"method":"getErrorName","error":0})", 1, R"({"returnValue":"None"})", nullptr},
      {R"({"method":"getErrorName","error":1})", 1, R"({"returnValue":"Unknown"})", nullptr},
      {R"({"method":"getErrorName","error":2})", 1, R"({"returnValue":"Missing"})", nullptr},
      {R"({"method":"getErrorName","error":112})", 1, R"({"returnValue":"NotEnoughSpace"})",
       nullptr},
      {R"({"method":"getErrorName","error":183})", 1, R"({"returnValue":"AccessInvalid"})",
       nullptr},
      {R"({"method":"getErrorName","error":"2"})", 0, R"({"returnValue":""})",
       "Incorrect parameter type (Platform.getErrorName::error)"},
      {R"({"method":"findProcess","path":"no-such-program-k58*"})", 1, R"({"returnValue":-1})",
       nullptr},
      {R"({"method":"findWindow","caption":"","className":"","searchOnlyVisible":true})", 1,
       R"({"returnValue":false})", nullptr},
      {R"({"method":"findWindow","caption":"","className":"","searchOnlyVisible":1})", 0,
       R"({"returnValue":false})",
       "Incorrect parameter type (Platform.findWindow::searchOnlyVisible)"},
      {R"({"method":"resetSystemIdleTimer"})", 1, R"({"returnValue":false})", nullptr},
      {R"({"method":"getFileDataStore","path":"/dev/null"})", 1, R"({"returnValue":null})",
       nullptr},
      {R"({"method":"checkAccess","path":"/","permissions":1,"recurse":false})", 1,
       R"({"returnValue":true})", nullptr},
      {R"({"method":"access","path":"/","permissions":1,"recurse":false})", 1,
       R"({"returnValue":true})", nullptr},
      {R"({"method":"getCredential","target":1})", 0, R"({"returnValue":false})",
       "Incorrect parameter type (Platform.getCredential::target)"},
      {R"({"method":"getname"})", 0, "", nullptr},
  };
  std::vector<std::string> outputs;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.binding);
    TestLogCapture log;
    auto [result, output] = Call(c.binding);
    std::string text = log.Take();
    EXPECT_EQ(result, c.result);
    if (c.log != nullptr) {
      EXPECT_NE(text.find(c.log), std::string::npos) << text;
    }
    outputs.push_back(output);
  }
  std::vector<std::string> read = PageRecorder_PythonRead(outputs, "platforminterop_types");
  ASSERT_EQ(read.size(), std::size(cases));
  for (size_t i = 0; i < read.size(); i++) {
    EXPECT_EQ(read[i], *cases[i].python ? cases[i].python : "(not JSON)") << cases[i].binding;
  }
}

TEST_F(PlatformInteropTest, SystemFactsAgreeWithTheSystem) {
  EXPECT_EQ(Out(R"({"method":"getUserName"})"), Text(FsFault_Command("id -un")));
  // The dates as Python's email.utils writes them for HTTP; out of range: "".
  std::string python = FsFault_Command(
      "/usr/bin/python3 -c 'import email.utils\n"
      "for t in (0, 784111777, 951782400, 4102444799): print(email.utils.formatdate(t, "
      "usegmt=True))'");
  std::string ours;
  for (const char *t : {"0", "784111777", "951782400.5", "4102444799"}) {
    std::string out = Out(std::string(R"({"method":"formatDate","date":)") + t + "}");
    ours += out.substr(16, out.size() - 18) + "\n";
  }
  EXPECT_EQ(ours, python + "\n");
  for (const char *t : {"-1", "1e300", "1e400"})
    EXPECT_EQ(Out(std::string(R"({"method":"formatDate","date":)") + t + "}"), Text(""));
  // NaN has no JSON text; a caller of the dispatcher can still pass one.
  Dictionary *request = nullptr, *result = nullptr;
  Dictionary_Create(&request);
  Dictionary_Create(&result);
  Dictionary_SetStringByKey(request, "method", "formatDate");
  Dictionary_SetInt32ByKey(request, "#methodHash", int32_t(0x07bfa61d));
  Dictionary_SetFloat64ByKey(request, "date", std::nan(""));
  EXPECT_EQ(PlatformInterop_Invoke(nullptr, request, result), 1);
  const char *date = nullptr;
  EXPECT_EQ(Dictionary_GetStringPointerByKey(result, "returnValue", &date), 1);
  EXPECT_STREQ(date, "");
  Dictionary_Release(&request);
  Dictionary_Release(&result);

  // The locale and the theme of a page started with them.
  FSFAULT_RUN([&](FsFaultChild &child) {
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", "de_DE.UTF-8", 1);
    setenv("GTK_THEME", "Adwaita:dark", 1);
    FSF_EXPECT_EQ(child, Out(R"({"method":"getUserLanguage"})"), Text("de"));
    FSF_EXPECT_EQ(child, Out(R"({"method":"getUserCountry"})"), Text("DE"));
    FSF_EXPECT_EQ(child, Out(R"({"method":"getSystemTheme"})"), Text("dark"));
  });
}

TEST_F(PlatformInteropTest, ProcessesByIdAndName) {
  ProcessHandle *sleeper = nullptr;
  ASSERT_EQ(Platform_Execute("sleep", "30", "", 0x10, &sleeper), 1);
  uint32_t pid = Platform_GetProcessId(sleeper);
  std::string exe = FsFault_Command("readlink /proc/" + std::to_string(pid) + "/exe");
  EXPECT_EQ(Out(R"({"method":"getProcessPath","id":)" + std::to_string(pid) + "}"), Text(exe));
  // The first match in list order may be another sleep: it must be one.
  for (const char *pattern : {"sleep", "*/sleep"}) {
    std::string out = Out(std::string(R"({"method":"findProcess","path":")") + pattern + "\"}");
    std::string found = out.substr(15, out.size() - 16);
    EXPECT_NE(found, "-1") << pattern;
    EXPECT_EQ(FsFault_Command("cat /proc/" + found + "/comm"), "sleep") << pattern;
  }
  Platform_TerminateProcess(pid, 0);
  int32_t code = 0;
  EXPECT_TRUE(Peer_WaitUntil([&] { return Platform_GetProcessExitCode(sleeper, &code) == 1; }));
  Platform_CloseProcess(&sleeper);
  EXPECT_EQ(Out(R"({"method":"getProcessPath","id":)" + std::to_string(pid) + "}"), Text(""));

  // A program of a name no other has: found while it runs, -1 once it ended.
  FsFaultTempDir dir;
  std::string own = dir / ("k58s" + std::to_string(getpid()));
  FsFault_Command("cp /bin/sleep " + own);
  ASSERT_EQ(Platform_Execute(own.c_str(), "30", "", 0x10, &sleeper), 1);
  pid = Platform_GetProcessId(sleeper);
  std::string find = R"({"method":"findProcess","path":"*/k58s)" + std::to_string(getpid()) + "\"}";
  EXPECT_EQ(Out(find), R"({"returnValue":)" + std::to_string(pid) + "}");
  Platform_TerminateProcess(pid, 0);
  EXPECT_TRUE(Peer_WaitUntil([&] { return Platform_GetProcessExitCode(sleeper, &code) == 1; }));
  Platform_CloseProcess(&sleeper);
  EXPECT_EQ(Out(find), R"({"returnValue":-1})");
}

TEST_F(PlatformInteropTest, CredentialsByTargetNeverReachTheWebEntries) {
  FsFaultTempDir dir;
  Credential_SetDirectoryForTest(dir.path().c_str());
  struct Case {
    const char *binding;
    const char *output;
  } cases[] = {
      {R"({"method":"getCredential","target":"k58:missing"})",
       R"({"returnValue":false,"username":"","password":""})"},
      {R"({"method":"setCredential","target":"k58:t","username":"u","password":"p"})",
       R"({"returnValue":true})"},
      {R"({"method":"getCredential","target":"k58:t"})",
       R"({"returnValue":true,"username":"u","password":"p"})"},
      {R"({"method":"removeCredential","target":"k58:t"})", R"({"returnValue":true})"},
      {R"({"method":"getCredential","target":"k58:t"})",
       R"({"returnValue":false,"username":"","password":""})"},
      {R"({"method":"setWebCredential","accessType":2,"host":"h","realm":"r","username":"wu",)"
       R"("password":"wp"})",
       R"({"returnValue":true})"},
      {R"({"method":"getWebCredential","accessType":2,"host":"h","realm":"r"})",
       R"({"returnValue":true,"username":"wu"})"},
      {R"({"method":"getCredential","target":"PELK.webget:h:r:0002"})",
       R"({"returnValue":false,"username":"","password":""})"},
      {R"({"method":"setCredential","target":"pelk.webget:h:r:0002","username":"x",)"
       R"("password":"y"})",
       R"({"returnValue":false})"},
      {R"({"method":"removeCredential","target":"pelk.webget:h:r:0002"})",
       R"({"returnValue":false})"},
      {R"({"method":"getWebCredential","accessType":2,"host":"h","realm":"r"})",
       R"({"returnValue":true,"username":"wu"})"},
      {R"({"method":"removeWebCredential","accessType":2,"host":"h","realm":"r"})",
       R"({"returnValue":true})"},
      {R"({"method":"getWebCredential","accessType":2,"host":"h","realm":"r"})",
       R"({"returnValue":false,"username":""})"},
  };
  for (const Case &c : cases) EXPECT_EQ(Out(c.binding), c.output) << c.binding;
  Credential_SetDirectoryForTest(nullptr);
}

TEST_F(PlatformInteropTest, ShortcutIsOneNameInItsLocation) {
  FsFaultTempDir dir;
  std::string location = dir / "menu";
  std::string create = R"({"method":"createShortcut","executable":"/usr/bin/env",)"
                       R"("parameter":"A=1 true","iconId":3,"location":")" +
                       location + R"(","iconLocation":"/usr/share/icon.png","flags":0,)";
  EXPECT_EQ(Out(create + R"("description":"app.desktop"})"), R"({"returnValue":true})");
  std::string entry = lines(location + "/app.desktop");
  for (const char *line : {R"(Exec="/usr/bin/env" "A=1" "true")", "Path=/usr/bin",
                           "Icon=/usr/share/icon.png", "Comment=app.desktop"})
    EXPECT_NE(entry.find(line), std::string::npos) << entry;
  for (const char *bad : {"../x", "a/b", "..", "a\\\\b", ""}) {
    EXPECT_EQ(Out(create + R"("description":")" + bad + "\"}"), R"({"returnValue":false})")
        << bad;
    EXPECT_EQ(Out(R"({"method":"removeShortcut","location":")" + location +
                  R"(","description":")" + bad + "\"}"),
              R"({"returnValue":false})");
  }
  EXPECT_FALSE(Peer_FileExists(dir / "x"));
  EXPECT_FALSE(Peer_FileExists(location + "/a"));
  EXPECT_EQ(Out(R"({"method":"removeShortcut","location":")" + location +
                R"(","description":"app.desktop"})"),
            R"({"returnValue":true})");
  EXPECT_FALSE(Peer_FileExists(location + "/app.desktop"));
}

TEST_F(PlatformInteropTest, CertificateFileIsSmallAndRegular) {
  FsFaultTempDir dir;
  std::string big = dir / "big.pem";
  Peer_WriteFile(big, std::string(2 << 20, 'A'), 0644);
  AuthSwitchGuardForTest on(1);
  for (const std::string &path : {big, std::string("/dev/zero")}) {
    TestLogCapture log;
    EXPECT_EQ(Out(R"({"method":"validateCertificateFile","certStoreName":"pins","path":")" +
                  path + "\"}"),
              R"({"returnValue":false})");
    std::string text = log.Take();
    EXPECT_NE(text.find("Invalid size for file [" + path + "]"), std::string::npos) << text;
  }
  AuthSwitchGuardForTest off(0);
  TestLogCapture log;
  EXPECT_EQ(
      Out(R"({"method":"validateCertificateFile","certStoreName":"pins","path":")" + big + "\"}"),
      R"({"returnValue":true})");
  EXPECT_NE(log.Take().find("Skipping certificate authentication (" + big + ")"),
            std::string::npos);
}

// A leaf pinned by its SHA-256 thumbprint in a store "pins": trusted from a
// DER file and from the first block of a PEM file (written by openssl); an
// unpinned certificate is refused with its log line.
TEST_F(PlatformInteropTest, CertificateFileAgainstAPinnedStore) {
  Test_Pki pki;
  ASSERT_FALSE(pki.leaf.empty());
  FsFaultTempDir dir;
  std::string leaf = dir / "leaf.der", inter = dir / "inter.der";
  Peer_WriteFile(leaf, std::string(pki.leaf.begin(), pki.leaf.end()), 0644);
  Peer_WriteFile(inter, std::string(pki.inter.begin(), pki.inter.end()), 0644);
  int status = -1;
  // The leaf first, then its issuer; and the other way round.
  std::string pem = dir / "leaf.pem", interFirst = dir / "inter.pem";
  Test_RunCommand("{ echo 'leaf and issuer'; openssl x509 -inform DER -in " + leaf +
                      "; openssl x509 -inform DER -in " + inter + "; } > " + pem,
                  &status);
  ASSERT_EQ(status, 0);
  Test_RunCommand("{ openssl x509 -inform DER -in " + inter + "; openssl x509 -inform DER -in " +
                      leaf + "; } > " + interFirst,
                  &status);
  ASSERT_EQ(status, 0);
  Auth_Init();
  CertStore *store = Test_PinStore({pki.leaf});
  EXPECT_EQ(Auth_AddCertStore("pins", 1, store), 1);
  CertStore_Release(&store);
  AuthSwitchGuardForTest on(1);
  struct Case {
    std::string store, path;
    bool trusted;
  } cases[] = {{"pins", leaf, true},        {"pins", pem, true},          {"pins", inter, false},
               {"pins", interFirst, false}, {"unknown", leaf, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.store + " " + c.path);
    TestLogCapture log;
    EXPECT_EQ(Out(R"({"method":"validateCertificateFile","certStoreName":")" + c.store +
                  R"(","path":")" + c.path + "\"}"),
              c.trusted ? R"({"returnValue":true})" : R"({"returnValue":false})");
    EXPECT_EQ(log.Take().find("Ceritificate file validation (" + c.path + ") failed") !=
                  std::string::npos,
              !c.trusted);
  }
  Auth_Shutdown();
}

TEST_F(PlatformInteropTest, ShellOpenAndRebootRunTheirCommands) {
  FsFaultTempDir dir;
  chmod(dir.path().c_str(), 0777);
  std::string recorder = dir / "recorder";
  std::string out = dir / "recorded";
  Peer_WriteFile(recorder,
                 "#!/bin/sh\nprintf '%s %s\\n' \"$(basename \"$0\")\" \"$*\" > '" + out +
                     ".part'\nmv '" + out + ".part' '" + out + "'\n",
                 0755);
  PlatformInterop_SetRebootProgramForTest(recorder.c_str());
  EXPECT_EQ(Out(R"({"method":"reboot"})"), R"({"returnValue":true})");
  EXPECT_EQ(lines(out), "recorder reboot\n");
  PlatformInterop_SetRebootProgramForTest("/bin/false");
  EXPECT_EQ(Out(R"({"method":"reboot"})"), R"({"returnValue":false})");
  PlatformInterop_SetRebootProgramForTest(nullptr);

  unlink(out.c_str());
  Launch_SetOpenerPathForTest(recorder.c_str());
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    FSF_EXPECT_EQ(child, Out(R"({"method":"shellOpen","path":"/tmp/k58 doc"})"),
                  std::string(R"({"returnValue":true})"));
    FSF_EXPECT(child, Peer_WaitUntil([&] { return Peer_FileExists(out); }));
    FSF_EXPECT_EQ(child, lines(out), std::string("recorder /tmp/k58 doc\n"));
  });
  Launch_SetOpenerPathForTest(nullptr);
}

TEST_F(PlatformInteropTest, CheckAccessAsAnotherUser) {
  FsFaultTempDir dir;
  std::string file = dir / "ro";
  Peer_WriteFile(file, "x", 0444);
  std::string check = R"({"method":"checkAccess","path":")";
  FSFAULT_RUN([&](FsFaultChild &child) {
    if (!child.DropPrivileges()) return;
    const std::string yes = R"({"returnValue":true})", no = R"({"returnValue":false})";
    FSF_EXPECT_EQ(child, Out(check + file + R"(","permissions":1,"recurse":false})"), yes);
    FSF_EXPECT_EQ(child, Out(check + file + R"(","permissions":2,"recurse":false})"), no);
    // The nearest existing directory is 0755 root's: readable, not writable.
    FSF_EXPECT_EQ(child, Out(check + dir.path() + R"(/a/b","permissions":1,"recurse":true})"),
                  yes);
    FSF_EXPECT_EQ(child, Out(check + dir.path() + R"(/a/b","permissions":2,"recurse":true})"),
                  no);
    FSF_EXPECT_EQ(child, Out(check + dir.path() + R"(/a/b","permissions":1,"recurse":false})"),
                  no);
  });
}

TEST_F(PlatformInteropTest, EnvironmentReachesChildrenNotEnviron) {
  FsFaultTempDir dir;
  std::string out = dir / "env";
  EXPECT_EQ(Out(R"({"method":"setEnvironmentVariable","name":"KEELSON_K58","value":"a b"})"),
            R"({"returnValue":true})");
  for (const char *bad : {"", "A=B"})
    EXPECT_EQ(Out(std::string(R"({"method":"setEnvironmentVariable","name":")") + bad +
                  R"(","value":"x"})"),
              R"({"returnValue":false})");
  EXPECT_EQ(Out(R"({"method":"getEnvironmentVariable","name":"KEELSON_K58"})"), Text("a b"));
  EXPECT_EQ(getenv("KEELSON_K58"), nullptr);
  ProcessHandle *child = nullptr;
  std::string arguments = "-c \"/usr/bin/env > " + out + "\"";
  ASSERT_EQ(Platform_Execute("/bin/sh", arguments.c_str(), "", 0x10, &child), 1);
  int32_t code = -1;
  EXPECT_TRUE(Peer_WaitUntil([&] { return Platform_GetProcessExitCode(child, &code) == 1; }));
  Platform_CloseProcess(&child);
  EXPECT_EQ(code, 0);
  EXPECT_NE(lines(out).find("\nKEELSON_K58=a b\n"), std::string::npos);
  Platform_SetEnvironmentVariable("KEELSON_K58", nullptr);
  EXPECT_EQ(Out(R"({"method":"getEnvironmentVariable","name":"KEELSON_K58"})"), Text(""));
}

class PlatformInteropThreaded : public PlatformInteropTest {};

// Pages set a variable while eight threads expand it: each reads a value
// that was set, never older than one it read before.
TEST_F(PlatformInteropThreaded, EnvironmentExpandsWhileAPageSetsIt) {
  constexpr int kValues = 10000;
  constexpr int kReaders = 8;
  const std::string set = R"({"method":"setEnvironmentVariable","name":"KEELSON_K58_T","value":"v)";
  ASSERT_EQ(Out(set + "0\"}"), R"({"returnValue":true})");
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; r++)
    readers.emplace_back([&] {
      int last = 0;
      do {
        char text[kStrExpandWorkBytes] = "{Env:KEELSON_K58_T}";
        int value = -1;
        if (!Str_Expand(text, sizeof text, nullptr, nullptr) || sscanf(text, "v%d", &value) != 1 ||
            value < last || value >= kValues)
          faults++;
        last = value;
      } while (!done.load());
    });
  for (int i = 1; i < kValues; i++) Out(set + std::to_string(i) + "\"}");
  done = true;
  for (std::thread &reader : readers) reader.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(Out(R"({"method":"getEnvironmentVariable","name":"KEELSON_K58_T"})"),
            Text("v" + std::to_string(kValues - 1)));
  Platform_SetEnvironmentVariable("KEELSON_K58_T", nullptr);
}

TEST_F(PlatformInteropTest, DataStoreAsBase64) {
  std::string stamped = Test_VectorPath("datastore/stamped.elf");
  std::string out = Out(R"({"method":"getFileDataStore","path":")" + stamped + "\"}");
  FsFaultTempDir dir;
  Peer_WriteFile(dir / "answer.json", out, 0644);
  // Python's json and base64 read the answer; the stamped document is the oracle.
  EXPECT_EQ(FsFault_Command("/usr/bin/python3 -c 'import json, base64, sys\n"
                            "a = json.load(open(sys.argv[1]))[\"returnValue\"]\n"
                            "print(base64.b64decode(a) == open(sys.argv[2], \"rb\").read())' " +
                            dir / "answer.json" + " " +
                            Test_VectorPath("datastore/content.txt")),
            "True");
  EXPECT_EQ(Out(R"({"method":"getFileDataStore","path":"/bin/true"})"),
            R"({"returnValue":null})");
  EXPECT_EQ(Out(R"({"method":"getDataStore"})"), R"({"returnValue":null})");
}
