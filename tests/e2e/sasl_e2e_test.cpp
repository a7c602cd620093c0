// Negotiated login against real Postfix and Dovecot over STARTTLS/STLS, with
// Dovecot's auth_mechanisms set in turn to six lists (one server pair per
// list, tests/e2e/CMakeLists.txt): SMTP logs in with the strongest
// mechanism offered and sends; POP3 logs in with each SASL mechanism its
// CAPA offers.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "e2e/e2e_env.h"
#include "qel32.h"
#include "support/library.h"

namespace qel::e2e {
namespace {

constexpr int kDeliveryWaitMs = 30000;

struct MechanismBit {
  const char* name;
  int32_t bit;
};
constexpr MechanismBit kBits[] = {
    {"SCRAM-SHA-256", QEL_AUTH_SCRAM_SHA_256}, {"CRAM-MD5", QEL_AUTH_CRAM_MD5},
    {"PLAIN", QEL_AUTH_PLAIN},                 {"LOGIN", QEL_AUTH_LOGIN},
};

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return text;
}

class SaslEndToEnd : public ::testing::Test {
 protected:
  test::Attached lib{1};
  test::TempDir dir;

  void negotiate(const Servers& servers, int32_t mask) {
    qelIntegerParam(0, QEL_PARAM_NEGOTIATE_LOGIN, 1);
    qelIntegerParam(0, QEL_PARAM_AUTH_MECHANISMS, mask);
    qelIntegerParam(0, QEL_PARAM_TLS_MODE, QEL_TLS_STARTTLS);
    qelStringParam(0, QEL_STRING_CA_FILE, servers.get("TLS_CA_FILE").c_str());
    qelStringParam(0, QEL_STRING_LOGIN_USER, servers.get("ALICE_USER").c_str());
    qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, servers.get("ALICE_PASSWORD").c_str());
  }
};

TEST_F(SaslEndToEnd, EveryMechanismListOverTls) {
  const struct {
    const char* config;
    const char* smtpChoice;  // the strongest of the list
  } cases[] = {
      {"sasl_plain", "PLAIN"},
      {"sasl_plain_login", "PLAIN"},
      {"sasl_login", "LOGIN"},
      {"sasl_plain_login_cram", "CRAM-MD5"},
      {"sasl_cram_plain", "CRAM-MD5"},
      {"sasl_scram_plain", "SCRAM-SHA-256"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    Servers servers;
    QEL_E2E_REQUIRE(c.config, servers);
    std::string smtpLog = dir.file(std::string(c.config) + "-smtp.log");
    qelStringParam(0, QEL_STRING_LOG_FILE, smtpLog.c_str());
    negotiate(servers, 0);
    qelIntegerParam(0, QEL_PARAM_SMTP_PORT, servers.port("SUBMISSION_PORT"));
    std::string from = "Alice <" + servers.get("ALICE_ADDRESS") + ">";
    ASSERT_EQ(qelSmtpConnect(0, servers.get("SMTP_HOST").c_str(), from.c_str(), nullptr), 0)
        << test::readFile(smtpLog);
    std::string marker = "qel-e2e-sasl-" + std::to_string(std::random_device()());
    std::string to = "<" + servers.get("BOB_ADDRESS") + ">";
    EXPECT_EQ(qelSendEmail(0, to.c_str(), nullptr, nullptr, marker.c_str(), "negotiated login", nullptr), 0);
    EXPECT_EQ(qelClose(0), 0);
    std::string log = test::readFile(smtpLog);
    EXPECT_NE(log.find(std::string("AUTH ") + c.smtpChoice + " ok"), std::string::npos) << log;
    EXPECT_EQ(log.find(servers.get("ALICE_PASSWORD")), std::string::npos);
    EXPECT_FALSE(waitForMessage(servers.get("BOB_MAILDIR"), marker, kDeliveryWaitMs).empty());

    // POP3: each mechanism of the list, forced by the mask.
    std::istringstream list(servers.get("AUTH_MECHANISMS"));
    for (std::string name; list >> name;) {
      SCOPED_TRACE(name);
      int32_t bit = 0;
      for (const auto& entry : kBits) {
        if (upper(name) == entry.name) bit = entry.bit;
      }
      ASSERT_NE(bit, 0);
      std::string pop3Log = dir.file(std::string(c.config) + "-" + name + "-pop3.log");
      qelStringParam(0, QEL_STRING_LOG_FILE, pop3Log.c_str());
      negotiate(servers, bit);
      qelIntegerParam(0, QEL_PARAM_POP3_PORT, servers.port("POP3_PORT"));
      ASSERT_EQ(qelPop3Connect(0, servers.get("POP3_HOST").c_str(), servers.get("ALICE_USER").c_str(),
                               servers.get("ALICE_PASSWORD").c_str()), 0) << test::readFile(pop3Log);
      EXPECT_GE(qelGetEmailCount(0), 0);
      EXPECT_EQ(qelClose(0), 0);
      log = test::readFile(pop3Log);
      EXPECT_NE(log.find("AUTH " + upper(name) + " ok"), std::string::npos) << log;
    }
  }
}

}  // namespace
}  // namespace qel::e2e
