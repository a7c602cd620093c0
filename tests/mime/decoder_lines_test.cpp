// decodeLine line by line, and the header fields it acts on. The channel has
// no connection here, so no continuation line is ever joined; joining is
// tested against the scripted server in decoder_join_test.cpp.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/text.h"
#include "mime/decoder_state.h"
#include "platform/platform.h"
#include "mime/attach_files.h"
#include "mime/decoder.h"
#include "mime/mail_file.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

class DecoderLines : public ::testing::Test {
 protected:
  Attached lib{1};
  ChannelRecord* record = lib.downloading(0);
  TempDir temp;

  void SetUp() override {
    copyText(record->decoder->attachDirectory, temp.path().c_str(), kPathCap);
    record->decoder->decodeState = kDecodeTopHeader;
  }
  void TearDown() override {
    dropAttachFile(record);
    if (record->decoder->mailFile > 0) plat::fileClose(record->decoder->mailFile);
    record->decoder->mailFile = 0;
  }

  // The line as the download hands it over: its byte count, and cut when
  // a full read came without its line feed.
  void put(const std::string& line) {
    ASSERT_LT(line.size(), static_cast<std::size_t>(kReplyAreaSize));
    std::memcpy(record->texts.replyText, line.data(), line.size());
    record->texts.replyText[line.size()] = '\0';
    record->decoder->lineLength = static_cast<int32_t>(line.size());
    bool fullRead = line.size() >= static_cast<std::size_t>(kReplyRoom - 1);
    record->decoder->lineCut = fullRead && line.back() != '\n' ? 1 : 0;
  }
  int32_t feed(const std::string& line) {
    put(line);
    return decodeLine(record);
  }
  std::string text() const { return record->texts.replyText; }
  void setBoundary(const char* boundary) {
    record->decoder->boundaryLength = copyText(record->decoder->mimeBoundary, boundary, kBoundaryCap);
  }
};

TEST_F(DecoderLines, StatesMoveAsTheLinesSay) {
  struct Case {
    int32_t state;
    int32_t encoding;
    const char* line;
    int32_t result;
    int32_t stateAfter;
  } cases[] = {
      {kDecodeTopHeader, 0, "\r\n", 1, kDecodeOff},
      {kDecodeTopHeader, 0, "Received: by x\r\n", 1, kDecodeTopHeader},
      {kDecodeTopHeader, 0, "MIME-Version: 1.0\r\n", 1, kDecodeMimeHeader},
      {kDecodeTopHeader, 0, "mime-version: 1.0 (generated)\r\n", 1, kDecodeMimeHeader},
      {kDecodeTopHeader, 0, "MIME-Version: 2.0\r\n", 1, kDecodeTopHeader},
      {kDecodeTopHeader, 0, "Content-Type: multipart/mixed; boundary=\"b\"\r\n", 1, kDecodePreamble},
      {kDecodeMimeHeader, 0, "\r\n", 1, kDecodeOff},
      {kDecodeMimeHeader, kEncodingQuoted, "\r\n", 1, kDecodePartBody},
      {kDecodeMimeHeader, 0, "Subject: x\r\n", 1, kDecodeMimeHeader},
      {kDecodeMimeHeader, 0, "To: y\r\n", 1, kDecodeMimeHeader},
      {kDecodeMimeHeader, 0, "From: z\r\n", 1, kDecodeMimeHeader},
      {kDecodeMimeHeader, 0, "Date: today\r\n", 0, kDecodeMimeHeader},
      {kDecodeMimeHeader, 0, "Content-Type: multipart/mixed; boundary=b\r\n", 0, kDecodePreamble},
      {kDecodePreamble, 0, "This is a multi-part message.\r\n", 0, kDecodePreamble},
      {kDecodePreamble, 0, "--b\r\n", 0, kDecodePartHeader},
      {kDecodePreamble, 0, "--B--\r\n", 0, kDecodePartHeader},  // boundaries compare case-blind
      {kDecodePartHeader, 0, "Content-Type: text/plain\r\n", 0, kDecodePartHeader},
      {kDecodePartHeader, 0, "\r\n", 0, kDecodePartBody},
      {kDecodePartBody, 0, "text\r\n", 1, kDecodePartBody},
      {kDecodePartBody, 0, "--b\r\n", 0, kDecodePartHeader},
      {kDecodePartBody, 0, "-- b\r\n", 1, kDecodePartBody},
      // A line of blanks ends a header; one with text is a continuation.
      {kDecodeTopHeader, 0, " \r\n", 1, kDecodeOff},
      {kDecodeMimeHeader, 0, "\t \r\n", 1, kDecodeOff},
      {kDecodeMimeHeader, kEncodingQuoted, " \r\n", 1, kDecodePartBody},
      {kDecodePartHeader, 0, " \n", 0, kDecodePartBody},
      {kDecodePartHeader, 0, " x\r\n", 0, kDecodePartHeader},
      {kDecodePartBody, 0, "--b-->\r\n", 0, kDecodePartHeader},
      {kDecodeOff, 0, "MIME-Version: 1.0\r\n", 1, kDecodeOff},
      {7, 0, "--b\r\n", 1, 7},
      {9, 0, "\r\n", 1, 9},
  };
  for (const Case& c : cases) {
    record->decoder->decodeState = c.state;
    record->decoder->partEncoding = c.encoding;
    setBoundary("--b");
    EXPECT_EQ(feed(c.line), c.result) << c.state << " " << c.line;
    EXPECT_EQ(record->decoder->decodeState, c.stateAfter) << c.state << " " << c.line;
  }
}

