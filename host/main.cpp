// The keelson command: "keelson sync [options] <repository file>" brings an
// installation directory to the version a content server describes, with a
// progress line on stderr, a summary on stdout and the exit code saying how
// it went (0 done, 1 the sync failed, 2 usage or an unreadable file, 128 + n
// after signal n). Commands are rows of one table; each parses nothing but
// its own positional arguments, the options are checked once for all.
#include <cstdarg>
#include <cstring>

#include "base/repository.h"
#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/platform/meter.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/core.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "host/host.h"
#include "host/progress.h"
#include "host/prompts.h"
#include "host/quithook.h"
#include "host/repositoryrunner.h"
#include "host/serve.h"
#include "keelson_version.h"
#include "workflow/workflowapp.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSignalBase = 128;
constexpr int kMessageBytes = 4096 + 512;

constexpr const char kUsage[] =
    "usage: keelson sync [options] <repository file>\n"
    "       keelson serve [--port=N] [--www=DIR] [options] <repository file>\n"
    "       keelson --help | --version\n"
    "\n"
    "  sync                  bring the installation the repository file describes\n"
    "                        to the version its server offers, repairing damage\n"
    "  serve                 serve a page on 127.0.0.1 that may start the repository;\n"
    "                        prints {\"url\", \"open\", \"token\", \"repository\"} and runs\n"
    "                        until SIGINT or SIGTERM\n"
    "\n"
    "options (--name=value):\n"
    "  --app=FILE            application configuration (JSON or YAML)\n"
    "  --credentials=FILE    answers to password prompts (JSON or YAML list, mode 0600)\n"
    "  --retry-time=SECONDS  sync: retry failed requests while the retry falls due\n"
    "                        within SECONDS of the start (default 120; 0: the first\n"
    "                        failure ends the run); a permanent error ends it at once\n"
    "  --quiet               sync: no progress line, only errors and the summary\n"
    "  --port=N              serve: the port (0, the default: a free one)\n"
    "  --www=DIR             serve: the page's files\n"
    "  --debug[=level], --debugfile, --debugdir=DIR, --verbose=CLASSES, --window,\n"
    "  --append, --perday, --perprocess, --perthread, --memorytracking, ...\n"
    "                        log and memory debugging\n"
    "\n"
    "exit status: 0 done, 1 the sync failed, 2 usage or an unreadable file,\n"
    "128 + n after signal n\n";

// Options every command takes: the command's own, the core's debug options
// and the developer switches (honoured only in a developer build).
struct OptionRow {
  const char *name;
  bool needsValue;
};
constexpr OptionRow kOptions[] = {
    {"app", true},           {"credentials", true},    {"sslkeylogfile", true},
    {"disablesecurity", false}, {"append", false},     {"cmdline", false},
    {"commit", false},       {"debug", false},         {"debugfile", false},
    {"debugfileid", false},  {"debugdir", true},       {"externalprint", false},
    {"memoryreport", false}, {"memorytest", false},    {"memorytracking", false},
    {"perday", false},       {"perprocess", false},    {"perthread", false},
    {"proxy", false},        {"proxy-wpad", false},    {"verbose", false},
    {"window", false},       {"port", true},           {"www", true},
    {"retry-time", true},    {"quiet", false},
};

