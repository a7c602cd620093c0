// qelmail send and verify: one message, or VRFY names, over SMTP.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "login.h"
#include "qel32.h"
#include "session.h"

namespace qelmail {

const std::vector<OptionSpec> kSmtpLoginOptions = {
    {"user", true, false,
     "Logs in with this user name: EHLO, then AUTH with the strongest mechanism both sides have (see --auth)."},
    {"password", true, false, "The password for --user (see also --password-file, QELMAIL_PASSWORD and ~/.netrc)."},
    {"password-file", true, false, "Reads the password for --user from the first line of this file."},
    negotiationOptions()[0],
    negotiationOptions()[1],
    negotiationOptions()[2],
    {"helo", true, false, "The name given with EHLO (default: the domain of the sender's address)."},
};

namespace {

constexpr char kListSeparator = ',';   // between the recipients of a list
constexpr char kNameSeparator = '|';   // between a path and its shown name
constexpr int64_t kBase64LineBytes = 57;
constexpr int64_t kBase64LineChars = 78;  // 76 characters and CR LF
constexpr size_t kCopyChunk = 65536;
const char* const kDefaultFrom = "qelmail <qelmail@localhost>";
const char* const kDefaultCharset = "utf-8";
const char* const kNoCharset = "none";

std::string temporaryDirectory() {
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    const char* dir = std::getenv(name);
    if (dir != nullptr && dir[0] != '\0') return dir;
  }
  return "/tmp";
}

// A file of our own that goes away with the command: the body when it
// comes from stdin or from a --text that the library would take for a
// file name.
class TempFile {
 public:
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  // Creates the file and writes `text`, or copies stdin when `fromStdin`.
  bool create(const std::string& text, bool fromStdin) {
    std::string pattern = temporaryDirectory() + "/qelmail-body-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    path_ = name.data();
    bool ok = true;
    if (fromStdin) {
      std::vector<char> chunk(kCopyChunk);
      ssize_t n;
      while (ok && (n = ::read(STDIN_FILENO, chunk.data(), chunk.size())) > 0) ok = writeAll(fd, chunk.data(), n);
      if (n < 0) ok = false;
    } else {
      ok = writeAll(fd, text.data(), static_cast<ssize_t>(text.size()));
    }
    return ::close(fd) == 0 && ok;
  }
  const std::string& path() const { return path_; }

 private:
  static bool writeAll(int fd, const char* data, ssize_t n) {
    while (n > 0) {
      ssize_t written = ::write(fd, data, static_cast<size_t>(n));
      if (written <= 0) return false;
      data += written;
      n -= written;
    }
    return true;
  }
  std::string path_;
};

bool hasControl(const std::string& text) {
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') return true;
  }
  return false;
}

// Size of a readable regular file, or -1.
int64_t readableSize(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  struct stat info {};
  bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  return regular ? static_cast<int64_t>(info.st_size) : -1;
}

std::string joinList(const std::vector<std::string>& items, char separator) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += separator;
    joined += item;
  }
  return joined;
}

// The content-type line of --content-type: a bare type gets the field
// name in front of it.
std::string contentTypeLine(const std::string& value) {
  const std::string field = "Content-Type:";
  bool named = value.size() >= field.size();
  for (size_t i = 0; named && i < field.size(); ++i) {
    named = std::tolower(static_cast<unsigned char>(value[i])) == std::tolower(static_cast<unsigned char>(field[i]));
  }
  return named ? value : field + " " + value;
}

// --charset: utf-8 unless the user names another, or "none" for texts
// sent as given. Returns kExitOk or a usage error.
int applyCharset(Options& options) {
  std::string charset = options.get("charset", kDefaultCharset);
  if (charset == kNoCharset) return kExitOk;
  if (qelStringParam(kChannel, QEL_STRING_CHARSET, charset.c_str()) <= 0) {
    return usageError("unusable --charset '" + charset + "'");
  }
  qelIntegerParam(kChannel, QEL_PARAM_EXTENSIONS, 1);
  return kExitOk;
}

int32_t bodyTypeFrom(const std::string& name) {
  if (name == "plain") return QEL_BODY_PLAIN;
  if (name == "text") return QEL_BODY_TEXT;
  if (name == "html") return QEL_BODY_HTML;
  if (name == "enriched") return QEL_BODY_ENRICHED;
  if (name == "iso8859") return QEL_BODY_ISO8859;
  if (name == "custom") return QEL_BODY_CUSTOM;
  return -1;
}

}  // namespace

