// Parameters of MIME header fields as they arrive: RFC 2231 sections,
// charsets and percent-encoding, RFC 2047 words, quoting; into UTF-8 of a
// bounded size.
#include <gtest/gtest.h>

#include <string>

#include "codec/mime_params.h"

using namespace qel;

namespace {

struct Row {
  const char* value;  // a field value after "Content-Disposition:"
  const char* name;
  const char* expected;  // nullptr: the parameter is not there
};

const Row kRows[] = {
    {"attachment; filename=plain.txt", "filename", "plain.txt"},
    {"attachment; FileName = \"with \\\"quotes\\\"; and semicolon.txt\"", "filename",
     "with \"quotes\"; and semicolon.txt"},
    {"attachment; filename*=UTF-8''M%C3%A4rz%20Bericht.pdf", "filename", "M\xC3\xA4rz Bericht.pdf"},
    {"attachment; filename*=iso-8859-1'de'caf%E9.txt", "filename", "caf\xC3\xA9.txt"},
    {"attachment; filename*1*=%E2%80%93b.txt; filename*0*=utf-8''a", "filename", "a\xE2\x80\x93" "b.txt"},
    {"attachment; filename*0=\"long \"; filename*1=name; filename*3=lost", "filename", "long name"},
    {"inline; filename=\"=?utf-8?q?M=C3=A4rz?= =?utf-8?b?LnBuZw==?=\"", "filename", "M\xC3\xA4rz.png"},
    {"inline; filename=\"=?windows-1252?q?=80_=93x=94?=\"", "filename", "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D"},
    {"inline; filename=\"=?koi8-r?b?8NLJ18XU?=.txt\"", "filename", "______.txt"},
    {"inline; filename=\"=?utf-8?q?broken word\"", "filename", "=?utf-8?q?broken word"},
    {"inline; filename*=utf-8''%FF%C3%A4", "filename", "_\xC3\xA4"},
    {"inline; name=\"n\"; filename=f", "name", "n"},
    {"inline; size=3", "filename", nullptr},
    {"inline; filename", "filename", nullptr},
};

TEST(MimeParams, FindParameterDecodesEveryForm) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.value);
    std::string value = row.value;
    char out[128];
    int32_t n = findParameter(value.data(), static_cast<int32_t>(value.size()), row.name, out, sizeof out);
    if (row.expected == nullptr) {
      EXPECT_EQ(n, -1);
    } else {
      EXPECT_EQ(std::string(out, n > 0 ? n : 0), row.expected);
    }
  }
}

TEST(MimeParams, OutputStaysWithinItsRoomWithoutSplittingCharacters) {
  std::string value = "attachment; filename*=utf-8''" + std::string(40, 'a');
  for (int i = 0; i < 20; ++i) value += "%C3%A4";
  for (int32_t room = 1; room < 90; ++room) {
    std::string out(static_cast<size_t>(room), '#');
    int32_t n = findParameter(value.data(), static_cast<int32_t>(value.size()), "filename", out.data(), room);
    ASSERT_LE(n, room - 1);
    ASSERT_EQ(out[static_cast<size_t>(n)], '\0');
    // "ä" is two bytes: never one of them alone at the end.
    if (n > 40) {
      EXPECT_EQ((n - 40) % 2, 0) << room;
    }
  }
  // An unencoded 8-bit name: "ä" in UTF-8 stays, "\x80" is windows-1252's
  // euro sign (three bytes); a cut name is the start of the whole one.
  const char kEightBit[] = "a\xC3\xA4\x80\xFF.txt";
  const std::string whole = "a\xC3\xA4\xE2\x82\xAC\xC3\xBF.txt";
  for (int32_t room = 1; room <= static_cast<int32_t>(whole.size()) + 1; ++room) {
    std::string out(static_cast<size_t>(room), '#');
    int32_t n = eightBitTextAsUtf8("", kEightBit, sizeof kEightBit - 1, out.data(), room);
    ASSERT_LE(n, room - 1);
    EXPECT_EQ(out.substr(0, static_cast<size_t>(n) + 1), whole.substr(0, static_cast<size_t>(n)) + '\0') << room;
    EXPECT_TRUE(n == 0 || n == 1 || n == 3 || n == 6 || n >= 8) << room;
  }
  char type[8];
  EXPECT_EQ(valueToken(" Multipart/Mixed; boundary=x", 28, type, sizeof type), 7);
  EXPECT_STREQ(type, "multipa");
}

}  // namespace
