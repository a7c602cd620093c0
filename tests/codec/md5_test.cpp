// MD5, HMAC-MD5 and the digest text, against published test vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/base64.h"
#include "codec/md5.h"

using namespace qel;

namespace {

std::string md5Hex(const std::string& data) {
  uint8_t digest[kMd5DigestBytes];
  md5Digest(data.data(), data.size(), digest);
  char text[kMd5HexChars + 1];
  hexDigest(digest, text);
  return text;
}

std::string hmacHex(const std::string& text, const std::string& key) {
  uint8_t digest[kMd5DigestBytes];
  hmacMd5(text.data(), text.size(), key.data(), key.size(), digest);
  char hex[kMd5HexChars + 1];
  hexDigest(digest, hex);
  return hex;
}

std::string bytes(int count, uint8_t value) { return std::string(static_cast<size_t>(count), static_cast<char>(value)); }

std::string counting(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += static_cast<char>(i);
  return s;
}

TEST(Md5, Rfc1321SuiteAndBlockBoundaries) {
  struct Case {
    std::string data;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // Lengths around the padding limits (55/56 bytes into a block, whole
      // blocks); digests computed with an independent implementation.
      {bytes(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {bytes(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {bytes(63, 'a'), "b06521f39153d618550606be297466d5"},
      {bytes(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {bytes(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
      {bytes(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {bytes(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
      {bytes(128, 'a'), "e510683b3f5ffe4093d021808bc6ff70"},
      {bytes(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const Case& c : cases) EXPECT_EQ(md5Hex(c.data), c.digest) << "length " << c.data.size();
}

TEST(HmacMd5, Rfc2104AndRfc2202Vectors) {
  struct Case {
    std::string key;
    std::string text;
    const char* digest;
  } cases[] = {
      {bytes(16, 0x0b), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {bytes(16, 0xaa), bytes(50, 0xdd), "56be34521d144c88dbb8c733f0e8b3f6"},
      {counting(1, 25), bytes(50, 0xcd), "697eaf0aca3a3aea3a75164746ffaa79"},
      {bytes(16, 0x0c), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
      // Keys longer than a block are replaced by their digest first.
      {bytes(80, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {bytes(80, 0xaa), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "6f630fad67cda0ee1fb1f562db3aa53e"},
      // A key of exactly one block is used as it is; one byte more is hashed
      // (digests from an independent implementation).
      {counting(0, 63), "Hi There", "f2e23138710750ab7037c59f08d5a4ee"},
      {counting(0, 64), "Hi There", "a596c2189b3b093a38092222f7378002"},
      {"", "", "74e6f7298a9c2d168935f58c001bad88"},
  };
  for (const Case& c : cases) EXPECT_EQ(hmacHex(c.text, c.key), c.digest) << c.text;
}

TEST(HmacMd5, KeyLongerThanBlockEqualsItsDigestAsKey) {
  for (int length : {64, 65, 200}) {
    std::string key = counting(0, length - 1);
    uint8_t keyDigest[kMd5DigestBytes];
    md5Digest(key.data(), key.size(), keyDigest);
    std::string hashedKey(reinterpret_cast<const char*>(keyDigest), sizeof keyDigest);
    if (length > 64) {
      EXPECT_EQ(hmacHex("challenge", key), hmacHex("challenge", hashedKey)) << length;
    } else {
      EXPECT_NE(hmacHex("challenge", key), hmacHex("challenge", hashedKey)) << length;
    }
  }
}

// The CRAM-MD5 example of RFC 2195, through to the base64 line the client
// sends.
TEST(HmacMd5, CramMd5Example) {
  const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
  const std::string response = "tim " + hmacHex(challenge, "tanstaaftanstaaf");
  EXPECT_EQ(response, "tim b913a602c7eda7a495b4e6e7334d3890");
  char line[4 * 12 + 2];  // 36 bytes: 12 groups and CR LF
  int32_t n = base64EncodeLine(reinterpret_cast<const uint8_t*>(response.data()), line,
                               static_cast<int32_t>(response.size()));
  EXPECT_EQ(std::string(line, sizeof line), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n");
  EXPECT_EQ(n, 48);
}

// The APOP example of RFC 1939: the digest of the timestamp followed by the
// shared secret.
TEST(Md5, ApopExample) {
  EXPECT_EQ(md5Hex("<1896.697170952@dbc.mtview.ca.us>tanstaaf"), "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(Md5, HexDigestIsLowerCaseHighHalfFirst) {
  const uint8_t digest[kMd5DigestBytes] = {0x00, 0x0f, 0xf0, 0xff, 0x12, 0xab, 0xcd, 0xef,
                                           0x01, 0x23, 0x45, 0x67, 0x89, 0x9a, 0xa9, 0x10};
  char* text = new char[kMd5HexChars + 1];  // exactly 33 bytes
  std::memset(text, '#', kMd5HexChars + 1);
  hexDigest(digest, text);
  EXPECT_EQ(std::string(text, kMd5HexChars + 1), std::string("000ff0ff12abcdef01234567899aa910", kMd5HexChars + 1));
  delete[] text;
}

TEST(Md5, NullPointersAreSafe) {
  uint8_t digest[kMd5DigestBytes];
  uint8_t empty[kMd5DigestBytes];
  md5Digest("", 0, empty);
  md5Digest(nullptr, 10, digest);  // no data: the digest of the empty message
  EXPECT_EQ(std::memcmp(digest, empty, sizeof digest), 0);
  md5Digest("abc", 3, nullptr);

  uint8_t keyed[kMd5DigestBytes];
  hmacMd5("", 0, "key", 3, keyed);
  hmacMd5(nullptr, 5, "key", 3, digest);
  EXPECT_EQ(std::memcmp(digest, keyed, sizeof digest), 0);
  hmacMd5("", 0, "", 0, keyed);
  hmacMd5("", 0, nullptr, 7, digest);
  EXPECT_EQ(std::memcmp(digest, keyed, sizeof digest), 0);
  hmacMd5("a", 1, "k", 1, nullptr);

  char text[kMd5HexChars + 1] = "unchanged";
  hexDigest(nullptr, text);
  EXPECT_STREQ(text, "unchanged");
  hexDigest(digest, nullptr);
}

}  // namespace
