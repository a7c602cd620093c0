// The mechanism table: each QEL_AUTH_* bit with its name both ways, the
// traits that keep secrets off clear connections, and the order of the
// choice.
#include <gtest/gtest.h>

#include <string>

#include "qel32.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"

using namespace qel;

namespace {

TEST(SaslMechanisms, TableRowsAndOrder) {
  // Strongest first.
  const struct {
    uint32_t bit;
    std::string name;
  } rows[] = {{QEL_AUTH_OAUTHBEARER, "OAUTHBEARER"}, {QEL_AUTH_XOAUTH2, "XOAUTH2"},
              {QEL_AUTH_SCRAM_SHA_256, "SCRAM-SHA-256"}, {QEL_AUTH_CRAM_MD5, "CRAM-MD5"},
              {QEL_AUTH_PLAIN, "PLAIN"}, {QEL_AUTH_LOGIN, "LOGIN"}};
  uint32_t weaker = 0;
  for (const auto& row : rows) weaker |= row.bit;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(mechanismName(row.bit), row.name);
    EXPECT_EQ(mechanismNamed(row.name.c_str(), static_cast<int32_t>(row.name.size())), row.bit);
    EXPECT_EQ(strongestMechanism(weaker), row.bit);
    weaker &= ~row.bit;
  }
  EXPECT_EQ(mechanismNamed("GSSAPI", 6), 0u);
  EXPECT_EQ(mechanismsWith(kUsesToken), static_cast<uint32_t>(QEL_AUTH_OAUTHBEARER | QEL_AUTH_XOAUTH2));
  EXPECT_EQ(mechanismsWith(kReadableSecret),
            static_cast<uint32_t>(QEL_AUTH_OAUTHBEARER | QEL_AUTH_XOAUTH2 | QEL_AUTH_PLAIN | QEL_AUTH_LOGIN));
}

}  // namespace
