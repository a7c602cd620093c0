// SCRAM-SHA-256 against RFC 7677's exchange: the proof we send, the server
// signature we accept, and the server messages we refuse.
#include <gtest/gtest.h>

#include <string>

#include "../platform/digest_vectors.h"
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "qel32.h"
#include "sasl/sasl.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

class Scram : public ::testing::Test {
 protected:
  Attached lib{1};
  ChannelRecord* record = lib.record(0);

  void SetUp() override {
    ASSERT_EQ(openLoginState(record), 0);
    copyText(record->login->loginUser, kScramVector.user, kLoginUserCap);
    copyText(record->login->loginPassword, kScramVector.password, kLoginPasswordCap);
    record->login->saslMechanism = QEL_AUTH_SCRAM_SHA_256;
    scramTestNonce = kScramVector.clientNonce;
    ASSERT_EQ(takeSaslBuffers(record), 0);
  }
  void TearDown() override { scramTestNonce = nullptr; }

  std::string sasl() const { return std::string(record->login->saslBuffers->text, static_cast<size_t>(record->login->saslLength)); }
  int32_t answer(const std::string& challenge) {
    return saslAnswer(record, challenge.data(), static_cast<int32_t>(challenge.size()));
  }
};

TEST_F(Scram, Rfc7677Exchange) {
  ASSERT_TRUE(saslStart(record));
  EXPECT_EQ(sasl(), kScramVector.clientFirst);
  ASSERT_EQ(answer(kScramVector.serverFirst), 0);
  EXPECT_EQ(sasl(), kScramVector.clientFinal);
  EXPECT_EQ(saslFinished(record), kErrServerNotProven);  // no signature yet
  ASSERT_EQ(answer(kScramVector.serverFinal), 0);
  EXPECT_EQ(sasl(), "");
  EXPECT_EQ(saslFinished(record), 0);
}

TEST_F(Scram, ServerMessagesRefused) {
  const std::string first = kScramVector.serverFirst;
  const struct {
    const char* name;
    std::string serverFirst;
    std::string serverFinal;  // "" when the first message is refused
    const char* reason;
  } cases[] = {
      {"wrong signature", first, "v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=", "(the server signature is wrong)"},
      {"signature cut short", first, "v=6rriTRBi23WpRR/wtup+mMhU", "(the server signature is wrong)"},
      {"server error", first, "e=invalid-proof", "(the server reports an error)"},
      {"nonce not extending ours", "r=XOprNGfwEbeRWgbNEkqO%hvYD,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "",
       "(the server nonce does not extend ours)"},
      {"nonce equal to ours", "r=rOprNGfwEbeRWgbNEkqO,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "",
       "(the server nonce does not extend ours)"},
      {"mandatory extension", "m=x,r=rOprNGfwEbeRWgbNEkqOx,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", "",
       "(the server asks for an extension)"},
      {"no salt", "r=rOprNGfwEbeRWgbNEkqOx,i=4096", "", "(the server-first-message is malformed)"},
      {"no iterations", "r=rOprNGfwEbeRWgbNEkqOx,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=", "", "(bad iteration count)"},
      {"endless iterations", "r=rOprNGfwEbeRWgbNEkqOx,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=99999999999", "",
       "(bad iteration count)"},
      {"empty", "", "", "(the server-first-message is malformed)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(saslStart(record));
    if (c.serverFinal.empty()) {
      EXPECT_EQ(answer(c.serverFirst), kErrServerNotProven);
    } else {
      ASSERT_EQ(answer(c.serverFirst), 0);
      EXPECT_EQ(answer(c.serverFinal), kErrServerNotProven);
    }
    EXPECT_EQ(std::string(record->login->loginReason), c.reason);
    EXPECT_EQ(saslFinished(record), kErrServerNotProven);
  }
}

TEST_F(Scram, UserNameEscaped) {
  copyText(record->login->loginUser, "a,b=c", kLoginUserCap);
  ASSERT_TRUE(saslStart(record));
  EXPECT_EQ(sasl(), "n,,n=a=2Cb=3Dc,r=rOprNGfwEbeRWgbNEkqO");
}

}  // namespace
