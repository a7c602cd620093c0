// The body reader over long bodies: whatever the sizes of lines and
// refills, the lines built decode back to the source. Run against the
// message text and a body file, in all three forms.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "qel32.h"
#include "smtp/body_reader.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

// Random lines of random lengths (some far beyond 998) of bytes other than
// NUL, CR and LF, with spaces and ">" among them, joined by LF.
std::string randomBody(uint32_t seed, size_t lines) {
  std::mt19937 random(seed);
  std::string body;
  for (size_t i = 0; i < lines; ++i) {
    size_t length = random() % 4 == 0 ? random() % 2500 : random() % 120;
    for (size_t k = 0; k < length; ++k) {
      uint32_t pick = random() % 20;
      char c = pick == 0 ? ' ' : pick == 1 ? '>' : pick == 2 ? '.' : static_cast<char>(1 + random() % 255);
      if (c == '\r' || c == '\n') c = 'x';
      body += c;
    }
    if (i + 1 < lines) body += '\n';
  }
  return body;
}

// Every line readBodyLine builds, with its doubled period removed.
std::vector<std::string> buildLines(ChannelRecord* record) {
  std::vector<std::string> lines;
  for (;;) {
    int32_t length = readBodyLine(record, record->texts.commandLine);
    if (length < 0) break;
    std::string line = record->texts.commandLine;
    EXPECT_EQ(static_cast<int32_t>(line.size()), length + (line[0] == '.' ? 1 : 0));
    if (line[0] == '.') line.erase(0, 1);
    lines.push_back(line);
  }
  return lines;
}

int hexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// Quoted-printable lines back to the text, as a reader decodes them.
std::string decodeQuoted(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    bool soft = !line.empty() && line.back() == '=';
    size_t end = soft ? line.size() - 1 : line.size();
    for (size_t k = 0; k < end; ++k) {
      if (line[k] == '=' && k + 2 < end + 1) {
        text += static_cast<char>(hexValue(line[k + 1]) * 16 + hexValue(line[k + 2]));
        k += 2;
      } else {
        text += line[k];
      }
    }
    if (!soft && i + 1 < lines.size()) text += '\n';
  }
  return text;
}

std::string withoutLineEnds(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\n') out += c;
  }
  return out;
}

class BodyReader : public ::testing::TestWithParam<bool> {
 protected:
  Attached lib{1};
  ChannelRecord* record = lib.record(0);
  TempDir dir;
  std::string body;

  // Prepares the reader as states 238 and 240 / 244 do.
  void start(uint32_t bodyType, const std::string& text) {
    body = text;
    ASSERT_EQ(openSmtpSession(record), 0);
    record->smtp->bodyType = bodyType;
    ASSERT_EQ(openSmtpSend(record), 0);
    resetBodyReader(record);
    record->smtp->send->pendingChar = kBodyEnd;
    if (GetParam()) {
      writeFile(dir.file("body"), body);
      record->smtp->send->bodyFromText = 0;
      record->fileHandle = plat::fileOpenRead(dir.file("body").c_str());
      ASSERT_GT(record->fileHandle, 0);
    } else {
      record->smtp->send->bodyFromText = 1;
      record->smtp->send->messageText = body.c_str();
    }
  }
  void TearDown() override {
    if (record->fileHandle > 0) plat::fileClose(record->fileHandle);
    record->fileHandle = 0;
  }
};

TEST_P(BodyReader, QuotedPrintableDecodesToTheSource) {
  for (int32_t limit : {78, 76, 998, 5}) {
    SCOPED_TRACE(limit);
    settings.maxLineLength = limit;
    start(1, randomBody(limit, 300));
    std::vector<std::string> lines = buildLines(record);
    for (const auto& line : lines) {
      ASSERT_LE(static_cast<int32_t>(line.size()), bodyLineLimit() + 3);
      ASSERT_NE(line.back(), ' ');
    }
    EXPECT_TRUE(decodeQuoted(lines) == body);
    EXPECT_EQ(record->counts.messageBytesRead, static_cast<int32_t>(body.size()));
    record->counts.messageBytesRead = 0;
  }
}

