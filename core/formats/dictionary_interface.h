/* DictionaryInterface: the plain C view of the program's value tree that
 * plug-in libraries (.so files built by any C compiler) work through.
 *
 * A plug-in receives a Dictionary as an opaque pointer. The only layout it may
 * read is the object header prefix below; through its table pointer it calls
 * every operation. The slot order of DictionaryInterface never changes: new
 * operations are never inserted, and a slot keeps its type.
 *
 * Invariants: (1) every container of every tree, root or child, carries the
 * same constant table. (2) results, flags, counts, indexes and lengths are
 * int32_t; values are int64_t or double; a result of 1 means success and 0
 * failure (missing key, wrong type, nothing to return). (3) nothing thrown
 * ever crosses the table. (4) a NULL container, item or out-pointer that an
 * operation needs stops the program; plug-ins must not rely on a result.
 *
 * Threads: one thread at a time per tree, the caller serialises; the callback
 * and log-hook setters may run on another thread (each pair is swapped as one
 * unit).
 *
 * Compiles as C11 and as C++. */
#ifndef KEELSON_CORE_DICTIONARY_INTERFACE_H
#define KEELSON_CORE_DICTIONARY_INTERFACE_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Dictionary Dictionary;
typedef struct DictionaryItem DictionaryItem;
typedef struct DictionaryInterface DictionaryInterface;

/* Item types; stored in the low three bits of an item's type byte. */
typedef int32_t DictionaryType;
enum DictionaryTypeCode {
  kDictionaryTypeUnknown = 0,    /* a fresh item before its type is set */
  kDictionaryTypeNull = 1,       /* no value; reads as the text "null" */
  kDictionaryTypeBoolean = 2,    /* reads as "true" or "false" */
  kDictionaryTypeInt64 = 3,      /* decimal text */
  kDictionaryTypeFloat64 = 4,    /* shortest round-trip text, "NaN", "Inf", "-Inf" */
  kDictionaryTypeString = 5,     /* UTF-8 text */
  kDictionaryTypeList = 6,       /* child container of keyless items */
  kDictionaryTypeDictionary = 7  /* child container of keyed items */
};

/* Merge flags (bits) of the Merge, MergeFrom and MergeItem slots. */
enum DictionaryMergeFlag {
  kDictionaryMergeOverwrite = 1,   /* an existing keyed item takes the source's type and value */
  kDictionaryMergeInsertFront = 2, /* new items go in front, each before the previous */
  kDictionaryMergeKeepList = 4,    /* a destination List is not emptied first */
  kDictionaryMergeSkipHidden = 8   /* hidden source items are left out */
};

/* The prefix every container starts with; a pointer to a container is also a
 * pointer to its instance-id text. Plug-ins reach the table through it:
 *   const DictionaryInterface *t = ((const DictionaryObjectHeader *)d)->table; */
typedef struct DictionaryObjectHeader {
  char instanceId[36];             /* NUL-terminated; a child copies its root's */
  uint32_t classTag;               /* 0xc1d1faa9 */
  int32_t referenceCount;          /* changed atomically by AddRef and Release */
  void (*destroy)(void **object);  /* NULL in child containers */
  const DictionaryInterface *table;
} DictionaryObjectHeader;

/* Change callbacks. Each is called first on the container where the change
 * happened, then on every ancestor up to the root that has one set; path is
 * the changed item's path as seen from the called container ("" when it does
 * not fit 4096 bytes). Callbacks must not change the tree they observe. */
/* A key was set on item (also a rename; oldKey NULL for a new key), or a List
 * element's index changed. item is the item of the called container on the
 * way down to the changed one. */
typedef void (*DictionaryItemAddedCallback)(Dictionary *container, DictionaryItem *item,
                                            void *context, const char *path,
                                            const char *oldKey);
/* The stored text of an Int64, Float64 or String item was replaced by a
 * different, non-empty text, or an item's Boolean bit changed. */
typedef void (*DictionaryValueChangedCallback)(Dictionary *container, DictionaryItem *item,
                                               void *context, const char *path,
                                               const char *oldText, int32_t oldLength);
/* item is about to be removed (its descendants went first). */
typedef void (*DictionaryItemRemovedCallback)(Dictionary *container, DictionaryItem *item,
                                              void *context, const char *path);
