// SMTP data from a ready-made message: line ends and dot-stuffing.
#include "codec/smtp_data.h"

namespace qel {

int32_t stuffData(DataStuffing* state, const char* in, int32_t inLength, char* out, int32_t room,
                  int32_t* consumed) {
  int32_t taken = 0;
  int32_t written = 0;
  // Every input byte writes at most two.
  while (taken < inLength && room - written >= 2) {
    char c = in[taken++];
    bool lfOfCrLf = c == '\n' && state->afterCr;
    state->afterCr = c == '\r';
    if (lfOfCrLf) continue;  // its CR wrote the whole line end
    if (c == '\r' || c == '\n') {
      out[written++] = '\r';
      out[written++] = '\n';
      state->lineStart = true;
      continue;
    }
    if (c == '.' && state->lineStart) out[written++] = '.';
    out[written++] = c;
    state->lineStart = false;
  }
  *consumed = taken;
  return written;
}

const char* dataTerminator(const DataStuffing& state) { return state.lineStart ? ".\r\n" : "\r\n.\r\n"; }

}  // namespace qel
