// The full MIME walk fed from memory: each message whole, line by line, and
// with its lines cut into pieces of every size, gives the same message file
// and the same files.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "frame/text.h"
#include "mime/decoder_state.h"
#include "platform/platform.h"
#include "mime/mail_file.h"
#include "mime/mime_walker.h"
#include "qel32.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

using Files = std::map<std::string, std::string>;

struct Case {
  const char* name;
  std::string message;
  Files files;
  std::string text;  // the message file after the top header; "@" stands for the directory
  std::vector<const char*> logNotes;
};

const Case kCases[] = {
    {"nested parts, folded fields, RFC 2231 name",
     "From: a@example.org\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
     "preamble\r\n--outer\r\nContent-Type: multipart/related; boundary=rel\r\n\r\n"
     "--rel\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
     "<p>Gr=C3=BC=\r\n=c3=9Fe</p>\r\n--rel\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\n"
     "iVBORw0K\r\n--rel--\r\n--outer\r\nContent-Type: application/pdf;\r\n\tx-unix-mode=0644;\r\n"
     "\tname=\"report.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERi0x\r\nLjQK\r\n--outer  \r\n"
     "Content-Type: text/plain\r\nContent-Disposition: attachment; filename*0*=utf-8''M%C3%A4rz;\r\n"
     " filename*1=\".txt\"\r\n\r\nline one\r\n--outerX is no boundary\r\n\r\n--outer--\r\nepilogue\r\n",
     {{"part-2.png", "\x89PNG\r\n"},
      {"report.pdf", "%PDF-1.4\n"},
      {"M\xC3\xA4rz.txt", "line one\r\n--outerX is no boundary\r\n"}},
     "[Text charset: utf-8]\r\n<p>Gr\xC3\xBC\xC3\x9F" "e</p>\r\n[Attachment saved to \"@/part-2.png\"]\r\n"
     "[Attachment saved to \"@/report.pdf\"]\r\n[Attachment saved to \"@/M\xC3\xA4rz.txt\"]\r\n",
     {}},
    {"broken: bad escape, no blank line, base64 cut short, no closing boundary",
     "Subject: b\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\n--b1\r\nContent-Type: text/plain\r\n"
     "Content-Transfer-Encoding: quoted-printable\r\n\r\na =ZZ b=3d\r\n--b1\r\n"
     "Content-Type: application/octet-stream; name=cut.bin\r\nContent-Transfer-Encoding: base64\r\nAAECAw\r\n",
     {{"cut.bin", std::string("\x00\x01\x02\x03", 4)}},
     "a =ZZ b=\r\n[Attachment saved to \"@/cut.bin\"]\r\n",
     {"[MIME: a multipart part ends without its closing boundary]", "[MIME: a header ends without a blank line]",
      "[MIME: base64 content cut short or holding other characters]",
      "[MIME: quoted-printable content with a bad escape]"}},
    {"single part named by an RFC 2047 word",
     "Content-Type: image/gif; name=\"=?iso-8859-1?q?caf=E9.gif?=\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
     "R0lGODlh\r\n",
     {{"caf\xC3\xA9.gif", "GIF89a"}},
     "[Attachment saved to \"@/caf\xC3\xA9.gif\"]\r\n",
     {}},
    {"a boundary that never comes: the text is the part's file",
     "Content-Type: multipart/mixed; boundary=zz\r\n\r\ntext only\r\n--zz-not\r\nmore\r\n",
     {{"part-1.bin", "text only\r\n--zz-not\r\nmore\r\n"}},
     "[Attachment saved to \"@/part-1.bin\"]\r\n",
     {"[MIME: a multipart part ends without its closing boundary]"}},
    {"alternative, embedded message, duplicate names",
     "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: multipart/alternative; boundary=a\r\n\r\n"
     "--a\r\nContent-Type: text/plain\r\n\r\nhello\r\n--a\r\nContent-Type: text/html\r\n\r\n<b>hello</b>\r\n--a--\r\n"
     "--m\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\n.inner body\r\n"
     "--m\r\nContent-Type: application/octet-stream; name=x.bin\r\n\r\n1\r\n"
     "--m\r\nContent-Type: application/octet-stream; name=X.bin\r\n\r\n2\r\n--m--\r\n",
     {{"part-2.html", "<b>hello</b>"},
      {"part-3.eml", "Subject: inner\r\n\r\n.inner body"},
      {"x.bin", "1"},
      {"X (2).bin", "2"}},
     "hello\r\n[Attachment saved to \"@/part-2.html\"]\r\n[Attachment saved to \"@/part-3.eml\"]\r\n"
     "[Attachment saved to \"@/x.bin\"]\r\n[Attachment saved to \"@/X (2).bin\"]\r\n",
     {}},
    {"unencoded 8-bit names: UTF-8 kept, other bytes in the part's charset, unique after",
     "Content-Type: multipart/mixed; boundary=r\r\n\r\n--r\r\nContent-Type: text/plain; name=\"\xFF.txt\"\r\n\r\n1\r\n"
     "--r\r\nContent-Disposition: attachment; filename=\"\xFE.txt\"\r\n\r\n2\r\n"
     "--r\r\nContent-Disposition: attachment; filename=\"\xC9t\xE9.txt\"\r\n"
     "Content-Type: text/plain; charset=iso-8859-1\r\n\r\n3\r\n"
     "--r\r\nContent-Type: text/plain; name=\"\xC3\xA9t\xC3\xA9.txt\"\r\n\r\n4\r\n--r--\r\n",
     {{"\xC3\xBF.txt", "1"}, {"\xC3\xBE.txt", "2"}, {"\xC3\x89t\xC3\xA9.txt", "3"}, {"\xC3\xA9t\xC3\xA9 (2).txt", "4"}},
     "[Attachment saved to \"@/\xC3\xBF.txt\"]\r\n[Attachment saved to \"@/\xC3\xBE.txt\"]\r\n"
     "[Attachment saved to \"@/\xC3\x89t\xC3\xA9.txt\"]\r\n[Attachment saved to \"@/\xC3\xA9t\xC3\xA9 (2).txt\"]\r\n",
     {}},
    {"uuencoded parts; an unencoded name read in the message's charset",
     "Content-Type: multipart/mixed; boundary=u\r\n\r\n--u\r\nContent-Type: text/plain; charset=windows-1251\r\n\r\n"
     "\xCF\xF0\xE8\r\n--u\r\nContent-Type: application/octet-stream; name=\"\xF4\xE0\xE9\xEB.bin\"\r\n"
     "Content-Transfer-Encoding: x-uuencode\r\n\r\nnote\r\nbegin 644 f\r\n#86)C\r\nno data line\r\n#86)C\r\n`\r\n"
     "end\r\nafter\r\n--u\r\nContent-Type: text/plain; name=n.txt\r\nContent-Transfer-Encoding: uue\r\n\r\n"
     "no begin\r\nline\r\n--u--\r\n",
     {{"\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.bin", "abcabc"}, {"n.txt", "no begin\r\nline"}},
     "[Text charset: windows-1251]\r\n\xCF\xF0\xE8\r\n[Attachment saved to \"@/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.bin\"]\r\n"
     "[Attachment saved to \"@/n.txt\"]\r\n",
     {"[MIME: uuencoded content with lines that are not, or without its begin or end line]"}},
    {"header ended by a line of blanks; part header runs into its boundary; \"--b-->\" closes",
     "Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n \t\r\n--b\r\n"
     "Content-Type: multipart/alternative; boundary=\"alt\"\r\n--alt\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
     "--alt\r\nContent-Type: text/html\r\n \r\n<p>html</p>\r\n--alt--\r\n--b\r\n"
     "Content-Type: application/octet-stream; name=a.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n"
     "QUJDREVGRw==\r\n--b-->\r\n<p>epilogue junk: no base64 here</p>\r\n",
     {{"part-2.html", "<p>html</p>"}, {"a.bin", "ABCDEFG"}},
     "plain\r\n[Attachment saved to \"@/part-2.html\"]\r\n[Attachment saved to \"@/a.bin\"]\r\n",
     {}},
    {"top header runs into the first boundary line; \"--b--junk\" closes; \"--bb\" is content",
     "Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>hi</p>\r\n"
     "--bb is no boundary\r\n--b\r\nContent-Type: image/gif; name=x.gif\r\nContent-Transfer-Encoding: base64\r\n\r\n"
     "R0lGODlh\r\n--b--junk\r\nQUJD\r\n",
     {{"x.gif", "GIF89a"}},
     "<p>hi</p>\r\n--bb is no boundary\r\n[Attachment saved to \"@/x.gif\"]\r\n",
     {"[MIME: a header ends without a blank line]"}},
};

