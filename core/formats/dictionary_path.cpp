// Dictionary paths: resolving, creating, writing and splitting them, and the
// by-path readers and setters; see dictionary.h.
#include <cstring>

#include "core/formats/dictionary.h"
#include "core/formats/dictionary_internal.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/runtime/walkstack.h"

namespace {

// Bracket texts up to this long are copied on the stack.
constexpr int32_t kPathBracketInlineBytes = 128;
// CreatePath components, terminator included.
constexpr int32_t kCreateComponentBytes = kDictionaryPathBytes;

bool pathIsSeparator(char c) { return c == '.' || c == '\\' || c == '[' || c == ']'; }

// One way the resolution may go back to when what follows fails.
struct PathFrame {
  enum Kind : uint8_t { KeyCandidates, MatchFallback } kind;
  Dictionary *container;      // where the key was looked up / the matched item's owner
  DictionaryItem *item;       // the candidate being tried / the matched holding item
  const char *component;      // the key, inside the path
  int32_t componentLength;
  const char *rest;           // the path after the component
};

// The backtracking stack: the resolution never recurses, so a path of any
// depth costs no C stack.
using PathStack = WalkStack<PathFrame>;

enum class PathStep { Found, Continue, Fail, Abort };

struct PathState {
  Dictionary *container;  // where the rest is resolved
  const char *path;       // the rest
  Dictionary *owner;      // the result, once found
  DictionaryItem *item;
};

// The first item after `previous` (NULL: from the front) whose key is the
// component and that holds a container (a candidate that more path can
// descend into).
DictionaryItem *pathNextContainerCandidate(Dictionary *c, DictionaryItem *previous,
                                           const char *component, int32_t length) {
  DictionaryItem *item = previous == nullptr
                             ? dictionaryFirstWithKey(c, component, length)
                             : dictionaryNextWithKey(c, previous, component, length);
  while (item != nullptr && dictionaryChild(item) == nullptr)
    item = dictionaryNextWithKey(c, item, component, length);
  return item;
}

// The selected item ends the path, or the rest goes on below it.
PathStep pathSelect(PathState *state, Dictionary *owner, DictionaryItem *item, const char *rest) {
  if (item == nullptr) return PathStep::Fail;
  if (*rest == '\0') {
    state->owner = owner;
    state->item = item;
    return PathStep::Found;
  }
  Dictionary *child = dictionaryChild(item);
  if (child == nullptr) return PathStep::Fail;
  state->container = child;
  state->path = rest;
  return PathStep::Continue;
}

// [key=value]: the container holds an item with that key and value text.
bool pathContainerMatches(Dictionary *c, const char *inner) {
  const char *equals = strchr(inner, '=');
  int32_t keyLength = int32_t(equals - inner);
  const char *value = equals + 1;
  int32_t valueLength = int32_t(strlen(value));
  for (DictionaryItem *item = dictionaryFirstWithKey(c, inner, keyLength); item != nullptr;
       item = dictionaryNextWithKey(c, item, inner, keyLength)) {
    const char *text = nullptr;
    int32_t length = 0;
    if (dictionaryItemText(item, &text, &length) && length == valueLength &&
        dictionaryTextEquals(c, text, value, length))
      return true;
  }
  return false;
}

PathStep pathBracket(PathState *state, PathStack *stack, const char *inner, const char *rest) {
  Dictionary *c = state->container;
  if (inner[0] != '\0' && Str_IsNumber(inner))
    return pathSelect(state, c, dictionaryItemAt(c, Str_ToInt64(inner)), rest);
  if (strchr(inner, '=') != nullptr) {
    if (c->parent == nullptr || !pathContainerMatches(c, inner)) return PathStep::Fail;
    if (*rest == '\0') {
      state->owner = c->parent;
      state->item = c->parentItem;
      return PathStep::Found;
    }
    // The rest is resolved in the same container; when it fails, the holding
    // item is the result.
    stack->Push({PathFrame::MatchFallback, c->parent, c->parentItem, nullptr, 0, rest});
    state->path = rest;
    return PathStep::Continue;
  }
  if (Str_CompareNoCase(inner, "next") == 0) {
    DictionaryItem *holder = c->parentItem;
    if (holder == nullptr) return PathStep::Fail;
    return pathSelect(state, c->parent, holder->next, rest);
  }
  if (Str_CompareNoCase(inner, "last-child") == 0)
    return pathSelect(state, c, c->items.last, rest);
  return PathStep::Abort;
}

// Resolves the first component of state->path in state->container.
PathStep pathStep(PathState *state, PathStack *stack) {
  Dictionary *c = state->container;
  const char *p = state->path;
  if (c->hashPrefix && *p == '#') p++;
  if (*p == '\0' || c->items.count == 0) return PathStep::Fail;
  const char *end = p + 1;
  while (*end != '\0' && !pathIsSeparator(*end)) end++;
  int32_t length = int32_t(end - p);
  const char *rest = end;
  if (*rest != '\0' && *rest != '[') rest++;
  while (*rest == '.' || *rest == '\\' || *rest == ']') rest++;

  if (*p == '[') {
    char small[kPathBracketInlineBytes];
    char *inner = length <= kPathBracketInlineBytes
                      ? small
                      : static_cast<char *>(MEM_ALLOC(length, 0));
    memcpy(inner, p + 1, size_t(length - 1));
    inner[length - 1] = '\0';
    PathStep step = pathBracket(state, stack, inner, rest);
    if (inner != small) MEM_FREE(inner, length);
    return step;
  }
  if (*rest == '\0') {
    DictionaryItem *item = dictionaryFirstWithKey(c, p, length);
    return item != nullptr ? pathSelect(state, c, item, rest) : PathStep::Fail;
  }
  DictionaryItem *candidate = pathNextContainerCandidate(c, nullptr, p, length);
  if (candidate == nullptr) return PathStep::Fail;
  stack->Push({PathFrame::KeyCandidates, c, candidate, p, length, rest});
  state->container = candidate->child;
  state->path = rest;
  return PathStep::Continue;
}

// Goes back to the latest frame that offers another way. Returns Found (a
// match fallback), Continue (the next candidate) or Fail (no way left).
PathStep pathBacktrack(PathState *state, PathStack *stack) {
  while (!stack->Empty()) {
    PathFrame &frame = stack->Top();
    if (frame.kind == PathFrame::MatchFallback) {
      state->owner = frame.container;
      state->item = frame.item;
      return PathStep::Found;
    }
    DictionaryItem *candidate = pathNextContainerCandidate(
        frame.container, frame.item, frame.component, frame.componentLength);
    if (candidate != nullptr) {
      frame.item = candidate;
      state->container = candidate->child;
      state->path = frame.rest;
      return PathStep::Continue;
    }
    stack->Pop();
  }
  return PathStep::Fail;
}

DictionaryItem *pathResolve(Dictionary *d, const char *path, Dictionary **owner) {
  PathState state{d, path, nullptr, nullptr};
  PathStack stack;
  for (;;) {
    PathStep step = pathStep(&state, &stack);
    if (step == PathStep::Fail) step = pathBacktrack(&state, &stack);
    if (step == PathStep::Found) {
      if (owner != nullptr) *owner = state.owner;
      return state.item;
    }
    if (step != PathStep::Continue) return nullptr;
  }
}

// The item a path names, after the checks of a by-path reader.
DictionaryItem *pathItem(Dictionary *d, const char *path, const void *out) {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(path);
  CHECK_POINTER(out);
  return pathResolve(d, path, nullptr);
}

// Length of the item's path component: its key, or "[index]".
int32_t pathComponentLength(const DictionaryItem *item, int32_t *index) {
  if (item->key != nullptr) return item->keyLength;
  int32_t before = 0;
  for (const DictionaryItem *at = item->prev; at != nullptr; at = at->prev) before++;
  *index = before;
  int32_t digits = 1;
  for (int32_t rest = before; rest >= 10; rest /= 10) digits++;
  return digits + 2;
}

// A '.' goes before every component but one that begins with '[' (which a
// keyless item's "[n]" does).
bool pathNeedsDot(const DictionaryItem *item) {
  return item->key != nullptr && (item->keyLength == 0 || item->key[0] != '[');
}

// The parent part of a by-path setter's path: d itself for a plain key.
// Fails on a path of kDictionaryPathBytes or more, or a parent that cannot
// be made.
int32_t pathSetterParent(Dictionary *d, const char *path, Dictionary **parent,
                         const char **key) {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(path);
  size_t length = strnlen(path, kDictionaryPathBytes);
  if (length >= size_t(kDictionaryPathBytes)) return 0;
  const char *dot = strrchr(path, '.');
  if (dot == nullptr) {
    *parent = d;
    *key = path;
    return 1;
  }
  char parentPath[kDictionaryPathBytes];
  memcpy(parentPath, path, size_t(dot - path));
  parentPath[dot - path] = '\0';
  *key = dot + 1;
  return Dictionary_CreatePath(d, parentPath, parent);
}

// The next CreatePath component (blanks after the '.' and at its end
// dropped) into buffer; *next is where the following one starts. 0 when it
// does not fit.
bool pathCreateComponent(const char **cursor, char *buffer) {
  const char *start = *cursor;
  const char *end = strchr(start, '.');
  if (end == nullptr) end = start + strlen(start);
  const char *last = end;
  while (last > start && (last[-1] == ' ' || last[-1] == '\t')) last--;
  *cursor = end;
  if (**cursor == '.') {
    (*cursor)++;
    while (**cursor == ' ' || **cursor == '\t') (*cursor)++;
  }
  if (last - start >= kCreateComponentBytes) return false;
  memcpy(buffer, start, size_t(last - start));
  buffer[last - start] = '\0';
  return true;
}

// One CreatePath step: the container of the component, found or added.
Dictionary *pathCreateStep(Dictionary *c, char *component) {
  size_t length = strlen(component);
  bool alwaysAdd = length > 0 && component[length - 1] == '~';
  if (alwaysAdd) component[length - 1] = '\0';
  if (!alwaysAdd) {
    if (DictionaryItem *found = pathResolve(c, component, nullptr)) return dictionaryChild(found);
  }
  // Without duplicates an add answers an existing item, which must not be
  // turned from a scalar into a container.
  if (!c->allowDuplicates) {
    if (DictionaryItem *existing = dictionaryFindStoredKey(c, component))
      return dictionaryChild(existing);
  }
  Dictionary *child = nullptr;
  Dictionary_AddDictionary(c, component, &child, nullptr);
  return child;
}

}  // namespace

