// NativeUI: the top-level window operations of the application window, the
// skin windows and dialogs and the crash reporter: windows of four style
// kinds with their sizes and positions, monitors and DPI, cursors, the
// foreground, message boxes, menus built from a Dictionary list, and the
// desktop's pickers, tray icon, taskbar progress and progress dialog.
//
// The Linux form is headless: a window is a record behind an opaque handle
// (style kind, window rectangle in screen pixels, title, cursor, visible and
// activate bits). The monitor is the root window of the X server that
// DISPLAY names, when one answers (libX11 is loaded at run time), else a
// virtual screen of 1920 x 1080 at 96 DPI. Without a desktop the pickers,
// the tray, the taskbar and the progress dialog answer 0. The style and
// cursor tables, the frame and centring rules and the menu model are the
// portable part (core/platform/nativeui.cpp) that a window-system backend
// keeps.
//
// Invariants: (1) a window's client rectangle is its window rectangle less
// the frame insets of its style at the monitor's DPI; a style change keeps
// the client rectangle where it is. (2) a handle that names no live window
// makes an operation answer 0. (3) a menu owns its sub-menus; destroying it
// destroys them.
//
// Threads: window and menu operations on the thread that owns the windows
// (the main thread); NativeUI_Init and NativeUI_Shutdown there too, before
// and after the other threads. NativeUI_ShowMessageBox and the abort hook may
// run on any thread.
#pragma once

#include <cstdint>

#include "core/formats/dictionary.h"

struct NativeWindow;          // a window (a record here, a window-system handle elsewhere)
struct NativeMenu;            // a menu of the menu model
struct NativeIcon;            // an icon of the window system
struct NativeProgressDialog;  // the system progress dialog

// Style kinds (argument of NativeUI_CreateWindow and NativeUI_SetWindowStyle).
constexpr int32_t kNativeStyleNormal = 0;
constexpr int32_t kNativeStyleBorderless = 1;
constexpr int32_t kNativeStylePopup = 2;
constexpr int32_t kNativeStyleResizable = 3;

// Window style bits of the window system that the style table names.
constexpr uint32_t kNativeWindowVisible = 0x10000000;
constexpr uint32_t kNativeWindowNoActivate = 0x08000000;  // extended style

// Message box flags and answers of the window system.
constexpr uint32_t kNativeMessageBoxTypeMask = 0xf;
constexpr uint32_t kNativeMessageBoxDefaultMask = 0xf00;
constexpr uint32_t kNativeMessageBoxOk = 0x0;
constexpr uint32_t kNativeMessageBoxOkCancel = 0x1;
constexpr uint32_t kNativeMessageBoxAbortRetryIgnore = 0x2;
constexpr uint32_t kNativeMessageBoxYesNoCancel = 0x3;
constexpr uint32_t kNativeMessageBoxYesNo = 0x4;
constexpr uint32_t kNativeMessageBoxRetryCancel = 0x5;
constexpr uint32_t kNativeMessageBoxCancelTryContinue = 0x6;
constexpr uint32_t kNativeMessageBoxIconError = 0x10;
constexpr uint32_t kNativeMessageBoxDefaultButton2 = 0x100;
constexpr uint32_t kNativeMessageBoxDefaultButton3 = 0x200;
constexpr uint32_t kNativeMessageBoxTaskModal = 0x2000;
constexpr int32_t kNativeAnswerOk = 1;
constexpr int32_t kNativeAnswerCancel = 2;
constexpr int32_t kNativeAnswerAbort = 3;
constexpr int32_t kNativeAnswerRetry = 4;
constexpr int32_t kNativeAnswerIgnore = 5;
constexpr int32_t kNativeAnswerYes = 6;
constexpr int32_t kNativeAnswerNo = 7;
constexpr int32_t kNativeAnswerTryAgain = 10;
constexpr int32_t kNativeAnswerContinue = 11;

// The abort hook's message box: caption and flags (task modal, error icon).
constexpr const char *kNativeAbortCaption = "Internal error...";
constexpr uint32_t kNativeAbortBoxFlags = kNativeMessageBoxTaskModal | kNativeMessageBoxIconError;

constexpr int32_t kNativeWindowTitleChars = 512;
constexpr int32_t kNativeClassNameChars = 120;
constexpr int32_t kNativeBaseDpi = 96;

struct NativeRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// A style kind's window-system style bits and its frame at 96 DPI (the
// pixels the frame adds on each side of the client area; no menu).
struct NativeStyle {
  const char *name;
  int32_t kind;
  uint32_t style;
  uint32_t exStyle;
  NativeRect frame;
};

