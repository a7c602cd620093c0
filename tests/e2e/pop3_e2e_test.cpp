// The POP3 client against a real Dovecot: logins, the mailbox commands and
// downloads compared with the Maildir files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_env.h"
#include "qel32.h"
#include "support/library.h"

namespace qel::e2e {
namespace {

constexpr const char* kDovecotAuthFailure = "-ERR [AUTH] Authentication failed.\r\n";

// A message as the Maildir stores it (LF line ends), and as POP3 must
// deliver it: CR LF line ends. Plain text without MIME structure, so
// decoding leaves it as it is.
std::string withCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The answer to RETR as it travels: dot-stuffed, closed by a "." line.
std::string dotStuffed(const std::string& crlfText) {
  std::string out;
  bool lineStart = true;
  for (char c : crlfText) {
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = c == '\n';
  }
  return out + ".\r\n";
}

std::vector<std::string> testMessages() {
  std::string longLine(3000, 'w');
  return {
      "From: Ann <ann@example.test>\nTo: box@example.test\nSubject: first\n\nHello.\n+OK is message text here\n",
      "From: Bob <bob@example.test>\nTo: box@example.test\nSubject: dots\n\n.\n..\n.leading dot\n. \nend\n",
      "From: Cy <cy@example.test>\nTo: box@example.test\nSubject: long line\n\n" + longLine + "\n.\n",
  };
}

class Pop3EndToEnd : public ::testing::Test {
 protected:
  test::Attached lib{2};
  test::TempDir dir;
  Servers servers;
  std::string box;
  std::string maildir;
  std::vector<std::string> stored;

  // A private box filled with the test messages.
  bool fillBox() {
    box = makeBox(servers, &maildir);
    if (box.empty()) return false;
    for (const std::string& message : testMessages()) {
      std::string path = putMessage(servers, maildir, message);
      if (path.empty()) return false;
      stored.push_back(message);
    }
    return true;
  }

  int32_t connect(const std::string& user, const std::string& password, bool apop = false) {
    qelIntegerParam(0, QEL_PARAM_POP3_PORT, servers.port("POP3_PORT"));
    qelIntegerParam(0, QEL_PARAM_USE_APOP, apop ? 1 : 0);
    return qelPop3Connect(0, servers.get("POP3_HOST").c_str(), user.c_str(), password.c_str());
  }

  static std::string errorText(int32_t code) {
    char text[300];
    qelErrorText(0, code, text, sizeof text);
    return text;
  }
};

TEST_F(Pop3EndToEnd, LogsInWithUserAndPass) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  EXPECT_EQ(connect(servers.get("ALICE_USER"), servers.get("ALICE_PASSWORD")), 0);
  EXPECT_EQ(qelClose(0), 0);
}

TEST_F(Pop3EndToEnd, LogsInWithApop) {
  QEL_E2E_REQUIRE(kCramServers, servers);
  ASSERT_EQ(servers.get("APOP"), "1");
  EXPECT_EQ(connect(servers.get("BOB_USER"), servers.get("BOB_PASSWORD"), true), 0);
  EXPECT_EQ(qelClose(0), 0);
  EXPECT_EQ(connect(servers.get("BOB_USER"), servers.get("BOB_PASSWORD") + "x", true), QEL_ERR_POP3_ERROR);
}

TEST_F(Pop3EndToEnd, ApopWithoutTimestampInTheGreeting) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  EXPECT_EQ(connect(servers.get("ALICE_USER"), servers.get("ALICE_PASSWORD"), true), QEL_ERR_NO_APOP_TIMESTAMP);
}

TEST_F(Pop3EndToEnd, WrongPasswordGivesDovecotsReply) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  EXPECT_EQ(connect(servers.get("ALICE_USER"), "not-the-password"), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(errorText(QEL_ERR_POP3_ERROR), std::string("POP3 returned error. ") + kDovecotAuthFailure);
}

