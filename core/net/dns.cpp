// DNS messages; see dns.h.
#include "core/net/dns.h"

#include <cstring>
#include <new>

#include "core/platform/platform.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/print.h"

namespace {

constexpr int kDnsMaxLabelBytes = 63;
constexpr int kDnsMaxEncodedName = 255;
// A compression pointer holds 14 bits of offset.
constexpr int kDnsMaxPointerTarget = 0x3FFF;
// Record data behind the SOA names: SERIAL, REFRESH, RETRY, EXPIRE, MINIMUM.
constexpr int kDnsSoaNumberBytes = 20;
// LOC data: version, size, two precisions, latitude, longitude, altitude.
constexpr int kDnsLocBytes = 16;
constexpr uint32_t kDnsLocEquator = 0x80000000u;   // 2^31: latitude and longitude 0
constexpr int64_t kDnsLocAltitudeBase = 10000000;  // centimetres below the reference

inline uint16_t dnsRead16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t dnsRead32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void dnsWrite16(uint8_t *p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void dnsWrite32(uint8_t *p, uint32_t v) {
  dnsWrite16(p, uint16_t(v >> 16));
  dnsWrite16(p + 2, uint16_t(v));
}
inline uint8_t dnsLower(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; }

// ---- Lists -------------------------------------------------------------------------

template <typename Item>
void dnsCheckList(const DnsList<Item> *list) {
  CHECK_POINTER(list);
  if (list->classTag != kDnsListTag)
    Core_Abort(KSRC, "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n", list, kDnsListTag,
               list->classTag);
}

template <typename Item>
void dnsAppend(DnsList<Item> *list, Item *item) {
  dnsCheckList(list);
  item->next = nullptr;
  item->prev = list->tail;
  if (list->tail)
    list->tail->next = item;
  else
    list->head = item;
  list->tail = item;
  list->count++;
}

template <typename Item>
void dnsEmpty(DnsList<Item> *list, Pool *pool) {
  dnsCheckList(list);
  for (Item *item = list->head; item;) {
    void *member = item;
    item = item->next;
    POOL_FREE(pool, &member, int32_t(sizeof(Item)));
  }
  list->head = list->tail = nullptr;
  list->count = 0;
}

template <typename Item>
void dnsInitList(DnsList<Item> *list) {
  list->classTag = kDnsListTag;
  list->head = list->tail = nullptr;
  list->count = 0;
}

void dnsMessageDestroy(void **object) {
  auto *message = static_cast<DnsMessage *>(*object);
  dnsEmpty(&message->questions, message->questionPool);
  dnsEmpty(&message->answers, message->recordPool);
  dnsEmpty(&message->authorities, message->recordPool);
  dnsEmpty(&message->additionals, message->recordPool);
  Pool_Release(&message->questionPool);
  Pool_Release(&message->recordPool);
  message->header.classTag = 0;
  message->~DnsMessage();
  MEM_FREE(message, sizeof(DnsMessage));
}

Pool *dnsCreatePool(int32_t memberSize) {
  Pool *pool = nullptr;
  Pool_Create(&pool, KSRC);
  Pool_SetMemberSize(pool, memberSize);
  Pool_SetMemberChunkSize(pool, kDnsItemsPerChunk);
  return pool;
}

// ---- Names ---------------------------------------------------------------------------

// Reads the name at position, following pointers from depth on, into out
// with a '.' behind each label. *consumed: the bytes read before the first
// pointer (the pointer included) and the final zero when no pointer came.
int dnsDecodeName(char *out, int outSize, const uint8_t *message, int length, int position, int depth,
                  int *consumed) {
  if (depth > kDnsMaxDepth) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Depth too great (%d > %d)\n", depth, kDnsMaxDepth);
    return 0;
  }
  int at = 0;
  int used = 0;
  bool counting = true;  // still at the name's own bytes
  for (int p = position;;) {
    if (p < 0 || p >= length) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Invalid position %d (max %d)\n", p, length);
      return 0;
    }
    uint8_t count = message[p];
    if (count == 0) {
      if (counting) used++;
      break;
    }
    uint8_t pattern = count & 0xC0;
    if (pattern == 0x40 || pattern == 0x80) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Unsupported pattern (0x%.2X %d [%d])\n", pattern, count, depth);
      return 0;
    }
    if (pattern == 0xC0) {
      if (p + 1 >= length) {
        Log_Print(LOG_DEBUG, KSRC, 0, "Invalid position %d (max %d)\n", p + 1, length);
        return 0;
      }
      if (counting) used += 2;
      counting = false;
      if (++depth > kDnsMaxDepth) {
        Log_Print(LOG_DEBUG, KSRC, 0, "Depth too great (%d > %d)\n", depth, kDnsMaxDepth);
        return 0;
      }
      p = (count & 0x3F) << 8 | message[p + 1];
      continue;
    }
    if (count > length - p - 1) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Copy size too large (%d > %d)\n", int(count), length - p - 1);
      return 0;
    }
    int room = outSize - 1 - at;  // the terminator stays free
    if (count + 1 > room) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Length of string buffer too small (%d > %d)\n", count + 1, room);
      return 0;
    }
    memcpy(out + at, message + p + 1, count);
    at += count;
    out[at++] = '.';
    if (counting) used += 1 + count;
    p += 1 + count;
  }
  if (at == 0) {
    if (outSize < 2) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Length of string buffer too small (%d > %d)\n", 2, outSize - 1);
      return 0;
    }
    out[at++] = '.';
  }
  out[at] = '\0';
  *consumed = used;
  return 1;
}

