// AUTH PLAIN (RFC 4616), LOGIN and CRAM-MD5 (RFC 2195) for SMTP (RFC 4954).
#include <algorithm>

#include "sasl.h"
#include "smtp_address.h"
#include "smtp_session.h"

namespace maildrop {
namespace {

constexpr size_t kMaxSaslLineChars = 12288;
constexpr int kMaxAuthFailures = 3;
// The prompts of AUTH LOGIN: "Username:" and "Password:" in base64.
const char kUserPrompt[] = "VXNlcm5hbWU6";
const char kPasswordPrompt[] = "UGFzc3dvcmQ6";

}  // namespace

// Sends a 334 challenge and reads the client's base64 answer. Refused: the
// client cancelled with "*" or sent something that isn't base64, and the
// 501 has gone out. Ended: the connection is over.
SmtpSession::SaslStep SmtpSession::readSaslResponse(const std::string& challenge, std::string& decoded) {
  if (!reply("334 " + challenge)) return SaslStep::Ended;
  std::string line;
  IoStatus status = connection_.readLine(line, kMaxSaslLineChars);
  if (status == IoStatus::TooLong)
    return replyError("500 5.5.6 Error: authentication line too long") ? SaslStep::Refused : SaslStep::Ended;
  if (status != IoStatus::Ok) {
    endOnStatus(status);
    return SaslStep::Ended;
  }
  if (line == "*") return replyError("501 5.7.0 Authentication aborted") ? SaslStep::Refused : SaslStep::Ended;
  if (!base64Decode(line, decoded))
    return replyError("501 5.5.2 Error: cannot decode response") ? SaslStep::Refused : SaslStep::Ended;
  return SaslStep::Ok;
}

// PLAIN: one message "authorization-id NUL user NUL password".
SmtpSession::SaslStep SmtpSession::authPlain(const std::string& initial, std::string& user, std::string& password) {
  std::string message;
  if (initial.empty()) {
    SaslStep step = readSaslResponse("", message);
    if (step != SaslStep::Ok) return step;
  } else if (initial != "=" && !base64Decode(initial, message)) {
    return replyError("501 5.5.2 Error: cannot decode response") ? SaslStep::Refused : SaslStep::Ended;
  }
  size_t first = message.find('\0');
  size_t second = first == std::string::npos ? first : message.find('\0', first + 1);
  if (second == std::string::npos)
    return replyError("501 5.5.2 Error: malformed PLAIN response") ? SaslStep::Refused : SaslStep::Ended;
  std::string authorizationId = message.substr(0, first);
  user = message.substr(first + 1, second - first - 1);
  password = message.substr(second + 1);
  // Acting for another user is not offered: the identity must be the user's own.
  if (!authorizationId.empty() && authorizationId != user) user.clear();
  return SaslStep::Ok;
}

// LOGIN: the user name (perhaps as the initial response), then the password.
SmtpSession::SaslStep SmtpSession::authLogin(const std::string& initial, std::string& user, std::string& password) {
  SaslStep step = SaslStep::Ok;
  if (initial.empty()) {
    step = readSaslResponse(kUserPrompt, user);
  } else if (initial != "=" && !base64Decode(initial, user)) {
    return replyError("501 5.5.2 Error: cannot decode response") ? SaslStep::Refused : SaslStep::Ended;
  }
  if (step != SaslStep::Ok) return step;
  return readSaslResponse(kPasswordPrompt, password);
}

// CRAM-MD5: the client answers a fresh challenge with its name and the
// HMAC-MD5 of the challenge under its password.
SmtpSession::SaslStep SmtpSession::authCramMd5(std::string& user, bool& verified) {
  std::string challenge = makeChallenge(context_.options.hostName);
  std::string answer;
  SaslStep step = readSaslResponse(base64Encode(challenge), answer);
  if (step != SaslStep::Ok) return step;
  size_t space = answer.rfind(' ');
  if (space == std::string::npos) {
    verified = false;
    return SaslStep::Ok;
  }
  user = answer.substr(0, space);
  auto entry = context_.options.users.find(user);
  verified = entry != context_.options.users.end() &&
             sameDigest(cramDigest(challenge, entry->second), answer.substr(space + 1));
  return SaslStep::Ok;
}

bool SmtpSession::finishAuth(const std::string& mechanism, const std::string& user, bool verified) {
  if (verified) {
    authUser_ = user;
    context_.log("smtp " + peer_ + ": AUTH " + mechanism + " as " + user);
    return reply("235 2.7.0 Authentication successful");
  }
  if (!replyError("535 5.7.8 Error: authentication failed")) return false;
  if (++authFailures_ < kMaxAuthFailures) return true;
  reply("421 4.7.0 " + context_.options.hostName + " Error: too many failed logins");
  context_.log("smtp " + peer_ + ": too many failed logins, disconnected");
  return false;
}

bool SmtpSession::onAuth(const std::string& argument) {
  const Options& options = context_.options;
  if (options.users.empty() || options.mechanisms.empty())
    return replyError("503 5.5.1 Error: authentication not enabled");
  if (!greeted_) return replyError("503 5.5.1 Error: send HELO/EHLO first");
  if (!authUser_.empty()) return replyError("503 5.5.1 Error: already authenticated");
  if (inTransaction_) return replyError("503 5.5.1 Error: MAIL transaction in progress");
  size_t space = argument.find(' ');
  std::string mechanism = upperCase(argument.substr(0, space));
  std::string initial = space == std::string::npos ? std::string() : argument.substr(space + 1);
  if (mechanism.empty()) return replyError("501 5.5.4 Syntax: AUTH mechanism");
  if (std::find(options.mechanisms.begin(), options.mechanisms.end(), mechanism) == options.mechanisms.end())
    return replyError("504 5.5.4 Unrecognized authentication type");

  std::string user;
  std::string password;
  bool verified = false;
  SaslStep step = SaslStep::Ok;
  if (mechanism == "CRAM-MD5") {
    // The exchange starts with the server's challenge: nothing may come first.
    if (!initial.empty()) return replyError("501 5.7.0 Error: CRAM-MD5 takes no initial response");
    step = authCramMd5(user, verified);
  } else {
    step = mechanism == "PLAIN" ? authPlain(initial, user, password) : authLogin(initial, user, password);
    auto entry = options.users.find(user);
    verified = step == SaslStep::Ok && entry != options.users.end() && entry->second == password;
  }
  if (step == SaslStep::Ended) return false;
  if (step == SaslStep::Refused) return true;
  return finishAuth(mechanism, user, verified);
}

}  // namespace maildrop