TEST_F(Pop3EndToEnd, CountSizesUidsAndTop) {
  QEL_E2E_REQUIRE(kCramServers, servers);
  ASSERT_TRUE(fillBox());
  ASSERT_EQ(connect(box, servers.get("BOX_PASSWORD"), true), 0);
  ASSERT_EQ(qelGetEmailCount(0), 3);
  for (int32_t i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(qelGetEmailSize(0, i), static_cast<int32_t>(withCrLf(stored[i - 1]).size()));
  }
  // "-ERR There's no message 99." is a refusal; the connection goes on.
  EXPECT_EQ(qelGetEmailSize(0, 99), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(errorText(QEL_ERR_POP3_ERROR).compare(0, 26, "POP3 returned error. -ERR "), 0);

  char list[1000];
  int32_t length = qelGetEmailUID(0, -1, list, sizeof list);
  ASSERT_GT(length, 0);
  std::string text(list, static_cast<size_t>(length));
  ASSERT_EQ(text.compare(0, 3, "+OK"), 0) << text;
  // The status line and one "n uid" line per message.
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 4u) << text;
  EXPECT_EQ(lines[1].compare(0, 2, "1 "), 0);
  EXPECT_EQ(lines[3].compare(0, 2, "3 "), 0);
  char one[200];
  EXPECT_GT(qelGetEmailUID(0, 2, one, sizeof one), 0);
  EXPECT_EQ(std::string(one), "+OK " + lines[2] + "\r\n");

  char top[1000];
  length = qelGetEmailLines(0, 1, 0, top, sizeof top);
  ASSERT_GT(length, 0);
  std::string header = withCrLf(stored[0].substr(0, stored[0].find("\n\n") + 2));
  std::string answer(top, static_cast<size_t>(length));
  ASSERT_EQ(answer.compare(0, 3, "+OK"), 0) << answer;
  EXPECT_EQ(answer.substr(answer.find("\r\n") + 2), header);
  EXPECT_EQ(qelGetEmailLines(0, 9, 0, top, sizeof top), QEL_ERR_POP3_ERROR);
}

TEST_F(Pop3EndToEnd, DownloadsEveryMessage) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  ASSERT_TRUE(fillBox());
  ASSERT_EQ(connect(box, servers.get("BOX_PASSWORD")), 0);
  ASSERT_EQ(qelGetEmailCount(0), 3);
  for (int32_t i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    std::string name = "message" + std::to_string(i) + ".txt";
    ASSERT_EQ(qelGetEmailFile(0, i, name.c_str(), dir.path().c_str(), dir.path().c_str()), 0);
    EXPECT_EQ(test::readFile(dir.file(name)), withCrLf(stored[i - 1]));
  }
  // Raw downloads: the answer as Dovecot sent it.
  qelIntegerParam(0, QEL_PARAM_DECODE_STATE, 1);
  for (int32_t i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    std::string name = "raw" + std::to_string(i) + ".eml";
    ASSERT_EQ(qelGetEmailFile(0, i, name.c_str(), dir.path().c_str(), dir.path().c_str()), 0);
    std::string raw = test::readFile(dir.file(name));
    size_t statusEnd = raw.find("\r\n");
    ASSERT_NE(statusEnd, std::string::npos);
    EXPECT_EQ(raw.compare(0, 3, "+OK"), 0);
    EXPECT_EQ(raw.substr(statusEnd + 2), dotStuffed(withCrLf(stored[i - 1])));
  }
  EXPECT_EQ(qelGetEmailFile(0, 7, "none.txt", dir.path().c_str(), dir.path().c_str()), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(qelClose(0), QEL_ERR_SOCKET_WRITE);  // the failure closed the connection
}

TEST_F(Pop3EndToEnd, DeleteTakesEffectAtQuit) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  ASSERT_TRUE(fillBox());
  ASSERT_EQ(connect(box, servers.get("BOX_PASSWORD")), 0);
  ASSERT_EQ(qelGetEmailCount(0), 3);
  EXPECT_EQ(qelDeleteEmail(0, 2), 0);
  // Already marked: Dovecot refuses, and the mark stays for QUIT.
  EXPECT_EQ(qelDeleteEmail(0, 2), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(qelGetEmailSize(0, 2), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_EQ(connect(box, servers.get("BOX_PASSWORD")), 0);
  EXPECT_EQ(qelGetEmailCount(0), 2);
  ASSERT_EQ(qelGetEmailFile(0, 2, "after.txt", dir.path().c_str(), dir.path().c_str()), 0);
  EXPECT_EQ(test::readFile(dir.file("after.txt")), withCrLf(stored[2]));
  EXPECT_EQ(qelClose(0), 0);
  EXPECT_EQ(maildirMessages(maildir).size(), 2u);
}

}  // namespace
}  // namespace qel::e2e
