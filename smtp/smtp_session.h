// The SMTP session of a channel: the caller's sender texts and SMTP
// settings, what the server's EHLO reply offered, where the envelope
// stands, and the send in progress (smtp/smtp_send.h). The record holds only
// a pointer to it: the block is made at the first SMTP setting or when
// qelSmtpConnect starts, serves the channel from then on, and is freed at
// release. A channel marked SMTP always has one.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

struct SmtpSend;

// Capacities (characters) of the session's texts.
constexpr int32_t kAddressCap = 128;
constexpr int32_t kLastRecipientCap = 32;
constexpr int32_t kCharsetCap = 40;
// The name given with EHLO/HELO: a domain (253) or an address literal.
constexpr int32_t kHelloNameCap = 255;
// An envelope address with its brackets (RFC 5321 allows 256 for a path).
constexpr int32_t kEnvelopeAddressCap = 256;

// The defaults of a channel that set nothing.
constexpr uint16_t kDefaultSmtpPort = 25;
constexpr uint8_t kDefaultImageTypes = 1;

struct SmtpSession {
  char fromAddress[fieldSize(kAddressCap)];
  char replyToAddress[fieldSize(kAddressCap)];
  uint16_t smtpPort;
  uint32_t bodyType;
  uint8_t imageTypes;
  uint8_t useEsmtp;
  // The name EHLO/HELO gives (setting 180); empty: the From address's domain.
  char helloName[fieldSize(kHelloNameCap)];

  // Mail in any language and SMTP extensions (settings 140): the charset
  // of the caller's texts ("" = off), the extensions switch and what the
  // last EHLO reply offered.
  char charsetName[fieldSize(kCharsetCap)];
  uint8_t useExtensions;
  uint8_t offersSize;
  uint8_t offersEightBitMime;
  uint8_t offersSmtpUtf8;
  uint32_t serverSizeLimit;  // 0: no limit announced
  // Pipelining (setting 190): the switch and whether the last EHLO reply
  // offered it.
  uint8_t usePipelining;
  uint8_t offersPipelining;
  // Standard header (setting 150): a Date line with a two-digit hour and a
  // Message-ID on every message.
  uint8_t standardHeader;

  // The envelope: the recipient being named, the last one (qelDebug), and
  // what qelVerifyUser found.
  const char* currentAddress;
  char lastRecipient[fieldSize(kLastRecipientCap)];
  int32_t verifyResult;

  // The send in progress (smtp/smtp_send.h; null until the first send).
  SmtpSend* send;
};

// The session of a channel, made with the defaults when there is none yet.
// Returns 0, or -55 (kErrNoMemory) when it cannot be made.
int32_t openSmtpSession(ChannelRecord* record);

// The session of a channel for reading: a block of defaults when none was
// made.
const SmtpSession& smtpOf(const ChannelRecord* record);

// The extra header lines the caller set (a tracked copy in block slot
// kSlotExtraHeader), null when none are set.
char* extraHeader(const ChannelRecord* record);

}  // namespace qel