struct Arguments {
  const char *command = nullptr;
  const char *positional[4] = {};
  int positionalCount = 0;
  const char *credentials = nullptr;
  const char *port = nullptr;
  const char *www = nullptr;
  const char *retryTime = nullptr;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

void writeOut(int fd, const char *text) {
  size_t count = 0;
  Platform_WriteFile(fd, text, strlen(text), &count);
}

void printError(const char *format, ...) {
  char line[kMessageBytes];
  va_list args;
  va_start(args, format);
  Str_VPrintf(line, int(sizeof line), format, args);
  va_end(args);
  writeOut(2, line);
}

int usageError(const char *format, const char *what) {
  printError(format, what);
  writeOut(2, kUsage);
  return kExitUsage;
}

// "--name" or "--name=value" of a known option; the value's start in *value.
const OptionRow *findOption(const char *argument, const char **value) {
  const char *name = argument + 2;
  const char *equals = strchr(name, '=');
  size_t length = equals != nullptr ? size_t(equals - name) : strlen(name);
  *value = equals != nullptr ? equals + 1 : nullptr;
  for (const OptionRow &row : kOptions)
    if (strlen(row.name) == length && strncmp(row.name, name, length) == 0) return &row;
  return nullptr;
}

// 0 with *exitCode set when the arguments are not a command line we run.
int parseArguments(int argc, char **argv, Arguments *out, int *exitCode) {
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      out->help = true;
      continue;
    }
    if (strcmp(a, "--version") == 0) {
      out->version = true;
      continue;
    }
    if (strncmp(a, "--", 2) == 0) {
      const char *value = nullptr;
      const OptionRow *row = findOption(a, &value);
      if (row == nullptr) {
        *exitCode = usageError("keelson: unknown option %s\n", a);
        return 0;
      }
      if (row->needsValue && (value == nullptr || value[0] == '\0')) {
        *exitCode = usageError("keelson: %s needs a value (--name=value)\n", a);
        return 0;
      }
      if (strcmp(row->name, "credentials") == 0) out->credentials = value;
      if (strcmp(row->name, "port") == 0) out->port = value;
      if (strcmp(row->name, "www") == 0) out->www = value;
      if (strcmp(row->name, "retry-time") == 0) out->retryTime = value;
      if (strcmp(row->name, "quiet") == 0) out->quiet = true;
      continue;
    }
    if (a[0] == '-') {
      *exitCode = usageError("keelson: unknown option %s\n", a);
      return 0;
    }
    if (out->command == nullptr) {
      out->command = a;
    } else if (out->positionalCount < int(sizeof out->positional / sizeof out->positional[0])) {
      out->positional[out->positionalCount++] = a;
    } else {
      *exitCode = usageError("keelson: too many arguments (%s)\n", a);
      return 0;
    }
  }
  return 1;
}

// The code name of a failure: the transfer error's name, the HTTP status's
// reason, and for an operating-system error its number and kind.
void describeCode(int32_t code, int32_t codeEx, char *out, int size) {
  if (code >= kWebGetErrorCustom) Str_Printf(out, size, "%d %s", code, WebGet_GetErrorName(code));
  else Str_Printf(out, size, "%d %s", code, WebGet_GetReasonText(code));
  if (code == kWebGetErrorOs)
    Str_AppendPrintf(out, size, " (%d %s)", codeEx, Platform_ErrorName(codeEx));
  else if (codeEx != 0)
    Str_AppendPrintf(out, size, " (%d)", codeEx);
}

void printFailure(RepositoryRunner *runner) {
  Repository *repository = RepositoryRunner_GetRepository(runner);
  int32_t source = 0, code = 0, codeEx = 0;
  RepositoryRunner_GetLastError(runner, &source, &code, &codeEx);
  char codeText[256];
  describeCode(code, codeEx, codeText, int(sizeof codeText));
  char filter[kPromptsFilterBytes], host[kPromptsHostBytes];
  if (Prompts_GetLastCancel(filter, host))
    printError("keelson: %s: %s failed: %s: no credentials for %s %s\n", repository->name,
               Repository_ErrorSourceName(source), codeText, filter, host);
  else
    printError("keelson: %s: %s failed: %s\n", repository->name,
               Repository_ErrorSourceName(source), codeText);
}

// The exit code the host's stop returns: the application's quit request
// carries it there.
void setExitCode(int code) {
  Core_SetExitCode(code);
  if (WorkflowApp *app = Host_GetApp()) WorkflowApp_RequestQuit(app, code);
}

// Runs the repository until it is done, fails or a quit signal arrives.
int runRepository(WorkflowApp *app, RepositoryRunner *runner) {
  RepositoryRunnerState state = RepositoryRunnerState::Running;
  while (!Host_IsQuitRequested() && !WorkflowApp_IsQuitRequested(app, nullptr)) {
    WorkflowApp_Pump(app);
    // Rates are measured here, once a second: the progress line's speed.
    Meter_Update();
    state = RepositoryRunner_Step(runner);
    if (state != RepositoryRunnerState::Running) break;
    Thread_Yield();
  }
  if (Host_IsQuitRequested()) {
    Progress_Finish(RepositoryRunner_GetElapsed(runner), 0);
    return kExitSignalBase + Host_GetQuitSignal();
  }
  if (state == RepositoryRunnerState::Done) {
    Progress_Finish(RepositoryRunner_GetElapsed(runner), 1);
    return kExitDone;
  }
  Progress_Finish(RepositoryRunner_GetElapsed(runner), 0);
  if (!RepositoryRunner_PrintFailure(runner)) printFailure(runner);
  return kExitFailed;
}

