// HashFile: the digest of one file computed in steps, so that a polling loop
// can hash a large file without blocking: each poll reads and hashes at most
// kHashFileStepBytes. Set a path and an algorithm, start, poll until the
// completion callback fires, then read the digest as hex text.
//
// Invariants: (1) the object runs exactly while its File is open. (2) every
// successful start ends in exactly one completion: success 1 once all the
// bytes recorded at open were hashed; success 0, with the File closed and the
// error kept, when a read fails or the file ends early (error
// kPlatformErrorHandleEof). (3) polling allocates nothing: the read buffer
// lives in the object.
//
// Threads: one thread drives an object (start, polls, digest); the callback
// cell is read and written atomically.
#pragma once

#include <cstdint>

#include "core/security/hash.h"

constexpr uint32_t kHashFileTag = 0xf8af52b7;
constexpr int32_t kHashFileStepBytes = 65536;

struct HashFile;

// Called once per run: success 1 when the whole file was hashed.
typedef void (*HashFileCompleteFunction)(HashFile *hashfile, void *context, int success);

// Creates the object with its File and Hash (unbound). Returns 1.
int HashFile_Create(HashFile **hashfile);
// Releases the Hash, the File (closed) and the object; clears *hashfile.
void HashFile_Release(HashFile **hashfile);

// Copies at most 319 characters in; out holds 320 bytes.
int HashFile_SetPath(HashFile *hashfile, const char *path);
int HashFile_GetPath(HashFile *hashfile, char *out);
// Binds the algorithm (a Hash bound to the same one is reset).
int HashFile_SetHashInterface(HashFile *hashfile, const HashInterface *hashInterface);
int HashFile_SetCompleteCallback(HashFile *hashfile, HashFileCompleteFunction function,
                                 void *context);

// 1 while the File is open.
int HashFile_IsRunning(HashFile *hashfile);
// Opens the path (read, shared read) and records its size. 1 when started;
// 1 after logging "Already running." (nothing changes) or "Path is empty."
// (completed with success 0); 0 when the open failed ("Unable to open file
// (%s).", the error kept, completed with success 0).
int HashFile_Start(HashFile *hashfile);
// One step: 0 when not running, else 1.
int HashFile_Poll(HashFile *hashfile);

// The finished digest as lower-case hex.
int HashFile_GetDigestText(HashFile *hashfile, char *out, int32_t size);
// The OS error of the last failed open or read (0 when none). Returns 1.
int HashFile_GetError(HashFile *hashfile, int *error);
// One line at the debug level under the class name "HashFile".
int HashFile_Log(HashFile *hashfile, const char *format, ...);
