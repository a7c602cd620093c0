// Mail in any language and the SMTP extensions: what a send with the
// charset setting (or the extensions setting) decides before anything goes
// out, the header fields and body lines it then writes, and the parameters
// of MAIL FROM. A channel with neither setting takes none of these roads,
// except the header writer, whose output is then the caller's exact text
// with lines folded only beyond RFC 5322's 998 characters.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "smtp/smtp_session.h"

namespace qel {

// Values of bodyEncoding.
enum BodyEncoding : uint8_t {
  kBodyAsBefore = 0,  // the body forms of the body type
  kBodyQuoted = 1,    // quoted-printable, soft line breaks only
  kBodyBase64 = 2,    // base64 of the text with CR LF line ends
  kBodySevenBit = 3,  // ASCII lines of at most 998 characters, as they are
};

// Whether the channel has a charset set.
inline bool charsetOn(const ChannelRecord* record) { return record->smtp->charsetName[0] != '\0'; }

// Records what the EHLO reply in replyText offers (SIZE with its limit,
// 8BITMIME, SMTPUTF8); after HELO nothing is offered. After STARTTLS the
// second EHLO's reply replaces what the first one offered.
void noteServerExtensions(ChannelRecord* record);

// Called by qelSendEmail once the arguments are copied: checks the texts
// (UTF-8 when the charset is utf-8), chooses the body encoding, and checks
// the message against what the server offers. 0, or -140, -141, -142; on a
// failure nothing has been sent and the connection stays usable.
int32_t planMessage(ChannelRecord* record);

// The parameters of MAIL FROM (" SIZE=n", " BODY=8BITMIME", " SMTPUTF8"),
// each only when the server offered it after EHLO; "" otherwise.
void mailFromParameters(const ChannelRecord* record, char* out, int32_t room);

// The text part's header lines with the charset: content type and transfer
// encoding.
const char* charsetPartType(const ChannelRecord* record, char* out, int32_t room);
const char* charsetPartEncoding(const ChannelRecord* record);

// Builds the next body line when bodyEncoding asks for one of the charset
// forms; false when the body type's own form builds it.
bool buildCharsetBodyLine(ChannelRecord* record, char* out, int32_t* length, bool* exhausted);

// Kinds of header field the writer knows.
enum class FieldKind { addresses, text, ownLines };

// Sends one header field ("Name: text" and CR LF; the caller's own lines
// when name is null), folded: with the charset at 78 characters with
// encoded words where needed, otherwise only where a line would pass 998
// characters. A line that begins with "." gets a second one. kStateContinue
// or failState's result.
int32_t sendHeaderField(ChannelRecord* record, const char* name, const char* text, FieldKind kind);

// Whether the message header, written as sendHeaderField and the
// attachment states would write it, keeps every line within RFC 5322's 998
// characters: 0, or -151 (a word with no white space to fold at, a long
// attachment name). Called before MAIL FROM.
int32_t checkHeaderLines(const ChannelRecord* record);

// Whether an attachment's shown name needs the encoded forms.
bool encodesAttachName(const ChannelRecord* record, const char* name);

// The content-type line of such an attachment (typeLine is the line the
// name would follow, e.g. "Content-Type: Image/GIF"), with the Content-ID
// line when contentId is above 0; and its disposition line with the blank
// line that ends the part header.
int32_t sendEncodedAttachType(ChannelRecord* record, const char* typeLine, const char* name, int32_t contentId);
int32_t sendEncodedDisposition(ChannelRecord* record, bool inlinePart, const char* name);

}  // namespace qel
