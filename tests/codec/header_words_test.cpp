// Header fields as written for the wire: encoded words that decode to the
// text, never split a UTF-8 sequence and keep their lines short; folding
// that never loses or cuts text; RFC 2231 file names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/header_words.h"
#include "codec/utf8.h"

using namespace qel;

namespace {

struct StringSink final : TextSink {
  std::string text;
  bool put(const char* bytes, int32_t n) override {
    text.append(bytes, static_cast<size_t>(n));
    return true;
  }
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    out.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text does not end in CR LF";
  return out;
}

int hexDigit(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// The bytes of one encoded word, decoded by the book (RFC 2047 section 4).
std::string decodeWord(const std::string& word) {
  size_t q1 = word.find('?', 2);
  size_t q2 = word.find('?', q1 + 1);
  EXPECT_EQ(word.substr(0, 2), "=?");
  EXPECT_EQ(word.substr(word.size() - 2), "?=");
  std::string payload = word.substr(q2 + 1, word.size() - q2 - 3);
  std::string out;
  if (word[q1 + 1] == 'B') {
    std::vector<char> bytes(payload.size() + 4);
    int32_t n = base64DecodeRun(payload.data(), bytes.data(), static_cast<int32_t>(payload.size()));
    return std::string(bytes.data(), static_cast<size_t>(n));
  }
  for (size_t i = 0; i < payload.size(); ++i) {
    if (payload[i] == '_') {
      out += ' ';
    } else if (payload[i] == '=') {
      out += static_cast<char>(hexDigit(payload[i + 1]) * 16 + hexDigit(payload[i + 2]));
      i += 2;
    } else {
      out += payload[i];
    }
  }
  return out;
}

TEST(EncodedWords, DecodeToTheTextInShortWordsOfWholeCharacters) {
  const std::string texts[] = {
      "Hällo Wörld – € 100",
      "Grüße aus München, und noch einmal Grüße aus München, und noch einmal Grüße aus Köln",
      "Καλημέρα κόσμε, αυτό είναι ένα αρκετά μακρύ θέμα για να διπλωθεί σε γραμμές",
      "日本語のテキストです。これは長い件名です、折り返しが必要になります。中文也一样。",
      "Party 🎉🎉🎉 tonight 😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀 bring friends",
      "Jörg Müller-Lüdenscheidt",
  };
  for (const std::string& text : texts) {
    for (WordPlace place : {WordPlace::text, WordPlace::phrase}) {
      SCOPED_TRACE(text);
      StringSink sink;
      HeaderFolder folder(&sink, kFoldColumn);
      folder.field("Subject");
      ASSERT_TRUE(putEncodedWords(&folder, "utf-8", text.data(), static_cast<int32_t>(text.size()), place));
      folder.end();
      std::string decoded;
      for (const std::string& line : lines(sink.text)) {
        EXPECT_LE(line.size(), static_cast<size_t>(kEncodedLineColumn)) << line;
        // Each line after the first is one space and one word.
        std::string word = line.substr(line.find(' ') + 1);
        EXPECT_EQ(word.find(' '), std::string::npos) << line;
        EXPECT_LE(word.size(), static_cast<size_t>(kLongestEncodedWord));
        std::string bytes = decodeWord(word);
        EXPECT_TRUE(isValidUtf8(bytes.data(), static_cast<int32_t>(bytes.size()))) << word;
        if (place == WordPlace::phrase && word[word.find('?', 2) + 1] == 'Q') {
          EXPECT_EQ(word.find_first_of("(),.:;<>@\"", 2), std::string::npos) << word;
        }
        decoded += bytes;
      }
      EXPECT_EQ(decoded, text);
    }
  }
}

// Without a charset a field keeps every byte of the caller's text and folds
// only where a line would pass 998 characters: at white space, else after a
// list separator; a word longer than that stays whole.
TEST(HardLimitFolding, NeverCutsAndUnfoldsToTheText) {
  std::string words;
  while (words.size() < 2500) words += "word" + std::to_string(words.size()) + " ";
  std::string list;
  while (list.size() < 2500) list += "<user" + std::to_string(list.size()) + "@example.org>,";
  list.pop_back();
  const struct {
    const char* name;
    std::string text;
    char separator;
    std::string unfoldMark;  // what a fold inserted
    size_t lineCount;
  } cases[] = {
      {"short", "Bob <bob@example.net>,Cy <cy@example.net> (work)", ',', "\r\n", 1},
      {"words", words, '\0', "\r\n", 3},
      {"list without spaces", list, ',', "\r\n ", 3},
      {"one long word", std::string(1500, 'x'), '\0', "\r\n", 1},
      {"caller's own lines", "Hello\r\n .world", '\0', "", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StringSink sink;
    HeaderFolder folder(&sink, kHardLineLimit);
    folder.field("To");
    ASSERT_TRUE(putPlainText(&folder, c.text.data(), static_cast<int32_t>(c.text.size()), true, c.separator));
    folder.end();
    std::vector<std::string> got = lines(sink.text);
    EXPECT_EQ(got.size(), c.lineCount);
    for (const std::string& line : got) {
      if (c.text.find(' ') != std::string::npos || c.separator != '\0') {
        EXPECT_LE(line.size(), static_cast<size_t>(kHardLineLimit));
      }
    }
    std::string unfolded = sink.text.substr(0, sink.text.size() - 2);
    if (!c.unfoldMark.empty()) {
      for (size_t at; (at = unfolded.find(c.unfoldMark)) != std::string::npos;) unfolded.erase(at, c.unfoldMark.size());
    }
    EXPECT_EQ(unfolded, "To: " + c.text);
  }
}

std::string percentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

TEST(ExtendedParameter, ShortNameOnOneLineLongNameInSections) {
  const struct {
    std::string name;
    bool continued;
  } cases[] = {
      {"Überweisung Februar.pdf", false},
      {"Ünïcödé-Dätéi-mit-sehr-langem-Namen-Ünïcödé-Dätéi-mit-sehr-langem-Namen-Ünïcödé.txt", true},
      {"日本語のファイル名がとても長い場合の添付ファイル.pdf", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StringSink sink;
    HeaderFolder folder(&sink, kFoldColumn);
    folder.field("Content-Disposition");
    folder.token(" ", 1, "attachment", 10);
    ASSERT_TRUE(putExtendedParameter(&folder, "filename", "utf-8", c.name.data(), static_cast<int32_t>(c.name.size())));
    folder.end();
    std::string value;
    std::vector<std::string> got = lines(sink.text);
    for (size_t i = 1; i < got.size(); ++i) {
      const std::string& line = got[i];
      EXPECT_LE(line.size(), static_cast<size_t>(kFoldColumn)) << line;
      std::string section = line.substr(0, line.back() == ';' ? line.size() - 1 : line.size());
      std::string prefix = c.continued ? " filename*" + std::to_string(i - 1) + "*=" : " filename*=";
      ASSERT_EQ(section.rfind(prefix, 0), 0u) << line;
      std::string piece = percentDecode(section.substr(prefix.size()));
      // Each section holds whole characters.
      EXPECT_TRUE(isValidUtf8(piece.substr(i == 1 ? 7 : 0).data(), -1)) << line;
      value += piece;
    }
    EXPECT_EQ(got[0], "Content-Disposition: attachment;");
    EXPECT_EQ(got.size() > 2, c.continued);
    EXPECT_EQ(value, "utf-8''" + c.name);
  }
}

TEST(Utf8Census, RefusesBrokenSequencesAcrossPieces) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"plain", true},         {"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", true},
      {"\xC3", false},         {"\xC3(", false},
      {"\xC0\xAF", false},     {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false}, {"\xE9t\xE9", false},
  };
  for (const auto& c : cases) {
    // Whole, and split at every position.
    for (size_t cut = 0; cut <= c.bytes.size(); ++cut) {
      SCOPED_TRACE(c.bytes + " cut at " + std::to_string(cut));
      TextCensus census;
      censusAdd(&census, c.bytes.data(), static_cast<int32_t>(cut));
      censusAdd(&census, c.bytes.data() + cut, static_cast<int32_t>(c.bytes.size() - cut));
      EXPECT_EQ(censusValidUtf8(census), c.valid);
    }
  }
}

}  // namespace
