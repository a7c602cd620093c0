// Reading MIME header fields as they arrive: the media type and the
// parameters of a Content-Type or Content-Disposition value (RFC 2045
// section 5.1, RFC 2183), with RFC 2231 extended parameters (continuations,
// charset, percent-encoding) and RFC 2047 encoded words, decoded to UTF-8.
// Pure functions on caller memory; every output is bounded by its room.
#pragma once

#include <cstdint>

namespace qel {

// The text after "Name:" of an unfolded header field when the field is
// named name (any letter case); null otherwise. Leading blanks are skipped.
const char* fieldValue(const char* field, int32_t length, const char* name, int32_t* valueLength);

// The first token of a field value ("multipart/mixed", "attachment"), lower
// case, into out (at most room - 1 characters and a NUL). Returns its length.
int32_t valueToken(const char* value, int32_t length, char* out, int32_t room);

// The parameter name of a field value (any letter case) into out as UTF-8:
// RFC 2231 sections name*0, name*1... joined in order, an extended value
// (name* or name*N*) percent-decoded and converted from its charset, a
// plain value unquoted with RFC 2047 words decoded. Returns the length
// written (at most room - 1 bytes, never a sequence cut in two), or -1 when
// the parameter is not there.
int32_t findParameter(const char* value, int32_t length, const char* name, char* out, int32_t room);

// Decodes the RFC 2047 encoded words of n bytes of text (B and Q, blanks
// between two words dropped, words of one charset in a row converted as one
// text) into out as UTF-8; other text is copied as it is. Returns the length written (at most room - 1 bytes and a NUL).
int32_t decodeEncodedWords(const char* text, int32_t n, char* out, int32_t room);

// Appends n bytes of the charset to out (used bytes so far, room in all) as
// UTF-8: UTF-8 and US-ASCII as they are, ISO-8859-1 and windows-1252
// converted here, every other charset the system knows converted by the
// system (a byte that is no character of it becomes "_"); an invalid UTF-8
// byte, and a byte above 0x7F of a charset nothing here can convert,
// becomes "_". Returns the new used length; a
// character that does not fit whole is left out.
int32_t appendAsUtf8(const char* charset, const char* bytes, int32_t n, char* out, int32_t used, int32_t room);

// The code point a byte stands for in windows-1252 (ISO-8859-1 where
// windows-1252 defines nothing).
uint32_t windows1252CodePoint(uint8_t byte);

// Whether charset is none of those read here (UTF-8, US-ASCII, ISO-8859-1,
// windows-1252) but one the system converts (platform/charsets.h).
bool isSystemCharset(const char* charset);

// 8-bit text, such as a file name a header gives unencoded, as UTF-8 into
// out (at most room - 1 bytes and a NUL). In a charset the system converts,
// text that is not valid UTF-8 or holds an ESC is converted whole. Else
// valid UTF-8 sequences stay as they are, and every other byte is read in
// charset when it is ISO-8859-1 or windows-1252, else in windows-1252, so
// that bytes that differ stay different characters. Returns the length; a
// character that does not fit whole is left out.
int32_t eightBitTextAsUtf8(const char* charset, const char* text, int32_t n, char* out, int32_t room);

}  // namespace qel
