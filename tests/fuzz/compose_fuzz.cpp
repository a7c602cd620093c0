// Composition of outgoing messages. The input's first byte chooses the
// charset (none, utf-8, iso-8859-15), the standard header and the body type;
// the rest, split at NUL bytes, gives the From, Reply-To, To, CC, subject,
// extra header lines and an attachment's shown name. The From and Reply-To
// go through qelSmtpConnect's checks (staged, then abandoned); the send runs
// against a server in this process over a socket pair that answers each
// command as it comes.
//
// Contracts: a From or Reply-To that was accepted is stored whole; MAIL FROM
// carries the From from its "<" on, whole; the From header field holds that
// address whole (folding white space aside); every line of the message
// header is at most 998 characters (a leading "." doubled on the wire aside).
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "transport/readiness.h"
#include "fuzz_support.h"
#include "qel32.h"
#include "driver/connection_use.h"
#include "smtp/smtp_session.h"

using namespace qel;
using namespace qel::fuzz;

namespace {

constexpr size_t kHardLineLimit = 998;
// Driver calls a send may take; far more than one message needs.
constexpr int kMostSteps = 20000;
constexpr const char* kCharsets[] = {"", "utf-8", "iso-8859-15", ""};
enum Field { kFrom, kReplyTo, kTo, kCc, kSubject, kExtra, kAttachName, kFieldCount };

// The server side: answers MAIL, RCPT and DATA as they come, then the
// message once its final "." has come.
class Server {
 public:
  explicit Server(int socket) : socket_(socket) {}

  void serve() {
    char chunk[4096];
    for (;;) {
      ssize_t n = ::recv(socket_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n <= 0) break;
      received_.append(chunk, static_cast<size_t>(n));
    }
    if (dataAt_ != std::string::npos) {
      if (!ended_ && received_.find("\r\n.\r\n", dataAt_) != std::string::npos) {
        ended_ = true;
        answer("250 queued\r\n");
      }
      return;
    }
    for (size_t end; (end = received_.find("\r\n", lineAt_)) != std::string::npos;) {
      std::string line = received_.substr(lineAt_, end - lineAt_);
      lineAt_ = end + 2;
      if (line == "DATA") {
        dataAt_ = lineAt_;
        answer("354 go ahead\r\n");
        return;
      }
      if (line.rfind("MAIL FROM:", 0) == 0) mailFrom_ = line;
      answer("250 ok\r\n");
    }
  }

  const std::string& mailFrom() const { return mailFrom_; }
  // The message header as sent: from DATA to the first empty line.
  std::string header() const {
    if (dataAt_ == std::string::npos) return "";
    size_t end = received_.find("\r\n\r\n", dataAt_);
    return received_.substr(dataAt_, end == std::string::npos ? std::string::npos : end + 2 - dataAt_);
  }

 private:
  void answer(const char* text) { (void)::send(socket_, text, std::char_traits<char>::length(text), MSG_NOSIGNAL); }

  int socket_;
  std::string received_;
  size_t lineAt_ = 0;
  size_t dataAt_ = std::string::npos;
  bool ended_ = false;
  std::string mailFrom_;
};

std::string withoutWhiteSpace(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
  }
  return out;
}

// The field's lines, from its name to the next line that does not begin
// with white space.
std::string field(const std::string& header, const std::string& name) {
  size_t start = header.rfind(name, 0) == 0 ? 0 : header.find("\r\n" + name);
  if (start == std::string::npos) return "";
  if (start != 0) start += 2;
  size_t end = start;
  do {
    end = header.find("\r\n", end);
    if (end == std::string::npos) return header.substr(start);
    end += 2;
  } while (end < header.size() && (header[end] == ' ' || header[end] == '\t'));
  return header.substr(start, end - start);
}

