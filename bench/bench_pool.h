// Shared by the pool benchmarks: a list of GETs run through the process's
// WebGetPool with a window of requests in flight, the next one added as each
// finishes (as the storage drivers do), pumped on the calling (main) thread.
#pragma once

#include <string>
#include <vector>

#include "core/net/webgetpool.h"
#include "core/net/webgetrequest.h"
#include "core/platform/eventqueue.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"

inline int BenchPool_OnDone(WebGetRequest *request, void *context) {
  static_cast<std::vector<WebGetRequest *> *>(context)->push_back(request);
  return 1;
}

// Runs the list through the pool; the number of requests that failed.
inline int BenchPool_Run(const std::vector<std::string> &list, int window) {
  std::vector<WebGetRequest *> done;
  size_t next = 0, finished = 0;
  int inFlight = 0, failed = 0;
  EventQueue *main = EventQueue_GetMain();
  while (finished < list.size()) {
    while (inFlight < window && next < list.size()) {
      WebGetRequest *r = nullptr;
      WebGetRequest_Create(&r);
      WebGetRequest_SetUrl(r, list[next++].c_str(), 0);
      WebGetRequest_SetDiscardOutput(r);
      WebGetRequest_SetAcceptCompression(r, 0);
      WebGetRequest_SetPhaseCallback(r, nullptr, &done, BenchPool_OnDone);
      WebGetPool_AddRequest(r);
      inFlight++;
    }
    EventQueue_Flush(main);
    WebGetPool_Step();
    for (WebGetRequest *r : done) {
      if (!WebGetRequest_IsSuccess(r)) failed++;
      Class_ReleaseObject(&r);
      inFlight--;
      finished++;
    }
    if (done.empty()) Thread_Yield();
    done.clear();
  }
  return failed;
}
