// TLS against real Postfix and Dovecot (the cram servers run with
// --tls): a message with attachments sent with AUTH through STARTTLS on the
// submission port and through implicit TLS, fetched decoded through STLS
// and pop3s with its attachments byte-identical; the refusals a real
// server gives; eight TLS channels driven from one thread.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "e2e/e2e_env.h"
#include "qel32.h"
#include "support/library.h"

namespace qel::e2e {
namespace {

constexpr int kDeliveryWaitMs = 30000;
constexpr int kChannels = 8;

std::string randomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

class TlsEndToEnd : public ::testing::Test {
 protected:
  test::Attached lib{kChannels};
  test::TempDir dir;
  Servers servers;

  void useTls(int32_t channel, int32_t mode, bool withCa = true) {
    qelIntegerParam(channel, QEL_PARAM_TLS_MODE, mode);
    qelStringParam(channel, QEL_STRING_CA_FILE, withCa ? servers.get("TLS_CA_FILE").c_str() : "");
  }

  int32_t smtpConnect(const char* portKey, int32_t mode, bool withCa = true) {
    qelStringParam(0, QEL_STRING_LOG_FILE, dir.file("smtp.log").c_str());
    useTls(0, mode, withCa);
    qelIntegerParam(0, QEL_PARAM_SMTP_PORT, servers.port(portKey));
    qelIntegerParam(0, QEL_PARAM_USE_ESMTP, 1);
    qelStringParam(0, QEL_STRING_USER, servers.get("ALICE_USER").c_str());
    qelStringParam(0, QEL_STRING_PASSWORD, servers.get("ALICE_PASSWORD").c_str());
    std::string from = "Alice <" + servers.get("ALICE_ADDRESS") + ">";
    return qelSmtpConnect(0, servers.get("SMTP_HOST").c_str(), from.c_str(), nullptr);
  }

  int32_t pop3Connect(int32_t channel, const char* portKey, int32_t mode, const std::string& box) {
    useTls(channel, mode);
    qelIntegerParam(channel, QEL_PARAM_POP3_PORT, servers.port(portKey));
    return qelPop3Connect(channel, servers.get("POP3_HOST").c_str(), box.c_str(),
                          servers.get("BOX_PASSWORD").c_str());
  }

