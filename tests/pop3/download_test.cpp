// qelGetEmailFile with decoding on: RETR, the message file, the dot rules
// and the failures of a download.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "frame/settings.h"
#include "frame/text.h"
#include "mime/decoder_state.h"
#include "pop3_session.h"
#include "support/channel_setup.h"
#include "support/tls_server_side.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

// How many of this process's descriptors are open on path.
int openDescriptors(const std::string& path) {
  int count = 0;
  std::error_code error;
  std::string wanted = std::filesystem::weakly_canonical(path, error).string();
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(entry.path(), ignored).string() == wanted) ++count;
  }
  return count;
}

class Pop3Download : public Pop3Channel {
 protected:
  std::string messagePath() const { return dir.file("message.txt"); }
  int32_t download(int32_t message) {
    return qelGetEmailFile(0, message, "message.txt", dir.path().c_str(), dir.path().c_str());
  }
};

const char kMessage[] =
    "From: Ann <ann@example.org>\r\n"
    "Subject: plain\r\n"
    "\r\n"
    "First line.\r\n"
    "+OK this line looks like a status line\r\n"
    "..a stuffed dot\r\n"
    "..\r\n"
    "Last line.\r\n";
const char kSaved[] =
    "From: Ann <ann@example.org>\r\n"
    "Subject: plain\r\n"
    "\r\n"
    "First line.\r\n"
    "+OK this line looks like a status line\r\n"
    ".a stuffed dot\r\n"
    ".\r\n"
    "Last line.\r\n";

TEST_F(Pop3Download, MessageGoesToTheFileWithoutItsStatusLine) {
  std::string log = dir.file("pop3.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send(std::string("+OK 200 octets\r\n") + kMessage + ".\r\n"),
                                  ExpectLine("QUIT"), Send("+OK bye\r\n")}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(download(1), 0);
  EXPECT_EQ(readFile(messagePath()), kSaved);
  EXPECT_EQ(record->decoder->mailFile, 0);
  EXPECT_EQ(openDescriptors(messagePath()), 0);
  EXPECT_TRUE(socketIsOpen(record->connection));
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(afterLoginTranscript(server), "RETR 1\r\nQUIT\r\n");
  std::string text = readFile(log);
  EXPECT_NE(text.find("Saving email to '" + messagePath() + "'\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[CLOSE]\r\n"), std::string::npos);
}

TEST_F(Pop3Download, LinesSplitAcrossSegmentsAndLongerThanOneRead) {
  std::string body;
  for (int i = 0; i < 50; ++i) body += "line " + std::to_string(i) + " " + std::string(i * 7, 'x') + "\r\n";
  std::string longLine = std::string(3000, 'L') + "\r\n";
  std::string message = "Subject: long\r\n\r\n" + body + longLine + std::string(1023, 'e') + "\r\n" + "end\r\n";
  for (std::size_t piece : {static_cast<std::size_t>(7), static_cast<std::size_t>(1500)}) {
    SCOPED_TRACE(piece);
    ScriptServer server(afterLogin({ExpectLine("RETR 2"), SendInPieces("+OK\r\n" + message + ".\r\n", piece, 1),
                                    ExpectClose()}));
    ASSERT_EQ(connect(server), 0);
    EXPECT_EQ(download(2), 0);
    EXPECT_EQ(readFile(messagePath()), message);
    qelAbort(0);
  }
}

// With QEL_PARAM_STEP_LINES one driver call takes every line that has
// already arrived: the same file, from a whole answer in far fewer calls
// than lines, and from an answer in small pieces (each call stops at a line
// not yet whole).
TEST_F(Pop3Download, ManyLinesPerStepGiveTheSameFile) {
  constexpr int kLines = 400;
  std::string message = "Subject: many\r\n\r\n";
  std::string stuffed = message;
  for (int i = 0; i < kLines; ++i) {
    std::string line = "line " + std::to_string(i) + "\r\n";
    message += i % 50 == 0 ? "." + line : line;
    stuffed += i % 50 == 0 ? ".." + line : line;
  }
  message += std::string(1500, 'L') + "\r\n";
  stuffed += std::string(1500, 'L') + "\r\n";
  ASSERT_EQ(qelIntegerParam(0, QEL_PARAM_STEP_LINES, 1024), 1);
  for (std::size_t piece : {static_cast<std::size_t>(0), static_cast<std::size_t>(7)}) {
    SCOPED_TRACE(piece);
    std::string answer = "+OK\r\n" + stuffed + ".\r\n";
    ScriptServer server(afterLogin({ExpectLine("RETR 1"), piece == 0 ? Send(answer) : SendInPieces(answer, piece, 1),
                                    ExpectClose()}));
    ASSERT_EQ(connect(server), 0);
    int32_t before = qelStatistics(0, QEL_STAT_STATE_COUNT);
    EXPECT_EQ(download(1), 0);
    EXPECT_EQ(readFile(messagePath()), message);
    if (piece == 0) {
      EXPECT_LT(qelStatistics(0, QEL_STAT_STATE_COUNT) - before, kLines / 4);
    }
    qelAbort(0);
  }
}

