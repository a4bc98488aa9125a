// PlatformInterop: see platforminterop.h.
#include "core/bridge/platforminterop.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/bridge/apigen.h"
#include "core/formats/dictionary.h"
#include "core/platform/credential.h"
#include "core/platform/file.h"
#include "core/platform/launch.h"
#include "core/platform/platform.h"
#include "core/platform/shortcut.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"
#include "core/runtime/time.h"
#include "core/security/auth.h"
#include "core/security/certstorei.h"
#include "core/security/executable.h"
#include "core/security/x509anchors.h"

namespace {

constexpr int kTextBytes = 8192;
constexpr const char *kWebTargetPrefix = "pelk.webget:";
// How long reboot waits for its command to finish.
constexpr int32_t kRebootWaitMs = 30000;
constexpr uint32_t kRebootPollMs = 20;

std::atomic<const char *> gRebootProgram{"systemctl"};

// What a handler answers beyond "returnValue": the frame hands it the
// dispatch's extras as its object, and PlatformInterop_Invoke writes them.
struct PlatformInteropExtras {
  int userName = 0;  // write "username"
  int password = 0;  // write "password"
  int dataStore = 0;  // "returnValue" is the data store text instead of null
  std::string user;
  std::string secret;
  std::string store;
  ~PlatformInteropExtras() {
    // The password does not outlive the call in this copy.
    if (!secret.empty()) explicit_bzero(secret.data(), secret.size());
  }
};

PlatformInteropExtras *extrasOf(void *object) {
  return static_cast<PlatformInteropExtras *>(object);
}

// A handler's answer text from a platform function that fills a buffer.
template <typename Fill>
void answerText(ApiGenAnswer *answer, Fill fill) {
  char buffer[kTextBytes] = {};
  fill(buffer, int(sizeof buffer));
  answer->storage = buffer;
  answer->text = answer->storage.c_str();
}

void getName(void *, const ApiGenValue *, ApiGenAnswer *answer) { answer->text = "Linux"; }
void getShortName(void *, const ApiGenValue *, ApiGenAnswer *answer) { answer->text = "linux"; }
void getBitness(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  answer->integer = Platform_GetSystemBitness();
}
void getUserName(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  answerText(answer, [](char *out, int size) { Platform_GetUserName(out, size); });
}
void getUserLanguage(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  answerText(answer, [](char *out, int size) { Platform_GetUserISO639LangName(out, size); });
}
void getUserCountry(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  answerText(answer, [](char *out, int size) { Platform_GetUserISO3166CountryName(out, size); });
}
void getSystemTheme(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  answerText(answer, [](char *out, int size) { Platform_GetTheme(out, size); });
}
void getEnvironmentVariable(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answerText(answer,
             [v](char *out, int size) { Platform_GetEnvironmentVariable(v[0].text, out, size); });
}
// Held in the program's own table, never in environ (see envoverlay.h):
// the program's reads and the programs it starts see it.
void setEnvironmentVariable(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Platform_SetEnvironmentVariable(v[0].text, v[1].text);
}
void formatDate(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answerText(answer, [v](char *out, int size) {
    Time_FormatHttpDate(kTimeFormatHttp, out, size, v[0].number);
  });
}
void getErrorName(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->text = Platform_ErrorName(int(v[0].integer));
}
void getProcessPath(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answerText(answer, [v](char *out, int size) {
    Platform_GetProcessImagePath(uint32_t(v[0].integer), out, size);
  });
}
void findProcess(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  int32_t pid = -1;
  if (!Platform_FindProcessByName(v[0].text, &pid)) pid = -1;
  answer->integer = pid;
}

// Logs at DEBUG the first time only.
void debugOnce(std::atomic<bool> *said, const char *text) {
  if (!said->exchange(true)) Log_Print(LOG_DEBUG, KSRC, 0, "%s", text);
}

// There is no window list to search here.
void findWindow(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  static std::atomic<bool> said{false};
  debugOnce(&said, "Platform - findWindow - no window list on this system\n");
  answer->boolean = 0;
}
// Nothing keeps a desktop session awake from here: the answer says so.
void resetSystemIdleTimer(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  static std::atomic<bool> said{false};
  debugOnce(&said, "Platform - resetSystemIdleTimer - no idle timer on this system\n");
  answer->boolean = 0;
}

void shellOpen(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Platform_ShellOpen(v[0].text);
}
void checkAccess(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Platform_CheckFileAccess(v[0].text, int(v[1].integer), v[2].boolean);
}

// Reads a regular file of at most kPlatformInteropCertificateBytes whole.
int platformInteropReadSmallFile(const char *path, std::vector<uint8_t> *data) {
  PlatformFileStatus status{};
  int64_t size = -1;
  if (Platform_Stat(path, &status)) size = status.size;
  int regular = (status.mode & 0170000u) == 0100000u;
  if (!regular || size < 0 || size > kPlatformInteropCertificateBytes) {
    Log_Print(LOG_ERROR, KSRC, 0, "Invalid size for file [%s] (%I64d)\n", path, size);
    return 0;
  }
  File *file = nullptr;
  File_Create(&file);
  File_DisableRetries(file);
  int ok = File_Open(file, path, kFileModeRead);
  if (ok) {
    // The file may have grown since: never more than the bound plus one.
    data->resize(size_t(kPlatformInteropCertificateBytes) + 1);
    size_t have = 0;
    int32_t count = 0;
    while (have < data->size() &&
           File_Read(file, data->data() + have, int32_t(data->size() - have), &count))
      have += size_t(count);
    data->resize(have);
    File_Close(file);
    if (have > size_t(kPlatformInteropCertificateBytes)) {
      Log_Print(LOG_ERROR, KSRC, 0, "Invalid size for file [%s] (%I64d)\n", path, int64_t(have));
      ok = 0;
    }
  }
  File_Release(&file);
  return ok;
}

int keepFirstCertificate(void *context, const uint8_t *der, int32_t length) {
  static_cast<std::vector<uint8_t> *>(context)->assign(der, der + length);
  return 0;
}

void validateCertificateFile(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  const char *path = v[1].text;
  if (!Authenticate_Enabled()) {
    Log_Print(LOG_INFO, KSRC, 0, "Skipping certificate authentication (%s)\n", path);
    answer->boolean = 1;
    return;
  }
  std::vector<uint8_t> data;
  if (!platformInteropReadSmallFile(path, &data)) return;
  // DER starts with a SEQUENCE; anything else is read as PEM text.
  std::vector<uint8_t> der;
  if (!data.empty() && data[0] == 0x30) {
    der.swap(data);
  } else {
    X509Pem_ReadCertificates(reinterpret_cast<const char *>(data.data()), data.size(),
                             keepFirstCertificate, &der);
  }
  CertStore *store = Auth_GetCertStore(v[0].text);
  answer->boolean = !der.empty() && store != nullptr &&
                    Auth_VerifyCertificateDer(store, der.data(), int32_t(der.size()));
  CertStore_Release(&store);
  if (!answer->boolean)
    Log_Print(LOG_ERROR, KSRC, 0, "Ceritificate file validation (%s) failed\n", path);
}

// The data store of path (NULL: our own file) as Base64 text in the extras.
void answerDataStore(void *object, const char *path) {
  char *data = nullptr;
  int64_t size = 0;
  if (!Executable_ReadDataStore(path, &data, &size)) return;
  char *text = nullptr;
  int64_t textSize = 0;
  if (ApiGen_Base64Encode(data, size, &text, &textSize)) {
    extrasOf(object)->store = text;
    extrasOf(object)->dataStore = 1;
    MEM_FREE(text, textSize);
  }
  MEM_FREE(data, size + 1);
}
void getDataStore(void *object, const ApiGenValue *, ApiGenAnswer *) {
  answerDataStore(object, nullptr);
}
void getFileDataStore(void *object, const ApiGenValue *v, ApiGenAnswer *) {
  answerDataStore(object, v[0].text);
}

// The HTTP client's entries are reached only through the web methods.
int platformInteropIsWebTarget(const char *target) {
  return Str_StartsWithNoCase(target, kWebTargetPrefix);
}

void getCredential(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  PlatformInteropExtras *extras = extrasOf(object);
  extras->userName = extras->password = 1;
  if (platformInteropIsWebTarget(v[0].text)) return;
  char user[kTextBytes] = {};
  char password[kCredentialPasswordBytes] = {};
  answer->boolean = Platform_CredentialRead(v[0].text, user, int(sizeof user), password);
  extras->user = user;
  extras->secret = password;
  explicit_bzero(password, sizeof password);
}
void setCredential(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = !platformInteropIsWebTarget(v[0].text) &&
                    Platform_CredentialWrite(v[0].text, v[1].text, v[2].text);
}
void removeCredential(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = !platformInteropIsWebTarget(v[0].text) &&
                    Platform_CredentialWrite(v[0].text, nullptr, nullptr);
}
void getWebCredential(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  PlatformInteropExtras *extras = extrasOf(object);
  extras->userName = 1;
  char user[kTextBytes] = {};
  char password[kCredentialPasswordBytes] = {};
  answer->boolean = Platform_CredentialLoad(int(v[0].integer), v[1].text, v[2].text, user,
                                            int(sizeof user), password);
  explicit_bzero(password, sizeof password);
  extras->user = user;
}
void setWebCredential(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean =
      Platform_CredentialStore(int(v[0].integer), v[1].text, v[2].text, v[3].text, v[4].text);
}
void removeWebCredential(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean =
      Platform_CredentialStore(int(v[0].integer), v[1].text, v[2].text, nullptr, nullptr);
}

// location joined with description, when the description is one path
// component; else 0 and nothing to write.
int platformInteropShortcutPath(const char *location, const char *description,
                                std::string *path) {
  if (description[0] == '\0' || strcmp(description, ".") == 0 || strcmp(description, "..") == 0 ||
      strpbrk(description, "/\\") != nullptr) {
    Log_Print(LOG_ERROR, KSRC, 0, "Platform - shortcut name refused - %s\n", description);
    return 0;
  }
  *path = location;
  if (!path->empty() && path->back() != '/') *path += '/';
  *path += description;
  return 1;
}

void createShortcut(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  std::string path;
  if (!platformInteropShortcutPath(v[3].text, v[4].text, &path)) return;
  std::string executable = v[0].text;
  size_t slash = executable.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : executable.substr(0, slash);
  if (slash == 0) directory = "/";
  answer->boolean = Platform_CreateShortcut(path.c_str(), v[0].text, v[1].text, directory.c_str(),
                                            v[4].text, v[5].text, int(v[2].integer),
                                            uint32_t(v[6].integer));
}
void removeShortcut(void *, const ApiGenValue *v, ApiGenAnswer *answer) {
  std::string path;
  answer->boolean = platformInteropShortcutPath(v[0].text, v[1].text, &path) &&
                    Platform_DeleteShortcut(path.c_str());
}

// A restart as the desktop asks for one: applications are not forced closed.
void reboot(void *, const ApiGenValue *, ApiGenAnswer *answer) {
  if (!Platform_EnablePrivilege(2))
    Log_Print(LOG_INFO, KSRC, 0, "Platform - reboot - no boot privilege, asking all the same\n");
  ProcessHandle *process = nullptr;
  if (!Platform_Execute(gRebootProgram.load(), "reboot", "", 0x10, &process)) return;
  int32_t code = kProcessStillActive;
  for (int32_t waited = 0; waited < kRebootWaitMs; waited += int32_t(kRebootPollMs)) {
    if (Platform_GetProcessExitCode(process, &code)) break;
    Platform_SleepMs(kRebootPollMs);
  }
  Platform_CloseProcess(&process);
  answer->boolean = code == 0;
}

using P = ApiGenParamType;
constexpr ApiGenParam kName{"name", P::String};
constexpr ApiGenParam kValue{"value", P::String};
constexpr ApiGenParam kDate{"date", P::Double};
constexpr ApiGenParam kError{"error", P::Int32};
constexpr ApiGenParam kId{"id", P::Int32};
constexpr ApiGenParam kPathText{"path", P::String};
constexpr ApiGenParam kCaption{"caption", P::String};
constexpr ApiGenParam kClassName{"className", P::String};
constexpr ApiGenParam kVisibleOnly{"searchOnlyVisible", P::Boolean};
constexpr ApiGenParam kPermissions{"permissions", P::Int32};
constexpr ApiGenParam kRecurse{"recurse", P::Boolean};
constexpr ApiGenParam kCertStoreName{"certStoreName", P::String};
constexpr ApiGenParam kTarget{"target", P::String};
constexpr ApiGenParam kUserName{"username", P::String};
constexpr ApiGenParam kPassword{"password", P::String};
constexpr ApiGenParam kAccessType{"accessType", P::Int32};
constexpr ApiGenParam kHost{"host", P::String};
constexpr ApiGenParam kRealm{"realm", P::String};
constexpr ApiGenParam kExecutable{"executable", P::String};
constexpr ApiGenParam kParameter{"parameter", P::String};
constexpr ApiGenParam kIconId{"iconId", P::Int32};
constexpr ApiGenParam kLocation{"location", P::String};
constexpr ApiGenParam kDescription{"description", P::String};
constexpr ApiGenParam kIconLocation{"iconLocation", P::String};
constexpr ApiGenParam kFlags{"flags", P::Int32};

using N = ApiGenName;
using A = ApiGenAnswerType;
constexpr ApiGenMethod kPlatformMethods[] = {
    ApiGen_Method(0x58437bd7, "getName", N::Settled, {}, A::String, getName),
    ApiGen_Method(0x59fc4220, "getShortName", N::Settled, {}, A::String, getShortName),
    ApiGen_Method(0x4699d37b, "getBitness", N::Settled, {}, A::Int64, getBitness),
    ApiGen_Method(0x4cd17bcc, "getUserName", N::Settled, {}, A::String, getUserName),
    ApiGen_Method(0x1ed34f4b, "getUserLanguage", N::Settled, {}, A::String, getUserLanguage),
    ApiGen_Method(0xe18fbd97, "getUserCountry", N::Settled, {}, A::String, getUserCountry),
    ApiGen_Method(0xfb7dba32, "getSystemTheme", N::Settled, {}, A::String, getSystemTheme),
    ApiGen_Method(0x6f5a6d98, "getEnvironmentVariable", N::Settled, {kName}, A::String,
                  getEnvironmentVariable),
    ApiGen_Method(0x9a0cb4d9, "setEnvironmentVariable", N::Settled, {kName, kValue}, A::Boolean,
                  setEnvironmentVariable),
    ApiGen_Method(0x07bfa61d, "formatDate", N::Open, {kDate}, A::String, formatDate),
    ApiGen_Method(0xe8cdf3b8, "getErrorName", N::Open, {kError}, A::String, getErrorName),
    ApiGen_Method(0x3bef935b, "getProcessPath", N::Settled, {kId}, A::String, getProcessPath),
    ApiGen_Method(0xead8c82e, "findProcess", N::Settled, {kPathText}, A::Int64, findProcess),
    ApiGen_Method(0x48a1ac89, "findWindow", N::Settled, {kCaption, kClassName, kVisibleOnly},
                  A::Boolean, findWindow),
    ApiGen_Method(0xf3559519, "shellOpen", N::Settled, {kPathText}, A::Boolean, shellOpen),
    ApiGen_Method(0x06692b54, "checkAccess", N::Open, {kPathText, kPermissions, kRecurse},
                  A::Boolean, checkAccess),
    ApiGen_Method(0x4ad55b1c, "validateCertificateFile", N::Open, {kCertStoreName, kPathText},
                  A::Boolean, validateCertificateFile),
    ApiGen_Method(0x453a06f7, "getDataStore", N::Settled, {}, A::Null, getDataStore),
    ApiGen_Method(0xd3ee7032, "getFileDataStore", N::Settled, {kPathText}, A::Null,
                  getFileDataStore),
    ApiGen_Method(0x2b56d600, "getCredential", N::Settled, {kTarget}, A::Boolean, getCredential),
    ApiGen_Method(0x5fe81a4c, "setCredential", N::Settled, {kTarget, kUserName, kPassword},
                  A::Boolean, setCredential),
    ApiGen_Method(0x943cbedd, "removeCredential", N::Settled, {kTarget}, A::Boolean,
                  removeCredential),
    ApiGen_Method(0xcf618ab4, "getWebCredential", N::Settled, {kAccessType, kHost, kRealm},
                  A::Boolean, getWebCredential),
    ApiGen_Method(0xfd77f8ad, "setWebCredential", N::Settled,
                  {kAccessType, kHost, kRealm, kUserName, kPassword}, A::Boolean,
                  setWebCredential),
    ApiGen_Method(0x4a734581, "removeWebCredential", N::Settled, {kAccessType, kHost, kRealm},
                  A::Boolean, removeWebCredential),
    ApiGen_Method(0x81fe2bb0, "createShortcut", N::Settled,
                  {kExecutable, kParameter, kIconId, kLocation, kDescription, kIconLocation,
                   kFlags},
                  A::Boolean, createShortcut),
    ApiGen_Method(0xe3b8dbed, "removeShortcut", N::Settled, {kLocation, kDescription},
                  A::Boolean, removeShortcut),
    ApiGen_Method(0x5194d4da, "resetSystemIdleTimer", N::Settled, {}, A::Boolean,
                  resetSystemIdleTimer),
    ApiGen_Method(0xc153848c, "reboot", N::Settled, {}, A::Boolean, reboot),
};
static_assert(ApiGen_TableIsSound(kPlatformMethods));

constexpr ApiGenClass kPlatformClass{"Platform", kPlatformMethods};
const ApiGenRegistrar kPlatformRegistrar{&kPlatformClass};

}  // namespace

int PlatformInterop_Invoke(void *, Dictionary *request, Dictionary *result) {
  PlatformInteropExtras extras;
  int answered = ApiGen_Dispatch(kPlatformClass, &extras, request, result);
  if (extras.dataStore) Dictionary_SetStringByKey(result, "returnValue", extras.store.c_str());
  if (extras.userName) Dictionary_SetStringByKey(result, "username", extras.user.c_str());
  if (extras.password) Dictionary_SetStringByKey(result, "password", extras.secret.c_str());
  return answered;
}

void PlatformInterop_SetRebootProgramForTest(const char *program) {
  gRebootProgram = program != nullptr ? program : "systemctl";
}
