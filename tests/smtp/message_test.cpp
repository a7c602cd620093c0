// Composition of sent messages: header lines, body types, bodies from
// files, attachments and inline images, as exact transcripts of what the
// scripted server received. Longer messages are kept as golden files under
// tests/data/smtp/ (LF line ends there, CR LF on the wire).
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "qel32.h"
#include "smtp/smtp_send.h"
#include "smtp_session.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {
const std::vector<std::string> kBob{"<bob@example.net>"};
constexpr char kTo[] = "Bob <bob@example.net>";

class Message : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  TempDir dir;
  std::string received;  // what the last sendOne's server received

  // Runs one send on a fresh connection and returns the message part of
  // the transcript; the whole transcript must be the envelope, the message
  // and QUIT.
  std::string sendOne(const char* subject, const char* message, const char* attachments, int32_t expected = 0) {
    ScriptServer server(steps({greeting(), envelopeAndData(kBob), quit()}));
    EXPECT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, subject, message, attachments), expected);
    EXPECT_EQ(qelClose(0), 0);
    EXPECT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    received = server.received();
    std::string text = transcript(server);
    std::string message_ = messagePart(text);
    EXPECT_EQ(text, envelopeText(kBob) + message_ + ".\r\nQUIT\r\n");
    return message_;
  }
};

TEST_F(Message, PlainMessageHasNoMimeLines) {
  EXPECT_EQ(sendOne("Hello", "Line one\r\nLine two", nullptr),
            "X-Mailer: Corvane Quelpost Version 3.4\r\n"
            "Date: {DATE}\r\n"
            "To: Bob <bob@example.net>\r\n"
            "From: Ann Example <ann@example.org>\r\n"
            "Subject: Hello\r\n"
            "\r\n"
            "Line one\r\n"
            "Line two\r\n"
            "\r\n");
  EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_READ), 18);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_SENT), 20);
}

TEST_F(Message, EachBodyTypeHasItsStructure) {
  const struct {
    uint32_t bodyType;
    const char* golden;
  } cases[] = {
      {1, "body_type_1.txt"}, {2, "body_type_2.txt"}, {3, "body_type_3.txt"},
      {4, "body_type_4.txt"}, {9, "body_type_9.txt"}, {12, "body_type_1.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bodyType);
    qelIntegerParam(0, QEL_PARAM_BODY_TYPE, static_cast<int32_t>(c.bodyType));
    bool custom = c.bodyType == 9;
    qelStringParam(0, QEL_STRING_CONTENT_TYPE, custom ? "Content-Type: text/x-note; charset=utf-8" : "");
    qelStringParam(0, QEL_STRING_ENCODING, custom ? "Content-Transfer-Encoding: Quoted-Printable" : "");
    EXPECT_EQ(sendOne("Types", "Price = 5\n.hidden\nend", nullptr), golden(c.golden));
  }
}

TEST_F(Message, CustomTypeLeftEmptyStillGivesThePartAType) {
  qelIntegerParam(0, QEL_PARAM_BODY_TYPE, 9);
  std::string message = sendOne(nullptr, "x", nullptr);
  EXPECT_NE(message.find("--{BOUNDARY}\r\nContent-Type: text/plain\r\n"
                         "Content-Transfer-Encoding: quoted-printable\r\n\r\nx\r\n"),
            std::string::npos)
      << message;
}

TEST_F(Message, RecipientsAndHeaderLinesInTheirOrder) {
  ScriptServer server(steps({greeting(),
                             envelopeAndData({"<bob@example.net>", "<cy@example.net> (work)", "<dee@example.com>",
                                              "<eve@example.com>"}),
                             quit()}));
  qelStringParam(0, QEL_STRING_EXTRA_HEADER, "X-First: 1");
  qelStringParam(0, QEL_STRING_ADD_HEADER, "X-Second: 2");
  ASSERT_EQ(connectTo(server), 0);
  ASSERT_EQ(qelStringParam(0, QEL_STRING_REPLY_TO, "Desk <desk@example.org>"), 23);
  EXPECT_EQ(qelSendEmail(0, "Bob <bob@example.net>,Cy <cy@example.net> (work)", "Dee <dee@example.com>",
                         "Eve <eve@example.com>", "Four of them", "Hi", nullptr),
            0);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_EQ(messagePart(transcript(server)),
            "X-Mailer: Corvane Quelpost Version 3.4\r\n"
            "Date: {DATE}\r\n"
            "To: Bob <bob@example.net>,Cy <cy@example.net> (work)\r\n"
            "From: Ann Example <ann@example.org>\r\n"
            "Reply-To: Desk <desk@example.org>\r\n"
            "Subject: Four of them\r\n"
            "X-First: 1\r\n"
            "X-Second: 2\r\n"
            "CC: Dee <dee@example.com>\r\n"
            "\r\n"
            "Hi\r\n"
            "\r\n");
  char last[40];
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LAST_RECIPIENT, last, 39), 17);
  EXPECT_STREQ(last, "<eve@example.com>");
}