TEST_P(BodyReader, HtmlLinesKeepEveryCharacter) {
  start(2, randomBody(7, 400));
  std::vector<std::string> lines = buildLines(record);
  std::string joined;
  for (const auto& line : lines) {
    ASSERT_LE(line.size(), 998u);
    joined += line;
  }
  EXPECT_TRUE(joined == withoutLineEnds(body));
  EXPECT_GT(lines.size(), 400u);
}

// The plain form's rules, one byte at a time: CRs dropped, "~" for bytes
// outside 0x20..0x7E, a break at a space from column 61 on or at limit
// characters, and the line end right behind such a break taken with it.
std::vector<std::string> plainLinesOf(const std::string& body, size_t limit) {
  std::vector<std::string> lines;
  std::string line;
  size_t consumed = 0;
  for (size_t i = 0; i < body.size();) {
    char c = body[i++];
    ++consumed;
    if (c == '\r') continue;
    if (c != '\n') {
      line += (c >= 0x20 && c <= 0x7E) ? c : '~';
      if (!((line.size() >= 61 && c == ' ') || line.size() >= limit)) continue;
      while (i < body.size() && body[i] == '\r') ++i;
      if (i < body.size() && body[i] == '\n') ++i;
    }
    lines.push_back(line);
    line.clear();
    consumed = 0;
  }
  if (consumed > 0) lines.push_back(line);
  return lines;
}

// Lines are built straight from the read-ahead while enough of it is there
// and a byte at a time near a refill: both give the same lines wherever the
// refills fall, for every line limit and with CRs anywhere.
// Lines of printable text with spaces, of 0 to 89 characters, ending in LF
// or CR LF: the lines that are copied whole.
std::string textBody(uint32_t seed, size_t lines) {
  std::mt19937 random(seed);
  std::string body;
  for (size_t i = 0; i < lines; ++i) {
    size_t length = random() % 90;
    for (size_t k = 0; k < length; ++k) body += random() % 6 == 0 ? ' ' : static_cast<char>('!' + random() % 94);
    body += random() % 2 == 0 ? "\r\n" : "\n";
  }
  return body;
}

TEST_P(BodyReader, PlainLinesBreakAsTheRulesSay) {
  for (int32_t limit : {78, 5, 998}) {
    SCOPED_TRACE(limit);
    settings.maxLineLength = limit;
    std::string text = randomBody(static_cast<uint32_t>(limit) + 11, 300);
    for (size_t i = 0; i < text.size(); i += 1 + (i * 7919) % 613) text.insert(i, i % 3 == 0 ? "\r\r" : "\r");
    text += "\n" + textBody(static_cast<uint32_t>(limit), 400);
    start(0, text);
    std::vector<std::string> lines = buildLines(record);
    EXPECT_TRUE(lines == plainLinesOf(body, static_cast<size_t>(limit)));
    EXPECT_EQ(record->counts.messageBytesRead, static_cast<int32_t>(body.size()));
    record->counts.messageBytesRead = 0;
    if (record->fileHandle > 0) plat::fileClose(record->fileHandle);
    record->fileHandle = 0;
  }
}

TEST_P(BodyReader, CarriageReturnsAreDropped) {
  start(2, std::string(1500, '\r') + std::string(1200, 'z') + "\r\n" + "a\r\rb");
  std::vector<std::string> lines = buildLines(record);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(998, 'z'));
  EXPECT_EQ(lines[1], std::string(202, 'z'));
  EXPECT_EQ(lines[2], "ab");
}

INSTANTIATE_TEST_SUITE_P(FromTextAndFile, BodyReader, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "File" : "Text"; });

}  // namespace
