// QVN.Pipe: a page's own named pipe. The object is a Pipe made for the
// instance (its id is the instance id, so its "Pipe"."Read" notifications
// name the instance); the operations are its setters, getters, start and
// write.
//
// A page's pipe name stays one name inside the pipe namespace: start expands
// the macros of a copy of the name and opens only when the result is 1 to
// 100 bytes of letters, digits, '.', '_' and '-' not starting with '.'.
//
// Threads: main thread (the pipe's poll fires there).
#include <cstdint>
#include <cstring>

#include "core/bridge/apigen.h"
#include "core/bridge/coreinterop.h"
#include "core/platform/pipe.h"
#include "core/runtime/expand.h"
#include "core/runtime/log.h"
#include "core/runtime/str.h"

namespace {

using P = ApiGenParamType;
constexpr ApiGenParam kName{"name", P::String};
constexpr ApiGenParam kBufferSize{"bufferSize", P::Int32};
constexpr ApiGenParam kOpenExisting{"openExisting", P::Boolean};
constexpr ApiGenParam kBuffer{"buffer", P::Base64};
// The longest expanded name start opens.
constexpr size_t kPipeInteropNameMax = 100;

Pipe *pipe(void *object) { return static_cast<Pipe *>(object); }

// 1 when the expanded name is one plain name.
int pipeInteropNameIsPlain(const char *name) {
  size_t length = strlen(name);
  if (length == 0 || length > kPipeInteropNameMax || name[0] == '.') return 0;
  for (size_t i = 0; i < length; i++) {
    char c = name[i];
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-';
    if (!plain) return 0;
  }
  return 1;
}

void setName(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Pipe_SetName(pipe(object), v[0].text);
}

void getName(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  Pipe_GetName(pipe(object), &answer->text);
}

void setBufferSize(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Pipe_SetBufferSize(pipe(object), int32_t(v[0].integer));
}

void getBufferSize(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  int32_t size = 0;
  Pipe_GetBufferSize(pipe(object), &size);
  answer->integer = size;
}

void setOpenExisting(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  answer->boolean = Pipe_SetOpenExisting(pipe(object), v[0].boolean);
}

void getOpenExisting(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  int32_t openExisting = 0;
  Pipe_GetOpenExisting(pipe(object), &openExisting);
  answer->boolean = openExisting != 0;
}

void start(void *object, const ApiGenValue *, ApiGenAnswer *answer) {
  const char *name = nullptr;
  Pipe_GetName(pipe(object), &name);
  char expanded[kStrExpandWorkBytes];
  Str_Copy(expanded, name, int(sizeof expanded));
  if (!Str_Expand(expanded, int(sizeof expanded), nullptr, nullptr) ||
      !pipeInteropNameIsPlain(expanded)) {
    Log_Print(LOG_ERROR, KSRC, 0, "Pipe - Name refused - %s\n", name);
    Pipe_Close(pipe(object));  // start ends the old connection either way
    answer->boolean = 0;
    return;
  }
  answer->boolean = Pipe_Open(pipe(object));
}

void write(void *object, const ApiGenValue *v, ApiGenAnswer *answer) {
  int32_t count = 0;
  int32_t size = v[0].length > INT32_MAX ? INT32_MAX : int32_t(v[0].length);
  Pipe_Write(pipe(object), v[0].data, size, &count);
  answer->integer = count;
}

using N = ApiGenName;
constexpr auto kBoolean = ApiGenAnswerType::Boolean;
constexpr auto kInt64 = ApiGenAnswerType::Int64;
constexpr ApiGenMethod kPipeMethods[] = {
    ApiGen_Method(0xcbd2c30a, "setName", N::Settled, {kName}, kBoolean, setName),
    ApiGen_Method(0x58437bd7, "getName", N::Settled, {}, ApiGenAnswerType::String, getName),
    ApiGen_Method(0x8544944b, "setBufferSize", N::Settled, {kBufferSize}, kBoolean,
                  setBufferSize),
    ApiGen_Method(0xf1fa5807, "getBufferSize", N::Settled, {}, kInt64, getBufferSize),
    ApiGen_Method(0x09fb48ea, "setOpenExisting", N::Settled, {kOpenExisting}, kBoolean,
                  setOpenExisting),
    ApiGen_Method(0xc7e5b2c6, "getOpenExisting", N::Settled, {}, kBoolean, getOpenExisting),
    ApiGen_Method(0x9f79558f, "start", N::Settled, {}, kBoolean, start),
    ApiGen_Method(0x7d6b7a5f, "write", N::Settled, {kBuffer}, kInt64, write),
};
static_assert(ApiGen_TableIsSound(kPipeMethods));

constexpr ApiGenClass kPipeClass{"Pipe", kPipeMethods};
const ApiGenRegistrar kPipeRegistrar{&kPipeClass};

}  // namespace

int PipeInterop_Invoke(void *object, Dictionary *request, Dictionary *result) {
  return ApiGen_Dispatch(kPipeClass, object, request, result);
}