TEST_F(Pop3Download, OnlyTheStatusLineIsLeftOut) {
  // A status line longer than one read is left out whole; message lines
  // that begin with "+OK" (base64 text may) are message data.
  std::string status = "+OK " + std::string(1500, 's') + "\r\n";
  std::string message = "Subject: b64\r\n\r\n+OK500Yvkg2H6FL3wUGLTld+cII30KBlByjslhfhxOXZUMcp79QBHM\r\n+OK\r\n";
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send(status + message + ".\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(download(1), 0);
  EXPECT_EQ(readFile(messagePath()), message);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_READ), static_cast<int32_t>(status.size() + message.size()));
  qelAbort(0);
}

TEST_F(Pop3Download, ErrorAnswerFailsAtOnce) {
  ScriptServer server(afterLogin({ExpectLine("RETR 9"), Send("-ERR There's no message 9.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(download(9), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(errorText(QEL_ERR_POP3_ERROR), "POP3 returned error. -ERR There's no message 9.\r\n");
  EXPECT_EQ(record->decoder->mailFile, 0);
  EXPECT_EQ(openDescriptors(messagePath()), 0);
  EXPECT_EQ(readFile(messagePath()), "");
  EXPECT_FALSE(socketIsOpen(record->connection));
}

TEST_F(Pop3Download, ConnectionClosedBeforeTheEndFails) {
  const struct {
    const char* name;
    std::string sent;
    std::string kept;
  } cases[] = {
      {"after some lines", "+OK\r\nSubject: cut\r\n\r\nbody\r\n", "Subject: cut\r\n\r\nbody\r\n"},
      {"inside a line", "+OK\r\nSubject: cut\r\n\r\nhalf a li", "Subject: cut\r\n\r\nhalf a li"},
      {"before the status line", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send(c.sent), Close()}));
    ASSERT_EQ(connect(server), 0);
    EXPECT_EQ(download(1), QEL_ERR_SOCKET_CLOSED);
    // The file is closed and keeps what arrived.
    EXPECT_EQ(record->decoder->mailFile, 0);
    EXPECT_EQ(openDescriptors(messagePath()), 0);
    EXPECT_EQ(readFile(messagePath()), c.kept);
  }
}

TEST_F(Pop3Download, PathTooLongForTheRecordSendsNoRetr) {
  std::string directory = dir.path() + "/" + std::string(120 - dir.path().size(), 'd');
  std::filesystem::create_directory(directory);
  ScriptServer server(afterLogin({ExpectLine("NOOP"), Send("+OK\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  // 120 + "/" + 8 characters do not fit in 128; 7 do.
  EXPECT_EQ(qelGetEmailFile(0, 1, "12345678", directory.c_str(), directory.c_str()), QEL_ERR_CANNOT_CREATE_FILE);
  EXPECT_EQ(record->decoder->mailPath[0], '\0');
  EXPECT_FALSE(std::filesystem::exists(directory + "/1234567"));
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(afterLoginTranscript(server), "");
}

TEST_F(Pop3Download, FileThatCannotBeCreatedSendsNoRetr) {
  ScriptServer server(afterLogin({ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(qelGetEmailFile(0, 1, "m.txt", (dir.path() + "/missing").c_str(), dir.path().c_str()),
            QEL_ERR_CANNOT_CREATE_FILE);
  EXPECT_EQ(record->decoder->mailFile, 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(afterLoginTranscript(server), "");
}

TEST_F(Pop3Download, DirectoryEndingInASeparatorGetsNoSecondOne) {
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send("+OK\r\nx\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  std::string withSlash = dir.path() + "/";
  EXPECT_EQ(qelGetEmailFile(0, 1, "m.txt", withSlash.c_str(), withSlash.c_str()), 0);
  EXPECT_EQ(std::string(record->decoder->mailPath), dir.path() + "/m.txt");
  EXPECT_EQ(readFile(dir.file("m.txt")), "x\r\n");
  qelAbort(0);
}

TEST_F(Pop3Download, WriteFailureFailsTheDownload) {
  ScriptServer server(
      afterLogin({ExpectLine("RETR 1"), Send("+OK\r\nSubject: x\r\n\r\nbody\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  // Every write to /dev/full fails.
  EXPECT_EQ(qelGetEmailFile(0, 1, "full", "/dev", dir.path().c_str()), -1);
  EXPECT_EQ(record->decoder->mailFile, 0);
  EXPECT_FALSE(socketIsOpen(record->connection));
}

TEST_F(Pop3Download, QuotedPrintablePartsAreDecodedIntoTheFile) {
  ScriptServer server(afterLogin({ExpectLine("RETR 1"),
                                  Send("+OK\r\ncaf=C3=A9 =3D ok\r\nsoft =\r\nbreak\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  ASSERT_EQ(download(1), 0);
  // As the decoder sets it for a quoted-printable part.
  record->decoder->partEncoding = 3;
  EXPECT_EQ(driveToEnd(0), 0);
  EXPECT_EQ(readFile(messagePath()), "caf\xC3\xA9 = ok\r\nsoft break\r\n");
  qelAbort(0);
}

// A quoted-printable line longer than one read (1023 bytes) arrives in
// pieces; an escape and a soft break cut by the end of a piece are completed
// by the next piece.
TEST_F(Pop3Download, QuotedPrintableEscapeCutBetweenPiecesIsDecoded) {
  std::string body = std::string(1021, 'a') + "=41=\r\nend=3D\r\n";
  ScriptServer server(afterLogin({ExpectLine("RETR 1"),
                                  Send("+OK\r\nMIME-Version: 1.0\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                                       "\r\n" + body + ".\r\n"),
                                  ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  ASSERT_EQ(download(1), 0);
  EXPECT_EQ(readFile(messagePath()), "MIME-Version: 1.0\r\n\r\n" + std::string(1021, 'a') + "Aend=\r\n");
  qelAbort(0);
}

// A download that fails, through the driver's deadline or a closed
// connection, closes its message file and its attachment file at once. The
// attachment is cut short: it is never noted nor counted as saved, neither
// then nor by qelClose.
TEST_F(Pop3Download, FailuresCloseTheirFilesAtOnce) {
  const std::string head =
      "+OK\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
      "Content-Type: application/octet-stream; name=\"part.bin\"\r\nContent-Transfer-Encoding: base64\r\n"
      "\r\nQUJD\r\n";
  settings.replyTimeout = 400;
  settings.pop3ReadWait = 100;
  const struct {
    const char* name;
    Step end;
    int32_t code;
  } cases[] = {
      {"stalled", Pause(1500), QEL_ERR_TIMED_OUT},
      {"closed", Close(), QEL_ERR_SOCKET_CLOSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send(head), c.end}));
    ASSERT_EQ(connect(server), 0);
    EXPECT_EQ(download(1), c.code);
    EXPECT_EQ(record->decoder->mailFile, 0);
    EXPECT_EQ(record->decoder->fileHandle, 0);
    EXPECT_EQ(openDescriptors(messagePath()), 0);
    EXPECT_EQ(openDescriptors(dir.file("part.bin")), 0);
    EXPECT_EQ(readFile(dir.file("part.bin")), "ABC");  // what arrived is kept
    qelClose(0);
    EXPECT_EQ(readFile(messagePath()), "MIME-Version: 1.0\r\n\r\n");
    EXPECT_EQ(record->decoder->savedCount, 0);
    EXPECT_STREQ(record->decoder->savedNames, "");
  }
}

// A message whose parts are files of the given names, each holding
// "part N" (N from 1).
std::string messageWithParts(const std::vector<std::string>& names) {
  std::string message = "+OK\r\nSubject: parts\r\nMIME-Version: 1.0\r\n"
                        "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\nThe text.\r\n";
  char encoded[64];
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string content = "part " + std::to_string(i + 1);
    int32_t length = qelEncodeBuffer(content.data(), encoded, static_cast<int32_t>(content.size()));
    message += "--b\r\nContent-Type: application/octet-stream; name=\"" + names[i] +
               "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + std::string(encoded, length);
  }
  return message + "--b--\r\n.\r\n";
}

// A download never opens the message file it is writing, nor a file it has
// written itself: a taken name is numbered, and every part is saved, noted
// and counted under the name it got. A file left by an earlier download is
// replaced.
TEST_F(Pop3Download, PartsNeverOverwriteTheDownloadsOwnFiles) {
  const struct {
    std::vector<std::string> names;
    std::string saved;
  } cases[] = {
      {{"same.bin", "same.bin", "same.bin"}, "same.bin,same (2).bin,same (3).bin"},
      // Names that one Windows file would hold: letters of any case, in
      // UTF-8 or in an ANSI code page, and a name with a dot at the end.
      {{"a.txt", "A.TXT"}, "a.txt,A (2).TXT"},
      {{"M\xC3\xA4rz.png", "M\xC3\x84RZ.png"}, "M\xC3\xA4rz.png,M\xC3\x84RZ (2).png"},
      {{"\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf", "\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.PDF"},
       "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf,\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2 (2).PDF"},
      {{"\xCE\xBB\xCF\x8C\xCE\xB3\xCE\xBF\xCF\x82.txt", "\xCE\x9B\xCE\x8C\xCE\x93\xCE\x9F\xCE\xA3.txt"},
       "\xCE\xBB\xCF\x8C\xCE\xB3\xCE\xBF\xCF\x82.txt,\xCE\x9B\xCE\x8C\xCE\x93\xCE\x9F\xCE\xA3 (2).txt"},
      {{"M\xE4rz.png", "M\xC4RZ.png"}, "M\xE4rz.png,M\xC4RZ (2).png"},
      // Case pairs of every script ("Ǎ", "Ⅰ", "Ἀ"), and windows-1252's own
      // pairs among its bytes 0x80..0x9F ("Š"/"š", "Ÿ"/"ÿ").
      {{"\xC7\x8D.txt", "\xC7\x8E.txt", "\xE2\x85\xA0.txt", "\xE2\x85\xB0.txt", "\xE1\xBC\x88.txt", "\xE1\xBC\x80.txt"},
       "\xC7\x8D.txt,\xC7\x8E (2).txt,\xE2\x85\xA0.txt,\xE2\x85\xB0 (2).txt,\xE1\xBC\x88.txt,\xE1\xBC\x80 (2).txt"},
      {{"\x8A.txt", "\x9A.txt", "\x9F.txt", "\xFF.txt"}, "\x8A.txt,\x9A (2).txt,\x9F.txt,\xFF (2).txt"},
      {{"a.txt", "a.txt."}, "a.txt,a.txt (2)."},
      {{"same.bin", "same.bin", "same (2).bin"}, "same.bin,same (2).bin,same (2) (2).bin"},
      {{"message.txt", "noext", "noext"}, "message (2).txt,noext,noext (2)"},
      {{"old.bin"}, "old.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.saved);
    TempDir target;
    writeFile(target.file("old.bin"), "left by an earlier download");
    ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send(messageWithParts(c.names)), ExpectClose()}));
    ASSERT_EQ(connect(server), 0);
    ASSERT_EQ(qelGetEmailFile(0, 1, "message.txt", target.path().c_str(), target.path().c_str()), 0);
    char names[kSavedNamesCap + 1];
    qelDebug(0, QEL_DEBUG_SAVED_NAMES, names, kSavedNamesCap);
    EXPECT_EQ(std::string(names), c.saved);
    EXPECT_EQ(qelStatistics(0, QEL_STAT_SAVED_COUNT), static_cast<int32_t>(c.names.size()));
    std::string notes;
    std::size_t from = 0;
    for (std::size_t i = 0; i < c.names.size(); ++i) {
      std::size_t comma = c.saved.find(',', from);
      std::string name = c.saved.substr(from, comma - from);
      from = comma + 1;
      EXPECT_EQ(readFile(target.file(name)), "part " + std::to_string(i + 1)) << name;
      notes += "[Attachment saved to \"" + target.file(name) + "\"]\r\n";
    }
    EXPECT_EQ(readFile(target.file("message.txt")), "Subject: parts\r\nMIME-Version: 1.0\r\n\r\n" + notes);
    qelAbort(0);
  }
}

// Two thousand parts of one name give two thousand files.
TEST_F(Pop3Download, ManyPartsOfOneNameAreAllKept) {
  constexpr int kParts = 2000;
  ScriptServer server(afterLogin({ExpectLine("RETR 1"),
                                  Send(messageWithParts(std::vector<std::string>(kParts, "same.bin"))),
                                  ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  ASSERT_EQ(download(1), 0);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_SAVED_COUNT), kParts);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, kParts + 1);  // and the message file
  EXPECT_EQ(readFile(dir.file("same (" + std::to_string(kParts) + ").bin")), "part " + std::to_string(kParts));
  qelAbort(0);
}

// Messages whose lines hold NUL bytes or end in a bare LF: every line reaches
// the message file whole, the download ends at the real "." line, and the
// next command's answer is read in step.
TEST_F(Pop3Download, LinesWithNulBytesOrBareLineFeedsAreKept) {
  const std::string nul(1, '\0');
  // A line of more than one read with a NUL in its first piece and "." as
  // the first byte of its second piece.
  const std::string longNul = "X-Pad: a" + nul + std::string(1014, 'b') + ".\r\n";
  const std::string multipart = "From: a@example.org\r\nMIME-Version: 1.0\r\n"
                                "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                                "Content-Type: text/plain\r\n\r\n";
  const std::string multipartSaved = "From: a@example.org\r\nMIME-Version: 1.0\r\n\r\n";
  const struct {
    const char* name;
    std::string sent;
    std::string saved;
  } cases[] = {
      {"long line with a NUL in the top header", longNul + "Subject: s\r\n\r\nbody\r\n",
       longNul + "Subject: s\r\n\r\nbody\r\n"},
      {"long line with a NUL in a part", multipart + longNul + "after\r\n--b--\r\n",
       multipartSaved + longNul + "after\r\n"},
      {"NUL in a header line", "X-Nul: a" + nul + "b\r\nSubject: s\r\n\r\nbody\r\n",
       "X-Nul: a" + nul + "b\r\nSubject: s\r\n\r\nbody\r\n"},
      {"NUL in a part's text", multipart + "te" + nul + "xt\r\n--b--\r\n", multipartSaved + "te" + nul + "xt\r\n"},
      {"NUL in quoted-printable text",
       "MIME-Version: 1.0\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\na=3D" + nul + "b=3D\r\n",
       "MIME-Version: 1.0\r\n\r\na=" + nul + "b=\r\n"},
      {"bare line feeds in a multipart message",
       "From: a@example.org\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\npreamble\n--b\n"
       "Content-Type: text/plain\n\nhello\n--b--\n",
       "From: a@example.org\nMIME-Version: 1.0\n\nhello\n"},
      {"bare line feeds in quoted-printable text",
       "MIME-Version: 1.0\nContent-Transfer-Encoding: quoted-printable\n\nsoft =\nbreak=3D\n",
       "MIME-Version: 1.0\n\nsoft break=\n"},
      {"bare line feed behind a base64 header word", "From: =?iso-8859-1?b?Q2Fyb2w=?= <c@example.org>\n\nx\n",
       "From: Carol <c@example.org>" + std::string(20, ' ') + "\n\nx\n"},
  };
  std::vector<Step> steps;
  int32_t message = 0;
  for (const auto& c : cases) {
    steps.push_back(ExpectLine("RETR " + std::to_string(++message)));
    steps.push_back(Send("+OK\r\n" + c.sent + ".\r\n"));
  }
  steps.push_back(ExpectLine("STAT"));
  steps.push_back(Send("+OK 3 30\r\n"));
  ScriptServer server(afterLogin(steps));
  ASSERT_EQ(connect(server), 0);
  message = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(download(++message), 0);
    EXPECT_EQ(readFile(messagePath()), c.saved);
  }
  EXPECT_EQ(qelGetEmailCount(0), 3);
  qelAbort(0);
  EXPECT_EQ(server.mismatches(), "");
}

// The original message beside the decoded files (QEL_STRING_ORIGINAL_FILE):
// the bytes as they came, stuffing dots removed, with either decoder, an
// attachment saved in the same pass; a file that cannot be made sends no
// RETR, one that cannot be written fails the download.
TEST_F(Pop3Download, OriginalMessageIsCopiedBesideTheDecodedFiles) {
  const std::string nul(1, '\0');
  const std::string messages[] = {
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
      "Content-Type: text/plain\r\n\r\n.text\r\n--b\r\nContent-Type: application/octet-stream;\r\n name=\"a.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nAP+A\r\n--b--\r\n",
      "Subject: s\r\n\tfolded\r\n\r\n.x\r\n.\r\n\xff\x80" + nul + "\r\nbare\n." + std::string(3000, '.') + "\r\n\r\n",
      "",
  };
  auto stuffed = [](const std::string& message) {
    std::string out;
    for (size_t start = 0; start < message.size();) {
      size_t end = message.find('\n', start);
      end = end == std::string::npos ? message.size() : end + 1;
      out += (message[start] == '.' ? "." : "") + message.substr(start, end - start);
      start = end;
    }
    return out;
  };
  std::vector<Step> steps;
  for (int round = 0; round < 2; ++round) {
    for (size_t n = 1; n <= std::size(messages); ++n) {
      steps.push_back(ExpectLine("RETR " + std::to_string(n)));
      steps.push_back(Send("+OK\r\n" + stuffed(messages[n - 1]) + ".\r\n"));
    }
  }
  steps.push_back(ExpectLine("RETR 1"));
  steps.push_back(Send("+OK\r\n" + messages[0] + ".\r\n"));
  ScriptServer server(afterLogin(steps));
  ASSERT_EQ(connect(server), 0);
  for (int32_t fullMime : {0, 1}) {
    qelIntegerParam(0, QEL_PARAM_FULL_MIME, fullMime);
    std::remove(dir.file("a.bin").c_str());
    for (size_t n = 1; n <= std::size(messages); ++n) {
      SCOPED_TRACE(std::to_string(fullMime) + " " + std::to_string(n));
      std::string original = dir.file("original-" + std::to_string(fullMime) + std::to_string(n));
      ASSERT_EQ(qelStringParam(0, QEL_STRING_ORIGINAL_FILE, original.c_str()), static_cast<int32_t>(original.size()));
      EXPECT_EQ(download(static_cast<int32_t>(n)), 0);
      EXPECT_EQ(readFile(original), messages[n - 1]);
      EXPECT_EQ(record->decoder->originalFile, 0);
    }
    EXPECT_EQ(readFile(dir.file("a.bin")), std::string("\0\xff\x80", 3));
  }
  EXPECT_EQ(qelStringParam(0, QEL_STRING_ORIGINAL_FILE, std::string(261, 'p').c_str()), QEL_ERR_TEXT_TOO_LONG);
  qelStringParam(0, QEL_STRING_ORIGINAL_FILE, "/dev/full");
  EXPECT_EQ(download(1), -1);
  EXPECT_EQ(record->decoder->originalFile, 0);
  EXPECT_FALSE(socketIsOpen(record->connection));
  EXPECT_EQ(server.mismatches(), "");
  ScriptServer noRetr(afterLogin({ExpectClose()}));
  ASSERT_EQ(connect(noRetr), 0);
  qelStringParam(0, QEL_STRING_ORIGINAL_FILE, (dir.path() + "/missing/original").c_str());
  EXPECT_EQ(download(1), QEL_ERR_CANNOT_CREATE_FILE);
  ASSERT_TRUE(noRetr.finished(5000));
  EXPECT_EQ(afterLoginTranscript(noRetr), "");
}

// A header line whose continuation stalls: one bound of 4 x pop3ReadWait
// covers the line and every line joined to it, then the download fails.
TEST_F(Pop3Download, StallInsideAFoldedHeaderIsBoundOnce) {
  settings.pop3ReadWait = 1000;
  ScriptServer server(afterLogin(
      {ExpectLine("RETR 1"), Send("+OK\r\nContent-Type: multipart/mixed;\r\n boundary=\"b\";"), Silent()}));
  ASSERT_EQ(connect(server), 0);
  settings.replyTimeout = 200;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(download(1), QEL_ERR_TIMED_OUT);
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(elapsed.count(), 4 * 1000 - 100);
  EXPECT_LT(elapsed.count(), 5 * 1000);
}

// A multi-line answer whose status line, or whose part that is not kept,
// keeps coming ends at the reply time-out of its command, however fast it
// comes, and the log keeps only the start of a line without end.
TEST_F(Pop3Download, AnswersThatNeverEndStopAtTheReplyTimeout) {
  const std::string endless(1 << 16, 'x');
  std::string shortLines;
  while (shortLines.size() < endless.size()) shortLines += "X-Filler: a header line of the flood\r\n";
  char buffer[128];
  const auto top = [&] { return qelGetEmailLines(0, 1, 0, buffer, sizeof buffer); };
  const auto uidl = [&] { return qelGetEmailUID(0, -1, buffer, sizeof buffer); };
  const auto retr = [&] { return download(1); };
  const struct {
    const char* name;
    int32_t decodeState, fullMime, rawMessageOnly;
    const char* command;
    Step flood;
    std::function<int32_t()> call;  // after the login; none: the login is the call
    bool tls = false;
  } cases[] = {
      {"RETR status", 0, 0, 0, "RETR 1", SendEndless("+OK ", endless, 6000), retr},
      {"RETR status, full MIME", 0, 1, 0, "RETR 1", SendEndless("+OK ", endless, 6000), retr},
      {"RETR status, raw message only", 1, 0, 1, "RETR 1", SendEndless("+OK ", endless, 6000), retr},
      {"RETR status through TLS", 0, 0, 0, "RETR 1", SendEndless("+OK ", endless, 6000), retr, true},
      {"TOP status", 0, 0, 0, "TOP 1 0", SendEndless("+OK ", endless, 6000), top},
      {"TOP beyond the buffer", 0, 0, 0, "TOP 1 0", SendEndless("+OK\r\n", shortLines, 6000), top},
      {"UIDL beyond the buffer", 0, 0, 0, "UIDL", SendEndless("+OK\r\n", shortLines, 6000), uidl},
      {"CAPA status", 0, 0, 0, "CAPA", SendEndless("+OK ", endless, 6000), nullptr},
      {"CAPA lines", 0, 0, 0, "CAPA", SendEndless("+OK\r\n", shortLines, 6000), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string log = dir.file("flood.log");
    ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
    qelIntegerParam(0, QEL_PARAM_DECODE_STATE, c.decodeState);
    qelIntegerParam(0, QEL_PARAM_FULL_MIME, c.fullMime);
    qelIntegerParam(0, QEL_PARAM_RAW_MESSAGE_ONLY, c.rawMessageOnly);
    const bool capa = c.call == nullptr;
    qelIntegerParam(0, QEL_PARAM_NEGOTIATE_LOGIN, capa ? 1 : 0);
    std::vector<Step> script = capa ? std::vector<Step>{Send("+OK ready\r\n"), ExpectLine("CAPA"), c.flood}
                                    : afterLogin({ExpectLine(c.command), c.flood});
    if (c.tls) script.insert(script.begin(), StartTls());
    qelIntegerParam(0, QEL_PARAM_TLS_MODE, c.tls ? QEL_TLS_IMPLICIT : QEL_TLS_OFF);
    qelStringParam(0, QEL_STRING_CA_FILE, testCertFile("ca.pem").c_str());
    ScriptServer server(script);
    // The login itself (a TLS handshake in a sanitizer build) gets time of
    // its own; the short time-outs bound the call.
    settings.replyTimeout = settings.pop3ReadWait = capa ? 300 : 10000;
    if (!capa) {
      ASSERT_EQ(connect(server), 0);
    }
    settings.replyTimeout = settings.pop3ReadWait = 300;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(capa ? connect(server) : c.call(), QEL_ERR_TIMED_OUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    qelAbort(0);
    qelStringParam(0, QEL_STRING_LOG_FILE, "");
    // A line without end is logged by its start; short lines as they came.
    if (c.flood.text == "+OK ") {
      EXPECT_LT(readFile(log).size(), 16u * 1024);
    }
  }
}

}  // namespace
