// NativeUI on Linux: headless window records, the monitor of the X server
// that DISPLAY names (libX11 loaded at run time) or a virtual screen, message
// boxes through the override or the log; see core/platform/nativeui.h.
#include "core/platform/nativeui.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

// Last: Xlib defines None, Bool, Status and more as macros. Only its types
// and function signatures are used; the library is loaded at run time.
#include <X11/Xlib.h>

constexpr int32_t kNativeCreateTextChars = 256;

struct NativeWindow {
  NativeWindow *next;
  int32_t kind;
  uint32_t style;
  uint32_t exStyle;
  NativeRect rect;  // the window rectangle, screen pixels
  NativeCursor cursor;
  int32_t active;
  char title[4 * kNativeWindowTitleChars + 1];  // UTF-8, at most 512 characters
};

namespace {

struct NativeClass {
  NativeClass *next;
  char name[4 * kNativeClassNameChars + 1];
};

constexpr int32_t kNativeVirtualWidth = 1920;
constexpr int32_t kNativeVirtualHeight = 1080;
constexpr const char *kNativeX11Library = "libX11.so.6";

// Each desktop service logs its absence once (one bit each).
enum NativeService : uint32_t {
  kServiceFolder = 1,
  kServiceOpenFile = 2,
  kServiceTrayNotification = 4,
  kServiceTrayIcon = 8,
  kServiceTaskbar = 16,
  kServiceProgressDialog = 32,
};

// The UI global. Windows, classes and the screen belong to the main thread;
// the override and the hook chain are read by any thread.
struct NativeUIGlobal {
  int initialised;
  int32_t screenWidth = kNativeVirtualWidth;
  int32_t screenHeight = kNativeVirtualHeight;
  int32_t dpiX = kNativeBaseDpi;
  int32_t dpiY = kNativeBaseDpi;
  NativeWindow *windows;
  NativeClass *classes;
};
NativeUIGlobal gNativeUI;
std::atomic<NativeMessageBoxFunction> gNativeOverride{nullptr};
std::atomic<CoreAbortHook> gNativePreviousHook{nullptr};
std::atomic<uint32_t> gNativeServicesLogged{0};

// libX11 stays loaded once loaded: its display code keeps state that lives
// as long as the process.
PlatformModule *gNativeX11;

template <typename F>
bool nativeX11Find(const char *name, F *out) {
  *out = reinterpret_cast<F>(Platform_GetLibraryFunction(gNativeX11, name));
  return *out != nullptr;
}

int32_t nativeDpi(int32_t pixels, int32_t millimetres) {
  if (millimetres <= 0) return kNativeBaseDpi;
  return int32_t(std::lround(double(pixels) * 25.4 / double(millimetres)));
}

// The root window of the display that DISPLAY names. 0 when there is none
// or it does not answer.
int nativeReadDisplay(NativeUIGlobal *g) {
  const char *display = getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') return 0;
  if (gNativeX11 == nullptr) gNativeX11 = Platform_LoadSystemLibrary(kNativeX11Library, 0);
  decltype(&XOpenDisplay) openDisplay;
  decltype(&XCloseDisplay) closeDisplay;
  decltype(&XDefaultScreen) defaultScreen;
  decltype(&XDisplayWidth) width;
  decltype(&XDisplayHeight) height;
  decltype(&XDisplayWidthMM) widthMM;
  decltype(&XDisplayHeightMM) heightMM;
  if (gNativeX11 == nullptr || !nativeX11Find("XOpenDisplay", &openDisplay) ||
      !nativeX11Find("XCloseDisplay", &closeDisplay) ||
      !nativeX11Find("XDefaultScreen", &defaultScreen) || !nativeX11Find("XDisplayWidth", &width) ||
      !nativeX11Find("XDisplayHeight", &height) || !nativeX11Find("XDisplayWidthMM", &widthMM) ||
      !nativeX11Find("XDisplayHeightMM", &heightMM))
    return 0;
  Display *d = openDisplay(nullptr);
  if (d == nullptr) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Unable to open display (%s)\n", display);
    return 0;
  }
  int screen = defaultScreen(d);
  g->screenWidth = width(d, screen);
  g->screenHeight = height(d, screen);
  g->dpiX = nativeDpi(g->screenWidth, widthMM(d, screen));
  g->dpiY = nativeDpi(g->screenHeight, heightMM(d, screen));
  closeDisplay(d);
  return 1;
}

void nativeAbortHook(const char *sourcePath, int line, const char *text) {
  if (CoreAbortHook previous = gNativePreviousHook.load()) previous(sourcePath, line, text);
  NativeMessageBoxFunction box = gNativeOverride.load();
  // The text is on the console and in the log already; a box adds it only
  // where someone can see one.
  if (box != nullptr && (Debug_Flags() & kCoreFlagCmdLine) == 0)
    box(nullptr, text, kNativeAbortCaption, kNativeAbortBoxFlags);
}

