// ASN.1 reader, converters and DER writers; see asn.h.
#include "core/security/asn.h"

#include <cstring>

#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/runtime/strw.h"

namespace {

constexpr int32_t kAsn1MaxLength = 0x7FFFFFFF;
constexpr int kAsn1MaxLengthBytes = 4;
constexpr int kAsn1MaxTagBytes = 4;  // high tag numbers up to 28 bits
constexpr int kAsn1TextMax = kAsn1TextBytes - 1;
constexpr int64_t kSecondsPerDay = 86400;
// What one node costs as the allocator counts it: the node and its guards.
constexpr int64_t kAsn1NodeCostBytes = int64_t(sizeof(Asn1Node)) + 16;

// The most nodes one parse of a region of length bytes may make.
int64_t asn1NodeLimit(int64_t length) {
  if (length > kAsn1MaxLength) length = kAsn1MaxLength;  // no real region is longer
  return (length * kAsn1NodeBudgetBytesPerByte + kAsn1NodeBudgetFloorBytes) / kAsn1NodeCostBytes;
}

// ---- Nodes ------------------------------------------------------------------------

void asn1NodeDestroy(void **object);

Asn1Node *asn1NewNode(void) {
  auto *node = static_cast<Asn1Node *>(MEM_ALLOC(int64_t(sizeof(Asn1Node)), MEM_ZEROED));
  // Nodes carry no instance id: a certificate has hundreds of them and none
  // logs under its own name.
  node->header.classTag = kAsn1NodeTag;
  node->header.refCount.store(1, std::memory_order_relaxed);
  node->header.destroy = asn1NodeDestroy;
  node->children.tag = kAsn1ListTag;
  node->link.node = node;
  return node;
}

void asn1Append(Asn1Node *parent, Asn1Node *child) {
  Asn1List *list = &parent->children;
  child->parent = parent;
  child->link.previous = list->last;
  child->link.next = nullptr;
  if (list->last != nullptr)
    list->last->next = &child->link;
  else
    list->first = &child->link;
  list->last = &child->link;
  list->count++;
}

void asn1Unlink(Asn1Node *child) {
  Asn1List *list = &child->parent->children;
  if (child->link.previous != nullptr)
    child->link.previous->next = child->link.next;
  else
    list->first = child->link.next;
  if (child->link.next != nullptr)
    child->link.next->previous = child->link.previous;
  else
    list->last = child->link.previous;
  list->count--;
  list->cursor = nullptr;
  child->parent = nullptr;
  child->link.previous = child->link.next = nullptr;
}

// Frees a node and its subtree. Trees are at most kAsn1MaxDepth + 1 deep, so
// the recursion is bounded.
void asn1FreeNode(Asn1Node *node) {
  Asn1_Clear(node);
  node->header.classTag = 0;
  MEM_FREE(node, int64_t(sizeof(Asn1Node)));
}

void asn1NodeDestroy(void **object) { asn1FreeNode(static_cast<Asn1Node *>(*object)); }

// ---- Parsing ------------------------------------------------------------------------

// 1 for the universal tag numbers that may appear: 0-12, 16-28 and 30.
bool asn1UniversalAccepted(int number) {
  return (number >= 0 && number <= 12) || (number >= 16 && number <= 28) || number == 30;
}

struct Asn1Header {
  uint8_t identifier;
  int32_t headerLength;
  int32_t contentLength;
  int indefinite;
};

// One parse: the buffer and the nodes it may still make (see
// kAsn1NodeBudgetBytesPerByte). exhausted tells a failure for want of nodes,
// which fails the whole parse, from bad input, which an encapsulated string
// absorbs.
struct Asn1Parse {
  const uint8_t *data;
  int64_t nodesLeft;
  bool exhausted;
};

// One level of elements from *pos up to end; see Asn1_Parse. The recursion
// goes at most kAsn1MaxDepth + 1 levels deep: deeper input fails first.
bool asn1ParseLevel(Asn1Parse *parse, Asn1Node *parent, int64_t end, int64_t *pos,
                    bool indefinite, int depth);

// Reads the content of a primitive BIT STRING or OCTET STRING as elements when
// the whole of it parses; otherwise the string keeps no children and that is
// not an error (most strings hold plain bytes). Running out of nodes is: it
// fails the whole parse.
bool asn1ParseEncapsulated(Asn1Parse *parse, Asn1Node *node, int depth) {
  int64_t start = node->content - parse->data, end = start + node->contentLength;
  if (node->identifier == kAsn1BitString) {
    // Only whole bytes can be elements: the unused-bits count must be 0.
    if (node->contentLength < 2 || node->content[0] != 0) return true;
    start++;
  } else if (node->contentLength < 2) {
    return true;
  }
  int64_t pos = start, nodesLeft = parse->nodesLeft;
  if (!asn1ParseLevel(parse, node, end, &pos, false, depth + 1)) {
    Asn1_Clear(node);
    parse->nodesLeft = nodesLeft;  // the nodes tried are freed again
    return !parse->exhausted;
  }
  for (Asn1Link *link = node->children.first; link != nullptr; link = link->next)
    link->node->flags |= kAsn1NodeEncapsulated;
  return true;
}

bool asn1ParseLevel(Asn1Parse *parse, Asn1Node *parent, int64_t end, int64_t *pos,
                    bool indefinite, int depth) {
  const uint8_t *data = parse->data;
  for (;;) {
    if (*pos == end) return !indefinite;  // an indefinite level needs its 00 00
    Asn1Header h;
    h.contentLength = Asn1_ReadHeader(data, end, *pos, &h.identifier, &h.headerLength, &h.indefinite);
    if (h.contentLength < 0) return false;
    if ((h.identifier & 0xDF) == 0) {
      // Universal tag 0 is only the end-of-contents of an indefinite level,
      // and then exactly 00 00.
      if (!indefinite || h.identifier != 0 || h.headerLength != 2 || h.contentLength != 0)
        return false;
      *pos += 2;
      return true;
    }
    if (depth > kAsn1MaxDepth) return false;
    if (parse->nodesLeft == 0) {
      parse->exhausted = true;
      return false;
    }
    parse->nodesLeft--;
    Asn1Node *node = asn1NewNode();
    node->elementStart = data + *pos;
    node->identifier = h.identifier;
    node->headerLength = h.headerLength;
    node->contentLength = h.contentLength;
    node->content = data + *pos + h.headerLength;
    asn1Append(parent, node);
    int64_t contentStart = *pos + h.headerLength;
    if (h.indefinite) {
      node->flags |= kAsn1NodeIndefinite;
      int64_t childPos = contentStart;
      if (!asn1ParseLevel(parse, node, end, &childPos, true, depth + 1)) return false;
      // The children's bytes; the closing 00 00 belongs to the element only.
      int64_t length = childPos - contentStart - 2;
      if (length > kAsn1MaxLength) return false;
      node->contentLength = int32_t(length);
      *pos = childPos;
      continue;
    }
    if (h.identifier & 0x20) {
      int64_t childPos = contentStart;
      if (!asn1ParseLevel(parse, node, contentStart + h.contentLength, &childPos, false,
                          depth + 1))
        return false;
    } else if (h.identifier == kAsn1BitString || h.identifier == kAsn1OctetString) {
      if (!asn1ParseEncapsulated(parse, node, depth)) return false;
    }
    *pos = contentStart + h.contentLength;
  }
}

// ---- Text helpers ---------------------------------------------------------------------

// Appends the decimal digits of value at *length of text (size bytes).
// Returns false, leaving the text as it was, when they do not fit.
bool asn1AppendDecimal(char *text, int size, int *length, uint64_t value) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (*length + count > size - 1) return false;
  while (count > 0) text[(*length)++] = digits[--count];
  text[*length] = '\0';
  return true;
}