// The dotted name as labels and a final zero (at most 255 bytes).
// starts[i] is where label i begins; *labelCount of them.
int dnsNameToLabels(const char *name, uint8_t *labels, int *length, int *starts, int *labelCount) {
  int n = 0;
  int count = 0;
  for (const char *p = name; *p;) {
    const char *dot = strchr(p, '.');
    if (dot == nullptr) dot = p + strlen(p);
    int label = int(dot - p);
    if (label > kDnsMaxLabelBytes) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Label too long (%d > %d)\n", label, kDnsMaxLabelBytes);
      return 0;
    }
    if (label > 0) {
      if (n + 1 + label + 1 > kDnsMaxEncodedName) {
        Log_Print(LOG_DEBUG, KSRC, 0, "Name too long (%d > %d)\n", n + 1 + label + 1, kDnsMaxEncodedName);
        return 0;
      }
      starts[count++] = n;
      labels[n++] = uint8_t(label);
      memcpy(labels + n, p, size_t(label));
      n += label;
    }
    p = *dot ? dot + 1 : dot;
  }
  labels[n++] = 0;
  *length = n;
  *labelCount = count;
  return 1;
}

// 1 when the name at target, followed through its pointers within the first
// limit bytes, spells exactly the labels of suffix (ASCII case folded). Each
// pointer must lead further back than the one before, as readers demand.
bool dnsSpells(const uint8_t *message, int limit, int target, const uint8_t *suffix) {
  int floor = target;
  for (int p = target;;) {
    if (p >= limit) return false;
    uint8_t count = message[p];
    if ((count & 0xC0) == 0xC0) {
      if (p + 1 >= limit) return false;
      int next = (count & 0x3F) << 8 | message[p + 1];
      if (next >= floor) return false;
      floor = p = next;
      continue;
    }
    if (count & 0xC0 || count != *suffix) return false;
    if (count == 0) return true;
    if (count > limit - p - 1) return false;
    for (int k = 1; k <= count; k++)
      if (dnsLower(message[p + k]) != dnsLower(suffix[k])) return false;
    p += 1 + count;
    suffix += 1 + count;
  }
}

// The first offset from 12 on before position whose name spells suffix, or
// -1.
int dnsFindSuffix(const uint8_t *message, int position, const uint8_t *suffix) {
  int end = position < kDnsMaxPointerTarget + 1 ? position : kDnsMaxPointerTarget + 1;
  for (int target = kDnsHeaderBytes; target < end; target++)
    if (message[target] == suffix[0] && dnsSpells(message, position, target, suffix)) return target;
  return -1;
}

