// Ready-made messages: the exact bytes on the wire from memory and from a
// file (nothing added, line ends made CR LF, periods doubled), the envelope
// the caller gives, argument refusals that leave the connection usable,
// the SMTP extensions, and the driven form.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "qel32.h"
#include "smtp_session.h"
#include "support/library.h"
#include "support/script_server.h"

using namespace qel;
using namespace qel::test;

namespace {

const std::vector<std::string> kBob{"<bob@example.net>"};

class Prepared : public ::testing::Test {
 protected:
  Attached lib{2};
  TempDir dir;

  // Sends the message once from memory and once from a file; returns what
  // the server received between DATA and the final ".", for each.
  std::vector<std::string> sendBothWays(const std::string& message) {
    std::string path = dir.file("message.eml");
    writeFile(path, message);
    ScriptServer server(steps({greeting(), envelopeAndData(kBob), envelopeAndData(kBob), quit()}));
    EXPECT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelSendPreparedMemory(0, nullptr, "bob@example.net", message.data(),
                                    static_cast<int32_t>(message.size())), 0);
    std::string fromMemory = messagePart(server.received());
    EXPECT_EQ(qelSendPreparedFile(0, nullptr, "bob@example.net", path.c_str()), 0);
    EXPECT_EQ(qelClose(0), 0);
    EXPECT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    std::string all = server.received();
    return {fromMemory, messagePart(all.substr(all.find("\r\n.\r\n") + 5))};
  }
};

TEST_F(Prepared, BytesGoOutAsTheyAre) {
  // A message larger than every buffer, with periods and bare line feeds
  // at every distance from the piece boundaries.
  std::string big;
  std::string bigOnWire;
  for (int i = 0; i < 20000; ++i) {
    std::string text(static_cast<size_t>(i % 97), 'x');
    big += "." + text + (i % 3 == 0 ? "\n" : i % 3 == 1 ? "\r\n" : "\r");
    bigOnWire += ".." + text + "\r\n";
  }
  const struct {
    const char* name;
    std::string message;
    std::string onWire;
  } cases[] = {
      {"header untouched", "Subject: hi\r\nBcc: <c@example.net>\r\n\r\nbody\r\n",
       "Subject: hi\r\nBcc: <c@example.net>\r\n\r\nbody\r\n"},
      {"bare LF and lone CR", "Subject: hi\n\nl1\nl2\rl3\r\n", "Subject: hi\r\n\r\nl1\r\nl2\r\nl3\r\n"},
      {"periods doubled", "S: x\n\n.\n..two\n. x\n", "S: x\r\n\r\n..\r\n...two\r\n.. x\r\n"},
      {"last line without its end", "S: x\n\nlast", "S: x\r\n\r\nlast\r\n"},
      {"NUL and 8-bit bytes", std::string("S: \xC3\xA9\n\na\0b\n", 11), std::string("S: \xC3\xA9\r\n\r\na\0b\r\n", 14)},
      {"large", big, bigOnWire},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& sent : sendBothWays(c.message)) EXPECT_TRUE(sent == c.onWire) << sent.substr(0, 200);
  }
}

