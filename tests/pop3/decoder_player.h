// Test helpers of the decoder: the server side of a RETR answer, and a
// player that reads the answer from the channel's connection and hands every
// line to decodeLine the way the line download state does (dot handling,
// the lines that go into the message file, quoted-printable decoding of
// them, the closing of the files at the end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/channel.h"

namespace qel::test {

// The status line, the message dot-stuffed (a line end is added when it has
// none) and the "." line.
std::string retrAnswer(const std::string& message);

// Segment ends that cut every line of bytes behind its first byte and in its
// middle, for SendSplit.
std::vector<std::size_t> everyLineCuts(const std::string& bytes);

// Sets the record up as a decoding download does (decoder state, counters,
// savedNames, the message file created at mailPath, attachDirectory), then
// plays the answer arriving on the channel's connection through decodeLine
// until its "." line or the end of the connection. True when the "." line
// came; false when nothing came for pop3ReadWait ms.
bool playDownload(ChannelRecord* record, const std::string& mailPath, const std::string& attachDirectory);

}  // namespace qel::test
