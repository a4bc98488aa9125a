// Dns: the DNS message codec of the proxy resolver's WPAD look-up. A
// DnsMessage holds the header and the four sections of one message (question,
// answer, authority, additional) as lists; DnsMessage_Decode reads a received
// datagram into it, DnsMessage_Encode writes it into a datagram, with name
// compression both ways, and Dns_FormatRecord turns a record's data into one
// line of text. No sockets, no threads: the caller sends and receives.
//
// Record data by type: NS, CNAME and PTR hold the name as dotted text
// (terminated; data length without the terminator); MX the two preference
// bytes as on the wire, then the name; SOA MNAME and RNAME as two terminated
// texts, then SERIAL, REFRESH, RETRY, EXPIRE and MINIMUM as 20 big-endian
// bytes (only when more than 20 bytes of the data area remain after the
// names); every other type the RDATA as received. Names are dotted text
// without the final dot; the root is ".".
//
// Invariants: (1) every read of a datagram and every write of an encoding is
// checked against its length: a message that does not fit fails with a
// DEBUG line and 0, never a read or write outside the buffers. (2) list
// counts equal the items on the lists; the items belong to the message's two
// pools and go back to them on reset. (3) a NULL pointer or a wrong class tag
// stops the program.
//
// Threads: one thread at a time per message; the caller serialises.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct Pool;

constexpr uint32_t kDnsMessageTag = 0xd45e55a9;
constexpr uint32_t kDnsListTag = 0xd45e1157;

constexpr int kDnsHeaderBytes = 12;
// A name as text: 511 characters and the terminator.
constexpr int kDnsNameBytes = 512;
// A record's data area; RDATA of this size or more is refused.
constexpr int kDnsDataBytes = 512;
// The datagram DnsMessage_Encode writes into.
constexpr int kDnsMessageBytes = 1024;
// Compression pointers followed in one name.
constexpr int kDnsMaxDepth = 100;
// Dns_FormatRecord's output, and that of the duration and LOC size texts.
constexpr int kDnsFormatBytes = 320;
constexpr int kDnsFormatShortBytes = 40;
// The pools grow by this many items.
constexpr int kDnsItemsPerChunk = 50;

enum DnsType : uint16_t {
  kDnsTypeA = 1,
  kDnsTypeNS = 2,
  kDnsTypeCNAME = 5,
  kDnsTypeSOA = 6,
  kDnsTypeMB = 7,
  kDnsTypeMR = 9,
  kDnsTypePTR = 12,
  kDnsTypeMX = 15,
  kDnsTypeTXT = 16,
  kDnsTypeLOC = 29,
};

struct DnsHeader {
  uint16_t id;
  uint8_t qr;      // 1 bit
  uint8_t opcode;  // 4 bits
  uint8_t aa, tc, rd, ra;
  uint8_t z;      // 3 bits
  uint8_t rcode;  // 4 bits
  uint16_t qdCount, anCount, nsCount, arCount;
};

struct DnsQuestion {
  DnsQuestion *next;
  DnsQuestion *prev;
  char name[kDnsNameBytes];
  uint16_t type;
  uint16_t klass;
};

struct DnsRecord {
  DnsRecord *next;
  DnsRecord *prev;
  char name[kDnsNameBytes];
  uint16_t type;
  uint16_t klass;
  uint32_t ttl;
  uint16_t dataLength;  // of the decoded data
  uint16_t wireLength;  // RDLENGTH as received
  uint8_t data[kDnsDataBytes];
};

template <typename Item>
struct DnsList {
  uint32_t classTag;  // kDnsListTag
  Item *head;
  Item *tail;
  int32_t count;
};

struct DnsMessage {
  ObjectHeader header;
  DnsHeader head;
  DnsList<DnsQuestion> questions;  // QD
  DnsList<DnsRecord> answers;      // AN
  DnsList<DnsRecord> authorities;  // NS
  DnsList<DnsRecord> additionals;  // AR
  Pool *questionPool;
  Pool *recordPool;
};

// Creates an empty message with a random id. Returns 1.
int DnsMessage_Create(DnsMessage **message);
// Frees the message with its items; clears *message. Returns 1.
int DnsMessage_Release(DnsMessage **message);
// Empties the four lists (items back to the pools) and puts a fresh random
// id into the header; the header's counts stay. Returns 1.
int DnsMessage_Reset(DnsMessage *message);
// Appends a question and raises QDCOUNT. Returns 1; 0 (nothing added) when
// the name does not fit kDnsNameBytes.
int DnsMessage_AddQuestion(DnsMessage *message, const char *name, uint16_t type, uint16_t klass);

// Reads a datagram of length bytes: the message is reset, then the header
// and the sections are read into it. Returns 1 when every byte was used or
// exactly one byte is left (logged as slop); 0 with a DEBUG line on anything
// malformed or more bytes left. After a failure the message holds what was
// read before it.
int DnsMessage_Decode(DnsMessage *message, const uint8_t *data, int length);
// Writes header, questions and records into buffer (size bytes, the program
// uses kDnsMessageBytes), names compressed; the header's counts are those of
// the lists. Returns 1 with *length; 0 with a DEBUG line when something does
// not fit or cannot be encoded (a label over 63 bytes, a name over 255
// encoded bytes, data too short for its type).
int DnsMessage_Encode(DnsMessage *message, uint8_t *buffer, int size, int *length);

// Reads the possibly compressed name at position of a message (length bytes)
// into out as dotted text (the root as "."). *consumed gets the bytes the
// name takes at position (a pointer counts 2). Returns 1; 0 with a DEBUG line
// when the name is malformed, runs past the message or does not fit out.
int Dns_DecodeName(char *out, int outSize, const uint8_t *message, int length, int position, int *consumed);
// Writes name as labels at position of message (size bytes), with the
// longest suffix that the bytes from offset 12 to position already spell
// replaced by a compression pointer. *written gets the bytes written.
// Returns 1; 0 with a DEBUG line when a label is over 63 bytes, the name
// over 255 encoded bytes, or it does not fit.
int Dns_EncodeName(const char *name, uint8_t *message, int size, int position, int *written);

// One line for a record's data (the decoded form above) into out (size
// bytes; the program uses kDnsFormatBytes): A dotted, names as text, SOA and
// MX and LOC spelled out, anything else, and data too short for its type, as
// hex bytes. Returns 1.
int Dns_FormatRecord(char *out, int size, uint16_t type, const uint8_t *data, int length);
// "N/A", "%ds", "%dm %ds", "%dh %dm %ds", "%dd %dh %dm %ds" or
// "%dw %dd %dh %dm %ds" by the largest unit; negative counts as 0. Returns 1.
int Dns_FormatDuration(char *out, int size, int64_t seconds);
// A LOC size or precision byte (mantissa and power of ten, in centimetres) as
// metres with two decimals. Returns 1.
int Dns_FormatLocSize(uint8_t value, char *out, int size);
