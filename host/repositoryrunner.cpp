// The command's owner of one repository; see repositoryrunner.h.
#include "host/repositoryrunner.h"

#include "base/catalog.h"
#include "base/repository.h"
#include "base/storagefile.h"
#include "core/formats/dictionary.h"
#include "core/net/asynchttp.h"
#include "core/net/url.h"
#include "core/net/webget.h"
#include "core/platform/eventqueue.h"
#include "core/platform/notification.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"
#include "core/runtime/core.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/print.h"
#include "core/runtime/str.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/tls1.h"
#include "host/errorline.h"
#include "host/preflight.h"
#include "host/progress.h"
#include "host/prompts.h"
#include "host/usercheck.h"
#include "workflow/workflowapp.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// Retried failures of pieces from one origin with one cause, said in one
// line once the first of them is kRepositoryRunnerRetryGroupSeconds old.
struct RetryGroup {
  std::string origin;  // "http://host:port"
  std::string url;     // the first piece's URL, for a group of one
  RepositoryError error;  // the first failure; url points at url once said
  int32_t pieces;
  double first;  // tick clock
  double wait;   // the first failure's wait for its retry
};

struct RepositoryRunner {
  Repository *repository;  // owned
  double started;
  double lastPublished;
  int32_t stateChanged;
  int32_t released;  // 1 once no request is pending: the repository may go
  int32_t ending;    // a permanent error, or a retry past the retry time, was met
  RetryWindow retries;
  // The last good answer or byte, and the last failure retried since.
  double lastProgress;
  int64_t progressMark;
  int32_t retriedSinceProgress;
  RepositoryError retried;
  char retriedUrl[kErrorLineBytes];
  RepositoryRunnerState state;
  RepositoryError failure;  // the error that ended the run; url points at failureUrl
  char failureUrl[kErrorLineBytes];
  Preflight *preflight;  // owned; NULL unless RepositoryRunner_Preflight took it
  int32_t spaceChecked;
  int32_t notePrinted;  // the local metafile's note went out as a warning
  int32_t catalogUrlsChecked;  // the loaded catalog's URLs were looked at
  char refusal[kPreflightLineBytes];  // the pre-flight's reason to end, else empty
  std::vector<RetryGroup> retryGroups;  // retry lines of pieces not said yet
  // Files a range request of which was answered whole (200) once: a cache
  // still filling does so; a second time, the server ignores ranges.
  std::vector<std::string> wholeAnswers;
};

