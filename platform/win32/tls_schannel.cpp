// TLS on Schannel (secur32), the system's own TLS, so QEL32.dll needs no
// library beside it. Schannel only transforms bytes: this file moves them
// between the socket and the session. Handshake tokens wait in the session
// until the socket takes them, records in the incoming buffer until they
// are whole, decrypted bytes in the plain buffer until they are received.
// The certificate is checked by tls_verify.cpp after the handshake (the
// session is made with manual validation).
#include "platform/win32/windows_api.h"

#define SECURITY_WIN32
// The newer credential form (SCH_CREDENTIALS) and its UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <security.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/tls.h"
#include "platform/tls_names.h"
#include "platform/win32/tls_verify.h"

namespace qel::plat {

namespace {

constexpr int32_t kReasonRoom = 200;
constexpr size_t kNameRoom = 256;
// One TLS record: 16 KiB of data plus header, padding and MAC (RFC 5246
// allows 2048 bytes of expansion).
constexpr DWORD kRecordRoom = 16384 + 2048 + 5;
// Room for the server's first flight (certificate chains included).
constexpr DWORD kIncomingRoom = 4 * kRecordRoom;
// Handshake calls one step may make before it hands back to the driver.
constexpr int kStepRounds = 16;
constexpr int32_t kWsaConnectionReset = 10054;
constexpr int32_t kWsaTimedOut = 10060;
constexpr DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;
// Protocols below TLS 1.2 are never offered.
constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;

}  // namespace

struct TlsSession {
  SocketHandle socket;
  uint32_t sendLimitMs;
  bool verify;
  CredHandle credentials;
  bool haveCredentials;
  CtxtHandle context;
  bool haveContext;
  bool handshakeDone;  // Schannel has finished; the check may still follow
  bool established;    // handshake and check done: records may flow
  bool closed;         // the peer closed the session, or it failed
  bool needData;       // the incoming bytes are not a whole message yet
  HCERTSTORE caStore;
  char target[kNameRoom];  // the server name, or "" for a literal address (no SNI)
  char serverName[kNameRoom];
  SecPkgContext_StreamSizes sizes;
  BYTE* token;  // handshake bytes from Schannel, not yet all sent
  DWORD tokenLength;
  DWORD tokenSent;
  BYTE* sealed;  // room for one encrypted record being sent
  DWORD incomingLength;
  DWORD plainStart;
  DWORD plainLength;
  BYTE incoming[kIncomingRoom];
  BYTE plain[kRecordRoom];
  char reason[kReasonRoom];
};

namespace {

void setReason(char* buffer, int32_t room, const char* text) {
  if (buffer != nullptr && room > 0) std::snprintf(buffer, static_cast<size_t>(room), "%s", text);
}

void setStatusReason(TlsSession* session, const char* what, SECURITY_STATUS status) {
  std::snprintf(session->reason, sizeof session->reason, "%s (0x%08lX)", what,
                static_cast<unsigned long>(status));
}

bool isLiteralAddress(const char* name) {
  char dotted[64];
  return plainDottedAddress(name, dotted, sizeof dotted) || std::strchr(name, ':') != nullptr;
}

// Credentials for TLS 1.2 and later without a client certificate. The
// newer credential form comes first (it knows TLS 1.3); systems that do not
// know it get the older form, limited to TLS 1.2.
SECURITY_STATUS acquireCredentials(TlsSession* session) {
  constexpr DWORD kFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  char package[] = UNISP_NAME_A;
  TLS_PARAMETERS parameters;
  std::memset(&parameters, 0, sizeof parameters);
  parameters.grbitDisabledProtocols = ~kProtocols;
  SCH_CREDENTIALS modern;
  std::memset(&modern, 0, sizeof modern);
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = kFlags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &modern,
                                                     nullptr, nullptr, &session->credentials, nullptr);
  if (status == SEC_E_OK) return status;
  SCHANNEL_CRED older;
  std::memset(&older, 0, sizeof older);
  older.dwVersion = SCHANNEL_CRED_VERSION;
  older.dwFlags = kFlags;
  older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  return AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr,
                                   &session->credentials, nullptr);
}

