// POP3 over TLS: STLS right after the greeting (APOP keeps the greeting's
// timestamp), pop3s, refusals that send nothing more, and downloads whose
// records hold more than one read takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/settings.h"
#include "pop3_session.h"
#include "codec/md5.h"
#include "support/channel_setup.h"
#include "support/tls_server_side.h"

using namespace qel;
using namespace qel::test;

namespace {

std::string apopLine(const std::string& stamp, const std::string& password) {
  std::string text = stamp + password;
  uint8_t digest[kMd5DigestBytes];
  md5Digest(text.data(), text.size(), digest);
  char hex[kMd5HexChars + 1];
  hexDigest(digest, hex);
  return std::string("APOP u ") + hex;
}

class Pop3Tls : public Pop3Channel {
 protected:
  int32_t connectTls(const ScriptServer& server, int32_t mode) {
    qelIntegerParam(0, QEL_PARAM_TLS_MODE, mode);
    qelStringParam(0, QEL_STRING_CA_FILE, testCertFile("ca.pem").c_str());
    return connect(server);
  }
};

TEST_F(Pop3Tls, ModesAndRefusals) {
  const std::vector<Step> login{ExpectLine("USER u"), Send("+OK\r\n"), ExpectLine("PASS p"), Send("+OK in\r\n")};
  auto with = [&login](std::vector<Step> first) {
    first.insert(first.end(), login.begin(), login.end());
    return first;
  };
  const struct {
    const char* name;
    int32_t mode;
    int32_t apop;
    std::vector<Step> script;
    int32_t result;
    std::string transcript;
    const char* errorText;
  } cases[] = {
      {"STLS", QEL_TLS_STARTTLS, 0, with({Send("+OK ready\r\n"), ExpectLine("STLS"), Send("+OK go\r\n"), StartTls()}),
       0, std::string("STLS\r\n") + kLoginTranscript, ""},
      {"STLS with APOP", QEL_TLS_STARTTLS, 1,
       {Send("+OK ready <7.1@mail.test>\r\n"), ExpectLine("STLS"), Send("+OK go\r\n"), StartTls(),
        ExpectLine(apopLine("<7.1@mail.test>", "p")), Send("+OK in\r\n")},
       0, "STLS\r\n" + apopLine("<7.1@mail.test>", "p") + "\r\n", ""},
      {"pop3s", QEL_TLS_IMPLICIT, 0, with({StartTls(), Send("+OK ready\r\n")}), 0, kLoginTranscript, ""},
      {"optional, refused", QEL_TLS_STARTTLS_OPTIONAL, 0,
       with({Send("+OK ready\r\n"), ExpectLine("STLS"), Send("-ERR no TLS here\r\n")}), 0,
       std::string("STLS\r\n") + kLoginTranscript, ""},
      // No user name leaves the client after a refusal.
      {"required, refused", QEL_TLS_STARTTLS, 0,
       {Send("+OK ready\r\n"), ExpectLine("STLS"), Send("-ERR no TLS here\r\n"), ExpectClose()},
       QEL_ERR_TLS_NOT_OFFERED, "STLS\r\n", "Server does not offer TLS. -ERR no TLS here"},
      {"untrusted CA", QEL_TLS_STARTTLS, 0,
       {Send("+OK ready\r\n"), ExpectLine("STLS"), Send("+OK go\r\n"), TlsRefused("untrusted")},
       QEL_ERR_TLS_UNTRUSTED, "STLS\r\n", "Server certificate not trusted. "},
      {"another name", QEL_TLS_IMPLICIT, 0, {TlsRefused("other")}, QEL_ERR_TLS_NAME_MISMATCH, "",
       "Server certificate is not for this server name. "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(c.script);
    qelIntegerParam(0, QEL_PARAM_USE_APOP, c.apop);
    EXPECT_EQ(connectTls(server, c.mode), c.result);
    if (c.result < 0) {
      EXPECT_NE(errorText(c.result).find(c.errorText), std::string::npos) << errorText(c.result);
    }
    qelAbort(0);
    ASSERT_TRUE(server.finished());
    EXPECT_EQ(server.mismatches(), "");
    EXPECT_EQ(server.received(), c.transcript);
  }
}

// A whole answer comes in one TLS record: what the first read does not take
// stays decrypted inside the session, where no socket test would see it.
TEST_F(Pop3Tls, AnswersLargerThanOneReadInOneRecord) {
  settings.pop3ReadWait = 3000;
  qelIntegerParam(0, QEL_PARAM_REPLY_TIMEOUT, 3000);
  std::string body;
  for (int i = 0; i < 200; ++i) body += "line " + std::to_string(i) + " of a message in one record\r\n";
  const std::string answer = "+OK\r\nSubject: one record\r\n\r\n" + body + ".\r\n";
  for (int32_t raw : {1, 0}) {
    SCOPED_TRACE(raw ? "raw" : "decoded");
    ScriptServer server({StartTls(), Send("+OK ready\r\n"), ExpectLine("USER u"), Send("+OK\r\n"),
                         ExpectLine("PASS p"), Send("+OK in\r\n"), ExpectLine("RETR 1"), Send(answer),
                         ExpectLine("QUIT"), Send("+OK bye\r\n")});
    qelIntegerParam(0, QEL_PARAM_DECODE_STATE, raw);
    ASSERT_EQ(connectTls(server, QEL_TLS_IMPLICIT), 0);
    EXPECT_EQ(qelGetEmailFile(0, 1, "m.eml", dir.path().c_str(), dir.path().c_str()), 0);
    std::string saved = readFile(dir.file("m.eml"));
    if (raw) {
      EXPECT_EQ(saved, answer);
    } else {
      EXPECT_NE(saved.find("line 199 of a message in one record"), std::string::npos);
    }
    EXPECT_EQ(qelClose(0), 0);
    ASSERT_TRUE(server.finished());
    EXPECT_EQ(server.mismatches(), "");
  }
}

}  // namespace
