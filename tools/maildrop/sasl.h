// The small pieces of the login exchanges: base64 for the SASL lines of
// SMTP AUTH, the CRAM-MD5 and APOP digests, and the challenge text that both
// CRAM-MD5 and the POP3 greeting hand out.
#pragma once

#include <cstdint>
#include <string>

namespace maildrop {

// Standard base64 (RFC 4648) in one unbroken line, "=" filling a short group.
std::string base64Encode(const std::string& bytes);

// Strict base64 decoding of one SASL line: only the standard alphabet, a
// length that is a multiple of four and "=" only at the end. False for
// anything else; out is then unspecified.
bool base64Decode(const std::string& text, std::string& out);

// The lower-case hexadecimal HMAC-MD5 of challenge under password (the
// CRAM-MD5 response of RFC 2195, without the user name).
std::string cramDigest(const std::string& challenge, const std::string& password);

// The lower-case hexadecimal MD5 of timestamp followed by password (the APOP
// digest of RFC 1939).
std::string apopDigest(const std::string& timestamp, const std::string& password);

// The lower-case hexadecimal MD5 of text (stand-in ids for odd file names).
std::string md5Hex(const std::string& text);

// Compares a digest the client sent with the expected one, ignoring the case
// of hexadecimal letters, in time that does not depend on where they differ.
bool sameDigest(const std::string& expected, const std::string& given);

// A fresh challenge "<pid.sequence.seconds@host>": unique per process and
// call, so a recorded response can't be replayed to a later session.
std::string makeChallenge(const std::string& host);

}  // namespace maildrop
