// The "serve" command's run; see serve.h.
#include "host/serve.h"

#include <cstdarg>
#include <cstring>

#include "base/repository.h"
#include "core/bridge/interop.h"
#include "core/formats/dictionary.h"
#include "core/net/webserv.h"
#include "core/platform/fileops.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "host/host.h"
#include "host/progress.h"
#include "host/prompts.h"
#include "host/quithook.h"
#include "host/repositoryrunner.h"
#include "host/usercheck.h"
#include "skin/pagebridge.h"
#include "skin/staticfiles.h"
#include "workflow/workflowapp.h"

namespace {

constexpr int kServeExitDone = 0;
constexpr int kServeExitListen = 1;
constexpr int kServeExitRefused = 1;
constexpr int kServeExitUsage = 2;
constexpr int kServeLineBytes = 4096 + 512;
// What "/" answers (with 404) when no --www was given.
constexpr const char kServeNoPage[] =
    "keelson serve: no page is served here. Start it with --www=DIR to serve DIR's\n"
    "index.html; the calls under /instances/ answer either way.\n";

// What one run holds, released in the order of serveStop.
struct ServeRun {
  Dictionary *config = nullptr;  // borrowed: the caller's
  PlatformDirectory *www = nullptr;  // the checked --www until the page server takes it
  bool prompts = false;
  bool progress = false;
  RepositoryRunner *runner = nullptr;
  StaticFiles *files = nullptr;
  PageBridge *bridge = nullptr;
  WebServer *server = nullptr;
  double foreignStart = 0;  // the first request refused for another host, told at once
  int32_t foreignCount = 0;  // the ones after it, told as a count
};

void serveWrite(int fd, const char *format, ...) {
  char line[kServeLineBytes];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, int(sizeof line), format, args);
  va_end(args);
  size_t count = 0;
  Platform_WriteFile(fd, line, strlen(line), &count);
}

// The repository, paused with its work requested. 0 (one line on stderr)
// when the file cannot be used.
int serveMakeRepository(ServeRun *run, const ServeOptions *options) {
  const char *path = options->repositoryFile;
  run->config = options->config;
  if (run->config == nullptr) {
    serveWrite(2, "keelson: %s: cannot read the repository file\n", path);
    return 0;
  }
  const char *name = nullptr;
  if (!Dictionary_GetStringPointerByKey(run->config, "repository", &name) || name == nullptr) {
    serveWrite(2, "keelson: %s: the repository file has no \"repository\"\n", path);
    return 0;
  }
  if (!Prompts_Init(options->credentials)) return 0;
  run->prompts = true;
  if (!RepositoryRunner_Create(&run->runner, run->config, Host_GetApp())) return 0;
  Repository_SetActive(RepositoryRunner_GetRepository(run->runner), 0);
  // The console follows the repository as `keelson sync` shows it; stdout
  // holds the address line alone.
  Progress_Init(2);
  Progress_SetSummaryOutput(2);
  run->progress = true;
  return 1;
}

