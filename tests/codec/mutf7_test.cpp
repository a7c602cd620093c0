// Modified UTF-7 folder names both ways, with destinations of exact size.
#include <gtest/gtest.h>

#include <string>

#include "codec/mutf7.h"
#include "exact_buffer.h"

using namespace qel;
using qel::test::ExactBuffer;

namespace {

struct Pair {
  std::string utf7;
  std::string utf8;
};
const Pair kPairs[] = {
    {"INBOX", "INBOX"},
    {"&-", "&"},
    {"Tom &- Jerry", "Tom & Jerry"},
    {"&AOk-t&AOk-", "\xC3\xA9t\xC3\xA9"},                                       // été
    {"~peter/mail/&U,BTFw-/&ZeVnLIqe-", "~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
    {"&2D3eAA-", "\xF0\x9F\x98\x80"},                                           // U+1F600, a surrogate pair
    {"&AAk-", "\t"},                                                            // a control character is encoded
    {"", ""},
};

TEST(ModifiedUtf7, BothWays) {
  for (const Pair& p : kPairs) {
    ExactBuffer decoded(p.utf8.size() + 1);
    ExactBuffer source = ExactBuffer::of(p.utf7, false);
    EXPECT_EQ(mutf7ToUtf8(source.data(), static_cast<int32_t>(p.utf7.size()), decoded.data(),
                          static_cast<int32_t>(decoded.size())),
              static_cast<int32_t>(p.utf8.size()))
        << p.utf7;
    EXPECT_EQ(std::string(decoded.data()), p.utf8) << p.utf7;
    ExactBuffer encoded(p.utf7.size() + 1);
    ExactBuffer text = ExactBuffer::of(p.utf8, false);
    EXPECT_EQ(utf8ToMutf7(text.data(), static_cast<int32_t>(p.utf8.size()), encoded.data(),
                          static_cast<int32_t>(encoded.size())),
              static_cast<int32_t>(p.utf7.size()))
        << p.utf7;
    EXPECT_EQ(std::string(encoded.data()), p.utf7);
    // One byte less room is refused, never cut.
    if (!p.utf8.empty()) {
      ExactBuffer small(p.utf8.size());
      EXPECT_EQ(mutf7ToUtf8(source.data(), static_cast<int32_t>(p.utf7.size()), small.data(),
                            static_cast<int32_t>(small.size())),
                kMutf7NoRoom);
      ExactBuffer smallUtf7(p.utf7.size());
      EXPECT_EQ(utf8ToMutf7(text.data(), static_cast<int32_t>(p.utf8.size()), smallUtf7.data(),
                            static_cast<int32_t>(smallUtf7.size())),
                kMutf7NoRoom);
    }
  }
}

TEST(ModifiedUtf7, MalformedIsRefused) {
  const std::string undecodable[] = {
      "&",            // no closing "-"
      "&AOk",         // no closing "-"
      "&AOk-&AOk-",   // two runs with nothing between
      "&AGE-",        // "a" encoded though it stands for itself
      "&AAA-",        // U+0000
      "&2D0-",        // a high surrogate alone
      "&3gA-",        // a low surrogate alone
      "&AO-",         // 12 bits left over
      "&AOl-",        // padding bits not zero
      "&AO/-",        // "/" is not in the modified alphabet
      "caf\xC3\xA9",  // raw 8-bit
      "a\tb",         // raw control character
      std::string("a\0b", 3),
  };
  for (const std::string& s : undecodable) {
    char out[64];
    EXPECT_EQ(mutf7ToUtf8(s.data(), static_cast<int32_t>(s.size()), out, sizeof out), kMutf7Malformed) << s;
    EXPECT_EQ(out[0], '\0');
  }
  const std::string unencodable[] = {"\xC3", "\xED\xA0\x80", "\xC0\xAF", std::string("a\0b", 3)};
  for (const std::string& s : unencodable) {
    char out[64];
    EXPECT_EQ(utf8ToMutf7(s.data(), static_cast<int32_t>(s.size()), out, sizeof out), kMutf7Malformed) << s;
  }
}

}  // namespace