void checkLineLengths(const std::string& header) {
  size_t start = 0;
  for (size_t i = 0; i <= header.size(); ++i) {
    if (i < header.size() && header[i] != '\r' && header[i] != '\n') continue;
    size_t length = i - start;
    if (length > 1 && header[start] == '.' && header[start + 1] == '.') --length;
    require(length <= kHardLineLimit, "every header line is at most 998 characters");
    start = i + 1;
  }
}

const char* textOrNull(const std::vector<std::string>& fields, Field which) {
  return fields[which].empty() ? nullptr : fields[which].c_str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::vector<std::string> fields(kFieldCount);
  size_t at = 1;
  for (int i = 0; i < kFieldCount && at <= size; ++i) {
    size_t end = at;
    while (end < size && data[end] != 0) ++end;
    fields[i].assign(reinterpret_cast<const char*>(data + at), end - at);
    at = end + 1;
  }
  require(qelAttach(1, 0) == 1, "the library attaches");
  ChannelRecord* record = channelRecord(0);
  qelIntegerParam(0, QEL_PARAM_MINIMUM_WAIT, 0);
  qelIntegerParam(0, QEL_PARAM_FINAL_REPLY_WAIT, 0);
  qelIntegerParam(0, QEL_PARAM_LOGIN_PAUSE, 0);
  qelIntegerParam(0, QEL_PARAM_REPLY_TIMEOUT, 2000);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  qelStringParam(0, QEL_STRING_CHARSET, kCharsets[flags & 3]);
  qelIntegerParam(0, QEL_PARAM_STANDARD_HEADER, (flags >> 2) & 1);
  qelIntegerParam(0, QEL_PARAM_BODY_TYPE, (flags >> 3) & 3);

  const std::string& from = fields[kFrom];
  int32_t rc = qelSmtpConnect(0, "mail.test", from.c_str(), fields[kReplyTo].c_str());
  qelAbort(0);
  if (rc == 0) {
    require(record->smtp->fromAddress == from, "an accepted From is stored whole");
    require(record->smtp->replyToAddress == fields[kReplyTo], "an accepted Reply-To is stored whole");
    int pair[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "a socket pair can be made");
    adoptSocket(record, static_cast<plat::SocketHandle>(pair[0]));
    record->protocol = kProtocolSmtp;
    record->connection->ringRead = record->connection->ringWrite = 0;
    Server server(pair[1]);
    std::string attachment = workDir() + "/compose.bin";
    if (FILE* file = std::fopen(attachment.c_str(), "wb")) {
      std::fputs("bytes", file);
      std::fclose(file);
    }
    std::string attachments = attachment + "|" + fields[kAttachName];
    qelStringParam(0, QEL_STRING_EXTRA_HEADER, fields[kExtra].c_str());
    // The send is driven here, so that the server can answer between steps.
    qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
    rc = qelSendEmail(0, fields[kTo].c_str(), textOrNull(fields, kCc), nullptr, textOrNull(fields, kSubject), "body",
                      fields[kAttachName].empty() ? nullptr : attachments.c_str());
    for (int step = 0; rc == 0 && step < kMostSteps; ++step) {
      int32_t result = qelDriver(0);
      server.serve();
      if (result <= 0) break;
    }
    if (!server.mailFrom().empty()) {
      std::string expected = "MAIL FROM:" + from.substr(from.find('<'));
      require(server.mailFrom().compare(0, expected.size(), expected) == 0, "MAIL FROM carries the whole address");
    }
    std::string header = server.header();
    checkLineLengths(header);
    size_t open = from.find('<');
    size_t close = from.find('>', open);
    if (!header.empty() && close != std::string::npos) {
      std::string address = withoutWhiteSpace(from.substr(open, close + 1 - open));
      require(withoutWhiteSpace(field(header, "From:")).find(address) != std::string::npos,
              "the From field holds the whole address");
    }
    if (socketIsOpen(record->connection)) ::close(static_cast<int>(record->connection->socket));
    record->connection->socketOpen = false;
    ::close(pair[1]);
  }
  qelRelease();
  resetLibrarySettings();
  return 0;
}
