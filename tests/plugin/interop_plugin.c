/* Interop plug-ins as a third party would build them: plain C11 on
 * core/bridge/interop_plugin.h, hidden visibility with the five exports
 * visible. One source, four libraries (the build picks one with a define):
 *   INTEROP_PLUGIN_FULL         serves "Test.Echo" and journals its calls;
 *   INTEROP_PLUGIN_NO_UNLOAD    the same without Interop_Unload;
 *   INTEROP_PLUGIN_SLOW_UNLOAD  its Unload waits for the file named by the
 *                               option "releaseFile" (at most 20 s);
 *   INTEROP_PLUGIN_NEEDS_HOST   refers to the host's Dictionary_Create by
 *                               name, which the host does not export.
 * The journal (overrides, "Load", "name=value" options, "Unload <thread id>")
 * goes to the file named by the option "logFile", from the start once that
 * option arrives. Loading runs a constructor that appends the library's name
 * to the file named by $KEELSON_INTEROP_PLUGIN_MARKER, when set. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "core/bridge/interop_plugin.h"

#if defined(INTEROP_PLUGIN_FULL)
#define PLUGIN_NAME "full"
#elif defined(INTEROP_PLUGIN_NO_UNLOAD)
#define PLUGIN_NAME "no_unload"
#elif defined(INTEROP_PLUGIN_SLOW_UNLOAD)
#define PLUGIN_NAME "slow_unload"
#elif defined(INTEROP_PLUGIN_NEEDS_HOST)
#define PLUGIN_NAME "needs_host"
#else
#error "which plug-in?"
#endif

static char journal[8192];
static char logFile[1024];
static char releaseFile[1024];
static InteropHostDictionaryCreate dictionaryCreate;
static InteropHostDictionaryRelease dictionaryRelease;
static InteropHostNotificationCenterFireWithJSON fireWithJSON;

static void append(const char *path, const char *text) {
  FILE *file = fopen(path, "a");
  if (file == NULL) return;
  fputs(text, file);
  fclose(file);
}

/* One line of the journal: kept until the log file is known, then written. */
static void note(const char *line) {
  if (logFile[0] == '\0') {
    strncat(journal, line, sizeof journal - strlen(journal) - 2);
    strcat(journal, "\n");
    return;
  }
  char text[1100];
  snprintf(text, sizeof text, "%s\n", line);
  append(logFile, text);
}

__attribute__((constructor)) static void pluginLoaded(void) {
  const char *marker = getenv("KEELSON_INTEROP_PLUGIN_MARKER");
  if (marker != NULL) append(marker, PLUGIN_NAME "\n");
}

typedef struct Echo {
  int calls;
} Echo;

static int echoInvoke(void *object, Dictionary *request, Dictionary *result) {
  const DictionaryInterface *t = ((const DictionaryObjectHeader *)(const void *)request)->table;
  char text[256];
  if (!t->GetStringByKey(request, "text", text, (int32_t)sizeof text)) return 0; /* slot 24 */
  ((Echo *)object)->calls++;
  Dictionary *scratch = NULL;
  if (!dictionaryCreate(&scratch)) return 0;
  t->SetStringByKey(scratch, "text", text);
  dictionaryRelease((void **)&scratch);
  if (scratch != NULL) return 0;
  fireWithJSON("Test", "Echo", "Global", "{\"text\":\"%s\"}", text);
  return t->SetStringByKey(result, "returnValue", text); /* slot 23 */
}

static int32_t echoRelease(void **object) {
  free(*object);
  *object = NULL;
  return 0;
}

int Interop_CreateInstance(const char *className, char *id, int32_t idSize, void *userContext,
                           InteropPluginDeliveryFunction delivery,
                           InteropPluginInvokeFunction *invoke,
                           InteropPluginReleaseFunction *release,
                           InteropPluginProcessFunction *process, void **object) {
  (void)id;
  (void)idSize;
  (void)userContext;
  (void)delivery;
  if (strcmp(className, "Test.Echo") != 0) return 0;
  Echo *echo = calloc(1, sizeof *echo);
  if (echo == NULL) return 0;
  *invoke = echoInvoke;
  *release = echoRelease;
  *process = NULL;
  *object = echo;
  return 1;
}

int Interop_SetOverride(const char *name, void *function) {
  if (strcmp(name, "Debug_Print") == 0) {
    /* The first host function: a registration begins, the journal with it
     * (a mapping that stayed loaded keeps its statics). */
    journal[0] = '\0';
    logFile[0] = '\0';
    releaseFile[0] = '\0';
  }
  if (strcmp(name, "Dictionary_Create") == 0) INTEROP_PLUGIN_TAKE(dictionaryCreate, function);
  if (strcmp(name, "Dictionary_Release") == 0) INTEROP_PLUGIN_TAKE(dictionaryRelease, function);
  if (strcmp(name, "NotificationCenter_FireWithJSON") == 0)
    INTEROP_PLUGIN_TAKE(fireWithJSON, function);
  note(name);
  return 1;
}

int Interop_SetOption(const char *name, const char *value) {
  char line[1100];
  snprintf(line, sizeof line, "%s=%s", name, value);
  if (strcmp(name, "releaseFile") == 0) snprintf(releaseFile, sizeof releaseFile, "%s", value);
  if (strcmp(name, "logFile") == 0 && logFile[0] == '\0') {
    snprintf(logFile, sizeof logFile, "%s", value);
    append(logFile, journal);
  }
  note(line);
  return 1;
}

#if defined(INTEROP_PLUGIN_NEEDS_HOST)
extern int32_t Dictionary_Create(Dictionary **dictionary);
#endif

int Interop_Load(void) {
#if defined(INTEROP_PLUGIN_NEEDS_HOST)
  Dictionary *d = NULL;
  Dictionary_Create(&d);
#endif
  note("Load");
  return 1;
}

#if !defined(INTEROP_PLUGIN_NO_UNLOAD)
int Interop_Unload(void) {
#if defined(INTEROP_PLUGIN_SLOW_UNLOAD)
  struct timespec step = {0, 5 * 1000 * 1000};
  for (int i = 0; i < 4000 && access(releaseFile, F_OK) != 0; i++) nanosleep(&step, NULL);
#endif
  char line[64];
  snprintf(line, sizeof line, "Unload %d", (int)gettid());
  note(line);
  return 1;
}
#endif
