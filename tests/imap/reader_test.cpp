// The response reader: what it gathers from each kind of response and what
// it refuses, fed whole, cut at every position and a byte at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/reader.h"
#include "imap_test_support.h"

using namespace qel;
using namespace qel::test;

namespace {

struct Case {
  std::string bytes;
  int32_t result;
  std::string items;  // dump() of a ready response
};

const std::string kDeep = std::string(32, '(') + std::string(32, ')');

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}
const std::string kBigLiteral = "{30000}\r\n" + std::string(30000, 'x');

const Case kCases[] = {
    {"* OK [UIDVALIDITY 3857529045] UIDs valid\r\n", kImapReady, "* OK [UIDVALIDITY #3857529045 ] 'UIDs valid'"},
    {"a1 OK [READ-WRITE] SELECT completed\r\n", kImapReady, "T a1 OK [READ-WRITE ] 'SELECT completed'"},
    {"* NO [ALERT] Mailbox is full\r\n", kImapReady, "* NO [ALERT ] 'Mailbox is full'"},
    {"* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Limited\r\n", kImapReady,
     "* OK [PERMANENTFLAGS ( \\Deleted \\Seen \\* ) ] 'Limited'"},
    {"* OK [XFOO he said \"hi] there\r\n", kImapReady, "* OK [XFOO ~he said \"hi ] 'there'"},
    {"* BYE\r\n", kImapReady, "* BYE"},
    {"+ idling\r\n", kImapReady, "+ 'idling'"},
    {"+\r\n", kImapReady, "+"},
    {"* 23 EXISTS\n", kImapReady, "* #23 EXISTS"},
    {"* CAPABILITY IMAP4rev1 AUTH=PLAIN LITERAL+\r\n", kImapReady, "* CAPABILITY IMAP4rev1 AUTH=PLAIN LITERAL+"},
    {"* LIST (\\HasNoChildren \\Sent) \"/\" {4}\r\nSent\r\n", kImapReady,
     "* LIST ( \\HasNoChildren \\Sent ) \"/\" {Sent}"},
    {"* LIST (\\Noselect) NIL \"\\\\a \\\"b\\\" \\c\"\r\n", kImapReady,
     "* LIST ( \\Noselect ) NIL \"\\a \"b\" \\c\""},
    {"* LIST () \"/\" Foo]B[ar\r\n", kImapReady, "* LIST ( ) \"/\" Foo]B[ar"},
    {"* 12 FETCH (FLAGS () BODY[HEADER.FIELDS (FROM)]<0> {5}\r\nFrom:)\r\n", kImapReady,
     "* #12 FETCH ( FLAGS ( ) BODY[HEADER.FIELDS (FROM)]<0> {From:} )"},
    {bytesOf("* 1 FETCH (BINARY[1] ~{3}\r\na\0b UID 4)\r\n"), kImapReady,
     bytesOf("* #1 FETCH ( BINARY[1] {a\0b} UID #4 )")},
    {"* 1 FETCH (X ~a {0}\r\n)\r\n", kImapReady, "* #1 FETCH ( X ~a {} )"},
    {"* X " + kDeep + "\r\n", kImapReady, "* X" + repeat(" (", 32) + repeat(" )", 32)},
    // Refused.
    {"* X (" + kDeep + ")\r\n", kImapTooDeep, ""},
    {"* LIST () \"/\" \"abc\r\n", kImapSyntax, ""},
    {bytesOf("* X a\0b\r\n"), kImapSyntax, ""},
    {bytesOf("* OK a\0b\r\n"), kImapSyntax, ""},
    {"* X {99999999999}\r\n", kImapLiteralTooLarge, ""},
    {"* X {40000}\r\n", kImapLiteralTooLarge, ""},
    {"* X {5+}\r\nabcde\r\n", kImapSyntax, ""},
    {"* X {}\r\n", kImapSyntax, ""},
    {"* X {3}x", kImapSyntax, ""},
    {"a1 FOO bar\r\n", kImapSyntax, ""},
    {"a1 BYE now\r\n", kImapSyntax, ""},
    {"a1 (x)\r\n", kImapSyntax, ""},
    {"* X )\r\n", kImapSyntax, ""},
    {"* X (a\r\n", kImapSyntax, ""},
    {"* OK [ALERT\r\n", kImapSyntax, ""},
    {"* \r\n", kImapSyntax, ""},
    {"*\r\n", kImapSyntax, ""},
    {"(x)\r\n", kImapSyntax, ""},
    {"* OK a\rb\r\n", kImapSyntax, ""},
    {"* OK " + std::string(20000, 'x') + "\r\n", kImapLineTooLong, ""},
    {"* X" + repeat(" a", 2100) + "\r\n", kImapResponseTooLarge, ""},
    {"* X " + kBigLiteral + " " + kBigLiteral + " " + kBigLiteral + "\r\n", kImapResponseTooLarge, ""},
};

constexpr size_t kCutAnywhereLength = 512;

// The record's text when a response is ready; "" after a failure.
std::string outcome(const TestReader& t) {
  return t.reader->result == kImapReady ? dump(t.reader->response) : "";
}

