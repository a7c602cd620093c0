// The SASL exchange of the negotiated login, one message per call: the
// initial response, the answer to each challenge, and the check at the
// server's yes; what each message holds is the mechanism's business
// (mechanism.h). The messages go base64-encoded on a line of their own
// (sendSaslLine); the log shows a note in their place.
#include <cstring>

#include "codec/base64.h"
#include "frame/log.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"
#include "transport/send.h"

namespace qel {
namespace {

// Bytes of the response encoded per piece of a line: 4/3 of it fits in
// commandLine together with the command in front.
constexpr int32_t kPieceBytes = 1500;
// A send that took fewer bytes than asked ran into the send time-out.
constexpr int32_t kShortSendCode = -10060;

// The first message of a mechanism that speaks first.
bool firstMessage(ChannelRecord* record) {
  const SaslMechanism* mechanism = findMechanism(record->login->saslMechanism);
  if (mechanism == nullptr || mechanism->first == nullptr) return false;
  mechanism->first(record);
  return true;
}

}  // namespace

void putSaslBytes(ChannelRecord* record, const char* bytes, int32_t count) {
  if (record->login->saslBuffers == nullptr) return;
  int32_t room = kSaslTextCap - record->login->saslLength;
  if (count > room) count = room;
  for (int32_t i = 0; i < count; ++i) record->login->saslBuffers->text[record->login->saslLength + i] = bytes[i];
  record->login->saslLength += count;
}

void putSaslText(ChannelRecord* record, const char* text) { putSaslBytes(record, text, textLength(text)); }

void putSaslByte(ChannelRecord* record, char byte) { putSaslBytes(record, &byte, 1); }

bool saslStart(ChannelRecord* record) {
  record->login->saslRound = 0;
  record->login->serverProven = 0;
  record->login->saslLength = 0;
  record->login->loginReason[0] = '\0';
  bool initial = record->login->saslBuffers != nullptr && firstMessage(record);
  if (initial) record->login->saslRound = 1;
  return initial;
}

int32_t saslAnswer(ChannelRecord* record, const char* challenge, int32_t length) {
  int32_t round = record->login->saslRound++;
  record->login->saslLength = 0;
  if (record->login->saslBuffers == nullptr) return kErrNoMemory;
  // A server that did not take the initial response asks for it with an
  // empty challenge.
  if (round == 0 && firstMessage(record)) return 0;
  const SaslMechanism* mechanism = findMechanism(record->login->saslMechanism);
  if (mechanism == nullptr || mechanism->answer == nullptr) return 0;
  return mechanism->answer(record, round, challenge, length);
}

int32_t saslFinished(ChannelRecord* record) {
  const SaslMechanism* mechanism = findMechanism(record->login->saslMechanism);
  if (mechanism != nullptr && mechanism->accepted != nullptr) {
    int32_t rc = mechanism->accepted(record);
    if (rc < 0) return rc;
  }
  dropSaslBuffers(record);
  logFormat(record, "AUTH %s ok\r\n", mechanismName(record->login->saslMechanism));
  // The responses are hidden from the log; the name they carried is not.
  if (loginUser(record)[0] != '\0') logFormat(record, "Logged in as %s\r\n", loginUser(record));
  return 0;
}

int32_t sendSaslLine(ChannelRecord* record, const char* command, bool withMessage) {
  char* line = record->texts.commandLine;
  int32_t used = copyText(line, command, kCommandTextCap);
  bool hidden = withMessage && record->login->saslLength > 0;
  if (hidden && used > 0) line[used++] = ' ';
  char note[kCommandTextCap + 32];
  plat::formatText(note, sizeof note, "%s%s%s\r\n", command, hidden && used > 0 ? " " : "",
                   hidden ? "[response hidden]" : "");
  int32_t sent = 0;
  int32_t done = 0;
  char* text = record->login->saslBuffers != nullptr ? record->login->saslBuffers->text : nullptr;
  int32_t total = withMessage && text != nullptr ? record->login->saslLength : 0;
  for (;;) {
    int32_t count = total - done < kPieceBytes ? total - done : kPieceBytes;
    if (count > 0) {
      used += base64EncodeLine(reinterpret_cast<const uint8_t*>(text + done), line + used, count);
    }
    done += count;
    bool last = done >= total;
    if (last) {
      line[used++] = '\r';
      line[used++] = '\n';
    }
    int32_t rc = sendHiddenBytes(record->connection, line, used, last ? note : nullptr);
    if (rc < 0 || rc < used || last) {
      // The encoded credentials do not stay in the record.
      std::memset(line, 0, static_cast<size_t>(used));
      if (text != nullptr) std::memset(text, 0, static_cast<size_t>(record->login->saslLength));
    }
    if (rc < 0) return rc;
    if (rc < used) return kShortSendCode;
    sent += rc;
    if (last) return sent;
    used = 0;
  }
}

}  // namespace qel