bool asn1AppendChar(char *text, int size, int *length, char c) {
  if (*length + 1 > size - 1) return false;
  text[(*length)++] = c;
  text[*length] = '\0';
  return true;
}

// Appends a code point as UTF-8 when it fits. U+0000 fails the conversion;
// surrogates and values above U+10FFFF become U+FFFD. Returns -1 for NUL, 0
// when there is no room, 1 when appended.
int asn1AppendCodePoint(char *text, int *length, uint32_t codePoint) {
  if (codePoint == 0) return -1;
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    codePoint = kStrWReplacement;
  int used = 0;
  StrW_EncodeUtf8(text + *length, kAsn1TextMax - *length, codePoint, &used);
  if (used == 0) return 0;
  *length += used;
  text[*length] = '\0';
  return 1;
}

// The byte-copied string types: at most kAsn1TextMax bytes, and a UTF8String
// is never cut inside a sequence.
bool asn1CopyBytes(const Asn1Node *node, char *text) {
  int count = node->contentLength < kAsn1TextMax ? node->contentLength : kAsn1TextMax;
  if (memchr(node->content, 0, size_t(node->contentLength)) != nullptr) return false;
  if (node->identifier == kAsn1Utf8String && count < node->contentLength) {
    // Back up to the first byte of the sequence that was cut.
    while (count > 0 && (uint8_t(node->content[count]) & 0xC0) == 0x80) count--;
  }
  memcpy(text, node->content, size_t(count));
  text[count] = '\0';
  return true;
}

