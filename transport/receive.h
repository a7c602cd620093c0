// The receive side: a ring of the connection buffers what one socket
// read delivers, so lines can be handed out exactly while the bytes of the
// next line stay for the next read. Received runs are logged behind "P: "
// (socket into ring), "r: " (out of the ring) and "R: " (socket straight
// into the caller's buffer).
#pragma once

#include <cstdint>

#include "transport/connection_state.h"

namespace qel {

// What the receive calls give when the connection is closed or broken.
constexpr int32_t kConnectionGone = -1;

// The ring's memory: taken when a connection starts (false when it cannot
// be had), given back with its contents when the socket closes.
bool openReceiveRing(Connection* connection);
void closeReceiveRing(Connection* connection);

// Ring operations. ringPut is only given what fits: the ring holds at most
// kRingSize - 1 bytes.
void ringPut(Connection* connection, const char* bytes, int32_t n);
int32_t ringTake(Connection* connection, char* destination, int32_t n);
int32_t ringPeek(Connection* connection, char* destination, int32_t n);
int32_t ringCount(const Connection* connection);

// True when bytes wait in the ring or the socket becomes readable within
// wait ms (0: one test). When it gives up, the connection notes that the
// step waits for data (dataAwaited).
bool waitForData(Connection* connection, int32_t wait);

// Copies up to want buffered bytes (at most kReceiveChunk) without taking
// them, topping the ring up from the socket, for up to wait ms in all, until
// it holds at least want bytes or a line feed: so the start of the next line
// can be examined although it arrives in small segments. Count (possibly below want), or -1 when the
// connection is closed and nothing is buffered (kErrNoMemory when the ring
// could not be had).
int32_t receivePeekWait(Connection* connection, char* destination, int32_t want, int32_t wait);

// Hands out up to n bytes: from the ring, then straight from the socket.
// destination needs room for n + 1 bytes. Count or -1.
int32_t receiveTake(Connection* connection, char* destination, int32_t n);

// A whole line that is already in the ring, or a piece of one as long as
// readLine would hand out (room - 1 bytes, at most kReceiveChunk), then a
// NUL; never waits, never reads the socket. Count, or 0 when the ring holds
// no such line (what it holds stays there).
int32_t takeRingLine(Connection* connection, char* destination, int32_t room);

// One piece of a line: up to and including the next line feed, or what is
// there, at most room - 1 bytes (and at most kReceiveChunk), then a NUL; the
// socket is read only when the ring is empty. Count, 0 or -1 (kErrNoMemory
// when the ring could not be had).
int32_t readLinePiece(Connection* connection, char* destination, int32_t room);

// One line with its line feed (at most room - 1 bytes and a NUL): 0 when no
// data came within firstWait, -1 when the connection is closed before any
// byte; a line whose rest does not come within nextWait, or is cut by the
// end of the connection, is returned as far as it came.
int32_t readLine(Connection* connection, char* destination, int32_t room, int32_t firstWait, int32_t nextWait);

// As readLine, but the rest of the line must come before the tick count
// end: one bound for the whole line however many pieces it comes in.
int32_t readLineUntil(Connection* connection, char* destination, int32_t room, int32_t firstWait, uint32_t end);

// Milliseconds from now until the tick count end; 0 once it has passed.
int32_t waitUntil(uint32_t end);

}  // namespace qel