namespace {

// Once both metafiles are known and before the copy writes (it is set up
// later in the same pass), the free space must cover what the run writes;
// pausing the repository here keeps that pass from starting it.
void runnerCheckSpace(RepositoryRunner *runner, uint32_t word) {
  uint32_t known = kRepositoryStateSynchronize | kRepositoryStateLocalMetaFile |
                   kRepositoryStateRemoteMetaFile;
  if (runner->preflight == nullptr || runner->spaceChecked || (word & known) != known) return;
  runner->spaceChecked = 1;
  if (Preflight_CheckSpace(runner->preflight, runner->repository, runner->refusal,
                           int(sizeof runner->refusal)))
    return;
  runner->ending = 1;
  Repository_SetActive(runner->repository, 0);
}

// One URL of a signed catalog without its scheme: the engine reads it as
// http, as published catalogs install today, with one warning; a relative
// one reads as a host named "..", so its warning says what a URL there is.
void runnerWarnCatalogUrl(RepositoryRunner *runner, const char *id, const char *member,
                          const char *url) {
  if (url == nullptr || url[0] == '\0' || strstr(url, "://") != nullptr) return;
  size_t host = strcspn(url, "/");
  bool relative = host == 0 || (host == 1 && url[0] == '.') ||
                  (host == 2 && url[0] == '.' && url[1] == '.');
  char line[kErrorLineBytes];
  if (relative)
    Str_Printf(line, int(sizeof line),
               "keelson: warning: %s: catalog %s: \"%s\": \"%s\" is a relative URL; URLs in "
               "signed documents are absolute (http://host/path): the publisher must write it "
               "whole", runner->repository->name, id, member, url);
  else
    Str_Printf(line, int(sizeof line),
               "keelson: warning: %s: catalog %s: \"%s\": \"%s\" has no scheme; read as "
               "http://%s (the publisher should write the scheme)", runner->repository->name,
               id, member, url, url);
  Progress_PrintLine(line);
}

void runnerCheckCatalogUrls(RepositoryRunner *runner, uint32_t flags) {
  Catalog *catalog = runner->repository->catalog;
  Dictionary *entry = nullptr, *config = nullptr, *remote = nullptr;
  if (runner->catalogUrlsChecked || !(flags & kRepositoryStateCatalog) ||
      !Catalog_GetEntry(catalog, &entry) || entry == nullptr)
    return;
  runner->catalogUrlsChecked = 1;
  char id[kCatalogIdBytes] = "";
  Catalog_GetId(catalog, id);
  const char *url = nullptr;
  if (Dictionary_GetStringPointerByKey(entry, "metafile", &url))
    runnerWarnCatalogUrl(runner, id, "metafile", url);
  if (!Catalog_GetConfig(catalog, &config) || config == nullptr) return;
  // "remote": one storage or a list of them.
  Dictionary *one = nullptr;
  if (Dictionary_GetDictionaryByKey(config, "remote", &one) && one != nullptr) {
    for (const char *key : {"baseUrl", "url"})
      if (Dictionary_GetStringPointerByKey(one, key, &url))
        runnerWarnCatalogUrl(runner, id, key, url);
  } else if (Dictionary_GetListByKey(config, "remote", &remote) && remote != nullptr) {
    int32_t count = 0;
    Dictionary_GetCount(remote, &count);
    for (int32_t i = 0; i < count; i++) {
      if (!Dictionary_GetDictionaryByIndex(remote, i, &one) || one == nullptr) continue;
      for (const char *key : {"baseUrl", "url"})
        if (Dictionary_GetStringPointerByKey(one, key, &url))
          runnerWarnCatalogUrl(runner, id, key, url);
    }
  }
}

// The retry line of one group: today's line of its one piece, or the count
// of pieces from its origin.
void runnerSayGroup(RepositoryRunner *runner, RetryGroup &group) {
  char line[kErrorLineBytes];
  group.error.url = group.url.c_str();
  if (group.pieces == 1) {
    ErrorLine_DescribeRepository(runner->repository, &group.error, nullptr, line,
                                 int(sizeof line));
  } else {
    char cause[kErrorLineBytes];
    int proxy = ErrorLine_ProxyCause(&group.error, cause, int(sizeof cause));
    if (!proxy) ErrorLine_Hint(&group.error, nullptr, cause, int(sizeof cause));
    Str_Printf(line, int(sizeof line), proxy ? "keelson: %s: %d pieces from %s (%s) (%d)"
                                             : "keelson: %s: %d pieces from %s: %s (%d)",
               runner->repository->name, group.pieces, group.origin.c_str(), cause,
               group.error.code);
  }
  Str_AppendPrintf(line, int(sizeof line), "; retrying in %.0f s", group.wait);
  Progress_PrintLine(line);
}

// Says the groups whose time is up (every group when all is true).
void runnerSayGroups(RepositoryRunner *runner, double now, bool all) {
  auto &groups = runner->retryGroups;
  size_t kept = 0;
  for (size_t i = 0; i < groups.size(); i++) {
    if (all || now - groups[i].first >= kRepositoryRunnerRetryGroupSeconds)
      runnerSayGroup(runner, groups[i]);
    else if (kept++ != i)
      groups[kept - 1] = std::move(groups[i]);
  }
  groups.resize(kept);
}

// A piece's retried failure joins the open group of its origin and cause,
// or opens one.
void runnerGroupRetry(RepositoryRunner *runner, const RepositoryError *error, double now,
                      double wait) {
  char clean[kErrorLineBytes], scheme[32] = {}, host[kErrorLineBytes] = {};
  ErrorLine_CleanUrl(error->url != nullptr ? error->url : "", clean, int(sizeof clean));
  Url_GetScheme(clean, scheme, int(sizeof scheme));
  Url_GetHostWithPort(clean, host, int(sizeof host));
  std::string origin = std::string(scheme) + "://" + host;
  for (RetryGroup &group : runner->retryGroups) {
    if (group.origin == origin && group.error.code == error->code &&
        group.error.codeEx == error->codeEx) {
      group.pieces++;
      return;
    }
  }
  RetryGroup group{origin, error->url != nullptr ? error->url : "", *error, 1, now, wait};
  runner->retryGroups.push_back(std::move(group));
}

void runnerOnState(Repository *, void *context, uint32_t, uint32_t word) {
  auto *runner = static_cast<RepositoryRunner *>(context);
  runner->stateChanged = 1;
  runnerCheckSpace(runner, word);
}

// Later failures still reach the record; the one that ended the run is
// kept, its URL with it.
void runnerEnd(RepositoryRunner *runner, const RepositoryError *error) {
  runner->ending = 1;
  runner->failure = *error;
  Str_Copy(runner->failureUrl, error->url != nullptr ? error->url : "", kErrorLineBytes);
  runner->failure.url = runner->failureUrl;
}

// Every failure the policy answers with a retry the item's retry window
// admits gets its line; a permanent one, or a retry past the window, ends
// the run, and the failure line the command prints then is its last word. A delta the policy replaces by the whole
// piece is no retry: the piece comes instead.
void runnerOnError(Repository *r, void *context, const RepositoryError *error) {
  auto *runner = static_cast<RepositoryRunner *>(context);
  if (error->decision == kStorageResponseContinue || error->delta || runner->ending ||
      runner->state != RepositoryRunnerState::Running)
    return;
  bool firstWhole = false;
  if (error->code == kWebGetErrorRangeNotSupported && error->url != nullptr &&
      error->source == kRepositorySourceStorageRemote) {
    auto &seen = runner->wholeAnswers;
    firstWhole = std::find(seen.begin(), seen.end(), error->url) == seen.end();
    if (firstWhole) seen.emplace_back(error->url);
  }
  if (!firstWhole && RepositoryRunner_IsPermanent(error)) {
    runnerEnd(runner, error);
    return;
  }
  // A piece's first digest failure is asked for again at once, no retry.
  if (error->source == kRepositorySourceStorageRemote && error->code == kWebGetErrorHashFailure)
    return;
  double now = Platform_GetTickSeconds();
  // Past its window, or after the retry time without a byte or a whole
  // piece, the failure is the run's last.
  if (!RetryWindow_Admits(&runner->retries, error, now) ||
      now - runner->lastProgress > runner->retries.seconds) {
    runnerEnd(runner, error);
    return;
  }
  runner->retriedSinceProgress = 1;
  runner->stateChanged = 1;  // a page learns of the retry at once
  runner->retried = *error;
  Str_Copy(runner->retriedUrl, error->url != nullptr ? error->url : "", kErrorLineBytes);
  runner->retried.url = runner->retriedUrl;
  double wait = error->retryAt - now;
  wait = wait > 0 ? wait : 0.0;
  Progress_NoteRetry(error->retryAt);
  // The pieces a server gone fails in one round make one line a cause.
  if (error->source == kRepositorySourceStorageRemote && error->url != nullptr &&
      error->url[0] != '\0') {
    runnerGroupRetry(runner, error, now, wait);
    return;
  }
  char line[kErrorLineBytes];
  ErrorLine_DescribeRepository(r, error, nullptr, line, int(sizeof line));
  Str_AppendPrintf(line, int(sizeof line), "; retrying in %.0f s", wait);
  Progress_PrintLine(line);
}

// The status a page reads. The run's end is the runner's word, not the
// repository's (which would go on retrying): the status that says it has the
// alive flag and the phases' actions cleared, "result" "done" or "failed",
// and a failure's own code and words. While the run goes on, a failure that
// will be retried shows as "retrying", not as the repository's stall.
void runnerPublish(RepositoryRunner *runner, RepositoryRunnerState state) {
  Dictionary *status = nullptr;
  Dictionary_Create(&status);
  Repository_GetStatus(runner->repository, status);
  int64_t flags = 0, actions = 0;
  Dictionary_GetInt64ByKey(status, "stateFlags", &flags);
  Dictionary_GetInt64ByKey(status, "actionFlags", &actions);
  if (state == RepositoryRunnerState::Running) {
    Dictionary_SetInt32ByKey(status, "stateFlags",
                             int32_t(flags & ~int64_t(kRepositoryStateStalled)));
  } else {
    Dictionary_SetInt32ByKey(status, "stateFlags",
                             int32_t(flags & ~int64_t(kRepositoryStateAlive)));
    Dictionary_SetInt32ByKey(status, "actionFlags",
                             int32_t(actions & ~int64_t(kRepositoryActionSynchronize |
                                                        kRepositoryActionRefresh)));
    bool failed = state == RepositoryRunnerState::Failed;
    Dictionary_SetStringByKey(status, "result", failed ? "failed" : "done");
    RepositoryError failure{};
    if (failed && RepositoryRunner_GetFailure(runner, &failure)) {
      Dictionary_SetInt32ByKey(status, "lastErrorCode", failure.code);
      Dictionary_SetInt32ByKey(status, "lastErrorCodeEx", failure.codeEx);
    }
  }
  // The last error's words beside its code, for a page to show.
  int64_t code = 0, codeEx = 0;
  if (Dictionary_GetInt64ByKey(status, "lastErrorCode", &code) && code != 0) {
    Dictionary_GetInt64ByKey(status, "lastErrorCodeEx", &codeEx);
    char words[kErrorLineBytes];
    ErrorLine_Cause(int32_t(code), int32_t(codeEx), words, int(sizeof words));
    Dictionary_SetStringByKey(status, "lastErrorText", words);
  }
  // Bytes fetched and pieces found or written whole: the run goes on.
  Dictionary *copy = nullptr;
  int64_t complete = 0;
  if (Dictionary_GetDictionaryByKey(status, "copy", &copy) && copy != nullptr)
    Dictionary_GetInt64ByKey(copy, "bytesComplete", &complete);
  int64_t mark = Progress_GetFetched(status) + complete;
  if (mark != runner->progressMark) {
    runner->progressMark = mark;
    runner->lastProgress = Platform_GetTickSeconds();
    runner->retriedSinceProgress = 0;
  }
  if (state == RepositoryRunnerState::Running && runner->retriedSinceProgress)
    Dictionary_SetBooleanByKey(status, "retrying", 1);
  NotificationCenter_Fire("Repository", "Status", runner->repository->header.instanceId, status);
  Dictionary_Release(&status);
  runner->lastPublished = Platform_GetTickSeconds();
  runner->stateChanged = 0;
}

RepositoryRunnerState runnerEvaluate(RepositoryRunner *runner) {
  Repository *r = runner->repository;
  int32_t source = 0;
  Repository_GetLastError(r, &source, nullptr, nullptr, nullptr, nullptr);
  uint32_t state = Repository_GetStateFlags(r);
  // The record starts empty with the runner, so any configuration error in
  // it belongs to this run. The stall bit is not read: it appears while a
  // retry of the policy is still due.
  if (source == kRepositorySourceConfig || runner->ending) return RepositoryRunnerState::Failed;
  uint32_t phases = kRepositoryActionSynchronize | kRepositoryActionRefresh;
  if (!(Repository_GetActionFlags(r) & phases) && !(state & kRepositoryStateAlive))
    return RepositoryRunnerState::Done;
  return RepositoryRunnerState::Running;
}

}  // namespace

