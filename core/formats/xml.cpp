// XML reader and writer; see xml.h.
#include "core/formats/xml.h"

#include <cstdarg>
#include <cstring>

#include "core/runtime/callback.h"
#include "core/platform/file.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"
#include "core/runtime/nullstream.h"
#include "core/runtime/str.h"
#include "core/runtime/walkstack.h"
#include "core/runtime/strw.h"

namespace {

constexpr const char kXmlClassName[] = "XML";
constexpr int kXmlNodeLogLevel = 9;
constexpr int32_t kXmlBufferMaxBytes = 1 << 30;  // bytes beyond this in one token are dropped
constexpr int32_t kXmlReferenceMaxBytes = 12;   // "&#x10FFFF;" and the longest entity fit
constexpr const char kXmlPlistPublicId[] = "\"-//Apple//DTD PLIST 1.0//EN\"";
constexpr const char kXmlPlistSystemId[] = "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"";

// The tokeniser's states. Between, TagName, Attribute, Value and Text are
// the reader's five; the others are the steps inside a reference, a CDATA
// section and the rest of a closing tag.
enum class XmlState : int32_t {
  Between = 0,    // skipping up to '<'
  TagName = 1,    // the name after '<'
  Attribute = 2,  // attribute names and bare words
  Value = 3,      // an attribute value after '='
  Text = 4,       // element text up to '<'
  Reference,      // "&...;" inside text
  CData,          // inside <![CDATA[ ... ]]>
  CloseTail,      // the rest of a closing tag up to '>'
};

// A growable byte buffer that always keeps room for a terminator.
struct XmlBuffer {
  char *data;
  int32_t length;
  int32_t capacity;
};

void xmlBufferFree(XmlBuffer *b) {
  if (b->data != nullptr) Mem_Free(b->data, b->capacity, KSRC);
  *b = XmlBuffer{};
}

// Appends count bytes and terminates; bytes past kXmlBufferMaxBytes are
// dropped.
void xmlBufferAppend(XmlBuffer *b, const char *bytes, int32_t count) {
  if (count <= 0) return;
  if (count > kXmlBufferMaxBytes - b->length) count = kXmlBufferMaxBytes - b->length;
  if (b->length + count + 1 > b->capacity) {
    int64_t want = b->capacity < 64 ? 64 : int64_t(b->capacity) * 2;
    while (want < b->length + count + 1) want *= 2;
    if (want > kXmlBufferMaxBytes + 1) want = kXmlBufferMaxBytes + 1;
    char *grown = static_cast<char *>(Mem_Alloc(want, 0, KSRC));
    if (b->length > 0) memcpy(grown, b->data, b->length);
    if (b->data != nullptr) Mem_Free(b->data, b->capacity, KSRC);
    b->data = grown;
    b->capacity = int32_t(want);
  }
  memcpy(b->data + b->length, bytes, count);
  b->length += count;
  b->data[b->length] = 0;
}

void xmlBufferPut(XmlBuffer *b, char c) { xmlBufferAppend(b, &c, 1); }

void xmlBufferClear(XmlBuffer *b) {
  b->length = 0;
  if (b->data != nullptr) b->data[0] = 0;
}

const char *xmlBufferText(const XmlBuffer *b) { return b->data != nullptr ? b->data : ""; }

struct XmlLevel {
  char name[kXmlNameBytes];  // the element's name, cut at 319 bytes
  int32_t type;              // kXmlNodeElement
  bool declaration;          // the name begins with '?' or '!'
  bool hasChild;             // an element was opened inside it
  Dictionary *container;     // NULL without a target
  DictionaryItem *item;      // the element's item in its parent
};

}  // namespace

struct XML {
  ObjectHeader header;
  ClassLog log;  // "XML"
  XmlLevel levels[kXmlMaxLevels];
  int32_t depth;  // open levels (elements and the declaration being read)
  XmlBuffer token;  // the tag name, attribute name or value being read
  XmlBuffer text;   // the element text, decoded
  XmlBuffer scratch;
  char reference[kXmlReferenceMaxBytes + 1];
  int32_t referenceLength;
  int32_t textKeepEnd;  // text bytes up to the last one that is not literal whitespace
  int32_t errorCode;
  XmlState state;
  char quote;        // the quote being read in, 0 outside quotes
  bool valueStarted;  // Value: a byte of the value was seen
  int32_t cdataBrackets;  // ']' bytes seen in a row inside CDATA
  int64_t streamPos;  // bytes consumed
  int64_t tokenStart;
  int64_t textStart;
  char attributeName[kXmlNameBytes];  // "-" + the attribute whose value is read
  bool stop;
  Dictionary *target;  // borrowed
  int32_t compact;
  int32_t keepText;
  CallbackCell nodeCallback;
  char path[kXmlPathBytes];
};

