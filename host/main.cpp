// The keelson command: "keelson sync [options] <repository file>" brings an
// installation directory to the version a content server describes, with a
// progress line on stderr, a summary on stdout and the exit code saying how
// it went (0 done, 1 the sync failed, 2 usage or an unreadable file, 128 + n
// after signal n). Commands are rows of one table; each parses nothing but
// its own positional arguments, the options are checked once for all.
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "base/repository.h"
#include "core/formats/dictionary.h"
#include "core/net/webget.h"
#include "core/platform/fileops.h"
#include "core/platform/meter.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "host/errorline.h"
#include "host/host.h"
#include "host/progress.h"
#include "host/prompts.h"
#include "host/quithook.h"
#include "host/repositoryrunner.h"
#include "host/serve.h"
#include "host/usercheck.h"
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
    "       keelson serve [options] <repository file>\n"
    "       keelson help [sync | serve] | --help | -V | --version | version\n"
    "\n"
    "  sync      bring the installation the repository file describes to the\n"
    "            version its server offers, repairing damage\n"
    "  serve     serve a page on 127.0.0.1 that may start the repository\n"
    "\n"
    "'keelson sync --help' and 'keelson serve --help' list each command's options\n"
    "and the keys of the repository file.\n"
    "\n"
    "exit status: 0 done (and serve stopped by SIGINT or SIGTERM), 1 the sync\n"
    "failed or a file was refused, 2 usage or a file that cannot be read,\n"
    "128 + n after signal n (sync)\n";

// Options both commands take; an option's value may follow as the next
// argument ("--app FILE") or after '=' ("--app=FILE").
constexpr const char kCommonOptions[] =
    "  --app=FILE            the application configuration (JSON or YAML): the host\n"
    "                        whitelist (webGet.whitelist), key stores (keyStores:\n"
    "                        Base64 DER public keys or JSON Web Key Sets), pinned\n"
    "                        server certificates (thumbprintStores: Base64 of each\n"
    "                        certificate's SHA-256, SHA-1, SHA-224, SHA-384 or\n"
    "                        SHA-512 digest; base64url, no '=', white space around\n"
    "                        read too), limits\n"
    "  --credentials=FILE    answers to password prompts (JSON or YAML list of\n"
    "                        {filter, host, username, password}, mode 0600)\n"
    "  A YAML file (these two and the repository file) needs a .yaml or .yml name:\n"
    "  any other name is read as JSON. The repository and application files must\n"
    "  be yours or root's, not links, and writable by no one else.\n";

constexpr const char kLogOptions[] =
    "  -h, --help            this text\n"
    "\n"
    "log options:\n"
    "  --debug[=level], --debugfile, --debugdir=DIR, --verbose=CLASSES, --window,\n"
    "  --append, --perday, --perprocess, --perthread, --memorytracking, ...\n"
    "\n"
    "developer options (a developer build only; a release build ignores them):\n"
    "  --disablesecurity     no signature, certificate or whitelist checks\n"
    "  --sslkeylogfile=PATH  write TLS secrets to PATH\n";

constexpr const char kRepositoryKeys[] =
    "\n"
    "the repository file (JSON, or YAML named .yaml or .yml; any other key is\n"
    "refused):\n"
    "  \"repository\"   the repository's name (required)\n"
    "  \"alias\"        URL of the alias document (it names the version)\n"
    "  \"catalog\"      URL the catalogs are under\n"
    "  \"metafile\"     path of the installed version's metafile\n"
    "  \"local\"        the installation: {\"type\": \"file\", \"path\": DIR}\n"
    "  \"pending\"      optional storage that holds new pieces until all are in\n"
    "  \"remote\"       remote storages in place of the catalog's: one, or a list\n"
    "  \"certStore\"    the key store signed documents are checked against (a name\n"
    "                 in keyStores of the application file); when absent \"app\":\n"
    "                 the application file's keyStores \"app\"\n"
    "  also: remoteId, inplace, metafileSave, cleanup, fileCompletes, requests,\n"
    "  deltaCacheSize; mask, stageMask, autoMask are accepted and ignored (every\n"
    "  piece is synced)\n"
    "a storage: {\"type\", \"path\" or \"url\", ...}; types file, filePiece, http\n"
    "(whole files; the server must serve Range requests), httpPiece (one file per\n"
    "piece), mux ({\"storages\": [...]}). URLs are http://, https:// or file://.\n";

