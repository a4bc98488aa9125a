// Process: see process.h.
#include "core/platform/process.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "core/platform/launch.h"
#include "core/platform/notification.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "core/security/authasync.h"
#include "core/security/certstorei.h"
#include "core/security/hash.h"
#include "core/security/hashfile.h"

struct Process {
  ObjectHeader header;  // kProcessTag; a fresh id
  ClassLog log;         // "Process"
  HashFile *hasher;     // SHA-1
  AuthenticateAsync *authenticator;
  char sha1[kProcessPathBytes];
  char sha1Target[kProcessPathBytes];
  char authenticateTarget[kProcessPathBytes];
  char applicationName[kProcessPathBytes];
  char arguments[kProcessArgumentsBytes];
  char workingDirectory[kProcessPathBytes];
  int32_t showWindow;
  int32_t elevation;
  ProcessHandle *running;  // held exactly while state is Running
  uint32_t pid;            // of the program last started
  int32_t readyFired;
  ProcessState state;
  double startTime;  // tick seconds; 0 before the first start
  double endTime;    // 0 while a start is under way
};

namespace {

constexpr const char *kProcessSender = "Process";

struct ProcessElevationRow {
  int32_t kind;
  const char *name;
  uint32_t executeFlags;
};

constexpr ProcessElevationRow kProcessElevations[] = {
    {int32_t(ProcessElevation::User), "User", 0},
    {int32_t(ProcessElevation::Elevated), "Elevated", kExecuteElevated},
    {int32_t(ProcessElevation::AsInvoker), "AsInvoker", kExecuteKeepIdentity},
};

// The row of a kind; an unknown kind is User.
const ProcessElevationRow &processElevationRow(int32_t kind) {
  for (const ProcessElevationRow &row : kProcessElevations)
    if (row.kind == kind) return row;
  return kProcessElevations[0];
}

Process *processCheck(void *process, const char *sourcePath, int line) {
  Class_Check(process, kProcessTag, sourcePath, line);
  return static_cast<Process *>(process);
}

void processLog(Process *p, const char *format, ...) {
  if (!Class_LogEnabled(&p->log, LOG_DEBUG)) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(&p->log, 0, format, args);
  va_end(args);
}

template <size_t N>
int processSetText(Process *process, char (Process::*field)[N], const char *text) {
  Process *p = processCheck(process, KSRC);
  CHECK_POINTER(text);
  size_t length = strlen(text);
  if (length >= N) {
    processLog(p, "Text of %d bytes does not fit its field of %d\n", int(length), int(N) - 1);
    return 0;
  }
  Str_Copy(p->*field, text, int(N));
  return 1;
}

// Ends the accepted start: idle first, so an observer may start again.
void processComplete(Process *p, int successful, int32_t exitCode) {
  p->endTime = Platform_GetTickSeconds();
  p->state = ProcessState::Idle;
  NotificationCenter_FireWithJSON(kProcessSender, "Complete", p->header.instanceId,
                                  "{\"successful\":%s,\"exitCode\":%d}",
                                  successful ? "true" : "false", successful ? exitCode : 0);
}

void processFireReady(Process *p) {
  p->readyFired = 1;
  NotificationCenter_FireWithJSON(kProcessSender, "Ready", p->header.instanceId, "{\"id\":%d}",
                                  int(p->pid));
}

int processLaunch(Process *p) {
  // Quotes around a path are the shell's, not the file's.
  char application[kProcessPathBytes];
  char directory[kProcessPathBytes];
  Str_Copy(application, p->applicationName, sizeof application);
  Str_Copy(directory, p->workingDirectory, sizeof directory);
  Str_Unescape(application, '"');
  Str_Unescape(directory, '"');
  uint32_t flags = processElevationRow(p->elevation).executeFlags;
  if (p->showWindow == 0) flags |= kExecuteHidden;
  if (!Platform_Execute(application, p->arguments, directory, flags, &p->running)) {
    processLog(p, "Unable to launch (%s) (%d)\n", application, Platform_GetLastError());
    processComplete(p, 0, 0);
    return 0;
  }
  p->pid = Platform_GetProcessId(p->running);
  p->startTime = Platform_GetTickSeconds();
  p->state = ProcessState::Running;
  return 1;
}

void processAuthenticated(AuthenticateAsync *, void *context, int result) {
  Process *p = static_cast<Process *>(context);
  if (!result) {
    processLog(p, "Authentication failed (%s)\n", p->authenticateTarget);
    processComplete(p, 0, 0);
    return;
  }
  processLaunch(p);
}

int processAuthenticate(Process *p) {
  p->state = ProcessState::Authenticating;
  CertStore *store = Auth_GetCertStore("app");
  AuthenticateAsync_SetCertStore(p->authenticator, store);
  CertStore_Release(&store);
  AuthenticateAsync_SetPath(p->authenticator, p->authenticateTarget);
  // A worker that cannot start has completed already, through the callback.
  return AuthenticateAsync_Start(p->authenticator);
}

const char *processHashedPath(Process *p) {
  return p->sha1Target[0] != '\0' ? p->sha1Target : p->applicationName;
}

void processHashed(HashFile *hasher, void *context, int success) {
  Process *p = static_cast<Process *>(context);
  if (!success) {
    processComplete(p, 0, 0);
    return;
  }
  char actual[2 * kHashMaxDigestBytes + 1] = "";
  HashFile_GetDigestText(hasher, actual, sizeof actual);
  if (Str_CompareNoCase(actual, p->sha1) != 0) {
    processLog(p, "SHA1 failed (%s) Expected (%s) Actual (%s)\n", processHashedPath(p), p->sha1,
               actual);
    processComplete(p, 0, 0);
    return;
  }
  if (p->authenticateTarget[0] != '\0')
    processAuthenticate(p);
  else
    processLaunch(p);
}

int processHash(Process *p) {
  p->state = ProcessState::Hashing;
  HashFile_SetHashInterface(p->hasher, &kHashSha1);
  HashFile_SetPath(p->hasher, processHashedPath(p));
  // A file that cannot be opened has completed already, through the callback.
  return HashFile_Start(p->hasher);
}

void processPollRunning(Process *p) {
  int32_t exitCode = kProcessStillActive;
  if (!Platform_GetProcessExitCode(p->running, &exitCode)) {
    if (!p->readyFired && Platform_GetTickSeconds() - p->startTime >= kProcessReadySeconds)
      processFireReady(p);
    return;
  }
  if (!p->readyFired) processFireReady(p);
  Platform_CloseProcess(&p->running);
  processComplete(p, 1, exitCode);
}

void processDestroy(void **object) {
  Process *p = processCheck(*object, KSRC);
  *object = nullptr;
  HashFile_Release(&p->hasher);
  AuthenticateAsync_Release(&p->authenticator);
  Platform_CloseProcess(&p->running);
  p->header.classTag = 0;
  MEM_FREE(p, sizeof(Process));
}

}  // namespace

