// RepositoryRunner: the least owner of one Repository, for the command. It
// configures the repository from a repository file, asks for Refresh and
// Synchronize together, pumps it from the main loop, publishes its status as
// "Repository"/"Status" notifications and decides when the run is over and
// whether it failed. Each retry the error policy schedules gets one line on
// the progress output (host/errorline.h).
//
// Invariants: (1) Synchronize is requested with Refresh even when the local
// and the remote id agree: its first stage checks every piece, so a run also
// repairs a damaged installation. (2) the run is finished when actions 1 and
// 2 are clear and the repository is no longer alive (state 0x8); it failed
// when the configuration error was recorded during the run, at the first
// permanent error (RepositoryRunner_IsPermanent), or at the first retry the
// policy schedules past the retry time counted from the first failure of the
// same item (a document, or one piece of one storage) in this run.
// The stall bit (0x4) is not read: the policy's retries decide. (3) the
// repository is released only once no storage request is pending; past the
// stop's limit it is left unreleased (releasing a request in use would stop
// the program).
//
// Threads: main thread only (the repository's owner thread).
#pragma once

#include <cstdint>
#include <unordered_map>

struct Dictionary;
struct Repository;
struct RepositoryError;
struct RepositoryRunner;
struct WorkflowApp;

// Status is published at most this often while a phase runs, and on every
// state change.
constexpr double kRepositoryRunnerStatusSeconds = 0.5;
// How long a stop waits for the pending storage requests to end.
constexpr double kRepositoryRunnerStopSeconds = 10.0;
// Pieces' retried failures of one origin and cause within this time of the
// first make one retry line.
constexpr double kRepositoryRunnerRetryGroupSeconds = 1.0;
// Retries of an item are let run while they fall due this long after its
// first failure.
constexpr double kRepositoryRunnerRetrySeconds = 120.0;

// The retry time of one run: an item (the error's source and index: a
// document, or one piece of one storage) may be retried while the delays of
// its retries in the run add up to at most seconds. The time it then spends
// waiting for a free request slot, or being transferred, does not count.
// The run as a whole ends when for seconds no good answer and no byte has
// come (RepositoryRunner_Step).
struct RetryWindow {
  double seconds = kRepositoryRunnerRetrySeconds;
  std::unordered_map<uint64_t, double> waited;  // item -> its retry delays' sum
};
// Notes error's failure at now: 1 when its retry, due at error->retryAt,
// keeps the item's delays within the window; 0 when it does not, and the
// run ends without that retry.
int RetryWindow_Admits(RetryWindow *window, const RepositoryError *error, double now);

enum class RepositoryRunnerState : int32_t { Running = 0, Done = 1, Failed = 2 };

// A runner over a new repository configured from config (the repository
// file's Dictionary; the store of signed documents as UserCheck_GetCertStore
// finds it), with app's configuration as the limits and the main queue as
// its queue, Refresh, Synchronize and active requested. config's relative
// paths are made absolute first (Preflight_ResolvePaths). 0 (*runner NULL)
// when config lacks "repository" (the configuration error logged) or a path
// cannot be resolved (the line written on the progress output).
int RepositoryRunner_Create(RepositoryRunner **runner, Dictionary *config, WorkflowApp *app);
// One pass: the repository's pump, the status publication and the end test.
// Returns the state after the pass.
RepositoryRunnerState RepositoryRunner_Step(RepositoryRunner *runner);
// Retries of an item may fall due up to seconds after its first failure
// (0: the first transient failure ends the run, without a retry line). A
// failed delta that the policy replaces by the whole piece is no retry.
// Returns 1.
int RepositoryRunner_SetRetryTime(RepositoryRunner *runner, double seconds);
// The checks before the run writes (host/preflight.h): the installation
// directory may be written and no other sync holds it (the lock is kept
// until the runner is released); once both metafiles are known, before the
// copy starts, the free space must cover what the run writes, else the run
// fails with that line. 1; 0 with the refusal written on the progress
// output.
int RepositoryRunner_Preflight(RepositoryRunner *runner, Dictionary *config);
// Writes the runner's own reason the run failed (the space check) on the
// progress output: 1; 0 when the repository's error ended it.
int RepositoryRunner_PrintFailure(RepositoryRunner *runner);
// The one line of the failure that ended the run on the progress output:
// the runner's own reason, else what, where and why with the hint that
// names the key or file to change (config's certStore, the application
// file appFile, which may be NULL, and the password prompt nobody
// answered). Returns 1.
int RepositoryRunner_PrintFailureLine(RepositoryRunner *runner, Dictionary *config,
                                      const char *appFile);
// 1 when retrying error cannot help: a configuration error; an HTTP 4xx but
// 408 and 429 for a document or a whole piece (not for a delta the policy
// replaces by the piece, nor a local or pending storage's 404); a document
// refused for what it holds (976); a piece that failed its digest (979) a
// second time; a host not
// whitelisted (963); byte ranges ignored (978); a password prompt that
// went unanswered (972); a redirect refused, looping, past the limit or
// without a usable Location (957, 984, 985, 983); a signature that does not verify (987 with 9 or
// 10); a TLS failure its cause calls lasting (Tls_IsLastingFailure:
// a certificate that does not verify or names another host, a handshake the
// server refused for good); access denied, a read-only file system, a full
// disk or a file where a storage's path needs a directory (964). Anything
// else is worth its retry.
int RepositoryRunner_IsPermanent(const RepositoryError *error);
// 1 when the local or pending storage's file system refused an operation
// by its own rules (EINVAL: a name it does not take; ENOSYS: an operation
// it lacks): asking again meets the same rule.
int RepositoryRunner_IsVolumeRefusal(const RepositoryError *error);
// 1 when a local or pending storage's write met a file where its path
// needs a directory (964 with "file exists").
int RepositoryRunner_IsFileInThePath(const RepositoryError *error);
// The failure that ended the run (its url valid until the runner is
// released) into *error: 1, or 0 when no error of the policy ended it (a
// configuration error, or none).
int RepositoryRunner_GetFailure(RepositoryRunner *runner, RepositoryError *error);
// The error that ended the run, else the repository's last recorded one.
// Returns 1.
int RepositoryRunner_GetLastError(RepositoryRunner *runner, int32_t *source, int32_t *code,
                                  int32_t *codeEx);
Repository *RepositoryRunner_GetRepository(RepositoryRunner *runner);
// Seconds since the runner was created.
double RepositoryRunner_GetElapsed(RepositoryRunner *runner);
// Cancels the repository and pumps (the application's pump and the
// repository's) until no storage request is pending, for at most
// kRepositoryRunnerStopSeconds. 1 when none is pending; 0 (logged) past the
// limit.
int RepositoryRunner_Stop(RepositoryRunner *runner, WorkflowApp *app);
// Releases the repository when a stop reached no pending request, else
// leaves it (logged), and frees the runner. Clears *runner.
int RepositoryRunner_Release(RepositoryRunner **runner);