int RetryWindow_Admits(RetryWindow *window, const RepositoryError *error, double now) {
  CHECK_POINTER(window);
  CHECK_POINTER(error);
  uint64_t item = uint64_t(uint32_t(error->source)) << 32 | uint32_t(error->index);
  double &waited = window->waited[item];
  waited += error->retryAt > now ? error->retryAt - now : 0;
  return waited <= window->seconds;
}

int RepositoryRunner_IsFileInThePath(const RepositoryError *error) {
  CHECK_POINTER(error);
  bool local = error->source == kRepositorySourceStorageLocal ||
               error->source == kRepositorySourceStoragePending;
  return local && error->code == kWebGetErrorOs && (error->codeEx == 80 || error->codeEx == 183);
}

int RepositoryRunner_IsPermanent(const RepositoryError *error) {
  CHECK_POINTER(error);
  int32_t code = error->code, codeEx = error->codeEx, source = error->source;
  if (source == kRepositorySourceConfig) return 1;
  // An error page past its bound is its status still; a success past its
  // bound comes so again.
  if (code == kWebGetErrorSizeLimit && codeEx == kWebGetSizeLimitRaw) {
    int32_t status = error->cause.body.status;
    if (status < 300 || status > 599) return 1;
    code = status;
    codeEx = 0;
  }
  bool document = source == kRepositorySourceAlias || source == kRepositorySourceCatalog ||
                  source == kRepositorySourceMetaFileRemote;
  if (code >= 400 && code <= 499 && code != 408 && code != 429) {
    // A local or pending storage's 404 is its answer to Exists, and a
    // delta the policy replaces by the whole piece is not the piece.
    bool piece = source == kRepositorySourceStorageRemote && !error->delta;
    if (document || piece) return 1;
  }
  // A signed document refused for what it holds holds it again when asked,
  // and one over its size limit is as large again.
  if (document && (code == kWebGetErrorInvalidContent || code == kWebGetErrorSizeLimit)) return 1;
  // A piece that failed its digest again was asked for once more already.
  if (source == kRepositorySourceStorageRemote && code == kWebGetErrorHashFailure &&
      error->count >= 1)
    return 1;
  // Nobody can answer a password prompt the credentials file did not.
  if (code == kWebGetErrorValidation || code == kWebGetErrorRangeNotSupported ||
      code == kWebGetErrorAuthRequestCancel)
    return 1;
  if (code == kWebGetErrorBlockedRedirect || code == kWebGetErrorRedirectLoopDetected ||
      code == kWebGetErrorRedirectLimit || code == kWebGetErrorRedirectHeaderNotFound)
    return 1;
  // A catalog of another version was asked for past caches already.
  if (code == kWebGetErrorInvalidContent && codeEx == kCatalogOtherVersion &&
      source == kRepositorySourceCatalog)
    return 1;
  // A server that codes what it serves whatever is asked does so again.
  if (code == kWebGetErrorContentEncoding && codeEx > 0) return 1;
  // So does one whose answer breaks the bounds of what it may bring.
  if ((code == kWebGetErrorCompression && codeEx == kWebGetCompressionNoOutput) ||
      (code == kWebGetErrorChunked && codeEx == kWebGetChunkedTrailerLimit))
    return 1;
  if (code == kWebGetErrorJson &&
      (codeEx == 9 || codeEx == 10 || codeEx == 12 ||
       codeEx == int32_t(kAsyncHttpCorruptDocument)))
    return 1;
  TlsFailure tls{};
  if (WebGetCause_FindTls(&error->cause, code, codeEx, &tls) && Tls_IsLastingFailure(&tls))
    return 1;
  // A server that refused a handshake without a client certificate refuses
  // the next one too.
  if (code == kWebGetErrorTls1 && error->cause.declinedCertificate[0] != '\0') return 1;
  if (code == kWebGetErrorOs) {
    PlatformErrorKind kind = Platform_GetErrorKind(codeEx);
    if (kind == PlatformErrorKind::AccessDenied || kind == PlatformErrorKind::NotEnoughSpace)
      return 1;
    if (RepositoryRunner_IsFileInThePath(error)) return 1;
    if (RepositoryRunner_IsVolumeRefusal(error)) return 1;
  }
  return 0;
}

