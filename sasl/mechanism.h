// What one SASL mechanism is to the exchange. Each mechanism lives in a file
// of its own and has one row in kMechanisms (mechanisms.cpp), which lists
// them strongest first: the order of the choice.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Traits of a mechanism.
// It hands the server a secret it could read back: over TLS only, unless
// the caller allows clear text.
constexpr uint8_t kReadableSecret = 1;
// It logs in with the bearer token, and is used only when one is set.
constexpr uint8_t kUsesToken = 2;

struct SaslMechanism {
  uint32_t bit;      // its QEL_AUTH_* bit
  const char* name;  // as offered and sent: "SCRAM-SHA-256"
  uint8_t traits;
  // The first message into the buffers' text, for a mechanism that speaks first;
  // null for one that waits for a challenge.
  void (*first)(ChannelRecord* record);
  // The answer to a challenge of length decoded bytes into the buffers' text; round
  // counts the messages sent before it, the first one included. 0, or -121
  // with loginReason saying why. Null: every answer is empty.
  int32_t (*answer)(ChannelRecord* record, int32_t round, const char* challenge, int32_t length);
  // The server said yes: 0, or -121 when it has not proved itself. Null:
  // a yes is taken as it is.
  int32_t (*accepted)(ChannelRecord* record);
};

// The mechanism of a QEL_AUTH_* bit; null for none.
const SaslMechanism* findMechanism(uint32_t bit);
// The bit of a mechanism name (case-blind); 0 for a name this library does
// not speak.
uint32_t mechanismNamed(const char* name, int32_t length);
// The bits of every mechanism with all of traits.
uint32_t mechanismsWith(uint8_t traits);
// The strongest mechanism among bits; 0 for none.
uint32_t strongestMechanism(uint32_t bits);

// Appends to the buffers' text, cut at its room.
void putSaslBytes(ChannelRecord* record, const char* bytes, int32_t count);
void putSaslText(ChannelRecord* record, const char* text);
void putSaslByte(ChannelRecord* record, char byte);

}  // namespace qel
