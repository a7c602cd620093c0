// TLS under the transport: one session per channel, on the channel's
// connected socket. posix/ runs it on OpenSSL, win32/ on its own backend.
// The transport and everything above it see only these calls.
//
// Every call returns at once: the socket is switched to non-blocking mode
// when the session is created, and a step that needs the peer reports which
// readiness it waits for. Only tlsSend waits, for the socket to take data,
// and never longer than the send limit given at creation.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qel::plat {

struct TlsSession;

// What a session is created with.
struct TlsOptions {
  const char* serverName;  // host name (SNI and name check) or dotted IPv4 address
  bool verify;             // check the certificate chain and the name
  const char* caFile;      // PEM file of further trusted certificates; null or "" for none
  uint32_t sendLimitMs;    // longest a send may wait for the peer to take data
};

// Result of a handshake step.
enum class TlsStep {
  done,           // the session is established
  wantRead,       // call again once the socket is readable
  wantWrite,      // call again once the socket is writable
  failed,         // the handshake failed (reason in tlsReason)
  untrusted,      // the certificate chain is not trusted, or out of its dates
  nameMismatch,   // the certificate is not for the server name
};

// Whether this build can speak TLS at all.
bool tlsAvailable();

// Creates a client session on the connected socket. Null on failure, with
// the reason written into reason (room bytes) when room > 0; *caFileFailed
// tells whether the CA file was what could not be used.
TlsSession* tlsCreate(SocketHandle socket, const TlsOptions& options, char* reason, int32_t room,
                      bool* caFileFailed);

// Runs the handshake as far as it goes without waiting.
TlsStep tlsHandshakeStep(TlsSession* session);

// Why the last step failed, or a description of the session once it is
// established ("TLSv1.3 TLS_AES_256_GCM_SHA384"), into buffer (room bytes).
void tlsReason(TlsSession* session, char* buffer, int32_t room);

// Sends all length bytes. Returns length, or -(Windows Sockets error
// number): 10060 when the peer took nothing for the send limit, 10054 when
// the connection failed.
int32_t tlsSend(TlsSession* session, const void* data, int32_t length);

// Receives up to length decrypted bytes: the count (> 0), 0 when nothing is
// there yet (a record not yet whole, or only handshake messages), -1 when
// the peer has closed the connection or it failed.
int32_t tlsReceive(TlsSession* session, void* data, int32_t length);

// Whether application data can be received at once: 1 when decrypted bytes
// are held or a record arrived on the socket, 0 when not, -1 when the
// connection is closed or failed (a receive then reports it).
int32_t tlsReadable(TlsSession* session);

// Decrypted bytes held inside the session, which the socket no longer shows.
int32_t tlsPending(TlsSession* session);

// Sends the close-notify alert if the socket takes it at once.
void tlsCloseNotify(TlsSession* session);

// Frees the session; the socket stays open for its owner to close.
void tlsFree(TlsSession* session);

}  // namespace qel::plat