  static std::string errorText(int32_t code) {
    char text[300];
    qelErrorText(0, code, text, sizeof text);
    return text;
  }
};

TEST_F(TlsEndToEnd, SendWithAttachmentsAndFetchDecodedInEveryMode) {
  QEL_E2E_REQUIRE(kCramServers, servers);
  std::string maildir;
  std::string box = makeBox(servers, &maildir);
  ASSERT_FALSE(box.empty());
  const struct {
    const char* name;
    const char* smtpPort;
    int32_t smtpMode;
    const char* pop3Port;
    int32_t pop3Mode;
  } cases[] = {
      {"STARTTLS and STLS", "SUBMISSION_PORT", QEL_TLS_STARTTLS, "POP3_PORT", QEL_TLS_STARTTLS},
      {"implicit TLS and pop3s", "SMTPS_PORT", QEL_TLS_IMPLICIT, "POP3S_PORT", QEL_TLS_IMPLICIT},
  };
  int32_t number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::random_device device;
    std::string marker = "qel-e2e-tls-" + std::to_string(device());
    const std::string small = randomBytes(1000, device());
    const std::string large = randomBytes(3 * 1024 * 1024, device());
    test::writeFile(dir.file("small.bin"), small);
    test::writeFile(dir.file("large.bin"), large);
    std::string attachments = dir.file("small.bin") + "|small-" + marker + ".bin," + dir.file("large.bin") +
                              "|large-" + marker + ".bin";
    ASSERT_EQ(smtpConnect(c.smtpPort, c.smtpMode), 0) << test::readFile(dir.file("smtp.log"));
    std::string to = "<" + servers.get("BOB_ADDRESS") + ">";
    ASSERT_EQ(qelSendEmail(0, to.c_str(), nullptr, nullptr, marker.c_str(), "over TLS", attachments.c_str()), 0);
    EXPECT_EQ(qelClose(0), 0);
    std::string log = test::readFile(dir.file("smtp.log"));
    EXPECT_NE(log.find("certificate checked"), std::string::npos);
    EXPECT_NE(log.find("AUTH CRAM-MD5 ok"), std::string::npos) << log;

    std::string delivered = waitForMessage(servers.get("BOB_MAILDIR"), marker, kDeliveryWaitMs);
    ASSERT_FALSE(delivered.empty());
    ASSERT_FALSE(putMessage(servers, maildir, test::readFile(delivered)).empty());
    ++number;
    ASSERT_EQ(pop3Connect(0, c.pop3Port, c.pop3Mode, box), 0);
    ASSERT_EQ(qelGetEmailFile(0, number, "message.eml", dir.path().c_str(), dir.path().c_str()), 0);
    EXPECT_EQ(qelClose(0), 0);
    EXPECT_EQ(test::readFile(dir.file("small-" + marker + ".bin")), small);
    EXPECT_TRUE(test::readFile(dir.file("large-" + marker + ".bin")) == large) << "large attachment differs";
  }
}

TEST_F(TlsEndToEnd, Refusals) {
  QEL_E2E_REQUIRE(kCramServers, servers);
  const struct {
    const char* name;
    const char* port;
    int32_t mode;
    bool withCa;
    int32_t result;
    const char* text;
  } cases[] = {
      // The plain port offers no STARTTLS: AUTH is not even tried.
      {"STARTTLS required, not offered", "SMTP_PORT", QEL_TLS_STARTTLS, true, QEL_ERR_TLS_NOT_OFFERED,
       "Server does not offer TLS. STARTTLS not in the EHLO reply"},
      {"CA not trusted", "SMTPS_PORT", QEL_TLS_IMPLICIT, false, QEL_ERR_TLS_UNTRUSTED,
       "Server certificate not trusted. unable to get local issuer certificate"},
      {"CA not trusted after STARTTLS", "SUBMISSION_PORT", QEL_TLS_STARTTLS, false, QEL_ERR_TLS_UNTRUSTED,
       "Server certificate not trusted. "},
      // A certificate for other.test only, reached as 127.0.0.1.
      {"a certificate for another name", "SMTPS_OTHER_NAME_PORT", QEL_TLS_IMPLICIT, true, QEL_ERR_TLS_NAME_MISMATCH,
       "Server certificate is not for this server name. IP address mismatch"},
      {"expired certificate", "SMTPS_EXPIRED_PORT", QEL_TLS_IMPLICIT, true, QEL_ERR_TLS_UNTRUSTED,
       "Server certificate not trusted. certificate has expired"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t result = smtpConnect(c.port, c.mode, c.withCa);
    EXPECT_EQ(result, c.result);
    EXPECT_NE(errorText(result).find(c.text), std::string::npos) << errorText(result);
    std::string log = test::readFile(dir.file("smtp.log"));
    EXPECT_EQ(log.find("S: AUTH"), std::string::npos) << log;
    qelAbort(0);
  }
  // The check turned off: the untrusted certificate is taken, and the log
  // says so.
  qelIntegerParam(0, QEL_PARAM_TLS_VERIFY, 0);
  EXPECT_EQ(smtpConnect("SMTPS_PORT", QEL_TLS_IMPLICIT, false), 0);
  EXPECT_EQ(qelClose(0), 0);
  EXPECT_NE(test::readFile(dir.file("smtp.log")).find("certificate NOT checked"), std::string::npos);
}

TEST_F(TlsEndToEnd, EightChannelsFromOneThread) {
  QEL_E2E_REQUIRE(kCramServers, servers);
  std::string maildir;
  std::string box = makeBox(servers, &maildir);
  ASSERT_FALSE(box.empty());
  ASSERT_FALSE(putMessage(servers, maildir, "Subject: one\n\nbody\n").empty());
  for (int32_t i = 0; i < kChannels; ++i) {
    qelIntegerParam(i, QEL_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(pop3Connect(i, i % 2 == 0 ? "POP3S_PORT" : "POP3_PORT", i % 2 == 0 ? QEL_TLS_IMPLICIT : QEL_TLS_STARTTLS,
                          box),
              0);
  }
  // Connect, count, QUIT: each phase on all channels at once.
  for (int phase = 0; phase < 3; ++phase) {
    std::vector<int32_t> results(kChannels, 1);
    for (int rounds = 0; rounds < 5000000; ++rounds) {
      bool running = false;
      for (int32_t i = 0; i < kChannels; ++i) {
        if (results[i] > 0) results[i] = qelDriver(i);
        running = running || results[i] > 0;
      }
      if (!running) break;
    }
    for (int32_t i = 0; i < kChannels; ++i) {
      ASSERT_EQ(results[i], 0) << "channel " << i << " phase " << phase;
      if (phase == 1) {
        EXPECT_EQ(qelStatistics(i, QEL_STAT_MESSAGE_COUNT), 1) << "channel " << i;
      }
      if (phase == 0) {
        EXPECT_EQ(qelGetEmailCount(i), 0);
      } else if (phase == 1) {
        EXPECT_EQ(qelClose(i), 0);
      }
    }
  }
}

}  // namespace
}  // namespace qel::e2e
