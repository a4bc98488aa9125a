// Repository: the top object of the storage engine. It brings one
// installation directory (the local storage) to the version a content server
// describes: it finds the wanted version through the alias and catalog
// documents, loads the local and the remote metafile, copies the missing
// pieces from its remote storages, cleans what the new version no longer
// lists, and reports its whole condition as one status Dictionary. It owns
// every object that takes part and drives them from a pump its owner calls.
//
// Invariants: (1) every remote connection owns its storage; every request
// slot owns its request, and a slot is in use exactly while a copy engine
// holds that request (acquired and not yet released). (2) the request
// slots are resized only while none is in use; a slot in use at a resize
// stops the program. (3) the error record changes only through
// Repository_HandleError and the configuration error; a decision 5 is never
// recorded. (4) the state word is rebuilt from zero on every pump.
//
// Threads: one, the owner's (the creating thread): every call, pump,
// completion and callback. Storage counters are read atomically.
#pragma once

#include <cstdint>

#include "base/alias.h"
#include "base/bitfield.h"
#include "base/catalog.h"
#include "base/metafile.h"
#include "base/storage.h"
#include "base/storagecleanup.h"
#include "base/storagecopy.h"
#include "base/storagedelta.h"
#include "base/storagerequest.h"
#include "core/formats/dictionary.h"
#include "core/platform/eventqueue.h"
#include "core/platform/meterrw.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/pool.h"

struct RootDirectory;

constexpr uint32_t kRepositoryTag = 0x4e90517a;
constexpr int32_t kRepositoryNameBytes = 320;
constexpr int32_t kRepositoryIdBytes = 134;
constexpr int32_t kRepositoryMemberGrowth = 5;
constexpr double kRepositoryStallSeconds = 30.0;
// The bytes the requests of a repository may hold together (buffers,
// scratch and delta sources): with large pieces fewer requests run at once,
// and a piece larger than this still goes through alone.
constexpr int64_t kRepositoryRequestBudgetBytes = int64_t(256) << 20;
constexpr int32_t kRepositoryStateFlagMaxBits = 32;

// The clean-ups started since the last configuration.
constexpr int32_t kRepositoryCleanupLocal = 1;
constexpr int32_t kRepositoryCleanupPending = 2;

// Action flags.
constexpr uint32_t kRepositoryActionSynchronize = 1;
constexpr uint32_t kRepositoryActionRefresh = 2;
constexpr uint32_t kRepositoryActionActive = 4;
constexpr uint32_t kRepositoryActionCancel = 8;
constexpr uint32_t kRepositoryActionErase = 16;

// State flags.
constexpr uint32_t kRepositoryStateNotInstalled = 0x1;
constexpr uint32_t kRepositoryStateOutOfDate = 0x2;
constexpr uint32_t kRepositoryStateStalled = 0x4;
constexpr uint32_t kRepositoryStateAlive = 0x8;
constexpr uint32_t kRepositoryStateLocalMetaFile = 0x10;
constexpr uint32_t kRepositoryStateRemoteId = 0x20;
constexpr uint32_t kRepositoryStateLocalDone = 0x40;
constexpr uint32_t kRepositoryStateRemoteMetaFile = 0x80;
constexpr uint32_t kRepositoryStateLocalMetaFileLoading = 0x100;
constexpr uint32_t kRepositoryStateRemoteMetaFileLoading = 0x200;
constexpr uint32_t kRepositoryStateCatalog = 0x400;
constexpr uint32_t kRepositoryStateCatalogLoading = 0x800;
constexpr uint32_t kRepositoryStateAlias = 0x1000;
constexpr uint32_t kRepositoryStateAliasLoading = 0x2000;
constexpr uint32_t kRepositoryStateCopying = 0x4000;
constexpr uint32_t kRepositoryStatePendingStage = 0x20000;
constexpr uint32_t kRepositoryStateLocalCleaning = 0x40000;
constexpr uint32_t kRepositoryStateSynchronize = 0x80000;
constexpr uint32_t kRepositoryStateRefresh = 0x100000;
constexpr uint32_t kRepositoryStatePaused = 0x200000;
constexpr uint32_t kRepositoryStateErase = 0x400000;
constexpr uint32_t kRepositoryStateApplying = 0x800000;
constexpr uint32_t kRepositoryStatePendingCleaning = 0x1000000;