int Process_Create(Process **process) {
  CHECK_POINTER(process);
  auto *p = static_cast<Process *>(MEM_ALLOC(sizeof(Process), 2));
  p->header.classTag = kProcessTag;
  p->header.refCount.store(1);
  p->header.destroy = processDestroy;
  Class_GenerateInstanceId(p);
  p->log.object = p;
  p->log.className = kProcessSender;
  HashFile_Create(&p->hasher);
  HashFile_SetCompleteCallback(p->hasher, processHashed, p);
  AuthenticateAsync_Create(&p->authenticator);
  AuthenticateAsync_SetCompleteCallback(p->authenticator, p, processAuthenticated);
  p->showWindow = 1;
  p->elevation = int32_t(ProcessElevation::User);
  p->state = ProcessState::Idle;
  *process = p;
  return 1;
}

int Process_SetApplicationName(Process *process, const char *path) {
  return processSetText(process, &Process::applicationName, path);
}
int Process_SetArguments(Process *process, const char *arguments) {
  return processSetText(process, &Process::arguments, arguments);
}
int Process_SetWorkingDirectory(Process *process, const char *path) {
  return processSetText(process, &Process::workingDirectory, path);
}
int Process_SetSha1(Process *process, const char *hex) {
  return processSetText(process, &Process::sha1, hex);
}
int Process_SetSha1Target(Process *process, const char *path) {
  return processSetText(process, &Process::sha1Target, path);
}
int Process_SetAuthenticateTarget(Process *process, const char *path) {
  return processSetText(process, &Process::authenticateTarget, path);
}

