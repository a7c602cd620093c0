// Both reply readers, and the reader of POP3 multi-line answers, fed from
// memory. The first byte chooses the reader; the rest is what the server
// sends before the connection ends. Replies are read one after another, as
// successive states would, until a reader reports a failure that ends the
// sequence or the connection's end.
//
// Each result is one the reader documents; the reply text stays terminated
// within its room; and every reply a reader hands out takes at least one
// whole line: a reader never reads more replies than the input has lines
// (a line too long for the room is read to its end, never left to be taken
// as the next reply).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/settings.h"
#include "fuzz_support.h"
#include "pop3/pop3_states.h"
#include "qel32.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "driver/connection_use.h"

using namespace qel;
using namespace qel::fuzz;

namespace {

enum Reader : uint8_t { kSmtpReader, kPop3StatusReader, kPop3AnswerReader, kReaderCount };
// The input is all there before the first read and the connection then
// ends, so the readers never wait for it; the waits only have to outlast a
// busy machine's pauses.
constexpr int32_t kWaitMs = 2000;
constexpr int kReadLimit = 10000;

int64_t linesIn(const std::string& bytes) {
  int64_t lines = std::count(bytes.begin(), bytes.end(), '\n');
  return lines + (!bytes.empty() && bytes.back() != '\n' ? 1 : 0);
}

void requireTerminated(const ChannelRecord* record) {
  require(std::memchr(record->texts.replyText, '\0', kReplyRoom) != nullptr, "replyText ends within its room");
  require(std::memchr(record->texts.lastReply, '\0', kLastReplyCap + 1) != nullptr, "lastReply ends within its room");
}

// Successive status replies (SMTP or POP3); the number of replies handed out.
int64_t readReplies(ChannelRecord* record, bool smtp) {
  static const std::set<int32_t> smtpResults = {0, kErrSmtpError, kErrResponseOverflow, kErrTimedOut,
                                                kErrSocketClosed};
  static const std::set<int32_t> pop3Results = {0, kErrPop3Error, kErrTimedOut, kErrSocketClosed};
  int64_t replies = 0;
  for (int i = 0; i < kReadLimit && waitForData(record->connection, 0); ++i) {
    int32_t rc = smtp ? readSmtpReply(record) : readPop3Reply(record);
    require((smtp ? smtpResults : pop3Results).count(rc) == 1, "a reader returns one of its results");
    requireTerminated(record);
    if (rc == 0 || rc == kErrSmtpError || rc == kErrPop3Error) ++replies;
    if (rc != 0 && rc != kErrPop3Error) break;
  }
  return replies;
}

// One multi-line answer, piece by piece, until its end line or a failure.
void readAnswer(ChannelRecord* record, int64_t inputBytes) {
  startAnswer(record);
  int64_t total = 0;
  for (int i = 0; i < kReadLimit; ++i) {
    int32_t length = 0;
    bool lineEnded = false;
    AnswerPiece piece = readAnswerPiece(record, kWaitMs, &length, &lineEnded);
    requireTerminated(record);
    require(length >= 0 && length < kReplyRoom, "a piece fits in the room");
    total += length;
    require(total <= inputBytes, "the pieces hold no more than was sent");
    if (piece != AnswerPiece::data && piece != AnswerPiece::okStatus) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t reader = data[0] % kReaderCount;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  require(qelAttach(1, 0) == 1, "the library attaches");
  settings.replyTimeout = kWaitMs;
  settings.pop3ReadWait = kWaitMs;
  ChannelRecord* record = channelRecord(0);
  require(openPop3Session(record) == 0, "the POP3 session is made");
  int peer = feedChannel(record, bytes);
  if (reader == kPop3AnswerReader) {
    readAnswer(record, static_cast<int64_t>(bytes.size()));
  } else {
    int64_t replies = readReplies(record, reader == kSmtpReader);
    require(replies <= linesIn(bytes), "every reply takes at least one whole line");
  }
  endFeed(record, peer);
  qelRelease();
  resetLibrarySettings();
  return 0;
}