TEST_F(DecoderLines, BoundaryLineStartsAPart) {
  setBoundary("--main");
  record->decoder->altBoundaryLength = copyText(record->decoder->altBoundary, "--alt", kBoundaryCap);
  record->decoder->decodeState = kDecodePartBody;
  record->decoder->partEncoding = kEncodingBase64;
  record->decoder->decodeInline = 1;
  EXPECT_EQ(feed("--alt\r\n"), 0);
  EXPECT_EQ(record->decoder->decodeState, kDecodePartHeader);
  EXPECT_EQ(record->decoder->partEncoding, kEncodingNone);
  EXPECT_EQ(record->decoder->decodeInline, 0);
  EXPECT_STREQ(record->decoder->attachName, "incoming.mai");
  EXPECT_EQ(record->decoder->boundaryCount, 1);
  // No boundary known: nothing is a boundary line.
  record->decoder->boundaryLength = 0;
  record->decoder->altBoundaryLength = 0;
  record->decoder->decodeState = kDecodePartBody;
  EXPECT_EQ(feed("--main\r\n"), 1);
  EXPECT_EQ(record->decoder->boundaryCount, 1);
}

TEST_F(DecoderLines, BoundaryValues) {
  struct Case {
    const char* line;
    const char* boundary;  // null: none taken
  } cases[] = {
      {"Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n", "--XYZ"},
      {"Content-Type: multipart/mixed; BOUNDARY=\"XYZ\"\r\n", "--XYZ"},
      {"Content-Type: multipart/mixed; boundary=XYZ\r\n", "--XYZ"},
      {"Content-Type: multipart/mixed; boundary=XYZ ; x=1\r\n", "--XYZ"},
      {"Content-Type: multipart/mixed; boundary=XYZ; charset=x\r\n", "--XYZ"},
      // A quote in a later parameter is not the boundary's.
      {"Content-Type: multipart/related; boundary=abc; type=\"multipart/alternative\"\r\n", "--abc"},
      {"Content-Type: multipart/related; type=\"text/html\"; boundary=\"q=1\"\r\n", "--q=1"},
      {"Content-Type: multipart/mixed; boundary=\"\"\r\n", nullptr},
      {"Content-Type: multipart/mixed; boundary=\"open\r\n", nullptr},
      {"Content-Type: multipart/mixed; boundary=\r\n", nullptr},
      {"Content-Type: text/plain\r\n", nullptr},
      {"X-Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n", nullptr},
  };
  for (const Case& c : cases) {
    record->decoder->boundaryLength = 0;
    record->decoder->altBoundaryLength = 5;
    record->decoder->decodeState = kDecodeMimeHeader;
    put(c.line);
    EXPECT_EQ(takeBoundary(record), c.boundary != nullptr) << c.line;
    if (c.boundary == nullptr) continue;
    EXPECT_STREQ(record->decoder->mimeBoundary, c.boundary);
    EXPECT_EQ(record->decoder->boundaryLength, textLength(c.boundary));
    EXPECT_EQ(record->decoder->altBoundaryLength, 0);
    EXPECT_EQ(record->decoder->decodeState, kDecodePreamble);
    EXPECT_EQ(text(), c.line);  // the line itself is left as it came
  }
}

