// The extension-to-MIME-type table; see core/runtime/mime.h.
#include "core/runtime/mime.h"

#include <cstring>

#include "core/runtime/core.h"
#include "core/security/hash.h"
#include "core/runtime/pool.h"
#include "core/runtime/str.h"

namespace {

constexpr int kMimeEntriesPerChunk = 250;

struct MimeRow {
  const char *extension;
  const char *type;
  const char *subtype;
};

// The rows in the order they are inserted.
constexpr MimeRow kMimeRowTable[] = {
    {"asc", "text", "plain"}, {"c", "text", "plain"}, {"cpp", "text", "plain"},
    {"css", "text", "css"}, {"etx", "text", "x-setext"}, {"h", "text", "plain"},
    {"hpp", "text", "plain"}, {"htc", "text", "x-component"}, {"htm", "text", "html"},
    {"html", "text", "html"}, {"nfo", "text", "plain"}, {"rtf", "text", "rtf"},
    {"rtx", "text", "richtext"}, {"sgm", "text", "sgml"}, {"sgml", "text", "sgml"},
    {"shtm", "text", "html"}, {"shtml", "text", "html"}, {"tsv", "text", "tab-separated-values"},
    {"txt", "text", "plain"}, {"yaml", "text", "x-yaml"}, {"yml", "text", "x-yaml"},
    {"bmp", "image", "bmp"}, {"cgm", "image", "cgm"}, {"cmx", "image", "x-cmd"},
    {"gif", "image", "gif"}, {"ief", "image", "ief"}, {"jfif", "image", "jpeg"},
    {"jpe", "image", "jpeg"}, {"jpeg", "image", "jpeg"}, {"jpg", "image", "jpeg"},
    {"pbm", "image", "x-portable-bitmap"}, {"pgm", "image", "x-portable-graymap"},
    {"png", "image", "png"}, {"pnm", "image", "x-portable-anymap"},
    {"ppm", "image", "x-portable-pixmap"}, {"ras", "image", "x-cmu-raster"},
    {"rgb", "image", "x-rgb"}, {"svg", "image", "svg+xml"}, {"tif", "image", "tiff"},
    {"tiff", "image", "tiff"}, {"xbm", "image", "x-xbitmap"}, {"xpm", "image", "x-xpixmap"},
    {"xwd", "image", "x-xwindowdump"}, {"aif", "audio", "x-aiff"}, {"aifc", "audio", "x-aiff"},
    {"aiff", "audio", "x-aiff"}, {"au", "audio", "basic"}, {"kar", "audio", "midi"},
    {"m3u", "audio", "x-mpegurl"}, {"mid", "audio", "midi"}, {"midi", "audio", "midi"},
    {"mp2", "audio", "mpeg"}, {"mp3", "audio", "mpeg"}, {"mp3url", "audio", "x-mpegurl"},
    {"mpga", "audio", "mpeg"}, {"pls", "audio", "x-scpls"}, {"ra", "audio", "x-realaudio"},
    {"ram", "audio", "x-pn-realaudio"}, {"rm", "audio", "x-pn-realaudio"},
    {"rpm", "audio", "x-pn-realaudio-plugin"}, {"snd", "audio", "basic"},
    {"stream", "audio", "x-qt-stream"}, {"wav", "audio", "wav"}, {"wax", "audio", "x-ms-wax"},
    {"wma", "audio", "x-ms-wma"}, {"asf", "video", "x-ms-asf"}, {"asx", "video", "x-ms-asf"},
    {"avi", "video", "x-msvideo"}, {"mov", "video", "quicktime"}, {"movie", "video", "x-sgi-movie"},
    {"mpe", "video", "mpeg"}, {"mpeg", "video", "mpeg"}, {"mpg", "video", "mpeg"},
    {"mv", "video", "x-sgi-movie"}, {"qt", "video", "quicktime"}, {"viv", "video", "vnd.vivo"},
    {"vx", "video", "x-rad-screenplay"}, {"wm", "video", "x-ms-wm"}, {"wmv", "video", "x-ms-wmv"},
    {"wmx", "video", "x-ms-wmx"}, {"wvx", "video", "x-ms-wvx"},
    {"a", "application", "octet-stream"}, {"aam", "application", "x-authorware-map"},
    {"aas", "application", "x-authorware-seg"}, {"ai", "application", "postscript"},
    {"atom", "application", "atom+xml"}, {"bat", "application", "cd"},
    {"bcpio", "application", "x-bcpio"}, {"bin", "application", "octet-stream"},
    {"cdf", "application", "x-netcdf"}, {"cip", "application", "wordperfect5.1"},
    {"class", "application", "octet-stream"}, {"cpio", "application", "x-cpio"},
    {"cpt", "application", "mac-compactpro"}, {"csh", "application", "x-csh"},
    {"dcr", "application", "x-director"}, {"dir", "application", "x-director"},
    {"dll", "application", "octet-stream"}, {"dmg", "application", "octet-stream"},
    {"dms", "application", "octet-stream"}, {"doc", "application", "msword"},
    {"dump", "application", "octet-stream"}, {"dvi", "application", "x-dvi"},
    {"dxr", "application", "x-director"}, {"eps", "application", "postscript"},
    {"exe", "application", "octet-stream"}, {"ez", "application", "andrew-inset"},
    {"fgd", "application", "x-director"}, {"gram", "application", "srgs"},
    {"grxml", "application", "srgs+xml"}, {"gtar", "application", "x-gtar"},
    {"gz", "application", "x-gzip"}, {"hdf", "application", "x-hdf"},
    {"hqx", "application", "mac-binhex40"}, {"iv", "application", "x-inventor"},
    {"js", "application", "x-javascript"}, {"json", "application", "json"},
    {"latex", "application", "x-latex"}, {"lha", "application", "octet-stream"},
    {"lzh", "application", "octet-stream"}, {"man", "application", "x-troff-man"},
    {"mathml", "application", "mathml+xml"}, {"me", "application", "x-troff-me"},
    {"mif", "application", "x-mif"}, {"ms", "application", "x-troff-ms"},
    {"nc", "application", "x-netcdf"}, {"o", "application", "octet-stream"},
    {"oda", "application", "oda"}, {"ogg", "application", "ogg"},
    {"pac", "application", "x-ns-proxy-autoconfig"}, {"pdf", "application", "pdf"},
    {"pgn", "application", "x-chess-pgn"}, {"phps", "application", "x-httpd-php3-source"},
    {"phtml", "application", "x-httpd-php3"}, {"ppt", "application", "vnd.ms-powerpoint"},
    {"ps", "application", "postscript"}, {"rdf", "application", "rdf+xml"},
    {"roff", "application", "x-troff"}, {"sea", "application", "macbinary"},
    {"sh", "application", "x-sh"}, {"shar", "application", "x-shar"},
    {"sit", "application", "x-stuffit"}, {"skd", "application", "x-koan"},
    {"skm", "application", "x-koan"}, {"skp", "application", "x-koan"},
    {"skt", "application", "x-koan"}, {"smi", "application", "smil"},
    {"smil", "application", "smil"}, {"so", "application", "octet-stream"},
    {"spl", "application", "futuresplash"}, {"spr", "application", "x-sprite"},
    {"sprite", "application", "x-sprite"}, {"src", "application", "x-wais-source"},
    {"sv4cpio", "application", "x-sv4cpio"}, {"sv4crc", "application", "x-sv4crc"},
    {"swf", "application", "x-shockwave-flash"}, {"t", "application", "x-troff"},
    {"tar", "application", "x-tar"}, {"tcl", "application", "x-tcl"},
    {"tex", "application", "x-tex"}, {"texi", "application", "x-texinfo"},
    {"texinfo", "application", "x-texinfo"}, {"tr", "application", "x-troff"},
    {"tsp", "application", "dsptype"}, {"ustar", "application", "x-ustar"},
    {"vcd", "application", "x-cdlink"}, {"vmd", "application", "vocaltec-media-desc"},
    {"vmf", "application", "vocaltec-media-file"}, {"wg", "application", "x-worldgroup"},
    {"wmd", "application", "x-ms-wmd"}, {"wmp", "application", "webmap"},
    {"wmz", "application", "x-ms-wmz"}, {"wp", "application", "wordperfect5.1"},
    {"wp5", "application", "wordperfect5.1"}, {"wp6", "application", "wordperfect5.1"},
    {"wsrc", "application", "x-wais-source"}, {"xls", "application", "x-excel"},
    {"xml", "application", "xml"}, {"xul", "application", "vnd.mozilla.xul+xml"},
    {"z", "application", "x-compress"}, {"zip", "application", "zip"},
    {"eot", "application", "vnd.ms-fontobject"}, {"woff", "application", "x-font-woff"},
    {"mime", "message", "rfc822"}, {"iges", "model", "iges"}, {"igs", "model", "iges"},
    {"mesh", "model", "mesh"}, {"msh", "model", "mesh"}, {"silo", "model", "mesh"},
    {"vrml", "model", "vrml"}, {"wrl", "model", "vrml"}, {"otf", "font", "otf"},
    {"ttf", "font", "ttf"},
};
static_assert(sizeof kMimeRowTable / sizeof kMimeRowTable[0] == kMimeRows);

struct MimeTable {
  ObjectHeader header;
  MimeEntry *first;
  MimeEntry *last;
  int32_t count;
  Pool *pool;  // owns the entries
};

MimeTable gMimeRecord;
// Set and cleared on the main thread at start-up and shutdown only.
MimeTable *GlobalMIME = nullptr;

// The CRC-32 of the upper-cased extension, most significant byte first.
uint32_t mimeKey(const char *extension, size_t length) {
  uint8_t digest[4] = {};
  Crc_Compute(extension, int64_t(length), 0, digest);
  return uint32_t(digest[0]) << 24 | uint32_t(digest[1]) << 16 | uint32_t(digest[2]) << 8 |
         digest[3];
}

// Links entry in before the first entry with a larger key.
void mimeInsert(MimeTable *table, MimeEntry *entry) {
  MimeEntry *at = table->first;
  while (at != nullptr && at->key < entry->key) at = at->next;
  if (at != nullptr && at->key == entry->key)
    Core_Abort(KSRC, "Matching quick CRC's (%s) and (%s)\n", entry->extension, at->extension);
  entry->next = at;
  entry->previous = at ? at->previous : table->last;
  if (entry->previous)
    entry->previous->next = entry;
  else
    table->first = entry;
  if (at)
    at->previous = entry;
  else
    table->last = entry;
  table->count++;
}

void mimeAddRow(MimeTable *table, const MimeRow &row) {
  auto *entry = static_cast<MimeEntry *>(POOL_ALLOC(table->pool, sizeof(MimeEntry)));
  entry->classTag = kMimeTag;
  Str_Set(entry->extension, row.extension);
  Str_Set(entry->type, row.type);
  Str_Set(entry->subtype, row.subtype);
  entry->key = mimeKey(entry->extension, strlen(entry->extension));
  mimeInsert(table, entry);
}

// The extension of fileName (the text after its last '.'), or NULL when a
// separator comes after that '.', there is none, or nothing follows it.
const char *mimeExtension(const char *fileName) {
  for (const char *p = fileName + strlen(fileName); p > fileName;) {
    char c = *--p;
    if (c == '/' || c == '\\' || c == ':') return nullptr;
    if (c == '.') return p[1] ? p + 1 : nullptr;
  }
  return nullptr;
}

}  // namespace

