// The connection of a channel: the socket and the addresses it was made to,
// the TLS session on it, the receive ring and the output buffer, and what
// the readers noted about the socket. Taken from the platform's memory when
// a channel first connects (driver/connection_use.h) and kept until
// release; a channel that never connected has none, and every transport
// call takes a null connection as a closed socket.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/channel.h"
#include "frame/log.h"
#include "platform/platform.h"
#include "platform/tls.h"

namespace qel {

// Addresses of one server name that a connection tries.
constexpr int32_t kMaxServerAddresses = 8;

struct Connection {
  // The channel's log and connection settings (groups of its record).
  ChannelLog* log;
  TlsSettings* tls;

  plat::SocketHandle socket;
  bool socketOpen;  // false once the socket is closed: the number may be reused
  uint16_t remotePort;
  uint32_t serverAddress;  // host byte order; 0 while on IPv6
  // Every address of the server name, tried in order by the connect states
  // within one connectTimeout; the one being tried, and when its attempt
  // gives way to the next address.
  plat::NetAddress serverAddresses[kMaxServerAddresses];
  int32_t serverAddressCount;
  int32_t serverAddressIndex;
  uint32_t attemptDeadline;
  // The socket error behind the last failed connection attempt (negated),
  // 0 when there was none.
  int32_t connectError;

  // While tlsSession is set, everything sent and received goes through it
  // (transport/stream.h is the only place that looks). tlsDeclined: the
  // server did not offer STARTTLS/STLS and the mode allows going on in
  // clear.
  plat::TlsSession* tlsSession;
  uint8_t tlsDeclined;

  // Output buffer (transport/output.h): on while message data is sent; its
  // kOutputBufferSize bytes are taken when the data starts and given back
  // when it ends (null otherwise).
  uint8_t outputBatched;
  int32_t outputUsed;
  char* outputBuffer;

  // The receive ring's kRingSize bytes: taken when a connection starts (or
  // at the first read) and given back when the socket closes; null
  // otherwise.
  int32_t ringRead;
  int32_t ringWrite;
  char* ringBuffer;

  // The last data test of the plain socket found data and a writable
  // socket, and nothing has been read since: the receive that follows
  // needs no test of its own.
  bool receiveReadyNoted;
  // Prompt acknowledgements: whether data has been received since the last
  // acknowledgement asked for, and whether the socket needs no more asking
  // (it acknowledges every segment, or cannot be asked).
  bool ackOwed;
  bool ackSettled;
  // A wait for data gave up during the current driver step: the step waits
  // for data (kStepWaitsForData). Cleared by the driver at each step.
  bool dataAwaited;
  // The number of qelWait's look that found this socket without data (see
  // transport/readiness.h); 0 when none.
  std::atomic<uint32_t> noDataLook;
};

// Whether the connection has an open socket.
inline bool socketIsOpen(const Connection* connection) { return connection != nullptr && connection->socketOpen; }

}  // namespace qel
