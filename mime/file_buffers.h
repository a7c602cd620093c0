// Buffered writing of the files a download writes: the message file
// (mailFile), the attachment file (fileHandle) and the copy of the original
// message (originalFile) each gather their bytes in a block of
// kFileBufferSize, written out when it is full and whenever the file is
// flushed (at the end of a part, before the file is closed, on failure).
// The blocks belong to the download: each allocated by the first write to
// its file, freed with its files. Without memory the bytes go straight to
// the file.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

enum class BufferedFile : int32_t {
  message = 0,     // mailFile
  attachment = 1,  // fileHandle
  original = 2,    // originalFile
};

constexpr int32_t kFileBufferSize = 32768;

// Writes n bytes to the file through its buffer. n; the result of the write
// that failed (-1; what the buffer held is then dropped); or -1 when the
// file is not open.
int32_t writeBuffered(ChannelRecord* record, BufferedFile file, const void* bytes, int32_t n);

// Room at the end of the file's buffer for bytes put straight into it (a
// socket read): when less than half the buffer is free, it is written out
// first. Null with *room 0 when the file has no buffer (not open, no
// memory); null with *room -1 when the write-out failed.
char* bufferedRoom(ChannelRecord* record, BufferedFile file, int32_t* room);

// Counts n bytes put at bufferedRoom as written (n at most its room).
void commitBuffered(ChannelRecord* record, BufferedFile file, int32_t n);

// Writes out what the buffer of the file holds. 0, or -1 when the write
// failed (the bytes are dropped).
int32_t flushBuffered(ChannelRecord* record, BufferedFile file);

// Writes out every buffer and frees them.
void releaseFileBuffers(ChannelRecord* record);

}  // namespace qel