// Error sources.
constexpr int32_t kRepositorySourceAlias = 1;
constexpr int32_t kRepositorySourceCatalog = 2;
constexpr int32_t kRepositorySourceMetaFileLocal = 3;
constexpr int32_t kRepositorySourceMetaFileRemote = 4;
constexpr int32_t kRepositorySourceStorageLocal = 5;
constexpr int32_t kRepositorySourceStorageRemote = 6;
constexpr int32_t kRepositorySourceStorageDelta = 7;
constexpr int32_t kRepositorySourceStoragePending = 8;
constexpr int32_t kRepositorySourceConfig = 9;

// Error types.
constexpr int32_t kRepositoryTypeRead = 1;
constexpr int32_t kRepositoryTypeWrite = 3;
constexpr int32_t kRepositoryTypeErase = 4;
constexpr int32_t kRepositoryTypeConfig = 5;

// Roles of a copy engine's failure.
constexpr int32_t kRepositoryRoleRemote = 0;
constexpr int32_t kRepositoryRoleLocal = 1;
constexpr int32_t kRepositoryRolePending = 2;
constexpr int32_t kRepositoryRoleDelta = 3;

// One remote storage the copy may read from.
struct RepositoryRemote {
  Storage *storage;  // owned
  int32_t enabled;
  RepositoryRemote *previous;
  RepositoryRemote *next;
};

// One piece request the copy engines borrow.
struct RepositorySlot {
  StorageRequest *request;  // owned, with its own source request
  int32_t inUse;
  int32_t enabled;
  RepositorySlot *previous;
  RepositorySlot *next;
};

struct Repository;
// Called after every change of the state word with the old and new word.
typedef void (*RepositoryStateCallback)(Repository *repository, void *context, uint32_t oldState,
                                        uint32_t newState);

// One failure as the error policy answered it, with what was asked for.
struct RepositoryError {
  int32_t source;
  int32_t index;
  int32_t count;  // earlier attempts of the item
  int32_t type;
  int32_t code;
  int32_t codeEx;
  int32_t decision;  // 3, 4 or 5 (5: ignored, nothing recorded)
  double retryAt;    // tick clock
  int32_t delta;     // a delta failed and the piece is asked for whole next
  const char *url;   // the document or the piece's last transfer; "" when none
  WebGetCause cause{};  // what that transfer's failure met (a TLS failure, a proxy)
};
// Called after every decision of the error policy, on the owner's thread.
typedef void (*RepositoryErrorCallback)(Repository *repository, void *context,
                                        const RepositoryError *error);

struct Repository {
  ObjectHeader header;  // kRepositoryTag
  ClassLog log;         // "Repository"
  uint32_t ownerThreadId;
  EventQueue *queue;  // one reference: the owner's
  char name[kRepositoryNameBytes];
  Dictionary *config;    // owned deep copy
  Dictionary *settings;  // one reference: the application settings
  char remoteId[kRepositoryIdBytes];  // configured "remoteId"
  Alias *alias;
  Catalog *catalog;
  MetaFile *localMetaFile;
  MetaFile *remoteMetaFile;
  Storage *local;
  Storage *pending;
  RepositoryRemote *firstRemote;
  RepositoryRemote *lastRemote;
  int32_t remoteCount;
  RepositorySlot *firstSlot;
  RepositorySlot *lastSlot;
  int32_t slotCount;
  Pool *remotes;  // RepositoryRemote
  Pool *slots;    // RepositorySlot
  StorageDelta *delta;
  StorageCopy *copy;
  StorageCopy *apply;
  StorageCleanup *cleanupLocal;
  StorageCleanup *cleanupPending;
  BitField *mask;
  BitField *staged;     // pieces the copy found in or wrote to the pending storage
  BitField *applyMask;  // the pieces the apply leaves out: every other one
  MeterRW *localMeters;
  MeterRW *remoteMeters;
  uint32_t actionFlags;
  uint32_t stateFlags;
  // Settings.
  int32_t cleanup;
  int32_t metafileSave;
  int32_t deltaAllowed;
  int32_t maskAllowed;
  int32_t catalogRequired;
  int32_t catalogAskedAgain;  // a catalog of another version was asked for past caches
  int32_t localMetaFileConfigured;
  int32_t applyEnabled;
  int32_t configured;
  int32_t named;
  int32_t verifyHttps;
  int32_t deltaFailures;
  int32_t cleanupStarted;  // kRepositoryCleanup* bits started in this run
  // Error record.
  int32_t errorCount;
  int32_t lastErrorSource;
  int32_t lastErrorIndex;
  int32_t lastErrorType;
  int32_t lastErrorCode;
  int32_t lastErrorCodeEx;
  // What a refused document said against the version asked for (both ids),
  // for the last error when it was that refusal; else empty.
  char lastErrorDetail[kCatalogRefusalBytes];
  // The installed file the last error of the local storage is about, "" when
  // the error names no file.
  char lastErrorPath[kStorageLocationBytes];
  // Why the local metafile was not believed in this run; "" when it was.
  char localMetaFileNote[kCatalogUrlBytes + 160];
  // Owned copies of the installation directory and the local metafile's
  // directory as the start opened them (Repository_SetDirectories); NULL:
  // reached by their configured paths.
  RootDirectory *installation;
  RootDirectory *metafileDirectory;
  // The local metafile as judged, open while its load reads it; -1.
  int localMetaFileFd;
  double stallSeconds;
  double eraseRetryTime;
  // State timers by 1-based bit index (slot 0 unused).
  double stateStart[kRepositoryStateFlagMaxBits + 1];
  double stateTime[kRepositoryStateFlagMaxBits + 1];
  uint32_t timedState;
  CallbackCell stateCallback;
  CallbackCell errorCallback;
  // The URLs of the last alias and catalog fetches, for error reports.
  char aliasUrl[kCatalogUrlBytes];
  char catalogUrl[kCatalogUrlBytes];
};

