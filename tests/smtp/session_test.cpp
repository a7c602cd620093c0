// The SMTP session around the message: greeting, envelope, failures at each
// step, the recipient loop, refused line breaks in addresses, VRFY.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "qel32.h"
#include "smtp/smtp_session.h"
#include "smtp_session.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr char kTo[] = "Bob <bob@example.net>";

class Session : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);

  std::string errorText(int32_t code) {
    char text[300];
    qelErrorText(0, code, text, sizeof text);
    return text;
  }
};

TEST_F(Session, ErrorRepliesAtEachStepFailAndCloseTheConnection) {
  const std::vector<Step> mailOk{ExpectLine(kMailFrom), Send("250 ok\r\n")};
  const std::vector<Step> rcptOk{ExpectLine("RCPT TO:<bob@example.net>"), Send("250 ok\r\n")};
  const std::vector<Step> dataOk{ExpectLine("DATA"), Send("354 go\r\n")};
  const struct {
    const char* name;
    std::vector<Step> script;
    bool failsAtConnect;
    const char* reply;
  } cases[] = {
      {"greeting", {Send("554 no service\r\n"), ExpectClose()}, true, "554 no service\r\n"},
      {"HELO", {Send("220 hi\r\n"), ExpectLine(kHello), Send("501 bad domain\r\n"), ExpectClose()}, true,
       "501 bad domain\r\n"},
      {"MAIL", steps({greeting(), {ExpectLine(kMailFrom), Send("553 sender refused\r\n"), ExpectClose()}}), false,
       "553 sender refused\r\n"},
      // A temporary refusal is no acceptance either: the failure names it,
      // not whatever a later step would have met.
      {"MAIL answered 451", steps({greeting(), {ExpectLine(kMailFrom), Send("451 try later\r\n"), ExpectClose()}}),
       false, "451 try later\r\n"},
      {"greeting answered 421", {Send("421 too busy\r\n"), ExpectClose()}, true, "421 too busy\r\n"},
      {"HELO answered 421", {Send("220 hi\r\n"), ExpectLine(kHello), Send("421 closing\r\n"), ExpectClose()},
       true, "421 closing\r\n"},
      {"RCPT", steps({greeting(), mailOk, {ExpectLine("RCPT TO:<bob@example.net>"), Send("550 no such user\r\n"),
                                           ExpectClose()}}),
       false, "550 no such user\r\n"},
      {"DATA", steps({greeting(), mailOk, rcptOk, {ExpectLine("DATA"), Send("554 no valid recipients\r\n"),
                                                   ExpectClose()}}),
       false, "554 no valid recipients\r\n"},
      // Without the go-ahead the message would be read as commands.
      {"DATA answered 451", steps({greeting(), mailOk, rcptOk, {ExpectLine("DATA"), Send("451 later\r\n"),
                                                                ExpectClose()}}),
       false, "451 later\r\n"},
      {"final dot", steps({greeting(), mailOk, rcptOk, dataOk,
                           {ExpectUntil("\r\n.\r\n"), Send("552 too big\r\n"), ExpectClose()}}),
       false, "552 too big\r\n"},
      // A message the server did not take is no sent message.
      {"final dot answered 451", steps({greeting(), mailOk, rcptOk, dataOk,
                                        {ExpectUntil("\r\n.\r\n"), Send("451 try again\r\n"), ExpectClose()}}),
       false, "451 try again\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(c.script);
    int32_t rc = connectTo(server);
    if (!c.failsAtConnect) {
      ASSERT_EQ(rc, 0);
      rc = qelSendEmail(0, kTo, nullptr, nullptr, "s", "m", nullptr);
    }
    EXPECT_EQ(rc, QEL_ERR_SMTP_ERROR);
    EXPECT_EQ(errorText(rc), std::string("SMTP returned error. ") + c.reply);
    EXPECT_FALSE(socketIsOpen(record->connection));
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    // The connection is gone: a further send finds no server.
    EXPECT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, "s", "m", nullptr), QEL_ERR_NOT_CONNECTED);
  }
}

