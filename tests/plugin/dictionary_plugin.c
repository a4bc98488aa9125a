/* A plug-in library as a third party would write it: plain C11, built into
 * a .so by the C compiler, knowing the host's trees only through
 * core/formats/dictionary_interface.h. The ABI test loads it and hands it a host
 * Dictionary. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "core/formats/dictionary_interface.h"

static const DictionaryObjectHeader *pluginHeader(Dictionary *d) {
  return (const DictionaryObjectHeader *)(const void *)d;
}

/* Reaches slot 25 with a va_list of its own. */
static int32_t pluginFormat(const DictionaryInterface *t, Dictionary *d, const char *key,
                            const char *format, ...) {
  va_list args;
  va_start(args, format);
  int32_t result = t->SetStringFormatVByKey(d, key, format, args);
  va_end(args);
  return result;
}

int32_t DictionaryPlugin_TableSlots(void) {
  return (int32_t)(sizeof(DictionaryInterface) / sizeof(void *));
}

/* Builds a small tree in host, reads it back and writes what it read into
 * report. Answers 1 when every call answered as expected. */
int32_t DictionaryPlugin_Run(Dictionary *host, char *report, int32_t size) {
  const DictionaryObjectHeader *header = pluginHeader(host);
  if (header->classTag != 0xc1d1faa9u) return 0;
  const DictionaryInterface *t = header->table;
  if (t->ReturnTrue() != 1) return 0;
  if (!t->AddRef(host)) return 0;
  int32_t references = pluginHeader(host)->referenceCount;

  DictionaryItem *item = NULL;
  Dictionary *list = NULL;
  int32_t ok = t->AddString(host, "plugin", "c11", &item);
  ok &= t->AddInt64(host, "big", 9007199254740993LL, NULL);
  ok &= t->AddFloat64(host, "pi", 3.141592653589793, NULL);
  ok &= t->AddList(host, "items", &list, NULL);
  for (int32_t i = 0; i < 3; i++) {
    Dictionary *element = NULL;
    ok &= t->AddDictionary(list, NULL, &element, NULL);
    if (pluginHeader(element)->table != t) return 0; /* the same table everywhere */
    ok &= t->SetStringFormatByKey(element, "id", "item-%d", i);         /* slot 103 */
    ok &= pluginFormat(t, element, "label", "%s/%03d", "L", i * 7);     /* slot 25 */
  }
  if (!ok) return 0;

  Dictionary *owner = NULL;
  DictionaryItem *found = NULL;
  if (!t->ResolvePath(host, "items[-1].label", &owner, &found)) return 0;
  const char *label = NULL;
  int32_t labelLength = 0;
  if (!t->GetItemText(owner, found, &label, &labelLength)) return 0;

  char ids[64] = "";
  int32_t walked = 0;
  DictionaryItem *at = NULL;
  for (int32_t more = t->GetFirstItem(list, &at); more; more = t->GetNextItem(list, at, &at)) {
    Dictionary *element = NULL;
    const char *id = NULL;
    if (!t->GetItemContainer(list, at, &element)) return 0;
    if (!t->GetStringPointerByKey(element, "id", &id)) return 0;
    strncat(ids, id, sizeof ids - strlen(ids) - 1);
    walked++;
  }

  int64_t big = 0;
  double pi = 0;
  int32_t count = 0;
  char path[64];
  if (!t->GetInt64ByKey(host, "big", &big) || !t->GetFloat64ByKey(host, "pi", &pi)) return 0;
  if (!t->GetCount(host, &count)) return 0;
  if (!t->GetItemPath(owner, found, host, path, (int32_t)sizeof path)) return 0;
  snprintf(report, (size_t)size, "%.*s|%s|%d|%lld|%.17g|%d|%s|%d", (int)labelLength, label, ids,
           (int)walked, (long long)big, pi, (int)count, path, (int)references);

  Dictionary *mine = host;
  t->Release(&mine); /* the reference taken above */
  return mine == NULL;
}
