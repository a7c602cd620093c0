// TLS on OpenSSL 3. The session reads and writes the socket through a BIO of
// our own that goes through socketSend and socketReceive, so that a peer that
// has gone never raises SIGPIPE in the host process.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tls.h"
#include "platform/tls_names.h"

namespace qel::plat {

constexpr int32_t kReasonRoom = 200;

struct TlsSession {
  SSL_CTX* context;
  SSL* ssl;
  SocketHandle socket;
  uint32_t sendLimitMs;
  char reason[kReasonRoom];
};

namespace {

constexpr int32_t kWsaConnectionReset = 10054;
constexpr int32_t kWsaTimedOut = 10060;

// ---- the socket BIO ---------------------------------------------------------

SocketHandle bioSocket(BIO* bio) { return static_cast<SocketHandle>(reinterpret_cast<uintptr_t>(BIO_get_data(bio))); }

int bioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  int32_t sent = socketSend(bioSocket(bio), data, length);
  if (sent == -kWsaWouldBlock) BIO_set_retry_write(bio);
  return sent < 0 ? -1 : sent;
}

int bioRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  int32_t got = socketReceive(bioSocket(bio), data, length);
  if (got == -kWsaWouldBlock) BIO_set_retry_read(bio);
  return got < 0 ? -1 : got;
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* socketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qel socket");
    if (made != nullptr) {
      BIO_meth_set_write(made, bioWrite);
      BIO_meth_set_read(made, bioRead);
      BIO_meth_set_ctrl(made, bioControl);
      BIO_meth_set_create(made, bioCreate);
    }
    return made;
  }();
  return method;
}

// ---- helpers ----------------------------------------------------------------

void setReason(char* buffer, int32_t room, const char* text) {
  if (buffer != nullptr && room > 0) std::snprintf(buffer, static_cast<size_t>(room), "%s", text);
}

// The first queued OpenSSL error as text, or fallback when there is none.
void takeErrorReason(char* buffer, int32_t room, const char* fallback) {
  unsigned long code = ERR_get_error();
  if (code == 0) {
    setReason(buffer, room, fallback);
  } else {
    char text[kReasonRoom];
    ERR_error_string_n(code, text, sizeof text);
    setReason(buffer, room, text);
  }
  ERR_clear_error();
}

// Trust store, CA file and minimum version: what every session with the
// same check and CA file shares.
SSL_CTX* newContext(const TlsOptions& options, char* reason, int32_t room, bool* caFileFailed) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    takeErrorReason(reason, room, "cannot create the TLS context");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_mode(context, SSL_MODE_AUTO_RETRY);
  if (!options.verify) {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(context);
    if (options.caFile != nullptr && options.caFile[0] != '\0' &&
        SSL_CTX_load_verify_locations(context, options.caFile, nullptr) != 1) {
      *caFileFailed = true;
      takeErrorReason(reason, room, "cannot load the CA file");
      SSL_CTX_free(context);
      return nullptr;
    }
  }
  return context;
}

// Loading the system's trust store takes longer than a handshake on
// loopback, so contexts are kept for the life of the process, one per check
// setting and CA file (a CA file is read once). A context that cannot be
// kept is made for the one session.
constexpr size_t kKeptContexts = 8;

struct KeptContext {
  SSL_CTX* context;
  bool verify;
  std::string caFile;
};

SSL_CTX* sharedContext(const TlsOptions& options, char* reason, int32_t room, bool* caFileFailed) {
  static std::mutex lock;
  static std::vector<KeptContext>* kept = new std::vector<KeptContext>();
  std::string caFile = options.verify && options.caFile != nullptr ? options.caFile : "";
  std::lock_guard<std::mutex> guard(lock);
  for (const KeptContext& entry : *kept) {
    if (entry.verify == options.verify && entry.caFile == caFile) {
      SSL_CTX_up_ref(entry.context);
      return entry.context;
    }
  }
  SSL_CTX* context = newContext(options, reason, room, caFileFailed);
  if (context != nullptr && kept->size() < kKeptContexts) {
    SSL_CTX_up_ref(context);
    kept->push_back(KeptContext{context, options.verify, caFile});
  }
  return context;
}

// The session's own part: SNI and the name the certificate must carry.
bool configure(TlsSession* session, const TlsOptions& options, char* reason, int32_t room) {
  session->ssl = SSL_new(session->context);
  if (session->ssl == nullptr) {
    takeErrorReason(reason, room, "cannot create the TLS session");
    return false;
  }
  const char* name = options.serverName != nullptr ? options.serverName : "";
  char address[64];
  bool isAddress = plainDottedAddress(name, address, sizeof address);
  // An IPv6 literal is checked as it is written.
  if (!isAddress && std::strchr(name, ':') != nullptr && std::strlen(name) < sizeof address) {
    std::snprintf(address, sizeof address, "%s", name);
    isAddress = true;
  }
  // Names get SNI; RFC 6066 forbids it for literal addresses.
  if (!isAddress && name[0] != '\0') SSL_set_tlsext_host_name(session->ssl, name);
  if (options.verify) {
    X509_VERIFY_PARAM* param = SSL_get0_param(session->ssl);
    // RFC 6125: a wildcard only as the whole left-most label.
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    int set = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, address) : X509_VERIFY_PARAM_set1_host(param, name, 0);
    if (set != 1) {
      takeErrorReason(reason, room, "cannot set the name to check");
      return false;
    }
  }
  BIO* bio = BIO_new(socketBioMethod());
  if (bio == nullptr) {
    takeErrorReason(reason, room, "cannot create the socket BIO");
    return false;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<uintptr_t>(session->socket)));
  SSL_set_bio(session->ssl, bio, bio);
  SSL_set_connect_state(session->ssl);
  return true;
}