constexpr const char kSyncHelp[] =
    "usage: keelson sync [options] <repository file>\n"
    "\n"
    "Brings the installation the repository file describes to the version its\n"
    "server offers and repairs it: every piece is checked, only what is missing\n"
    "or damaged is fetched. Progress on stderr, one summary line on stdout.\n"
    "\n"
    "options (--name=VALUE or --name VALUE):\n";
constexpr const char kSyncOptions[] =
    "  --retry-time=SECONDS  retry a failed document or piece while its retry delays\n"
    "                        add up to at most SECONDS (default 120; 0: the first\n"
    "                        failure ends the run; waiting for a free request slot\n"
    "                        does not count); the run also ends when, after a retry,\n"
    "                        nothing arrives for SECONDS; a permanent error ends it\n"
    "                        at once\n"
    "  --quiet               no progress line: only errors and the summary\n"
    "  --proxy=HOST:PORT     the proxy for every request (a list: h1:p1,h2:p2),\n"
    "                        in place of the environment's and GNOME's settings;\n"
    "                        never used for URLs on 127.0.0.1 or localhost\n"
    "  --proxy-wpad=URL      a proxy auto-config script (http or https) that picks\n"
    "                        the proxy for each request\n";

constexpr const char kServeHelp[] =
    "usage: keelson serve [options] <repository file>\n"
    "\n"
    "Serves a page on 127.0.0.1 that may start the repository; prints\n"
    "{\"url\", \"open\", \"token\", \"repository\"} and runs until SIGINT or SIGTERM.\n"
    "\n"
    "options (--name=VALUE or --name VALUE):\n";
constexpr const char kServeOptions[] =
    "  --port=N              the port (0, the default: a free one); a port in use\n"
    "                        is refused at once\n"
    "  --www=DIR             the page's files; without it no page is served, only\n"
    "                        the calls under /instances/\n";

// Options every command takes: the command's own (which may take their
// value as the next argument), the core's debug options and the developer
// switches (honoured only in a developer build).
struct OptionRow {
  const char *name;
  bool needsValue;
  bool own;
};
constexpr OptionRow kOptions[] = {
    {"app", true, true},          {"credentials", true, true},  {"retry-time", true, true},
    {"port", true, true},         {"www", true, true},          {"sslkeylogfile", true, false},
    {"disablesecurity", false, false}, {"append", false, false}, {"cmdline", false, false},
    {"commit", false, false},     {"debug", false, false},      {"debugfile", false, false},
    {"debugfileid", false, false}, {"debugdir", true, false},   {"externalprint", false, false},
    {"memoryreport", false, false}, {"memorytest", false, false}, {"memorytracking", false, false},
    {"perday", false, false},     {"perprocess", false, false}, {"perthread", false, false},
    {"proxy", true, true},        {"proxy-wpad", true, true},   {"verbose", false, false},
    {"window", false, false},     {"quiet", false, true},
};

