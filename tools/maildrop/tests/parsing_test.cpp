// The small parsers and checks that stand between client input and the
// file system or a login: SASL base64, the digests, envelope paths, user
// names and the command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "sasl.h"
#include "smtp_address.h"

namespace maildrop {
namespace {

TEST(Base64, DecodesOnlyStrictBase64) {
  struct Case {
    const char* text;
    bool ok;
    std::string bytes;
  };
  const Case cases[] = {
      {"", true, ""},
      {"YQ==", true, "a"},
      {"YWI=", true, "ab"},
      {"YWJj", true, "abc"},
      {"AGFsaWNlAHNlY3JldA==", true, std::string("\0alice\0secret", 13)},
      {"YQ=", false, ""},       // length not a multiple of four
      {"Y===", false, ""},      // padding too early
      {"YQ==YWJj", false, ""},  // padding before the end
      {"YW=j", false, ""},      // data after padding
      {"YW J", false, ""},      // space
      {"YW*j", false, ""},      // not in the alphabet
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(base64Decode(c.text, out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.bytes) << c.text;
    }
  }
}

TEST(Base64, EncodeDecodeRoundTripOfEveryLength) {
  std::string bytes;
  for (int length = 0; length < 70; ++length) {
    std::string encoded = base64Encode(bytes);
    EXPECT_EQ(encoded.size() % 4, 0u);
    std::string decoded;
    ASSERT_TRUE(base64Decode(encoded, decoded)) << length;
    EXPECT_EQ(decoded, bytes);
    bytes += static_cast<char>(length * 37 + 11);
  }
  EXPECT_EQ(base64Encode("Username:"), "VXNlcm5hbWU6");
}

TEST(Digests, MatchTheRfcExamples) {
  // RFC 2195, section 2, and RFC 1939, section 7.
  EXPECT_EQ(cramDigest("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"),
            "b913a602c7eda7a495b4e6e7334d3890");
  EXPECT_EQ(apopDigest("<1896.697170952@dbc.mtview.ca.us>", "tanstaaf"), "c4c9334bac560ecc979e58001b3e22fb");
  EXPECT_TRUE(sameDigest("c4c9334bac560ecc979e58001b3e22fb", "C4C9334BAC560ECC979E58001B3E22FB"));
  EXPECT_FALSE(sameDigest("c4c9334bac560ecc979e58001b3e22fb", "c4c9334bac560ecc979e58001b3e22fc"));
  EXPECT_FALSE(sameDigest("c4c9334bac560ecc979e58001b3e22fb", "c4c9334bac560ecc979e58001b3e22f"));
  EXPECT_NE(makeChallenge("h"), makeChallenge("h"));
}

TEST(ParsePath, TakesBracketedPathsAndParameters) {
  struct Case {
    std::string text;
    bool ok;
    const char* address;
    std::vector<std::string> parameters;
  };
  const Case cases[] = {
      {"<a@b.c>", true, "a@b.c", {}},
      {" <a@b.c>", true, "a@b.c", {}},
      {"<>", true, "", {}},
      {"<a@b.c> SIZE=10  BODY=8BITMIME", true, "a@b.c", {"SIZE=10", "BODY=8BITMIME"}},
      {"<a@b.c> ", true, "a@b.c", {}},
      {"<@relay.x,@r2.y:a@b.c>", true, "a@b.c", {}},
      {"a@b.c", false, "", {}},
      {"<a@b.c", false, "", {}},
      {"<a b@c>", false, "", {}},
      {"<a\r@c>", false, "", {}},
      {"<@relay.x>", false, "", {}},
      {"<" + std::string(kMaxPathChars + 1, 'a') + ">", false, "", {}},
  };
  for (const Case& c : cases) {
    std::string address;
    std::vector<std::string> parameters;
    EXPECT_EQ(parsePath(c.text, address, parameters), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(address, c.address) << c.text;
    EXPECT_EQ(parameters, c.parameters) << c.text;
  }
  EXPECT_EQ(localPartOf("a@b@c"), "a@b");
  EXPECT_EQ(localPartOf("postmaster"), "postmaster");
}

TEST(UserNames, OnlySafeDirectoryNames) {
  const char* good[] = {"alice", "Bob.Smith", "a_b-c", "x1", "a..b"};
  const char* bad[] = {"", ".", "..", ".hidden", "a/b", "../x", "a b", "a:b", "a\\b", "a\xc3\xa9"};
  for (const char* name : good) EXPECT_TRUE(isValidUserName(name)) << name;
  for (const char* name : bad) EXPECT_FALSE(isValidUserName(name)) << name;
  EXPECT_TRUE(isValidUserName(std::string(kMaxUserNameChars, 'a')));
  EXPECT_FALSE(isValidUserName(std::string(kMaxUserNameChars + 1, 'a')));
}

ParseResult parse(std::vector<std::string> args, Options& options, std::string& error) {
  std::vector<char*> argv;
  static char program[] = "qel-maildrop";
  argv.push_back(program);
  for (std::string& arg : args) argv.push_back(&arg[0]);
  return parseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(Options, ParsesAndRefuses) {
  struct Case {
    std::vector<std::string> args;
    ParseResult result;
  };
  const Case cases[] = {
      {{"--root", "/tmp/x"}, ParseResult::Run},
      {{"--root=/tmp/x", "--smtp-port=2525", "--pop3-port", "0"}, ParseResult::Run},
      {{"--help"}, ParseResult::Help},
      {{}, ParseResult::Error},
      {{"--root"}, ParseResult::Error},
      {{"--root", "/x", "--smtp-port", "65536"}, ParseResult::Error},
      {{"--root", "/x", "--smtp-port", "-1"}, ParseResult::Error},
      {{"--root", "/x", "--user", "../x:pw"}, ParseResult::Error},
      {{"--root", "/x", "--user", "nocolon"}, ParseResult::Error},
      {{"--root", "/x", "--require-auth"}, ParseResult::Error},
      {{"--root", "/x", "--user", "a:b", "--require-auth", "--auth", ""}, ParseResult::Error},
      {{"--root", "/x", "--auth", "DIGEST-MD5"}, ParseResult::Error},
      {{"--root", "/x", "--max-size", "12"}, ParseResult::Error},
      {{"--root", "/x", "--timeout", "0"}, ParseResult::Error},
      {{"--root", "/x", "--hostname", "a/b"}, ParseResult::Error},
      {{"--root", "/x", "--accept-all=1"}, ParseResult::Error},
      {{"--root", "/x", "--frobnicate"}, ParseResult::Error},
  };
  for (const Case& c : cases) {
    Options options;
    std::string error;
    ParseResult result = parse(c.args, options, error);
    EXPECT_EQ(static_cast<int>(result), static_cast<int>(c.result)) << (c.args.empty() ? "" : c.args.back());
    if (result == ParseResult::Error) {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(Options, KeepsUsersMechanismsAndLimits) {
  Options options;
  std::string error;
  ASSERT_EQ(parse({"--root", "/r", "--user", "alice:pa:ss", "--auth", "login, plain", "--max-size", "4096",
                   "--timeout", "3", "--require-auth", "--accept-all"},
                  options, error),
            ParseResult::Run)
      << error;
  EXPECT_EQ(options.users.at("alice"), "pa:ss");
  EXPECT_EQ(options.mechanisms, (std::vector<std::string>{"LOGIN", "PLAIN"}));
  EXPECT_EQ(options.maxMessageBytes, 4096u);
  EXPECT_EQ(options.idleSeconds, 3);
  EXPECT_TRUE(options.requireAuth);
  EXPECT_TRUE(options.acceptAll);
}

}  // namespace
}  // namespace maildrop
