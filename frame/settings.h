// Library-wide settings. They start at their defaults when the library is
// loaded and keep their values across release and a new attach; channel
// settings live in the channel record.
#pragma once

#include <cstdint>

namespace qel {

// Capacities (characters) of the caller's content-type and encoding lines.
constexpr int32_t kContentTypeCap = 64;
constexpr int32_t kEncodingCap = 128;

struct LibrarySettings {
  int32_t minimumWait = 25;        // ms before the step after a command
  int32_t replyTimeout = 25000;    // ms a reply may take
  int32_t lineDelay = 0;           // ms after each outgoing body/attachment line
  int32_t connectTimeout = 60000;  // ms a connection attempt may take
  int32_t lineTimeout = 25000;     // deadline after each outgoing line
  int32_t pop3ReadWait = 25000;    // ms the POP3 readers wait for data
  int32_t pollInterval = 100;      // ms between polls of a wait loop
  int32_t wrapColumn = 61;         // fixed: plain lines end at a space after 61 characters
  int32_t maxLineLength = 78;      // longest outgoing body line
  int32_t closePause = 500;        // ms a channel pauses after closing its socket
  int32_t loginPause = 200;        // extra ms before the HELO/EHLO, AUTH and login replies
  int32_t finalReplyWait = 100;    // ms one step waits for the answer to a whole message
  // Fast timing (setting 191): every channel acknowledges what it has
  // received before it waits for more, as QEL_PARAM_PROMPT_ACK 1 does.
  uint8_t fastTiming = 0;
  uint8_t cleanupOnRelease = 1;
  uint8_t rawEightBit = 0;
  uint8_t omitSavedNote = 0;
  uint8_t omitToHeader = 0;
  char recipientSeparator = ',';
  char attachSeparator = ',';
  char nameSeparator = '|';
  char customContentType[kContentTypeCap + 2] = {};
  char customEncoding[kEncodingCap + 2] = {};
  uint8_t customEncodingLength = 0;
};

extern LibrarySettings settings;

// One pause of a wait loop: pollInterval ms (never negative), but no longer
// than the left ms of the wait it serves.
inline uint32_t pollPause(uint32_t left) {
  uint32_t interval = settings.pollInterval < 0 ? 0u : static_cast<uint32_t>(settings.pollInterval);
  return interval < left ? interval : left;
}

// A pause setting as a sleep length: a value below 0 counts as 0.
inline uint32_t pauseMs(int32_t value) { return value > 0 ? static_cast<uint32_t>(value) : 0u; }

// The extra pause before a login or greeting reply is read, in ms.
inline int32_t loginPauseMs() { return settings.loginPause > 0 ? settings.loginPause : 0; }

// Restores every library setting to its default (for tests).
void resetLibrarySettings();

}  // namespace qel
