// A fault at every step of a send and of a download. The steps come from the
// client's own lines in a complete run: for each exchange of that dialogue,
// the server plays the exchanges before it and then closes the connection,
// or stops answering while keeping it open. Each time the operation that
// was under way fails with its documented code within the short time-outs
// set here, leaves no descriptor open and no file counted as saved, and the
// channel then sends or downloads again as if nothing had happened; at the
// end no tracked block of the channel is left allocated.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "frame/channel.h"
#include "frame/memory.h"
#include "frame/settings.h"
#include "mime/decoder_state.h"
#include "qel32.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr int32_t kShortTimeoutMs = 600;
// Far below the 25 s defaults, far above the short time-outs plus the
// pauses of closing a socket.
constexpr int64_t kFailWithinMs = 5000;
// The complete sessions between the faults are not about time-outs: on a
// busy machine they get room.
constexpr int32_t kCompleteRunTimeoutMs = 10000;
constexpr int kServerWaitMs = 5000;

using Exchange = std::vector<Step>;

int openDescriptorCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count - 1;  // the directory stream itself
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// How the server fails: an orderly close (it reads what is still coming,
// then closes), a reset, silence with the connection kept open, or a flood:
// one line without end, for kFloodMs, then the close.
enum class Fault { close, reset, stall, flood };
constexpr int kFloodMs = 1500;

// The session a case cuts: a send or a download.
enum class Session { send, download };
using FaultCase = std::tuple<Session, Fault>;

std::string caseName(const ::testing::TestParamInfo<FaultCase>& info) {
  Fault fault = std::get<1>(info.param);
  static const char* const names[] = {"Close", "Reset", "Stall", "Flood"};
  return std::string(std::get<0>(info.param) == Session::send ? "Send" : "Download") +
         names[static_cast<int>(fault)];
}

Step faultStep(Fault fault) {
  if (fault == Fault::flood) return SendEndless("", std::string(1 << 16, 'x'), kFloodMs);
  return fault == Fault::close ? Close() : fault == Fault::reset ? Reset() : Silent();
}

// Where a send's MAIL FROM, first message line and final "." stand among
// the exchanges; a download has none of them.
constexpr size_t kNowhere = static_cast<size_t>(-1);
struct Landmarks {
  size_t mailFrom = kNowhere;
  size_t dataStart = kNowhere;
  size_t dataEnd = 0;
  size_t firstMessageLine = kNowhere;  // of a download
};

// The documented results of a fault after `played` exchanges (0: the session
// may still succeed). An awaited reply meets the end of the connection
// (-1); a message line, or any command after a reset, meets a failed send
// (-52); a reset that comes while the connection is still being made shows
// as an error condition (-36), one that comes between connect and send fails
// the send's check (-44). A server that hangs up instead of answering QUIT
// has done what QUIT asks.
std::set<int32_t> faultResults(Fault fault, size_t played, const Landmarks& marks, size_t quit) {
  if (fault == Fault::stall) return {QEL_ERR_TIMED_OUT};
  // A reply that never ends fails at the reply time-out; message data is
  // no reply: it is taken until the connection ends.
  if (fault == Fault::flood) {
    return played < marks.firstMessageLine || played == quit ? std::set<int32_t>{QEL_ERR_TIMED_OUT}
                                                             : std::set<int32_t>{QEL_ERR_SOCKET_CLOSED};
  }
  if (played == quit) return fault == Fault::reset ? std::set<int32_t>{0, QEL_ERR_SOCKET_WRITE} : std::set<int32_t>{0};
  std::set<int32_t> codes{QEL_ERR_SOCKET_CLOSED};
  if (fault == Fault::reset || (played >= marks.dataStart && played <= marks.dataEnd)) codes.insert(QEL_ERR_SOCKET_WRITE);
  if (fault == Fault::reset && played <= 1) codes.insert(QEL_ERR_CONNECT_FAILED);
  if (fault == Fault::reset && played == marks.mailFrom) codes.insert(QEL_ERR_NOT_CONNECTED);
  return codes;
}

struct Outcome {
  size_t failedOperation;  // index into the scenario's operations; size() when none failed
  int32_t code;
  int64_t elapsedMs;
};

// A scenario: the operations that make up a session and the dialogue of a
// complete run, as exchanges derived from what the client sent.
class FaultStates : public ::testing::TestWithParam<FaultCase> {
 protected:
  Attached lib{1};
  ChannelRecord* record = lib.record(0);
  TempDir dir;
  std::vector<std::function<int32_t(uint16_t)>> operations;

  void SetUp() override {
    settings.minimumWait = 1;
    settings.connectTimeout = 2000;
    setTimeouts(kShortTimeoutMs);
  }

  static void setTimeouts(int32_t ms) {
    settings.replyTimeout = ms;
    settings.lineTimeout = ms;
    settings.pop3ReadWait = ms;
  }

  // Runs the operations in order against a server until one of them fails.
  Outcome run(uint16_t port) {
    for (size_t i = 0; i < operations.size(); ++i) {
      auto start = std::chrono::steady_clock::now();
      int32_t rc = operations[i](port);
      auto elapsed = std::chrono::steady_clock::now() - start;
      if (rc != 0) {
        return {i, rc, std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()};
      }
    }
    return {operations.size(), 0, 0};
  }

