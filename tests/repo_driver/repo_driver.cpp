// repo_driver: one repository run in a process of its own, for the tests
// that kill it and run it again and for the synchronisation benchmark.
//
//   repo_driver [--log] <run.json>
//
// run.json: {"action": "synchronize" (the default) or "erase",
//            "repository": {the repository's configuration},
//            "settings": {merged over the storage defaults},
//            "webGetPool": {"maxHosts": n, "maxHostConnections": n},
//            "maskAllowed": false, "deltaAllowed": true,
//            "catalogRequired": true, "timeoutSeconds": 3600,
//            "authenticate": false}
//
// Documents are read unsigned, as the repository tests read them, unless
// "authenticate" is true.
//
// The services start in the order of the network tests' fixture, with
// 127.0.0.1 on the whitelist. Synchronize runs Refresh first, then
// Synchronize; Erase runs alone. Every change of the state word prints
// "state <new> <old>" (hex) on standard output, flushed, and with --log the
// repository's log lines print as "log <line>". The run ends with "done" and
// exit code 0, or with "error <source> <index> <type> <code> <codeEx>" and
// exit code 1 when a phase ended on a configuration error or the time ran
// out ("timeout" first).
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/repository.h"
#include "base/storagedefaults.h"
#include "core/bridge/interop.h"
#include "core/formats/dictionary.h"
#include "core/formats/json.h"
#include "core/net/asyncsocket.h"
#include "core/net/challenge.h"
#include "core/net/socket.h"
#include "core/net/webget.h"
#include "core/net/webgetpool.h"
#include "core/platform/asyncfile.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"