// Waits up to ms for the socket to take data; true when it will.
bool waitWritable(SocketHandle socket, uint32_t ms) {
  SocketWait wait{socket, false, true, false};
  return socketWaitAny(&wait, 1, ms) > 0;
}

// Sends all length bytes, waiting for the socket up to the send limit each
// time it takes nothing. Returns 0 or -(error number).
int32_t sendAll(TlsSession* session, const BYTE* data, DWORD length) {
  DWORD done = 0;
  while (done < length) {
    int32_t sent = socketSend(session->socket, data + done, static_cast<int32_t>(length - done));
    if (sent > 0) {
      done += static_cast<DWORD>(sent);
    } else if (sent != -kWsaWouldBlock) {
      return -kWsaConnectionReset;
    } else if (!waitWritable(session->socket, session->sendLimitMs)) {
      return -kWsaTimedOut;
    }
  }
  return 0;
}

void dropToken(TlsSession* session) {
  if (session->token != nullptr) FreeContextBuffer(session->token);
  session->token = nullptr;
  session->tokenLength = session->tokenSent = 0;
}

// Keeps the token Schannel made for sending, or frees it when empty.
void takeToken(TlsSession* session, SecBuffer* out) {
  dropToken(session);
  if (out->pvBuffer == nullptr) return;
  if (out->cbBuffer == 0) {
    FreeContextBuffer(out->pvBuffer);
    return;
  }
  session->token = static_cast<BYTE*>(out->pvBuffer);
  session->tokenLength = out->cbBuffer;
}

// Sends what is left of the token without waiting: 1 when all of it went,
// 0 when the socket takes no more now, -1 when the connection failed.
int flushToken(TlsSession* session) {
  while (session->tokenSent < session->tokenLength) {
    int32_t sent = socketSend(session->socket, session->token + session->tokenSent,
                              static_cast<int32_t>(session->tokenLength - session->tokenSent));
    if (sent == -kWsaWouldBlock) return 0;
    if (sent <= 0) return -1;
    session->tokenSent += static_cast<DWORD>(sent);
  }
  dropToken(session);
  return 1;
}

// Keeps the bytes Schannel did not use (the start of the next message)
// at the front of the incoming buffer.
void keepExtra(TlsSession* session, const SecBuffer& extra) {
  if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= session->incomingLength) {
    std::memmove(session->incoming, session->incoming + (session->incomingLength - extra.cbBuffer), extra.cbBuffer);
    session->incomingLength = extra.cbBuffer;
  } else {
    session->incomingLength = 0;
  }
}

// One call of InitializeSecurityContext with the incoming bytes (none on
// the first call); its token is kept for sending.
SECURITY_STATUS contextCall(TlsSession* session) {
  SecBuffer in[2];
  in[0] = SecBuffer{session->incomingLength, SECBUFFER_TOKEN, session->incoming};
  in[1] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
  SecBuffer out[1];
  out[0] = SecBuffer{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
  ULONG attributes = 0;
  bool first = !session->haveContext;
  SEC_CHAR* target = session->target[0] != '\0' ? session->target : nullptr;
  SECURITY_STATUS status = InitializeSecurityContextA(
      &session->credentials, first ? nullptr : &session->context, target, kContextRequest, 0, 0,
      first ? nullptr : &inDesc, 0, first ? &session->context : nullptr, &outDesc, &attributes, nullptr);
  if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) session->haveContext = true;
  takeToken(session, &out[0]);
  if (status == SEC_E_INCOMPLETE_MESSAGE) {
    session->needData = true;
  } else if (!first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
    keepExtra(session, in[1]);
    session->needData = session->incomingLength == 0;
  } else if (first) {
    session->needData = true;
  }
  return status;
}

