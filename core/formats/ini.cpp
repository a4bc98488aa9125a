// INI reader and writer. The reader takes its input in blocks of one Read
// each and cuts lines out of them, unescaping as it copies.
#include "core/formats/ini.h"

#include <cstring>

#include "core/platform/file.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

constexpr const char *kIniClassName = "Ini";
constexpr int32_t kIniReadBytes = 4096;

void iniLog(Ini *ini, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Class_LogPrint(&ini->log, 0, format, args);
  va_end(args);
}

struct IniReader {
  Stream *stream;
  char block[kIniReadBytes];
  int32_t pos;
  int32_t length;
  int32_t end;
};

// The next byte, or -1 at the end of the stream.
int iniNext(IniReader *r) {
  if (r->pos == r->length) {
    if (r->end) return -1;
    int32_t read = 0;
    if (!Stream_Read(r->stream, r->block, kIniReadBytes, &read) || read <= 0) {
      r->end = 1;
      return -1;
    }
    r->pos = 0;
    r->length = read;
  }
  return uint8_t(r->block[r->pos++]);
}

int iniPeek(IniReader *r) {
  int c = iniNext(r);
  if (c >= 0) r->pos--;
  return c;
}

// The one-byte meaning of an escape, or 0 when the byte starts none.
char iniUnescape(int c) {
  switch (c) {
    case ':': return ':';
    case ';': return ';';
    case '\\': return '\\';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return 0;
  }
}

int iniHandleLine(Ini *ini, Dictionary **current, char *line, int32_t length, int32_t number) {
  if (line[0] == '[') {
    char *close = static_cast<char *>(memchr(line, ']', size_t(length)));
    if (close == nullptr) {
      iniLog(ini, "Malformed section header [%s @ Line %d]", line, number);
      return 0;
    }
    *close = 0;
    iniLog(ini, "Found section [%s @ Line %d]", line + 1, number);
    Dictionary *section = nullptr;
    if (!Dictionary_SetDictionaryByKey(ini->target, line + 1, nullptr, &section)) return 0;
    *current = section;
    return 1;
  }
  if (line[0] == ';') {
    iniLog(ini, "Found comment [%s @ Line %d]", line, number);
    return 1;
  }
  char *equals = static_cast<char *>(memchr(line, '=', size_t(length)));
  if (equals == nullptr) {
    iniLog(ini, "Malformed key/value pair format [%s @ Line %d]", line, number);
    return 0;
  }
  *equals = 0;
  const char *key = line;
  const char *value = equals + 1;
  int32_t valueLength = int32_t(line + length - value);
  if (value[0] == ';') iniLog(ini, "Found comment [%s @ Line %d]", value, number);
  if (key[0] == 0 || valueLength == 0) return 1;
  iniLog(ini, "Found parameter [%s=%s @ Line %d]", key, value, number);
  DictionaryItem *item = nullptr;
  if (!Dictionary_AddKey(*current, key, &item)) return 1;
  Dictionary_SetItemType(*current, item, kDictionaryTypeString);
  Dictionary_SetItemText(*current, item, value, valueLength);
  return 1;
}

// Escapes TAB, LF, CR and backslash.
int iniWriteEscaped(Stream *stream, const char *text, int32_t length) {
  int32_t run = 0;
  for (int32_t i = 0; i <= length; i++) {
    const char *escape = nullptr;
    if (i < length) {
      switch (text[i]) {
        case '\t': escape = "\\t"; break;
        case '\n': escape = "\\n"; break;
        case '\r': escape = "\\r"; break;
        case '\\': escape = "\\\\"; break;
        default: run++; continue;
      }
    }
    int32_t written = 0;
    if (run > 0 && (!Stream_Write(stream, text + i - run, run, &written) || written != run)) return 0;
    run = 0;
    if (escape != nullptr && (!Stream_Write(stream, escape, 2, &written) || written != 2)) return 0;
  }
  return 1;
}

int iniWriteText(Stream *stream, const char *text) {
  int32_t length = int32_t(strlen(text));
  int32_t written = 0;
  if (length == 0) return 1;
  return Stream_Write(stream, text, length, &written) && written == length;
}

