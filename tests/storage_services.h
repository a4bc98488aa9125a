// The services the storage engine runs on, started and stopped as the host
// does, for a forked test child (the parent's threads do not follow it
// through fork) and for the benchmarks' mains; and the file storage's
// configuration with every key it needs.
#pragma once

#include <string>

#include "base/storage.h"
#include "core/platform/asyncfile.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/thread.h"

struct StorageServices {
  StorageServices() {
    Thread_Init();
    EventQueue_InitMain();
    Meter_Init();
    IOWorker_Init();
    AsyncFile_Init();
  }
  ~StorageServices() {
    AsyncFile_Shutdown();
    IOWorker_Shutdown();
    Meter_Shutdown();
    Thread_Shutdown();
    EventQueue *main = EventQueue_GetMain();
    Class_ReleaseObject(&main);
  }
  StorageServices(const StorageServices &) = delete;
  StorageServices &operator=(const StorageServices &) = delete;
};

// Configures storage as a file storage of root; the storage-wide keys as
// the application's defaults give them, but selfUpdate, systemBuffer and
// the partial extension as asked. The result of Storage_Configure.
inline int StorageServices_ConfigureFile(Storage *storage, const std::string &root,
                                         int selfUpdate = 0, int systemBuffer = 1,
                                         const std::string &ignore = "",
                                         const char *partialExtension = ".varnopartial") {
  Dictionary *config = nullptr, *app = nullptr;
  Dictionary_Create(&config);
  Dictionary_Create(&app);
  Dictionary_SetStringByKey(config, "type", "file");
  Dictionary_SetStringByKey(config, "path", root.c_str());
  if (!ignore.empty()) Dictionary_SetStringByKey(config, "ignore", ignore.c_str());
  Dictionary_SetBooleanByKey(config, "selfUpdate", selfUpdate);
  Dictionary_SetBooleanByKey(config, "systemBuffer", systemBuffer);
  Dictionary_SetStringByPath(app, "storage.partialExtension", partialExtension);
  Dictionary_SetStringByPath(app, "storage.lockDirectory", "");
  Dictionary_SetBooleanByPath(app, "storage.skipTimestamp", 0);
  Dictionary_SetBooleanByPath(app, "storage.skipAttributes", 0);
  Dictionary_SetBooleanByPath(app, "storage.selfUpdate", 0);
  int ok = Storage_Configure(storage, app, config);
  Dictionary_Release(&app);
  Dictionary_Release(&config);
  return ok;
}