TEST_F(Message, OptionalHeaderLinesAreRoutedAround) {
  // Without a subject the extra header lines still come after Reply-To;
  // with omitToHeader there is no To line.
  qelStringParam(0, QEL_STRING_EXTRA_HEADER, "X-Only: yes");
  qelIntegerParam(0, QEL_PARAM_OMIT_TO_HEADER, 1);
  EXPECT_EQ(sendOne(nullptr, nullptr, nullptr),
            "X-Mailer: Corvane Quelpost Version 3.4\r\n"
            "Date: {DATE}\r\n"
            "From: Ann Example <ann@example.org>\r\n"
            "X-Only: yes\r\n"
            "\r\n"
            "\r\n");
}

TEST_F(Message, HeaderTextsCannotEndTheDataEarly) {
  // Caller texts with line breaks of their own keep them, but a line that
  // begins with "." is stuffed like a body line.
  qelStringParam(0, QEL_STRING_EXTRA_HEADER, ".X-Odd: a\r\n folded\r\n.\r\nX-Last: b");
  EXPECT_EQ(sendOne("one\r\n.\r\nRSET", "body", nullptr),
            "X-Mailer: Corvane Quelpost Version 3.4\r\n"
            "Date: {DATE}\r\n"
            "To: Bob <bob@example.net>\r\n"
            "From: Ann Example <ann@example.org>\r\n"
            "Subject: one\r\n..\r\nRSET\r\n"
            "..X-Odd: a\r\n folded\r\n..\r\nX-Last: b\r\n"
            "\r\n"
            "body\r\n"
            "\r\n");
}

// A header line that would pass 998 characters with no white space to
// fold at is refused before MAIL FROM, and the connection stays usable;
// words that fit fold at their white space.
TEST_F(Message, HeaderLinesBeyond998AreRefusedBeforeMailFrom) {
  const std::string word(1000, 'w');
  writeFile(dir.file("a.txt"), "x");
  const std::string longName = dir.file("a.txt") + "|" + std::string(948, 'n') + ".txt";
  const struct {
    const char* name;
    std::string to, subject, extra, attachments;
  } cases[] = {
      {"subject word", kTo, "Re: " + word, "", ""},
      {"first subject word", kTo, word.substr(0, 990), "", ""},
      {"address", "<" + word + "@example.net>", "s", "", ""},
      {"own header line", kTo, "s", "X-Long: " + word, ""},
      {"attachment name", kTo, "s", "", longName},
  };
  ScriptServer server(steps({greeting(), envelopeAndData(kBob), quit()}));
  ASSERT_EQ(connectTo(server), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qelStringParam(0, QEL_STRING_EXTRA_HEADER, c.extra.c_str());
    EXPECT_EQ(qelSendEmail(0, c.to.c_str(), nullptr, nullptr, c.subject.c_str(), "x", c.attachments.c_str()),
              QEL_ERR_HEADER_LINE_TOO_LONG);
  }
  qelStringParam(0, QEL_STRING_EXTRA_HEADER, "");
  const std::string subject = std::string(900, 'a') + " " + std::string(997, 'b');
  EXPECT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, subject.c_str(), "x", nullptr), 0);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_NE(server.received().find("\r\nSubject: " + std::string(900, 'a') + "\r\n " + std::string(997, 'b') + "\r\n"),
            std::string::npos);
}

