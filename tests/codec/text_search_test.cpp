// Case-blind search, line copying and the two extraction exports.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "codec/text_search.h"
#include "exact_buffer.h"
#include "qel32.h"

using namespace qel;
using qel::test::ExactBuffer;

namespace {

TEST(EqualsNoCase, Comparisons) {
  struct Case {
    const char* a;
    const char* b;
    int32_t count;
    bool expected;
  } cases[] = {
      {"subject:", "SUBJECT:", 8, true},
      {"abc", "abd", 3, false},
      {"abc", "abd", 2, true},
      {"ab", "AB", 5, true},    // both end at the same place
      {"ab", "abc", 3, false},  // one ends first
      {"abc", "ab", 3, false},
      {"[", "{", 1, false},     // only a-z and A-Z are folded
      {"@", "`", 1, false},
      {"\xE9", "\xC9", 1, false},
      {"abc", "abc", 0, false},
      {"abc", "xyz", -1, true},  // a negative count compares nothing
      {"", "", 1, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(equalsNoCase(c.a, c.b, c.count), c.expected) << c.a << " / " << c.b << " / " << c.count;
  }
  EXPECT_FALSE(equalsNoCase(nullptr, "a", 1));
  EXPECT_FALSE(equalsNoCase("a", nullptr, 1));
}

TEST(FindTextNoCase, Positions) {
  struct Case {
    const char* text;
    const char* search;
    int32_t position;  // -1: none
  } cases[] = {
      {"From: a\r\nsubject: hi\r\n", "Subject:", 9},
      {"X-Original-To: z\r\nTo: y\r\n", "To:", 11},  // inside another line first
      {"Subject x\r\n", "Subject:", -1},
      {"Subjects: x", "Subject:", -1},
      {"abcABC", "C", 2},
      {"abc", "abc", 0},
      {"abc", "bc", 1},      // a match that ends with the text
      {"abc", "abcd", -1},   // longer than the text
      {"abc", "", -1},       // an empty search never matches
      {"", "", -1},
      {"", "a", -1},
  };
  for (const Case& c : cases) {
    ExactBuffer text = ExactBuffer::of(c.text, true);
    const char* found = findTextNoCase(static_cast<const char*>(text.data()), c.search);
    EXPECT_EQ(found == nullptr ? -1 : static_cast<int32_t>(found - text.data()), c.position)
        << c.text << " / " << c.search;
  }
  char writable[] = "one Two";
  EXPECT_EQ(findTextNoCase(writable, "two"), writable + 4);
  EXPECT_EQ(findTextNoCase(static_cast<const char*>(nullptr), "a"), nullptr);
  EXPECT_EQ(findTextNoCase("a", nullptr), nullptr);
}

TEST(CopyLine, FitsAndOverflows) {
  struct Case {
    std::string source;
    int32_t size;
    int32_t expected;
    std::string buffer;  // the whole buffer afterwards
  } cases[] = {
      {"ab\r\ncd", 5, 4, std::string("ab\r\n\0", 5)},
      {"ab\r\ncd", 6, 4, std::string("ab\r\n\0#", 6)},
      {"ab\r\ncd", 4, 0, std::string("ab\r\0", 4)},  // too long: cut and terminated
      {"abc", 4, 3, std::string("abc\0", 4)},       // a last line that just fits
      {"abc", 3, 0, std::string("ab\0", 3)},
      {"abc", 9, 3, std::string("abc\0#####", 9)},
      {"\r\nx", 3, 2, std::string("\r\n\0", 3)},    // an empty line
      {"\nx", 2, 1, std::string("\n\0", 2)},
      {"", 2, 0, std::string("\0#", 2)},
      {"abc", 1, 0, "#"},
      {"abc", 0, 0, ""},
  };
  for (const Case& c : cases) {
    ExactBuffer source = ExactBuffer::of(c.source, true);
    ExactBuffer buffer(static_cast<size_t>(c.size));
    EXPECT_EQ(copyLine(source.data(), buffer.data(), c.size), c.expected) << c.source << " in " << c.size;
    EXPECT_EQ(buffer.bytes(), c.buffer) << c.source << " in " << c.size;
  }
  char buffer[4] = "xyz";
  EXPECT_EQ(copyLine("abc", buffer, -5), 0);
  EXPECT_EQ(copyLine(nullptr, buffer, 4), 0);
  EXPECT_STREQ(buffer, "xyz");
  EXPECT_EQ(copyLine("abc", nullptr, 4), 0);
}

const char kHeader[] =
    "Return-Path: <a@b>\r\n"
    "X-Original-To: z@y\r\n"
    "subject: Lunch\r\n"
    "To: y@z\r\n"
    "\r\n"
    "last line";

TEST(ExtractText, Searches) {
  struct Case {
    const char* search;
    int32_t size;
    std::string expected;  // "" with a result of 0
  } cases[] = {
      {"Subject:", 64, "subject: Lunch\r\n"},
      {"SUBJECT:", 17, "subject: Lunch\r\n"},  // exactly its room
      {"Subject:", 16, ""},                    // one byte short
      {"To:", 64, "To: z@y\r\n"},              // first found inside another header
      {"r", 64, "Return-Path: <a@b>\r\n"},  // one letter, in either case
      {"T", 64, "turn-Path: <a@b>\r\n"},
      {"line", 64, "line"},                    // the end of a text without a line feed
      {"Subject ", 64, ""},
      {"", 64, ""},
      {"Cc:", 64, ""},
  };
  for (const Case& c : cases) {
    ExactBuffer buffer(static_cast<size_t>(c.size));
    int32_t result = qelExtractText(kHeader, c.search, buffer.data(), c.size);
    EXPECT_EQ(result, static_cast<int32_t>(c.expected.size())) << c.search;
    if (result > 0) {
      EXPECT_EQ(buffer.prefix(static_cast<size_t>(result) + 1), c.expected + '\0') << c.search;
    }
  }
}

TEST(ExtractLine, Numbers) {
  struct Case {
    int32_t line;
    int32_t size;
    std::string expected;
  } cases[] = {
      {1, 64, "Return-Path: <a@b>\r\n"},
      {0, 64, "Return-Path: <a@b>\r\n"},
      {INT_MIN, 64, "Return-Path: <a@b>\r\n"},
      {3, 64, "subject: Lunch\r\n"},
      {5, 64, "\r\n"},          // an empty line
      {5, 3, "\r\n"},
      {6, 64, "last line"},     // no final line feed
      {6, 10, "last line"},
      {6, 9, ""},
      {7, 64, ""},              // past the end
      {INT_MAX, 64, ""},
      {1, 20, ""},              // longer than size - 1
  };
  for (const Case& c : cases) {
    ExactBuffer buffer(static_cast<size_t>(c.size));
    int32_t result = qelExtractLine(kHeader, c.line, buffer.data(), c.size);
    EXPECT_EQ(result, static_cast<int32_t>(c.expected.size())) << c.line << " in " << c.size;
    if (result > 0) {
      EXPECT_EQ(buffer.prefix(static_cast<size_t>(result) + 1), c.expected + '\0') << c.line;
    }
  }
  char buffer[8];
  EXPECT_EQ(qelExtractLine("a\n", 2, buffer, 8), 0);  // nothing after the last line feed
}

TEST(Extract, NullPointersAndSizes) {
  ExactBuffer buffer(8, '#');
  const std::string untouched = buffer.bytes();
  EXPECT_EQ(qelExtractText(nullptr, "a", buffer.data(), 8), 0);
  EXPECT_EQ(qelExtractText("abc", nullptr, buffer.data(), 8), 0);
  EXPECT_EQ(qelExtractText("abc", "a", nullptr, 8), 0);
  EXPECT_EQ(qelExtractText("abc", "a", buffer.data(), 0), 0);
  EXPECT_EQ(qelExtractText("abc", "a", buffer.data(), -1), 0);
  EXPECT_EQ(qelExtractText("abc", "a", buffer.data(), 1), 0);
  EXPECT_EQ(qelExtractLine(nullptr, 1, buffer.data(), 8), 0);
  EXPECT_EQ(qelExtractLine("abc", 1, nullptr, 8), 0);
  EXPECT_EQ(qelExtractLine("abc", 1, buffer.data(), 0), 0);
  EXPECT_EQ(qelExtractLine("abc", 1, buffer.data(), INT_MIN), 0);
  EXPECT_EQ(buffer.bytes(), untouched);
}

}  // namespace
