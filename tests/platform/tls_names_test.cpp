// The server-name rules every TLS backend shares: which certificate names
// cover which server names (RFC 6125), and literal IPv4 addresses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/tls_names.h"

namespace {

TEST(TlsNames, CertificateNamesAgainstServerNames) {
  const struct {
    const char* pattern;
    const char* name;
    bool matches;
  } cases[] = {
      {"localhost", "localhost", true},
      {"LocalHost", "localHOST", true},  // case-blind
      {"mail.example.test", "mail.example.test.evil", false},
      {"mail.example.test", "mail.example.tes", false},
      {"*.example.test", "mail.example.test", true},
      {"*.example.test", "MAIL.Example.Test", true},
      {"*.example.test", "a.mail.example.test", false},  // one label only
      {"*.example.test", "example.test", false},
      {"*.example.test", ".example.test", false},  // never an empty label
      {"f*.partial.test", "foo.partial.test", false},  // no partial wildcards
      {"mail.*.test", "mail.example.test", false},      // left-most label only
      {"*.test", "example.test", false},                // not a whole top-level domain
      {"*", "localhost", false},
      {"", "localhost", false},
      {"localhost", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qel::plat::hostNameMatches(c.pattern, std::strlen(c.pattern), c.name), c.matches)
        << c.pattern << " against " << c.name;
  }
  // A name with a NUL inside never matches the text before the NUL.
  EXPECT_FALSE(qel::plat::hostNameMatches("localhost\0.evil", 15, "localhost"));
}

TEST(TlsNames, DottedAddressesInPlainForm) {
  const struct {
    const char* text;
    const char* plain;  // null: not an address
  } cases[] = {
      {"127.0.0.1", "127.0.0.1"},  {"127.000.0.01", "127.0.0.1"}, {"255.255.255.255", "255.255.255.255"},
      {"256.0.0.1", nullptr},      {"1.2.3", nullptr},            {"1.2.3.4.5", nullptr},
      {"1..2.3", nullptr},         {"1.2.3.", nullptr},           {"localhost", nullptr},
      {"::1", nullptr},
  };
  for (const auto& c : cases) {
    char out[32] = "";
    bool isAddress = qel::plat::plainDottedAddress(c.text, out, sizeof out);
    EXPECT_EQ(isAddress, c.plain != nullptr) << c.text;
    if (isAddress && c.plain != nullptr) {
      EXPECT_STREQ(out, c.plain);
    }
  }
}

}  // namespace
