#include "core/platform/shortcut.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/peer_record.h"

namespace {

constexpr const char *kPeer = KEELSON_LAUNCH_PEER;

// The status and output of desktop-file-validate on a file.
std::string validate(const std::string &path, int *status) {
  std::string command = "desktop-file-validate '" + path + "' 2>&1; echo \"rc=$?\"";
  std::string out = FsFault_Command(command);
  size_t rc = out.rfind("rc=");
  *status = rc == std::string::npos ? -1 : std::stoi(out.substr(rc + 3));
  return out;
}

bool haveTool(const char *name) {
  return FsFault_Command(std::string("command -v ") + name + " >/dev/null && echo yes") == "yes";
}

}  // namespace

// Texts a Desktop Entry must carry through unchanged: the Exec line goes
// through gio's own parser, an independent reader of the quoting rules.
TEST(Shortcut, ExecArgumentsSurviveAnIndependentReader) {
  if (!haveTool("desktop-file-validate") || !haveTool("gio"))
    GTEST_SKIP() << "desktop-file-utils and libglib2.0-bin are needed";
  FsFaultTempDir dir;
  // The target itself has blanks, quotes and a '$' in its directory. (Not a
  // '%': gio looks the program up before it undoes the doubled '%'.)
  std::string odd = dir / "odd dir \"q\" $HOME";
  std::filesystem::create_directories(odd);
  std::string target = odd + "/peer";
  std::filesystem::copy_file(kPeer, target);
  chmod(target.c_str(), 0755);
  struct Row {
    const char *name;
    const char *arguments;  // after the record file and exit code
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"blanks", "\"a b\"  c", {"a b", "c"}},
      {"quotes", "\"say \"\"hi\"\"\" --opt=\"x y\"", {"say \"hi\"", "--opt=x y"}},
      {"backslashes", "C:\\dir\\ \"\\\\srv\\\"", {"C:\\dir\\", "\\\\srv\\"}},
      {"percent", "100% %f %%u", {"100%", "%f", "%%u"}},
      {"dollar and backtick", "$HOME `id` \"$(id)\"", {"$HOME", "`id`", "$(id)"}},
      {"utf8", "\"Grüße 世界\"", {"Grüße 世界"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::string record = dir / (std::string(row.name) + ".record");
    std::string link = dir / (std::string("menu/") + row.name + ".lnk");
    std::string arguments = "\"" + record + "\" 0 " + row.arguments;
    std::string description = std::string(" Runs \"") + row.name + "\" \\ $x `y` 50%\nline two";
    ASSERT_EQ(Platform_CreateShortcut(link.c_str(), target.c_str(), arguments.c_str(),
                                      dir.path().c_str(), description.c_str(), "/usr/share/x.png",
                                      3, 0),
              1);
    std::string entry = dir / (std::string("menu/") + row.name + ".desktop");
    EXPECT_FALSE(Peer_FileExists(link));
    struct stat status;
    ASSERT_EQ(stat(entry.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u);
    int rc = -1;
    std::string report = validate(entry, &rc);
    EXPECT_EQ(rc, 0) << report << Peer_ReadFile(entry);
    EXPECT_EQ(report.find("error"), std::string::npos) << report;
    FsFault_Command("cd / && timeout 20 gio launch '" + entry + "' 2>&1");
    PeerRecord peer = Peer_Read(record);
    ASSERT_TRUE(peer.found) << Peer_ReadFile(entry);
    std::vector<std::string> expected = {target, record, "0"};
    expected.insert(expected.end(), row.expected.begin(), row.expected.end());
    EXPECT_EQ(peer.argv, expected) << Peer_ReadFile(entry);
    EXPECT_EQ(peer.cwd, dir.path());
    EXPECT_EQ(Platform_DeleteShortcut(link.c_str()), 1);
    EXPECT_FALSE(Peer_FileExists(entry));
  }
}

TEST(Shortcut, FileLayoutAndFlags) {
  FsFaultTempDir dir;
  struct Row {
    std::string path, entry;
    uint32_t flags;
    const char *exec;
  };
  const Row rows[] = {
      {dir / "a.lnk", dir / "a.desktop", 0, "Exec=\"/opt/App/run\" \"-x\"\n"},
      {dir / "b.LNK", dir / "b.desktop", kShortcutRunAsAdmin,
       "Exec=\"pkexec\" \"/opt/App/run\" \"-x\"\n"},
      {dir / "c", dir / "c.desktop", 0, "Exec=\"/opt/App/run\" \"-x\"\n"},
      {dir / "deep\\d.desktop", dir / "deep/d.desktop", 0, "Exec=\"/opt/App/run\" \"-x\"\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    ASSERT_EQ(Platform_CreateShortcut(row.path.c_str(), "/opt/App/run", "-x", "", "", "", 0,
                                      row.flags),
              1);
    std::string text = Peer_ReadFile(row.entry);
    std::string title = std::filesystem::path(row.entry).stem();
    EXPECT_EQ(text, "[Desktop Entry]\nType=Application\nName=" + title + "\n" + row.exec);
    EXPECT_EQ(Platform_DeleteShortcut(row.path.c_str()), 1);
    EXPECT_EQ(Platform_DeleteShortcut(row.path.c_str()), 0);
    EXPECT_EQ(Platform_GetLastError(), kPlatformErrorFileNotFound);
  }
}

TEST(Shortcut, TextsAnEntryCannotHoldWriteNothing) {
  FsFaultTempDir dir;
  TestLogCapture capture;
  std::string link = dir / "bad.lnk";
  const std::vector<std::vector<std::string>> rows = {
      {"/bin/true", "", "", "bell\a"},      // a control character
      {"/bin/true", "\xff\xfe", "", ""},    // not UTF-8
      {"/bin/true", "\"open", "", ""},      // a quote left open
      {"/bin/true\x01", "", "", ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row[0] + " " + row[1] + " " + row[3]);
    EXPECT_EQ(Platform_CreateShortcut(link.c_str(), row[0].c_str(), row[1].c_str(), row[2].c_str(),
                                      row[3].c_str(), "", 0, 0),
              0);
    EXPECT_EQ(Platform_GetLastError(), kPlatformErrorInvalidParameter);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
  EXPECT_NE(capture.Take().find("Cannot save shortcut '" + dir.path() + "/bad.desktop' (0x80070057)"),
            std::string::npos);
}

TEST(ShortcutDeathTest, NullTextsStop) {
  EXPECT_DEATH(Platform_CreateShortcut(nullptr, "", "", "", "", "", 0, 0), "Pointer is NULL\n");
  EXPECT_DEATH(Platform_CreateShortcut("/tmp/x", "", "", "", nullptr, "", 0, 0),
               "Pointer is NULL\n");
  EXPECT_DEATH(Platform_DeleteShortcut(nullptr), "Pointer is NULL\n");
}
