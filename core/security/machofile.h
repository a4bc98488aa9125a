// MachOFile: readers for the macOS side of a product: Mach-O executables
// (thin or fat) with their embedded code signature (CodeDirectory page
// hashes and the CMS signature over the CodeDirectory), and the disk-image
// ("koly" trailer) reader, which locates the code-signature range where the
// publisher's data store lives. Mach-O fields are little-endian; fat
// headers, signature structures and trailers are big-endian.
//
// Invariants: (1) a slice, the load commands, the signature and every blob
// inside it lie within the file before anything is read from them. (2) the
// load-command walk moves forward by at least 8 bytes a command and stays
// within sizeofcmds; a fat header lists at most kMachOMaxFatArchs slices.
// (3) a CodeDirectory's hashSize equals its hash type's digest size and
// every slot lies inside it. (4) the disk-image trailer is the file's last
// kDMGTrailerBytes bytes; a range is reported only within the file.
//
// Threads: nothing is shared; each call uses its own stream position.
#pragma once

#include <cstdint>

#include "core/runtime/stream.h"
#include "core/security/hash.h"

struct CertStore;
struct Dictionary;

constexpr int32_t kDMGTrailerBytes = 512;
constexpr uint32_t kMachOMaxFatArchs = 64;
constexpr uint32_t kMachOCpuX86 = 7;
constexpr uint32_t kMachOCpuX86_64 = 0x01000007;
// The signature is read whole; real ones are a few KiB to a few MiB.
constexpr uint32_t kMachOMaxSignatureBytes = 16u << 20;
// Info.plist values are read as text of at most 1023 bytes.
constexpr int32_t kMachOVersionValueBytes = 1024;

// The slice the readers work on.
struct MachOHeader {
  int32_t Bits;          // 32 or 64
  uint64_t SliceOffset;  // 0 for a thin file
  uint64_t SliceSize;    // the file's size for a thin file
  uint32_t CpuType;
  uint32_t CommandCount;     // ncmds
  uint32_t CommandBytes;     // sizeofcmds
  uint64_t CommandsOffset;   // file offset of the first load command
};

// Reads the header at offset 0: a thin header, or a fat header whose slice
// is chosen by Platform_GetSystemBitness (the x86-64 slice on a 64-bit
// machine, the x86 one on a 32-bit machine, else the first). Returns 32 or
// 64; -1 for anything else (a short read, a wrong magic, more than
// kMachOMaxFatArchs slices, a slice or load commands outside the file).
int MachOFile_ReadHeader(Stream *stream, MachOHeader *header);
// 0 for a directory; else 1 when MachOFile_ReadHeader gives 32 or 64.
int MachOFile_IsMachO(const char *path);
// LC_CODE_SIGNATURE's data as a file offset and size. 0 when there is none,
// or the walk breaks invariant 2, or the data passes the file's end.
int MachOFile_FindCodeSignature(Stream *stream, uint64_t *dataOffset, uint32_t *dataSize);
// The CMS blob (SuperBlob slot 0x10000, magic 0xFADE0B01): the file offset
// of its contents (after the 8-byte blob header) and their length.
int MachOFile_FindCmsBlob(Stream *stream, uint64_t *offset, uint32_t *length);
// 1 when the CMS blob exists and is not empty.
int MachOFile_IsSigned(const char *path);
// The page hashes of a CodeDirectory (blob: its whole bytes, header
// included) against the slice at sliceOffset. A mismatch logs "MachO
// verification failed, code page hash does not match %d". 0 for no pages.
int MachOFile_VerifyCodePages(Stream *stream, const uint8_t *blob, uint32_t length,
                              uint64_t sliceOffset);