// Every operation stops the program with "Pointer is NULL\n" or "Class
// mismatch pointer (...)" on a NULL or foreign repository.

// ---- Remotes and request slots (repositoryremotes.cpp) -----------------------------------

// Adds the remote storages of entry: a "mux" entry (any case) adds each
// Dictionary of its "storages" list in turn, stopping at the first failure
// (no list: 1 with nothing added); any other entry is one storage. usesDelta
// becomes 1 when a kept storage reads VCDIFF deltas. 1 or 0.
int Repository_AddRemote(Repository *repository, Dictionary *settings, Dictionary *entry,
                         int32_t *usesDelta);
// One storage from entry (its "source" set to the local id). A storage that
// fails to configure is released (0); one whose location equals an existing
// connection's (any case) is dropped with a log line (1).
int Repository_AddRemoteStorage(Repository *repository, Dictionary *settings, Dictionary *entry,
                                int32_t *usesDelta);
// The number of connections whose location equals location (any case).
int32_t Repository_CountRemotes(Repository *repository, const char *location);
// Releases every remote connection.
int Repository_ClearRemotes(Repository *repository);

// n slots, every one free and enabled; the copy engines are told how many
// of them the budget lets run at once for the remote metafile's pieces (at
// least 1 of n). A slot in use stops the program ("Unable to resize storage
// requests in use").
int Repository_SetRequestCount(Repository *repository, int32_t count);
// The copy engines' request callbacks (context: the repository). Acquire
// hands out the first enabled free slot when its request fits the budget
// beside those in use (each counted at what it holds, at least
// StorageRequest_GetPieceBytes of the remote metafile's piece size); a
// request with none in use always fits. Idle slots then free their buffers,
// from the tail, while all slots together hold more than the budget. 1, or
// 0 when no slot is free or the request would not fit.
int Repository_AcquireRequest(StorageCopy *copy, void *context, StorageRequest **request);
void Repository_ReleaseRequest(StorageCopy *copy, void *context, StorageRequest **request);
int Repository_CountEnabledRequests(Repository *repository, int32_t *count);
// 1 with the slot that holds request, else 0.
int Repository_FindRequestSlot(Repository *repository, StorageRequest *request,
                               RepositorySlot **slot);
int Repository_ResetRequests(Repository *repository);
// The copy engines' source callback: the enabled remote with the fewest
// pending requests, ties to the fewer errors, the first of equals; another
// than the one whose bytes of request's piece failed their digest while
// there is another (request may be NULL). None stops the program ("Unable
// to find storage member").
int Repository_SelectRemote(StorageCopy *copy, void *context, StorageRequest *request,
                            Storage **storage);
// The remote storages' delta-source hook and the delta source's completion:
// a failed local read reaches the waiting step as a negative code.
void Repository_OnDeltaSource(Storage *storage, void *context, StorageStep *step);
void Repository_CompleteDeltaStep(StorageDelta *delta, void *context, StorageStep *step,
                                  int32_t result, int32_t resultEx);

// ---- Configuration (repositoryconfig.cpp) --------------------------------------------------