// Checks that count bytes fit at position of a buffer of size bytes.
int dnsFits(int position, int count, int size) {
  if (position >= 0 && count <= size - position) return 1;
  Log_Print(LOG_DEBUG, KSRC, 0, "Copy size too large (%d > %d)\n", count, size - position);
  return 0;
}

// ---- Decoding ---------------------------------------------------------------------

// A name inside RDATA: decoded into out, and its own bytes within the RDATA.
int dnsDecodeDataName(char *out, int outSize, const uint8_t *data, int length, int position, int rdataEnd,
                      int *consumed) {
  if (!Dns_DecodeName(out, outSize, data, length, position, consumed)) return 0;
  if (*consumed <= rdataEnd - position) return 1;
  Log_Print(LOG_DEBUG, KSRC, 0, "Invalid position %d (max %d)\n", position + *consumed, rdataEnd);
  return 0;
}

// RDATA at position (rdlength bytes) into the record's data.
int dnsDecodeData(DnsRecord *record, const uint8_t *data, int length, int position, int rdlength) {
  char *text = reinterpret_cast<char *>(record->data);
  int end = position + rdlength;
  int consumed = 0;
  switch (record->type) {
    case kDnsTypeNS:
    case kDnsTypeCNAME:
    case kDnsTypePTR:
      if (!dnsDecodeDataName(text, kDnsDataBytes, data, length, position, end, &consumed)) return 0;
      record->dataLength = uint16_t(strlen(text));
      return 1;
    case kDnsTypeMX:
      if (!dnsFits(position, 2, end)) return 0;
      memcpy(record->data, data + position, 2);
      if (!dnsDecodeDataName(text + 2, kDnsDataBytes - 2, data, length, position + 2, end, &consumed)) return 0;
      record->dataLength = uint16_t(2 + strlen(text + 2));
      return 1;
    case kDnsTypeSOA: {
      int mname = 0;
      int rname = 0;
      if (!dnsDecodeDataName(text, kDnsDataBytes, data, length, position, end, &mname)) return 0;
      int used = int(strlen(text)) + 1;
      if (!dnsDecodeDataName(text + used, kDnsDataBytes - used, data, length, position + mname, end, &rname))
        return 0;
      used += int(strlen(text + used)) + 1;
      int numbers = position + mname + rname;
      if (!dnsFits(numbers, kDnsSoaNumberBytes, end)) return 0;
      if (kDnsDataBytes - used > kDnsSoaNumberBytes) {
        memcpy(record->data + used, data + numbers, kDnsSoaNumberBytes);
        used += kDnsSoaNumberBytes;
      }
      record->dataLength = uint16_t(used);
      return 1;
    }
    default:
      memcpy(record->data, data + position, size_t(rdlength));
      record->dataLength = uint16_t(rdlength);
      return 1;
  }
}

int dnsDecodeQuestion(DnsQuestion *question, const uint8_t *data, int length, int *position) {
  int consumed = 0;
  if (!Dns_DecodeName(question->name, kDnsNameBytes, data, length, *position, &consumed)) return 0;
  int p = *position + consumed;
  if (!dnsFits(p, 4, length)) return 0;
  question->type = dnsRead16(data + p);
  question->klass = dnsRead16(data + p + 2);
  *position = p + 4;
  return 1;
}

int dnsDecodeRecord(DnsRecord *record, const uint8_t *data, int length, int *position) {
  int consumed = 0;
  if (!Dns_DecodeName(record->name, kDnsNameBytes, data, length, *position, &consumed)) return 0;
  int p = *position + consumed;
  if (!dnsFits(p, 10, length)) return 0;
  record->type = dnsRead16(data + p);
  record->klass = dnsRead16(data + p + 2);
  record->ttl = dnsRead32(data + p + 4);
  int rdlength = dnsRead16(data + p + 8);
  record->wireLength = uint16_t(rdlength);
  p += 10;
  if (rdlength >= kDnsDataBytes) {
    Log_Print(LOG_DEBUG, KSRC, 0, "In Resource length too big (%d > %d)\n", rdlength, kDnsDataBytes);
    return 0;
  }
  if (!dnsFits(p, rdlength, length) || !dnsDecodeData(record, data, length, p, rdlength)) return 0;
  if (record->dataLength >= kDnsDataBytes) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Out Resource length too big (%d > %d)\n", int(record->dataLength),
              kDnsDataBytes);
    return 0;
  }
  *position = p + rdlength;
  return 1;
}

