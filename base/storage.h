// Storage: one end of a transfer of pieces (a content server, a local piece
// cache, the installed files). It holds one storage driver, chosen by a type
// name, and turns every operation into a chain of steps (storagechain.h)
// that runs on the I/O worker, calls the driver for the reading, writing and
// erasing, undoes or checks the storage encodings in between and delivers
// the result on the owner's event queue.
//
// Invariants: (1) driver and driverContext are both set or both NULL; a
// driver record fills every slot. (2) every step record and every posting of
// a step holds one reference on the storage, and so does every result event
// still queued, so the storage outlives every chain in flight and every
// completion it will deliver. (3) pendingRequests counts chains whose first
// step was appended and whose result has not yet been delivered (or
// cancelled by Storage_Reset). (4) stopping goes from 0 to 1 once and never
// back. (5) a chain holds one reference on the driver object that was
// attached when it began and calls only that object, so neither
// Storage_Reset nor a new driver pulls a driver from under a running step.
//
// Threads: configuration, status, stop, reset and the operations on the
// owner's thread; steps on I/O worker threads. errorCount, pendingRequests,
// stopping and lastActivity are atomic; the password is guarded by the main
// lock, the pending decrypt challenges by the challenge lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/formats/dictionary.h"
#include "core/platform/eventqueue.h"
#include "core/platform/meterrw.h"
#include "core/runtime/class.h"
#include "core/runtime/critsection.h"
#include "core/runtime/pool.h"

constexpr uint32_t kStorageTag = 0x57a6e0c1;
constexpr int32_t kStorageLocationBytes = 4096;
constexpr int32_t kStoragePasswordBytes = 320;
constexpr int32_t kStorageTypeBytes = 320;
constexpr int32_t kStorageStepGrowth = 10;
constexpr int32_t kStorageChallengeGrowth = 5;

// Results of storage operations (shared with the HTTP client's codes).
constexpr int32_t kStorageResultMissing = 404;
constexpr int32_t kStorageResultNotOffered = 501;
constexpr int32_t kStorageResultInflate = 960;
constexpr int32_t kStorageResultShort = 962;
constexpr int32_t kStorageResultFile = 964;
constexpr int32_t kStorageResultDigest = 979;
constexpr int32_t kStorageResultDelta = 988;
constexpr int32_t kStorageResultCancelled = 989;
// Extended codes of 989.
constexpr int32_t kStorageCancelStopped = 1;
constexpr int32_t kStorageCancelPrompt = 9;

struct Storage;
struct StorageStep;        // storagechain.h
struct StorageChallenge;   // storagechain.h
struct StorageRequest;     // storagerequest.h
struct OffsetCache;        // offsetcache.h
struct MetaFile;           // metafile.h
struct FileEntry;          // filelist.h
struct BitField;           // bitfield.h

// The storage's class log, handed to its driver so that the driver's lines
// go where the storage's go.
typedef void (*StorageLogFunction)(Storage *storage, const char *format, ...);
// A chain's result on the owner's thread: (storage, the caller's context,
// the operation's argument, result, extended result).
typedef void (*StorageCompletion)(Storage *storage, void *context, void *argument,
                                  int32_t result, int32_t resultEx);
// VCDIFF source data: fills the source request of the step's request and
// completes the step (called on the owner's thread).
typedef void (*StorageDeltaSourceFunction)(Storage *storage, void *context, StorageStep *step);

// One kind of storage: sixteen slots in this order; every slot is filled.
// The step slots (Exists to CompleteFile) return at once and complete the
// step later with Storage_CompleteStep.
struct StorageDriver {
  const char *name;  // the driver's class name ("StorageFilePiece")
  int (*Create)(void **context);
  void *(*AddRef)(void *context);
  int (*Release)(void **context);
  int (*SetLogHook)(void *context, Storage *storage, StorageLogFunction log);
  int (*Configure)(void *context, Storage *storage, Dictionary *appConfig, Dictionary *config);
  int (*Stop)(void *context, Storage *storage);
  int (*SetActive)(void *context, Storage *storage, int32_t active);
  int (*Status)(void *context, Storage *storage, Dictionary *status);
  int (*Pump)(void *context, Storage *storage);
  int (*Exists)(void *context, StorageStep *step);
  int (*Read)(void *context, StorageStep *step);
  int (*Write)(void *context, StorageStep *step);
  int (*ErasePiece)(void *context, StorageStep *step);
  int (*EraseFile)(void *context, StorageStep *step);
  int (*CompleteFile)(void *context, StorageStep *step);
};