// The envelope: the sender in each form (none: the connect's From), the
// recipients with quoted names and blank items; argument errors come back
// before anything is sent, and the connection serves the next send.
TEST_F(Prepared, EnvelopeAndRefusals) {
  std::string missing = dir.file("missing.eml");
  const struct {
    const char* sender;
    const char* recipients;
    const char* path;  // null: from memory
    int32_t length;
    int32_t result;
  } refused[] = {
      {nullptr, "", nullptr, 1, QEL_ERR_NO_RECIPIENT},
      {nullptr, " , ,", nullptr, 1, QEL_ERR_NO_RECIPIENT},
      {nullptr, "<>", nullptr, 1, QEL_ERR_EMPTY_ADDRESS},
      {nullptr, "b c@example.net", nullptr, 1, QEL_ERR_BAD_ADDRESS_CHAR},
      {nullptr, "<b@example.net", nullptr, 1, QEL_ERR_MISSING_GT},
      {"a@example.org\r\nRSET", "b@example.net", nullptr, 1, QEL_ERR_BAD_ADDRESS_CHAR},
      {nullptr, "b@example.net", nullptr, -1, QEL_ERR_NO_PREPARED_MESSAGE},
      {nullptr, "b@example.net", "", 0, QEL_ERR_NO_PREPARED_MESSAGE},
      {nullptr, "b@example.net", missing.c_str(), 0, QEL_ERR_CANNOT_OPEN_FILE},
  };
  const std::vector<std::string> rcpts{"<j@example.net>", "<k@example.net>", "<l@example.net>"};
  ScriptServer server(steps({greeting(), envelopeAndData({"<bob@example.net>"}, ExpectLine(kMailFrom)),
                             envelopeAndData(rcpts, ExpectLine("MAIL FROM:<cy@example.org>")),
                             envelopeAndData(kBob, ExpectLine("MAIL FROM:<>")), quit()}));
  ASSERT_EQ(connectTo(server), 0);
  for (const auto& r : refused) {
    SCOPED_TRACE(r.recipients);
    int32_t rc = r.path != nullptr ? qelSendPreparedFile(0, r.sender, r.recipients, r.path)
                                   : qelSendPreparedMemory(0, r.sender, r.recipients, "x", r.length);
    EXPECT_EQ(rc, r.result);
  }
  EXPECT_EQ(qelSendPreparedMemory(0, "", "bob@example.net", "x", 1), 0);
  const char* list = "\"Doe, J\" <j@example.net>, k@example.net,,<l@example.net>";
  EXPECT_EQ(qelSendPreparedMemory(0, "Cy <cy@example.org>", list, "x", 1), 0);
  EXPECT_EQ(qelSendPreparedMemory(0, "<>", "bob@example.net", "x", 1), 0);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

// SIZE with the size on the wire, 8BITMIME for 8-bit bytes, SMTPUTF8 for
// a non-ASCII address or header, each only as offered; refusals before
// MAIL FROM.
TEST_F(Prepared, ExtensionsAsOffered) {
  const std::string all = "250-mail.test\r\n250-SIZE 1000\r\n250-8BITMIME\r\n250 SMTPUTF8\r\n";
  const std::string sizeOnly = "250-mail.test\r\n250 SIZE 12\r\n";
  const struct {
    const char* name;
    std::string ehloReply;
    std::string message;
    const char* recipient;
    int32_t result;
    const char* mailFrom;
  } cases[] = {
      {"7-bit", all, "S: x\n\n.\n", "<bob@example.net>", 0, "MAIL FROM:<ann@example.org> SIZE=12"},
      {"8-bit body", all, "S: x\n\n\xC3\xA9\n", "<bob@example.net>", 0,
       "MAIL FROM:<ann@example.org> SIZE=12 BODY=8BITMIME"},
      {"8-bit header", all, "S: \xC3\xA9\n\nx", "<bob@example.net>", 0,
       "MAIL FROM:<ann@example.org> SIZE=12 BODY=8BITMIME SMTPUTF8"},
      {"8-bit header, no SMTPUTF8", sizeOnly, "S: \xC3\xA9\n\nx", "<bob@example.net>", 0,
       "MAIL FROM:<ann@example.org> SIZE=12"},
      {"too large", sizeOnly, "S: x\n\n..\n", "<bob@example.net>", QEL_ERR_MESSAGE_TOO_BIG, nullptr},
      {"UTF-8 address", sizeOnly, "S: x\n\nx", "<j\xC3\xB6rg@example.net>", QEL_ERR_NEEDS_SMTPUTF8, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Step> script{Send("220 mail.test ESMTP\r\n"), ExpectLine("EHLO example.org"), Send(c.ehloReply)};
    std::vector<Step> rest =
        c.result == 0 ? envelopeAndData({c.recipient}, ExpectLine(c.mailFrom)) : std::vector<Step>{};
    ScriptServer server(steps({script, rest, quit()}));
    qelIntegerParam(0, QEL_PARAM_USE_ESMTP, 1);
    qelIntegerParam(0, QEL_PARAM_EXTENSIONS, 1);
    ASSERT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelSendPreparedMemory(0, nullptr, c.recipient, c.message.data(), static_cast<int32_t>(c.message.size())),
              c.result);
    EXPECT_EQ(qelClose(0), 0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
  }
}

// autoCall off: the send runs through qelDriver, and a composed message on
// the same connection afterwards is composed as ever.
TEST_F(Prepared, DrivenFormThenComposedMessage) {
  ScriptServer server(steps({greeting(), envelopeAndData(kBob), envelopeAndData(kBob), quit()}));
  ASSERT_EQ(connectTo(server), 0);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  const std::string message = "Subject: driven\n\n.body\n";
  ASSERT_EQ(qelSendPreparedMemory(0, nullptr, "bob@example.net", message.data(),
                                  static_cast<int32_t>(message.size())), 0);
  int32_t rc;
  while ((rc = qelDriver(0)) > 0) qelWait(0, 1000);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_SENT), 27);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 1);
  EXPECT_EQ(qelSendEmail(0, "Bob <bob@example.net>", nullptr, nullptr, "composed", "text", nullptr), 0);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  std::string all = transcript(server);
  EXPECT_EQ(messagePart(all), "Subject: driven\r\n\r\n..body\r\n");
  EXPECT_NE(messagePart(all.substr(all.find("\r\n.\r\n") + 5)).find("Subject: composed\r\n"), std::string::npos);
}

}  // namespace
