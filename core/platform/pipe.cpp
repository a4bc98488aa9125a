// Pipe: see pipe.h.
#include "core/platform/pipe.h"

#include <cstring>

#include "core/platform/interopcallback.h"
#include "core/platform/namedpipe.h"
#include "core/runtime/expand.h"
#include "core/runtime/memory.h"
#include "core/runtime/str.h"

struct Pipe {
  ObjectHeader header;  // kPipeTag; a fresh id
  Stream stream;        // context = this pipe
  NamedPipe *pipe;      // NULL while closed
  char name[kPipeNameBytes];
  int32_t bufferSize;
  uint64_t bytesRead;
  uint64_t bytesWritten;
  int32_t openExisting;
};

namespace {

constexpr const char *kPipePrefixMacro = "{PipePath}";

Pipe *pipeCheck(void *pipe, const char *sourcePath, int line) {
  Class_Check(pipe, kPipeTag, sourcePath, line);
  return static_cast<Pipe *>(pipe);
}

void pipeDestroy(void **object) {
  Pipe *pipe = pipeCheck(*object, KSRC);
  *object = nullptr;
  NamedPipe_Release(&pipe->pipe);
  pipe->header.classTag = 0;
  MEM_FREE(pipe, sizeof(Pipe));
}

int pipeStreamPeek(void *context, void *buffer, int32_t size, int32_t *count) {
  return Pipe_Peek(static_cast<Pipe *>(context), buffer, size, count);
}
int pipeStreamWrite(void *context, const void *data, int32_t size, int32_t *count) {
  return Pipe_Write(static_cast<Pipe *>(context), data, size, count);
}
int pipeStreamRead(void *context, void *buffer, int32_t size, int32_t *count) {
  return Pipe_Read(static_cast<Pipe *>(context), buffer, size, count);
}
int pipeStreamFlush(void *context) { return Pipe_Flush(static_cast<Pipe *>(context)); }
int pipeStreamIsOpen(void *context) { return Pipe_IsOpen(static_cast<Pipe *>(context)); }
int pipeStreamClose(void *context) { return Pipe_Close(static_cast<Pipe *>(context)); }

}  // namespace

int Pipe_Create(Pipe **pipe) {
  CHECK_POINTER(pipe);
  auto *created = static_cast<Pipe *>(MEM_ALLOC(sizeof(Pipe), 2));
  created->header.classTag = kPipeTag;
  created->header.refCount.store(1);
  created->header.destroy = pipeDestroy;
  Class_GenerateInstanceId(created);
  Stream &s = created->stream;
  s.context = created;
  s.Peek = pipeStreamPeek;
  s.Write = pipeStreamWrite;
  s.Read = pipeStreamRead;
  s.Flush = pipeStreamFlush;
  s.IsOpen = pipeStreamIsOpen;
  s.Close = pipeStreamClose;
  *pipe = created;
  return 1;
}

int Pipe_SetName(Pipe *pipe, const char *name) {
  pipeCheck(pipe, KSRC);
  CHECK_POINTER(name);
  if (strlen(name) >= size_t(kPipeNameBytes)) return 0;
  Str_Copy(pipe->name, name, kPipeNameBytes);
  return 1;
}

int Pipe_GetName(Pipe *pipe, const char **name) {
  pipeCheck(pipe, KSRC);
  CHECK_POINTER(name);
  *name = pipe->name;
  return 1;
}

int Pipe_SetBufferSize(Pipe *pipe, int32_t size) {
  pipeCheck(pipe, KSRC);
  if (size < 1) return 0;
  pipe->bufferSize = size;
  return 1;
}

int Pipe_GetBufferSize(Pipe *pipe, int32_t *size) {
  pipeCheck(pipe, KSRC);
  CHECK_POINTER(size);
  *size = pipe->bufferSize;
  return 1;
}

int Pipe_SetOpenExisting(Pipe *pipe, int32_t openExisting) {
  pipeCheck(pipe, KSRC);
  pipe->openExisting = openExisting != 0 ? 1 : 0;
  return 1;
}

int Pipe_GetOpenExisting(Pipe *pipe, int32_t *openExisting) {
  pipeCheck(pipe, KSRC);
  CHECK_POINTER(openExisting);
  *openExisting = pipe->openExisting;
  return 1;
}

Stream *Pipe_GetStream(Pipe *pipe) { return &pipeCheck(pipe, KSRC)->stream; }

int Pipe_GetByteCounts(Pipe *pipe, uint64_t *bytesRead, uint64_t *bytesWritten) {
  pipeCheck(pipe, KSRC);
  CHECK_POINTER(bytesRead);
  CHECK_POINTER(bytesWritten);
  *bytesRead = pipe->bytesRead;
  *bytesWritten = pipe->bytesWritten;
  return 1;
}

int Pipe_Open(Pipe *pipe) {
  Pipe_Close(pipe);
  char path[kStrExpandWorkBytes];
  Str_Copy(path, kPipePrefixMacro, sizeof path);
  Str_Cat(path, pipe->name, sizeof path);
  if (!Str_Expand(path, sizeof path, nullptr, nullptr)) return 0;
  uint32_t flags = pipe->openExisting ? kNamedPipeConnect : 0;
  return NamedPipe_Create(&pipe->pipe, path, pipe->bufferSize, flags);
}

int Pipe_Close(Pipe *pipe) {
  pipeCheck(pipe, KSRC);
  NamedPipe_Release(&pipe->pipe);
  pipe->bytesRead = 0;
  pipe->bytesWritten = 0;
  return 1;
}

int Pipe_IsOpen(Pipe *pipe) {
  pipeCheck(pipe, KSRC);
  return pipe->pipe != nullptr && NamedPipe_IsOpen(pipe->pipe);
}

int Pipe_Read(Pipe *pipe, void *buffer, int32_t size, int32_t *count) {
  pipeCheck(pipe, KSRC);
  CHECK_POINTER(count);
  *count = 0;
  if (pipe->pipe == nullptr || !NamedPipe_Read(pipe->pipe, buffer, size, count)) return 0;
  pipe->bytesRead += uint64_t(*count);
  return 1;
}

int Pipe_Write(Pipe *pipe, const void *data, int32_t size, int32_t *count) {
  pipeCheck(pipe, KSRC);
  CHECK_POINTER(count);
  *count = 0;
  if (pipe->pipe == nullptr || !NamedPipe_Write(pipe->pipe, data, size, count)) return 0;
  pipe->bytesWritten += uint64_t(*count);
  return 1;
}

int Pipe_Peek(Pipe *pipe, void *buffer, int32_t size, int32_t *count) {
  pipeCheck(pipe, KSRC);
  CHECK_POINTER(count);
  *count = 0;
  if (pipe->pipe == nullptr) return 0;
  return NamedPipe_Peek(pipe->pipe, buffer, size, count) && *count > 0;
}

int Pipe_Flush(Pipe *pipe) {
  pipeCheck(pipe, KSRC);
  return pipe->pipe != nullptr && NamedPipe_Flush(pipe->pipe);
}

int Pipe_Poll(Pipe *pipe) {
  pipeCheck(pipe, KSRC);
  uint8_t buffer[kPipePollBytes];
  int32_t count = 0;
  if (Pipe_Read(pipe, buffer, sizeof buffer, &count) && count > 0)
    PipeInterop_FireRead(pipe->header.instanceId, buffer, count);
  return 1;
}