struct Storage {
  ObjectHeader header;  // kStorageTag
  ClassLog log;         // "Storage"
  const StorageDriver *driver;
  void *driverContext;
  CriticalSection *lock;           // password
  CriticalSection *challengeLock;  // the pending challenges
  EventQueue *queue;               // borrowed: the owner's
  Pool *steps;                     // StorageStep records, locked
  Pool *challenges;                // StorageChallenge records, locked
  MeterRW *meters;
  StorageChallenge *firstChallenge;
  StorageChallenge *lastChallenge;
  int32_t challengeCount;
  uint32_t flags;
  std::atomic<int32_t> errorCount;
  std::atomic<int32_t> pendingRequests;
  std::atomic<int32_t> stopping;
  std::atomic<uint32_t> resets;  // Storage_Reset calls: chains begun before are cut
  char location[kStorageLocationBytes];
  char password[kStoragePasswordBytes];
  char rejected[kStoragePasswordBytes];  // the last password the data refused
  // Stamped by every step that completes without an error: a store of its
  // own, not a turn at the lock that concurrent steps would queue for.
  std::atomic<double> lastActivity;
  void *deltaSourceContext;
  StorageDeltaSourceFunction deltaSource;
  // The pieces of writePlanMeta the owner will write, each before any file
  // holding it completes (both borrowed; NULL when not known).
  std::atomic<MetaFile *> writePlanMeta;
  std::atomic<const BitField *> writePlan;
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign storage.

// A storage without a driver, reference count 1, lastActivity now. Released
// with Class_Release: at zero the driver object is released and the meters,
// locks and pools are freed. Returns 1.
int Storage_Create(Storage **storage);

int Storage_SetQueue(Storage *storage, EventQueue *queue);
// 1 with the queue when one is set.
int Storage_GetQueue(Storage *storage, EventQueue **queue);
// Lines of the storage's log (and its driver's) go to sink(context, ...)
// whatever the global log does; without a sink, to the global log at DEBUG.
int Storage_SetLogHook(Storage *storage, void *context, ClassLogSink sink);
int Storage_SetDeltaSource(Storage *storage, void *context, StorageDeltaSourceFunction function);
// The pieces of metafile that the owner will write into this storage, every
// one of them before any file holding it is completed: a driver building a
// file's replacement need not copy the installed bytes these pieces replace.
// Both are borrowed and must outlive the chains that follow; NULL for either
// says nothing is known. Set on the owner's thread between runs. Returns 1.
int Storage_SetWritePlan(Storage *storage, MetaFile *metafile, const BitField *pieces);
// The write plan when it is one for metafile: 1 with *pieces, else 0 with
// *pieces NULL.
int Storage_GetWritePlan(Storage *storage, MetaFile *metafile, const BitField **pieces);
// One line of the storage's class log.
void Storage_Log(Storage *storage, const char *format, ...);

// Reads "type" and "flags" from config, selects the driver by type and
// returns the driver's Configure (an unknown type selects "httpPiece"). 0
// with a log line for a missing type or a flags value of another kind than
// number or string; the storage then keeps the driver it had.
int Storage_Configure(Storage *storage, Dictionary *appConfig, Dictionary *config);
// The flags (1 pad, 2 gzip, 4 vcdiff, 8 aes256) a storage configured from
// config gets: "flags" as a number or a list of names ("gzip, vcdiff"), pad
// alone for the "file" and "http" types. 1; 0 (*flags 0) for a flags value
// of another kind.
int Storage_GetConfigFlags(Dictionary *config, uint32_t *flags);
// Attaches driver: nothing changes when it is attached already; otherwise
// the old driver object is released, the record is checked to fill every
// slot (else the program stops), a new object is created and given the
// storage's log. Returns 1.
int Storage_SetDriver(Storage *storage, const StorageDriver *driver);
int Storage_HasDriver(Storage *storage);
// 1 with the driver's object when a driver is attached.
int Storage_GetDriverContext(Storage *storage, void **context);
int Storage_GetMeters(Storage *storage, MeterRW **meters);
uint32_t Storage_GetFlags(Storage *storage);

// Location (kStorageLocationBytes) and password (kStoragePasswordBytes),
// cut to fit. The getters copy into buffers of that size.
int Storage_SetLocation(Storage *storage, const char *text);
int Storage_GetLocation(Storage *storage, char *buffer);
int Storage_SetPassword(Storage *storage, const char *text);
int Storage_GetPassword(Storage *storage, char *buffer);

int32_t Storage_GetErrorCount(Storage *storage);
int32_t Storage_GetPendingRequests(Storage *storage);
// The owner's error policy takes back an error that it forgives.
int Storage_DecrementErrorCount(Storage *storage);
double Storage_GetLastActivity(Storage *storage);
int Storage_SetLastActivity(Storage *storage, double seconds);
int32_t Storage_IsStopping(Storage *storage);

// One driver step each (slots ErasePiece, EraseFile, CompleteFile and
// Exists) with the caller's argument and value; completion(storage, context,
// argument, result pair) runs on the owner's thread. Return 1 at once.
int Storage_ErasePiece(Storage *storage, void *argument, void *value, void *context,
                       StorageCompletion completion);
int Storage_EraseFile(Storage *storage, void *argument, void *value, void *context,
                      StorageCompletion completion);
int Storage_CompleteFile(Storage *storage, void *argument, void *value, void *context,
                         StorageCompletion completion);
int Storage_Exists(Storage *storage, void *argument, void *value, void *context,
                   StorageCompletion completion);

// Fills request from this storage (members from cache where it holds them,
// the others through the driver), decodes it to its plain form (padded when
// the piece list hashes pads) and checks its digests; completion(storage,
// context, request, result pair) on the owner's thread. Returns 1 at once.
int Storage_Read(Storage *storage, StorageRequest *request, OffsetCache *cache, void *context,
                 StorageCompletion completion);
// Encodes request for this storage and writes each member through the
// driver; completion as for Storage_Read. Returns 1 at once.
int Storage_Write(Storage *storage, StorageRequest *request, void *context,
                  StorageCompletion completion);

// Once only: sets stopping, calls the driver's Stop and withdraws every
// pending decrypt challenge (its step completes with 989/1). From then on
// every step that is not a chain's last completes with 989/1 unrun.
// Returns 1.
int Storage_Stop(Storage *storage);
// Detaches and releases the driver, forgets the password and cancels the
// storage's results still queued (their completions are not called).
// Chains still in flight are cut: their driver is stopped, their remaining
// steps complete with 989/1 unrun, a waiting password prompt is withdrawn,
// and their results are dropped like the queued ones. Their requests stay
// in use until pendingRequests has fallen to 0 (the old driver object lives
// until then). Returns 1.
int Storage_Reset(Storage *storage);
// The driver's SetActive; nothing once stopping or without a driver.
int Storage_SetActive(Storage *storage, int32_t active);
// The driver's Pump; nothing without a driver.
int Storage_Pump(Storage *storage);
// "type", "id", "errorCount", "pendingRequests", "readBytes", "writeBytes",
// "maxReadSpeed", "maxWriteSpeed", "readSpeed", "writeSpeed", then the
// driver's keys. Returns 1.
int Storage_GetStatus(Storage *storage, Dictionary *status);

// The routines that driver records share. AddRef adds one reference to a
// class object and returns it; NotSupported completes the step with 501/0;
// NoOp and NoOpActive ignore their arguments and return 1 (Stop and Pump;
// SetActive).
void *StorageDriver_AddRef(void *context);
int StorageDriver_NotSupported(void *context, StorageStep *step);
int StorageDriver_NoOp(void *context, Storage *storage);
int StorageDriver_NoOpActive(void *context, Storage *storage, int32_t active);
// 1 for the piece drivers (class name ending in "Piece"): their pieces may
// begin with the piece header, which then names the encoding.
int StorageDriver_KeepsPieceHeader(const StorageDriver *driver);
// The type name of a record ("filePiece" for StorageFilePiece), "none" for
// NULL.
const char *StorageDriver_GetTypeName(const StorageDriver *driver);
