// Helpers of the SMTP tests: the dialogue pieces of a scripted server that
// every session shares, and transcripts made independent of the date and
// of the boundary text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/script_server.h"

namespace qel::test {

// The From text of the tests and what the library makes of it.
constexpr char kFrom[] = "Ann Example <ann@example.org>";
constexpr char kHello[] = "HELO example.org";
constexpr char kMailFrom[] = "MAIL FROM:<ann@example.org>";

// Joins dialogue pieces.
std::vector<Step> steps(std::initializer_list<std::vector<Step>> pieces);

// Greeting and HELO, answered.
std::vector<Step> greeting();

// MAIL FROM, one RCPT TO per recipient (all answered 250), DATA answered
// 354, the message up to the final ".", answered 250.
// mailFrom: the step that checks the MAIL FROM line (exact by default).
std::vector<Step> envelopeAndData(const std::vector<std::string>& recipients, Step mailFrom = ExpectLine(kMailFrom));

// QUIT, answered; the server then waits for the close.
std::vector<Step> quit();

// Points channel 0's SMTP port at the server and connects with kFrom.
int32_t connectTo(const ScriptServer& server, const char* from = kFrom, int32_t channel = 0);

// The part of a Message-ID before its "@", as the library makes it: time,
// process, counter, random digits.
constexpr char kMessageIdPattern[] = "[0-9]{14}\\.[0-9]+\\.[0-9]+\\.[0-9a-f]{16}";

// What the client sent, with every date line replaced by "Date: {DATE}",
// the part of a Message-ID before its "@" by "{ID}", and the boundary text
// by "{BOUNDARY}". A date line that is not in the
// library's format is left as it is, so the comparison shows it.
std::string transcript(const ScriptServer& server);

// Whether a line is a date line of the form "Date: Wed, 6 Dec 2000 9:05:07
// +0100" (or, with the standard header, "09:05:07").
bool isDateLine(const std::string& line);

// The part of a transcript between the line "DATA" and the final ".":
// the message as the server stored it (with CR LF line ends).
std::string messagePart(const std::string& transcript);

// The text of tests/data/smtp/<name>, its LF line ends made CR LF.
std::string golden(const std::string& name);

// The transcript up to the message, for the default envelope.
std::string envelopeText(const std::vector<std::string>& recipients);

}  // namespace qel::test
