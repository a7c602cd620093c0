// A ready-made message made into SMTP data (RFC 5321 section 4.5.2): line
// ends made CR LF and a period that begins a line doubled, nothing else
// changed. The message may come in pieces of any size; the state carries
// what a piece boundary cuts.
#pragma once

#include <cstdint>

namespace qel {

struct DataStuffing {
  bool lineStart = true;  // the next byte begins a line
  bool afterCr = false;   // the last byte was a CR, already written as CR LF
};

// Converts the input piece into out: CR LF, a bare LF and a lone CR each
// become one CR LF; a period at the start of a line gets a second one; all
// other bytes (NUL and bytes of 0x80 and above too) go as they are. Stops
// when all input is taken or out has fewer than 2 bytes of room. Returns
// the bytes written; *consumed gets the input bytes taken.
int32_t stuffData(DataStuffing* state, const char* in, int32_t inLength, char* out, int32_t room,
                  int32_t* consumed);

// What ends the data after the message: CR LF when its last line had no
// line end, then "." and CR LF.
const char* dataTerminator(const DataStuffing& state);

}  // namespace qel