int RepositoryRunner_IsVolumeRefusal(const RepositoryError *error) {
  CHECK_POINTER(error);
  bool local = error->source == kRepositorySourceStorageLocal ||
               error->source == kRepositorySourceStoragePending;
  return local && error->code == kWebGetErrorOs &&
         (error->codeEx == kPlatformErrorInvalidParameter ||
          error->codeEx == kPlatformErrorCallNotImplemented);
}

int RepositoryRunner_Create(RepositoryRunner **runner, Dictionary *config, WorkflowApp *app) {
  CHECK_POINTER(runner);
  CHECK_POINTER(config);
  CHECK_POINTER(app);
  *runner = nullptr;
  char refusal[kPreflightLineBytes];
  if (!Preflight_ResolvePaths(config, refusal, int(sizeof refusal))) {
    Progress_PrintLine(refusal);
    return 0;
  }
  Repository *r = nullptr;
  Repository_Create(&r);
  if (!Repository_SetConfiguration(r, config)) {
    Repository_Destroy(&r);
    return 0;
  }
  Repository_SetLimits(r, WorkflowApp_GetConfig(app));
  Repository_SetEventQueue(r, EventQueue_GetMain());
  CertStore *store = UserCheck_GetCertStore(config);
  Repository_SetCertStore(r, store);
  CertStore_Release(&store);

  auto *made = new (Mem_Alloc(sizeof(RepositoryRunner), 0, KSRC)) RepositoryRunner{};
  made->repository = r;
  made->started = Platform_GetTickSeconds();
  made->lastProgress = made->started;
  made->progressMark = -1;
  made->stateChanged = 1;
  Repository_SetStateCallback(r, made, runnerOnState);
  Repository_SetErrorCallback(r, made, runnerOnError);
  Repository_SetRefresh(r, 1);
  Repository_SetSynchronize(r, 1);
  Repository_SetActive(r, 1);
  *runner = made;
  return 1;
}

