// Quoted-printable decoding and its two small helpers.
#include <gtest/gtest.h>

#include <string>

#include "codec/quoted_printable.h"
#include "exact_buffer.h"

using namespace qel;
using qel::test::ExactBuffer;

namespace {

TEST(QpDecode, Lines) {
  struct Case {
    std::string source;
    std::string expected;
  } cases[] = {
      {"plain text", "plain text"},
      {"soft break=\r\n", "soft break"},  // the "=" and the line end go
      {"=\r\nnext", ""},
      {"a=\r", "a"},
      {"a=3Db", "a=b"},
      {"=e9", "\x09"},                    // lower-case "e" counts as 0
      {"=3d", "0"},
      {"caf=C3=A9\r\n", "caf\xC3\xA9\r\n"},  // CR and LF stay
      {"=\"quoted\"", "=\"quoted\""},     // the edge of an encoded word
      {"=?iso?Q?x?=", "=?iso?Q?x?="},
      {"snake_case", "snake_case"},       // no underscore to space
      {"line=\n", "line"},               // so is "=" and a bare LF
      {"end=", "end="},                   // fewer than two characters after "="
      {"end=4", "end=4"},
      {"==41", "\x04" "1"},            // "=" and "4" taken as the two digits
      {"=41=", "A="},
      {std::string("a=00b", 5), std::string("a\0b", 3)},
      {"", ""},
  };
  for (const Case& c : cases) {
    // The source ends exactly at its NUL and the destination has exactly its
    // room, so reading or writing a byte too many is reported.
    ExactBuffer source = ExactBuffer::of(c.source, true);
    ExactBuffer destination(c.source.size() + 1);
    int32_t count = qpDecode(source.data(), destination.data());
    EXPECT_EQ(count, static_cast<int32_t>(c.expected.size())) << c.source;
    ASSERT_GE(count, 0);
    EXPECT_EQ(destination.prefix(static_cast<size_t>(count)), c.expected) << c.source;
    EXPECT_EQ(destination.data()[count], '\0') << c.source;
  }
}

TEST(QpDecode, NullPointers) {
  char buffer[4] = "xyz";
  EXPECT_EQ(qpDecode(nullptr, buffer), 0);
  EXPECT_STREQ(buffer, "xyz");
  EXPECT_EQ(qpDecode("abc", nullptr), 0);
}

TEST(QpHelpers, HexValue) {
  for (int c = 0; c < 256; ++c) {
    int32_t expected = 0;
    if (c >= '0' && c <= '9') expected = c - '0';
    if (c >= 'A' && c <= 'F') expected = c - 'A' + 10;
    EXPECT_EQ(hexValue(static_cast<char>(c)), expected) << c;
  }
}

TEST(QpHelpers, FindCharN) {
  const std::string text("ab\rc\0d", 6);
  ExactBuffer buffer = ExactBuffer::of(text, false);
  const char* base = buffer.data();
  struct Case {
    char c;
    int32_t n;
    int32_t position;  // -1: none
  } cases[] = {
      {'a', 6, 0}, {'\r', 6, 2}, {'\r', 3, 2}, {'\r', 2, -1}, {'c', 6, 3},
      {'d', 6, -1},  // behind the NUL
      {'\0', 6, -1}, {'a', 0, -1}, {'a', -4, -1}, {'x', 6, -1},
  };
  for (const Case& c : cases) {
    const char* found = findCharN(base, c.c, c.n);
    EXPECT_EQ(found == nullptr ? -1 : static_cast<int32_t>(found - base), c.position)
        << static_cast<int>(c.c) << " in " << c.n;
  }
  EXPECT_EQ(findCharN(nullptr, 'a', 4), nullptr);
}

}  // namespace
