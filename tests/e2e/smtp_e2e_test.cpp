// The SMTP client against real Postfix (with Dovecot for SASL): messages of
// each body type with random attachments reach the Maildir and parse with
// Python's email package, attachments byte-identical; VRFY; AUTH CRAM-MD5,
// AUTH LOGIN or none, as the EHLO reply offers; a wrong password.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "e2e/e2e_env.h"
#include "frame/channel.h"
#include "qel32.h"
#include "support/library.h"
#include "smtp/smtp_session.h"
#include "transport/connection_state.h"

namespace qel::e2e {
namespace {

constexpr int kDeliveryWaitMs = 30000;
constexpr size_t kSmallBytes = 1000;
constexpr size_t kLargeBytes = 5 * 1024 * 1024;

std::string randomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Runs a command and returns its exit status, with its output in `output`.
int run(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Checks a delivered message with tests/e2e/check_message.py.
void checkWithPython(const std::string& message, const std::string& textType, const std::string& text,
                     const std::vector<std::pair<std::string, std::string>>& attachments) {
  std::string command = quoted(QEL_E2E_PYTHON) + " " + quoted(std::string(QEL_E2E_SCRIPTS) + "/check_message.py") +
                        " " + quoted(message) + " " + quoted(textType) + " " + quoted(text);
  for (const auto& [name, path] : attachments) command += " " + quoted(name + "=" + path);
  std::string output;
  EXPECT_EQ(run(command, output), 0) << output;
}

// Finds the delivered message with `marker` in a Maildir and keeps a copy
// of it in `directory`: a POP3 session of another test may move it from
// new/ to cur/ at any moment. Returns the copy's path, or an empty text.
std::string keepDelivered(const std::string& maildir, const std::string& marker, const test::TempDir& directory) {
  std::string copy = directory.file("delivered-" + marker + ".eml");
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string path = waitForMessage(maildir, marker, kDeliveryWaitMs);
    if (path.empty()) return std::string();
    std::string bytes = test::readFile(path);
    if (bytes.find(marker) == std::string::npos) continue;
    test::writeFile(copy, bytes);
    return copy;
  }
  return std::string();
}

std::string uniqueMarker(const std::string& what) {
  std::random_device device;
  return "qel-e2e-" + what + "-" + std::to_string(device());
}

class SmtpEndToEnd : public ::testing::Test {
 protected:
  test::Attached lib{2};
  test::TempDir dir;
  std::string log = dir.file("smtp.log");
  Servers servers;

  // Connects channel 0 as alice, with ESMTP and the given credentials.
  int32_t connect(bool esmtp, const std::string& user = "", const std::string& password = "") {
    qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str());
    qelIntegerParam(0, QEL_PARAM_SMTP_PORT, servers.port("SMTP_PORT"));
    qelIntegerParam(0, QEL_PARAM_USE_ESMTP, esmtp ? 1 : 0);
    qelStringParam(0, QEL_STRING_USER, user.c_str());
    qelStringParam(0, QEL_STRING_PASSWORD, password.c_str());
    std::string from = "Alice <" + servers.get("ALICE_ADDRESS") + ">";
    return qelSmtpConnect(0, servers.get("SMTP_HOST").c_str(), from.c_str(), nullptr);
  }
  std::string logText() { return test::readFile(log); }
};

struct BodyTypeCase {
  int32_t bodyType;
  const char* textType;
};

void PrintTo(const BodyTypeCase& c, std::ostream* os) { *os << "bodyType " << c.bodyType; }

class SmtpBodyTypes : public SmtpEndToEnd, public ::testing::WithParamInterface<BodyTypeCase> {};

TEST_P(SmtpBodyTypes, MessageWithAttachmentsArrivesIntact) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  const BodyTypeCase& c = GetParam();
  std::string marker = uniqueMarker("type" + std::to_string(c.bodyType));
  std::string small = dir.file("small.bin");
  std::string large = dir.file("large.dat");
  std::string image = dir.file("logo.gif");
  test::writeFile(small, randomBytes(kSmallBytes, 1 + c.bodyType));
  test::writeFile(large, randomBytes(kLargeBytes, 100 + c.bodyType));
  test::writeFile(image, "GIF89a" + randomBytes(300, 200 + c.bodyType));
  // The large file goes out under a name of its own.
  std::string attachments = small + "," + large + "|Large file " + marker + ".dat," + image;
  std::string text = c.bodyType == QEL_BODY_HTML ? "<p>Marker " + marker + "</p>\n<img src=\"cid:message-root.1\">"
                                                 : "Marker " + marker + "\nPrice = 5 \xE9\n.\nend";
  if (c.bodyType == QEL_BODY_CUSTOM) qelStringParam(0, QEL_STRING_CONTENT_TYPE, "Content-Type: text/x-qel");