RepositoryRunnerState RepositoryRunner_Step(RepositoryRunner *runner) {
  CHECK_POINTER(runner);
  if (runner->state != RepositoryRunnerState::Running) return runner->state;
  Repository_Process(runner->repository);
  RepositoryRunnerState state = runnerEvaluate(runner);
  // A local metafile not believed is said once; one that could not be
  // removed ends the run, and the note is then its failure line.
  const char *note = Repository_GetLocalMetaFileNote(runner->repository);
  int32_t source = 0;
  Repository_GetLastError(runner->repository, &source, nullptr, nullptr, nullptr, nullptr);
  bool refused = state == RepositoryRunnerState::Failed && source == kRepositorySourceConfig;
  if (note[0] != '\0' && !runner->notePrinted && !refused) {
    runner->notePrinted = 1;
    char line[kErrorLineBytes];
    Str_Printf(line, int(sizeof line), "keelson: warning: %s: %s", runner->repository->name,
               note);
    Progress_PrintLine(line);
  }
  uint32_t flags = Repository_GetStateFlags(runner->repository);
  runnerCheckCatalogUrls(runner, flags);
  double now = Platform_GetTickSeconds();
  bool phaseRuns = (flags & (kRepositoryStateRefresh | kRepositoryStateSynchronize)) != 0;
  if (runner->stateChanged || state != RepositoryRunnerState::Running ||
      (phaseRuns && now - runner->lastPublished >= kRepositoryRunnerStatusSeconds))
    runnerPublish(runner, state);
  // Retries that bring nothing for the retry time end the run, with the
  // last failure retried as its line (and a page its end).
  if (state == RepositoryRunnerState::Running && runner->retriedSinceProgress &&
      !runner->ending && now - runner->lastProgress > runner->retries.seconds) {
    runnerEnd(runner, &runner->retried);
    state = RepositoryRunnerState::Failed;
    runnerPublish(runner, state);
  }
  runnerSayGroups(runner, now, state != RepositoryRunnerState::Running);
  runner->state = state;
  return state;
}

