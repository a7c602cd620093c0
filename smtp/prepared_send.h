// Sending a ready-made message: the operations that take it from a file or
// from the caller's memory (prepared_send.cpp) and the states that stream
// it after the go-ahead for DATA (prepared_states.cpp). The envelope, DATA
// and the final reply are the states of a composed message.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Values of ChannelRecord::preparedSource.
enum PreparedSource : uint8_t {
  kPreparedNone = 0,
  kPreparedFile = 1,    // the file named by messageText
  kPreparedMemory = 2,  // preparedData, preparedLength bytes
};

// Reads bytes of the prepared message from where the last call left off:
// the caller's memory as it is, or the file through bodyBuffer. Returns the
// number of bytes at *bytes (above 0), 0 at the end, or -1 when the file
// cannot be read further. takePrepared(n) marks n of them as used.
int32_t nextPreparedPiece(ChannelRecord* record, const char** bytes);
void takePrepared(ChannelRecord* record, int32_t count);

}  // namespace qel
