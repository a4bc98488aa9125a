// Start and stop of the host; see host.h.
#include "host/host.h"

#include <cstring>

#include "base/baseinterop.h"
#include "core/bridge/coreinterop.h"
#include "core/bridge/interop.h"
#include "core/bridge/interoplibrary.h"
#include "core/net/asyncsocket.h"
#include "core/net/proxyresolver.h"
#include "core/net/socket.h"
#include "core/net/webget.h"
#include "core/platform/asyncfile.h"
#include "core/platform/directorysize.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "core/platform/registry.h"
#include "core/platform/thread.h"
#include "core/runtime/class.h"
#include "core/runtime/cmdline.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/security/auth.h"
#include "core/security/tls1.h"
#include "core/security/x509anchors.h"
#include "host/progress.h"
#include "host/quithook.h"
#include "host/usercheck.h"
#include "skin/pagechannel.h"
#include "workflow/workflowapp.h"

namespace {

WorkflowApp *g_app = nullptr;

// The developer switches turn every signature, certificate and whitelist
// check off and write TLS secrets to a file. An ELF file carries no code
// signature to tell a developer's build from a shipped one, so the build
// decides: a release build ignores them, whoever starts it.
void hostApplyDeveloperSwitches(const char *cmdline) {
  int disable = CmdLine_HasOption(cmdline, "disablesecurity");
#if KEELSON_DEVELOPER_BUILD
  if (disable) {
    Log_Print(LOG_WARNING, KSRC, 0, "Security disabled by the command line\n");
    Authenticate_Disable();
  }
  char path[kCmdLineBytes] = {};
  if (!Authenticate_Enabled() && CmdLine_GetOption(cmdline, "sslkeylogfile", path, sizeof path) &&
      path[0] != '\0')
    Tls_SetKeyLogPath(path);
#else
  if (disable || CmdLine_HasOption(cmdline, "sslkeylogfile"))
    Log_Print(LOG_WARNING, KSRC, 0, "Developer switches are ignored in a release build\n");
#endif
}

// The application file the command line names with --app, when the caller
// gave none: parsed from appText (its text as read at start) when given,
// else read. 0 when it is named and cannot be read.
int hostReadAppFile(const char *cmdline, const std::string *appText, Dictionary **app) {
  *app = nullptr;
  char path[kCmdLineBytes] = {};
  if (!CmdLine_GetOption(cmdline, "app", path, sizeof path) || path[0] == '\0') return 1;
  return appText != nullptr ? UserCheck_ParseConfig(path, *appText, app)
                            : WorkflowApp_ReadConfigFile(path, app);
}

// The script modules of this program, in the order pages may rely on: the
// core classes first, then the repository's.
void hostAddModules(void) {
  CoreInterop_AddLibrary();
  char path[kInteropLibraryNameBytes] = {};
  Platform_GetModuleFileName(nullptr, path, int(sizeof path));
  // Built into the program: no module handle, and nothing to do on load,
  // unload, overrides or options.
  Interop_AddLibrary(path, nullptr, reinterpret_cast<InteropLoadFunction>(Callback_ReturnTrue),
                     reinterpret_cast<InteropUnloadFunction>(Callback_ReturnTrue),
                     RepositoryInterop_GetInstance,
                     reinterpret_cast<InteropSetOverrideFunction>(Callback_ReturnTrue),
                     reinterpret_cast<InteropSetOptionFunction>(Callback_ReturnTrue));
}

// The proxy resolver's lines for the user. On the main thread they go
// through the progress output, which ends an open terminal line first; the
// detection thread's come before any progress line is drawn.
void hostProxyWarning(const char *line) {
  char text[kCmdLineBytes];
  Str_Printf(text, int(sizeof text), "keelson: %s", line);
  if (Platform_GetThreadId() == Core_GetMainThreadId()) {
    Progress_PrintLine(text);
    return;
  }
  Str_AppendPrintf(text, int(sizeof text), "\n");
  Platform_ConsoleWrite(text, strlen(text));
}

}  // namespace

int Host_Start(int argc, const char *const *argv, Dictionary *app, const std::string *appText) {
  char cmdline[kCmdLineBytes];
  CmdLine_JoinArgv(argc, argv, cmdline, sizeof cmdline);
  CmdLine_Init(cmdline);
  Host_SetStopping(0);
  Log_SetConsoleHook(Host_ConsoleQuitHook);
  // A terminal program gets its quit signals whether or not the log attaches
  // a console.
  Platform_ConsoleSetHandlers(Host_ConsoleQuitHook);
  uint32_t flags = 0;
  Core_ParseDebugOptions(&flags, cmdline);
  Core_Init(flags, cmdline);

  Auth_Init();
  hostApplyDeveloperSwitches(cmdline);
  Thread_Init();
  Meter_Init();
  NotificationCenter_Init();
  Registry_Init();
  Platform_StartWinsock();
  Socket_Init();
  WebGet_Init();
  EventQueue_InitMain();
  Interop_Init();
  Interop_SetDeliveryFunction(SkinWindow_DeliverInteropCallbacks);

  IOWorker_Init();
  AsyncFile_Init();
  AsyncSocket_Init();
  Dictionary *named = nullptr;
  int ok = app != nullptr || hostReadAppFile(cmdline, appText, &named);
  ok = ok && WorkflowApp_Create(&g_app, app != nullptr ? app : named);
  if (named != nullptr) Dictionary_Release(&named);
  WebGet_SetWhitelistImmutable();
  // Detection fetches its script with what the application's configuration
  // sets (the certificate stores and TLS settings an https script is checked
  // against, the user agent): it starts only once that is in place, or a
  // fast run would see the settings half made.
  ProxyResolver_SetWarningHook(hostProxyWarning);
  ProxyResolver_Init();
  if (ok) hostAddModules();
  return ok;
}

WorkflowApp *Host_GetApp(void) { return g_app; }

int Host_Stop(void) {
  Host_SetStopping(1);
  // Its callback entry lives in interop: stop it first.
  Path_StopDirectorySize();
  int32_t exitCode = 0;
  if (g_app != nullptr) {
    if (WorkflowApp_IsQuitRequested(g_app, &exitCode)) Core_SetExitCode(exitCode);
    WorkflowApp_Release(&g_app);
  }
  ProxyResolver_Shutdown();
  ProxyResolver_SetWarningHook(nullptr);
  AsyncSocket_Shutdown();
  AsyncFile_Shutdown();
  IOWorker_Shutdown();
  Registry_Shutdown();
  Interop_Shutdown();
  WebGet_Shutdown();
  NotificationCenter_Shutdown();
  Meter_Shutdown();
  Thread_Shutdown();
  // The main queue goes after the threads that post to it.
  EventQueue *main = EventQueue_GetMain();
  if (main != nullptr) Class_ReleaseObject(&main);
  Auth_Shutdown();
  X509Anchors_Shutdown();
  Platform_StopWinsock();
  int code = Core_Shutdown();
  CmdLine_Free();
  Platform_ConsoleSetHandlers(nullptr);
  Log_SetConsoleHook(nullptr);
  Host_SetStopping(0);
  return code;
}