// The system cursors that cursor kinds select.
enum class NativeCursor {
  Arrow,
  Cross,
  SizeAll,
  Help,
  NotAllowed,
  Hand,
  AppStarting,
  IBeam,
  Wait,
  SizeNS,
  SizeNESW,
  SizeNWSE,
  SizeWE,
};

// One item of a menu, as NativeUI_GetMenuItem hands it out (texts and the
// sub-menu borrowed from the menu).
struct NativeMenuItem {
  int32_t id;
  const char *text;  // NULL for an item without text (a separator)
  int32_t checked;
  NativeMenu *subMenu;  // NULL unless the item opens a sub-menu
};

// Replaces the window system's message box: gets the box's owner (or NULL),
// text, caption and flags and answers the button pressed.
typedef int32_t (*NativeMessageBoxFunction)(NativeWindow *window, const char *text,
                                            const char *caption, uint32_t flags);

// Null pointers where an operation needs one stop the program with "Pointer
// is NULL\n".

// ---- Portable rules (core/platform/nativeui.cpp) -------------------------------------------

// The style kind of a name ("Normal", "Borderless", "Popup", "Resizable",
// compared ASCII case folded); any other name gives Normal.
int32_t NativeUI_WindowStyleFromName(const char *name);
// The style table's entry of a kind; any kind not in the table is Normal.
const NativeStyle *NativeUI_GetStyle(int32_t kind);
// The frame of a kind at dpi: each side of the 96-DPI frame x dpi / 96,
// rounded to nearest.
NativeRect NativeUI_GetFrame(int32_t kind, int32_t dpi);
// The system cursor of a cursor kind; kinds without one give the arrow.
NativeCursor NativeUI_CursorFromKind(int32_t kind);
// The window rectangle that keeps the client area on screen when the frame
// changes: oldClient and newClient are one client rectangle adjusted by the
// old and by the new style.
NativeRect NativeUI_KeepClientArea(NativeRect window, NativeRect oldClient, NativeRect newClient);
// The top-left corner that centres a width x height window on parent: parent
// left + (parent width - width) halved arithmetically, likewise for y; a
// window larger than its parent overhangs both sides equally.
void NativeUI_CenterOn(NativeRect parent, int32_t width, int32_t height, int32_t *x, int32_t *y);
// The default button's answer of a message box type (flags & 0xf) and
// default-button bits: OK, Abort, Yes, Retry or Cancel (the first button),
// the second or third with 0x100 / 0x200; a default past the last button is
// the first.
int32_t NativeUI_DefaultAnswer(uint32_t flags);

// A new empty menu. Returns 1.
int NativeUI_CreateMenu(NativeMenu **menu);
// Destroys the menu with its sub-menus and clears *menu. NULL is ignored.
void NativeUI_DestroyMenu(NativeMenu **menu);
// Appends items (a Dictionary list) to menu, in list order. Each element is a
// Dictionary with "id" (number, 0-65535), "text", "checked" (boolean) and
// "subMenu" (a list, built recursively into a new pop-up menu whose parent is
// menu). A sub-menu that cannot be built or inserted is destroyed again. 0 at
// the first element that cannot be inserted (not a Dictionary, an id out of
// range, a "subMenu" that is not a list); the items before it stay.
int NativeUI_BuildMenu(NativeMenu *parentMenu, NativeMenu *menu, Dictionary *items);
int32_t NativeUI_GetMenuItemCount(NativeMenu *menu);
// The item at index; 0 (item zeroed) outside the menu.
int NativeUI_GetMenuItem(NativeMenu *menu, int32_t index, NativeMenuItem *item);

// ---- Start and stop ---------------------------------------------------------------------------

// Creates the UI global: reads the monitor (the X server of DISPLAY, else
// the virtual screen) and installs the abort hook, which hands the abort
// text to the message-box override (caption "Internal error...", flags
// 0x2010) unless the core flags have 0x10 (command line). A second call
// without NativeUI_Shutdown stops the program. Returns 1.
int NativeUI_Init(void);
// Puts the previous abort hook back, forgets the override and the screen and
// destroys the windows still alive. Returns 1.
int NativeUI_Shutdown(void);
// Installs (NULL: removes) the message-box override.
void NativeUI_SetMessageBoxOverride(NativeMessageBoxFunction function);
// Sets the monitor that windows are measured against (tests, and hosts that
// know better). Stops on sizes or DPI below 1.
void NativeUI_SetScreen(int32_t width, int32_t height, int32_t dpiX, int32_t dpiY);

// ---- Windows ----------------------------------------------------------------------------------