struct Arguments {
  const char *command = nullptr;
  const char *positional[4] = {};
  int positionalCount = 0;
  const char *app = nullptr;
  const char *credentials = nullptr;
  const char *port = nullptr;
  const char *www = nullptr;
  const char *retryTime = nullptr;
  bool quiet = false;
  bool help = false;
  bool version = false;
  // The arguments as the host reads them: "--app FILE" joined into
  // "--app=FILE", so that the core's option reader finds the value.
  std::vector<std::string> joined;
  std::vector<const char *> argv;
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

// One line: what is wrong and where to look; the usage is not repeated.
int usageError(const char *format, const char *what) {
  char line[kMessageBytes];
  Str_Printf(line, int(sizeof line), format, what);
  printError("%s; see 'keelson --help'\n", line);
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

void keepOption(Arguments *out, const OptionRow *row, const char *value) {
  if (strcmp(row->name, "app") == 0) out->app = value;
  if (strcmp(row->name, "credentials") == 0) out->credentials = value;
  if (strcmp(row->name, "port") == 0) out->port = value;
  if (strcmp(row->name, "www") == 0) out->www = value;
  if (strcmp(row->name, "retry-time") == 0) out->retryTime = value;
  if (strcmp(row->name, "quiet") == 0) out->quiet = true;
}

// A word that asks for help or the version: the options, and the commands
// "help" and "version" before any other command.
bool parseWord(const char *a, Arguments *out) {
  if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
    out->help = true;
    return true;
  }
  if (strcmp(a, "--version") == 0 || strcmp(a, "-V") == 0) {
    out->version = true;
    return true;
  }
  if (out->command == nullptr && strcmp(a, "help") == 0) {
    out->help = true;
    return true;
  }
  if (out->command == nullptr && strcmp(a, "version") == 0) {
    out->version = true;
    return true;
  }
  return false;
}

// 0 with *exitCode set when the arguments are not a command line we run.
int parseArguments(int argc, char **argv, Arguments *out, int *exitCode) {
  out->joined.emplace_back(argv[0]);
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (parseWord(a, out)) {
      out->joined.emplace_back(a);
      continue;
    }
    if (strncmp(a, "--", 2) == 0) {
      const char *value = nullptr;
      const OptionRow *row = findOption(a, &value);
      if (row == nullptr) {
        *exitCode = usageError("keelson: unknown option %s", a);
        return 0;
      }
      std::string word = a;
      if (row->own && row->needsValue && value == nullptr && i + 1 < argc) {
        value = argv[++i];
        word = word + "=" + value;
      }
      if (row->needsValue && (value == nullptr || value[0] == '\0')) {
        *exitCode = usageError("keelson: %s needs a value (--name=value)", a);
        return 0;
      }
      keepOption(out, row, value);
      out->joined.push_back(word);
      continue;
    }
    if (a[0] == '-') {
      *exitCode = usageError("keelson: unknown option %s", a);
      return 0;
    }
    out->joined.emplace_back(a);
    if (out->command == nullptr) {
      out->command = a;
    } else if (out->positionalCount < int(sizeof out->positional / sizeof out->positional[0])) {
      out->positional[out->positionalCount++] = a;
    } else {
      *exitCode = usageError("keelson: too many arguments (%s)", a);
      return 0;
    }
  }
  for (const std::string &word : out->joined) out->argv.push_back(word.c_str());
  return 1;
}

// The help of a command, or the general usage.
void printHelp(const char *command) {
  if (command != nullptr && strcmp(command, "sync") == 0) {
    for (const char *part : {kSyncHelp, kCommonOptions, kSyncOptions, kLogOptions, kRepositoryKeys})
      writeOut(1, part);
  } else if (command != nullptr && strcmp(command, "serve") == 0) {
    for (const char *part :
         {kServeHelp, kCommonOptions, kServeOptions, kLogOptions, kRepositoryKeys})
      writeOut(1, part);
  } else {
    writeOut(1, kUsage);
  }
}

// The exit code the host's stop returns: the application's quit request
// carries it there.
void setExitCode(int code) {
  Core_SetExitCode(code);
  if (WorkflowApp *app = Host_GetApp()) WorkflowApp_RequestQuit(app, code);
}

// Runs the repository until it is done, fails or a quit signal arrives.
int runRepository(WorkflowApp *app, RepositoryRunner *runner, const Arguments &args,
                  Dictionary *config) {
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
  RepositoryRunner_PrintFailureLine(runner, config, args.app);
  return kExitFailed;
}

// Whole seconds of at most nine digits; -1 for anything else.
int64_t parseSeconds(const char *text) {
  size_t digits = strspn(text, "0123456789");
  if (digits == 0 || digits != strlen(text) || digits > 9) return -1;
  return Str_ToInt64(text);
}

