// The login digests against published vectors.
#include <gtest/gtest.h>

#include <string>

#include "digest_vectors.h"
#include "platform/digest.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

TEST(Digest, PublishedVectors) {
  uint8_t out[64];
  for (const auto& v : kSha256Vectors) {
    std::string data = vectorBytes(v.data);
    ASSERT_TRUE(plat::sha256(data.data(), data.size(), out));
    EXPECT_EQ(hexOf(out, 32), v.digest) << v.data;
  }
  for (const auto& v : kHmacVectors) {
    std::string key = vectorBytes(v.key);
    std::string data = vectorBytes(v.data);
    ASSERT_TRUE(plat::hmacSha256(key.data(), key.size(), data.data(), data.size(), out));
    EXPECT_EQ(hexOf(out, 32), v.mac) << v.data;
  }
  for (const auto& v : kPbkdf2Vectors) {
    std::string password = v.password;
    std::string salt = v.salt;
    ASSERT_TRUE(plat::pbkdf2Sha256(password.data(), password.size(), salt.data(), salt.size(), v.iterations, out, 64));
    EXPECT_EQ(hexOf(out, 64), v.derived) << v.password;
  }
  EXPECT_FALSE(plat::pbkdf2Sha256("p", 1, "s", 1, 0, out, 32));
  uint8_t first[16] = {};
  uint8_t second[16] = {};
  ASSERT_TRUE(plat::secureRandom(first, sizeof first));
  ASSERT_TRUE(plat::secureRandom(second, sizeof second));
  EXPECT_NE(hexOf(first, 16), hexOf(second, 16));
}

}  // namespace
