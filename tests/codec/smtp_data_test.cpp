// SMTP data from a ready-made message: every case fed whole, split in two
// at every position, and into an output of the smallest room, so that a
// CR LF or a line-start period cut by a piece boundary is still seen.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "codec/smtp_data.h"

using namespace qel;

namespace {

// Converts input in two pieces cut at `split` into an output with `room`
// bytes per call; the terminator is appended.
std::string stuffAll(const std::string& input, size_t split, int32_t room) {
  DataStuffing state;
  std::string out;
  char buffer[64];
  for (auto [at, end] : {std::pair<size_t, size_t>{0, split}, {split, input.size()}}) {
    while (at < end) {
      int32_t consumed = 0;
      int32_t written = stuffData(&state, input.data() + at, static_cast<int32_t>(end - at), buffer, room, &consumed);
      EXPECT_GT(consumed, 0);
      out.append(buffer, written);
      at += consumed;
    }
  }
  return out + dataTerminator(state);
}

TEST(SmtpData, LineEndsAndPeriods) {
  const struct {
    const char* name;
    std::string input;
    std::string output;
  } cases[] = {
      {"CR LF kept", "Subject: a\r\n\r\nb\r\n", "Subject: a\r\n\r\nb\r\n.\r\n"},
      {"bare LF", "a\nb\n", "a\r\nb\r\n.\r\n"},
      {"lone CR", "a\rb\r", "a\r\nb\r\n.\r\n"},
      {"CR CR LF: two line ends", "a\r\r\nb\n", "a\r\n\r\nb\r\n.\r\n"},
      {"LF CR: two line ends", "a\n\rb\n", "a\r\n\r\nb\r\n.\r\n"},
      {"periods at line starts", ".a\n..b\r\n.\r.\n", "..a\r\n...b\r\n..\r\n..\r\n.\r\n"},
      {"period inside a line", "a.b\n a.\n", "a.b\r\n a.\r\n.\r\n"},
      {"no last line end", "a\n.b", "a\r\n..b\r\n.\r\n"},
      {"NUL and 8-bit bytes", std::string("a\0\xE9\xFF\n", 5), std::string("a\0\xE9\xFF\r\n.\r\n", 9)},
      {"empty", "", ".\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t split = 0; split <= c.input.size(); ++split) {
      for (int32_t room : {64, 2, 3}) {
        EXPECT_EQ(stuffAll(c.input, split, room), c.output) << "split " << split << " room " << room;
      }
    }
  }
}

}  // namespace
