// The end-to-end helpers: env files, the skip-or-fail rule, and the servers
// that CTest started (their AUTH order, APOP, private mailboxes).
#include "e2e/e2e_env.h"

#include <arpa/inet.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/library.h"

namespace qel::e2e {
namespace {

constexpr int kSocketTimeoutSeconds = 10;

// Sets or clears an environment variable for the rest of this test (each
// case runs as its own process).
void setVariable(const char* name, const char* value) {
  if (value == nullptr) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value, 1);
  }
}

// --- env files ---------------------------------------------------------------

TEST(EnvFile, ReadsShellAssignments) {
  test::TempDir dir;
  test::writeFile(dir.file("env"),
                  "# written by servers.sh\n"
                  "\n"
                  "QUOTED='two words'\n"
                  "BARE=plain\n"
                  "DOUBLE=\"q\"\n"
                  "EMPTY=''\n"
                  "  SPACED='kept'  \n"
                  "PORT='25'\n");
  Servers servers;
  std::string error;
  ASSERT_TRUE(servers.load(dir.file("env"), error)) << error;
  EXPECT_EQ(servers.get("QUOTED"), "two words");
  EXPECT_EQ(servers.get("BARE"), "plain");
  EXPECT_EQ(servers.get("DOUBLE"), "q");
  EXPECT_TRUE(servers.has("EMPTY"));
  EXPECT_EQ(servers.get("EMPTY"), "");
  EXPECT_EQ(servers.get("SPACED"), "kept");
  EXPECT_FALSE(servers.has("MISSING"));
  EXPECT_EQ(servers.get("MISSING"), "");
  EXPECT_EQ(servers.port("PORT"), 25);
  EXPECT_FALSE(servers.available());
}

