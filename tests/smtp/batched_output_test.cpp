// The message data goes out in large writes: the bytes on the wire are the
// same as when every line went out on its own, also when the server takes
// them one byte at a time, and the same as with a line delay, which sends
// one line per step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/channel.h"
#include "qel32.h"
#include "smtp_session.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

TEST(BatchedOutput, ServerReadingOneByteAtATimeGetsTheExactBytes) {
  Attached lib{1};
  qelIntegerParam(0, QEL_PARAM_CLOSE_PAUSE, 0);
  TempDir dir;
  // Larger than the output buffer, so that it is written out several times.
  std::string payload;
  uint32_t seed = 7;
  for (int i = 0; i < 40000; ++i) {
    seed = seed * 1103515245u + 12345u;
    payload += static_cast<char>(seed >> 24);
  }
  writeFile(dir.file("data.bin"), payload);
  std::string body;
  // Also larger than the buffer: body lines go many per step.
  for (int i = 0; i < 480; ++i) body += "Line " + std::to_string(i) + " of the body, long enough to fill the buffer.\r\n";
  std::vector<std::string> sent;
  struct Run {
    size_t piece;
    int32_t lineDelay;
  };
  for (Run run : {Run{0, 0}, Run{1, 0}, Run{0, 1}}) {
    SCOPED_TRACE(testing::Message() << run.piece << " " << run.lineDelay);
    size_t piece = run.piece;
    qelIntegerParam(0, QEL_PARAM_LINE_DELAY, run.lineDelay);
    std::vector<Step> reading;
    if (piece > 0) reading.push_back(ReadInPieces(piece));
    ScriptServer server(steps({greeting(), reading, envelopeAndData({"<bob@example.net>"}), quit()}));
    ASSERT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelSendEmail(0, "<bob@example.net>", nullptr, nullptr, "batched", body.c_str(),
                           dir.file("data.bin").c_str()),
              0);
    EXPECT_EQ(qelClose(0), 0);
    // The connection's buffers go with it.
    EXPECT_EQ(channelRecord(0)->connection->outputBuffer, nullptr);
    EXPECT_EQ(channelRecord(0)->connection->ringBuffer, nullptr);
    ASSERT_TRUE(server.finished(30000));
    EXPECT_EQ(server.mismatches(), "");
    sent.push_back(transcript(server));
  }
  qelIntegerParam(0, QEL_PARAM_LINE_DELAY, 0);
  EXPECT_EQ(sent[0], sent[1]);
  EXPECT_EQ(sent[0], sent[2]);
  std::string encoded(payload.size() * 2, '\0');
  encoded.resize(static_cast<size_t>(qelEncodeBuffer(payload.data(), encoded.data(), static_cast<int32_t>(payload.size()))));
  EXPECT_NE(sent[1].find(encoded), std::string::npos) << "the attachment's base64 lines";
  EXPECT_NE(sent[1].find("Line 479 of the body, long enough to fill the buffer.\r\n"), std::string::npos);
}

}  // namespace