// Bridge, files and a listening server. The exit code on failure, else 0.
int serveListen(ServeRun *run, const ServeOptions *options, int32_t *port) {
  // The directory checked at start is the one served, whatever its path
  // leads to now.
  PlatformDirectory *checked = run->www;
  run->www = nullptr;
  bool served = options->www == nullptr ||
                (checked != nullptr && StaticFiles_CreateAt(&run->files, checked, options->www));
  if (!served) {
    serveWrite(2, "keelson: %s: not a directory\n", options->www);
    return kServeExitUsage;
  }
  PageBridge_Create(&run->bridge);
  PageBridge_SetStaticFiles(run->bridge, run->files);
  if (options->www == nullptr) PageBridge_SetNoPageText(run->bridge, kServeNoPage);
  WebServer_Create(&run->server);
  WebServer_ClearPorts(run->server);
  WebServer_AddPort(run->server, options->port);
  WebServer_EnableKeepAlive(run->server);
  // The printed "url" is "/": it opens the page's index.
  WebServer_SetDefaultDocument(run->server, kStaticFilesIndex);
  PageBridge_Attach(run->bridge, run->server);
  // The port asked for is refused at its first failure: waiting does not
  // free a port another program holds.
  double deadline = Platform_GetTickSeconds() + kServeListenSeconds;
  while (Platform_GetTickSeconds() < deadline && !Host_IsQuitRequested()) {
    if (WebServer_Start(run->server) == 1) {
      WebServer_Poll(run->server);
      if (WebServer_GetListenPort(run->server, port)) return 0;
      if (options->port != 0 && WebServer_GetListenError(run->server) != 0) break;
    }
    Thread_Yield();
  }
  char reason[256] = "";
  if (const char *text = Platform_GetErrorText(WebServer_GetListenError(run->server))) {
    Str_Printf(reason, int(sizeof reason), ": %s", text);
    if (reason[2] >= 'A' && reason[2] <= 'Z') reason[2] = char(reason[2] - 'A' + 'a');
  }
  serveWrite(2, "keelson: cannot listen on 127.0.0.1:%d%s%s\n", options->port, reason,
             options->port != 0 ? " (--port=0 picks a free port)" : "");
  return kServeExitListen;
}

// The ticket, not the session token, under "token" and in the address:
// whoever starts the page passes the address to a browser, whose command line
// any local user can read.
void servePrintAddress(ServeRun *run, const ServeOptions *options, int32_t port) {
  char ticket[kPageBridgeTokenTextBytes];
  PageBridge_IssueTicket(run->bridge, kPageBridgeTicketSeconds, ticket, int(sizeof ticket));
  const char *id = RepositoryRunner_GetRepository(run->runner)->header.instanceId;
  char open[512] = "null";
  if (options->www != nullptr)
    Str_Printf(open, int(sizeof open),
               "\"http://127.0.0.1:%d/index.html#ticket=%s&repository=%s\"", port, ticket, id);
  serveWrite(1,
             "{\"url\":\"http://127.0.0.1:%d/\",\"open\":%s,\"token\":\"%s\","
             "\"repository\":\"%s\"}\n",
             port, open, ticket, id);
  memset(ticket, 0, sizeof ticket);
}

// How long the main loop sleeps on its wake signal: a repository at work
// is stepped at least every kThreadYieldMs; otherwise until the server's next
// timed work. Socket events, posts to the main queue and the quit signal
// wake it sooner.
int32_t serveWaitMs(ServeRun *run) {
  uint32_t flags = Repository_GetStateFlags(RepositoryRunner_GetRepository(run->runner));
  if ((flags & kRepositoryStateAlive) != 0 && (flags & kRepositoryStatePaused) == 0)
    return kThreadYieldMs;
  return WebServer_GetWaitMs(run->server);
}

// The bridge's notices (refused ticket trades) and the static files'
// refused entries on stderr; flush: the count
// of an interval not over yet too.
void serveNotices(ServeRun *run, int flush) {
  char line[kPageBridgeNoticeBytes];
  while (PageBridge_TakeNotice(run->bridge, kServeNoticeSeconds, flush, line, int(sizeof line)))
    serveWrite(2, "keelson: %s\n", line);
  char refused[2 * kPathMax + 512];
  while (run->files != nullptr && StaticFiles_TakeRefusal(run->files, refused, int(sizeof refused)))
    serveWrite(2, "keelson: %s\n", refused);
  // Requests the server refused for naming another host (a browser sent to
  // "localhost"): counted as the ticket trades are.
  char host[kWebServerForeignHostBytes];
  int32_t count = WebServer_TakeForeignRefusals(run->server, host, int(sizeof host));
  double now = Platform_GetTickSeconds();
  if (count > 0 && run->foreignStart == 0) {
    for (char *c = host; *c != '\0'; c++)
      if (uint8_t(*c) < 0x20 || *c == 0x7f) *c = '?';
    int32_t port = 0;
    WebServer_GetListenPort(run->server, &port);
    serveWrite(2, "keelson: refused a request for host %s (403): the page answers only at "
               "http://127.0.0.1:%d/, the address printed\n", host, port);
    run->foreignStart = now;
    count--;
  }
  run->foreignCount += count;
  if (run->foreignStart != 0 && (flush || now - run->foreignStart >= kServeNoticeSeconds)) {
    if (run->foreignCount > 0)
      serveWrite(2, "keelson: refused %d more requests for another host in %.0f s\n",
                 run->foreignCount, now - run->foreignStart);
    run->foreignStart = 0;
    run->foreignCount = 0;
  }
}