// --user and --password: EHLO and AUTH. Returns kExitOk or a usage error.
int applyLogin(Options& options) {
  if (options.has("helo") && qelStringParam(kChannel, QEL_STRING_HELLO_NAME, options.get("helo").c_str()) < 0) {
    return usageError("unusable --helo name '" + options.get("helo") + "': one word of printable ASCII, at most 255 "
                      "characters");
  }
  // Always EHLO, so that the message goes with SIZE, 8BITMIME and SMTPUTF8
  // where the server offers them. The negotiated login is on so that no
  // login starts without a user name.
  qelIntegerParam(kChannel, QEL_PARAM_USE_ESMTP, 1);
  qelIntegerParam(kChannel, QEL_PARAM_NEGOTIATE_LOGIN, 1);
  // MAIL FROM, RCPT TO and DATA in one round trip where the server offers it.
  qelIntegerParam(kChannel, QEL_PARAM_PIPELINING, 1);
  if (!options.has("user")) {
    if (options.has("password") || options.has("password-file")) return usageError("a password goes with --user");
    if (wantsToken(options)) return usageError("a token goes with --user");
    return kExitOk;
  }
  if (options.has("password") && options.has("password-file")) {
    return usageError("give --password or --password-file, not both");
  }
  if (!withinCap(options, "user", kLoginCap)) return usageError(options.error());
  if (!wantsToken(options)) {
    if (int rc = resolvePassword(options); rc != kExitOk) return rc;
  }
  qelIntegerParam(kChannel, QEL_PARAM_USE_ESMTP, 1);
  qelStringParam(kChannel, QEL_STRING_USER, options.get("user").c_str());
  qelStringParam(kChannel, QEL_STRING_PASSWORD, options.get("password").c_str());
  return applyNegotiation(options, false);
}

// With --user, the connection must have ended in AUTH's 235. The
// negotiated login fails the connect itself when no mechanism fits (-120);
// this stays as the guard that nothing goes out in the user's name
// without a login.
int checkLoggedIn(Options& options) {
  constexpr int32_t kAuthSucceeded = 235;
  if (!options.has("user") || qelStatistics(kChannel, QEL_STAT_REPLY_CODE) == kAuthSucceeded) return kExitOk;
  qelAbort(kChannel);
  failPlain("logging in to " + serverLabel(options, false) +
            " failed: the server did not take a login");
  return kExitUnavailable;
}

namespace {

int32_t smtpConnect(Options& options, const std::string& from) {
  std::string server = serverName(options);
  std::string replyTo = options.get("reply-to");
  return drive(qelSmtpConnect(kChannel, server.c_str(), from.c_str(), replyTo.c_str()));
}

// The items of a recipient list, cut at the separators that stand outside
// quoted strings and angle brackets, as the library cuts it:
// '"Doe, Bob" <bob@example.test>' is one item.
std::vector<std::string> listItems(const std::string& list) {
  std::vector<std::string> items(1);
  bool quoted = false;
  bool bracketed = false;
  for (size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (!quoted && !bracketed && c == kListSeparator) {
      items.emplace_back();
      continue;
    }
    items.back() += c;
    if (quoted && c == '\\' && i + 1 < list.size()) {
      items.back() += list[++i];
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == '<' || c == '>')) {
      bracketed = c == '<';
    }
  }
  return items;
}

// "user@host" as the library takes it: "<user@host>". Each item of a
// comma-separated list that holds an "@" and no "<" is put in brackets;
// the others stay as they are.
std::string bracketBareAddresses(const std::string& list) {
  std::string result;
  for (const std::string& item : listItems(list)) {
    size_t first = item.find_first_not_of(" \t");
    size_t last = item.find_last_not_of(" \t");
    std::string bare = first == std::string::npos ? "" : item.substr(first, last - first + 1);
    bool bracket = bare.find('@') != std::string::npos && bare.find('<') == std::string::npos;
    result += (bracket ? "<" + bare + ">" : item) + kListSeparator;
  }
  result.pop_back();
  return result;
}

