// WorkflowApp: the application object. It holds the application
// configuration (defaults in code with the caller's application file merged
// over them), owns the connection pool, the challenge broker, the "alias" and
// "workflow" response stores and the analytics service for its lifetime,
// loads the configured key and thumbprint stores, and runs the main thread's
// pump.
//
// Invariants: (1) at most one WorkflowApp exists; WorkflowApp_Get names it.
// (2) the configuration holds every default key; "webGetPool.maxHosts" and
// "webGetPool.maxHostConnections" hold values above 0.
//
// Threads: main thread only.
#pragma once

#include <cstdint>

struct Dictionary;
struct WorkflowApp;

// Creates the application object over config (NULL: defaults only; the
// caller keeps its reference): the pool, the broker, the response stores,
// the user agent and TLS settings, the stores, the whitelist, analytics and
// the interop options, in that order. 0 (nothing left behind) when another
// application object exists or a configured store does not load.
int WorkflowApp_Create(WorkflowApp **app, Dictionary *config);
// Clears the authentication switch, reports the cache tally to analytics,
// releases the response stores, the pool and the broker, clears the interop
// options and shuts analytics down. Clears *app.
int WorkflowApp_Release(WorkflowApp **app);
WorkflowApp *WorkflowApp_Get(void);
// The merged configuration (not retained).
Dictionary *WorkflowApp_GetConfig(WorkflowApp *app);
// One bounded pass of the main loop: the main event queue, pending
// notification fires, the pool step, the response-store purge, analytics,
// the interop pass and the I/O worker's growth check. Returns 1.
int WorkflowApp_Pump(WorkflowApp *app);
int WorkflowApp_RequestQuit(WorkflowApp *app, int32_t exitCode);
// 1 once a quit was requested; *exitCode (may be NULL) its code.
int WorkflowApp_IsQuitRequested(WorkflowApp *app, int32_t *exitCode);

// Reads an application file into a new Dictionary (*config; the caller
// releases it): YAML for names ending ".yaml" or ".yml", JSON otherwise. 0
// (logged) when it does not parse.
int WorkflowApp_ReadConfigFile(const char *path, Dictionary **config);
// The parsed document of a JSON or YAML file as it is (*document; the caller
// releases it): a top-level list stays a list, even of one item. 0 (logged)
// when it does not parse.
int WorkflowApp_ReadDocumentFile(const char *path, Dictionary **document);
// The same for a document already read: text (length bytes) is parsed as
// the file path would be.
int WorkflowApp_ParseDocument(const char *path, const char *text, int32_t length,
                              Dictionary **document);
// The same for a document every value of which is a secret (a credentials
// file): the parsers' logs show no value and no length.
int WorkflowApp_ParseSecretDocument(const char *path, const char *text, int32_t length,
                                    Dictionary **document);
