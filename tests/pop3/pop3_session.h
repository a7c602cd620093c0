// Shared set-up of the POP3 protocol tests: a channel logged in to a
// scripted server with USER and PASS.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "frame/channel.h"
#include "qel32.h"
#include "support/library.h"
#include "support/script_server.h"

namespace qel::test {

constexpr const char* kLoopback = "127.0.0.1";

// The server's side of a USER/PASS login as user "u" with password "p".
inline std::vector<Step> loginSteps() {
  return {Send("+OK ready\r\n"), ExpectLine("USER u"), Send("+OK\r\n"), ExpectLine("PASS p"),
          Send("+OK logged in\r\n")};
}
constexpr const char* kLoginTranscript = "USER u\r\nPASS p\r\n";

// The login steps followed by the steps of the test.
inline std::vector<Step> afterLogin(std::vector<Step> steps) {
  std::vector<Step> all = loginSteps();
  for (Step& step : steps) all.push_back(std::move(step));
  return all;
}

class Pop3Channel : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  TempDir dir;

  // Points channel 0 at the server and logs in; the result of the login.
  int32_t connect(const ScriptServer& server, const char* user = "u", const char* password = "p") {
    qelIntegerParam(0, QEL_PARAM_POP3_PORT, server.port());
    return qelPop3Connect(0, kLoopback, user, password);
  }

  // Everything the client sent after the login.
  static std::string afterLoginTranscript(const ScriptServer& server) {
    std::string all = server.received();
    std::string login = kLoginTranscript;
    return all.compare(0, login.size(), login) == 0 ? all.substr(login.size()) : "<no login> " + all;
  }

  // The text qelErrorText gives for code on channel 0.
  static std::string errorText(int32_t code) {
    char text[300];
    qelErrorText(0, code, text, sizeof text);
    return text;
  }
};

}  // namespace qel::test
