// NativeUI: frame geometry per style and DPI, restyling and centring, the
// style and cursor tables, menus from Dictionary lists, message boxes and
// the abort hook, the headless desktop services, and the monitor as an Xvfb
// server shows it to xdpyinfo.
#include "core/platform/nativeui.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/memory.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

extern char **environ;

namespace {

constexpr const char *kClass = "KeelsonTestWindow";

// NativeUI_Init with DISPLAY as given (NULL: unset) for one scope, and the
// test window class.
struct UiScope {
  std::string savedDisplay;
  bool hadDisplay;
  explicit UiScope(const char *display = nullptr) {
    const char *old = getenv("DISPLAY");
    hadDisplay = old != nullptr;
    if (old) savedDisplay = old;
    if (display) {
      setenv("DISPLAY", display, 1);
    } else {
      unsetenv("DISPLAY");
    }
    NativeUI_Init();
    NativeUI_RegisterWindowClass(kClass, nullptr);
  }
  ~UiScope() {
    NativeUI_Shutdown();
    if (hadDisplay) {
      setenv("DISPLAY", savedDisplay.c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }
};

NativeWindow *makeWindow(int32_t kind, int32_t width, int32_t height) {
  NativeWindow *w = nullptr;
  EXPECT_EQ(NativeUI_CreateWindow(&w, "test", kClass, kind, width, height, 1), 1);
  return w;
}

struct BoxCall {
  std::string text, caption;
  uint32_t flags = 0;
  int calls = 0;
} gBox;

int32_t recordingBox(NativeWindow *, const char *text, const char *caption, uint32_t flags) {
  gBox.text = text;
  gBox.caption = caption;
  gBox.flags = flags;
  gBox.calls++;
  return 42;
}

int32_t printingBox(NativeWindow *, const char *text, const char *caption, uint32_t flags) {
  fprintf(stderr, "BOX:%s|0x%x|%s", caption, flags, text);
  return 1;
}

// Parses a JSON list into a fresh root; list is the list itself.
struct JsonList {
  Dictionary *root = nullptr;
  Dictionary *list = nullptr;
  explicit JsonList(const char *text) {
    Dictionary_Create(&root);
    Json *json = nullptr;
    Json_Create(&json);
    Json_SetDictionary(json, root);
    EXPECT_EQ(Json_ParseMemory(json, text, int32_t(strlen(text))), 1);
    Json_Release(&json);
    Dictionary_UnwrapContainer(root, &list);
  }
  ~JsonList() { Dictionary_Release(&root); }
};

std::string menuText(NativeMenu *menu) {
  std::string out;
  for (int32_t i = 0; i < NativeUI_GetMenuItemCount(menu); i++) {
    NativeMenuItem item;
    NativeUI_GetMenuItem(menu, i, &item);
    out +=
        std::to_string(item.id) + ":" + (item.text ? item.text : "-") + (item.checked ? "*" : "");
    if (item.subMenu) out += "[" + menuText(item.subMenu) + "]";
    out += " ";
  }
  return out;
}

}  // namespace

TEST(NativeUI, StyleAndCursorTables) {
  struct {
    const char *name;
    int32_t kind;
  } styles[] = {{"resizable", 3},  {"NORMAL", 0}, {"popup", 2}, {"Borderless", 1},
                {"Resizable ", 0}, {"frame", 0},  {"", 0}};
  for (auto &row : styles) EXPECT_EQ(NativeUI_WindowStyleFromName(row.name), row.kind) << row.name;
  EXPECT_EQ(NativeUI_GetStyle(kNativeStyleBorderless)->style, 0x800A0000u);
  EXPECT_EQ(NativeUI_GetStyle(kNativeStylePopup)->exStyle, 0x80u);
  EXPECT_EQ(NativeUI_GetStyle(77)->style, 0x00CA0000u);  // any other kind is Normal

  struct {
    int32_t kind;
    NativeCursor cursor;
  } cursors[] = {
      {0, NativeCursor::Arrow},      {1, NativeCursor::Arrow},     {2, NativeCursor::Cross},
      {3, NativeCursor::SizeAll},    {4, NativeCursor::Help},      {5, NativeCursor::SizeAll},
      {7, NativeCursor::NotAllowed}, {8, NativeCursor::Hand},      {9, NativeCursor::AppStarting},
      {10, NativeCursor::IBeam},     {11, NativeCursor::Wait},     {15, NativeCursor::SizeNS},
      {20, NativeCursor::SizeNS},    {14, NativeCursor::SizeNESW}, {22, NativeCursor::SizeNESW},
      {17, NativeCursor::SizeNWSE},  {21, NativeCursor::SizeNWSE}, {19, NativeCursor::SizeWE},
      {23, NativeCursor::SizeWE},    {24, NativeCursor::Arrow},    {-1, NativeCursor::Arrow}};
  for (auto &row : cursors)
    EXPECT_EQ(int(NativeUI_CursorFromKind(row.kind)), int(row.cursor)) << row.kind;
}

// Client to window and back for each style at 96 and 144 DPI.
TEST(NativeUI, FramePerStyleAndDpi) {
  UiScope ui;
  struct {
    int32_t kind, dpi;
    NativeRect frame;
  } rows[] = {
      {kNativeStyleNormal, 96, {3, 26, 3, 3}},     {kNativeStyleNormal, 144, {5, 39, 5, 5}},
      {kNativeStyleResizable, 96, {8, 31, 8, 8}},  {kNativeStyleResizable, 144, {12, 47, 12, 12}},
      {kNativeStylePopup, 96, {0, 0, 0, 0}},       {kNativeStylePopup, 144, {0, 0, 0, 0}},
      {kNativeStyleBorderless, 144, {0, 0, 0, 0}},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(std::to_string(row.kind) + " at " + std::to_string(row.dpi));
    NativeUI_SetScreen(1920, 1080, row.dpi, row.dpi);
    NativeWindow *w = makeWindow(row.kind, 400, 300);
    const NativeRect &f = row.frame;
    EXPECT_EQ(NativeUI_GetWindowX(w), 0);
    EXPECT_EQ(NativeUI_GetWindowWidth(w), 400 + f.left + f.right);
    EXPECT_EQ(NativeUI_GetWindowHeight(w), 300 + f.top + f.bottom);
    EXPECT_EQ(NativeUI_GetClientWidth(w), 400);
    EXPECT_EQ(NativeUI_GetClientHeight(w), 300);
    int32_t width = 10, height = 20;
    EXPECT_EQ(NativeUI_ClientToWindowSize(w, &width, &height), 1);
    EXPECT_EQ(width, 10 + f.left + f.right);
    EXPECT_EQ(height, 20 + f.top + f.bottom);
    NativeRect r = {-5, 7, 95, 57};
    EXPECT_EQ(NativeUI_ClientToWindowRect(w, &r), 1);
    EXPECT_EQ(r.left, -5 - f.left);
    EXPECT_EQ(r.top, 7 - f.top);
    EXPECT_EQ(r.right, 95 + f.right);
    EXPECT_EQ(r.bottom, 57 + f.bottom);
    // And back: a window rectangle set from outside leaves the client less
    // the frame.
    NativeUI_SetWindowSize(w, 200 + f.left + f.right, 100 + f.top + f.bottom);
    EXPECT_EQ(NativeUI_GetClientWidth(w), 200);
    EXPECT_EQ(NativeUI_GetClientHeight(w), 100);
    NativeUI_DestroyWindow(&w);
  }
}

// Normal to Resizable and back keeps the client area's screen position and size.
TEST(NativeUI, RestyleKeepsTheClientArea) {
  UiScope ui;
  NativeUI_SetScreen(1920, 1080, 144, 144);
  NativeWindow *w = makeWindow(kNativeStyleNormal, 400, 300);
  NativeUI_SetWindowPosition(w, 100, 100);
  auto client = [&] {
    NativeRect frame = NativeUI_GetFrame(kNativeStyleNormal, 144);
    if (NativeUI_GetWindowWidth(w) != 400 + frame.left + frame.right)
      frame = NativeUI_GetFrame(kNativeStyleResizable, 144);
    return std::to_string(NativeUI_GetWindowX(w) + frame.left) + "," +
           std::to_string(NativeUI_GetWindowY(w) + frame.top) + " " +
           std::to_string(NativeUI_GetClientWidth(w)) + "x" +
           std::to_string(NativeUI_GetClientHeight(w));
  };
  EXPECT_EQ(client(), "105,139 400x300");
  EXPECT_EQ(NativeUI_SetWindowStyle(w, kNativeStyleResizable), 1);
  EXPECT_EQ(NativeUI_GetWindowX(w), 93);  // 105 - 12
  EXPECT_EQ(NativeUI_GetWindowY(w), 92);  // 139 - 47
  EXPECT_EQ(NativeUI_GetWindowWidth(w), 424);
  EXPECT_EQ(client(), "105,139 400x300");
  EXPECT_EQ(NativeUI_SetWindowStyle(w, kNativeStyleNormal), 1);
  EXPECT_EQ(NativeUI_GetWindowX(w), 100);
  EXPECT_EQ(client(), "105,139 400x300");
  NativeUI_DestroyWindow(&w);
}

TEST(NativeUI, CentringOverhangsALargerWindowEqually) {
  UiScope ui;
  NativeWindow *parent = makeWindow(kNativeStylePopup, 100, 100);
  NativeUI_SetWindowPosition(parent, 50, 60);
  struct {
    int32_t width, height, x, y;
  } rows[] = {{40, 20, 80, 100}, {140, 120, 30, 50}, {141, 100, 29, 60}, {100, 100, 50, 60}};
  for (auto &row : rows) {
    NativeWindow *w = makeWindow(kNativeStylePopup, row.width, row.height);
    EXPECT_EQ(NativeUI_CenterWindow(w, parent), 1);
    EXPECT_EQ(NativeUI_GetWindowX(w), row.x) << row.width;
    EXPECT_EQ(NativeUI_GetWindowY(w), row.y) << row.height;
    EXPECT_EQ(NativeUI_GetWindowWidth(w), row.width);  // no resize
    NativeUI_DestroyWindow(&w);
  }
  NativeWindow *w = makeWindow(kNativeStylePopup, 200, 100);
  EXPECT_EQ(NativeUI_CenterWindow(w, nullptr), 1);  // the virtual screen
  EXPECT_EQ(NativeUI_GetWindowX(w), 860);
  EXPECT_EQ(NativeUI_GetWindowY(w), 490);
  NativeWindow *gone = makeWindow(kNativeStylePopup, 1, 1);
  NativeWindow *stale = gone;
  NativeUI_DestroyWindow(&gone);
  EXPECT_EQ(NativeUI_CenterWindow(w, stale), 0);
  NativeUI_DestroyWindow(&w);
  NativeUI_DestroyWindow(&parent);
}

// A handle that names no live window answers 0 everywhere.
TEST(NativeUI, DeadHandlesAnswerZero) {
  UiScope ui;
  NativeWindow *w = makeWindow(kNativeStyleNormal, 10, 10);
  NativeWindow *stale = w;
  EXPECT_EQ(NativeUI_DestroyWindow(&w), 1);
  EXPECT_EQ(w, nullptr);
  int32_t a = 1, b = 1;
  NativeRect r = {};
  EXPECT_EQ(NativeUI_DestroyWindow(&stale), 0);
  stale = reinterpret_cast<NativeWindow *>(&a);
  EXPECT_EQ(NativeUI_SetWindowStyle(stale, 3), 0);
  EXPECT_EQ(NativeUI_ClientToWindowSize(stale, &a, &b), 0);
  EXPECT_EQ(NativeUI_ClientToWindowRect(stale, &r), 0);
  EXPECT_EQ(NativeUI_GetWindowWidth(stale) + NativeUI_GetClientHeight(stale), 0);
  EXPECT_EQ(NativeUI_SetWindowPosition(stale, 1, 1) + NativeUI_SetWindowSize(stale, 1, 1), 0);
  EXPECT_EQ(NativeUI_SetCursor(stale, 2) + NativeUI_BringToFront(stale), 0);
  EXPECT_EQ(NativeUI_SetWindowText(stale, "x") + NativeUI_GetMonitorWidth(stale, &a), 0);
  EXPECT_EQ(NativeUI_GetWindowDpi(stale, &a, &b), 0);
  EXPECT_EQ(NativeUI_ShowMessageBox(stale, "t", "c", 0), 0);
  EXPECT_EQ(NativeUI_CreateWindow(&w, "t", "NoSuchClass", 0, 1, 1, 1), 0);
  EXPECT_EQ(NativeUI_RegisterWindowClass(kClass, nullptr), 0);  // registered already
  EXPECT_EQ(NativeUI_RegisterWindowClass(std::string(121, 'c').c_str(), nullptr), 0);
  EXPECT_EQ(NativeUI_RegisterWindowClass(std::string(120, 'c').c_str(), nullptr), 1);
}

TEST(NativeUI, MenusFromNestedLists) {
  Mem_Init(0);
  {
    JsonList good(R"([{"id": 1, "text": "Open"},
                      {"id": 2, "text": "Recent", "subMenu": [
                        {"id": 20, "text": "a.txt", "checked": true},
                        {"id": 21, "text": "More", "subMenu": [{"id": 210, "text": "b"}]}]},
                      {"text": "sep-less"},
                      {"id": 3, "text": "Quit", "checked": false}])");
    NativeMenu *menu = nullptr;
    NativeUI_CreateMenu(&menu);
    EXPECT_EQ(NativeUI_BuildMenu(nullptr, menu, good.list), 1);
    EXPECT_EQ(menuText(menu), "1:Open 2:Recent[20:a.txt* 21:More[210:b ] ] 0:sep-less 3:Quit ");
    NativeUI_DestroyMenu(&menu);
    EXPECT_EQ(menu, nullptr);

    // A sub-menu that cannot be inserted (its id needs more than 16 bits),
    // and one whose own build fails: each is destroyed again, the items
    // before it stay.
    struct {
      const char *json;
      const char *kept;
    } rows[] = {
        {R"([{"id": 1, "text": "a"}, {"id": 70000, "text": "b", "subMenu": [{"id": 5}]}])", "1:a "},
        {R"([{"id": 1, "text": "a"}, {"id": 2, "subMenu": [{"id": 3}, {"id": -1}]}, {"id": 4}])",
         "1:a "},
        {R"([{"id": 1}, {"id": 2, "subMenu": {"id": 3}}])", "1:- "},
        {R"([{"id": 1}, [1, 2]])", "1:- "},
        {R"([{"id": "x"}])", ""},
    };
    for (auto &row : rows) {
      JsonList bad(row.json);
      NativeUI_CreateMenu(&menu);
      EXPECT_EQ(NativeUI_BuildMenu(nullptr, menu, bad.list), 0) << row.json;
      EXPECT_EQ(menuText(menu), row.kept) << row.json;
      NativeUI_DestroyMenu(&menu);
    }
  }
  int64_t count = -1, bytes = -1;
  Mem_GetUsage(&count, &bytes);
  EXPECT_EQ(count, 0);  // every sub-menu that was not inserted went again
  Mem_Shutdown();
}

TEST(NativeUI, MessageBoxes) {
  UiScope ui;
  NativeUI_SetMessageBoxOverride(recordingBox);
  gBox = {};
  EXPECT_EQ(NativeUI_ShowMessageBox(nullptr, "the text", "the caption", 0x2013), 42);
  EXPECT_EQ(gBox.text, "the text");
  EXPECT_EQ(gBox.caption, "the caption");
  EXPECT_EQ(gBox.flags, 0x2013u);
  NativeUI_SetMessageBoxOverride(nullptr);

  // Without the override: the default button, a WARNING line and stderr.
  struct {
    uint32_t flags;
    int32_t answer;
  } rows[] = {{0x0, 1},   {0x1, 1},    {0x101, 2},  {0x2, 3},   {0x102, 4}, {0x202, 5}, {0x3, 6},
              {0x103, 7}, {0x203, 2},  {0x4, 6},    {0x104, 7}, {0x204, 6}, {0x5, 4},   {0x105, 2},
              {0x6, 2},   {0x106, 10}, {0x206, 11}, {0x7, 1},   {0x301, 1}, {0x2014, 6}};
  for (auto &row : rows) EXPECT_EQ(NativeUI_DefaultAnswer(row.flags), row.answer) << row.flags;
  {
    TestLogCapture log;
    EXPECT_EQ(NativeUI_ShowMessageBox(nullptr, "Disk full", "Setup", 0x104), 7);
    EXPECT_NE(log.Take().find("WARNING - Setup: Disk full\n"), std::string::npos);
  }
  // With the log off the console, the box's text still reaches stderr.
  uint32_t flags = Debug_Flags();
  Core_SetFlags(0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(NativeUI_ShowMessageBox(nullptr, "Disk full", "Setup", 0x5), 4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Setup: Disk full\n");
  Core_SetFlags(flags);
}

TEST(NativeUIDeathTest, AbortHookShowsTheTextUnlessCommandLine) {
  UiScope ui;
  NativeUI_SetMessageBoxOverride(printingBox);
  EXPECT_DEATH(Core_Abort("x.cpp", 7, "boom %d", 5),
               testing::HasSubstr("BOX:Internal error...|0x2010|ABORT - boom 5 (x.cpp/7)"));
  EXPECT_DEATH(
      {
        Core_SetFlags(kCoreFlagCmdLine);
        Core_Abort("x.cpp", 8, "quiet\n");
      },
      testing::AllOf(testing::HasSubstr("ABORT - quiet"),
                     testing::Not(testing::HasSubstr("BOX:"))));
  NativeUI_SetMessageBoxOverride(nullptr);
  EXPECT_DEATH(Core_Abort("x.cpp", 9, "plain\n"),
               testing::AllOf(testing::HasSubstr("ABORT - plain"),
                              testing::Not(testing::HasSubstr("BOX:"))));
}

TEST(NativeUI, DesktopServicesAnswerZeroAndLogOnce) {
  UiScope ui;
  char path[1024] = "/tmp/";
  char out[64] = "x";
  const char *filters[] = {"Text", "*.txt"};
  NativeProgressDialog *dialog = reinterpret_cast<NativeProgressDialog *>(1);
  NativeIcon *icon = reinterpret_cast<NativeIcon *>(1);
  std::string text;
  {
    TestLogCapture log;
    EXPECT_EQ(NativeUI_TrayIcon(nullptr, nullptr, 1, 0), 0);
    EXPECT_EQ(NativeUI_TrayIcon(nullptr, nullptr, 1, 2), 0);
    text = log.Take();
  }
  size_t first = text.find("TrayIcon: no desktop");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(text.find("TrayIcon: no desktop", first + 1), std::string::npos);
  EXPECT_EQ(NativeUI_BrowseForFolder(nullptr, "t", path, 0, nullptr), 0);
  EXPECT_EQ(NativeUI_OpenFileDialog(nullptr, "t", filters, 1, nullptr, out, sizeof out, 2), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(NativeUI_ShowTrayNotification(nullptr, nullptr, 1, "t", "x"), 0);
  for (int32_t value : {-3, -2, -1, 0, 100, 101})
    EXPECT_EQ(NativeUI_SetTaskbarProgress(nullptr, value), 0);
  EXPECT_EQ(NativeUI_ShowProgressDialog(&dialog, "t", "l"), 0);
  EXPECT_EQ(dialog, nullptr);
  EXPECT_EQ(NativeUI_GetAppIcon(&icon), 0);
  EXPECT_EQ(icon, nullptr);
}

TEST(NativeUIDeathTest, DesktopServicesCheckTheirPointers) {
  char out[8];
  EXPECT_DEATH(NativeUI_BrowseForFolder(nullptr, "t", nullptr, 0, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(NativeUI_ShowProgressDialog(nullptr, "t", "l"), "Pointer is NULL\n");
  EXPECT_DEATH(NativeUI_OpenFileDialog(nullptr, "t", nullptr, 1, nullptr, out, 8, 0),
               "Pointer is NULL\n");
  EXPECT_DEATH(NativeUI_ShowMessageBox(nullptr, nullptr, "c", 0), "Pointer is NULL\n");
}

// Without DISPLAY, or with one that names no server, the virtual screen.
TEST(NativeUI, VirtualScreenWithoutDisplay) {
  for (const char *display : {static_cast<const char *>(nullptr), ":987"}) {
    UiScope ui(display);
    int32_t width = 0, height = 0, dpiX = 0, dpiY = 0;
    EXPECT_EQ(NativeUI_GetMonitorWidth(nullptr, &width), 1);
    EXPECT_EQ(NativeUI_GetMonitorHeight(nullptr, &height), 1);
    EXPECT_EQ(NativeUI_GetWindowDpi(nullptr, &dpiX, &dpiY), 1);
    EXPECT_EQ(std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(dpiX) +
                  "x" + std::to_string(dpiY),
              "1920x1080@96x96");
  }
}

// The monitor of an Xvfb server equals what xdpyinfo reports for it.
TEST(NativeUI, MonitorOfAnXServerMatchesXdpyinfo) {
  if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/xdpyinfo", X_OK) != 0)
    GTEST_SKIP() << "Xvfb or xdpyinfo missing";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::string fd = std::to_string(pipeFds[1]);
  // -noreset: by default the server resets when its last client leaves, and
  // refuses connections meanwhile; xdpyinfo's leaving would race our open.
  const char *argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen",   "0",   "1280x800x24",
                        "-dpi", "120",        "-noreset", "-nolisten", "tcp", nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(
      posix_spawn(&pid, "/usr/bin/Xvfb", &actions, nullptr, const_cast<char **>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  std::string number;
  pollfd p = {pipeFds[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1) {
    char c[16];
    ssize_t n = read(pipeFds[0], c, sizeof c);
    if (n <= 0) break;
    number.append(c, size_t(n));
  }
  close(pipeFds[0]);
  std::string display = ":" + number.substr(0, number.find('\n'));
  int status = 0;
  std::string info = number.empty() ? "" : Test_RunCommand("xdpyinfo -display " + display, &status);
  int32_t width = 0, height = 0, dpiX = 0, dpiY = 0;
  if (!number.empty()) {
    UiScope ui(display.c_str());
    NativeUI_GetMonitorWidth(nullptr, &width);
    NativeUI_GetMonitorHeight(nullptr, &height);
    NativeUI_GetWindowDpi(nullptr, &dpiX, &dpiY);
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  ASSERT_FALSE(number.empty()) << "Xvfb did not start";
  size_t dimensions = info.find("dimensions:"), resolution = info.find("resolution:");
  ASSERT_NE(dimensions, std::string::npos) << info;
  ASSERT_NE(resolution, std::string::npos) << info;
  int xdpyWidth = 0, xdpyHeight = 0, xdpyDpiX = 0, xdpyDpiY = 0;
  ASSERT_EQ(sscanf(info.c_str() + dimensions, "dimensions: %dx%d", &xdpyWidth, &xdpyHeight), 2);
  ASSERT_EQ(sscanf(info.c_str() + resolution, "resolution: %dx%d", &xdpyDpiX, &xdpyDpiY), 2);
  EXPECT_EQ(width, xdpyWidth);
  EXPECT_EQ(height, xdpyHeight);
  EXPECT_EQ(dpiX, xdpyDpiX);
  EXPECT_EQ(dpiY, xdpyDpiY);
  EXPECT_EQ(width, 1280);
  EXPECT_EQ(dpiX, 120);
}