TEST_F(Session, ServerClosingDuringTheDataIsAFailure) {
  const struct {
    const char* name;
    std::vector<Step> afterData;
  } cases[] = {
      {"after the first header line", {ExpectPrefix("X-Mailer: "), Close()}},
      {"before answering the final dot", {ExpectUntil("\r\n.\r\n"), Close()}},
      {"in the middle of the answer", {ExpectUntil("\r\n.\r\n"), Send("250-almost"), Close()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(steps({greeting(),
                               {ExpectLine(kMailFrom), Send("250 ok\r\n"), ExpectLine("RCPT TO:<bob@example.net>"),
                                Send("250 ok\r\n"), ExpectLine("DATA"), Send("354 go\r\n")},
                               c.afterData}));
    ASSERT_EQ(connectTo(server), 0);
    std::string body;
    for (int i = 0; i < 2000; ++i) body += "A body line long enough to fill the socket buffers after a while.\n";
    EXPECT_LT(qelSendEmail(0, kTo, nullptr, nullptr, "s", body.c_str(), nullptr), 0);
    EXPECT_FALSE(socketIsOpen(record->connection));
    ASSERT_TRUE(server.finished(5000));
  }
}

TEST_F(Session, FourRecipientsInOrder) {
  ScriptServer server(steps({greeting(),
                             {ExpectLine(kMailFrom), Send("250 ok\r\n"), ExpectLine("RCPT TO:<a@x.test>"),
                              Send("250 ok\r\n"), ExpectLine("RCPT TO:<b@x.test>"), Send("251 will forward\r\n"),
                              ExpectLine("RCPT TO:<c@x.test>"), Send("250 ok\r\n"), ExpectLine("RCPT TO:<d@x.test>"),
                              Send("250 ok\r\n"), ExpectLine("DATA"), Send("354 go\r\n"), ExpectUntil("\r\n.\r\n"),
                              Send("250 queued\r\n")},
                             quit()}));
  ASSERT_EQ(connectTo(server), 0);
  // A quoted display name may hold the separator.
  EXPECT_EQ(qelSendEmail(0, "A <a@x.test>,\"Lee, B\" <b@x.test>", "\"C, \\\"c\\\"\" <c@x.test>", "D <d@x.test>", "s",
                         "m", nullptr),
            0);
  char last[40];
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LAST_RECIPIENT, last, 32), 10);
  EXPECT_STREQ(last, "<d@x.test>");
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  std::string message = messagePart(transcript(server));
  EXPECT_NE(message.find("\r\nTo: A <a@x.test>,\"Lee, B\" <b@x.test>\r\n"), std::string::npos);
  EXPECT_NE(message.find("\r\nCC: \"C, \\\"c\\\"\" <c@x.test>\r\n"), std::string::npos);
  EXPECT_EQ(message.find("d@x.test"), std::string::npos);
}

// A recipient refused for now (4xx) would silently miss the message: the
// send fails before DATA, with the server's words, and the last accepted
// recipient is the one before.
TEST_F(Session, TemporaryRecipientRefusalFailsBeforeData) {
  ScriptServer server(steps({greeting(),
                             {ExpectLine(kMailFrom), Send("250 ok\r\n"), ExpectLine("RCPT TO:<a@x.test>"),
                              Send("250 ok\r\n"), ExpectLine("RCPT TO:<b@x.test>"), Send("450 mailbox busy\r\n"),
                              ExpectClose()}}));
  ASSERT_EQ(connectTo(server), 0);
  EXPECT_EQ(qelSendEmail(0, "A <a@x.test>,B <b@x.test>", nullptr, nullptr, "s", "m", nullptr), QEL_ERR_SMTP_ERROR);
  char text[100];
  qelErrorText(0, QEL_ERR_SMTP_ERROR, text, sizeof text);
  EXPECT_STREQ(text, "SMTP returned error. 450 mailbox busy\r\n");
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LAST_RECIPIENT, text, 32), 10);
  EXPECT_STREQ(text, "<a@x.test>");
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

