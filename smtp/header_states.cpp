// The message header after DATA, and the header of the text part: states
// 220 to 236. Lines go out in the order Message-ID (HTML only, or every
// message with the standard header), X-Mailer, Date, To, From, Reply-To,
// Subject and the extra header lines, CC, MIME-Version and Content-Type,
// the blank line, then the text part's delimiter and header.
#include <iterator>

#include "driver/driver.h"
#include "frame/date_line.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "smtp/message_id.h"
#include "smtp/message_plan.h"
#include "smtp/smtp_states.h"

namespace qel {
namespace {

constexpr char kCrLf[] = "\r\n";
constexpr int32_t kCrLfLength = 2;
constexpr char kQuote = '"';
constexpr char kPlainType[] = "Content-Type: text/plain";
constexpr char kQuotedPrintable[] = "Content-Transfer-Encoding: quoted-printable";

enum BodyType : uint32_t {
  kBodyPlain = 0,
  kBodyText = 1,
  kBodyHtml = 2,
  kBodyEnriched = 3,
  kBodyIso8859 = 4,
  kBodyCustom = 9,
};

// Where header routing starts looking for the next optional line.
enum class HeaderStep { replyTo, subject, cc, mime };

// The next header state after From, Reply-To, Subject or CC: the first
// optional line, from the given one on, that the message has.
int32_t nextHeaderState(const ChannelRecord* record, HeaderStep from) {
  if (from <= HeaderStep::replyTo && record->smtp->replyToAddress[0] != '\0') return kStateReplyTo;
  if (from <= HeaderStep::subject && (record->smtp->send->subjectText != nullptr || extraHeader(record) != nullptr)) {
    return kStateSubject;
  }
  if (from <= HeaderStep::cc && record->smtp->send->ccList != nullptr) return kStateCc;
  if (from <= HeaderStep::mime && (usesMime(record) || singleTextPart(record))) return kStateMimeVersion;
  return kStateHeaderEnd;
}

// Sends one header field (never cut, folded as the channel asks) and moves
// on to next.
int32_t sendFieldAndGo(ChannelRecord* record, int32_t next, const char* name, const char* text, FieldKind kind) {
  return sentThen(record, sendHeaderField(record, name, text, kind), next);
}

// Sends one formatted line and moves on to next.
int32_t sendAndGo(ChannelRecord* record, int32_t next, const char* format, const char* text) {
  return sentThen(record, sendFormatted(record, format, text), next);
}

// 220: the message's own id (HTML messages, and every message with the
// standard header), new for every message: receivers drop a message whose
// id they have seen. Its inline images keep their Content-IDs
// "message-root.N", which the HTML refers to.
int32_t sendMessageId(ChannelRecord* record, uint32_t) {
  char id[kMessageIdRoom];
  formatMessageId(record->smtp->fromAddress, id);
  return sendAndGo(record, kStateMailer, "Message-ID: %s", id);
}

// 221
int32_t sendMailer(ChannelRecord* record, uint32_t) {
  return sendAndGo(record, kStateDate, "%s", "X-Mailer: Corvane Quelpost Version 3.4");
}

// 223
int32_t sendDate(ChannelRecord* record, uint32_t) {
  char date[plat::kFormatLimit + 1];
  formatDateLine(date, sizeof date, record->smtp->standardHeader != 0);
  return sendAndGo(record, kStateTo, "%s", date);
}

// 224: the whole To list as the caller wrote it.
int32_t sendTo(ChannelRecord* record, uint32_t now) {
  record->step.nextState = kStateFrom;
  if (settings.omitToHeader != 0) return kStateContinue;
  int32_t rc = sendHeaderField(record, "To", record->smtp->send->toList, FieldKind::addresses);
  if (rc != kStateContinue) return rc;
  replyWait(record, now);
  return kStateContinue;
}

// 225
int32_t sendFrom(ChannelRecord* record, uint32_t) {
  int32_t next = nextHeaderState(record, HeaderStep::replyTo);
  if (record->smtp->fromAddress[0] == '\0') {
    record->step.nextState = next;
    return kStateContinue;
  }
  return sendFieldAndGo(record, next, "From", record->smtp->fromAddress, FieldKind::addresses);
}

// 226
int32_t sendReplyTo(ChannelRecord* record, uint32_t) {
  return sendFieldAndGo(record, nextHeaderState(record, HeaderStep::subject), "Reply-To", record->smtp->replyToAddress,
                        FieldKind::addresses);
}

// 227: the subject, then the caller's extra header lines.
int32_t sendSubject(ChannelRecord* record, uint32_t) {
  if (record->smtp->send->subjectText != nullptr) {
    int32_t rc = sendHeaderField(record, "Subject", record->smtp->send->subjectText, FieldKind::text);
    if (rc != kStateContinue) return rc;
  }
  if (extraHeader(record) != nullptr) {
    int32_t rc = sendHeaderField(record, nullptr, extraHeader(record), FieldKind::ownLines);
    if (rc != kStateContinue) return rc;
  }
  record->step.nextState = nextHeaderState(record, HeaderStep::cc);
  return kStateContinue;
}

// 228: the whole CC list; BCC recipients appear in no header.
int32_t sendCc(ChannelRecord* record, uint32_t) {
  return sendFieldAndGo(record, nextHeaderState(record, HeaderStep::mime), "CC", record->smtp->send->ccList, FieldKind::addresses);
}

// 229
int32_t sendMimeVersion(ChannelRecord* record, uint32_t) {
  return sendAndGo(record, kStateMultipartType, "%s", "MIME-Version: 1.0");
}

// 230: multipart/related holds an HTML text with its inline images.
int32_t sendMultipartType(ChannelRecord* record, uint32_t) {
  if (singleTextPart(record)) {
    char line[plat::kFormatLimit + 1];
    int32_t rc = sendFormatted(record, "%s\r\n%s", charsetPartType(record, line, sizeof line),
                               charsetPartEncoding(record));
    if (rc != kStateContinue) return rc;
    record->step.nextState = kStateHeaderEnd;
    return kStateContinue;
  }
  const char* type = record->smtp->bodyType == kBodyHtml ? "Content-Type: multipart/related; boundary="
                                                   : "Content-Type: multipart/mixed; boundary=";
  return sentThen(record, sendFormatted(record, "%s%c%s%c", type, kQuote, boundaryText, kQuote), kStateHeaderEnd);
}

// 233: the blank line that ends the message header.
int32_t sendHeaderEnd(ChannelRecord* record, uint32_t) {
  int32_t next = usesMime(record) ? kStateTextDelimiter : kStateBodyReset;
  return sentThen(record, sendAllBytes(record, kCrLf, kCrLfLength), next);
}

// 234: the delimiter before the text part.
int32_t sendTextDelimiter(ChannelRecord* record, uint32_t) {
  return sendAndGo(record, kStateTextType, "--%s", boundaryText);
}

// 235: the text part's content type. Plain and HTML texts go without a
// transfer encoding, so their part header ends here with a blank line.
int32_t sendTextType(ChannelRecord* record, uint32_t) {
  if (charsetOn(record) && record->smtp->bodyType != kBodyIso8859 && record->smtp->bodyType != kBodyCustom) {
    char line[plat::kFormatLimit + 1];
    return sendAndGo(record, kStateTextEncoding, "%s", charsetPartType(record, line, sizeof line));
  }
  switch (record->smtp->bodyType) {
    case kBodyPlain:
      return sendAndGo(record, kStateBodyReset, "%s\r\n", kPlainType);
    case kBodyHtml:
      return sendAndGo(record, kStateBodyReset, "%s\r\n", "Content-Type: text/html");
    case kBodyEnriched:
      return sendAndGo(record, kStateTextEncoding, "%s", "Content-Type: text/enriched");
    case kBodyIso8859:
      return sendAndGo(record, kStateTextEncoding, "%s", "Content-Type: text/plain; charset=iso-8859-1");
    case kBodyCustom:
      // Without a type of the caller's the part still needs one: an empty
      // line here would end the part header early.
      if (settings.customContentType[0] != '\0') {
        return sendAndGo(record, kStateTextEncoding, "%s", settings.customContentType);
      }
      return sendAndGo(record, kStateTextEncoding, "%s", kPlainType);
    default:
      // Type 1 and the values without a name of their own: the text goes
      // quoted-printable, and the part says so.
      return sendAndGo(record, kStateTextEncoding, "%s", kPlainType);
  }
}

// 236: the transfer encoding of a quoted-printable text, and the blank line.
int32_t sendTextEncoding(ChannelRecord* record, uint32_t) {
  const char* line = settings.customEncodingLength != 0 ? settings.customEncoding : kQuotedPrintable;
  if (record->smtp->send->bodyEncoding != kBodyAsBefore) line = charsetPartEncoding(record);
  return sendAndGo(record, kStateBodyReset, "%s\r\n", line);
}

constexpr StateEntry kHeaderStates[] = {
    {kStateMessageId, sendMessageId},     {kStateMailer, sendMailer},
    {kStateDate, sendDate},               {kStateTo, sendTo},
    {kStateFrom, sendFrom},               {kStateReplyTo, sendReplyTo},
    {kStateSubject, sendSubject},         {kStateCc, sendCc},
    {kStateMimeVersion, sendMimeVersion}, {kStateMultipartType, sendMultipartType},
    {kStateHeaderEnd, sendHeaderEnd},     {kStateTextDelimiter, sendTextDelimiter},
    {kStateTextType, sendTextType},       {kStateTextEncoding, sendTextEncoding},
};
const StateRegistration registered(kHeaderStates, std::size(kHeaderStates));

}  // namespace
}  // namespace qel
