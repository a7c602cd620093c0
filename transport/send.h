// Sending bytes, texts and command lines on the channel's socket. Everything
// sent is copied to the log behind "S: ".
#pragma once

#include <cstdint>

#include "transport/connection_state.h"

namespace qel {

// The count the system took, or a negated socket error. A closed socket
// gives -10038 without touching any descriptor.
int32_t sendBytes(Connection* connection, const char* bytes, int32_t length);

// As sendBytes, but the log shows the text shown (nothing when null) in
// place of the bytes: for lines that carry credentials.
int32_t sendHiddenBytes(Connection* connection, const char* bytes, int32_t length, const char* shown);

// The text without line end.
int32_t sendText(Connection* connection, const char* text);

// The text followed by CR LF in one send. The CR LF is written into the
// caller's buffer behind the text and removed again afterwards, so the
// buffer needs three bytes of room behind the text.
int32_t sendLine(Connection* connection, char* text);

}  // namespace qel
