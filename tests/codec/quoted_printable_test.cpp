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

bool appendTo(void* context, const char* bytes, int32_t n) {
  static_cast<std::string*>(context)->append(bytes, static_cast<size_t>(n));
  return true;
}

// Decodes text in two pieces cut at split (the first with more set), then
// ends the text.
std::string decodeStream(const std::string& text, size_t split, QpForm form, uint32_t* flags) {
  std::string out;
  char carry[kQpCarryRoom] = {};
  int32_t count = 0;
  *flags = qpDecodeStream(carry, &count, text.data(), static_cast<int32_t>(split), true, form, appendTo, &out);
  *flags |= qpDecodeStream(carry, &count, text.data() + split, static_cast<int32_t>(text.size() - split), false,
                           form, appendTo, &out);
  EXPECT_EQ(count, 0);
  return out;
}

// Both forms, the text whole and cut in two at every position: an escape
// or soft line break cut by the end of a piece decodes as if whole.
TEST(QpDecodeStream, SameResultWholeAndCutAnywhere) {
  const std::string nul(1, '\0');
  struct Case {
    QpForm form;
    std::string text;
    std::string expected;
    uint32_t flags;
  } cases[] = {
      {QpForm::library, "caf=C3=A9 =3D ok\r\n", "caf\xC3\xA9 = ok\r\n", 0},
      {QpForm::library, "soft =\r\n", "soft ", 0},
      {QpForm::library, "bare =\n", "bare ", 0},
      {QpForm::library, "=e9=\"q=?x", "\x09=\"q=?x", 0},   // lower-case digit as 0; word edges
      {QpForm::library, "end=", "end=", 0},
      {QpForm::library, "end=4", "end=4", 0},
      {QpForm::library, "a=3D" + nul + "b=3D", "a=" + nul + "b=", 0},
      {QpForm::library, "a=\r" + nul + "b", "a" + nul + "b", 0},  // a NUL ends the soft break
      {QpForm::library, "a=4" + nul + "=" + nul, "a=4" + nul + "=" + nul, 0},
      {QpForm::strict, "caf=c3=A9 =3d", "caf\xC3\xA9 =", 0},
      {QpForm::strict, "soft=", "soft", kQpSoftBreak},
      {QpForm::strict, "a =ZZ b", "a =ZZ b", kQpBadEscape},
      {QpForm::strict, "end=4", "end=4", kQpBadEscape},
      {QpForm::strict, "n=00ul" + nul, "n" + nul + "ul" + nul, 0},
      {QpForm::strict, std::string(1500, 'x') + "=41", std::string(1500, 'x') + "A", 0},
  };
  for (const Case& c : cases) {
    for (size_t split = 0; split <= c.text.size(); ++split) {
      uint32_t flags = 0;
      EXPECT_EQ(decodeStream(c.text, split, c.form, &flags), c.expected) << c.text << " cut at " << split;
      EXPECT_EQ(flags, c.flags) << c.text << " cut at " << split;
    }
  }
}

TEST(QpDecodeStream, ASinkThatFailsIsReported) {
  char carry[kQpCarryRoom] = {};
  int32_t count = 0;
  auto refuse = [](void*, const char*, int32_t) { return false; };
  EXPECT_EQ(qpDecodeStream(carry, &count, "abc", 3, false, QpForm::library, refuse, nullptr), kQpWriteFailed);
}

}  // namespace