TEST(ImapReader, WholeAndCutAnywhere) {
  TestReader t;
  for (const Case& c : kCases) {
    const std::string& expected = c.items;
    size_t used = 0;
    ASSERT_EQ(feedPieces(t.reader.get(), c.bytes, {}, &used), c.result) << c.bytes;
    EXPECT_EQ(outcome(t), expected) << c.bytes;
    EXPECT_TRUE(c.result != kImapReady || used == c.bytes.size()) << c.bytes;
    // Cut in two at every position (the short ones), then a byte at a
    // time: the same.
    std::vector<size_t> everyByte;
    for (size_t cut = 0; cut <= c.bytes.size(); ++cut) {
      everyByte.push_back(cut);
      if (c.bytes.size() > kCutAnywhereLength) continue;
      ASSERT_EQ(feedPieces(t.reader.get(), c.bytes, {cut}), c.result) << c.bytes << " cut at " << cut;
      ASSERT_EQ(outcome(t), expected) << "cut at " << cut;
    }
    ASSERT_EQ(feedPieces(t.reader.get(), c.bytes, everyByte), c.result) << c.bytes;
    EXPECT_EQ(outcome(t), expected);
    // A failure stays; a ready response is given again, taking nothing.
    int32_t taken = 1;
    EXPECT_EQ(imapFeed(t.reader.get(), "x", 1, &taken), c.result);
    EXPECT_EQ(taken, 0);
  }
}

TEST(ImapReader, ResponsesFollowOneAnother) {
  TestReader t;
  const std::string bytes = "* 1 EXPUNGE\r\n* 3 EXISTS\r\na2 OK done\r\n";
  const std::string expected[] = {"* #1 EXPUNGE", "* #3 EXISTS", "T a2 OK 'done'"};
  size_t at = 0;
  for (const std::string& want : expected) {
    imapReaderReset(t.reader.get());
    int32_t used = 0;
    ASSERT_EQ(imapFeed(t.reader.get(), bytes.data() + at, static_cast<int32_t>(bytes.size() - at), &used), kImapReady);
    EXPECT_EQ(dump(t.reader->response), want);
    at += static_cast<size_t>(used);
  }
  EXPECT_EQ(at, bytes.size());
}

// A body section's literal goes to the sink, whatever the pieces; other
// literals of the same response are held.
TEST(ImapReader, BodyLiteralIsStreamed) {
  const std::string bytes =
      "* 7 FETCH (UID 9 BODY[HEADER] {4}\r\nAb\r\n BODY[] {11}\r\nhello@world ENVELOPE ({2}\r\nhi))\r\n";
  std::string input = bytes;
  input[input.find('@')] = '\0';  // a NUL in the body passes as it came
  const std::string items = "* #7 FETCH ( UID #9 BODY[HEADER] <4> BODY[] <11> ENVELOPE ( {hi} ) )";
  const std::string streamed = std::string("BODY[HEADER]:4|Ab\r\n|endBODY[]:11|hello") + '\0' + "world|end";
  TestReader t;
  t.reader->literalSink = &t.sink;
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    t.streamed.clear();
    ASSERT_EQ(feedPieces(t.reader.get(), input, {cut}), kImapReady) << cut;
    EXPECT_EQ(dump(t.reader->response), items);
    EXPECT_EQ(t.streamed, streamed) << "cut at " << cut;
  }
  // A sink that refuses stops the reader with its code.
  t.streamed.clear();
  t.failAfter = 20;
  EXPECT_EQ(feedPieces(t.reader.get(), input, {}), kImapSinkFailed);
  EXPECT_EQ(t.reader->sinkResult, -77);
}

// A literal far larger than the record, in pieces as a receive ring would
// hand them: it passes through, the record holds only the line around it.
TEST(ImapReader, LargeLiteralIsNeverHeld) {
  TestReader t;
  t.reader->literalSink = &t.sink;
  const uint32_t size = 8u * 1024 * 1024;
  imapReaderReset(t.reader.get());
  std::string head = "* 1 FETCH (BODY[] {" + std::to_string(size) + "}\r\n";
  int32_t used = 0;
  ASSERT_EQ(imapFeed(t.reader.get(), head.data(), static_cast<int32_t>(head.size()), &used), kImapNeedMore);
  std::string chunk(65536, 'x');
  for (uint32_t sent = 0; sent < size; sent += chunk.size()) {
    ASSERT_EQ(imapFeed(t.reader.get(), chunk.data(), static_cast<int32_t>(chunk.size()), &used), kImapNeedMore);
  }
  ASSERT_EQ(imapFeed(t.reader.get(), ")\r\n", 3, &used), kImapReady);
  EXPECT_EQ(t.streamed.size(), std::string("BODY[]:8388608||end").size() + size);
  EXPECT_LT(t.reader->response.byteCount, 64);
}

// SEARCH numbers go to the number sink, so a result longer than the line
// limit is read whole.
TEST(ImapReader, SearchNumbersAreStreamed) {
  struct Numbers {
    uint64_t sum = 0;
    uint32_t count = 0;
    static int32_t take(void* c, uint32_t n) {
      auto* self = static_cast<Numbers*>(c);
      self->sum += n;
      ++self->count;
      return 0;
    }
  } numbers;
  ImapNumberSink sink{&numbers, Numbers::take};
  TestReader t;
  t.reader->numberSink = &sink;
  std::string bytes = "* SEARCH";
  for (uint32_t n = 1; n <= 20000; ++n) bytes += " " + std::to_string(n);
  bytes += " (MODSEQ 5)\r\n";
  ASSERT_EQ(feedPieces(t.reader.get(), bytes, {}), kImapReady);
  EXPECT_EQ(numbers.count, 20000u);
  EXPECT_EQ(numbers.sum, 20000ull * 20001 / 2);
  EXPECT_EQ(dump(t.reader->response), "* SEARCH ( MODSEQ #5 )");
}

}  // namespace
