// The parsers over gathered responses, and the strings and sets a client
// writes: one table each, hostile rows among the ordinary ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/arguments.h"
#include "imap/parse.h"
#include "imap/sets.h"
#include "imap_test_support.h"

using namespace qel;
using namespace qel::test;

namespace {

// Reads one whole response; fails the test when the reader does not take it.
const ImapResponse& read(TestReader* t, const std::string& line) {
  EXPECT_EQ(feedPieces(t->reader.get(), line, {}), kImapReady) << line;
  return t->reader->response;
}

std::string text(const ImapResponse& r, int32_t index) {
  char out[256];
  int32_t rc = imapCopyText(r, index, out, sizeof out);
  return rc >= 0 ? out : rc == kImapOtherResponse ? "-" : "?";
}

// The ranges of a set, as "a-b" each.
std::string ranges(const char* set, int32_t length) {
  ImapSetReader reader{set, length};
  std::string out;
  uint32_t first = 0;
  uint32_t last = 0;
  int32_t rc = 0;
  while ((rc = imapSetNext(&reader, &first, &last)) == 1) {
    out += std::to_string(first) + "-" + std::to_string(last) + " ";
  }
  return rc < 0 ? "bad" : out;
}

std::string setOf(const ImapResponse& r, int32_t index) {
  const char* bytes = nullptr;
  int32_t length = 0;
  return imapStringOf(r, index, &bytes, &length) ? ranges(bytes, length) : "-";
}

TEST(ImapParse, ResponseCodes) {
  struct Case {
    std::string line;
    int32_t rc;
    ImapCode code;
    uint64_t number;  // HIGHESTMODSEQ's value for that code
    uint32_t flags;
    std::string sets;
  } cases[] = {
      {"* OK [UIDVALIDITY 3857529045] x\r\n", 0, ImapCode::uidValidity, 3857529045u, 0, ""},
      {"* OK [UIDNEXT 4392] x\r\n", 0, ImapCode::uidNext, 4392, 0, ""},
      {"* OK [PERMANENTFLAGS (\\Deleted \\Seen $Work \\*)] x\r\n", 0, ImapCode::permanentFlags, 0,
       kImapFlagDeleted | kImapFlagSeen | kImapFlagKeyword | kImapFlagAnyKeyword, ""},
      {"a3 OK [APPENDUID 38505 3955] done\r\n", 0, ImapCode::appendUid, 38505, 0, "3955-3955 |-"},
      {"a4 OK [COPYUID 38505 304,319:320 3956:3958] done\r\n", 0, ImapCode::copyUid, 38505, 0,
       "304-304 319-320 |3956-3958 "},
      {"* NO [ALERT] quota\r\n", 0, ImapCode::alert, 0, 0, ""},
      {"* OK [HIGHESTMODSEQ 715194045007] x\r\n", 0, ImapCode::highestModSeq, 715194045007ull, 0, ""},
      {"* OK [XFOO (a b] x\r\n", 0, ImapCode::other, 0, 0, ""},
      {"* OK fine\r\n", 0, ImapCode::none, 0, 0, ""},
      {"+ go on\r\n", 0, ImapCode::none, 0, 0, ""},
      {"* OK [UIDVALIDITY 4294967296] x\r\n", kImapSyntax, ImapCode::none, 0, 0, ""},
      {"* OK [UIDNEXT] x\r\n", kImapSyntax, ImapCode::none, 0, 0, ""},
      {"* OK [PERMANENTFLAGS \\Seen] x\r\n", kImapSyntax, ImapCode::none, 0, 0, ""},
      {"* OK [COPYUID 1 2] x\r\n", kImapSyntax, ImapCode::none, 0, 0, ""},
      {"* 3 EXISTS\r\n", kImapOtherResponse, ImapCode::none, 0, 0, ""},
  };
  TestReader t;
  for (const Case& c : cases) {
    const ImapResponse& r = read(&t, c.line);
    ImapCodeValues v;
    ASSERT_EQ(imapResponseCode(r, &v), c.rc) << c.line;
    if (c.rc != 0) continue;
    EXPECT_EQ(v.code, c.code) << c.line;
    EXPECT_EQ(v.code == ImapCode::highestModSeq ? v.modSeq : v.number, c.number) << c.line;
    EXPECT_EQ(v.flags, c.flags) << c.line;
    std::string sets = v.setItem >= 0 ? setOf(r, v.setItem) + "|" + setOf(r, v.targetItem) : "";
    EXPECT_EQ(sets, c.sets) << c.line;
  }
}

TEST(ImapParse, Capabilities) {
  struct Case {
    std::string line;
    int32_t rc;
    uint32_t bits;
    std::string mechanisms;
  } cases[] = {
      {"* CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED AUTH=SCRAM-SHA-256 auth=plain\r\n", 0,
       kImapCapRev1 | kImapCapStartTls | kImapCapLoginDisabled, "SCRAM-SHA-256 plain"},
      {"* OK [CAPABILITY IMAP4rev2 SASL-IR IDLE UIDPLUS MOVE LITERAL+ ENABLE UTF8=ACCEPT] ready\r\n", 0,
       kImapCapRev2 | kImapCapSaslIr | kImapCapIdle | kImapCapUidPlus | kImapCapMove | kImapCapLiteralPlus |
           kImapCapEnable | kImapCapUtf8Accept,
       ""},
      {"a1 OK [CAPABILITY SPECIAL-USE ESEARCH AUTH= X-FOO (odd)] done\r\n", 0, kImapCapSpecialUse | kImapCapEsearch,
       ""},
      // Names that would pass the room are left out, never cut.
      {"* CAPABILITY AUTH=" + std::string(200, 'A') + " AUTH=" + std::string(60, 'B') + " AUTH=XOAUTH2\r\n", 0, 0,
       std::string(200, 'A') + " XOAUTH2"},
      {"* OK [ALERT] x\r\n", kImapOtherResponse, 0, ""},
  };
  TestReader t;
  for (const Case& c : cases) {
    ImapCapabilities caps;
    ASSERT_EQ(imapCapabilities(read(&t, c.line), &caps), c.rc) << c.line;
    EXPECT_EQ(caps.bits, c.bits) << c.line;
    EXPECT_EQ(std::string(caps.mechanisms), c.mechanisms) << c.line;
  }
}

TEST(ImapParse, ListAndLsub) {
  struct Case {
    std::string line;
    bool utf8;
    int32_t rc;
    uint32_t attributes;
    char delimiter;
    std::string name;
  } cases[] = {
      {"* LIST (\\HasNoChildren \\Sent) \"/\" Sent\r\n", false, 0, kImapBoxHasNoChildren | kImapBoxSent, '/', "Sent"},
      {"* LIST (\\Trash \\Drafts \\Junk \\All \\Archive \\Flagged \\Noselect \\X) \".\" \"a b\"\r\n", false, 0,
       kImapBoxTrash | kImapBoxDrafts | kImapBoxJunk | kImapBoxAll | kImapBoxArchive | kImapBoxFlagged |
           kImapBoxNoSelect,
       '.', "a b"},
      {"* LSUB () NIL inbox\r\n", false, 0, 0, 0, "INBOX"},
      {"* LIST () \"/\" {13}\r\nEnvoy&AOk-s\"x\r\n", false, 0, 0, '/', "Envoy\xC3\xA9s\"x"},
      {"* LIST () \"/\" \"Envoy\xC3\xA9s\"\r\n", true, 0, 0, '/', "Envoy\xC3\xA9s"},
      {"* LIST () \"/\" NIL\r\n", false, 0, 0, '/', "NIL"},
      {"* LIST () \"/\" \"Envoy\xC3\xA9s\"\r\n", false, kImapBadName, 0, 0, ""},
      {"* LIST () \"/\" \"\xC3\"\r\n", true, kImapBadName, 0, 0, ""},
      {bytesOf("* LIST () \"/\" {3}\r\na\0b\r\n"), true, kImapBadName, 0, 0, ""},
      {"* LIST () \"//\" a\r\n", false, kImapSyntax, 0, 0, ""},
      {"* LIST \\Sent \"/\" a\r\n", false, kImapSyntax, 0, 0, ""},
      {"* LIST () \"/\"\r\n", false, kImapSyntax, 0, 0, ""},
      {"* LIST () \"/\" " + std::string(1024, 'n') + "\r\n", false, kImapNoRoom, 0, 0, ""},
      {"* STATUS a (MESSAGES 1)\r\n", false, kImapOtherResponse, 0, 0, ""},
  };
  TestReader t;
  for (const Case& c : cases) {
    ImapFolder folder;
    const ImapResponse& r = read(&t, std::string(c.line));
    ASSERT_EQ(imapParseList(r, c.utf8, &folder), c.rc) << c.line;
    if (c.rc != 0) continue;
    EXPECT_EQ(folder.attributes, c.attributes) << c.line;
    EXPECT_EQ(folder.delimiter, c.delimiter) << c.line;
    EXPECT_EQ(std::string(folder.name, folder.nameLength), c.name) << c.line;
  }
}

// STATUS: "name present messages/uidnext/uidvalidity/unseen/size".
TEST(ImapParse, Status) {
  struct Case {
    std::string line;
    int32_t rc;
    std::string result;
  } cases[] = {
      {"* STATUS blurdybloop (MESSAGES 231 UIDNEXT 44292)\r\n", 0, "blurdybloop 5 231/44292/0/0/0"},
      {"* STATUS \"a b\" (UIDVALIDITY 7 UNSEEN 0 X-NEW (1 2) SIZE 8589934592)\r\n", 0, "a b 88 0/0/7/0/8589934592"},
      {"* STATUS a ()\r\n", 0, "a 0 0/0/0/0/0"},
      {"* STATUS a (MESSAGES)\r\n", kImapSyntax, ""},
      {"* STATUS a (UIDNEXT 4294967296)\r\n", kImapSyntax, ""},
      {"* STATUS a MESSAGES 1\r\n", kImapSyntax, ""},
      {"* LIST () \"/\" a\r\n", kImapOtherResponse, ""},
  };
  TestReader t;
  for (const Case& c : cases) {
    ImapFolderStatus s;
    const ImapResponse& r = read(&t, c.line);
    int32_t rc = imapParseStatus(r, &s);
    std::string result = rc != 0 ? "" : text(r, s.nameItem) + " " + std::to_string(s.present) + " " +
        std::to_string(s.messages) + "/" + std::to_string(s.uidNext) + "/" + std::to_string(s.uidValidity) + "/" +
        std::to_string(s.unseen) + "/" + std::to_string(s.size);
    EXPECT_EQ(rc, c.rc) << c.line;
    EXPECT_EQ(result, c.result) << c.line;
  }
}

// SEARCH without a number sink, and ESEARCH: "n..." lists the numbers,
// "min/max/count all-ranges" the ESEARCH values.
TEST(ImapParse, SearchResults) {
  struct Case {
    std::string line;
    int32_t rc;
    std::string result;
  } cases[] = {
      {"* SEARCH 2 84 882\r\n", 3, "2 84 882 "},
      {"* SEARCH\r\n", 0, ""},
      {"* SEARCH 4 9 (MODSEQ 917162500)\r\n", 2, "4 9 "},
      {"* SEARCH 1 0\r\n", kImapSyntax, ""},
      {"* SEARCH 99999999999\r\n", kImapSyntax, ""},
      {"* ESEARCH (TAG \"a7\") UID MIN 2 MAX 9 COUNT 4 ALL 2,5:7,9\r\n", 0, "uid a7 2/9/4 2-2 5-7 9-9 "},
      {"* ESEARCH (TAG \"a8\") COUNT 0\r\n", 0, " a8 0/0/0 -"},
      {"* ESEARCH UID ALL 4:1 MODSEQ 7\r\n", 0, "uid - 0/0/0 1-4 "},
      {"* ESEARCH UID ALL 1,,2\r\n", 0, "uid - 0/0/0 bad"},
      {"* ESEARCH (TAG) COUNT 1\r\n", kImapSyntax, ""},
      {"* ESEARCH COUNT\r\n", kImapSyntax, ""},
      {"* ESEARCH ALL (1)\r\n", kImapSyntax, ""},
      {"* 5 EXISTS\r\n", kImapOtherResponse, ""},
  };
  TestReader t;
  for (const Case& c : cases) {
    const ImapResponse& r = read(&t, c.line);
    std::string result;
    int32_t rc = 0;
    if (c.line.find("ESEARCH") != std::string::npos || c.line.find("EXISTS") != std::string::npos) {
      ImapEsearch e;
      rc = imapParseEsearch(r, &e);
      if (rc == 0) {
        result = std::string(e.uid ? "uid " : " ") + text(r, e.tagItem) + " " + std::to_string(e.min) + "/" +
                 std::to_string(e.max) + "/" + std::to_string(e.count) + " " + setOf(r, e.allItem);
      }
    } else {
      uint32_t numbers[8];
      rc = imapSearchNumbers(r, numbers, 8);
      for (int32_t i = 0; i < rc; ++i) result += std::to_string(numbers[i]) + " ";
    }
    EXPECT_EQ(rc, c.rc) << c.line;
    EXPECT_EQ(result, c.result) << c.line;
  }
  // A room too small: the count of all, only room written.
  std::vector<uint32_t> one(1);
  EXPECT_EQ(imapSearchNumbers(read(&t, "* SEARCH 2 84 882\r\n"), one.data(), 1), 3);
  EXPECT_EQ(one[0], 2u);
}

// FETCH: each attribute the library reads, as "name=value" in a fixed order.
TEST(ImapParse, Fetch) {
  const std::string envelope =
      "(\"Wed, 17 Jul 1996 02:23:25 -0700\" \"IMAP4rev1 WG mtg\" "
      "((\"Terry Gray\" NIL \"gray\" \"cac.washington.edu\")) "
      "NIL NIL ((NIL NIL \"imap\" \"cac.washington.edu\") (\"B\" NIL \"b\" \"x.org\")) NIL NIL NIL "
      "\"<B27397-0100000@cac.washington.edu>\")";
  struct Case {
    std::string line;
    int32_t rc;
    std::string result;
  } cases[] = {
      {"* 12 FETCH (UID 4827313 FLAGS (\\Seen $Forwarded) RFC822.SIZE 44827 "
       "INTERNALDATE \"17-Jul-1996 02:44:25 -0700\")\r\n",
       0, "seq=12 uid=4827313 flags=129 size=44827 date=17-Jul-1996 02:44:25 -0700"},
      {"* 1 FETCH (ENVELOPE " + envelope + ")\r\n", 0,
       "seq=1 env=Wed, 17 Jul 1996 02:23:25 -0700|IMAP4rev1 WG mtg|Terry Gray gray@cac.washington.edu|"
       "- imap@cac.washington.edu|<B27397-0100000@cac.washington.edu>"},
      {"* 2 FETCH (ENVELOPE (NIL {3}\r\nx\"y NIL NIL NIL NIL NIL NIL NIL NIL))\r\n", 0,
       "seq=2 env=-|x\"y|- -@-|- -@-|-"},
      {"* 3 FETCH (BODY[HEADER.FIELDS (SUBJECT)] {10}\r\nSubject: x UID 5 MODSEQ (7))\r\n", 0,
       "seq=3 uid=5 body=BODY[HEADER.FIELDS (SUBJECT)]:Subject: x"},
      {"* 4 FETCH (BODY[] NIL BINARY.SIZE[1] 9)\r\n", 0, "seq=4 body=BODY[]:-"},
      {"* 4 FETCH (UID 0)\r\n", kImapSyntax, ""},
      {"* 4 FETCH (FLAGS \\Seen)\r\n", kImapSyntax, ""},
      {"* 4 FETCH (ENVELOPE (NIL NIL))\r\n", kImapSyntax, ""},
      {"* 4 FETCH (ENVELOPE (NIL NIL ((NIL NIL)) NIL NIL NIL NIL NIL NIL NIL))\r\n", kImapSyntax, ""},
      {"* 4 FETCH (BODY[] (x))\r\n", kImapSyntax, ""},
      {"* 4 FETCH (\"UID\" 5)\r\n", kImapSyntax, ""},
      {"* 4 FETCH (UID 5) x\r\n", kImapSyntax, ""},
      {"* x FETCH (UID 5)\r\n", kImapSyntax, ""},
      {"* 4 EXPUNGE\r\n", kImapOtherResponse, ""},
  };
  TestReader t;
  for (const Case& c : cases) {
    const ImapResponse& r = read(&t, c.line);
    ImapFetch f;
    ASSERT_EQ(imapParseFetch(r, &f), c.rc) << c.line;
    if (c.rc != 0) continue;
    std::string out = "seq=" + std::to_string(f.sequence);
    if (f.present & kImapFetchUid) out += " uid=" + std::to_string(f.uid);
    if (f.present & kImapFetchFlags) out += " flags=" + std::to_string(f.flags);
    if (f.present & kImapFetchSize) out += " size=" + std::to_string(f.size);
    if (f.present & kImapFetchInternalDate) out += " date=" + text(r, f.internalDate);
    if (f.present & kImapFetchEnvelope) {
      const ImapEnvelope& e = f.envelope;
      out += " env=" + text(r, e.date) + "|" + text(r, e.subject) + "|" + text(r, e.from.name) + " " +
             text(r, e.from.mailbox) + "@" + text(r, e.from.host) + "|" + text(r, e.to.name) + " " +
             text(r, e.to.mailbox) + "@" + text(r, e.to.host) + "|" + text(r, e.messageId);
    }
    if (f.present & kImapFetchBody) out += " body=" + text(r, f.bodyName) + ":" + text(r, f.bodyItem);
    EXPECT_EQ(out, c.result) << c.line;
  }
}

TEST(ImapSets, ReadAndWrite) {
  struct Read {
    std::string set;
    std::string ranges;
  } reads[] = {
      {"1:5,7,9:10", "1-5 7-7 9-10 "}, {"10:9", "9-10 "}, {"4294967295", "4294967295-4294967295 "},
      {"", ""},          {"0", "bad"},      {"1:*", "bad"}, {"4294967296", "bad"}, {"1,", "bad"},
      {",1", "bad"},     {"1:", "bad"},     {"1;2", "bad"}, {"1 2", "bad"},
  };
  for (const Read& c : reads) EXPECT_EQ(ranges(c.set.data(), static_cast<int32_t>(c.set.size())), c.ranges) << c.set;
  struct Write {
    std::vector<uint32_t> numbers;
    int32_t room;
    int32_t taken;
    std::string set;
  } writes[] = {
      {{1, 2, 3, 4, 5, 7, 9, 10}, 64, 8, "1:5,7,9:10"},
      {{3, 3, 4, 4, 9}, 64, 5, "3:4,9"},
      {{9, 8, 7}, 64, 3, "9,8,7"},
      {{4294967294u, 4294967295u, 4294967295u}, 64, 3, "4294967294:4294967295"},
      {{1, 2, 3, 5, 6, 8}, 8, 5, "1:3,5:6"},  // "1:3,5:6,8" needs 10 bytes: 8 is left for the next command
      {{1, 2}, 4, 2, "1:2"},
      {{12345}, 5, -1, ""},
      {{1, 0}, 64, -1, ""},
      {{}, 4, 0, ""},
  };
  for (const Write& c : writes) {
    std::vector<char> out(static_cast<size_t>(c.room));
    EXPECT_EQ(imapWriteSet(c.numbers.data(), static_cast<int32_t>(c.numbers.size()), out.data(), c.room), c.taken);
    EXPECT_EQ(std::string(out.data()), c.set);
  }
}

TEST(ImapArguments, QuotedOrLiteral) {
  struct Case {
    std::string text;
    bool utf8;
    ImapArgumentForm form;
    std::string quoted;
  } cases[] = {
      {"bob", false, ImapArgumentForm::quoted, "\"bob\""},
      {"", false, ImapArgumentForm::quoted, "\"\""},
      {"pa\"ss\\word", false, ImapArgumentForm::quoted, "\"pa\\\"ss\\\\word\""},
      {"sp ace(){}%*]", false, ImapArgumentForm::quoted, "\"sp ace(){}%*]\""},
      {"caf\xC3\xA9", true, ImapArgumentForm::quoted, "\"caf\xC3\xA9\""},
      {"caf\xC3\xA9", false, ImapArgumentForm::literal, "\"caf\xC3\xA9\""},
      {"caf\xE9", true, ImapArgumentForm::literal, "\"caf\xE9\""},
      {"two\r\nlines", false, ImapArgumentForm::literal, ""},
      {"lf\n", true, ImapArgumentForm::literal, ""},
      {bytesOf("nul\0"), false, ImapArgumentForm::refused, ""},
  };
  for (const Case& c : cases) {
    int32_t n = static_cast<int32_t>(c.text.size());
    EXPECT_EQ(imapArgumentForm(c.text.data(), n, c.utf8), c.form) << c.text;
    // Exactly the room the quoted form needs, and one byte less.
    int32_t need = static_cast<int32_t>(c.quoted.size()) + 1;
    std::vector<char> out(static_cast<size_t>(need > 1 ? need : 8));
    EXPECT_EQ(imapWriteQuoted(c.text.data(), n, out.data(), need > 1 ? need : 8),
              c.quoted.empty() ? -1 : need - 1) << c.text;
    EXPECT_EQ(std::string(out.data()), c.quoted);
    if (need > 1) {
      EXPECT_EQ(imapWriteQuoted(c.text.data(), n, out.data(), need - 1), -1);
    }
  }
  char head[16];
  EXPECT_EQ(imapWriteLiteralHead(4294967295u, true, head, sizeof head), 15);
  EXPECT_STREQ(head, "{4294967295+}\r\n");
  EXPECT_EQ(imapWriteLiteralHead(12, false, head, 6), -1);
  EXPECT_EQ(imapWriteLiteralHead(12, false, head, 7), 6);
  EXPECT_STREQ(head, "{12}\r\n");
}

}  // namespace