  ASSERT_EQ(connect(false), 0) << logText();
  qelIntegerParam(0, QEL_PARAM_BODY_TYPE, c.bodyType);
  std::string to = "Alice <" + servers.get("ALICE_ADDRESS") + ">";
  std::string bcc = "<" + servers.get("BOB_ADDRESS") + ">";
  ASSERT_EQ(qelSendEmail(0, to.c_str(), nullptr, bcc.c_str(), marker.c_str(), text.c_str(), attachments.c_str()), 0)
      << logText();
  EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 250);
  EXPECT_EQ(qelClose(0), 0);

  for (const char* user : {"ALICE_MAILDIR", "BOB_MAILDIR"}) {
    SCOPED_TRACE(user);
    std::string delivered = keepDelivered(servers.get(user), marker, dir);
    ASSERT_FALSE(delivered.empty()) << "no message with " << marker;
    std::string textPart = c.bodyType == QEL_BODY_HTML ? "<p>Marker " + marker + "</p>" : "Marker " + marker;
    checkWithPython(delivered, c.textType, textPart,
                    {{"small.bin", small}, {"Large file " + marker + ".dat", large}, {"logo.gif", image}});
    // The BCC recipient appears in no header.
    EXPECT_EQ(test::readFile(delivered).find(servers.get("BOB_ADDRESS") + ">"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(EachType, SmtpBodyTypes,
                         ::testing::Values(BodyTypeCase{QEL_BODY_PLAIN, "text/plain"},
                                           BodyTypeCase{QEL_BODY_TEXT, "text/plain"},
                                           BodyTypeCase{QEL_BODY_HTML, "text/html"},
                                           BodyTypeCase{QEL_BODY_ENRICHED, "text/enriched"},
                                           BodyTypeCase{QEL_BODY_ISO8859, "text/plain"},
                                           BodyTypeCase{QEL_BODY_CUSTOM, "text/x-qel"}),
                         [](const ::testing::TestParamInfo<BodyTypeCase>& info) {
                           return "Type" + std::to_string(info.param.bodyType);
                         });

TEST_F(SmtpEndToEnd, PlainMessageFromAFile) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  std::string marker = uniqueMarker("plain");
  test::writeFile(dir.file("body.txt"), "Marker " + marker + "\r\n.\r\nlast line\r\n");
  std::string body = "@" + dir.file("body.txt");
  ASSERT_EQ(connect(false), 0) << logText();
  std::string to = "<" + servers.get("ALICE_ADDRESS") + ">";
  ASSERT_EQ(qelSendEmail(0, to.c_str(), nullptr, nullptr, marker.c_str(), body.c_str(), nullptr), 0) << logText();
  EXPECT_EQ(qelClose(0), 0);
  std::string delivered = keepDelivered(servers.get("ALICE_MAILDIR"), marker, dir);
  ASSERT_FALSE(delivered.empty());
  checkWithPython(delivered, "none", "Marker " + marker + "\n.\nlast line\n", {});
}

std::string jsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string jsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const auto& item : items) out += (out.size() > 1 ? "," : "") + jsonText(item);
  return out + "]";
}