TEST_F(DecoderLines, LongBoundaryIsCutToItsField) {
  std::string value(300, 'v');
  put("Content-Type: multipart/mixed; boundary=\"" + value + "\"\r\n");
  ASSERT_TRUE(takeBoundary(record));
  EXPECT_EQ(record->decoder->boundaryLength, kBoundaryCap);
  EXPECT_EQ(std::string(record->decoder->mimeBoundary), "--" + value.substr(0, kBoundaryCap - 2));
}

TEST_F(DecoderLines, NewMainBoundaryClosesAnOpenFile) {
  copyText(record->decoder->attachName, "open.bin", kPathCap);
  ASSERT_TRUE(createAttachFile(record));
  int32_t handle = record->decoder->fileHandle;
  put("Content-Type: multipart/mixed; boundary=\"n\"\r\n");
  ASSERT_TRUE(takeBoundary(record));
  EXPECT_EQ(record->decoder->fileHandle, 0);
  // Closed (the next file gets the same descriptor) and not recorded.
  EXPECT_EQ(plat::fileCreate(temp.file("probe").c_str()), handle);
  plat::fileClose(handle);
  EXPECT_EQ(record->decoder->savedCount, 0);
  EXPECT_STREQ(record->decoder->savedNames, "");
}

TEST_F(DecoderLines, AlternateBoundaries) {
  struct Case {
    const char* line;
    const char* boundary;
  } cases[] = {
      {"Content-Type: multipart/alternative; boundary=\"alt\"\r\n", "--alt"},
      {"Content-Type: multipart/mixed; boundary=\"mix\"\r\n", "--mix"},
      {"Content-Type: multipart/mixed;boundary=\"mix\"\r\n", "--mix"},
      {"Content-Type: multipart/alternative; boundary=plain\r\n", "--plain"},
      {"Content-Type: multipart/related; boundary=\"rel\"\r\n", nullptr},
      {"Content-Type: multipart/alternative\r\n", nullptr},
      {"Content-Type: text/plain; boundary=\"x\"\r\n", nullptr},
  };
  for (const Case& c : cases) {
    record->decoder->altBoundaryLength = 0;
    record->decoder->decodeState = kDecodePartHeader;
    put(c.line);
    EXPECT_EQ(takeAltBoundary(record), c.boundary != nullptr) << c.line;
    EXPECT_EQ(record->decoder->decodeState, kDecodePartHeader);
    if (c.boundary != nullptr) {
      EXPECT_STREQ(record->decoder->altBoundary, c.boundary);
      EXPECT_EQ(record->decoder->altBoundaryLength, textLength(c.boundary));
    }
  }
}

TEST_F(DecoderLines, TransferEncodings) {
  struct Case {
    const char* line;
    bool taken;
    int32_t encoding;
  } cases[] = {
      {"Content-Transfer-Encoding: base64\r\n", true, kEncodingBase64},
      {"content-transfer-encoding: BASE64\r\n", true, kEncodingBase64},
      {"Content-Transfer-Encoding: quoted-printable\r\n", true, kEncodingQuoted},
      {"Content-Transfer-Encoding: 7bit\r\n", true, kEncoding7bit},
      {"Content-Transfer-Encoding: 8bit\r\n", false, 99},
      {"Content-Transfer-Encoding: binary\r\n", false, 99},
      {"Content-Transfer-Encoding:\r\n", false, 99},
      {"Content-Type: base64\r\n", false, 99},
  };
  for (const Case& c : cases) {
    record->decoder->partEncoding = 99;
    put(c.line);
    EXPECT_EQ(takeEncoding(record), c.taken) << c.line;
    EXPECT_EQ(record->decoder->partEncoding, c.encoding) << c.line;
  }
}

