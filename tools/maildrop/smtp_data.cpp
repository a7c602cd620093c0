// DATA: the message after the 354 reply, unstuffed and stored into the
// recipients' Maildirs.
#include <ctime>

#include "maildir.h"
#include "smtp_session.h"
#include "transparency.h"

namespace maildrop {
namespace {

constexpr size_t kDateChars = 64;

// The current time as an RFC 5322 date in UTC.
std::string dateText() {
  std::time_t now = std::time(nullptr);
  std::tm utc;
  gmtime_r(&now, &utc);
  char text[kDateChars];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return text;
}

}  // namespace

// Return-Path and Received lines, as a delivering server puts on top.
std::string SmtpSession::traceHeaders() const {
  std::string with = esmtp_ ? (authUser_.empty() ? "ESMTP" : "ESMTPA") : "SMTP";
  std::string received = "Received: from " + heloName_ + " (" + peer_ + ")\r\n\tby " +
                         context_.options.hostName + " (qel-maildrop) with " + with;
  if (recipients_.size() == 1) received += "\r\n\tfor <" + firstRecipient_ + ">";
  return "Return-Path: <" + sender_ + ">\r\n" + received + "; " + dateText() + "\r\n";
}

// Reads the message up to the end-of-data line. The whole message is read
// even when it is too big or can't be stored, so the client's next command
// is not taken from the middle of it. False when the connection ended.
bool SmtpSession::receiveData(Delivery& delivery, bool& tooBig, bool& writeFailed, uint64_t& size) {
  DataUnstuffer unstuffer;
  std::string message;
  while (!unstuffer.finished()) {
    if (connection_.bufferedBytes() == 0) {
      IoStatus status = connection_.fill();
      if (status != IoStatus::Ok) return endOnStatus(status);
    }
    size_t used = unstuffer.feed(connection_.buffered(), connection_.bufferedBytes(), message);
    connection_.consume(used);
    size += message.size();
    if (!tooBig && size > context_.options.maxMessageBytes) {
      tooBig = true;
      delivery.abandon();
    }
    if (!tooBig && !writeFailed && !message.empty() && !delivery.write(message.data(), message.size()))
      writeFailed = true;
    message.clear();
  }
  return true;
}

bool SmtpSession::onData(const std::string& argument) {
  if (!argument.empty()) return replyError("501 5.5.4 Syntax: DATA");
  if (!inTransaction_) return replyError("503 5.5.1 Error: need MAIL command");
  if (recipients_.empty()) return replyError("503 5.5.1 Error: need RCPT command");
  Delivery delivery(context_.store);
  std::string error;
  if (!delivery.begin(recipients_, error)) {
    context_.log("smtp " + peer_ + ": " + error);
    resetTransaction();
    return reply("451 4.3.0 Error: local delivery failed");
  }
  if (!reply("354 End data with <CR><LF>.<CR><LF>")) return false;
  std::string trace = traceHeaders();
  bool writeFailed = !delivery.write(trace.data(), trace.size());
  bool tooBig = false;
  uint64_t size = 0;
  if (!receiveData(delivery, tooBig, writeFailed, size)) {
    context_.log("smtp " + peer_ + ": connection ended during DATA, message dropped");
    return false;
  }
  std::string recipients;
  for (const std::string& user : recipients_) recipients += " " + user;
  resetTransaction();
  if (tooBig) {
    context_.log("smtp " + peer_ + ": message of " + std::to_string(size) + " bytes refused as too big");
    return reply("552 5.3.4 Error: message file too big");
  }
  if (writeFailed || !delivery.commit(error)) {
    context_.log("smtp " + peer_ + ": " + (error.empty() ? "cannot write the message" : error));
    return reply("451 4.3.0 Error: local delivery failed");
  }
  context_.log("smtp " + peer_ + ": stored " + delivery.name() + " (" + std::to_string(size) + " bytes) for" +
               recipients);
  return reply("250 2.0.0 Ok: queued as " + delivery.name());
}

}  // namespace maildrop
