#include "smtp_address.h"

namespace maildrop {

bool parsePath(const std::string& text, std::string& address, std::vector<std::string>& parameters) {
  address.clear();
  parameters.clear();
  size_t open = text.find_first_not_of(' ');
  if (open == std::string::npos || text[open] != '<') return false;
  size_t close = text.find('>', open);
  if (close == std::string::npos || close - open - 1 > kMaxPathChars) return false;
  address = text.substr(open + 1, close - open - 1);
  for (char c : address)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
  // An old source route "@a,@b:user@c" leads to the mailbox after the colon.
  if (!address.empty() && address[0] == '@') {
    size_t colon = address.find(':');
    if (colon == std::string::npos) return false;
    address.erase(0, colon + 1);
  }
  size_t at = close + 1;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) parameters.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return true;
}

std::string localPartOf(const std::string& address) {
  size_t at = address.rfind('@');
  return at == std::string::npos ? address : address.substr(0, at);
}

std::string upperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && upperCase(text.substr(0, prefix.size())) == upperCase(prefix);
}

void splitCommand(const std::string& line, std::string& verb, std::string& argument) {
  size_t space = line.find(' ');
  verb = upperCase(line.substr(0, space));
  argument = space == std::string::npos ? std::string() : line.substr(space + 1);
}

}  // namespace maildrop
