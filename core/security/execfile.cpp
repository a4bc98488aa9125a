// Shared pieces of the executable readers; see execfile.h.
#include "core/security/execfile.h"

namespace {

// The Write slot of the stream that feeds a hash.
int execHashWrite(void *context, const void *data, int32_t length, int32_t *written) {
  int64_t taken = 0;
  int ok = Hash_Update(static_cast<HashHandle *>(context), data, length, &taken);
  *written = ok ? length : 0;
  return ok;
}

}  // namespace

ExecutableHashFeed::ExecutableHashFeed(Stream *file, HashHandle *hash) {
  sink_.context = hash;
  sink_.Write = execHashWrite;
  BufferedStream_Create(&buffered_);
  BufferedStream_SetStream(buffered_, file);
  BufferedStream_SetReadBufferSize(buffered_, kChunkBytes);
  BufferedStream_GetStream(buffered_, &source_);
}

bool ExecutableHashFeed::Range(int64_t from, int64_t to) {
  if (to < from) return false;
  if (to == from) return true;
  return Stream_Seek(source_, StreamOrigin::Begin, from) &&
         Stream_CopyLength(&sink_, source_, to - from);
}