// BMPString: UTF-16 big-endian units, surrogate pairs joined, a lone
// surrogate becomes U+FFFD.
bool asn1ConvertBmp(const Asn1Node *node, char *text) {
  if (node->contentLength % 2 != 0) return false;
  const uint8_t *p = node->content;
  int units = node->contentLength / 2, length = 0;
  for (int i = 0; i < units; i++) {
    uint32_t unit = uint32_t(p[2 * i] << 8 | p[2 * i + 1]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      uint32_t low = uint32_t(p[2 * i + 2] << 8 | p[2 * i + 3]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i++;
      }
    }
    int added = asn1AppendCodePoint(text, &length, unit);
    if (added < 0) return false;
    if (added == 0) break;
  }
  return true;
}

// UniversalString: UTF-32 big-endian code points.
bool asn1ConvertUniversal(const Asn1Node *node, char *text) {
  if (node->contentLength % 4 != 0) return false;
  const uint8_t *p = node->content;
  int length = 0;
  for (int i = 0; i < node->contentLength; i += 4) {
    uint32_t codePoint = uint32_t(p[i]) << 24 | uint32_t(p[i + 1]) << 16 | uint32_t(p[i + 2]) << 8 | p[i + 3];
    int added = asn1AppendCodePoint(text, &length, codePoint);
    if (added < 0) return false;
    if (added == 0) break;
  }
  return true;
}

// ---- Time helpers -----------------------------------------------------------------------

// Days from 1970-01-01 to the given proleptic Gregorian date, for any year:
// the year is counted from March so the leap day falls at its end, then
// split into 400-year eras of 146097 days.
int64_t asn1DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

bool asn1IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int asn1DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && asn1IsLeapYear(year) ? 29 : kDays[month - 1];
}

// A cursor over a time text.
struct Asn1TimeText {
  const uint8_t *p;
  const uint8_t *end;
  bool digits(int count, int *value) {
    if (end - p < count) return false;
    int v = 0;
    for (int i = 0; i < count; i++) {
      if (p[i] < '0' || p[i] > '9') return false;
      v = v * 10 + (p[i] - '0');
    }
    p += count;
    *value = v;
    return true;
  }
  bool atDigit() const { return p < end && *p >= '0' && *p <= '9'; }
};

// Reads "Z" or "+hhmm"/"-hhmm" as the offset to add to local time to get UTC,
// and requires the text to end there.
bool asn1ReadZone(Asn1TimeText *t, int64_t *offset) {
  if (t->p >= t->end) return false;
  uint8_t sign = *t->p++;
  if (sign == 'Z') {
    *offset = 0;
    return t->p == t->end;
  }
  int hours = 0, minutes = 0;
  if ((sign != '+' && sign != '-') || !t->digits(2, &hours) || !t->digits(2, &minutes) ||
      t->p != t->end || hours > 23 || minutes > 59)
    return false;
  int64_t seconds = hours * 3600 + minutes * 60;
  *offset = sign == '+' ? -seconds : seconds;
  return true;
}