int dnsDecodeRecords(DnsMessage *message, DnsList<DnsRecord> *list, int count, const char *listName,
                     const uint8_t *data, int length, int *position) {
  for (int index = 0; index < count; index++) {
    auto *record = static_cast<DnsRecord *>(POOL_ALLOC(message->recordPool, int32_t(sizeof(DnsRecord))));
    if (!dnsDecodeRecord(record, data, length, position)) {
      void *member = record;
      POOL_FREE(message->recordPool, &member, int32_t(sizeof(DnsRecord)));
      Log_Print(LOG_DEBUG, KSRC, 0, "Decoding Failed in %sList (%d / %d)\n", listName, index, length);
      return 0;
    }
    dnsAppend(list, record);
  }
  return 1;
}

// ---- Encoding ---------------------------------------------------------------------

// The text of a name held in record data: count bytes, or up to a NUL.
void dnsDataText(char *out, const uint8_t *data, int count) {
  const void *nul = memchr(data, 0, size_t(count));
  int length = nul ? int(static_cast<const uint8_t *>(nul) - data) : count;
  memcpy(out, data, size_t(length));
  out[length] = '\0';
}

int dnsEncodeNameAt(const char *name, uint8_t *buffer, int size, int *position) {
  int written = 0;
  if (!Dns_EncodeName(name, buffer, size, *position, &written)) return 0;
  *position += written;
  return 1;
}

// The data of a record as RDATA at *position.
int dnsEncodeData(const DnsRecord *record, uint8_t *buffer, int size, int *position) {
  char text[kDnsDataBytes + 1];
  int length = record->dataLength < kDnsDataBytes ? record->dataLength : kDnsDataBytes;
  switch (record->type) {
    case kDnsTypeNS:
    case kDnsTypeCNAME:
    case kDnsTypePTR:
      dnsDataText(text, record->data, length);
      return dnsEncodeNameAt(text, buffer, size, position);
    case kDnsTypeMX:
      if (length < 2) {
        Log_Print(LOG_DEBUG, KSRC, 0, "Copy size too large (%d > %d)\n", 2, length);
        return 0;
      }
      if (!dnsFits(*position, 2, size)) return 0;
      memcpy(buffer + *position, record->data, 2);
      *position += 2;
      dnsDataText(text, record->data + 2, length - 2);
      return dnsEncodeNameAt(text, buffer, size, position);
    case kDnsTypeSOA: {
      // The decoded form (names as text) goes back to the wire form.
      dnsDataText(text, record->data, length);
      int used = int(strlen(text)) + 1;
      if (!dnsEncodeNameAt(text, buffer, size, position)) return 0;
      if (used > length) used = length;
      dnsDataText(text, record->data + used, length - used);
      used += int(strlen(text)) + 1;
      if (length - used != kDnsSoaNumberBytes) {
        Log_Print(LOG_DEBUG, KSRC, 0, "Copy size too large (%d > %d)\n", kDnsSoaNumberBytes, length - used);
        return 0;
      }
      if (!dnsEncodeNameAt(text, buffer, size, position) || !dnsFits(*position, kDnsSoaNumberBytes, size))
        return 0;
      memcpy(buffer + *position, record->data + used, kDnsSoaNumberBytes);
      *position += kDnsSoaNumberBytes;
      return 1;
    }
    default:
      if (!dnsFits(*position, length, size)) return 0;
      memcpy(buffer + *position, record->data, size_t(length));
      *position += length;
      return 1;
  }
}