// The main loop: the server, the application's pump (the bridge's pass in
// it) and the repository, until a quit signal. A sync's end gets the line
// `keelson sync` ends with.
void serveLoop(ServeRun *run, const ServeOptions *options) {
  WorkflowApp *app = Host_GetApp();
  RepositoryRunnerState state = RepositoryRunnerState::Running;
  // The summary's time counts from the page's start, not serve's.
  double started = 0;
  while (!Host_IsQuitRequested()) {
    WebServer_Poll(run->server);
    WorkflowApp_Pump(app);
    RepositoryRunnerState now = RepositoryRunner_Step(run->runner);
    uint32_t flags = Repository_GetStateFlags(RepositoryRunner_GetRepository(run->runner));
    if (started == 0 && (flags & kRepositoryStatePaused) == 0)
      started = RepositoryRunner_GetElapsed(run->runner);
    if (state == RepositoryRunnerState::Running && now != state) {
      Progress_Finish(RepositoryRunner_GetElapsed(run->runner) - started,
                      now == RepositoryRunnerState::Done);
      if (now == RepositoryRunnerState::Failed)
        RepositoryRunner_PrintFailureLine(run->runner, run->config, options->app);
    }
    state = now;
    serveNotices(run, 0);
    if (!Host_IsQuitRequested()) Thread_WaitForWake(serveWaitMs(run));
  }
  serveNotices(run, 1);
}

void serveStop(ServeRun *run) {
  // No page call may arrive while the instances go.
  if (run->server != nullptr) WebServer_Release(&run->server);
  Interop_RemoveAllInstances();
  if (run->runner != nullptr) {
    // The page may have left with references it never gave back (records
    // it did not read yet hold some too); it is gone, so are they.
    NotificationCenter_ReleaseAllInteropReferences(
        RepositoryRunner_GetRepository(run->runner)->header.instanceId);
    RepositoryRunner_Stop(run->runner, Host_GetApp());
    RepositoryRunner_Release(&run->runner);
  }
  if (run->progress) {
    Progress_Finish(0, 0);
    Progress_Shutdown();
  }
  if (run->bridge != nullptr) PageBridge_Release(&run->bridge);
  if (run->files != nullptr) StaticFiles_Release(&run->files);
  if (run->prompts) Prompts_Shutdown();
  Platform_CloseDirectory(&run->www);
}

}  // namespace

int Serve_Run(const ServeOptions *options) {
  CHECK_POINTER(options);
  CHECK_POINTER(options->repositoryFile);
  ServeRun run;
  run.www = options->wwwDirectory;
  // A file refused here (the credentials file's mode) exits 1, as at start.
  int code = kServeExitRefused;
  int32_t port = 0;
  if (serveMakeRepository(&run, options)) code = serveListen(&run, options, &port);
  if (code == kServeExitDone) {
    servePrintAddress(&run, options, port);
    if (options->www == nullptr)
      serveWrite(2, "keelson: no page is served (no --www): only the calls under /instances/\n");
    Log_Print(LOG_INFO, KSRC, 0, "Serving on 127.0.0.1:%d\n", port);
    serveLoop(&run, options);
  }
  serveStop(&run);
  return code;
}
