// Memory that cannot be had: every allocation a setting or an operation
// makes fails in turn, the call answers -55, and the channel then works.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "platform/platform.h"
#include "qel32.h"
#include "smtp_session.h"
#include "support/library.h"
#include "support/script_server.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr char kTo[] = "<bob@example.org>";

struct FaultCase {
  const char* name;
  std::vector<Step> dialogue;           // none: no server
  std::function<int32_t()> before;      // not counted (0 when done)
  std::function<int32_t(uint16_t)> op;  // the call whose allocations fail, given the server's port
  int32_t success;
};

int32_t smtpConnect(uint16_t port) {
  int32_t rc = qelIntegerParam(0, QEL_PARAM_SMTP_PORT, port);
  if (rc < 0) return rc;
  return qelSmtpConnect(0, "127.0.0.1", kFrom, nullptr);
}

std::string plainResponse() {
  const std::string secret("\0ann\0pw", 7);
  char out[32] = {};
  base64EncodeLine(reinterpret_cast<const uint8_t*>(secret.data()), out, static_cast<int32_t>(secret.size()));
  std::string line = out;
  return line.substr(0, line.find_first_of("\r\n"));
}

const std::vector<FaultCase> kCases = {
    {"login setting", {}, nullptr, [](uint16_t) { return qelStringParam(0, QEL_STRING_LOGIN_USER, "ann"); }, 3},
    {"token setting", {}, nullptr, [](uint16_t) { return qelStringParam(0, QEL_STRING_BEARER_TOKEN, "tok"); }, 3},
    {"SMTP setting", {}, nullptr, [](uint16_t) { return qelIntegerParam(0, QEL_PARAM_BODY_TYPE, 1); }, 1},
    {"SMTP connect", steps({greeting(), quit()}), nullptr, smtpConnect, 0},
    {"send", steps({greeting(), envelopeAndData({kTo}), quit()}), nullptr,
     [](uint16_t port) {
       int32_t rc = smtpConnect(port);
       return rc < 0 ? rc : qelSendEmail(0, kTo, nullptr, nullptr, "Hi", "Body", nullptr);
     },
     0},
    {"negotiated login",
     {Send("220 mail.test ESMTP\r\n"), ExpectLine("EHLO example.org"), Send("250-mail.test\r\n250 AUTH PLAIN\r\n"),
      ExpectLine("AUTH PLAIN " + plainResponse()), Send("235 ok\r\n"), ExpectLine("QUIT"), Send("221 bye\r\n"),
      ExpectClose()},
     [] {
       qelIntegerParam(0, QEL_PARAM_NEGOTIATE_LOGIN, 1);
       qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 1);
       qelStringParam(0, QEL_STRING_LOGIN_USER, "ann");
       return qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, "pw") > 0 ? 0 : -1;
     },
     smtpConnect, 0},
    {"POP3 connect",
     {Send("+OK ready\r\n"), ExpectLine("USER u"), Send("+OK\r\n"), ExpectLine("PASS p"), Send("+OK in\r\n"),
      ExpectLine("QUIT"), Send("+OK bye\r\n"), ExpectClose()},
     nullptr,
     [](uint16_t port) {
       int32_t rc = qelIntegerParam(0, QEL_PARAM_POP3_PORT, port);
       if (rc < 0) return rc;
       return qelPop3Connect(0, "127.0.0.1", "u", "p");
     },
     0},
};

// One run of a case on a fresh channel; failAt > 0 fails that allocation
// of the operation. The operation's result, and in *count its allocations.
int32_t runCase(const FaultCase& c, int32_t failAt, uint32_t* count) {
  std::unique_ptr<ScriptServer> server;
  if (!c.dialogue.empty()) server = std::make_unique<ScriptServer>(c.dialogue);
  if (c.before) {
    EXPECT_EQ(c.before(), 0);
  }
  uint32_t start = plat::allocationCount();
  plat::failAllocationAfter(failAt);
  int32_t rc = c.op(server ? server->port() : 0);
  plat::failAllocationAfter(0);
  *count = plat::allocationCount() - start;
  if (rc == c.success && server) {
    EXPECT_EQ(qelClose(0), 0);
  }
  if (rc != c.success) qelAbort(0);
  if (rc != c.success && failAt == 0 && server) ADD_FAILURE() << server->mismatches() << "\n" << server->received();
  return rc;
}

TEST(MemoryFaults, EveryAllocationOfASettingOrOperationFailsAsNoMemory) {
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.name);
    uint32_t allocations = 0;
    {
      Attached lib(1);
      qelIntegerParam(0, QEL_PARAM_MINIMUM_WAIT, 0);
      qelIntegerParam(0, QEL_PARAM_LOGIN_PAUSE, 0);
      qelIntegerParam(0, QEL_PARAM_CLOSE_PAUSE, 0);
      ASSERT_EQ(runCase(c, 0, &allocations), c.success);
      ASSERT_GT(allocations, 0u);
    }
    for (uint32_t k = 1; k <= allocations; ++k) {
      SCOPED_TRACE("allocation " + std::to_string(k));
      Attached lib(1);
      uint32_t made = 0;
      EXPECT_EQ(runCase(c, static_cast<int32_t>(k), &made), QEL_ERR_NO_MEMORY);
      // The same channel then does the whole job.
      EXPECT_EQ(runCase(c, 0, &made), c.success);
    }
  }
}

}  // namespace