TEST_F(Message, AttachmentsInlineImagesAndShownNames) {
  writeFile(dir.file("notes.txt"), "The quick brown fox jumps over the lazy dog, twice: the quick brown fox.");
  writeFile(dir.file("photo.JPG"), std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10));
  writeFile(dir.file("data.bin"), std::string("\x00\x01\x02\xFD\xFE\xFF", 6));
  writeFile(dir.file("empty.gif"), "");
  std::string list = dir.file("notes.txt") + "," + dir.path() + "/photo.JPG," + dir.file("data.bin") +
                     "|Report 2024.pdf," + dir.file("empty.gif");
  std::string message = sendOne("Files", "See the files.", list.c_str());
  EXPECT_EQ(message, golden("attachments.txt"));
  EXPECT_EQ(record->smtp->send->contentIdCount, 2);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_ATTACH_BYTES_READ), 72 + 10 + 6);
  // 57 + 15 bytes of notes.txt: lines of 76 and 20 characters.
  EXPECT_EQ(qelStatistics(0, QEL_STAT_ATTACH_BYTES_SENT), 78 + 22 + 18 + 10);
}

TEST_F(Message, ImageTypesOffSendsImagesAsAttachments) {
  writeFile(dir.file("photo.JPG"), "jpg");
  writeFile(dir.file("pic.jpeg"), "jpeg");
  qelIntegerParam(0, QEL_PARAM_IMAGE_TYPES, 0);
  std::string list = dir.file("photo.JPG");
  std::string message = sendOne(nullptr, nullptr, list.c_str());
  EXPECT_NE(message.find("Content-Type: application/octet-stream; name=\"photo.JPG\"\r\n"
                         "Content-Transfer-Encoding: base64\r\n"
                         "Content-Disposition: attachment; filename=\"photo.JPG\"\r\n\r\nanBn\r\n"),
            std::string::npos)
      << message;
  // Five-letter extensions are never image types.
  qelIntegerParam(0, QEL_PARAM_IMAGE_TYPES, 1);
  list = dir.file("pic.jpeg");
  message = sendOne(nullptr, nullptr, list.c_str());
  EXPECT_NE(message.find("Content-Type: application/octet-stream; name=\"pic.jpeg\"\r\n"), std::string::npos)
      << message;
}

TEST_F(Message, HtmlWithInlineImage) {
  writeFile(dir.file("logo.gif"), "GIF89a");
  qelIntegerParam(0, QEL_PARAM_BODY_TYPE, QEL_BODY_HTML);
  std::string list = dir.file("logo.gif");
  EXPECT_EQ(sendOne("Logo", "<p>Hi</p>\n<img src=\"cid:message-root.1\">", list.c_str()),
            golden("html_inline_image.txt"));
}

// With the standard header every message begins with an id of its own, and
// the Date line has a two-digit hour.
TEST_F(Message, StandardHeaderGivesEveryMessageAnIdAndRfc5322Date) {
  ASSERT_EQ(qelIntegerParam(0, QEL_PARAM_STANDARD_HEADER, 1), 1);
  std::string message = sendOne("Hello", "Hi", nullptr);
  EXPECT_EQ(message.substr(0, message.find("To: ")),
            "Message-ID: <{ID}@example.org>\r\nX-Mailer: Corvane Quelpost Version 3.4\r\nDate: {DATE}\r\n");
  EXPECT_TRUE(std::regex_search(received, std::regex("\r\nDate: [^\r]* [0-9]{2}:[0-9]{2}:[0-9]{2} "))) << received;
}