// 1 when the key, written escaped, reads back as the same key.
bool iniKeyReadsBack(const char *key) {
  return key[0] != 0 && key[0] != '[' && key[0] != ';' && strchr(key, '=') == nullptr;
}

// 1 when no other item of d answers to the section's name: on reading, the
// header would take over that item (a scalar written above the sections, or
// an earlier section, which absorbs this one).
bool iniSectionNameUnique(Dictionary *d, DictionaryItem *section, const char *key) {
  DictionaryItem *start = nullptr;
  Dictionary_GetFirstItem(d, &start);
  DictionaryItem *found = nullptr;
  while (start != nullptr && Dictionary_FindKey(d, key, start, &found)) {
    if (found != section) return false;
    if (!Dictionary_GetNextItem(d, found, &start)) break;
  }
  return true;
}

// Checks every name that Ini_Write would write; logs the first bad one.
int iniCheckNames(Ini *ini, Dictionary *d, bool section) {
  DictionaryItem *item = nullptr;
  Dictionary_GetFirstItem(d, &item);
  for (; item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    if (key == nullptr) continue;
    if (Dictionary_IsItemContainer(d, item)) {
      if (section) continue;  // containers inside a section are not written
      if (strchr(key, ']') != nullptr || !iniSectionNameUnique(d, item, key)) {
        iniLog(ini, "Section name cannot be written [%s]", key);
        return 0;
      }
      Dictionary *child = nullptr;
      Dictionary_GetItemContainer(d, item, &child);
      if (child != nullptr && !iniCheckNames(ini, child, true)) return 0;
      continue;
    }
    if (!iniKeyReadsBack(key)) {
      iniLog(ini, "Key cannot be written [%s]", key);
      return 0;
    }
  }
  return 1;
}

// Writes the key=value lines of d; *lines counts them. 0 when a write failed.
int iniWriteScalars(Ini *ini, Stream *stream, Dictionary *d, int32_t *lines) {
  *lines = 0;
  DictionaryItem *item = nullptr;
  Dictionary_GetFirstItem(d, &item);
  for (; item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    if (key == nullptr || Dictionary_IsItemContainer(d, item)) continue;
    const char *text = "";
    int32_t length = 0;
    if (!Dictionary_GetItemText(d, item, &text, &length)) {
      text = "";  // an Unknown item: an empty value
      length = 0;
    }
    if (!iniWriteEscaped(stream, key, int32_t(strlen(key))) || !iniWriteText(stream, "=") ||
        !iniWriteEscaped(stream, text, length) || !iniWriteText(stream, ini->lineEnd))
      return 0;
    (*lines)++;
  }
  return 1;
}

}  // namespace

int32_t Ini_Create(Ini **ini) noexcept {
  CHECK_POINTER(ini);
  auto *i = static_cast<Ini *>(Mem_Alloc(sizeof(Ini), MEM_ZEROED, KSRC));
  i->header.classTag = kIniTag;
  i->header.refCount.store(1, std::memory_order_relaxed);
  i->header.destroy = [](void **object) { Ini_Release(reinterpret_cast<Ini **>(object)); };
  i->log.object = i;
  i->log.className = kIniClassName;
  memcpy(i->lineEnd, "\r\n", 3);
  *ini = i;
  return 1;
}

int32_t Ini_Release(Ini **ini) noexcept {
  CHECK_POINTER(ini);
  Ini *i = *ini;
  CLASS_CHECK(i, kIniTag);
  *ini = nullptr;
  i->header.classTag = 0;
  Mem_Free(i, sizeof(Ini), KSRC);
  return 0;
}

int32_t Ini_SetDictionary(Ini *ini, Dictionary *dictionary) noexcept {
  CLASS_CHECK(ini, kIniTag);
  ini->target = dictionary;
  return 1;
}