// Checks the texts that go into header lines; kExitOk or a usage error.
int checkSendTexts(Options& options) {
  for (const char* name : {"from", "to", "cc", "bcc", "subject", "reply-to", "header", "content-type"}) {
    for (const std::string& value : options.all(name)) {
      if (hasControl(value)) return usageError(std::string("--") + name + " may not hold a line break");
    }
  }
  // The library checks addresses too, but only once the connection stands.
  for (const char* name : {"from", "to", "cc", "bcc"}) {
    for (const std::string& value : options.all(name)) {
      int32_t rc = qelVerifyFormat(value.c_str());
      if (rc != 1) return usageError(std::string("--") + name + " '" + value + "': " + errorText(rc));
    }
  }
  if (!withinCap(options, "from", kAddressCap) || !withinCap(options, "reply-to", kAddressCap)) {
    return usageError(options.error());
  }
  if (contentTypeLine(options.get("content-type")).size() > kContentTypeCap) {
    return usageError("--content-type is longer than " + std::to_string(kContentTypeCap) + " characters");
  }
  for (const std::string& header : options.all("header")) {
    size_t colon = header.find(':');
    if (colon == std::string::npos || colon == 0 || header.find(' ') < colon) {
      return usageError("--header needs the form 'Name: value', not '" + header + "'");
    }
  }
  return kExitOk;
}

// The attachments: each readable, with a shown name fit for a header line.
// Adds their expected size on the wire to `total`.
int checkAttachments(const std::vector<std::string>& items, int64_t* total) {
  for (const std::string& item : items) {
    size_t bar = item.find(kNameSeparator);
    std::string path = item.substr(0, bar);
    if (path.empty() || item.find(kItemSeparator) != std::string::npos || hasControl(item) ||
        item.find('"') != std::string::npos) {
      return usageError("unusable --attach '" + item + "'");
    }
    int64_t size = readableSize(path);
    if (size < 0) return failPlain("cannot read the attachment " + path);
    *total += (size + kBase64LineBytes - 1) / kBase64LineBytes * kBase64LineChars;
  }
  return kExitOk;
}

}  // namespace

void bracketAddressOptions(Options& options) {
  for (const char* name : {"from", "to", "cc", "bcc", "reply-to"}) {
    if (!options.has(name)) continue;
    std::vector<std::string> values;
    for (const std::string& value : options.all(name)) values.push_back(bracketBareAddresses(value));
    options.setAll(name, values);
  }
}

