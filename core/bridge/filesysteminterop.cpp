// QVN.FileSystem: file and path operations for pages. The class has no
// object. File operations go to the platform's file service (fileops, path,
// directory size, security descriptors); text operations are the program's
// own path functions on buffers of kApiGenPathBytes, so a page and the rest
// of the program never disagree about what a path means. A text answer that
// does not fit its buffer is the empty text, never a cut one.
//
// setSecurity never follows a link: the descriptor is applied through one
// descriptor opened without following the last component, and as root
// without following any (SecurityDescriptor_ApplyToPath).
//
// Threads: main thread (getDirectorySize starts the directory-size worker,
// which is main-thread only); the other methods keep no state.
#include <cstdint>
#include <cstring>

#include "core/bridge/apigen.h"
#include "core/bridge/coreinterop.h"
#include "core/platform/directory.h"
#include "core/platform/directorysize.h"
#include "core/platform/fileops.h"
#include "core/platform/path.h"
#include "core/platform/platform.h"
#include "core/platform/securitydescriptor.h"
#include "core/runtime/log.h"

namespace {

using P = ApiGenParamType;
constexpr ApiGenParam kPath{"path", P::String};
constexpr ApiGenParam kPathChecked{"path", P::Path};
constexpr ApiGenParam kSource{"sourceFilename", P::String};
constexpr ApiGenParam kTarget{"targetFilename", P::String};
constexpr ApiGenParam kFailIfExists{"failIfExists", P::Boolean};
constexpr ApiGenParam kType{"type", P::String};
constexpr ApiGenParam kCallbackId{"callbackId", P::String};
constexpr ApiGenParam kTrailingSlash{"trailingSlash", P::Boolean};
constexpr ApiGenParam kComparePath{"comparePath", P::String};
constexpr ApiGenParam kIgnoreCase{"ignoreCase", P::Boolean};
constexpr ApiGenParam kIncludeDot{"includeDot", P::Boolean};
constexpr ApiGenParam kUrl{"url", P::String};

// Runs make(buffer, size) on a buffer of kApiGenPathBytes and answers its
// text, or the empty text when it failed.
template <typename Make>
void textAnswer(ApiGenAnswer *answer, Make make) {
  answer->storage.assign(size_t(kApiGenPathBytes), '\0');
  if (make(answer->storage.data(), int(kApiGenPathBytes)))
    answer->storage.resize(strlen(answer->storage.c_str()));
  else
    answer->storage.clear();
  answer->text = answer->storage.c_str();
}

void fileExists(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Path_Exists(v[0].text) == 1;
}

void directoryExists(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Path_IsDirectory(v[0].text) == 1;
}

void isDirectoryEmpty(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  char path[kApiGenPathBytes];
  answer->boolean = Path_Resolve(v[0].text, path, int(sizeof path)) && Directory_IsEmpty(path) == 1;
}

void getFileSize(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  uint64_t size = 0;
  Path_GetFileSize(v[0].text, &size);
  answer->integer = int64_t(size);
}

void getFreeSpace(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  char path[kApiGenPathBytes];
  int64_t freeBytes = 0;
  if (Path_Resolve(v[0].text, path, int(sizeof path))) Platform_GetDiskFreeSpace(path, &freeBytes);
  answer->integer = freeBytes;
}

void getModifiedTime(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  int error = 0;
  GetModifiedTime(v[0].text, &answer->number, &error);
}

void getCreationTime(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  int error = 0;
  GetCreationTime(v[0].text, &answer->number, &error);
}

void copyFile(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  int error = 0;
  answer->boolean =
      CopyFile(v[0].text, v[1].text, v[2].boolean ? 1 : 0, &error, nullptr, nullptr) == 1;
}

// The platform error of the one attempt; 0 when the file was erased or was
// not there.
void deleteFile(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  int error = 0;
  if (!EraseFile(v[0].text, 1, &error) && error == 0) error = Platform_GetLastError();
  answer->integer = error;
}

void createDirectory(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  int error = 0;
  if (Path_CreateDirectory(v[0].text, 0, &error)) {
    // An existing file of that name is not a directory made.
    answer->integer = Path_IsDirectory(v[0].text) == 1 || v[0].text[0] == '\0'
                          ? 0
                          : kPlatformErrorAlreadyExists;
    return;
  }
  answer->integer = error != 0 ? error : Platform_GetLastError();
}

void setSecurity(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  SecurityDescriptor *descriptor = nullptr;
  if (!SecurityDescriptor_Create(v[1].text, &descriptor)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Path - Unknown security type - %s\n", v[1].text);
    return;
  }
  char path[kApiGenPathBytes];
  answer->boolean = Path_Resolve(v[0].text, path, int(sizeof path)) &&
                    SecurityDescriptor_ApplyToPath(descriptor, path);
  if (!answer->boolean)
    Log_Print(LOG_ERROR, KSRC, 0, "Path - Unable to set security - %s [LE: %d]\n", v[0].text,
              Platform_GetLastError());
  SecurityDescriptor_Release(&descriptor);
}

void getDirectorySize(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Path_GetDirectorySizeAsync(v[0].text, v[1].text) == 1;
}

void resolve(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  textAnswer(answer, [&](char *out, int size) { return Path_Resolve(v[0].text, out, size); });
}

void normalize(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  textAnswer(answer, [&](char *out, int size) {
    if (v[0].text[0] == '\0') return 0;
    strcpy(out, v[0].text);  // ApiGen_GetParamPath checked that it fits
    return Path_Fix(out, size, v[1].boolean ? 1 : 0);
  });
}

void isSamePath(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Path_Equal(v[0].text, v[1].text, v[2].boolean ? 1 : 0);
}

void getFileName(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  textAnswer(answer, [&](char *out, int size) { return Path_GetFileName(v[0].text, out, size); });
}

void getFileNameWithoutExtension(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  textAnswer(answer, [&](char *out, int size) { return Path_GetFileTitle(v[0].text, out, size); });
}

void getExtension(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  textAnswer(answer, [&](char *out, int size) {
    return Path_GetExtension(v[0].text, out, size, v[1].boolean ? 1 : 0);
  });
}

void getDirectory(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  textAnswer(answer, [&](char *out, int size) { return Path_GetDirectory(v[0].text, out, size); });
}

void pathToUrl(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  textAnswer(answer, [&](char *out, int size) { return Path_ToUrl(v[0].text, out, size); });
}

void urlToPath(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  textAnswer(answer, [&](char *out, int size) { return Path_FromUrl(v[0].text, out, size); });
}

using N = ApiGenName;
constexpr auto kBoolean = ApiGenAnswerType::Boolean;
constexpr auto kInt64 = ApiGenAnswerType::Int64;
constexpr auto kFloat64 = ApiGenAnswerType::Float64;
constexpr auto kString = ApiGenAnswerType::String;
constexpr ApiGenMethod kFileSystemMethods[] = {
    ApiGen_Method(0x95883f2d, "fileExists", N::Settled, {kPath}, kBoolean, fileExists),
    ApiGen_Method(0x7179db47, "directoryExists", N::Settled, {kPath}, kBoolean, directoryExists),
    // The listed hash is the CRC-32 of "directoryIsEmpty".
    ApiGen_Method(0x42cacdf8, "isDirectoryEmpty", N::Open, {kPath}, kBoolean, isDirectoryEmpty),
    ApiGen_Method(0x7f39d91b, "getFileSize", N::Open, {kPath}, kInt64, getFileSize),
    // The listed hash is the CRC-32 of "getFreeDiskSpace".
    ApiGen_Method(0xb4d59855, "getFreeSpace", N::Open, {kPath}, kInt64, getFreeSpace),
    ApiGen_Method(0xeb30fe54, "getModifiedTime", N::Settled, {kPath}, kFloat64, getModifiedTime),
    ApiGen_Method(0xe6cc6031, "getCreationTime", N::Settled, {kPath}, kFloat64, getCreationTime),
    ApiGen_Method(0x8fa083df, "copyFile", N::Open, {kSource, kTarget, kFailIfExists}, kBoolean,
                  copyFile),
    ApiGen_Method(0x33014eb3, "deleteFile", N::Open, {kPath}, kInt64, deleteFile),
    ApiGen_Method(0x4c305d0c, "createDirectory", N::Open, {kPath}, kInt64, createDirectory),
    ApiGen_Method(0x64e3f953, "setSecurity", N::Open, {kPath, kType}, kBoolean, setSecurity),
    ApiGen_Method(0xd2baa0b9, "getDirectorySize", N::Open, {kPath, kCallbackId}, kBoolean,
                  getDirectorySize),
    ApiGen_Method(0x31f5c758, "resolve", N::Open, {kPath}, kString, resolve),
    ApiGen_Method(0xc05cda25, "normalize", N::Open, {kPathChecked, kTrailingSlash}, kString,
                  normalize),
    ApiGen_Method(0xead94b39, "isSamePath", N::Open, {kPath, kComparePath, kIgnoreCase},
                  kBoolean, isSamePath),
    ApiGen_Method(0x9c69d6b3, "getFileName", N::Open, {kPath}, kString, getFileName),
    ApiGen_Method(0x51af0934, "getFileNameWithoutExtension", N::Open, {kPath}, kString,
                  getFileNameWithoutExtension),
    ApiGen_Method(0x4b8e3623, "getExtension", N::Open, {kPath, kIncludeDot}, kString,
                  getExtension),
    ApiGen_Method(0x92414f8e, "getDirectory", N::Open, {kPath}, kString, getDirectory),
    ApiGen_Method(0x498eae40, "pathToUrl", N::Open, {kPath}, kString, pathToUrl),
    ApiGen_Method(0x5e9b09cf, "urlToPath", N::Open, {kUrl}, kString, urlToPath),
};
static_assert(ApiGen_TableIsSound(kFileSystemMethods));

constexpr ApiGenClass kFileSystemClass{"Path", kFileSystemMethods};
const ApiGenRegistrar kFileSystemRegistrar{&kFileSystemClass};

}  // namespace

int FileSystemInterop_Invoke(void *object, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(kFileSystemClass, object, request, result);
}
