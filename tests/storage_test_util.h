// The fixture of the storage tests: the thread module, the main queue, the
// meters and the I/O worker, as the host starts them, and a storage whose
// results come back on the main queue and whose log lines are collected.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/metafile.h"
#include "base/piecelist.h"
#include "base/storage.h"
#include "base/storagerequest.h"
#include "base/storagechain.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/runtime/print.h"
#include "tests/dictionary_test_util.h"
#include "tests/scripted_driver.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"

// The lines a storage (or any storage-engine class log) wrote through its
// sink: Storage_SetLogHook(storage, static_cast<StorageLogLines *>(this),
// StorageLogLines::Hook).
struct StorageLogLines {
  static void Hook(void *context, const char *format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    Str_VPrintf(line, sizeof line, format, args);
    va_end(args);
    auto *self = static_cast<StorageLogLines *>(context);
    std::lock_guard<std::mutex> guard(self->linesLock);  // drivers log from worker threads
    self->lines.push_back(line);
  }
  bool Logged(const std::string &text) {
    std::lock_guard<std::mutex> guard(linesLock);
    for (const std::string &line : lines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::mutex linesLock;
  std::vector<std::string> lines;
};

class StorageFixture : public ThreadTest, public StorageLogLines {
 protected:
  void SetUp() override {
    ThreadTest::SetUp();
    Meter_Init();
    IOWorker_Init();
    Storage_Create(&storage);
    Storage_SetQueue(storage, EventQueue_GetMain());
    Storage_SetLogHook(storage, static_cast<StorageLogLines *>(this), Hook);
  }
  void TearDown() override {
    if (storage != nullptr) Class_ReleaseObject(&storage);
    IOWorker_Shutdown();
    Meter_Shutdown();
    ThreadTest::TearDown();
  }
  // Flushes the main queue until done() holds, at most 30 s.
  template <typename Done>
  bool PumpUntil(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      EventQueue_Flush(EventQueue_GetMain());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  // Waits until only the fixture's reference is left on the storage.
  bool Balanced() {
    return PumpUntil([&] { return storage->header.refCount.load() == 1; });
  }

  Storage *storage = nullptr;
};

// One delivered result.
struct StorageOutcome {
  int32_t calls = 0;
  int32_t result = -1;
  int32_t resultEx = -1;
  static void Complete(Storage *, void *context, void *, int32_t result, int32_t resultEx) {
    auto *o = static_cast<StorageOutcome *>(context);
    o->calls++;
    o->result = result;
    o->resultEx = resultEx;
  }
};

// The owner's delta source of the generated pieces: the old version's plain
// pieces (flat/<old>/*.varnodata) that the delta's window names; without an
// old version the source stays empty.
struct StorageTestDeltaSource {
  MetaFile *old = nullptr;
  std::string oldVersion;
  static void Fill(Storage *, void *context, StorageStep *step) {
    auto *d = static_cast<StorageTestDeltaSource *>(context);
    auto *r = static_cast<StorageRequest *>(step->argument);
    int32_t first = -1, count = -1;
    StorageRequest *source = StorageRequest_GetSourceRequest(r);
    StorageRequest_Reset(source);
    if (!StorageRequest_ReadDeltaWindow(r, &first, &count) ||
        (d->old != nullptr &&
         (first < 0 ||
          int64_t(first) + count > PieceList_GetPieceTotal(MetaFile_GetPieceList(d->old))))) {
      Storage_CompleteStep(step, -kStorageResultDelta, 0);
      return;
    }
    if (d->old == nullptr) {  // no old version: the delta finds no source bytes
      Storage_CompleteStep(step, 0, 0);
      return;
    }
    StorageRequest_SetMetaFile(source, d->old);
    std::string bytes;
    for (int32_t i = first; i < first + count; i++) {
      StorageRequest_AddPiece(source, i);
      char name[64];
      snprintf(name, sizeof name, "contenttree/pieces/flat/%s/%08x.varnodata",
               d->oldVersion.c_str(), unsigned(i));
      bytes += Test_ReadVectors(name);
    }
    StorageRequest_AllocBuffer(source);
    uint8_t *p = nullptr;
    StorageRequest_GetBuffer(source, 0, &p);
    memcpy(p, bytes.data(), bytes.size());
    StorageRequest_ReleaseBuffer(source, &p);
    StorageRequest_SetLength(source, int64_t(bytes.size()));
    StorageRequest_SetEncoding(source, 0);
    Storage_CompleteStep(step, 0, 0);
  }
};