int32_t Ini_Parse(Ini *ini, Stream *stream) noexcept {
  CLASS_CHECK(ini, kIniTag);
  CHECK_POINTER(stream);
  if (ini->target == nullptr) return 0;
  auto *r = static_cast<IniReader *>(Mem_Alloc(sizeof(IniReader), 0, KSRC));
  r->stream = stream;
  r->pos = r->length = r->end = 0;
  constexpr int32_t kLineBytes = kIniMaxLineBytes + 1;
  auto *line = static_cast<char *>(Mem_Alloc(kLineBytes, 0, KSRC));
  Dictionary *current = ini->target;
  int32_t number = 0;
  int32_t result = 1;
  for (;;) {
    int c = iniNext(r);
    while (c == '\r' || c == '\n') c = iniNext(r);
    if (c < 0) break;
    number++;
    int32_t length = 0;
    bool tooLong = false;
    while (c >= 0 && c != '\r' && c != '\n') {
      char byte = char(c);
      if (c == '\\') {
        int next = iniPeek(r);
        char meaning = iniUnescape(next);
        if (meaning != 0) {
          iniNext(r);
          byte = meaning;
        }
      }
      if (length >= kIniMaxLineBytes) {
        tooLong = true;
        break;
      }
      line[length++] = byte;
      c = iniNext(r);
    }
    line[length] = 0;
    if (tooLong) {
      iniLog(ini, "Line too long [%d @ Line %d]", length, number);
      result = 0;
      break;
    }
    if (!iniHandleLine(ini, &current, line, length, number)) {
      result = 0;
      break;
    }
    if (c < 0) break;
  }
  Mem_Free(line, kLineBytes, KSRC);
  Mem_Free(r, sizeof(IniReader), KSRC);
  return result;
}

int32_t Ini_WriteSection(Ini *ini, Stream *stream, Dictionary *dictionary) noexcept {
  CLASS_CHECK(ini, kIniTag);
  CHECK_POINTER(stream);
  CLASS_CHECK(dictionary, kDictionaryTag);
  int32_t lines = 0;
  return iniWriteScalars(ini, stream, dictionary, &lines) && lines > 0 ? 1 : 0;
}

int32_t Ini_Write(Ini *ini, Stream *stream) noexcept {
  CLASS_CHECK(ini, kIniTag);
  CHECK_POINTER(stream);
  Dictionary *d = ini->target;
  if (d == nullptr) return 0;
  if (!iniCheckNames(ini, d, false)) return 0;
  int32_t lines = 0;
  if (!iniWriteScalars(ini, stream, d, &lines)) return 0;
  if (lines > 0 && !iniWriteText(stream, ini->lineEnd)) return 0;
  DictionaryItem *item = nullptr;
  Dictionary_GetFirstItem(d, &item);
  for (; item != nullptr; Dictionary_GetNextItem(d, item, &item)) {
    const char *key = nullptr;
    Dictionary_GetItemKey(d, item, &key);
    if (key == nullptr || !Dictionary_IsItemContainer(d, item)) continue;
    Dictionary *child = nullptr;
    Dictionary_GetItemContainer(d, item, &child);
    if (!iniWriteText(stream, "[") || !iniWriteEscaped(stream, key, int32_t(strlen(key))) ||
        !iniWriteText(stream, "]") || !iniWriteText(stream, ini->lineEnd))
      return 0;
    if (child != nullptr && !iniWriteScalars(ini, stream, child, &lines)) return 0;
    if (!iniWriteText(stream, ini->lineEnd)) return 0;
  }
  return 1;
}

// ---- Files ------------------------------------------------------------------

namespace {

int iniParseDocument(void *context, Stream *stream) {
  return Ini_Parse(static_cast<Ini *>(context), stream);
}

int iniWriteDocument(void *context, Stream *stream) {
  return Ini_Write(static_cast<Ini *>(context), stream);
}

}  // namespace

int32_t Ini_ParseFile(Ini *ini, const char *path) noexcept {
  CLASS_CHECK(ini, kIniTag);
  CHECK_POINTER(path);
  if (ini->target == nullptr) return 0;
  return File_ReadDocument(path, &ini->log, ini, iniParseDocument);
}

int32_t Ini_WriteFile(Ini *ini, const char *path) noexcept {
  CLASS_CHECK(ini, kIniTag);
  CHECK_POINTER(path);
  if (ini->target == nullptr) return 0;
  return File_WriteDocument(path, &ini->log, ini, iniWriteDocument);
}