int RepositoryRunner_Preflight(RepositoryRunner *runner, Dictionary *config) {
  CHECK_POINTER(runner);
  CHECK_POINTER(config);
  if (runner->preflight != nullptr) return 1;
  if (!Preflight_Begin(config, &runner->preflight, runner->refusal,
                       int(sizeof runner->refusal))) {
    Progress_PrintLine(runner->refusal);
    return 0;
  }
  // The run works in the directories opened and judged here.
  RootDirectory *installation = nullptr, *metafileDirectory = nullptr;
  Preflight_GetDirectories(runner->preflight, &installation, &metafileDirectory);
  if (Repository_SetDirectories(runner->repository, installation, metafileDirectory)) return 1;
  Str_Printf(runner->refusal, int(sizeof runner->refusal),
             "keelson: %s: the installation directory cannot be opened again (error %d)",
             runner->repository->name, Platform_GetLastError());
  Progress_PrintLine(runner->refusal);
  return 0;
}

int RepositoryRunner_PrintFailure(RepositoryRunner *runner) {
  CHECK_POINTER(runner);
  if (runner->refusal[0] == '\0') return 0;
  Progress_PrintLine(runner->refusal);
  return 1;
}

int RepositoryRunner_PrintFailureLine(RepositoryRunner *runner, Dictionary *config,
                                      const char *appFile) {
  CHECK_POINTER(runner);
  CHECK_POINTER(config);
  if (RepositoryRunner_PrintFailure(runner)) return 1;
  RepositoryError error{};
  if (!RepositoryRunner_GetFailure(runner, &error)) {
    Repository_GetLastError(runner->repository, &error.source, &error.index, &error.type,
                            &error.code, &error.codeEx);
    error.url = "";
  }
  const char *note = Repository_GetLocalMetaFileNote(runner->repository);
  if (error.source == kRepositorySourceConfig && note[0] != '\0' && !runner->notePrinted) {
    char line[kErrorLineBytes];
    Str_Printf(line, int(sizeof line), "keelson: %s: %s", runner->repository->name, note);
    Progress_PrintLine(line);
    return 1;
  }
  // A local file refused because it is not this run's: the storage's own
  // line names it and says what to do.
  void *local = nullptr;
  char refusal[kErrorLineBytes - 64];
  if (error.source == kRepositorySourceStorageLocal &&
      runner->repository->local->driver == &kStorageFileDriver &&
      Storage_GetDriverContext(runner->repository->local, &local) &&
      StorageFile_GetRefusal(local, refusal, int32_t(sizeof refusal))) {
    char line[kErrorLineBytes];
    Str_Printf(line, int(sizeof line), "keelson: %s: %s", runner->repository->name, refusal);
    Progress_PrintLine(line);
    return 1;
  }
  char filter[kPromptsFilterBytes], host[kPromptsHostBytes], realm[kPromptsHostBytes] = {};
  char prompt[kPromptsFilterBytes + kPromptsHostBytes + 2] = {};
  int32_t refused = 0;
  if (Prompts_GetLastCancel(filter, host)) {
    Str_Printf(prompt, int(sizeof prompt), "%s %s", filter, host);
    Prompts_GetLastCancelRealm(realm, &refused);
  }
  // The pins of the store that checks servers, should one be at fault.
  const char *pinStore = nullptr;
  Dictionary *settings = runner->repository->settings, *pins = nullptr;
  if (settings == nullptr || !Dictionary_GetStringPointerByPath(settings, "webGet.certStore",
                                                                &pinStore))
    pinStore = "app";
  char pinPath[kErrorLineBytes];
  Str_Printf(pinPath, int(sizeof pinPath), "thumbprintStores.%s", pinStore);
  int32_t pinCount = 0;
  if (settings != nullptr && Dictionary_GetContainerByPath(settings, pinPath, &pins) &&
      pins != nullptr)
    Dictionary_GetCount(pins, &pinCount);
  ErrorLineFacts facts{UserCheck_GetCertStoreName(config), appFile, nullptr,
                       prompt[0] != '\0' ? prompt : nullptr, nullptr, realm, refused,
                       pinStore, pinCount};
  char line[kErrorLineBytes];
  ErrorLine_DescribeRepository(runner->repository, &error, &facts, line, int(sizeof line));
  Progress_PrintLine(line);
  return 1;
}