  // A complete session against script: every operation succeeds. Returns
  // what the client sent.
  std::string expectCompleteSession(const std::vector<Step>& script) {
    ScriptServer server(script);
    setTimeouts(kCompleteRunTimeoutMs);
    Outcome outcome = run(server.port());
    setTimeouts(kShortTimeoutMs);
    EXPECT_EQ(outcome.failedOperation, operations.size()) << "code " << outcome.code;
    EXPECT_TRUE(server.finished(kServerWaitMs));
    EXPECT_EQ(server.mismatches(), "");
    return server.received();
  }

  // The same against the full dialogue.
  void expectCompleteRun(const std::vector<Exchange>& exchanges) {
    std::vector<Step> script;
    for (const Exchange& exchange : exchanges) script.insert(script.end(), exchange.begin(), exchange.end());
    script.push_back(ExpectClose());
    expectCompleteSession(script);
  }

  // Cuts the dialogue after each exchange in turn. results gives the
  // documented results for a fault after `played` exchanges (0: the session
  // may still succeed); attachmentEnd is the number of exchanges after
  // which the attachment is complete.
  void faultAtEveryStep(const std::vector<Exchange>& exchanges, Fault fault,
                        const std::function<std::set<int32_t>(size_t played)>& results, size_t attachmentEnd) {
    for (size_t played = 0; played < exchanges.size(); ++played) {
      SCOPED_TRACE("fault after exchange " + std::to_string(played));
      int descriptors = openDescriptorCount();
      {
        std::vector<Step> script;
        for (size_t i = 0; i < played; ++i) script.insert(script.end(), exchanges[i].begin(), exchanges[i].end());
        script.push_back(faultStep(fault));
        ScriptServer server(script);
        Outcome outcome = run(server.port());
        std::set<int32_t> expected = results(played);
        if (outcome.failedOperation == operations.size()) {
          EXPECT_EQ(expected.count(0), 1u) << "a cut dialogue was reported as a success";
        } else {
          EXPECT_EQ(expected.count(outcome.code), 1u) << "code " << outcome.code;
          EXPECT_LT(outcome.elapsedMs, kFailWithinMs);
        }
        EXPECT_FALSE(socketIsOpen(record->connection));
        EXPECT_EQ(record->fileHandle, 0);
        EXPECT_EQ(decoderView(record).mailFile, 0);
        EXPECT_EQ(decoderView(record).fileHandle, 0);
        if (played < attachmentEnd) {
          EXPECT_EQ(qelStatistics(0, QEL_STAT_SAVED_COUNT), 0);
        }
      }
      EXPECT_EQ(openDescriptorCount(), descriptors);
      expectCompleteRun(exchanges);
    }
    for (int32_t slot = kSlotTo; slot <= kSlotLines; ++slot) EXPECT_EQ(blockIsAllocated(slot), 0) << slot;
    EXPECT_EQ(memorySweep("fault states"), 0);
  }
};

// ---------------------------------------------------------------------------
// The sessions: a send with AUTH LOGIN, a body file and an attachment; a
// download of a message with a text part, a quoted-printable part and an
// attachment, after a USER/PASS login.

constexpr char kUserBase64[] = "dGlt";        // "tim"
constexpr char kPasswordBase64[] = "c2VjcmV0";  // "secret"

const char* const kMessageLines[] = {
    "From: Ann <ann@example.org>",
    "Subject: a message",
    " folded onto a second line",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"XX\"",
    "",
    "--XX",
    "Content-Type: text/plain",
    "",
    "The text.",
    "--XX",
    "Content-Type: text/plain",
    "Content-Transfer-Encoding: quoted-printable",
    "",
    "caf=C3=A9 =",
    "soft break",
    "--XX",
    "Content-Type: application/octet-stream; name=\"data.bin\"",
    "Content-Transfer-Encoding: base64",
    "Content-Disposition: attachment; filename=\"data.bin\"",
    "",
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4",
    "OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3Bx",
    "--XX--",
    ".",
};
constexpr size_t kAttachmentClosingLine = 23;  // index of "--XX--"

// Exchanges of a download up to the end of the attachment.
constexpr size_t kAttachmentEnd = 4 + kAttachmentClosingLine + 1;

class SessionFaults : public FaultStates {
 protected:
  std::string body = dir.file("body.txt");
  std::string attachment = dir.file("data.bin");
  Landmarks marks;
  size_t attachmentEnd = 0;  // exchanges after which an attachment is saved; 0: nothing is saved