// Why a handshake call failed, in words.
const char* handshakeFailure(SECURITY_STATUS status) {
  switch (status) {
    case SEC_E_ILLEGAL_MESSAGE:
    case SEC_E_DECRYPT_FAILURE:
    case SEC_E_MESSAGE_ALTERED:
      return "the server's answer is not a TLS handshake";
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_UNSUPPORTED_FUNCTION:
      return "no protocol version or cipher in common (TLS 1.2 at least)";
    default:
      return "the TLS handshake failed";
  }
}

// Reads what the socket has into the incoming buffer: the count, 0 when
// nothing is there, -1 when the peer closed or the read failed.
int32_t readSocket(TlsSession* session) {
  DWORD room = kIncomingRoom - session->incomingLength;
  if (room == 0) return -1;  // a message larger than any the protocol has
  int32_t got = socketReceive(session->socket, session->incoming + session->incomingLength, static_cast<int32_t>(room));
  if (got == -kWsaWouldBlock) return 0;
  if (got <= 0) return -1;
  session->incomingLength += static_cast<DWORD>(got);
  return got;
}

// The negotiated protocol and cipher; false when they cannot be read.
bool connectionInfo(TlsSession* session, SecPkgContext_ConnectionInfo* info) {
  std::memset(info, 0, sizeof *info);
  return QueryContextAttributesA(&session->context, SECPKG_ATTR_CONNECTION_INFO, info) == SEC_E_OK;
}

// After the handshake: the protocol version (some systems do not take the
// lower bound from the credentials), the certificate check, then the
// record sizes.
TlsStep finishHandshake(TlsSession* session) {
  SecPkgContext_ConnectionInfo info;
  if (!connectionInfo(session, &info) || (info.dwProtocol & kProtocols) == 0) {
    std::snprintf(session->reason, sizeof session->reason, "protocol version below TLS 1.2 (0x%lX)",
                  static_cast<unsigned long>(info.dwProtocol));
    return TlsStep::failed;
  }
  if (session->verify) {
    PCCERT_CONTEXT certificate = nullptr;
    SECURITY_STATUS status = QueryContextAttributesA(&session->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || certificate == nullptr) {
      setStatusReason(session, "the server sent no certificate", status);
      return TlsStep::untrusted;
    }
    TlsStep checked =
        checkServerCertificate(certificate, session->caStore, session->serverName, session->reason, kReasonRoom);
    CertFreeCertificateContext(certificate);
    if (checked != TlsStep::done) return checked;
  }
  SECURITY_STATUS status = QueryContextAttributesA(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes);
  if (status == SEC_E_OK) {
    session->sealed = static_cast<BYTE*>(
        memoryAllocate(session->sizes.cbHeader + session->sizes.cbMaximumMessage + session->sizes.cbTrailer));
  }
  if (status != SEC_E_OK || session->sealed == nullptr) {
    setStatusReason(session, "cannot read the record sizes", status);
    return TlsStep::failed;
  }
  session->established = true;
  return TlsStep::done;
}

// Session messages after the handshake (a renegotiation, TLS 1.3 tickets
// and key updates on some systems) go back through the context.
void renegotiate(TlsSession* session) {
  SECURITY_STATUS status = contextCall(session);
  if (session->token != nullptr) {
    if (sendAll(session, session->token, session->tokenLength) != 0) session->closed = true;
    dropToken(session);
  }
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE) {
    session->closed = true;
  }
}

// Decrypts whole records from the incoming buffer until one gives
// application data. True when decrypted bytes are there or the session has
// ended; false when the buffer holds no whole record.
bool decryptRecords(TlsSession* session) {
  while (session->plainLength == 0 && session->incomingLength > 0 && !session->closed) {
    SecBuffer buffers[4];
    buffers[0] = SecBuffer{session->incomingLength, SECBUFFER_DATA, session->incoming};
    for (int i = 1; i < 4; ++i) buffers[i] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&session->context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return false;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      // SEC_I_CONTEXT_EXPIRED is the peer's close-notify.
      session->closed = true;
      break;
    }
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0 && buffer.cbBuffer <= kRecordRoom) {
        std::memcpy(session->plain, buffer.pvBuffer, buffer.cbBuffer);
        session->plainStart = 0;
        session->plainLength = buffer.cbBuffer;
      } else if (buffer.BufferType == SECBUFFER_EXTRA) {
        extra = &buffer;
      }
    }
    if (extra != nullptr && extra->cbBuffer > 0) {
      std::memmove(session->incoming, extra->pvBuffer, extra->cbBuffer);
      session->incomingLength = extra->cbBuffer;
    } else {
      session->incomingLength = 0;
    }
    if (status == SEC_I_RENEGOTIATE) renegotiate(session);
  }
  return session->plainLength > 0 || session->closed;
}

