// The two reply readers: a whole SMTP reply (one or more lines, numeric
// code) and a POP3 status line. Each reads into the caller's reply area:
// text (kReplyRoom bytes), the reply code, and lastReply (room for
// kLastReplyCap characters and the NUL) with the start of the reply.
#pragma once

#include <cstdint>

#include "transport/connection_state.h"

namespace qel {

// Reads one SMTP reply into text (all its lines) and its code into
// code. 0 for a complete reply with a code below 500; -49 for a code of
// 500 or more (the rest of the reply stays unread); -31 when the reply does
// not fit in 1024 bytes (the rest stays readable); -8 when the reply does
// not end within replyTimeout of its start (a line still cut then is no
// reply); -1 when the connection ends before the reply is complete.
int32_t readSmtpReply(Connection* connection, char* text, int32_t& code, char* lastReply);

// Reads one POP3 status line into text. 0 for "+..." (code 100),
// -63 otherwise (code 500), -8 when nothing comes within pop3ReadWait
// or the line does not end within replyTimeout, -1 when the connection ends
// before the line. A line longer than the room keeps its first
// kReplyRoom - 1 bytes there; the rest is read to its line feed and dropped.
int32_t readPop3Reply(Connection* connection, char* text, int32_t& code, char* lastReply);

// Reads the rest of a line that did not fit its room up to its line feed
// and drops it, so that it is never taken for the answer to the next
// command. 0 once the line feed has come, -8 when it has not come before
// the tick count end, -1 when the connection ends first.
int32_t dropRestOfLine(Connection* connection, uint32_t end);

}  // namespace qel