TEST_F(DecoderLines, Dispositions) {
  struct Case {
    const char* line;
    bool recognised;
    uint8_t inlineFlag;
  } cases[] = {
      {"Content-Disposition: inline\r\n", true, 1},
      {"Content-Disposition:inline\r\n", true, 1},
      {"Content-Disposition: INLINE\r\n", true, 1},
      {"Content-Disposition: inline ; size=3\r\n", true, 1},
      {"Content-Disposition: inline; filename=\"a.png\"\r\n", true, 0},
      {"Content-Disposition: attachment\r\n", true, 0},
      // "inline" inside a file name is not the disposition type.
      {"Content-Disposition: attachment; filename=\"inline.txt\"\r\n", true, 0},
      {"Content-Disposition: attachment; filename=inline\r\n", true, 0},
      {"Content-Disposition: inlined\r\n", true, 0},
      {"Content-Type: inline\r\n", false, 0},
  };
  for (const Case& c : cases) {
    record->decoder->decodeInline = 0;
    put(c.line);
    EXPECT_EQ(takeDisposition(record), c.recognised) << c.line;
    EXPECT_EQ(record->decoder->decodeInline, c.inlineFlag) << c.line;
  }
}

TEST_F(DecoderLines, FileNames) {
  struct Case {
    const char* line;
    const char* name;  // null: no file named
  } cases[] = {
      {"Content-Type: application/pdf; name=\"report.pdf\"\r\n", "report.pdf"},
      {"Content-Disposition: attachment; filename=\"report.pdf\"\r\n", "report.pdf"},
      {"Content-Disposition: attachment; FILENAME=report.pdf\r\n", "report.pdf"},
      {"Content-Disposition: attachment; filename=report.pdf; size=300\r\n", "report.pdf"},
      {"Content-Disposition: attachment; filename=\"a; b.txt\"\r\n", "a; b.txt"},
      {"Content-Disposition: attachment; filename=\"C:\\\\dir\\\\x.doc\"\r\n", "x.doc"},
      {"Content-Disposition: attachment; filename=\"=?iso-8859-1?q?caf=E9.txt?=\"\r\n", "caf\xe9.txt"},
      {"Content-Disposition: attachment; filename=\"=?ISO-8859-1?Q?caf=E9.txt?=\"\r\n", "caf\xe9.txt"},
      {"Content-Disposition: attachment; filename=\"=?iso-8859-1?b?Y2Fm6S50eHQ=?=\"\r\n", "caf\xe9.txt"},
      {"Content-Disposition: attachment; filename=\"=?iso-8859-1?b?Li4vLi4v?=\"\r\n", "noname"},
      {"Content-Disposition: attachment; filename=\"\"\r\n", nullptr},
      {"Content-Disposition: attachment; filename=\r\n", nullptr},
      {"Content-Disposition: attachment\r\n", nullptr},
      {"Content-Type: text/plain; charset=us-ascii\r\n", nullptr},
  };
  for (const Case& c : cases) {
    copyText(record->decoder->attachName, "before", kPathCap);
    put(c.line);
    EXPECT_EQ(extractFileName(record), c.name != nullptr) << c.line;
    EXPECT_STREQ(record->decoder->attachName, c.name != nullptr ? c.name : "before") << c.line;
  }
}

TEST_F(DecoderLines, HeaderWordKinds) {
  EXPECT_EQ(headerWordKind("Subject: =?iso-8859-1?q?x?="), 1);
  EXPECT_EQ(headerWordKind("Subject: =?ISO-8859-1?Q?x?="), 1);
  EXPECT_EQ(headerWordKind("From: =?iso-8859-1?b?eA==?="), 2);
  EXPECT_EQ(headerWordKind("From: =?iso-8859-1?b?eA==?= =?iso-8859-1?q?x?="), 1);
  EXPECT_EQ(headerWordKind("Subject: =?utf-8?q?x?="), 0);
  EXPECT_EQ(headerWordKind("Subject: plain"), 0);
}