// Brings decrypted bytes into the plain buffer: from records already held,
// else from one read of the socket when readFirst allows it.
void fillPlain(TlsSession* session, bool mayRead) {
  if (decryptRecords(session) || !mayRead) return;
  int32_t got = readSocket(session);
  if (got < 0) {
    session->closed = true;
  } else if (got > 0) {
    decryptRecords(session);
  }
}

}  // namespace

bool tlsAvailable() { return true; }

TlsSession* tlsCreate(SocketHandle socket, const TlsOptions& options, char* reason, int32_t room,
                      bool* caFileFailed) {
  *caFileFailed = false;
  auto* session = static_cast<TlsSession*>(memoryAllocate(sizeof(TlsSession)));
  if (session == nullptr) {
    setReason(reason, room, "out of memory");
    return nullptr;
  }
  const char* name = options.serverName != nullptr ? options.serverName : "";
  session->socket = socket;
  session->sendLimitMs = options.sendLimitMs;
  session->verify = options.verify;
  std::snprintf(session->serverName, sizeof session->serverName, "%s", name);
  // Names get SNI; RFC 6066 forbids it for literal addresses.
  if (!isLiteralAddress(name)) std::snprintf(session->target, sizeof session->target, "%s", name);
  if (options.verify && options.caFile != nullptr && options.caFile[0] != '\0') {
    session->caStore = loadCaFile(options.caFile, reason, room);
    if (session->caStore == nullptr) {
      *caFileFailed = true;
      tlsFree(session);
      return nullptr;
    }
  }
  SECURITY_STATUS status = acquireCredentials(session);
  if (status != SEC_E_OK) {
    char text[kReasonRoom];
    std::snprintf(text, sizeof text, "cannot get TLS credentials (0x%08lX)", static_cast<unsigned long>(status));
    setReason(reason, room, text);
    tlsFree(session);
    return nullptr;
  }
  session->haveCredentials = true;
  socketSetNonBlocking(socket, true);
  return session;
}

TlsStep tlsHandshakeStep(TlsSession* session) {
  if (session->established) return TlsStep::done;
  for (int round = 0; round < kStepRounds; ++round) {
    if (session->token != nullptr) {
      int flushed = flushToken(session);
      if (flushed == 0) return TlsStep::wantWrite;
      if (flushed < 0) {
        setReason(session->reason, kReasonRoom, "the connection closed during the handshake");
        return TlsStep::failed;
      }
    }
    if (session->handshakeDone) return finishHandshake(session);
    if (session->haveContext && session->needData) {
      int32_t got = readSocket(session);
      if (got == 0) return TlsStep::wantRead;
      if (got < 0) {
        setReason(session->reason, kReasonRoom, "the connection closed during the handshake");
        return TlsStep::failed;
      }
      session->needData = false;
    }
    SECURITY_STATUS status = contextCall(session);
    if (status == SEC_E_OK) {
      session->handshakeDone = true;
    } else if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE &&
               status != SEC_I_INCOMPLETE_CREDENTIALS) {
      // An alert Schannel made goes out if the socket takes it at once.
      if (session->token != nullptr) flushToken(session);
      setStatusReason(session, handshakeFailure(status), status);
      return TlsStep::failed;
    }
  }
  // The step went as far as it may; the socket takes data, so the driver
  // calls again at once.
  return TlsStep::wantWrite;
}

