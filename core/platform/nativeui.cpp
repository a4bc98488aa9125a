// NativeUI, the portable part: the style and cursor tables, the frame,
// centring and restyling rules, message-box answers and the menu model; see
// core/platform/nativeui.h.
#include "core/platform/nativeui.h"

#include <cstring>

#include "core/runtime/core.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

// A menu: its items in order and the menu it hangs from.
struct NativeMenu {
  NativeMenu *parent;  // borrowed; NULL for a top menu
  NativeMenuItem *items;
  int32_t count;
  int32_t capacity;
};

namespace {

// Table order as the window system's data keeps it.
constexpr NativeStyle kNativeStyles[] = {
    {"Normal", kNativeStyleNormal, 0x00CA0000, 0, {3, 26, 3, 3}},
    {"Popup", kNativeStylePopup, 0x80000000, 0x80, {0, 0, 0, 0}},
    {"Borderless", kNativeStyleBorderless, 0x800A0000, 0, {0, 0, 0, 0}},
    {"Resizable", kNativeStyleResizable, 0x00CF0000, 0, {8, 31, 8, 8}},
};

// Cursor kinds 0-23; later kinds are the arrow.
constexpr NativeCursor kNativeCursors[] = {
    NativeCursor::Arrow,       NativeCursor::Arrow,      NativeCursor::Cross,
    NativeCursor::SizeAll,     NativeCursor::Help,       NativeCursor::SizeAll,
    NativeCursor::NotAllowed,  NativeCursor::NotAllowed, NativeCursor::Hand,
    NativeCursor::AppStarting, NativeCursor::IBeam,      NativeCursor::Wait,
    NativeCursor::SizeNS,      NativeCursor::SizeNESW,   NativeCursor::SizeNESW,
    NativeCursor::SizeNS,      NativeCursor::SizeNWSE,   NativeCursor::SizeNWSE,
    NativeCursor::SizeWE,      NativeCursor::SizeWE,     NativeCursor::SizeNS,
    NativeCursor::SizeNWSE,    NativeCursor::SizeNESW,   NativeCursor::SizeWE,
};

// The buttons of each message box type, first to last.
struct NativeButtons {
  int32_t answers[3];
  int32_t count;
};
constexpr NativeButtons kNativeButtons[] = {
    {{kNativeAnswerOk}, 1},                                                    // OK
    {{kNativeAnswerOk, kNativeAnswerCancel}, 2},                               // OK, Cancel
    {{kNativeAnswerAbort, kNativeAnswerRetry, kNativeAnswerIgnore}, 3},        // Abort, ...
    {{kNativeAnswerYes, kNativeAnswerNo, kNativeAnswerCancel}, 3},             // Yes, No, Cancel
    {{kNativeAnswerYes, kNativeAnswerNo}, 2},                                  // Yes, No
    {{kNativeAnswerRetry, kNativeAnswerCancel}, 2},                            // Retry, Cancel
    {{kNativeAnswerCancel, kNativeAnswerTryAgain, kNativeAnswerContinue}, 3},  // Cancel, ...
};

// Menu command ids travel in 16 bits of the window message.
constexpr int64_t kNativeMenuMaxId = 0xffff;

int32_t nativeScale(int32_t pixels, int32_t dpi) {
  return int32_t((int64_t(pixels) * dpi + kNativeBaseDpi / 2) / kNativeBaseDpi);
}

char *nativeDuplicate(const char *text) {
  if (text == nullptr) return nullptr;
  size_t length = strlen(text);
  auto *copy = static_cast<char *>(MEM_ALLOC(int64_t(length) + 1, 0));
  memcpy(copy, text, length + 1);
  return copy;
}

void nativeMenuAppend(NativeMenu *menu, const NativeMenuItem &item) {
  if (menu->count == menu->capacity) {
    int32_t capacity = menu->capacity ? menu->capacity * 2 : 8;
    auto *items = static_cast<NativeMenuItem *>(
        MEM_ALLOC(int64_t(capacity) * int64_t(sizeof(NativeMenuItem)), MEM_ZEROED));
    if (menu->count) memcpy(items, menu->items, size_t(menu->count) * sizeof(NativeMenuItem));
    if (menu->items)
      MEM_FREE(menu->items, int64_t(menu->capacity) * int64_t(sizeof(NativeMenuItem)));
    menu->items = items;
    menu->capacity = capacity;
  }
  menu->items[menu->count++] = item;
}

// Reads one list element into item (text borrowed from the tree); *id is
// what "id" says, checked only when the item is inserted. 0 when the element
// cannot be a menu item at all.
int nativeMenuReadItem(Dictionary *list, DictionaryItem *at, NativeMenuItem *item, int64_t *id,
                       Dictionary **subItems) {
  *item = {};
  *id = 0;
  *subItems = nullptr;
  DictionaryType type;
  Dictionary *element = nullptr;
  if (!Dictionary_GetItemType(list, at, &type) || type != kDictionaryTypeDictionary ||
      !Dictionary_GetItemContainer(list, at, &element))
    return 0;
  if (Dictionary_GetTypeByKey(element, "id", &type) && !Dictionary_GetInt64ByKey(element, "id", id))
    *id = -1;
  const char *text = nullptr;
  if (Dictionary_GetStringPointerByKey(element, "text", &text)) item->text = text;
  int32_t checked = 0;
  if (Dictionary_GetBooleanByKey(element, "checked", &checked)) item->checked = checked != 0;
  if (Dictionary_GetTypeByKey(element, "subMenu", &type)) {
    if (type != kDictionaryTypeList) return 0;
    Dictionary_GetListByKey(element, "subMenu", subItems);
  }
  return 1;
}

}  // namespace