// With the charset setting, texts in German, Greek, Chinese and emoji and
// long unbroken URLs come back from Postfix exactly, as Python reads them:
// bodies, subjects, display names and attachment names; header lines fold
// at 78 characters. SIZE goes with MAIL FROM, as Postfix offers it.
TEST_F(SmtpEndToEnd, MailInAnyLanguageRoundTrip) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  std::string shortName = dir.file("short.bin");
  std::string longName = dir.file("long.bin");
  test::writeFile(shortName, randomBytes(kSmallBytes, 7));
  test::writeFile(longName, randomBytes(kSmallBytes, 8));
  const std::string url = "https://example.org/" + std::string(300, 'a') + "?q=" + std::string(200, 'b');
  const struct {
    const char* name;
    std::string subject;
    std::string toName;
    std::string text;
    std::string attachments;  // path|name items
    std::vector<std::string> names;
  } cases[] = {
      {"german", "Grüße aus München – Übermäßig schöne Äpfel für 5 €, ein recht langer Betreff zum Falten",
       "Jörg Müller", "Grüße aus München!\nÜbermäßig schöne Äpfel für 5 € das Stück.\n.\n" + url + "\n",
       shortName + "|Überweisung März.bin," + longName +
           "|Ünïcödé-Dätéi-mit-sehr-langem-Namen-für-die-Fortsetzung-nach-RFC-2231.bin",
       {"Überweisung März.bin", "Ünïcödé-Dätéi-mit-sehr-langem-Namen-für-die-Fortsetzung-nach-RFC-2231.bin"}},
      {"greek", "Καλημέρα κόσμε – η γρήγορη καφέ αλεπού", "Δήμητρα Παπαδοπούλου",
       "Η γρήγορη καφέ αλεπού πηδά πάνω από τον τεμπέλη σκύλο.\nΔεύτερη γραμμή\n", "", {}},
      {"chinese", "你好，世界！这是一封测试邮件的主题，它相当长，需要折叠成几行。", "王小明",
       "你好，世界！这是一封测试邮件。第二句话在这里。第三句话也在这里。\n第二行。", shortName + "|报告.bin",
       {"报告.bin"}},
      {"emoji", "Party 🎉🥳 tonight 😀👍", "Zoë 😀", "Party time 🎉🥳 — see you there 😀👍\n", "", {}},
  };
  qelStringParam(0, QEL_STRING_CHARSET, "utf-8");
  qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str());
  qelIntegerParam(0, QEL_PARAM_SMTP_PORT, servers.port("SMTP_PORT"));
  qelIntegerParam(0, QEL_PARAM_USE_ESMTP, 1);
  std::string from = "Zoë Ångström <" + servers.get("ALICE_ADDRESS") + ">";
  ASSERT_EQ(qelSmtpConnect(0, servers.get("SMTP_HOST").c_str(), from.c_str(), nullptr), 0) << logText();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string marker = uniqueMarker(c.name);
    qelStringParam(0, QEL_STRING_EXTRA_HEADER, ("X-Marker: " + marker).c_str());
    std::string to = c.toName + " <" + servers.get("ALICE_ADDRESS") + ">";
    std::string cc = "\"Renée Dürr\" <" + servers.get("BOB_ADDRESS") + ">";
    ASSERT_EQ(qelSendEmail(0, to.c_str(), cc.c_str(), nullptr, c.subject.c_str(), c.text.c_str(),
                           c.attachments.empty() ? nullptr : c.attachments.c_str()),
              0)
        << logText();
    const std::string delivered = keepDelivered(servers.get("ALICE_MAILDIR"), marker, dir);
    ASSERT_FALSE(delivered.empty()) << "no message with " << marker;
    std::string attachments = "{";
    for (size_t i = 0; i < c.names.size(); ++i) {
      attachments += (i > 0 ? "," : "") + jsonText(c.names[i]) + ":" + jsonText(i == 0 ? shortName : longName);
    }
    const std::string expected = dir.file(std::string(c.name) + ".json");
    test::writeFile(expected, "{\"subject\":" + jsonText(c.subject) + ",\"from\":" + jsonList({"Zoë Ångström"}) +
                                  ",\"to\":" + jsonList({c.toName}) + ",\"cc\":" + jsonList({"Renée Dürr"}) +
                                  ",\"text\":" + jsonText(c.text) + ",\"attachments\":" + attachments + "}}");
    std::string command = quoted(QEL_E2E_PYTHON) + " " +
                          quoted(std::string(QEL_E2E_SCRIPTS) + "/check_charset.py") + " " + quoted(delivered) +
                          " " + quoted(expected);
    std::string output;
    EXPECT_EQ(run(command, output), 0) << output;
  }
  EXPECT_EQ(qelClose(0), 0);
  std::string text = logText();
  EXPECT_NE(text.find("MAIL FROM:<" + servers.get("ALICE_ADDRESS") + "> SIZE="), std::string::npos) << text;
}

TEST_F(SmtpEndToEnd, VerifyAnswersKnownAndUnknownUsers) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  ASSERT_EQ(connect(false), 0) << logText();
  const struct {
    std::string name;
    int32_t code;
  } cases[] = {
      {servers.get("ALICE_USER"), 252},
      {servers.get("UNKNOWN_ADDRESS"), 550},
      {servers.get("BOB_ADDRESS"), 252},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Only 250 counts as verified; Postfix never confirms outright.
    EXPECT_EQ(qelVerifyUser(0, c.name.c_str()), 0) << logText();
    EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), c.code);
  }
  // Two names: the answer to the last one decides.
  std::string names = servers.get("UNKNOWN_ADDRESS") + "," + servers.get("ALICE_USER");
  EXPECT_EQ(qelVerifyUser(0, names.c_str()), 0);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 252);
  EXPECT_EQ(qelClose(0), 0);
}