void Mime_Init(void) {
  if (GlobalMIME != nullptr)
    Core_Abort(KSRC, "Assertion failed (GlobalMIME == NULL)\nMIME already initialized");
  MimeTable *table = &gMimeRecord;
  table->header.classTag = kMimeTag;
  table->first = table->last = nullptr;
  table->count = 0;
  Pool_Create(&table->pool, KSRC);
  Pool_SetMemberSize(table->pool, sizeof(MimeEntry));
  Pool_SetMemberChunkSize(table->pool, kMimeEntriesPerChunk);
  for (const MimeRow &row : kMimeRowTable) mimeAddRow(table, row);
  GlobalMIME = table;
}

void Mime_Shutdown(void) {
  MimeTable *table = GlobalMIME;
  if (table == nullptr) return;
  CLASS_CHECK(table, kMimeTag);
  GlobalMIME = nullptr;
  for (MimeEntry *entry = table->first; entry != nullptr;) {
    MimeEntry *next = entry->next;
    void *member = entry;
    POOL_FREE(table->pool, &member, sizeof(MimeEntry));
    entry = next;
  }
  table->first = table->last = nullptr;
  table->count = 0;
  Pool_Release(&table->pool);
  table->header.classTag = 0;
}

int Mime_GetType(const char *fileName, const char **type, const char **subtype) {
  CHECK_POINTER(fileName);
  CHECK_POINTER(type);
  CHECK_POINTER(subtype);
  *type = "application";
  *subtype = "octet-stream";
  const MimeTable *table = GlobalMIME;
  CLASS_CHECK(table, kMimeTag);
  const char *extension = mimeExtension(fileName);
  if (extension == nullptr) return 0;
  uint32_t key = mimeKey(extension, strlen(extension));
  for (const MimeEntry *entry = table->first; entry != nullptr && entry->key <= key;
       entry = entry->next) {
    // The text check keeps an unknown extension whose CRC happens to equal a
    // known one's from taking its type.
    if (entry->key == key && Str_CompareNoCase(entry->extension, extension) == 0) {
      *type = entry->type;
      *subtype = entry->subtype;
      return 1;
    }
  }
  return 0;
}

const MimeEntry *Mime_GetFirstEntry(void) { return GlobalMIME ? GlobalMIME->first : nullptr; }