/* Sync filter: 1 to synchronise the source item, 0 to skip it. */
typedef int32_t (*DictionarySyncFilter)(Dictionary *destination, void *context,
                                        Dictionary *source, DictionaryItem *item);
/* Receives every log line of a container (printf-like). */
typedef void (*DictionaryLogHook)(void *context, const char *format, ...);

/* The 129 operations in their fixed slot order. The slot comments give the
 * arguments after the container; "&x" is an out-pointer. */
struct DictionaryInterface {
  /* 0 */ int32_t (*GetParent)(Dictionary *d, Dictionary **parent, DictionaryItem **parentItem);
  /* 1 */ int32_t (*AddKey)(Dictionary *d, const char *key, DictionaryItem **item);
  /* 2 */ int32_t (*AddNull)(Dictionary *d, const char *key, DictionaryItem **item);
  /* 3 */ int32_t (*AddString)(Dictionary *d, const char *key, const char *text,
                               DictionaryItem **item);
  /* 4 */ int32_t (*AddInt32)(Dictionary *d, const char *key, int32_t value,
                              DictionaryItem **item);
  /* 5 */ int32_t (*AddInt64)(Dictionary *d, const char *key, int64_t value,
                              DictionaryItem **item);
  /* 6 */ int32_t (*AddFloat64)(Dictionary *d, const char *key, double value,
                                DictionaryItem **item);
  /* 7 */ int32_t (*AddBoolean)(Dictionary *d, const char *key, int32_t value,
                                DictionaryItem **item);
  /* 8 */ int32_t (*AddList)(Dictionary *d, const char *key, Dictionary **child,
                             DictionaryItem **item);
  /* 9 */ int32_t (*AddDictionary)(Dictionary *d, const char *key, Dictionary **child,
                                   DictionaryItem **item);
  /* 10 */ int32_t (*AddItem)(Dictionary *d, const char *key, DictionaryItem **item);
  /* 11 */ int32_t (*InsertItem)(Dictionary *d, DictionaryItem *after, const char *key,
                                 DictionaryItem **item);
  /* 12 */ int32_t (*RemoveItem)(Dictionary *d, DictionaryItem **item);
  /* 13 */ int32_t (*ParseKeyValueText)(Dictionary *d, const char *text, int32_t length,
                                        char keySeparator, char itemSeparator);
  /* 14 */ int32_t (*FormatKeyValueText)(Dictionary *d, char *buffer, int32_t size,
                                         char keySeparator, char itemSeparator);
  /* 15 */ int32_t (*HasKey)(Dictionary *d, const char *key);
  /* 16 */ int32_t (*GetOrAddIndex)(Dictionary *d, int32_t index, DictionaryItem **item);
  /* 17 */ int32_t (*SetListByIndex)(Dictionary *d, int32_t index, DictionaryItem **item,
                                     Dictionary **child);
  /* 18 */ int32_t (*SetDictionaryByIndex)(Dictionary *d, int32_t index, DictionaryItem **item,
                                           Dictionary **child);
  /* 19 */ int32_t (*FindOrAddKey)(Dictionary *d, const char *key, DictionaryItem **item);
  /* 20 */ int32_t (*SetListByKey)(Dictionary *d, const char *key, DictionaryItem **item,
                                   Dictionary **child);
  /* 21 */ int32_t (*SetDictionaryByKey)(Dictionary *d, const char *key, DictionaryItem **item,
                                         Dictionary **child);
  /* 22 */ int32_t (*GetTypeByKey)(Dictionary *d, const char *key, DictionaryType *type);
  /* 23 */ int32_t (*SetStringByKey)(Dictionary *d, const char *key, const char *text);
  /* 24 */ int32_t (*GetStringByKey)(Dictionary *d, const char *key, char *buffer,
                                     int32_t size);
  /* 25 */ int32_t (*SetStringFormatVByKey)(Dictionary *d, const char *key, const char *format,
                                            va_list args);
  /* 26 */ int32_t (*GetStringPointerByKey)(Dictionary *d, const char *key, const char **text);
  /* 27 */ int32_t (*GetTextByKey)(Dictionary *d, const char *key, const char **text,
                                   int32_t *length);
  /* 28 */ int32_t (*SetInt32ByKey)(Dictionary *d, const char *key, int32_t value);
  /* 29 */ int32_t (*GetInt32ByKey)(Dictionary *d, const char *key, int32_t *value);
  /* 30 */ int32_t (*SetInt64ByKey)(Dictionary *d, const char *key, int64_t value);
  /* 31 */ int32_t (*GetInt64ByKey)(Dictionary *d, const char *key, int64_t *value);
  /* 32 */ int32_t (*SetFloat64ByKey)(Dictionary *d, const char *key, double value);
  /* 33 */ int32_t (*GetFloat64ByKey)(Dictionary *d, const char *key, double *value);
  /* 34 */ int32_t (*SetBooleanByKey)(Dictionary *d, const char *key, int32_t value);
  /* 35 */ int32_t (*GetBooleanByKey)(Dictionary *d, const char *key, int32_t *value);
  /* 36 */ int32_t (*GetListByIndex)(Dictionary *d, int32_t index, Dictionary **child);
  /* 37 */ int32_t (*GetDictionaryByIndex)(Dictionary *d, int32_t index, Dictionary **child);
  /* 38 */ int32_t (*GetListByKey)(Dictionary *d, const char *key, Dictionary **child);
  /* 39 */ int32_t (*GetDictionaryByKey)(Dictionary *d, const char *key, Dictionary **child);
  /* 40 */ int32_t (*RemoveKey)(Dictionary *d, const char *key);
  /* 41 */ int32_t (*GetItemPath)(Dictionary *d, DictionaryItem *item, Dictionary *root,
                                  char *buffer, int32_t size);
  /* 42 */ int32_t (*IsItemContainer)(Dictionary *d, DictionaryItem *item);
  /* 43 */ int32_t (*IsItemNull)(Dictionary *d, DictionaryItem *item);
  /* 44 */ int32_t (*GetItemIndex)(Dictionary *d, DictionaryItem *item, int32_t *index);
  /* 45 */ int32_t (*SetItemType)(Dictionary *d, DictionaryItem *item, DictionaryType type);
  /* 46 */ int32_t (*GetItemType)(Dictionary *d, DictionaryItem *item, DictionaryType *type);
  /* 47 */ int32_t (*IsItemType)(Dictionary *d, DictionaryItem *item, DictionaryType type);
  /* 48 */ int32_t (*SetItemKey)(Dictionary *d, DictionaryItem *item, const char *key);
  /* 49 */ int32_t (*SetItemKeyN)(Dictionary *d, DictionaryItem *item, const char *key,
                                  int32_t length);
  /* 50 */ int32_t (*CopyItemKey)(Dictionary *d, DictionaryItem *item, char *buffer,
                                  int32_t size);
  /* 51 */ int32_t (*GetItemKey)(Dictionary *d, DictionaryItem *item, const char **key);
  /* 52 */ int32_t (*SetItemString)(Dictionary *d, DictionaryItem *item, const char *text);
  /* 53 */ int32_t (*SetItemStringFormatV)(Dictionary *d, DictionaryItem *item,
                                           const char *format, va_list args);
  /* 54 */ int32_t (*GetItemString)(Dictionary *d, DictionaryItem *item, char *buffer,
                                    int32_t size);
  /* 55 */ int32_t (*GetItemStringPointer)(Dictionary *d, DictionaryItem *item,
                                           const char **text);
  /* 56 */ int32_t (*SetItemText)(Dictionary *d, DictionaryItem *item, const char *text,
                                  int32_t length);
  /* 57 */ int32_t (*GetItemText)(Dictionary *d, DictionaryItem *item, const char **text,
                                  int32_t *length);
  /* 58 */ int32_t (*SetItemFloat64)(Dictionary *d, DictionaryItem *item, double value);
  /* 59 */ int32_t (*GetItemFloat64)(Dictionary *d, DictionaryItem *item, double *value);
  /* 60 */ int32_t (*SetItemInt32)(Dictionary *d, DictionaryItem *item, int32_t value);
  /* 61 */ int32_t (*GetItemInt32)(Dictionary *d, DictionaryItem *item, int32_t *value);
  /* 62 */ int32_t (*SetItemInt64)(Dictionary *d, DictionaryItem *item, int64_t value);
  /* 63 */ int32_t (*GetItemInt64)(Dictionary *d, DictionaryItem *item, int64_t *value);
  /* 64 */ int32_t (*SetItemBoolean)(Dictionary *d, DictionaryItem *item, int32_t value);
  /* 65 */ int32_t (*GetItemBoolean)(Dictionary *d, DictionaryItem *item, int32_t *value);
  /* 66 */ int32_t (*ReturnTrue)(void); /* does nothing, answers 1 */
  /* 67 */ int32_t (*GetItemContainer)(Dictionary *d, DictionaryItem *item, Dictionary **child);
  /* 68 */ int32_t (*ResolvePath)(Dictionary *d, const char *path, Dictionary **owner,
                                  DictionaryItem **item);
  /* 69 */ int32_t (*FindKey)(Dictionary *d, const char *key, DictionaryItem *start,
                              DictionaryItem **item);
  /* 70 */ int32_t (*FindValue)(Dictionary *d, const char *text, int32_t length,
                                DictionaryItem *start, DictionaryItem **item);
  /* 71 */ int32_t (*GetItemByIndex)(Dictionary *d, int32_t index, DictionaryItem *start,
                                     DictionaryItem **item);
  /* 72 */ int32_t (*GetNextItem)(Dictionary *d, DictionaryItem *item, DictionaryItem **next);
  /* 73 */ int32_t (*GetPrevItem)(Dictionary *d, DictionaryItem *item, DictionaryItem **prev);
  /* 74 */ int32_t (*GetFirstItem)(Dictionary *d, DictionaryItem **item);
  /* 75 */ int32_t (*GetLastItem)(Dictionary *d, DictionaryItem **item);
  /* 76 */ int32_t (*GetCount)(Dictionary *d, int32_t *count);
  /* 77 */ int32_t (*Log)(Dictionary *d, const char *format, ...);
  /* 78 */ int32_t (*LogIndent)(Dictionary *d, int32_t indent, const char *format, ...);
  /* 79 */ int32_t (*SetLogHook)(Dictionary *d, void *context, DictionaryLogHook hook);
  /* 80 */ int32_t (*GetLogHook)(Dictionary *d, void **context, DictionaryLogHook *hook);
  /* 81 */ int32_t (*Sync)(Dictionary *destination, Dictionary *source, void *context,
                           DictionarySyncFilter filter);
  /* 82 */ int32_t (*SyncItems)(Dictionary *destination, Dictionary *source,
                                DictionaryItem *start, void *context,
                                DictionarySyncFilter filter);
  /* 83 */ int32_t (*SyncRemove)(Dictionary *destination, Dictionary *source);
  /* 84 */ int32_t (*Merge)(Dictionary *destination, Dictionary *source, int32_t flags);
  /* 85 */ int32_t (*MergeFrom)(Dictionary *destination, Dictionary *source,
                                DictionaryItem *start, int32_t flags);
  /* 86 */ int32_t (*Unwrap)(Dictionary *d, Dictionary **result);
  /* 87 */ int32_t (*Clear)(Dictionary *d);
  /* 88 */ int32_t (*Print)(Dictionary *d);
  /* 89 */ int32_t (*SetCaseSensitive)(Dictionary *d, int32_t value);
  /* 90 */ int32_t (*GetCaseSensitive)(Dictionary *d);
  /* 91 */ int32_t (*SetAllowDuplicates)(Dictionary *d, int32_t value);
  /* 92 */ int32_t (*GetAllowDuplicates)(Dictionary *d);
  /* 93 */ int32_t (*SetStringPool)(Dictionary *d, int32_t value);
  /* 94 */ int32_t (*GetStringPool)(Dictionary *d);
  /* 95 */ int32_t (*SetPoolGrowth)(Dictionary *d, int32_t membersPerChunk);
  /* 96 */ int32_t (*SetItemRemovedCallback)(Dictionary *d, void *context,
                                             DictionaryItemRemovedCallback function);
  /* 97 */ int32_t (*GetItemRemovedCallback)(Dictionary *d, void **context,
                                             DictionaryItemRemovedCallback *function);
  /* 98 */ int32_t (*SetItemAddedCallback)(Dictionary *d, void *context,
                                           DictionaryItemAddedCallback function);
  /* 99 */ int32_t (*GetItemAddedCallback)(Dictionary *d, void **context,
                                           DictionaryItemAddedCallback *function);
  /* 100 */ int32_t (*SetValueChangedCallback)(Dictionary *d, void *context,
                                               DictionaryValueChangedCallback function);
  /* 101 */ int32_t (*GetValueChangedCallback)(Dictionary *d, void **context,
                                               DictionaryValueChangedCallback *function);
  /* 102 */ int32_t (*MergeItem)(Dictionary *destination, Dictionary *source,
                                 DictionaryItem *sourceItem, int32_t flags);
  /* 103 */ int32_t (*SetStringFormatByKey)(Dictionary *d, const char *key, const char *format,
                                            ...);
  /* 104 */ int32_t (*SetItemStringFormat)(Dictionary *d, DictionaryItem *item,
                                           const char *format, ...);
  /* 105 */ int32_t (*SetStringByPath)(Dictionary *d, const char *path, const char *text);
  /* 106 */ int32_t (*GetStringByPath)(Dictionary *d, const char *path, char *buffer,
                                       int32_t size);
  /* 107 */ int32_t (*GetTextByPath)(Dictionary *d, const char *path, const char **text,
                                     int32_t *length);
  /* 108 */ int32_t (*SetInt32ByPath)(Dictionary *d, const char *path, int32_t value);
  /* 109 */ int32_t (*GetInt32ByPath)(Dictionary *d, const char *path, int32_t *value);
  /* 110 */ int32_t (*SetInt64ByPath)(Dictionary *d, const char *path, int64_t value);
  /* 111 */ int32_t (*GetInt64ByPath)(Dictionary *d, const char *path, int64_t *value);
  /* 112 */ int32_t (*SetFloat64ByPath)(Dictionary *d, const char *path, double value);
  /* 113 */ int32_t (*GetFloat64ByPath)(Dictionary *d, const char *path, double *value);
  /* 114 */ int32_t (*SetBooleanByPath)(Dictionary *d, const char *path, int32_t value);
  /* 115 */ int32_t (*GetBooleanByPath)(Dictionary *d, const char *path, int32_t *value);
  /* 116 */ int32_t (*UnwrapContainer)(Dictionary *d, Dictionary **result);
  /* 117 */ int32_t (*SetItemHidden)(Dictionary *d, DictionaryItem *item, int32_t hidden);
  /* 118 */ int32_t (*IsItemHidden)(Dictionary *d, DictionaryItem *item);
  /* 119 */ int32_t (*SetHashPrefix)(Dictionary *d, int32_t value);
  /* 120 */ int32_t (*GetHashPrefix)(Dictionary *d);
  /* 121 */ int32_t (*AddRef)(Dictionary *d);
  /* 122 */ int32_t (*Release)(Dictionary **d);
  /* 123 */ int32_t (*CreatePath)(Dictionary *d, const char *path, Dictionary **child);
  /* 124 */ int32_t (*HasPath)(Dictionary *d, const char *path);
  /* 125 */ int32_t (*GetStringPointerByPath)(Dictionary *d, const char *path,
                                              const char **text);
  /* 126 */ int32_t (*HasValue)(Dictionary *d, const char *text);
  /* 127 */ int32_t (*RemoveValue)(Dictionary *d, const char *text);
  /* 128 */ int32_t (*GetContainerByPath)(Dictionary *d, const char *path, Dictionary **child);
};

#define KEELSON_DICTIONARY_INTERFACE_SLOTS 129

#ifdef __cplusplus
static_assert(sizeof(DictionaryInterface) == KEELSON_DICTIONARY_INTERFACE_SLOTS * sizeof(void *),
              "DictionaryInterface has 129 pointer slots");
#else
_Static_assert(sizeof(DictionaryInterface) == KEELSON_DICTIONARY_INTERFACE_SLOTS * sizeof(void *),
               "DictionaryInterface has 129 pointer slots");
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KEELSON_CORE_DICTIONARY_INTERFACE_H */