// Registers a window class name (at most 120 characters). 0 when the name is
// empty, too long or registered already.
int NativeUI_RegisterWindowClass(const char *name, void *windowProc);
// A window of a registered class at (0, 0) whose client area is clientWidth x
// clientHeight; extended style gains 0x08000000 when activate is 0. Title and
// class at most 256 characters. 0 (*window NULL) for an unknown class or
// sizes below 0.
int NativeUI_CreateWindow(NativeWindow **window, const char *title, const char *windowClass,
                          int32_t styleKind, int32_t clientWidth, int32_t clientHeight,
                          int32_t activate);
// Destroys the window and clears *window. 0 for a handle that is not alive.
int NativeUI_DestroyWindow(NativeWindow **window);
// Replaces the style bits (the visible bit stays) and moves and sizes the
// window so that its client area keeps its screen position and size.
int NativeUI_SetWindowStyle(NativeWindow *window, int32_t styleKind);
// The window size or rectangle (in place) for a client size or rectangle,
// under the window's style at its monitor's DPI.
int NativeUI_ClientToWindowSize(NativeWindow *window, int32_t *width, int32_t *height);
int NativeUI_ClientToWindowRect(NativeWindow *window, NativeRect *rect);
// The window rectangle's left, top, width, height; the client area's width
// and height. 0 for a handle that is not alive.
int32_t NativeUI_GetWindowX(NativeWindow *window);
int32_t NativeUI_GetWindowY(NativeWindow *window);
int32_t NativeUI_GetWindowWidth(NativeWindow *window);
int32_t NativeUI_GetWindowHeight(NativeWindow *window);
int32_t NativeUI_GetClientWidth(NativeWindow *window);
int32_t NativeUI_GetClientHeight(NativeWindow *window);
// Sizes the window rectangle (position kept) or moves it (size kept).
int NativeUI_SetWindowSize(NativeWindow *window, int32_t width, int32_t height);
int NativeUI_SetWindowPosition(NativeWindow *window, int32_t x, int32_t y);
// Centres the window on parent's window rectangle (NULL: the monitor).
int NativeUI_CenterWindow(NativeWindow *window, NativeWindow *parent);
// The monitor nearest the window (NULL: the primary one): its full width or
// height, and its DPI.
int NativeUI_GetMonitorWidth(NativeWindow *window, int32_t *value);
int NativeUI_GetMonitorHeight(NativeWindow *window, int32_t *value);
int NativeUI_GetWindowDpi(NativeWindow *window, int32_t *dpiX, int32_t *dpiY);
// The program's icon: there is none without a desktop; 0, *icon NULL.
int NativeUI_GetAppIcon(NativeIcon **icon);
// Selects the system cursor of kind for the window. 1, 0 for a dead handle.
int NativeUI_SetCursor(NativeWindow *window, int32_t kind);
// Makes the window the active one. 0 when it is not alive.
int NativeUI_BringToFront(NativeWindow *window);
// Sets the title (at most 512 characters kept).
int NativeUI_SetWindowText(NativeWindow *window, const char *text);

// The override's answer when one is installed; else the caption and text go
// to the log at WARNING (and to stderr when the log does not write there)
// and the answer is the box's default button (NativeUI_DefaultAnswer).
// window may be NULL; a window that is not alive answers 0.
int32_t NativeUI_ShowMessageBox(NativeWindow *window, const char *text, const char *caption,
                                uint32_t flags);

// ---- Desktop services: none without a desktop --------------------------------------------------
// Each checks its arguments, logs once at DEBUG that there is no desktop and
// answers 0 with its outputs cleared.

// path: in, the initial directory; out, the chosen one (1024 bytes).
int NativeUI_BrowseForFolder(NativeWindow *window, const char *title, char *path, uint32_t flags,
                             const char *root);
// filters: filterCount pairs {name, pattern}.
int NativeUI_OpenFileDialog(NativeWindow *window, const char *title, const char *const *filters,
                            int32_t filterCount, const char *initialPath, char *out, int32_t size,
                            uint32_t flags);
int NativeUI_ShowTrayNotification(NativeWindow *window, NativeIcon *icon, int32_t kind,
                                  const char *title, const char *text);
int NativeUI_TrayIcon(NativeWindow *window, NativeIcon *icon, int32_t withCallback, int32_t action);
// value -2 (no progress), -1 (indeterminate) or 0-100; any other value 0.
int NativeUI_SetTaskbarProgress(NativeWindow *window, int32_t value);
int NativeUI_ShowProgressDialog(NativeProgressDialog **dialog, const char *title, const char *line);