// The digest callback of the CMS check: feeds the first CodeDirectory
// (slot 0 or 0x1000) whose pages all match into hash. 0 when none does.
int MachOFile_HashCodeDirectory(Stream *stream, HashHandle *hash);
// The CMS signature over the CodeDirectory, its signer's chain trusted by
// store for code signing. 1 when valid.
int MachOFile_VerifyStream(CertStore *store, Stream *stream);
int MachOFile_VerifySignature(CertStore *store, const char *path);
// Bundles: a directory whose name ends in ".app" or ".framework" (any case)
// and that holds an Info.plist, "<bundle>/Contents/Info.plist"
// ("Resources" for a ".framework").
int MachOFile_IsBundle(const char *path);
// The Info.plist path of a bundle into out (size bytes). 0 when it does not
// fit.
int MachOFile_GetInfoPlistPath(const char *bundle, char *out, int size);
// For a file inside "<x>.app/Contents/MacOS" (either separator, any case),
// "<x>.app" into out. 0 when the path lies in no such directory or does not
// fit.
int MachOFile_GetBundleFromExecutable(const char *path, char *out, int size);
// The version fields of a bundle (or of the bundle around an executable in
// it) from its Info.plist: "CFBundleVersion" as "FileVersion";
// "CFBundleShortVersionString", else "CFBundleVersion", as
// "ProductVersion"; "CFBundleName", else "CFBundleExecutable", as
// "ProductName"; "NSHumanReadableCopyright", else "CFBundleGetInfoString",
// as "LegalCopyright"; "CFBundleCompanyName" as "CompanyName"; then every
// key of the Info.plist merged in. 0 when there is no bundle or its
// Info.plist does not read ("Failed to find plist doctype [%s]" for a
// document that is no property list).
int MachOFile_ReadVersionInfo(const char *path, Dictionary *table);

// Installer packages (xar archives): a 28-byte big-endian header, a
// zlib-compressed XML table of contents, then the heap, which holds the
// TOC checksum, the signature and the files' archived bytes.
constexpr int32_t kPKGHeaderBytes = 28;
constexpr int64_t kPKGMaxTocBytes = int64_t(64) << 20;

// 1 when 28 bytes at the stream's position begin with "xar!".
int PKGFile_IsPKGStream(Stream *stream);
// 0 for a directory; else opens path and applies PKGFile_IsPKGStream.
int PKGFile_IsPKG(const char *path);
// The element's "offset" and "size" texts (optional sign, "0x" hexadecimal
// or decimal digits). 0 when either is missing or not a number.
int PKGFile_GetOffsetSize(Dictionary *element, int64_t *offset, int64_t *size);
// The package check: the TOC (compressed and inflated lengths within
// INT32_MAX and kPKGMaxTocBytes), its SHA-1 checksum (the stored one exactly
// the digest's size; MD5 refused: "PKG file checksum type mismatch"), the
// signature over it ("x-signature": CMS whose messageDigest is the checksum;
// else "signature": the leaf of KeyInfo.X509Data over the checksum), the
// signer's chain trusted by store for code signing, and every file's
// archived checksum. 1 when all hold.
int PKGFile_VerifyData(CertStore *store, Stream *stream);
int PKGFile_VerifySignature(CertStore *store, const char *path);
// Every "file" entry's archived checksum (nested entries too), against the
// heap at heapOffset; a difference logs "PKG file does not match expected
// hash [%s] (%s != %s)". 1 when all match.
int PKGFile_VerifyFiles(Dictionary *toc, Stream *stream, int64_t heapOffset);

// Test-only: the processor width the fat-slice choice uses (0: ask the
// platform).
void MachOFile_SetBitnessForTest(int bits);

// 1 when the stream's last 512 bytes begin with "koly".
int DMGFile_IsDMG(Stream *stream);
// The trailer's code-signature range (offset at 296, length at 304, both
// big-endian 64-bit; the length is used as 32-bit). 0 when the stream is no
// disk image, the length does not fit 32 bits or the range passes the end.
int DMGFile_GetSignatureRange(Stream *stream, uint64_t *offset, uint32_t *length);
