// qelGetEmailFile with decoding on: RETR, the message file, the dot rules
// and the failures of a download.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "frame/settings.h"
#include "frame/text.h"
#include "pop3_session.h"
#include "support/channel_setup.h"

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

class Pop3Download : public Pop3Session {
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
  EXPECT_EQ(record->mailFile, 0);
  EXPECT_EQ(openDescriptors(messagePath()), 0);
  EXPECT_TRUE(record->socketOpen);
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
  EXPECT_EQ(record->mailFile, 0);
  EXPECT_EQ(openDescriptors(messagePath()), 0);
  EXPECT_EQ(readFile(messagePath()), "");
  EXPECT_FALSE(record->socketOpen);
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
    EXPECT_EQ(record->mailFile, 0);
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
  EXPECT_EQ(record->mailPath[0], '\0');
  EXPECT_FALSE(std::filesystem::exists(directory + "/1234567"));
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(afterLoginTranscript(server), "");
}

TEST_F(Pop3Download, FileThatCannotBeCreatedSendsNoRetr) {
  ScriptServer server(afterLogin({ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(qelGetEmailFile(0, 1, "m.txt", (dir.path() + "/missing").c_str(), dir.path().c_str()),
            QEL_ERR_CANNOT_CREATE_FILE);
  EXPECT_EQ(record->mailFile, 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(afterLoginTranscript(server), "");
}

TEST_F(Pop3Download, DirectoryEndingInASeparatorGetsNoSecondOne) {
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send("+OK\r\nx\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  std::string withSlash = dir.path() + "/";
  EXPECT_EQ(qelGetEmailFile(0, 1, "m.txt", withSlash.c_str(), withSlash.c_str()), 0);
  EXPECT_EQ(std::string(record->mailPath), dir.path() + "/m.txt");
  EXPECT_EQ(readFile(dir.file("m.txt")), "x\r\n");
  qelAbort(0);
}

TEST_F(Pop3Download, WriteFailureFailsTheDownload) {
  ScriptServer server(
      afterLogin({ExpectLine("RETR 1"), Send("+OK\r\nSubject: x\r\n\r\nbody\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  // Every write to /dev/full fails.
  EXPECT_EQ(qelGetEmailFile(0, 1, "full", "/dev", dir.path().c_str()), -1);
  EXPECT_EQ(record->mailFile, 0);
  EXPECT_FALSE(record->socketOpen);
}

TEST_F(Pop3Download, QuotedPrintablePartsAreDecodedIntoTheFile) {
  ScriptServer server(afterLogin({ExpectLine("RETR 1"),
                                  Send("+OK\r\ncaf=C3=A9 =3D ok\r\nsoft =\r\nbreak\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  ASSERT_EQ(download(1), 0);
  // As the decoder sets it for a quoted-printable part.
  record->partEncoding = 3;
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

TEST_F(Pop3Download, NewDownloadAndCloseFinishFilesLeftOpen) {
  // A download that times out leaves its file open; the next download
  // closes it first, and so does qelClose.
  settings.replyTimeout = 400;
  settings.pop3ReadWait = 100;
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send("+OK\r\npartial\r\n"), Pause(1500), Accept(),
                                  Send("+OK again\r\n"), ExpectLine("USER u"), Send("+OK\r\n"), ExpectLine("PASS p"),
                                  Send("+OK\r\n"), ExpectLine("RETR 2"), Send("+OK\r\nwhole\r\n.\r\n"),
                                  ExpectLine("RETR 3"), Send("+OK\r\nthird\r\n"), Pause(1500), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(qelGetEmailFile(0, 1, "first.txt", dir.path().c_str(), dir.path().c_str()), QEL_ERR_TIMED_OUT);
  EXPECT_GT(record->mailFile, 0);
  EXPECT_EQ(openDescriptors(dir.file("first.txt")), 1);
  // An attachment file left open as well.
  int attachment = ::open(dir.file("part.bin").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GT(attachment, 0);
  record->fileHandle = attachment;
  copyText(record->attachPath, dir.file("part.bin").c_str(), kPathCap);

  settings.replyTimeout = 25000;
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(qelGetEmailFile(0, 2, "second.txt", dir.path().c_str(), dir.path().c_str()), 0);
  EXPECT_EQ(openDescriptors(dir.file("first.txt")), 0);
  EXPECT_EQ(openDescriptors(dir.file("part.bin")), 0);
  EXPECT_EQ(record->fileHandle, 0);
  // The part is recorded where it ended, in the message file it belongs to.
  EXPECT_EQ(readFile(dir.file("first.txt")), "partial\r\n[Attachment saved to \"" + dir.file("part.bin") + "\"]\r\n");
  EXPECT_EQ(record->savedCount, 0);  // the new download counts its own
  EXPECT_EQ(readFile(dir.file("second.txt")), "whole\r\n");

  settings.replyTimeout = 400;

  EXPECT_EQ(qelGetEmailFile(0, 3, "third.txt", dir.path().c_str(), dir.path().c_str()), QEL_ERR_TIMED_OUT);
  EXPECT_EQ(openDescriptors(dir.file("third.txt")), 1);
  qelClose(0);
  EXPECT_EQ(openDescriptors(dir.file("third.txt")), 0);
  EXPECT_EQ(record->mailFile, 0);
  EXPECT_EQ(readFile(dir.file("third.txt")), "third\r\n");
}

}  // namespace
