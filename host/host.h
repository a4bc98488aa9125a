// The host: the process's one start and stop order of every service, the
// application object included, for the command and for anything that runs
// the engine in-process.
//
// Invariants: Host_Start and Host_Stop pair up; after Host_Stop no thread of
// ours is left and the process may start the host again.
//
// Threads: main thread only (the thread that calls Host_Start becomes it).
#pragma once

#include <cstdint>
#include <string>

struct Dictionary;
struct WorkflowApp;

// Starts the core from the argument vector (debug options, log), then
// authentication, the developer switches ("--disablesecurity" and
// "--sslkeylogfile=PATH", honoured only in a developer build), threads,
// meters, the notification center, the registry, the platform and sockets,
// WebGet, the main queue and interop (with the page channel as the delivery
// to pages), the I/O worker, asynchronous files and sockets, the application
// object over app (NULL: the file the command line names with "--app=FILE",
// else defaults only), makes the WebGet whitelist immutable, starts the proxy
// resolver (whose script fetch uses the certificate stores, TLS settings and
// user agent the application sets) and registers the script modules (the
// core's, then the repository's). Quit signals set the host's quit flag from
// here on. 0 when the application file cannot be read or the application
// object could not be created (the services run; Host_Stop takes them down).
// appText, when given, is the --app file's text as the checks before the
// start read it: parsed instead of the file read again.
int Host_Start(int argc, const char *const *argv, Dictionary *app,
               const std::string *appText = nullptr);
// The application object of the running host, or NULL.
WorkflowApp *Host_GetApp(void);
// Takes everything down in the reverse order and returns the process exit
// code (the core's, set from the application's quit request).
int Host_Stop(void);