std::vector<std::string> linesOf(const std::string& message) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < message.size();) {
    size_t end = message.find('\n', at);
    end = end == std::string::npos ? message.size() : end + 1;
    lines.push_back(message.substr(at, end - at));
    at = end;
  }
  return lines;
}

Files filesIn(const std::string& folder) {
  Files files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    files[entry.path().filename().string()] = readFile(entry.path().string());
  }
  return files;
}

std::string replaced(std::string text, const std::string& marker, const std::string& by) {
  for (size_t at = 0; (at = text.find(marker, at)) != std::string::npos; at += by.size()) text.replace(at, marker.size(), by);
  return text;
}

class MimeWalker : public ::testing::Test {
 protected:
  Attached lib{1};
  ChannelRecord* record = lib.downloading(0);

  // Walks the message with every line cut into pieces of at most piece
  // bytes (0: whole lines); the message file and the files it leaves.
  void walk(const Case& c, size_t piece, std::string* text, Files* files, std::string* log) {
    TempDir dir;
    std::string folder = dir.file("files");
    std::filesystem::create_directory(folder);
    ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, dir.file("log").c_str()), 0);
    record->decoder->mailFile = plat::fileCreate(dir.file("message").c_str());
    copyText(record->decoder->attachDirectory, folder.c_str(), kPathCap);
    ASSERT_TRUE(mimeStart(record));
    for (const std::string& line : linesOf(c.message)) {
      size_t size = piece == 0 ? line.size() : piece;
      for (size_t at = 0; at < line.size(); at += size) {
        size_t n = std::min(size, line.size() - at);
        ASSERT_EQ(mimeLine(record, line.data() + at, static_cast<int32_t>(n), at + n < line.size()), 0);
      }
    }
    ASSERT_EQ(mimeEnd(record), 0);
    EXPECT_EQ(record->decoder->mimeWalk, nullptr);
    closeDownloadFiles(record);
    // The top header as received, ended by an empty line even where the
    // message had none or a line of blanks.
    std::string all = readFile(dir.file("message"));
    size_t header = all.find("\r\n\r\n");
    ASSERT_NE(header, std::string::npos);
    EXPECT_EQ(all.compare(0, header + 2, c.message, 0, header + 2), 0) << "the top header as received";
    *text = replaced(all.substr(header + 4), folder, "@");
    *files = filesIn(folder);
    *log = readFile(dir.file("log"));
  }
};

TEST_F(MimeWalker, WholeAndInPiecesOfEverySize) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    size_t longest = 0;
    for (const std::string& line : linesOf(c.message)) longest = std::max(longest, line.size());
    for (size_t piece = 0; piece <= longest; ++piece) {
      SCOPED_TRACE(piece);
      std::string text;
      std::string log;
      Files files;
      walk(c, piece, &text, &files, &log);
      EXPECT_EQ(text, c.text);
      EXPECT_EQ(files, c.files);
      for (const char* note : c.logNotes) EXPECT_NE(log.find(note), std::string::npos) << note;
      if (HasFailure()) return;
    }
  }
}

}  // namespace
