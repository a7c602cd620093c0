// The SASL exchange of the negotiated login, one message per call: the
// initial response, the answer to each challenge, and the check at the
// server's yes. The messages go base64-encoded on a line of their own
// (sendSaslLine); the log shows a note in their place.
#include <cstring>

#include "codec/base64.h"
#include "codec/md5.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "sasl/sasl.h"
#include "transport/send.h"

namespace qel {
namespace {

constexpr char kOauthSeparator = '\x01';
constexpr int32_t kPortTextRoom = 16;
// Bytes of saslText encoded per piece of a line: 4/3 of it fits in
// commandLine together with the command in front.
constexpr int32_t kPieceBytes = 1500;
// A send that took fewer bytes than asked ran into the send time-out.
constexpr int32_t kShortSendCode = -10060;

// Appends count bytes to saslText.
void put(ChannelRecord* record, const char* bytes, int32_t count) {
  int32_t room = kSaslTextCap - record->saslLength;
  if (count > room) count = room;
  for (int32_t i = 0; i < count; ++i) record->saslText[record->saslLength + i] = bytes[i];
  record->saslLength += count;
}

void putText(ChannelRecord* record, const char* text) { put(record, text, textLength(text)); }

void putByte(ChannelRecord* record, char byte) { put(record, &byte, 1); }

// PLAIN (RFC 4616): no authorisation identity, the user, the password.
void plainMessage(ChannelRecord* record) {
  putByte(record, '\0');
  putText(record, loginUser(record));
  putByte(record, '\0');
  putText(record, loginPassword(record));
}

// XOAUTH2: "user=" name ^A "auth=Bearer " token ^A ^A.
void oauthMessage(ChannelRecord* record) {
  putText(record, "user=");
  putText(record, loginUser(record));
  putByte(record, kOauthSeparator);
  putText(record, "auth=Bearer ");
  putText(record, record->bearerToken);
  putByte(record, kOauthSeparator);
  putByte(record, kOauthSeparator);
}

// OAUTHBEARER (RFC 7628): the GS2 header with the user, then host, port
// and token, each behind ^A, and ^A ^A at the end.
void oauthBearerMessage(ChannelRecord* record) {
  putText(record, "n,a=");
  for (const char* c = loginUser(record); *c != '\0'; ++c) {
    if (*c == ',') {
      putText(record, "=2C");
    } else if (*c == '=') {
      putText(record, "=3D");
    } else {
      putByte(record, *c);
    }
  }
  putByte(record, ',');
  putByte(record, kOauthSeparator);
  putText(record, "host=");
  putText(record, record->serverName);
  putByte(record, kOauthSeparator);
  char port[kPortTextRoom];
  plat::formatText(port, kPortTextRoom, "port=%u", static_cast<unsigned>(record->remotePort));
  putText(record, port);
  putByte(record, kOauthSeparator);
  putText(record, "auth=Bearer ");
  putText(record, record->bearerToken);
  putByte(record, kOauthSeparator);
  putByte(record, kOauthSeparator);
}

// CRAM-MD5 (RFC 2195): the user, a space, HMAC-MD5 of the challenge under
// the password in lower-case hex.
void cramMessage(ChannelRecord* record, const char* challenge, int32_t length) {
  const char* password = loginPassword(record);
  uint8_t digest[kMd5DigestBytes];
  hmacMd5(challenge, static_cast<size_t>(length), password, static_cast<size_t>(textLength(password)), digest);
  char hex[kMd5HexChars + 1];
  hexDigest(digest, hex);
  putText(record, loginUser(record));
  putByte(record, ' ');
  putText(record, hex);
}

// The first message of a mechanism that speaks first.
bool firstMessage(ChannelRecord* record) {
  switch (record->saslMechanism) {
    case kMechPlain: plainMessage(record); return true;
    case kMechXoauth2: oauthMessage(record); return true;
    case kMechOauthBearer: oauthBearerMessage(record); return true;
    case kMechScramSha256: scramClientFirst(record); return true;
    default: return false;
  }
}

}  // namespace

bool saslStart(ChannelRecord* record) {
  record->saslRound = 0;
  record->serverProven = 0;
  record->saslLength = 0;
  record->loginReason[0] = '\0';
  bool initial = firstMessage(record);
  if (initial) record->saslRound = 1;
  return initial;
}

int32_t saslAnswer(ChannelRecord* record, const char* challenge, int32_t length) {
  int32_t round = record->saslRound++;
  record->saslLength = 0;
  uint32_t mechanism = record->saslMechanism;
  // A server that did not take the initial response asks for it with an
  // empty challenge.
  if (round == 0 && firstMessage(record)) return 0;
  if (mechanism == kMechCramMd5 && round == 0) {
    cramMessage(record, challenge, length);
  } else if (mechanism == kMechLogin && round < 2) {
    putText(record, round == 0 ? loginUser(record) : loginPassword(record));
  } else if (mechanism == kMechScramSha256 && round == 1) {
    return scramClientFinal(record, challenge, length);
  } else if (mechanism == kMechScramSha256) {
    return scramCheckServerFinal(record, challenge, length);
  } else if (mechanism == kMechXoauth2 || mechanism == kMechOauthBearer) {
    // The server's error continuation (a JSON text); the answer that
    // follows (empty for XOAUTH2, a single ^A for OAUTHBEARER) lets it end
    // the exchange with its refusal.
    logFormat(record, "%s refused: %.*s\r\n", mechanismName(mechanism), length, challenge);
    if (mechanism == kMechOauthBearer) putByte(record, kOauthSeparator);
  }
  return 0;
}

int32_t saslFinished(ChannelRecord* record) {
  if (record->saslMechanism == kMechScramSha256 && record->serverProven == 0) {
    copyText(record->loginReason, "(the server accepted without its signature)", kLoginReasonCap);
    return kErrServerNotProven;
  }
  logFormat(record, "AUTH %s ok\r\n", mechanismName(record->saslMechanism));
  // The responses are hidden from the log; the name they carried is not.
  if (loginUser(record)[0] != '\0') logFormat(record, "Logged in as %s\r\n", loginUser(record));
  return 0;
}

int32_t sendSaslLine(ChannelRecord* record, const char* command, bool withMessage) {
  char* line = record->commandLine;
  int32_t used = copyText(line, command, kCommandTextCap);
  bool hidden = withMessage && record->saslLength > 0;
  if (hidden && used > 0) line[used++] = ' ';
  char note[kCommandTextCap + 32];
  plat::formatText(note, sizeof note, "%s%s%s\r\n", command, hidden && used > 0 ? " " : "",
                   hidden ? "[response hidden]" : "");
  int32_t sent = 0;
  int32_t done = 0;
  int32_t total = withMessage ? record->saslLength : 0;
  for (;;) {
    int32_t count = total - done < kPieceBytes ? total - done : kPieceBytes;
    if (count > 0) {
      used += base64EncodeLine(reinterpret_cast<const uint8_t*>(record->saslText + done), line + used, count);
    }
    done += count;
    bool last = done >= total;
    if (last) {
      line[used++] = '\r';
      line[used++] = '\n';
    }
    int32_t rc = sendHiddenBytes(record, line, used, last ? note : nullptr);
    if (rc < 0 || rc < used || last) {
      // The encoded credentials do not stay in the record.
      std::memset(line, 0, static_cast<size_t>(used));
      std::memset(record->saslText, 0, static_cast<size_t>(record->saslLength));
    }
    if (rc < 0) return rc;
    if (rc < used) return kShortSendCode;
    sent += rc;
    if (last) return sent;
    used = 0;
  }
}

}  // namespace qel