int dnsEncodeRecord(const DnsRecord *record, uint8_t *buffer, int size, int *position) {
  if (!dnsEncodeNameAt(record->name, buffer, size, position) || !dnsFits(*position, 10, size)) return 0;
  uint8_t *fixed = buffer + *position;
  dnsWrite16(fixed, record->type);
  dnsWrite16(fixed + 2, record->klass);
  dnsWrite32(fixed + 4, record->ttl);
  *position += 10;
  int start = *position;
  if (!dnsEncodeData(record, buffer, size, position)) return 0;
  dnsWrite16(fixed + 8, uint16_t(*position - start));
  return 1;
}

int dnsEncodeRecords(const DnsList<DnsRecord> *list, const char *listName, uint8_t *buffer, int size,
                     int *position) {
  dnsCheckList(list);
  int index = 0;
  for (const DnsRecord *record = list->head; record; record = record->next, index++) {
    if (!dnsEncodeRecord(record, buffer, size, position)) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Encoding Failed in %sList (%d / %d)\n", listName, index, size);
      return 0;
    }
  }
  return 1;
}

// ---- Formatting -------------------------------------------------------------------

int dnsFormatHex(char *out, int size, const uint8_t *data, int length) {
  if (size < 1) return 1;
  out[0] = '\0';
  int at = 0;
  for (int k = 0; k < length && size - at >= 4; k++) at += Str_Printf(out + at, size - at, "%.2X ", data[k]);
  return 1;
}

// A LOC latitude or longitude in degrees: thousandths of an arc second
// from 2^31.
double dnsLocDegrees(uint32_t value) {
  bool negative = value < kDnsLocEquator;
  int64_t a = negative ? int64_t(kDnsLocEquator) - value : int64_t(value) - kDnsLocEquator;
  int64_t whole = a / 3600000;
  int64_t minutes = a % 3600000 / 60000;
  int64_t seconds = a % 60000 / 1000;
  int64_t thousandths = a % 1000;
  double degrees = double(whole) + double(minutes) / 60.0 + double(seconds) / 3600.0 +
                   double(thousandths) / 3600000.0;
  return negative ? -degrees : degrees;
}

int dnsFormatLoc(char *out, int size, const uint8_t *data) {
  char sizeText[kDnsFormatShortBytes];
  char horizontal[kDnsFormatShortBytes];
  char vertical[kDnsFormatShortBytes];
  Dns_FormatLocSize(data[1], sizeText, sizeof sizeText);
  Dns_FormatLocSize(data[2], horizontal, sizeof horizontal);
  Dns_FormatLocSize(data[3], vertical, sizeof vertical);
  int64_t altitude = int64_t(dnsRead32(data + 12)) - kDnsLocAltitudeBase;
  int64_t magnitude = altitude < 0 ? -altitude : altitude;
  Str_Printf(out, size,
             "VERSION=%d, SIZE=%s, HORIZ PRE=%s, VERT PRE=%s, LAT=%.4f, LONG=%.4f, ALT=%s%d.%.2dm",
             int(data[0]), sizeText, horizontal, vertical, dnsLocDegrees(dnsRead32(data + 4)),
             dnsLocDegrees(dnsRead32(data + 8)), altitude < 0 ? "-" : "", int(magnitude / 100),
             int(magnitude % 100));
  return 1;
}

