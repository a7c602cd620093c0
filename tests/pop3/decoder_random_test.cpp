// Hostile messages: many random messages, built from MIME header fragments,
// hostile file names, encoded words, long and folded lines and random bytes,
// go through a real download. Whatever a message says, the download must
// end (with 0 or an error code, never a hang), write no file outside the two
// directories it was given, and (under the sanitizer build) touch no byte
// outside its buffers.
//
// The server side is one end of a socket pair, filled with the whole
// answer before the download starts, so each message takes milliseconds.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "mime/decoder_state.h"
#include "transport/readiness.h"
#include "qel32.h"
#include "support/library.h"
#include "driver/connection_use.h"

namespace fs = std::filesystem;
using namespace qel;
using namespace qel::test;

namespace {

constexpr int kMessages = 400;
constexpr uint32_t kSeed = 20261207;

const char* const kHeaderFragments[] = {
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"B1\"",
    "Content-Type: multipart/mixed; boundary=B2",
    "Content-Type: multipart/alternative; boundary=\"ALT\"",
    "Content-Type: multipart/mixed;",
    " boundary=\"FOLDED\"",
    "Content-Type: text/plain",
    "Content-Type: message/rfc822",
    "Content-Type: application/octet-stream; name=\"../../escape.bin\"",
    "Content-Type: application/octet-stream; name=/etc/passwd",
    "Content-Type: image/gif; name=\"C:\\Windows\\x.gif\"",
    "Content-Type: application/octet-stream; name=\"..\"",
    "Content-Type: application/octet-stream; name=\"=?iso-8859-1?q?=2E=2E=2F=2E=2Fx?=\"",
    "Content-Type: application/octet-stream; name=\"=?iso-8859-1?b?Li4vLi4vYg==?=\"",
    "Content-Disposition: attachment; filename=\"a\r.txt\"",
    "Content-Disposition: inline",
    "Content-Disposition: attachment; filename=",
    "Content-Disposition: attachment; filename=\"",
    "Content-Transfer-Encoding: base64",
    "Content-Transfer-Encoding: quoted-printable",
    "Content-Transfer-Encoding: 7bit",
    "Content-Transfer-Encoding: 8bit",
    "Subject: =?iso-8859-1?q?caf=E9_=3D?= and =?iso-8859-1?b?////?=",
    "From: =?iso-8859-1?b?QWxpY2U=?= <alice@example.test>",
    "Subject: =?iso-8859-1?q?",
    "From: =?iso-8859-1?b?",
    "X-Long:",
    "--B1",
    "--B2",
    "--ALT",
    "--B1--",
    "--FOLDED",
    "",
    ".",
    "..",
    "+OK not a status line",
    "=",
    "=4",
    "SGVsbG8gd29ybGQ=",
    "////",
    "=?iso-8859-1?q?=?=",
};

std::string randomLine(std::mt19937& random) {
  std::uniform_int_distribution<int> pick(0, 9);
  int kind = pick(random);
  if (kind < 6) {
    std::uniform_int_distribution<size_t> fragment(0, std::size(kHeaderFragments) - 1);
    std::string line = kHeaderFragments[fragment(random)];
    if (kind == 0) line += std::string(std::uniform_int_distribution<size_t>(0, 3000)(random), 'n');
    return line;
  }
  if (kind < 8) {
    // Continuation lines: many, long, or only blanks.
    return std::string(std::uniform_int_distribution<size_t>(1, 40)(random), ' ') +
           std::string(std::uniform_int_distribution<size_t>(0, 1500)(random), 'c') + ";";
  }
  // Random bytes (no CR or LF: those make the lines).
  std::string bytes(std::uniform_int_distribution<size_t>(0, 2500)(random), '\0');
  for (char& c : bytes) {
    do {
      c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
    } while (c == '\r' || c == '\n');
  }
  return bytes;
}

// The POP3 answer to RETR: status line, the dot-stuffed message, the end.
std::string answerFor(const std::vector<std::string>& lines) {
  std::string answer = "+OK message follows\r\n";
  for (const std::string& line : lines) {
    if (!line.empty() && line[0] == '.') answer += ".";
    answer += line + "\r\n";
  }
  return answer + ".\r\n";
}

// Every path below root that is not one of the allowed directories or
// inside them.
std::vector<std::string> strayPaths(const fs::path& root, const fs::path& mail, const fs::path& attach) {
  std::vector<std::string> stray;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    fs::path path = entry.path();
    if (path == mail || path == attach || path.parent_path() == mail || path.parent_path() == attach) continue;
    stray.push_back(path.string());
  }
  return stray;
}

TEST(DecoderRandom, HostileMessagesEndAndStayInTheirDirectories) {
  Attached lib(1);
  ChannelRecord* record = lib.downloading(0);
  settings.pop3ReadWait = 200;  // a message that ends mid-header waits this long
  settings.replyTimeout = 2000;
  TempDir root;
  fs::path mail = fs::path(root.path()) / "mail";
  fs::path attach = fs::path(root.path()) / "attach";
  // A nested work directory, so that a name that climbed out would land
  // in root, where it is found.
  fs::path workMail = mail / "deeper";
  fs::create_directories(workMail);
  fs::create_directories(attach);
  std::mt19937 random(kSeed);

  for (int n = 0; n < kMessages; ++n) {
    SCOPED_TRACE("message " + std::to_string(n));
    std::vector<std::string> lines;
    int count = std::uniform_int_distribution<int>(1, 40)(random);
    for (int i = 0; i < count; ++i) lines.push_back(randomLine(random));
    std::string answer = answerFor(lines);

    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    // Large answers go in from a second thread's worth of buffer: the pair
    // holds far more than any message here.
    int size = 1 << 20;
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ASSERT_EQ(::send(pair[1], answer.data(), answer.size(), MSG_NOSIGNAL), static_cast<ssize_t>(answer.size()));
    ::shutdown(pair[1], SHUT_WR);

    adoptSocket(record, static_cast<plat::SocketHandle>(pair[0]));
    record->protocol = kProtocolPop3;
    record->connection->ringRead = record->connection->ringWrite = 0;
    qelIntegerParam(0, QEL_PARAM_SAVE_UNNAMED, n % 2);
    qelIntegerParam(0, QEL_PARAM_NUMBER_NAMES, n % 3 == 0);
    int32_t rc = qelGetEmailFile(0, 1, "m.eml", workMail.string().c_str(), attach.string().c_str());
    EXPECT_TRUE(rc == 0 || rc < 0) << rc;
    if (socketIsOpen(record->connection)) ::close(pair[0]);
    record->connection->socketOpen = false;
    ::close(pair[1]);
    EXPECT_EQ(record->decoder->fileHandle, 0);
    EXPECT_EQ(record->decoder->mailFile, 0);
  }
  EXPECT_EQ(strayPaths(root.path(), workMail, attach), std::vector<std::string>{mail.string()});
  // The messages did make the decoder save files (hostile names included).
  size_t saved = 0;
  for (const auto& entry : fs::directory_iterator(attach)) saved += entry.is_regular_file() ? 1 : 0;
  EXPECT_GT(saved, 5u);
}

}  // namespace
