// What the SMTP state files share: the state numbers, the timing sets that
// states store for the step that follows, the reply wait, and the checked
// sends used while a message goes out.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "smtp/smtp_send.h"

namespace qel {

// State numbers of the SMTP sequences.
enum SmtpState : int32_t {
  kStateCramStart = 150,
  kStateCramChallenge = 151,
  kStateCramResponse = 152,
  kStateCramDone = 153,
  kStateLoginStart = 160,
  kStateLoginUser = 162,
  kStateLoginPassword = 163,
  kStateLoginDone = 164,
  kStateSaslAuth = 170,
  kStateSaslReply = 171,

  kStateConnectStart = 200,
  kStateGreeting = 201,
  kStateHello = 202,
  kStateHelloReply = 203,
  kStateMailFrom = 204,
  kStateMailFromReply = 205,
  kStateNextRecipient = 206,
  kStateRcptTo = 207,
  kStateRcptToReply = 208,
  kStateData = 209,
  kStateDataReply = 210,
  kStateStartTls = 211,
  kStateStartTlsReply = 212,
  // A pipelined envelope: the replies to MAIL FROM, each RCPT TO and DATA,
  // the answer to the empty message that ends data nobody may get, RSET.
  kStateGroupMailReply = 213,
  kStateGroupRcptReply = 214,
  kStateGroupDataReply = 215,
  kStateGroupEmptyEnd = 216,
  kStateGroupReset = 217,
  kStateGroupResetReply = 218,

  kStateMessageId = 220,
  kStateMailer = 221,
  kStateDate = 223,
  kStateTo = 224,
  kStateFrom = 225,
  kStateReplyTo = 226,
  kStateSubject = 227,
  kStateCc = 228,
  kStateMimeVersion = 229,
  kStateMultipartType = 230,
  kStateHeaderEnd = 233,
  kStateTextDelimiter = 234,
  kStateTextType = 235,
  kStateTextEncoding = 236,

  kStateBodyReset = 238,
  kStateBodyFromText = 240,
  kStateBodyTextLine = 241,
  kStateBodyFileOpen = 244,
  kStateBodyFileLine = 245,

  kStateDataEnd = 251,
  kStateDataEndReply = 252,

  kStateAttachDelimiter = 260,
  kStateAttachType = 261,
  kStateAttachEncoding = 262,
  kStateAttachDisposition = 263,
  kStateAttachOpen = 264,
  kStateAttachLine = 265,

  kStatePreparedOpen = 280,  // a ready-made message after the go-ahead for DATA
  kStatePreparedData = 281,

  kStateVerifyNext = 270,
  kStateVerifySend = 271,
  kStateVerifyReply = 272,

