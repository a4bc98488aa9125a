// ELFFile: a small reader of Linux ELF files (32 and 64 bits, either byte
// order): recognising them, finding a section by name, the version fields of
// a ".version.json" section, and the signature check, which on ELF is a pin:
// the SHA-256 of the whole file listed in a store.
//
// Invariants: (1) a section is reported only when it lies within the file;
// the section header table and the name table must too, and the name table
// is read only up to kELFMaxNameTableBytes. (2) e_shentsize is the size of
// the class's section header and e_shstrndx names an existing section;
// anything else is no ELF file this reader walks. (3) a name offset lies
// inside the name table.
//
// Threads: nothing is shared; each call uses its own stream position.
#pragma once

#include <cstdint>

#include "core/formats/dictionary.h"
#include "core/runtime/stream.h"
#include "core/security/certstorei.h"

constexpr int64_t kELFMaxNameTableBytes = int64_t(16) << 20;
constexpr int64_t kELFMaxVersionJsonBytes = int64_t(1) << 20;

// The header fields the reader uses, in host order.
struct ELFHeader {
  int32_t Class;   // 1: 32-bit, 2: 64-bit
  int32_t BigEndian;
  uint64_t SectionHeaderOffset;  // e_shoff
  uint16_t SectionHeaderSize;    // e_shentsize
  uint16_t SectionCount;         // e_shnum
  uint16_t NameTableIndex;       // e_shstrndx
};

struct ELFSectionHeader {
  uint32_t Name;    // sh_name: offset in the name table
  uint64_t Offset;  // sh_offset
  uint64_t Size;    // sh_size
};

// Reads the header at offset 0. Returns the class (1 or 2); 0 for a wrong
// magic, another class or a short read.
int ELFFile_ReadHeader(Stream *stream, ELFHeader *header);
// 1 when ELFFile_ReadHeader gives a class.
int ELFFile_IsELFStream(Stream *stream);
// 0 for a directory, else opens path (mode 0x21) and applies
// ELFFile_IsELFStream.
int ELFFile_IsELF(const char *path);
// One section header of header's class at the stream's position.
int ELFFile_ReadSectionHeader(Stream *stream, const ELFHeader *header, ELFSectionHeader *section);
// The first section named exactly name (case-sensitive): its file offset
// and size. 0 when there is none, or the file breaks an invariant above.
int ELFFile_FindSection(Stream *stream, const char *name, uint64_t *offset, uint64_t *size);
// Merges the items of the JSON object in ".version.json" (at most
// kELFMaxVersionJsonBytes) into table, made case-insensitive. 0 (table
// unchanged) when there is no such section, it is empty, or it is not a
// JSON object.
int ELFFile_ReadVersionInfo(const char *path, Dictionary *table);
// ELF files carry no signature: one is accepted when the SHA-256 of the
// whole file is pinned in store (CertStore_CheckDigest), which answers 1
// without asking while security is off. 0 for a file that cannot be read.
int ELFFile_VerifySignature(CertStore *store, const char *path);