TEST_F(DecoderLines, HeaderWordsUnwrapped) {
  struct Case {
    const char* line;
    const char* unwrapped;
  } cases[] = {
      {"Subject: =?iso-8859-1?q?caf=E9?=\r\n", "Subject: caf=E9\r\n"},
      {"Subject: a =?iso-8859-1?q?b?= c =?iso-8859-1?q?d?= e\r\n", "Subject: a b c d e\r\n"},
      // At most two words.
      {"Subject: =?iso-8859-1?q?1?==?iso-8859-1?q?2?==?iso-8859-1?q?3?=\r\n",
       "Subject: 12=?iso-8859-1?q?3?=\r\n"},
      {"Subject: =?iso-8859-1?q?open\r\n", "Subject: open\r\n"},
      {"Subject: =?iso-8859-1?", "Subject: "},
      {"Subj", "Subj"},
  };
  for (const Case& c : cases) {
    put(c.line);
    decodeHeaderWords(record, WordForm::unwrap);
    EXPECT_EQ(text(), c.unwrapped) << c.line;
  }
}

TEST_F(DecoderLines, Base64HeaderWordKeepsTheRestOfTheLine) {
  // The decoded text replaces the word; blanks fill the line up to its old
  // length in front of the line end.
  std::string line = "From: =?iso-8859-1?b?Q2Fyb2w=?= <carol@example.org>\r\n";
  put(line);
  decodeHeaderWords(record, WordForm::base64);
  std::string decoded = "From: Carol <carol@example.org>";
  EXPECT_EQ(text(), decoded + std::string(line.size() - 2 - decoded.size(), ' ') + "\r\n");

  // A NUL among the decoded bytes would cut the header short: it is dropped.
  line = "From: =?iso-8859-1?b?QQBC?=\r\n";
  put(line);
  decodeHeaderWords(record, WordForm::base64);
  EXPECT_EQ(text(), "From: AB" + std::string(line.size() - 2 - 8, ' ') + "\r\n");
}

TEST_F(DecoderLines, PartContentGoesToItsFile) {
  struct Case {
    int32_t encoding;
    std::vector<std::string> lines;
    std::string content;
  } cases[] = {
      {kEncodingBase64, {"QUJD\r\n", "REVG\r\n"}, "ABCDEF"},
      // Groups run across line ends; padding ends a group anywhere.
      {kEncodingBase64, {"QUJ\r\n", "DREVG\r\n"}, "ABCDEF"},
      {kEncodingBase64, {"QQ==QUI=\r\n"}, "AAB"},
      {kEncodingBase64, {"QU JD\r\n", "\r\n"}, "ABC"},
      {kEncodingQuoted, {"caf=E9 =3D\r\n", "soft=\r\n", "break\r\n"}, "caf\xe9 =\r\nsoftbreak\r\n"},
      {kEncoding7bit, {"as it is =E9\r\n"}, "as it is =E9\r\n"},
      {kEncodingNone, {"+OK stays in a file\r\n"}, "+OK stays in a file\r\n"},
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string name = "part" + std::to_string(index++);
    copyText(record->decoder->attachName, name.c_str(), kPathCap);
    ASSERT_TRUE(createAttachFile(record));
    record->decoder->decodeState = kDecodePartBody;
    record->decoder->partEncoding = c.encoding;
    record->decoder->decodeInline = 0;
    startPartContent(record);
    record->counts.attachBytesRead = 0;
    int32_t total = 0;
    for (const std::string& line : c.lines) {
      EXPECT_EQ(feed(line), 0) << line;
      total += static_cast<int32_t>(line.size());
    }
    dropAttachFile(record);
    EXPECT_EQ(readFile(temp.file(name)), c.content) << name;
    EXPECT_EQ(record->counts.attachBytesRead, total);
  }
}

// A part whose Content-Type and Content-Disposition give different names is
// saved under the last one, and no other file is made.
TEST_F(DecoderLines, APartNamedTwiceMakesOneFile) {
  const std::string type = "Content-Type: application/octet-stream; name=\"first.bin\"\r\n";
  const std::string disposition = "Content-Disposition: attachment; filename=\"second.bin\"\r\n";
  const std::string base64 = "Content-Transfer-Encoding: base64\r\n";
  struct Case {
    int32_t state;
    std::vector<std::string> header;
    std::string file;
  } cases[] = {
      {kDecodePartHeader, {type, disposition, base64}, "second.bin"},
      {kDecodePartHeader, {disposition, base64, type}, "first.bin"},
      {kDecodeMimeHeader, {base64, type, disposition}, "second.bin"},  // a single-part message
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string directory = temp.file("case" + std::to_string(index++));
    std::filesystem::create_directory(directory);
    copyText(record->decoder->attachDirectory, directory.c_str(), kPathCap);
    record->decoder->decodeState = c.state;
    for (const std::string& line : c.header) EXPECT_EQ(feed(line), 0) << line;
    feed("\r\n");
    EXPECT_EQ(record->decoder->decodeState, kDecodePartBody);
    EXPECT_GT(record->decoder->fileHandle, 0);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      files.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(files, std::vector<std::string>{c.file}) << c.file;
    // Each case stands for a download of its own.
    abandonDownloadFiles(record);
  }
}

