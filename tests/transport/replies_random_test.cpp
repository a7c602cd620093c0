// Hostile replies: random bytes, overlong and unterminated lines, NULs and
// bare line feeds fed to both reply readers and to the raw command states.
// The readers must return one of their documented results, keep replyText
// and lastReply terminated within their capacities, and never touch a byte
// outside them (checked by the sanitizer build).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <string>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/settings.h"
#include "transport/readiness.h"
#include "qel32.h"
#include "support/library.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "driver/connection_use.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr int kReplies = 300;
constexpr uint32_t kSeed = 77;

std::string randomReply(std::mt19937& random) {
  static const char* const kPieces[] = {"250", "250-", "550 ", "+OK", "-ERR", "\r\n", "\n", "\r", " ",
                                        "2",   "99999999999999", "-", "\0", "354 go on\r\n"};
  std::string reply;
  int pieces = std::uniform_int_distribution<int>(0, 30)(random);
  for (int i = 0; i < pieces; ++i) {
    int kind = std::uniform_int_distribution<int>(0, 4)(random);
    if (kind < 3) {
      size_t index = std::uniform_int_distribution<size_t>(0, std::size(kPieces) - 1)(random);
      reply.append(kPieces[index], index == 12 ? 1 : std::strlen(kPieces[index]));
    } else if (kind == 3) {
      reply.append(std::uniform_int_distribution<size_t>(0, 1500)(random), 'x');
    } else {
      for (int n = std::uniform_int_distribution<int>(0, 300)(random); n > 0; --n) {
        reply.push_back(static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random)));
      }
    }
  }
  return reply;
}

// Feeds one reply through a socket pair (then the end of the connection)
// and reads it with the reader until the end; every result goes to seen.
void readThrough(ChannelRecord* record, const std::string& reply, bool smtp, std::set<int32_t>* seen) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
    seen->insert(INT32_MIN);
    return;
  }
  ::send(pair[1], reply.data(), reply.size(), MSG_NOSIGNAL);
  ::shutdown(pair[1], SHUT_WR);
  adoptSocket(record, static_cast<plat::SocketHandle>(pair[0]));
  record->connection->ringRead = record->connection->ringWrite = 0;
  int32_t rc = 0;
  // Read replies until the connection's end is met, as successive states
  // would.
  for (int i = 0; i < 50 && rc >= 0; ++i) {
    if (!waitForData(record->connection, 0)) break;
    rc = smtp ? readSmtpReply(record) : readPop3Reply(record);
    seen->insert(rc);
  }
  ::close(pair[0]);
  ::close(pair[1]);
  record->connection->socketOpen = false;
}

TEST(RepliesRandom, ReadersKeepTheirContracts) {
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  settings.replyTimeout = 50;
  settings.pop3ReadWait = 50;
  const std::set<int32_t> smtpResults = {0, kErrSmtpError, kErrResponseOverflow, kErrTimedOut, kErrSocketClosed};
  const std::set<int32_t> pop3Results = {0, kErrPop3Error, kErrTimedOut, kErrSocketClosed};
  std::set<int32_t> seenSmtp;
  std::set<int32_t> seenPop3;
  std::mt19937 random(kSeed);
  for (int n = 0; n < kReplies; ++n) {
    std::string reply = randomReply(random);
    for (bool smtp : {true, false}) {
      SCOPED_TRACE(std::to_string(n) + (smtp ? " smtp" : " pop3"));
      std::set<int32_t> results;
      readThrough(record, reply, smtp, &results);
      for (int32_t rc : results) EXPECT_EQ((smtp ? smtpResults : pop3Results).count(rc), 1u) << rc;
      (smtp ? seenSmtp : seenPop3).insert(results.begin(), results.end());
      EXPECT_LE(std::strlen(record->texts.replyText), static_cast<size_t>(kReplyRoom - 1));
      EXPECT_LE(std::strlen(record->texts.lastReply), static_cast<size_t>(kLastReplyCap));
    }
  }
  // The replies reached every kind of ending.
  // (-8 needs a server that stays silent; here the connection always ends.)
  EXPECT_EQ(seenSmtp, (std::set<int32_t>{0, kErrSmtpError, kErrResponseOverflow, kErrSocketClosed}));
  EXPECT_EQ(seenPop3, (std::set<int32_t>{0, kErrPop3Error, kErrSocketClosed}));
}

}  // namespace