TEST_F(Session, BadRecipientItemsFailInTheLoop) {
  const struct {
    const char* name;
    const char* to;
    const char* cc;
    int32_t expected;
  } cases[] = {
      {"doubled separator", "<a@x.test>,,<b@x.test>", nullptr, QEL_ERR_EMPTY_ADDRESS},
      {"second item without <", "<a@x.test>,b@x.test", nullptr, QEL_ERR_EMPTY_ADDRESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(steps({greeting(),
                               {ExpectLine(kMailFrom), Send("250 ok\r\n"), ExpectLine("RCPT TO:<a@x.test>"),
                                Send("250 ok\r\n"), ExpectClose()}}));
    ASSERT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelSendEmail(0, c.to, c.cc, nullptr, "s", "m", nullptr), c.expected);
    EXPECT_FALSE(socketIsOpen(record->connection));
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
  }
}

// A caller's text with a line break would send commands of its own: it is
// refused before anything of the operation is sent, and the connection
// stays.
TEST_F(Session, LineBreaksInCallerTextsAreRefusedBeforeAnythingIsSent) {
  EXPECT_EQ(qelSmtpConnect(0, "127.0.0.1", "Ann <ann@example.org>\r\nRSET", nullptr), QEL_ERR_BAD_ADDRESS_CHAR);
  EXPECT_EQ(qelSmtpConnect(0, "127.0.0.1", "Ann\n <ann@example.org>", nullptr), QEL_ERR_BAD_ADDRESS_CHAR);
  const struct {
    const char* name;
    const char* from;  // set after the connect, when not null
    const char* to;
    const char* cc;
    const char* bcc;
    const char* verify;  // qelVerifyUser instead of a send, when not null
  } cases[] = {
      {"second To item", nullptr, "<a@x.test>,<b@x.test>\r\nRSET", nullptr, nullptr, nullptr},
      {"CC display name", nullptr, "<a@x.test>", "Cy\nQUIT <c@x.test>", nullptr, nullptr},
      {"BCC after the address", nullptr, "<a@x.test>", nullptr, "<d@x.test>\rDATA", nullptr},
      {"From changed after the connect", "<ann@example.org>\r\nRCPT TO:<victim@example.net>", kTo, nullptr,
       nullptr, nullptr},
      {"second VRFY name", nullptr, nullptr, nullptr, nullptr, "ann,bob\r\nRSET"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(steps({greeting(), quit()}));
    ASSERT_EQ(connectTo(server), 0);
    if (c.from != nullptr) qelStringParam(0, QEL_STRING_FROM, c.from);
    int32_t rc = c.verify != nullptr ? qelVerifyUser(0, c.verify)
                                     : qelSendEmail(0, c.to, c.cc, c.bcc, "s", "m", nullptr);
    EXPECT_EQ(rc, QEL_ERR_BAD_ADDRESS_CHAR);
    EXPECT_EQ(qelClose(0), 0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    EXPECT_EQ(server.received(), std::string(kHello) + "\r\nQUIT\r\n");
  }
}

TEST_F(Session, GreetingDomain) {
  const std::string longName(256, 'h');
  const struct {
    const char* from;
    const char* helloName;  // the greeting name set, or null
    int32_t setResult;
    const char* hello;
  } cases[] = {
      {"Postmaster <postmaster>", nullptr, 0, "HELO localhost"},
      {"Ann <ann@example.org> (work)", nullptr, 0, "HELO example.org"},
      {"\"a@b\" <ann@example.org>", nullptr, 0, "HELO b\" <ann@example.org"},
      // A greeting name of its own wins over the From address's domain.
      {"Ann <ann@example.org>", "host.example.net", 16, "HELO host.example.net"},
      {"Postmaster <postmaster>", "[192.0.2.1]", 11, "HELO [192.0.2.1]"},
      {"Ann <ann@example.org>", "", 0, "HELO example.org"},
      // Refused names leave the one set before (none) in place.
      {"Ann <ann@example.org>", "two words", QEL_ERR_BAD_HELLO_NAME, "HELO example.org"},
      {"Ann <ann@example.org>", "host\r\nQUIT", QEL_ERR_BAD_HELLO_NAME, "HELO example.org"},
      {"Ann <ann@example.org>", "h\xC3\xA9te", QEL_ERR_BAD_HELLO_NAME, "HELO example.org"},
      {"Ann <ann@example.org>", longName.c_str(), QEL_ERR_TEXT_TOO_LONG, "HELO example.org"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " / " + (c.helloName != nullptr ? c.helloName : "no name"));
    qelStringParam(0, QEL_STRING_HELLO_NAME, "");
    if (c.helloName != nullptr) {
      EXPECT_EQ(qelStringParam(0, QEL_STRING_HELLO_NAME, c.helloName), c.setResult);
    }
    ScriptServer server({Send("220 hi\r\n"), ExpectLine(c.hello), Send("250 ok\r\n"), ExpectClose()});
    EXPECT_EQ(connectTo(server, c.from), 0);
    qelAbort(0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
  }
}

TEST_F(Session, VerifyTakesTheLastAnswerOnly) {
  const struct {
    const char* firstReply;
    const char* secondReply;
    int32_t expected;
  } cases[] = {
      {"252 cannot verify\r\n", "250 <bob@example.net>\r\n", 1},
      {"250 <ann@example.org>\r\n", "252 cannot verify\r\n", 0},
      {"550 unknown\r\n", "250 <bob@example.net>\r\n", 1},
      // The rest of a refusal over several lines is not taken for the
      // answer to the second name.
      {"550-unknown\r\n550-still unknown\r\n550 really\r\n", "251 will forward\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firstReply);
    ScriptServer server(steps({greeting(),
                               {ExpectLine("VRFY ann"), Send(c.firstReply), ExpectLine("VRFY Bob Smith"),
                                Send(c.secondReply), ExpectLine("NOOP"), Send("250 ok\r\n")},
                               quit()}));
    ASSERT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelVerifyUser(0, "ann,Bob Smith"), c.expected);
    EXPECT_EQ(qelStatistics(0, QEL_STAT_VERIFY_RESULT), c.expected);
    EXPECT_EQ(qelCommand(0, "NOOP"), 0);
    EXPECT_EQ(qelClose(0), 0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
  }
}

// The rest of a refusal that never ends is left at the reply time-out, as
// one that stalls is.
TEST_F(Session, VerifyRefusalWithoutEndIsLeftAtTheReplyTimeout) {
  std::string lines;
  while (lines.size() < 65536) lines += "550-still unknown\r\n";
  ScriptServer server(steps({greeting(), {ExpectLine("VRFY ann"), SendEndless("550-unknown\r\n", lines, 6000)}}));
  ASSERT_EQ(connectTo(server), 0);
  settings.replyTimeout = 300;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qelVerifyUser(0, "ann"), QEL_ERR_TIMED_OUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  qelAbort(0);
}

// A pipelined envelope: MAIL, RCPT and DATA come before any reply (the
// server waits for DATA before it answers), the replies are taken in order,
// and a refusal anywhere sends no message: RSET, and the connection serves
// the next send; with a recipient taken and the go-ahead given all the
// same, the connection is closed. After an EHLO reply without PIPELINING,
// or with the setting off, a send goes one command at a time.
TEST_F(Session, PipelinedEnvelope) {
  const std::string offer = "250-mail.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n";
  const std::string group = std::string(kMailFrom) + "\r\nRCPT TO:<a@x.test>\r\nRCPT TO:<b@x.test>\r\nDATA\r\n";
  auto expectGroup = [] {
    return std::vector<Step>{ExpectLine(kMailFrom), ExpectLine("RCPT TO:<a@x.test>", 2000),
                             ExpectLine("RCPT TO:<b@x.test>", 2000), ExpectLine("DATA", 2000)};
  };
  const std::vector<Step> reset{ExpectLine("RSET"), Send("250 reset\r\n")};
  const std::vector<Step> message{ExpectUntil("\r\n.\r\n"), Send("250 queued\r\n")};
  // A further send on the same connection, pipelined, then QUIT.
  const std::vector<Step> again = steps({expectGroup(), {Send("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n")}, message, quit()});
  const std::string sentAgain = group + "{MESSAGE}.\r\nQUIT\r\n";
  const struct {
    const char* name;
    std::string ehloReply;
    int32_t pipelining;  // the setting; 2: on, and a ready-made message
    const char* to;
    std::vector<Step> script;  // after the EHLO reply
    int32_t result;
    const char* reply;         // the failure's reply
    bool staysOpen;
    std::string sent;          // after the EHLO line; {MESSAGE} is the message
    const char* lastRecipient;
  } cases[] = {
      {"all accepted", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("250 ok\r\n250 ok\r\n251 forward\r\n354 go\r\n")}, message, quit()}), 0, "", true,
       sentAgain, "<b@x.test>"},
      {"ready-made message, all accepted", offer, 2, "<a@x.test>,<b@x.test>", again, 0, "", true, sentAgain,
       "<b@x.test>"},
      {"second recipient refused, DATA refused", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("250 ok\r\n250 ok\r\n450 busy\r\n554 no valid recipients\r\n")}, reset, again}),
       QEL_ERR_SMTP_ERROR, "450 busy\r\n", true, group + "RSET\r\n" + sentAgain, "<a@x.test>"},
      {"second recipient refused over three lines, go-ahead given", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("250 ok\r\n250 ok\r\n550-no\r\n550-such\r\n550 user\r\n354 go\r\n"),
                              ExpectClose()}}),
       QEL_ERR_SMTP_ERROR, "550-no\r\n", false, group, "<a@x.test>"},
      {"all refused, DATA refused", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("250 ok\r\n550 no a\r\n550 no b\r\n554 no valid recipients\r\n")}, reset, again}),
       QEL_ERR_SMTP_ERROR, "550 no a\r\n", true, group + "RSET\r\n" + sentAgain, ""},
      {"all refused, go-ahead given", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("250 ok\r\n550 no a\r\n550 no b\r\n354 go\r\n"), ExpectLine("."),
                              Send("554 no recipients\r\n")},
              reset, again}),
       QEL_ERR_SMTP_ERROR, "550 no a\r\n", true, group + ".\r\nRSET\r\n" + sentAgain, ""},
      {"MAIL refused", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("553 sender refused\r\n503 need MAIL\r\n503 need MAIL\r\n503 need MAIL\r\n")},
              reset, again}),
       QEL_ERR_SMTP_ERROR, "553 sender refused\r\n", true, group + "RSET\r\n" + sentAgain, ""},
      {"DATA answered 451", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("250 ok\r\n250 ok\r\n250 ok\r\n451 later\r\n")}, reset, again}),
       QEL_ERR_SMTP_ERROR, "451 later\r\n", true, group + "RSET\r\n" + sentAgain, "<b@x.test>"},
      {"RSET refused", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("250 ok\r\n250 ok\r\n250 ok\r\n451 later\r\n"), ExpectLine("RSET"),
                              Send("500 what\r\n"), ExpectClose()}}),
       QEL_ERR_SMTP_ERROR, "451 later\r\n", false, group + "RSET\r\n", "<b@x.test>"},
      {"MAIL answered 421, then the server closes", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("421 closing\r\n"), Close()}}), QEL_ERR_SMTP_ERROR, "421 closing\r\n", false,
       group, ""},
      {"server closes in the middle of the replies", offer, 1, "<a@x.test>,<b@x.test>",
       steps({expectGroup(), {Send("250 ok\r\n250 ok\r\n"), Close()}}), QEL_ERR_SOCKET_CLOSED, "", false, group,
       "<a@x.test>"},
      {"bad second item: nothing sent", offer, 1, "<a@x.test>,b@x.test", quit(), QEL_ERR_EMPTY_ADDRESS, "", true,
       "QUIT\r\n", ""},
      {"not offered", "250-mail.test\r\n250 8BITMIME\r\n", 1, "<a@x.test>",
       steps({envelopeAndData({"<a@x.test>"}), quit()}), 0, "", true,
       std::string(kMailFrom) + "\r\nRCPT TO:<a@x.test>\r\nDATA\r\n{MESSAGE}.\r\nQUIT\r\n", "<a@x.test>"},
      {"setting off", offer, 0, "<a@x.test>", steps({envelopeAndData({"<a@x.test>"}), quit()}), 0, "", true,
       std::string(kMailFrom) + "\r\nRCPT TO:<a@x.test>\r\nDATA\r\n{MESSAGE}.\r\nQUIT\r\n", "<a@x.test>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(
        steps({{Send("220 mail.test ESMTP\r\n"), ExpectLine("EHLO example.org"), Send(c.ehloReply)}, c.script}));
    qelIntegerParam(0, QEL_PARAM_USE_ESMTP, 1);
    qelIntegerParam(0, QEL_PARAM_PIPELINING, c.pipelining);
    ASSERT_EQ(connectTo(server), 0);
    record->smtp->lastRecipient[0] = '\0';
    EXPECT_EQ(c.pipelining == 2 ? qelSendPreparedMemory(0, nullptr, c.to, "S: s\n\nm\n", 8)
                                : qelSendEmail(0, c.to, nullptr, nullptr, "s", "m", nullptr),
              c.result);
    if (c.result == QEL_ERR_SMTP_ERROR) {
      EXPECT_EQ(errorText(c.result), std::string("SMTP returned error. ") + c.reply);
    }
    EXPECT_STREQ(record->smtp->lastRecipient, c.lastRecipient);
    EXPECT_EQ(socketIsOpen(record->connection), c.staysOpen);
    if (c.staysOpen) {
      if (c.result == QEL_ERR_SMTP_ERROR) {
        EXPECT_EQ(qelSendEmail(0, "<a@x.test>,<b@x.test>", nullptr, nullptr, "s", "m", nullptr), 0);
      }
      EXPECT_EQ(qelClose(0), 0);
    }
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    std::string text = transcript(server);
    std::string sent = c.sent;
    size_t at = sent.find("{MESSAGE}");
    if (at != std::string::npos) sent.replace(at, 9, messagePart(text.substr(text.rfind("DATA\r\n"))));
    EXPECT_EQ(text, "EHLO example.org\r\n" + sent);
  }
}