bool asn1ReadTime(const Asn1Node *node, double *time) {
  Asn1TimeText t{node->content, node->content + node->contentLength};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  double fraction = 0;
  if (node->identifier == kAsn1UtcTime) {
    if (!t.digits(2, &year) || !t.digits(2, &month) || !t.digits(2, &day)) return false;
    year += year >= 50 ? 1900 : 2000;
    if (t.atDigit() && !t.digits(2, &hour)) return false;
    if (t.atDigit() && !t.digits(2, &minute)) return false;
    if (t.atDigit() && !t.digits(2, &second)) return false;
  } else {
    if (!t.digits(4, &year) || !t.digits(2, &month) || !t.digits(2, &day) ||
        !t.digits(2, &hour) || !t.digits(2, &minute))
      return false;
    if (t.atDigit()) {
      if (!t.digits(2, &second)) return false;
      if (t.p < t.end && (*t.p == '.' || *t.p == ',')) {
        t.p++;
        if (!t.atDigit()) return false;
        double scale = 0.1;
        while (t.atDigit()) {
          fraction += (*t.p++ - '0') * scale;
          scale /= 10;
        }
      }
    }
  }
  int64_t offset = 0;
  if (!asn1ReadZone(&t, &offset)) return false;
  if (month < 1 || month > 12 || day < 1 || day > asn1DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 60)
    return false;
  int64_t seconds = asn1DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 +
                    minute * 60 + second + offset;
  *time = double(seconds) + fraction;
  return true;
}

bool asn1Is(const Asn1Node *node, uint8_t identifier) {
  if (node == nullptr) return false;
  CLASS_CHECK(node, kAsn1NodeTag);
  return node->identifier == identifier;
}

// ---- Search -------------------------------------------------------------------------------

bool asn1Find(const Asn1Node *node, const char *oidText, int levelsLeft, Asn1Node **value) {
  char text[kAsn1TextBytes];
  for (Asn1Link *link = node->children.first; link != nullptr; link = link->next) {
    Asn1Node *child = link->node;
    if (child->identifier == kAsn1Oid && link->next != nullptr && Asn1_GetOidText(child, text) &&
        strcmp(text, oidText) == 0) {
      *value = link->next->node;
      return true;
    }
    // Children read out of a string's content are data, not structure.
    bool descend = child->children.first != nullptr &&
                   !(child->children.first->node->flags & kAsn1NodeEncapsulated);
    if (descend && levelsLeft != 1 && asn1Find(child, oidText, levelsLeft - 1, value)) return true;
  }
  return false;
}

// ---- Writers ---------------------------------------------------------------------------------

int asn1LengthBytes(int length) { return length < 0x80 ? 1 : length < 0x100 ? 2 : 3; }

// Writes a minimal definite length; returns its bytes.
int asn1WriteLength(uint8_t *out, int length) {
  if (length < 0x80) {
    out[0] = uint8_t(length);
    return 1;
  }
  if (length < 0x100) {
    out[0] = 0x81;
    out[1] = uint8_t(length);
    return 2;
  }
  out[0] = 0x82;
  out[1] = uint8_t(length >> 8);
  out[2] = uint8_t(length);
  return 3;
}

}  // namespace

// ---- Documents and parsing ----------------------------------------------------------

int Asn1_Create(Asn1Node **document) {
  CHECK_POINTER(document);
  *document = asn1NewNode();
  return 1;
}

int Asn1_Release(Asn1Node **node) {
  CHECK_POINTER(node);
  CLASS_CHECK(*node, kAsn1NodeTag);
  if ((*node)->parent != nullptr) asn1Unlink(*node);
  Class_ReleaseObject(node);
  return 1;
}

void Asn1_Clear(Asn1Node *node) {
  CLASS_CHECK(node, kAsn1NodeTag);
  Asn1Link *link = node->children.first;
  while (link != nullptr) {
    Asn1Link *next = link->next;
    asn1FreeNode(link->node);
    link = next;
  }
  node->children.first = node->children.last = nullptr;
  node->children.count = 0;
  node->children.cursor = nullptr;
}

int Asn1_ParseBuffer(Asn1Node *document, const uint8_t *data, int64_t length) {
  CLASS_CHECK(document, kAsn1NodeTag);
  if (length <= 0 || length > kAsn1MaxLength) {
    Asn1_Clear(document);
    return 0;
  }
  int64_t consumed = 0;
  return Asn1_Parse(document, data, length, 0, length, 0, 0, &consumed);
}