// Waits up to ms for the socket to become ready for events; true when it did.
bool waitSocket(SocketHandle socket, short events, uint32_t ms) {
  pollfd watched{static_cast<int>(socket), events, 0};
  int rc = ::poll(&watched, 1, static_cast<int>(ms));
  return rc > 0;
}

}  // namespace

bool tlsAvailable() { return socketBioMethod() != nullptr; }

TlsSession* tlsCreate(SocketHandle socket, const TlsOptions& options, char* reason, int32_t room,
                      bool* caFileFailed) {
  *caFileFailed = false;
  ERR_clear_error();
  if (!tlsAvailable()) {
    setReason(reason, room, "cannot create the socket BIO");
    return nullptr;
  }
  auto* session = static_cast<TlsSession*>(memoryAllocate(sizeof(TlsSession)));
  if (session == nullptr) {
    setReason(reason, room, "out of memory");
    return nullptr;
  }
  session->socket = socket;
  session->sendLimitMs = options.sendLimitMs;
  session->context = sharedContext(options, reason, room, caFileFailed);
  if (session->context == nullptr || !configure(session, options, reason, room)) {
    tlsFree(session);
    return nullptr;
  }
  socketSetNonBlocking(socket, true);
  return session;
}

TlsStep tlsHandshakeStep(TlsSession* session) {
  ERR_clear_error();
  int rc = SSL_connect(session->ssl);
  if (rc == 1) return TlsStep::done;
  int error = SSL_get_error(session->ssl, rc);
  if (error == SSL_ERROR_WANT_READ) return TlsStep::wantRead;
  if (error == SSL_ERROR_WANT_WRITE) return TlsStep::wantWrite;
  long verified = SSL_get_verify_result(session->ssl);
  if (verified != X509_V_OK) {
    setReason(session->reason, kReasonRoom, X509_verify_cert_error_string(verified));
    ERR_clear_error();
    bool name = verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH;
    return name ? TlsStep::nameMismatch : TlsStep::untrusted;
  }
  takeErrorReason(session->reason, kReasonRoom, "the connection closed during the handshake");
  return TlsStep::failed;
}

void tlsReason(TlsSession* session, char* buffer, int32_t room) {
  if (SSL_is_init_finished(session->ssl)) {
    char text[kReasonRoom];
    std::snprintf(text, sizeof text, "%s %s", SSL_get_version(session->ssl),
                  SSL_CIPHER_get_name(SSL_get_current_cipher(session->ssl)));
    setReason(buffer, room, text);
  } else {
    setReason(buffer, room, session->reason);
  }
}

int32_t tlsSend(TlsSession* session, const void* data, int32_t length) {
  const char* bytes = static_cast<const char*>(data);
  int32_t done = 0;
  while (done < length) {
    ERR_clear_error();
    int rc = SSL_write(session->ssl, bytes + done, length - done);
    if (rc > 0) {
      done += rc;
      continue;
    }
    int error = SSL_get_error(session->ssl, rc);
    short events = error == SSL_ERROR_WANT_WRITE ? POLLOUT : error == SSL_ERROR_WANT_READ ? POLLIN : 0;
    ERR_clear_error();
    if (events == 0) return -kWsaConnectionReset;
    // The same bytes are offered again once the socket is ready (OpenSSL
    // wants the retry with the same arguments).
    if (!waitSocket(session->socket, events, session->sendLimitMs)) return -kWsaTimedOut;
  }
  return length;
}

int32_t tlsReceive(TlsSession* session, void* data, int32_t length) {
  if (length <= 0) return 0;
  ERR_clear_error();
  int rc = SSL_read(session->ssl, data, length);
  if (rc > 0) return rc;
  int error = SSL_get_error(session->ssl, rc);
  ERR_clear_error();
  return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

int32_t tlsReadable(TlsSession* session) {
  if (SSL_pending(session->ssl) > 0) return 1;
  if (!waitSocket(session->socket, POLLIN, 0)) return 0;
  // The socket shows bytes, but they may be half a record or a session
  // ticket: only a peek tells whether application data came.
  char byte;
  ERR_clear_error();
  int rc = SSL_peek(session->ssl, &byte, 1);
  if (rc > 0) return 1;
  int error = SSL_get_error(session->ssl, rc);
  ERR_clear_error();
  return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

int32_t tlsPending(TlsSession* session) { return SSL_pending(session->ssl); }

void tlsCloseNotify(TlsSession* session) {
  if (session->ssl == nullptr || !SSL_is_init_finished(session->ssl)) return;
  ERR_clear_error();
  SSL_shutdown(session->ssl);
  ERR_clear_error();
}

void tlsFree(TlsSession* session) {
  if (session == nullptr) return;
  if (session->ssl != nullptr) SSL_free(session->ssl);
  if (session->context != nullptr) SSL_CTX_free(session->context);
  memoryFree(session);
}

}  // namespace qel::plat
