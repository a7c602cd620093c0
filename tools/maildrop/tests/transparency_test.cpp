// The DATA unstuffer and the POP3 wire encoder, each input fed whole and
// split at every position, since a TCP read or a file read may end anywhere.
#include <gtest/gtest.h>

#include <string>

#include "transparency.h"

namespace maildrop {
namespace {

struct UnstuffCase {
  const char* name;
  std::string wire;     // what the client sends after 354
  std::string message;  // what is stored
  std::string rest;     // what stays for the next command
  bool finished;
};

const UnstuffCase kUnstuffCases[] = {
    {"plain", "a\r\nb\r\n.\r\n", "a\r\nb\r\n", "", true},
    {"empty message", ".\r\n", "", "", true},
    {"stuffed dot line", "..\r\n.\r\n", ".\r\n", "", true},
    {"stuffed leading dot", "..x\r\n...y\r\n.\r\n", ".x\r\n..y\r\n", "", true},
    {"unstuffed leading dot is dropped", ".x\r\n.\r\n", "x\r\n", "", true},
    {"dot inside a line stays", "a.\r\nb.c\r\n.\r\n", "a.\r\nb.c\r\n", "", true},
    {"bare LF is no line end", "a\n.\nb\r\n.\r\n", "a\n.\nb\r\n", "", true},
    {"dot CR without LF", ".\rx\r\n.\r\n", "\rx\r\n", "", true},
    {"pipelined command after the end", "a\r\n.\r\nQUIT\r\n", "a\r\n", "QUIT\r\n", true},
    {"no end line yet", "a\r\n.x.\r\n", "a\r\nx.\r\n", "", false},
    {"dot at the end of a line does not end", "a\r\nb.\r\n", "a\r\nb.\r\n", "", false},
    {"binary bytes", std::string("\0\xff\r\n.\r\n", 7), std::string("\0\xff\r\n", 4), "", true},
};

TEST(DataUnstuffer, AnySplitGivesTheSameMessage) {
  for (const UnstuffCase& c : kUnstuffCases) {
    for (size_t split = 0; split <= c.wire.size(); ++split) {
      DataUnstuffer unstuffer;
      std::string message;
      size_t used = unstuffer.feed(c.wire.data(), split, message);
      if (!unstuffer.finished()) {
        ASSERT_EQ(used, split) << c.name;
      }
      if (!unstuffer.finished()) used += unstuffer.feed(c.wire.data() + split, c.wire.size() - split, message);
      EXPECT_EQ(message, c.message) << c.name << " split at " << split;
      EXPECT_EQ(unstuffer.finished(), c.finished) << c.name;
      if (c.finished) {
        EXPECT_EQ(c.wire.substr(used), c.rest) << c.name;
      }
    }
  }
}

TEST(DataUnstuffer, ByteByByteStopsRightAfterTheEnd) {
  std::string wire = "x\r\n..\r\n.\r\nRSET\r\n";
  DataUnstuffer unstuffer;
  std::string message;
  size_t at = 0;
  while (!unstuffer.finished() && at < wire.size()) at += unstuffer.feed(wire.data() + at, 1, message);
  EXPECT_TRUE(unstuffer.finished());
  EXPECT_EQ(message, "x\r\n.\r\n");
  EXPECT_EQ(wire.substr(at), "RSET\r\n");
}

struct EncodeCase {
  const char* name;
  std::string stored;
  bool stuffing;
  int64_t bodyLines;
  std::string served;
};

const int64_t kAll = WireEncoder::kWholeMessage;
const EncodeCase kEncodeCases[] = {
    {"CR LF kept", "A: 1\r\n\r\nbody\r\n", true, kAll, "A: 1\r\n\r\nbody\r\n"},
    {"bare LF gains CR", "A: 1\n\nbody\n", true, kAll, "A: 1\r\n\r\nbody\r\n"},
    {"unterminated last line", "A: 1\r\n\r\nbody", true, kAll, "A: 1\r\n\r\nbody\r\n"},
    {"trailing bare CR", "A\r", false, kAll, "A\r\n"},
    {"dots stuffed", "A: 1\r\n\r\n.\r\n.x\r\nx.\r\n", true, kAll, "A: 1\r\n\r\n..\r\n..x\r\nx.\r\n"},
    {"dots counted unstuffed", "A: 1\r\n\r\n.\r\n", false, kAll, "A: 1\r\n\r\n.\r\n"},
    {"dot after CR is not at line start", "\r.x\r\n", true, kAll, "\r.x\r\n"},
    {"empty message", "", true, kAll, ""},
    {"top 0", "A: 1\r\nB: 2\r\n\r\nl1\r\nl2\r\n", true, 0, "A: 1\r\nB: 2\r\n\r\n"},
    {"top 1", "A: 1\r\n\r\nl1\r\nl2\r\n", true, 1, "A: 1\r\n\r\nl1\r\n"},
    {"top more than there is", "A: 1\r\n\r\nl1", true, 5, "A: 1\r\n\r\nl1\r\n"},
    {"top with bare LF", "A: 1\n\n.l1\nl2\n", true, 1, "A: 1\r\n\r\n..l1\r\n"},
    {"top without a blank line", "A: 1\r\nB: 2", true, 0, "A: 1\r\nB: 2\r\n"},
    {"top counts empty body lines", "A\r\n\r\n\r\n\r\nx\r\n", true, 2, "A\r\n\r\n\r\n\r\n"},
};

TEST(WireEncoder, AnySplitGivesTheSameServedText) {
  for (const EncodeCase& c : kEncodeCases) {
    for (size_t split = 0; split <= c.stored.size(); ++split) {
      WireEncoder encoder(c.stuffing, c.bodyLines);
      std::string served;
      encoder.feed(c.stored.data(), split, served);
      encoder.feed(c.stored.data() + split, c.stored.size() - split, served);
      encoder.finish(served);
      EXPECT_EQ(served, c.served) << c.name << " split at " << split;
    }
  }
}

}  // namespace
}  // namespace maildrop