// The set-up of one Synchronize: a working copy of the configuration with
// the catalog's "config" filling keys it lacks; the mask; the remote, local
// and pending storages; the request slots; the delta source and apply
// stage; both copy engines prepared and the copy started. 0 with a line
// when the configuration cannot be used. While requests of an earlier run
// are still in flight it changes nothing and answers 1 with configured
// still 0, so the caller tries again on a later pass.
int Repository_Configure(Repository *repository);
// The local side for Erase: the local and pending storages and the request
// slots. Waits as Repository_Configure does; 0 with a line on a bad
// configuration.
int Repository_ConfigureLocal(Repository *repository);
// The clean-ups of this run are done: configured, the local one finished
// (not needed while nothing is installed) and, with a pending storage, the
// pending one finished.
int Repository_IsCleanupComplete(Repository *repository);

// ---- Error policy and status (repositorystatus.cpp) ---------------------------------------

// "Alias", "Catalog", ... "Config" for sources 1 to 9; "Alias" for any other.
const char *Repository_ErrorSourceName(int32_t source);
// 0 for count <= 0, else 15 x 2^min(count - 1, 8) seconds.
double Repository_RetryDelay(int32_t count);
// Records and logs one failure and answers 3, 4 or 5 with the absolute
// retry time (tick clock) in *retryAt; count is the item's earlier
// attempts, so the n-th failure waits RetryDelay(n).
int32_t Repository_HandleError(Repository *repository, int32_t source, int32_t index,
                               int32_t count, int32_t type, int32_t code, int32_t codeEx,
                               double *retryAt);
// The configuration error: source 9, index -1, type 5, code 986.
int Repository_RecordConfigError(Repository *repository);
// The members' error callbacks (context: the repository).
int32_t Repository_OnAliasError(AsyncHttp *request, void *context, int32_t errorCount,
                                int32_t kind, uint32_t code, uint32_t codeEx, double *resumeTime);
// A missing specific catalog clears specific-catalog-first and ends the
// request unrecorded (5); anything else is a catalog error.
int32_t Repository_OnCatalogError(AsyncHttp *request, void *context, int32_t errorCount,
                                  int32_t kind, uint32_t code, uint32_t codeEx,
                                  double *resumeTime);
int32_t Repository_OnLocalMetaFileError(AsyncHttp *request, void *context, int32_t errorCount,
                                        int32_t kind, uint32_t code, uint32_t codeEx,
                                        double *resumeTime);
int32_t Repository_OnRemoteMetaFileError(AsyncHttp *request, void *context, int32_t errorCount,
                                         int32_t kind, uint32_t code, uint32_t codeEx,
                                         double *resumeTime);
int32_t Repository_OnLocalCleanupError(StorageCleanup *cleanup, void *context,
                                       int32_t errorCount, int32_t index, int32_t code,
                                       int32_t codeEx, double *retryTime);
int32_t Repository_OnPendingCleanupError(StorageCleanup *cleanup, void *context,
                                         int32_t errorCount, int32_t index, int32_t code,
                                         int32_t codeEx, double *retryTime);
// The copy engines' error callback. role 0 remote, 1 local, 2 pending, 3
// delta; any other stops the program ("Invalid error source (%d)").
int32_t Repository_ApplyErrorPolicy(StorageCopy *copy, void *context, StorageRequest *request,
                                    int32_t role, int32_t index, int32_t count, int32_t type,
                                    int32_t code, int32_t codeEx, double *retryAt);
// The detail of the last error: the two ids of a catalog or remote
// metafile refused for naming another version; "" for any other error.
const char *Repository_GetLastErrorDetail(Repository *repository);
// Copies the error record; each out-pointer may be NULL. Returns 1.
int Repository_GetLastError(Repository *repository, int32_t *source, int32_t *index,
                            int32_t *type, int32_t *code, int32_t *codeEx);
// The path of the installed file whose read or write failed with the last
// error (the local storage's location joined with the file's name), or ""
// when that error names no file.
const char *Repository_GetLastErrorPath(Repository *repository);
// Why the local metafile was not believed in this run ("<path>: the local
// metafile is another user's (user N, mode M): not trusted, ..."), or ""
// when it was, or none was read.
const char *Repository_GetLocalMetaFileNote(Repository *repository);
// The accumulated time of one state bit, plus the running stretch while
// it is set and the repository active. Not a single bit: the program stops
// ("Index exceeds state range").
int Repository_GetStateTime(Repository *repository, uint32_t bit, double *seconds);
// The whole condition, keys in their fixed order. Returns 1.
int Repository_GetStatus(Repository *repository, Dictionary *status);
// "progress" and "remainingTime" of the clean-ups. Returns 1.
int Repository_AddCleanupStatus(Repository *repository, Dictionary *status);

