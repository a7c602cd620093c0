// Mail in any language and the SMTP extensions, as exact transcripts of the
// scripted server: encoded header words and names, charset body forms,
// refusals before anything is sent, MAIL FROM parameters only as offered
// after EHLO, and header lines of any length going out whole.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "qel32.h"
#include "smtp_session.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr char kEhlo[] = "EHLO example.org";
constexpr char kTo[] = "Bob <bob@example.net>";
const std::vector<std::string> kBob{"<bob@example.net>"};

std::string lineStartingWith(const std::string& text, const std::string& prefix) {
  size_t at = text.rfind(prefix, 0) == 0 ? 0 : text.find("\r\n" + prefix);
  if (at == std::string::npos) return "";
  if (at != 0) at += 2;
  return text.substr(at, text.find("\r\n", at) - at);
}

size_t longestLine(const std::string& text) {
  size_t longest = 0;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    longest = std::max(longest, end - start);
  }
  return longest;
}

class Charset : public ::testing::Test {
 protected:
  Attached lib{2};
  TempDir dir;
  const char* replyTo = nullptr;

  // One send with HELO on a fresh connection; returns the message part.
  std::string sendOne(const char* from, const char* to, const char* cc, const char* subject, const char* message,
                      const char* attachments, const std::vector<std::string>& recipients) {
    ScriptServer server(steps({{Send("220 mail.test ESMTP\r\n"), ExpectLine(kHello), Send("250 mail.test\r\n")},
                               envelopeAndData(recipients, ExpectPrefix("MAIL FROM:")), quit()}));
    EXPECT_EQ(connectTo(server, from), 0);
    if (replyTo != nullptr) qelStringParam(0, QEL_STRING_REPLY_TO, replyTo);
    EXPECT_EQ(qelSendEmail(0, to, cc, nullptr, subject, message, attachments), 0);
    EXPECT_EQ(qelClose(0), 0);
    EXPECT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    return messagePart(transcript(server));
  }
};

// Every header form of the charset in one message, checked against a golden
// file whose decoding Python's email package confirms (see the e2e tests).
TEST_F(Charset, HeadersBodyAndNamesInUtf8) {
  ASSERT_EQ(qelStringParam(0, QEL_STRING_CHARSET, "utf-8"), 5);
  std::string pdf = dir.file("statement.pdf");
  writeFile(pdf, "%PDF-1.4 tiny");
  std::string attachments = pdf + "|Überweisung für März – Grüße.pdf";
  replyTo = "Bureau Désk <desk@example.org>";
  std::string message = sendOne(
      "Zoë Ångström <ann@example.org>", "\"Jörg \\\"Jo\\\" Müller\" <bob@example.net>,Cy <cy@example.net> (work)",
      "Δήμητρα Παπαδοπούλου <dee@example.com>",
      "Grüße aus München – Καλημέρα κόσμε – 你好世界 – a subject long enough to fold 🎉",
      ("Grüße aus München!\n.\nhttps://example.org/" + std::string(120, 'a') + "?x=1&y=2\ntrailing space \n").c_str(),
      attachments.c_str(), {"<bob@example.net>", "<cy@example.net> (work)", "<dee@example.com>"});
  EXPECT_EQ(message, golden("charset_utf8.txt"));
  EXPECT_LE(longestLine(message), 78u);
}