int cmdSend(Options& options) {
  if (options.has("message")) return cmdSendMessage(options);
  if (!options.has("from")) return usageError("send needs --from");
  if (!options.has("to")) return usageError("send needs at least one --to");
  if (options.has("text") && options.has("body-file")) return usageError("give --text or --body-file, not both");
  if (!options.positional().empty()) return usageError("send takes no argument '" + options.positional()[0] + "'");
  bracketAddressOptions(options);
  if (int rc = checkSendTexts(options); rc != kExitOk) return rc;
  int32_t bodyType = QEL_BODY_PLAIN;
  if (options.has("body-type")) {
    bodyType = bodyTypeFrom(options.get("body-type"));
    if (bodyType < 0) return usageError("unknown --body-type " + options.get("body-type"));
  }
  if ((bodyType == QEL_BODY_CUSTOM) != options.has("content-type")) {
    return usageError("--content-type goes with --body-type custom, and only with it");
  }

  // The body: a text, or "@" and a file. A text that begins with "@" would
  // be taken for a file name, so it goes through a file of its own.
  TempFile tempBody;
  std::string message = options.get("text");
  int64_t total = static_cast<int64_t>(message.size());
  std::string bodyFile = options.get("body-file");
  if (bodyFile == "-" || (!message.empty() && message[0] == '@')) {
    if (!tempBody.create(message, bodyFile == "-")) return failPlain("cannot store the message text in a file");
    bodyFile = tempBody.path();
  }
  if (!bodyFile.empty()) {
    total = readableSize(bodyFile);
    if (total < 0) return failPlain("cannot read the body file " + bodyFile);
    message = "@" + bodyFile;
  }
  std::vector<std::string> attachments = options.all("attach");
  if (int rc = checkAttachments(attachments, &total); rc != kExitOk) return rc;

  if (int rc = applyCommon(options, QEL_PARAM_SMTP_PORT); rc != kExitOk) return rc;
  if (int rc = applyLogin(options); rc != kExitOk) return rc;
  if (int rc = applyCharset(options); rc != kExitOk) return rc;
  qelIntegerParam(kChannel, QEL_PARAM_BODY_TYPE, bodyType);
  // RFC 5322 dates and a Message-ID on every message.
  qelIntegerParam(kChannel, QEL_PARAM_STANDARD_HEADER, 1);
  if (options.has("content-type")) {
    qelStringParam(kChannel, QEL_STRING_CONTENT_TYPE, contentTypeLine(options.get("content-type")).c_str());
  }
  for (const std::string& header : options.all("header")) {
    qelStringParam(kChannel, QEL_STRING_ADD_HEADER, header.c_str());
  }
  qelIntegerParam(kChannel, QEL_PARAM_RECIPIENT_SEPARATOR, kListSeparator);
  qelIntegerParam(kChannel, QEL_PARAM_ATTACH_SEPARATOR, kItemSeparator);
  qelIntegerParam(kChannel, QEL_PARAM_NAME_SEPARATOR, kNameSeparator);

  int32_t rc = smtpConnect(options, options.get("from"));
  if (rc < 0) return fail("connecting to " + serverLabel(options, false), rc, Step::connect);
  if (int check = checkLoggedIn(options); check != kExitOk) return check;

  std::string to = joinList(options.all("to"), kListSeparator);
  std::string cc = joinList(options.all("cc"), kListSeparator);
  std::string bcc = joinList(options.all("bcc"), kListSeparator);
  std::string subject = options.get("subject");
  std::string attachList = joinList(attachments, kItemSeparator);
  Progress progress(showProgress(options), "sending", total);
  rc = drive(qelSendEmail(kChannel, to.c_str(), cc.c_str(), bcc.c_str(), subject.c_str(), message.c_str(),
                          attachList.c_str()),
             &progress, QEL_STAT_BYTES_SENT);
  if (rc < 0) return fail("sending", rc);
  auto sent = static_cast<uint32_t>(qelStatistics(kChannel, QEL_STAT_BYTES_SENT));
  // The server has taken the message; a failed QUIT changes nothing about it.
  rc = drive(qelClose(kChannel));
  if (rc < 0) std::fprintf(stderr, "qelmail: the message was accepted, but QUIT failed: %s\n", errorText(rc).c_str());
  std::printf("sent %u bytes of message text and attachments\n", sent);
  return kExitOk;
}

int cmdVerify(Options& options) {
  if (options.positional().empty()) return usageError("verify needs at least one name");
  for (const std::string& name : options.positional()) {
    if (name.empty() || name.find(kListSeparator) != std::string::npos || hasControl(name)) {
      return usageError("unusable name '" + name + "'");
    }
  }
  bracketAddressOptions(options);
  if (!withinCap(options, "from", kAddressCap)) return usageError(options.error());
  if (int rc = applyCommon(options, QEL_PARAM_SMTP_PORT); rc != kExitOk) return rc;
  if (int rc = applyLogin(options); rc != kExitOk) return rc;
  int32_t rc = smtpConnect(options, options.get("from", kDefaultFrom));
  if (rc < 0) return fail("connecting to " + serverLabel(options, false), rc, Step::connect);
  if (int check = checkLoggedIn(options); check != kExitOk) return check;
  int result = kExitOk;
  for (const std::string& name : options.positional()) {
    rc = drive(qelVerifyUser(kChannel, name.c_str()));
    if (rc < 0) return fail("verifying " + name, rc);
    constexpr int32_t kReplyChars = 128;
    char reply[kReplyChars + 1];
    reply[0] = '\0';
    qelDebug(kChannel, QEL_DEBUG_LAST_REPLY, reply, kReplyChars);
    std::string text = reply;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    int32_t code = qelStatistics(kChannel, QEL_STAT_REPLY_CODE);
    std::printf("%s\t%d\t%s\n", name.c_str(), static_cast<int>(code), text.c_str());
    // 250 and 251 verify the name, 252 takes mail for it without saying
    // more; anything else is a refusal.
    if (code < 200 || code > 299) result = kExitFailed;
  }
  drive(qelClose(kChannel));
  return result;
}

}  // namespace qelmail