int Asn1_Parse(Asn1Node *parent, const uint8_t *data, int64_t size, int64_t offset,
               int64_t length, int indefinite, int depth, int64_t *consumed) {
  CLASS_CHECK(parent, kAsn1NodeTag);
  CHECK_POINTER(consumed);
  *consumed = 0;
  if (size > 0) CHECK_POINTER(data);
  if (offset < 0 || length < 0 || size < 0 || offset > size || length > size - offset ||
      depth < 0) {
    Asn1_Clear(parent);
    return 0;
  }
  int64_t pos = offset;
  Asn1Parse parse{data, asn1NodeLimit(length), false};
  if (!asn1ParseLevel(&parse, parent, offset + length, &pos, indefinite != 0, depth)) {
    if (parse.exhausted)
      Log_Print(LOG_ERROR, KSRC, 0, "ASN.1 element limit reached (%lld elements in %lld bytes)\n",
                (long long)asn1NodeLimit(length), (long long)length);
    Asn1_Clear(parent);
    return 0;
  }
  *consumed = pos - offset;
  return 1;
}

int32_t Asn1_ReadHeader(const uint8_t *data, int64_t size, int64_t offset, uint8_t *identifier,
                        int32_t *headerLength, int *indefinite) {
  CHECK_POINTER(identifier);
  CHECK_POINTER(headerLength);
  CHECK_POINTER(indefinite);
  *identifier = 0;
  *headerLength = 0;
  *indefinite = 0;
  if (offset < 0 || offset >= size) return -1;
  CHECK_POINTER(data);
  int64_t p = offset;
  const uint8_t id = data[p++];
  if ((id & 0x1F) == 0x1F) {
    if (id >> 6 == 0) return -1;  // universal tag numbers above 30 are not used
    for (int count = 0;; count++) {
      if (p >= size || count == kAsn1MaxTagBytes) return -1;
      uint8_t b = data[p++];
      if (count == 0 && b == 0x80) return -1;  // a leading zero group
      if (!(b & 0x80)) break;
    }
  } else if (id >> 6 == 0 && !asn1UniversalAccepted(id & 0x1F)) {
    return -1;
  }
  if (p >= size) return -1;
  const uint8_t first = data[p++];
  int64_t length = 0;
  if (first < 0x80) {
    length = first;
  } else if (first == 0x80) {
    if (!(id & 0x20)) return -1;  // only constructed elements may be indefinite
    *indefinite = 1;
  } else {
    int count = first & 0x7F;
    if (count > kAsn1MaxLengthBytes || count > size - p) return -1;
    for (int i = 0; i < count; i++) length = (length << 8) | data[p++];
    if (length > kAsn1MaxLength) return -1;
  }
  if (!*indefinite && length > size - p) return -1;
  *identifier = id;
  *headerLength = int32_t(p - offset);
  return int32_t(length);
}

// ---- Accessors -----------------------------------------------------------------------

Asn1Node *Asn1_GetChild(const Asn1Node *node, int index) {
  if (node == nullptr) return nullptr;
  CLASS_CHECK(node, kAsn1NodeTag);
  const Asn1List *list = &node->children;
  if (index < 0 || index >= list->count) return nullptr;
  // Walk from the nearest of the first link, the last link and the cursor.
  Asn1Link *link = list->first;
  int at = 0;
  if (list->count - 1 - index < index) {
    link = list->last;
    at = list->count - 1;
  }
  if (list->cursor != nullptr) {
    int fromCursor = index > list->cursorIndex ? index - list->cursorIndex : list->cursorIndex - index;
    if (fromCursor < (at > index ? at - index : index - at)) {
      link = list->cursor;
      at = list->cursorIndex;
    }
  }
  for (; at < index; at++) link = link->next;
  for (; at > index; at--) link = link->previous;
  list->cursor = link;
  list->cursorIndex = index;
  return link->node;
}

int Asn1_GetChildCount(const Asn1Node *node) {
  if (node == nullptr) return 0;
  CLASS_CHECK(node, kAsn1NodeTag);
  return node->children.count;
}

