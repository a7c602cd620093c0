// Body lines as they reach the server: plain wrapping and "~", dot
// stuffing, quoted-printable escapes and soft breaks, HTML lines, NUL bytes
// in a body file. Every case is one message on a shared connection; the
// transcript of each is compared whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "qel32.h"
#include "smtp_session.h"
#include "support/library.h"
#include "support/script_server.h"

using namespace qel;
using namespace qel::test;

namespace {

const std::vector<std::string> kBob{"<bob@example.net>"};

struct BodyCase {
  const char* name;
  uint32_t bodyType;
  std::string message;  // the message text, or the content of a body file
  std::string expected; // the body lines as sent, each with CR LF
  bool fromFile = false;
  bool rawEightBit = false;
  const char* charset = "";
};

// The body lines of a message part: after the blank line that ends the
// header (and, with MIME, the text part's header) up to the closing
// delimiter or the final blank line.
std::string bodyLines(const std::string& message) {
  size_t start = message.find("\r\n\r\n");
  if (start == std::string::npos) return "<no header end>";
  start += 4;
  size_t part = message.find("--{BOUNDARY}\r\n", start);
  if (part == std::string::npos) return message.substr(start, message.size() - 2 - start);
  start = message.find("\r\n\r\n", part);
  if (start == std::string::npos) return "<no part header end>";
  start += 4;
  size_t end = message.find("--{BOUNDARY}--", start);
  return message.substr(start, end - start);
}

std::string repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

class BodyLines : public ::testing::Test {
 protected:
  Attached lib{2};
  TempDir dir;

  void run(const std::vector<BodyCase>& cases) {
    std::vector<Step> script = greeting();
    for (size_t i = 0; i < cases.size(); ++i) {
      auto piece = envelopeAndData(kBob);
      script.insert(script.end(), piece.begin(), piece.end());
    }
    auto end = quit();
    script.insert(script.end(), end.begin(), end.end());
    ScriptServer server(script);
    ASSERT_EQ(connectTo(server), 0);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      qelIntegerParam(0, QEL_PARAM_BODY_TYPE, static_cast<int32_t>(c.bodyType));
      qelIntegerParam(0, QEL_PARAM_RAW_EIGHT_BIT, c.rawEightBit ? 1 : 0);
      qelStringParam(0, QEL_STRING_CHARSET, c.charset);
      std::string message = c.message;
      if (c.fromFile) {
        writeFile(dir.file(c.name), c.message);
        message = "@" + dir.file(c.name);
      }
      ASSERT_EQ(qelSendEmail(0, "<bob@example.net>", nullptr, nullptr, nullptr, message.c_str(), nullptr), 0);
    }
    EXPECT_EQ(qelClose(0), 0);
    ASSERT_TRUE(server.finished(10000));
    EXPECT_EQ(server.mismatches(), "");
    std::string text = transcript(server);
    size_t at = 0;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      size_t data = text.find("DATA\r\n", at);
      ASSERT_NE(data, std::string::npos);
      size_t end = text.find("\r\n.\r\n", data);
      ASSERT_NE(end, std::string::npos);
      EXPECT_EQ(bodyLines(text.substr(data + 6, end + 2 - (data + 6))), c.expected);
      at = end;
    }
  }
};

TEST_F(BodyLines, PlainForm) {
  std::string letters100(100, 'a');
  std::string words = repeat("abcd ", 20);  // spaces at 5, 10 ... 100
  run({
      {"hundred letters", 0, letters100, std::string(78, 'a') + "\r\n" + std::string(22, 'a') + "\r\n"},
      {"words wrap after the space at 65", 0, words,
       repeat("abcd ", 13) + "\r\n" + repeat("abcd ", 7) + "\r\n"},
      {"tab and eight-bit bytes", 0, "a\tb\xE9" "c\x7F" "d", "a~b~c~d\r\n"},
      {"raw eight-bit bytes", 0, "a\tb\xE9" "c", "a\tb\xE9" "c\r\n", false, true},
      {"dot stuffing", 0, ".\n.leading\nnot.first\r\n..two", "..\r\n..leading\r\nnot.first\r\n...two\r\n"},
      {"empty lines stay", 0, "one\n\n\r\ntwo\n", "one\r\n\r\n\r\ntwo\r\n"},
      // A line that ends exactly where it is wrapped gives no empty line.
      {"line of exactly 78", 0, std::string(78, 'b') + "\r\nnext", std::string(78, 'b') + "\r\nnext\r\n"},
      {"space at the wrap before the line end", 0, std::string(64, 'c') + " \nnext",
       std::string(64, 'c') + " \r\nnext\r\n"},
  });
}