// Pipelined sends into Postfix over one connection: a recipient refused
// alone leaves the connection usable (RSET), the next message arrives, and
// one refused beside an accepted one closes the connection, nothing sent.
TEST_F(SmtpEndToEnd, PipelinedSendsOverOneConnection) {
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  qelIntegerParam(0, QEL_PARAM_PIPELINING, 1);
  ASSERT_EQ(connect(true), 0) << logText();
  EXPECT_EQ(lib.record(0)->smtp->offersPipelining, 1);
  std::string unknown = "<" + servers.get("UNKNOWN_ADDRESS") + ">";
  std::string to = "<" + servers.get("ALICE_ADDRESS") + ">";
  std::string marker = uniqueMarker("pipelined");
  EXPECT_EQ(qelSendEmail(0, unknown.c_str(), nullptr, nullptr, "refused", "x", nullptr), QEL_ERR_SMTP_ERROR);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 550);
  ASSERT_EQ(qelSendEmail(0, to.c_str(), nullptr, nullptr, marker.c_str(), "pipelined", nullptr), 0) << logText();
  std::string both = to + "," + unknown;
  EXPECT_EQ(qelSendEmail(0, both.c_str(), nullptr, nullptr, "half refused", "x", nullptr), QEL_ERR_SMTP_ERROR);
  EXPECT_FALSE(socketIsOpen(lib.record(0)->connection));
  EXPECT_FALSE(keepDelivered(servers.get("ALICE_MAILDIR"), marker, dir).empty());
}

struct AuthCase {
  const char* config;
  const char* authLine;  // the start of the AUTH line of the EHLO reply
  const char* outcome;   // the library's log line, or null for no AUTH
};

void PrintTo(const AuthCase& c, std::ostream* os) { *os << c.config; }

class SmtpAuth : public SmtpEndToEnd, public ::testing::WithParamInterface<AuthCase> {};

TEST_P(SmtpAuth, MechanismFollowsTheOfferAndTheMessageGoesOut) {
  const AuthCase& c = GetParam();
  QEL_E2E_REQUIRE(c.config, servers);
  ASSERT_EQ(connect(true, servers.get("ALICE_USER"), servers.get("ALICE_PASSWORD")), 0) << logText();
  std::string text = logText();
  EXPECT_NE(text.find(std::string("250-") + c.authLine), std::string::npos) << text;
  if (c.outcome != nullptr) {
    EXPECT_NE(text.find(c.outcome), std::string::npos) << text;
    EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 235);
  } else {
    EXPECT_EQ(text.find("AUTH "), text.find("250-AUTH ") + 4) << text;
    EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 250);
  }
  std::string marker = uniqueMarker(c.config);
  std::string to = "<" + servers.get("BOB_ADDRESS") + ">";
  ASSERT_EQ(qelSendEmail(0, to.c_str(), nullptr, nullptr, marker.c_str(), "authenticated", nullptr), 0) << logText();
  EXPECT_EQ(qelClose(0), 0);
  EXPECT_FALSE(waitForMessage(servers.get("BOB_MAILDIR"), marker, kDeliveryWaitMs).empty());
}

INSTANTIATE_TEST_SUITE_P(Offers, SmtpAuth,
                         ::testing::Values(AuthCase{kCramServers, "AUTH CRAM-MD5", "AUTH CRAM-MD5 ok\r\n"},
                                           AuthCase{kLoginServers, "AUTH LOGIN", "AUTH LOGIN ok\r\n"},
                                           // Postfix's own order names none of the three keywords.
                                           AuthCase{kDefaultServers, "AUTH PLAIN LOGIN CRAM-MD5", nullptr}),
                         [](const ::testing::TestParamInfo<AuthCase>& info) {
                           return std::string(info.param.config);
                         });

class SmtpWrongPassword : public SmtpEndToEnd, public ::testing::WithParamInterface<const char*> {};

TEST_P(SmtpWrongPassword, FailsWithTheServersReply) {
  QEL_E2E_REQUIRE(GetParam(), servers);
  EXPECT_EQ(connect(true, servers.get("ALICE_USER"), "not-the-password"), QEL_ERR_SMTP_ERROR) << logText();
  char text[300];
  qelErrorText(0, QEL_ERR_SMTP_ERROR, text, sizeof text);
  EXPECT_EQ(std::string(text).rfind("SMTP returned error. 535 ", 0), 0u) << text;
  EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 535);
  EXPECT_EQ(qelSendEmail(0, "<a@example.test>", nullptr, nullptr, nullptr, "x", nullptr), QEL_ERR_NOT_CONNECTED);
}

INSTANTIATE_TEST_SUITE_P(Offers, SmtpWrongPassword, ::testing::Values(kCramServers, kLoginServers),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace qel::e2e