int Asn1_GetTagNumber(const Asn1Node *node) { return Asn1_GetTag(node) & 0x1F; }

int Asn1_GetTag(const Asn1Node *node) {
  if (node == nullptr) return 0;
  CLASS_CHECK(node, kAsn1NodeTag);
  return node->identifier;
}

const uint8_t *Asn1_GetElementStart(const Asn1Node *node) {
  if (node == nullptr) return nullptr;
  CLASS_CHECK(node, kAsn1NodeTag);
  return node->elementStart;
}

int64_t Asn1_GetElementLength(const Asn1Node *node) {
  if (node == nullptr) return 0;
  CLASS_CHECK(node, kAsn1NodeTag);
  return int64_t(node->headerLength) + node->contentLength +
         ((node->flags & kAsn1NodeIndefinite) ? 2 : 0);
}

int32_t Asn1_GetContentLength(const Asn1Node *node) {
  if (node == nullptr) return 0;
  CLASS_CHECK(node, kAsn1NodeTag);
  return node->contentLength;
}

const uint8_t *Asn1_GetContent(const Asn1Node *node) {
  if (node == nullptr) return nullptr;
  CLASS_CHECK(node, kAsn1NodeTag);
  return node->content;
}

// ---- Converters ------------------------------------------------------------------------

int Asn1_GetInteger32(const Asn1Node *node, uint32_t *value) {
  CHECK_POINTER(value);
  *value = 0;
  if (!asn1Is(node, kAsn1Integer) || node->contentLength < 1 || node->contentLength > 4) return 0;
  uint32_t v = 0;
  for (int i = 0; i < node->contentLength; i++) v = (v << 8) | node->content[i];
  *value = v;
  return 1;
}

int Asn1_GetBigInteger(const Asn1Node *node, BigInt *value) {
  CLASS_CHECK(value, kBigIntTag);
  BigInt_Clear(value);
  if (!asn1Is(node, kAsn1Integer) || node->contentLength < 1) return 0;
  if (!(node->content[0] & 0x80))
    return BigInt_FromBytes(value, node->content, node->contentLength);
  // Negative: the magnitude is the two's complement, invert and add one.
  int64_t count = node->contentLength;
  auto *bytes = static_cast<uint8_t *>(MEM_ALLOC(count, 0));
  int carry = 1;
  for (int64_t i = count - 1; i >= 0; i--) {
    int b = (~node->content[i] & 0xFF) + carry;
    bytes[i] = uint8_t(b);
    carry = b >> 8;
  }
  int ok = BigInt_FromBytes(value, bytes, int(count));
  MEM_FREE(bytes, count);
  if (ok && value->Length > 0) value->Negative = 1;
  return ok;
}

int Asn1_GetOidText(const Asn1Node *node, char *text) {
  CHECK_POINTER(text);
  text[0] = '\0';
  if (!asn1Is(node, kAsn1Oid) || node->contentLength < 1) return 0;
  const uint8_t *p = node->content, *end = p + node->contentLength;
  int length = 0;
  bool first = true;
  while (p < end) {
    if (*p == 0x80) break;  // a leading zero group is not DER or BER
    uint64_t value = 0;
    bool complete = false;
    while (p < end) {
      if (value >> 57 != 0) {  // seven more bits would not fit 64
        text[0] = '\0';
        return 0;
      }
      uint8_t b = *p++;
      value = (value << 7) | (b & 0x7F);
      if (!(b & 0x80)) {
        complete = true;
        break;
      }
    }
    if (!complete) {
      p = nullptr;  // ended inside a group
      break;
    }
    bool ok;
    if (first) {
      // The first subidentifier joins the first two arcs: 40 * X + Y, where
      // only arc 2 may have a second arc of 40 or more.
      uint64_t arc = value < 40 ? 0 : value < 80 ? 1 : 2;
      ok = asn1AppendDecimal(text, kAsn1TextBytes, &length, arc) &&
           asn1AppendChar(text, kAsn1TextBytes, &length, '.') &&
           asn1AppendDecimal(text, kAsn1TextBytes, &length, value - 40 * arc);
      first = false;
    } else {
      ok = asn1AppendChar(text, kAsn1TextBytes, &length, '.') &&
           asn1AppendDecimal(text, kAsn1TextBytes, &length, value);
    }
    if (!ok) {
      p = nullptr;  // longer than the text buffer
      break;
    }
  }
  if (p != end) {
    text[0] = '\0';
    return 0;
  }
  return 1;
}