namespace {

void xmlDestroy(void **object) { Xml_Release(reinterpret_cast<XML **>(object)); }

// JSON objects carry the same tag; only the destroy function tells them apart.
void xmlCheck(const XML *x, const char *sourcePath, int line) {
  Class_Check(x, kXmlTag, sourcePath, line);
  if (x->header.destroy != xmlDestroy)
    Core_Abort(sourcePath, line, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",
               static_cast<const void *>(x), kXmlTag, x->header.classTag);
}
#define XML_CHECK(x) xmlCheck((x), KSRC)

bool xmlIsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void xmlLog(XML *x, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Class_LogPrint(&x->log, 0, format, args);
  va_end(args);
}

// ---- Decoding references ---------------------------------------------------

bool xmlIsCharCodePoint(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Decodes one reference ("&...;", length bytes with both delimiters) into out
// (at least 4 bytes). Returns the bytes written, 0 when it is not one that
// decodes: it then stays as written.
int32_t xmlDecodeReference(const char *ref, int32_t length, char *out) {
  if (length < 3 || ref[0] != '&' || ref[length - 1] != ';') return 0;
  const char *body = ref + 1;
  int32_t n = length - 2;
  static const struct {
    const char *name;
    char value;
  } kEntities[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto &e : kEntities) {
    if (int32_t(strlen(e.name)) == n && memcmp(body, e.name, n) == 0) {
      out[0] = e.value;
      return 1;
    }
  }
  if (body[0] != '#' || n < 2) return 0;
  uint32_t cp = 0;
  bool hex = body[1] == 'x';
  int32_t i = hex ? 2 : 1;
  if (i >= n) return 0;
  for (; i < n; i++) {
    char c = body[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') digit = uint32_t(c - '0');
    else if (hex && c >= 'a' && c <= 'f') digit = uint32_t(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F') digit = uint32_t(c - 'A' + 10);
    else return 0;
    cp = cp * (hex ? 16 : 10) + digit;
    if (cp > 0x10FFFF) return 0;
  }
  if (!xmlIsCharCodePoint(cp)) return 0;
  int length8 = 0;
  if (!StrW_EncodeUtf8(out, 4, cp, &length8)) return 0;
  return length8;
}

// Appends text with its references decoded.
void xmlAppendDecoded(XmlBuffer *out, const char *text, int32_t length) {
  int32_t i = 0;
  while (i < length) {
    const char *amp = static_cast<const char *>(memchr(text + i, '&', length - i));
    int32_t plain = amp != nullptr ? int32_t(amp - text) - i : length - i;
    xmlBufferAppend(out, text + i, plain);
    i += plain;
    if (i >= length) break;
    int32_t end = i + 1;
    while (end < length && end - i < kXmlReferenceMaxBytes && text[end] != ';' && text[end] != '&')
      end++;
    char decoded[4];
    int32_t n = 0;
    if (end < length && text[end] == ';') n = xmlDecodeReference(text + i, end - i + 1, decoded);
    if (n > 0) {
      xmlBufferAppend(out, decoded, n);
      i = end + 1;
    } else {
      xmlBufferPut(out, '&');
      i++;
    }
  }
}

// ---- Building the tree -----------------------------------------------------

// The container that takes items of the current level: the innermost open
// level's, else the target.
Dictionary *xmlParentContainer(XML *x, int32_t levels) {
  for (int32_t i = levels - 1; i >= 0; i--)
    if (x->levels[i].container != nullptr) return x->levels[i].container;
  return x->target;
}

void xmlBuildPath(XML *x, int32_t levels, const char *name) {
  int32_t used = 0;
  x->path[0] = 0;
  auto add = [&](const char *part) {
    int32_t n = int32_t(strlen(part));
    if (n > kXmlPathBytes - 1 - used) n = kXmlPathBytes - 1 - used;
    memcpy(x->path + used, part, n);
    used += n;
    x->path[used] = 0;
  };
  for (int32_t i = 0; i < levels; i++) {
    add(x->levels[i].name);
    add("\\");
  }
  add(name);
}

// Logs the node and hands it to the callback; levels is the number of open
// levels that enclose it.
void xmlReportNode(XML *x, int32_t levels, int32_t type, const char *name, const char *token,
                   int32_t length, int64_t nodeStart) {
  bool log = Class_LogEnabled(&x->log, kXmlNodeLogLevel) && Log_IsEnabled();
  void *context = nullptr;
  CallbackFunction function = nullptr;
  bool call = Callback_Get(&x->nodeCallback, &context, &function) != 0;
  if (!log && !call) return;
  xmlBuildPath(x, levels, name);
  int64_t size64 = x->streamPos - nodeStart;
  int32_t nodeSize = size64 > INT32_MAX ? INT32_MAX : int32_t(size64);
  int32_t nodePos = nodeStart > INT32_MAX ? INT32_MAX : int32_t(nodeStart);
  if (log)
    xmlLog(x, "Path %s Depth %d Type %d Buf %s BufSize %d StreamPos %lld NodePos %d NodeSize %d",
           x->path, levels, type, token, length, static_cast<long long>(x->streamPos), nodePos,
           nodeSize);
  if (call)
    reinterpret_cast<XmlNodeCallback>(function)(x, context, x->path, type, token, length,
                                                x->streamPos, nodePos, nodeSize);
}

// Adds a value, bare-attribute or declaration-word node to the current level.
void xmlEmitScalar(XML *x, int32_t type, const char *key, const char *value, int32_t length,
                   int64_t nodeStart) {
  xmlReportNode(x, x->depth, type, key, value, length, nodeStart);
  Dictionary *parent = xmlParentContainer(x, x->depth);
  if (parent == nullptr) return;
  DictionaryItem *item = nullptr;
  Dictionary_AddKey(parent, key, &item);
  if (type == kXmlNodeValue) {
    Dictionary_SetItemType(parent, item, kDictionaryTypeString);
    Dictionary_SetItemText(parent, item, value, length);
  } else {
    Dictionary_SetItemType(parent, item, kDictionaryTypeNull);
  }
}

// Opens a level for an element or declaration. Returns false (and ends the
// parse) when the stack is full.
bool xmlPushElement(XML *x, const char *name, int32_t length) {
  if (x->depth >= kXmlMaxLevels) {
    x->errorCode = kXmlErrorDepth;
    x->stop = true;
    xmlLog(x, "Nesting deeper than %d levels at byte %lld", kXmlMaxLevels,
           static_cast<long long>(x->streamPos));
    return false;
  }
  if (length > kXmlNameBytes - 1) length = kXmlNameBytes - 1;
  XmlLevel *level = &x->levels[x->depth];
  memcpy(level->name, name, length);
  level->name[length] = 0;
  level->type = kXmlNodeElement;
  level->declaration = name[0] == '?' || name[0] == '!';
  level->hasChild = false;
  level->container = nullptr;
  level->item = nullptr;
  if (x->depth > 0) x->levels[x->depth - 1].hasChild = true;
  xmlReportNode(x, x->depth, kXmlNodeElement, level->name, level->name,
                int32_t(strlen(level->name)), x->tokenStart);
  Dictionary *parent = xmlParentContainer(x, x->depth);
  if (parent != nullptr)
    Dictionary_AddDictionary(parent, level->name, &level->container, &level->item);
  x->depth++;
  return true;
}

// True when the item is an element's text: the hidden item "text" under the
// hash-prefix option, else the key "#text".
bool xmlIsTextItem(Dictionary *d, DictionaryItem *item) {
  if (item->key == nullptr) return false;
  if (d->hashPrefix)
    return (item->type & kDictionaryHiddenBit) != 0 && Str_CompareNoCase(item->key, "text") == 0;
  return Str_CompareNoCase(item->key, "#text") == 0;
}

// Closes the innermost level. An element whose only item is its text becomes
// a String item holding that text.
void xmlPopLevel(XML *x) {
  XmlLevel *level = &x->levels[x->depth - 1];
  x->depth--;
  Dictionary *c = level->container;
  if (c == nullptr || level->declaration || c->items.count != 1) return;
  DictionaryItem *only = c->items.first;
  if ((only->type & kDictionaryTypeMask) != kDictionaryTypeString || !xmlIsTextItem(c, only))
    return;
  Dictionary *parent = xmlParentContainer(x, x->depth);
  xmlBufferClear(&x->scratch);
  xmlBufferAppend(&x->scratch, only->value, only->valueLength);
  Dictionary_SetItemType(parent, level->item, kDictionaryTypeString);
  Dictionary_SetItemText(parent, level->item, xmlBufferText(&x->scratch), x->scratch.length);
  level->container = nullptr;
}

// Emits the text gathered since the last tag. closesLeaf: the tag that ends it
// closes the current element, in which no element was opened.
void xmlFlushText(XML *x, bool closesLeaf) {
  if (x->text.length == 0) return;
  int32_t length = x->text.length;
  if (!x->keepText) {
    length = x->textKeepEnd;
  } else if (x->textKeepEnd == 0 && !closesLeaf) {
    length = 0;  // whitespace between elements
  }
  if (length > 0) {
    x->text.data[length] = 0;
    xmlEmitScalar(x, kXmlNodeValue, "#text", x->text.data, length, x->textStart);
  }
  xmlBufferClear(&x->text);
  x->textKeepEnd = 0;
}

void xmlTextAppendLiteral(XML *x, char c) {
  if (x->text.length == 0) {
    if (!x->keepText && xmlIsSpace(c)) return;
    x->textStart = x->streamPos;
  }
  xmlBufferPut(&x->text, c);
  if (!xmlIsSpace(c)) x->textKeepEnd = x->text.length;
}

void xmlTextAppendProtected(XML *x, const char *bytes, int32_t count) {
  if (x->text.length == 0) x->textStart = x->streamPos;
  xmlBufferAppend(&x->text, bytes, count);
  x->textKeepEnd = x->text.length;
}

void xmlStartToken(XML *x) {
  xmlBufferClear(&x->token);
  x->quote = 0;
  x->tokenStart = x->streamPos;
}

// A '>' (or blank) ended a tag name.
void xmlEndTagName(XML *x, char end) {
  const char *name = xmlBufferText(&x->token);
  int32_t length = x->token.length;
  bool closing = length > 0 && name[0] == '/';
  // Where a closing tag leads: the innermost open level of that name.
  int32_t match = -1;
  if (closing) {
    char cut[kXmlNameBytes];
    int32_t n = length - 1 < kXmlNameBytes - 1 ? length - 1 : kXmlNameBytes - 1;
    memcpy(cut, name + 1, n);
    cut[n] = 0;
    for (int32_t i = x->depth - 1; i >= 0; i--)
      if (!x->levels[i].declaration && strcmp(x->levels[i].name, cut) == 0) {
        match = i;
        break;
      }
  }
  bool closesLeaf = match >= 0 && match == x->depth - 1 && !x->levels[match].hasChild;
  xmlFlushText(x, closesLeaf);
  XmlState next = end == '>' ? XmlState::Text : XmlState::CloseTail;
  if (length == 0) {
    x->state = next;
    return;
  }
  if (closing) {
    if (match >= 0) {
      xmlReportNode(x, match, kXmlNodeElement, name, name, length, x->tokenStart);
      while (x->depth > match) xmlPopLevel(x);
    }
    x->state = next;
    return;
  }
  bool selfClosing = end == '>' && name[length - 1] == '/' && name[0] != '?' && name[0] != '!';
  if (selfClosing) length--;
  if (length == 0) {
    x->state = XmlState::Text;
    return;
  }
  if (!xmlPushElement(x, name, length)) return;
  bool declaration = x->levels[x->depth - 1].declaration;
  if (end != '>') {
    xmlStartToken(x);
    x->state = XmlState::Attribute;
  } else if (declaration) {
    xmlPopLevel(x);
    x->state = XmlState::Between;
  } else {
    if (selfClosing) xmlPopLevel(x);
    x->state = XmlState::Text;
  }
}

void xmlEmitAttributeWord(XML *x, const char *word, int32_t length, int32_t type) {
  char key[kXmlNameBytes];
  if (length > kXmlNameBytes - 2) length = kXmlNameBytes - 2;
  key[0] = '-';
  memcpy(key + 1, word, length);
  key[length + 1] = 0;
  xmlEmitScalar(x, type, key, "", 0, x->tokenStart);
}

void xmlEmitValue(XML *x) {
  xmlBufferClear(&x->scratch);
  xmlAppendDecoded(&x->scratch, xmlBufferText(&x->token), x->token.length);
  xmlEmitScalar(x, kXmlNodeValue, x->attributeName, xmlBufferText(&x->scratch),
                x->scratch.length, x->tokenStart);
  xmlBufferClear(&x->token);
}

// Takes one byte. Returns false when the byte must be seen again by the new
// state (it is then not consumed).
bool xmlStep(XML *x, char c) {
  switch (x->state) {
    case XmlState::Between:
      if (c == '<') {
        xmlStartToken(x);
        x->state = XmlState::TagName;
      }
      return true;

    case XmlState::TagName:
      if (x->quote != 0) {
        if (c == x->quote) x->quote = 0;
        else xmlBufferPut(&x->token, c);
        return true;
      }
      if (c == '"') {
        x->quote = c;
        return true;
      }
      if (xmlIsSpace(c) || c == '=' || c == '>') {
        if (x->token.length == 0 && c != '>') return true;  // "< a": blanks before the name
        xmlEndTagName(x, c);
        return true;
      }
      xmlBufferPut(&x->token, c);
      if (x->token.length == 8 && memcmp(x->token.data, "![CDATA[", 8) == 0) {
        x->cdataBrackets = 0;
        x->state = XmlState::CData;
      }
      return true;

    case XmlState::Attribute: {
      if (x->quote != 0) {
        if (c == x->quote) x->quote = 0;
        else xmlBufferPut(&x->token, c);
        return true;
      }
      if (c == '"') {
        x->quote = c;
        return true;
      }
      const char *word = xmlBufferText(&x->token);
      int32_t length = x->token.length;
      if (xmlIsSpace(c)) {
        if (length > 0) xmlEmitAttributeWord(x, word, length, kXmlNodeBareAttribute);
        xmlStartToken(x);
        return true;
      }
      if (c == '=') {
        if (length == 0) return true;
        if (length > kXmlNameBytes - 2) length = kXmlNameBytes - 2;
        x->attributeName[0] = '-';
        memcpy(x->attributeName + 1, word, length);
        x->attributeName[length + 1] = 0;
        xmlStartToken(x);
        x->valueStarted = false;
        x->state = XmlState::Value;
        return true;
      }
      if (c == '>') {
        if (x->levels[x->depth - 1].declaration) {
          if (length > 0) xmlEmitAttributeWord(x, word, length, kXmlNodeDeclarationEnd);
          xmlPopLevel(x);
          x->state = XmlState::Between;
        } else {
          bool close = length > 0 && word[length - 1] == '/';
          if (close) length--;
          if (length > 0) xmlEmitAttributeWord(x, word, length, kXmlNodeBareAttribute);
          if (close) xmlPopLevel(x);
          x->state = XmlState::Text;
        }
        xmlStartToken(x);
        return true;
      }
      if (length == 0) x->tokenStart = x->streamPos;
      xmlBufferPut(&x->token, c);
      return true;
    }

    case XmlState::Value:
      if (!x->valueStarted) {
        if (xmlIsSpace(c)) return true;
        x->valueStarted = true;
        x->tokenStart = x->streamPos;
        // Single quotes delimit values of real elements and of '?'
        // declarations (Python writes <?xml version='1.0'?>); in '!'
        // declarations and comments a single quote stays plain text.
        const XmlLevel &level = x->levels[x->depth - 1];
        bool singleQuotes = !level.declaration || level.name[0] == '?';
        if (c == '"' || (c == '\'' && singleQuotes)) {
          x->quote = c;
          return true;
        }
      }
      if (x->quote != 0) {
        if (c == x->quote) {
          x->quote = 0;
          xmlEmitValue(x);
          x->state = XmlState::Attribute;
        } else {
          xmlBufferPut(&x->token, c);
        }
        return true;
      }
      if (xmlIsSpace(c) || c == '>') {
        xmlEmitValue(x);
        xmlStartToken(x);
        if (c == '>') {
          // An unquoted value that runs up to '>': the element's text is
          // skipped; a declaration ends here.
          if (x->levels[x->depth - 1].declaration) xmlPopLevel(x);
          x->state = XmlState::Between;
        } else {
          x->state = XmlState::Attribute;
        }
        return true;
      }
      xmlBufferPut(&x->token, c);
      return true;

    case XmlState::Text:
      if (c == '<') {
        xmlStartToken(x);
        x->state = XmlState::TagName;
      } else if (c == '&') {
        x->reference[0] = '&';
        x->referenceLength = 1;
        x->state = XmlState::Reference;
      } else {
        xmlTextAppendLiteral(x, c);
      }
      return true;

    case XmlState::Reference: {
      bool nameByte = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '#';
      if (c == ';') {
        x->reference[x->referenceLength++] = ';';
        char decoded[4];
        int32_t n = xmlDecodeReference(x->reference, x->referenceLength, decoded);
        if (n > 0) xmlTextAppendProtected(x, decoded, n);
        else xmlTextAppendProtected(x, x->reference, x->referenceLength);
        x->state = XmlState::Text;
        return true;
      }
      if (nameByte && x->referenceLength < kXmlReferenceMaxBytes - 1) {
        x->reference[x->referenceLength++] = c;
        return true;
      }
      xmlTextAppendProtected(x, x->reference, x->referenceLength);
      x->state = XmlState::Text;
      return false;
    }

    case XmlState::CData:
      if (c == '>' && x->cdataBrackets >= 2) {
        x->text.length -= 2;  // the "]]" of the end mark
        x->text.data[x->text.length] = 0;
        x->textKeepEnd = x->text.length;
        x->state = XmlState::Text;
        return true;
      }
      x->cdataBrackets = c == ']' ? x->cdataBrackets + 1 : 0;
      xmlTextAppendProtected(x, &c, 1);
      return true;

    case XmlState::CloseTail:
      if (c == '>') x->state = XmlState::Text;
      return true;
  }
  return true;
}

// The end of the input: what was pending becomes text, and the open levels
// close.
void xmlFinish(XML *x) {
  if (x->state == XmlState::Reference) xmlTextAppendProtected(x, x->reference, x->referenceLength);
  if (x->state == XmlState::CData && x->cdataBrackets > 0) x->textKeepEnd = x->text.length;
  xmlFlushText(x, x->depth > 0 && !x->levels[x->depth - 1].hasChild);
  while (x->depth > 0) xmlPopLevel(x);
}

// ---- Writing ---------------------------------------------------------------

struct XmlWriter {
  XML *x;
  Stream *stream;
  bool failed;
};

bool xmlWrite(XmlWriter *w, const char *bytes, int32_t length) {
  if (w->failed) return false;
  if (length <= 0) return true;
  int32_t written = 0;
  if (!Stream_Write(w->stream, bytes, length, &written) || written != length) w->failed = true;
  return !w->failed;
}

bool xmlWriteText(XmlWriter *w, const char *text) {
  return xmlWrite(w, text, int32_t(strlen(text)));
}

void xmlWriteIndent(XmlWriter *w, int32_t depth) {
  if (w->x->compact) return;
  for (int32_t i = 0; i < depth; i++) xmlWrite(w, "    ", 4);
}

void xmlWriteLineEnd(XmlWriter *w) {
  if (!w->x->compact) xmlWrite(w, "\n", 1);
}

// ASCII letters, '_' and ':' start a name; digits, '-' and '.' may follow;
// bytes from 0x80 up (UTF-8 sequences) pass unchecked.
bool xmlIsName(const char *name) {
  if (name == nullptr || name[0] == 0) return false;
  for (const char *p = name; *p != 0; p++) {
    uint8_t c = uint8_t(*p);
    bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
                 c >= 0x80;
    bool follow = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!start && !(follow && p != name)) return false;
  }
  return true;
}

bool xmlCheckName(XmlWriter *w, const char *key, const char *name) {
  if (xmlIsName(name)) return true;
  Log_Print(LOG_ERROR, KSRC, 0, "XML write: key [%s] cannot be written as an XML name",
            key != nullptr ? key : "");
  w->failed = true;
  return false;
}

// Writes text escaped: '&', '<' and '>' always; in attribute values also '"',
// TAB, LF and CR, in text CR, as references that conforming readers turn back
// into the same text. Other control bytes cannot be carried by XML 1.0.
bool xmlWriteEscaped(XmlWriter *w, const char *key, const char *text, int32_t length,
                     bool attribute) {
  int32_t run = 0;
  for (int32_t i = 0; i < length; i++) {
    uint8_t c = uint8_t(text[i]);
    const char *escape = nullptr;
    switch (c) {
      case '&': escape = "&amp;"; break;
      case '<': escape = "&lt;"; break;
      case '>': escape = "&gt;"; break;
      case '\r': escape = "&#13;"; break;
      case '"': escape = attribute ? "&quot;" : nullptr; break;
      case '\t': escape = attribute ? "&#9;" : nullptr; break;
      case '\n': escape = attribute ? "&#10;" : nullptr; break;
      default:
        if (c < 0x20) {
          Log_Print(LOG_ERROR, KSRC, 0,
                    "XML write: the value of [%s] holds the control byte 0x%02x", key, c);
          w->failed = true;
          return false;
        }
    }
    if (escape == nullptr) continue;
    xmlWrite(w, text + run, i - run);
    xmlWriteText(w, escape);
    run = i + 1;
  }
  return xmlWrite(w, text + run, length - run);
}

// A container whose items the walk is writing: the target, a List (its
// items are written under the List's name at the List's depth) or an
// element's Dictionary (closed with "</name>" after its items).
struct XmlOpen {
  enum Kind : uint8_t { Top, List, Element } kind;
  bool declaration;      // an element named "?..." or "!...": no closing tag
  int32_t depth;         // of the items (List) or of the element itself
  Dictionary *container;
  DictionaryItem *next;  // the next item of container to write
  const char *name;      // List: the name of its items; Element: its own
};

// Writes "<name attributes>" of an element; then either its only text and
// the closing tag (answers false: nothing left to write inside), or a line
// end (answers true: its items follow, then the closing tag).
bool xmlOpenElement(XmlWriter *w, Dictionary *child, const char *key, const char *name,
                    int32_t depth, bool declaration) {
  if (!declaration && !xmlCheckName(w, key, name)) return false;
  xmlWriteIndent(w, depth);
  xmlWrite(w, "<", 1);
  xmlWriteText(w, name);
  DictionaryItem *text = nullptr;
  int32_t elements = 0;
  for (DictionaryItem *a = child->items.first; a != nullptr && !w->failed; a = a->next) {
    if (a->key == nullptr || a->key[0] != '-') {
      elements++;
      if ((a->type & kDictionaryTypeMask) == kDictionaryTypeString && xmlIsTextItem(child, a))
        text = a;
      continue;
    }
    uint8_t type = a->type & kDictionaryTypeMask;
    const char *attribute = a->key + 1;
    if (type == kDictionaryTypeNull && Str_CompareNoCase(a->key, "-?") == 0) {
      xmlWrite(w, "?", 1);
    } else if (type == kDictionaryTypeNull) {
      if (!declaration && !xmlCheckName(w, a->key, attribute)) return false;
      xmlWrite(w, " ", 1);
      xmlWriteText(w, attribute);
      // A real element's attribute needs a value to be XML at all.
      if (!declaration) xmlWrite(w, "=\"\"", 3);
    } else if (type == kDictionaryTypeString) {
      if (!declaration && !xmlCheckName(w, a->key, attribute)) return false;
      xmlWrite(w, " ", 1);
      xmlWriteText(w, attribute);
      xmlWrite(w, "=\"", 2);
      xmlWriteEscaped(w, a->key, a->value != nullptr ? a->value : "", a->valueLength, true);
      xmlWrite(w, "\"", 1);
    }
  }
  xmlWrite(w, ">", 1);
  if (elements == 1 && text != nullptr && !declaration) {
    xmlWriteEscaped(w, key, text->value != nullptr ? text->value : "", text->valueLength, false);
    xmlWrite(w, "</", 2);
    xmlWriteText(w, name);
    xmlWrite(w, ">", 1);
    xmlWriteLineEnd(w);
    return false;
  }
  xmlWriteLineEnd(w);
  return !w->failed;
}

void xmlCloseElement(XmlWriter *w, const XmlOpen &open) {
  if (open.declaration) return;
  xmlWriteIndent(w, open.depth);
  xmlWrite(w, "</", 2);
  xmlWriteText(w, open.name);
  xmlWrite(w, ">", 1);
  xmlWriteLineEnd(w);
}

void xmlWriteString(XmlWriter *w, Dictionary *d, DictionaryItem *item, const char *name,
                    int32_t depth) {
  const char *value = item->value != nullptr ? item->value : "";
  if (xmlIsTextItem(d, item)) {
    xmlWriteIndent(w, depth);
    xmlWriteEscaped(w, item->key, value, item->valueLength, false);
    xmlWriteLineEnd(w);
    return;
  }
  if (!xmlCheckName(w, item->key, name)) return;
  xmlWriteIndent(w, depth);
  xmlWrite(w, "<", 1);
  xmlWriteText(w, name);
  xmlWrite(w, ">", 1);
  xmlWriteEscaped(w, item->key, value, item->valueLength, false);
  xmlWrite(w, "</", 2);
  xmlWriteText(w, name);
  xmlWrite(w, ">", 1);
  xmlWriteLineEnd(w);
}

// Writes the items of top (keys beginning with '-' are attributes, written
// with their element): depth first with a stack of open containers instead
// of recursion, as a tree built through the API may be far deeper than the C
// stack allows.
bool xmlWriteTree(XmlWriter *w, Dictionary *top) {
  WalkStack<XmlOpen> open;
  open.Push({XmlOpen::Top, false, 0, top, top->items.first, nullptr});
  while (!open.Empty() && !w->failed) {
    XmlOpen &frame = open.Top();
    DictionaryItem *item = frame.next;
    if (item == nullptr) {
      if (frame.kind == XmlOpen::Element) xmlCloseElement(w, frame);
      open.Pop();
      continue;
    }
    frame.next = item->next;
    Dictionary *d = frame.container;
    const char *name = item->key;
    int32_t depth = frame.kind == XmlOpen::Element ? frame.depth + 1 : frame.depth;
    if (frame.kind == XmlOpen::List) {
      name = frame.name;
    } else if (item->key != nullptr && item->key[0] == '-') {
      continue;
    }
    switch (item->type & kDictionaryTypeMask) {
      case kDictionaryTypeString:
        xmlWriteString(w, d, item, name, depth);
        break;
      case kDictionaryTypeList:
        open.Push({XmlOpen::List, false, depth, item->child, item->child->items.first, name});
        break;
      case kDictionaryTypeDictionary: {
        bool declaration = name != nullptr && (name[0] == '?' || name[0] == '!');
        if (xmlOpenElement(w, item->child, item->key, name, depth, declaration))
          open.Push({XmlOpen::Element, declaration, depth, item->child, item->child->items.first,
                     name});
        break;
      }
      default:
        break;  // Null, Boolean and numbers have no XML form here
    }
  }
  return !w->failed;
}

}  // namespace

// ---- Life and settings -----------------------------------------------------

int32_t Xml_Create(XML **xml) noexcept {
  CHECK_POINTER(xml);
  auto *x = static_cast<XML *>(Mem_Alloc(sizeof(XML), MEM_ZEROED, KSRC));
  x->header.classTag = kXmlTag;
  x->header.refCount.store(1, std::memory_order_relaxed);
  x->header.destroy = xmlDestroy;
  x->log.object = x;
  x->log.className = kXmlClassName;
  x->compact = 1;
  *xml = x;
  return 1;
}

void Xml_Release(XML **xml) noexcept {
  CHECK_POINTER(xml);
  XML *x = *xml;
  XML_CHECK(x);
  *xml = nullptr;
  Callback_Clear(&x->nodeCallback);
  xmlBufferFree(&x->token);
  xmlBufferFree(&x->text);
  xmlBufferFree(&x->scratch);
  x->header.classTag = 0;
  Mem_Free(x, sizeof(XML), KSRC);
}

int32_t Xml_SetDictionary(XML *xml, Dictionary *dictionary) noexcept {
  XML_CHECK(xml);
  xml->target = dictionary;
  return 1;
}

int32_t Xml_GetDictionary(XML *xml, Dictionary **dictionary) noexcept {
  XML_CHECK(xml);
  CHECK_POINTER(dictionary);
  *dictionary = xml->target;
  return xml->target != nullptr ? 1 : 0;
}

int32_t Xml_SetCompact(XML *xml, int32_t flag) noexcept {
  XML_CHECK(xml);
  xml->compact = flag ? 1 : 0;
  return 1;
}

int32_t Xml_SetKeepText(XML *xml, int32_t flag) noexcept {
  XML_CHECK(xml);
  xml->keepText = flag ? 1 : 0;
  return 1;
}

int32_t Xml_SetNodeCallback(XML *xml, void *context, XmlNodeCallback function) noexcept {
  XML_CHECK(xml);
  if (function == nullptr) return Callback_Clear(&xml->nodeCallback);
  return Callback_Set(&xml->nodeCallback, context, reinterpret_cast<CallbackFunction>(function));
}

int32_t Xml_GetErrorCode(XML *xml, int32_t *code) noexcept {
  XML_CHECK(xml);
  CHECK_POINTER(code);
  *code = xml->errorCode;
  return 1;
}

const char *Xml_GetErrorName(int32_t code) noexcept {
  switch (code) {
    case kXmlErrorZeroLength: return "ZeroLength";
    case kXmlErrorDepth: return "Depth";
    default: return "Unknown";
  }
}

int32_t Xml_Reset(XML *xml) noexcept {
  XML_CHECK(xml);
  memset(xml->levels, 0, sizeof(xml->levels));
  xml->depth = 0;
  xmlBufferClear(&xml->token);
  xmlBufferClear(&xml->text);
  xmlBufferClear(&xml->scratch);
  xml->referenceLength = 0;
  xml->textKeepEnd = 0;
  xml->errorCode = 0;
  xml->state = XmlState::Between;
  xml->quote = 0;
  xml->valueStarted = false;
  xml->cdataBrackets = 0;
  xml->streamPos = 0;
  xml->tokenStart = 0;
  xml->textStart = 0;
  xml->stop = false;
  if (xml->target != nullptr) Dictionary_Clear(xml->target);
  return 1;
}

// ---- Parsing ---------------------------------------------------------------

int32_t Xml_ParseStream(XML *xml, Stream *stream) noexcept {
  XML_CHECK(xml);
  CHECK_POINTER(stream);
  Xml_Reset(xml);
  char chunk[kXmlReadChunkBytes];
  int64_t total = 0;
  while (!xml->stop) {
    int32_t got = 0;
    int ok = Stream_Read(stream, chunk, kXmlReadChunkBytes, &got);
    if (got <= 0 || got > kXmlReadChunkBytes) break;
    total += got;
    for (int32_t i = 0; i < got && !xml->stop;) {
      if (xmlStep(xml, chunk[i])) {
        i++;
        xml->streamPos++;
      }
    }
    if (!ok) break;
  }
  if (total == 0) xml->errorCode = kXmlErrorZeroLength;
  if (!xml->stop) xmlFinish(xml);
  if (xml->errorCode != 0) {
    if (stream->error <= 0) stream->error = xml->errorCode;
    return 0;
  }
  return stream->error > 0 ? 0 : 1;
}

int32_t Xml_ParseMemory(XML *xml, const void *text, int32_t length) noexcept {
  XML_CHECK(xml);
  if (length != 0) CHECK_POINTER(text);
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  if (length > 0) MemoryStream_Attach(memory, const_cast<void *>(text), length, length);
  Stream *record = nullptr;
  MemoryStream_GetStream(memory, &record);
  int32_t result = Xml_ParseStream(xml, record);
  MemoryStream_Release(&memory);
  return result;
}

// ---- Writing ---------------------------------------------------------------

int32_t Xml_WriteStream(XML *xml, Stream *stream) noexcept {
  XML_CHECK(xml);
  CHECK_POINTER(stream);
  if (xml->target == nullptr) return 0;
  XmlWriter w{xml, stream, false};
  xmlWriteTree(&w, xml->target);
  return w.failed ? 0 : 1;
}

int32_t Xml_WriteMemory(XML *xml, void *buffer, int32_t size, int32_t *length) noexcept {
  XML_CHECK(xml);
  CHECK_POINTER(length);
  *length = 0;
  if (size > 0) CHECK_POINTER(buffer);
  MemoryStream *memory = nullptr;
  MemoryStream_Create(&memory);
  if (size > 0) MemoryStream_Attach(memory, buffer, 0, size);
  Stream *record = nullptr;
  MemoryStream_GetStream(memory, &record);
  int32_t result = Xml_WriteStream(xml, record);
  uint64_t position = 0;
  MemoryStream_Tell(memory, &position);
  *length = int32_t(position);
  MemoryStream_Release(&memory);
  return result;
}

int32_t Xml_GetWriteLength(XML *xml, int64_t *length) noexcept {
  XML_CHECK(xml);
  CHECK_POINTER(length);
  *length = 0;
  NullStream *counter = nullptr;
  NullStream_Create(&counter);
  Stream *record = nullptr;
  NullStream_GetStream(counter, &record);
  int32_t result = Xml_WriteStream(xml, record);
  if (result) *length = NullStream_GetSize(counter);
  NullStream_Release(&counter);
  return result;
}

// ---- Declarations ----------------------------------------------------------

int32_t Xml_EnsureDeclaration(Dictionary *dictionary, DictionaryItem **item) noexcept {
  CHECK_POINTER(dictionary);
  if (item != nullptr) *item = nullptr;
  DictionaryItem *declaration = nullptr;
  if (!Dictionary_FindKey(dictionary, "?xml", nullptr, &declaration))
    Dictionary_InsertItem(dictionary, nullptr, "?xml", &declaration);
  Dictionary_SetItemType(dictionary, declaration, kDictionaryTypeDictionary);
  Dictionary *c = declaration->child;
  Dictionary_SetStringByKey(c, "-version", "1.0");
  Dictionary_SetStringByKey(c, "-encoding", "UTF-8");
  // One closing "?", the last item: another one earlier would end the
  // declaration in the middle.
  DictionaryItem *next = nullptr;
  for (DictionaryItem *a = c->items.first; a != nullptr; a = next) {
    next = a->next;
    bool mark = a->key != nullptr && Str_CompareNoCase(a->key, "-?") == 0;
    if (mark && (next != nullptr || (a->type & kDictionaryTypeMask) != kDictionaryTypeNull))
      Dictionary_RemoveItem(c, &a);
  }
  DictionaryItem *last = c->items.last;
  if (last == nullptr || last->key == nullptr || Str_CompareNoCase(last->key, "-?") != 0)
    Dictionary_AddNull(c, "-?", nullptr);
  if (item != nullptr) *item = declaration;
  return 1;
}

int32_t Xml_EnsurePlistDoctype(Dictionary *dictionary, DictionaryItem **item) noexcept {
  CHECK_POINTER(dictionary);
  if (item != nullptr) *item = nullptr;
  DictionaryItem *doctype = nullptr;
  if (!Dictionary_FindKey(dictionary, "!DOCTYPE", nullptr, &doctype)) {
    DictionaryItem *declaration = nullptr;
    Dictionary_FindKey(dictionary, "?xml", nullptr, &declaration);
    Dictionary_InsertItem(dictionary, declaration, "!DOCTYPE", &doctype);
  }
  Dictionary_SetItemType(dictionary, doctype, kDictionaryTypeDictionary);
  Dictionary *c = doctype->child;
  Dictionary_Clear(c);
  Dictionary_AddNull(c, "-plist", nullptr);
  Dictionary_AddNull(c, "-PUBLIC", nullptr);
  char key[kXmlNameBytes];
  key[0] = '-';
  Str_Copy(key + 1, kXmlPlistPublicId, int(sizeof(key)) - 1);
  Dictionary_AddNull(c, key, nullptr);
  Str_Copy(key + 1, kXmlPlistSystemId, int(sizeof(key)) - 1);
  Dictionary_AddNull(c, key, nullptr);
  if (item != nullptr) *item = doctype;
  return 1;
}

// ---- Files ------------------------------------------------------------------

namespace {

int xmlParseDocument(void *context, Stream *stream) {
  return Xml_ParseStream(static_cast<XML *>(context), stream);
}

int xmlWriteDocument(void *context, Stream *stream) {
  return Xml_WriteStream(static_cast<XML *>(context), stream);
}

}  // namespace

int32_t Xml_ParseFile(XML *xml, const char *path) noexcept {
  XML_CHECK(xml);
  CHECK_POINTER(path);
  return File_ReadDocument(path, &xml->log, xml, xmlParseDocument);
}

int32_t Xml_WriteFile(XML *xml, const char *path) noexcept {
  XML_CHECK(xml);
  CHECK_POINTER(path);
  // A key that cannot be written is found only on the way; finding it in a
  // dry run first keeps the file whole instead of half overwritten.
  int64_t length = 0;
  if (!Xml_GetWriteLength(xml, &length)) return 0;
  return File_WriteDocument(path, &xml->log, xml, xmlWriteDocument);
}
