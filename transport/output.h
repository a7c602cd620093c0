// The output buffer: message data (header, body and attachment lines) goes
// out in large writes instead of one system call per line. What reaches the
// wire, and the log, is the same as when every line is sent on its own: the
// log gets each piece behind "S: " as it is buffered.
//
// The buffer is written out before any reply is awaited, before any other
// send, after every line while a line delay is set, at the end of the data,
// and when the socket is closed (also on a failure).
#pragma once

#include <cstdint>

#include "transport/connection_state.h"

namespace qel {

// Message data goes through the buffer from now on (the server has said go
// ahead with DATA); the buffer's memory is taken here and given back by
// stopBatchedOutput. 0, or kErrNoMemory when it cannot be had.
int32_t startBatchedOutput(Connection* connection);

// Appends bytes, writing the buffer out first when they do not fit. Returns
// length, or the negated socket error of a write-out that failed.
int32_t sendBatched(Connection* connection, const char* bytes, int32_t length);

// Writes out what the buffer holds. 0, or a negated socket error; the
// buffer is empty afterwards either way.
int32_t flushOutput(Connection* connection);

// Writes the buffer out and sends directly from now on. As flushOutput.
int32_t stopBatchedOutput(Connection* connection);

// Whether the next line of message data goes into the buffer without a
// write: the step that sends it then need not wait for the socket.
bool outputHasRoomForLine(const Connection* connection);

// Whether message lines may go out many per driver step: the buffer is on
// and no line delay asks for a pause after each line.
bool outputTakesBlocks(const Connection* connection);

// Message data that a state encodes straight into the buffer: the room
// left, where the data goes, and taking in length bytes written there. The
// log gets them line by line, each behind "S: ", as sendBatched logs lines.
int32_t outputRoom(const Connection* connection);
char* outputTail(Connection* connection);
void takeOutput(Connection* connection, int32_t length);

}  // namespace qel