// SOA data: two terminated names and 20 bytes of numbers; 0 when the data
// is not that.
int dnsFormatSoa(char *out, int size, const uint8_t *data, int length) {
  const auto *mname = static_cast<const uint8_t *>(memchr(data, 0, size_t(length)));
  if (mname == nullptr) return 0;
  int rnameStart = int(mname - data) + 1;
  const auto *rname = static_cast<const uint8_t *>(memchr(data + rnameStart, 0, size_t(length - rnameStart)));
  if (rname == nullptr) return 0;
  int numbers = int(rname - data) + 1;
  if (length - numbers < kDnsSoaNumberBytes) return 0;
  char refresh[kDnsFormatShortBytes];
  char retry[kDnsFormatShortBytes];
  char expire[kDnsFormatShortBytes];
  char minimum[kDnsFormatShortBytes];
  Dns_FormatDuration(refresh, sizeof refresh, dnsRead32(data + numbers + 4));
  Dns_FormatDuration(retry, sizeof retry, dnsRead32(data + numbers + 8));
  Dns_FormatDuration(expire, sizeof expire, dnsRead32(data + numbers + 12));
  Dns_FormatDuration(minimum, sizeof minimum, dnsRead32(data + numbers + 16));
  // The serial is an unsigned 32-bit number: "%u", so 2^31 and above do not
  // print negative.
  Str_Printf(out, size, "MNAME=%s, RNAME=%s, Serial=%u, Refresh=%s, Retry=%s, Expire=%s, Minimum=%s",
             reinterpret_cast<const char *>(data), reinterpret_cast<const char *>(data + rnameStart),
             dnsRead32(data + numbers), refresh, retry, expire, minimum);
  return 1;
}

}  // namespace

// ---- Messages -----------------------------------------------------------------------

int DnsMessage_Create(DnsMessage **message) {
  CHECK_POINTER(message);
  auto *created = new (MEM_ALLOC(sizeof(DnsMessage), MEM_ZEROED)) DnsMessage();
  created->header.classTag = kDnsMessageTag;
  created->header.refCount.store(1, std::memory_order_relaxed);
  created->header.destroy = dnsMessageDestroy;
  dnsInitList(&created->questions);
  dnsInitList(&created->answers);
  dnsInitList(&created->authorities);
  dnsInitList(&created->additionals);
  created->questionPool = dnsCreatePool(int32_t(sizeof(DnsQuestion)));
  created->recordPool = dnsCreatePool(int32_t(sizeof(DnsRecord)));
  DnsMessage_Reset(created);
  *message = created;
  return 1;
}

int DnsMessage_Release(DnsMessage **message) {
  CHECK_POINTER(message);
  CLASS_CHECK(*message, kDnsMessageTag);
  Class_ReleaseObject(message);
  return 1;
}

int DnsMessage_Reset(DnsMessage *message) {
  CLASS_CHECK(message, kDnsMessageTag);
  dnsEmpty(&message->questions, message->questionPool);
  dnsEmpty(&message->answers, message->recordPool);
  dnsEmpty(&message->authorities, message->recordPool);
  dnsEmpty(&message->additionals, message->recordPool);
  uint8_t id[2];
  Platform_RandomBytes(id, sizeof id);
  message->head.id = dnsRead16(id);
  return 1;
}

int DnsMessage_AddQuestion(DnsMessage *message, const char *name, uint16_t type, uint16_t klass) {
  CLASS_CHECK(message, kDnsMessageTag);
  CHECK_POINTER(name);
  size_t length = strlen(name);
  if (length >= size_t(kDnsNameBytes)) return 0;
  auto *question = static_cast<DnsQuestion *>(POOL_ALLOC(message->questionPool, int32_t(sizeof(DnsQuestion))));
  memcpy(question->name, name, length + 1);
  question->type = type;
  question->klass = klass;
  dnsAppend(&message->questions, question);
  message->head.qdCount++;
  return 1;
}