// Receivers drop a message whose id they have seen: every HTML message has
// its own, in the domain of the From address.
TEST_F(Message, HtmlMessagesHaveIdsOfTheirOwn) {
  const struct {
    const char* from;
    const char* domain;
  } cases[] = {
      {kFrom, "example.org"},
      {"\"a@b\" <ann@Mail.Example.org> (work)", "Mail.Example.org"},
      {"Postmaster <postmaster>", "localhost"},
  };
  qelIntegerParam(0, QEL_PARAM_BODY_TYPE, QEL_BODY_HTML);
  std::set<std::string> ids;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    const std::vector<Step> send{ExpectPrefix("MAIL FROM:"), Send("250 ok\r\n"), ExpectLine("RCPT TO:<bob@example.net>"),
                                 Send("250 ok\r\n"),        ExpectLine("DATA"),     Send("354 go\r\n"),
                                 ExpectUntil("\r\n.\r\n"),   Send("250 queued\r\n")};
    ScriptServer server(steps({{Send("220 hi\r\n"), ExpectPrefix("HELO "), Send("250 ok\r\n")}, send, send, quit()}));
    qelIntegerParam(0, QEL_PARAM_SMTP_PORT, server.port());
    ASSERT_EQ(qelSmtpConnect(0, "127.0.0.1", c.from, nullptr), 0);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, "s", "<p>m</p>", nullptr), 0);
    EXPECT_EQ(qelClose(0), 0);
    ASSERT_TRUE(server.finished(5000));
    const std::regex idLine("\r\nDATA\r\nMessage-ID: (<" + std::string(kMessageIdPattern) + "@([^>]*)>)\r\n");
    std::string text = server.received();
    int found = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), idLine), end; it != end; ++it, ++found) {
      EXPECT_EQ((*it)[2].str(), c.domain);
      ids.insert((*it)[1].str());
    }
    EXPECT_EQ(found, 2) << text;
  }
  EXPECT_EQ(ids.size(), 6u);
}

TEST_F(Message, BodyFromFile) {
  writeFile(dir.file("body.txt"), "From a file.\r\n.\r\nLast line without end");
  std::string at = "@" + dir.file("body.txt");
  EXPECT_EQ(sendOne(nullptr, at.c_str(), nullptr),
            "X-Mailer: Corvane Quelpost Version 3.4\r\n"
            "Date: {DATE}\r\n"
            "To: Bob <bob@example.net>\r\n"
            "From: Ann Example <ann@example.org>\r\n"
            "\r\n"
            "From a file.\r\n"
            "..\r\n"
            "Last line without end\r\n"
            "\r\n");
  EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_READ), 38);
  EXPECT_EQ(record->fileHandle, 0);
}

