// The envelope arguments of MAIL FROM and RCPT TO (RFC 5321, section 4.1.2):
// a path in angle brackets, then parameters.
#pragma once

#include <string>
#include <vector>

namespace maildrop {

constexpr size_t kMaxPathChars = 256;

// Splits "<path> PARAM=value ..." (spaces before the "<" allowed, as some
// clients write "MAIL FROM: <a@b>") into the address without brackets and
// source route, and the parameters. False when there is no bracketed path,
// the path is longer than kMaxPathChars, or it holds a control character
// or a space.
bool parsePath(const std::string& text, std::string& address, std::vector<std::string>& parameters);

// The local part of an address: the text before its last "@", or all of it.
std::string localPartOf(const std::string& address);

// The upper-case copy of an ASCII text (verbs, keywords, mechanism names).
std::string upperCase(std::string text);

// A command line split at its first space: the verb in upper case, and the
// argument ("" when there is none).
void splitCommand(const std::string& line, std::string& verb, std::string& argument);

// Whether text starts with prefix, ignoring the case of ASCII letters.
bool startsWithNoCase(const std::string& text, const std::string& prefix);

}  // namespace maildrop