void tlsReason(TlsSession* session, char* buffer, int32_t room) {
  SecPkgContext_ConnectionInfo info;
  if (!session->established || !connectionInfo(session, &info)) {
    setReason(buffer, room, session->reason);
    return;
  }
  const char* version = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0 ? "TLSv1.3" : "TLSv1.2";
  const char* cipher = info.aiCipher == CALG_AES_256 ? "AES-256" : info.aiCipher == CALG_AES_128 ? "AES-128" : "";
  char text[kReasonRoom];
  if (cipher[0] != '\0') {
    std::snprintf(text, sizeof text, "%s %s (Schannel)", version, cipher);
  } else {
    std::snprintf(text, sizeof text, "%s cipher 0x%04lX (Schannel)", version, static_cast<unsigned long>(info.aiCipher));
  }
  setReason(buffer, room, text);
}

int32_t tlsSend(TlsSession* session, const void* data, int32_t length) {
  if (!session->established || session->closed) return -kWsaConnectionReset;
  const auto* bytes = static_cast<const BYTE*>(data);
  const SecPkgContext_StreamSizes& sizes = session->sizes;
  int32_t done = 0;
  while (done < length) {
    DWORD chunk = static_cast<DWORD>(length - done);
    if (chunk > sizes.cbMaximumMessage) chunk = sizes.cbMaximumMessage;
    BYTE* record = session->sealed;
    std::memcpy(record + sizes.cbHeader, bytes + done, chunk);
    SecBuffer buffers[4];
    buffers[0] = SecBuffer{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record};
    buffers[1] = SecBuffer{chunk, SECBUFFER_DATA, record + sizes.cbHeader};
    buffers[2] = SecBuffer{sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + chunk};
    buffers[3] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&session->context, 0, &desc, 0) != SEC_E_OK) return -kWsaConnectionReset;
    // The header, data and trailer lie one after the other; the trailer
    // may have come out shorter than its room.
    int32_t sent = sendAll(session, record, buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    if (sent != 0) return sent;
    done += static_cast<int32_t>(chunk);
  }
  return length;
}

int32_t tlsReceive(TlsSession* session, void* data, int32_t length) {
  if (length <= 0) return 0;
  if (!session->established) return -1;
  if (session->plainLength == 0) fillPlain(session, true);
  if (session->plainLength == 0) return session->closed ? -1 : 0;
  DWORD count = static_cast<DWORD>(length) < session->plainLength ? static_cast<DWORD>(length) : session->plainLength;
  std::memcpy(data, session->plain + session->plainStart, count);
  session->plainStart += count;
  session->plainLength -= count;
  return static_cast<int32_t>(count);
}

int32_t tlsReadable(TlsSession* session) {
  if (session->plainLength > 0) return 1;
  if (!session->established) return socketReady(session->socket, Readiness::readable);
  fillPlain(session, socketReady(session->socket, Readiness::readable) > 0);
  if (session->plainLength > 0) return 1;
  return session->closed ? -1 : 0;
}

int32_t tlsPending(TlsSession* session) { return static_cast<int32_t>(session->plainLength); }

void tlsCloseNotify(TlsSession* session) {
  if (!session->established || session->closed) return;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&session->context, &controlDesc) != SEC_E_OK) return;
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  ULONG attributes = 0;
  SEC_CHAR* target = session->target[0] != '\0' ? session->target : nullptr;
  InitializeSecurityContextA(&session->credentials, &session->context, target, kContextRequest, 0, 0, nullptr, 0,
                             nullptr, &outDesc, &attributes, nullptr);
  takeToken(session, &out);
  if (session->token != nullptr) flushToken(session);
  dropToken(session);
}

void tlsFree(TlsSession* session) {
  if (session == nullptr) return;
  dropToken(session);
  if (session->haveContext) DeleteSecurityContext(&session->context);
  if (session->haveCredentials) FreeCredentialsHandle(&session->credentials);
  if (session->caStore != nullptr) CertCloseStore(session->caStore, 0);
  memoryFree(session->sealed);
  memoryFree(session);
}

}  // namespace qel::plat