const char *Process_GetApplicationName(Process *process) {
  return processCheck(process, KSRC)->applicationName;
}
const char *Process_GetArguments(Process *process) {
  return processCheck(process, KSRC)->arguments;
}
const char *Process_GetWorkingDirectory(Process *process) {
  return processCheck(process, KSRC)->workingDirectory;
}
const char *Process_GetSha1(Process *process) { return processCheck(process, KSRC)->sha1; }
const char *Process_GetSha1Target(Process *process) {
  return processCheck(process, KSRC)->sha1Target;
}
const char *Process_GetAuthenticateTarget(Process *process) {
  return processCheck(process, KSRC)->authenticateTarget;
}

int Process_SetShowWindow(Process *process, int32_t show) {
  processCheck(process, KSRC)->showWindow = show;
  return 1;
}
int32_t Process_GetShowWindow(Process *process) { return processCheck(process, KSRC)->showWindow; }
int Process_SetElevation(Process *process, int32_t kind) {
  processCheck(process, KSRC)->elevation = kind;
  return 1;
}
int32_t Process_GetElevation(Process *process) { return processCheck(process, KSRC)->elevation; }
ProcessState Process_GetState(Process *process) { return processCheck(process, KSRC)->state; }

int Process_Start(Process *process) {
  Process *p = processCheck(process, KSRC);
  // A second start must not forget the program under way: its handle, its
  // one "Complete" and its one "Ready" belong to the first.
  if (p->state != ProcessState::Idle) {
    processLog(p, "Application already launched, waiting for exit\n");
    return 0;
  }
  p->startTime = Platform_GetTickSeconds();
  p->readyFired = 0;
  p->endTime = 0;
  NotificationCenter_Fire(kProcessSender, "Start", p->header.instanceId, nullptr);
  if (p->applicationName[0] == '\0') {
    processLog(p, "Application name is empty\n");
    processComplete(p, 0, 0);
    return 0;
  }
  if (p->sha1[0] != '\0') return processHash(p);
  if (p->authenticateTarget[0] != '\0') return processAuthenticate(p);
  return processLaunch(p);
}

int Process_Process(Process *process) {
  Process *p = processCheck(process, KSRC);
  switch (p->state) {
    case ProcessState::Idle: break;
    case ProcessState::Hashing: HashFile_Poll(p->hasher); break;
    case ProcessState::Authenticating: AuthenticateAsync_Poll(p->authenticator); break;
    case ProcessState::Running: processPollRunning(p); break;
    default: processLog(p, "Unknown state (%d)\n", int(p->state)); break;
  }
  return 1;
}

int Process_LogSettings(Process *process) {
  Process *p = processCheck(process, KSRC);
  processLog(p, "Application name - %s\n", p->applicationName);
  if (p->workingDirectory[0] != '\0') processLog(p, "Working directory - %s\n", p->workingDirectory);
  if (p->arguments[0] != '\0') processLog(p, "Arguments - %s\n", p->arguments);
  processLog(p, "Elevation rights - %s\n", processElevationRow(p->elevation).name);
  if (p->sha1[0] != '\0') processLog(p, "SHA1 - %s\n", p->sha1);
  return 1;
}

double Process_GetElapsed(Process *process) {
  Process *p = processCheck(process, KSRC);
  if (p->startTime == 0) return 0;
  return (p->endTime != 0 ? p->endTime : Platform_GetTickSeconds()) - p->startTime;
}

int Process_GetFileName(Process *process, char *out, int size) {
  Process *p = processCheck(process, KSRC);
  CHECK_POINTER(out);
  if (Path_GetFileName(p->applicationName, out, size) && out[0] != '\0') return 1;
  return Str_Set(out, p->applicationName, size);
}

int Process_GetProcessId(Process *process, uint32_t *id) {
  Process *p = processCheck(process, KSRC);
  CHECK_POINTER(id);
  *id = p->pid;
  return p->pid != 0;
}