int32_t Dictionary_ResolvePath(Dictionary *d, const char *path, Dictionary **owner,
                               DictionaryItem **item) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(path);
  CHECK_POINTER(owner);
  CHECK_POINTER(item);
  *owner = nullptr;
  *item = pathResolve(d, path, owner);
  return *item != nullptr;
}

int32_t Dictionary_HasPath(Dictionary *d, const char *path) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(path);
  return pathResolve(d, path, nullptr) != nullptr;
}

int32_t Dictionary_CreatePath(Dictionary *d, const char *path, Dictionary **child) noexcept {
  DICTIONARY_CHECK(d);
  CHECK_POINTER(path);
  CHECK_POINTER(child);
  *child = nullptr;
  char component[kCreateComponentBytes];
  // Every component must fit before anything is added: a failure changes
  // nothing.
  for (const char *cursor = path; *cursor != '\0';)
    if (!pathCreateComponent(&cursor, component)) return 0;
  // Once a component is added, everything below it is new and empty, so a
  // scalar can stop the walk only before the first add.
  Dictionary *c = d;
  for (const char *cursor = path; *cursor != '\0';) {
    pathCreateComponent(&cursor, component);
    if (component[0] == '\0') continue;
    c = pathCreateStep(c, component);
    if (c == nullptr) return 0;
  }
  *child = c;
  return 1;
}