// Whole seconds of at most nine digits; -1 for anything else.
int64_t parseSeconds(const char *text) {
  size_t digits = strspn(text, "0123456789");
  if (digits == 0 || digits != strlen(text) || digits > 9) return -1;
  return Str_ToInt64(text);
}

int syncWithHost(const Arguments &args, int64_t retrySeconds) {
  WorkflowApp *app = Host_GetApp();
  const char *path = args.positional[0];
  Dictionary *config = nullptr;
  if (!WorkflowApp_ReadConfigFile(path, &config)) {
    printError("keelson: %s: cannot read the repository file\n", path);
    return kExitUsage;
  }
  const char *name = nullptr;
  if (!Dictionary_GetStringPointerByKey(config, "repository", &name) || name == nullptr) {
    printError("keelson: %s: the repository file has no \"repository\"\n", path);
    Dictionary_Release(&config);
    return kExitUsage;
  }
  if (!Prompts_Init(args.credentials)) {
    Dictionary_Release(&config);
    return kExitUsage;
  }
  Progress_Init(2);
  Progress_SetQuiet(args.quiet);
  RepositoryRunner *runner = nullptr;
  int code = kExitUsage;
  if (RepositoryRunner_Create(&runner, config, app)) {
    RepositoryRunner_SetRetryTime(runner, double(retrySeconds));
    code = RepositoryRunner_Preflight(runner, config) ? runRepository(app, runner) : kExitFailed;
    RepositoryRunner_Stop(runner, app);
    RepositoryRunner_Release(&runner);
  }
  Dictionary_Release(&config);
  Progress_Shutdown();
  Prompts_Shutdown();
  return code;
}

int commandSync(int argc, char **argv, const Arguments &args) {
  if (args.positionalCount != 1)
    return usageError("keelson: %s needs one repository file\n", "sync");
  int64_t retrySeconds = int64_t(kRepositoryRunnerRetrySeconds);
  if (args.retryTime != nullptr) {
    retrySeconds = parseSeconds(args.retryTime);
    if (retrySeconds < 0)
      return usageError("keelson: --retry-time=%s is not a number of seconds\n", args.retryTime);
  }
  int code = kExitUsage;
  if (Host_Start(argc, argv, nullptr)) code = syncWithHost(args, retrySeconds);
  else printError("keelson: %s\n", "cannot start: the application configuration did not load");
  setExitCode(code);
  return Host_Stop();
}

int commandServe(int argc, char **argv, const Arguments &args) {
  if (args.positionalCount != 1)
    return usageError("keelson: %s needs one repository file\n", "serve");
  int64_t port = 0;
  if (args.port != nullptr) {
    size_t digits = strspn(args.port, "0123456789");
    port = digits == strlen(args.port) && digits <= 5 ? Str_ToInt64(args.port) : -1;
    if (port < 0 || port > 65535)
      return usageError("keelson: --port=%s is not a port\n", args.port);
  }
  ServeOptions options{args.positional[0], args.credentials, args.www, int32_t(port)};
  int code = kExitUsage;
  if (Host_Start(argc, argv, nullptr)) code = Serve_Run(&options);
  else printError("keelson: %s\n", "cannot start: the application configuration did not load");
  setExitCode(code);
  return Host_Stop();
}

struct CommandRow {
  const char *name;
  int (*run)(int argc, char **argv, const Arguments &args);
};
constexpr CommandRow kCommands[] = {
    {"sync", commandSync},
    {"serve", commandServe},
};

}  // namespace

int main(int argc, char **argv) {
  Arguments args;
  int code = kExitUsage;
  if (!parseArguments(argc, argv, &args, &code)) return code;
  if (args.help) {
    writeOut(1, kUsage);
    return kExitDone;
  }
  if (args.version) {
    char line[64];
    Str_Printf(line, int(sizeof line), "keelson %s\n", kKeelsonVersion);
    writeOut(1, line);
    return kExitDone;
  }
  if (args.command == nullptr) return usageError("keelson: %s\n", "no command given");
  for (const CommandRow &row : kCommands)
    if (strcmp(row.name, args.command) == 0) return row.run(argc, argv, args);
  return usageError("keelson: unknown command %s\n", args.command);
}