// Body forms with a charset: ASCII lines as they are, quoted-printable
// with soft breaks only while most of the text is ASCII, base64 of the
// CR LF text otherwise; body type 0 without attachments becomes a message
// of one text/plain part; the text comes back exactly, its last line feed
// included.
TEST_F(Charset, BodyFormsAndTypes) {
  const std::string multipart = "Content-Type: multipart/mixed; boundary=\"{BOUNDARY}\"\r\n\r\n--{BOUNDARY}\r\n";
  const std::string related = "Content-Type: multipart/related; boundary=\"{BOUNDARY}\"\r\n\r\n--{BOUNDARY}\r\n";
  const std::string utf8Text = "Content-Type: text/plain; charset=utf-8\r\n";
  const struct {
    const char* name;
    int32_t bodyType;
    std::string body;
    std::string mime;  // what follows the MIME-Version line
  } cases[] = {
      {"ASCII, one part", 0, "plain =\n.\n",
       utf8Text + "Content-Transfer-Encoding: 7bit\r\n\r\nplain =\r\n..\r\n"},
      {"mostly ASCII, one part", 0, "Gr\xC3\xBC\xC3\x9F" "e =\tend \n",
       utf8Text + "Content-Transfer-Encoding: quoted-printable\r\n\r\nGr=C3=BC=C3=9Fe =3D=09end=20\r\n"},
      {"no final line feed", 1, "a\nb",
       multipart + utf8Text + "Content-Transfer-Encoding: 7bit\r\n\r\na\r\nb\r\n--{BOUNDARY}--\r\n\r\n"},
      {"mostly not ASCII", 2, "<p>\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C</p>\n",
       related + "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                   "PHA+5L2g5aW95LiW55WMPC9wPg0K\r\n--{BOUNDARY}--\r\n\r\n"},
      {"long line breaks softly", 3, "\xC3\xA9" + std::string(80, 'u') + "\n",
       multipart + "Content-Type: text/enriched; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                   "=C3=A9" + std::string(69, 'u') + "=\r\n" + std::string(11, 'u') + "\r\n\r\n--{BOUNDARY}--\r\n\r\n"},
  };
  ASSERT_EQ(qelStringParam(0, QEL_STRING_CHARSET, "utf-8"), 5);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qelIntegerParam(0, QEL_PARAM_BODY_TYPE, c.bodyType);
    std::string message = sendOne(kFrom, kTo, nullptr, nullptr, c.body.c_str(), nullptr, kBob);
    const std::string mimeVersion = "MIME-Version: 1.0\r\n";
    size_t start = message.find(mimeVersion);
    ASSERT_NE(start, std::string::npos) << message;
    EXPECT_EQ(message.substr(start + mimeVersion.size()), c.mime);
  }
}

// ASCII text that looks like an encoded word goes as encoded words itself
// with the charset, so readers show it as it was written (a display name
// "Ann =?utf-8?B?QWRtaW4=?=" must not read "Ann Admin"); without the
// charset it goes as it is.
TEST_F(Charset, LookalikeEncodedWordsAreEncoded) {
  writeFile(dir.file("a.txt"), "x");
  const std::string attachment = dir.file("a.txt") + "|=?utf-8?Q?invoice.pdf?=";
  const struct {
    const char* charset;
    const char* from;
    const char* subject;
    std::vector<std::string> lines;
  } cases[] = {
      {"utf-8", "Ann =?utf-8?B?QWRtaW4=?= <ann@example.org>", "=?utf-8?q?looks_encoded?=",
       {"From: =?utf-8?B?QW5uID0/dXRmLTg/Qj9RV1J0YVc0PT89?= <ann@example.org>",
        "Subject: =?utf-8?B?PT91dGYtOD9xP2xvb2tzX2VuY29kZWQ/PQ==?=",
        "Content-Type: application/octet-stream; name=\"=?utf-8?B?PT91dGYtOD9RP2lu?=\r\n"
        " =?utf-8?B?dm9pY2UucGRmPz0=?=\"",
        " filename*=utf-8''%3D%3Futf-8%3FQ%3Finvoice.pdf%3F%3D"}},
      {"utf-8", "\"=?utf-8?B?QWRtaW4=?=\" <ann@example.org>", "Re: a=?b",
       {"From: =?utf-8?B?PT91dGYtOD9CP1FXUnRhVzQ9Pz0=?= <ann@example.org>",
        "Subject: =?utf-8?Q?Re:_a=3D=3Fb?="}},
      {"", "Ann =?utf-8?B?QWRtaW4=?= <ann@example.org>", "=?utf-8?q?looks_encoded?=",
       {"From: Ann =?utf-8?B?QWRtaW4=?= <ann@example.org>", "Subject: =?utf-8?q?looks_encoded?=",
        "Content-Type: application/octet-stream; name=\"=?utf-8?Q?invoice.pdf?=\""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    qelStringParam(0, QEL_STRING_CHARSET, c.charset);
    std::string message = sendOne(c.from, kTo, nullptr, c.subject, "x", attachment.c_str(), kBob);
    for (const auto& line : c.lines) {
      EXPECT_NE(message.find("\r\n" + line + "\r\n"), std::string::npos) << line << "\n" << message;
    }
  }
}

// Text that is not UTF-8 while the charset says so is refused before MAIL
// FROM; the connection stays usable for the next send.
TEST_F(Charset, InvalidUtf8IsRefusedBeforeAnythingIsSent) {
  std::string file = dir.file("latin1.txt");
  writeFile(file, "caf\xE9\n");
  std::string fileBody = "@" + file;
  const struct {
    const char* name;
    const char* to;
    const char* subject;
    const char* body;
  } cases[] = {
      {"body text", kTo, "ok", "caf\xE9"},
      {"body file", kTo, "ok", fileBody.c_str()},
      {"subject", kTo, "caf\xE9", "ok"},
      {"display name", "Ren\xE9 <bob@example.net>", "ok", "ok"},
      {"cut sequence", kTo, "ok", "\xE2\x82"},
  };
  std::vector<Step> script{Send("220 mail.test ESMTP\r\n"), ExpectLine(kHello), Send("250 mail.test\r\n")};
  std::vector<Step> last = envelopeAndData(kBob, ExpectPrefix("MAIL FROM:"));
  script.insert(script.end(), last.begin(), last.end());
  ScriptServer server(steps({script, quit()}));
  ASSERT_EQ(qelStringParam(0, QEL_STRING_CHARSET, "UTF-8"), 5);
  ASSERT_EQ(connectTo(server), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(qelSendEmail(0, c.to, nullptr, nullptr, c.subject, c.body, nullptr), QEL_ERR_INVALID_UTF8);
  }
  EXPECT_EQ(qelSendEmail(0, kTo, nullptr, nullptr, "ok", "ok", nullptr), 0);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  // Another charset takes any bytes.
  EXPECT_EQ(qelStringParam(0, QEL_STRING_CHARSET, "iso-8859-15"), 11);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_CHARSET, "bad name"), -1);
}

// MAIL FROM parameters: SIZE when offered, 8BITMIME only for a part that
// goes 8-bit and only when offered, SMTPUTF8 for an address outside ASCII,
// nothing after HELO or without either setting; a message larger than the
// announced SIZE, or an address the server cannot take, is refused before
// MAIL FROM.
TEST_F(Charset, ExtensionsOnlyAsOfferedAfterEhlo) {
  const std::string all = "250-mail.test\r\n250-SIZE 10000000\r\n250-8BITMIME\r\n250 SMTPUTF8\r\n";
  const std::string sizeOnly = "250-mail.test\r\n250 SIZE 10000000\r\n";
  const std::string html8bit = "<p>caf\xC3\xA9</p>";
  const struct {
    const char* name;
    bool esmtp;
    std::string ehloReply;
    const char* charset;
    int32_t extensions;
    int32_t bodyType;
    std::string body;
    const char* to;
    int32_t result;
    const char* mailFrom;  // a regular expression
  } cases[] = {
      {"8-bit HTML", true, all, "", 1, 2, html8bit, kTo, 0, "MAIL FROM:<ann@example.org> SIZE=[0-9]+ BODY=8BITMIME"},
      {"no 8BITMIME offered", true, sizeOnly, "", 1, 2, html8bit, kTo, 0, "MAIL FROM:<ann@example.org> SIZE=[0-9]+"},
      {"charset: 7-bit parts", true, all, "utf-8", 0, 2, html8bit, kTo, 0, "MAIL FROM:<ann@example.org> SIZE=[0-9]+"},
      {"neither setting", true, all, "", 0, 2, html8bit, kTo, 0, "MAIL FROM:<ann@example.org>"},
      {"HELO", false, "250 mail.test\r\n", "utf-8", 1, 2, html8bit, kTo, 0, "MAIL FROM:<ann@example.org>"},
      {"SMTPUTF8", true, all, "utf-8", 0, 1, "x", "J\xC3\xB6rg <j\xC3\xB6rg@example.net>", 0,
       "MAIL FROM:<ann@example.org> SIZE=[0-9]+ SMTPUTF8"},
      {"no SMTPUTF8 offered", true, sizeOnly, "utf-8", 0, 1, "x", "<j\xC3\xB6rg@example.net>",
       QEL_ERR_NEEDS_SMTPUTF8, nullptr},
      {"UTF-8 address after HELO", false, "250 mail.test\r\n", "", 1, 1, "x", "<j\xC3\xB6rg@example.net>",
       QEL_ERR_NEEDS_SMTPUTF8, nullptr},
      {"limit beyond 32 bits", true, "250-mail.test\r\n250 SIZE 4294967396\r\n", "utf-8", 0, 1, "x", kTo, 0,
       "MAIL FROM:<ann@example.org> SIZE=[0-9]+"},
      {"too large", true, "250-mail.test\r\n250 SIZE 3000\r\n", "utf-8", 0, 1, std::string(4000, 'x'), kTo,
       QEL_ERR_MESSAGE_TOO_BIG, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Step> script{Send("220 mail.test ESMTP\r\n"), ExpectLine(c.esmtp ? kEhlo : kHello), Send(c.ehloReply)};
    std::string rcpt = std::string(c.to).substr(std::string(c.to).find('<'));
    std::vector<Step> rest = c.result == 0 ? envelopeAndData({rcpt}, ExpectPrefix("MAIL FROM:")) : std::vector<Step>{};
    ScriptServer server(steps({script, rest, quit()}));
    qelIntegerParam(0, QEL_PARAM_USE_ESMTP, c.esmtp ? 1 : 0);
    qelIntegerParam(0, QEL_PARAM_EXTENSIONS, c.extensions);
    qelIntegerParam(0, QEL_PARAM_BODY_TYPE, c.bodyType);
    qelStringParam(0, QEL_STRING_CHARSET, c.charset);
    ASSERT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelSendEmail(0, c.to, nullptr, nullptr, "s", c.body.c_str(), nullptr), c.result);
    EXPECT_EQ(qelClose(0), 0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    std::string text = server.received();
    if (c.mailFrom != nullptr) {
      EXPECT_TRUE(std::regex_match(lineStartingWith(text, "MAIL FROM:"), std::regex(c.mailFrom))) << text;
    } else {
      EXPECT_EQ(text.find("MAIL FROM:"), std::string::npos) << text;
    }
  }
  char error[200];
  qelErrorText(0, QEL_ERR_MESSAGE_TOO_BIG, error, sizeof error);
  EXPECT_TRUE(std::regex_match(std::string(error), std::regex("Message is larger than the server accepts\\. "
                                                              "\\(message [0-9]{4,5} bytes, server limit 3000\\)")))
      << error;
}

// A To list or subject beyond the formatter's 1023 characters goes out
// whole: without a charset folded only where a line would pass 998
// characters, with it at 78.
TEST_F(Charset, LongHeaderLinesGoOutWhole) {
  std::string to;
  std::vector<std::string> recipients;
  for (int i = 0; i < 60; ++i) {
    std::string address = "<user" + std::to_string(i) + "@example.net>";
    to += (i > 0 ? "," : "") + std::string("User ") + std::to_string(i) + " " + address;
    recipients.push_back(address);
  }
  std::string subject;
  while (subject.size() < 1200) subject += "word" + std::to_string(subject.size()) + " ";
  for (const char* charset : {"", "utf-8"}) {
    SCOPED_TRACE(charset);
    qelStringParam(0, QEL_STRING_CHARSET, charset);
    std::string message = sendOne(kFrom, to.c_str(), nullptr, subject.c_str(), "x", nullptr, recipients);
    std::string header = message.substr(0, message.find("\r\n\r\n") + 2);
    EXPECT_LE(longestLine(header), charset[0] == '\0' ? 998u : 78u);
    // Unfolded, the fields hold every address and the whole subject.
    std::string unfolded = header;
    for (size_t at; (at = unfolded.find("\r\n ")) != std::string::npos;) unfolded.erase(at, 2);
    for (const auto& address : recipients) EXPECT_NE(unfolded.find(address), std::string::npos) << address;
    EXPECT_EQ(lineStartingWith(unfolded, "Subject: "), "Subject: " + subject);
  }
}

}  // namespace