int DnsMessage_Decode(DnsMessage *message, const uint8_t *data, int length) {
  CLASS_CHECK(message, kDnsMessageTag);
  CHECK_POINTER(data);
  DnsMessage_Reset(message);
  if (length < kDnsHeaderBytes) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Failed (%d of %d processed)\n", 0, length);
    return 0;
  }
  DnsHeader &h = message->head;
  h.id = dnsRead16(data);
  uint16_t flags = dnsRead16(data + 2);
  h.qr = flags >> 15 & 1;
  h.opcode = flags >> 11 & 15;
  h.aa = flags >> 10 & 1;
  h.tc = flags >> 9 & 1;
  h.rd = flags >> 8 & 1;
  h.ra = flags >> 7 & 1;
  h.z = flags >> 4 & 7;
  h.rcode = flags & 15;
  h.qdCount = dnsRead16(data + 4);
  h.anCount = dnsRead16(data + 6);
  h.nsCount = dnsRead16(data + 8);
  h.arCount = dnsRead16(data + 10);
  int position = kDnsHeaderBytes;
  for (int index = 0; index < h.qdCount; index++) {
    auto *question = static_cast<DnsQuestion *>(POOL_ALLOC(message->questionPool, int32_t(sizeof(DnsQuestion))));
    if (!dnsDecodeQuestion(question, data, length, &position)) {
      void *member = question;
      POOL_FREE(message->questionPool, &member, int32_t(sizeof(DnsQuestion)));
      Log_Print(LOG_DEBUG, KSRC, 0, "Decoding Failed in QDList (%d / %d)\n", index, length);
      return 0;
    }
    dnsAppend(&message->questions, question);
  }
  if (!dnsDecodeRecords(message, &message->answers, h.anCount, "AN", data, length, &position) ||
      !dnsDecodeRecords(message, &message->authorities, h.nsCount, "NS", data, length, &position) ||
      !dnsDecodeRecords(message, &message->additionals, h.arCount, "AR", data, length, &position))
    return 0;
  int left = length - position;
  if (left == 0) return 1;
  if (left == 1) {
    Log_Print(LOG_DEBUG, KSRC, 0, "One byte [0x%.2X] slop (%d of %d processed)\n", int(data[position]), position,
              length);
    return 1;
  }
  Log_Print(LOG_DEBUG, KSRC, 0, "Failed (%d of %d processed)\n", position, length);
  return 0;
}

int DnsMessage_Encode(DnsMessage *message, uint8_t *buffer, int size, int *length) {
  CLASS_CHECK(message, kDnsMessageTag);
  CHECK_POINTER(buffer);
  CHECK_POINTER(length);
  *length = 0;
  if (size < kDnsHeaderBytes) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Invalid position %d (max %d)\n", kDnsHeaderBytes, size);
    return 0;
  }
  const DnsHeader &h = message->head;
  dnsWrite16(buffer, h.id);
  dnsWrite16(buffer + 2, uint16_t((h.qr & 1) << 15 | (h.opcode & 15) << 11 | (h.aa & 1) << 10 |
                                  (h.tc & 1) << 9 | (h.rd & 1) << 8 | (h.ra & 1) << 7 | (h.z & 7) << 4 |
                                  (h.rcode & 15)));
  // The counts of what is written, so that a reader finds what they say.
  dnsWrite16(buffer + 4, uint16_t(message->questions.count));
  dnsWrite16(buffer + 6, uint16_t(message->answers.count));
  dnsWrite16(buffer + 8, uint16_t(message->authorities.count));
  dnsWrite16(buffer + 10, uint16_t(message->additionals.count));
  int position = kDnsHeaderBytes;
  dnsCheckList(&message->questions);
  int index = 0;
  for (const DnsQuestion *q = message->questions.head; q; q = q->next, index++) {
    if (!dnsEncodeNameAt(q->name, buffer, size, &position) || !dnsFits(position, 4, size)) {
      Log_Print(LOG_DEBUG, KSRC, 0, "Encoding Failed in QDList (%d / %d)\n", index, size);
      return 0;
    }
    dnsWrite16(buffer + position, q->type);
    dnsWrite16(buffer + position + 2, q->klass);
    position += 4;
  }
  if (!dnsEncodeRecords(&message->answers, "AN", buffer, size, &position) ||
      !dnsEncodeRecords(&message->authorities, "NS", buffer, size, &position) ||
      !dnsEncodeRecords(&message->additionals, "AR", buffer, size, &position))
    return 0;
  *length = position;
  return 1;
}

// ---- Names ---------------------------------------------------------------------------

int Dns_DecodeName(char *out, int outSize, const uint8_t *message, int length, int position, int *consumed) {
  CHECK_POINTER(out);
  CHECK_POINTER(message);
  CHECK_POINTER(consumed);
  *consumed = 0;
  if (outSize > 0) out[0] = '\0';
  if (!dnsDecodeName(out, outSize, message, length, position, 0, consumed)) {
    *consumed = 0;
    if (outSize > 0) out[0] = '\0';
    return 0;
  }
  size_t at = strlen(out);
  if (at > 1) out[at - 1] = '\0';  // the root "." keeps its dot
  return 1;
}