int Asn1_GetString(const Asn1Node *node, char *text) {
  CHECK_POINTER(text);
  text[0] = '\0';
  if (node == nullptr) return 0;
  CLASS_CHECK(node, kAsn1NodeTag);
  bool ok = false;
  switch (node->identifier) {
    case kAsn1Utf8String:
    case kAsn1PrintableString:
    case kAsn1T61String:
    case kAsn1Ia5String:
      ok = asn1CopyBytes(node, text);
      break;
    case kAsn1BmpString:
      ok = asn1ConvertBmp(node, text);
      break;
    case kAsn1UniversalString:
      ok = asn1ConvertUniversal(node, text);
      break;
    default:
      break;
  }
  if (!ok) text[0] = '\0';
  return ok;
}

int Asn1_GetUtcTime(const Asn1Node *node, double *time) {
  CHECK_POINTER(time);
  *time = 0;
  if (!asn1Is(node, kAsn1UtcTime) && !asn1Is(node, kAsn1GeneralizedTime)) return 0;
  if (!asn1ReadTime(node, time)) {
    *time = 0;
    return 0;
  }
  return 1;
}

int Asn1_FindValueByOid(const Asn1Node *node, const char *oidText, int maxDepth, Asn1Node **value) {
  CHECK_POINTER(oidText);
  CHECK_POINTER(value);
  *value = nullptr;
  if (node == nullptr || maxDepth == 0) return 0;
  CLASS_CHECK(node, kAsn1NodeTag);
  return asn1Find(node, oidText, maxDepth < 0 ? -1 : maxDepth, value);
}

// ---- Writers -------------------------------------------------------------------------

int Asn1_WriteInteger(const BigInt *value, uint8_t *out) {
  CLASS_CHECK(value, kBigIntTag);
  CHECK_POINTER(out);
  if (BigInt_Sign(value) < 0) return 0;
  int bytes = BigInt_GetByteLength(value);
  // A set top bit would read as negative: a 00 byte goes in front. Zero is
  // the one content byte 00.
  bool pad = bytes == 0 || BigInt_TestBit(value, 8 * bytes - 1);
  int contentLength = bytes + (pad ? 1 : 0);
  if (contentLength > kAsn1WriteBufferBytes) return 0;
  int total = 1 + asn1LengthBytes(contentLength) + contentLength;
  if (total > kAsn1WriteBufferBytes) return 0;
  out[0] = kAsn1Integer;
  int p = 1 + asn1WriteLength(out + 1, contentLength);
  if (pad) out[p++] = 0;
  int written = 0;
  BigInt_ToBytes(value, out + p, kAsn1WriteBufferBytes - p, &written);
  return total;
}

int Asn1_AppendToSequence(uint8_t *sequence, const uint8_t *element, int elementSize) {
  CHECK_POINTER(sequence);
  CHECK_POINTER(element);
  uint8_t id = 0;
  int32_t seqHeader = 0, elementHeader = 0;
  int indefinite = 0;
  int32_t seqLength = Asn1_ReadHeader(sequence, kAsn1WriteBufferBytes, 0, &id, &seqHeader, &indefinite);
  if (seqLength < 0 || indefinite || id != kAsn1Sequence) return 0;
  int32_t elementLength = Asn1_ReadHeader(element, elementSize, 0, &id, &elementHeader, &indefinite);
  if (elementLength < 0 || indefinite) return 0;
  int64_t add = int64_t(elementHeader) + elementLength;
  int64_t content = seqLength + add;
  if (content > kAsn1WriteBufferBytes) return 0;
  int header = 1 + asn1LengthBytes(int(content));
  if (header + content > kAsn1WriteBufferBytes) return 0;
  memmove(sequence + header, sequence + seqHeader, size_t(seqLength));
  memcpy(sequence + header + seqLength, element, size_t(add));
  sequence[0] = kAsn1Sequence;
  asn1WriteLength(sequence + 1, int(content));
  return int(header + content);
}
