#include "mime/file_buffers.h"

#include <cstring>

#include "mime/decoder_state.h"
#include "platform/platform.h"

namespace qel {
namespace {

constexpr int32_t kBufferedFiles = 3;

// A file's block comes with its first write: a download that copies no
// original message holds no block for it.
struct FileBuffers {
  int32_t used[kBufferedFiles];
  char* bytes[kBufferedFiles];
};

int32_t handleOf(const ChannelRecord* record, BufferedFile file) {
  if (file == BufferedFile::original) return record->decoder->originalFile;
  return file == BufferedFile::message ? record->decoder->mailFile : record->decoder->fileHandle;
}

// The buffers with the block of `file` (made when `make` is set); null
// when there is none.
FileBuffers* buffersOf(ChannelRecord* record, BufferedFile file, bool make) {
  auto* buffers = static_cast<FileBuffers*>(record->decoder->fileBuffers);
  if (buffers == nullptr && make) {
    buffers = static_cast<FileBuffers*>(plat::memoryAllocate(sizeof(FileBuffers)));
    if (buffers != nullptr) std::memset(buffers, 0, sizeof *buffers);
    record->decoder->fileBuffers = buffers;
  }
  if (buffers == nullptr) return nullptr;
  auto slot = static_cast<int32_t>(file);
  if (buffers->bytes[slot] == nullptr && make) {
    buffers->bytes[slot] = static_cast<char*>(plat::memoryAllocate(kFileBufferSize));
  }
  return buffers->bytes[slot] != nullptr ? buffers : nullptr;
}

}  // namespace

int32_t flushBuffered(ChannelRecord* record, BufferedFile file) {
  FileBuffers* buffers = buffersOf(record, file, false);
  if (buffers == nullptr) return 0;
  auto slot = static_cast<int32_t>(file);
  int32_t used = buffers->used[slot];
  if (used == 0) return 0;
  buffers->used[slot] = 0;
  return plat::fileWrite(handleOf(record, file), buffers->bytes[slot], used) < 0 ? -1 : 0;
}

int32_t writeBuffered(ChannelRecord* record, BufferedFile file, const void* bytes, int32_t n) {
  int32_t handle = handleOf(record, file);
  if (handle <= 0 || n < 0) return -1;
  FileBuffers* buffers = buffersOf(record, file, true);
  if (buffers == nullptr) return plat::fileWrite(handle, bytes, n);
  auto slot = static_cast<int32_t>(file);
  if (buffers->used[slot] + n > kFileBufferSize) {
    if (flushBuffered(record, file) < 0) return -1;
    // What would fill the buffer at once goes straight to the file.
    if (n >= kFileBufferSize) return plat::fileWrite(handle, bytes, n);
  }
  std::memcpy(buffers->bytes[slot] + buffers->used[slot], bytes, static_cast<size_t>(n));
  buffers->used[slot] += n;
  return n;
}

char* bufferedRoom(ChannelRecord* record, BufferedFile file, int32_t* room) {
  *room = 0;
  if (handleOf(record, file) <= 0) return nullptr;
  FileBuffers* buffers = buffersOf(record, file, true);
  if (buffers == nullptr) return nullptr;
  auto slot = static_cast<int32_t>(file);
  if (kFileBufferSize - buffers->used[slot] < kFileBufferSize / 2 && flushBuffered(record, file) < 0) {
    *room = -1;
    return nullptr;
  }
  *room = kFileBufferSize - buffers->used[slot];
  return buffers->bytes[slot] + buffers->used[slot];
}

void commitBuffered(ChannelRecord* record, BufferedFile file, int32_t n) {
  FileBuffers* buffers = buffersOf(record, file, false);
  if (buffers == nullptr || n <= 0) return;
  auto slot = static_cast<int32_t>(file);
  int32_t used = buffers->used[slot] + n;
  buffers->used[slot] = used < kFileBufferSize ? used : kFileBufferSize;
}

void releaseFileBuffers(ChannelRecord* record) {
  if (record->decoder->fileBuffers == nullptr) return;
  auto* buffers = static_cast<FileBuffers*>(record->decoder->fileBuffers);
  for (int32_t slot = 0; slot < kBufferedFiles; ++slot) {
    flushBuffered(record, static_cast<BufferedFile>(slot));
    plat::memoryFree(buffers->bytes[slot]);
  }
  plat::memoryFree(record->decoder->fileBuffers);
  record->decoder->fileBuffers = nullptr;
}

}  // namespace qel