int Dns_EncodeName(const char *name, uint8_t *message, int size, int position, int *written) {
  CHECK_POINTER(name);
  CHECK_POINTER(message);
  CHECK_POINTER(written);
  *written = 0;
  if (position < 0 || position > size - 1) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Invalid position %d (max %d)\n", position, size);
    return 0;
  }
  uint8_t labels[kDnsMaxEncodedName];
  int starts[kDnsMaxEncodedName / 2];
  int length = 0;
  int labelCount = 0;
  if (!dnsNameToLabels(name, labels, &length, starts, &labelCount)) return 0;
  // The longest suffix that an earlier name spells becomes a pointer.
  for (int i = 0; i < labelCount; i++) {
    int target = dnsFindSuffix(message, position, labels + starts[i]);
    if (target < 0) continue;
    length = starts[i] + 2;
    labels[starts[i]] = uint8_t(0xC0 | target >> 8);
    labels[starts[i] + 1] = uint8_t(target);
    break;
  }
  if (!dnsFits(position, length, size)) return 0;
  memcpy(message + position, labels, size_t(length));
  *written = length;
  return 1;
}

// ---- Formatting -------------------------------------------------------------------

int Dns_FormatRecord(char *out, int size, uint16_t type, const uint8_t *data, int length) {
  CHECK_POINTER(out);
  CHECK_POINTER(data);
  if (size < 1) return 1;
  out[0] = '\0';
  if (length < 0) length = 0;
  switch (type) {
    case kDnsTypeA:
      if (length != 4) break;
      Str_Printf(out, size, "%ipv4", data);
      return 1;
    case kDnsTypeNS:
    case kDnsTypeCNAME:
    case kDnsTypeMR:
    case kDnsTypePTR:
    case kDnsTypeTXT:
      Str_Printf(out, size, "%.*s", length, reinterpret_cast<const char *>(data));
      return 1;
    case kDnsTypeSOA:
      if (dnsFormatSoa(out, size, data, length)) return 1;
      break;
    case kDnsTypeMX:
      if (length < 2) break;
      Str_Printf(out, size, "[%d] %.*s", int(dnsRead16(data)), length - 2, reinterpret_cast<const char *>(data + 2));
      return 1;
    case kDnsTypeLOC:
      if (length < kDnsLocBytes) break;
      return dnsFormatLoc(out, size, data);
    default:
      break;
  }
  return dnsFormatHex(out, size, data, length);
}

int Dns_FormatDuration(char *out, int size, int64_t seconds) {
  CHECK_POINTER(out);
  if (seconds < 0) seconds = 0;
  int weeks = int(seconds / 604800);
  int days = int(seconds / 86400 % 7);
  int hours = int(seconds / 3600 % 24);
  int minutes = int(seconds / 60 % 60);
  int rest = int(seconds % 60);
  if (weeks > 0)
    Str_Printf(out, size, "%dw %dd %dh %dm %ds", weeks, days, hours, minutes, rest);
  else if (days > 0)
    Str_Printf(out, size, "%dd %dh %dm %ds", days, hours, minutes, rest);
  else if (hours > 0)
    Str_Printf(out, size, "%dh %dm %ds", hours, minutes, rest);
  else if (minutes > 0)
    Str_Printf(out, size, "%dm %ds", minutes, rest);
  else if (rest > 0)
    Str_Printf(out, size, "%ds", rest);
  else
    Str_Printf(out, size, "N/A");
  return 1;
}

int Dns_FormatLocSize(uint8_t value, char *out, int size) {
  CHECK_POINTER(out);
  int64_t centimetres = (value >> 4) % 10;
  for (int power = (value & 15) % 10; power > 0; power--) centimetres *= 10;
  Str_Printf(out, size, "%lld.%.2d", (long long)(centimetres / 100), int(centimetres % 100));
  return 1;
}
