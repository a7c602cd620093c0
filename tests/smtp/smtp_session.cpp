#include "smtp_session.h"

#include <regex>

#include "frame/channel.h"
#include "qel32.h"
#include "support/library.h"

namespace qel::test {

std::vector<Step> steps(std::initializer_list<std::vector<Step>> pieces) {
  std::vector<Step> all;
  for (const auto& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

std::vector<Step> greeting() {
  return {Send("220 mail.test ESMTP\r\n"), ExpectLine(kHello), Send("250 mail.test\r\n")};
}

std::vector<Step> envelopeAndData(const std::vector<std::string>& recipients, Step mailFrom) {
  std::vector<Step> all{mailFrom, Send("250 sender ok\r\n")};
  for (const auto& to : recipients) {
    all.push_back(ExpectLine("RCPT TO:" + to));
    all.push_back(Send("250 recipient ok\r\n"));
  }
  all.push_back(ExpectLine("DATA"));
  all.push_back(Send("354 go ahead\r\n"));
  all.push_back(ExpectUntil("\r\n.\r\n"));
  all.push_back(Send("250 queued\r\n"));
  return all;
}

std::vector<Step> quit() { return {ExpectLine("QUIT"), Send("221 bye\r\n"), ExpectClose()}; }

int32_t connectTo(const ScriptServer& server, const char* from, int32_t channel) {
  qelIntegerParam(channel, QEL_PARAM_SMTP_PORT, server.port());
  return qelSmtpConnect(channel, "127.0.0.1", from, nullptr);
}

bool isDateLine(const std::string& line) {
  static const std::regex format(
      "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
      "([01]?[0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] [+-][0-9]{4}");
  return std::regex_match(line, format);
}

std::string transcript(const ScriptServer& server) {
  std::string text = server.received();
  for (size_t at = text.find("\r\nDate: "); at != std::string::npos; at = text.find("\r\nDate: ", at + 2)) {
    size_t start = at + 2;
    size_t end = text.find("\r\n", start);
    if (end != std::string::npos && isDateLine(text.substr(start, end - start))) {
      text.replace(start, end - start, "Date: {DATE}");
    }
  }
  static const std::regex messageId("\r\nMessage-ID: <" + std::string(kMessageIdPattern) + "@");
  text = std::regex_replace(text, messageId, "\r\nMessage-ID: <{ID}@");
  const std::string boundary = boundaryText;
  for (size_t pos = text.find(boundary); !boundary.empty() && pos != std::string::npos;
       pos = text.find(boundary, pos)) {
    text.replace(pos, boundary.size(), "{BOUNDARY}");
  }
  return text;
}

std::string messagePart(const std::string& transcript) {
  size_t start = transcript.find("DATA\r\n");
  if (start == std::string::npos) return "";
  start += 6;
  size_t end = transcript.find("\r\n.\r\n", start);
  if (end == std::string::npos) return transcript.substr(start);
  return transcript.substr(start, end + 2 - start);
}

std::string golden(const std::string& name) {
  std::string text = readFile(std::string(QEL_TEST_DATA_DIR) + "/smtp/" + name);
  std::string crlf;
  crlf.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}

std::string envelopeText(const std::vector<std::string>& recipients) {
  std::string text = std::string(kHello) + "\r\n" + kMailFrom + "\r\n";
  for (const auto& to : recipients) text += "RCPT TO:" + to + "\r\n";
  return text + "DATA\r\n";
}

}  // namespace qel::test
