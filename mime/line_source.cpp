// What every line source shares: the dot-stuffing and the "." line of the
// answer data (RFC 1939, section 3), and the choice of a channel's source.
#include "mime/line_source.h"

#include <cstring>

#include "mime/decoder_state.h"

namespace qel {
namespace {

constexpr char kTerminationOctet = '.';

AnswerLinesFunction registeredAnswerLines = nullptr;

bool isTerminator(const char* line, int32_t length) {
  if (line[0] != kTerminationOctet) return false;
  if (length == 2) return line[1] == '\n';
  return length == 3 && line[1] == '\r' && line[2] == '\n';
}

// The start of a line (count bytes) is that of the "." line.
bool beginsTerminator(const char* start, int32_t count) {
  if (count < 2 || start[0] != kTerminationOctet) return false;
  return start[1] == '\n' || (count >= 3 && start[1] == '\r' && start[2] == '\n');
}

int32_t endedNext(void*, char*, int32_t, bool* cut) {
  *cut = false;
  return kLinesClosed;
}
int32_t endedPeek(void*, char*, int32_t) { return kLinesClosed; }

}  // namespace

AnswerLinesRegistration::AnswerLinesRegistration(AnswerLinesFunction answerLines) {
  registeredAnswerLines = answerLines;
}

LineSource lineSourceOf(ChannelRecord* record) {
  if (record->decoder->lineSource != nullptr) return *record->decoder->lineSource;
  if (registeredAnswerLines != nullptr) return registeredAnswerLines(record);
  return LineSource{record, endedNext, endedPeek};
}

int32_t settleDataPiece(int32_t* position, char* line, int32_t length) {
  if (*position == kAnswerLineStart && length > 0 && line[0] == kTerminationOctet) {
    if (isTerminator(line, length)) {
      *position = kAnswerEnded;
      return kLinesEnd;
    }
    // The NUL behind the line moves along.
    std::memmove(line, line + 1, static_cast<size_t>(length));
    --length;
  }
  *position = length > 0 && line[length - 1] == '\n' ? kAnswerLineStart : kAnswerMidLine;
  return length;
}

int32_t settlePeek(const char* raw, int32_t count, char* start) {
  if (beginsTerminator(raw, count)) return kLinesEnd;
  int32_t skip = count >= 2 && raw[0] == kTerminationOctet && raw[1] == kTerminationOctet ? 1 : 0;
  std::memcpy(start, raw + skip, static_cast<size_t>(count - skip));
  return count - skip;
}

}  // namespace qel