TEST_F(BodyLines, QuotedPrintableForm) {
  std::string letters100(100, 'q');
  run({
      {"escapes", 1, "a=b\xE9\tc", "a=3Db=E9=09c\r\n"},
      {"soft break at 77", 1, letters100, std::string(77, 'q') + "=\r\n" + std::string(23, 'q') + "\r\n"},
      {"a period after 77 goes on the line", 1, std::string(77, 'q') + ".x",
       std::string(77, 'q') + ".=\r\nx\r\n"},
      {"an escape past the limit", 1, std::string(76, 'q') + "\xE9" "rest",
       std::string(76, 'q') + "=E9=\r\nrest\r\n"},
      {"a space that ends a line is encoded", 1, "end \nmiddle space\n", "end=20\r\nmiddle space\r\n"},
      {"dot stuffing", 1, ".\n.x", "..\r\n..x\r\n"},
      {"type 3 and 4 are quoted-printable too", 4, "\xA3" "5", "=A35\r\n"},
  });
}

TEST_F(BodyLines, HtmlForm) {
  // Lines go unchanged up to 998 characters; longer ones break after the
  // last space or ">" before that, without any mark.
  std::string cells = repeat("<td>cell</td>", 100);  // 1300 characters, a ">" every 13
  std::string words = std::string(990, 'w') + " " + std::string(20, 'x');
  std::string solid(1100, 's');
  run({
      {"short lines unchanged", 2, "<p>caf\xE9 = 5</p>\n\t<b>x</b>", "<p>caf\xE9 = 5</p>\r\n\t<b>x</b>\r\n"},
      {"line of 998", 2, std::string(998, 'h') + "\n.", std::string(998, 'h') + "\r\n..\r\n"},
      {"breaks after a tag", 2, cells,
       repeat("<td>cell</td>", 76) + "<td>\r\ncell</td>" + repeat("<td>cell</td>", 23) + "\r\n"},
      {"breaks at a space", 2, words, std::string(990, 'w') + " \r\n" + std::string(20, 'x') + "\r\n"},
      {"no break point", 2, solid, std::string(998, 's') + "\r\n" + std::string(102, 's') + "\r\n"},
  });
}

// A NUL byte never ends the body, nor goes out as it is.
TEST_F(BodyLines, NulBytesInABodyFile) {
  std::string log = dir.file("nul.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  std::string content("one\0two\r\nthree\r\n\0after\r\n", 24);
  run({
      {"plain", 0, content, "one~two\r\nthree\r\n~after\r\n", true},
      {"plain, raw eight-bit", 0, content, "one~two\r\nthree\r\n~after\r\n", true, true},
      {"quoted-printable", 1, content, "one=00two\r\nthree\r\n=00after\r\n", true},
      // HTML, and ASCII text in a charset, go unchanged: the NUL is left
      // out, and the log says so.
      {"HTML", 2, content, "onetwo\r\nthree\r\nafter\r\n", true},
      {"ASCII in a charset", 1, std::string("one\0two\r\n\0after", 15), "onetwo\r\nafter\r\n", true, false, "utf-8"},
      {"quoted-printable in a charset", 1, std::string("caf\xC3\xA9\0!", 7), "caf=C3=A9=00!\r\n", true, false,
       "utf-8"},
  });
  std::string text = readFile(log);
  for (const char* note :
       {"[1 NUL byte(s) left out of the HTML text]\r\n", "[1 NUL byte(s) left out of the text]\r\n"}) {
    size_t first = text.find(note);
    ASSERT_NE(first, std::string::npos) << note << text;
    EXPECT_NE(text.find(note, first + 1), std::string::npos) << note << text;
  }
}

}  // namespace