// The live window record of a handle, or NULL.
NativeWindow *nativeFind(NativeWindow *window) {
  for (NativeWindow *w = gNativeUI.windows; w != nullptr; w = w->next)
    if (w == window) return w;
  return nullptr;
}

// Copies at most maxChars UTF-8 characters of src, never cutting one.
void nativeCopyChars(char *dst, int size, const char *src, int32_t maxChars) {
  int at = 0;
  int32_t chars = 0;
  while (src[at] != '\0' && chars < maxChars) {
    int next = at + 1;
    while ((uint8_t(src[next]) & 0xc0) == 0x80) next++;
    if (next >= size) break;
    at = next;
    chars++;
  }
  memcpy(dst, src, size_t(at));
  dst[at] = '\0';
}

NativeRect nativeFrame(const NativeWindow *w) { return NativeUI_GetFrame(w->kind, gNativeUI.dpiX); }

NativeRect nativeAdjust(NativeRect r, NativeRect frame) {
  return {r.left - frame.left, r.top - frame.top, r.right + frame.right, r.bottom + frame.bottom};
}

// The client rectangle in screen pixels (empty when the frame is larger).
NativeRect nativeClient(const NativeWindow *w) {
  NativeRect f = nativeFrame(w);
  NativeRect c = {w->rect.left + f.left, w->rect.top + f.top, w->rect.right - f.right,
                  w->rect.bottom - f.bottom};
  if (c.right < c.left) c.right = c.left;
  if (c.bottom < c.top) c.bottom = c.top;
  return c;
}

int nativeNoDesktop(NativeService service, const char *operation) {
  if ((gNativeServicesLogged.fetch_or(service) & service) == 0)
    Log_Print(LOG_DEBUG, KSRC, 0, "%s: no desktop\n", operation);
  return 0;
}

}  // namespace

// ---- Start and stop ---------------------------------------------------------------------------

int NativeUI_Init(void) {
  if (gNativeUI.initialised) Core_Abort(KSRC, "NativeUI already initialized\n");
  gNativeUI.initialised = 1;
  if (!nativeReadDisplay(&gNativeUI))
    Log_Print(LOG_DEBUG, KSRC, 0, "No display: a virtual screen of %d x %d at %d DPI\n",
              gNativeUI.screenWidth, gNativeUI.screenHeight, gNativeUI.dpiX);
  gNativePreviousHook.store(Core_SetAbortHook(nativeAbortHook));
  return 1;
}

int NativeUI_Shutdown(void) {
  if (gNativeUI.initialised) Core_SetAbortHook(gNativePreviousHook.exchange(nullptr));
  gNativeOverride.store(nullptr);
  while (gNativeUI.windows) {
    NativeWindow *w = gNativeUI.windows;
    NativeUI_DestroyWindow(&w);
  }
  while (NativeClass *c = gNativeUI.classes) {
    gNativeUI.classes = c->next;
    MEM_FREE(c, sizeof(NativeClass));
  }
  gNativeUI = NativeUIGlobal();
  return 1;
}

void NativeUI_SetMessageBoxOverride(NativeMessageBoxFunction function) {
  gNativeOverride.store(function);
}

void NativeUI_SetScreen(int32_t width, int32_t height, int32_t dpiX, int32_t dpiY) {
  if (width < 1 || height < 1 || dpiX < 1 || dpiY < 1)
    Core_Abort(KSRC, "Invalid screen (%d x %d at %d x %d DPI)\n", width, height, dpiX, dpiY);
  gNativeUI.screenWidth = width;
  gNativeUI.screenHeight = height;
  gNativeUI.dpiX = dpiX;
  gNativeUI.dpiY = dpiY;
}

// ---- Windows ----------------------------------------------------------------------------------

int NativeUI_RegisterWindowClass(const char *name, void *) {
  CHECK_POINTER(name);
  if (name[0] == '\0' || strlen(name) > size_t(4 * kNativeClassNameChars)) return 0;
  char copy[sizeof NativeClass::name];
  nativeCopyChars(copy, sizeof copy, name, kNativeClassNameChars);
  if (strcmp(copy, name) != 0) return 0;  // more than 120 characters
  for (NativeClass *c = gNativeUI.classes; c != nullptr; c = c->next)
    if (strcmp(c->name, name) == 0) return 0;
  auto *c = static_cast<NativeClass *>(MEM_ALLOC(sizeof(NativeClass), MEM_ZEROED));
  Str_Set(c->name, name);
  c->next = gNativeUI.classes;
  gNativeUI.classes = c;
  return 1;
}