int RepositoryRunner_SetRetryTime(RepositoryRunner *runner, double seconds) {
  CHECK_POINTER(runner);
  runner->retries.seconds = seconds > 0 ? seconds : 0;
  return 1;
}

int RepositoryRunner_GetFailure(RepositoryRunner *runner, RepositoryError *error) {
  CHECK_POINTER(runner);
  CHECK_POINTER(error);
  if (!runner->ending) return 0;
  *error = runner->failure;
  return 1;
}

int RepositoryRunner_GetLastError(RepositoryRunner *runner, int32_t *source, int32_t *code,
                                  int32_t *codeEx) {
  CHECK_POINTER(runner);
  CHECK_POINTER(source);
  CHECK_POINTER(code);
  CHECK_POINTER(codeEx);
  if (!runner->ending)
    return Repository_GetLastError(runner->repository, source, nullptr, nullptr, code, codeEx);
  *source = runner->failure.source;
  *code = runner->failure.code;
  *codeEx = runner->failure.codeEx;
  return 1;
}

Repository *RepositoryRunner_GetRepository(RepositoryRunner *runner) {
  CHECK_POINTER(runner);
  return runner->repository;
}

double RepositoryRunner_GetElapsed(RepositoryRunner *runner) {
  CHECK_POINTER(runner);
  return Platform_GetTickSeconds() - runner->started;
}