  kStateRawCommand = 298,  // qelCommand; 299 reads the reply
};

// Reply codes the states look at.
constexpr int32_t kReplyVerified = 250;

// ---- timing sets ------------------------------------------------------------
// "now" is the tick count the current driver call read when it began.

// A command went out: replyWait (driver/driver.h).
// After EHLO/HELO and AUTH LOGIN: the server may think longer.
void slowReplyWait(ChannelRecord* record, uint32_t now);
// Only the reply deadline; the pause stays as it is.
void deadlineOnly(ChannelRecord* record, uint32_t now);
// After a body or attachment line: the line delay, the line deadline, and
// the next line only once the socket takes more.
void linePace(ChannelRecord* record, uint32_t now, int32_t lineDeadline);

// ---- replies ----------------------------------------------------------------

// Result of awaitReply when a whole reply has been read without error.
constexpr int32_t kReplyRead = 0;

// The "await reply" step: kStateContinue (nothing changed, the state runs
// again) while no reply data is there within wait ms; failState's result
// when the reader fails; kReplyRead once the reply is in replyText.
int32_t awaitReply(ChannelRecord* record, int32_t wait = 0);

// ---- sending ----------------------------------------------------------------

// Sends length bytes. kStateContinue when all of them went out; otherwise
// the send fails with -52 through failState, with the send result as socket
// code (a short count, which a send time-out gives, counts as a time-out:
// the rest of the data would be lost).
int32_t sendAllBytes(ChannelRecord* record, const char* bytes, int32_t length);

// Sends the text in commandLine (length characters) followed by CR LF, as
// sendAllBytes does.
int32_t sendCommandLine(ChannelRecord* record, int32_t length);

// Formats a line into commandLine and sends it with CR LF, as sendAllBytes
// does. Header texts of the caller may hold line breaks of their own (extra
// header lines, folded subjects); a line among them that begins with "."
// gets a second one, as body lines do, so that no text can end the data
// early and have the rest read as commands.
int32_t sendFormatted(ChannelRecord* record, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// ---- negotiated login ------------------------------------------------------

// The offer of an EHLO reply: every mechanism of every "AUTH" and "AUTH="
// line.
void takeSmtpAuthOffer(ChannelRecord* record, const char* ehloReply);

// After the EHLO reply of a channel with negotiated login: the state that
// follows (AUTH, or 0 when there is nothing to log in with). When no
// mechanism fits, *failure is failState's result (-120) and 0 is returned.
int32_t negotiatedAuthState(ChannelRecord* record, int32_t* failure);

// ---- STARTTLS -----------------------------------------------------------------

// Whether an EHLO reply offers the extension keyword (a line "250-KEYWORD"
// or "250 KEYWORD", with or without parameters; case-blind).
bool ehloOffers(const char* reply, const char* keyword);

// After an EHLO reply: true when STARTTLS takes over, with *result the
// state's result (STARTTLS next, or -110 when TLS is required and not
// offered). False when the connection goes on as it is.
bool startTlsTakesOver(ChannelRecord* record, int32_t* result);

// Whether the greeting must be EHLO because STARTTLS may follow.
bool startTlsNeedsEhlo(const ChannelRecord* record);

// Whether the message has the MIME structure: attachments, or a body type
// other than plain.
bool usesMime(const ChannelRecord* record);

// Whether a plain text goes as a message of one text/plain part, with its
// charset: body type 0 without attachments on a channel with a charset.
bool singleTextPart(const ChannelRecord* record);

// Closes the body or attachment file being sent, if one is open.
void closeSendFile(ChannelRecord* record);

// ---- the envelope ----------------------------------------------------------

// Whether the reply just read is a positive completion (2xx).
bool positiveReply(const ChannelRecord* record);

// The recipient walk: To list, then CC, then BCC, item by item.
// startRecipientWalk puts it at the first To item. cutRecipient cuts the
// item there out of its list (currentAddress at its "<"): 0, or -37 (no
// "<") or -80 (a line break) with nothing cut. restoreListItem makes the
// list whole again. nextRecipient moves on to the next list when this one
// is done; false after the last recipient.
void startRecipientWalk(ChannelRecord* record);
int32_t cutRecipient(ChannelRecord* record);
void restoreListItem(ChannelRecord* record);
bool nextRecipient(ChannelRecord* record);

// After the go-ahead for DATA: the message goes out in large writes, from
// its first header line or from a ready-made message. kStateContinue or
// failState's result.
int32_t goAheadWithMessage(ChannelRecord* record);

// Reads and drops the continuation lines of a reply whose first line the
// reader refused (code 500 and above), so that they are not taken for the
// next reply.
void skipRestOfReply(ChannelRecord* record);

// Whether a send on this channel pipelines its envelope: the setting is on
// and the last EHLO reply offered PIPELINING.
bool pipelinesEnvelope(const ChannelRecord* record);

// State 204 of a pipelined send: MAIL FROM (sender from its "<", with the
// parameters), every RCPT TO and DATA at once, then on to their replies.
int32_t sendEnvelopeGroup(ChannelRecord* record, const char* sender, const char* parameters, uint32_t now);

}  // namespace qel
