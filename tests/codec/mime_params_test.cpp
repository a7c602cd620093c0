// Parameters of MIME header fields as they arrive: RFC 2231 sections,
// charsets and percent-encoding, RFC 2047 words, quoting; into UTF-8 of a
// bounded size.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "codec/base64.h"

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
    {"inline; filename=\"=?x-no-such-set?b?8NLJ18XU?=.txt\"", "filename", "______.txt"},
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

// A name in the charsets mail uses, as the system converts them.
struct CharsetName {
  const char* charset;
  const char* bytes;  // the name in the charset
  const char* utf8;
};

const CharsetName kCharsetNames[] = {
    {"windows-1251", "\xF4\xE0\xE9\xEB", "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"},
    {"KOI8-R", "\xC6\xC1\xCA\xCC", "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"},
    {"iso-8859-5", "\xE4\xD0\xD9\xDB", "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"},
    {"iso-8859-2", "\xAF\xF3\xB3\xE6", "\xC5\xBB\xC3\xB3\xC5\x82\xC4\x87"},
    {"iso-2022-jp", "\x1B$BJs9p=q\x1B(B", "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8"},
    {"shift_jis", "\x95\xF1\x8D\x90\x8F\x91", "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8"},
    {"x-sjis", "\x95\xF1\x8D\x90\x8F\x91\x5C", "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8\\"},
    {"euc-jp", "\xCA\xF3\xB9\xF0\xBD\xF1", "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8"},
    {"gb2312", "\xB1\xA8\xB8\xE6", "\xE6\x8A\xA5\xE5\x91\x8A"},
    {"GBK", "\xB1\xA8\xB8\xE6\x80", "\xE6\x8A\xA5\xE5\x91\x8A\xE2\x82\xAC"},
    {"gb18030", "\xB1\xA8\xB8\xE6", "\xE6\x8A\xA5\xE5\x91\x8A"},
    {"big5", "\xB3\xF8\xA7i", "\xE5\xA0\xB1\xE5\x91\x8A"},
    {"euc-kr", "\xBA\xB8\xB0\xED\xBC\xAD", "\xEB\xB3\xB4\xEA\xB3\xA0\xEC\x84\x9C"},
    {"ks_c_5601-1987", "\xBA\xB8\xB0\xED\xBC\xAD", "\xEB\xB3\xB4\xEA\xB3\xA0\xEC\x84\x9C"},
    // A byte that is no character of the charset.
    {"shift_jis", "\x95\xF1\xFF", "\xE5\xA0\xB1_"},
};

std::string percentEncoded(const std::string& bytes) {
  std::string out;
  char escape[4];
  for (unsigned char c : bytes) {
    std::snprintf(escape, sizeof escape, "%%%02X", c);
    out += escape;
  }
  return out;
}

// Every form a header gives a name in: RFC 2231, an RFC 2047 B word, Q words
// that split the name inside a character, and unencoded 8-bit bytes.
TEST(MimeParams, NamesInEveryCharsetBecomeUtf8) {
  for (const CharsetName& row : kCharsetNames) {
    SCOPED_TRACE(row.charset);
    const std::string bytes = row.bytes;
    const std::string want = std::string(row.utf8) + ".scr.xz";
    const std::string cs = row.charset;
    std::string b64(4 * ((bytes.size() + 2) / 3) + 4, '\0');
    b64.resize(static_cast<size_t>(base64EncodeLine(reinterpret_cast<const uint8_t*>(bytes.data()), b64.data(),
                                                    static_cast<int32_t>(bytes.size()))));
    size_t half = bytes.size() / 2 + 1;
    std::string words = "\"=?" + cs + "?Q?" + percentEncoded(bytes.substr(0, half)) + "?= =?" + cs + "?q?" +
                        percentEncoded(bytes.substr(half)) + ".scr.xz?=\"";
    for (char& c : words) c = c == '%' ? '=' : c;
    const std::string values[] = {"attachment; filename*=" + cs + "''" + percentEncoded(bytes) + ".scr.xz",
                                  "attachment; filename*0*=" + cs + "'ru'" + percentEncoded(bytes) +
                                      "; filename*1=.scr.xz",
                                  "attachment; filename=\"=?" + cs + "?B?" + b64 + "?=.scr.xz\"",
                                  "attachment; filename=" + words};
    for (const std::string& value : values) {
      char out[128];
      int32_t n = findParameter(value.data(), static_cast<int32_t>(value.size()), "filename", out, sizeof out);
      EXPECT_EQ(std::string(out, n > 0 ? n : 0), want) << value;
    }
    const std::string raw = bytes + ".scr.xz";
    char out[128];
    int32_t n = eightBitTextAsUtf8(row.charset, raw.data(), static_cast<int32_t>(raw.size()), out, sizeof out);
    EXPECT_EQ(std::string(out, n > 0 ? n : 0), want);
    // Cut short: whole characters only.
    n = findParameter(values[0].data(), static_cast<int32_t>(values[0].size()), "filename", out, 4);
    size_t cut = 3;
    while (cut > 0 && (static_cast<unsigned char>(want[cut]) & 0xC0) == 0x80) --cut;
    EXPECT_EQ(std::string(out, n > 0 ? n : 0), want.substr(0, cut));
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
