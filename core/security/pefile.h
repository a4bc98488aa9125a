// PEFile: readers of Windows PE32 and PE32+ files: the headers, the
// certificate table (Authenticode signatures and the publisher's data
// store), the version resource of the ".rsrc" section, the Authenticode
// image digest and the Authenticode check built on PKCS7. Every function
// works on a Stream that holds the file from offset 0, or on a path it opens
// (File mode 0x21) and closes before returning. PE fields are little-endian.
//
// Invariants: (1) every offset and size read from the file is checked
// against the file's size (and the caps below) before anything is read or
// allocated, so no allocation exceeds the file. (2) the image digest covers
// only files whose certificate table is the file's tail and lies after the
// headers and every section's raw data; a table grown in place stays
// outside the digest. (3) a version walk stays inside each block's parent
// and the section, and every step moves forward.
//
// Threads: nothing is shared; each call uses its own stream position.
#pragma once

#include <cstdint>

#include "core/formats/dictionary.h"
#include "core/runtime/stream.h"
#include "core/security/certstorei.h"
#include "core/security/hash.h"

constexpr int32_t kPEHeaders32Bytes = 248;  // signature, file header, PE32 optional header
constexpr int32_t kPEHeaders64Bytes = 264;  // the same with the PE32+ optional header
constexpr int32_t kPESectionHeaderBytes = 40;
constexpr int32_t kPECertificateHeaderBytes = 8;
// The ".rsrc" section is read whole to find the version resource; larger
// ones hold no version block worth that memory.
constexpr int64_t kPEMaxResourceBytes = int64_t(64) << 20;

// The headers as read, with the fields the readers use taken out.
struct PEHeaders {
  int32_t Kind;           // 32 or 64
  uint32_t NtOffset;      // e_lfanew
  uint16_t NumberOfSections;
  uint16_t SizeOfOptionalHeader;
  uint32_t FileAlignment;
  uint32_t SizeOfHeaders;
  uint32_t NumberOfRvaAndSizes;
  uint32_t CertificateTableOffset;  // data directory 4: a file offset
  uint32_t CertificateTableSize;
  uint8_t Raw[kPEHeaders64Bytes];   // as read from NtOffset
};

// Reads the DOS header at offset 0 and the NT headers at e_lfanew. Returns
// 32 (PE32), 64 (PE32+) or -1 (a short read, a wrong magic, a failed seek).
int PEFile_ReadHeaders(Stream *stream, PEHeaders *headers);
// 1 when PEFile_ReadHeaders gives 32 or 64.
int PEFile_IsPEStream(Stream *stream);
// Opens path and applies PEFile_IsPEStream.
int PEFile_IsPEPath(const char *path);
// 0 for a directory, else PEFile_IsPEPath.
int PEFile_IsPE(const char *path);

// The certificate table's file offset and size (data directory 4). 0 when
// the headers do not parse.
int PEFile_GetSecurityDirectory(Stream *stream, uint64_t *offset, uint32_t *size);
// The PointerToRawData and SizeOfRawData of the first section named ".rsrc"
// (any case). 0 when there is none.
int PEFile_FindResourceSection(Stream *stream, uint32_t *offset, uint32_t *size);
// The first certificate table entry: its file offset and dwLength. 0 unless
// the table lies within the file and dwLength is at least 9 (the 8-byte
// header and one byte) and at most the table's size.
int PEFile_FindCertificate(Stream *stream, uint64_t *offset, uint32_t *length);
// dwLength of the first entry when it is at least 11 bytes long.
int PEFile_GetCertificateLength(Stream *stream, uint32_t *length);
// *length = dwLength; with a buffer (of dwLength bytes) reads the whole
// entry into it. 1 only when all of it arrived.
int PEFile_ReadCertificateEntry(Stream *stream, void *buffer, uint32_t *length);
// Reads the first entry into out (size bytes, at least dwLength) and
// replaces its first word by dwLength - 8, the length of the PKCS#7 blob at
// out + 8. 0 when size is too small.
int PEFile_GetCertificate(Stream *stream, uint8_t *out, uint32_t size);
// 1 when the file has a first certificate entry of at least 11 bytes; says
// nothing about the signature.
int PEFile_IsSigned(const char *path);

// The Authenticode image digest of the file into hash (bound to an
// algorithm): the headers up to SizeOfHeaders without the CheckSum and the
// certificate table entry, the sections' raw data in file order, then the
// bytes up to the certificate table. 0 for a file it cannot cover:
// FileAlignment 0, SizeOfHeaders short of the section headers, headers,
// sections or table outside the file, or a table that is not the file's
// tail after the headers and every section.
int PEFile_HashImage(Stream *stream, HashHandle *hash);
// The Authenticode check: the first entry's SignedData, its content bound
// to the signed attributes, the digest of PEFile_HashImage equal to the one
// signed, and the signer's chain trusted by store for code signing. 1 when
// valid.
int PEFile_VerifyStream(CertStore *store, Stream *stream);
int PEFile_VerifySignature(CertStore *store, const char *path);

// The version resource into table: every StringFileInfo string (later
// tables overwrite earlier ones), then "FileVersion" and "ProductVersion"
// from the fixed info as "%d.%d.%d.%d", replacing the strings. Returns 1 once
// a string or the fixed info was read; 0 for a fixed info with a wrong
// signature, a ".rsrc" outside the file or above kPEMaxResourceBytes, or a
// malformed block (shorter than its header or past its parent), and then
// table is unchanged.
int PEFile_ReadVersionInfo(const char *path, Dictionary *table);
// The same on the bytes of a ".rsrc" section.
int PEFile_ReadVersionBlock(const uint8_t *section, int64_t size, Dictionary *table);
