// qelmail list, top, delete and raw.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "mailbox.h"
#include "qel32.h"
#include "session.h"

namespace qelmail {
namespace {

constexpr int32_t kTopRoom = 4 << 20;
constexpr int32_t kUidLineRoom = 96;  // "n uid" CR LF: ids are at most 70 characters
constexpr int32_t kUidStatusRoom = 256;
constexpr int32_t kReplyChars = 128;
const char* const kDefaultFrom = "qelmail <qelmail@localhost>";

bool hasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// Text stored by the library for TOP, without its status line, with LF
// line ends for the terminal.
std::string withoutStatusLine(const char* text, int32_t length) {
  std::string all(text, static_cast<size_t>(length));
  size_t start = 0;
  if (all.compare(0, 3, "+OK") == 0) {
    size_t end = all.find('\n');
    start = end == std::string::npos ? all.size() : end + 1;
  }
  std::string out;
  out.reserve(all.size() - start);
  for (size_t i = start; i < all.size(); ++i) {
    if (all[i] == '\r' && i + 1 < all.size() && all[i + 1] == '\n') continue;
    out += all[i];
  }
  return out;
}

}  // namespace

bool messageNumbers(const Options& options, int32_t count, std::vector<int32_t>* numbers) {
  if (!options.has("message")) {
    for (int32_t n = 1; n <= count; ++n) numbers->push_back(n);
    return true;
  }
  for (const std::string& text : options.all("message")) {
    long n = 0;
    if (!parseNumber(text, 1, INT32_MAX, &n)) return false;
    numbers->push_back(static_cast<int32_t>(n));
  }
  return true;
}

int32_t messageCount(int32_t* count) {
  int32_t rc = drive(qelGetEmailCount(kChannel));
  if (rc < 0) return rc;
  // STAT refused is not reported by the library: it leaves the count at 0.
  if (pop3Refused()) return QEL_ERR_POP3_ERROR;
  *count = qelStatistics(kChannel, QEL_STAT_MESSAGE_COUNT);
  return 0;
}

int32_t messageSize(int32_t number, int32_t* size) {
  int32_t rc = drive(qelGetEmailSize(kChannel, number));
  if (rc < 0) return rc;
  if (pop3Refused()) return QEL_ERR_POP3_ERROR;
  *size = qelStatistics(kChannel, QEL_STAT_MESSAGE_SIZE);
  return 0;
}

int32_t uniqueIds(int32_t count, std::map<int32_t, std::string>* ids) {
  std::vector<char> buffer(static_cast<size_t>(count) * kUidLineRoom + kUidStatusRoom);
  buffer[0] = '\0';
  int32_t rc = drive(qelGetEmailUID(kChannel, -1, buffer.data(), static_cast<int32_t>(buffer.size())));
  // UIDL is optional (RFC 1939): a server that refuses it gives no ids, and
  // the connection goes on.
  if (rc == QEL_ERR_POP3_ERROR) return 0;
  if (rc < 0) return rc;
  buffer.back() = '\0';
  if (std::strncmp(buffer.data(), "+OK", 3) != 0) return 0;
  const char* line = std::strchr(buffer.data(), '\n');
  while (line != nullptr && *++line != '\0') {
    const char* end = std::strchr(line, '\n');
    std::string text(line, end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    size_t space = text.find(' ');
    long number = 0;
    if (space != std::string::npos && parseNumber(text.substr(0, space), 1, INT32_MAX, &number)) {
      (*ids)[static_cast<int32_t>(number)] = text.substr(space + 1);
    }
    line = end;
  }
  return 0;
}

int cmdList(Options& options) {
  if (!options.positional().empty()) return usageError("list takes no argument '" + options.positional()[0] + "'");
  if (int rc = checkPop3Options(options); rc != kExitOk) return rc;
  if (int rc = applyCommon(options, QEL_PARAM_POP3_PORT); rc != kExitOk) return rc;
  int32_t rc = pop3Connect(options);
  if (rc < 0) return fail("logging in to " + serverLabel(options, true), rc, Step::login);
  int32_t count = 0;
  rc = messageCount(&count);
  if (rc < 0) return fail("counting the messages", rc);
  std::map<int32_t, std::string> ids;
  rc = uniqueIds(count, &ids);
  if (rc < 0) return fail("reading the unique ids", rc);
  std::printf("%d message%s\n", static_cast<int>(count), count == 1 ? "" : "s");
  for (int32_t n = 1; n <= count; ++n) {
    int32_t size = 0;
    rc = messageSize(n, &size);
    if (rc < 0) return fail("reading the size of message " + std::to_string(n), rc);
    std::printf("%d\t%d\t%s\n", static_cast<int>(n), static_cast<int>(size), ids[n].c_str());
  }
  drive(qelClose(kChannel));
  return kExitOk;
}

int cmdTop(Options& options) {
  long message = 0;
  long lines = 0;
  if (!options.number("message", 0, 1, INT32_MAX, &message) || !options.number("lines", 0, 0, INT32_MAX, &lines)) {
    return usageError(options.error());
  }
  if (message < 1) return usageError("top needs --message N");
  if (!options.positional().empty()) return usageError("top takes no argument '" + options.positional()[0] + "'");
  if (int rc = checkPop3Options(options); rc != kExitOk) return rc;
  if (int rc = applyCommon(options, QEL_PARAM_POP3_PORT); rc != kExitOk) return rc;
  int32_t rc = pop3Connect(options);
  if (rc < 0) return fail("logging in to " + serverLabel(options, true), rc, Step::login);
  std::vector<char> buffer(kTopRoom);
  rc = drive(qelGetEmailLines(kChannel, static_cast<int32_t>(message), static_cast<int32_t>(lines), buffer.data(),
                              kTopRoom));
  if (rc < 0) return fail("reading the top of message " + std::to_string(message), rc);
  int32_t stored = qelStatistics(kChannel, QEL_STAT_LINE_BYTES);
  if (stored < 0 || stored > kTopRoom) stored = 0;
  std::string text = withoutStatusLine(buffer.data(), stored);
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (stored == kTopRoom) std::fprintf(stderr, "qelmail: the text was cut at %d bytes\n", static_cast<int>(kTopRoom));
  drive(qelClose(kChannel));
  return kExitOk;
}

int cmdDelete(Options& options) {
  if (!options.has("message")) return usageError("delete needs --message N");
  if (!options.positional().empty()) return usageError("delete takes no argument '" + options.positional()[0] + "'");
  std::vector<int32_t> numbers;
  if (!messageNumbers(options, 0, &numbers)) return usageError("--message needs a number from 1");
  if (int rc = checkPop3Options(options); rc != kExitOk) return rc;
  if (int rc = applyCommon(options, QEL_PARAM_POP3_PORT); rc != kExitOk) return rc;
  int32_t rc = pop3Connect(options);
  if (rc < 0) return fail("logging in to " + serverLabel(options, true), rc, Step::login);
  for (int32_t n : numbers) {
    rc = drive(qelDeleteEmail(kChannel, n));
    // The library does not report a refused DELE; the reply code does.
    if (rc == 0 && pop3Refused()) rc = QEL_ERR_POP3_ERROR;
    if (rc < 0) {
      // Without QUIT the server deletes nothing: all or none.
      qelAbort(kChannel);
      int status = fail("deleting message " + std::to_string(n), rc);
      failPlain("nothing was deleted");
      return status;
    }
  }
  // The server deletes the marked messages when it has QUIT.
  rc = drive(qelClose(kChannel));
  if (rc < 0) return fail("QUIT, which makes the deletions take effect,", rc);
  for (int32_t n : numbers) std::printf("deleted\t%d\n", static_cast<int>(n));
  return kExitOk;
}

int cmdRaw(Options& options) {
  if (options.positional().size() != 1) return usageError("raw needs exactly one command");
  const std::string& command = options.positional()[0];
  if (command.empty() || command.size() > kRawCommandCap || hasLineBreak(command)) {
    return usageError("the command must be one line of 1 to " + std::to_string(kRawCommandCap) + " characters");
  }
  bool pop3 = options.has("pop3");
  int32_t rc;
  if (pop3) {
    if (int check = checkPop3Options(options); check != kExitOk) return check;
    if (int check = applyCommon(options, QEL_PARAM_POP3_PORT); check != kExitOk) return check;
    rc = pop3Connect(options);
  } else {
    if (options.has("apop")) return usageError("--apop is for --pop3");
    bracketAddressOptions(options);
    if (!withinCap(options, "from", kAddressCap)) return usageError(options.error());
    if (int check = applyCommon(options, QEL_PARAM_SMTP_PORT); check != kExitOk) return check;
    if (int check = applyLogin(options); check != kExitOk) return check;
    std::string server = serverName(options);
    std::string from = options.get("from", kDefaultFrom);
    rc = drive(qelSmtpConnect(kChannel, server.c_str(), from.c_str(), nullptr));
  }
  if (rc < 0) return fail("connecting to " + serverLabel(options, pop3), rc, pop3 ? Step::login : Step::connect);
  if (!pop3) {
    if (int check = checkLoggedIn(options); check != kExitOk) return check;
  }
  rc = drive(qelCommand(kChannel, command.c_str()));
  if (rc < 0) return fail(command, rc);
  char reply[kReplyChars + 1];
  reply[0] = '\0';
  qelDebug(kChannel, QEL_DEBUG_LAST_REPLY, reply, kReplyChars);
  std::string text = reply;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::printf("%s\n", text.c_str());
  // QUIT makes a DELE take effect. After a POP3 answer of several lines,
  // of which only the status line was read, QUIT's reply is not the next
  // line: its result says nothing about the command and is not looked at.
  drive(qelClose(kChannel));
  return kExitOk;
}

}  // namespace qelmail