// ---- Tables and rules ---------------------------------------------------------------------

int32_t NativeUI_WindowStyleFromName(const char *name) {
  CHECK_POINTER(name);
  for (const NativeStyle &s : kNativeStyles)
    if (Str_CompareNoCase(s.name, name) == 0) return s.kind;
  return kNativeStyleNormal;
}

const NativeStyle *NativeUI_GetStyle(int32_t kind) {
  for (const NativeStyle &s : kNativeStyles)
    if (s.kind == kind) return &s;
  return &kNativeStyles[0];
}

NativeRect NativeUI_GetFrame(int32_t kind, int32_t dpi) {
  NativeRect f = NativeUI_GetStyle(kind)->frame;
  return {nativeScale(f.left, dpi), nativeScale(f.top, dpi), nativeScale(f.right, dpi),
          nativeScale(f.bottom, dpi)};
}

NativeCursor NativeUI_CursorFromKind(int32_t kind) {
  if (kind < 0 || kind >= int32_t(sizeof kNativeCursors / sizeof kNativeCursors[0]))
    return NativeCursor::Arrow;
  return kNativeCursors[kind];
}

NativeRect NativeUI_KeepClientArea(NativeRect window, NativeRect oldClient, NativeRect newClient) {
  int32_t x = window.left - oldClient.left + newClient.left;
  int32_t y = window.top - oldClient.top + newClient.top;
  return {x, y, x + (newClient.right - newClient.left), y + (newClient.bottom - newClient.top)};
}

void NativeUI_CenterOn(NativeRect parent, int32_t width, int32_t height, int32_t *x, int32_t *y) {
  CHECK_POINTER(x);
  CHECK_POINTER(y);
  // An arithmetic shift halves a negative room towards minus infinity.
  *x = parent.left + ((parent.right - parent.left - width) >> 1);
  *y = parent.top + ((parent.bottom - parent.top - height) >> 1);
}

int32_t NativeUI_DefaultAnswer(uint32_t flags) {
  uint32_t type = flags & kNativeMessageBoxTypeMask;
  const NativeButtons &b = type < sizeof kNativeButtons / sizeof kNativeButtons[0]
                               ? kNativeButtons[type]
                               : kNativeButtons[0];
  int32_t index = int32_t((flags & kNativeMessageBoxDefaultMask) >> 8);
  return b.answers[index < b.count ? index : 0];
}

// ---- Menu model -----------------------------------------------------------------------------

int NativeUI_CreateMenu(NativeMenu **menu) {
  CHECK_POINTER(menu);
  *menu = static_cast<NativeMenu *>(MEM_ALLOC(sizeof(NativeMenu), MEM_ZEROED));
  return 1;
}

void NativeUI_DestroyMenu(NativeMenu **menu) {
  CHECK_POINTER(menu);
  NativeMenu *dying = *menu;
  *menu = nullptr;
  if (dying == nullptr) return;
  for (int32_t i = 0; i < dying->count; i++) {
    NativeMenuItem &item = dying->items[i];
    if (item.text) MEM_FREE(const_cast<char *>(item.text), int64_t(strlen(item.text)) + 1);
    NativeUI_DestroyMenu(&item.subMenu);
  }
  if (dying->items)
    MEM_FREE(dying->items, int64_t(dying->capacity) * int64_t(sizeof(NativeMenuItem)));
  MEM_FREE(dying, sizeof(NativeMenu));
}

int NativeUI_BuildMenu(NativeMenu *parentMenu, NativeMenu *menu, Dictionary *items) {
  CHECK_POINTER(menu);
  CHECK_POINTER(items);
  menu->parent = parentMenu;
  DictionaryItem *at = nullptr;
  for (int more = Dictionary_GetFirstItem(items, &at); more;
       more = Dictionary_GetNextItem(items, at, &at)) {
    NativeMenuItem item;
    int64_t id = 0;
    Dictionary *subItems = nullptr;
    int ok = nativeMenuReadItem(items, at, &item, &id, &subItems);
    if (ok && subItems != nullptr) {
      NativeUI_CreateMenu(&item.subMenu);
      ok = NativeUI_BuildMenu(menu, item.subMenu, subItems);
    }
    // Inserting takes a command id of 16 bits.
    ok = ok && id >= 0 && id <= kNativeMenuMaxId;
    if (!ok) {
      // Not inserted: the pop-up made for it goes again.
      NativeUI_DestroyMenu(&item.subMenu);
      return 0;
    }
    item.id = int32_t(id);
    item.text = nativeDuplicate(item.text);
    nativeMenuAppend(menu, item);
  }
  return 1;
}

int32_t NativeUI_GetMenuItemCount(NativeMenu *menu) {
  CHECK_POINTER(menu);
  return menu->count;
}

int NativeUI_GetMenuItem(NativeMenu *menu, int32_t index, NativeMenuItem *item) {
  CHECK_POINTER(menu);
  CHECK_POINTER(item);
  *item = {};
  if (index < 0 || index >= menu->count) return 0;
  *item = menu->items[index];
  return 1;
}
