// ScriptedDriver: a storage driver for tests. Each step slot asks a script
// what to do and completes its step with the script's result pair, either at
// once on the calling thread or later from an I/O worker thread after an
// optional delay. Without a script every step completes with 0 at once.
//
// Threads: the script runs on whichever thread runs the step; the call
// counts are atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/storage.h"
#include "base/storagechain.h"

// Slot numbers of the step slots, as in the driver record.
constexpr int32_t kScriptedExists = 10;
constexpr int32_t kScriptedRead = 11;
constexpr int32_t kScriptedWrite = 12;
constexpr int32_t kScriptedErasePiece = 13;
constexpr int32_t kScriptedEraseFile = 14;
constexpr int32_t kScriptedCompleteFile = 15;

struct ScriptedAction {
  int32_t result;
  int32_t resultEx;
  int32_t later;         // complete from a worker thread
  int32_t delayMicroseconds;  // before a later completion
};

typedef ScriptedAction (*ScriptedDriverScript)(void *context, int32_t slot, StorageStep *step);

extern const StorageDriver kScriptedDriver;
// The same as a piece driver (class name "ScriptedPiece"): a piece it reads
// may begin with the piece header.
extern const StorageDriver kScriptedPieceDriver;

// The script of the storage's scripted driver (attached with
// Storage_SetDriver(storage, &kScriptedDriver)). Returns 1.
int ScriptedDriver_SetScript(Storage *storage, void *context, ScriptedDriverScript script);
// Calls of a slot (0-15) since the driver object was made.
int32_t ScriptedDriver_GetCalls(Storage *storage, int32_t slot);
// Completes step from an I/O worker thread after delayMicroseconds.
void ScriptedDriver_CompleteLater(StorageStep *step, int32_t result, int32_t resultEx,
                                  int32_t delayMicroseconds);
