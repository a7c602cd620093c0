#include "prepared_message.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cctype>

namespace qelmail {
namespace {

constexpr size_t kReadChunk = 65536;

bool sameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// The end of the line that starts at `at` (behind its LF), or the end of
// the text.
size_t lineEnd(const std::string& text, size_t at) {
  size_t lf = text.find('\n', at);
  return lf == std::string::npos ? text.size() : lf + 1;
}

// Whether the line at `at` is empty: the end of the header.
bool blankLine(const std::string& text, size_t at) {
  return at < text.size() && (text[at] == '\n' || text.compare(at, 2, "\r\n") == 0);
}

bool continues(const std::string& text, size_t at) {
  return at < text.size() && (text[at] == ' ' || text[at] == '\t');
}

// The field name of the header line at `at`, or "" when it has none.
std::string fieldName(const std::string& text, size_t at, size_t end) {
  size_t colon = text.find(':', at);
  if (colon == std::string::npos || colon >= end) return "";
  std::string name = text.substr(at, colon - at);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
  return name;
}

// Calls visit(start, end, name) for each header field (its first line at
// start, its continuation lines up to end).
template <typename Visit>
void eachField(const std::string& message, Visit visit) {
  size_t at = 0;
  while (at < message.size() && !blankLine(message, at)) {
    size_t end = lineEnd(message, at);
    while (continues(message, end)) end = lineEnd(message, end);
    visit(at, end, fieldName(message, at, lineEnd(message, at)));
    at = end;
  }
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool readMessage(std::FILE* in, bool ignoreDots, std::string* message) {
  message->clear();
#ifdef _WIN32
  // The message's bytes as they are: no CR LF made LF, no end at Ctrl-Z.
  _setmode(_fileno(in), _O_BINARY);
#endif
  std::string chunk(kReadChunk, '\0');
  size_t n;
  while ((n = std::fread(&chunk[0], 1, chunk.size(), in)) > 0) message->append(chunk, 0, n);
  if (std::ferror(in)) return false;
  if (ignoreDots) return true;
  for (size_t at = 0; at < message->size(); at = lineEnd(*message, at)) {
    size_t end = lineEnd(*message, at);
    std::string line = message->substr(at, end - at);
    if (line == "." || line == ".\n" || line == ".\r\n") {
      message->resize(at);
      break;
    }
  }
  return true;
}

std::vector<std::string> addressesIn(const std::string& list) {
  std::vector<std::string> found;
  std::string text;   // the mailbox's words outside comments
  std::string angle;  // its <address>, when it has one
  bool hasAngle = false;
  auto endMailbox = [&]() {
    std::string address = hasAngle ? angle : text;
    // A route (RFC 5322 obs-route) before the address is dropped.
    size_t route = hasAngle && !address.empty() && address[0] == '@' ? address.find(':') : std::string::npos;
    if (route != std::string::npos) address = address.substr(route + 1);
    address = trimmed(address);
    // A bare address has no white space: of words around it (a display
    // name without brackets, which RFC 5322 does not allow) the one with
    // the "@" is taken.
    size_t space = address.find(' ');
    if (!hasAngle && space != std::string::npos && address.find('"') == std::string::npos) {
      size_t at = address.rfind('@');
      if (at != std::string::npos) {
        size_t start = address.rfind(' ', at);
        start = start == std::string::npos ? 0 : start + 1;
        address = address.substr(start, address.find(' ', at) - start);
      }
    }
    if (!address.empty()) found.push_back(address);
    text.clear();
    angle.clear();
    hasAngle = false;
  };
  for (size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (c == '"') {
      size_t start = i++;
      while (i < list.size() && list[i] != '"') i += list[i] == '\\' ? 2 : 1;
      text += list.substr(start, i + 1 - start);
    } else if (c == '(') {
      for (int depth = 1; depth > 0 && ++i < list.size();) {
        if (list[i] == '\\') ++i;
        else if (list[i] == '(') ++depth;
        else if (list[i] == ')') --depth;
      }
    } else if (c == '<') {
      size_t close = list.find('>', i);
      if (close == std::string::npos) close = list.size();
      angle = list.substr(i + 1, close - i - 1);
      hasAngle = true;
      i = close;
    } else if (c == ':') {
      text.clear();  // a group's display name
    } else if (c == ',' || c == ';') {
      endMailbox();
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!text.empty() && text.back() != ' ') text += ' ';
    } else {
      text += c;
    }
  }
  endMailbox();
  return found;
}

std::vector<std::string> headerValues(const std::string& message, const std::string& name) {
  std::vector<std::string> values;
  eachField(message, [&](size_t start, size_t end, const std::string& field) {
    if (!sameNoCase(field, name)) return;
    std::string value;
    for (size_t i = message.find(':', start) + 1; i < end; ++i) {
      if (message[i] != '\r' && message[i] != '\n') value += message[i];
    }
    values.push_back(trimmed(value));
  });
  return values;
}

std::string withoutHeader(const std::string& message, const std::string& name) {
  std::string kept;
  size_t bodyStart = 0;
  eachField(message, [&](size_t start, size_t end, const std::string& field) {
    if (!sameNoCase(field, name)) kept.append(message, start, end - start);
    bodyStart = end;
  });
  kept.append(message, bodyStart, std::string::npos);
  return kept;
}

}  // namespace qelmail