TEST_F(Message, FilesThatCannotBeReadFailAfterTheHeader) {
  const std::string headerEnd = "From: Ann Example <ann@example.org>\r\n\r\n";
  const struct {
    std::string message;
    std::string attachments;
    std::string lastLines;
    std::string logLine;
    int32_t failingState;
  } cases[] = {
      {"@" + dir.file("no-body.txt"), "", headerEnd, "Opening message file [" + dir.file("no-body.txt") + "]\r\n",
       244},
      {"text", dir.file("no-file.bin"), "Content-Disposition: attachment; filename=\"no-file.bin\"\r\n\r\n",
       "Opening attachment [" + dir.file("no-file.bin") + "]\r\n", 264},
      // Files that open but fail when read must not go out as complete
      // (this one fails at its first byte).
      {"@/proc/self/mem", "", headerEnd, "Opening message file [/proc/self/mem]\r\n", 245},
      {"text", "/proc/self/mem|memory.bin",
       "Content-Disposition: attachment; filename=\"memory.bin\"\r\n\r\n",
       "Opening attachment [/proc/self/mem]\r\n", 265},
  };
  std::string log = dir.file("send.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logLine);
    ScriptServer server(steps({greeting(),
                               {ExpectLine(kMailFrom), Send("250 ok\r\n"), ExpectLine("RCPT TO:<bob@example.net>"),
                                Send("250 ok\r\n"), ExpectLine("DATA"), Send("354 go\r\n"),
                                ExpectUntil(c.lastLines), ExpectClose()}}));
    ASSERT_EQ(connectTo(server), 0);
    const char* attachments = c.attachments.empty() ? nullptr : c.attachments.c_str();
    EXPECT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, nullptr, c.message.c_str(), attachments),
              QEL_ERR_CANNOT_OPEN_FILE);
    EXPECT_FALSE(socketIsOpen(record->connection));
    EXPECT_EQ(record->fileHandle, 0);
    std::string text = readFile(log);
    size_t opened = text.rfind(c.logLine);
    ASSERT_NE(opened, std::string::npos);
    size_t failed = text.find("QelCode=-35 ", opened);
    ASSERT_NE(failed, std::string::npos);
    EXPECT_EQ(text.find(" ThisState=" + std::to_string(c.failingState) + " ", failed), text.find(" ThisState=", failed));
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
  }
}

// A peer that closes while an attachment goes out fails the send with -52,
// and the attachment's file is closed with it, not left for the next
// operation. The file is far larger than the socket buffers of a loopback
// connection can take (a few MB), so the close always meets a write and
// never the wait for the final reply.
TEST_F(Message, PeerClosingDuringAnAttachmentClosesItsFile) {
  writeFile(dir.file("big.bin"), std::string(24 << 20, 'x'));
  ScriptServer server(steps({greeting(),
                             {ExpectLine(kMailFrom), Send("250 ok\r\n"), ExpectLine("RCPT TO:<bob@example.net>"),
                              Send("250 ok\r\n"), ExpectLine("DATA"), Send("354 go\r\n"),
                              ExpectUntil("filename=\"big.bin\"\r\n\r\n"), Close()}}));
  ASSERT_EQ(connectTo(server), 0);
  EXPECT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, nullptr, "text", dir.file("big.bin").c_str()),
            QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(record->fileHandle, 0);
  ASSERT_TRUE(server.finished(5000));
}

TEST_F(Message, CallerDrivenSendGivesTheSameTranscript) {
  writeFile(dir.file("notes.txt"), "The quick brown fox jumps over the lazy dog, twice: the quick brown fox.");
  writeFile(dir.file("photo.JPG"), std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10));
  writeFile(dir.file("data.bin"), std::string("\x00\x01\x02\xFD\xFE\xFF", 6));
  writeFile(dir.file("empty.gif"), "");
  std::string list = dir.file("notes.txt") + "," + dir.path() + "/photo.JPG," + dir.file("data.bin") +
                     "|Report 2024.pdf," + dir.file("empty.gif");
  ScriptServer server(steps({greeting(), envelopeAndData(kBob), quit()}));
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  qelIntegerParam(0, QEL_PARAM_SMTP_PORT, server.port());
  ASSERT_EQ(qelSmtpConnect(0, "127.0.0.1", kFrom, nullptr), 0);
  EXPECT_EQ(record->step.nextState, 200);
  EXPECT_EQ(driveToEnd(0), 0);
  ASSERT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, "Files", "See the files.", list.c_str()), 0);
  EXPECT_EQ(record->step.nextState, 204);
  EXPECT_EQ(driveToEnd(0), 0);
  ASSERT_EQ(qelClose(0), 0);
  EXPECT_EQ(driveToEnd(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_EQ(transcript(server), envelopeText(kBob) + golden("attachments.txt") + ".\r\nQUIT\r\n");
}

}  // namespace