int32_t Dictionary_GetItemPath(Dictionary *d, DictionaryItem *item, Dictionary *root,
                               char *buffer, int32_t size) noexcept {
  DICTIONARY_CHECK(d);
  DICTIONARY_CHECK_ITEM(item);
  CHECK_POINTER(buffer);
  if (root == nullptr) root = d->root;
  DICTIONARY_CHECK(root);
  if (size < 1) return 0;
  buffer[0] = '\0';
  // Measure from the item up, checking that root is on the way.
  int64_t total = 0;
  Dictionary *c = d;
  for (DictionaryItem *at = item;; at = c->parentItem, c = c->parent) {
    int32_t index = 0;
    total += pathComponentLength(at, &index);
    if (c == root) break;
    if (c->parent == nullptr) return 0;
    if (pathNeedsDot(at)) total++;
  }
  if (total >= size) return 0;
  // Write from the end back.
  int64_t position = total;
  buffer[position] = '\0';
  c = d;
  for (DictionaryItem *at = item;; at = c->parentItem, c = c->parent) {
    int32_t index = 0;
    int32_t length = pathComponentLength(at, &index);
    position -= length;
    if (at->key != nullptr) {
      memcpy(buffer + position, at->key, size_t(length));
    } else {
      buffer[position] = '[';
      for (int32_t i = length - 2, rest = index; i >= 1; i--, rest /= 10)
        buffer[position + i] = char('0' + rest % 10);
      buffer[position + length - 1] = ']';
    }
    if (c == root) break;
    if (pathNeedsDot(at)) buffer[--position] = '.';
  }
  return 1;
}