TEST_F(DecoderLines, TheRestOfACutLineIsNeverALineOfItsOwn) {
  // A part-header line of one full read without its line feed, whose rest
  // never comes: what follows is taken as that rest, so neither a blank
  // line nor a boundary line ends the part header.
  setBoundary("--b");
  record->decoder->decodeState = kDecodePartHeader;
  std::string piece = "X-Long: " + std::string(kReplyRoom - 1 - 8, 'x');
  EXPECT_EQ(feed(piece), 0);
  EXPECT_EQ(record->decoder->lineCut, 1);
  EXPECT_EQ(feed("\r\n"), 0);
  EXPECT_EQ(record->decoder->decodeState, kDecodePartHeader);
  // Once the line has ended, a blank line ends the header again.
  EXPECT_EQ(feed("\r\n"), 0);
  EXPECT_EQ(record->decoder->decodeState, kDecodePartBody);

  // In a part body a cut line's rest is not taken for a boundary line.
  record->decoder->partEncoding = kEncodingNone;
  EXPECT_EQ(feed(std::string(kReplyRoom - 1, 't')), 1);
  EXPECT_EQ(feed("--b\r\n"), 1);
  EXPECT_EQ(record->decoder->decodeState, kDecodePartBody);
  EXPECT_EQ(feed("--b\r\n"), 0);
  EXPECT_EQ(record->decoder->decodeState, kDecodePartHeader);
}

TEST_F(DecoderLines, HostileLinesStayInsideTheRecord) {
  // Lines filling the whole replyText area, with field prefixes that make
  // every rule look further: huge boundaries, names and encoded words.
  struct Shape {
    const char* prefix;
    char fill;
    const char* suffix;
  } shapes[] = {
      {"Content-Type: multipart/mixed; boundary=\"", '=', ""},
      {"Content-Type: multipart/alternative; boundary=", 'b', "\r\n"},
      {"Content-Disposition: attachment; filename=\"", 'n', "\"\r\n"},
      {"Content-Disposition: attachment; filename==?iso-8859-1?q?", '=', "?=\r\n"},
      {"Content-Type: x; name=\"=?iso-8859-1?b?", 'Q', "?=\"\r\n"},
      {"Subject: =?iso-8859-1?b?", 'Q', "?=\r\n"},
      {"Subject: =?iso-8859-1?q?", '=', "?=\r\n"},
      {"From: ", ' ', ""},
  };
  int32_t states[] = {kDecodeTopHeader, kDecodeMimeHeader, kDecodePartHeader, kDecodePartBody};
  for (int32_t state : states) {
    for (const Shape& shape : shapes) {
      std::size_t fixed = std::strlen(shape.prefix) + std::strlen(shape.suffix);
      std::string line = shape.prefix + std::string(kReplyAreaSize - 1 - fixed, shape.fill) + shape.suffix;
      for (int32_t encoding : {kEncodingQuoted, kEncodingBase64}) {
        record->decoder->decodeState = state;
        record->decoder->partEncoding = encoding;
        record->decoder->cutLineResult = 0;
        // In a part body the content is decoded into a file.
        copyText(record->decoder->attachName, "body", kPathCap);
        if (state == kDecodePartBody) {
          ASSERT_TRUE(createAttachFile(record));
        }
        put(line);
        decodeLine(record);
        dropAttachFile(record);
      }
      EXPECT_LT(textLength(record->texts.replyText), kReplyAreaSize);
      EXPECT_LE(textLength(record->decoder->attachName), kPathCap);
      EXPECT_LE(record->decoder->boundaryLength, kBoundaryCap);
      EXPECT_LE(record->decoder->altBoundaryLength, kBoundaryCap);
      dropAttachFile(record);
    }
  }
}

}  // namespace