namespace {

bool gLog = false;

void printState(Repository *, void *, uint32_t oldState, uint32_t newState) {
  printf("state 0x%08x 0x%08x\n", newState, oldState);
  fflush(stdout);
}

void printLog(void *, const char *format, ...) {
  if (!gLog) return;
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  size_t n = strlen(line);
  while (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
  printf("log %s\n", line);
  fflush(stdout);
}

Dictionary *readRun(const char *path) {
  Dictionary *parsed = nullptr;
  Dictionary_Create(&parsed);
  Json *json = nullptr;
  Json_Create(&json);
  Json_SetDictionary(json, parsed);
  int ok = Json_ParseFile(json, path);
  Json_Release(&json);
  if (!ok) {
    Dictionary_Release(&parsed);
    return nullptr;
  }
  Dictionary *members = nullptr;
  Dictionary_Unwrap(parsed, &members);
  Dictionary *run = nullptr;
  Dictionary_Create(&run);
  Dictionary_Merge(run, members, kDictionaryMergeOverwrite);
  Dictionary_Release(&parsed);
  return run;
}

int32_t flag(Dictionary *run, const char *key, int32_t fallback) {
  int32_t value = 0;
  return Dictionary_GetBooleanByKey(run, key, &value) ? value : fallback;
}

void startServices(void) {
  Class_Init();
  Thread_Init();
  EventQueue_InitMain();
  Meter_Init();
  NotificationCenter_Init();
  Socket_Init();
  WebGet_Init();
  Interop_Init();
  IOWorker_Init();
  AsyncSocket_Init();
  Challenge_Init();
  AsyncFile_Init();
  WebGet_AddWhitelistHost("127.0.0.1");
  WebGetPool *pool = nullptr;
  WebGetPool_Init(&pool);
}

void pumpOnce(Repository *repository) {
  EventQueue_Flush(EventQueue_GetMain());
  if (WebGetPool_Get() != nullptr) WebGetPool_Step();
  NotificationCenter_ProcessPendingFires();
  IOWorker_Grow();
  if (repository != nullptr) Repository_Process(repository);
  Thread_Yield();
}

void stopServices(void) {
  WebGetPool *pool = WebGetPool_Get();
  if (pool != nullptr) WebGetPool_Release(&pool);
  for (int i = 0; i < 10000 && IOWorker_GetBusyCount() != 0; i++) pumpOnce(nullptr);
  EventQueue_Flush(EventQueue_GetMain());
  AsyncFile_Shutdown();
  Challenge_Shutdown();
  AsyncSocket_Shutdown();
  IOWorker_Shutdown();
  Interop_Shutdown();
  WebGet_Shutdown();
  NotificationCenter_Shutdown();
  Meter_Shutdown();
  Thread_Shutdown();
  EventQueue *main = EventQueue_GetMain();
  if (main != nullptr) Class_ReleaseObject(&main);
  Class_Shutdown();
}

// Runs one phase to its end: 1, or 0 when the time ran out.
int runPhase(Repository *repository, uint32_t action, uint32_t bit,
             std::chrono::steady_clock::time_point deadline) {
  Repository_SetActionFlags(repository, Repository_GetActionFlags(repository) | action);
  while ((Repository_GetActionFlags(repository) & action) ||
         (Repository_GetStateFlags(repository) & bit)) {
    if (std::chrono::steady_clock::now() > deadline) return 0;
    pumpOnce(repository);
  }
  return 1;
}

// A phase that ended on the configuration error failed.
bool configFailed(Repository *repository) {
  int32_t source = 0;
  Repository_GetLastError(repository, &source, nullptr, nullptr, nullptr, nullptr);
  return source == kRepositorySourceConfig;
}

int drive(Dictionary *run) {
  Dictionary *config = nullptr;
  if (!Dictionary_GetDictionaryByKey(run, "repository", &config)) {
    fprintf(stderr, "repo_driver: the run has no \"repository\" object\n");
    return 2;
  }
  char action[32] = {};
  if (!Dictionary_GetStringByKey(run, "action", action, int32_t(sizeof action)))
    Str_Copy(action, "synchronize", int32_t(sizeof action));
  bool erase = strcmp(action, "erase") == 0;
  if (!erase && strcmp(action, "synchronize") != 0) {
    fprintf(stderr, "repo_driver: unknown action \"%s\"\n", action);
    return 2;
  }
  double timeout = 3600;
  double given = 0;
  if (Dictionary_GetFloat64ByKey(run, "timeoutSeconds", &given)) timeout = given;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(int64_t(timeout * 1000));

  Dictionary *settings = nullptr;
  Dictionary_Create(&settings);
  StorageDefaults_Merge(settings);
  Dictionary *extra = nullptr;
  if (Dictionary_GetDictionaryByKey(run, "settings", &extra))
    Dictionary_Merge(settings, extra, kDictionaryMergeOverwrite);

  Repository *repository = nullptr;
  Repository_Create(&repository);
  Repository_SetLogSink(repository, nullptr, printLog);
  Repository_SetStateCallback(repository, nullptr, printState);
  int configured = Repository_SetConfiguration(repository, config);
  Repository_SetLimits(repository, settings);
  Repository_SetEventQueue(repository, EventQueue_GetMain());
  repository->maskAllowed = flag(run, "maskAllowed", 0);
  repository->deltaAllowed = flag(run, "deltaAllowed", 1);
  repository->catalogRequired = flag(run, "catalogRequired", 1);
  Repository_ResetErrors(repository);
  Repository_SetActive(repository, 1);

  bool finished = false;
  bool failed = !configured;
  if (!failed && erase) {
    finished = runPhase(repository, kRepositoryActionErase, kRepositoryStateErase, deadline);
    failed = configFailed(repository);
  } else if (!failed) {
    finished = runPhase(repository, kRepositoryActionRefresh, kRepositoryStateRefresh, deadline);
    failed = configFailed(repository);
    if (finished && !failed) {
      finished = runPhase(repository, kRepositoryActionSynchronize,
                          kRepositoryStateSynchronize, deadline);
      failed = configFailed(repository);
    }
  }
  if (!configured) finished = true;
  if (!finished) printf("timeout\n");
  int code = 0;
  if (!finished || failed) {
    int32_t source = 0, index = 0, type = 0, last = 0, lastEx = 0;
    Repository_GetLastError(repository, &source, &index, &type, &last, &lastEx);
    printf("error %d %d %d %d %d\n", source, index, type, last, lastEx);
    code = 1;
  } else {
    printf("done\n");
  }
  fflush(stdout);
  Repository_Cancel(repository);
  for (int i = 0; i < 10000; i++) {
    int32_t pending = 0;
    Repository_GetPendingRequests(repository, &pending);
    if (pending == 0) break;
    pumpOnce(repository);
  }
  Repository_Destroy(&repository);
  Dictionary_Release(&settings);
  return code;
}

}  // namespace

int main(int argc, char **argv) {
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "--log") == 0) {
    gLog = true;
    first = 2;
  }
  if (argc != first + 1) {
    fprintf(stderr, "usage: repo_driver [--log] <run.json>\n");
    return 2;
  }
  startServices();
  int code = 2;
  Dictionary *run = readRun(argv[first]);
  if (run == nullptr) {
    fprintf(stderr, "repo_driver: %s is not a JSON object\n", argv[first]);
  } else {
    Dictionary *section = nullptr;
    if (Dictionary_GetDictionaryByKey(run, "webGetPool", &section))
      WebGetPool_Configure(WebGetPool_Get(), section);
    if (!flag(run, "authenticate", 0)) Authenticate_Disable();
    code = drive(run);
    Dictionary_Release(&run);
  }
  stopServices();
  return code;
}