// What the checks before the start read, handed to what uses it: the run
// parses these texts and serves this directory, whatever the paths lead to
// later.
struct StartFiles {
  std::string repository;   // the repository file's text
  std::string application;  // the --app file's text; empty without one
  PlatformDirectory *www = nullptr;  // --www as checked; NULL without one
  StartFiles() = default;
  StartFiles(const StartFiles &) = delete;
  StartFiles &operator=(const StartFiles &) = delete;
  ~StartFiles() { Platform_CloseDirectory(&www); }
};

// The user's files before anything starts: each one readable and, when
// JSON, valid JSON. Every file at fault gets its line in the one run. 0
// when all pass, else the first one's exit code.
int checkFilesBeforeStart(const Arguments &args, StartFiles *files) {
  int first = 0, code = 0;
  auto note = [&](int passed) {
    if (!passed && first == 0) first = code;
  };
  note(UserCheck_ReadFile(args.positional[0], "repository", &code, &files->repository));
  if (args.app != nullptr)
    note(UserCheck_ReadFile(args.app, "application", &code, &files->application));
  if (args.credentials != nullptr)
    note(UserCheck_ReadFile(args.credentials, "credentials", &code));
  if (args.www != nullptr)
    note(UserCheck_CheckDirectory(args.www, "--www directory", &code, &files->www));
  return first;
}

// The host could not start: the application file's text or its stores.
int explainStartFailure(const Arguments &args, const StartFiles &files) {
  if (args.app != nullptr && UserCheck_ExplainYaml(args.app)) return kExitFailed;
  // The core is up: the entry at fault is found in the file.
  Dictionary *app = nullptr;
  int named = args.app != nullptr && UserCheck_ParseConfig(args.app, files.application, &app) &&
              !UserCheck_Stores(args.app, app, nullptr);
  if (app != nullptr) Dictionary_Release(&app);
  if (named) return kExitFailed;
  if (args.app != nullptr)
    printError("keelson: %s: the application file cannot be used: a store of its keyStores "
               "or thumbprintStores does not load (with --debug --debugdir=DIR, "
               "DIR/keelson.developer.log tells which)\n",
               args.app);
  else
    printError("keelson: %s\n", "cannot start: the application configuration did not load");
  return kExitFailed;
}

// The repository file read and checked, the application file's unknown keys
// warned about, and something to verify signed documents against. 0 with
// *config (the caller's to release), else the exit code (the line written).
int readRepositoryFile(const Arguments &args, const StartFiles &files, Dictionary **config) {
  const char *path = args.positional[0];
  *config = nullptr;
  if (!UserCheck_ParseConfig(path, files.repository, config)) {
    if (!UserCheck_ExplainYaml(path)) printError("keelson: %s: cannot be read as YAML\n", path);
    return kExitFailed;
  }
  if (!UserCheck_Repository(path, *config)) {
    Dictionary_Release(config);
    return kExitFailed;
  }
  Dictionary *app = nullptr;
  if (args.app != nullptr && UserCheck_ParseConfig(args.app, files.application, &app)) {
    UserCheck_WarnApplication(args.app, app);
    int stores = UserCheck_ApplicationUrls(args.app, app) &&
                 UserCheck_Stores(args.app, app, *config);
    Dictionary_Release(&app);
    if (!stores) {
      Dictionary_Release(config);
      return kExitFailed;
    }
  }
  if (Authenticate_Enabled() &&
      !UserCheck_CanVerify(path, *config, WorkflowApp_GetConfig(Host_GetApp()), args.app)) {
    Dictionary_Release(config);
    return kExitFailed;
  }
  return 0;
}

// With --debug and its kin, where the log file is: the user asked for it.
void printLogFile(void) {
  char name[4096];
  if (Log_GetFileName(name, int(sizeof name)))
    printError("keelson: the debug log is written to %s\n", name);
}