namespace {

// Where a path splits into parent and leaf: its last '.', '[' or '\'.
const char *pathLastSeparator(const char *path) {
  const char *found = nullptr;
  for (const char *p = path; *p != '\0'; p++)
    if (*p == '.' || *p == '[' || *p == '\\') found = p;
  return found;
}

int32_t pathCopyPart(const char *text, size_t length, char *buffer, int32_t size) {
  if (size < 1) return 0;
  buffer[0] = '\0';
  int32_t limit = size < kDictionaryPathBytes ? size : kDictionaryPathBytes;
  if (length == 0 || length >= size_t(limit)) return 0;
  memcpy(buffer, text, length);
  buffer[length] = '\0';
  return 1;
}

}  // namespace

int32_t Dictionary_GetPathLeaf(const char *path, char *buffer, int32_t size) noexcept {
  CHECK_POINTER(path);
  CHECK_POINTER(buffer);
  const char *separator = pathLastSeparator(path);
  const char *leaf = separator == nullptr ? path : separator + (*separator == '[' ? 0 : 1);
  return pathCopyPart(leaf, strlen(leaf), buffer, size);
}

int32_t Dictionary_GetPathParent(const char *path, char *buffer, int32_t size) noexcept {
  CHECK_POINTER(path);
  CHECK_POINTER(buffer);
  const char *separator = pathLastSeparator(path);
  return pathCopyPart(path, separator == nullptr ? 0 : size_t(separator - path), buffer, size);
}

// ---- By path ---------------------------------------------------------------

int32_t Dictionary_SetStringByPath(Dictionary *d, const char *path, const char *text) noexcept {
  Dictionary *parent = nullptr;
  const char *key = nullptr;
  if (!pathSetterParent(d, path, &parent, &key)) return 0;
  return Dictionary_SetStringByKey(parent, key, text);
}

int32_t Dictionary_SetInt32ByPath(Dictionary *d, const char *path, int32_t value) noexcept {
  return Dictionary_SetInt64ByPath(d, path, value);
}

int32_t Dictionary_SetInt64ByPath(Dictionary *d, const char *path, int64_t value) noexcept {
  Dictionary *parent = nullptr;
  const char *key = nullptr;
  if (!pathSetterParent(d, path, &parent, &key)) return 0;
  return Dictionary_SetInt64ByKey(parent, key, value);
}

int32_t Dictionary_SetFloat64ByPath(Dictionary *d, const char *path, double value) noexcept {
  Dictionary *parent = nullptr;
  const char *key = nullptr;
  if (!pathSetterParent(d, path, &parent, &key)) return 0;
  return Dictionary_SetFloat64ByKey(parent, key, value);
}

int32_t Dictionary_SetBooleanByPath(Dictionary *d, const char *path, int32_t value) noexcept {
  Dictionary *parent = nullptr;
  const char *key = nullptr;
  if (!pathSetterParent(d, path, &parent, &key)) return 0;
  return Dictionary_SetBooleanByKey(parent, key, value);
}

int32_t Dictionary_GetStringByPath(Dictionary *d, const char *path, char *buffer,
                                   int32_t size) noexcept {
  return dictionaryReadString(pathItem(d, path, buffer), buffer, size);
}

int32_t Dictionary_GetStringPointerByPath(Dictionary *d, const char *path,
                                          const char **text) noexcept {
  return dictionaryReadStringPointer(pathItem(d, path, text), text);
}

int32_t Dictionary_GetTextByPath(Dictionary *d, const char *path, const char **text,
                                 int32_t *length) noexcept {
  CHECK_POINTER(length);
  return dictionaryReadText(pathItem(d, path, text), text, length);
}

int32_t Dictionary_GetInt32ByPath(Dictionary *d, const char *path, int32_t *value) noexcept {
  return dictionaryReadInt32(pathItem(d, path, value), value);
}

int32_t Dictionary_GetInt64ByPath(Dictionary *d, const char *path, int64_t *value) noexcept {
  return dictionaryReadInt64(pathItem(d, path, value), value);
}

int32_t Dictionary_GetFloat64ByPath(Dictionary *d, const char *path, double *value) noexcept {
  return dictionaryReadFloat64(pathItem(d, path, value), value);
}

int32_t Dictionary_GetBooleanByPath(Dictionary *d, const char *path, int32_t *value) noexcept {
  return dictionaryReadBoolean(pathItem(d, path, value), value);
}

int32_t Dictionary_GetContainerByPath(Dictionary *d, const char *path,
                                      Dictionary **child) noexcept {
  DictionaryItem *item = pathItem(d, path, child);
  *child = item != nullptr ? dictionaryChild(item) : nullptr;
  return *child != nullptr;
}
