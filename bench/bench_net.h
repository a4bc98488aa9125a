// Shared by the network benchmarks: the services a WebGetConnection needs,
// started and stopped in the host's order on the calling (main) thread.
#pragma once

#include "core/net/asyncsocket.h"
#include "core/net/challenge.h"
#include "core/net/socket.h"
#include "core/net/webget.h"
#include "core/platform/asyncfile.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"

inline void BenchNet_Start() {
  Class_Init();
  Thread_Init();
  EventQueue_InitMain();
  Meter_Init();
  NotificationCenter_Init();
  Socket_Init();
  WebGet_Init();
  AsyncFile_Init();
  IOWorker_Init();
  AsyncSocket_Init();
  Challenge_Init();
}

inline void BenchNet_Stop() {
  Challenge_Shutdown();
  AsyncSocket_Shutdown();
  IOWorker_Shutdown();
  AsyncFile_Shutdown();
  WebGet_Shutdown();
  NotificationCenter_Shutdown();
  Meter_Shutdown();
  Thread_Shutdown();
  EventQueue *main = EventQueue_GetMain();
  if (main != nullptr) Class_ReleaseObject(&main);
  Class_Shutdown();
}