TEST(EnvFile, RefusesMalformedLines) {
  const struct {
    const char* text;
    const char* line;
  } cases[] = {
      {"A=1\nno equals sign\n", ":2:"},
      {"A='unterminated\n", ":1:"},
      {"A='inner'quote'\n", ":1:"},
      {"A=two words\n", ":1:"},
      {"1A=x\n", ":1:"},
      {"A-B=x\n", ":1:"},
      {"=x\n", ":1:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    test::TempDir dir;
    test::writeFile(dir.file("env"), c.text);
    Servers servers;
    std::string error;
    EXPECT_FALSE(servers.load(dir.file("env"), error));
    EXPECT_NE(error.find(c.line), std::string::npos) << error;
    EXPECT_FALSE(servers.has("A"));  // nothing half-loaded
  }
  Servers servers;
  std::string error;
  EXPECT_FALSE(servers.load("/nonexistent/env", error));
  EXPECT_NE(error.find("cannot read"), std::string::npos);
}

TEST(EnvFile, PortsAreCheckedNumbers) {
  const struct {
    const char* value;
    uint16_t port;
  } cases[] = {{"1", 1}, {"2525", 2525}, {"65535", 65535}, {"0", 0}, {"65536", 0},
               {"99999999999", 0}, {"25a", 0}, {"-25", 0}, {"", 0}, {" 25", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    test::TempDir dir;
    test::writeFile(dir.file("env"), std::string("P='") + c.value + "'\n");
    Servers servers;
    std::string error;
    ASSERT_TRUE(servers.load(dir.file("env"), error)) << error;
    EXPECT_EQ(servers.port("P"), c.port);
  }
}

TEST(BoxName, IsALowerCaseLoginAndLongNamesStayApart) {
  EXPECT_EQ(boxName("box-", "Suite-Case/7"), "box-suite-case-7");
  const std::string start(64, 'a');
  const std::string one = boxName("box-", start + "One");
  const std::string two = boxName("box-", start + "Two");
  EXPECT_NE(one, two);
  // Logins fit the library's 64-character user name.
  EXPECT_EQ(one.size(), 64u);
  EXPECT_EQ(one.rfind("box-" + start.substr(0, 64 - 4 - 9) + "-", 0), 0u) << one;
  EXPECT_EQ(boxName("box-", start.substr(0, 60)), "box-" + start.substr(0, 60));
  EXPECT_EQ(boxName("box-", start.substr(0, 61)).size(), 64u);
}

// --- skip or fail ------------------------------------------------------------

TEST(Availability, CiIsReadFromTheEnvironment) {
  const struct {
    const char* value;
    bool ci;
  } cases[] = {{nullptr, false}, {"", false}, {"false", false}, {"0", false},
               {"true", true},   {"TRUE", true}, {"1", true},    {"yes", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    setVariable("CI", c.value);
    EXPECT_EQ(underCi(), c.ci);
    EXPECT_EQ(missingServers(), c.ci ? Missing::kFail : Missing::kSkip);
  }
}

TEST(Availability, FindServersSaysWhyNot) {
  test::TempDir root;
  const std::string dir = root.file(kCramServers);
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  Servers servers;
  std::string why;

  setVariable(kServersVariable, nullptr);
  EXPECT_FALSE(findServers(kCramServers, servers, why));
  EXPECT_NE(why.find("QEL_E2E_SERVERS is not set"), std::string::npos) << why;

  setVariable(kServersVariable, root.path().c_str());
  EXPECT_EQ(envFilePath(kCramServers), dir + "/env");
  EXPECT_FALSE(findServers(kCramServers, servers, why));
  EXPECT_NE(why.find("cannot read " + dir + "/env"), std::string::npos) << why;

  test::writeFile(dir + "/env", "QEL_E2E_AVAILABLE='0'\nQEL_E2E_REASON='not root'\n");
  EXPECT_FALSE(findServers(kCramServers, servers, why));
  EXPECT_EQ(why, "mail servers unavailable: not root");

  test::writeFile(dir + "/env", "QEL_E2E_AVAILABLE='1'\nSMTP_PORT='2525'\nPOP3_PORT='x'\n");
  EXPECT_FALSE(findServers(kCramServers, servers, why));
  EXPECT_NE(why.find("POP3_PORT"), std::string::npos) << why;

  test::writeFile(dir + "/env", "QEL_E2E_AVAILABLE='1'\nSMTP_PORT='2525'\nPOP3_PORT='1110'\n");
  EXPECT_TRUE(findServers(kCramServers, servers, why));
  EXPECT_EQ(servers.port("POP3_PORT"), 1110);
}

TEST(Availability, MissingServersFailUnderCi) {
  setVariable(kServersVariable, "/nonexistent");
  setVariable("CI", "true");
  Servers servers;
  bool found = true;
  EXPECT_NONFATAL_FAILURE(found = requireServers(kDefaultServers, servers), "a failure under CI");
  EXPECT_FALSE(found);
}

TEST(Availability, MissingServersSkipOutsideCi) {
  setVariable(kServersVariable, "/nonexistent");
  setVariable("CI", nullptr);
  // In a child, so that the skip does not end this test.
  EXPECT_EXIT(
      {
        Servers servers;
        const bool found = requireServers(kDefaultServers, servers);
        std::exit(!found && ::testing::Test::IsSkipped() && !::testing::Test::HasFailure() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// --- the running servers -----------------------------------------------------

// A blocking line client with bounded waits, enough to look at greetings and
// to read a private mailbox.
class LineClient {
 public:
  explicit LineClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{kSocketTimeoutSeconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~LineClient() { ::close(fd_); }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool connected() const { return connected_; }

  void send(const std::string& line) {
    const std::string bytes = line + "\r\n";
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }

  // One line without its CR LF; "<closed>" when the peer closed or went silent.
  std::string line() {
    std::string text;
    char c = 0;
    while (::recv(fd_, &c, 1, 0) == 1) {
      if (c == '\n') {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        return text;
      }
      text.push_back(c);
    }
    return "<closed>";
  }

  // The lines of a POP3 multi-line answer, dot-unstuffed, without the ".".
  std::vector<std::string> lines() {
    std::vector<std::string> all;
    for (std::string text = line(); text != "." && text != "<closed>"; text = line()) {
      all.push_back(text.rfind("..", 0) == 0 ? text.substr(1) : text);
    }
    return all;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(RunningServers, EachConfigurationOffersItsAuthOrder) {
  const struct {
    const char* config;
    const char* authLine;
    bool apop;
  } cases[] = {
      {kDefaultServers, "250-AUTH PLAIN LOGIN CRAM-MD5", false},
      {kCramServers, "250-AUTH CRAM-MD5 LOGIN PLAIN", true},
      {kLoginServers, "250-AUTH LOGIN CRAM-MD5 PLAIN", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    Servers servers;
    QEL_E2E_REQUIRE(c.config, servers);

    LineClient smtp(servers.port("SMTP_PORT"));
    ASSERT_TRUE(smtp.connected());
    EXPECT_EQ(smtp.line(), servers.get("SMTP_GREETING"));
    EXPECT_EQ(servers.get("SMTP_GREETING"), "220 " + servers.get("SMTP_HOSTNAME") + " ESMTP Postfix");
    smtp.send("EHLO client.qel.test");
    std::string authLine;
    for (std::string text = smtp.line(); text.rfind("250-", 0) == 0; text = smtp.line()) {
      if (text.rfind("250-AUTH ", 0) == 0) authLine = text;
    }
    EXPECT_EQ(authLine, c.authLine);
    smtp.send("QUIT");

    LineClient pop3(servers.port("POP3_PORT"));
    ASSERT_TRUE(pop3.connected());
    const std::string greeting = pop3.line();
    EXPECT_EQ(greeting.rfind("+OK Dovecot (Debian) ready.", 0), 0u) << greeting;
    EXPECT_EQ(greeting.find(" <") != std::string::npos, c.apop) << greeting;
    EXPECT_EQ(servers.get("APOP"), c.apop ? "1" : "0");
    pop3.send("QUIT");
  }
}

TEST(RunningServers, PrivateBoxServesStoredMessagesInOrder) {
  Servers servers;
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  std::string maildir;
  const std::string login = makeBox(servers, &maildir);
  ASSERT_EQ(login, "box-runningservers-privateboxservesstoredmessagesinorder");
  const std::vector<std::string> messages = {
      "Subject: one\n\nfirst\n",
      "Subject: two\n\n.starts with a dot\n",
      "Subject: three\n\nthird\n",
  };
  for (const std::string& message : messages) ASSERT_FALSE(putMessage(servers, maildir, message).empty());
  ASSERT_EQ(maildirMessages(maildir).size(), messages.size());

  LineClient pop3(servers.port("POP3_PORT"));
  ASSERT_TRUE(pop3.connected());
  ASSERT_EQ(pop3.line().rfind("+OK", 0), 0u);
  pop3.send("USER " + login);
  ASSERT_EQ(pop3.line().rfind("+OK", 0), 0u);
  pop3.send("PASS " + servers.get("BOX_PASSWORD"));
  ASSERT_EQ(pop3.line(), "+OK Logged in.");
  for (size_t i = 0; i < messages.size(); ++i) {
    pop3.send("RETR " + std::to_string(i + 1));
    ASSERT_EQ(pop3.line().rfind("+OK", 0), 0u);
    std::string text;
    for (const std::string& line : pop3.lines()) text += line + "\n";
    EXPECT_EQ(text, messages[i]);
  }
  pop3.send("DELE 2");
  EXPECT_EQ(pop3.line().rfind("+OK", 0), 0u);
  pop3.send("QUIT");
  EXPECT_EQ(pop3.line().rfind("+OK", 0), 0u);
  EXPECT_EQ(pop3.line(), "<closed>");
  EXPECT_EQ(maildirMessages(maildir).size(), messages.size() - 1);

  // A second box for the same test starts empty again.
  EXPECT_EQ(makeBox(servers, &maildir), login);
  EXPECT_TRUE(maildirMessages(maildir).empty());
}

TEST(RunningServers, WaitForMessageFindsItsMarker) {
  Servers servers;
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  std::string maildir;
  ASSERT_FALSE(makeBox(servers, &maildir).empty());
  const std::string stored = putMessage(servers, maildir, "Subject: x\n\nmarker-42\n");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(waitForMessage(maildir, "marker-42", 1000), stored);
  EXPECT_EQ(waitForMessage(maildir, "marker-43", 100), "");
}

}  // namespace
}  // namespace qel::e2e