int NativeUI_CreateWindow(NativeWindow **window, const char *title, const char *windowClass,
                          int32_t styleKind, int32_t clientWidth, int32_t clientHeight,
                          int32_t activate) {
  CHECK_POINTER(window);
  CHECK_POINTER(windowClass);
  *window = nullptr;
  NativeClass *c = gNativeUI.classes;
  while (c != nullptr && strcmp(c->name, windowClass) != 0) c = c->next;
  if (c == nullptr || clientWidth < 0 || clientHeight < 0) return 0;
  auto *w = static_cast<NativeWindow *>(MEM_ALLOC(sizeof(NativeWindow), MEM_ZEROED));
  const NativeStyle *style = NativeUI_GetStyle(styleKind);
  w->kind = style->kind;
  w->style = style->style;
  w->exStyle = style->exStyle | (activate ? 0 : kNativeWindowNoActivate);
  w->active = activate != 0;
  w->cursor = NativeCursor::Arrow;
  if (title) nativeCopyChars(w->title, sizeof w->title, title, kNativeCreateTextChars);
  w->rect = nativeAdjust({0, 0, clientWidth, clientHeight}, nativeFrame(w));
  w->rect = {0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
  w->next = gNativeUI.windows;
  gNativeUI.windows = w;
  *window = w;
  return 1;
}

int NativeUI_DestroyWindow(NativeWindow **window) {
  CHECK_POINTER(window);
  NativeWindow *dying = *window;
  *window = nullptr;
  for (NativeWindow **link = &gNativeUI.windows; *link != nullptr; link = &(*link)->next) {
    if (*link != dying) continue;
    *link = dying->next;
    MEM_FREE(dying, sizeof(NativeWindow));
    return 1;
  }
  return 0;
}

int NativeUI_SetWindowStyle(NativeWindow *window, int32_t styleKind) {
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  NativeRect client = nativeClient(w);
  NativeRect oldClient = nativeAdjust(client, nativeFrame(w));
  const NativeStyle *style = NativeUI_GetStyle(styleKind);
  w->style = style->style | (w->style & kNativeWindowVisible);
  w->exStyle = style->exStyle;
  w->kind = style->kind;
  w->rect = NativeUI_KeepClientArea(w->rect, oldClient, nativeAdjust(client, nativeFrame(w)));
  return 1;
}

int NativeUI_ClientToWindowSize(NativeWindow *window, int32_t *width, int32_t *height) {
  CHECK_POINTER(width);
  CHECK_POINTER(height);
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  NativeRect f = nativeFrame(w);
  *width += f.left + f.right;
  *height += f.top + f.bottom;
  return 1;
}

int NativeUI_ClientToWindowRect(NativeWindow *window, NativeRect *rect) {
  CHECK_POINTER(rect);
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  *rect = nativeAdjust(*rect, nativeFrame(w));
  return 1;
}

int32_t NativeUI_GetWindowX(NativeWindow *window) {
  NativeWindow *w = nativeFind(window);
  return w ? w->rect.left : 0;
}

int32_t NativeUI_GetWindowY(NativeWindow *window) {
  NativeWindow *w = nativeFind(window);
  return w ? w->rect.top : 0;
}

int32_t NativeUI_GetWindowWidth(NativeWindow *window) {
  NativeWindow *w = nativeFind(window);
  return w ? w->rect.right - w->rect.left : 0;
}

int32_t NativeUI_GetWindowHeight(NativeWindow *window) {
  NativeWindow *w = nativeFind(window);
  return w ? w->rect.bottom - w->rect.top : 0;
}

int32_t NativeUI_GetClientWidth(NativeWindow *window) {
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  NativeRect c = nativeClient(w);
  return c.right - c.left;
}

int32_t NativeUI_GetClientHeight(NativeWindow *window) {
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  NativeRect c = nativeClient(w);
  return c.bottom - c.top;
}

int NativeUI_SetWindowSize(NativeWindow *window, int32_t width, int32_t height) {
  NativeWindow *w = nativeFind(window);
  if (w == nullptr || width < 0 || height < 0) return 0;
  w->rect.right = w->rect.left + width;
  w->rect.bottom = w->rect.top + height;
  return 1;
}

int NativeUI_SetWindowPosition(NativeWindow *window, int32_t x, int32_t y) {
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  w->rect = {x, y, x + (w->rect.right - w->rect.left), y + (w->rect.bottom - w->rect.top)};
  return 1;
}

int NativeUI_CenterWindow(NativeWindow *window, NativeWindow *parent) {
  NativeWindow *w = nativeFind(window);
  NativeWindow *p = parent ? nativeFind(parent) : nullptr;
  if (w == nullptr || (parent != nullptr && p == nullptr)) return 0;
  NativeRect area = p ? p->rect : NativeRect{0, 0, gNativeUI.screenWidth, gNativeUI.screenHeight};
  int32_t x = 0, y = 0;
  NativeUI_CenterOn(area, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top, &x, &y);
  return NativeUI_SetWindowPosition(w, x, y);
}

int NativeUI_GetMonitorWidth(NativeWindow *window, int32_t *value) {
  CHECK_POINTER(value);
  *value = 0;
  if (window != nullptr && nativeFind(window) == nullptr) return 0;
  *value = gNativeUI.screenWidth;
  return 1;
}

int NativeUI_GetMonitorHeight(NativeWindow *window, int32_t *value) {
  CHECK_POINTER(value);
  *value = 0;
  if (window != nullptr && nativeFind(window) == nullptr) return 0;
  *value = gNativeUI.screenHeight;
  return 1;
}

int NativeUI_GetWindowDpi(NativeWindow *window, int32_t *dpiX, int32_t *dpiY) {
  CHECK_POINTER(dpiX);
  CHECK_POINTER(dpiY);
  *dpiX = *dpiY = 0;
  if (window != nullptr && nativeFind(window) == nullptr) return 0;
  *dpiX = gNativeUI.dpiX;
  *dpiY = gNativeUI.dpiY;
  return 1;
}

int NativeUI_GetAppIcon(NativeIcon **icon) {
  CHECK_POINTER(icon);
  *icon = nullptr;
  return 0;
}

int NativeUI_SetCursor(NativeWindow *window, int32_t kind) {
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  NativeCursor cursor = NativeUI_CursorFromKind(kind);
  if (w->cursor != cursor) w->cursor = cursor;
  return 1;
}

int NativeUI_BringToFront(NativeWindow *window) {
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  for (NativeWindow *other = gNativeUI.windows; other != nullptr; other = other->next)
    other->active = other == w;
  return 1;
}

int NativeUI_SetWindowText(NativeWindow *window, const char *text) {
  CHECK_POINTER(text);
  NativeWindow *w = nativeFind(window);
  if (w == nullptr) return 0;
  nativeCopyChars(w->title, sizeof w->title, text, kNativeWindowTitleChars);
  return 1;
}

int32_t NativeUI_ShowMessageBox(NativeWindow *window, const char *text, const char *caption,
                                uint32_t flags) {
  CHECK_POINTER(text);
  CHECK_POINTER(caption);
  if (window != nullptr && nativeFind(window) == nullptr) return 0;
  if (NativeMessageBoxFunction box = gNativeOverride.load())
    return box(window, text, caption, flags);
  Log_Print(LOG_WARNING, KSRC, 0, "%s: %s\n", caption, text);
  if ((Debug_Flags() & kCoreFlagWindow) == 0) {
    fprintf(stderr, "%s: %s\n", caption, text);
    fflush(stderr);
  }
  return NativeUI_DefaultAnswer(flags);
}

// ---- Desktop services ---------------------------------------------------------------------------

int NativeUI_BrowseForFolder(NativeWindow *, const char *, char *path, uint32_t, const char *) {
  CHECK_POINTER(path);
  return nativeNoDesktop(kServiceFolder, "BrowseForFolder");
}

int NativeUI_OpenFileDialog(NativeWindow *, const char *, const char *const *filters,
                            int32_t filterCount, const char *, char *out, int32_t size, uint32_t) {
  CHECK_POINTER(out);
  if (filterCount > 0) CHECK_POINTER(filters);
  if (size > 0) out[0] = '\0';
  return nativeNoDesktop(kServiceOpenFile, "OpenFileDialog");
}

int NativeUI_ShowTrayNotification(NativeWindow *, NativeIcon *, int32_t, const char *title,
                                  const char *text) {
  CHECK_POINTER(title);
  CHECK_POINTER(text);
  return nativeNoDesktop(kServiceTrayNotification, "ShowTrayNotification");
}

int NativeUI_TrayIcon(NativeWindow *, NativeIcon *, int32_t, int32_t) {
  return nativeNoDesktop(kServiceTrayIcon, "TrayIcon");
}

int NativeUI_SetTaskbarProgress(NativeWindow *, int32_t value) {
  if (value < -2 || value > 100) return 0;
  return nativeNoDesktop(kServiceTaskbar, "SetTaskbarProgress");
}

int NativeUI_ShowProgressDialog(NativeProgressDialog **dialog, const char *, const char *) {
  CHECK_POINTER(dialog);
  *dialog = nullptr;
  return nativeNoDesktop(kServiceProgressDialog, "ShowProgressDialog");
}