int RepositoryRunner_Stop(RepositoryRunner *runner, WorkflowApp *app) {
  CHECK_POINTER(runner);
  Repository *r = runner->repository;
  Repository_Cancel(r);
  double deadline = Platform_GetTickSeconds() + kRepositoryRunnerStopSeconds;
  for (;;) {
    int32_t pending = 0;
    Repository_GetPendingRequests(r, &pending);
    if (pending == 0) {
      runner->released = 1;
      return 1;
    }
    if (Platform_GetTickSeconds() >= deadline) {
      Log_Print(LOG_ERROR, KSRC, 0,
                "Repository %s: %d storage requests still pending after %.0f s; left unreleased\n",
                r->name, pending, kRepositoryRunnerStopSeconds);
      return 0;
    }
    if (app != nullptr) WorkflowApp_Pump(app);
    Repository_Process(r);
    Thread_Yield();
  }
}

int RepositoryRunner_Release(RepositoryRunner **runner) {
  CHECK_POINTER(runner);
  RepositoryRunner *gone = *runner;
  if (gone == nullptr) return 1;
  *runner = nullptr;
  Repository_SetStateCallback(gone->repository, nullptr, nullptr);
  Repository_SetErrorCallback(gone->repository, nullptr, nullptr);
  if (gone->released) Repository_Destroy(&gone->repository);
  Preflight_Release(&gone->preflight);
  gone->~RepositoryRunner();
  Mem_Free(gone, sizeof(RepositoryRunner), KSRC);
  return 1;
}
