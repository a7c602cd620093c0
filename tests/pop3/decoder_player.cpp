#include "decoder_player.h"

#include <cstring>

#include "codec/quoted_printable.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "pop3/attach_files.h"
#include "pop3/decoder.h"
#include "transport/receive.h"

namespace qel::test {
namespace {

int32_t writeUnlessOk(int32_t file, const char* text, int32_t n) {
  if (n >= 3 && std::strncmp(text, "+OK", 3) == 0) return 0;
  return plat::fileWrite(file, text, n);
}

// Removes the first character of the text in place.
void dropFirst(char* text) { std::memmove(text, text + 1, std::strlen(text)); }

}  // namespace

std::string retrAnswer(const std::string& message) {
  std::string answer = "+OK message follows\r\n";
  std::size_t from = 0;
  while (from < message.size()) {
    std::size_t lineFeed = message.find('\n', from);
    std::size_t end = lineFeed == std::string::npos ? message.size() : lineFeed + 1;
    if (message[from] == '.') answer += '.';
    answer.append(message, from, end - from);
    from = end;
  }
  if (!message.empty() && message.back() != '\n') answer += "\r\n";
  return answer + ".\r\n";
}

std::vector<std::size_t> everyLineCuts(const std::string& bytes) {
  std::vector<std::size_t> cuts;
  std::size_t from = 0;
  while (from < bytes.size()) {
    std::size_t lineFeed = bytes.find('\n', from);
    std::size_t end = lineFeed == std::string::npos ? bytes.size() : lineFeed + 1;
    std::size_t middle = from + (end - from) / 2;
    if (from + 1 < end) cuts.push_back(from + 1);
    if (middle > from + 1 && middle < end) cuts.push_back(middle);
    cuts.push_back(end);
    from = end;
  }
  if (!cuts.empty() && cuts.back() == bytes.size()) cuts.pop_back();
  return cuts;
}

bool playDownload(ChannelRecord* record, const std::string& mailPath, const std::string& attachDirectory) {
  std::memset(record->savedNames, 0, sizeof record->savedNames);
  copyText(record->attachDirectory, attachDirectory.c_str(), kPathCap);
  record->messageBytesRead = 0;
  record->attachBytesRead = 0;
  record->boundaryLength = 0;
  record->boundaryCount = 0;
  record->savedCount = 0;
  record->partEncoding = 0;
  record->headerGapWritten = 0;
  record->decodeState = kDecodeTopHeader;
  record->mailFile = plat::fileCreate(mailPath.c_str());
  if (record->mailFile <= 0) return false;

  bool ended = false;
  bool pieceOpen = false;
  char* line = record->replyText;
  for (;;) {
    int32_t r = readLine(record, line, kReplyRoom, settings.pop3ReadWait, 4 * settings.pop3ReadWait);
    if (r == 0) break;
    if (r < 0) {
      ended = true;  // a closed connection ends the answer
      break;
    }
    bool lineStart = !pieceOpen;
    pieceOpen = r == kReplyRoom - 1 && line[r - 1] != '\n';
    if (lineStart && line[0] == '.') {
      if (line[1] != '.' && r <= 4) {
        ended = true;
        break;
      }
      if (line[1] == '.') dropFirst(line);
    }
    bool toMessage = true;
    if (record->decodeState >= kDecodeTopHeader && record->decodeState <= kDecodeLastState) {
      toMessage = decodeLine(record) != 0;
      // The decoder may have read the rest of a cut line itself.
      pieceOpen = record->lineCut != 0;
    }
    if (!toMessage) continue;
    addCount(record->messageBytesRead, r);
    if (record->partEncoding == kEncodingQuoted) {
      int32_t n = qpDecode(line, record->logText);
      writeUnlessOk(record->mailFile, record->logText, n);
    } else {
      writeUnlessOk(record->mailFile, line, textLength(line));
    }
  }
  closeAttachFile(record);
  plat::fileClose(record->mailFile);
  record->mailFile = 0;
  return ended;
}

}  // namespace qel::test