int syncWithHost(const Arguments &args, const StartFiles &files, int64_t retrySeconds) {
  WorkflowApp *app = Host_GetApp();
  Dictionary *config = nullptr;
  int code = readRepositoryFile(args, files, &config);
  if (code != 0) return code;
  // The credentials file read at start and refused here (its mode, its
  // owner, no list) is a refused file, as the others are.
  if (!Prompts_Init(args.credentials)) {
    Dictionary_Release(&config);
    return kExitFailed;
  }
  Progress_Init(2);
  Progress_SetQuiet(args.quiet);
  RepositoryRunner *runner = nullptr;
  code = kExitFailed;
  if (RepositoryRunner_Create(&runner, config, app)) {
    RepositoryRunner_SetRetryTime(runner, double(retrySeconds));
    code = RepositoryRunner_Preflight(runner, config) ? runRepository(app, runner, args, config)
                                                      : kExitFailed;
    RepositoryRunner_Stop(runner, app);
    RepositoryRunner_Release(&runner);
  }
  Dictionary_Release(&config);
  Progress_Shutdown();
  Prompts_Shutdown();
  return code;
}

int commandSync(const Arguments &args) {
  if (args.help) {
    printHelp("sync");
    return kExitDone;
  }
  if (args.positionalCount != 1)
    return usageError("keelson: %s needs one repository file", "sync");
  int64_t retrySeconds = int64_t(kRepositoryRunnerRetrySeconds);
  if (args.retryTime != nullptr) {
    retrySeconds = parseSeconds(args.retryTime);
    if (retrySeconds < 0)
      return usageError("keelson: --retry-time=%s is not a number of seconds", args.retryTime);
  }
  StartFiles files;
  int code = checkFilesBeforeStart(args, &files);
  if (code != 0) return code;
  if (Host_Start(int(args.argv.size()), args.argv.data(), nullptr,
                 args.app != nullptr ? &files.application : nullptr)) {
    printLogFile();
    code = syncWithHost(args, files, retrySeconds);
  }
  else
    code = explainStartFailure(args, files);
  setExitCode(code);
  return Host_Stop();
}

int serveWithHost(const Arguments &args, StartFiles *files, int64_t port) {
  Dictionary *config = nullptr;
  int code = readRepositoryFile(args, *files, &config);
  if (code != 0) return code;
  ServeOptions options{args.positional[0], args.credentials, args.www, int32_t(port), args.app,
                       config, files->www};
  files->www = nullptr;  // Serve_Run's now
  code = Serve_Run(&options);
  Dictionary_Release(&config);
  return code;
}

int commandServe(const Arguments &args) {
  if (args.help) {
    printHelp("serve");
    return kExitDone;
  }
  if (args.positionalCount != 1)
    return usageError("keelson: %s needs one repository file", "serve");
  int64_t port = 0;
  if (args.port != nullptr) {
    size_t digits = strspn(args.port, "0123456789");
    port = digits == strlen(args.port) && digits <= 5 ? Str_ToInt64(args.port) : -1;
    if (port < 0 || port > 65535) return usageError("keelson: --port=%s is not a port", args.port);
  }
  StartFiles files;
  int code = checkFilesBeforeStart(args, &files);
  if (code != 0) return code;
  if (Host_Start(int(args.argv.size()), args.argv.data(), nullptr,
                 args.app != nullptr ? &files.application : nullptr)) {
    printLogFile();
    code = serveWithHost(args, &files, port);
  }
  else
    code = explainStartFailure(args, files);
  setExitCode(code);
  return Host_Stop();
}

struct CommandRow {
  const char *name;
  int (*run)(const Arguments &args);
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
  if (args.version) {
    char line[64];
    Str_Printf(line, int(sizeof line), "keelson %s\n", kKeelsonVersion);
    writeOut(1, line);
    return kExitDone;
  }
  // "keelson help sync" reads as "keelson sync --help".
  const char *command = args.command;
  if (args.help && command == nullptr && args.positionalCount == 0) {
    printHelp(nullptr);
    return kExitDone;
  }
  if (command == nullptr) return usageError("keelson: %s", "no command given");
  for (const CommandRow &row : kCommands)
    if (strcmp(row.name, command) == 0) return row.run(args);
  if (args.help)
    return usageError("keelson: no help on %s: the commands are sync and serve", command);
  return usageError("keelson: unknown command %s", command);
}