TEST_F(Session, CallerDrivenConnectVerifyAndTwoSends) {
  ScriptServer server(steps({greeting(),
                             {ExpectLine("VRFY ann"), Send("252 maybe\r\n"), ExpectLine("VRFY bob"),
                              Send("250 bob\r\n")},
                             envelopeAndData({"<bob@example.net>"}), envelopeAndData({"<bob@example.net>"}),
                             quit()}));
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  qelIntegerParam(0, QEL_PARAM_SMTP_PORT, server.port());
  ASSERT_EQ(qelSmtpConnect(0, "127.0.0.1", kFrom, nullptr), 0);
  EXPECT_EQ(driveToEnd(0), 0);
  ASSERT_EQ(qelVerifyUser(0, "ann,bob"), 0);
  EXPECT_EQ(record->step.nextState, 270);
  EXPECT_EQ(driveToEnd(0), 0);
  EXPECT_EQ(record->smtp->verifyResult, 1);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, "s", "m", nullptr), 0);
    EXPECT_EQ(driveToEnd(0), 0);
  }
  ASSERT_EQ(qelClose(0), 0);
  EXPECT_EQ(driveToEnd(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  std::string text = transcript(server);
  std::string message = messagePart(text);
  EXPECT_EQ(text, std::string(kHello) + "\r\nVRFY ann\r\nVRFY bob\r\n" + kMailFrom +
                      "\r\nRCPT TO:<bob@example.net>\r\nDATA\r\n" + message + ".\r\n" + kMailFrom +
                      "\r\nRCPT TO:<bob@example.net>\r\nDATA\r\n" + message + ".\r\nQUIT\r\n");
}

}  // namespace
