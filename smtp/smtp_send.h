// One SMTP send (or name check) in progress: the envelope and its list
// positions, the plan of the message, the body reader and a ready-made
// message's source. The session (smtp/smtp_session.h) holds only a pointer
// to it: the block is made when the channel's first operation of this kind
// starts, serves the channel's later sends, and is freed with the session
// at release.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "smtp/smtp_session.h"

namespace qel {

struct SmtpSend {
  // Tracked copies of the caller's texts (blocks kSlotTo..kSlotAttachments)
  // and where the walk through the lists stands.
  char* listCursor;
  char* toList;
  char* ccList;
  char* bccList;
  char* subjectText;
  const char* messageText;
  char* attachList;
  char* nextAttach;
  char* separatorAt;
  int32_t ccDone;
  int32_t bccDone;

  // The plan of the message (smtp/message_plan.h).
  uint32_t messageSizeEstimate;
  uint8_t bodyEncoding;     // a BodyEncoding
  uint8_t sendsEightBit;    // a part goes out with bytes of 0x80 and above
  uint8_t needsSmtpUtf8;    // an envelope address holds such bytes
  uint8_t lineEndedByLf;    // charset body: the last source line ended in LF
  uint8_t lineFeedPending;  // base64 body: the LF of a CR LF still to go

  // The body reader (smtp/body_reader.h).
  int32_t bodyPos;
  int32_t bodyFill;
  int32_t bodyEnded;
  int32_t bodyFromText;
  int32_t pendingChar;  // body byte looked at ahead, or -1 (none)
  int32_t contentIdCount;
  uint8_t inlinePart;

  // A ready-made message (smtp/prepared_send.h): its source (kPreparedFile,
  // kPreparedMemory; 0 = a composed message), the caller's bytes of the
  // memory form and how far they went, where the data conversion stands
  // (codec/smtp_data.h), and the envelope sender.
  uint8_t preparedSource;
  uint8_t preparedLineStart;
  uint8_t preparedAfterCr;
  const char* preparedData;
  int32_t preparedLength;
  int32_t preparedOffset;
  char envelopeSender[fieldSize(kEnvelopeAddressCap)];

  // A pipelined envelope (smtp/pipelined_states.cpp): the recipients the
  // server took, whether a command of the group was refused, and the first
  // refusal's reply, which the failure reports after the replies that
  // followed it.
  int32_t groupAccepted;
  uint8_t groupRefused;
  char groupRefusal[kReplyRoom];
};

// The send of a channel, made zeroed when there is none yet; the session
// must have been made. Returns 0, or -55 (kErrNoMemory) when it cannot be
// made.
int32_t openSmtpSend(ChannelRecord* record);

// Frees the send of a channel, if any (done by the session's release).
void closeSmtpSend(ChannelRecord* record);

}  // namespace qel