  // The server's answer to each command line of the sending client;
  // message lines get none.
  static std::string replyTo(const std::string& line) {
    static const std::vector<std::pair<std::string, std::string>> replies = {
        {"EHLO example.org", "250-mail.test\r\n250 AUTH LOGIN\r\n"},
        {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
        {kUserBase64, "334 UGFzc3dvcmQ6\r\n"},
        {kPasswordBase64, "235 ok\r\n"},
        {"MAIL FROM:<ann@example.org>", "250 ok\r\n"},
        {"RCPT TO:<bob@example.net>", "250 ok\r\n"},
        {"DATA", "354 go ahead\r\n"},
        {".", "250 queued\r\n"},
        {"QUIT", "221 bye\r\n"},
    };
    for (const auto& [command, reply] : replies) {
      if (line == command) return reply;
    }
    return "";
  }

  // The send's operations, and the dialogue of one complete session: the
  // greeting, then one exchange per line the client sent.
  std::vector<Exchange> sendSession() {
    writeFile(body, "First line of the body.\r\nSecond line.\r\n");
    std::string bytes;
    for (int i = 0; i < 200; ++i) bytes += static_cast<char>(i * 7);
    writeFile(attachment, bytes);
    qelIntegerParam(0, QEL_PARAM_USE_ESMTP, 1);
    qelStringParam(0, QEL_STRING_USER, "tim");
    qelStringParam(0, QEL_STRING_PASSWORD, "secret");
    std::string message = "@" + body;
    operations = {
        [](uint16_t port) {
          qelIntegerParam(0, QEL_PARAM_SMTP_PORT, port);
          return qelSmtpConnect(0, "127.0.0.1", "Ann <ann@example.org>", nullptr);
        },
        [this, message](uint16_t) {
          return qelSendEmail(0, "Bob <bob@example.net>", nullptr, nullptr, "faults", message.c_str(),
                              attachment.c_str());
        },
        [](uint16_t) { return qelClose(0); },
    };
    std::vector<Exchange> all{{Send("220 mail.test ESMTP\r\n")}};
    std::vector<Step> script = all[0];
    for (const char* command : {"EHLO example.org", "AUTH LOGIN", kUserBase64, kPasswordBase64,
                                "MAIL FROM:<ann@example.org>", "RCPT TO:<bob@example.net>", "DATA"}) {
      script.push_back(ExpectLine(command));
      script.push_back(Send(replyTo(command)));
    }
    script.insert(script.end(), {ExpectUntil("\r\n.\r\n"), Send("250 queued\r\n"), ExpectLine("QUIT"),
                                 Send("221 bye\r\n"), ExpectClose()});
    bool inMessage = false;
    for (const std::string& line : linesOf(expectCompleteSession(script))) {
      // The date line changes from run to run.
      Exchange exchange{line.rfind("Date: ", 0) == 0 && inMessage ? ExpectPrefix("Date: ") : ExpectLine(line)};
      std::string reply = inMessage && line != "." ? "" : replyTo(line);
      if (!reply.empty()) exchange.push_back(Send(reply));
      if (line == "DATA") inMessage = true;
      if (line == ".") inMessage = false;
      marks.mailFrom = line.rfind("MAIL FROM:", 0) == 0 ? all.size() : marks.mailFrom;
      marks.dataStart = line == "DATA" ? all.size() + 1 : marks.dataStart;
      marks.dataEnd = line == "." ? all.size() : marks.dataEnd;
      all.push_back(exchange);
    }
    return all;
  }

  // The download's operations and dialogue.
  std::vector<Exchange> downloadSession() {
    operations = {
        [](uint16_t port) {
          qelIntegerParam(0, QEL_PARAM_POP3_PORT, port);
          return qelPop3Connect(0, "127.0.0.1", "u", "p");
        },
        [this](uint16_t) { return qelGetEmailFile(0, 1, "m.eml", dir.path().c_str(), dir.path().c_str()); },
        [](uint16_t) { return qelClose(0); },
    };
    attachmentEnd = kAttachmentEnd;
    marks.firstMessageLine = 4;
    std::vector<Exchange> all{{Send("+OK ready\r\n")},
                              {ExpectLine("USER u"), Send("+OK\r\n")},
                              {ExpectLine("PASS p"), Send("+OK logged in\r\n")},
                              {ExpectLine("RETR 1"), Send("+OK message follows\r\n")}};
    for (const char* line : kMessageLines) all.push_back({Send(std::string(line) + "\r\n")});
    all.push_back({ExpectLine("QUIT"), Send("+OK bye\r\n")});
    expectCompleteRun(all);
    return all;
  }
};

TEST_P(SessionFaults, FaultAtEveryStep) {
  auto [session, fault] = GetParam();
  std::vector<Exchange> all = session == Session::send ? sendSession() : downloadSession();
  ASSERT_GT(all.size(), 20u);
  faultAtEveryStep(
      all, fault, [&](size_t played) { return faultResults(fault, played, marks, all.size() - 1); }, attachmentEnd);
}

INSTANTIATE_TEST_SUITE_P(Faults, SessionFaults,
                         ::testing::Combine(::testing::Values(Session::send, Session::download),
                                            ::testing::Values(Fault::close, Fault::reset, Fault::stall)),
                         caseName);
INSTANTIATE_TEST_SUITE_P(Floods, SessionFaults,
                         ::testing::Combine(::testing::Values(Session::download), ::testing::Values(Fault::flood)),
                         caseName);

}  // namespace