// ---- Object (repository.cpp) ----------------------------------------------------------------

// A set-up repository, reference count 1, the calling thread its owner.
int Repository_Create(Repository **repository);
// Drops the caller's reference and clears *repository.
int Repository_Destroy(Repository **repository);
// The local metafile's id into buffer (empty when none). Returns 1.
int Repository_GetLocalId(Repository *repository, char *buffer, int32_t size);
// The first non-empty of the remote metafile's id, the catalog entry's, the
// alias's and the configured one into buffer; 0 (empty) when none.
int Repository_GetRemoteId(Repository *repository, char *buffer);
// Lines of the repository and of every member go to sink(context, ...).
int Repository_SetLogSink(Repository *repository, void *context, ClassLogSink sink);
// Deep-copies config and reads "repository" into the name; without it the
// configuration error is recorded and 0 returned. Without a non-empty
// "metafile" no local metafile is loaded and none is saved.
int Repository_SetConfiguration(Repository *repository, Dictionary *config);
// Keeps the application settings (one reference; their "storage.*" and
// "*.url" paths are defaults) and applies the documents' size limits.
int Repository_SetLimits(Repository *repository, Dictionary *settings);
// The installation directory and the local metafile's directory as opened
// and judged at the start (each may be NULL): the local file storage, the
// leftover clean-up, the local metafile's read, check, erase and save work
// in these (copies are kept) whatever the configured paths lead to later.
// Before the run's first pump. 1/0 with the last error.
int Repository_SetDirectories(Repository *repository, RootDirectory *installation,
                              RootDirectory *metafileDirectory);
int Repository_SetEventQueue(Repository *repository, EventQueue *queue);
int Repository_SetCertStore(Repository *repository, CertStore *store);
// Clearing synchronize stops both copy engines and the clean-ups; clearing
// erase stops the clean-ups.
int Repository_SetActionFlags(Repository *repository, uint32_t flags);
int Repository_SetActive(Repository *repository, int32_t on);
int Repository_SetSynchronize(Repository *repository, int32_t on);
int Repository_SetRefresh(Repository *repository, int32_t on);
int Repository_SetErase(Repository *repository, int32_t on);
int Repository_SetStateCallback(Repository *repository, void *context,
                                RepositoryStateCallback function);
// Tells the owner of every failure the policy decided on, ignored ones
// included (NULL function: no one).
int Repository_SetErrorCallback(Repository *repository, void *context,
                                RepositoryErrorCallback function);
// Once: cancel set, every phase and active cleared, every storage stopped.
int Repository_Cancel(Repository *repository);
// The error record, meters, delta failures and state timers from zero.
int Repository_ResetErrors(Repository *repository);
uint32_t Repository_GetActionFlags(Repository *repository);
uint32_t Repository_GetStateFlags(Repository *repository);
int32_t Repository_GetCleanup(Repository *repository);
int32_t Repository_GetApplyEnabled(Repository *repository);
// A phase is requested or work of one is still in flight.
int Repository_IsBusy(Repository *repository);
// Rebuilds the state word. A requested phase begins only when no storage
// request is pending and neither copy engine is alive.
int Repository_UpdateState(Repository *repository);
// Applies a state word: phase starts (with their resets), pauses, timers,
// phase ends and the state callback.
int Repository_LogPhase(Repository *repository, uint32_t word);
// The local metafile first, then the step of the first phase whose state
// bit and action flag are both set.
int Repository_Step(Repository *repository);
// The pump: state, step while active and alive, clean-ups and storages.
int Repository_Process(Repository *repository);
// The catalog entry's "metafile" URL into buffer (kCatalogUrlBytes).
int Repository_GetMetaFileUrl(Repository *repository, char *buffer);
// The alias fetch, or the alias marked not needed (configured remote id or
// no alias URL). Returns 1.
int Repository_LoadAlias(Repository *repository);
// The catalog fetch, or the catalog marked not needed; 0 when a remote id
// is required and unknown or the URL cannot be built.
int Repository_LoadCatalog(Repository *repository);
// Sum of the pending requests of the local, the pending and every remote
// storage. Returns 1.
int Repository_GetPendingRequests(Repository *repository, int32_t *count);
